#include "VolumeReader.h"

#include <algorithm>
#include <cstring>

#include "ApfsFormat.h"
#include "EntryName.h"
#include "Failure.h"
#include "Unlock.h"

namespace {

constexpr uint64_t ROOT_DIRECTORY_INODE = 2;
constexpr char SYMLINK_XATTR[] = "com.apple.fs.symlink";
constexpr char DECMPFS_XATTR[] = "com.apple.decmpfs";
constexpr char RESOURCE_FORK_XATTR[] = "com.apple.ResourceFork";

std::string InodeName(const Inode* inode) {
  return "inode " + std::to_string(inode->objectId & OBJ_ID_MASK);
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

bool HasNonAscii(const std::string& name) {
  return std::any_of(name.begin(), name.end(), [](char c) { return uint8_t(c) >= 0x80; });
}

// A name as code points, each canonically decomposed, and the first of each folded to
// lower case when the volume ignores case: two spellings of one name (composed or
// decomposed accents) have the same form. Empty for invalid UTF-8.
std::u32string MatchingForm(const std::string& name, bool foldCase) {
  std::u32string form;
  const auto* cursor = reinterpret_cast<const uint8_t*>(name.data());
  const uint8_t* end = cursor + name.size();
  while (cursor < end) {
    const uint8_t lead = *cursor++;
    int32_t c = lead;
    if (lead >= 0x80 && (c = Utf8Decode(lead, &cursor, end)) < 0) return {};
    uint32_t parts[4];
    const uint32_t count = Decompose(uint32_t(c), parts);
    if (foldCase) parts[0] = FoldCase(parts[0]);
    form.append(parts, parts + count);
  }
  return form;
}

// Attribute values are read in pieces of this many bytes.
constexpr uint64_t XATTR_READ_PIECE = 1 << 20;

// A placeholder's contents live elsewhere: reading must fail, not give zeros.
void RefuseDataless(const Inode* inode) {
  if (Le32(inode->value + INODE_BSD_FLAGS) & SF_DATALESS) throw DatalessContents(InodeName(inode));
}

// Directories get a directory node, which can be listed; everything else a file node.
FsNodeKind NodeKindOf(const Inode* inode) {
  return (Le16(inode->value + INODE_MODE) & S_IFMT_MASK) == MODE_DIR ? FS_NODE_DIRECTORY : FS_NODE_FILE;
}

}  // namespace

InodeRef& InodeRef::operator=(InodeRef&& other) noexcept {
  if (this != &other) {
    InodeRelease(inode_);
    inode_ = other.inode_;
    other.inode_ = nullptr;
  }
  return *this;
}

InodeRef::~InodeRef() {
  if (inode_ != nullptr) InodeRelease(inode_);
}

NodeRef& NodeRef::operator=(NodeRef&& other) noexcept {
  if (this != &other) {
    FsNodeRelease(node_);
    node_ = other.node_;
    other.node_ = nullptr;
  }
  return *this;
}

NodeRef::~NodeRef() { FsNodeRelease(node_); }

NodeRef NodeRef::share() const {
  node_->useCount++;
  return NodeRef(node_);
}

// ---- Session ----

Session::Session(VolumeReader& volume, const TreePair& source) : volume_(volume) {
  Container* container = volume.image().container();
  BTreeInit(&trees_.omap, container);
  BTreeInit(&trees_.fs, container);
  if (!BTreeClone(&trees_.omap, &source.omap, nullptr) ||
      !BTreeClone(&trees_.fs, &source.fs, &trees_.omap)) {
    BTreeRelease(&trees_.fs);
    BTreeRelease(&trees_.omap);
    throw Corrupt("volume " + std::to_string(volume.index()) + ": cannot copy its trees");
  }
  root_ = NodeRef(FsNodeCreate(volume.handle(), FS_NODE_DIRECTORY, volume.ObjectId(ROOT_DIRECTORY_INODE), &trees_.fs));
  if (root_.get() == nullptr) {
    BTreeRelease(&trees_.fs);
    BTreeRelease(&trees_.omap);
    throw Corrupt("volume " + std::to_string(volume.index()) + ": root directory (inode 2) unreadable");
  }
}

Session::~Session() {
  compressed_.reset();
  lastInode_ = InodeRef();
  root_ = NodeRef();
  BTreeRelease(&trees_.fs);
  BTreeRelease(&trees_.omap);
}

NodeRef Session::Lookup(const NodeRef& directory, const std::string& name, const std::string& path) {
  if (!directory.isDirectory()) throw NotADirectory(path);
  if (name.size() > FsMaxNameLength() || !IsPathComponent(name)) throw NoSuchFile(path);
  FsNode* found = nullptr;
  bool notFound = false;
  if (!FsLookup(directory.get(), reinterpret_cast<const uint8_t*>(name.data()), uint32_t(name.size()),
                &found, nullptr, &trees_.fs, &notFound)) {
    if (!notFound) {
      throw Corrupt("directory " + InodeName(directory.inode()) + ": looking up \"" + name + "\" failed");
    }
    NodeRef spelledOtherwise = FindOtherSpelling(directory, name);
    if (spelledOtherwise.get() == nullptr) throw NoSuchFile(path);
    return spelledOtherwise;
  }
  return NodeRef(found);
}

// The engine finds a name only in the form it is stored in. On a volume that ignores
// normalisation, a name typed with composed accents must still find one stored with
// decomposed accents (and the other way round): the directory is searched for it.
NodeRef Session::FindOtherSpelling(const NodeRef& directory, const std::string& name) {
  const Volume& volume = volume_.image().container()->volumes[volume_.index()];
  const uint64_t features = Le64(volume.superblock + APFS_INCOMPATIBLE_FEATURES);
  const bool ignoresCase = features & APFS_INCOMPAT_CASE_INSENSITIVE;
  if (!HasNonAscii(name) || !(ignoresCase || (features & APFS_INCOMPAT_NORMALIZATION_INSENSITIVE))) {
    return NodeRef();
  }
  const std::u32string wanted = MatchingForm(name, ignoresCase);
  InodeRef match;
  List(directory.get(), [&](Listed&& listed) {
    if (match.get() == nullptr && !wanted.empty() && MatchingForm(listed.name, ignoresCase) == wanted) {
      match = std::move(listed.inode);
    }
  });
  return match.get() != nullptr ? Open(match.get()) : NodeRef();
}

NodeRef Session::Resolve(const std::string& path) {
  std::vector<NodeRef> stack;
  stack.push_back(root_.share());
  std::string walked;
  for (const std::string& part : SplitPath(path)) {
    if (part == ".") continue;
    if (part == "..") {
      if (stack.size() > 1) stack.pop_back();
      continue;
    }
    walked += "/" + part;
    stack.push_back(Lookup(stack.back(), part, walked));
  }
  return std::move(stack.back());
}

std::vector<std::string> Session::List(FsNode* directory, const std::function<void(Listed&&)>& each) {
  std::vector<std::string> leftOut;
  DirSearch* search = nullptr;
  if (!DirSearchCreate(directory, &search, &trees_.fs)) {
    throw Corrupt("directory " + InodeName(directory->inode) + ": cannot start a listing");
  }
  BTreeCursor* cursor = nullptr;
  auto cleanUp = [&] {
    if (cursor != nullptr) {
      BTreeCursorClose(cursor);
      delete cursor;
    }
    DirSearchFree(search);
  };
  try {
    for (;;) {
      FileInfo info;
      Inode* inode = nullptr;
      bool notFound = false;
      if (!DirEnumNext(directory, search, &info, &inode, &notFound, &cursor, &trees_.fs)) {
        if (notFound) break;
        throw Corrupt("directory " + InodeName(directory->inode) + ": listing failed after " +
                      std::to_string(search->lastReturned + 1) + " entries");
      }
      Listed entry{std::string(reinterpret_cast<const char*>(info.name), info.nameLength), InodeRef(inode)};
      if (IsPathComponent(entry.name)) {
        each(std::move(entry));
      } else {
        leftOut.push_back(std::move(entry.name));
      }
    }
  } catch (...) {
    cleanUp();
    throw;
  }
  cleanUp();
  return leftOut;
}

NodeRef Session::Open(Inode* inode) {
  FsNode* node = FsNodeCreate(volume_.handle(), NodeKindOf(inode), inode->objectId, &trees_.fs);
  if (node == nullptr) throw Corrupt(InodeName(inode) + ": cannot be loaded again");
  return NodeRef(node);
}

NodeRef Session::OpenNumber(uint64_t inodeNumber) {
  Inode* inode = LoadFresh(volume_.ObjectId(inodeNumber));
  FsNode* node = FsNodeAdopt(volume_.handle(), NodeKindOf(inode), inode);
  if (node == nullptr) {
    InodeRelease(inode);
    throw Corrupt("inode " + std::to_string(inodeNumber) + ": directory record unreadable");
  }
  return NodeRef(node);
}

NodeRef Session::Child(const NodeRef& directory, const std::string& name) { return Lookup(directory, name, name); }

Inode* Session::LoadFresh(uint64_t objectId) {
  bool notFound = false;
  Inode* inode = InodeLoad(volume_.image().container(), objectId, &trees_.fs, &notFound);
  if (inode == nullptr) {
    if (notFound) throw NoSuchFile("inode " + std::to_string(objectId & OBJ_ID_MASK));
    throw Corrupt("inode " + std::to_string(objectId & OBJ_ID_MASK) + " unreadable");
  }
  return inode;
}

Inode* Session::LoadInode(uint64_t objectId) {
  if (lastInode_.get() != nullptr && lastInode_.get()->objectId == objectId) return lastInode_.get();
  lastInode_ = InodeRef(LoadFresh(objectId));
  return lastInode_.get();
}

PosixStat Session::Stat(Inode* inode) {
  const uint8_t* v = inode->value;
  PosixStat st;
  st.inode = inode->objectId & OBJ_ID_MASK;
  st.mode = Le16(v + INODE_MODE);
  st.uid = Le32(v + INODE_OWNER);
  st.gid = Le32(v + INODE_GROUP);
  st.bsdFlags = Le32(v + INODE_BSD_FLAGS);
  st.birthNs = Le64(v + INODE_CREATE_TIME);
  st.modifyNs = Le64(v + INODE_MOD_TIME);
  st.changeNs = Le64(v + INODE_CHANGE_TIME);
  st.accessNs = Le64(v + INODE_ACCESS_TIME);
  st.compressed = (st.bsdFlags & UF_COMPRESSED) != 0;
  st.sparse = inode->sparseBytes != 0;
  st.allocated = inode->dstream != nullptr ? Le64(inode->dstream + DSTREAM_ALLOCED_SIZE) : 0;
  const uint16_t type = st.mode & S_IFMT_MASK;
  // A directory's count field holds its children; Linux tools read a link count of 1
  // on a directory as "unknown", which is what it is here.
  if (type == MODE_DIR) {
    st.children = Le32(v + INODE_NCHILDREN);
  } else {
    st.nlink = std::max<uint32_t>(1, Le32(v + INODE_NCHILDREN));
  }
  const uint64_t logical = InodeLogicalSize(inode, &trees_.fs);
  // A symlink's logical size counts the target's terminating zero.
  st.size = type == MODE_LNK ? (logical > 0 ? logical - 1 : 0) : type == MODE_DIR ? 0 : logical;
  if ((type == MODE_CHR || type == MODE_BLK) && inode->rdev != nullptr) {
    const uint32_t rdev = Le32(inode->rdev);
    st.rdevMajor = rdev >> 24;
    st.rdevMinor = rdev & 0xFFFFFF;
  }
  return st;
}

std::vector<uint8_t> Session::XattrValue(Inode* inode, const std::string& name) {
  const XattrEntry* entry = XattrNamed(inode, reinterpret_cast<const uint8_t*>(name.data()), uint32_t(name.size()));
  if (entry == nullptr) throw ReadFailure(ExitCode::NoSuchPath, ENODATA, "no such attribute: " + name);
  if (!XattrStorageKnown(entry->flags)) throw UnsupportedAttribute(name);
  // Read a piece at a time: the value grows only as far as the attribute's data can be
  // read, whatever length its record claims.
  std::vector<uint8_t> value;
  while (value.size() < entry->dataLength) {
    const uint64_t offset = value.size();
    const uint64_t piece = std::min<uint64_t>(XATTR_READ_PIECE, entry->dataLength - offset);
    value.resize(offset + piece);
    if (!XattrRead(inode, entry, offset, value.data() + offset, piece, &trees_.fs)) {
      throw Corrupt(InodeName(inode) + ": attribute " + name + " unreadable at byte " + std::to_string(offset) +
                    " of the " + std::to_string(entry->dataLength) + " its record claims");
    }
  }
  return value;
}

std::string Session::SymlinkTarget(Inode* inode) {
  std::vector<uint8_t> value;
  try {
    value = XattrValue(inode, SYMLINK_XATTR);
  } catch (const ReadFailure& failure) {
    if (failure.errnoValue() != ENODATA) throw;
    throw Corrupt("symbolic link " + InodeName(inode) + ": no target recorded");
  }
  std::string target(value.begin(), value.end());
  while (!target.empty() && target.back() == '\0') target.pop_back();
  return target;
}

std::vector<Xattr> Session::Xattrs(Inode* inode) {
  std::vector<Xattr> out;
  for (const XattrEntry* e = inode->xattrs; e != nullptr; e = e->next) {
    if (e->nameLength == 0) continue;
    std::string name(reinterpret_cast<const char*>(e->buffer), strnlen(reinterpret_cast<const char*>(e->buffer), e->nameLength));
    if (name == SYMLINK_XATTR || name == DECMPFS_XATTR) continue;
    // A compressed file's resource fork holds its compressed bytes, which Read delivers.
    if (name == RESOURCE_FORK_XATTR && IsCompressed(inode)) continue;
    out.push_back({name, e->dataLength, e->streamId != 0});
  }
  return out;
}

void Session::ForEachRun(Inode* inode, uint64_t offset, uint64_t size,
                         const std::function<bool(const Run&)>& each) {
  RefuseDataless(inode);
  if (IsCompressed(inode)) {
    throw ReadFailure(ExitCode::Unsupported, EOPNOTSUPP, InodeName(inode) + ": compressed: no runs of data to map");
  }
  // The engine decodes the extents and bounds them by the container; a run it cannot
  // give is an error, never zeros.
  for (uint64_t pos = offset; pos < size;) {
    uint64_t physical = 0, length = 0;
    if (!FileDataRun(inode, pos, &physical, &length, &trees_.fs)) {
      throw Corrupt(InodeName(inode) + ": extent map unreadable or out of bounds at offset " +
                    std::to_string(pos));
    }
    const Run run{pos, std::min(length, size - pos), physical == 0 ? -1 : int64_t(physical)};
    if (!each(run)) return;
    pos += run.length;
  }
}

uint64_t Session::DataSize(Inode* inode) { return InodeLogicalSize(inode, &trees_.fs); }

size_t Session::Read(Inode* inode, uint64_t offset, void* buffer, size_t count) {
  if (IsCompressed(inode)) return ReadCompressed(inode, Compressed(inode), offset, buffer, count);
  const uint64_t size = DataSize(inode);
  if (offset >= size || count == 0) return 0;
  const uint64_t end = std::min<uint64_t>(size, offset + count);
  auto* out = static_cast<uint8_t*>(buffer);
  if (VolumeDecrypts(inode->volume)) {
    if (!ReadEncryptedData(inode, offset, out, end - offset, &trees_.fs)) {
      throw Corrupt(InodeName(inode) + ": encrypted data unreadable at offset " + std::to_string(offset));
    }
    return size_t(end - offset);
  }
  BlockDevice* device = volume_.image().container()->device;
  ForEachRun(inode, offset, end, [&](const Run& run) {
    uint8_t* target = out + (run.offset - offset);
    if (run.physical < 0) {
      std::memset(target, 0, run.length);
    } else if (!DeviceRead(device, uint64_t(run.physical), target, run.length)) {
      throw Corrupt(InodeName(inode) + ": data at byte " + std::to_string(run.physical) +
                    " lies outside the container");
    }
    return true;
  });
  return size_t(end - offset);
}

bool Session::IsCompressed(const Inode* inode) { return Le32(inode->value + INODE_BSD_FLAGS) & UF_COMPRESSED; }

CompressedFile& Session::Compressed(Inode* inode) {
  if (compressed_ == nullptr || compressed_->objectId() != inode->objectId) {
    compressed_.reset();
    compressed_ = OpenCompressed(inode);
  }
  return *compressed_;
}

std::string Session::CompressionKind(Inode* inode) {
  const std::vector<uint8_t> attribute = XattrValue(inode, DECMPFS_XATTR);
  DecmpfsHeader header;
  if (!DecmpfsParseHeader(attribute.data(), attribute.size(), &header)) return "damaged header";
  return DecmpfsDescribe(header.kind);
}

std::unique_ptr<CompressedFile> Session::OpenCompressed(Inode* inode) {
  RefuseDataless(inode);
  return std::make_unique<CompressedFile>(inode, &trees_.fs);
}

size_t Session::ReadCompressed(Inode* inode, CompressedFile& file, uint64_t offset, void* buffer, size_t count) {
  // The size users see is the inode's; the header's must agree, or the chunks do not
  // cover it.
  const uint64_t size = DataSize(inode);
  if (size != file.size()) {
    throw Corrupt(InodeName(inode) + ": compressed size " + std::to_string(file.size()) + " differs from its size " +
                  std::to_string(size));
  }
  if (offset >= size || count == 0) return 0;
  const size_t length = size_t(std::min<uint64_t>(size - offset, count));
  file.Read(inode, &trees_.fs, offset, static_cast<uint8_t*>(buffer), length);
  return length;
}

// ---- VolumeReader ----

namespace {

// The snapshot wanted names: by name first, then by transaction number.
const SnapshotSummary* FindSnapshot(const std::vector<SnapshotSummary>& snapshots,
                                    const std::string& wanted) {
  for (const SnapshotSummary& s : snapshots) {
    if (!s.damaged && s.name == wanted) return &s;
  }
  const bool digits = !wanted.empty() && wanted.size() <= 19 &&
                      std::all_of(wanted.begin(), wanted.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!digits) return nullptr;
  const uint64_t xid = std::stoull(wanted);
  for (const SnapshotSummary& s : snapshots) {
    if (s.xid == xid) return &s;
  }
  return nullptr;
}

}  // namespace

void VolumeReader::OpenSnapshot(const std::string& volumeName, const std::string& wanted) {
  const std::vector<SnapshotSummary> snapshots = image_.snapshots(index());
  const SnapshotSummary* found = FindSnapshot(snapshots, wanted);
  if (found == nullptr) {
    throw ReadFailure(ExitCode::VolumeUnusable, ENOENT,
                      volumeName + ": no such snapshot: " + wanted + " (see quadrel info)");
  }
  snapshot_ = *found;
  const std::string what = volumeName + ", snapshot " +
                           (found->damaged ? std::string() : "'" + found->name + "' ") +
                           "(transaction " + std::to_string(found->xid) + ")";
  if (found->damaged) throw Corrupt(what + ": metadata record malformed");
  Container* container = image_.container();
  BTreeInit(&snapshotTrees_.omap, container);
  BTreeInit(&snapshotTrees_.fs, container);
  atSnapshot_ = true;
  if (!VolumeSnapshotOpen(container, index(), &found->entry, &snapshotTrees_.omap, &snapshotTrees_.fs)) {
    throw Corrupt(what + ": superblock, object map or file-system tree unreadable");
  }
  trees_ = &snapshotTrees_;
}

void VolumeReader::ReleaseSnapshotTrees() {
  if (!atSnapshot_) return;
  BTreeRelease(&snapshotTrees_.fs);
  BTreeRelease(&snapshotTrees_.omap);
}

namespace {

// An encrypted slot still locked for want of a password is unlocked with the one the
// user is asked for; a slot that stays locked is refused, saying why.
void UnlockSlot(ApfsImage& image, uint32_t index, const std::string& name) {
  Container* container = image.container();
  const Volume& slot = container->volumes[index];
  if (!slot.encrypted || slot.unlocked) return;
  TreePair* trees = image.slotTrees(index);
  const char* password = slot.lock == LOCK_NO_PASSWORD ? VolumePasswordOrAsk(name) : nullptr;
  if (password != nullptr) VolumeSlotOpen(container, index, password, &trees->omap, &trees->fs);
  if (!slot.unlocked) throw ReadFailure(ExitCode::VolumeUnusable, EACCES, LockedText(slot));
}

}  // namespace

VolumeReader::VolumeReader(ApfsImage& image, int32_t index, const std::string& snapshot)
    : image_(image) {
  Container* container = image.container();
  const uint32_t chosen = index < 0 ? image.summary().defaultVolume : uint32_t(index);
  const std::string name = "volume " + std::to_string(chosen);
  trees_ = image.slotTrees(chosen);
  if (trees_ == nullptr || !image.slotInUse(chosen)) {
    throw ReadFailure(ExitCode::VolumeUnusable, ENOENT,
                      "no such volume: " + std::to_string(chosen) + " (see quadrel info)");
  }
  const Volume& slot = container->volumes[chosen];
  UnlockSlot(image, chosen, name);
  if (slot.unsupported) throw ReadFailure(ExitCode::VolumeUnusable, EOPNOTSUPP, name + ": " + RefusalText(slot));
  VolumeHandleInit(&handle_, container);
  if (!slot.open) throw Corrupt(name + ": superblock, object map or root directory unreadable");
  handle_.index = int32_t(chosen);
  try {
    if (!snapshot.empty()) OpenSnapshot(name, snapshot);
  } catch (...) {
    ReleaseSnapshotTrees();
    throw;
  }
  if (!VolumeHandleOpen(&handle_, int32_t(chosen), nullptr, &trees_->omap, &trees_->fs)) {
    VolumeHandleRelease(&handle_);
    ReleaseSnapshotTrees();
    throw Corrupt(name + (atSnapshot_ ? ", snapshot '" + snapshot_.name + "'" : std::string()) +
                  ": superblock, object map or root directory unreadable");
  }
}

VolumeReader::~VolumeReader() {
  idle_.clear();
  VolumeHandleRelease(&handle_);
  ReleaseSnapshotTrees();
}

VolumeReader::Lease VolumeReader::Borrow() {
  std::lock_guard<std::mutex> guard(poolLock_);
  if (!idle_.empty()) {
    std::unique_ptr<Session> session = std::move(idle_.back());
    idle_.pop_back();
    return Lease(*this, std::move(session));
  }
  return Lease(*this, std::make_unique<Session>(*this, *trees_));
}

void VolumeReader::Return(std::unique_ptr<Session> session) {
  std::lock_guard<std::mutex> guard(poolLock_);
  idle_.push_back(std::move(session));
}
