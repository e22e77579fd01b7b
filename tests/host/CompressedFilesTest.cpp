// Compressed files read as their bytes: every compression kind the writer makes, of every
// size, through the volume reader at any offset and through quadrel cat and get; damaged
// and unknown kinds fail by name while the rest of the volume reads.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "Failure.h"
#include "HostTestSupport.h"
#include "VolumeReader.h"

namespace {

using namespace hosttest;

// Text that compresses, then a stretch of random bytes that does not (its chunk is
// stored uncompressed), then text again.
std::string MixedContents(size_t size) {
  std::string bytes;
  std::mt19937 random(7);
  const char* words[] = {"chunk ", "table ", "resource ", "fork ", "quadrel ", "reads ", "every ", "kind\n"};
  while (bytes.size() < size) {
    if (bytes.size() >= 70000 && bytes.size() < 140000) {
      bytes.push_back(char(random()));
    } else {
      bytes += words[random() % 8];
    }
  }
  bytes.resize(size);
  return bytes;
}

struct Case {
  std::string name;
  std::string compression;  // the manifest's placement
  std::string codec;
  size_t size;
  bool storeChunks = false;
};

std::vector<Case> Cases() {
  std::vector<Case> cases;
  for (const std::string codec : {"zlib", "lzvn", "lzfse", "raw"}) {
    cases.push_back({codec + "-inline-empty", "decmpfs", codec, 0});
    cases.push_back({codec + "-inline-1", "decmpfs", codec, 1});
    cases.push_back({codec + "-inline-small", "decmpfs", codec, size_t(codec == "raw" ? 3000 : 3500)});
    cases.push_back({codec + "-inline-stream", "decmpfs-stream", codec, 65536});
    cases.push_back({codec + "-fork-empty", "resource-fork", codec, 0});
    cases.push_back({codec + "-fork-one-chunk", "resource-fork", codec, 5000});
    cases.push_back({codec + "-fork-whole-chunks", "resource-fork", codec, 3 * 65536});
    cases.push_back({codec + "-fork-partial-last", "resource-fork", codec, 200000});
    cases.push_back({codec + "-fork-stored", "resource-fork", codec, 140000, true});
  }
  return cases;
}

class CompressedFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string entries;
    for (const Case& c : Cases()) {
      const fs::path source = dir_ / (c.name + ".src");
      std::ofstream(source, std::ios::binary) << MixedContents(c.size);
      entries += std::string(entries.empty() ? "" : ",\n") + R"({"name": ")" + c.name + R"(", "source": ")" +
                 source.string() + R"(", "compression": ")" + c.compression + R"(", "codec": ")" + c.codec +
                 R"(", "storeChunks": )" + (c.storeChunks ? "true" : "false") + "}";
    }
    WriteImage(R"({"volumes": [{"name": "Packed", "entries": [)" + entries + "]}]}", image_);
  }

  ScratchDir dir_;
  fs::path image_ = dir_ / "compressed.img";
};

TEST_F(CompressedFiles, EveryKindAndSizeReadsExactlyAtAnyOffset) {
  ApfsImage image(image_.string());
  VolumeReader volume(image, -1);
  auto session = volume.Borrow();
  std::mt19937 random(11);
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    const std::string expected = MixedContents(c.size);
    NodeRef node = session->Resolve("/" + c.name);
    const PosixStat st = session->Stat(node.inode());
    EXPECT_TRUE(st.compressed);
    ASSERT_EQ(st.size, c.size);
    // Sequentially, in reads that straddle chunk boundaries.
    std::string whole(c.size, '\0');
    for (size_t at = 0; at < c.size;) at += session->Read(node.inode(), at, whole.data() + at, std::min<size_t>(50000, c.size - at));
    EXPECT_TRUE(whole == expected);
    // Then at random offsets and lengths, backwards and forwards, and past the end.
    for (int i = 0; i < 40 && c.size > 0; i++) {
      const size_t offset = random() % c.size;
      const size_t length = random() % 70000 + 1;
      std::string part(length, '\0');
      part.resize(session->Read(node.inode(), offset, part.data(), length));
      ASSERT_EQ(part, expected.substr(offset, length)) << "offset " << offset << " length " << length;
    }
    char byte;
    EXPECT_EQ(session->Read(node.inode(), c.size, &byte, 1), 0u);
  }
  NodeRef fork = session->Resolve("/lzvn-fork-partial-last");
  EXPECT_EQ(session->CompressionKind(fork.inode()), "LZVN in the resource fork (type 8)");
  NodeRef inlineFile = session->Resolve("/lzfse-inline-small");
  EXPECT_EQ(session->CompressionKind(inlineFile.inode()), "LZFSE inline (type 11)");
}

