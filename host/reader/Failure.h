// Why a command or a mount request could not be answered, with the exit status the
// command reports for it and the errno the mount answers with.
#pragma once

#include <cerrno>
#include <stdexcept>
#include <string>

// Exit statuses of the quadrel command; README.md documents them.
enum class ExitCode : int {
  Ok = 0,
  Partial = 1,         // done, but some entries could not be read or written
  Usage = 2,           // bad command line
  CannotOpen = 3,      // the image file cannot be opened or read
  NotApfs = 4,         // the image holds no APFS container
  Corrupt = 5,         // an on-disk object is malformed or unreadable
  VolumeUnusable = 6,  // no such volume, or an encrypted or unsupported one
  NoSuchPath = 7,      // a path that does not exist, or leads through a file
  Unsupported = 8,     // contents or containers this reader cannot deliver (unknown
                       // compressions, dataless files, unknown attribute forms, Fusion containers)
  OutputFailed = 9,    // writing the output or the extracted files failed
  MountFailed = 10,    // FUSE could not mount (no /dev/fuse, bad mount point)
};

class ReadFailure : public std::runtime_error {
 public:
  ReadFailure(ExitCode code, int errnoValue, const std::string& message)
      : std::runtime_error(message), code_(code), errno_(errnoValue) {}
  ExitCode code() const { return code_; }
  int errnoValue() const { return errno_; }

 private:
  ExitCode code_;
  int errno_;
};

inline ReadFailure Corrupt(const std::string& what) {
  return ReadFailure(ExitCode::Corrupt, EIO, "corrupt: " + what);
}
inline ReadFailure NoSuchFile(const std::string& path) {
  return ReadFailure(ExitCode::NoSuchPath, ENOENT, "no such file: " + path);
}
inline ReadFailure NotADirectory(const std::string& path) {
  return ReadFailure(ExitCode::NoSuchPath, ENOTDIR, "not a directory: " + path);
}
inline ReadFailure UnsupportedCompression(const std::string& what, const std::string& kind) {
  return ReadFailure(ExitCode::Unsupported, EOPNOTSUPP, what + ": compression not supported: " + kind);
}
inline ReadFailure DatalessContents(const std::string& path) {
  return ReadFailure(ExitCode::Unsupported, EOPNOTSUPP,
                     "dataless file (contents stored elsewhere): contents not supported: " + path);
}
inline ReadFailure UnsupportedAttribute(const std::string& name) {
  return ReadFailure(ExitCode::Unsupported, EOPNOTSUPP,
                     "attribute " + name + ": storage form not supported");
}
