// The decoders of compressed files' chunks: the shared vectors decode exactly, every
// kind's chunk forms decode, and damaged streams fail without writing past the output.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "Compressors.h"
#include "Decmpfs.h"
#include "Lzfse.h"
#include "Lzvn.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

const fs::path VECTORS = fs::path(QUADREL_TESTDATA_DIR).parent_path() / "compression";

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<fs::path> Streams(const std::string& folder, const std::string& extension) {
  std::vector<fs::path> found;
  if (!fs::is_directory(VECTORS / folder)) return found;
  for (const auto& entry : fs::directory_iterator(VECTORS / folder)) {
    if (entry.path().extension() == extension) found.push_back(entry.path());
  }
  return found;
}

// Decodes into a buffer with guard bytes after capacity, which must stay untouched.
constexpr size_t GUARD = 64;
struct Decoded {
  bool ok = false;
  Bytes bytes;
  bool guardIntact = true;
};

template <typename Decode>
Decoded WithGuard(size_t capacity, Decode decode) {
  Bytes out(capacity + GUARD, 0xA5);
  size_t produced = 0;
  Decoded result;
  result.ok = decode(out.data(), capacity, &produced);
  for (size_t i = capacity; i < out.size(); i++) result.guardIntact &= out[i] == 0xA5;
  if (result.ok) result.bytes.assign(out.begin(), out.begin() + produced);
  return result;
}

Decoded Lzvn(const Bytes& in, size_t capacity) {
  return WithGuard(capacity, [&](uint8_t* out, size_t cap, size_t* produced) {
    return LzvnDecode(in.data(), in.size(), out, 0, cap, produced);
  });
}

Decoded Lzfse(const Bytes& in, size_t capacity) {
  return WithGuard(capacity, [&](uint8_t* out, size_t cap, size_t* produced) {
    return LzfseDecode(in.data(), in.size(), out, cap, produced);
  });
}

void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; i++) b.push_back(uint8_t(v >> (8 * i)));
}

Bytes Zlib(const Bytes& plain) {
  uLongf length = compressBound(uLong(plain.size()));
  Bytes out(length);
  compress2(out.data(), &length, plain.data(), uLong(plain.size()), 9);
  out.resize(length);
  return out;
}

#define SKIP_WITHOUT_VECTORS(list) \
  if ((list).empty()) GTEST_SKIP() << "no compression vectors in " << VECTORS << " (shared test data absent)"

}  // namespace

TEST(LzvnDecoder, EveryVectorDecodesExactlyAndNeverPastItsSize) {
  const auto streams = Streams("lzvn", ".lzvn");
  SKIP_WITHOUT_VECTORS(streams);
  for (const fs::path& path : streams) {
    SCOPED_TRACE(path.filename().string());
    const Bytes in = ReadFile(path);
    const Bytes plain = ReadFile(fs::path(path).replace_extension(".plain"));
    const Decoded exact = Lzvn(in, plain.size());
    ASSERT_TRUE(exact.ok);
    EXPECT_EQ(exact.bytes, plain);
    EXPECT_TRUE(exact.guardIntact);
    // One byte less room than the stream needs is an error, never an overrun.
    if (!plain.empty()) {
      const Decoded tight = Lzvn(in, plain.size() - 1);
      EXPECT_FALSE(tight.ok);
      EXPECT_TRUE(tight.guardIntact);
    }
    // A stream cut anywhere before its end-of-stream instruction fails.
    for (size_t cut : {size_t(0), in.size() / 3, in.size() / 2, in.size() - 8}) {
      if (cut > in.size() - 8) continue;  // the end-of-stream instruction starts 8 bytes from the end
      const Bytes truncated(in.begin(), in.begin() + std::min(cut, in.size()));
      const Decoded damaged = Lzvn(truncated, plain.size());
      EXPECT_FALSE(damaged.ok) << "cut at " << cut;
      EXPECT_TRUE(damaged.guardIntact);
    }
  }
}

TEST(LzfseDecoder, EveryVectorDecodesExactlyAndNeverPastItsSize) {
  const auto streams = Streams("lzfse", ".lzfse");
  SKIP_WITHOUT_VECTORS(streams);
  for (const fs::path& path : streams) {
    SCOPED_TRACE(path.filename().string());
    const Bytes in = ReadFile(path);
    const Bytes plain = ReadFile(fs::path(path).replace_extension(".plain"));
    const Decoded exact = Lzfse(in, plain.size());
    ASSERT_TRUE(exact.ok);
    EXPECT_EQ(exact.bytes, plain);
    EXPECT_TRUE(exact.guardIntact);
    const Decoded tight = Lzfse(in, plain.size() - 1);
    EXPECT_FALSE(tight.ok);
    EXPECT_TRUE(tight.guardIntact);
    for (size_t cut : {size_t(3), in.size() / 2, in.size() - 4}) {
      const Decoded damaged = Lzfse(Bytes(in.begin(), in.begin() + cut), plain.size());
      EXPECT_FALSE(damaged.ok) << "cut at " << cut;
      EXPECT_TRUE(damaged.guardIntact);
    }
  }
}

