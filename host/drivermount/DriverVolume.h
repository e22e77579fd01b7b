// A volume served by the Windows driver (driver/fsd) on the kernel stand-in, reached only
// through the front end's system services as a Windows application reaches it, in terms
// a Linux host uses: paths are the volume's "/"-separated UTF-8 paths ("/" is the root),
// failures are errno values.
//
// Every call may run on any thread, several at once: the driver's own locks and posting
// serve them. The driver keeps one global record and has no unload, so a process makes
// one DriverVolume.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct DriverAttributes {
  uint64_t fileId = 0;  // the driver's identifier: the volume index in the top 4 bits, the inode below
  bool directory = false;
  uint64_t size = 0;
  uint64_t allocated = 0;
  uint64_t accessNs = 0, modifyNs = 0, changeNs = 0;  // nanoseconds since 1970
};

struct DriverListed {
  std::string name;
  DriverAttributes attributes;
};

struct DriverSpace {
  uint64_t blockSize = 0;
  uint64_t blocks = 0;
  uint64_t freeBlocks = 0;
  uint32_t nameMax = 0;
};

class DriverVolume {
 public:
  struct Open;  // one open handle of the volume

  // Loads the driver, attaches the image as a disk (the APFS partition of a GPT disk
  // image, else the whole file) or as a CD-ROM, and opens the volume, which mounts it.
  // Throws ReadFailure(MountFailed) naming the status when the driver refuses.
  DriverVolume(const std::string& image, bool cdrom);
  DriverVolume(const DriverVolume&) = delete;
  DriverVolume& operator=(const DriverVolume&) = delete;

  int Stat(const std::string& path, DriverAttributes* attributes);
  // A directory handle kept for a listing, and the listing's next entries (one query's
  // worth; none at the end).
  int OpenDirectory(const std::string& path, Open** directory);
  int NextEntries(Open* directory, std::vector<DriverListed>* entries);
  // A file handle for reads through the cache, or without it (direct).
  int OpenFile(const std::string& path, bool direct, Open** file);
  int Read(Open* file, uint64_t offset, char* buffer, size_t length, size_t* got);
  void Close(Open* open);
  int Space(DriverSpace* space);

  // Closes the handles still open, locks and dismounts the volume through the driver,
  // closes it and removes the image's storage devices. Returns what is left behind: statuses of the steps that failed, the
  // driver's pool beyond what it held before the mount, file objects still alive; empty
  // when nothing is.
  std::string Dismount();

 private:
  int OpenPath(const std::string& path, uint32_t access, uint32_t options, Open** open);

  std::vector<void*> storage_;  // the storage devices made for the image, the disk first
  std::u16string device_;  // the device the volume is mounted from
  void* volume_ = nullptr;  // the volume handle: statistics, lock and dismount
  std::map<uint32_t, uint64_t> poolBefore_;  // live allocations by tag before the mount
  std::mutex openLock_;  // guards opens_
  std::set<Open*> opens_;
};
