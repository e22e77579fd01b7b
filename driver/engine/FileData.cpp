// File data: where the extents of a data stream lie, and reading small streams whole.
// Extents are checked against the container, since the frame reads data through the
// whole device.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "ApfsFormat.h"
#include "ApfsProcs.h"

namespace {

constexpr uint64_t HOLE = UINT64_MAX;
constexpr uint64_t MAX_STREAM_OFFSET = uint64_t(1) << 63;

struct Extent {
  uint64_t logical;
  uint64_t length;
  uint64_t physBlock;  // 0 for a hole
  uint64_t cryptoBlock;  // where the extent's encryption units are numbered from, in blocks
};

constexpr uint64_t FEXT_CRYPTO_ID_IS_TWEAK = 0x01;
constexpr uint32_t FILE_EXTENT_CRYPTO_ID = 16;
constexpr uint32_t CRYPTO_UNIT = 512;

uint64_t ExtentWord(uint64_t streamId) {
  return (streamId & OBJ_ID_MASK) | uint64_t(APFS_TYPE_FILE_EXTENT) << OBJ_TYPE_SHIFT;
}

bool DecodeExtent(const NodeRecord& record, uint64_t streamId, Extent* extent) {
  if (record.keySize < FILE_EXTENT_KEY_SIZE || record.value == nullptr ||
      record.valueSize < FILE_EXTENT_VALUE_MIN || Le64(record.key) != ExtentWord(streamId)) {
    return false;
  }
  extent->logical = Le64(record.key + 8);
  extent->length = Le64(record.value) & J_FILE_EXTENT_LEN_MASK;
  extent->physBlock = Le64(record.value + 8);
  // An extent moved without being encrypted again keeps its units' numbers in its
  // crypto id; otherwise they follow its place on disk.
  const bool idIsTweak = (Le64(record.value) >> 56) & FEXT_CRYPTO_ID_IS_TWEAK;
  extent->cryptoBlock = idIsTweak && record.valueSize >= FILE_EXTENT_CRYPTO_ID + 8
                            ? Le64(record.value + FILE_EXTENT_CRYPTO_ID)
                            : extent->physBlock;
  return true;
}

bool Covers(const Extent& extent, uint64_t offset) {
  return extent.logical <= offset && offset - extent.logical < extent.length;
}

// The entry after the tree's current one, when it is the stream's extent holding offset.
bool NextExtentHolds(BTree* tree, uint64_t streamId, uint64_t offset, NodeRecord* record) {
  const PathLevel* current = tree->current;
  if (offset == 0 || current == nullptr || current->node.buffer == nullptr ||
      current->node.level != 0 || tree->index < 0 ||
      uint32_t(tree->index) + 1 >= current->node.entryCount) {
    return false;
  }
  Extent extent;
  if (!NodeEntry(&current->node, uint32_t(tree->index) + 1, record) ||
      !DecodeExtent(*record, streamId, &extent) || !Covers(extent, offset)) {
    return false;
  }
  tree->index++;
  return true;
}

// Whether blocks [first, first + count) lie inside the container.
bool InsideContainer(const Container* container, uint64_t first, uint64_t count) {
  const uint64_t blocks = ContainerBlockCount(container);
  return first < blocks && count <= blocks - first;
}

bool FindExtent(BTree* fsTree, uint64_t streamId, uint64_t offset, Extent* extent,
                bool* notFound) {
  NodeRecord record;
  return ExtentSearch(fsTree, streamId, offset, &record, notFound) &&
         DecodeExtent(record, streamId, extent);
}

enum class Next { Found, None, Error };

// The logical offset of the stream's first extent after offset, if there is one. A tree
// that cannot be read is an error, never the end of the stream: a gap must not read as
// zeros to the end of the file because the extent after it was unreadable.
Next NextExtentStart(BTree* fsTree, uint64_t streamId, uint64_t offset, uint64_t* next) {
  SearchKey key;
  SearchKeyIdOffset(&key, streamId, APFS_TYPE_FILE_EXTENT, offset);
  bool notFound;
  NodeRecord record;
  bool end;
  if (!BTreeSeek(fsTree->cursor, &key, FIND_FROM, &notFound)) return notFound ? Next::None : Next::Error;
  for (;;) {
    if (!BTreeNext(fsTree->cursor, &record, nullptr, &end)) return end ? Next::None : Next::Error;
    // Extents of other streams follow this stream's last one.
    if (record.keySize < 8 || Le64(record.key) != ExtentWord(streamId)) return Next::None;
    Extent extent;
    if (!DecodeExtent(record, streamId, &extent)) return Next::Error;
    if (extent.logical > offset) return *next = extent.logical, Next::Found;
  }
}

// Stretches of a stream that no extent records (gaps between extents and a sparse tail)
// read as zeros: the hole runs to the next extent, or to the end of the stream.
bool UnrecordedHole(const Inode* inode, uint64_t streamId, uint64_t offset,
                    uint64_t* physByteOffset, uint64_t* length, BTree* fsTree) {
  uint64_t end;
  const Next next = NextExtentStart(fsTree, streamId, offset, &end);
  if (next == Next::Error) return false;
  if (next == Next::None) {
    if (inode->dstream == nullptr) return false;
    end = Le64(inode->dstream + DSTREAM_SIZE);
  }
  if (end <= offset || end > MAX_STREAM_OFFSET) return false;
  *physByteOffset = 0;
  *length = end - offset;
  return true;
}

// The run of the inode's data that starts at offset: the rest of the extent holding it,
// or the unrecorded hole there. With wholeExtent, offset must be where an extent starts
// (or lie in a gap).
bool DataRun(Inode* inode, uint64_t offset, bool wholeExtent, uint64_t* physByteOffset,
             uint64_t* length, BTree* fsTree, uint64_t* unitByte = nullptr) {
  const uint64_t streamId = Le64(inode->value + INODE_PRIVATE_ID);
  if (streamId == 0 || offset >= MAX_STREAM_OFFSET) return false;
  Extent extent;
  bool notFound;
  if (!FindExtent(fsTree, streamId, offset, &extent, &notFound)) {
    return notFound && UnrecordedHole(inode, streamId, offset, physByteOffset, length, fsTree);
  }
  if (extent.length == 0 || extent.length >= MAX_STREAM_OFFSET - extent.logical) return false;
  if (!Covers(extent, offset)) {
    // Past the extent found lies a gap or the tail.
    return UnrecordedHole(inode, streamId, offset, physByteOffset, length, fsTree);
  }
  const uint64_t into = offset - extent.logical;
  if (wholeExtent && into != 0) return false;
  *length = extent.length - into;
  if (extent.physBlock == 0) {
    *physByteOffset = 0;
    return true;
  }
  const Container* container = inode->container;
  const uint32_t shift = container->blockShift;
  const uint64_t blocks = (extent.length + container->blockSize - 1) >> shift;
  if (!InsideContainer(container, extent.physBlock, blocks)) return false;
  *physByteOffset = (extent.physBlock << shift) + into;
  if (unitByte != nullptr) {
    if (extent.cryptoBlock > (UINT64_MAX >> shift) - blocks) return false;
    *unitByte = (extent.cryptoBlock << shift) + into;
  }
  return true;
}

}  // namespace

