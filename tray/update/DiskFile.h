// A file through the system's file handle; every failing system call throws a
// CDiskFileException with the Windows error code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace qdrl {

class CDiskFileException {
 public:
  explicit CDiskFileException(std::uint32_t code) : code_(code) {}
  // The Windows error code (ERROR_*), also in the native build.
  std::uint32_t Code() const { return code_; }

 private:
  std::uint32_t code_;
};

// Open flags: access in bits 0-2, sharing in bits 4-6, then the single bits.
namespace disk_file {
inline constexpr std::uint32_t kRead = 0;
inline constexpr std::uint32_t kWrite = 1;
inline constexpr std::uint32_t kReadWrite = 2;
inline constexpr std::uint32_t kNoAccess = 4;  // any other access value
inline constexpr std::uint32_t kAccessMask = 0x7;
inline constexpr std::uint32_t kShareRead = 0x20;
inline constexpr std::uint32_t kShareWrite = 0x30;
inline constexpr std::uint32_t kShareReadWrite = 0x40;
inline constexpr std::uint32_t kShareMask = 0x70;
inline constexpr std::uint32_t kNotInherited = 0x80;
inline constexpr std::uint32_t kCreate = 0x1000;      // create or truncate
inline constexpr std::uint32_t kOpenAlways = 0x2000;  // with kCreate: never truncate
inline constexpr std::uint32_t kNoBuffering = 0x10000;
inline constexpr std::uint32_t kWriteThrough = 0x20000;
inline constexpr std::uint32_t kRandomAccess = 0x40000;
inline constexpr std::uint32_t kSequentialScan = 0x80000;

// The combinations in use.
inline constexpr std::uint32_t kReadSharingRead = kRead | kShareRead;                  // 32
inline constexpr std::uint32_t kReadSharingAll = kRead | kShareReadWrite;              // 64
inline constexpr std::uint32_t kSizeOnly = kNoAccess | kShareReadWrite;                // 68
inline constexpr std::uint32_t kCreateForWriting = kCreate | kWrite | kShareRead;      // 4129
}  // namespace disk_file

// Windows error codes the file layer produces itself.
inline constexpr std::uint32_t kErrorHandleDiskFull = 39;  // ERROR_HANDLE_DISK_FULL

enum class SeekMethod { kBegin = 0, kCurrent = 1, kEnd = 2 };

class CDiskFile {
 public:
  CDiskFile() = default;
  CDiskFile(const CDiskFile&) = delete;
  CDiskFile& operator=(const CDiskFile&) = delete;

  virtual std::uint64_t GetPosition();
  // Opens path; a file still open in this object is closed first.
  virtual void Open(const std::filesystem::path& path, std::uint32_t flags);
  virtual std::uint64_t Seek(std::int64_t distance, SeekMethod method);
  // Moves the position to length and ends the file there.
  virtual void SetLength(std::uint64_t length);
  virtual std::uint64_t GetLength();
  // One system read; a count of 0 returns 0 at once.
  virtual std::size_t Read(void* buffer, std::size_t count);
  // Writes everything; a short write is kErrorHandleDiskFull.
  virtual void Write(const void* buffer, std::size_t count);
  virtual void Flush();
  // Closes the file when open; true when closing succeeded or nothing was open.
  virtual bool Close();
  virtual ~CDiskFile();

  bool IsOpen() const { return open_; }
  // The system file handle (a HANDLE on Windows) while open.
  std::intptr_t NativeHandle() const { return handle_; }
  // Takes over an open system file handle (a HANDLE on Windows), which Close then
  // closes; a file still open in this object is closed first.
  void Adopt(std::intptr_t handle) {
    Close();
    handle_ = handle;
    open_ = true;
  }

 private:
  std::intptr_t handle_ = -1;
  bool open_ = false;
};

}  // namespace qdrl
