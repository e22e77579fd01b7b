// Container-level structure of written images: block 0, the checkpoint ring in its wrap
// cases, the checkpoint map, the space manager's counts, the container object map.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "IndependentReader.h"
#include "ImageWriter.h"
#include "Object.h"
#include "TestImages.h"

namespace apfsw::testing {
namespace {

constexpr uint64_t kDescBase = 1;

struct Written {
  TempFolder folder;
  std::string path;
  WriteResult result;
};

std::unique_ptr<Written> Write(const ContainerSpec& spec) {
  auto w = std::make_unique<Written>();
  w->path = w->folder.Path("image.apfs");
  w->result = WriteImage(spec, w->path);
  return w;
}

ContainerSpec SmallSpec() { return OneVolume({TextFile("a.txt", "a"), PatternFile("b.bin", 9000)}); }

TEST(ContainerLayout, EveryObjectWithAHeaderHasAValidChecksum) {
  const auto w = Write(OneVolume(MixedEntries()));
  ImageInspector image(w->path, 4096);
  size_t checked = 0;
  for (const ObjectLocation& o : w->result.objects) {
    EXPECT_TRUE(image.ChecksumValid(o.address)) << o.name;
    const std::vector<uint8_t> block = image.Block(o.address);
    EXPECT_EQ(Le64(&block[8]), o.oid) << o.name;
    EXPECT_EQ(Le32(&block[24]), o.type) << o.name;
    ++checked;
  }
  EXPECT_GT(checked, 20u);
}

TEST(ContainerLayout, BlockZeroIsTheNewestSuperblockByDefault) {
  const auto w = Write(SmallSpec());
  ImageInspector image(w->path, 4096);
  const std::vector<uint8_t> block0 = image.Block(0);
  EXPECT_EQ(Le32(&block0[32]), 0x4253584Eu);
  EXPECT_EQ(Le32(&block0[36]), 4096u);
  EXPECT_EQ(Le64(&block0[40]), w->result.blockCount);
  EXPECT_EQ(Le64(&block0[16]), w->result.xid);
  EXPECT_EQ(block0, image.Block(w->result.Object("superblock").address));
  struct stat st;
  ASSERT_EQ(::stat(w->path.c_str(), &st), 0);
  EXPECT_EQ(static_cast<uint64_t>(st.st_size), w->result.blockCount * 4096);
}

TEST(ContainerLayout, StaleCheckpointsFollowTheNewestInTheRing) {
  ContainerSpec spec = SmallSpec();
  spec.checkpoints = {.count = 4, .ringBlocks = 8, .firstIndex = 4, .block0 = -1, .mapBlocks = 1};
  const auto w = Write(spec);
  ImageInspector image(w->path, 4096);
  // Checkpoints of two blocks each start at ring indexes 4, 6, 0 and 2.
  EXPECT_EQ(w->result.Object("superblock").address, kDescBase + 3);
  const uint64_t newest = w->result.xid;
  EXPECT_EQ(Le64(&image.Block(kDescBase + 3)[16]), newest);
  EXPECT_EQ(Le64(&image.Block(kDescBase + 5)[16]), newest - 3);
  EXPECT_EQ(Le64(&image.Block(kDescBase + 7)[16]), newest - 2);
  EXPECT_EQ(Le64(&image.Block(kDescBase + 1)[16]), newest - 1);
  const std::vector<uint8_t> sb = image.Block(kDescBase + 3);
  EXPECT_EQ(Le32(&sb[136]), 2u);  // index
  EXPECT_EQ(Le32(&sb[140]), 2u);  // length
  EXPECT_EQ(Le32(&sb[128]), 4u);  // next
}

TEST(ContainerLayout, MapBlockAtTheRingEndWrapsTheSuperblockToItsStart) {
  ContainerSpec spec = SmallSpec();
  spec.checkpoints = {.count = 1, .ringBlocks = 8, .firstIndex = 7, .block0 = -1, .mapBlocks = 1};
  const auto w = Write(spec);
  ImageInspector image(w->path, 4096);
  EXPECT_EQ(w->result.Object("checkpoint[0].map[0]").address, kDescBase + 7);
  EXPECT_EQ(w->result.Object("superblock").address, kDescBase + 0);
  const std::vector<uint8_t> block0 = image.Block(0);
  EXPECT_EQ(Le32(&block0[136]), 7u);
  EXPECT_EQ(Le32(&block0[128]), 1u);
}

TEST(ContainerLayout, SecondMapBlockWrapsAndBothHoldEntries) {
  ContainerSpec spec = SmallSpec();
  spec.checkpoints = {.count = 1, .ringBlocks = 6, .firstIndex = 5, .block0 = -1, .mapBlocks = 2};
  const auto w = Write(spec);
  ImageInspector image(w->path, 4096);
  const std::vector<uint8_t> first = image.Block(kDescBase + 5);
  const std::vector<uint8_t> second = image.Block(kDescBase + 0);
  EXPECT_EQ(Le32(&first[24]), 0x4000000Cu);
  EXPECT_EQ(Le32(&second[24]), 0x4000000Cu);
  EXPECT_EQ(Le64(&second[8]), kDescBase + 0);
  EXPECT_GT(Le32(&first[36]), 0u);
  EXPECT_GT(Le32(&second[36]), 0u);
  EXPECT_EQ(Le32(&first[32]), 0u);   // not the last map block
  EXPECT_EQ(Le32(&second[32]), 1u);  // the last
  EXPECT_EQ(w->result.Object("superblock").address, kDescBase + 1);
  EXPECT_EQ(Le32(&image.Block(0)[140]), 3u);
}

TEST(ContainerLayout, BlockZeroCanHoldAnOlderCheckpoint) {
  ContainerSpec spec = SmallSpec();
  spec.checkpoints = {.count = 3, .ringBlocks = 0, .firstIndex = 0, .block0 = 0, .mapBlocks = 1};
  const auto w = Write(spec);
  ImageInspector image(w->path, 4096);
  const std::vector<uint8_t> block0 = image.Block(0);
  EXPECT_EQ(Le64(&block0[16]), w->result.xid - 2);
  EXPECT_EQ(block0, image.Block(w->result.Object("checkpoint[0].superblock").address));
  EXPECT_NE(block0, image.Block(w->result.Object("superblock").address));
}

TEST(ContainerLayout, RefusesToLoseBlockZerosCheckpoint) {
  ContainerSpec spec = SmallSpec();
  spec.checkpoints = {.count = 5, .ringBlocks = 4, .firstIndex = 0, .block0 = 0, .mapBlocks = 1};
  TempFolder folder;
  EXPECT_THROW(WriteImage(spec, folder.Path("x")), std::runtime_error);
}

TEST(ContainerLayout, CheckpointMapNamesTheEphemeralObjects) {
  ContainerSpec spec = SmallSpec();
  spec.freeQueueEntries = 40;
  spec.freeQueueEntryCap = 8;
  const auto w = Write(spec);
  ImageInspector image(w->path, 4096);
  const std::vector<uint8_t> sb = image.Block(w->result.Object("superblock").address);
  const std::vector<uint8_t> map = image.Block(w->result.Object("checkpoint[2].map[0]").address);
  std::map<uint64_t, std::pair<uint32_t, uint64_t>> byOid;
  for (uint32_t i = 0; i < Le32(&map[36]); ++i) {
    const uint8_t* e = &map[40 + 40 * i];
    byOid[Le64(e + 24)] = {Le32(e), Le64(e + 32)};
  }
  ASSERT_TRUE(byOid.count(Le64(&sb[152])));
  EXPECT_EQ(byOid[Le64(&sb[152])].first, 0x80000005u);
  EXPECT_EQ(byOid[Le64(&sb[152])].second, w->result.Object("spaceman").address);
  ASSERT_TRUE(byOid.count(Le64(&sb[168])));
  EXPECT_EQ(byOid[Le64(&sb[168])].first, 0x80000011u);
  // 40 free-queue entries, at most 8 a node: a two-level tree of ephemeral nodes.
  size_t queueNodes = 0;
  for (const auto& [oid, entry] : byOid)
    if ((entry.first & 0xFFFF) == 2 || (entry.first & 0xFFFF) == 3) ++queueNodes;
  EXPECT_GE(queueNodes, 7u);
  const std::vector<uint8_t> spaceman = image.Block(byOid[Le64(&sb[152])].second);
  EXPECT_EQ(Le64(&spaceman[200 + 40]), 40u);  // main free queue count
}

// The space manager's bitmaps, read back through its chunk-info blocks.
class Bitmaps {
 public:
  Bitmaps(const ImageInspector& image, uint64_t spacemanAddress) {
    const std::vector<uint8_t> sm = image.Block(spacemanAddress);
    blockCount = Le64(&sm[48]);
    chunkCount = Le64(&sm[56]);
    recordedFree = Le64(&sm[72]);
    const uint32_t addrOffset = Le32(&sm[80]);
    for (uint32_t c = 0; c < Le32(&sm[64]); ++c) {
      const uint64_t cibAddress = Le64(&sm[addrOffset + 8 * c]);
      EXPECT_TRUE(image.ChecksumValid(cibAddress));
      const std::vector<uint8_t> cib = image.Block(cibAddress);
      for (uint32_t i = 0; i < Le32(&cib[36]); ++i) {
        const uint8_t* info = &cib[40 + 32 * i];
        const uint64_t bitmapAddress = Le64(info + 24);
        chunks.push_back(bitmapAddress ? image.Block(bitmapAddress) : std::vector<uint8_t>(image.BlockSize(), 0));
        uint64_t used = 0;
        for (uint8_t byte : chunks.back()) used += static_cast<uint64_t>(__builtin_popcount(byte));
        EXPECT_EQ(used + Le32(info + 20), Le32(info + 16)) << "chunk " << chunks.size() - 1;
        freeFromChunks += Le32(info + 20);
        usedBlocks += used;
      }
    }
  }
  bool Used(uint64_t block) const {
    const uint64_t perChunk = chunks.at(0).size() * 8;
    return (chunks.at(block / perChunk)[block % perChunk / 8] >> (block % 8)) & 1;
  }
  uint64_t blockCount = 0, chunkCount = 0, recordedFree = 0, freeFromChunks = 0, usedBlocks = 0;
  std::vector<std::vector<uint8_t>> chunks;
};

TEST(ContainerLayout, SpaceManagerCountsMatchItsBitmaps) {
  ContainerSpec spec = OneVolume(MixedEntries());
  spec.blockCount = 100000;  // several chunks, most of them empty
  const auto w = Write(spec);
  ImageInspector image(w->path, 4096);
  const Bitmaps bitmaps(image, w->result.Object("spaceman").address);
  EXPECT_EQ(bitmaps.blockCount, 100000u);
  EXPECT_EQ(bitmaps.chunkCount, (100000u + 32767) / 32768);
  EXPECT_EQ(bitmaps.recordedFree, bitmaps.freeFromChunks);
  EXPECT_EQ(w->result.freeBlocks, bitmaps.freeFromChunks);
  EXPECT_EQ(bitmaps.usedBlocks + bitmaps.freeFromChunks, 100000u);
  // Every object and every data block is in use; the gaps between extents are not.
  for (const ObjectLocation& o : w->result.objects) EXPECT_TRUE(bitmaps.Used(o.address)) << o.name;
  const FileLocation& fragmented = w->result.File(0, "fragmented.bin");
  ASSERT_EQ(fragmented.extents.size(), 21u);
  for (size_t i = 0; i < fragmented.extents.size(); ++i) {
    EXPECT_TRUE(bitmaps.Used(fragmented.extents[i].physicalBlock));
    const bool last = i + 1 == fragmented.extents.size();
    EXPECT_TRUE(last || !bitmaps.Used(fragmented.extents[i].physicalBlock + 1)) << "gap after extent " << i;
  }
  EXPECT_FALSE(bitmaps.Used(99999));
}

TEST(ContainerLayout, HundredVolumesWithRolesNamesAndADeepObjectMap) {
  ContainerSpec spec;
  spec.omapEntryCap = 6;
  const VolumeRole roles[] = {VolumeRole::None, VolumeRole::System, VolumeRole::Data,
                              VolumeRole::Preboot, VolumeRole::Recovery, VolumeRole::VM};
  for (int i = 0; i < 100; ++i) {
    VolumeSpec v;
    v.name = i == 99 ? std::string(255, 'v') : "Volume " + std::to_string(i);
    v.role = roles[i % 6];
    v.root.children = {TextFile("id.txt", std::to_string(i))};
    spec.volumes.push_back(v);
  }
  const auto w = Write(spec);
  ImageInspector image(w->path, 4096);
  const std::vector<uint8_t> sb = image.Block(w->result.Object("superblock").address);
  EXPECT_EQ(Le32(&sb[180]), 100u);
  const std::map<uint64_t, std::vector<ImageInspector::Mapping>> omap =
      image.ReadObjectMap(w->result.Object("container.omap").address);
  EXPECT_EQ(omap.size(), 100u);
  ImageInspector::TreeShape shape;
  image.WalkPhysicalTree(w->result.Object("container.omap.root").address, &shape);
  EXPECT_GE(shape.depth, 3u);
  EXPECT_LE(shape.mostEntriesPerNode, 6u);
  EXPECT_EQ(shape.footerKeyCount, 100u);
  for (int i = 0; i < 100; ++i) {
    const uint64_t oid = Le64(&sb[184 + 8 * i]);
    ASSERT_EQ(omap.count(oid), 1u);
    const std::vector<uint8_t> volume = image.Block(omap.at(oid).back().address);
    EXPECT_TRUE(image.ChecksumValid(omap.at(oid).back().address));
    EXPECT_EQ(Le16(&volume[964]), static_cast<uint16_t>(roles[i % 6]));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&volume[704])), spec.volumes[i].name);
  }
}

