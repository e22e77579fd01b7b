// Software-encrypted volumes: the volume encrypted on a Mac unlocks with its password and
// reads exactly through the command and the mount; a wrong or missing password and damaged
// keybags and key blobs leave it locked with a clear reason (these skip without the image).
// Volumes the writer encrypts, of every shape, read exactly.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>

#include "ApfsFormat.h"
#include "ApfsImage.h"
#include "Encryption.h"
#include "ImageWriter.h"
#include "HostTestSupport.h"
#include "Unlock.h"
#include "VolumeReader.h"

namespace {

using namespace hosttest;

constexpr char PASSWORD[] = "hunter2hunter2";
constexpr uint32_t BLOCK = 4096;

fs::path EncryptedImage() {
  return fs::path(QUADREL_TESTDATA_DIR).parent_path() / "apfs-encrypted" / "goapfs2-encrypted.carve.img";
}

#define SKIP_WITHOUT_IMAGE() \
  if (!fs::exists(EncryptedImage())) GTEST_SKIP() << "no encrypted test image at " << EncryptedImage()

// The unlocked volume's files, as the image's facts give them.
const std::vector<std::pair<std::string, std::string>> FILES = {
    {"/secret.txt", "a4730fc4e2ed7c7b7cafdc182094bdc60ee5bd94989878a8061d6e356043baa2"},
    {"/dir/nested.txt", "470d30407c79de54e0a578dc40183d52619a4ae23d84cdc0a612cf3339f5bf40"},
};

TEST(EncryptedVolume, UnlocksWithItsPasswordThroughEveryCommand) {
  SKIP_WITHOUT_IMAGE();
  const std::string image = EncryptedImage().string();
  const Result listed = Quadrel({"ls", "-R", "--password", PASSWORD, image});
  ASSERT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out, "/dir\n/dir/nested.txt\n/secret.txt\n");
  for (const auto& [path, sha] : FILES) {
    const Result cat = Quadrel({"cat", "--password", PASSWORD, image, path});
    EXPECT_EQ(cat.status, 0) << cat.err;
    EXPECT_EQ(Sha256(cat.out), sha) << path;
  }
  ScratchDir dir;
  std::ofstream(dir / "password") << PASSWORD << "\n";
  const Result got = Quadrel({"get", "--password-file", (dir / "password").string(), image, "/", (dir / "out").string()});
  ASSERT_EQ(got.status, 0) << got.err;
  for (const auto& [path, sha] : FILES) EXPECT_EQ(FileSha256(dir / "out" / path.substr(1)), sha) << path;
  const Result piped = RunProgram({"sh", "-c", "printf '%s\\n' \"$1\" | \"$2\" cat --password-stdin \"$3\" /secret.txt",
                                   "sh", PASSWORD, QUADREL_BINARY, image});
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(Sha256(piped.out), FILES[0].second);
  const Result info = Quadrel({"info", "--password", PASSWORD, image});
  EXPECT_NE(info.out.find("encrypted (unlocked)"), std::string::npos) << info.out;
}

TEST(EncryptedVolume, StaysLockedWithoutTheRightPassword) {
  SKIP_WITHOUT_IMAGE();
  const std::string image = EncryptedImage().string();
  const Result wrong = Quadrel({"cat", "--password", "hunter3hunter3", image, "/secret.txt"});
  EXPECT_EQ(wrong.status, 6);
  EXPECT_EQ(wrong.out, "");
  EXPECT_NE(wrong.err.find("wrong password for volume 0"), std::string::npos) << wrong.err;
  const Result none = RunProgram({"sh", "-c", "\"$1\" ls \"$2\" </dev/null", "sh", QUADREL_BINARY, image});
  EXPECT_EQ(none.status, 6);
  EXPECT_NE(none.err.find("encrypted: give its password"), std::string::npos) << none.err;
  const Result info = Quadrel({"info", image});
  EXPECT_NE(info.out.find("encrypted (locked: no password given)"), std::string::npos) << info.out;
  EXPECT_EQ(Quadrel({"info", "--password", "x", "--password-stdin", image}).status, 2);
}

