// Containers and volumes written by our image writer with known layouts, checkpoints and
// damage: the engine opens exactly the newest state, and refuses what is broken.
#include <gtest/gtest.h>

#include <filesystem>

#include "ApfsFormat.h"
#include "ImageWriter.h"
#include "MountedImage.h"
#include "Patch.h"

namespace {

namespace fs = std::filesystem;
using apfsw::ChecksumMode;

apfsw::Entry File(const std::string& name, uint64_t size) {
  apfsw::Entry e;
  e.name = name;
  e.size = size;
  return e;
}

apfsw::VolumeSpec Volume(const std::string& name, apfsw::VolumeRole role = apfsw::VolumeRole::None) {
  apfsw::VolumeSpec v;
  v.name = name;
  v.role = role;
  v.root.children = {File("a.txt", 100), File("b.bin", 9000)};
  return v;
}

// An image in a temporary folder, removed with the fixture.
struct WrittenImage : ::testing::Test {
  fs::path dir;
  std::string path;
  apfsw::WriteResult layout;

  void SetUp() override {
    dir = fs::temp_directory_path() / ("quadrel-written-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
    path = (dir / "image.img").string();
  }
  void TearDown() override { fs::remove_all(dir); }

  void Write(const apfsw::ContainerSpec& spec) { layout = apfsw::WriteImage(spec, path); }
  void Patch(const std::string& object, const std::string& field, uint64_t value,
             ChecksumMode mode = ChecksumMode::Recompute) {
    apfsw::PatchField(path, layout, object, field, value, mode);
  }
  // Both copies of the newest container superblock that the open reads.
  void PatchSuperblocks(const std::string& field, uint64_t value) {
    Patch("block0", field, value);
    Patch("superblock", field, value);
  }
  std::string Name(const MountedImage& m, uint32_t index) {
    return reinterpret_cast<const char*>(m.container.volumes[index].superblock + APFS_VOLNAME);
  }
};

apfsw::ContainerSpec OneVolume() {
  apfsw::ContainerSpec spec;
  spec.volumes = {Volume("Alpha")};
  return spec;
}

TEST_F(WrittenImage, OpensTheNewestOfSeveralCheckpoints) {
  apfsw::ContainerSpec spec = OneVolume();
  spec.checkpoints.count = 4;
  spec.checkpoints.block0 = 0;  // block 0 holds the oldest
  Write(spec);
  MountedImage m(path);
  ASSERT_TRUE(m.volumeOpen);
  EXPECT_EQ(ContainerXid(&m.container), layout.xid);
  EXPECT_EQ(m.container.latestAddress, layout.Object("superblock").address);
  EXPECT_EQ(ContainerFreeBlocks(&m.container), layout.freeBlocks);
}

TEST_F(WrittenImage, CheckpointsThatWrapAroundTheRingOpen) {
  struct Case {
    uint32_t ring, first, count, mapBlocks;
  };
  // Superblock at the ring's first block; a second map block wrapping; wrap mid-ring.
  for (const Case c : {Case{8, 5, 2, 1}, Case{8, 6, 1, 2}, Case{12, 9, 3, 2}, Case{6, 4, 4, 1}}) {
    SCOPED_TRACE(testing::Message() << "ring " << c.ring << " first " << c.first << " count "
                                    << c.count << " maps " << c.mapBlocks);
    apfsw::ContainerSpec spec = OneVolume();
    spec.checkpoints = {c.count, c.ring, c.first, -1, c.mapBlocks};
    spec.freeQueueEntries = 300;  // enough ephemeral objects to fill several map blocks
    Write(spec);
    MountedImage m(path);
    ASSERT_TRUE(m.volumeOpen);
    EXPECT_EQ(ContainerXid(&m.container), layout.xid);
    EXPECT_EQ(ContainerFreeBlocks(&m.container), layout.freeBlocks);
    const uint64_t mapsLoaded = m.container.cpmCount;
    EXPECT_GE(mapsLoaded, 2u) << "space manager, reaper and the rest of the checkpoint map";
  }
}

TEST_F(WrittenImage, AForeignBlockInTheRingFailsTheOpen) {
  apfsw::ContainerSpec spec = OneVolume();
  spec.checkpoints.count = 3;
  spec.checkpoints.block0 = 0;
  spec.checkpoints.mapBlocks = 2;
  Write(spec);
  // The walk steps from one superblock to the block after the next checkpoint's first.
  Patch("checkpoint[1].map[1]", "@24:4", OBJECT_TYPE_BTREE_NODE);
  MountedImage m(path);
  EXPECT_FALSE(m.containerOpen);
}

TEST_F(WrittenImage, BadMapBlocksOfTheNewestCheckpointFailTheOpen) {
  const std::string map = "checkpoint[2].map[0]";
  for (const auto& [field, value] : std::vector<std::pair<std::string, uint64_t>>{
           {"@8:8", 12345}, {"@16:8", 1}, {"@24:4", OBJECT_TYPE_SPACEMAN}, {"@36:4", 200}}) {
    SCOPED_TRACE(field);
    Write(OneVolume());
    Patch(map, field, value);
    MountedImage m(path);
    EXPECT_FALSE(m.containerOpen);
  }
}

// Map blocks that hold no entries leave the table empty (resizing it to nothing would
// free it, and closing the container would free it again); the volumes still open.
TEST_F(WrittenImage, MapBlocksWithoutEntriesLeaveAnEmptyTable) {
  apfsw::ContainerSpec spec = OneVolume();
  spec.checkpoints.mapBlocks = 2;
  Write(spec);
  Patch("checkpoint[2].map[0]", "@36:4", 0);
  Patch("checkpoint[2].map[1]", "@36:4", 0);
  MountedImage m(path);
  EXPECT_TRUE(m.volumeOpen);
  EXPECT_EQ(m.container.cpmCount, 0u);
}

TEST_F(WrittenImage, ANewestSuperblockThatFailsItsCheckIsNotReplacedByAnOlderOne) {
  Write(OneVolume());
  Patch("superblock", "@200:4", 0xDEAD, ChecksumMode::Stale);
  MountedImage m(path);
  EXPECT_FALSE(m.containerOpen);
}

TEST_F(WrittenImage, MaximumFileSystemsMustLieBetweenOneAndAHundred) {
  for (const auto& [value, opens] : std::vector<std::pair<uint64_t, bool>>{
           {0, false}, {1, true}, {100, true}, {101, false}}) {
    SCOPED_TRACE(value);
    Write(OneVolume());
    PatchSuperblocks("nx_max_file_systems", value);
    MountedImage m(path);
    EXPECT_EQ(m.containerOpen, opens);
  }
}

TEST_F(WrittenImage, RingFieldsOutsideTheRingFailTheOpen) {
  for (const auto& [field, value] : std::vector<std::pair<std::string, uint64_t>>{
           {"nx_xp_desc_blocks", 0}, {"nx_xp_desc_blocks", 1}, {"nx_xp_desc_len", 0},
           {"nx_xp_desc_index", 1000}, {"nx_xp_desc_base", 1ull << 40}, {"nx_xp_desc_next", 999}}) {
    SCOPED_TRACE(field + " " + std::to_string(value));
    Write(OneVolume());
    PatchSuperblocks(field, value);
    MountedImage m(path);
    EXPECT_FALSE(m.containerOpen);
  }
}

TEST_F(WrittenImage, APartitionOneBlockShortFailsTheOpen) {
  Write(OneVolume());
  const uint64_t bytes = layout.blockCount * layout.blockSize;
  fs::resize_file(path, bytes);
  {
    ImageOpenOptions options;
    std::string error;
    auto image = OpenImage(path, options, &error);
    ASSERT_NE(image, nullptr);
    uint8_t first[4096];
    ASSERT_TRUE(DeviceRead(image->device(), 0, first, sizeof first));
    Container container;
    ContainerInit(&container);
    EXPECT_TRUE(ContainerOpen(&container, first, image->device()));
    ContainerClose(&container);
    fs::resize_file(path, bytes - layout.blockSize);
    image = OpenImage(path, options, &error);
    ContainerInit(&container);
    EXPECT_FALSE(ContainerOpen(&container, first, image->device()));
    ContainerClose(&container);
  }
}

TEST_F(WrittenImage, LargerBlockSizesOpen) {
  for (uint32_t blockSize : {8192u, 16384u, 65536u}) {
    SCOPED_TRACE(blockSize);
    apfsw::ContainerSpec spec = OneVolume();
    spec.blockSize = blockSize;
    Write(spec);
    MountedImage m(path);
    ASSERT_TRUE(m.volumeOpen);
    EXPECT_EQ(ContainerBlockSize(&m.container), blockSize);
    std::vector<FileInfo> entries;
    ASSERT_TRUE(m.List(m.volume.root, &entries));
    EXPECT_EQ(entries.size(), 2u);
  }
}

TEST_F(WrittenImage, TheDefaultVolumeIsTheFirstWithoutARoleOrWithTheDataRole) {
  using apfsw::VolumeRole;
  struct Case {
    std::vector<VolumeRole> roles;
    uint32_t expected;
  };
  for (const Case& c : {Case{{VolumeRole::System, VolumeRole::Data}, 1},
                        Case{{VolumeRole::Preboot, VolumeRole::None, VolumeRole::Data}, 1},
                        Case{{VolumeRole::Preboot, VolumeRole::Recovery, VolumeRole::VM}, 0},
                        Case{{VolumeRole::Data}, 0}}) {
    apfsw::ContainerSpec spec;
    for (size_t i = 0; i < c.roles.size(); i++) {
      spec.volumes.push_back(Volume("v" + std::to_string(i), c.roles[i]));
    }
    Write(spec);
    MountedImage m(path);
    ASSERT_TRUE(m.containerOpen);
    EXPECT_EQ(ContainerDefaultVolume(&m.container), c.expected);
  }
}

TEST_F(WrittenImage, ADataVolumeAdoptsTheSystemVolumesName) {
  apfsw::ContainerSpec spec;
  const std::string longName(255, 'S');
  spec.volumes = {Volume("Preboot", apfsw::VolumeRole::Preboot),
                  Volume(longName, apfsw::VolumeRole::System),
                  Volume("Data", apfsw::VolumeRole::Data)};
  Write(spec);
  MountedImage m(path);
  ASSERT_TRUE(m.volumeOpen);
  ASSERT_EQ(m.index, 2u);
  EXPECT_EQ(Name(m, 2), "Data");
  VolumeAdoptSystemName(&m.container, 2);
  EXPECT_EQ(Name(m, 2), longName);
}

TEST_F(WrittenImage, AnUnterminatedSystemNameIsCopiedNoFurtherThanItsField) {
  apfsw::ContainerSpec spec;
  spec.volumes = {Volume("System", apfsw::VolumeRole::System), Volume("Data", apfsw::VolumeRole::Data)};
  Write(spec);
  std::vector<uint8_t> name(APFS_VOLNAME_LEN, 'Y');
  name.back() = 'X';  // no terminating zero anywhere in the field
  apfsw::PatchBytes(path, layout.blockSize, layout.Object("volume[0].superblock").address,
                    APFS_VOLNAME, name, ChecksumMode::Recompute);
  MountedImage m(path);
  ASSERT_TRUE(m.volumeOpen);
  const uint8_t roleBefore = m.container.volumes[1].superblock[964];
  VolumeAdoptSystemName(&m.container, 1);
  const uint8_t* adopted = m.container.volumes[1].superblock + APFS_VOLNAME;
  EXPECT_EQ(adopted[0], 'Y');
  EXPECT_EQ(adopted[255], 'X');
  EXPECT_EQ(m.container.volumes[1].superblock[964], roleBefore) << "nothing past the name";
}

TEST_F(WrittenImage, EmptySlotsAreSkippedAndLaterSlotsSeen) {
  apfsw::ContainerSpec spec;
  spec.volumes = {Volume("first"), Volume("second")};
  Write(spec);
  PatchSuperblocks("@184:8", 0);  // slot 0 empty, slot 1 in use
  MountedImage m(path);
  ASSERT_TRUE(m.containerOpen);
  EXPECT_EQ(m.container.volumeCount, 2);
  EXPECT_EQ(ContainerDefaultVolume(&m.container), 1u);
  ASSERT_TRUE(m.volumeOpen);
  EXPECT_EQ(Name(m, 1), "second");
  VolumeHandle other;
  BTree omap, fsTree;
  BTreeInit(&omap, &m.container);
  BTreeInit(&fsTree, &m.container);
  VolumeHandleInit(&other, &m.container);
  EXPECT_FALSE(VolumeHandleOpen(&other, 0, nullptr, &omap, &fsTree));
  EXPECT_FALSE(VolumeHandleOpen(&other, 2, nullptr, &omap, &fsTree)) << "index = slot count";
  VolumeHandleRelease(&other);
  BTreeRelease(&fsTree);
  BTreeRelease(&omap);
}

TEST_F(WrittenImage, SeveralVersionsOfEveryNodeResolveToTheNewest) {
  apfsw::ContainerSpec spec = OneVolume();
  spec.volumes[0].nodeVersions = 3;
  spec.volumes[0].nodeEntryCap = 4;
  for (int i = 0; i < 40; i++) spec.volumes[0].root.children.push_back(File("f" + std::to_string(i), 10));
  Write(spec);
  MountedImage m(path);
  ASSERT_TRUE(m.volumeOpen);
  std::vector<FileInfo> entries;
  ASSERT_TRUE(m.List(m.volume.root, &entries));
  EXPECT_EQ(entries.size(), 42u);
}

TEST_F(WrittenImage, VolumeSuperblocksAreChecked) {
  struct Case {
    std::string field;
    uint64_t value;
    ChecksumMode mode;
  };
  for (const Case& c : {Case{"@16:8", 1ull << 40, ChecksumMode::Recompute},  // transaction too new
                        Case{"apfs_fs_quota_block_count", 1, ChecksumMode::Recompute},
                        Case{"@300:4", 7, ChecksumMode::Stale},
                        Case{"apfs_root_tree_oid", 0xABCDEF, ChecksumMode::Recompute}}) {
    SCOPED_TRACE(c.field);
    Write(OneVolume());
    Patch("volume[0].superblock", c.field, c.value, c.mode);
    MountedImage m(path);
    EXPECT_TRUE(m.containerOpen);
    EXPECT_FALSE(m.volumeOpen);
    EXPECT_FALSE(m.container.volumes[0].encrypted);
  }
  apfsw::ContainerSpec spec = OneVolume();
  spec.volumes[0].quotaBlocks = 0;
  Write(spec);
  EXPECT_TRUE(MountedImage(path).volumeOpen) << "no quota";
}

TEST_F(WrittenImage, EncryptedVolumesAreRefusedWithTheirFlagSet) {
  for (bool keybag : {false, true}) {
    SCOPED_TRACE(keybag);
    apfsw::ContainerSpec spec = OneVolume();
    spec.volumes[0].encrypted = true;
    spec.keybag = keybag;
    Write(spec);
    MountedImage m(path);
    ASSERT_TRUE(m.containerOpen);
    EXPECT_FALSE(m.volumeOpen);
    EXPECT_TRUE(m.container.volumes[0].encrypted);
    EXPECT_FALSE(VolumeUsable(&m.container.volumes[0]));
  }
}

TEST_F(WrittenImage, RootTreeMappingFlagsOtherThanEncryptedMarkTheVolumeCorrupt) {
  for (uint32_t flags : {0x1u, 0x5u, 0x4u}) {
    SCOPED_TRACE(flags);
    Write(OneVolume());
    uint64_t leaf;
    size_t valueOffset;
    {
      MountedImage m(path);
      ASSERT_TRUE(m.volumeOpen);
      SearchKey key;
      SearchKeyId(&key, layout.volumes[0].rootTreeOid, 0);
      NodeRecord record;
      bool notFound;
      ASSERT_TRUE(BTreeFind(&m.omap, &key, FIND_EXACT, &record, &notFound));
      leaf = m.omap.current->node.address;
      valueOffset = size_t(record.value - m.omap.current->node.bytes);
    }
    apfsw::PatchBytes(path, layout.blockSize, leaf, valueOffset, {uint8_t(flags), 0, 0, 0},
                      ChecksumMode::Recompute);
    MountedImage m(path);
    EXPECT_FALSE(m.volumeOpen);
    EXPECT_EQ(m.container.volumes[0].encrypted, flags == 0x4);
  }
}

TEST_F(WrittenImage, CaseAndNormalisationSensitiveVolumesAreRefusedAsUnsupported) {
  apfsw::ContainerSpec spec = OneVolume();
  spec.volumes[0].caseInsensitive = false;
  spec.volumes[0].normalizationInsensitive = false;
  Write(spec);
  MountedImage m(path);
  ASSERT_TRUE(m.containerOpen);
  EXPECT_FALSE(m.volumeOpen);
  EXPECT_TRUE(m.container.volumes[0].unsupported);
  EXPECT_FALSE(m.container.volumes[0].encrypted);
}

TEST_F(WrittenImage, AddressesBeyondTheContainerAreRefused) {
  Write(OneVolume());
  Patch("volume[0].superblock", "apfs_omap_oid", layout.blockCount + 5);
  MountedImage m(path);
  EXPECT_TRUE(m.containerOpen);
  EXPECT_FALSE(m.volumeOpen);
  Write(OneVolume());
  PatchSuperblocks("nx_omap_oid", 1ull << 62);
  EXPECT_FALSE(MountedImage(path).containerOpen);
}

}  // namespace
