// What this reader does not read is named as such by the quadrel command, with its own
// exit status, instead of reading as zeros, as another volume or as damage; and claims
// an image makes about lengths cost only what the image really holds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "HostTestSupport.h"
#include "ImageWriter.h"
#include "Patch.h"

namespace {

using namespace hosttest;
using nlohmann::json;

void ExpectFailure(const Result& r, int status, const std::string& message) {
  EXPECT_EQ(r.status, status) << r.err;
  EXPECT_NE(r.err.find(message), std::string::npos) << "stderr: " << r.err;
}

std::string Volume(const std::string& name) {
  return R"({"name": ")" + name + R"(", "entries": [{"name": ")" + name + R"(.txt", "text": ")" + name + R"("}]})";
}

// Volume 16 would read volume 0's inodes; it is refused, and info says why.
TEST(UnsupportedCommand, VolumeSlotsPastFifteenAreRefused) {
  ScratchDir dir;
  std::string volumes;
  for (int i = 0; i <= 16; i++) volumes += (i ? ", " : "") + Volume("v" + std::to_string(i));
  WriteImage(R"({"volumes": [)" + volumes + "]}", dir / "many.img");
  const std::string image = (dir / "many.img").string();

  const Result last = Quadrel({"cat", "--volume", "15", image, "/v15.txt"});
  EXPECT_EQ(last.status, 0) << last.err;
  EXPECT_EQ(last.out, "v15");
  ExpectFailure(Quadrel({"ls", "--volume", "16", image, "/"}), 6,
                "volume 16: volume in slot 16: only slots 0 to 15 can be read: not supported");

  const Result info = Quadrel({"info", "--json", image});
  ASSERT_EQ(info.status, 0) << info.err;
  const json volume16 = json::parse(info.out)["volumes"][16];
  EXPECT_FALSE(volume16["usable"].get<bool>());
  EXPECT_NE(volume16["unsupported"].get<std::string>().find("slot 16"), std::string::npos);
  EXPECT_TRUE(json::parse(info.out)["volumes"][15]["unsupported"].is_null());
}

TEST(UnsupportedCommand, SealedVolumesAndFusionContainersAreNamed) {
  ScratchDir dir;
  WriteImage(R"({"volumes": [{"name": "System", "role": "system", "sealed": true,
                               "entries": [{"name": "a", "text": "x"}]}]})",
             dir / "sealed.img");
  const std::string sealed = (dir / "sealed.img").string();
  ExpectFailure(Quadrel({"ls", sealed}), 6, "volume 0: sealed system volume: not supported");
  ExpectFailure(Quadrel({"mount", "-f", sealed, dir.path().string()}), 6, "sealed system volume: not supported");
  const Result info = Quadrel({"info", sealed});
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("\"System\"  role system, case-insensitive, sealed system volume: not supported"),
            std::string::npos) << info.out;

  WriteImage(R"({"fusion": true, "volumes": [{"name": "tiered", "entries": [{"name": "a", "text": "x"}]}]})",
             dir / "fusion.img");
  for (const char* command : {"info", "ls"}) {
    ExpectFailure(Quadrel({command, (dir / "fusion.img").string()}), 8,
                  "Fusion container (it spans a second device): not supported");
  }
}

// A volume caught half-way through being encrypted holds blocks of both forms: it is
// named and not read, never read as garbage.
TEST(UnsupportedCommand, VolumesBeingEncryptedAreNamed) {
  ScratchDir dir;
  apfsw::ContainerSpec spec;
  spec.volumes.resize(1);
  spec.volumes[0].root.children.resize(1);
  spec.volumes[0].root.children[0].name = "a";
  const fs::path path = dir / "rolling.img";
  const apfsw::WriteResult layout = apfsw::WriteImage(spec, path.string());
  apfsw::PatchField(path.string(), layout, "volume[0].superblock", "apfs_er_state_oid", 1234, apfsw::ChecksumMode::Recompute);
  ExpectFailure(Quadrel({"ls", path.string()}), 6, "volume 0: encryption or decryption in progress: not supported");
  const Result info = Quadrel({"info", path.string()});
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("encryption or decryption in progress: not supported"), std::string::npos) << info.out;
}

// A placeholder lists with its size, but its contents are elsewhere: reading it fails
// as not supported, never as zeros.
TEST(UnsupportedCommand, DatalessFilesListButDoNotRead) {
  ScratchDir dir;
  WriteImage(R"({"volumes": [{"entries": [
      {"name": "cloud.pdf", "size": 70000, "dataless": true},
      {"name": "here.txt", "text": "local"}]}]})",
             dir / "dataless.img");
  const std::string image = (dir / "dataless.img").string();
  const Result stat = Quadrel({"stat", "--json", image, "/cloud.pdf"});
  ASSERT_EQ(stat.status, 0) << stat.err;
  EXPECT_EQ(json::parse(stat.out)["size"], 70000);
  ExpectFailure(Quadrel({"cat", image, "/cloud.pdf"}), 8, "dataless file (contents stored elsewhere)");
  const Result get = Quadrel({"get", image, "/cloud.pdf", (dir / "out.pdf").string()});
  EXPECT_NE(get.status, 0);
  EXPECT_NE(get.err.find("dataless file"), std::string::npos) << get.err;
  EXPECT_FALSE(fs::exists(dir / "out.pdf")) << "a file that could not be read was left behind";
  EXPECT_EQ(Quadrel({"cat", image, "/here.txt"}).out, "local");
}

