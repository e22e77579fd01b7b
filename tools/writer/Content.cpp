#include "Content.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "Compressors.h"
#include "ImageWriter.h"
#include "OnDisk.h"

namespace apfsw {

ContentSource::ContentSource(const Entry& file, uint64_t fileId) : file_(file), fileId_(fileId) {
  if (!file.content && !file.sourcePath.empty()) {
    fd_ = ::open(file.sourcePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("cannot open " + file.sourcePath);
  }
}

ContentSource::~ContentSource() {
  if (fd_ >= 0) ::close(fd_);
}

void ContentSource::Read(uint64_t offset, uint8_t* out, size_t count) const {
  if (count == 0) return;  // an empty file's buffer may be no buffer at all
  if (file_.content) {
    const std::vector<uint8_t>& bytes = *file_.content;
    const size_t available = offset < bytes.size() ? std::min<size_t>(count, bytes.size() - offset) : 0;
    if (available) std::memcpy(out, bytes.data() + offset, available);
    std::memset(out + available, 0, count - available);
  } else if (fd_ >= 0) {
    size_t done = 0;
    while (done < count) {
      const ssize_t n = ::pread(fd_, out + done, count - done, static_cast<off_t>(offset + done));
      if (n < 0) throw std::runtime_error("cannot read " + file_.sourcePath);
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    std::memset(out + done, 0, count - done);
  } else {
    PatternBytes(fileId_, offset, out, count);
  }
}

void PatternBytes(uint64_t fileId, uint64_t offset, uint8_t* out, size_t count) {
  uint8_t unit[16];
  uint64_t unitStart = offset & ~uint64_t{15};
  Put64(unit, fileId);
  Put64(unit + 8, unitStart);
  for (size_t i = 0; i < count; ++i) {
    const uint64_t position = offset + i;
    if ((position & ~uint64_t{15}) != unitStart) {
      unitStart = position & ~uint64_t{15};
      Put64(unit + 8, unitStart);
    }
    out[i] = unit[position & 15];
  }
}

std::vector<Segment> DataLayout(const Entry& file, uint32_t blockSize) {
  std::vector<Segment> layout = file.layout;
  if (layout.empty() && file.size > 0) layout.push_back({file.size, false});
  uint64_t covered = 0;
  for (size_t i = 0; i < layout.size(); ++i) {
    if (layout[i].length == 0) throw std::runtime_error(file.name + ": empty layout run");
    if (i + 1 < layout.size() && layout[i].length % blockSize != 0)
      throw std::runtime_error(file.name + ": layout runs before the last must be whole blocks");
    covered += layout[i].length;
  }
  if (covered > file.size) throw std::runtime_error(file.name + ": layout longer than the size");
  return layout;
}

std::vector<uint8_t> ExpectedContents(const Entry& file, uint64_t inode) {
  std::vector<uint8_t> bytes(file.size, 0);
  ContentSource source(file, inode);
  // Compressed files have no holes: their whole size is data.
  if (file.compression != Compression::None || file.layout.empty()) {
    source.Read(0, bytes.data(), bytes.size());
    return bytes;
  }
  uint64_t offset = 0;
  for (const Segment& s : file.layout) {
    if (!s.hole) source.Read(offset, bytes.data() + offset, s.length);
    offset += s.length;
  }
  return bytes;
}

namespace {

std::vector<uint8_t> Zlib(const uint8_t* data, size_t size) {
  uLongf capacity = compressBound(size);
  std::vector<uint8_t> out(capacity);
  if (compress2(out.data(), &capacity, data, size, Z_BEST_COMPRESSION) != Z_OK)
    throw std::runtime_error("zlib compression failed");
  out.resize(capacity);
  return out;
}

std::vector<uint8_t> DecmpfsHeader(uint32_t type, uint64_t uncompressedSize) {
  std::vector<uint8_t> header(DECMPFS_HEADER_SIZE, 0);
  Put32(header.data(), DECMPFS_MAGIC);
  Put32(header.data() + 4, type);
  Put64(header.data() + 8, uncompressedSize);
  return header;
}

// The resource map every compressed file's fork ends with: one type "cmpf" with one
// resource of id -38.
std::vector<uint8_t> CompressedResourceMap() {
  constexpr size_t kMapSize = 50;
  std::vector<uint8_t> map(kMapSize, 0);
  map[24] = 0x00, map[25] = 0x1C;  // type list offset
  map[26] = 0x00, map[27] = 0x32;  // name list offset
  std::memcpy(map.data() + 30, "cmpf", 4);
  map[36] = 0x00, map[37] = 0x0A;  // reference list offset from the type list
  map[38] = 0xFF, map[39] = 0xDA;  // resource id
  map[40] = 0xFF, map[41] = 0xFF;  // no name
  return map;
}

uint32_t DecmpfsType(Codec codec, bool inResourceFork) {
  static const uint32_t inlineTypes[] = {3, 7, 11, 9};  // zlib, LZVN, LZFSE, raw
  return inlineTypes[int(codec)] + (inResourceFork ? 1 : 0);
}

// The byte that marks a chunk stored without compression.
uint8_t StoredMarker(Codec codec) {
  if (codec == Codec::Lzvn) return 0x06;  // LZVN's end of stream
  if (codec == Codec::Raw) return 0xCC;
  return 0xFF;
}

std::vector<uint8_t> Compress(Codec codec, const uint8_t* data, size_t size) {
  switch (codec) {
    case Codec::Zlib: return Zlib(data, size);
    case Codec::Lzvn: return LzvnCompress(data, size);
    case Codec::Lzfse: return LzfseCompress(data, size);
    case Codec::Raw: break;
  }
  return {};
}

// One chunk as the codec stores it; stored behind the marker when asked to or when
// compressing would not make it shorter, as macOS does.
std::vector<uint8_t> Chunk(Codec codec, bool store, const uint8_t* data, size_t size) {
  if (!store && codec != Codec::Raw) {
    std::vector<uint8_t> compressed = Compress(codec, data, size);
    if (compressed.size() <= size) return compressed;
  }
  std::vector<uint8_t> stored = {StoredMarker(codec)};
  stored.insert(stored.end(), data, data + size);
  return stored;
}

// A classic resource fork with one resource: the chunk count and table (offsets from
// the count), then the chunks, then the resource map.
std::vector<uint8_t> ClassicResourceFork(const std::vector<std::vector<uint8_t>>& blocks) {
  constexpr uint32_t kDataOffset = 0x100;
  const size_t tableSize = 4 + 8 * blocks.size();
  std::vector<uint8_t> resource(tableSize, 0);
  Put32(resource.data(), static_cast<uint32_t>(blocks.size()));
  for (size_t i = 0; i < blocks.size(); ++i) {
    Put32(resource.data() + 4 + 8 * i, static_cast<uint32_t>(resource.size()));
    Put32(resource.data() + 8 + 8 * i, static_cast<uint32_t>(blocks[i].size()));
    resource.insert(resource.end(), blocks[i].begin(), blocks[i].end());
  }
  const uint32_t dataLength = static_cast<uint32_t>(4 + resource.size());
  const std::vector<uint8_t> map = CompressedResourceMap();
  std::vector<uint8_t> fork(kDataOffset, 0);
  PutBE32(fork.data(), kDataOffset);
  PutBE32(fork.data() + 4, kDataOffset + dataLength);
  PutBE32(fork.data() + 8, dataLength);
  PutBE32(fork.data() + 12, static_cast<uint32_t>(map.size()));
  fork.resize(fork.size() + 4);
  PutBE32(fork.data() + fork.size() - 4, static_cast<uint32_t>(resource.size()));
  fork.insert(fork.end(), resource.begin(), resource.end());
  fork.insert(fork.end(), map.begin(), map.end());
  return fork;
}

// N + 1 offsets from the fork's start, then the chunks back to back.
std::vector<uint8_t> OffsetTableFork(const std::vector<std::vector<uint8_t>>& blocks) {
  std::vector<uint8_t> fork(4 * (blocks.size() + 1));
  Put32(fork.data(), uint32_t(fork.size()));
  for (size_t i = 0; i < blocks.size(); ++i) {
    fork.insert(fork.end(), blocks[i].begin(), blocks[i].end());
    Put32(fork.data() + 4 * (i + 1), uint32_t(fork.size()));
  }
  return fork;
}

}  // namespace

std::vector<uint8_t> DecmpfsInline(const std::vector<uint8_t>& contents, Codec codec, bool storeChunks) {
  std::vector<uint8_t> attribute = DecmpfsHeader(DecmpfsType(codec, false), contents.size());
  const std::vector<uint8_t> chunk = codec == Codec::Raw && !storeChunks
                                         ? contents
                                         : Chunk(codec, storeChunks, contents.data(), contents.size());
  attribute.insert(attribute.end(), chunk.begin(), chunk.end());
  return attribute;
}

std::vector<uint8_t> DecmpfsResourceForkHeader(uint64_t uncompressedSize, Codec codec) {
  return DecmpfsHeader(DecmpfsType(codec, true), uncompressedSize);
}

std::vector<uint8_t> CompressedResourceFork(const std::vector<uint8_t>& contents, Codec codec, bool storeChunks) {
  std::vector<std::vector<uint8_t>> blocks;
  for (size_t at = 0; at < contents.size(); at += DECMPFS_BLOCK_SIZE) {
    blocks.push_back(Chunk(codec, storeChunks, contents.data() + at,
                           std::min<size_t>(DECMPFS_BLOCK_SIZE, contents.size() - at)));
  }
  return codec == Codec::Zlib ? ClassicResourceFork(blocks) : OffsetTableFork(blocks);
}

}  // namespace apfsw
