#include "ImageDevice.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

#include "ApfsFormat.h"
#include "GptScan.h"

namespace {

// Reads up to count bytes at offset; fewer only at the end of the file.
bool PreadFull(int fd, uint64_t offset, uint8_t* buffer, uint64_t count, uint64_t* got) {
  *got = 0;
  while (*got < count) {
    const ssize_t n = pread(fd, buffer + *got, count - *got, off_t(offset + *got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    *got += uint64_t(n);
  }
  return true;
}

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// Size of the container that block 0 at offset start declares, or 0 when it has none.
uint64_t DeclaredContainerSize(int fd, uint64_t start) {
  uint8_t header[NX_BLOCK_COUNT + 8];
  uint64_t got;
  if (!PreadFull(fd, start, header, sizeof header, &got) || got != sizeof header) return 0;
  if (Le32(header + NX_MAGIC) != NX_MAGIC_VALUE) return 0;
  const uint64_t blockSize = Le32(header + NX_BLOCK_SIZE);
  const uint64_t blockCount = Le64(header + NX_BLOCK_COUNT);
  if (blockSize == 0 || blockCount > UINT64_MAX / blockSize) return 0;
  return blockSize * blockCount;
}

}  // namespace

ImageDevice::~ImageDevice() {
  if (fd_ >= 0) close(fd_);
}

bool ImageDevice::ReadAt(BlockDevice* device, uint64_t offset, void* buffer, uint32_t count) {
  ImageDevice* self = reinterpret_cast<OwnedDevice*>(device)->owner;
  if (self->cache_ != nullptr) return self->cache_->Read(offset, buffer, count);
  return self->ReadFile(offset, static_cast<uint8_t*>(buffer), count);
}

bool ImageDevice::ReadFile(uint64_t offset, uint8_t* buffer, uint32_t count) const {
  // DeviceRead has bounded offset + count by the window length, and the window was
  // checked at open not to wrap past the end of the address space.
  const uint64_t fileOffset = windowStart_ + offset;
  uint64_t got = 0;
  if (fileOffset < fileSize_ && !PreadFull(fd_, fileOffset, buffer, count, &got)) return false;
  // Bytes past the end of the file read as zeros.
  std::memset(buffer + got, 0, count - got);
  return true;
}

bool ImageDevice::FileRange(uint64_t offset, uint64_t count, uint64_t* fileOffset) const {
  if (count > length() || offset > length() - count) return false;
  // The window was checked at open not to wrap past the end of the address space.
  *fileOffset = windowStart_ + offset;
  return *fileOffset <= fileSize_ && count <= fileSize_ - *fileOffset;
}

std::unique_ptr<ImageDevice> OpenImage(const std::string& path, const ImageOpenOptions& options,
                                       std::string* error) {
  std::unique_ptr<ImageDevice> image(new ImageDevice);
  image->fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (image->fd_ < 0 || fstat(image->fd_, &st) != 0) {
    *error = ErrnoText(path);
    return nullptr;
  }
  image->fileSize_ = S_ISBLK(st.st_mode) ? uint64_t(lseek(image->fd_, 0, SEEK_END)) : uint64_t(st.st_size);
  GptPartition partition;
  std::string gptError;
  const GptResult gpt = FindApfsPartition(
      [&](uint64_t offset, uint8_t* buffer, uint64_t count) {
        uint64_t got;
        return PreadFull(image->fd_, offset, buffer, count, &got) && got == count;
      },
      image->fileSize_, &partition, &gptError);
  uint64_t length = image->fileSize_;
  if (gpt == GptResult::Error) {
    *error = path + ": " + gptError;
    return nullptr;
  }
  if (gpt == GptResult::Found) {
    image->layout_ = ImageLayout::GptPartition;
    image->windowStart_ = partition.offset;
    length = partition.length;
    // A partition that runs past the end of the file is served up to the file's end.
    if (!options.zeroExtend) {
      const uint64_t available =
          partition.offset < image->fileSize_ ? image->fileSize_ - partition.offset : 0;
      if (length > available) length = available;
    }
  }
  if (options.zeroExtend) {
    const uint64_t declared = DeclaredContainerSize(image->fd_, image->windowStart_);
    if (declared > length && declared <= UINT64_MAX - image->windowStart_) length = declared;
  }
  image->device_.device.readAt = ImageDevice::ReadAt;
  image->device_.device.length = length;
  if (options.cacheBytes > 0) {
    const ImageDevice* self = image.get();
    image->cache_ = std::make_unique<BlockCache>(
        length, BlockCache::Config{options.cacheBytes, options.readAheadBlocks},
        [self](uint64_t offset, uint8_t* buffer, uint32_t count) { return self->ReadFile(offset, buffer, count); });
  }
  return image;
}
