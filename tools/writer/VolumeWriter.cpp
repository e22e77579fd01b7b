#include "VolumeWriter.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>

#include "Content.h"
#include "FsRecords.h"
#include "NameHash.h"
#include "Object.h"
#include "OnDisk.h"
#include "TreeSinks.h"

namespace apfsw {

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);
constexpr size_t kWriteChunk = 1 << 20;
constexpr int64_t kDefaultTimeStep = 1000000007;

// One name of the flattened tree. Hard links name another node's inode.
struct Node {
  const Entry* entry = nullptr;
  std::string path;
  size_t parentNode = kNone;
  uint64_t inode = 0;
  size_t linkTarget = kNone;       // hard links: the node holding the inode
  std::vector<size_t> names;       // inode nodes: every node naming this inode, itself first
  std::vector<uint64_t> siblingIds;  // parallel to names when there are several
};

using ReadFunction = std::function<void(uint64_t offset, uint8_t* out, size_t count)>;

bool IsInodeNode(const Node& n) { return n.linkTarget == kNone; }

uint16_t TypeBits(EntryKind kind) {
  switch (kind) {
    case EntryKind::Directory: return MODE_IFDIR;
    case EntryKind::Symlink: return MODE_IFLNK;
    case EntryKind::Fifo: return MODE_IFIFO;
    case EntryKind::CharDevice: return MODE_IFCHR;
    case EntryKind::BlockDevice: return MODE_IFBLK;
    case EntryKind::Socket: return MODE_IFSOCK;
    default: return MODE_IFREG;
  }
}

uint16_t DirectoryEntryType(EntryKind kind) {
  switch (kind) {
    case EntryKind::Directory: return DT_DIR;
    case EntryKind::Symlink: return DT_LNK;
    case EntryKind::Fifo: return DT_FIFO;
    case EntryKind::CharDevice: return DT_CHR;
    case EntryKind::BlockDevice: return DT_BLK;
    case EntryKind::Socket: return DT_SOCK;
    default: return DT_REG;
  }
}

uint16_t DefaultPermissions(EntryKind kind) {
  return kind == EntryKind::Directory || kind == EntryKind::Symlink ? 0755 : 0644;
}

class VolumeBuilder {
 public:
  // root: the live tree, or the tree a snapshot keeps.
  VolumeBuilder(WriteContext& context, const VolumeSpec& spec, uint32_t index, const Entry& root)
      : context_(context),
        spec_(spec),
        index_(index),
        root_(root),
        hashed_(spec.caseInsensitive || spec.normalizationInsensitive),
        records_(hashed_),
        keys_(spec.password ? std::make_unique<VolumeKeys>(context.seed, index) : nullptr) {}

  VolumeLayout Build(uint32_t omapEntryCap);

 private:
  // What the live volume records of its snapshots.
  struct Snapshots {
    uint64_t rootOid = 0;  // shared by every version of the file-system tree
    std::vector<OmapEntry> mappings;
    std::vector<OmapSnapshot> omapEntries;
    std::vector<SnapshotLayout> layouts;
    std::vector<std::vector<uint8_t>> metadataKeys, metadataValues;
    uint64_t metaExtOid = 0;
  };
  void EmitRecords();
  TreeShape FsTreeShape() const;
  uint32_t MappingFlags() const;
  void WriteSnapshots(Snapshots& out);
  SnapshotLayout BuildSnapshot(const std::string& prefix, Snapshots& out, uint64_t* extentRef);
  void AddSnapshotMetadata(const SnapshotSpec& snapshot, const SnapshotLayout& layout,
                           uint64_t extentRef, int64_t createTime, Snapshots& out) const;
  uint64_t WriteSnapshotMetadataTree(const Snapshots& snapshots, const std::string& name);
  void WriteSnapshotMetaExt(const SnapshotSpec& snapshot, uint32_t ordinal, uint64_t xid,
                            Snapshots& out);
  void Flatten(const Entry& entry, size_t parent, const std::string& path);
  void AssignInodes();
  void ResolveLinks();
  size_t FindPath(const std::string& path, const std::string& from);
  void EmitInode(size_t nodeIndex);
  void EmitNames(size_t nodeIndex);
  void EmitPrivateDirectory();
  void EmitRootNames();
  Times TimesOf(const Node& node) const;
  void AddRegularFile(size_t nodeIndex, InodeFields& fields, FileLocation& location);
  void AddStreamFields(uint64_t size, const std::vector<ExtentLocation>& extents, InodeFields& fields) const;
  void AddCompressedFile(const Node& node, InodeFields& fields, FileLocation& location);
  void AddClone(const Node& node, InodeFields& fields, FileLocation& location);
  void AddXattr(uint64_t inode, const std::string& name, const std::vector<uint8_t>& value,
                bool asStream, uint16_t embeddedFlags);
  void AddXattr(uint64_t inode, const XattrSpec& xattr);
  void AddDatalessFile(const Node& node, InodeFields& fields);
  std::vector<ExtentLocation> WriteRuns(const std::vector<Segment>& layout, uint32_t extentBlocks,
                                        const ReadFunction& read);
  void AddExtents(uint64_t streamId, const std::vector<ExtentLocation>& extents);
  uint64_t WriteExtentReferenceTree(const std::string& name);
  void WriteSuperblock(uint64_t oid, uint64_t address, const VolumeLayout& layout,
                       uint64_t omap, uint64_t extentRef, uint64_t snapMeta, uint64_t allocated);
  uint32_t HashOf(const std::string& name) const;
  std::vector<uint8_t> Uuid() const;
  std::vector<KeybagEntry> WriteVolumeKeybag(const std::string& prefix);

