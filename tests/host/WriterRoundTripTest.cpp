// Random host trees through `quadrel-mkimage --tree`: the mount shows each source tree
// exactly (types, sizes, bytes, link targets, link counts, attributes); Sleuth Kit and
// fsapfsmount, written by others, show the same types, sizes and bytes; and a tree
// extracted with `quadrel get` and written back mounts as the first image did.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <random>

#include "MountSupport.h"
#include "PeerMount.h"
#include "SleuthKit.h"

namespace {

using namespace hosttest;

// A tree of nested directories, empty, small, block-sized, multi-extent and sparse
// files, symbolic links, hard links, FIFOs, non-ASCII names and user attributes.
void WriteRandomTree(const fs::path& root, unsigned seed) {
  std::mt19937 random(seed);
  const char* const names[] = {"a", "Notes.txt", "caf\xC3\xA9", "\xE2\x98\x83 snow", "na\xC3\xAFve", "data.bin", "x y"};
  std::vector<fs::path> dirs = {root}, files;
  fs::create_directories(root);
  for (int i = 0; i < 40; ++i) {
    const fs::path at = dirs[random() % dirs.size()] / (std::string(names[random() % 7]) + "-" + std::to_string(i));
    switch (random() % 8) {
      case 0:
        fs::create_directory(at);
        dirs.push_back(at);
        break;
      case 1:
        if (!files.empty()) fs::create_hard_link(files[random() % files.size()], at);
        break;
      case 2:
        fs::create_symlink(files.empty() ? "nowhere" : fs::relative(files[random() % files.size()], at.parent_path()), at);
        break;
      case 3:
        ASSERT_EQ(mkfifo(at.c_str(), 0640), 0);
        break;
      default: {
        const size_t sizes[] = {0, 1 + random() % 100, 4096, 3 * 4096 + 17, 200000};
        std::string bytes(sizes[random() % 5], '\0');
        for (char& c : bytes) c = char(random());
        std::ofstream(at, std::ios::binary) << bytes;
        if (random() % 4 == 0) fs::resize_file(at, bytes.size() + 1048576);  // a hole at the end
        if (random() % 3 == 0) setxattr(at.c_str(), "user.tag", "v", 1, 0);
        files.push_back(at);
      }
    }
  }
}

// Every attribute of path, name=value.
std::map<std::string, std::string> Attributes(const fs::path& path) {
  std::map<std::string, std::string> out;
  char names[4096];
  const ssize_t length = llistxattr(path.c_str(), names, sizeof names);
  for (ssize_t at = 0; at < length; at += ssize_t(strlen(names + at)) + 1) {
    char value[256];
    const ssize_t size = lgetxattr(path.c_str(), names + at, value, sizeof value);
    out[names + at] = std::string(value, size_t(std::max<ssize_t>(size, 0)));
  }
  return out;
}

// Compares what a reader shows below `shown` with the source tree: types, sizes and the
// bytes of regular files always; link targets, files' link counts and attributes when
// `exact`.
void ExpectSameTree(const fs::path& source, const fs::path& shown, bool exact) {
  const auto want = FindAll(source);
  const auto got = FindAll(shown);
  ASSERT_EQ(got.size(), want.size());
  for (const auto& [path, w] : want) {
    SCOPED_TRACE(path);
    ASSERT_TRUE(got.count(path));
    const FoundEntry& g = got.at(path);
    EXPECT_EQ(g.type, w.type);
    if (w.type == "f") {
      EXPECT_EQ(g.size, w.size);
      EXPECT_EQ(Sha256Sum(shown / path.substr(1)), Sha256Sum(source / path.substr(1)));
    }
    if (!exact) continue;
    EXPECT_EQ(g.target, w.target);
    // A directory's count is 1 on the mount, as on many file systems that do not count
    // subdirectories; files keep their hard-link counts.
    if (w.type != "d") {
      EXPECT_EQ(g.links, w.links);
    }
    if (w.type != "l") {
      EXPECT_EQ(Attributes(shown / path.substr(1)), Attributes(source / path.substr(1)));
    }
  }
}

bool Installed(const std::string& tool) { return RunProgram({"sh", "-c", "command -v " + tool}).status == 0; }

TEST(WriterRoundTrip, RandomTreesReadBackThroughEveryReader) {
  if (const std::string why = WhyFuseIsMissing(); !why.empty()) GTEST_SKIP() << why;
  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    ScratchDir dir;
    const fs::path source = dir / "source", image = dir / "tree.img", layout = dir / "layout.json";
    WriteRandomTree(source, seed);
    const Result written =
        RunProgram({QUADREL_MKIMAGE, "--tree", source.string(), "--layout", layout.string(), image.string()});
    ASSERT_EQ(written.status, 0) << written.err;
    {
      Mounted ours(image);
      REQUIRE_MOUNT(ours);
      ExpectSameTree(source, ours.path(), true);
    }
    if (PeerMount::Installed()) {
      PeerMount peer(image, dir / "peer");
      ASSERT_TRUE(peer.ok()) << "fsapfsmount did not mount the image";
      ExpectSameTree(source, peer.path(), false);
    }
    if (Installed("fls") && Installed("icat")) {
      std::ifstream in(layout);
      const auto volume = nlohmann::json::parse(in)["volumes"][0]["superblockAddress"].get<uint64_t>();
      const std::vector<std::string> tsk = {"-P", "apfs", "-B", std::to_string(volume), image.string()};
      std::vector<std::string> fls = {"fls", "-r", "-p"};
      fls.insert(fls.end(), tsk.begin(), tsk.end());
      const auto listed = ParseFls(RunProgram(fls).out);
      const auto want = FindAll(source);
      EXPECT_EQ(listed.size(), want.size());
      for (const auto& [path, w] : want) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(listed.count(path.substr(1)));
        const char type = listed.at(path.substr(1)).first;
        EXPECT_EQ(type, w.type == "f" ? 'r' : w.type[0]);
        if (w.type != "f") continue;
        std::vector<std::string> icat = {"icat"};
        icat.insert(icat.end(), tsk.begin(), tsk.end());
        icat.push_back(std::to_string(listed.at(path.substr(1)).second));
        EXPECT_EQ(Sha256(RunProgram(icat).out), Sha256Sum(source / path.substr(1)));
      }
    }
  }
}

TEST(WriterRoundTrip, AnExtractedTreeWrittenBackMountsAsTheFirstImage) {
  if (const std::string why = WhyFuseIsMissing(); !why.empty()) GTEST_SKIP() << why;
  ScratchDir dir;
  const fs::path source = dir / "source", first = dir / "first.img", copy = dir / "copy", second = dir / "second.img";
  WriteRandomTree(source, 4);
  ASSERT_EQ(RunProgram({QUADREL_MKIMAGE, "--tree", source.string(), first.string()}).status, 0);
  const Result got = Quadrel({"get", first.string(), "/", copy.string()});
  ASSERT_EQ(got.status, 0) << got.err;
  ASSERT_EQ(RunProgram({QUADREL_MKIMAGE, "--tree", copy.string(), second.string()}).status, 0);
  Mounted a(first);
  REQUIRE_MOUNT(a);
  Mounted b(second);
  REQUIRE_MOUNT(b);
  ExpectSameTree(a.path(), b.path(), true);
}

}  // namespace
