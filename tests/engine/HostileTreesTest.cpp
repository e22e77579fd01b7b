// Trees no B-tree can be, and records damaged where the engine meets them, on images from
// the writer: every walk, lookup and read ends with an error (false, not-found clear),
// never repeats records, never answers "empty" or "not found", never reads zeros or
// another place of the device instead of the data.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "HostileTrees.h"
#include "MountedImage.h"

namespace {

namespace fs = std::filesystem;

class HostileImage : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("quadrel-hostile-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    path = (dir / "image.img").string();
  }
  void TearDown() override { fs::remove_all(dir); }

  void Write(const apfsw::ContainerSpec& spec) { layout = apfsw::WriteImage(spec, path); }

  // The listing of the root and the lookup of a file whose path crosses the damage (the
  // last one unless said) both end in an error.
  void ExpectCorruptWalks(const std::string& lost = "file39") {
    MountedImage m(path);
    ASSERT_TRUE(m.volumeOpen);
    std::vector<FileInfo> entries;
    EXPECT_FALSE(m.List(m.volume.root, &entries)) << "a listing of " << entries.size() << " entries";
    bool notFound = true;
    FsNode* node = m.Lookup(lost, &notFound);
    EXPECT_EQ(node, nullptr);
    EXPECT_FALSE(notFound) << "an unreadable tree is an error, not a missing name";
    FsNodeRelease(node);
  }

  fs::path dir;
  std::string path;
  apfsw::WriteResult layout;
};

TEST_F(HostileImage, IntactTreeListsAndFindsEverything) {
  Write(hostile::ManyFiles());
  MountedImage m(path);
  ASSERT_TRUE(m.volumeOpen);
  std::vector<FileInfo> entries;
  ASSERT_TRUE(m.List(m.volume.root, &entries));
  EXPECT_EQ(entries.size(), 40u);
  FsNode* node = m.Lookup("file39");
  EXPECT_NE(node, nullptr);
  FsNodeRelease(node);
}

TEST_F(HostileImage, IndexEntriesNamingOneChildAreCorrupt) {
  Write(hostile::ManyFiles());
  hostile::DamageIndexNodes(path, layout, hostile::ShareFirstChild);
  ExpectCorruptWalks();
}

TEST_F(HostileImage, IndexNodesOfEqualKeysAreCorrupt) {
  Write(hostile::ManyFiles());
  hostile::DamageIndexNodes(path, layout, hostile::RepeatFirstEntry);
  ExpectCorruptWalks();
}

TEST_F(HostileImage, ChildrenOutsideTheirParentsRangeAreCorrupt) {
  Write(hostile::ManyFiles());
  hostile::DamageIndexNodes(path, layout, hostile::SwapFirstChildren);
  // Only the first two children of each index node change places: the last file's path
  // passes none of them.
  ExpectCorruptWalks("file0");
}

TEST_F(HostileImage, ANodeWhoseChecksumFailsIsNotDecoded) {
  Write(hostile::ManyFiles());
  SearchKey key;
  SearchKeyId(&key, layout.File(0, "file39").inode, APFS_TYPE_INODE);
  uint64_t leaf;
  {
    hostile::OpenedVolume volume(path);
    leaf = volume.Locate(key).block;
  }
  // A byte of the leaf's free space: nothing decoded would notice it.
  apfsw::PatchBytes(path, layout.blockSize, leaf, layout.blockSize / 2, {0x5A},
                    apfsw::ChecksumMode::Stale);
  ExpectCorruptWalks();
}

// A listing's cursor slot handed back for another directory starts that directory's
// listing afresh instead of going on with the first directory's records.
TEST_F(HostileImage, AListingCursorServesOnlyItsOwnDirectory) {
  apfsw::ContainerSpec spec;
  spec.volumes.resize(1);
  apfsw::Entry a = apfsw::DirectoryEntry("a");
  apfsw::Entry b = apfsw::DirectoryEntry("b");
  for (int i = 0; i < 5; i++) {
    apfsw::Entry file;
    file.name = "a" + std::to_string(i);
    a.children.push_back(file);
    file.name = "b" + std::to_string(i);
    b.children.push_back(file);
  }
  spec.volumes[0].root.children = {a, b};
  Write(spec);
  MountedImage m(path);
  ASSERT_TRUE(m.volumeOpen);
  FsNode* dirA = m.Lookup("a");
  FsNode* dirB = m.Lookup("b");
  ASSERT_NE(dirA, nullptr);
  ASSERT_NE(dirB, nullptr);
  DirSearch* searchA = nullptr;
  DirSearch* searchB = nullptr;
  ASSERT_TRUE(DirSearchCreate(dirA, &searchA, &m.fsTree));
  ASSERT_TRUE(DirSearchCreate(dirB, &searchB, &m.fsTree));
  BTreeCursor* slot = nullptr;
  FileInfo info;
  bool notFound;
  ASSERT_TRUE(DirEnumNext(dirA, searchA, &info, nullptr, &notFound, &slot, &m.fsTree));
  ASSERT_TRUE(DirEnumNext(dirA, searchA, &info, nullptr, &notFound, &slot, &m.fsTree));
  // b's listing resumes at its third entry, where the cursor of a's stands too.
  DirSearchSetPosition(searchB, 2);
  auto rest = [&](FsNode* directory, DirSearch* search) {
    std::vector<std::string> names;
    while (DirEnumNext(directory, search, &info, nullptr, &notFound, &slot, &m.fsTree)) {
      names.emplace_back(reinterpret_cast<const char*>(info.name), info.nameLength);
    }
    EXPECT_TRUE(notFound) << "the listing ended in an error";
    return names;
  };
  const std::vector<std::string> ofB = rest(dirB, searchB);
  EXPECT_EQ(ofB.size(), 3u);
  for (const std::string& name : ofB) EXPECT_EQ(name[0], 'b') << name;
  // And back: a resumes at its own third entry.
  const std::vector<std::string> ofA = rest(dirA, searchA);
  EXPECT_EQ(ofA.size(), 3u);
  for (const std::string& name : ofA) EXPECT_EQ(name[0], 'a') << name;
  if (slot != nullptr) {
    BTreeCursorClose(slot);
    delete slot;
  }
  DirSearchFree(searchA);
  DirSearchFree(searchB);
  FsNodeRelease(dirA);
  FsNodeRelease(dirB);
}

