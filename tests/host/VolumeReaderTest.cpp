// The volume reader behind the quadrel command and its mount, on images written by the
// image writer: paths, POSIX attributes, data with holes, attributes, failures, and
// many threads reading at once.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "ApfsFormat.h"
#include "Failure.h"
#include "HostTestSupport.h"
#include "VolumeReader.h"

namespace {

using namespace hosttest;

struct Opened {
  ApfsImage image;
  VolumeReader volume;
  explicit Opened(const fs::path& path, int32_t index = -1) : image(path.string()), volume(image, index) {}
};

ExitCode FailureOf(const std::function<void()>& body, std::string* message = nullptr) {
  try {
    body();
  } catch (const ReadFailure& failure) {
    if (message != nullptr) *message = failure.what();
    return failure.code();
  }
  return ExitCode::Ok;
}

std::string ReadAll(Session& session, Inode* inode) {
  const uint64_t size = session.Stat(inode).size;
  std::string bytes(size, '\0');
  EXPECT_EQ(session.Read(inode, 0, bytes.data(), bytes.size()), size);
  return bytes;
}

// The bytes the image writer stores in a file it makes up: 16-byte units of the file's
// inode number and the unit's offset, little-endian.
std::string StampPattern(uint64_t inode, uint64_t size) {
  std::string bytes(size, '\0');
  for (uint64_t i = 0; i < size; i++) {
    const uint64_t word = i % 16 < 8 ? inode : i & ~uint64_t(15);
    bytes[i] = char(word >> (8 * (i % 8)));
  }
  return bytes;
}

std::string WithHole(std::string bytes, size_t from, size_t to) {
  std::fill(bytes.begin() + from, bytes.begin() + to, '\0');
  return bytes;
}

// "" when the two byte strings are equal, else where they first differ (long files
// would flood the log if compared directly).
std::string Difference(const std::string& got, const std::string& expected) {
  if (got == expected) return "";
  const auto mismatch = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
  return "sizes " + std::to_string(got.size()) + " and " + std::to_string(expected.size()) +
         ", first difference at byte " + std::to_string(mismatch.first - got.begin());
}

TEST(VolumeReader, DataSplitIntoExtentsHolesAndClonesReadsBackExactly) {
  ScratchDir dir;
  WriteImage(R"({"volumes": [{"name": "edge", "nodeEntryCap": 8, "entries": [
      {"name": "many", "type": "dir", "generate": {"count": 1500, "prefix": "f", "size": 10}},
      {"name": "split.bin", "size": 300000, "extentBlocks": 2},
      {"name": "tail.bin", "size": 100000, "layout": [{"data": 8192}]},
      {"name": "head.bin", "size": 50000, "layout": [{"hole": 16384}, {"data": 33616}]},
      {"name": "clone.bin", "size": 300000, "cloneOf": "split.bin"}]}]})",
             dir / "edge.img");
  Opened o(dir / "edge.img");
  auto session = o.volume.Borrow();
  auto bytesOf = [&](const std::string& path, uint64_t* inode) {
    NodeRef node = session->Resolve(path);
    *inode = session->Stat(node.inode()).inode;
    return ReadAll(*session, node.inode());
  };
  uint64_t split, tail, head, clone;
  const std::string splitBytes = bytesOf("split.bin", &split);
  const std::string tailBytes = bytesOf("tail.bin", &tail);
  const std::string headBytes = bytesOf("head.bin", &head);
  const std::string cloneBytes = bytesOf("clone.bin", &clone);
  EXPECT_EQ(Difference(splitBytes, StampPattern(split, 300000)), "");
  EXPECT_EQ(Difference(tailBytes, WithHole(StampPattern(tail, 100000), 8192, 100000)), "");
  EXPECT_EQ(Difference(headBytes, WithHole(StampPattern(head, 50000), 0, 16384)), "");
  EXPECT_EQ(Difference(cloneBytes, splitBytes), "") << "a clone shares its source's blocks";
  EXPECT_NE(clone, split);
  size_t listed = 0;
  session->List(session->Resolve("many").get(), [&](Listed&&) { listed++; });
  EXPECT_EQ(listed, 1500u);
  EXPECT_EQ(session->Stat(session->Resolve("many/f1499").inode()).size, 10u);
}

