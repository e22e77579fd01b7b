// Block devices over disk-image files for the Linux hosts: a bare APFS container, or the
// first APFS partition of a GPT-partitioned disk image.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ApfsStruc.h"

struct ImageOpenOptions {
  // Serve the whole container the superblock in block 0 declares, reading the bytes
  // past the end of the file as zeros (for images that hold only the first blocks).
  bool zeroExtend = false;
};

enum class ImageLayout { BareContainer, GptPartition };

class ImageDevice {
 public:
  ~ImageDevice();
  ImageDevice(const ImageDevice&) = delete;
  ImageDevice& operator=(const ImageDevice&) = delete;

  // The engine's view of the partition; reads are thread-safe.
  BlockDevice* device() { return &device_; }
  ImageLayout layout() const { return layout_; }
  uint64_t partitionOffset() const { return windowStart_; }
  uint64_t length() const { return device_.length; }

 private:
  friend std::unique_ptr<ImageDevice> OpenImage(const std::string&, const ImageOpenOptions&,
                                                std::string*);
  ImageDevice() = default;
  static bool ReadAt(BlockDevice* device, uint64_t offset, void* buffer, uint32_t count);

  BlockDevice device_{};  // first member: ReadAt finds the ImageDevice from it
  int fd_ = -1;
  uint64_t fileSize_ = 0;
  uint64_t windowStart_ = 0;
  ImageLayout layout_ = ImageLayout::BareContainer;
};

// Opens path and decides by its content whether it is a GPT disk (a GPT header in the
// second 512-byte or 4096-byte sector) or a bare container. On failure returns null
// and a message in *error.
std::unique_ptr<ImageDevice> OpenImage(const std::string& path, const ImageOpenOptions& options,
                                       std::string* error);
