#include "BlockCache.h"

#include <algorithm>
#include <cstring>

namespace {

// Enough shards that the FUSE threads seldom meet on one lock, few enough that each
// keeps a useful number of blocks.
constexpr uint64_t MAX_SHARDS = 16;
constexpr uint64_t MIN_BLOCKS_PER_SHARD = 64;

}  // namespace

BlockCache::BlockCache(uint64_t length, const Config& config, Fill fill)
    : length_(length), readAheadBlocks_(std::max<uint32_t>(config.readAheadBlocks, 1)), fill_(std::move(fill)) {
  const uint64_t blocks = std::max<uint64_t>(config.capacityBytes / BLOCK_SIZE, 1);
  const uint64_t shards = std::clamp<uint64_t>(blocks / MIN_BLOCKS_PER_SHARD, 1, MAX_SHARDS);
  slotsPerShard_ = uint32_t(std::min<uint64_t>(blocks / shards, UINT32_MAX));
  shards_ = std::vector<Shard>(shards);
  for (Shard& shard : shards_) {
    shard.slotOf.reserve(slotsPerShard_);
    shard.blockIn.assign(slotsPerShard_, 0);
    shard.used.assign(slotsPerShard_, 0);
    shard.data = std::make_unique_for_overwrite<uint8_t[]>(size_t(slotsPerShard_) * BLOCK_SIZE);
  }
}

uint64_t BlockCache::residentBlocks() const {
  uint64_t resident = 0;
  for (const Shard& shard : shards_) {
    std::lock_guard<std::mutex> guard(shard.lock);
    resident += shard.slotOf.size();
  }
  return resident;
}

bool BlockCache::Read(uint64_t offset, void* buffer, uint32_t count) {
  auto* out = static_cast<uint8_t*>(buffer);
  if (count > MAX_CACHED_READ) return fill_(offset, out, count);
  while (count > 0) {
    const uint64_t block = offset / BLOCK_SIZE;
    const auto first = uint32_t(offset % BLOCK_SIZE);
    const uint32_t n = std::min(count, BLOCK_SIZE - first);
    if (!CopyCached(block, first, n, out) && !FillFrom(block, first, n, out)) return false;
    offset += n;
    out += n;
    count -= n;
  }
  return true;
}

bool BlockCache::CopyCached(uint64_t block, uint32_t first, uint32_t count, uint8_t* out) {
  Shard& shard = ShardOf(block);
  std::lock_guard<std::mutex> guard(shard.lock);
  const auto found = shard.slotOf.find(block);
  if (found == shard.slotOf.end()) return false;
  shard.used[found->second] = 1;
  std::memcpy(out, shard.data.get() + size_t(found->second) * BLOCK_SIZE + first, count);
  return true;
}

bool BlockCache::FillFrom(uint64_t block, uint32_t first, uint32_t count, uint8_t* out) {
  // The device is read without a lock held; two threads missing the same block both
  // read it, and the second to finish finds it kept already.
  thread_local std::vector<uint8_t> staging;
  const uint64_t blocks = std::min<uint64_t>(readAheadBlocks_, BlockCount() - block);
  const uint64_t start = block * BLOCK_SIZE;
  const auto bytes = uint32_t(std::min<uint64_t>(blocks * BLOCK_SIZE, length_ - start));
  staging.assign(blocks * BLOCK_SIZE, 0);  // the tail past the device's end stays zero
  if (!fill_(start, staging.data(), bytes)) return false;
  blocksFilled_.fetch_add(blocks, std::memory_order_relaxed);
  std::memcpy(out, staging.data() + first, count);
  for (uint64_t i = 0; i < blocks; i++) Keep(block + i, staging.data() + i * BLOCK_SIZE);
  return true;
}

void BlockCache::Keep(uint64_t block, const uint8_t* bytes) {
  Shard& shard = ShardOf(block);
  std::lock_guard<std::mutex> guard(shard.lock);
  if (shard.slotOf.count(block) != 0) return;
  const uint32_t slot = ChooseSlot(shard);
  std::memcpy(shard.data.get() + size_t(slot) * BLOCK_SIZE, bytes, BLOCK_SIZE);
  shard.blockIn[slot] = block;
  // A block earns its second chance by being read again: one read only once (or read
  // ahead and never asked for) is the first to go.
  shard.used[slot] = 0;
  shard.slotOf.emplace(block, slot);
}

uint32_t BlockCache::ChooseSlot(Shard& shard) {
  if (shard.filled < slotsPerShard_) return shard.filled++;
  for (;;) {
    const uint32_t slot = shard.hand;
    shard.hand = (shard.hand + 1) % slotsPerShard_;
    if (shard.used[slot] != 0) {
      shard.used[slot] = 0;
      continue;
    }
    shard.slotOf.erase(shard.blockIn[slot]);
    return slot;
  }
}