bool ExtentSearch(BTree* tree, uint64_t streamId, uint64_t offset, NodeRecord* record,
                  bool* notFound) {
  *notFound = false;
  if (NextExtentHolds(tree, streamId, offset, record)) return true;
  SearchKey key;
  SearchKeyIdOffset(&key, streamId, APFS_TYPE_FILE_EXTENT, offset);
  if (!BTreeFind(tree, &key, FIND_FLOOR, record, notFound)) return false;
  if (record->keySize < 8 || Le64(record->key) != ExtentWord(streamId)) return !(*notFound = true);
  // A record of the stream must be a well-formed extent.
  Extent extent;
  return DecodeExtent(*record, streamId, &extent);
}

bool FileExtentLookup(Inode* inode, uint64_t offset, uint64_t* physByteOffset, uint64_t* length,
                      BTree* fsTree) {
  return DataRun(inode, offset, true, physByteOffset, length, fsTree);
}

bool FileDataRun(Inode* inode, uint64_t offset, uint64_t* physByteOffset, uint64_t* length,
                 BTree* fsTree) {
  return DataRun(inode, offset, false, physByteOffset, length, fsTree);
}

bool FileDataRunEncrypted(Inode* inode, uint64_t offset, uint64_t* physByteOffset,
                          uint64_t* length, uint64_t* unitByte, BTree* fsTree) {
  *unitByte = 0;
  return DataRun(inode, offset, false, physByteOffset, length, fsTree, unitByte);
}

