#include "CompressedFile.h"

#include <algorithm>
#include <cstring>

#include "ApfsFormat.h"
#include "Failure.h"

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

const std::vector<uint8_t>& CompressedFile::Chunk(Inode* inode, BTree* fsTree, uint64_t index) {
  if (index >= DecmpfsChunkCount(header_.size)) throw Corrupt(Describe() + ": read past its size");
  uses_++;
  for (CachedChunk& cached : cache_) {
    if (cached.index == index) {
      cached.lastUse = uses_;
      return cached.bytes;
    }
  }
  CachedChunk& slot = *std::min_element(cache_.begin(), cache_.end(),
                                        [](const CachedChunk& a, const CachedChunk& b) { return a.lastUse < b.lastUse; });
  slot.index = UINT64_MAX;
  std::vector<uint8_t> stored;
  if (header_.kind.inResourceFork) {
    stored = ForkBytes(inode, fsTree, chunks_[index].offset, chunks_[index].length);
  }
  const std::vector<uint8_t>& in = header_.kind.inResourceFork ? stored : inlineData_;
  slot.bytes.resize(DecmpfsChunkLength(header_.size, index));
  if (!DecmpfsDecodeChunk(header_.kind, in.data(), in.size(), slot.bytes.data(), slot.bytes.size())) {
    throw Corrupt(Describe() + ": chunk " + std::to_string(index) + " damaged");
  }
  slot.index = index;
  slot.lastUse = uses_;
  return slot.bytes;
}

void CompressedFile::Read(Inode* inode, BTree* fsTree, uint64_t offset, uint8_t* out, size_t count) {
  while (count > 0) {
    const uint64_t index = offset / DECMPFS_CHUNK_SIZE;
    const std::vector<uint8_t>& chunk = Chunk(inode, fsTree, index);
    const size_t within = size_t(offset % DECMPFS_CHUNK_SIZE);
    if (within >= chunk.size()) throw Corrupt(Describe() + ": read past its size");
    const size_t piece = std::min(count, chunk.size() - within);
    std::memcpy(out, chunk.data() + within, piece);
    out += piece;
    offset += piece;
    count -= piece;
  }
}
