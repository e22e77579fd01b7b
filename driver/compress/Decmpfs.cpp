#include "Decmpfs.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "Lzfse.h"
#include "Lzvn.h"

namespace {

constexpr uint32_t DECMPFS_MAGIC = 0x636D7066;  // "fpmc"
// The zlib kind's fork is a classic resource fork: a 256-byte head, then the resource
// whose body holds the chunk count and the chunk table.
constexpr uint64_t ZLIB_FORK_COUNT_AT = 0x104;
constexpr uint64_t ZLIB_FORK_TABLE_AT = 0x108;

uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// The first byte a chunk starts with when it was stored without compression.
uint8_t StoredMarker(DecmpfsAlgorithm algorithm) {
  switch (algorithm) {
    case DecmpfsAlgorithm::Lzvn:
      return 0x06;  // LZVN's end of stream: no compressed chunk starts with it
    case DecmpfsAlgorithm::Stored:
      return 0xCC;
    default:
      return 0xFF;  // starts neither a zlib nor an LZFSE stream
  }
}

bool Inflate(const uint8_t* in, size_t inLength, uint8_t* out, size_t length) {
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return false;
  stream.next_in = const_cast<Bytef*>(in);
  stream.avail_in = uInt(inLength);
  stream.next_out = out;
  stream.avail_out = uInt(length);
  const int result = inflate(&stream, Z_FINISH);
  const bool whole = result == Z_STREAM_END && stream.total_out == length;
  inflateEnd(&stream);
  return whole;
}

bool Decompress(DecmpfsAlgorithm algorithm, const uint8_t* in, size_t inLength, uint8_t* out, size_t length) {
  size_t produced = 0;
  switch (algorithm) {
    case DecmpfsAlgorithm::Zlib:
      return Inflate(in, inLength, out, length);
    case DecmpfsAlgorithm::Lzvn:
      return LzvnDecode(in, inLength, out, 0, length, &produced) && produced == length;
    case DecmpfsAlgorithm::Lzfse:
      return LzfseDecode(in, inLength, out, length, &produced) && produced == length;
    default:
      return false;
  }
}

bool ParseOffsetTable(const uint8_t* table, uint64_t forkSize, uint64_t chunkCount, std::vector<ChunkSpan>* chunks) {
  for (uint64_t i = 0; i < chunkCount; i++) {
    const uint64_t start = Le32(table + 4 * i), end = Le32(table + 4 * (i + 1));
    if (start < 4 * (chunkCount + 1) || end < start || end > forkSize) return false;
    chunks->push_back({start, end - start});
  }
  return true;
}

bool ParseZlibTable(const uint8_t* fork, uint64_t forkSize, uint64_t chunkCount, std::vector<ChunkSpan>* chunks) {
  if (Le32(fork + ZLIB_FORK_COUNT_AT) != chunkCount) return false;
  for (uint64_t i = 0; i < chunkCount; i++) {
    const uint8_t* entry = fork + ZLIB_FORK_TABLE_AT + 8 * i;
    const uint64_t start = ZLIB_FORK_COUNT_AT + Le32(entry), length = Le32(entry + 4);
    if (start > forkSize || length > forkSize - start) return false;
    chunks->push_back({start, length});
  }
  return true;
}

}  // namespace

DecmpfsKind DecmpfsKindOf(uint32_t type) {
  DecmpfsKind kind;
  kind.type = type;
  kind.inResourceFork = type % 2 == 0;
  switch (type) {
    case 1:
    case 9:
    case 10:
      kind.algorithm = DecmpfsAlgorithm::Stored;
      kind.name = "uncompressed";
      break;
    case 3:
    case 4:
      kind.algorithm = DecmpfsAlgorithm::Zlib;
      kind.name = "zlib";
      break;
    case 7:
    case 8:
      kind.algorithm = DecmpfsAlgorithm::Lzvn;
      kind.name = "LZVN";
      break;
    case 11:
    case 12:
      kind.algorithm = DecmpfsAlgorithm::Lzfse;
      kind.name = "LZFSE";
      break;
    case 13:
    case 14:
      kind.name = "LZBITMAP";
      break;
    default:
      kind.dataless = type >= 0x80000000u;
      if (kind.dataless) kind.name = "dataless";
      kind.inResourceFork = false;
      break;
  }
  return kind;
}

std::string DecmpfsDescribe(const DecmpfsKind& kind) {
  std::string text = kind.name;
  if (kind.algorithm != DecmpfsAlgorithm::Unsupported) text += kind.inResourceFork ? " in the resource fork" : " inline";
  return text + " (type " + std::to_string(kind.type) + ")";
}

bool DecmpfsParseHeader(const uint8_t* attribute, size_t length, DecmpfsHeader* header) {
  if (length < DECMPFS_HEADER_BYTES || Le32(attribute) != DECMPFS_MAGIC) return false;
  header->kind = DecmpfsKindOf(Le32(attribute + 4));
  header->size = uint64_t(Le32(attribute + 8)) | uint64_t(Le32(attribute + 12)) << 32;
  return true;
}

uint64_t DecmpfsChunkCount(uint64_t size) { return size / DECMPFS_CHUNK_SIZE + (size % DECMPFS_CHUNK_SIZE != 0); }

uint32_t DecmpfsChunkLength(uint64_t size, uint64_t index) {
  const uint64_t start = index * DECMPFS_CHUNK_SIZE;
  return start >= size ? 0 : uint32_t(std::min<uint64_t>(DECMPFS_CHUNK_SIZE, size - start));
}

uint64_t DecmpfsTableBytes(const DecmpfsKind& kind, uint64_t chunkCount) {
  if (kind.algorithm == DecmpfsAlgorithm::Zlib) return ZLIB_FORK_TABLE_AT + 8 * chunkCount;
  return 4 * (chunkCount + 1);
}

bool DecmpfsParseTable(const DecmpfsKind& kind, const uint8_t* table, uint64_t forkSize, uint64_t chunkCount,
                       std::vector<ChunkSpan>* chunks) {
  chunks->clear();
  if (DecmpfsTableBytes(kind, chunkCount) > forkSize) return false;
  const bool parsed = kind.algorithm == DecmpfsAlgorithm::Zlib ? ParseZlibTable(table, forkSize, chunkCount, chunks)
                                                               : ParseOffsetTable(table, forkSize, chunkCount, chunks);
  if (!parsed) return false;
  for (const ChunkSpan& chunk : *chunks) {
    if (chunk.length > DECMPFS_MAX_CHUNK_INPUT) return false;
  }
  return true;
}

bool DecmpfsDecodeChunk(const DecmpfsKind& kind, const uint8_t* in, size_t inLength, uint8_t* out, size_t length) {
  if (length == 0) return true;  // an empty file's chunk, whatever is stored for it
  const uint8_t* from = in;
  if (kind.algorithm == DecmpfsAlgorithm::Stored) {
    // Inline, the file's bytes may also stand without a marker.
    if (kind.inResourceFork || inLength != length) from = in + 1;
  } else if (inLength > 0 && in[0] == StoredMarker(kind.algorithm)) {
    from = in + 1;
  } else {
    return Decompress(kind.algorithm, in, inLength, out, length);
  }
  if (from != in && (inLength == 0 || in[0] != StoredMarker(kind.algorithm))) return false;
  if (size_t(in + inLength - from) != length) return false;
  std::memcpy(out, from, length);
  return true;
}
