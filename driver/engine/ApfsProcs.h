// Operations of the APFS engine over the records of ApfsStruc.h. Every operation
// reports failure by returning false (or null). An operation that can find nothing also
// returns false then, with its notFound or end flag set: false with the flag clear is an
// error (a read failed, an object is malformed), false with it set an ordinary answer.
#pragma once

#include "ApfsStruc.h"

// ---- Objects, checksums and block reads ----

// Reads count bytes at the partition-relative offset; fails for any range that does
// not lie inside the device, without reaching the device.
bool DeviceRead(BlockDevice* device, uint64_t offset, void* buffer, uint64_t count);
uint64_t DeviceLength(const BlockDevice* device);

uint64_t ObjectChecksum(const uint8_t* bytes, uint32_t size);
bool ObjectVerify(const uint8_t* bytes, uint32_t size);
// ObjectVerify, except that objects stored without a header (and so without a
// checksum) pass.
bool ObjectIntact(const uint8_t* bytes, uint32_t size);
uint8_t BlockShiftOf(uint32_t size);
bool BlockSizeSupported(uint32_t size);

bool ContainerRead(Container* container, uint64_t offset, void* buffer, uint64_t count);
// Reads count bytes at block address through volumeIndex; refuses addresses outside the
// container before turning them into byte offsets.
bool ReadAtBlock(Container* container, uint64_t address, void* buffer, uint64_t count,
                 uint8_t volumeIndex);
bool VolumeRead(Container* container, uint64_t offset, void* buffer, uint64_t count,
                uint8_t volumeIndex);

// size 0 means one block. Fails for an object whose checksum does not match.
BlockBuffer* BlockBufferLoad(Container* container, uint64_t address, uint32_t size,
                             uint8_t volumeIndex);
// One block, like BlockBufferLoad, without computing the checksum again of a node that
// checked holds (checked may be null). The caller adds a node once it has checked it.
BlockBuffer* BlockBufferLoadChecked(Container* container, uint64_t address, uint8_t volumeIndex,
                                    CheckedNodes* checked);
bool CheckedNodesHave(const CheckedNodes* checked, const BlockBuffer* buffer);
void CheckedNodesAdd(CheckedNodes* checked, const BlockBuffer* buffer);
BlockBuffer* BlockBufferClone(const BlockBuffer* source);
void BlockBufferRelease(BlockBuffer* buffer);

// ---- Container ----

// firstBlock holds the first 4096 bytes of the partition.
void ContainerInit(Container* container);
bool ContainerOpen(Container* container, const uint8_t* firstBlock, BlockDevice* device);
void ContainerClose(Container* container);
uint32_t ContainerBlockSize(const Container* container);
uint64_t ContainerBlockCount(const Container* container);
uint64_t ContainerXid(const Container* container);
bool CheckpointLookup(const Container* container, uint64_t oid, uint16_t type,
                      uint64_t* paddr, uint32_t* size, bool* notFound);
Volume* ContainerVolume(Container* container, uint32_t index);
uint32_t ContainerDefaultVolume(Container* container);
void VolumeAdoptSystemName(Container* container, uint32_t index);
uint64_t ContainerFreeBlocks(Container* container);
bool NxSuperblockCheck(const Container* container, const uint8_t* block);
// The block address of the newest superblock of the volume in slot index, through the
// newest container object-map mapping; false for an empty slot or a bad mapping.
bool VolumeSuperblockAddress(Container* container, uint32_t index, uint64_t* address);

// ---- Volumes ----

// An encrypted volume is unlocked with password (UTF-8, may be null) when the container
// has a CryptoProvider; otherwise, or when the password fails, it stays locked and its
// lock field tells why.
bool VolumeSlotOpen(Container* container, uint32_t index, const char* password, BTree* omapTree,
                    BTree* fsTree);
bool VolumeIsCaseSensitive(const Volume* volume);
bool VolumeUsable(const Volume* volume);
void VolumeHandleInit(VolumeHandle* handle, Container* container);
// Opens slot index on omapTree and fsTree (prepared with BTreeInit) and loads the root
// directory. On failure the slot's encrypted, unsupported and refusal fields tell why.
bool VolumeHandleOpen(VolumeHandle* handle, int32_t index, const char* password,
                      BTree* omapTree, BTree* fsTree);
void VolumeHandleRelease(VolumeHandle* handle);

// ---- Encrypted volumes ----

