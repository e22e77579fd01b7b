// The process-wide socket lock and the reference-counted base of the objects that the
// download thread and the dialog thread share.
#pragma once

#include <cstdint>
#include <mutex>

namespace qdrl {

// Guards, for every socket in the process, the socket handle while it is swapped out,
// the aborted flag, the TLS connection pointer and every CCountedRef count. The HTTP
// layer uses it for its shared byte counter too. Never held while a system call
// blocks.
std::mutex& SocketLock();

// A shared object that lives until its last reference is released. It starts with one
// reference, owned by whoever created it.
class CCountedRef {
 public:
  explicit CCountedRef(std::mutex& lock = SocketLock()) : lock_(&lock) {}
  CCountedRef(const CCountedRef&) = delete;
  CCountedRef& operator=(const CCountedRef&) = delete;

  void AddRef();
  // With the object's lock already held by the caller.
  void AddRefLocked() { ++count_; }
  // Deletes the object when this was the last reference; takes the lock itself and
  // deletes outside it.
  void Release();

 protected:
  virtual ~CCountedRef() = default;

 private:
  std::mutex* lock_;
  std::uint32_t count_ = 1;
};

}  // namespace qdrl