TEST(EncryptedVolume, MountReadsTheDecryptedFiles) {
  SKIP_WITHOUT_IMAGE();
  if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/fuse is not available";
  ScratchDir dir;
  const fs::path mountPoint = dir / "mnt";
  fs::create_directory(mountPoint);
  const Result mounted = Quadrel({"mount", "--password", PASSWORD, EncryptedImage().string(), mountPoint.string()});
  if (mounted.status == 10) GTEST_SKIP() << "FUSE cannot mount here: " << mounted.err;
  ASSERT_EQ(mounted.status, 0) << mounted.err;
  for (const auto& [path, sha] : FILES) EXPECT_EQ(FileSha256(mountPoint / path.substr(1)), sha) << path;
  ASSERT_EQ(RunProgram({"fusermount3", "-u", mountPoint.string()}).status, 0);
}

// ---- Damaged keybags and key blobs, through the reader ----

std::string ReadBytes(const fs::path& path) { return ReadFile(path); }

// Decrypts whole 512-byte units with AES-XTS, as the volume stores them.
void XtsDecrypt(const uint8_t key[32], uint64_t firstUnit, uint8_t* data, size_t length) {
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  ASSERT_EQ(EVP_DecryptInit_ex(context, EVP_aes_128_xts(), nullptr, key, nullptr), 1);
  for (size_t done = 0; done < length; done += 512) {
    uint8_t tweak[16] = {};
    for (int i = 0; i < 8; i++) tweak[i] = uint8_t((firstUnit + done / 512) >> (8 * i));
    int out = 0;
    ASSERT_EQ(EVP_DecryptInit_ex(context, nullptr, nullptr, nullptr, tweak), 1);
    ASSERT_EQ(EVP_DecryptUpdate(context, data + done, &out, data + done, 512), 1);
  }
  EVP_CIPHER_CTX_free(context);
}

// An encrypted image with its one volume and where its keybags are.
struct KeybagImage {
  std::string bytes;
  uint64_t containerBag;
  uint64_t volumeBag;
  std::string password;
};

// The image with a keybag block changed by edit in its decrypted form, its checksum made
// right again, so that only what the keybag says is damaged.
class KeybagEditor {
 public:
  explicit KeybagEditor(const KeybagImage& image) : image_(image) {}
  std::string Edited(uint64_t block, const std::function<void(uint8_t*)>& edit) const {
    std::string copy = image_.bytes;
    auto* bytes = reinterpret_cast<uint8_t*>(copy.data()) + block * BLOCK;
    uint8_t key[32];
    const auto* uuidAt = reinterpret_cast<const uint8_t*>(image_.bytes.data()) +
                         (block == image_.containerBag ? NX_UUID : VolumeUuidOffset());
    std::memcpy(key, uuidAt, 16);
    std::memcpy(key + 16, uuidAt, 16);
    XtsDecrypt(key, block * BLOCK / 512, bytes, BLOCK);
    edit(bytes);
    const uint64_t sum = ObjectChecksum(bytes, BLOCK);
    std::memcpy(bytes, &sum, 8);
    apfsw::XtsEncrypt(key, block * BLOCK / 512, bytes, BLOCK);
    return copy;
  }
  // The length of the first entry of the keybag at block.
  uint16_t FirstEntryLength(uint64_t block) const {
    uint16_t length = 0;
    Edited(block, [&](uint8_t* b) { length = uint16_t(b[48 + 18] | b[48 + 19] << 8); });
    return length;
  }

 private:
  // The volume superblock's UUID, found by its magic in the carved blocks.
  size_t VolumeUuidOffset() const {
    const size_t at = image_.bytes.find("APSB");
    return at - 32 + 240;
  }
  const KeybagImage& image_;
};

std::string LockOf(const ScratchDir& dir, const std::string& bytes, const std::string& password) {
  const fs::path path = dir / "edited.img";
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  SetVolumePassword(password);
  ApfsImage image(path.string());
  return image.volumes().at(0).encryption;
}

