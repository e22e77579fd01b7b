#include "CompressedFile.h"

#include <algorithm>
#include <cstring>

#include "ApfsFormat.h"
#include "Failure.h"
#include "PieceWorkers.h"

namespace {

constexpr char DECMPFS_XATTR[] = "com.apple.decmpfs";
constexpr char RESOURCE_FORK_XATTR[] = "com.apple.ResourceFork";
// Inline data lives in an attribute record; a longer one is damage, not a file.
constexpr uint64_t MAX_INLINE_ATTRIBUTE = DECMPFS_HEADER_BYTES + DECMPFS_MAX_CHUNK_INPUT;
// A table this long would describe a file of a terabyte and more.
constexpr uint64_t MAX_TABLE_BYTES = 64 << 20;

std::string InodeName(const Inode* inode) { return "inode " + std::to_string(inode->objectId & OBJ_ID_MASK); }

const XattrEntry* Named(const Inode* inode, const char* name) {
  return XattrNamed(inode, reinterpret_cast<const uint8_t*>(name), uint32_t(std::strlen(name)));
}

// count bytes of an attribute's data from offset on, or a failure naming what is missing.
std::vector<uint8_t> AttributeBytes(Inode* inode, BTree* fsTree, const XattrEntry* entry, uint64_t offset,
                                    uint64_t count, const std::string& what) {
  std::vector<uint8_t> bytes(count);
  if (!XattrStorageKnown(entry->flags) || !XattrRead(inode, entry, offset, bytes.data(), count, fsTree)) {
    throw Corrupt(what);
  }
  return bytes;
}

}  // namespace

CompressedFile::CompressedFile(Inode* inode, BTree* fsTree) : objectId_(inode->objectId) {
  const XattrEntry* entry = Named(inode, DECMPFS_XATTR);
  if (entry == nullptr) throw Corrupt("compressed file " + InodeName(inode) + ": no com.apple.decmpfs header");
  if (entry->dataLength > MAX_INLINE_ATTRIBUTE) {
    throw Corrupt("compressed file " + InodeName(inode) + ": header attribute of " +
                  std::to_string(entry->dataLength) + " bytes");
  }
  const std::vector<uint8_t> attribute = AttributeBytes(inode, fsTree, entry, 0, entry->dataLength,
                                                        "compressed file " + InodeName(inode) + ": header unreadable");
  if (!DecmpfsParseHeader(attribute.data(), attribute.size(), &header_)) {
    throw Corrupt("compressed file " + InodeName(inode) + ": header too short or of the wrong magic");
  }
  if (header_.kind.dataless) throw DatalessContents(InodeName(inode));
  if (header_.kind.algorithm == DecmpfsAlgorithm::Unsupported) {
    throw UnsupportedCompression("compressed file " + InodeName(inode), DecmpfsDescribe(header_.kind));
  }
  if (header_.kind.inResourceFork) {
    LoadTable(inode, fsTree);
  } else {
    if (header_.size > DECMPFS_CHUNK_SIZE) throw Corrupt(Describe() + ": inline data of more than one chunk");
    inlineData_.assign(attribute.begin() + DECMPFS_HEADER_BYTES, attribute.end());
  }
}

std::string CompressedFile::Describe() const {
  return "compressed file inode " + std::to_string(objectId_ & OBJ_ID_MASK) + " (" + DecmpfsDescribe(header_.kind) + ")";
}

std::vector<uint8_t> CompressedFile::ForkBytes(Inode* inode, BTree* fsTree, uint64_t offset, uint64_t count) {
  const XattrEntry* fork = Named(inode, RESOURCE_FORK_XATTR);
  if (fork == nullptr) throw Corrupt(Describe() + ": no resource fork");
  return AttributeBytes(inode, fsTree, fork, offset, count,
                        Describe() + ": resource fork unreadable at byte " + std::to_string(offset));
}

