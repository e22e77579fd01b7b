// The sparse image file the writer fills block by block, and the allocator that hands out
// its blocks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace apfsw {

// An image file opened for writing; blocks never written stay holes of the file. Writes
// to consecutive blocks are gathered into one system call, as the writer mostly fills the
// image upwards in small pieces.
class ImageFile {
 public:
  ImageFile(const std::string& path, uint32_t blockSize);
  ~ImageFile();
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  uint32_t BlockSize() const { return blockSize_; }
  void WriteBlocks(uint64_t address, const uint8_t* data, uint64_t byteCount);
  void WriteBlock(uint64_t address, const std::vector<uint8_t>& block);
  // Writes what is gathered and gives the file its final length (blockCount blocks),
  // keeping unwritten parts sparse.
  void Finish(uint64_t blockCount);

 private:
  void Flush();
  void WriteNow(uint64_t offset, const uint8_t* data, uint64_t byteCount);
  int fd_ = -1;
  std::vector<uint8_t> pending_;  // bytes for the blocks from pendingAddress_ on
  uint64_t pendingAddress_ = 0;
  uint32_t blockSize_;
  std::string path_;
};

struct BlockRange {
  uint64_t start = 0;
  uint64_t count = 0;
};

// Hands out blocks upwards from a start address and remembers every block in use, for
// the space manager's bitmaps. Fixed areas are reserved explicitly.
class BlockAllocator {
 public:
  BlockAllocator(uint64_t blockCount, uint64_t firstFree);
  uint64_t Allocate(uint64_t count);
  // Leaves blocks free between allocations, so that consecutive extents are not adjacent.
  void Skip(uint64_t count);
  void Reserve(uint64_t start, uint64_t count);
  uint64_t BlockCount() const { return blockCount_; }
  uint64_t UsedBlocks() const { return used_; }
  uint64_t NextFree() const { return next_; }
  // Ranges in use, sorted and merged.
  std::vector<BlockRange> UsedRanges() const;

 private:
  void Record(uint64_t start, uint64_t count);
  uint64_t blockCount_;
  uint64_t next_;
  uint64_t used_ = 0;
  std::vector<BlockRange> ranges_;
};

}  // namespace apfsw
