// Software-encrypted volumes: the volume encrypted on a Mac unlocks with its password and
// reads exactly through the command and the mount; a wrong or missing password and damaged
// keybags and key blobs leave it locked with a clear reason. Skips without the image.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>

#include "ApfsFormat.h"
#include "ApfsImage.h"
#include "HostTestSupport.h"
#include "Unlock.h"
#include "VolumeReader.h"

namespace {

using namespace hosttest;

constexpr char PASSWORD[] = "hunter2hunter2";
constexpr uint64_t CONTAINER_KEYBAG_BLOCK = 172;
constexpr uint64_t VOLUME_KEYBAG_BLOCK = 170;
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

// Encrypts them again. The keybags' keys repeat one UUID in both halves, which OpenSSL's
// XTS refuses to encrypt with, so the test composes the mode from AES blocks itself:
// each 16-byte block is AES(key1, P xor T) xor T, T starting as AES(key2, unit) and
// doubled in GF(2^128) from block to block.
void XtsEncrypt(const uint8_t key[32], uint64_t firstUnit, uint8_t* data, size_t length) {
  EVP_CIPHER_CTX* dataCipher = EVP_CIPHER_CTX_new();
  EVP_CIPHER_CTX* tweakCipher = EVP_CIPHER_CTX_new();
  ASSERT_EQ(EVP_EncryptInit_ex(dataCipher, EVP_aes_128_ecb(), nullptr, key, nullptr), 1);
  ASSERT_EQ(EVP_EncryptInit_ex(tweakCipher, EVP_aes_128_ecb(), nullptr, key + 16, nullptr), 1);
  EVP_CIPHER_CTX_set_padding(dataCipher, 0);
  EVP_CIPHER_CTX_set_padding(tweakCipher, 0);
  int out = 0;
  for (size_t done = 0; done < length; done += 512) {
    uint8_t tweak[16] = {};
    for (int i = 0; i < 8; i++) tweak[i] = uint8_t((firstUnit + done / 512) >> (8 * i));
    ASSERT_EQ(EVP_EncryptUpdate(tweakCipher, tweak, &out, tweak, 16), 1);
    for (size_t at = done; at < done + 512; at += 16) {
      for (int i = 0; i < 16; i++) data[at + i] ^= tweak[i];
      ASSERT_EQ(EVP_EncryptUpdate(dataCipher, data + at, &out, data + at, 16), 1);
      for (int i = 0; i < 16; i++) data[at + i] ^= tweak[i];
      const uint8_t carry = tweak[15] >> 7;
      for (int i = 15; i > 0; i--) tweak[i] = uint8_t(tweak[i] << 1 | tweak[i - 1] >> 7);
      tweak[0] = uint8_t(tweak[0] << 1 ^ (carry ? 0x87 : 0));
    }
  }
  EVP_CIPHER_CTX_free(dataCipher);
  EVP_CIPHER_CTX_free(tweakCipher);
}

// The image with a keybag block changed by edit in its decrypted form, its checksum made
// right again, so that only what the keybag says is damaged.
class KeybagEditor {
 public:
  explicit KeybagEditor(std::string image) : image_(std::move(image)) {}
  std::string Edited(uint64_t block, const std::function<void(uint8_t*)>& edit) const {
    std::string copy = image_;
    auto* bytes = reinterpret_cast<uint8_t*>(copy.data()) + block * BLOCK;
    uint8_t key[32];
    const auto* uuidAt = reinterpret_cast<const uint8_t*>(image_.data()) +
                         (block == CONTAINER_KEYBAG_BLOCK ? NX_UUID : VolumeUuidOffset());
    std::memcpy(key, uuidAt, 16);
    std::memcpy(key + 16, uuidAt, 16);
    XtsDecrypt(key, block * BLOCK / 512, bytes, BLOCK);
    edit(bytes);
    const uint64_t sum = ObjectChecksum(bytes, BLOCK);
    std::memcpy(bytes, &sum, 8);
    XtsEncrypt(key, block * BLOCK / 512, bytes, BLOCK);
    return copy;
  }

 private:
  // The volume superblock's UUID, found by its magic in the carved blocks.
  size_t VolumeUuidOffset() const {
    const size_t at = image_.find("APSB");
    return at - 32 + 240;
  }
  std::string image_;
};

std::string LockOf(const ScratchDir& dir, const std::string& bytes, const char* password) {
  const fs::path path = dir / "edited.img";
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  SetVolumePassword(password);
  ApfsImage image(path.string());
  return image.volumes().at(0).encryption;
}

TEST(EncryptedVolume, DamagedKeybagsAndBlobsLeaveItLockedCleanly) {
  SKIP_WITHOUT_IMAGE();
  ScratchDir dir;
  const KeybagEditor editor(ReadBytes(EncryptedImage()));
  // The editor itself changes nothing that matters.
  EXPECT_EQ(LockOf(dir, editor.Edited(VOLUME_KEYBAG_BLOCK, [](uint8_t*) {}), PASSWORD), "unlocked");
  EXPECT_EQ(LockOf(dir, editor.Edited(VOLUME_KEYBAG_BLOCK, [](uint8_t*) {}), "nope"), "locked: wrong password");
  // Lengths that run past the keybag, the entry or the DER element holding them.
  const std::vector<std::pair<uint32_t, uint8_t>> lengthEdits = {
      {39, 0x7F}, {37, 0xFF}, {48 + 18, 0xFF}, {48 + 19, 0x01}, {48 + 24 + 1, 0x82},
      {48 + 24 + 2, 0xFF}, {48 + 24 + 1, 0x85},
  };
  for (const auto& [offset, value] : lengthEdits) {
    SCOPED_TRACE(offset);
    const std::string edited = editor.Edited(VOLUME_KEYBAG_BLOCK, [&, o = offset, v = value](uint8_t* b) { b[o] = v; });
    EXPECT_EQ(LockOf(dir, edited, PASSWORD).rfind("locked: ", 0), 0u);
  }
  // Every byte of the unlock record's blob, changed in turn: found damaged, never taken for a
  // wrong password, never a crash.
  for (uint32_t offset = 48 + 24; offset < 48 + 24 + 148; offset++) {
    const std::string edited = editor.Edited(VOLUME_KEYBAG_BLOCK, [o = offset](uint8_t* b) { b[o] ^= 0x5A; });
    EXPECT_EQ(LockOf(dir, edited, PASSWORD), "locked: keybag or wrapped key cannot be parsed") << offset;
  }
  // The container's keybag: a damaged VEK blob, and an unreadable keybag.
  const std::string vek = editor.Edited(CONTAINER_KEYBAG_BLOCK, [](uint8_t* b) { b[48 + 24 + 1] = 0x7F; });
  EXPECT_EQ(LockOf(dir, vek, PASSWORD), "locked: keybag or wrapped key cannot be parsed");
  std::string torn = ReadBytes(EncryptedImage());
  torn[CONTAINER_KEYBAG_BLOCK * BLOCK + 100] ^= 1;
  EXPECT_EQ(LockOf(dir, torn, PASSWORD), "locked: keybag or wrapped key cannot be parsed");
}

}  // namespace