TEST(ContainerLayout, LargeSparseContainerPutsMetadataAndDataAboveBlock2To20) {
  ContainerSpec spec = OneVolume({PatternFile("high.bin", 50000), TextFile("t.txt", "t")});
  spec.allocationStart = (1u << 20) + 7;
  const auto w = Write(spec);
  EXPECT_GT(w->result.blockCount * 4096, 4ull << 30);
  EXPECT_GT(w->result.volumes[0].superblockAddress, 1u << 20);
  EXPECT_GT(w->result.volumes[0].rootTreeAddress, 1u << 20);
  EXPECT_GT(w->result.File(0, "high.bin").extents.at(0).physicalBlock, 1u << 20);
  struct stat st;
  ASSERT_EQ(::stat(w->path.c_str(), &st), 0);
  EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 64ull << 20);  // stays sparse
  ImageInspector image(w->path, 4096);
  EXPECT_TRUE(image.ChecksumValid(w->result.volumes[0].superblockAddress));
}

TEST(ContainerLayout, SameSpecGivesTheSameBytesAndSeedsChangeThem) {
  const auto a = Write(OneVolume(MixedEntries()));
  const auto b = Write(OneVolume(MixedEntries()));
  ContainerSpec seeded = OneVolume(MixedEntries());
  seeded.seed = 2;
  const auto c = Write(seeded);
  const std::string read = "cmp -s ";
  int code = -1;
  RunCommand(read + a->path + " " + b->path, &code);
  EXPECT_EQ(code, 0);
  RunCommand(read + a->path + " " + c->path, &code);
  EXPECT_EQ(code, 1);
}

