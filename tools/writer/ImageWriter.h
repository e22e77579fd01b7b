// The APFS image writer: turns a ContainerSpec into a sparse image file and reports where
// it put every object, for tests that read the image back or damage it on purpose.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Encryption.h"
#include "ImageDescription.h"

namespace apfsw {

struct ObjectLocation {
  std::string name;  // for example "volume[0].superblock" or "checkpoint[2].map[0]"
  uint64_t address = 0;
  uint64_t oid = 0;
  uint32_t type = 0;  // full o_type, storage flags included
};

struct ExtentLocation {
  uint64_t logicalOffset = 0;
  uint64_t length = 0;
  uint64_t physicalBlock = 0;  // 0 for a hole
};

struct FileLocation {
  std::string path;  // from the volume's root, "/" separated, without a leading "/"
  uint64_t inode = 0;
  uint64_t streamId = 0;  // 0 when the file has no data stream
  uint64_t size = 0;      // logical size (uncompressed size of compressed files)
  std::vector<ExtentLocation> extents;
};

struct SnapshotLayout {
  std::string name;
  uint64_t xid = 0;
  uint64_t superblockAddress = 0;
  std::vector<FileLocation> files;  // every inode of the snapshot's tree, in inode order
};

struct VolumeLayout {
  uint64_t superblockOid = 0;
  uint64_t superblockAddress = 0;
  uint64_t omapAddress = 0;
  uint64_t rootTreeOid = 0;
  uint64_t rootTreeAddress = 0;
  uint16_t treeDepth = 0;
  uint64_t treeNodes = 0;
  uint64_t treeRecords = 0;
  uint64_t nextObjectId = 0;
  std::vector<FileLocation> files;  // every inode, in inode order
  std::vector<SnapshotLayout> snapshots;  // oldest first
  std::vector<KeybagEntry> keybagEntries;  // what the container's keybag holds for the volume
};

struct WriteResult {
  uint32_t blockSize = 0;
  uint64_t blockCount = 0;
  uint64_t xid = 0;         // transaction of the newest checkpoint
  uint64_t freeBlocks = 0;  // as recorded by the space manager
  std::vector<ObjectLocation> objects;
  std::vector<VolumeLayout> volumes;

  const ObjectLocation& Object(const std::string& name) const;
  const FileLocation& File(size_t volume, const std::string& path) const;
};

WriteResult WriteImage(const ContainerSpec& spec, const std::string& imagePath);

// The stamp pattern of files without given contents: every 16-byte unit at file offset
// p holds the file's id and p, both as little-endian u64.
void PatternBytes(uint64_t fileId, uint64_t offset, uint8_t* out, size_t count);

// What a reader must return for a regular file of the description, given the inode number the
// writer assigned (holes and sparse tails read as zeros).
std::vector<uint8_t> ExpectedContents(const Entry& file, uint64_t inode);

}  // namespace apfsw
