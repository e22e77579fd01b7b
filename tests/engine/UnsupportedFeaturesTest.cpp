// Forms the engine does not read are recognised and refused by name, never read as
// something else: volumes in slots object ids cannot carry, sealed volumes, containers
// spanning two devices, and attributes stored in an unknown form or claiming more bytes
// than the container has.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "ApfsFormat.h"
#include "ImageWriter.h"
#include "MountedImage.h"
#include "Patch.h"

namespace {

namespace fs = std::filesystem;
using apfsw::ChecksumMode;

class ScratchImage {
 public:
  ScratchImage() {
    static int serial = 0;
    dir_ = fs::temp_directory_path() /
           ("quadrel-unsupported-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
    fs::create_directories(dir_);
  }
  ~ScratchImage() { fs::remove_all(dir_); }
  std::string path() const { return (dir_ / "image.img").string(); }

 private:
  fs::path dir_;
};

apfsw::Entry TextFile(const std::string& name, const std::string& text) {
  apfsw::Entry file;
  file.name = name;
  file.content = std::vector<uint8_t>(text.begin(), text.end());
  file.size = text.size();
  return file;
}

apfsw::VolumeSpec NamedVolume(const std::string& name) {
  apfsw::VolumeSpec v;
  v.name = name;
  v.root.children = {TextFile(name + ".txt", name)};
  return v;
}

std::string ReadAll(MountedImage& m, const std::string& path) {
  FsNode* node = m.Lookup(path);
  if (node == nullptr) return "<absent>";
  std::vector<uint8_t> data;
  const bool read = m.ReadFile(node->inode, node->inode->size, &data);
  FsNodeRelease(node);
  return read ? std::string(data.begin(), data.end()) : "<unreadable>";
}

// Slot 16 would get the object ids of slot 0 (the index has four bits): its inodes and
// case rule would be volume 0's. It is refused; slot 15, the last the ids carry, reads.
TEST(UnsupportedVolumes, SlotsObjectIdsCannotCarryAreRefused) {
  ScratchImage image;
  apfsw::ContainerSpec spec;
  for (int i = 0; i <= 16; i++) spec.volumes.push_back(NamedVolume("v" + std::to_string(i)));
  apfsw::WriteImage(spec, image.path());

  MountedImage last(image.path(), 15);
  ASSERT_TRUE(last.volumeOpen);
  EXPECT_EQ(ReadAll(last, "v15.txt"), "v15");

  MountedImage beyond(image.path(), 16);
  ASSERT_TRUE(beyond.containerOpen);
  EXPECT_FALSE(beyond.volumeOpen) << "slot 16 must not read as slot 0";
  const Volume& slot = beyond.container.volumes[16];
  EXPECT_TRUE(slot.unsupported);
  EXPECT_EQ(slot.refusal, VOLUME_INDEX_TOO_HIGH);
  EXPECT_FALSE(slot.encrypted);
}

// A sealed volume is named as such whether its superblock says so or only its tree's
// headerless mappings do, instead of failing as a damaged volume.
TEST(UnsupportedVolumes, SealedVolumesAreRefusedAsSealed) {
  ScratchImage image;
  apfsw::ContainerSpec spec;
  spec.volumes = {NamedVolume("system")};
  spec.volumes[0].sealed = true;
  spec.volumes[0].role = apfsw::VolumeRole::System;
  const apfsw::WriteResult layout = apfsw::WriteImage(spec, image.path());
  for (const bool featureCleared : {false, true}) {
    SCOPED_TRACE(featureCleared ? "headerless mappings only" : "sealed feature");
    if (featureCleared) {
      apfsw::PatchField(image.path(), layout, "volume[0].superblock", "@56:8",
                        APFS_INCOMPAT_CASE_INSENSITIVE, ChecksumMode::Recompute);
    }
    MountedImage m(image.path());
    ASSERT_TRUE(m.containerOpen);
    EXPECT_FALSE(m.volumeOpen);
    EXPECT_TRUE(m.container.volumes[0].unsupported);
    EXPECT_EQ(m.container.volumes[0].refusal, VOLUME_SEALED);
  }
}

TEST(UnsupportedContainers, FusionContainersAreRefusedAsSuch) {
  ScratchImage image;
  apfsw::ContainerSpec spec;
  spec.volumes = {NamedVolume("tiered")};
  spec.fusion = true;
  apfsw::WriteImage(spec, image.path());
  MountedImage m(image.path());
  EXPECT_FALSE(m.containerOpen);
  EXPECT_TRUE(m.container.fusion);

  spec.fusion = false;
  apfsw::WriteImage(spec, image.path());
  MountedImage plain(image.path());
  EXPECT_TRUE(plain.containerOpen);
  EXPECT_FALSE(plain.container.fusion);
}

struct FoundXattr {
  bool ok = false;
  bool notFound = false;
  std::string value;
};

FoundXattr FindXattr(MountedImage& m, Inode* inode, const std::string& name) {
  FoundXattr found;
  std::vector<uint8_t> buffer(8192);
  uint64_t length = 0;
  bool tooSmall = false;
  found.ok = XattrFind(inode, reinterpret_cast<const uint8_t*>(name.data()), uint32_t(name.size()),
                       buffer.data(), buffer.size(), &length, &tooSmall, &found.notFound, &m.fsTree);
  if (found.ok) found.value.assign(buffer.begin(), buffer.begin() + length);
  return found;
}

// Exactly one of the stream and embedded bits says where an attribute's data is; the
// file-system-owned and reserved bits may join either. Any other form is listed with its
// recorded length, but its value is never read (it used to be read as embedded data).
TEST(UnsupportedAttributes, OnlyTheTwoKnownStorageFormsAreRead) {
  ScratchImage image;
  apfsw::ContainerSpec spec;
  apfsw::Entry file = TextFile("tagged", "x");
  const std::vector<uint8_t> value = {'v', 'a', 'l'};
  file.xattrs = {{"embedded", value, false, XATTR_DATA_EMBEDDED},
                 {"owned", value, false, XATTR_DATA_EMBEDDED | XATTR_FILE_SYSTEM_OWNED},
                 {"reserved", value, false, XATTR_DATA_EMBEDDED | XATTR_RESERVED_8},
                 {"both", value, false, XATTR_DATA_STREAM | XATTR_DATA_EMBEDDED},
                 {"neither", value, false, XATTR_FILE_SYSTEM_OWNED},
                 {"unknown-bit", value, false, XATTR_DATA_EMBEDDED | 0x40},
                 {"streamed", std::vector<uint8_t>(5000, 's'), true}};
  spec.volumes = {apfsw::VolumeSpec{}};
  spec.volumes[0].root.children = {file};
  apfsw::WriteImage(spec, image.path());

  MountedImage m(image.path());
  ASSERT_TRUE(m.volumeOpen);
  FsNode* node = m.Lookup("tagged");
  ASSERT_NE(node, nullptr);
  size_t listed = 0;
  for (const XattrEntry* e = node->inode->xattrs; e != nullptr; e = e->next) listed++;
  EXPECT_EQ(listed, file.xattrs.size()) << "every attribute stays listed";
  for (const char* known : {"embedded", "owned", "reserved"}) {
    const FoundXattr found = FindXattr(m, node->inode, known);
    EXPECT_TRUE(found.ok) << known;
    EXPECT_EQ(found.value, "val") << known;
  }
  EXPECT_EQ(FindXattr(m, node->inode, "streamed").value, std::string(5000, 's'));
  for (const char* unknown : {"both", "neither", "unknown-bit"}) {
    const FoundXattr found = FindXattr(m, node->inode, unknown);
    EXPECT_FALSE(found.ok) << unknown;
    EXPECT_FALSE(found.notFound) << unknown << " is present, in a form not read";
    uint64_t length = 0;
    bool tooSmall = false, notFound = false;
    EXPECT_TRUE(XattrFind(node->inode, reinterpret_cast<const uint8_t*>(unknown), uint32_t(strlen(unknown)),
                          nullptr, 0, &length, &tooSmall, &notFound, &m.fsTree));
    EXPECT_EQ(length, value.size()) << "the recorded length is still told";
    const XattrEntry* entry = XattrNamed(node->inode, reinterpret_cast<const uint8_t*>(unknown),
                                         uint32_t(strlen(unknown)));
    ASSERT_NE(entry, nullptr);
    EXPECT_FALSE(XattrStorageKnown(entry->flags));
  }
  FsNodeRelease(node);
}

// Byte offset of the first occurrence of pattern in the image file.
uint64_t FindInImage(const std::string& path, const std::vector<uint8_t>& pattern) {
  std::vector<uint8_t> bytes(fs::file_size(path));
  FILE* f = std::fopen(path.c_str(), "rb");
  EXPECT_NE(f, nullptr);
  EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), f), bytes.size());
  std::fclose(f);
  const auto at = std::search(bytes.begin(), bytes.end(), pattern.begin(), pattern.end());
  EXPECT_NE(at, bytes.end());
  return uint64_t(at - bytes.begin());
}

