// One compressed file's chunk of any kind, and the chunk tables of its resource fork: the
// input's first two bytes give the chunk's length, the third the kind, the rest is the
// chunk, and the whole input is also read as a resource fork.
#include "Decmpfs.h"
#include "FuzzDecompress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const DecmpfsKind kind = DecmpfsKindOf(data[2] % 16);
  // A chunk decodes to exactly its length or fails, so only the guard is checked here.
  const size_t length = (size_t(data[0]) | size_t(data[1]) << 8) % (DECMPFS_CHUNK_SIZE + 1);
  std::vector<uint8_t> decoded;
  fuzzdecompress::Checked(
      [&](const uint8_t* in, size_t inLength, uint8_t* out, size_t capacity, size_t* produced) {
        *produced = capacity;
        return DecmpfsDecodeChunk(kind, in, inLength, out, capacity);
      },
      data + 3, size - 3, length, &decoded);
  const uint64_t fileSize = (uint64_t(data[0]) | uint64_t(data[1]) << 8) * 97;
  const uint64_t count = DecmpfsChunkCount(fileSize);
  std::vector<ChunkSpan> chunks;
  if (DecmpfsTableBytes(kind, count) <= size && DecmpfsParseTable(kind, data, size, count, &chunks)) {
    for (const ChunkSpan& c : chunks) {
      if (c.offset > size || c.length > size - c.offset) __builtin_trap();
    }
  }
  return 0;
}