void CompressedFile::LoadTable(Inode* inode, BTree* fsTree) {
  const XattrEntry* fork = Named(inode, RESOURCE_FORK_XATTR);
  if (fork == nullptr) {
    if (header_.size == 0) return;  // nothing to hold
    throw Corrupt(Describe() + ": no resource fork");
  }
  forkSize_ = fork->dataLength;
  const uint64_t count = DecmpfsChunkCount(header_.size);
  const uint64_t tableBytes = DecmpfsTableBytes(header_.kind, count);
  if (tableBytes > forkSize_ || tableBytes > MAX_TABLE_BYTES) {
    throw Corrupt(Describe() + ": chunk table of " + std::to_string(count) + " chunks does not fit its " +
                  std::to_string(forkSize_) + "-byte resource fork");
  }
  const std::vector<uint8_t> table = ForkBytes(inode, fsTree, 0, tableBytes);
  if (!DecmpfsParseTable(header_.kind, table.data(), forkSize_, count, &chunks_)) {
    throw Corrupt(Describe() + ": chunk table damaged");
  }
}

// What chunk index is stored as: its bytes in the resource fork, or the inline data.
std::vector<uint8_t> CompressedFile::Stored(Inode* inode, BTree* fsTree, uint64_t index) {
  if (!header_.kind.inResourceFork) return inlineData_;
  return ForkBytes(inode, fsTree, chunks_[index].offset, chunks_[index].length);
}

// Decodes chunk index, of length bytes, from what it is stored as into out.
void CompressedFile::Decode(uint64_t index, const std::vector<uint8_t>& stored, uint8_t* out, size_t length) const {
  if (!DecmpfsDecodeChunk(header_.kind, stored.data(), stored.size(), out, length)) {
    throw Corrupt(Describe() + ": chunk " + std::to_string(index) + " damaged");
  }
}

bool CompressedFile::CopyCached(uint64_t index, size_t within, uint8_t* out, size_t count) {
  const std::lock_guard<std::mutex> hold(cacheLock_);
  uses_++;
  for (CachedChunk& cached : cache_) {
    if (cached.index == index) {
      cached.lastUse = uses_;
      std::memcpy(out, cached.bytes.data() + within, count);
      return true;
    }
  }
  return false;
}

// Keeps a decoded chunk in place of the least recently used one.
void CompressedFile::Keep(uint64_t index, const uint8_t* bytes, size_t length) {
  const std::lock_guard<std::mutex> hold(cacheLock_);
  CachedChunk& slot = *std::min_element(cache_.begin(), cache_.end(),
                                        [](const CachedChunk& a, const CachedChunk& b) { return a.lastUse < b.lastUse; });
  slot.bytes.assign(bytes, bytes + length);
  slot.index = index;
  slot.lastUse = ++uses_;
}

void CompressedFile::Read(Inode* inode, BTree* fsTree, uint64_t offset, uint8_t* out, size_t count) {
  // Chunks wanted whole are read here, with the tree, and decoded on every core at the end.
  struct Whole {
    uint64_t index;
    uint8_t* out;
    size_t length;
    std::vector<uint8_t> stored;
  };
  std::vector<Whole> whole;
  std::vector<uint8_t> chunk;
  while (count > 0) {
    const uint64_t index = offset / DECMPFS_CHUNK_SIZE;
    if (index >= DecmpfsChunkCount(header_.size)) throw Corrupt(Describe() + ": read past its size");
    const size_t length = size_t(DecmpfsChunkLength(header_.size, index));
    const size_t within = size_t(offset % DECMPFS_CHUNK_SIZE);
    if (within >= length) throw Corrupt(Describe() + ": read past its size");
    const size_t piece = std::min(count, length - within);
    if (within == 0 && piece == length) {
      whole.push_back({index, out, length, Stored(inode, fsTree, index)});
    } else if (!CopyCached(index, within, out, piece)) {
      chunk.resize(length);
      Decode(index, Stored(inode, fsTree, index), chunk.data(), length);
      Keep(index, chunk.data(), length);
      std::memcpy(out, chunk.data() + within, piece);
    }
    out += piece;
    offset += piece;
    count -= piece;
  }
  PieceWorkers::Shared().Run(whole.size(), [&](size_t i) {
    Decode(whole[i].index, whole[i].stored, whole[i].out, whole[i].length);
  });
}
