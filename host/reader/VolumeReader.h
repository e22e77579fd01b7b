// Reads one volume of an opened image: paths, listings, POSIX attributes, file data,
// extended attributes and symbolic-link targets.
//
// The engine's trees and nodes may be used by one thread at a time. Every operation
// therefore runs on a Session: a private copy of the volume's trees with its own root
// directory node, borrowed from a pool for the length of one request. Sessions are
// cloned from the volume's trees on demand, so a multithreaded caller ends up with as
// many as it runs requests at once, and a single-threaded one with exactly one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ApfsFormat.h"
#include "ApfsImage.h"
#include "ApfsProcs.h"
#include "CompressedFile.h"

// Owns one reference to an engine inode.
class InodeRef {
 public:
  InodeRef() = default;
  explicit InodeRef(Inode* inode) : inode_(inode) {}
  InodeRef(InodeRef&& other) noexcept : inode_(other.inode_) { other.inode_ = nullptr; }
  InodeRef& operator=(InodeRef&& other) noexcept;
  ~InodeRef();
  Inode* get() const { return inode_; }

 private:
  Inode* inode_ = nullptr;
};

// Owns one use of an engine file-system node.
class NodeRef {
 public:
  NodeRef() = default;
  explicit NodeRef(FsNode* node) : node_(node) {}
  NodeRef(NodeRef&& other) noexcept : node_(other.node_) { other.node_ = nullptr; }
  NodeRef& operator=(NodeRef&& other) noexcept;
  ~NodeRef();
  FsNode* get() const { return node_; }
  Inode* inode() const { return node_->inode; }
  bool isDirectory() const { return node_->kind == FS_NODE_DIRECTORY; }
  NodeRef share() const;

 private:
  FsNode* node_ = nullptr;
};

// The POSIX view of an inode.
struct PosixStat {
  uint64_t inode = 0;
  uint32_t mode = 0;  // type and permission bits
  uint32_t nlink = 1;
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint64_t size = 0;       // logical size; a symlink's target length
  uint64_t allocated = 0;  // bytes of blocks allocated to the data stream
  uint32_t rdevMajor = 0;
  uint32_t rdevMinor = 0;
  uint32_t children = 0;  // directories
  uint32_t bsdFlags = 0;
  bool compressed = false;
  bool sparse = false;
  // Nanoseconds since 1970.
  uint64_t birthNs = 0, modifyNs = 0, changeNs = 0, accessNs = 0;
};

struct Xattr {
  std::string name;
  uint64_t size = 0;
  bool stream = false;  // stored in a data stream of its own rather than in the record
};

// One entry of a directory listing.
struct Listed {
  std::string name;
  InodeRef inode;
};

class VolumeReader;

// A private set of trees and a root node, lent to one request at a time.
class Session {
 public:
  Session(VolumeReader& volume, const TreePair& source);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Looks path up from the root ("/a/b", "a/b", "." and ".." allowed); never follows
  // symbolic links. Names match as the volume compares them: without regard to case or
  // to composed and decomposed accents where the volume says so. Throws ReadFailure: no such file, not a directory, corrupt.
  NodeRef Resolve(const std::string& path);
  // Calls each for every entry of directory whose name can be a path component
  // (EntryName.h), in the volume's key order. Returns the names of the entries left out,
  // for the caller to report.
  std::vector<std::string> List(FsNode* directory, const std::function<void(Listed&&)>& each);
  // A node for an inode found in a listing (a directory node when it is one).
  NodeRef Open(Inode* inode);
  // The node of an inode by its number, as Stat reports it. Throws NoSuchFile when the
  // volume has no such inode.
  NodeRef OpenNumber(uint64_t inodeNumber);
  // The entry name of directory, matched as Resolve matches each part of a path. A name
  // that cannot be a path component is no such file.
  NodeRef Child(const NodeRef& directory, const std::string& name);

  PosixStat Stat(Inode* inode);
  std::string SymlinkTarget(Inode* inode);
  // Extended attributes as users see them: the symlink target, the compressed-file
  // header and a compressed file's resource fork, which hold the file system's own data,
  // are left out (they can still be read by name).
  std::vector<Xattr> Xattrs(Inode* inode);
  // The value of attribute name; throws NoSuchPath (ENODATA) when it is absent.
  std::vector<uint8_t> XattrValue(Inode* inode, const std::string& name);

