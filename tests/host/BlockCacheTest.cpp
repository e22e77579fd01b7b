// The block cache in front of image files: what it returns, what it keeps, what it reads
// from the device, alone and under concurrent readers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "BlockCache.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t BLOCK = BlockCache::BLOCK_SIZE;

Bytes Pattern(size_t size) {
  Bytes b(size);
  for (size_t i = 0; i < size; i++) b[i] = uint8_t((i * 131) ^ (i >> 12));
  return b;
}

// A device over bytes in memory that counts how it is read and can be made to fail.
struct MemoryDevice {
  Bytes bytes;
  std::atomic<uint64_t> reads{0};
  std::atomic<uint64_t> bytesRead{0};
  std::atomic<bool> failing{false};
  std::atomic<bool> outOfRange{false};  // a read past the end was asked for

  explicit MemoryDevice(size_t size) : bytes(Pattern(size)) {}

  BlockCache::Fill Fill() {
    return [this](uint64_t offset, uint8_t* buffer, uint32_t count) {
      if (offset > bytes.size() || count > bytes.size() - offset) {
        outOfRange = true;
        return false;
      }
      if (failing) return false;
      reads++;
      bytesRead += count;
      std::memcpy(buffer, bytes.data() + offset, count);
      return true;
    };
  }
};

BlockCache::Config Capacity(uint64_t blocks, uint32_t readAhead = 1) { return {blocks * BLOCK, readAhead}; }

Bytes ReadThrough(BlockCache& cache, uint64_t offset, uint32_t count) {
  Bytes out(count, 0xEE);
  EXPECT_TRUE(cache.Read(offset, out.data(), count)) << offset << "+" << count;
  return out;
}

Bytes Expected(const MemoryDevice& device, uint64_t offset, uint32_t count) {
  return Bytes(device.bytes.begin() + long(offset), device.bytes.begin() + long(offset + count));
}

TEST(BlockCacheTest, ServesRepeatedReadsOfABlockFromMemory) {
  MemoryDevice device(64 * BLOCK);
  BlockCache cache(device.bytes.size(), Capacity(16), device.Fill());
  EXPECT_EQ(ReadThrough(cache, 5 * BLOCK, BLOCK), Expected(device, 5 * BLOCK, BLOCK));
  EXPECT_EQ(ReadThrough(cache, 5 * BLOCK + 100, 200), Expected(device, 5 * BLOCK + 100, 200));
  EXPECT_EQ(ReadThrough(cache, 5 * BLOCK, BLOCK), Expected(device, 5 * BLOCK, BLOCK));
  EXPECT_EQ(device.reads, 1u);
  EXPECT_EQ(cache.blocksFilled(), 1u);
  EXPECT_EQ(cache.residentBlocks(), 1u);
}

TEST(BlockCacheTest, ReadsStraddlingBlocksAreAssembledFromEach) {
  MemoryDevice device(64 * BLOCK);
  BlockCache cache(device.bytes.size(), Capacity(16), device.Fill());
  // Three blocks touched: the end of 2, all of 3, the start of 4.
  EXPECT_EQ(ReadThrough(cache, 3 * BLOCK - 10, BLOCK + 30), Expected(device, 3 * BLOCK - 10, BLOCK + 30));
  EXPECT_EQ(ReadThrough(cache, 2 * BLOCK + 7, 2 * BLOCK + 1), Expected(device, 2 * BLOCK + 7, 2 * BLOCK + 1));
  EXPECT_EQ(cache.blocksFilled(), 3u);
  // A read across a cached and an uncached block fetches only the missing one.
  EXPECT_EQ(ReadThrough(cache, 5 * BLOCK - 1, 2), Expected(device, 5 * BLOCK - 1, 2));
  EXPECT_EQ(cache.blocksFilled(), 4u);
}

TEST(BlockCacheTest, ReadsAtTheEndOfAPartitionThatEndsInsideABlock) {
  const uint32_t length = 10 * BLOCK + 1000;
  MemoryDevice device(length);
  BlockCache cache(length, Capacity(16, 4), device.Fill());
  EXPECT_EQ(ReadThrough(cache, length - 1000, 1000), Expected(device, length - 1000, 1000));
  EXPECT_EQ(ReadThrough(cache, length - 1, 1), Expected(device, length - 1, 1));
  EXPECT_EQ(ReadThrough(cache, length - BLOCK - 5, BLOCK + 5), Expected(device, length - BLOCK - 5, BLOCK + 5));
  // Read-ahead from block 8 stops at the partition's end; nothing past it is asked for.
  EXPECT_EQ(ReadThrough(cache, 8 * BLOCK, 16), Expected(device, 8 * BLOCK, 16));
  EXPECT_FALSE(device.outOfRange);
}

