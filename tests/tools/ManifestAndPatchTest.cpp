// Inputs and outputs around the writer: JSON manifests, host directory trees, the
// quadrel-mkimage command, and the patch step of negative tests.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "IndependentReader.h"
#include "ImageWriter.h"
#include "Manifest.h"
#include "NameHash.h"
#include "Patch.h"
#include "TestImages.h"

namespace apfsw::testing {
namespace {

constexpr char kManifest[] = R"({
  "blockSize": 8192, "seed": 7, "xid": 40, "omapEntryCap": 5, "keybag": true,
  "checkpoints": { "count": 2, "ringBlocks": 10, "firstIndex": 9, "block0": 0, "mapBlocks": 2 },
  "volumes": [
    { "name": "Main", "role": "data", "nodeEntryCap": 4, "nodeVersions": 2, "entries": [
      { "name": "a.txt", "text": "alpha", "mode": 384, "uid": 501, "gid": 20,
        "times": { "create": -1, "modify": 2, "change": 3, "access": 4 },
        "xattrs": [ { "name": "user.hex", "hex": "00ff10" }, { "name": "user.big", "size": 5000, "stream": true } ] },
      { "name": "d", "entries": [
        { "name": "s", "size": 30000, "layout": [ { "data": 8192 }, { "hole": 8192 }, { "data": 100 } ] },
        { "name": "l", "type": "symlink", "target": "../a.txt" },
        { "name": "h", "type": "hardlink", "target": "/a.txt" } ],
        "generate": { "count": 3, "prefix": "g", "size": 10 },
        "collisions": { "with": "x", "count": 1, "prefix": "y" } },
      { "name": "z", "size": 1000, "compression": "resource-fork", "recordUncompressedSize": false },
      { "name": "dev", "type": "blockdev", "rdev": 12345 } ] },
    { "name": "Sys", "role": "system", "caseInsensitive": false, "uuid": "00112233445566778899aabbccddeeff" } ] })";

TEST(Manifest, ParsesEveryKind) {
  const ContainerSpec spec = ParseManifest(kManifest, "/base");
  EXPECT_EQ(spec.blockSize, 8192u);
  EXPECT_EQ(spec.seed, 7u);
  EXPECT_EQ(spec.xid, 40u);
  EXPECT_TRUE(spec.keybag);
  EXPECT_EQ(spec.checkpoints.firstIndex, 9u);
  EXPECT_EQ(spec.checkpoints.block0, 0);
  EXPECT_EQ(spec.checkpoints.mapBlocks, 2u);
  ASSERT_EQ(spec.volumes.size(), 2u);
  const VolumeSpec& main = spec.volumes[0];
  EXPECT_EQ(main.role, VolumeRole::Data);
  EXPECT_EQ(main.nodeEntryCap, 4u);
  const Entry& a = main.root.children.at(0);
  EXPECT_EQ(*a.content, (std::vector<uint8_t>{'a', 'l', 'p', 'h', 'a'}));
  EXPECT_EQ(a.permissions, 0600);
  EXPECT_EQ(a.times->create, -1);
  EXPECT_EQ(a.xattrs.at(0).value, (std::vector<uint8_t>{0x00, 0xFF, 0x10}));
  EXPECT_TRUE(a.xattrs.at(1).asStream);
  EXPECT_EQ(a.xattrs.at(1).value.size(), 5000u);
  const Entry& d = main.root.children.at(1);
  EXPECT_EQ(d.kind, EntryKind::Directory);
  ASSERT_EQ(d.children.size(), 3u + 3 + 2);  // listed, generated, "x" and its collision
  EXPECT_TRUE(d.children[0].layout.at(1).hole);
  EXPECT_EQ(d.children[1].kind, EntryKind::Symlink);
  EXPECT_EQ(d.children[2].target, "/a.txt");
  EXPECT_EQ(d.children[3].name, "g0");
  EXPECT_EQ(NameHash(d.children[7].name, false), NameHash("x", false));
  EXPECT_EQ(main.root.children.at(2).compression, Compression::ResourceFork);
  EXPECT_FALSE(main.root.children.at(2).recordUncompressedSize);
  EXPECT_EQ(main.root.children.at(3).rdev, 12345u);
  EXPECT_FALSE(spec.volumes[1].caseInsensitive);
  EXPECT_EQ(spec.volumes[1].uuid->at(15), 0xFF);
}

