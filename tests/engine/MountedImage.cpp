#include "MountedImage.h"

#include <sstream>

#include "ApfsFormat.h"

MountedImage::MountedImage(const std::string& path, int32_t chosen) {
  ImageOpenOptions options;
  options.zeroExtend = true;
  image = OpenImage(path, options, &error);
  if (image == nullptr) return;
  uint8_t first[4096];
  ContainerInit(&container);
  if (!DeviceRead(image->device(), 0, first, sizeof first)) return;
  containerOpen = ContainerOpen(&container, first, image->device());
  if (!containerOpen) return;
  index = chosen >= 0 ? uint32_t(chosen) : ContainerDefaultVolume(&container);
  BTreeInit(&omap, &container);
  BTreeInit(&fsTree, &container);
  VolumeHandleInit(&volume, &container);
  volumeOpen = VolumeHandleOpen(&volume, int32_t(index), nullptr, &omap, &fsTree);
}

MountedImage::~MountedImage() {
  VolumeHandleRelease(&volume);
  BTreeRelease(&fsTree);
  BTreeRelease(&omap);
  ContainerClose(&container);
}

bool MountedImage::List(FsNode* directory, std::vector<FileInfo>* entries) {
  DirSearch* search = nullptr;
  if (!DirSearchCreate(directory, &search, &fsTree)) return false;
  BTreeCursor* cursor = nullptr;
  bool ok = true;
  for (;;) {
    FileInfo info;
    bool notFound = false;
    if (!DirEnumNext(directory, search, &info, nullptr, &notFound, &cursor, &fsTree)) {
      ok = notFound;
      break;
    }
    entries->push_back(info);
  }
  if (cursor != nullptr) {
    BTreeCursorClose(cursor);
    delete cursor;
  }
  DirSearchFree(search);
  return ok;
}

FsNode* MountedImage::Lookup(const std::string& path, bool* notFound) {
  bool missing = false;
  FsNode* current = volume.root;
  current->useCount++;
  std::stringstream parts(path);
  std::string name;
  while (current != nullptr && std::getline(parts, name, '/')) {
    if (name.empty()) continue;
    FsNode* next = nullptr;
    if (current->kind != FS_NODE_DIRECTORY ||
        !FsLookup(current, reinterpret_cast<const uint8_t*>(name.data()), uint32_t(name.size()),
                  &next, nullptr, &fsTree, &missing)) {
      next = nullptr;
    }
    FsNodeRelease(current);
    current = next;
  }
  if (notFound != nullptr) *notFound = missing;
  return current;
}

bool MountedImage::ReadFile(Inode* inode, uint64_t size, std::vector<uint8_t>* out) {
  out->assign(size, 0);
  for (uint64_t offset = 0; offset < size;) {
    uint64_t phys, length;
    if (!FileExtentLookup(inode, offset, &phys, &length, &fsTree)) return false;
    const uint64_t take = std::min(length, size - offset);
    if (phys != 0 && !DeviceRead(image->device(), phys, out->data() + offset, take)) return false;
    offset += length;
  }
  return true;
}

std::string MountedImage::SymlinkTarget(Inode* inode) {
  static const char name[] = "com.apple.fs.symlink";
  uint64_t length = 0;
  bool tooSmall, notFound;
  std::string target(4096, '\0');
  if (!XattrFind(inode, reinterpret_cast<const uint8_t*>(name), sizeof name - 1,
                 reinterpret_cast<uint8_t*>(target.data()), target.size(), &length, &tooSmall,
                 &notFound, &fsTree)) {
    return {};
  }
  target.resize(length > 0 ? length - 1 : 0);
  return target;
}

bool MountedImage::Descent(const SearchKey& key, std::vector<IndexStep>* steps) {
  NodeRecord record;
  bool notFound;
  if (!BTreeFind(&fsTree, &key, FIND_EXACT, &record, &notFound)) return false;
  steps->clear();
  for (const PathLevel* level = fsTree.root; level->child != nullptr; level = level->child) {
    NodeRecord followed;
    if (!NodeEntry(&level->node, uint32_t(level->child->indexInParent), &followed)) return false;
    steps->push_back({{level->node.address, size_t(followed.key - level->node.bytes),
                       size_t(followed.value - level->node.bytes)},
                      level->node.oid});
  }
  return true;
}

bool MountedImage::Locate(const SearchKey& key, RecordPlace* place) {
  NodeRecord record;
  bool notFound;
  if (!BTreeFind(&fsTree, &key, FIND_EXACT, &record, &notFound)) return false;
  const NodeView& leaf = fsTree.current->node;
  *place = {leaf.address, size_t(record.key - leaf.bytes),
            record.value != nullptr ? size_t(record.value - leaf.bytes) : 0};
  return true;
}
