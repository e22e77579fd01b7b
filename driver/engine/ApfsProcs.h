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
uint8_t BlockShiftOf(uint32_t size);
bool BlockSizeSupported(uint32_t size);

bool ContainerRead(Container* container, uint64_t offset, void* buffer, uint64_t count);
bool VolumeRead(Container* container, uint64_t offset, void* buffer, uint64_t count,
                uint8_t volumeIndex);

// size 0 means one block.
BlockBuffer* BlockBufferLoad(Container* container, uint64_t address, uint32_t size,
                             uint8_t volumeIndex);
BlockBuffer* BlockBufferClone(const BlockBuffer* source);
void BlockBufferRelease(BlockBuffer* buffer);

// ---- Container (the parts the lower layers need) ----

void ContainerInit(Container* container);
uint32_t ContainerBlockSize(const Container* container);
uint64_t ContainerXid(const Container* container);
bool CheckpointLookup(const Container* container, uint64_t oid, uint16_t type,
                      uint64_t* paddr, uint32_t* size, bool* notFound);

// ---- Object maps ----

constexpr uint32_t OMAP_HEADER_SIZE = 72;
constexpr uint32_t OMAP_VAL_ENCRYPTED = 0x4;

struct OmapMapping {
  uint64_t oid;
  uint64_t xid;
  uint32_t flags;
  uint32_t size;
  uint64_t paddr;
};

bool OmapOpen(BTree* tree, uint64_t headerAddress, uint8_t volumeIndex);
bool OmapLookup(BTree* tree, uint64_t oid, OmapMapping* mapping, bool* notFound);

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