  WriteContext& context_;
  const VolumeSpec& spec_;
  uint32_t index_;
  const Entry& root_;
  bool snapshot_ = false;  // writing a snapshot's tree and its physical superblock
  uint64_t snapshotCount_ = 0;
  uint64_t snapMetaExtOid_ = 0;
  bool hashed_;
  RecordSet records_;
  std::unique_ptr<VolumeKeys> keys_;  // a password's volume: its tree and data encrypted
  std::vector<Node> nodes_;
  std::map<std::string, size_t> byPath_;
  std::map<size_t, FileLocation> streams_;  // written clone sources, by node
  std::set<size_t> clonedNodes_;            // nodes other files are clones of
  std::vector<FileLocation> files_;
  // Blocks of file data by first block, for the extent-reference tree.
  struct PhysicalExtent {
    uint64_t blocks = 0;
    uint64_t owner = 0;
    uint32_t references = 0;
  };
  std::map<uint64_t, PhysicalExtent> physicalExtents_;
  uint64_t nextId_ = MIN_USER_INO_NUM;
  uint64_t fileCount_ = 0, directoryCount_ = 0, symlinkCount_ = 0, otherCount_ = 0;
};

void VolumeBuilder::Flatten(const Entry& entry, size_t parent, const std::string& path) {
  const size_t self = nodes_.size();
  Node node;
  node.entry = &entry;
  node.path = path;
  node.parentNode = parent;
  nodes_.push_back(std::move(node));
  if (entry.kind != EntryKind::Directory && !entry.children.empty())
    throw std::runtime_error(path + ": only directories have children");
  for (const Entry& child : entry.children) {
    if (child.name.empty() || child.name.size() > 255 || child.name.find('/') != std::string::npos)
      throw std::runtime_error("bad name in " + path + ": '" + child.name + "'");
    Flatten(child, self, path.empty() ? child.name : path + "/" + child.name);
  }
}

void VolumeBuilder::AssignInodes() {
  std::set<uint64_t> used = {ROOT_DIR_PARENT, ROOT_DIR_INO_NUM, PRIV_DIR_INO_NUM};
  for (size_t i = 1; i < nodes_.size(); ++i) {
    const uint64_t wanted = nodes_[i].entry->inode;
    if (wanted == 0) continue;
    if (wanted < MIN_USER_INO_NUM || !used.insert(wanted).second)
      throw std::runtime_error(nodes_[i].path + ": inode number taken or reserved");
    nodes_[i].inode = wanted;
  }
  nodes_[0].inode = ROOT_DIR_INO_NUM;
  uint64_t next = MIN_USER_INO_NUM;
  for (size_t i = 1; i < nodes_.size(); ++i) {
    if (nodes_[i].inode != 0 || nodes_[i].entry->kind == EntryKind::HardLink) continue;
    while (used.count(next)) ++next;
    nodes_[i].inode = next;
    used.insert(next);
  }
  nextId_ = std::max(*used.rbegin() + 1, MIN_USER_INO_NUM);
}

size_t VolumeBuilder::FindPath(const std::string& target, const std::string& from) {
  // Built on first use only: most trees have no hard links or clones to resolve.
  if (byPath_.empty())
    for (size_t i = 0; i < nodes_.size(); ++i) byPath_.emplace(nodes_[i].path, i);
  std::string path = target;
  while (!path.empty() && path.front() == '/') path.erase(path.begin());
  const auto found = byPath_.find(path);
  if (found == byPath_.end()) throw std::runtime_error(from + ": no such path " + target);
  return found->second;
}

void VolumeBuilder::ResolveLinks() {
  for (size_t i = 0; i < nodes_.size(); ++i)
    if (IsInodeNode(nodes_[i]) && nodes_[i].entry->kind != EntryKind::HardLink)
      nodes_[i].names.push_back(i);
  for (size_t i = 0; i < nodes_.size(); ++i) {
    if (nodes_[i].entry->kind != EntryKind::HardLink) continue;
    const size_t target = FindPath(nodes_[i].entry->target, nodes_[i].path);
    const EntryKind kind = nodes_[target].entry->kind;
    if (kind == EntryKind::Directory || kind == EntryKind::HardLink)
      throw std::runtime_error(nodes_[i].path + ": hard links name files, not directories");
    nodes_[i].linkTarget = target;
    nodes_[i].inode = nodes_[target].inode;
    nodes_[target].names.push_back(i);
  }
  for (const Node& n : nodes_)
    if (!n.entry->cloneOf.empty()) clonedNodes_.insert(FindPath(n.entry->cloneOf, n.path));
  for (Node& n : nodes_)
    if (n.names.size() > 1)
      for (size_t k = 0; k < n.names.size(); ++k) n.siblingIds.push_back(nextId_++);
}

uint32_t VolumeBuilder::HashOf(const std::string& name) const {
  const std::optional<uint32_t> hash = NameHash(name, !spec_.caseInsensitive);
  if (!hash) throw std::runtime_error("name is not valid UTF-8: " + name);
  return *hash;
}

Times VolumeBuilder::TimesOf(const Node& node) const {
  if (node.entry->times) return *node.entry->times;
  const int64_t t = context_.baseTime + static_cast<int64_t>(node.inode) * kDefaultTimeStep;
  return {t, t + 1000, t + 2000, t + 3000};
}

