// The contents of a transparently compressed file, decoded chunk by chunk: a read decodes
// only the chunks that hold the bytes asked for, and keeps the last few read in part.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "ApfsProcs.h"
#include "Decmpfs.h"

class CompressedFile {
 public:
  // Reads the file's header and chunk table. Throws ReadFailure: an unsupported kind
  // (naming it), a dataless file, a damaged header or table.
  CompressedFile(Inode* inode, BTree* fsTree);

  uint64_t objectId() const { return objectId_; }
  uint64_t size() const { return header_.size; }
  const DecmpfsKind& kind() const { return header_.kind; }

  // Copies count bytes from offset on (inside size()) to out. Threads may read at once,
  // each with its own inode and tree: chunks wanted whole are decoded straight into out,
  // on every core; chunks read in part are decoded once and kept among the last few.
  void Read(Inode* inode, BTree* fsTree, uint64_t offset, uint8_t* out, size_t count);

 private:
  struct CachedChunk {
    uint64_t index = UINT64_MAX;
    uint64_t lastUse = 0;
    std::vector<uint8_t> bytes;
  };
  static constexpr size_t CACHED_CHUNKS = 4;

  std::vector<uint8_t> Stored(Inode* inode, BTree* fsTree, uint64_t index);
  void Decode(uint64_t index, const std::vector<uint8_t>& stored, uint8_t* out, size_t length) const;
  bool CopyCached(uint64_t index, size_t within, uint8_t* out, size_t count);
  void Keep(uint64_t index, const uint8_t* bytes, size_t length);
  std::vector<uint8_t> ForkBytes(Inode* inode, BTree* fsTree, uint64_t offset, uint64_t count);
  void LoadTable(Inode* inode, BTree* fsTree);
  std::string Describe() const;

  uint64_t objectId_;
  DecmpfsHeader header_;
  std::vector<uint8_t> inlineData_;  // the attribute's bytes after the header
  uint64_t forkSize_ = 0;
  std::vector<ChunkSpan> chunks_;
  std::mutex cacheLock_;
  std::array<CachedChunk, CACHED_CHUNKS> cache_;
  uint64_t uses_ = 0;
};