TEST(BlockCacheTest, ReadAheadKeepsTheFollowingBlocksFromOneDeviceRead) {
  MemoryDevice device(64 * BLOCK);
  BlockCache cache(device.bytes.size(), Capacity(32, 8), device.Fill());
  EXPECT_EQ(ReadThrough(cache, 16 * BLOCK, 100), Expected(device, 16 * BLOCK, 100));
  EXPECT_EQ(device.reads, 1u);
  EXPECT_EQ(device.bytesRead, 8u * BLOCK);
  for (uint32_t block = 16; block < 24; block++) {
    EXPECT_EQ(ReadThrough(cache, block * BLOCK, BLOCK), Expected(device, block * BLOCK, BLOCK));
  }
  EXPECT_EQ(device.reads, 1u);
}

TEST(BlockCacheTest, EvictsToStayWithinItsCapacityAndKeepsBlocksInUse) {
  MemoryDevice device(256 * BLOCK);
  BlockCache cache(device.bytes.size(), Capacity(8), device.Fill());
  EXPECT_EQ(cache.capacityBlocks(), 8u);
  for (uint32_t block = 0; block < 200; block++) {
    EXPECT_EQ(ReadThrough(cache, block * BLOCK, BLOCK), Expected(device, block * BLOCK, BLOCK));
    // Block 0 is read between all others: it is never the one that goes.
    EXPECT_EQ(ReadThrough(cache, 0, 64), Expected(device, 0, 64));
    EXPECT_LE(cache.residentBlocks(), 8u);
  }
  EXPECT_EQ(cache.residentBlocks(), 8u);
  EXPECT_EQ(cache.blocksFilled(), 200u);
  // The oldest of the others is gone and is read again.
  EXPECT_EQ(ReadThrough(cache, 1 * BLOCK, BLOCK), Expected(device, 1 * BLOCK, BLOCK));
  EXPECT_EQ(cache.blocksFilled(), 201u);
}

TEST(BlockCacheTest, CapacityIsRoundedToWholeBlocksAndNeverExceeded) {
  MemoryDevice device(4096 * size_t(BLOCK) / 8);
  BlockCache tiny(device.bytes.size(), {100, 1}, device.Fill());
  EXPECT_EQ(tiny.capacityBlocks(), 1u);
  BlockCache sharded(device.bytes.size(), {1000 * uint64_t(BLOCK) + 5, 1}, device.Fill());
  EXPECT_LE(sharded.capacityBlocks(), 1000u);
  EXPECT_GE(sharded.capacityBlocks(), 990u);
  for (uint32_t block = 0; block < 512; block++) ReadThrough(sharded, block * BLOCK, 1);
  for (uint32_t block = 0; block < 512; block++) ReadThrough(sharded, block * BLOCK, 1);
  EXPECT_LE(sharded.residentBlocks(), sharded.capacityBlocks());
}

TEST(BlockCacheTest, LargeReadsGoStraightToTheDeviceAndAreNotKept) {
  MemoryDevice device(64 * BLOCK);
  BlockCache cache(device.bytes.size(), Capacity(64), device.Fill());
  const uint32_t large = BlockCache::MAX_CACHED_READ + 1;
  EXPECT_EQ(ReadThrough(cache, 3, large), Expected(device, 3, large));
  EXPECT_EQ(device.reads, 1u);
  EXPECT_EQ(cache.residentBlocks(), 0u);
}

TEST(BlockCacheTest, AFailedDeviceReadFailsAndLeavesNothingBehind) {
  MemoryDevice device(64 * BLOCK);
  BlockCache cache(device.bytes.size(), Capacity(16), device.Fill());
  device.failing = true;
  Bytes out(BLOCK);
  EXPECT_FALSE(cache.Read(2 * BLOCK, out.data(), BLOCK));
  EXPECT_EQ(cache.residentBlocks(), 0u);
  device.failing = false;
  EXPECT_EQ(ReadThrough(cache, 2 * BLOCK, BLOCK), Expected(device, 2 * BLOCK, BLOCK));
}

TEST(BlockCacheTest, ConcurrentReadersAlwaysGetTheDeviceBytes) {
  // More blocks than the cache holds, read-ahead on: threads miss, fill, hit and evict
  // the same shards at once.
  const uint32_t length = 600 * BLOCK + 123;
  MemoryDevice device(length);
  BlockCache cache(length, Capacity(256, 4), device.Fill());
  std::atomic<uint32_t> mismatches{0};
  std::vector<std::thread> readers;
  for (uint32_t t = 0; t < 8; t++) {
    readers.emplace_back([&, t] {
      std::mt19937_64 random(t);
      Bytes out(3 * BLOCK);
      for (int i = 0; i < 4000; i++) {
        const auto count = uint32_t(1 + random() % (2 * BLOCK));
        const uint64_t offset = random() % (length - count + 1);
        if (!cache.Read(offset, out.data(), count) ||
            std::memcmp(out.data(), device.bytes.data() + offset, count) != 0) {
          mismatches++;
        }
      }
    });
  }
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(mismatches, 0u);
  EXPECT_FALSE(device.outOfRange);
  EXPECT_LE(cache.residentBlocks(), cache.capacityBlocks());
}

}  // namespace