std::vector<ExtentLocation> VolumeBuilder::WriteRuns(const std::vector<Segment>& layout,
                                                     uint32_t extentBlocks,
                                                     const ReadFunction& read) {
  const uint32_t bs = context_.blockSize;
  std::vector<ExtentLocation> extents;
  std::vector<uint8_t> buffer;
  uint64_t logical = 0;
  for (const Segment& run : layout) {
    const uint64_t runBlocks = DivRoundUp(run.length, bs);
    if (run.hole) {
      extents.push_back({logical, runBlocks * bs, 0});
      logical += run.length;
      continue;
    }
    const uint64_t pieceBlocks = extentBlocks != 0 ? extentBlocks : runBlocks;
    for (uint64_t done = 0; done < runBlocks; done += pieceBlocks) {
      const uint64_t blocks = std::min(pieceBlocks, runBlocks - done);
      if (!extents.empty() && extentBlocks != 0) context_.allocator.Skip(1);
      const uint64_t address = context_.allocator.Allocate(blocks);
      const uint64_t pieceStart = logical + done * bs;
      const uint64_t pieceBytes = std::min<uint64_t>(blocks * bs, run.length - done * bs);
      for (uint64_t at = 0; at < pieceBytes; at += kWriteChunk) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(kWriteChunk, pieceBytes - at));
        buffer.assign(AlignUp(count, bs), 0);
        read(pieceStart + at, buffer.data(), count);
        if (keys_) keys_->Encrypt(address + at / bs, bs, buffer.data(), buffer.size());
        context_.image.WriteBlocks(address + at / bs, buffer.data(), buffer.size());
      }
      extents.push_back({pieceStart, blocks * bs, address});
    }
    logical += run.length;
  }
  return extents;
}

void VolumeBuilder::AddExtents(uint64_t streamId, const std::vector<ExtentLocation>& extents) {
  for (const ExtentLocation& e : extents) {
    // Encrypted extents number their units from where they were written.
    const uint64_t cryptoOrigin = keys_ ? e.physicalBlock : 0;
    records_.Add(FileExtentKey(streamId, e.logicalOffset),
                 FileExtentValue(e.length, e.physicalBlock, cryptoOrigin));
    if (e.physicalBlock == 0) continue;
    PhysicalExtent& physical = physicalExtents_[e.physicalBlock];
    if (physical.references++ == 0) {
      physical.blocks = e.length / context_.blockSize;
      physical.owner = streamId;
    }
  }
  records_.Add(DataStreamIdKey(streamId), DataStreamIdValue(1));
}

uint64_t AllocatedBytes(const std::vector<ExtentLocation>& extents) {
  uint64_t total = 0;
  for (const ExtentLocation& e : extents)
    if (e.physicalBlock != 0) total += e.length;
  return total;
}

void VolumeBuilder::AddXattr(uint64_t inode, const std::string& name,
                             const std::vector<uint8_t>& value, bool asStream,
                             uint16_t embeddedFlags) {
  if (!asStream && value.size() <= XATTR_MAX_EMBEDDED_SIZE) {
    records_.Add(XattrKey(inode, name), EmbeddedXattrValue(embeddedFlags, value));
    return;
  }
  const uint64_t streamId = nextId_++;
  const std::vector<ExtentLocation> extents =
      value.empty() ? std::vector<ExtentLocation>{}
                    : WriteRuns({{value.size(), false}}, 0, [&](uint64_t off, uint8_t* out, size_t n) {
                        std::memcpy(out, value.data() + off, n);
                      });
  AddExtents(streamId, extents);
  records_.Add(XattrKey(inode, name),
               StreamXattrValue(streamId, {value.size(), AllocatedBytes(extents)}));
}

void VolumeBuilder::AddXattr(uint64_t inode, const XattrSpec& xattr) {
  if (xattr.flags == 0) {
    AddXattr(inode, xattr.name, xattr.value, xattr.asStream, XATTR_DATA_EMBEDDED);
    return;
  }
  if (xattr.value.size() > XATTR_MAX_EMBEDDED_SIZE)
    throw std::runtime_error(xattr.name + ": an attribute with given flags is stored in its record");
  records_.Add(XattrKey(inode, xattr.name), EmbeddedXattrValue(xattr.flags, xattr.value));
}

// The data stream records the size, but no block holds any of it.
void VolumeBuilder::AddDatalessFile(const Node& node, InodeFields& fields) {
  fields.privateId = node.inode;
  fields.bsdFlags |= SF_DATALESS;
  fields.xfields.push_back({INO_EXT_TYPE_DSTREAM, XF_SYSTEM_FIELD, EncodeDataStream({node.entry->size, 0})});
}

void VolumeBuilder::AddRegularFile(size_t nodeIndex, InodeFields& fields, FileLocation& location) {
  const Node& node = nodes_[nodeIndex];
  const Entry& file = *node.entry;
  const std::vector<Segment> layout = DataLayout(file, context_.blockSize);
  const ContentSource source(file, node.inode);
  const std::vector<ExtentLocation> extents =
      WriteRuns(layout, file.extentBlocks,
                [&](uint64_t off, uint8_t* out, size_t n) { source.Read(off, out, n); });
  location.streamId = node.inode;
  location.extents = extents;
  fields.privateId = node.inode;
  if (file.size == 0) return;
  AddExtents(node.inode, extents);
  AddStreamFields(file.size, extents, fields);
  if (clonedNodes_.count(nodeIndex)) fields.internalFlags |= INODE_WAS_EVER_CLONED;
}