TEST(VolumeReader, HardLinksShareTheInodeAndCountTheirNames) {
  Opened o(SampleImage());
  auto session = o.volume.Borrow();
  NodeRef first = session->Resolve("/Documents/notes.md");
  NodeRef second = session->Resolve("notes-hardlink.md");
  const PosixStat a = session->Stat(first.inode()), b = session->Stat(second.inode());
  EXPECT_EQ(a.inode, b.inode);
  EXPECT_EQ(a.nlink, 2u);
  EXPECT_EQ(b.nlink, 2u);
  EXPECT_EQ(ReadAll(*session, first.inode()), ReadAll(*session, second.inode()));
}

TEST(VolumeReader, PathsResolveWithDotsUnicodeAndFoldedCase) {
  Opened o(SampleImage());
  auto session = o.volume.Borrow();
  const uint64_t notes = session->Stat(session->Resolve("/Documents/notes.md").inode()).inode;
  EXPECT_EQ(session->Stat(session->Resolve("//Documents/./Reports/../notes.md").inode()).inode, notes);
  EXPECT_EQ(session->Stat(session->Resolve("/../Documents/notes.md").inode()).inode, notes);
  // The sample volume is case-insensitive.
  EXPECT_EQ(session->Stat(session->Resolve("/DOCUMENTS/Notes.MD").inode()).inode, notes);
  EXPECT_EQ(ReadAll(*session, session->Resolve("/Ünïcødé/日本語.txt").inode()), "こんにちは\n");
  EXPECT_EQ(session->Stat(session->Resolve("/").inode()).inode, 2u);
  // Decomposed accents (U+0308, U+0301 ...) find the names stored composed.
  const std::string decomposed = "/U\xcc\x88" "n\xc4\xb1\xcc\x88" "c\xc3\xb8" "de\xcc\x81" "/cafe\xcc\x81" ".txt";
  EXPECT_EQ(FailureOf([&] { session->Resolve(decomposed); }), ExitCode::NoSuchPath) << "dotless i is another letter";
  const std::string spelledApart = "/U\xcc\x88" "ni\xcc\x88" "c\xc3\xb8" "de\xcc\x81" "/CAFE\xcc\x81" ".txt";
  EXPECT_EQ(ReadAll(*session, session->Resolve(spelledApart).inode()), "un café, s'il vous plaît\n");
}

TEST(VolumeReader, CaseSensitiveVolumesStillIgnoreHowAccentsAreComposed) {
  ScratchDir dir;
  WriteImage(R"({"volumes": [{"name": "cs", "caseInsensitive": false, "normalizationInsensitive": true,
                 "entries": [{"name": "cafe\u0301.txt", "text": "decomposed"}]}]})",
             dir / "cs.img");
  Opened o(dir / "cs.img");
  auto session = o.volume.Borrow();
  EXPECT_EQ(ReadAll(*session, session->Resolve("caf\xc3\xa9" ".txt").inode()), "decomposed");
  EXPECT_EQ(FailureOf([&] { session->Resolve("CAF\xc3\x89" ".txt"); }), ExitCode::NoSuchPath);
}

TEST(VolumeReader, MissingPathsAndPathsThroughFilesAreNamed) {
  Opened o(SampleImage());
  auto session = o.volume.Borrow();
  std::string message;
  EXPECT_EQ(FailureOf([&] { session->Resolve("/Documents/absent.txt"); }, &message), ExitCode::NoSuchPath);
  EXPECT_EQ(message, "no such file: /Documents/absent.txt");
  EXPECT_EQ(FailureOf([&] { session->Resolve("/README.txt/inside"); }, &message), ExitCode::NoSuchPath);
  EXPECT_EQ(message, "not a directory: /README.txt/inside");
  EXPECT_EQ(FailureOf([&] { session->Resolve("/" + std::string(256, 'a')); }), ExitCode::NoSuchPath);
}