TEST(Manifest, RejectsUnknownNames) {
  EXPECT_THROW(ParseManifest(R"({"volumes":[{"entries":[{"name":"a","type":"door"}]}]})", ""), std::runtime_error);
  EXPECT_THROW(ParseManifest(R"({"volumes":[{"role":"boss"}]})", ""), std::runtime_error);
  EXPECT_THROW(ParseManifest(R"({"volumes":[{"uuid":"0011"}]})", ""), std::runtime_error);
}

TEST(Manifest, WritesAnImageAsDescribed) {
  TempFolder folder;
  const WriteResult result = WriteImage(ParseManifest(kManifest, ""), folder.Path("m.apfs"));
  EXPECT_EQ(result.blockSize, 8192u);
  EXPECT_EQ(result.xid, 40u);
  ASSERT_EQ(result.volumes.size(), 2u);
  EXPECT_EQ(result.File(0, "d/s").extents.size(), 3u);
  // Checkpoints of three blocks from ring index 9 of 10: 9, 0, 1 then 2, 3, 4.
  EXPECT_EQ(result.Object("checkpoint[0].map[1]").address, 1u + 0);
  EXPECT_EQ(result.Object("checkpoint[1].map[0]").address, 1u + 2);
}

TEST(DirectoryTree, ReadsFilesLinksAndAttributes) {
  TempFolder folder;
  const std::string root = folder.Path("tree");
  ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((root + "/sub").c_str(), 0700), 0);
  std::ofstream(root + "/sub/file.txt") << "contents";
  ASSERT_EQ(::symlink("sub/file.txt", (root + "/link").c_str()), 0);
  ASSERT_EQ(::link((root + "/sub/file.txt").c_str(), (root + "/second").c_str()), 0);
  ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0600), 0);
  const bool xattrs = ::setxattr((root + "/sub/file.txt").c_str(), "user.note", "hi", 2, 0) == 0;

  const Entry tree = ReadDirectoryTree(root);
  ASSERT_EQ(tree.children.size(), 4u);  // sorted: fifo, link, second, sub
  EXPECT_EQ(tree.children[0].kind, EntryKind::Fifo);
  EXPECT_EQ(tree.children[1].kind, EntryKind::Symlink);
  EXPECT_EQ(tree.children[1].target, "sub/file.txt");
  const Entry& sub = tree.children[3];
  EXPECT_EQ(sub.permissions, 0700);
  // "second" comes first in name order, so it holds the file and sub/file.txt links to it.
  EXPECT_EQ(tree.children[2].kind, EntryKind::Regular);
  EXPECT_EQ(tree.children[2].size, 8u);
  EXPECT_EQ(sub.children.at(0).kind, EntryKind::HardLink);
  EXPECT_EQ(sub.children.at(0).target, "second");
  if (xattrs) {
    ASSERT_EQ(tree.children[2].xattrs.size(), 1u);
    EXPECT_EQ(tree.children[2].xattrs[0].name, "note") << "user.NAME is stored as NAME";
  }

  ContainerSpec spec;
  VolumeSpec volume;
  volume.root = tree;
  spec.volumes.push_back(volume);
  const WriteResult result = WriteImage(spec, folder.Path("tree.apfs"));
  ImageInspector image(folder.Path("tree.apfs"), 4096);
  const ExtentLocation& extent = result.File(0, "second").extents.at(0);
  const std::vector<uint8_t> block = image.Block(extent.physicalBlock);
  EXPECT_EQ(std::string(block.begin(), block.begin() + 8), "contents");
}