void VolumeBuilder::AddStreamFields(uint64_t size, const std::vector<ExtentLocation>& extents,
                                    InodeFields& fields) const {
  // The allocated size spans the holes too, as readers expect it to cover the size; the
  // sparse-bytes field tells how much of it has no blocks.
  const uint64_t span = AlignUp(size, context_.blockSize);
  fields.xfields.push_back({INO_EXT_TYPE_DSTREAM, XF_SYSTEM_FIELD, EncodeDataStream({size, span})});
  const uint64_t sparse = span - AllocatedBytes(extents);
  if (sparse != 0) {
    Xfield field{INO_EXT_TYPE_SPARSE_BYTES, XF_SYSTEM_FIELD, std::vector<uint8_t>(8)};
    Put64(field.data.data(), sparse);
    fields.xfields.push_back(field);
    fields.internalFlags |= INODE_IS_SPARSE;
  }
}

void VolumeBuilder::AddClone(const Node& node, InodeFields& fields, FileLocation& location) {
  const size_t sourceNode = FindPath(node.entry->cloneOf, node.path);
  const auto written = streams_.find(sourceNode);
  if (written == streams_.end())
    throw std::runtime_error(node.path + ": clone source must be an earlier uncompressed file");
  const FileLocation& source = written->second;
  const uint64_t streamId = nextId_++;
  location.streamId = streamId;
  location.extents = source.extents;
  location.size = source.size;
  fields.privateId = streamId;
  fields.internalFlags |= INODE_WAS_CLONED | INODE_WAS_EVER_CLONED;
  AddExtents(streamId, source.extents);
  AddStreamFields(source.size, source.extents, fields);
}

void VolumeBuilder::AddCompressedFile(const Node& node, InodeFields& fields, FileLocation& location) {
  const Entry& file = *node.entry;
  std::vector<uint8_t> contents(file.size);
  ContentSource(file, node.inode).Read(0, contents.data(), contents.size());
  fields.privateId = node.inode;
  fields.bsdFlags |= UF_COMPRESSED;
  if (file.recordUncompressedSize) {
    fields.internalFlags |= INODE_HAS_UNCOMPRESSED_SIZE;
    fields.uncompressedSize = file.size;
  }
  location.size = file.size;
  if (file.compression == Compression::ResourceFork) {
    fields.internalFlags |= INODE_HAS_RSRC_FORK;
    AddXattr(node.inode, XATTR_DECMPFS, DecmpfsResourceForkHeader(file.size, file.codec), false,
             XATTR_DATA_EMBEDDED);
    AddXattr(node.inode, XATTR_RESOURCE_FORK, CompressedResourceFork(contents, file.codec, file.storeChunks), true,
             0);
    return;
  }
  fields.internalFlags |= INODE_NO_RSRC_FORK;
  const std::vector<uint8_t> attribute = DecmpfsInline(contents, file.codec, file.storeChunks);
  const bool asStream = file.compression == Compression::DecmpfsStream;
  if (!asStream && attribute.size() > XATTR_MAX_EMBEDDED_SIZE)
    throw std::runtime_error(node.path + ": compressed data too large to embed");
  AddXattr(node.inode, XATTR_DECMPFS, attribute, asStream, XATTR_DATA_EMBEDDED);
}

void VolumeBuilder::EmitInode(size_t nodeIndex) {
  const Node& node = nodes_[nodeIndex];
  const Entry& entry = *node.entry;
  const Node& primary = nodes_[node.names.front()];
  const Times times = TimesOf(node);
  InodeFields fields;
  fields.parent = nodeIndex == 0 ? ROOT_DIR_PARENT : nodes_[primary.parentNode].inode;
  fields.privateId = node.inode;
  fields.createTime = times.create;
  fields.modifyTime = times.modify;
  fields.changeTime = times.change;
  fields.accessTime = times.access;
  fields.bsdFlags = entry.bsdFlags;
  fields.owner = entry.owner;
  fields.group = entry.group;
  fields.mode = TypeBits(entry.kind) |
                (entry.permissions != 0 ? entry.permissions : DefaultPermissions(entry.kind));
  fields.childrenOrLinks = entry.kind == EntryKind::Directory
                               ? static_cast<uint32_t>(entry.children.size())
                               : static_cast<uint32_t>(node.names.size());
  const std::string& name = nodeIndex == 0 ? std::string("root") : primary.entry->name;
  fields.xfields.push_back({INO_EXT_TYPE_NAME, XF_DO_NOT_COPY,
                            std::vector<uint8_t>(name.c_str(), name.c_str() + name.size() + 1)});

  FileLocation location{node.path, node.inode, 0, entry.size, {}};
  switch (entry.kind) {
    case EntryKind::Directory: ++directoryCount_; break;
    case EntryKind::Symlink:
      ++symlinkCount_;
      AddXattr(node.inode, XATTR_SYMLINK,
               std::vector<uint8_t>(entry.target.c_str(), entry.target.c_str() + entry.target.size() + 1),
               false, XATTR_DATA_EMBEDDED | XATTR_FILE_SYSTEM_OWNED);
      location.size = entry.target.size();
      break;
    case EntryKind::CharDevice:
    case EntryKind::BlockDevice: {
      ++otherCount_;
      Xfield rdev{INO_EXT_TYPE_RDEV, XF_SYSTEM_FIELD, std::vector<uint8_t>(4)};
      Put32(rdev.data.data(), entry.rdev);
      fields.xfields.push_back(rdev);
      break;
    }
    case EntryKind::Fifo:
    case EntryKind::Socket: ++otherCount_; break;
    default:
      ++fileCount_;
      if (entry.dataless) {
        AddDatalessFile(node, fields);
      } else if (!entry.cloneOf.empty()) {
        AddClone(node, fields, location);
      } else if (entry.compression != Compression::None) {
        AddCompressedFile(node, fields, location);
      } else {
        AddRegularFile(nodeIndex, fields, location);
        if (clonedNodes_.count(nodeIndex)) streams_[nodeIndex] = location;
      }
      break;
  }
  for (const XattrSpec& x : entry.xattrs) AddXattr(node.inode, x);
  for (const ExtraXfield& x : entry.extraXfields) fields.xfields.push_back({x.type, x.flags, x.data});
  if (entry.bareInode) fields.xfields.clear();
  records_.Add(InodeKey(node.inode), InodeValue(fields));
  if (nodeIndex != 0) files_.push_back(std::move(location));
}

