// Image-file devices: bare containers, zero-extended carves and GPT disks.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "ApfsFormat.h"
#include "ApfsProcs.h"
#include "ImageDevice.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = uint8_t(v >> (8 * i));
}

// zlib's CRC-32 is the one GPT uses; an implementation of its own keeps the test
// independent of the scanner's.
uint32_t Crc32(const uint8_t* bytes, size_t count) {
  return static_cast<uint32_t>(crc32(0L, bytes, static_cast<uInt>(count)));
}

struct TempFile {
  fs::path path;
  explicit TempFile(const Bytes& bytes) {
    char name[] = "/tmp/quadrel-image-XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    close(fd);
    path = name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                std::streamsize(bytes.size()));
  }
  ~TempFile() { fs::remove(path); }
};

Bytes Pattern(size_t size) {
  Bytes b(size);
  for (size_t i = 0; i < size; i++) b[i] = uint8_t((i * 7) ^ (i >> 9));
  return b;
}

Bytes ContainerHead(uint32_t blockSize, uint64_t blockCount, size_t fileSize) {
  Bytes b = Pattern(fileSize);
  Put32(b.data() + NX_MAGIC, NX_MAGIC_VALUE);
  Put32(b.data() + NX_BLOCK_SIZE, blockSize);
  Put64(b.data() + NX_BLOCK_COUNT, blockCount);
  return b;
}

const uint8_t kApfsType[16] = {0xEF, 0x57, 0x34, 0x7C, 0x00, 0x00, 0xAA, 0x11,
                               0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC};
const uint8_t kOtherType[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                                0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};

struct GptEntry {
  const uint8_t* type;
  uint64_t first, last;
};

// A disk of 512-byte sectors with a GPT at LBA 1, entries at LBA 2.
Bytes GptDisk(size_t sectors, const std::vector<GptEntry>& entries) {
  Bytes disk = Pattern(sectors * 512);
  uint8_t* header = disk.data() + 512;
  std::memset(header, 0, 512);
  std::memcpy(header, "EFI PART", 8);
  Put32(header + 8, 0x00010000);
  Put32(header + 12, 92);
  Put64(header + 72, 2);
  Put32(header + 80, 128);
  Put32(header + 84, 128);
  uint8_t* table = disk.data() + 1024;
  std::memset(table, 0, 128 * 128);
  for (size_t i = 0; i < entries.size(); i++) {
    std::memcpy(table + 128 * i, entries[i].type, 16);
    Put64(table + 128 * i + 32, entries[i].first);
    Put64(table + 128 * i + 40, entries[i].last);
  }
  Put32(header + 88, Crc32(table, 128 * 128));
  Put32(header + 16, Crc32(header, 92));
  return disk;
}

Bytes Read(ImageDevice& image, uint64_t offset, size_t count) {
  Bytes out(count);
  EXPECT_TRUE(DeviceRead(image.device(), offset, out.data(), count)) << offset;
  return out;
}

std::unique_ptr<ImageDevice> Open(const fs::path& path, bool zeroExtend, std::string* error) {
  ImageOpenOptions options;
  options.zeroExtend = zeroExtend;
  return OpenImage(path, options, error);
}

TEST(ImageDevice, BareContainerServesTheWholeFile) {
  const Bytes bytes = ContainerHead(4096, 3, 3 * 4096);
  TempFile file(bytes);
  std::string error;
  auto image = Open(file.path, false, &error);
  ASSERT_NE(image, nullptr) << error;
  EXPECT_EQ(image->layout(), ImageLayout::BareContainer);
  EXPECT_EQ(image->length(), bytes.size());
  EXPECT_EQ(Read(*image, 5000, 100), Bytes(bytes.begin() + 5000, bytes.begin() + 5100));
  Bytes out(16);
  EXPECT_FALSE(DeviceRead(image->device(), bytes.size() - 8, out.data(), 16));
}

