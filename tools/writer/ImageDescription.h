// What an image should hold: the container's geometry and checkpoints, its volumes, and
// each volume's tree of files. Filled by tests and benchmarks directly, or from a JSON
// manifest or a directory tree (Manifest.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace apfsw {

enum class EntryKind { Directory, Regular, Symlink, Fifo, CharDevice, BlockDevice, Socket, HardLink };

enum class VolumeRole : uint16_t {
  None = 0,
  System = 0x1,
  Recovery = 0x4,
  VM = 0x8,
  Preboot = 0x10,
  Data = 0x40,
};

// How a regular file's bytes are stored.
enum class Compression {
  None,
  // "com.apple.decmpfs" holds the header and the zlib stream, stored in the record.
  DecmpfsEmbedded,
  // The same attribute, stored as a data stream of its own.
  DecmpfsStream,
  // The header only; zlib blocks in a "com.apple.ResourceFork" stream.
  ResourceFork,
};

// What a compressed file's chunks are compressed with.
enum class Codec { Zlib, Lzvn, Lzfse, Raw };

// Nanoseconds since 1970-01-01, negative before it.
struct Times {
  int64_t create = 0;
  int64_t modify = 0;
  int64_t change = 0;
  int64_t access = 0;
};

struct XattrSpec {
  std::string name;
  std::vector<uint8_t> value;
  bool asStream = false;  // also forced when the value is too large to embed
  // The record's flags as stored, for forms readers must refuse; 0: the usual flags of
  // the embedded or stream form.
  uint16_t flags = 0;
};

// A run of a regular file's contents: data, or a hole that is recorded as an extent
// without blocks.
struct Segment {
  uint64_t length = 0;
  bool hole = false;
};

// An extended field added to an inode as it is, for readers that must skip unknown ones.
struct ExtraXfield {
  uint8_t type = 0;
  uint8_t flags = 0;
  std::vector<uint8_t> data;
};

struct Entry {
  std::string name;  // UTF-8, 1..255 bytes; ignored for a volume's root
  EntryKind kind = EntryKind::Regular;
  uint64_t inode = 0;              // 0: assigned in tree order
  uint16_t permissions = 0;        // 0: 0755 for directories, 0644 otherwise
  uint32_t owner = 0, group = 0;
  uint32_t bsdFlags = 0;
  std::optional<Times> times;      // default: distinct values derived from the seed
  std::vector<XattrSpec> xattrs;
  std::vector<ExtraXfield> extraXfields;
  bool bareInode = false;          // a 92-byte inode value, without extended fields

  // Regular files. Contents are `content` when set, else read from `sourcePath` when
  // set, else the stamp pattern (PatternBytes) of the file's inode number.
  uint64_t size = 0;
  std::optional<std::vector<uint8_t>> content;
  std::string sourcePath;
  std::vector<Segment> layout;     // empty: one data run over the whole size; a size
                                   // beyond the runs leaves a sparse tail
  uint32_t extentBlocks = 0;       // split data runs into extents of this many blocks,
                                   // each placed apart from the previous one
  Compression compression = Compression::None;
  bool recordUncompressedSize = true;  // compressed files: set the inode's size field
  Codec codec = Codec::Zlib;       // compressed files: the chunks' compression
  bool storeChunks = false;        // compressed files: every chunk stored uncompressed,
                                   // behind its codec's marker byte
  std::string cloneOf;             // path of a regular file whose blocks this file shares
  bool dataless = false;           // a placeholder: flagged dataless, the size recorded,
                                   // no data written and no extents

  std::string target;              // symlink target, or the path a hard link names
  uint32_t rdev = 0;               // devices: major in the top 8 bits, minor in the low 24

  std::vector<Entry> children;     // directories
};

inline Entry DirectoryEntry(std::string name) {
  Entry e;
  e.name = std::move(name);
  e.kind = EntryKind::Directory;
  return e;
}

// A snapshot of a volume: the tree it keeps, under its own superblock and the volume's
// object map as of the snapshot's transaction.
struct SnapshotSpec {
  std::string name;  // UTF-8, 1..255 bytes
  std::optional<std::vector<uint8_t>> uuid;  // 16 bytes; default from the seed
  int64_t createTime = 0;                    // 0: derived from the base time
  bool deleted = false;  // kept on disk, but the object map records it deleted
  Entry root = DirectoryEntry("root");
};

struct VolumeSpec {
  std::string name = "untitled";   // up to 255 bytes
  VolumeRole role = VolumeRole::None;
  bool caseInsensitive = true;
  bool normalizationInsensitive = true;  // both false: directory records without hashes
  bool encrypted = false;          // tree mappings flagged encrypted; data left plain
  // Encrypted in software with this password: tree nodes and data encrypted with a volume
  // key (derived from the seed), the keys in the container's and the volume's keybags.
  std::optional<std::string> password;
  uint32_t passwordIterations = 1000;  // of the password's key derivation
  // The sealed-volume feature, and tree mappings flagged headerless. The nodes keep their
  // headers and carry no hashes: enough for a reader to recognise the volume, not to read it.
  bool sealed = false;
  std::optional<std::vector<uint8_t>> uuid;  // 16 bytes; default from the seed
  uint32_t nodeEntryCap = 0;       // most records per file-system tree node; 0 = no cap
  uint32_t nodeVersions = 1;       // versions of each tree node kept in the object map
  uint64_t quotaBlocks = 0;
  uint64_t reserveBlocks = 0;
  Entry root = DirectoryEntry("root");
  // Oldest first, at transactions below every version of the live tree.
  std::vector<SnapshotSpec> snapshots;
};

struct CheckpointSpec {
  uint32_t count = 3;        // checkpoints written one after another, the last the newest
  uint32_t ringBlocks = 0;   // 0: room for twice the checkpoints written
  uint32_t firstIndex = 0;   // ring index where the oldest checkpoint starts
  int32_t block0 = -1;       // checkpoint copied to block 0; -1 the newest
  uint32_t mapBlocks = 1;    // checkpoint-map blocks of each checkpoint (at least)
};

struct ContainerSpec {
  uint32_t blockSize = 4096;
  uint64_t blockCount = 0;        // 0: enough for the contents, with room to spare
  uint64_t allocationStart = 0;   // first block for metadata and data (above the fixed areas)
  uint64_t seed = 1;              // source of default UUIDs and times
  uint64_t xid = 0;               // transaction of the newest checkpoint; 0: derived
  std::optional<std::vector<uint8_t>> uuid;
  int64_t baseTime = 1700000000000000000;  // default times are derived from it
  CheckpointSpec checkpoints;
  uint32_t omapEntryCap = 0;      // most entries per object-map node; 0 = no cap
  uint32_t freeQueueEntries = 0;  // blocks waiting on the main free queue
  uint32_t freeQueueEntryCap = 0; // most entries per free-queue node
  bool keybag = false;            // name a (keyless) keybag in the container superblock
  // Mark the container as the first of two devices (the Fusion feature and a tier UUID);
  // nothing is written for a second device.
  bool fusion = false;
  std::vector<VolumeSpec> volumes;
};

}  // namespace apfsw