void VolumeBuilder::EmitNames(size_t nodeIndex) {
  const Node& inodeNode = nodes_[nodeIndex];
  const uint16_t entryType = DirectoryEntryType(inodeNode.entry->kind);
  const int64_t dateAdded = TimesOf(inodeNode).create;
  for (size_t k = 0; k < inodeNode.names.size(); ++k) {
    const Node& name = nodes_[inodeNode.names[k]];
    if (name.parentNode == kNone) continue;  // the root has no name
    const uint64_t parent = nodes_[name.parentNode].inode;
    const uint64_t sibling = inodeNode.siblingIds.empty() ? 0 : inodeNode.siblingIds[k];
    const uint32_t hash = hashed_ ? HashOf(name.entry->name) : 0;
    records_.Add(DirectoryRecordKey(parent, name.entry->name, hashed_, hash),
                 DirectoryRecordValue(inodeNode.inode, static_cast<uint64_t>(dateAdded), entryType, sibling));
    if (sibling != 0) {
      records_.Add(SiblingLinkKey(inodeNode.inode, sibling), SiblingLinkValue(parent, name.entry->name));
      records_.Add(SiblingMapKey(sibling), SiblingMapValue(inodeNode.inode));
    }
  }
}

void VolumeBuilder::EmitPrivateDirectory() {
  InodeFields fields;
  fields.parent = ROOT_DIR_PARENT;
  fields.privateId = PRIV_DIR_INO_NUM;
  fields.createTime = fields.modifyTime = fields.changeTime = fields.accessTime = context_.baseTime;
  fields.mode = MODE_IFDIR | 0755;
  static const char kName[] = "private-dir";
  fields.xfields.push_back({INO_EXT_TYPE_NAME, XF_DO_NOT_COPY,
                            std::vector<uint8_t>(kName, kName + sizeof kName)});
  records_.Add(InodeKey(PRIV_DIR_INO_NUM), InodeValue(fields));
}

// A new volume names its two first directories from the pseudo-parent 1, as the system's
// formatter does: "root" and "private-dir", each added when it was made. Some readers
// find the root only through these records.
void VolumeBuilder::EmitRootNames() {
  const std::pair<const char*, uint64_t> names[] = {{"root", ROOT_DIR_INO_NUM}, {"private-dir", PRIV_DIR_INO_NUM}};
  for (const auto& [name, inode] : names) {
    const int64_t made = inode == ROOT_DIR_INO_NUM ? TimesOf(nodes_[0]).create : context_.baseTime;
    records_.Add(DirectoryRecordKey(ROOT_DIR_PARENT, name, hashed_, hashed_ ? HashOf(name) : 0),
                 DirectoryRecordValue(inode, static_cast<uint64_t>(made), DT_DIR, 0));
  }
}

// One record per run of data blocks: its length, the stream that first owned it, and how
// many streams refer to it (clones share runs).
uint64_t VolumeBuilder::WriteExtentReferenceTree(const std::string& name) {
  constexpr size_t kRecordSize = 8 + PHYS_EXT_VAL_SIZE;
  std::vector<uint8_t> bytes(physicalExtents_.size() * kRecordSize, 0);
  std::vector<TreeRecord> records;
  records.reserve(physicalExtents_.size());
  uint8_t* at = bytes.data();
  for (const auto& [block, extent] : physicalExtents_) {
    Put64(at, KeyWord(block, APFS_TYPE_EXTENT));
    Put64(at + 8, extent.blocks | APFS_KIND_NEW << PEXT_KIND_SHIFT);
    Put64(at + 16, extent.owner);
    Put32(at + 24, extent.references);
    records.push_back({at, 8, at + 8, PHYS_EXT_VAL_SIZE});
    at += kRecordSize;
  }
  return WritePhysicalTree(context_, TYPE_BLOCKREFTREE, records, name);
}

