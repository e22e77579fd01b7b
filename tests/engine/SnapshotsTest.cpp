// Snapshots through the engine: the list a volume keeps, each snapshot's tree read
// through its own superblock and the object map as of its transaction, and damaged
// snapshot metadata failing for that snapshot alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "ApfsFormat.h"
#include "ImageWriter.h"
#include "MountedImage.h"
#include "Patch.h"
#include "SnapshotScenario.h"

namespace {

namespace fs = std::filesystem;
namespace sc = snapshot_scenario;

struct Snapshots : ::testing::Test {
  fs::path dir;
  std::string path;
  apfsw::ContainerSpec spec = sc::Spec();
  apfsw::WriteResult layout;
  std::unique_ptr<MountedImage> m;

  void SetUp() override {
    dir = fs::temp_directory_path() / ("quadrel-snapshots-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
    path = (dir / "image.img").string();
  }
  void TearDown() override {
    m.reset();
    fs::remove_all(dir);
  }
  void Write() {
    layout = apfsw::WriteImage(spec, path);
    Reopen();
  }
  void Reopen() {
    m.reset();
    m = std::make_unique<MountedImage>(path);
    ASSERT_TRUE(m->volumeOpen) << m->error;
  }
  std::vector<SnapshotEntry> List() {
    uint32_t count = 0;
    EXPECT_TRUE(SnapshotList(&m->container, 0, nullptr, 0, &count));
    std::vector<SnapshotEntry> entries(count);
    EXPECT_TRUE(SnapshotList(&m->container, 0, entries.data(), count, &count));
    return entries;
  }
  // Turns the opened volume into the snapshot's view of it; false when that fails.
  bool SwitchTo(const SnapshotEntry& snapshot) {
    VolumeHandleRelease(&m->volume);
    return VolumeSnapshotOpen(&m->container, 0, &snapshot, &m->omap, &m->fsTree) &&
           VolumeHandleOpen(&m->volume, 0, nullptr, &m->omap, &m->fsTree);
  }
  std::string Read(const std::string& p) {
    FsNode* node = m->Lookup(p);
    EXPECT_NE(node, nullptr) << p;
    if (node == nullptr) return {};
    std::vector<uint8_t> data;
    EXPECT_TRUE(m->ReadFile(node->inode, node->inode->size, &data)) << p;
    FsNodeRelease(node);
    return std::string(data.begin(), data.end());
  }
  std::string Xattr(const std::string& p, const std::string& name) {
    FsNode* node = m->Lookup(p);
    EXPECT_NE(node, nullptr) << p;
    std::string value(64, '\0');
    uint64_t length = 0;
    bool tooSmall = false, notFound = false;
    const bool found = node != nullptr &&
                       XattrFind(node->inode, reinterpret_cast<const uint8_t*>(name.data()),
                                 uint32_t(name.size()), reinterpret_cast<uint8_t*>(value.data()),
                                 value.size(), &length, &tooSmall, &notFound, &m->fsTree);
    FsNodeRelease(node);
    return found ? value.substr(0, length) : "(absent)";
  }
  std::vector<std::string> Tree() {
    std::vector<std::string> paths;
    Walk("", &paths);
    std::sort(paths.begin(), paths.end());
    return paths;
  }
  void Walk(const std::string& at, std::vector<std::string>* paths) {
    FsNode* node = m->Lookup(at);
    ASSERT_NE(node, nullptr) << at;
    std::vector<FileInfo> entries;
    ASSERT_TRUE(m->List(node, &entries)) << at;
    FsNodeRelease(node);
    for (const FileInfo& e : entries) {
      const std::string child = (at.empty() ? "" : at + "/") + reinterpret_cast<const char*>(e.name);
      paths->push_back(child);
      if ((e.mode & S_IFMT_MASK) == MODE_DIR) Walk(child, paths);
    }
  }
  // Every path, size, content and attribute of the state, and nothing else.
  void ExpectState(const sc::State& state) {
    std::vector<std::string> expected = state.directories;
    for (const sc::File& f : state.files) {
      expected.push_back(f.path);
      EXPECT_EQ(Read(f.path), f.content) << f.path;
      for (const auto& [name, value] : f.xattrs) EXPECT_EQ(Xattr(f.path, name), value) << f.path;
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Tree(), expected);
  }
};

std::string NameOf(const SnapshotEntry& e) {
  return std::string(reinterpret_cast<const char*>(e.name), e.nameLength);
}

TEST_F(Snapshots, EachSnapshotReadsAsItWasAndTheLiveTreeIsUnchanged) {
  Write();
  const std::vector<sc::State> states = sc::States();
  const std::vector<SnapshotEntry> list = List();
  ASSERT_EQ(list.size(), 2u);
  const auto& written = layout.volumes[0].snapshots;
  for (size_t k = 0; k < list.size(); ++k) {
    SCOPED_TRACE(states[k].snapshot);
    EXPECT_EQ(NameOf(list[k]), states[k].snapshot);
    EXPECT_EQ(list[k].xid, written[k].xid);
    EXPECT_EQ(list[k].superblockAddress, written[k].superblockAddress);
    EXPECT_FALSE(list[k].damaged);
    ASSERT_TRUE(list[k].hasUuid);
    EXPECT_EQ(std::vector<uint8_t>(list[k].uuid, list[k].uuid + 16), *spec.volumes[0].snapshots[k].uuid);
    EXPECT_LT(list[k].xid, layout.xid);
  }
  EXPECT_LT(list[0].xid, list[1].xid);
  EXPECT_LT(list[0].createTime, list[1].createTime);

  ExpectState(states[2]);
  for (size_t k = 0; k < list.size(); ++k) {
    SCOPED_TRACE(states[k].snapshot);
    ASSERT_TRUE(SwitchTo(list[k]));
    ExpectState(states[k]);
  }
  // The snapshot a reader switched to leaves the volume's own view intact for the next.
  Reopen();
  ExpectState(states[2]);
}

TEST_F(Snapshots, TheObjectMapAsOfATransactionTakesTheNewestVersionNotAfterIt) {
  Write();
  const auto& written = layout.volumes[0].snapshots;
  const uint64_t root = layout.volumes[0].rootTreeOid;
  const struct {
    uint64_t asOf;
    uint64_t expected;  // 0: no version that old
  } cases[] = {
      {written[0].xid - 1, 0},
      {written[0].xid, written[0].xid},
      {written[1].xid - 1, written[0].xid},
      {written[1].xid, written[1].xid},
      {layout.xid - 1, written[1].xid},
      {layout.xid, layout.xid},
      {0, layout.xid},  // not as of a snapshot: the newest
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.asOf);
    m->omap.snapshotXid = c.asOf;
    OmapMapping mapping{};
    bool notFound = false;
    const bool found = OmapLookup(&m->omap, root, &mapping, &notFound);
    EXPECT_EQ(found, c.expected != 0);
    EXPECT_EQ(notFound, c.expected == 0);
    if (found) {
      EXPECT_EQ(mapping.xid, c.expected);
    }
  }
}

TEST_F(Snapshots, SnapshotsTheObjectMapRecordsDeletedAreNotListed) {
  spec.volumes[0].snapshots[0].deleted = true;
  Write();
  const std::vector<SnapshotEntry> list = List();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(NameOf(list[0]), sc::kSecond);
}

TEST_F(Snapshots, AVolumeWithoutSnapshotsListsNone) {
  spec.volumes[0].snapshots.clear();
  Write();
  EXPECT_TRUE(List().empty());
}

TEST_F(Snapshots, ADamagedSnapshotFailsAloneAndTheOthersStillRead) {
  Write();
  const std::vector<sc::State> states = sc::States();
  const std::string first = "volume[0].snapshot[0].superblock";
  const struct {
    const char* what;
    std::string field;
    uint64_t value;
    apfsw::ChecksumMode mode;
  } damages[] = {
      {"checksum", "@100:1", 0x5A, apfsw::ChecksumMode::Stale},
      {"magic", "@32:4", 0x12345678, apfsw::ChecksumMode::Recompute},
      {"newer than the snapshot", "@16:8", layout.volumes[0].snapshots[0].xid + 1,
       apfsw::ChecksumMode::Recompute},
      {"root tree unknown to the object map", "@136:8", 0xFFFFFF, apfsw::ChecksumMode::Recompute},
  };
  for (const auto& d : damages) {
    SCOPED_TRACE(d.what);
    layout = apfsw::WriteImage(spec, path);
    apfsw::PatchField(path, layout, first, d.field, d.value, d.mode);
    Reopen();
    const std::vector<SnapshotEntry> list = List();
    ASSERT_EQ(list.size(), 2u) << "the list does not depend on the snapshots' superblocks";
    EXPECT_FALSE(SwitchTo(list[0]));
    Reopen();
    ASSERT_TRUE(SwitchTo(list[1]));
    ExpectState(states[1]);
    Reopen();
    ExpectState(states[2]);
  }
}

// The name length of the first metadata record, claimed longer than its value.
TEST_F(Snapshots, AMalformedMetadataRecordMarksThatSnapshotDamagedOnly) {
  Write();
  const apfsw::ObjectLocation& tree = layout.Object("volume[0].snapmeta");
  std::vector<uint8_t> block(layout.blockSize);
  {
    std::ifstream in(path, std::ios::binary);
    in.seekg(std::streamoff(tree.address * layout.blockSize));
    in.read(reinterpret_cast<char*>(block.data()), std::streamsize(block.size()));
  }
  BlockBuffer buffer{block.data(), uint32_t(block.size()), CONTAINER_INDEX, 1, nullptr, tree.address};
  NodeView view{};
  view.buffer = &buffer;
  view.bytes = block.data();
  view.address = tree.address;
  ASSERT_TRUE(NodeParse(&view, layout.xid));
  NodeRecord first;
  ASSERT_TRUE(NodeEntry(&view, 0, &first));
  const size_t nameLength = size_t(first.value - block.data()) + SNAP_META_NAME_LEN;
  apfsw::PatchBytes(path, layout.blockSize, tree.address, nameLength, {0x00, 0x01},
                    apfsw::ChecksumMode::Recompute);
  Reopen();
  const std::vector<SnapshotEntry> list = List();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_TRUE(list[0].damaged);
  EXPECT_EQ(list[0].xid, layout.volumes[0].snapshots[0].xid);
  EXPECT_FALSE(SwitchTo(list[0]));
  Reopen();
  EXPECT_FALSE(list[1].damaged);
  ASSERT_TRUE(SwitchTo(list[1]));
  ExpectState(sc::States()[1]);
}

}  // namespace
