// An image opened through the engine as the driver opens it: the container, its default
// (or a chosen) volume, and helpers to list, look up and read what it holds.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ApfsProcs.h"
#include "ImageDevice.h"

struct MountedImage {
  // index < 0: the container's default volume.
  explicit MountedImage(const std::string& path, int32_t index = -1);
  ~MountedImage();
  MountedImage(const MountedImage&) = delete;
  MountedImage& operator=(const MountedImage&) = delete;

  // Every entry of a directory in listing order; false when the listing fails.
  bool List(FsNode* directory, std::vector<FileInfo>* entries);
  // The node at a "/"-separated path from the root; null when absent (*notFound set).
  FsNode* Lookup(const std::string& path, bool* notFound = nullptr);
  // A file's bytes through its extents, holes as zeros; false when an extent is missing.
  bool ReadFile(Inode* inode, uint64_t size, std::vector<uint8_t>* out);
  std::string SymlinkTarget(Inode* inode);

  // Where a record of the file-system tree lies: its leaf's block, and the offsets of its
  // key and value in that block. False when the record is absent.
  struct RecordPlace {
    uint64_t block;
    size_t keyOffset;
    size_t valueOffset;
  };
  bool Locate(const SearchKey& key, RecordPlace* place);
  // The index nodes a search for key passes, from the root down: each one's block, its
  // own object id, and the offset of the child id the search follows (in valueOffset).
  struct IndexStep {
    RecordPlace place;
    uint64_t oid;
  };
  bool Descent(const SearchKey& key, std::vector<IndexStep>* steps);

  std::unique_ptr<ImageDevice> image;
  std::string error;
  Container container{};
  BTree omap{};
  BTree fsTree{};
  VolumeHandle volume{};
  bool containerOpen = false;
  bool volumeOpen = false;
  uint32_t index = 0;
};