void VolumeBuilder::WriteSuperblock(uint64_t oid, uint64_t address, const VolumeLayout& layout,
                                    uint64_t omap, uint64_t extentRef, uint64_t snapMeta,
                                    uint64_t allocated) {
  std::vector<uint8_t> block(context_.blockSize, 0);
  uint8_t* b = block.data();
  SetObjectHeader(b, oid, context_.xid, TYPE_FS | (snapshot_ ? OBJ_PHYSICAL : OBJ_VIRTUAL), 0);
  Put32(b + apsb::MAGIC, APFS_MAGIC);
  Put32(b + apsb::FS_INDEX, index_);
  Put64(b + apsb::FEATURES, APFS_FEATURE_HARDLINK_MAP_RECORDS);
  uint64_t incompat = 0;
  if (spec_.caseInsensitive) incompat |= APFS_INCOMPAT_CASE_INSENSITIVE;
  else if (spec_.normalizationInsensitive) incompat |= APFS_INCOMPAT_NORMALIZATION_INSENSITIVE;
  if (spec_.sealed) incompat |= APFS_INCOMPAT_SEALED_VOLUME;
  Put64(b + apsb::INCOMPAT, incompat);
  Put64(b + apsb::UNMOUNT_TIME, static_cast<uint64_t>(context_.baseTime));
  Put64(b + apsb::RESERVE_BLOCKS, spec_.reserveBlocks);
  Put64(b + apsb::QUOTA_BLOCKS, spec_.quotaBlocks);
  Put64(b + apsb::ALLOC_COUNT, allocated);
  Put16(b + apsb::META_CRYPTO, META_CRYPTO_MAJOR_VERSION);
  Put32(b + apsb::META_CRYPTO + 8, PROTECTION_CLASS_F);
  Put16(b + apsb::META_CRYPTO + 16, 1);  // key revision
  Put32(b + apsb::ROOT_TREE_TYPE, TYPE_BTREE | OBJ_VIRTUAL);
  Put32(b + apsb::EXTENTREF_TREE_TYPE, TYPE_BTREE | OBJ_PHYSICAL);
  Put32(b + apsb::SNAP_META_TREE_TYPE, TYPE_BTREE | OBJ_PHYSICAL);
  Put64(b + apsb::OMAP_OID, omap);
  Put64(b + apsb::ROOT_TREE_OID, layout.rootTreeOid);
  Put64(b + apsb::EXTENTREF_TREE_OID, extentRef);
  Put64(b + apsb::SNAP_META_TREE_OID, snapMeta);
  Put64(b + apsb::NEXT_OBJ_ID, nextId_);
  Put64(b + apsb::NUM_FILES, fileCount_);
  Put64(b + apsb::NUM_DIRECTORIES, directoryCount_);
  Put64(b + apsb::NUM_SYMLINKS, symlinkCount_);
  Put64(b + apsb::NUM_OTHER, otherCount_);
  Put64(b + apsb::NUM_SNAPSHOTS, snapshotCount_);
  Put64(b + apsb::SNAP_META_EXT_OID, snapMetaExtOid_);
  Put64(b + apsb::TOTAL_ALLOCED, allocated);
  std::memcpy(b + apsb::VOL_UUID, Uuid().data(), 16);
  Put64(b + apsb::LAST_MOD_TIME, static_cast<uint64_t>(context_.baseTime));
  Put64(b + apsb::FS_FLAGS, keys_ ? APFS_FS_ONEKEY : spec_.encrypted ? 0 : APFS_FS_UNENCRYPTED);
  static const char kFormattedBy[] = "quadrel-mkimage";
  std::memcpy(b + apsb::FORMATTED_BY, kFormattedBy, sizeof kFormattedBy);
  Put64(b + apsb::FORMATTED_BY + apsb::MODIFIED_BY_ID_LEN, static_cast<uint64_t>(context_.baseTime));
  Put64(b + apsb::FORMATTED_BY + apsb::MODIFIED_BY_ID_LEN + 8, context_.xid);
  std::memcpy(b + apsb::VOLNAME, spec_.name.data(), spec_.name.size());
  Put32(b + apsb::NEXT_DOC_ID, 3);
  Put16(b + apsb::ROLE, static_cast<uint16_t>(spec_.role));
  SealObject(b, block.size());
  context_.image.WriteBlock(address, block);
}

VolumeLayout VolumeBuilder::Build(uint32_t omapEntryCap) {
  if (spec_.name.size() >= APFS_VOLNAME_LEN) throw std::runtime_error("volume name over 255 bytes");
  if (spec_.root.kind != EntryKind::Directory) throw std::runtime_error("volume root must be a directory");
  if (spec_.nodeVersions < 1 || spec_.nodeVersions >= context_.xid)
    throw std::runtime_error("nodeVersions must lie between 1 and the transaction id");
  const std::string prefix = "volume[" + std::to_string(index_) + "]";
  const uint64_t usedBefore = context_.allocator.UsedBlocks();
  const uint64_t superblockOid = context_.NewOid();
  Snapshots snapshots;
  WriteSnapshots(snapshots);

  EmitRecords();
  const TreeShape shape = FsTreeShape();
  VirtualSink sink(context_, shape, spec_.nodeVersions, MappingFlags(), keys_.get());
  sink.UseRootOid(snapshots.rootOid);
  const BuiltTree tree = BuildTree(records_.Views(), shape, sink);
  sink.Mappings().insert(sink.Mappings().end(), snapshots.mappings.begin(), snapshots.mappings.end());

  VolumeLayout layout;
  layout.superblockOid = superblockOid;
  layout.rootTreeOid = tree.root.oid;
  layout.rootTreeAddress = tree.root.address;
  layout.treeDepth = tree.depth;
  layout.treeNodes = tree.nodeCount;
  layout.treeRecords = tree.recordCount;
  context_.Note(prefix + ".fstree.root", tree.root.address, tree.root.oid, TYPE_BTREE | OBJ_VIRTUAL);
  OmapSnapshots omapSnapshots;
  if (!snapshots.omapEntries.empty()) {
    omapSnapshots.count = static_cast<uint32_t>(snapshots.omapEntries.size());
    omapSnapshots.mostRecent = snapshots.omapEntries.back().xid;
    omapSnapshots.treeAddress =
        WriteOmapSnapshotTree(context_, snapshots.omapEntries, prefix + ".omap.snapshots");
  }
  layout.omapAddress =
      WriteObjectMap(context_, sink.Mappings(), omapEntryCap, 0, prefix + ".omap", omapSnapshots);
  const uint64_t extentRef = WriteExtentReferenceTree(prefix + ".extentref");
  const uint64_t snapMeta = WriteSnapshotMetadataTree(snapshots, prefix + ".snapmeta");
  snapshotCount_ = snapshots.layouts.size();
  snapMetaExtOid_ = snapshots.metaExtOid;
  if (keys_) layout.keybagEntries = WriteVolumeKeybag(prefix);
  layout.superblockAddress = context_.allocator.Allocate(1);
  layout.nextObjectId = nextId_;
  WriteSuperblock(superblockOid, layout.superblockAddress, layout, layout.omapAddress, extentRef,
                  snapMeta, context_.allocator.UsedBlocks() - usedBefore);
  context_.Note(prefix + ".superblock", layout.superblockAddress, superblockOid, TYPE_FS | OBJ_VIRTUAL);
  std::sort(files_.begin(), files_.end(),
            [](const FileLocation& a, const FileLocation& b) { return a.inode < b.inode; });
  layout.files = std::move(files_);
  layout.snapshots = std::move(snapshots.layouts);
  return layout;
}

