// An image file opened as an APFS container, with every volume slot opened on trees of
// its own. Construction throws ReadFailure naming what is wrong with the image.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ApfsProcs.h"
#include "ImageDevice.h"

struct ContainerSummary {
  std::string layout;  // "bare" or "gpt"
  uint64_t partitionOffset = 0;
  uint32_t blockSize = 0;
  uint64_t blockCount = 0;
  uint64_t freeBlocks = 0;
  uint64_t xid = 0;          // transaction of the newest checkpoint
  uint32_t checkpoints = 0;  // valid superblocks in the checkpoint ring
  uint32_t defaultVolume = 0;
};

struct VolumeSummary {
  uint32_t index = 0;
  std::string name;
  std::string role;
  bool caseSensitive = false;
  bool encrypted = false;
  // "unlocked", or why the volume is locked ("locked: wrong password"); empty when not
  // encrypted.
  std::string encryption;
  bool usable = false;  // opens and can be read
  std::string unsupported;  // why a volume of a form this reader does not read is refused
  bool isDefault = false;
};

struct SnapshotSummary {
  std::string name;
  uint64_t xid = 0;
  uint64_t createNs = 0;  // nanoseconds since 1970
  uint64_t changeNs = 0;
  std::string uuid;       // canonical text form; empty when the volume keeps none
  bool damaged = false;   // its metadata record is malformed
  SnapshotEntry entry{};  // what the engine opens it by
};

// The object map and file-system tree of one volume slot.
struct TreePair {
  BTree omap{};
  BTree fs{};
};

class ApfsImage {
 public:
  explicit ApfsImage(const std::string& path);
  ~ApfsImage();
  ApfsImage(const ApfsImage&) = delete;
  ApfsImage& operator=(const ApfsImage&) = delete;

  const std::string& path() const { return path_; }
  Container* container() { return &container_; }
  const ImageDevice& device() const { return *image_; }
  const ContainerSummary& summary() const { return summary_; }
  std::vector<VolumeSummary> volumes();
  // The trees slot index was opened on; null for an empty or out-of-range slot.
  TreePair* slotTrees(uint32_t index);
  // A slot whose superblock names a volume.
  bool slotInUse(uint32_t index) const;
  // The snapshots of an opened volume slot, oldest first. Throws Corrupt when the volume's
  // list of snapshots cannot be read.
  std::vector<SnapshotSummary> snapshots(uint32_t index);

 private:
  void OpenContainer();
  void Release();
  void OpenSlots();
  uint32_t CountCheckpoints();
  uint64_t StoredBlockFrom(uint64_t address, uint64_t end) const;

  std::string path_;
  std::unique_ptr<ImageDevice> image_;
  Container container_{};
  std::vector<std::unique_ptr<TreePair>> slots_;
  ContainerSummary summary_;
};

// "none", "system", "data", ... for an apfs_role value.
std::string RoleName(uint16_t role);

// Why the engine refused slot, for a message ("sealed system volume: not supported");
// empty when it did not refuse the slot's format.
std::string RefusalText(const Volume& slot);
