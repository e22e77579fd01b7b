// Checksums, block sizes, bounded device reads, the read paths and block buffers.
#include <gtest/gtest.h>

#include <algorithm>

#include "ApfsFormat.h"
#include "TestDevice.h"

namespace {

Bytes ChecksummedBlock(uint32_t size, uint8_t seed) {
  Bytes block(size);
  for (uint32_t i = 8; i < size; i++) block[i] = uint8_t(i * 31 + seed);
  PutLe64(block.data(), ObjectChecksum(block.data(), size));
  return block;
}

TEST(ObjectChecksum, VerifiesAndDetectsEveryChangedByte) {
  Bytes block = ChecksummedBlock(4096, 3);
  ASSERT_TRUE(ObjectVerify(block.data(), 4096));
  for (uint32_t i = 0; i < 4096; i += 7) {
    block[i] ^= 0x01;
    EXPECT_FALSE(ObjectVerify(block.data(), 4096)) << "byte " << i;
    block[i] ^= 0x01;
  }
  Bytes big = ChecksummedBlock(65536, 9);
  EXPECT_TRUE(ObjectVerify(big.data(), 65536));
}

// Fletcher-64 word by word, reduced at every step, as the format defines it.
uint64_t ChecksumByDefinition(const Bytes& block) {
  constexpr uint64_t M = 0xFFFFFFFFull;
  uint64_t sum1 = 0, sum2 = 0;
  for (size_t i = 8; i + 4 <= block.size(); i += 4) {
    sum1 = (sum1 + Le32(block.data() + i)) % M;
    sum2 = (sum2 + sum1) % M;
  }
  const uint64_t c1 = M - ((sum1 + sum2) % M);
  const uint64_t c2 = M - ((sum1 + c1) % M);
  return c2 << 32 | c1;
}

TEST(ObjectChecksum, MatchesTheWordByWordDefinitionForAnyLength) {
  // Odd and even word counts, across the points where the sums are reduced, and words
  // of all ones, which push the sums highest.
  for (uint32_t size : {12u, 16u, 4096u, 4100u, 4104u, 8192u, 65536u}) {
    Bytes block = ChecksummedBlock(size, uint8_t(size));
    EXPECT_EQ(ObjectChecksum(block.data(), size), ChecksumByDefinition(block)) << size;
    std::fill(block.begin(), block.end(), 0xFF);
    EXPECT_EQ(ObjectChecksum(block.data(), size), ChecksumByDefinition(block)) << size;
  }
}

TEST(ObjectChecksum, AZeroChecksumNeverVerifies) {
  // Fletcher-64 as APFS defines it never computes to zero, so an unwritten block with a
  // zero checksum field is always refused.
  Bytes zeros(4096);
  EXPECT_NE(ObjectChecksum(zeros.data(), 4096), 0u);
  EXPECT_FALSE(ObjectVerify(zeros.data(), 4096));
}

TEST(BlockShift, OfPowersOfTwoAndEverythingElse) {
  EXPECT_EQ(BlockShiftOf(4096), 12);
  EXPECT_EQ(BlockShiftOf(16384), 14);
  EXPECT_EQ(BlockShiftOf(1), 0);
  EXPECT_EQ(BlockShiftOf(1u << 25), 25);
  EXPECT_EQ(BlockShiftOf(1u << 26), 9);
  EXPECT_EQ(BlockShiftOf(0x80000000u), 9);
  EXPECT_EQ(BlockShiftOf(0), 9);
  EXPECT_EQ(BlockShiftOf(12288), 9);

  EXPECT_TRUE(BlockSizeSupported(4096));
  EXPECT_TRUE(BlockSizeSupported(16384));
  EXPECT_TRUE(BlockSizeSupported(65536));
  EXPECT_FALSE(BlockSizeSupported(2048));
  EXPECT_FALSE(BlockSizeSupported(131072));
  EXPECT_FALSE(BlockSizeSupported(12288));
  EXPECT_FALSE(BlockSizeSupported(0));
}

TEST(DeviceRead, RangesOutsideTheDeviceFailWithoutReachingIt) {
  MemoryDevice disk(4096, 4);  // 16 KiB
  BlockDevice* device = disk.device();
  uint8_t buffer[16];
  EXPECT_TRUE(DeviceRead(device, 16384 - 16, buffer, 16));
  EXPECT_TRUE(DeviceRead(device, 16384, buffer, 0));
  const int reads = disk.reads();
  EXPECT_FALSE(DeviceRead(device, 16384 - 15, buffer, 16));
  EXPECT_FALSE(DeviceRead(device, UINT64_MAX - 4, buffer, 8)) << "offset + count wraps";
  EXPECT_FALSE(DeviceRead(device, 8, buffer, UINT64_MAX - 4));
  EXPECT_FALSE(DeviceRead(device, 0, buffer, uint64_t(UINT32_MAX) + 1));
  EXPECT_EQ(disk.reads(), reads);
  EXPECT_EQ(DeviceLength(device), 16384u);
}

TEST(BlockOffsets, FollowTheBlockShift) {
  for (uint32_t size : {4096u, 16384u}) {
    MemoryDevice disk(size, 16);
    disk.Block(5)[100] = 0xAB;
    TestContainer tc(disk);
    BlockBuffer* buffer = BlockBufferLoad(&tc.container, 5, 0, CONTAINER_INDEX);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->size, size);
    EXPECT_EQ(buffer->data[100], 0xAB);
    BlockBufferRelease(buffer);
    EXPECT_EQ(BlockBufferLoad(&tc.container, 16, 0, CONTAINER_INDEX), nullptr);
    EXPECT_EQ(BlockBufferLoad(&tc.container, UINT64_MAX >> 4, 0, CONTAINER_INDEX), nullptr);
  }
}

