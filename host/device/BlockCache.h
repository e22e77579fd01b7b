// A bounded, thread-safe cache of 4 KiB blocks in front of a read-only device.
//
// The engine visits the same B-tree nodes again and again (every lookup descends the
// object map and the file-system tree from their roots), each visit a small read. The
// image never changes under a reader, so what was read once stays valid: nothing is
// ever invalidated, blocks are only evicted to stay within the capacity.
//
// Small reads are served from the cache; large ones (file data) go straight to the
// device, so streaming a file neither pays for a copy nor pushes the metadata out.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

class BlockCache {
 public:
  static constexpr uint32_t BLOCK_SIZE = 4096;
  // Reads larger than this bypass the cache: B-tree nodes are one block, and blocks of
  // more than 16 KiB are rare enough that their containers may read uncached.
  static constexpr uint32_t MAX_CACHED_READ = 16 * 1024;

  // Reads count bytes at offset from the device; called only for ranges inside length.
  using Fill = std::function<bool(uint64_t offset, uint8_t* buffer, uint32_t count)>;

  struct Config {
    uint64_t capacityBytes = 0;  // rounded down to whole blocks, at least one per shard
    uint32_t readAheadBlocks = 1;  // blocks read at once on a miss (1: only the block)
  };

  BlockCache(uint64_t length, const Config& config, Fill fill);
  BlockCache(const BlockCache&) = delete;
  BlockCache& operator=(const BlockCache&) = delete;

  // Reads count bytes at offset; offset + count must lie within length. False when the
  // device fails; a failed read leaves nothing in the cache.
  bool Read(uint64_t offset, void* buffer, uint32_t count);

  uint64_t capacityBlocks() const { return uint64_t(shards_.size()) * slotsPerShard_; }
  uint64_t residentBlocks() const;
  // Blocks read from the device into the cache since it was made.
  uint64_t blocksFilled() const { return blocksFilled_.load(std::memory_order_relaxed); }

 private:
  // Blocks are spread over shards by number so that concurrent readers rarely wait for
  // each other. Each shard replaces its blocks in clock order: a block read again since
  // the hand last passed it gets a second chance.
  struct Shard {
    mutable std::mutex lock;
    std::unordered_map<uint64_t, uint32_t> slotOf;  // block number -> slot
    std::vector<uint64_t> blockIn;                   // slot -> block number
    std::vector<uint8_t> used;                       // slot -> read since the hand passed
    std::unique_ptr<uint8_t[]> data;
    uint32_t filled = 0;  // slots in use; the first ones are filled first
    uint32_t hand = 0;
  };

  Shard& ShardOf(uint64_t block) { return shards_[block % shards_.size()]; }
  // Copies block's bytes from first to first + count into out; false when not cached.
  bool CopyCached(uint64_t block, uint32_t first, uint32_t count, uint8_t* out);
  // Reads the blocks from block on (read-ahead included) and keeps them.
  bool FillFrom(uint64_t block, uint32_t first, uint32_t count, uint8_t* out);
  void Keep(uint64_t block, const uint8_t* bytes);
  uint32_t ChooseSlot(Shard& shard);
  uint64_t BlockCount() const { return (length_ + BLOCK_SIZE - 1) / BLOCK_SIZE; }

  uint64_t length_;
  uint32_t readAheadBlocks_;
  Fill fill_;
  uint32_t slotsPerShard_;
  std::vector<Shard> shards_;
  std::atomic<uint64_t> blocksFilled_{0};
};
