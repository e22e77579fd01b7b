#include "ImageFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace apfsw {

namespace {
[[noreturn]] void ThrowSystemError(const std::string& what, const std::string& path) {
  throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}
}  // namespace

ImageFile::ImageFile(const std::string& path, uint32_t blockSize)
    : blockSize_(blockSize), path_(path) {
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) ThrowSystemError("cannot create", path);
}

ImageFile::~ImageFile() {
  if (fd_ >= 0) ::close(fd_);
}

void ImageFile::WriteBlocks(uint64_t address, const uint8_t* data, uint64_t byteCount) {
  constexpr size_t kGatherLimit = 8 << 20;
  const bool follows = address * blockSize_ == pendingAddress_ * blockSize_ + pending_.size();
  if (!follows || pending_.size() + byteCount > kGatherLimit) {
    Flush();
    pendingAddress_ = address;
  }
  if (byteCount > kGatherLimit) {
    WriteNow(address * blockSize_, data, byteCount);
    pendingAddress_ = address + byteCount / blockSize_;
    return;
  }
  pending_.insert(pending_.end(), data, data + byteCount);
}

void ImageFile::WriteBlock(uint64_t address, const std::vector<uint8_t>& block) {
  WriteBlocks(address, block.data(), block.size());
}

void ImageFile::Flush() {
  if (pending_.empty()) return;
  WriteNow(pendingAddress_ * blockSize_, pending_.data(), pending_.size());
  pending_.clear();
}

void ImageFile::WriteNow(uint64_t offset, const uint8_t* data, uint64_t byteCount) {
  while (byteCount > 0) {
    const ssize_t written = ::pwrite(fd_, data, byteCount, static_cast<off_t>(offset));
    if (written <= 0) ThrowSystemError("cannot write", path_);
    data += written;
    offset += static_cast<uint64_t>(written);
    byteCount -= static_cast<uint64_t>(written);
  }
}

void ImageFile::Finish(uint64_t blockCount) {
  Flush();
  if (::ftruncate(fd_, static_cast<off_t>(blockCount * blockSize_)) != 0)
    ThrowSystemError("cannot size", path_);
}

BlockAllocator::BlockAllocator(uint64_t blockCount, uint64_t firstFree)
    : blockCount_(blockCount), next_(firstFree) {}

uint64_t BlockAllocator::Allocate(uint64_t count) {
  if (count > blockCount_ || next_ > blockCount_ - count)
    throw std::runtime_error("container full: raise blockCount");
  const uint64_t start = next_;
  next_ += count;
  Record(start, count);
  return start;
}

void BlockAllocator::Skip(uint64_t count) { next_ += count; }

void BlockAllocator::Reserve(uint64_t start, uint64_t count) {
  if (start + count > blockCount_) throw std::runtime_error("reserved area beyond the container");
  Record(start, count);
}

void BlockAllocator::Record(uint64_t start, uint64_t count) {
  if (count == 0) return;
  used_ += count;
  if (!ranges_.empty() && ranges_.back().start + ranges_.back().count == start)
    ranges_.back().count += count;
  else
    ranges_.push_back({start, count});
}

std::vector<BlockRange> BlockAllocator::UsedRanges() const {
  std::vector<BlockRange> sorted = ranges_;
  std::sort(sorted.begin(), sorted.end(),
            [](const BlockRange& a, const BlockRange& b) { return a.start < b.start; });
  std::vector<BlockRange> merged;
  for (const BlockRange& r : sorted) {
    if (!merged.empty() && merged.back().start + merged.back().count >= r.start) {
      const uint64_t end = std::max(merged.back().start + merged.back().count, r.start + r.count);
      merged.back().count = end - merged.back().start;
    } else {
      merged.push_back(r);
    }
  }
  return merged;
}

}  // namespace apfsw