void ExpectDamageLeavesItLocked(const KeybagImage& image) {
  ScratchDir dir;
  const KeybagEditor editor(image);
  const std::string& password = image.password;
  // The editor itself changes nothing that matters.
  EXPECT_EQ(LockOf(dir, editor.Edited(image.volumeBag, [](uint8_t*) {}), password), "unlocked");
  EXPECT_EQ(LockOf(dir, editor.Edited(image.volumeBag, [](uint8_t*) {}), "nope"), "locked: wrong password");
  // Lengths that run past the keybag, the entry or the DER element holding them.
  const std::vector<std::pair<uint32_t, uint8_t>> lengthEdits = {
      {39, 0x7F}, {37, 0xFF}, {48 + 18, 0xFF}, {48 + 19, 0x01}, {48 + 24 + 1, 0x82},
      {48 + 24 + 2, 0xFF}, {48 + 24 + 1, 0x85},
  };
  for (const auto& [offset, value] : lengthEdits) {
    SCOPED_TRACE(offset);
    const std::string edited = editor.Edited(image.volumeBag, [&, o = offset, v = value](uint8_t* b) { b[o] = v; });
    EXPECT_EQ(LockOf(dir, edited, password).rfind("locked: ", 0), 0u);
  }
  // Every byte of the unlock record's blob, changed in turn: found damaged, never taken for a
  // wrong password, never a crash.
  const uint32_t blobLength = editor.FirstEntryLength(image.volumeBag);
  for (uint32_t offset = 48 + 24; offset < 48 + 24 + blobLength; offset++) {
    const std::string edited = editor.Edited(image.volumeBag, [o = offset](uint8_t* b) { b[o] ^= 0x5A; });
    EXPECT_EQ(LockOf(dir, edited, password), "locked: keybag or wrapped key cannot be parsed") << offset;
  }
  // The container's keybag: a damaged VEK blob, and an unreadable keybag.
  const std::string vek = editor.Edited(image.containerBag, [](uint8_t* b) { b[48 + 24 + 1] = 0x7F; });
  EXPECT_EQ(LockOf(dir, vek, password), "locked: keybag or wrapped key cannot be parsed");
  std::string torn = image.bytes;
  torn[image.containerBag * BLOCK + 100] ^= 1;
  EXPECT_EQ(LockOf(dir, torn, password), "locked: keybag or wrapped key cannot be parsed");
}

TEST(EncryptedVolume, DamagedKeybagsAndBlobsLeaveItLockedCleanly) {
  SKIP_WITHOUT_IMAGE();
  ExpectDamageLeavesItLocked({ReadBytes(EncryptedImage()), 172, 170, PASSWORD});
}

// ---- Volumes the writer encrypts ----

apfsw::Entry Regular(const std::string& name, uint64_t size) {
  apfsw::Entry file;
  file.name = name;
  file.size = size;
  return file;
}

// A volume of the shapes whose encryption differs: a file in many extents, a sparse one,
// one compressed into its resource fork, an attribute stream, a hard link, a directory
// over many tree nodes, older versions of the nodes, and a snapshot.
apfsw::VolumeSpec EncryptedVolume(const std::string& name, const std::string& password) {
  apfsw::VolumeSpec v;
  v.name = name;
  v.password = password;
  v.nodeEntryCap = 16;
  v.nodeVersions = 2;
  std::vector<apfsw::Entry>& top = v.root.children;
  top.push_back(Regular("multi.bin", 3 * 1048576 + 5));
  top.back().extentBlocks = 9;
  top.push_back(Regular("sparse.bin", 150000));
  top.back().layout = {{8192, true}, {40960, false}};
  top.push_back(Regular("packed.txt", 200000));
  top.back().compression = apfsw::Compression::ResourceFork;
  top.back().codec = apfsw::Codec::Lzvn;
  top.push_back(Regular("tagged", 10));
  top.back().xattrs = {{"user.stream", std::vector<uint8_t>(90000, 'q'), true}, {"user.small", {'s'}}};
  apfsw::Entry link;
  link.name = "link";
  link.kind = apfsw::EntryKind::HardLink;
  link.target = "multi.bin";
  top.push_back(link);
  apfsw::Entry many = apfsw::DirectoryEntry("many");
  for (int i = 0; i < 600; i++) many.children.push_back(Regular("f" + std::to_string(i), uint64_t(i)));
  top.push_back(many);
  apfsw::SnapshotSpec before;
  before.name = "before";
  before.root.children.push_back(Regular("old.bin", 70000));
  v.snapshots.push_back(before);
  return v;
}

// Every file and attribute under entry reads as the writer wrote it.
void ExpectTreeReads(Session& session, const apfsw::Entry& entry, const std::string& path,
                     const std::map<std::string, uint64_t>& inodes) {
  for (const apfsw::Entry& child : entry.children) {
    const std::string at = path + "/" + child.name;
    SCOPED_TRACE(at);
    if (child.kind == apfsw::EntryKind::Directory) {
      ExpectTreeReads(session, child, at, inodes);
      continue;
    }
    NodeRef node = session.Resolve(at);
    if (child.kind != apfsw::EntryKind::Regular) continue;
    const std::vector<uint8_t> expected = apfsw::ExpectedContents(child, inodes.at(at.substr(1)));
    std::vector<uint8_t> read(child.size);
    size_t done = 0;
    while (done < read.size()) done += session.Read(node.inode(), done, read.data() + done, read.size() - done);
    EXPECT_TRUE(read == expected);
    for (const apfsw::XattrSpec& xattr : child.xattrs) EXPECT_TRUE(session.XattrValue(node.inode(), xattr.name) == xattr.value);
  }
}

