// File contents: where a file's bytes come from, and the compressed forms of them.
#pragma once

#include <cstdint>
#include <vector>

#include "ImageDescription.h"

namespace apfsw {

// Produces the bytes of one regular file at any offset: given bytes, a host file, or the
// stamp pattern of the file's id.
class ContentSource {
 public:
  ContentSource(const Entry& file, uint64_t fileId);
  ~ContentSource();
  ContentSource(const ContentSource&) = delete;
  ContentSource& operator=(const ContentSource&) = delete;
  void Read(uint64_t offset, uint8_t* out, size_t count) const;

 private:
  const Entry& file_;
  uint64_t fileId_;
  int fd_ = -1;
};

// The file's data runs and holes, with the sparse tail left out; throws when a run that
// is not the last is not a whole number of blocks.
std::vector<Segment> DataLayout(const Entry& file, uint32_t blockSize);

// "com.apple.decmpfs" of a file compressed with zlib inside the attribute.
std::vector<uint8_t> DecmpfsWithZlibData(const std::vector<uint8_t>& contents);
// The 16-byte header alone, for files whose data lives in the resource fork.
std::vector<uint8_t> DecmpfsResourceForkHeader(uint64_t uncompressedSize);
// A resource fork holding the contents as zlib blocks of 64 KiB.
std::vector<uint8_t> ZlibResourceFork(const std::vector<uint8_t>& contents);

}  // namespace apfsw
