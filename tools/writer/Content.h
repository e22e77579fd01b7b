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

// "com.apple.decmpfs" of a file whose one chunk is inline, after the header.
std::vector<uint8_t> DecmpfsInline(const std::vector<uint8_t>& contents, Codec codec, bool storeChunks);
// The 16-byte header alone, for files whose chunks live in the resource fork.
std::vector<uint8_t> DecmpfsResourceForkHeader(uint64_t uncompressedSize, Codec codec);
// The resource fork holding the contents as chunks of 64 KiB: for zlib a classic resource
// fork with one resource, for the other codecs an offset table followed by the chunks.
std::vector<uint8_t> CompressedResourceFork(const std::vector<uint8_t>& contents, Codec codec, bool storeChunks);

}  // namespace apfsw