TEST(ImageDevice, ZeroExtendServesTheDeclaredContainerWithZerosPastTheFile) {
  const Bytes bytes = ContainerHead(4096, 10, 2 * 4096 + 100);
  TempFile file(bytes);
  std::string error;
  auto plain = Open(file.path, false, &error);
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->length(), bytes.size());
  auto image = Open(file.path, true, &error);
  ASSERT_NE(image, nullptr) << error;
  EXPECT_EQ(image->length(), 10u * 4096);
  const Bytes straddling = Read(*image, 2 * 4096, 4096);
  EXPECT_TRUE(std::equal(bytes.begin() + 2 * 4096, bytes.end(), straddling.begin()));
  EXPECT_TRUE(std::all_of(straddling.begin() + 100, straddling.end(), [](uint8_t b) { return !b; }));
  EXPECT_EQ(Read(*image, 9 * 4096, 4096), Bytes(4096));
  Bytes out(1);
  EXPECT_FALSE(DeviceRead(image->device(), 10 * 4096, out.data(), 1));
}

TEST(ImageDevice, GptDiskServesAWindowOntoTheApfsPartition) {
  Bytes disk = GptDisk(200, {{kOtherType, 34, 39}, {kApfsType, 40, 119}, {kApfsType, 120, 199}});
  TempFile file(disk);
  std::string error;
  auto image = Open(file.path, false, &error);
  ASSERT_NE(image, nullptr) << error;
  EXPECT_EQ(image->layout(), ImageLayout::GptPartition);
  EXPECT_EQ(image->partitionOffset(), 40u * 512);
  EXPECT_EQ(image->length(), 80u * 512);
  EXPECT_EQ(Read(*image, 0, 512), Bytes(disk.begin() + 40 * 512, disk.begin() + 41 * 512));
  EXPECT_EQ(Read(*image, 80 * 512 - 10, 10), Bytes(disk.begin() + 120 * 512 - 10, disk.begin() + 120 * 512));
  Bytes out(2);
  EXPECT_FALSE(DeviceRead(image->device(), 80 * 512 - 1, out.data(), 2)) << "window end";
}

TEST(ImageDevice, PartitionPastTheEndOfTheFileIsCutToTheFile) {
  TempFile file(GptDisk(100, {{kApfsType, 40, 1000}}));
  std::string error;
  auto image = Open(file.path, false, &error);
  ASSERT_NE(image, nullptr) << error;
  EXPECT_EQ(image->length(), 60u * 512);
}

TEST(ImageDevice, DamagedOrUselessGptsAreReported) {
  std::string error;
  Bytes damaged = GptDisk(100, {{kApfsType, 40, 99}});
  damaged[512 + 20] ^= 1;
  TempFile badHeader(damaged);
  EXPECT_EQ(Open(badHeader.path, false, &error), nullptr);
  EXPECT_NE(error.find("GPT header checksum"), std::string::npos) << error;

  Bytes badTable = GptDisk(100, {{kApfsType, 40, 99}});
  badTable[1024 + 33] ^= 1;
  TempFile tableFile(badTable);
  EXPECT_EQ(Open(tableFile.path, false, &error), nullptr);
  EXPECT_NE(error.find("table checksum"), std::string::npos) << error;

  TempFile noApfs(GptDisk(100, {{kOtherType, 40, 99}}));
  EXPECT_EQ(Open(noApfs.path, false, &error), nullptr);
  EXPECT_NE(error.find("no APFS partition"), std::string::npos) << error;

  TempFile reversed(GptDisk(100, {{kApfsType, 90, 40}}));
  EXPECT_EQ(Open(reversed.path, false, &error), nullptr);
  TempFile huge(GptDisk(100, {{kApfsType, 40, UINT64_MAX - 2}}));
  EXPECT_EQ(Open(huge.path, false, &error), nullptr);

  Bytes oversized = GptDisk(100, {{kApfsType, 40, 99}});
  Put32(oversized.data() + 512 + 80, 0x01000000);  // 16 M entries
  Put32(oversized.data() + 512 + 16, 0);
  Put32(oversized.data() + 512 + 16, Crc32(oversized.data() + 512, 92));
  TempFile oversizedFile(oversized);
  EXPECT_EQ(Open(oversizedFile.path, false, &error), nullptr);

  EXPECT_EQ(Open("/nonexistent/image.img", false, &error), nullptr);
  EXPECT_NE(error.find("/nonexistent/image.img"), std::string::npos);
}