TEST(VolumeReader, SparseFilesReadZerosInTheirHolesAndReportTheRuns) {
  Opened o(SampleImage());
  auto session = o.volume.Borrow();
  NodeRef node = session->Resolve("/sparse.bin");
  const PosixStat st = session->Stat(node.inode());
  ASSERT_EQ(st.size, 1048576u);
  std::vector<Session::Run> runs;
  session->ForEachRun(node.inode(), 0, st.size, [&](const Session::Run& r) {
    runs.push_back(r);
    return true;
  });
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_LT(runs[0].physical, 0);
  EXPECT_EQ(runs[0].length, 524288u);
  EXPECT_GE(runs[1].physical, 0);
  EXPECT_EQ(runs[1].length, 8192u);
  EXPECT_LT(runs[2].physical, 0);
  const std::string bytes = ReadAll(*session, node.inode());
  EXPECT_EQ(Difference(bytes.substr(0, 524288), std::string(524288, '\0')), "");
  EXPECT_EQ(Difference(bytes.substr(532480), std::string(516096, '\0')), "");
  EXPECT_NE(bytes.substr(524288, 8192), std::string(8192, '\0'));
}

TEST(VolumeReader, ReadsAtAnyOffsetAgreeWithTheWholeFile) {
  Opened o(SampleImage());
  auto session = o.volume.Borrow();
  NodeRef node = session->Resolve("/large.bin");
  Inode* inode = node.inode();
  const std::string whole = ReadAll(*session, inode);
  ASSERT_EQ(Difference(whole, StampPattern(session->Stat(inode).inode, 4194304)), "");
  std::mt19937_64 random(7);
  for (int i = 0; i < 200; i++) {
    const uint64_t offset = random() % (whole.size() + 100);
    std::string part(random() % 20000, '\0');
    const size_t got = session->Read(inode, offset, part.data(), part.size());
    ASSERT_EQ(got, offset >= whole.size() ? 0 : std::min<uint64_t>(part.size(), whole.size() - offset));
    EXPECT_EQ(Difference(part.substr(0, got), whole.substr(std::min<uint64_t>(offset, whole.size()), got)), "")
        << offset;
  }
}

TEST(VolumeReader, SymlinksXattrsAndCompressedFiles) {
  Opened o(SampleImage());
  auto session = o.volume.Borrow();
  NodeRef link = session->Resolve("/link-to-notes");
  EXPECT_EQ(session->SymlinkTarget(link.inode()), "Documents/notes.md");
  EXPECT_EQ(session->Stat(link.inode()).size, 18u);
  EXPECT_TRUE(session->Xattrs(link.inode()).empty()) << "the target attribute is the file system's own";

  NodeRef notes = session->Resolve("/Documents/notes.md");
  std::vector<std::string> names;
  for (const Xattr& x : session->Xattrs(notes.inode())) names.push_back(x.name);
  EXPECT_EQ(names, (std::vector<std::string>{"com.example.reviewed", "com.example.thumbnail", "user.colour"}));
  const std::vector<uint8_t> thumbnail = session->XattrValue(notes.inode(), "com.example.thumbnail");
  ASSERT_EQ(thumbnail.size(), 3000u);
  for (size_t i = 0; i < thumbnail.size(); i++) ASSERT_EQ(thumbnail[i], uint8_t(i * 7 + 1)) << i;
  const std::vector<uint8_t> reviewed = session->XattrValue(notes.inode(), "com.example.reviewed");
  EXPECT_EQ(std::string(reviewed.begin(), reviewed.end()), "2026-12-09");
  EXPECT_EQ(FailureOf([&] { session->XattrValue(notes.inode(), "absent"); }), ExitCode::NoSuchPath);

  NodeRef compressed = session->Resolve("/compressed.txt");
  const PosixStat st = session->Stat(compressed.inode());
  EXPECT_TRUE(st.compressed);
  const std::string expected = SAMPLE_COMPRESSED_TEXT;
  EXPECT_EQ(st.size, expected.size()) << "listed with its uncompressed size";
  std::string read(expected.size() + 10, '\0');
  read.resize(session->Read(compressed.inode(), 0, read.data(), read.size()));
  EXPECT_EQ(read, expected);
  EXPECT_EQ(session->CompressionKind(compressed.inode()), "zlib inline (type 3)");
}

