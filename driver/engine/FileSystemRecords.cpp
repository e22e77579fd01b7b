// File-system records: inodes with their extended fields and attributes, the FileInfo
// the frame copies, name lookup and resumable directory listings. Lengths in records
// are checked against the record before anything is copied or followed.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ApfsFormat.h"
#include "ApfsProcs.h"

namespace {

constexpr uint32_t MAX_NAME = 255;
constexpr int64_t END_OF_DIRECTORY = INT64_MAX;
constexpr uint64_t NT_EPOCH_OFFSET_NS = 11644473600000000000ull;

// Entry types of directory records (the low byte of their flags).
constexpr uint8_t DT_FIFO = 1, DT_CHR = 2, DT_DIR = 4, DT_BLK = 6, DT_REG = 8, DT_LNK = 10,
                  DT_SOCK = 12;

constexpr uint32_t ATTR_SYSTEM = 0x4;
constexpr uint32_t ATTR_DIRECTORY = 0x10;
constexpr uint32_t ATTR_SPARSE = 0x200;
constexpr uint32_t ATTR_REPARSE = 0x400;
constexpr uint32_t ATTR_COMPRESSED = 0x800;
constexpr uint32_t ATTR_OFFLINE_LIKE = 0x4000;  // volume cannot be read
constexpr uint32_t ATTR_SPARSE_ALLOCATION = 0x00800000;
constexpr uint32_t ATTR_CHILD_COUNT = 0x01000000;
constexpr uint32_t ATTR_ALWAYS = 0x08000000 | 0x80000000;
constexpr uint32_t ATTR_HAS_XATTRS = 0x20000000;

uint64_t IdOf(uint64_t word) { return word & OBJ_ID_MASK; }
uint8_t TypeOf(uint64_t word) { return uint8_t(word >> OBJ_TYPE_SHIFT); }
uint8_t VolumeIndexOf(uint64_t objectId) { return uint8_t(objectId >> OBJ_TYPE_SHIFT); }

uint16_t InodeMode(const Inode* inode) { return Le16(inode->value + INODE_MODE); }
bool IsSymlink(const Inode* inode) { return (InodeMode(inode) & S_IFMT_MASK) == MODE_LNK; }
uint32_t BsdFlags(const Inode* inode) { return Le32(inode->value + INODE_BSD_FLAGS); }

// Walks the extended fields; every header and every field's data must lie inside the
// record.
bool ReadExtendedFields(Inode* inode) {
  const uint32_t length = inode->valueLength;
  if (length < INODE_XFIELDS + XF_HEADER_SIZE) return true;
  const uint8_t* v = inode->value;
  const uint32_t count = Le16(v + INODE_XFIELDS);
  uint64_t data = uint64_t(INODE_XFIELDS) + XF_HEADER_SIZE + uint64_t(count) * XF_HEADER_SIZE;
  if (data > length) return false;
  for (uint32_t i = 0; i < count; i++) {
    const uint8_t* header = v + INODE_XFIELDS + XF_HEADER_SIZE + XF_HEADER_SIZE * i;
    const uint8_t type = header[0];
    const uint32_t size = Le16(header + 2);
    // A field's padding may run past the record's end; a field after it may not.
    if (data > length || size > length - data) return false;
    const uint8_t* field = v + data;
    if (type == INO_EXT_TYPE_NAME) {
      inode->nameField = field;
      inode->nameFieldSize = uint16_t(size);
    } else if (type == INO_EXT_TYPE_DSTREAM) {
      if (size < DSTREAM_ALLOCED_SIZE + 8) return false;
      inode->dstream = field;
      inode->size = Le64(field + DSTREAM_SIZE);
    } else if (type == INO_EXT_TYPE_SPARSE_BYTES) {
      if (size < 8) return false;
      inode->sparseBytes = Le64(field);
    } else if (type == INO_EXT_TYPE_RDEV) {
      if (size < 4) return false;
      inode->rdev = field;
    }
    data += (uint64_t(size) + 7) & ~uint64_t(7);
  }
  return true;
}

bool TakeInodeRecord(Inode* inode, const NodeRecord& record, const NodeView* node) {
  if (inode->value != nullptr || record.value == nullptr) return false;  // one inode record
  const uint32_t length = record.valueSize;
  inode->value = static_cast<uint8_t*>(std::calloc(std::max(length, INODE_VALUE_MIN), 1));
  if (inode->value == nullptr) return false;
  std::memcpy(inode->value, record.value, length);
  inode->valueLength = length;
  inode->recordBlock = node->address;
  inode->recordOffset = uint16_t(record.value - node->bytes);
  inode->recordLength = uint16_t(length);
  return ReadExtendedFields(inode);
}

bool AppendXattr(XattrEntry** tail, const NodeRecord& record) {
  XattrEntry* entry = new (std::nothrow) XattrEntry{};
  if (entry == nullptr) return false;
  if (!XattrEntryBuild(entry, record)) {
    XattrEntryFree(entry);
    return false;
  }
  *tail = entry;
  return true;
}

// Walks the records of one inode: its inode record, attributes and (up to the first
// mapped one) extents. Returns false on an error; *sawInode tells whether it exists.
bool GatherInodeRecords(Inode* inode, uint64_t number, BTree* fsTree, bool* sawInode) {
  BTreeCursor* cursor = fsTree->cursor;
  SearchKey key;
  SearchKeyId(&key, number, APFS_TYPE_INODE);
  bool notFound;
  if (!BTreeSeek(cursor, &key, FIND_FROM | FIND_ANY_TYPE, &notFound)) return notFound;
  XattrEntry** tail = &inode->xattrs;
  for (;;) {
    NodeRecord record;
    const NodeView* node;
    bool end;
    if (!BTreeNext(cursor, &record, &node, &end)) return end;
    const uint64_t word = Le64(record.key);
    const uint8_t type = TypeOf(word);
    if (IdOf(word) > number || type > APFS_TYPE_FILE_EXTENT) return true;
    if (type == APFS_TYPE_INODE) {
      if (!TakeInodeRecord(inode, record, node)) return false;
      *sawInode = true;
    } else if (type == APFS_TYPE_XATTR) {
      if (!AppendXattr(tail, record)) return false;
      tail = &(*tail)->next;
    } else if (type == APFS_TYPE_FILE_EXTENT) {
      // The inode's records are complete once the data's first mapped extent is met.
      if (record.value == nullptr || record.valueSize < FILE_EXTENT_VALUE_MIN ||
          Le64(record.value + 8) != 0) {
        return true;
      }
    }
  }
}

bool ApplySizeRules(Inode* inode, BTree* fsTree) {
  if (IsSymlink(inode)) {
    static const char kSymlink[] = "com.apple.fs.symlink";
    uint64_t length;
    bool tooSmall, notFound;
    if (XattrFind(inode, reinterpret_cast<const uint8_t*>(kSymlink), sizeof kSymlink - 1,
                  nullptr, 0, &length, &tooSmall, &notFound, fsTree)) {
      inode->size = length + 1;
    } else if (!notFound && !tooSmall) {
      return false;
    }
  }
  if ((Le64(inode->value + INODE_INTERNAL_FLAGS) & INODE_HAS_UNCOMPRESSED_SIZE) &&
      (BsdFlags(inode) & UF_COMPRESSED)) {
    inode->size = Le64(inode->value + INODE_UNCOMPRESSED_SIZE);
  }
  return true;
}

uint32_t AttributesOfEntryType(uint8_t type, uint32_t attributes) {
  switch (type) {
    case DT_FIFO: case DT_CHR: case DT_BLK: case DT_SOCK: return ATTR_SYSTEM;
    case DT_DIR: return ATTR_DIRECTORY;
    case DT_REG: return 0;
    case DT_LNK: return ATTR_REPARSE;
    default: return attributes;
  }
}

uint32_t AttributesOfMode(uint16_t mode, uint32_t attributes) {
  switch (mode & S_IFMT_MASK) {
    case MODE_DIR: return ATTR_DIRECTORY;
    case MODE_REG: return 0;
    case MODE_LNK: return ATTR_REPARSE;
    case MODE_SOCK: return ATTR_SYSTEM;
    default: return attributes;
  }
}

uint32_t DeviceNumber(const Inode* inode) {
  const uint16_t type = InodeMode(inode) & S_IFMT_MASK;
  if ((type != MODE_CHR && type != MODE_BLK) || inode->rdev == nullptr) return 0;
  const uint32_t v = Le32(inode->rdev);
  return ((v & 0xFFFFFF00u) << 12) | ((v >> 24) << 8) | (v & 0xFF);
}

void FillFileInfo(FileInfo* info, Inode* inode, BTree* fsTree) {
  const uint8_t* v = inode->value;
  const uint16_t mode = InodeMode(inode);
  const bool directory = (mode & S_IFMT_MASK) == MODE_DIR;
  const uint32_t bsdFlags = BsdFlags(inode);
  const uint64_t alloced = inode->dstream != nullptr ? Le64(inode->dstream + DSTREAM_ALLOCED_SIZE) : 0;
  uint32_t attributes = AttributesOfMode(mode, info->attributes) | ATTR_ALWAYS;
  if (directory) attributes |= ATTR_CHILD_COUNT;
  if (InodeHasOtherXattrs(inode)) attributes |= ATTR_HAS_XATTRS;
  if (bsdFlags & UF_COMPRESSED) attributes |= ATTR_COMPRESSED;
  if (inode->sparseBytes != 0) attributes |= ATTR_SPARSE;
  if (inode->sparseBytes != 0 || (bsdFlags & UF_COMPRESSED)) {
    attributes |= ATTR_SPARSE_ALLOCATION;
    info->sparseAllocation = alloced;
  }
  if (inode->volume == nullptr || !VolumeUsable(inode->volume)) attributes |= ATTR_OFFLINE_LIKE;
  info->objectId = inode->objectId;
  info->owner = Le32(v + INODE_OWNER);
  info->group = Le32(v + INODE_GROUP);
  info->mode = mode;
  info->attributes = attributes;
  info->bsdFlags = bsdFlags;
  info->deviceNumber = DeviceNumber(inode);
  info->creationTime = ApfsTimeToNt(Le64(v + INODE_CREATE_TIME));
  info->lastAccessTime = ApfsTimeToNt(Le64(v + INODE_ACCESS_TIME));
  info->lastWriteTime = ApfsTimeToNt(Le64(v + INODE_MOD_TIME));
  info->changeTime = ApfsTimeToNt(Le64(v + INODE_CHANGE_TIME));
  info->fileSize = info->validDataLength = InodeLogicalSize(inode, fsTree);
  info->allocationSize = alloced;
  info->linkCount = Le16(v + INODE_NCHILDREN);
  if (directory) info->childCount = Le32(v + INODE_NCHILDREN);
}

bool StoreSearchName(DirSearch* search, const uint8_t* name, uint32_t length) {
  if (search->nameCapacity < length) {
    auto* buffer = static_cast<uint8_t*>(std::malloc(MAX_NAME));
    if (buffer == nullptr) return false;
    std::free(search->name);
    search->name = buffer;
    search->nameCapacity = MAX_NAME;
  }
  std::memcpy(search->name, name, length);
  search->nameLength = uint8_t(length);
  return true;
}

bool IsDotName(const uint8_t* name, uint32_t length) {
  return (length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.');
}

// Prepares search for a lookup of name in its directory, or for a listing when name is
// null. False with *notFound set for a name no directory can hold.
bool PrepareSearch(DirSearch* search, Inode* directory, const uint8_t* name, uint32_t length,
                   BTree* fsTree, bool* notFound) {
  *notFound = false;
  search->inode = directory;
  search->position = 0;
  search->lastReturned = 0;
  search->caseSensitive = directory->volume != nullptr && VolumeIsCaseSensitive(directory->volume);
  if (name == nullptr) {
    search->enumerateAll = true;
    return true;
  }
  if (length == 0 || length > MAX_NAME || IsDotName(name, length)) return !(*notFound = true);
  if (!StoreSearchName(search, name, length)) return false;
  search->enumerateAll = false;
  // A name that is not valid UTF-8 is stored under hash 0, if anywhere.
  if (!NameHash(name, length, search->caseSensitive, &search->hash)) search->hash = 0;
  SearchKey key;
  SearchKeyDrec(&key, IdOf(directory->objectId), search->hash, nullptr, 0, true);
  return BTreeSeek(fsTree->cursor, &key, FIND_EXACT, notFound) || *notFound;
}

bool SeekEnumeration(BTreeCursor* cursor, uint64_t directoryId, bool* end) {
  SearchKey key;
  SearchKeyId(&key, directoryId, APFS_TYPE_DIR_REC);
  cursor->position = 0;
  return BTreeSeek(cursor, &key, FIND_EXACT, end);
}

// Moves an enumeration cursor so that its next record is the one at ordinal position.
bool PositionEnumeration(BTreeCursor* cursor, uint64_t directoryId, int64_t position,
                         bool* end) {
  *end = false;
  if (int64_t(cursor->position) > position && !SeekEnumeration(cursor, directoryId, end)) {
    return false;
  }
  while (int64_t(cursor->position) < position) {
    NodeRecord record;
    if (!BTreeNext(cursor, &record, nullptr, end)) return false;
    cursor->position++;
  }
  return true;
}

BTreeCursor* OpenEnumeration(BTree* fsTree, uint64_t directoryId, bool* end) {
  auto* cursor = new (std::nothrow) BTreeCursor{};
  if (cursor == nullptr) return nullptr;
  cursor->directoryId = directoryId;
  if (!BTreeCursorBind(cursor, fsTree) || !SeekEnumeration(cursor, directoryId, end)) {
    BTreeCursorClose(cursor);
    if (!*end) {
      delete cursor;
      return nullptr;
    }
    // An empty directory: keep the cursor, it simply has no records.
    cursor->positioned = false;
  }
  return cursor;
}

void FreeEnumeration(BTreeCursor** slot) {
  if (*slot == nullptr) return;
  BTreeCursorClose(*slot);
  delete *slot;
  *slot = nullptr;
}

struct DirRecord {
  const uint8_t* name;  // with its terminating zero
  uint32_t storedLength;
  uint64_t fileId;
  uint8_t entryType;
};

// Decodes a directory record; false when it is malformed.
bool DecodeDirRecord(const NodeRecord& record, DirRecord* out) {
  if (record.keySize < DREC_KEY_HEADER || record.value == nullptr ||
      record.valueSize < DREC_VALUE_MIN) {
    return false;
  }
  out->storedLength = Le32(record.key + 8) & DREC_LEN_MASK;
  out->name = record.key + DREC_KEY_HEADER;
  out->fileId = Le64(record.value + DREC_FILE_ID);
  out->entryType = uint8_t(Le16(record.value + DREC_FLAGS));
  return out->storedLength >= 1 && DREC_KEY_HEADER + out->storedLength <= record.keySize;
}

enum class Fetch { Entry, End, Error };

// The next directory record that answers the search (every one when listing).
Fetch FetchRecord(DirSearch* search, BTreeCursor* cursor, DirRecord* out) {
  for (;;) {
    NodeRecord record;
    bool end;
    if (!BTreeNext(cursor, &record, nullptr, &end)) return end ? Fetch::End : Fetch::Error;
    if (search->enumerateAll) cursor->position++;
    if (TypeOf(Le64(record.key)) != APFS_TYPE_DIR_REC) return Fetch::End;
    if (!DecodeDirRecord(record, out)) return Fetch::Error;
    if (search->enumerateAll) return Fetch::Entry;
    if ((Le32(record.key + 8) >> DREC_HASH_SHIFT) > search->hash) return Fetch::End;
    if (NameEqual(out->name, out->storedLength - 1, search->name, search->nameLength,
                  search->caseSensitive)) {
      return Fetch::Entry;
    }
  }
}

enum class Step { Entry, End, Error };

// Gives a listing its cursor, in its slot, standing at the search's position.
Step PrepareListing(FsNode* directory, DirSearch* search, BTreeCursor** slot, BTree* fsTree,
                    BTreeCursor** cursor) {
  if (search->position == END_OF_DIRECTORY) return Step::End;
  const uint64_t directoryId = IdOf(directory->inode->objectId);
  bool end = false;
  // A slot may come back holding the cursor of another listing: its position counts
  // records of another directory (or of another tree), so it starts afresh here.
  if (*slot != nullptr && ((*slot)->directoryId != directoryId ||
                           ((*slot)->positioned && (*slot)->tree != fsTree))) {
    FreeEnumeration(slot);
  }
  if (*slot == nullptr && (*slot = OpenEnumeration(fsTree, directoryId, &end)) == nullptr) {
    return end ? Step::End : Step::Error;
  }
  *cursor = *slot;
  if (!(*cursor)->positioned) return Step::End;  // the directory has no records
  if (!PositionEnumeration(*cursor, directoryId, search->position, &end)) {
    return end ? Step::End : Step::Error;
  }
  return Step::Entry;
}

// Takes the next record that answers the search, with its name, and loads its inode.
Step NextEntry(FsNode* directory, DirSearch* search, BTreeCursor* cursor, FileInfo* info,
               Inode** inode, BTree* fsTree) {
  const uint64_t volumeBits = directory->inode->objectId & ~OBJ_ID_MASK;
  for (;;) {
    DirRecord record;
    const Fetch fetched = FetchRecord(search, cursor, &record);
    if (fetched != Fetch::Entry) return fetched == Fetch::End ? Step::End : Step::Error;
    const int64_t ordinal = search->position++;
    // A name longer than FileInfo can hold is no valid APFS name: pass over it.
    if (record.storedLength > sizeof info->name) continue;
    // Take the name now: loading the inode may move the cursor off the node it lies in.
    *info = FileInfo{};
    info->nameLength = uint16_t(record.storedLength - 1);
    std::memcpy(info->name, record.name, record.storedLength - 1);
    info->attributes = AttributesOfEntryType(record.entryType, info->attributes);
    bool missing;
    *inode = InodeLoad(directory->volume->container, volumeBits | IdOf(record.fileId), fsTree,
                       &missing);
    if (*inode != nullptr) {
      search->lastReturned = ordinal;
      return Step::Entry;
    }
    // A listing passes over an entry without its inode; a lookup has nothing more to
    // try, since loading the inode moved the cursor it was walking.
    *info = FileInfo{};
    if (!missing) return Step::Error;
    if (!search->enumerateAll) return Step::End;
  }
}

}  // namespace

int64_t ApfsTimeToNt(uint64_t t) { return int64_t((t + NT_EPOCH_OFFSET_NS) / 100); }

Inode* InodeLoad(Container* container, uint64_t objectId, BTree* fsTree, bool* notFound) {
  *notFound = false;
  if (fsTree == nullptr || fsTree->cursor == nullptr) return nullptr;
  auto* inode = new (std::nothrow) Inode{};
  if (inode == nullptr) return nullptr;
  inode->objectId = objectId;
  inode->container = container;
  inode->volumeIndex = VolumeIndexOf(objectId);
  inode->volume = ContainerVolume(container, inode->volumeIndex);
  inode->refCount = 1;
  bool sawInode = false;
  const bool gathered = GatherInodeRecords(inode, IdOf(objectId), fsTree, &sawInode);
  if (!gathered || !sawInode || !ApplySizeRules(inode, fsTree)) {
    *notFound = gathered && !sawInode;
    InodeRelease(inode);
    return nullptr;
  }
  return inode;
}

void InodeRelease(Inode* inode) {
  if (inode == nullptr || --inode->refCount > 0) return;
  while (inode->xattrs != nullptr) {
    XattrEntry* next = inode->xattrs->next;
    XattrEntryFree(inode->xattrs);
    inode->xattrs = next;
  }
  std::free(inode->value);
  std::free(inode->decmpfs);
  delete inode;
}

uint64_t InodeLogicalSize(Inode* inode, BTree* fsTree) {
  if ((BsdFlags(inode) & UF_COMPRESSED) && inode->size == 0 && !DecmpfsLoad(inode, fsTree)) {
    return 0;
  }
  if (IsSymlink(inode) && inode->size != 0) return inode->size - 1;
  return inode->size;
}

uint32_t FsMaxNameLength() { return MAX_NAME; }

FsNode* FsNodeCreate(VolumeHandle* volume, FsNodeKind kind, uint64_t objectId, BTree* fsTree) {
  bool notFound;
  Inode* inode = InodeLoad(volume->container, objectId, fsTree, &notFound);
  if (inode == nullptr) return nullptr;
  FsNode* node = FsNodeAdopt(volume, kind, inode);
  if (node == nullptr) InodeRelease(inode);
  return node;
}

FsNode* FsNodeAdopt(VolumeHandle* volume, FsNodeKind kind, Inode* inode) {
  auto* node = new (std::nothrow) FsNode{};
  if (node == nullptr) return nullptr;
  node->useCount = 1;
  node->kind = kind;
  node->volume = volume;
  node->inode = inode;
  if (kind == FS_NODE_DIRECTORY) {
    bool notFound;
    node->search = new (std::nothrow) DirSearch{};
    if (node->search == nullptr ||
        !PrepareSearch(node->search, inode, nullptr, 0, nullptr, &notFound)) {
      delete node->search;
      delete node;
      return nullptr;
    }
    node->search->container = volume->container;
  }
  return node;
}

void FsNodeRelease(FsNode* node) {
  if (node == nullptr || --node->useCount > 0) return;
  DirSearchFree(node->search);
  InodeRelease(node->inode);
  delete node;
}

bool DirSearchCreate(FsNode* directory, DirSearch** search, BTree* fsTree) {
  bool notFound;
  *search = new (std::nothrow) DirSearch{};
  if (*search == nullptr) return false;
  (*search)->container = directory->volume->container;
  if (!PrepareSearch(*search, directory->inode, nullptr, 0, fsTree, &notFound)) {
    DirSearchFree(*search);
    *search = nullptr;
    return false;
  }
  return true;
}

void DirSearchSetPosition(DirSearch* search, int64_t ordinal) {
  search->position = ordinal;
  search->lastReturned = ordinal;
}

void DirSearchFree(DirSearch* search) {
  if (search == nullptr) return;
  std::free(search->name);
  delete search;
}

bool DirEnumNext(FsNode* directory, DirSearch* search, FileInfo* info, Inode** keep,
                 bool* notFound, BTreeCursor** cursorSlot, BTree* fsTree) {
  *info = FileInfo{};
  if (notFound != nullptr) *notFound = false;
  if (keep != nullptr) *keep = nullptr;
  BTreeCursor* local = nullptr;
  BTreeCursor** slot = cursorSlot != nullptr ? cursorSlot : &local;
  BTreeCursor* cursor = fsTree->cursor;
  Step step = search->enumerateAll ? PrepareListing(directory, search, slot, fsTree, &cursor)
                                   : Step::Entry;
  const Volume* volume = directory->inode->volume;
  if (step == Step::Entry && (volume == nullptr || !VolumeUsable(volume))) step = Step::End;
  Inode* inode = nullptr;
  if (step == Step::Entry) step = NextEntry(directory, search, cursor, info, &inode, fsTree);
  if (step == Step::Entry) {
    FillFileInfo(info, inode, fsTree);
    if (keep != nullptr) {
      *keep = inode;
    } else {
      InodeRelease(inode);
    }
  } else if (step == Step::End) {
    if (search->enumerateAll) search->position = search->lastReturned = END_OF_DIRECTORY;
    if (notFound != nullptr) *notFound = true;
  } else {
    FreeEnumeration(slot);  // an error leaves no cursor behind
  }
  FreeEnumeration(&local);
  return step == Step::Entry;
}

bool FsLookup(FsNode* directory, const uint8_t* name, uint32_t length, FsNode** node,
              FileInfo* info, BTree* fsTree, bool* notFound) {
  *node = nullptr;
  *notFound = false;
  DirSearch* search = directory->search;
  if (search == nullptr) return false;
  if (!PrepareSearch(search, directory->inode, name, length, fsTree, notFound)) return false;
  if (*notFound) return false;
  FileInfo found;
  Inode* inode;
  if (!DirEnumNext(directory, search, &found, &inode, notFound, nullptr, fsTree)) return false;
  const FsNodeKind kind = (found.attributes & ATTR_DIRECTORY) ? FS_NODE_DIRECTORY : FS_NODE_FILE;
  *node = FsNodeAdopt(directory->volume, kind, inode);
  if (*node == nullptr) {
    InodeRelease(inode);
    return false;
  }
  if (info != nullptr) *info = found;
  return true;
}