// Finds the volume's key through the container and volume keybags and the password;
// sets volume->lock on failure. The key is kept in volume->volumeKey.
bool VolumeUnlock(Volume* volume, const char* password);
// Wipes the volume's key.
void VolumeForgetKey(Volume* volume);
// Decrypts length bytes (whole 512-byte units) of the unlocked volume in place.
bool VolumeDecrypt(const Volume* volume, uint64_t firstUnit, uint8_t* data, uint64_t length);
// Whether nodes and file data of the volume are read through its key.
bool VolumeDecrypts(const Volume* volume);

// ---- Object maps ----

constexpr uint32_t OMAP_HEADER_SIZE = 72;
constexpr uint32_t OMAP_VAL_DELETED = 0x1;
constexpr uint32_t OMAP_VAL_ENCRYPTED = 0x4;
constexpr uint32_t OMAP_VAL_NOHEADER = 0x8;  // the object has no header (sealed volumes)

struct OmapMapping {
  uint64_t oid;
  uint64_t xid;
  uint32_t flags;
  uint32_t size;
  uint64_t paddr;
};

bool OmapOpen(BTree* tree, uint64_t headerAddress, uint8_t volumeIndex);
// The newest mapping of oid, or with tree->snapshotXid set the newest not after it (a
// mapping deleted by then is not found).
bool OmapLookup(BTree* tree, uint64_t oid, OmapMapping* mapping, bool* notFound);

// ---- Snapshots ----

// Longest snapshot name kept, with its terminating zero.
constexpr uint32_t SNAPSHOT_NAME_MAX = 256;

struct SnapshotEntry {
  uint64_t xid;                // transaction the snapshot keeps
  uint64_t superblockAddress;  // block of the snapshot's own volume superblock
  uint64_t createTime;         // nanoseconds since 1970
  uint64_t changeTime;
  uint32_t flags;
  bool damaged;  // its metadata record is malformed: only xid is known
  bool hasUuid;
  uint8_t uuid[16];
  uint16_t nameLength;  // without the terminating zero
  uint8_t name[SNAPSHOT_NAME_MAX];
};

// The live snapshots of the open volume slot index, oldest first: the first capacity of
// them in entries, their number in *count. Fails when the snapshot list itself cannot be
// read; a malformed record only marks its entry damaged.
bool SnapshotList(Container* container, uint32_t index, SnapshotEntry* entries,
                  uint32_t capacity, uint32_t* count);
// Opens omapTree and fsTree (prepared with BTreeInit) on the open volume slot index as
// it was at snapshot: the snapshot's own superblock and the volume's object map read as
// of its transaction. Fails for a damaged snapshot.
bool VolumeSnapshotOpen(Container* container, uint32_t index, const SnapshotEntry* snapshot,
                        BTree* omapTree, BTree* fsTree);

// ---- B-trees ----

bool NodeParse(NodeView* view, uint64_t containerXid);
bool NodeEntry(const NodeView* view, uint32_t i, NodeRecord* record);
int32_t NodeSearch(const NodeView* view, const SearchKey* key, uint32_t mode);

void SearchKeyId(SearchKey* key, uint64_t id, uint8_t type);
void SearchKeyIdOffset(SearchKey* key, uint64_t id, uint8_t type, uint64_t offset);
// name is nameLength bytes without the terminating zero the key stores after it.
bool SearchKeyDrec(SearchKey* key, uint64_t id, uint32_t hash, const uint8_t* name,
                   uint32_t nameLength, bool caseSensitive);

void BTreeInit(BTree* tree, Container* container);
bool BTreeOpenRoot(BTree* tree, uint64_t rootAddress, uint8_t volumeIndex, BTree* omapTree,
                   bool throughVolume);
// Creates the tree's own cursor and binds it (after the root is open).
bool BTreeCreateCursor(BTree* tree);
bool BTreeCursorBind(BTreeCursor* cursor, BTree* tree);
bool BTreeClone(BTree* dst, const BTree* src, BTree* omapTree);
void BTreeRelease(BTree* tree);
uint64_t BTreeRecordCount(const BTree* tree);

bool BTreeFind(BTreeHead* handle, const SearchKey* key, uint32_t mode, NodeRecord* record,
               bool* notFound);
bool BTreeSeek(BTreeCursor* cursor, const SearchKey* key, uint32_t mode, bool* notFound);
bool BTreeNext(BTreeCursor* cursor, NodeRecord* record, const NodeView** node, bool* end);
void BTreeCursorClose(BTreeCursor* cursor);

// ---- Inodes, lookup and directory listings ----