bool StreamMap(Inode* inode, uint64_t streamId, uint64_t firstBlock, uint64_t blockCount,
               StreamMapping* mapping, BTree* fsTree) {
  const uint32_t shift = inode->container->blockShift;
  mapping->physBlock = HOLE;
  mapping->blockCount = blockCount;
  if (firstBlock > (UINT64_MAX >> shift)) return false;
  Extent extent;
  bool notFound;
  if (!FindExtent(fsTree, streamId, firstBlock << shift, &extent, &notFound)) {
    return notFound;
  }
  const uint64_t lo = extent.logical >> shift;
  const uint64_t len = extent.length >> shift;
  if (len > UINT64_MAX - lo || blockCount > UINT64_MAX - firstBlock) return false;
  const uint64_t hi = lo + len;
  const uint64_t end = firstBlock + blockCount;
  if (!((lo < end && end <= hi) || (lo <= firstBlock && firstBlock < hi))) return true;
  if (extent.physBlock == 0) {
    // What is left of the hole from firstBlock on, not the hole's whole length.
    const uint64_t left = hi - std::max(lo, firstBlock);
    mapping->blockCount = blockCount != 0 ? std::min(left, blockCount) : left;
    return true;
  }
  if (!(end <= hi && blockCount != 0)) mapping->blockCount = hi - firstBlock;
  mapping->physBlock = extent.physBlock - lo + firstBlock;
  return InsideContainer(inode->container, mapping->physBlock, mapping->blockCount);
}

namespace {

// An encrypted stream, a block at a time: each block is decrypted whole with the
// numbers of its units in its extent.
bool StreamReadEncrypted(Inode* inode, uint64_t streamId, uint64_t offset, uint8_t* buffer,
                         uint64_t byteCount, BTree* fsTree) {
  Container* container = inode->container;
  const uint32_t shift = container->blockShift;
  uint8_t* block = static_cast<uint8_t*>(std::malloc(container->blockSize));
  if (block == nullptr) return false;
  bool read = true;
  while (read && byteCount > 0) {
    Extent extent;
    bool notFound;
    read = FindExtent(fsTree, streamId, offset, &extent, &notFound) && Covers(extent, offset) &&
           extent.physBlock != 0;
    if (!read) break;
    const uint64_t index = (offset - extent.logical) >> shift;
    const uint64_t within = offset & (container->blockSize - 1);
    const uint64_t chunk = std::min<uint64_t>(byteCount, container->blockSize - within);
    read = extent.physBlock + index >= extent.physBlock &&
           InsideContainer(container, extent.physBlock + index, 1) &&
           extent.cryptoBlock + index <= (UINT64_MAX >> shift) &&
           ContainerRead(container, (extent.physBlock + index) << shift, block, container->blockSize) &&
           VolumeDecrypt(inode->volume, ((extent.cryptoBlock + index) << shift) / CRYPTO_UNIT, block,
                         container->blockSize);
    if (!read) break;
    std::memcpy(buffer, block + within, chunk);
    buffer += chunk;
    offset += chunk;
    byteCount -= chunk;
  }
  std::free(block);
  return read;
}

}  // namespace

bool StreamRead(Inode* inode, uint64_t streamId, uint64_t offset, uint8_t* buffer,
                uint64_t byteCount, BTree* fsTree) {
  if (inode->volume != nullptr && VolumeDecrypts(inode->volume)) {
    return StreamReadEncrypted(inode, streamId, offset, buffer, byteCount, fsTree);
  }
  Container* container = inode->container;
  const uint32_t shift = container->blockShift;
  while (byteCount > 0) {
    const uint64_t within = offset & (container->blockSize - 1);
    if (byteCount > UINT64_MAX - within - container->blockSize) return false;
    const uint64_t blocks = (within + byteCount + container->blockSize - 1) >> shift;
    StreamMapping mapping;
    if (!StreamMap(inode, streamId, offset >> shift, blocks, &mapping, fsTree) ||
        mapping.physBlock == HOLE || mapping.blockCount == 0) {
      return false;
    }
    // The mapped run lies inside the container (StreamMap checked it).
    const uint64_t chunk = std::min(byteCount, (mapping.blockCount << shift) - within);
    if (!ContainerRead(container, (mapping.physBlock << shift) + within, buffer, chunk)) {
      return false;
    }
    buffer += chunk;
    offset += chunk;
    byteCount -= chunk;
  }
  return true;
}