std::map<std::string, uint64_t> InodesByPath(const std::vector<apfsw::FileLocation>& files) {
  std::map<std::string, uint64_t> inodes;
  for (const apfsw::FileLocation& f : files) inodes[f.path] = f.inode;
  return inodes;
}

TEST(EncryptedVolume, WrittenVolumesOfEveryShapeReadExactlyBesideOthers) {
  ScratchDir dir;
  const fs::path path = dir / "written.img";
  apfsw::ContainerSpec spec;
  spec.volumes = {EncryptedVolume("Mine", "c0rrect h\xC3\xB8rse"), apfsw::VolumeSpec{},
                  EncryptedVolume("Theirs", "another one")};
  spec.volumes[1].root.children.push_back(Regular("plain.bin", 20000));
  const apfsw::WriteResult layout = apfsw::WriteImage(spec, path.string());

  SetVolumePassword("c0rrect h\xC3\xB8rse");
  ApfsImage image(path.string());
  const std::vector<VolumeSummary> volumes = image.volumes();
  EXPECT_EQ(volumes.at(0).encryption, "unlocked");
  EXPECT_EQ(volumes.at(1).encryption, "");
  EXPECT_EQ(volumes.at(2).encryption, "locked: wrong password");
  for (uint32_t index : {0u, 1u}) {
    VolumeReader volume(image, int32_t(index));
    ExpectTreeReads(*volume.Borrow(), spec.volumes[index].root, "", InodesByPath(layout.volumes[index].files));
  }
  VolumeReader snapshot(image, 0, "before");
  ExpectTreeReads(*snapshot.Borrow(), spec.volumes[0].snapshots[0].root, "",
                  InodesByPath(layout.volumes[0].snapshots[0].files));
}

TEST(EncryptedVolume, DamagedKeybagsOfAWrittenVolumeLeaveItLockedCleanly) {
  ScratchDir dir;
  apfsw::ContainerSpec spec;
  spec.blockCount = 1200;  // each case copies the whole image
  spec.volumes.resize(1);
  spec.volumes[0].password = "pw";
  spec.volumes[0].root.children = {Regular("one", 5000)};
  const apfsw::WriteResult layout = apfsw::WriteImage(spec, (dir / "written.img").string());
  ExpectDamageLeavesItLocked({ReadBytes(dir / "written.img"), layout.Object("keybag").address,
                              layout.Object("volume[0].keybag").address, "pw"});
}

TEST(EncryptedVolume, WrittenVolumeThroughTheCommandAndTheMount) {
  ScratchDir dir;
  const fs::path path = dir / "written.img";
  apfsw::ContainerSpec spec;
  spec.volumes = {EncryptedVolume("Mine", "pw")};
  const apfsw::WriteResult layout = apfsw::WriteImage(spec, path.string());
  const std::vector<uint8_t> bytes =
      apfsw::ExpectedContents(spec.volumes[0].root.children[0], layout.File(0, "multi.bin").inode);
  const std::string expected = Sha256(std::string(bytes.begin(), bytes.end()));
  const Result cat = Quadrel({"cat", "--password", "pw", path.string(), "/multi.bin"});
  EXPECT_EQ(cat.status, 0) << cat.err;
  EXPECT_EQ(Sha256(cat.out), expected);
  EXPECT_NE(Quadrel({"info", path.string()}).out.find("encrypted (locked: no password given)"), std::string::npos);
  if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/fuse is not available";
  const fs::path mountPoint = dir / "mnt";
  fs::create_directory(mountPoint);
  const Result mounted = Quadrel({"mount", "--password", "pw", path.string(), mountPoint.string()});
  if (mounted.status == 10) GTEST_SKIP() << "FUSE cannot mount here: " << mounted.err;
  ASSERT_EQ(mounted.status, 0) << mounted.err;
  EXPECT_EQ(FileSha256(mountPoint / "multi.bin"), expected);
  EXPECT_EQ(FileSha256(mountPoint / "link"), expected);
  ASSERT_EQ(RunProgram({"fusermount3", "-u", mountPoint.string()}).status, 0);
}

}  // namespace
