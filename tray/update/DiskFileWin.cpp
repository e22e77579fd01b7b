#include <windows.h>

#include <algorithm>

#include "DiskFile.h"

namespace qdrl {

namespace {

[[noreturn]] void ThrowLastError() { throw CDiskFileException(::GetLastError()); }

HANDLE Native(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

DWORD Access(std::uint32_t flags) {
  switch (flags & disk_file::kAccessMask) {
    case disk_file::kRead: return GENERIC_READ;
    case disk_file::kWrite: return GENERIC_WRITE;
    case disk_file::kReadWrite: return GENERIC_READ | GENERIC_WRITE;
    default: return 0;
  }
}

DWORD Sharing(std::uint32_t flags) {
  switch (flags & disk_file::kShareMask) {
    case disk_file::kShareRead: return FILE_SHARE_READ;
    case disk_file::kShareWrite: return FILE_SHARE_WRITE;
    case disk_file::kShareReadWrite: return FILE_SHARE_READ | FILE_SHARE_WRITE;
    default: return 0;
  }
}

DWORD Disposition(std::uint32_t flags) {
  if (!(flags & disk_file::kCreate)) return OPEN_EXISTING;
  return (flags & disk_file::kOpenAlways) ? OPEN_ALWAYS : CREATE_ALWAYS;
}

DWORD Attributes(std::uint32_t flags) {
  DWORD attributes = FILE_ATTRIBUTE_NORMAL;
  if (flags & disk_file::kNoBuffering) attributes |= FILE_FLAG_NO_BUFFERING;
  if (flags & disk_file::kWriteThrough) attributes |= FILE_FLAG_WRITE_THROUGH;
  if (flags & disk_file::kRandomAccess) attributes |= FILE_FLAG_RANDOM_ACCESS;
  if (flags & disk_file::kSequentialScan) attributes |= FILE_FLAG_SEQUENTIAL_SCAN;
  return attributes;
}

constexpr std::size_t kLargestTransfer = std::size_t{1} << 30;

}  // namespace

std::uint64_t CDiskFile::GetPosition() { return Seek(0, SeekMethod::kCurrent); }

void CDiskFile::Open(const std::filesystem::path& path, std::uint32_t flags) {
  Close();
  SECURITY_ATTRIBUTES security{sizeof(security), nullptr, !(flags & disk_file::kNotInherited)};
  const HANDLE file = ::CreateFileW(path.c_str(), Access(flags), Sharing(flags), &security,
                                    Disposition(flags), Attributes(flags), nullptr);
  if (file == INVALID_HANDLE_VALUE) ThrowLastError();
  handle_ = reinterpret_cast<std::intptr_t>(file);
  open_ = true;
}

std::uint64_t CDiskFile::Seek(std::int64_t distance, SeekMethod method) {
  LARGE_INTEGER move;
  move.QuadPart = distance;
  LARGE_INTEGER position;
  if (!::SetFilePointerEx(Native(handle_), move, &position, static_cast<DWORD>(method))) ThrowLastError();
  return static_cast<std::uint64_t>(position.QuadPart);
}

void CDiskFile::SetLength(std::uint64_t length) {
  Seek(static_cast<std::int64_t>(length), SeekMethod::kBegin);
  if (!::SetEndOfFile(Native(handle_))) ThrowLastError();
}

std::uint64_t CDiskFile::GetLength() {
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(Native(handle_), &size)) ThrowLastError();
  return static_cast<std::uint64_t>(size.QuadPart);
}

std::size_t CDiskFile::Read(void* buffer, std::size_t count) {
  if (count == 0) return 0;
  DWORD got = 0;
  if (!::ReadFile(Native(handle_), buffer, static_cast<DWORD>(std::min(count, kLargestTransfer)),
                  &got, nullptr)) {
    ThrowLastError();
  }
  return got;
}

void CDiskFile::Write(const void* buffer, std::size_t count) {
  if (count == 0) return;
  DWORD written = 0;
  if (!::WriteFile(Native(handle_), buffer, static_cast<DWORD>(std::min(count, kLargestTransfer)),
                   &written, nullptr)) {
    ThrowLastError();
  }
  if (written != count) throw CDiskFileException(kErrorHandleDiskFull);
}

void CDiskFile::Flush() {
  if (open_ && !::FlushFileBuffers(Native(handle_))) ThrowLastError();
}

bool CDiskFile::Close() {
  if (!open_) return true;
  open_ = false;
  const HANDLE file = Native(handle_);
  handle_ = -1;
  return ::CloseHandle(file) != 0;
}

CDiskFile::~CDiskFile() { Close(); }

}  // namespace qdrl