TEST(ContainerLayout, KeybagIsNamedInTheSuperblock) {
  ContainerSpec spec = SmallSpec();
  spec.keybag = true;
  const auto w = Write(spec);
  ImageInspector image(w->path, 4096);
  const std::vector<uint8_t> sb = image.Block(w->result.Object("superblock").address);
  EXPECT_EQ(Le64(&sb[1296]), w->result.Object("keybag").address);
  EXPECT_EQ(Le64(&sb[1304]), 1u);
}

TEST(ContainerLayout, BlockSizesFrom4KTo64K) {
  for (uint32_t bs : {4096u, 8192u, 16384u, 65536u}) {
    const auto w = Write(OneVolume(MixedEntries(bs), bs));
    ImageInspector image(w->path, bs);
    const std::vector<uint8_t> block0 = image.Block(0);
    EXPECT_EQ(Le32(&block0[36]), bs);
    EXPECT_TRUE(image.ChecksumValid(0)) << bs;
    for (const ObjectLocation& o : w->result.objects) EXPECT_TRUE(image.ChecksumValid(o.address)) << o.name << " " << bs;
    EXPECT_EQ(w->result.File(0, "large.bin").extents.at(0).length, (300000 + bs - 1) / bs * bs);
  }
}

}  // namespace
}  // namespace apfsw::testing
