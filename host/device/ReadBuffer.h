// Buffers that file data is read into.
//
// Two costs hide in an ordinary heap buffer. The kernel copies page-cache data into a
// destination that is not 64-byte aligned several times more slowly on some machines
// (five times on the benchmark machine: 0.40 s against 0.08 s for 1 GiB in 1 MiB
// reads), and malloc's 16-byte alignment is exactly that case. And a buffer of 128 KiB or
// more comes from fresh pages on every allocation, each page faulted in and cleared
// before the read fills it. Reads therefore land in page-aligned buffers, allocated once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

class ReadBuffer {
 public:
  static constexpr size_t ALIGNMENT = 4096;

  explicit ReadBuffer(size_t size = 0) { Reserve(size); }

  uint8_t* data() { return bytes_.get(); }
  size_t size() const { return size_; }

  // Makes the buffer hold at least size bytes; its contents are not kept.
  void Reserve(size_t size) {
    if (size <= size_ && bytes_ != nullptr) return;
    const size_t rounded = (size + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT;
    void* bytes = std::aligned_alloc(ALIGNMENT, rounded == 0 ? ALIGNMENT : rounded);
    if (bytes == nullptr) throw std::bad_alloc();
    bytes_.reset(static_cast<uint8_t*>(bytes));
    size_ = size;
  }

  // The calling thread's buffer of at least size bytes, for request threads that read
  // one request at a time; valid until the thread's next call.
  static uint8_t* ForThisThread(size_t size) {
    thread_local ReadBuffer buffer;
    buffer.Reserve(size);
    return buffer.data();
  }

 private:
  struct Free {
    void operator()(uint8_t* bytes) const { std::free(bytes); }
  };
  std::unique_ptr<uint8_t, Free> bytes_;
  size_t size_ = 0;
};