// Nanoseconds since 1970 to 100-nanosecond units since 1601; wraps for times before 1601.
int64_t ApfsTimeToNt(uint64_t t);
Inode* InodeLoad(Container* container, uint64_t objectId, BTree* fsTree, bool* notFound);
void InodeRelease(Inode* inode);
uint64_t InodeLogicalSize(Inode* inode, BTree* fsTree);
uint32_t FsMaxNameLength();
// A node for the inode objectId, or one that adopts an inode reference already held.
FsNode* FsNodeCreate(VolumeHandle* volume, FsNodeKind kind, uint64_t objectId, BTree* fsTree);
FsNode* FsNodeAdopt(VolumeHandle* volume, FsNodeKind kind, Inode* inode);
void FsNodeRelease(FsNode* node);
bool FsLookup(FsNode* directory, const uint8_t* name, uint32_t length, FsNode** node,
              FileInfo* info, BTree* fsTree, bool* notFound);
bool DirSearchCreate(FsNode* directory, DirSearch** search, BTree* fsTree);
void DirSearchSetPosition(DirSearch* search, int64_t ordinal);
void DirSearchFree(DirSearch* search);
// The next entry of a listing (search from DirSearchCreate) or of a lookup. keep,
// notFound and cursorSlot are optional; the listing's cursor lives in *cursorSlot
// between calls.
bool DirEnumNext(FsNode* directory, DirSearch* search, FileInfo* info, Inode** keep,
                 bool* notFound, BTreeCursor** cursorSlot, BTree* fsTree);

// ---- File data ----

bool ExtentSearch(BTree* tree, uint64_t streamId, uint64_t offset, NodeRecord* record,
                  bool* notFound);
bool FileExtentLookup(Inode* inode, uint64_t offset, uint64_t* physByteOffset, uint64_t* length,
                      BTree* fsTree);
// Like FileExtentLookup, but offset may lie anywhere: the run from offset to the end of
// the extent holding it (physByteOffset is where offset itself lies), or the hole there.
bool FileDataRun(Inode* inode, uint64_t offset, uint64_t* physByteOffset, uint64_t* length,
                 BTree* fsTree);
// FileDataRun, also giving where physByteOffset lies in the extent's encryption units:
// its 512-byte unit number times 512 plus its place in that unit.
bool FileDataRunEncrypted(Inode* inode, uint64_t offset, uint64_t* physByteOffset,
                          uint64_t* length, uint64_t* unitByte, BTree* fsTree);
bool StreamMap(Inode* inode, uint64_t streamId, uint64_t firstBlock, uint64_t blockCount,
               StreamMapping* mapping, BTree* fsTree);
// Reads byteCount bytes of a stream from byte offset on; fails where no extent maps them.
bool StreamRead(Inode* inode, uint64_t streamId, uint64_t offset, uint8_t* buffer,
                uint64_t byteCount, BTree* fsTree);

// ---- Extended attributes ----

bool XattrEntryBuild(XattrEntry* entry, const NodeRecord& record);
void XattrEntryFree(XattrEntry* entry);
// length excludes the terminating zero; buffer may be null to learn the length only.
bool XattrFind(Inode* inode, const uint8_t* name, uint32_t length, uint8_t* buffer,
               uint64_t bufferLength, uint64_t* dataLength, bool* tooSmall, bool* notFound,
               BTree* fsTree);
// The entry stored under name (length without the terminating zero), compared bytewise.
const XattrEntry* XattrNamed(const Inode* inode, const uint8_t* name, uint32_t length);
// Whether the flags name a storage form the engine reads: exactly one of stream and
// embedded data. Entries of other forms are listed but their data is never read.
bool XattrStorageKnown(uint16_t flags);
// Reads count bytes of an entry's data from offset on, for callers that take a long
// attribute in pieces; fails outside the data and for unknown storage forms.
bool XattrRead(Inode* inode, const XattrEntry* entry, uint64_t offset, uint8_t* buffer,
               uint64_t count, BTree* fsTree);
bool DecmpfsLoad(Inode* inode, BTree* fsTree);
bool InodeHasOtherXattrs(const Inode* inode);

// ---- Names ----

constexpr uint32_t NAME_HASH_MASK = 0x3FFFFF;

bool NameHash(const uint8_t* name, uint32_t length, bool caseSensitive, uint32_t* hash);
bool NameEqual(const uint8_t* a, uint32_t aLength, const uint8_t* b, uint32_t bLength,
               bool caseSensitive);
// Decodes the sequence whose lead byte precedes *cursor; -1 when it is invalid.
int32_t Utf8Decode(uint8_t lead, const uint8_t** cursor, const uint8_t* end);
uint32_t FoldCase(uint32_t codePoint);
// Writes 1 to 4 code points to out and returns how many.
uint32_t Decompose(uint32_t codePoint, uint32_t out[4]);
uint32_t Crc32cUpdate(uint32_t crc, const uint8_t* bytes, size_t count);