TEST(VolumeReader, ThreadsReadingAtOnceEachGetTheirOwnSession) {
  Opened o(SampleImage());
  std::string expected;
  {
    auto session = o.volume.Borrow();
    expected = ReadAll(*session, session->Resolve("/large.bin").inode());
  }
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; t++) {
    threads.emplace_back([&, t] {
      std::mt19937_64 random(t);
      for (int i = 0; i < 60; i++) {
        auto session = o.volume.Borrow();
        NodeRef node = session->Resolve(i % 2 ? "/large.bin" : "/Documents/../large.bin");
        const uint64_t offset = random() % expected.size();
        std::string part(65536, '\0');
        const size_t got = session->Read(node.inode(), offset, part.data(), part.size());
        if (part.substr(0, got) != expected.substr(offset, got)) mismatches++;
        session->List(session->Resolve("/Ünïcødé").get(), [](Listed&&) {});
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(VolumeReader, DevicesSocketsAndSeveralVolumes) {
  ScratchDir dir;
  WriteImage(R"({"volumes": [
      {"name": "first", "role": "system", "entries": [{"name": "a.txt", "text": "first"}]},
      {"name": "second", "role": "data", "caseInsensitive": false, "entries": [
        {"name": "tty", "type": "chardev", "rdev": 83886081},
        {"name": "disk", "type": "blockdev", "rdev": 134217744},
        {"name": "sock", "type": "socket"}]}]})",
             dir / "two.img");
  ApfsImage image((dir / "two.img").string());
  const std::vector<VolumeSummary> volumes = image.volumes();
  ASSERT_EQ(volumes.size(), 2u);
  EXPECT_EQ(volumes[0].name, "first");
  EXPECT_EQ(volumes[0].role, "system");
  EXPECT_EQ(volumes[1].role, "data");
  EXPECT_TRUE(volumes[1].caseSensitive);
  EXPECT_FALSE(volumes[0].isDefault);
  EXPECT_TRUE(volumes[1].isDefault) << "the data volume is the default";
  VolumeReader second(image, 1);
  auto session = second.Borrow();
  const PosixStat tty = session->Stat(session->Resolve("tty").inode());
  EXPECT_EQ(tty.mode & S_IFMT_MASK, MODE_CHR);
  EXPECT_EQ(tty.rdevMajor, 5u);
  EXPECT_EQ(tty.rdevMinor, 1u);
  const PosixStat disk = session->Stat(session->Resolve("disk").inode());
  EXPECT_EQ(disk.mode & S_IFMT_MASK, MODE_BLK);
  EXPECT_EQ(disk.rdevMajor, 8u);
  EXPECT_EQ(disk.rdevMinor, 16u);
  EXPECT_EQ(session->Stat(session->Resolve("sock").inode()).mode & S_IFMT_MASK, MODE_SOCK);
  EXPECT_EQ(FailureOf([&] { session->Resolve("TTY"); }), ExitCode::NoSuchPath) << "case-sensitive";
  VolumeReader first(image, 0);
  auto firstSession = first.Borrow();
  EXPECT_EQ(ReadAll(*firstSession, firstSession->Resolve("a.txt").inode()), "first");
  EXPECT_EQ(FailureOf([&] { VolumeReader(image, 2); }), ExitCode::VolumeUnusable);
}

TEST(VolumeReader, EncryptedVolumesAreRefusedByName) {
  ScratchDir dir;
  WriteImage(R"({"volumes": [{"name": "secret", "encrypted": true, "entries": [{"name": "a", "text": "x"}]}]})",
             dir / "encrypted.img");
  ApfsImage image((dir / "encrypted.img").string());
  ASSERT_EQ(image.volumes().size(), 1u);
  EXPECT_TRUE(image.volumes()[0].encrypted);
  std::string message;
  EXPECT_EQ(FailureOf([&] { VolumeReader(image, -1); }, &message), ExitCode::VolumeUnusable);
  EXPECT_EQ(message, "volume 0: encrypted by hardware: cannot be unlocked here");
}

}  // namespace