TEST(LzvnDecoder, HandWrittenInstructionsAndDamage) {
  const Bytes eos = {0x06, 0, 0, 0, 0, 0, 0, 0};
  auto stream = [&](Bytes body) {
    body.insert(body.end(), eos.begin(), eos.end());
    return body;
  };
  // Literals "ab", a match of 4 at distance 2, a nop, 2 more at the remembered distance.
  const Decoded decoded = Lzvn(stream({0xE2, 'a', 'b', 0x08, 0x02, 0x0E, 0xF2}), 64);
  ASSERT_TRUE(decoded.ok);
  EXPECT_EQ(std::string(decoded.bytes.begin(), decoded.bytes.end()), "abababab");
  // The same stream needs 8 bytes of room: with 7 it fails.
  EXPECT_FALSE(Lzvn(stream({0xE2, 'a', 'b', 0x08, 0x02, 0x0E, 0xF2}), 7).ok);

  const std::vector<std::pair<const char*, Bytes>> damaged = {
      {"distance before the start", stream({0xE1, 'a', 0x08, 0x05})},
      {"distance 0", stream({0xE1, 'a', 0xA0, 0x00, 0x00})},
      {"remembered distance before any", stream({0xF3})},
      {"undefined instruction", stream({0xE1, 'a', 0x1E})},
      {"undefined instruction 0x70", stream({0xE1, 'a', 0x70})},
      {"more literals than the stream holds", {0xE0, 0xFF, 'a', 'b'}},
      {"operand bytes missing", {0xE1, 'a', 0x07}},
      {"no end of stream", {0xE2, 'a', 'b', 0x08, 0x02}},
      {"empty input", {}},
  };
  for (const auto& [what, bytes] : damaged) {
    const Decoded result = Lzvn(bytes, 64);
    EXPECT_FALSE(result.ok) << what;
    EXPECT_TRUE(result.guardIntact) << what;
  }
}

TEST(LzfseDecoder, StoredLzvnAndEndBlocksAndDamagedHeaders) {
  // A stored block, then an LZVN block whose match reaches into the stored block's output.
  Bytes in = {'b', 'v', 'x', '-'};
  Put32(in, 3);
  in.insert(in.end(), {'x', 'y', 'z'});
  const Bytes lzvn = {0x10, 0x03, 0x06, 0, 0, 0, 0, 0, 0, 0};  // match of 5 at distance 3
  in.insert(in.end(), {'b', 'v', 'x', 'n'});
  Put32(in, 5);
  Put32(in, uint32_t(lzvn.size()));
  in.insert(in.end(), lzvn.begin(), lzvn.end());
  in.insert(in.end(), {'b', 'v', 'x', '$'});
  const Decoded decoded = Lzfse(in, 16);
  ASSERT_TRUE(decoded.ok);
  EXPECT_EQ(std::string(decoded.bytes.begin(), decoded.bytes.end()), "xyzxyzxy");
  EXPECT_FALSE(Lzfse(in, 7).ok);

  Bytes unknown = {'b', 'v', 'x', '?', 0, 0, 0, 0};
  EXPECT_FALSE(Lzfse(unknown, 16).ok);
  Bytes noEnd(in.begin(), in.end() - 4);
  EXPECT_FALSE(Lzfse(noEnd, 16).ok);
  Bytes storedTooLong = {'b', 'v', 'x', '-'};
  Put32(storedTooLong, 1000);
  EXPECT_FALSE(Lzfse(storedTooLong, 2000).ok);
  // A packed header whose size lies beyond the stream, or whose states are out of range.
  Bytes packed = {'b', 'v', 'x', '2'};
  Put32(packed, 4);
  packed.resize(40, 0);
  packed[24] = 0xFF;  // header size 255
  EXPECT_FALSE(Lzfse(packed, 16).ok);
  const auto streams = Streams("lzfse", ".lzfse");
  for (const fs::path& path : streams) {
    // Flipping bytes of the headers and payloads gives errors or other bytes, never overruns.
    const Bytes original = ReadFile(path);
    const Bytes plain = ReadFile(fs::path(path).replace_extension(".plain"));
    for (size_t at = 4; at < original.size(); at += original.size() / 41 + 1) {
      Bytes flipped = original;
      flipped[at] ^= 0x5A;
      EXPECT_TRUE(Lzfse(flipped, plain.size()).guardIntact) << path.filename() << " byte " << at;
    }
  }
}

