// An image opened through the engine as a host opens it (the container, its default
// volume, one set of trees), with the few walks the benchmarks time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ApfsProcs.h"
#include "ImageDevice.h"

// One run of a file: where its bytes lie in the image; imageOffset 0 for a hole.
struct FileRun {
  uint64_t logical;
  uint64_t imageOffset;
  uint64_t length;
};

// Called with the path of the directory listed ("" for the root) and an entry of it.
using EntryVisitor = std::function<void(const std::string& directory, const FileInfo& entry)>;

class BenchVolume {
 public:
  // The image is opened as the hosts open it, with the device's block cache of
  // cacheBytes (0: every read goes to the file).
  explicit BenchVolume(const std::string& imagePath,
                       uint64_t cacheBytes = ImageOpenOptions::DEFAULT_CACHE_BYTES);
  ~BenchVolume();
  BenchVolume(const BenchVolume&) = delete;
  BenchVolume& operator=(const BenchVolume&) = delete;

  bool ok() const { return open_; }
  const std::string& error() const { return error_; }
  Container* container() { return &container_; }
  BTree* fsTree() { return &fsTree_; }
  FsNode* root() { return volume_.root; }
  BlockDevice* device() { return image_->device(); }
  // Byte offset of the container inside the image file (GPT images).
  uint64_t partitionOffset() const { return image_->partitionOffset(); }

  // Calls each for every entry of directory with the path of that directory (prefix);
  // paths of entries are built only by callers that need them. False when a listing fails.
  bool ListDirectory(FsNode* directory, const std::string& prefix, const EntryVisitor& each);
  // Every entry below the root, depth first; false when a listing fails.
  bool Walk(const EntryVisitor& each);
  // The node at a "/"-separated path, or null.
  FsNode* Lookup(const std::string& path);
  // The runs of a regular file in logical order, found extent by extent.
  bool Runs(Inode* inode, uint64_t size, std::vector<FileRun>* runs);

 private:
  bool WalkBelow(FsNode* directory, const std::string& prefix, const EntryVisitor& each);

  std::unique_ptr<ImageDevice> image_;
  std::string error_;
  Container container_{};
  BTree omap_{};
  BTree fsTree_{};
  VolumeHandle volume_{};
  bool containerOpen_ = false;
  bool open_ = false;
};

bool IsDirectory(const FileInfo& info);
std::string EntryPath(const std::string& directory, const FileInfo& entry);
