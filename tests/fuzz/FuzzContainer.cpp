// Opens a container and its default volume from arbitrary bytes and walks the volume:
// listings, lookups of every listed name, inode loads, extents, data and attributes.
// The work per input is bounded so that every input ends quickly.
//
// The engine is lent cryptography whose ciphers are the identity, and a password, so that
// the keybags, the wrapped keys in them and the reads of an unlocked volume see the
// fuzzer's bytes as they would see decrypted ones: a wrapped key opens when it starts with
// the key-wrap check value, and a blob's authentication code is all zeros.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "ApfsProcs.h"
#include "FuzzDevice.h"

namespace {

constexpr int MAX_DEPTH = 6;
constexpr int MAX_ENTRIES = 300;
constexpr uint64_t MAX_READ = 1 << 20;

struct Walk {
  Container* container;
  BTree* fsTree;
  BlockDevice* device;
  int entries = 0;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(64 * 1024);
};

void ReadData(Walk& walk, Inode* inode, uint64_t size) {
  for (uint64_t offset = 0; offset < size && offset < MAX_READ;) {
    uint64_t phys, length;
    if (!FileExtentLookup(inode, offset, &phys, &length, walk.fsTree)) return;
    const uint64_t take = length < walk.buffer.size() ? length : walk.buffer.size();
    if (phys != 0) DeviceRead(walk.device, phys, walk.buffer.data(), take);
    offset += length;
  }
}

void ReadXattrs(Walk& walk, Inode* inode) {
  for (const XattrEntry* e = inode->xattrs; e != nullptr; e = e->next) {
    uint64_t length;
    bool tooSmall, notFound;
    XattrFind(inode, e->buffer, e->nameLength - 1, walk.buffer.data(), walk.buffer.size(),
              &length, &tooSmall, &notFound, walk.fsTree);
  }
  DecmpfsLoad(inode, walk.fsTree);
}

void List(Walk& walk, FsNode* directory, int depth) {
  DirSearch* search = nullptr;
  if (!DirSearchCreate(directory, &search, walk.fsTree)) return;
  BTreeCursor* cursor = nullptr;
  while (walk.entries++ < MAX_ENTRIES) {
    FileInfo info;
    Inode* inode = nullptr;
    bool notFound;
    if (!DirEnumNext(directory, search, &info, &inode, &notFound, &cursor, walk.fsTree)) break;
    ReadData(walk, inode, info.fileSize);
    ReadXattrs(walk, inode);
    FsNode* node = nullptr;
    FileInfo found;
    if (FsLookup(directory, info.name, info.nameLength, &node, &found, walk.fsTree, &notFound) &&
        node->kind == FS_NODE_DIRECTORY && depth < MAX_DEPTH) {
      List(walk, node, depth + 1);
    }
    FsNodeRelease(node);
    InodeRelease(inode);
  }
  // A listing resumed at an earlier position steps again from the start.
  DirSearchSetPosition(search, 1);
  FileInfo info;
  bool notFound;
  DirEnumNext(directory, search, &info, nullptr, &notFound, &cursor, walk.fsTree);
  if (cursor != nullptr) {
    BTreeCursorClose(cursor);
    delete cursor;
  }
  DirSearchFree(search);
}

bool DeriveKey(const uint8_t* password, uint32_t passwordLength, const uint8_t* salt, uint32_t saltLength,
               uint32_t, uint8_t* key, uint32_t keyLength) {
  for (uint32_t i = 0; i < keyLength; i++) {
    key[i] = uint8_t((saltLength ? salt[i % saltLength] : 0) ^ (passwordLength ? password[i % passwordLength] : 0));
  }
  return true;
}

bool Unwrap(const uint8_t*, uint32_t, const uint8_t* wrapped, uint32_t wrappedLength, uint8_t* key) {
  static const uint8_t CHECK[8] = {0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6};
  if (wrappedLength < 16 || std::memcmp(wrapped, CHECK, 8) != 0) return false;
  std::memcpy(key, wrapped + 8, wrappedLength - 8);
  return true;
}

bool ZeroDigest(const uint8_t*, uint32_t, uint8_t digest[32]) {
  std::memset(digest, 0, 32);
  return true;
}

bool ZeroMac(const uint8_t*, uint32_t, const uint8_t*, uint32_t, uint8_t digest[32]) {
  std::memset(digest, 0, 32);
  return true;
}

bool Plain(const uint8_t[32], uint64_t, uint8_t*, uint64_t) { return true; }

const CryptoProvider IDENTITY_CRYPTO = {DeriveKey, Unwrap, ZeroDigest, ZeroMac, Plain};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzDevice device(data, size);
  Container container;
  ContainerInit(&container);
  container.crypto = &IDENTITY_CRYPTO;
  if (ContainerOpen(&container, device.first, &device.device)) {
    ContainerFreeBlocks(&container);
    const uint32_t index = ContainerDefaultVolume(&container);
    BTree omap, fsTree;
    BTreeInit(&omap, &container);
    BTreeInit(&fsTree, &container);
    VolumeHandle volume;
    VolumeHandleInit(&volume, &container);
    if (VolumeHandleOpen(&volume, int32_t(index), "fuzz", &omap, &fsTree)) {
      VolumeAdoptSystemName(&container, index);
      Walk walk{&container, &fsTree, &device.device};
      List(walk, volume.root, 0);
    }
    VolumeHandleRelease(&volume);
    BTreeRelease(&fsTree);
    BTreeRelease(&omap);
  }
  ContainerClose(&container);
  return 0;
}