// An attribute in a storage form other than the two known ones is listed, but reading
// its value fails as not supported; the others read as stored.
TEST(UnsupportedCommand, AttributesOfUnknownFormsAreRefusedOneByOne) {
  ScratchDir dir;
  WriteImage(R"({"volumes": [{"entries": [{"name": "f", "text": "x", "xattrs": [
      {"name": "both", "text": "bad", "flags": 3},
      {"name": "good", "text": "fine"},
      {"name": "owned", "text": "kept", "flags": 6}]}]}]})",
             dir / "xattrs.img");
  const std::string image = (dir / "xattrs.img").string();
  const Result list = Quadrel({"xattr", image, "/f"});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out, "both\t3\ngood\t4\nowned\t4\n");
  ExpectFailure(Quadrel({"xattr", image, "/f", "both"}), 8, "attribute both: storage form not supported");
  EXPECT_EQ(Quadrel({"xattr", image, "/f", "good"}).out, "fine");
  EXPECT_EQ(Quadrel({"xattr", image, "/f", "owned"}).out, "kept");
}

// Through the mount, a placeholder's read and an unknown attribute form's getxattr fail
// with EOPNOTSUPP while their neighbours read.
TEST(UnsupportedCommand, TheMountAnswersNotSupported) {
  if (access("/dev/fuse", R_OK | W_OK) != 0 ||
      RunProgram({"sh", "-c", "command -v fusermount3 && command -v getfattr"}).status != 0) {
    GTEST_SKIP() << "this machine cannot mount FUSE file systems (or getfattr is missing)";
  }
  ScratchDir dir;
  WriteImage(R"({"volumes": [{"entries": [
      {"name": "cloud.pdf", "size": 70000, "dataless": true},
      {"name": "f", "text": "x", "xattrs": [{"name": "both", "text": "bad", "flags": 3},
                                           {"name": "good", "text": "fine"}]}]}]})",
             dir / "image.img");
  const std::string mountPoint = (dir / "mnt").string();
  fs::create_directory(mountPoint);
  // Without -f the command returns once the mount is ready.
  const Result mount = Quadrel({"mount", (dir / "image.img").string(), mountPoint});
  ASSERT_EQ(mount.status, 0) << mount.err;
  const Result cat = RunProgram({"cat", mountPoint + "/cloud.pdf"});
  const Result both = RunProgram({"getfattr", "-n", "user.both", mountPoint + "/f"});
  const Result good = RunProgram({"getfattr", "--only-values", "-n", "user.good", mountPoint + "/f"});
  const Result size = RunProgram({"stat", "-c", "%s", mountPoint + "/cloud.pdf"});
  RunProgram({"fusermount3", "-u", mountPoint});
  EXPECT_NE(cat.status, 0);
  EXPECT_NE(cat.err.find("Operation not supported"), std::string::npos) << cat.err;
  EXPECT_NE(both.err.find("Operation not supported"), std::string::npos) << both.err;
  EXPECT_EQ(good.out, "fine");
  EXPECT_EQ(size.out, "70000\n");
}

std::vector<uint8_t> Le64(uint64_t value) {
  std::vector<uint8_t> bytes(8);
  for (int i = 0; i < 8; i++) bytes[i] = uint8_t(value >> (8 * i));
  return bytes;
}

// Byte offset of the only occurrence of pattern in a file.
uint64_t Find(const fs::path& file, const std::vector<uint8_t>& pattern) {
  const std::string bytes = ReadFile(file);
  const std::string wanted(pattern.begin(), pattern.end());
  const size_t at = bytes.find(wanted);
  EXPECT_NE(at, std::string::npos);
  EXPECT_EQ(bytes.find(wanted, at + 1), std::string::npos) << "the pattern is not unique";
  return at;
}

// Lengths and counts from disk are claims: an attribute stream claiming 2^40 bytes is
// refused before anything is sized by it, and a checkpoint ring claimed to be 2^31 - 1 blocks
// long in an image served with zeros past its end is counted from what the file holds.
TEST(UnsupportedCommand, ClaimedLengthsCostOnlyWhatTheImageHolds) {
  ScratchDir dir;
  apfsw::ContainerSpec spec;
  apfsw::Entry file;
  file.name = "forked";
  file.xattrs = {{"fork", std::vector<uint8_t>(5000, 'r'), true}};
  spec.volumes.resize(1);
  spec.volumes[0].root.children = {file};
  const fs::path path = dir / "claims.img";
  const apfsw::WriteResult layout = apfsw::WriteImage(spec, path.string());

  // The stream's size and allocated size follow its id in the attribute record.
  std::vector<uint8_t> sizes = Le64(5000);
  const std::vector<uint8_t> allocated = Le64(8192);
  sizes.insert(sizes.end(), allocated.begin(), allocated.end());
  const uint64_t at = Find(path, sizes);
  apfsw::PatchBytes(path.string(), layout.blockSize, at / layout.blockSize, at % layout.blockSize,
                    Le64(uint64_t(1) << 40), apfsw::ChecksumMode::Recompute);
  ExpectFailure(Quadrel({"xattr", path.string(), "/forked", "fork"}), 5, "attribute fork unreadable");

  for (const char* superblock : {"block0", "superblock"}) {
    apfsw::PatchField(path.string(), layout, superblock, "nx_xp_desc_blocks", 0x7FFFFFFF,
                      apfsw::ChecksumMode::Recompute);
    apfsw::PatchField(path.string(), layout, superblock, "@40:8", 0xFFFFFFFF, apfsw::ChecksumMode::Recompute);
  }
  // A count that read every block of the ring would not finish within the time allowed.
  const Result info = RunProgram({"timeout", "120", QUADREL_BINARY, "info", "--json", path.string()});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_EQ(json::parse(info.out)["container"]["checkpoints"], 3);
}

}  // namespace
