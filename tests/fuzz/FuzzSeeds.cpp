// Writes the seeds of the container fuzzer, packed: small containers from the image writer
// with several checkpoints, multi-level trees and every kind of record, and the real
// images made by Apple's tools when their folder is given.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "FuzzDevice.h"
#include "ImageWriter.h"
#include "Object.h"
#include "OnDisk.h"
#include "Patch.h"

namespace {

namespace fs = std::filesystem;
using namespace apfsw;

Entry File(const std::string& name, uint64_t size) {
  Entry e;
  e.name = name;
  e.size = size;
  return e;
}

Entry Of(EntryKind kind, const std::string& name, const std::string& target = {}) {
  Entry e;
  e.name = name;
  e.kind = kind;
  e.target = target;
  return e;
}

VolumeSpec RichVolume(uint32_t cap) {
  VolumeSpec v;
  v.name = "seed";
  v.nodeEntryCap = cap;
  Entry dir = DirectoryEntry("dir");
  for (int i = 0; i < 12; i++) dir.children.push_back(File("f" + std::to_string(i), 100 * i));
  Entry tagged = File("tagged", 3000);
  tagged.xattrs = {{"user.a", {1, 2, 3}, false}, {"user.stream", std::vector<uint8_t>(5000, 7), true}};
  Entry sparse = File("sparse", 4096 * 5);
  sparse.layout = {{4096, false}, {8192, true}, {4096, false}};
  Entry split = File("split", 4096 * 6);
  split.extentBlocks = 1;
  Entry packed = File("packed", 9000);
  packed.content = std::vector<uint8_t>(9000, 'z');
  packed.compression = Compression::DecmpfsEmbedded;
  Entry forked = File("forked", 9000);
  forked.compression = Compression::ResourceFork;
  v.root.children = {dir, tagged, sparse, split, packed, forked, Of(EntryKind::Symlink, "link", "dir/f1"),
                     Of(EntryKind::HardLink, "hard", "dir/f2"), Of(EntryKind::Fifo, "fifo"),
                     File("caf\xC3\xA9", 5)};
  return v;
}

// ---- A keybag the fuzz target's identity cryptography unlocks ---------------------------

void Append(std::vector<uint8_t>& to, std::initializer_list<uint8_t> bytes) { to.insert(to.end(), bytes); }

// A wrapped-key blob: version 0, an all-zero authentication code, a salt, and the key
// fields: the wrapped key (the key-wrap check value, then key), and for a password's
// record an iteration count and a salt.
std::vector<uint8_t> Blob(bool forPassword) {
  std::vector<uint8_t> fields = {0x83, 40, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6};
  for (uint8_t i = 0; i < 32; i++) fields.push_back(uint8_t(0x40 + i));
  if (forPassword) {
    Append(fields, {0x84, 1, 1, 0x85, 16});
    fields.insert(fields.end(), 16, 0x5A);
  }
  std::vector<uint8_t> inner = {0x80, 1, 0, 0x81, 32};
  inner.insert(inner.end(), 32, 0);
  Append(inner, {0x82, 16});
  inner.insert(inner.end(), 16, 0x33);
  Append(inner, {0xA3, uint8_t(fields.size())});
  inner.insert(inner.end(), fields.begin(), fields.end());
  std::vector<uint8_t> blob = {0x30, uint8_t(inner.size())};
  blob.insert(blob.end(), inner.begin(), inner.end());
  return blob;
}

// Makes the first volume a one-key encrypted volume whose key the container's keybag
// holds, with a password record in a volume keybag written to the image's last block.
void AddUnlockableKeybag(const std::string& image, const WriteResult& layout) {
  PatchField(image, layout, "volume[0].superblock", "apfs_fs_flags", 0x8, ChecksumMode::Recompute);
  std::vector<uint8_t> uuid(16);
  std::ifstream in(image, std::ios::binary);
  in.seekg(std::streamoff(layout.Object("volume[0].superblock").address * layout.blockSize + apsb::VOL_UUID));
  in.read(reinterpret_cast<char*>(uuid.data()), 16);
  const uint64_t volumeBag = layout.blockCount - 1;
  std::vector<uint8_t> range(16, 0);
  Put64(range.data(), volumeBag);
  Put64(range.data() + 8, 1);
  PatchBytes(image, layout.blockSize, layout.Object("keybag").address, 32,
             KeybagLocker({{uuid, KB_TAG_VOLUME_KEY, Blob(false)}, {uuid, KB_TAG_VOLUME_UNLOCK_RECORDS, range}}),
             ChecksumMode::Recompute);
  std::vector<uint8_t> block(layout.blockSize, 0);
  SetObjectHeader(block.data(), volumeBag, layout.xid, TYPE_VOLUME_KEYBAG, 0);
  const std::vector<uint8_t> locker = KeybagLocker({{uuid, KB_TAG_VOLUME_UNLOCK_RECORDS, Blob(true)}});
  std::copy(locker.begin(), locker.end(), block.begin() + 32);
  // Everything after the checksum, which the patch then computes.
  PatchBytes(image, layout.blockSize, volumeBag, 8, std::vector<uint8_t>(block.begin() + 8, block.end()),
             ChecksumMode::Recompute);
}

std::vector<uint8_t> ReadAll(const fs::path& path) {
  std::vector<uint8_t> bytes(fs::file_size(path));
  std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(bytes.data()),
                                             std::streamsize(bytes.size()));
  return bytes;
}

