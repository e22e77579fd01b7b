// Block devices over disk-image files for the Linux hosts: a bare APFS container, or the
// first APFS partition of a GPT-partitioned disk image.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ApfsStruc.h"
#include "BlockCache.h"

struct ImageOpenOptions {
  // Serve the whole container the superblock in block 0 declares, reading the bytes
  // past the end of the file as zeros (for images that hold only the first blocks).
  bool zeroExtend = false;
  // Bytes of 4 KiB blocks kept for small reads (B-tree nodes); 0 reads every time from
  // the file. The cache's own bookkeeping adds well under 5 % on top.
  uint64_t cacheBytes = DEFAULT_CACHE_BYTES;
  // Blocks read at once when a small read misses the cache: nodes written together
  // are mostly read together.
  uint32_t readAheadBlocks = DEFAULT_READ_AHEAD_BLOCKS;

  static constexpr uint64_t DEFAULT_CACHE_BYTES = 32ull << 20;
  static constexpr uint32_t DEFAULT_READ_AHEAD_BLOCKS = 8;
};

enum class ImageLayout { BareContainer, GptPartition };

class ImageDevice {
 public:
  ~ImageDevice();
  ImageDevice(const ImageDevice&) = delete;
  ImageDevice& operator=(const ImageDevice&) = delete;

  // The engine's view of the partition; reads are thread-safe.
  BlockDevice* device() { return &device_.device; }
  ImageLayout layout() const { return layout_; }
  uint64_t partitionOffset() const { return windowStart_; }
  uint64_t length() const { return device_.device.length; }
  // Where the device's bytes offset to offset + count lie in the image file, for callers
  // that pass file data on without reading it themselves (splicing); false when the range
  // leaves the device or reaches past the end of the file (bytes read as zeros).
  bool FileRange(uint64_t offset, uint64_t count, uint64_t* fileOffset) const;
  int fileDescriptor() const { return fd_; }
  // The block cache in front of the file; null when opened without one.
  const BlockCache* cache() const { return cache_.get(); }

 private:
  friend std::unique_ptr<ImageDevice> OpenImage(const std::string&, const ImageOpenOptions&,
                                                std::string*);
  ImageDevice() = default;
  static bool ReadAt(BlockDevice* device, uint64_t offset, void* buffer, uint32_t count);
  bool ReadFile(uint64_t offset, uint8_t* buffer, uint32_t count) const;

  // The engine's device record with its owner after it: ReadAt finds the ImageDevice
  // from the record's address (the record is the first member of a plain struct).
  struct OwnedDevice {
    BlockDevice device;
    ImageDevice* owner;
  };
  OwnedDevice device_{{}, this};
  int fd_ = -1;
  uint64_t fileSize_ = 0;
  uint64_t windowStart_ = 0;
  ImageLayout layout_ = ImageLayout::BareContainer;
  std::unique_ptr<BlockCache> cache_;
};

// Opens path and decides by its content whether it is a GPT disk (a GPT header in the
// second 512-byte or 4096-byte sector) or a bare container. On failure returns null
// and a message in *error.
std::unique_ptr<ImageDevice> OpenImage(const std::string& path, const ImageOpenOptions& options,
                                       std::string* error);