TEST_F(CompressedFiles, CatAndGetGiveTheFilesBytes) {
  ScratchDir out;
  const Result get = Quadrel({"get", image_.string(), "/", (out / "tree").string()});
  ASSERT_EQ(get.status, 0) << get.err;
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    const std::string expected = MixedContents(c.size);
    const Result cat = Quadrel({"cat", image_.string(), "/" + c.name});
    EXPECT_EQ(cat.status, 0) << cat.err;
    EXPECT_EQ(Sha256(cat.out), Sha256(expected));
    EXPECT_EQ(FileSha256(out / "tree" / c.name), Sha256(expected));
  }
  const Result stat = Quadrel({"stat", image_.string(), "/zlib-fork-stored"});
  EXPECT_NE(stat.out.find("Codec:     zlib in the resource fork (type 4)"), std::string::npos) << stat.out;
  const Result listed = Quadrel({"ls", "--json", image_.string(), "/"});
  EXPECT_NE(listed.out.find(R"x("compression": "zlib in the resource fork (type 4)")x"), std::string::npos) << listed.out;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char pair[3];
  for (uint8_t b : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", b);
    text += pair;
  }
  return text;
}

std::vector<uint8_t> Header(uint32_t type, uint64_t size) {
  std::vector<uint8_t> h = {'f', 'p', 'm', 'c'};
  for (int i = 0; i < 4; i++) h.push_back(uint8_t(type >> (8 * i)));
  for (int i = 0; i < 8; i++) h.push_back(uint8_t(size >> (8 * i)));
  return h;
}

// A file flagged compressed whose header and resource fork are given byte for byte.
std::string Crafted(const std::string& name, const std::vector<uint8_t>& header,
                    const std::vector<uint8_t>& fork = {}) {
  std::string entry = R"({"name": ")" + name + R"(", "bsdFlags": 32, "xattrs": [{"name": "com.apple.decmpfs", "hex": ")" +
                      Hex(header) + "\"}";
  if (!fork.empty()) entry += R"(, {"name": "com.apple.ResourceFork", "stream": true, "hex": ")" + Hex(fork) + "\"}";
  return entry + "]}";
}

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(CompressedFileDamage, UnknownKindsAndDamagedChunksFailByNameAndNothingElse) {
  ScratchDir dir;
  const std::vector<uint8_t> garbage = {0x08, 0, 0, 0, 0x14, 0, 0, 0, 0xE5, 'a', 'b', 0x1E, 0x06, 0, 0, 0, 0, 0, 0, 0};
  const std::vector<uint8_t> pastFork = {0x08, 0, 0, 0, 0x00, 0x10, 0, 0, 0x06};
  const std::vector<uint8_t> farBack = {0xE1, 'a', 0x08, 0x09, 0x06, 0, 0, 0, 0, 0, 0, 0};
  const std::string entries = Crafted("lzbitmap", Header(13, 10)) + ", " + Crafted("unknown", Header(99, 10)) +
                              ", " + Crafted("bad-chunk", Header(8, 100), garbage) + ", " +
                              Crafted("bad-table", Header(8, 100), pastFork) + ", " +
                              Crafted("distance-before-start", Concat(Header(7, 5), farBack)) + ", " +
                              Crafted("wrong-length", Concat(Header(7, 50), farBack)) + ", " +
                              Crafted("says-empty", Concat(Header(7, 0), farBack)) + ", " +
                              Crafted("no-fork", Header(12, 70000)) + R"(, {"name": "plain.txt", "text": "still here"})";
  WriteImage(R"({"volumes": [{"name": "Damaged", "entries": [)" + entries + "]}]}", dir / "damaged.img");
  const std::string image = (dir / "damaged.img").string();
  struct Expect {
    const char* path;
    int status;
    const char* message;
  };
  const Expect expectations[] = {
      {"/lzbitmap", 8, "compression not supported: LZBITMAP (type 13)"},
      {"/unknown", 8, "compression not supported: unknown (type 99)"},
      {"/bad-chunk", 5, "(LZVN in the resource fork (type 8)): chunk 0 damaged"},
      {"/bad-table", 5, "(LZVN in the resource fork (type 8)): chunk table damaged"},
      {"/distance-before-start", 5, "(LZVN inline (type 7)): chunk 0 damaged"},
      {"/wrong-length", 5, "chunk 0 damaged"},
      {"/no-fork", 5, "(LZFSE in the resource fork (type 12)): no resource fork"},
  };
  for (const Expect& e : expectations) {
    const Result r = Quadrel({"cat", image, e.path});
    EXPECT_EQ(r.status, e.status) << e.path << ": " << r.err;
    EXPECT_NE(r.err.find(e.message), std::string::npos) << e.path << ": " << r.err;
  }
  const Result empty = Quadrel({"cat", image, "/says-empty"});
  EXPECT_EQ(empty.status, 0) << empty.err;
  EXPECT_EQ(empty.out, "");
  EXPECT_EQ(Quadrel({"cat", image, "/plain.txt"}).out, "still here");
  const Result stat = Quadrel({"stat", image, "/lzbitmap"});
  EXPECT_EQ(stat.status, 0) << stat.err;
  EXPECT_NE(stat.out.find("Codec:     LZBITMAP (type 13)"), std::string::npos) << stat.out;
}

}  // namespace