TEST_F(HostileImage, ExtentsPastTheContainerAreErrorsWhereverTheRunStarts) {
  apfsw::ContainerSpec spec = hostile::ManyFiles(2);
  spec.volumes[0].root.children[0].size = 16384;
  Write(spec);
  // Shifted by the block size, 2^51 and above no longer fit 64 bits.
  for (uint64_t block : {uint64_t(1) << 51, uint64_t(1) << 52, layout.blockCount}) {
    SCOPED_TRACE(block);
    hostile::ChangeExtent(path, layout, "file0", 0, 8, block);
    MountedImage m(path);
    ASSERT_TRUE(m.volumeOpen);
    FsNode* node = m.Lookup("file0");
    ASSERT_NE(node, nullptr);
    uint64_t physical = 0, length = 0;
    EXPECT_FALSE(FileExtentLookup(node->inode, 0, &physical, &length, &m.fsTree));
    for (uint64_t offset : {uint64_t(0), uint64_t(4096), uint64_t(12288)}) {
      EXPECT_FALSE(FileDataRun(node->inode, offset, &physical, &length, &m.fsTree)) << offset;
    }
    FsNodeRelease(node);
  }
}

TEST_F(HostileImage, DataRunsCoverAFileFromAnyOffset) {
  apfsw::ContainerSpec spec = hostile::ManyFiles(0);
  spec.volumes[0].root.children = {hostile::GappedFile("gapped")};
  Write(spec);
  MountedImage m(path);
  ASSERT_TRUE(m.volumeOpen);
  FsNode* node = m.Lookup("gapped");
  ASSERT_NE(node, nullptr);
  const auto& extents = layout.File(0, "gapped").extents;
  ASSERT_EQ(extents.size(), 3u);
  struct Expected {
    uint64_t offset, physical, length;
  };
  const uint64_t bs = layout.blockSize;
  for (const Expected& e : {Expected{0, extents[0].physicalBlock * bs, 4096},
                            Expected{100, extents[0].physicalBlock * bs + 100, 3996},
                            Expected{4096, 0, 8192}, Expected{5000, 0, 7288},
                            Expected{12289, extents[2].physicalBlock * bs + 1, 4095}}) {
    uint64_t physical = 1, length = 0;
    ASSERT_TRUE(FileDataRun(node->inode, e.offset, &physical, &length, &m.fsTree)) << e.offset;
    EXPECT_EQ(physical, e.physical) << e.offset;
    EXPECT_EQ(length, e.length) << e.offset;
  }
  FsNodeRelease(node);
}

TEST_F(HostileImage, AnUnreadableExtentAfterAGapIsAnErrorNotZeros) {
  apfsw::ContainerSpec spec = hostile::ManyFiles(0);
  spec.volumes[0].root.children = {hostile::GappedFile("gapped")};
  Write(spec);
  hostile::GapBeforeDamagedExtent(path, layout, "gapped");
  MountedImage m(path);
  ASSERT_TRUE(m.volumeOpen);
  FsNode* node = m.Lookup("gapped");
  ASSERT_NE(node, nullptr);
  uint64_t physical = 0, length = 0;
  ASSERT_TRUE(FileExtentLookup(node->inode, 4096, &physical, &length, &m.fsTree));
  EXPECT_EQ(length, 4096u) << "the hole as now recorded";
  EXPECT_FALSE(FileExtentLookup(node->inode, 8192, &physical, &length, &m.fsTree))
      << "the gap ran " << length << " bytes";
  EXPECT_FALSE(FileDataRun(node->inode, 9000, &physical, &length, &m.fsTree));
  FsNodeRelease(node);
}

}  // namespace
