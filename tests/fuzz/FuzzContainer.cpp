// Opens a container and its default volume from arbitrary bytes and walks the volume:
// listings, lookups of every listed name, inode loads, extents, data and attributes.
// The work per input is bounded so that every input ends quickly.
#include <cstddef>
#include <cstdint>
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzDevice device(data, size);
  Container container;
  ContainerInit(&container);
  if (ContainerOpen(&container, device.first, &device.device)) {
    ContainerFreeBlocks(&container);
    const uint32_t index = ContainerDefaultVolume(&container);
    BTree omap, fsTree;
    BTreeInit(&omap, &container);
    BTreeInit(&fsTree, &container);
    VolumeHandle volume;
    VolumeHandleInit(&volume, &container);
    if (VolumeHandleOpen(&volume, int32_t(index), nullptr, &omap, &fsTree)) {
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