void VolumeBuilder::EmitRecords() {
  Flatten(root_, kNone, "");
  AssignInodes();
  ResolveLinks();
  for (size_t i = 0; i < nodes_.size(); ++i) {
    if (!IsInodeNode(nodes_[i])) continue;
    EmitInode(i);
    EmitNames(i);
  }
  EmitPrivateDirectory();
  EmitRootNames();
  records_.Sort();
}

TreeShape VolumeBuilder::FsTreeShape() const {
  TreeShape shape;
  shape.blockSize = context_.blockSize;
  shape.subtype = TYPE_FSTREE;
  shape.storage = OBJ_VIRTUAL;
  shape.treeFlags = BTREE_KV_NONALIGNED;  // records packed, as checkers expect of this tree
  shape.entryCap = spec_.nodeEntryCap;
  shape.xid = context_.xid;
  return shape;
}

uint32_t VolumeBuilder::MappingFlags() const {
  return (spec_.encrypted || keys_ ? OMAP_VAL_ENCRYPTED : 0) | (spec_.sealed ? OMAP_VAL_NOHEADER : 0);
}

std::vector<uint8_t> VolumeBuilder::Uuid() const {
  return spec_.uuid ? *spec_.uuid : SeededUuid(context_.seed, 0x100 + index_);
}

// The volume keybag, holding the password's record, encrypted with the volume's UUID;
// returns what the container's keybag holds for the volume: its wrapped key and where
// the volume keybag is.
std::vector<KeybagEntry> VolumeBuilder::WriteVolumeKeybag(const std::string& prefix) {
  const std::vector<uint8_t> uuid = Uuid();
  const uint64_t address = context_.allocator.Allocate(1);
  const KeybagEntry record{uuid, KB_TAG_VOLUME_UNLOCK_RECORDS,
                           keys_->PasswordBlob(uuid, *spec_.password, spec_.passwordIterations)};
  context_.image.WriteBlock(address, KeybagBlock(context_.blockSize, address, context_.xid,
                                                 TYPE_VOLUME_KEYBAG, uuid, {record}));
  context_.Note(prefix + ".keybag", address, 0, TYPE_VOLUME_KEYBAG);
  std::vector<uint8_t> range(16);
  Put64(range.data(), address);
  Put64(range.data() + 8, 1);
  // In the order a Mac writes them.
  return {{uuid, KB_TAG_VOLUME_UNLOCK_RECORDS, range}, {uuid, KB_TAG_VOLUME_KEY, keys_->VolumeKeyBlob(uuid)}};
}

// Each snapshot is written as the volume was at its transaction: its own tree, data and
// extent-reference tree, and a superblock of its own. Snapshots take the transactions
// just below the oldest version of the live tree.
void VolumeBuilder::WriteSnapshots(Snapshots& out) {
  const uint64_t count = spec_.snapshots.size();
  if (count == 0) return;
  if (context_.xid <= spec_.nodeVersions + count)
    throw std::runtime_error("the transaction id leaves no room for the snapshots");
  out.metaExtOid = context_.NewOid();
  for (uint32_t k = 0; k < count; ++k) {
    const SnapshotSpec& snapshot = spec_.snapshots[k];
    if (snapshot.name.empty() || snapshot.name.size() > 255 || snapshot.name.find('\0') != std::string::npos)
      throw std::runtime_error("bad snapshot name: '" + snapshot.name + "'");
    const std::string prefix = "volume[" + std::to_string(index_) + "].snapshot[" + std::to_string(k) + "]";
    WriteContext context = context_;
    context.xid = context_.xid - spec_.nodeVersions - (count - k);
    uint64_t extentRef = 0;
    VolumeBuilder builder(context, spec_, index_, snapshot.root);
    builder.snapshot_ = true;
    SnapshotLayout layout = builder.BuildSnapshot(prefix, out, &extentRef);
    context_.nextOid = context.nextOid;
    layout.name = snapshot.name;
    const int64_t createTime = snapshot.createTime != 0 ? snapshot.createTime
                                                        : context_.baseTime + (k + 1) * kDefaultTimeStep;
    AddSnapshotMetadata(snapshot, layout, extentRef, createTime, out);
    WriteSnapshotMetaExt(snapshot, k, layout.xid, out);
    out.omapEntries.push_back({layout.xid, snapshot.deleted ? OMAP_SNAPSHOT_DELETED : 0u});
    out.layouts.push_back(std::move(layout));
  }
}

