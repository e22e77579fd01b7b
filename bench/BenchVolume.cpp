#include "BenchVolume.h"

#include <cstring>

#include "ApfsFormat.h"

BenchVolume::BenchVolume(const std::string& imagePath, uint64_t cacheBytes) {
  ImageOpenOptions options;
  options.cacheBytes = cacheBytes;
  image_ = OpenImage(imagePath, options, &error_);
  if (image_ == nullptr) return;
  uint8_t first[4096];
  ContainerInit(&container_);
  if (!DeviceRead(device(), 0, first, sizeof first) ||
      !(containerOpen_ = ContainerOpen(&container_, first, device()))) {
    error_ = "cannot open the container";
    return;
  }
  BTreeInit(&omap_, &container_);
  BTreeInit(&fsTree_, &container_);
  VolumeHandleInit(&volume_, &container_);
  const auto index = int32_t(ContainerDefaultVolume(&container_));
  open_ = VolumeHandleOpen(&volume_, index, nullptr, &omap_, &fsTree_);
  if (!open_) error_ = "cannot open the default volume";
}

BenchVolume::~BenchVolume() {
  if (containerOpen_) {
    VolumeHandleRelease(&volume_);
    BTreeRelease(&fsTree_);
    BTreeRelease(&omap_);
  }
  ContainerClose(&container_);
}

bool IsDirectory(const FileInfo& info) { return (info.mode & S_IFMT_MASK) == MODE_DIR; }

std::string EntryPath(const std::string& directory, const FileInfo& entry) {
  return directory + "/" + std::string(reinterpret_cast<const char*>(entry.name), entry.nameLength);
}

bool BenchVolume::ListDirectory(FsNode* directory, const std::string& prefix, const EntryVisitor& each) {
  DirSearch* search = nullptr;
  if (!DirSearchCreate(directory, &search, &fsTree_)) return false;
  BTreeCursor* cursor = nullptr;
  bool ok = true;
  for (;;) {
    FileInfo info;
    bool notFound = false;
    if (!DirEnumNext(directory, search, &info, nullptr, &notFound, &cursor, &fsTree_)) {
      ok = notFound;
      break;
    }
    each(prefix, info);
  }
  if (cursor != nullptr) {
    BTreeCursorClose(cursor);
    delete cursor;
  }
  DirSearchFree(search);
  return ok;
}

bool BenchVolume::Walk(const EntryVisitor& each) {
  return WalkBelow(volume_.root, "", each);
}

bool BenchVolume::WalkBelow(FsNode* directory, const std::string& prefix, const EntryVisitor& each) {
  // Subdirectories are entered after the listing, so one cursor is open at a time.
  std::vector<std::pair<std::string, uint64_t>> subdirectories;
  const bool listed = ListDirectory(directory, prefix, [&](const std::string& parent, const FileInfo& info) {
    each(parent, info);
    if (IsDirectory(info)) subdirectories.emplace_back(EntryPath(parent, info), info.objectId);
  });
  if (!listed) return false;
  for (const auto& [path, objectId] : subdirectories) {
    FsNode* child = FsNodeCreate(&volume_, FS_NODE_DIRECTORY, objectId, &fsTree_);
    if (child == nullptr) return false;
    const bool ok = WalkBelow(child, path, each);
    FsNodeRelease(child);
    if (!ok) return false;
  }
  return true;
}

FsNode* BenchVolume::Lookup(const std::string& path) {
  FsNode* current = volume_.root;
  current->useCount++;
  size_t start = 0;
  while (current != nullptr && start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) {
      FsNode* next = nullptr;
      bool notFound = false;
      if (current->kind != FS_NODE_DIRECTORY ||
          !FsLookup(current, reinterpret_cast<const uint8_t*>(path.data() + start), uint32_t(end - start),
                    &next, nullptr, &fsTree_, &notFound)) {
        next = nullptr;
      }
      FsNodeRelease(current);
      current = next;
    }
    start = end + 1;
  }
  return current;
}

bool BenchVolume::Runs(Inode* inode, uint64_t size, std::vector<FileRun>* runs) {
  for (uint64_t offset = 0; offset < size;) {
    uint64_t imageOffset = 0, length = 0;
    if (!FileExtentLookup(inode, offset, &imageOffset, &length, &fsTree_) || length == 0) return false;
    runs->push_back({offset, imageOffset, std::min(length, size - offset)});
    offset += length;
  }
  return true;
}