std::vector<uint8_t> Le64Bytes(uint64_t value) {
  std::vector<uint8_t> bytes(8);
  for (int i = 0; i < 8; i++) bytes[i] = uint8_t(value >> (8 * i));
  return bytes;
}

// A stream attribute's length is a claim: one beyond what the container can hold is
// refused before anything is sized by it, and a long attribute reads in pieces at any
// offset.
TEST(UnsupportedAttributes, StreamLengthsAreBoundedAndReadInPieces) {
  ScratchImage image;
  apfsw::ContainerSpec spec;
  apfsw::Entry file = TextFile("forked", "x");
  std::vector<uint8_t> fork(3 * 4096 + 77);
  for (size_t i = 0; i < fork.size(); i++) fork[i] = uint8_t(i * 13 + i / 4096);
  file.xattrs = {{"fork", fork, true}};
  spec.volumes = {apfsw::VolumeSpec{}};
  spec.volumes[0].root.children = {file};
  const apfsw::WriteResult layout = apfsw::WriteImage(spec, image.path());

  {
    MountedImage m(image.path());
    ASSERT_TRUE(m.volumeOpen);
    FsNode* node = m.Lookup("forked");
    ASSERT_NE(node, nullptr);
    const XattrEntry* entry = XattrNamed(node->inode, reinterpret_cast<const uint8_t*>("fork"), 4);
    ASSERT_NE(entry, nullptr);
    for (const uint64_t offset : {uint64_t{0}, uint64_t{100}, uint64_t{4095}, uint64_t{8192}}) {
      std::vector<uint8_t> piece(fork.size() - offset);
      ASSERT_TRUE(XattrRead(node->inode, entry, offset, piece.data(), piece.size(), &m.fsTree)) << offset;
      EXPECT_TRUE(std::equal(piece.begin(), piece.end(), fork.begin() + offset)) << offset;
    }
    uint8_t byte;
    EXPECT_FALSE(XattrRead(node->inode, entry, fork.size(), &byte, 1, &m.fsTree)) << "past the end";
    FsNodeRelease(node);
  }

  // The stream's size and allocated size follow its id in the record value; claim
  // 2^40 bytes there.
  std::vector<uint8_t> sizes = Le64Bytes(fork.size());
  const std::vector<uint8_t> allocated = Le64Bytes(4 * 4096);
  sizes.insert(sizes.end(), allocated.begin(), allocated.end());
  const uint64_t at = FindInImage(image.path(), sizes);
  apfsw::PatchBytes(image.path(), layout.blockSize, at / layout.blockSize, at % layout.blockSize,
                    Le64Bytes(uint64_t(1) << 40), ChecksumMode::Recompute);
  MountedImage m(image.path());
  ASSERT_TRUE(m.volumeOpen);
  FsNode* node = m.Lookup("forked");
  ASSERT_NE(node, nullptr);
  uint64_t length = 0;
  bool tooSmall = false, notFound = false;
  EXPECT_FALSE(XattrFind(node->inode, reinterpret_cast<const uint8_t*>("fork"), 4, nullptr, 0, &length,
                         &tooSmall, &notFound, &m.fsTree));
  EXPECT_FALSE(notFound);
  EXPECT_EQ(length, 0u) << "the claim is not passed on";
  FsNodeRelease(node);
}

}  // namespace