TEST(Patch, ChangesAFieldWithFreshOrStaleChecksum) {
  TempFolder folder;
  const std::string path = folder.Path("p.apfs");
  const WriteResult result = WriteImage(OneVolume({TextFile("a", "a")}), path);
  const uint64_t volume = result.volumes[0].superblockAddress;
  PatchField(path, result, "volume[0].superblock", "apfs_fs_quota_block_count", 10, ChecksumMode::Recompute);
  {
    ImageInspector image(path, 4096);
    EXPECT_EQ(Le64(&image.Block(volume)[80]), 10u);
    EXPECT_TRUE(image.ChecksumValid(volume));
  }
  PatchField(path, result, "block0", "nx_max_file_systems", 101, ChecksumMode::Stale);
  PatchField(path, result, "volume[0].fstree.root", "btn_level", 1, ChecksumMode::Recompute);
  ImageInspector image(path, 4096);
  EXPECT_EQ(Le32(&image.Block(0)[180]), 101u);
  EXPECT_FALSE(image.ChecksumValid(0));
  EXPECT_EQ(Le16(&image.Block(result.volumes[0].rootTreeAddress)[34]), 1u);
  EXPECT_THROW(PatchField(path, result, "block0", "no_such_field", 1, ChecksumMode::Stale), std::runtime_error);
  EXPECT_THROW(PatchField(path, result, "no_such_object", "o_xid", 1, ChecksumMode::Stale), std::runtime_error);
}

TEST(Patch, NamesFieldsByObjectKind) {
  EXPECT_EQ(FindField("checkpoint[1].superblock", "nx_fs_oid[3]", 4096).offset, 184u + 24);
  EXPECT_EQ(FindField("spaceman", "sm_free_count", 4096).offset, 72u);
  EXPECT_EQ(FindField("container.omap.root", "bt_key_count", 16384).offset, 16384u - 16);
  EXPECT_EQ(FindField("volume[3].omap", "om_tree_oid", 4096).offset, 48u);
  EXPECT_EQ(FindField("anything", "@100:2", 4096).size, 2u);
  EXPECT_THROW(FindField("spaceman", "apfs_role", 4096), std::runtime_error);
}

TEST(Mkimage, WritesLayoutAndAppliesPatches) {
  TempFolder folder;
  std::ofstream(folder.Path("m.json")) << R"({"volumes":[{"name":"V","entries":[{"name":"f","size":5000}]}]})";
  const std::string command = std::string(QUADREL_MKIMAGE) + " --manifest " + folder.Path("m.json") + " --layout " +
                              folder.Path("layout.json") + " --patch 'volume[0].superblock:apfs_role=64' --patch " +
                              "'block0:nx_block_count=1,stale' " + folder.Path("m.apfs") + " 2>&1";
  int code = -1;
  const std::string output = RunCommand(command, &code);
  ASSERT_EQ(code, 0) << output;
  std::ifstream in(folder.Path("layout.json"));
  const nlohmann::json layout = nlohmann::json::parse(in);
  EXPECT_EQ(layout["blockSize"], 4096);
  const uint64_t volume = layout["volumes"][0]["superblockAddress"];
  EXPECT_EQ(layout["volumes"][0]["files"][0]["path"], "f");
  ImageInspector image(folder.Path("m.apfs"), 4096);
  EXPECT_EQ(Le16(&image.Block(volume)[964]), 64u);
  EXPECT_TRUE(image.ChecksumValid(volume));
  EXPECT_EQ(Le64(&image.Block(0)[40]), 1u);
  EXPECT_FALSE(image.ChecksumValid(0));
  RunCommand(std::string(QUADREL_MKIMAGE) + " --tree /nonexistent " + folder.Path("x") + " 2>&1", &code);
  EXPECT_EQ(code, 1);
}

}  // namespace
}  // namespace apfsw::testing
