// Transparently compressed files: the "com.apple.decmpfs" header, the kinds of compression
// it names, the chunk tables of the resource-fork kinds and the decoding of one chunk.
// Every function works on bytes the caller has read; nothing here reads a volume.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t DECMPFS_CHUNK_SIZE = 0x10000;  // uncompressed bytes per chunk
constexpr size_t DECMPFS_HEADER_BYTES = 16;
// A chunk's stored bytes are read whole; no encoder makes one this large.
constexpr uint64_t DECMPFS_MAX_CHUNK_INPUT = 1 << 20;

enum class DecmpfsAlgorithm { Unsupported, Stored, Zlib, Lzvn, Lzfse };

struct DecmpfsKind {
  uint32_t type = 0;
  DecmpfsAlgorithm algorithm = DecmpfsAlgorithm::Unsupported;
  bool inResourceFork = false;  // chunks in "com.apple.ResourceFork", else inline in the header
  bool dataless = false;        // contents stored elsewhere
  const char* name = "unknown";
};

struct DecmpfsHeader {
  DecmpfsKind kind;
  uint64_t size = 0;  // uncompressed bytes
};

// What type number stands for, supported or not.
DecmpfsKind DecmpfsKindOf(uint32_t type);
// "LZVN in the resource fork (type 8)" and the like, for messages.
std::string DecmpfsDescribe(const DecmpfsKind& kind);
// Parses the header at the start of the attribute; false when it is short or its magic
// is wrong.
bool DecmpfsParseHeader(const uint8_t* attribute, size_t length, DecmpfsHeader* header);

uint64_t DecmpfsChunkCount(uint64_t size);
// Uncompressed bytes of chunk index of a file of size bytes.
uint32_t DecmpfsChunkLength(uint64_t size, uint64_t index);

// Where one chunk's stored bytes lie in the resource fork.
struct ChunkSpan {
  uint64_t offset;
  uint64_t length;
};

// Bytes at the start of the resource fork that hold its chunk table.
uint64_t DecmpfsTableBytes(const DecmpfsKind& kind, uint64_t chunkCount);
// Reads the chunk table from the first DecmpfsTableBytes bytes of a fork of forkSize bytes.
// False unless it lists chunkCount chunks, each inside the fork and of a readable length.
bool DecmpfsParseTable(const DecmpfsKind& kind, const uint8_t* table, uint64_t forkSize, uint64_t chunkCount,
                       std::vector<ChunkSpan>* chunks);

// Decodes one chunk's stored bytes into exactly length bytes at out: a chunk marked as
// stored without compression is copied, any other decoded with the kind's algorithm.
// False when the chunk is damaged or does not decode to exactly length bytes.
bool DecmpfsDecodeChunk(const DecmpfsKind& kind, const uint8_t* in, size_t inLength, uint8_t* out, size_t length);
