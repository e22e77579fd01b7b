// The downloaded installer on disk, held from its first byte until the installer has
// started so that no other process can change, replace or remove it in between: its
// name is random, its DACL lets no later open write it, and the handle kept open
// shares neither writing nor deleting.
#pragma once

#include <string>
#include <string_view>

#include "DiskFile.h"
#include "SafeDataFile.h"

namespace qdrl {

class CInstallerFile {
 public:
  CInstallerFile() = default;
  CInstallerFile(const CInstallerFile&) = delete;
  CInstallerFile& operator=(const CInstallerFile&) = delete;
  ~CInstallerFile() { Release(false); }

  // Creates a new empty file "AUM<32 random hexadecimal digits>.<extension>" in the
  // temporary folder, open for reading and writing; false when it cannot be made.
  bool Create(std::wstring_view extension);
  // The file as created: the download writes into it.
  CDiskFile& Body() { return body_; }
  // The MD5 digest of the content, read through the handle the download wrote with.
  Md5Digest Digest();
  // Gives up write access for the installer's start (the system refuses to start a
  // file that is open for writing): a reading handle, sharing nothing but reading,
  // takes over, and must find the very file that was downloaded. Throws
  // CDiskFileException.
  void HoldForStart();
  const std::wstring& Path() const { return path_; }
  // Closes the file and, unless keep, removes it.
  void Release(bool keep);

 private:
  std::wstring path_;
  CDiskFile body_;
  CDiskFile held_;
};

}  // namespace qdrl