TEST(VolumeRead, NeedsAnOpenUnencryptedSlot) {
  MemoryDevice disk;
  TestContainer tc(disk);
  Volume slots[2] = {};
  tc.container.volumes = slots;
  tc.container.volumeCount = 2;
  uint8_t buffer[64];
  EXPECT_TRUE(VolumeRead(&tc.container, 0, buffer, 64, CONTAINER_INDEX));
  EXPECT_FALSE(VolumeRead(&tc.container, 0, buffer, 64, 0)) << "slot not open";
  slots[0].open = true;
  EXPECT_TRUE(VolumeRead(&tc.container, 0, buffer, 64, 0));
  slots[1].open = true;
  slots[1].encrypted = true;
  EXPECT_FALSE(VolumeRead(&tc.container, 0, buffer, 64, 1));
  EXPECT_FALSE(VolumeRead(&tc.container, 0, buffer, 64, 2)) << "beyond the slots";
  tc.container.volumes = nullptr;
}

TEST(BlockBuffer, ClonesAreIndependentCopies) {
  MemoryDevice disk;
  disk.Block(3)[100] = 7;
  TestContainer tc(disk);
  BlockBuffer* a = BlockBufferLoad(&tc.container, 3, 0, CONTAINER_INDEX);
  ASSERT_NE(a, nullptr);
  BlockBuffer* b = BlockBufferClone(a);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->address, 3u);
  EXPECT_EQ(b->refCount, 1);
  EXPECT_NE(a->data, b->data);
  a->data[100] = 9;
  EXPECT_EQ(b->data[100], 7);
  a->refCount++;
  BlockBufferRelease(a);
  EXPECT_EQ(a->data[100], 9) << "still referenced";
  BlockBufferRelease(a);
  BlockBufferRelease(b);
}

}  // namespace

namespace {

TEST(CheckpointLookup, FindsByIdAndRefusesAnotherType) {
  MemoryDevice disk;
  TestContainer tc(disk);
  std::vector<uint8_t> table(2 * 40);
  PutLe32(table.data(), OBJECT_TYPE_SPACEMAN);
  PutLe32(table.data() + 8, 4096);
  PutLe64(table.data() + 24, 0x400);
  PutLe64(table.data() + 32, 77);
  PutLe32(table.data() + 40, OBJECT_TYPE_BTREE_NODE);
  PutLe64(table.data() + 40 + 24, 0x401);
  PutLe64(table.data() + 40 + 32, 78);
  tc.container.cpmTable = table.data();
  tc.container.cpmCount = 2;
  uint64_t paddr = 0;
  uint32_t size = 0;
  bool notFound = true;
  EXPECT_TRUE(CheckpointLookup(&tc.container, 0x400, OBJECT_TYPE_SPACEMAN, &paddr, &size, &notFound));
  EXPECT_EQ(paddr, 77u);
  EXPECT_EQ(size, 4096u);
  EXPECT_FALSE(CheckpointLookup(&tc.container, 0x401, OBJECT_TYPE_SPACEMAN, &paddr, &size, &notFound));
  EXPECT_FALSE(notFound) << "present with another type is an error";
  EXPECT_FALSE(CheckpointLookup(&tc.container, 0x402, OBJECT_TYPE_SPACEMAN, &paddr, &size, &notFound));
  EXPECT_TRUE(notFound);
  tc.container.cpmTable = nullptr;
  tc.container.cpmCount = 0;
}

}  // namespace