  // Calls each for the runs of the file's data from offset on, up to its size: a run
  // is a device byte offset, or a hole (physical < 0). Compressed files have no runs
  // (their bytes are decoded by Read): it throws for them.
  struct Run {
    uint64_t offset;
    uint64_t length;
    int64_t physical;
  };
  void ForEachRun(Inode* inode, uint64_t offset, uint64_t size,
                  const std::function<bool(const Run&)>& each);
  // Bytes of the file's data: where ForEachRun's runs end.
  uint64_t DataSize(Inode* inode);
  // Reads up to count bytes at offset; returns the bytes read (short only at the end).
  // A compressed file's bytes are decoded, only the chunks that hold them.
  size_t Read(Inode* inode, uint64_t offset, void* buffer, size_t count);
  // Whether the file's bytes are stored compressed, and how ("LZVN in the resource fork
  // (type 8)", also for kinds that cannot be decoded).
  static bool IsCompressed(const Inode* inode);
  std::string CompressionKind(Inode* inode);
  // A compressed file's header and chunk table, read ahead of its reads, with room for
  // its own decoded chunks; throws as Read would for a kind that cannot be decoded or a
  // damaged table.
  std::unique_ptr<CompressedFile> OpenCompressed(Inode* inode);
  // Reads like Read, decoding through file (from OpenCompressed for the same inode),
  // which other threads may read through at the same time.
  size_t ReadCompressed(Inode* inode, CompressedFile& file, uint64_t offset, void* buffer, size_t count);

  // The inode objectId, kept loaded until another one is asked for: reads of one open
  // file come in runs.
  Inode* LoadInode(uint64_t objectId);

 private:
  NodeRef Lookup(const NodeRef& directory, const std::string& name, const std::string& path);
  NodeRef FindOtherSpelling(const NodeRef& directory, const std::string& name);
  Inode* LoadFresh(uint64_t objectId);
  // The decoder state of the last compressed file read: its chunk table and a few
  // decoded chunks, so that a run of reads of one file decodes each chunk once.
  CompressedFile& Compressed(Inode* inode);

  VolumeReader& volume_;
  TreePair trees_;
  NodeRef root_;
  InodeRef lastInode_;
  std::unique_ptr<CompressedFile> compressed_;
};

class VolumeReader {
 public:
  // Opens volume index of image (the container's default when index < 0), as it is now
  // or, when snapshot is not empty, as the snapshot of that name (or transaction number)
  // keeps it. Throws ReadFailure when the volume or snapshot does not exist, is
  // encrypted or cannot be read.
  VolumeReader(ApfsImage& image, int32_t index, const std::string& snapshot = {});
  ~VolumeReader();
  VolumeReader(const VolumeReader&) = delete;
  VolumeReader& operator=(const VolumeReader&) = delete;

  uint32_t index() const { return uint32_t(handle_.index); }
  // The engine's identifier of this volume's inode number.
  uint64_t ObjectId(uint64_t inodeNumber) const {
    return uint64_t(index()) << OBJ_TYPE_SHIFT | (inodeNumber & OBJ_ID_MASK);
  }
  ApfsImage& image() { return image_; }
  // The snapshot read, or null for the volume as it is now.
  const SnapshotSummary* snapshot() const { return atSnapshot_ ? &snapshot_ : nullptr; }
  VolumeHandle* handle() { return &handle_; }

  // A session for the calling request; it returns to the pool when the lease ends.
  class Lease {
   public:
    Lease(VolumeReader& owner, std::unique_ptr<Session> session)
        : owner_(owner), session_(std::move(session)) {}
    ~Lease() { owner_.Return(std::move(session_)); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Session* operator->() { return session_.get(); }
    Session& operator*() { return *session_; }

   private:
    VolumeReader& owner_;
    std::unique_ptr<Session> session_;
  };
  Lease Borrow();

 private:
  void Return(std::unique_ptr<Session> session);
  void OpenSnapshot(const std::string& volumeName, const std::string& wanted);
  void ReleaseSnapshotTrees();

  ApfsImage& image_;
  TreePair* trees_;
  TreePair snapshotTrees_{};  // the trees as of the snapshot, when one is read
  bool atSnapshot_ = false;
  SnapshotSummary snapshot_;
  VolumeHandle handle_{};
  std::mutex poolLock_;  // guards idle_ and cloning from trees_
  std::vector<std::unique_ptr<Session>> idle_;
};