// The image writer's LZFSE streams (the test images' compressed files) decode exactly in
// every shape its encoder takes: one LZVN block below 4 KiB; above, entropy-coded blocks
// split at a Mac's limits of literals and matches, runs of literals and matches longer than
// one triple holds, repeated distances and matches into earlier blocks.
TEST(LzfseDecoder, WriterStreamsOfEveryShapeDecodeExactly) {
  std::mt19937 random(3);
  const auto words = [&](size_t size) {
    const char* pool[] = {"apfs ", "chunk ", "stream ", "of ", "the ", "writer ", "quadrel ", "\n"};
    std::string text;
    while (text.size() < size) text += pool[random() % 8];
    return Bytes(text.begin(), text.begin() + size);
  };
  Bytes noise(65536);
  for (uint8_t& b : noise) b = uint8_t(random());
  Bytes text = words(300000);
  Bytes textAfterNoise = noise;
  textAfterNoise.insert(textAfterNoise.end(), text.begin(), text.begin() + 20000);
  const struct {
    const char* name;
    Bytes plain;
    size_t minBlocks;
  } cases[] = {{"small", words(3000), 0},      {"noise", noise, 2},          {"zeros", Bytes(200000, 0), 1},
               {"text", text, 2},              {"noise then text", textAfterNoise, 2}, {"one byte", Bytes(1, 7), 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes stream = apfsw::LzfseCompress(c.plain.data(), c.plain.size());
    const Decoded decoded = Lzfse(stream, c.plain.size());
    ASSERT_TRUE(decoded.ok);
    EXPECT_TRUE(decoded.bytes == c.plain);
    const std::string asText(stream.begin(), stream.end());
    size_t blocks = 0;
    for (size_t at = asText.find("bvx2"); at != std::string::npos; at = asText.find("bvx2", at + 1)) blocks++;
    EXPECT_GE(blocks, c.minBlocks);
    EXPECT_EQ(asText.find("bvxn") == 0, c.minBlocks == 0);
  }
}

// A block may not declare more matches than the bytes it decodes to: with tables whose
// every value takes no bits, each match would decode to nothing, and a header's 32-bit
// count would keep the decoder busy for billions of them.
TEST(LzfseDecoder, MoreMatchesThanBytesIsDamage) {
  Bytes in = {'b', 'v', 'x', '1'};
  in.resize(770, 0);
  const auto put16 = [&](size_t at, uint16_t v) { in[at] = uint8_t(v), in[at + 1] = uint8_t(v >> 8); };
  in[16] = in[17] = in[18] = in[19] = 0xFF;  // matches
  put16(50, 64);                               // the first length symbol takes every state
  put16(90, 64);                               // so does the first match length
  put16(130, 256);                             // and the first distance
  put16(258, 1024);                            // and the first literal
  in.insert(in.end(), {'b', 'v', 'x', '$'});
  EXPECT_FALSE(Lzfse(in, 16).ok);
  in[16] = in[17] = in[18] = in[19] = 0;  // no matches: an empty block
  EXPECT_TRUE(Lzfse(in, 16).ok);
}

// Inputs the fuzzers found faults with, kept in their corpus folders: each decodes or
// fails cleanly under the sanitizers.
TEST(LzfseDecoder, FuzzerFindingsStayFixed) {
  const fs::path corpus = fs::path(QUADREL_SOURCE_DIR) / "tests/fuzz/corpus/lzfse";
  // A block without literals whose matches still copy "no literals" from an empty buffer.
  const Bytes input = ReadFile(corpus / "matches-without-literals");
  ASSERT_GT(input.size(), 2u);
  const size_t capacity = input[0] | input[1] << 8;
  const Decoded result = Lzfse(Bytes(input.begin() + 2, input.end()), capacity);
  EXPECT_TRUE(result.guardIntact);
}

TEST(DecmpfsChunks, EveryKindAndItsStoredForm) {
  Bytes plain(5000);
  for (size_t i = 0; i < plain.size(); i++) plain[i] = uint8_t("compressible "[i % 13]);
  Bytes out(plain.size());
  // zlib, and a zlib chunk stored without compression behind 0xFF.
  const DecmpfsKind zlib = DecmpfsKindOf(4);
  const Bytes deflated = Zlib(plain);
  ASSERT_TRUE(DecmpfsDecodeChunk(zlib, deflated.data(), deflated.size(), out.data(), out.size()));
  EXPECT_EQ(out, plain);
  Bytes stored = {0xFF};
  stored.insert(stored.end(), plain.begin(), plain.end());
  std::fill(out.begin(), out.end(), 0);
  ASSERT_TRUE(DecmpfsDecodeChunk(zlib, stored.data(), stored.size(), out.data(), out.size()));
  EXPECT_EQ(out, plain);
  // A chunk that decodes to fewer or more bytes than the file says is damaged.
  EXPECT_FALSE(DecmpfsDecodeChunk(zlib, deflated.data(), deflated.size(), out.data(), out.size() - 1));
  EXPECT_FALSE(DecmpfsDecodeChunk(zlib, deflated.data(), deflated.size() - 3, out.data(), out.size()));
  // LZVN's stored marker is its end-of-stream byte; LZFSE's and raw's differ.
  stored[0] = 0x06;
  EXPECT_TRUE(DecmpfsDecodeChunk(DecmpfsKindOf(8), stored.data(), stored.size(), out.data(), out.size()));
  EXPECT_FALSE(DecmpfsDecodeChunk(DecmpfsKindOf(12), stored.data(), stored.size(), out.data(), out.size()));
  stored[0] = 0xCC;
  EXPECT_TRUE(DecmpfsDecodeChunk(DecmpfsKindOf(10), stored.data(), stored.size(), out.data(), out.size()));
  EXPECT_TRUE(DecmpfsDecodeChunk(DecmpfsKindOf(9), stored.data(), stored.size(), out.data(), out.size()));
  EXPECT_TRUE(DecmpfsDecodeChunk(DecmpfsKindOf(1), plain.data(), plain.size(), out.data(), out.size()));
  EXPECT_FALSE(DecmpfsDecodeChunk(DecmpfsKindOf(10), plain.data(), plain.size(), out.data(), out.size()));

  EXPECT_EQ(DecmpfsKindOf(13).algorithm, DecmpfsAlgorithm::Unsupported);
  EXPECT_EQ(DecmpfsKindOf(5).algorithm, DecmpfsAlgorithm::Unsupported);
  EXPECT_TRUE(DecmpfsKindOf(0x80000001).dataless);
  EXPECT_EQ(DecmpfsDescribe(DecmpfsKindOf(8)), "LZVN in the resource fork (type 8)");
  EXPECT_EQ(DecmpfsDescribe(DecmpfsKindOf(11)), "LZFSE inline (type 11)");
}

TEST(DecmpfsChunks, ChunkTablesAreCheckedAgainstTheFork) {
  // Offset table of three chunks in a 1,526-byte fork.
  Bytes table;
  for (uint32_t offset : {16u, 560u, 1104u, 1526u}) Put32(table, offset);
  std::vector<ChunkSpan> chunks;
  ASSERT_TRUE(DecmpfsParseTable(DecmpfsKindOf(8), table.data(), 1526, 3, &chunks));
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[1].offset, 560u);
  EXPECT_EQ(chunks[2].length, 422u);
  EXPECT_FALSE(DecmpfsParseTable(DecmpfsKindOf(8), table.data(), 1500, 3, &chunks)) << "past the fork";
  Bytes backwards = table;
  backwards[4] = 0xFF, backwards[5] = 0x07;  // chunk 1 starts after it ends
  EXPECT_FALSE(DecmpfsParseTable(DecmpfsKindOf(12), backwards.data(), 1526, 3, &chunks));
  Bytes intoTable = table;
  intoTable[0] = 8;  // chunk 0 overlaps the table
  EXPECT_FALSE(DecmpfsParseTable(DecmpfsKindOf(12), intoTable.data(), 1526, 3, &chunks));
  EXPECT_FALSE(DecmpfsParseTable(DecmpfsKindOf(8), table.data(), 12, 3, &chunks)) << "table longer than the fork";

  // The zlib fork: count at 0x104, then offsets relative to it.
  Bytes fork(0x108 + 16, 0);
  fork[0x104] = 2;
  fork[0x108] = 20, fork[0x10C] = 100;
  fork[0x110] = 120, fork[0x114] = 50;
  ASSERT_TRUE(DecmpfsParseTable(DecmpfsKindOf(4), fork.data(), 0x104 + 170, 2, &chunks));
  EXPECT_EQ(chunks[0].offset, 0x104u + 20);
  EXPECT_EQ(chunks[1].length, 50u);
  EXPECT_FALSE(DecmpfsParseTable(DecmpfsKindOf(4), fork.data(), 0x104 + 169, 2, &chunks));
  EXPECT_FALSE(DecmpfsParseTable(DecmpfsKindOf(4), fork.data(), 0x104 + 170, 3, &chunks)) << "count disagrees";

  EXPECT_EQ(DecmpfsChunkCount(0), 0u);
  EXPECT_EQ(DecmpfsChunkCount(65536), 1u);
  EXPECT_EQ(DecmpfsChunkCount(65537), 2u);
  EXPECT_EQ(DecmpfsChunkLength(65537, 1), 1u);
}