TEST(ImageDevice, ConcurrentReadsSeeTheirOwnBytes) {
  const Bytes bytes = Pattern(1 << 20);
  TempFile file(bytes);
  std::string error;
  auto image = Open(file.path, false, &error);
  ASSERT_NE(image, nullptr);
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      Bytes out(4096);
      for (uint64_t i = 0; i < 256; i++) {
        const uint64_t offset = ((i * 37 + uint64_t(t) * 11) % 255) * 4096 + uint64_t(t);
        if (!DeviceRead(image->device(), offset, out.data(), out.size()) ||
            !std::equal(out.begin(), out.end(), bytes.begin() + long(offset))) {
          mismatches[size_t(t)]++;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST(ImageDevice, BlockCacheServesTheSameBytesAsTheFile) {
  // A partition neither starting nor ending on a 4 KiB boundary, cut short by the file's
  // end, and a zero-extended carve: the cache's blocks must line up with the window.
  const Bytes disk = GptDisk(300, {{kApfsType, 41, 400}});
  const Bytes carve = ContainerHead(4096, 12, 3 * 4096 + 700);
  for (const Bytes* bytes : {&disk, &carve}) {
    TempFile file(*bytes);
    std::string error;
    ImageOpenOptions options;
    options.zeroExtend = bytes == &carve;
    options.cacheBytes = 0;
    auto uncached = OpenImage(file.path, options, &error);
    options.cacheBytes = 8 * 4096;
    options.readAheadBlocks = 4;
    auto cached = OpenImage(file.path, options, &error);
    ASSERT_NE(uncached, nullptr) << error;
    ASSERT_NE(cached, nullptr) << error;
    EXPECT_EQ(uncached->cache(), nullptr);
    ASSERT_NE(cached->cache(), nullptr);
    ASSERT_EQ(cached->length(), uncached->length());
    const uint64_t length = cached->length();
    for (uint64_t count : {1ull, 511ull, 4096ull, 5000ull, 40000ull}) {
      ASSERT_LE(count, length);
      for (uint64_t offset = 0; offset + count <= length; offset += 1531) {
        ASSERT_EQ(Read(*cached, offset, count), Read(*uncached, offset, count)) << offset << "+" << count;
      }
      ASSERT_EQ(Read(*cached, length - count, count), Read(*uncached, length - count, count)) << count;
    }
    EXPECT_LE(cached->cache()->residentBlocks(), 8u);
  }
}

TEST(ImageDevice, RealGptDiskImage) {
  const fs::path path = fs::path(QUADREL_TESTDATA_DIR) / "shockpkg-diskimage-ci.gpt.img";
  if (!fs::exists(path)) GTEST_SKIP() << "real images not present in " << QUADREL_TESTDATA_DIR;
  std::string error;
  auto image = Open(path, false, &error);
  ASSERT_NE(image, nullptr) << error;
  EXPECT_EQ(image->layout(), ImageLayout::GptPartition);
  EXPECT_EQ(image->partitionOffset(), 20480u);
  const Bytes block0 = Read(*image, 0, 4096);
  EXPECT_EQ(Le32(block0.data() + NX_MAGIC), NX_MAGIC_VALUE);
  EXPECT_TRUE(ObjectVerify(block0.data(), 4096));
}

}  // namespace
