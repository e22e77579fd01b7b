// CDiskFile over a POSIX file descriptor for the native build; failures carry the
// Windows error code of the same meaning. Sharing modes have no equivalent here.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "DiskFile.h"

namespace qdrl {

namespace {

std::uint32_t WindowsErrorCode(int error) {
  switch (error) {
    case ENOENT: return 2;    // ERROR_FILE_NOT_FOUND
    case ENOTDIR: return 3;   // ERROR_PATH_NOT_FOUND
    case EMFILE: return 4;    // ERROR_TOO_MANY_OPEN_FILES
    case EACCES:
    case EPERM:
    case EISDIR: return 5;    // ERROR_ACCESS_DENIED
    case EBADF: return 6;     // ERROR_INVALID_HANDLE
    case ENOSPC: return 112;  // ERROR_DISK_FULL
    case EEXIST: return 80;   // ERROR_FILE_EXISTS
    case EINVAL: return 87;   // ERROR_INVALID_PARAMETER
    default: return 31;       // ERROR_GEN_FAILURE
  }
}

[[noreturn]] void ThrowLastError() { throw CDiskFileException(WindowsErrorCode(errno)); }

int OpenMode(std::uint32_t flags) {
  int mode = O_CLOEXEC;  // descriptors are never handed to child processes here
  switch (flags & disk_file::kAccessMask) {
    case disk_file::kRead: mode |= O_RDONLY; break;
    case disk_file::kWrite: mode |= O_WRONLY; break;
    case disk_file::kReadWrite: mode |= O_RDWR; break;
    default: mode |= O_RDONLY; break;
  }
  if (flags & disk_file::kCreate) mode |= (flags & disk_file::kOpenAlways) ? O_CREAT : O_CREAT | O_TRUNC;
  if (flags & disk_file::kWriteThrough) mode |= O_DSYNC;
  return mode;
}

constexpr std::size_t kLargestTransfer = std::size_t{1} << 30;

}  // namespace

std::uint64_t CDiskFile::GetPosition() { return Seek(0, SeekMethod::kCurrent); }

void CDiskFile::Open(const std::filesystem::path& path, std::uint32_t flags) {
  Close();
  const int fd = ::open(path.c_str(), OpenMode(flags), 0644);
  if (fd < 0) ThrowLastError();
  handle_ = fd;
  open_ = true;
}

std::uint64_t CDiskFile::Seek(std::int64_t distance, SeekMethod method) {
  const int whence = method == SeekMethod::kBegin ? SEEK_SET : method == SeekMethod::kCurrent ? SEEK_CUR : SEEK_END;
  const off_t position = ::lseek(static_cast<int>(handle_), distance, whence);
  if (position < 0) ThrowLastError();
  return static_cast<std::uint64_t>(position);
}

void CDiskFile::SetLength(std::uint64_t length) {
  Seek(static_cast<std::int64_t>(length), SeekMethod::kBegin);
  if (::ftruncate(static_cast<int>(handle_), static_cast<off_t>(length)) != 0) ThrowLastError();
}

std::uint64_t CDiskFile::GetLength() {
  struct stat status {};
  if (::fstat(static_cast<int>(handle_), &status) != 0) ThrowLastError();
  return static_cast<std::uint64_t>(status.st_size);
}

std::size_t CDiskFile::Read(void* buffer, std::size_t count) {
  if (count == 0) return 0;
  const ssize_t got = ::read(static_cast<int>(handle_), buffer, std::min(count, kLargestTransfer));
  if (got < 0) ThrowLastError();
  return static_cast<std::size_t>(got);
}

void CDiskFile::Write(const void* buffer, std::size_t count) {
  if (count == 0) return;
  const ssize_t written = ::write(static_cast<int>(handle_), buffer, std::min(count, kLargestTransfer));
  if (written < 0) ThrowLastError();
  if (static_cast<std::size_t>(written) != count) throw CDiskFileException(kErrorHandleDiskFull);
}

void CDiskFile::Flush() {
  if (open_ && ::fsync(static_cast<int>(handle_)) != 0) ThrowLastError();
}

bool CDiskFile::Close() {
  if (!open_) return true;
  open_ = false;
  const int fd = static_cast<int>(handle_);
  handle_ = -1;
  return ::close(fd) == 0;
}

CDiskFile::~CDiskFile() { Close(); }

}  // namespace qdrl