std::vector<uint8_t> Pack(const fs::path& image, const fs::path& seed) {
  const std::vector<uint8_t> packed = PackImage(ReadAll(image));
  std::ofstream(seed, std::ios::binary).write(reinterpret_cast<const char*>(packed.data()),
                                              std::streamsize(packed.size()));
  return packed;
}

// A packed seed that the engine cannot open would make the fuzzer start from nothing.
bool OpensAsContainer(const std::vector<uint8_t>& packed) {
  FuzzDevice device(packed.data(), packed.size());
  Container container;
  ContainerInit(&container);
  const bool opened = ContainerOpen(&container, device.first, &device.device);
  ContainerClose(&container);
  return opened;
}

// Writes the seed; patch, when given, changes the image before it is packed.
bool Write(const fs::path& dir, const std::string& name, const ContainerSpec& spec,
           void (*patch)(const std::string& image, const WriteResult& layout) = nullptr) {
  const fs::path image = dir / (name + ".img");
  const WriteResult layout = WriteImage(spec, image.string());
  if (patch != nullptr) patch(image.string(), layout);
  const bool opens = OpensAsContainer(Pack(image, dir / name));
  fs::remove(image);
  if (!opens) std::cerr << "fuzz_seeds: the packed seed " << name << " does not open\n";
  return opens;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: fuzz_seeds FOLDER [REAL-IMAGES-FOLDER]\n";
    return 2;
  }
  const fs::path dir = argv[1];
  fs::create_directories(dir);
  if (argc > 2 && fs::is_directory(argv[2])) {
    for (const auto& entry : fs::directory_iterator(argv[2])) {
      if (entry.path().extension() == ".img") Pack(entry.path(), dir / entry.path().stem());
    }
  }
  ContainerSpec plain;
  plain.volumes = {RichVolume(0)};
  bool ok = Write(dir, "plain", plain);

  ContainerSpec deep = plain;
  deep.volumes = {RichVolume(3)};
  deep.omapEntryCap = 3;
  deep.checkpoints = {4, 10, 7, -1, 2};
  deep.freeQueueEntries = 40;
  deep.freeQueueEntryCap = 4;
  ok &= Write(dir, "deep", deep);

  ContainerSpec several = plain;
  several.volumes = {RichVolume(0), RichVolume(5)};
  several.volumes[0].role = VolumeRole::System;
  several.volumes[1].role = VolumeRole::Data;
  several.volumes[1].caseInsensitive = false;
  ok &= Write(dir, "several", several);

  // An encrypted volume that the fuzz target's cryptography unlocks with its keybags.
  ContainerSpec encrypted = plain;
  encrypted.volumes[0].encrypted = true;
  encrypted.keybag = true;
  ok &= Write(dir, "encrypted", encrypted, AddUnlockableKeybag);
  return ok ? 0 : 1;
}