SnapshotLayout VolumeBuilder::BuildSnapshot(const std::string& prefix, Snapshots& out,
                                            uint64_t* extentRef) {
  const uint64_t usedBefore = context_.allocator.UsedBlocks();
  EmitRecords();
  const TreeShape shape = FsTreeShape();
  VirtualSink sink(context_, shape, 1, MappingFlags(), keys_.get());
  sink.UseRootOid(out.rootOid);
  const BuiltTree tree = BuildTree(records_.Views(), shape, sink);
  out.rootOid = tree.root.oid;
  out.mappings.insert(out.mappings.end(), sink.Mappings().begin(), sink.Mappings().end());
  context_.Note(prefix + ".fstree.root", tree.root.address, tree.root.oid, TYPE_BTREE | OBJ_VIRTUAL);
  *extentRef = WriteExtentReferenceTree(prefix + ".extentref");
  SnapshotLayout layout;
  layout.xid = context_.xid;
  layout.superblockAddress = context_.allocator.Allocate(1);
  VolumeLayout volume;
  volume.rootTreeOid = tree.root.oid;
  WriteSuperblock(layout.superblockAddress, layout.superblockAddress, volume, 0, *extentRef, 0,
                  context_.allocator.UsedBlocks() - usedBefore);
  context_.Note(prefix + ".superblock", layout.superblockAddress, layout.superblockAddress,
                TYPE_FS | OBJ_PHYSICAL);
  std::sort(files_.begin(), files_.end(),
            [](const FileLocation& a, const FileLocation& b) { return a.inode < b.inode; });
  layout.files = std::move(files_);
  return layout;
}

// The snapshot's metadata record (keyed by its transaction) and its name record (keyed
// by the name, after every metadata record).
void VolumeBuilder::AddSnapshotMetadata(const SnapshotSpec& snapshot, const SnapshotLayout& layout,
                                        uint64_t extentRef, int64_t createTime, Snapshots& out) const {
  const uint16_t nameSize = static_cast<uint16_t>(snapshot.name.size() + 1);
  std::vector<uint8_t> key(8), value(50 + nameSize, 0);
  Put64(key.data(), KeyWord(layout.xid, APFS_TYPE_SNAP_METADATA));
  Put64(value.data(), extentRef);
  Put64(value.data() + 8, layout.superblockAddress);
  Put64(value.data() + 16, static_cast<uint64_t>(createTime));
  Put64(value.data() + 24, static_cast<uint64_t>(createTime));
  Put32(value.data() + 40, TYPE_BTREE | OBJ_PHYSICAL);
  Put16(value.data() + 48, nameSize);
  std::memcpy(value.data() + 50, snapshot.name.data(), snapshot.name.size());
  out.metadataKeys.push_back(std::move(key));
  out.metadataValues.push_back(std::move(value));
}

uint64_t VolumeBuilder::WriteSnapshotMetadataTree(const Snapshots& snapshots, const std::string& name) {
  std::vector<TreeRecord> records;
  for (size_t k = 0; k < snapshots.metadataKeys.size(); ++k) {
    records.push_back({snapshots.metadataKeys[k].data(), 8, snapshots.metadataValues[k].data(),
                       static_cast<uint32_t>(snapshots.metadataValues[k].size())});
  }
  // Name records: all-ones id, the name's length with its zero, the name; by name bytes.
  std::vector<std::pair<std::string, uint64_t>> names;
  for (const SnapshotLayout& layout : snapshots.layouts) names.emplace_back(layout.name, layout.xid);
  std::sort(names.begin(), names.end());
  std::vector<std::vector<uint8_t>> keys, values;
  for (const auto& [snapshotName, xid] : names) {
    std::vector<uint8_t> key(10 + snapshotName.size() + 1, 0), value(8);
    Put64(key.data(), KeyWord(~0ull, APFS_TYPE_SNAP_NAME));
    Put16(key.data() + 8, static_cast<uint16_t>(snapshotName.size() + 1));
    std::memcpy(key.data() + 10, snapshotName.data(), snapshotName.size());
    Put64(value.data(), xid);
    keys.push_back(std::move(key));
    values.push_back(std::move(value));
  }
  for (size_t k = 0; k < keys.size(); ++k) {
    records.push_back({keys[k].data(), static_cast<uint32_t>(keys[k].size()), values[k].data(), 8});
  }
  return WritePhysicalTree(context_, TYPE_SNAPMETATREE, records, name);
}

// One version of the volume's extra snapshot metadata per snapshot, written at the
// snapshot's transaction: it carries the snapshot's UUID.
void VolumeBuilder::WriteSnapshotMetaExt(const SnapshotSpec& snapshot, uint32_t ordinal,
                                         uint64_t xid, Snapshots& out) {
  std::vector<uint8_t> block(context_.blockSize, 0);
  uint8_t* b = block.data();
  SetObjectHeader(b, out.metaExtOid, xid, TYPE_SNAP_META_EXT | OBJ_VIRTUAL, 0);
  Put32(b + 32, 1);  // version
  Put64(b + 40, xid);
  const std::vector<uint8_t> uuid =
      snapshot.uuid ? *snapshot.uuid : SeededUuid(context_.seed, 0x1000 + index_ * 0x100 + ordinal);
  if (uuid.size() != 16) throw std::runtime_error("snapshot UUID must be 16 bytes");
  std::memcpy(b + 48, uuid.data(), 16);
  SealObject(b, block.size());
  const uint64_t address = context_.allocator.Allocate(1);
  context_.image.WriteBlock(address, block);
  out.mappings.push_back({out.metaExtOid, xid, 0, address});
}

}  // namespace

VolumeLayout WriteVolume(WriteContext& context, const VolumeSpec& spec, uint32_t index,
                         uint32_t omapEntryCap) {
  return VolumeBuilder(context, spec, index, spec.root).Build(omapEntryCap);
}

}  // namespace apfsw
