// The FUSE mount seen through ordinary tools (find, stat, sha256sum, getfattr) and
// system calls. Skips when this machine cannot mount FUSE file systems.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "HostTestSupport.h"
#include "HostileNames.h"
#include "MountSupport.h"

extern char** environ;

namespace {

using namespace hosttest;
using nlohmann::json;

std::string FindType(const std::string& ours) {
  static const std::map<std::string, std::string> types = {
      {"file", "f"}, {"dir", "d"}, {"symlink", "l"}, {"fifo", "p"}, {"chardev", "c"}, {"blockdev", "b"}, {"socket", "s"}};
  return types.at(ours);
}

TEST(Mount, FindStatAndSha256SumSeeWhatTheCommandLists) {
  Mounted m(SampleImage());
  REQUIRE_MOUNT(m);
  const json listing = json::parse(Quadrel({"ls", "-R", "-a", "--json", SampleImage().string()}).out);
  const auto found = FindAll(m.path());
  ASSERT_EQ(found.size(), listing["entries"].size());
  for (const json& e : listing["entries"]) {
    const std::string path = e["path"];
    SCOPED_TRACE(path);
    ASSERT_TRUE(found.count(path));
    const FoundEntry& f = found.at(path);
    EXPECT_EQ(f.type, FindType(e["type"]));
    EXPECT_EQ(f.inode, e["inode"].get<uint64_t>());
    if (e["type"] != "dir") {
      EXPECT_EQ(f.size, e["size"].get<uint64_t>());
      EXPECT_EQ(f.links, e["nlink"].get<uint64_t>());
    }
    if (e["type"] == "symlink") {
      EXPECT_EQ(f.target, e["symlink_target"].get<std::string>());
    }
    if (e["type"] == "file") {
      EXPECT_EQ(Sha256Sum(m.path() / path.substr(1)), Sha256(Quadrel({"cat", SampleImage().string(), path}).out));
    }
  }
  const Result stat = RunProgram({"stat", "-c", "%a %u %g %h %i %y", (m.path() / "Documents/notes.md").string()});
  const json notes = json::parse(Quadrel({"stat", "--json", SampleImage().string(), "/Documents/notes.md"}).out);
  const uint64_t modified = notes["times"]["modified"];
  char nanoseconds[16];
  std::snprintf(nanoseconds, sizeof nanoseconds, ".%09llu", static_cast<unsigned long long>(modified % 1000000000));
  EXPECT_EQ(stat.out.rfind("644 0 0 2 " + std::to_string(notes["inode"].get<uint64_t>()) + " ", 0), 0u) << stat.out;
  EXPECT_NE(stat.out.find(nanoseconds), std::string::npos) << stat.out;
}

TEST(Mount, AttributesHolesStatfsAndRefusals) {
  Mounted m(SampleImage());
  REQUIRE_MOUNT(m);
  const Result attrs = RunProgram({"getfattr", "--absolute-names", "-d", "-m", "-", (m.path() / "Documents/notes.md").string()});
  EXPECT_NE(attrs.out.find("user.com.example.reviewed=\"2026-12-09\""), std::string::npos) << attrs.out;
  EXPECT_NE(attrs.out.find("user.user.colour=\"blue\""), std::string::npos) << attrs.out;
  EXPECT_NE(attrs.out.find("user.com.example.thumbnail=0s"), std::string::npos) << attrs.out;

  const std::string sparse = ReadFile(m.path() / "sparse.bin");
  ASSERT_EQ(sparse.size(), 1048576u);
  EXPECT_EQ(Sha256(sparse.substr(0, 524288)), Sha256(std::string(524288, '\0')));

  struct statvfs vfs {};
  ASSERT_EQ(statvfs(m.path().c_str(), &vfs), 0);
  const json info = json::parse(Quadrel({"info", "--json", SampleImage().string()}).out);
  EXPECT_EQ(vfs.f_frsize, info["container"]["block_size"].get<uint64_t>());
  EXPECT_EQ(vfs.f_blocks, info["container"]["block_count"].get<uint64_t>());
  EXPECT_EQ(vfs.f_bfree, info["container"]["free_blocks"].get<uint64_t>());
  EXPECT_TRUE(vfs.f_flag & ST_RDONLY);

  EXPECT_EQ(open((m.path() / "README.txt").c_str(), O_WRONLY), -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(mkdir((m.path() / "new").c_str(), 0755), -1);
  EXPECT_EQ(errno, EROFS);
  struct stat st {};
  ASSERT_EQ(lstat((m.path() / "compressed.txt").c_str(), &st), 0);
  EXPECT_EQ(uint64_t(st.st_size), std::string(SAMPLE_COMPRESSED_TEXT).size()) << "listed with its uncompressed size";
  EXPECT_EQ(ReadFile(m.path() / "compressed.txt"), SAMPLE_COMPRESSED_TEXT);
}

// Reads that start and end anywhere, bypassing the kernel's page cache where it lets
// them (O_DIRECT), so the mount itself answers unaligned ranges: inside one extent, across
// extents and holes, and over the end of the file.
TEST(Mount, ReadsOfAnyRangeMatchTheCommand) {
  Mounted m(SampleImage());
  REQUIRE_MOUNT(m);
  for (const char* name : {"large.bin", "sparse.bin", "README.txt"}) {
    SCOPED_TRACE(name);
    const std::string expected = Quadrel({"cat", SampleImage().string(), std::string("/") + name}).out;
    ASSERT_FALSE(expected.empty());
    const std::string path = (m.path() / name).string();
    int fd = open(path.c_str(), O_RDONLY | O_DIRECT);
    if (fd < 0) fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    const size_t size = expected.size();
    for (size_t offset : {size_t(0), size_t(1), size / 3 + 7, size / 2 - 1, size - 1, size, size + 4096}) {
      for (size_t count : {size_t(1), size_t(4095), size_t(65537), size_t(300000)}) {
        std::string got(count, '\xAA');
        const ssize_t n = pread(fd, got.data(), count, off_t(offset));
        ASSERT_GE(n, 0) << offset << "+" << count << ": " << std::strerror(errno);
        got.resize(size_t(n));
        EXPECT_EQ(got, offset < size ? expected.substr(offset, count) : std::string()) << offset << "+" << count;
      }
    }
    close(fd);
  }
}

// Compressed files of each kind read through the mount as their bytes, at any offset,
// chunk boundaries included; a kind that cannot be decoded fails open by name.
TEST(Mount, CompressedFilesOfEveryKindReadAtAnyRange) {
  ScratchDir dir;
  std::string contents;
  for (uint32_t i = 0; contents.size() < 300000; i++) {
    contents += "line " + std::to_string(i % 977) + (i % 5 ? " of text\n" : " \x01\x02\n");
    if (i % 1000 == 999) contents += std::string(1000, char('a' + i % 26));
  }
  contents.resize(300000);
  std::ofstream(dir / "source.bin", std::ios::binary) << contents;
  const std::string source = (dir / "source.bin").string();
  std::string entries;
  for (const std::string codec : {"zlib", "lzvn", "lzfse", "raw"}) {
    entries += R"({"name": ")" + codec + R"(", "source": ")" + source +
               R"(", "compression": "resource-fork", "codec": ")" + codec + R"("}, )";
  }
  entries += R"({"name": "stored", "source": ")" + source +
             R"(", "compression": "resource-fork", "codec": "lzvn", "storeChunks": true}, )";
  entries += R"({"name": "lzbitmap", "bsdFlags": 32, "xattrs": [{"name": "com.apple.decmpfs",
                 "hex": "66706d630e0000000a00000000000000"}]})";
  WriteImage(R"({"volumes": [{"name": "Packed", "entries": [)" + entries + "]}]}", dir / "packed.img");
  Mounted m(dir / "packed.img");
  REQUIRE_MOUNT(m);
  const size_t size = contents.size();
  for (const char* name : {"zlib", "lzvn", "lzfse", "raw", "stored"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ReadFile(m.path() / name), contents);
    const std::string path = (m.path() / name).string();
    int fd = open(path.c_str(), O_RDONLY | O_DIRECT);
    if (fd < 0) fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    for (size_t offset : {size - 1, size_t(65535), size_t(131071), size / 2, size_t(0), size_t(196608), size}) {
      for (size_t count : {size_t(1), size_t(2), size_t(65537), size_t(200000)}) {
        std::string got(count, '\xAA');
        const ssize_t n = pread(fd, got.data(), count, off_t(offset));
        ASSERT_GE(n, 0) << offset << "+" << count << ": " << std::strerror(errno);
        got.resize(size_t(n));
        EXPECT_TRUE(got == (offset < size ? contents.substr(offset, count) : std::string())) << offset << "+" << count;
      }
    }
    close(fd);
  }
  // Each open file decodes through its own chunks: threads reading every file through
  // one handle each, all at once, at scattered offsets.
  std::vector<int> handles;
  for (const char* name : {"zlib", "lzvn", "lzfse", "stored"}) {
    const std::string path = (m.path() / name).string();
    handles.push_back(open(path.c_str(), O_RDONLY | O_DIRECT));
    if (handles.back() < 0) handles.back() = open(path.c_str(), O_RDONLY);
    ASSERT_GE(handles.back(), 0) << std::strerror(errno);
  }
  std::atomic<int> mismatches{0};
  std::vector<std::thread> readers;
  for (unsigned t = 0; t < 4; t++) {
    readers.emplace_back([&, t] {
      std::mt19937 random(t);
      for (int i = 0; i < 200; i++) {
        const size_t offset = random() % size, count = random() % 70000 + 1;
        std::string got(count, '\0');
        const ssize_t n = pread(handles[(t + i) % handles.size()], got.data(), count, off_t(offset));
        got.resize(size_t(std::max<ssize_t>(n, 0)));
        if (got != contents.substr(offset, count)) mismatches++;
      }
    });
  }
  for (std::thread& r : readers) r.join();
  for (int fd : handles) close(fd);
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(open((m.path() / "lzbitmap").c_str(), O_RDONLY), -1);
  EXPECT_EQ(errno, EOPNOTSUPP);
}

TEST(Mount, ManyReadersAtOnceSeeTheSameBytes) {
  Mounted m(SampleImage());
  REQUIRE_MOUNT(m);
  const std::string expected = Quadrel({"cat", SampleImage().string(), "/large.bin"}).out;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 6; t++) {
    readers.emplace_back([&, t] {
      for (int i = 0; i < 4; i++) {
        const std::string name = (t + i) % 2 ? "large.bin" : "Documents/../large.bin";
        if (ReadFile(m.path() / name) != expected) mismatches++;
        std::error_code ignored;
        for (auto it = fs::recursive_directory_iterator(m.path(), ignored); it != fs::recursive_directory_iterator();
             it.increment(ignored)) {
        }
      }
    });
  }
  for (std::thread& r : readers) r.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// The kernel names files by inode number: a name typed in another case or accent form
// reaches the same inode as the stored one, hard links share theirs, "." and ".." carry
// the directory's and its parent's numbers, an absent name stays absent when asked again,
// and a listing larger than one reply comes back whole, and again after a rewind.
TEST(Mount, NamesReachInodesAndListingsComeBackWhole) {
  if (const std::string why = WhyFuseIsMissing(); !why.empty()) GTEST_SKIP() << why;
  ScratchDir dir;
  WriteImage(R"({"volumes": [{"name": "v", "caseInsensitive": true, "entries": [
                  {"name": "Caf\u00e9.txt", "text": "coffee"},
                  {"name": "a.txt", "text": "linked"},
                  {"name": "h", "type": "hardlink", "target": "/a.txt"},
                  {"name": "sub", "type": "dir", "entries": [
                    {"name": "many", "type": "dir", "generate": {"count": 700, "prefix": "a-rather-long-file-name-", "size": 1}}]}]}]})",
             dir / "names.img");
  Mounted m(dir / "names.img");
  REQUIRE_MOUNT(m);
  struct stat stored {}, typed {}, link {}, original {}, sub {}, root {};
  ASSERT_EQ(lstat((m.path() / "Caf\u00e9.txt").c_str(), &stored), 0);
  ASSERT_EQ(lstat((m.path() / "CAFE\u0301.TXT").c_str(), &typed), 0) << std::strerror(errno);
  EXPECT_EQ(typed.st_ino, stored.st_ino);
  EXPECT_EQ(ReadFile(m.path() / "cafe\u0301.txt"), "coffee");
  ASSERT_EQ(lstat((m.path() / "h").c_str(), &link), 0);
  ASSERT_EQ(lstat((m.path() / "A.TXT").c_str(), &original), 0);
  EXPECT_EQ(link.st_ino, original.st_ino);
  EXPECT_EQ(link.st_nlink, 2u);
  EXPECT_EQ(ReadFile(m.path() / "h"), "linked");
  for (int attempt = 0; attempt < 2; attempt++) {
    EXPECT_EQ(lstat((m.path() / "absent").c_str(), &typed), -1);
    EXPECT_EQ(errno, ENOENT);
  }
  EXPECT_EQ(open((m.path() / "a.txt/x").c_str(), O_RDONLY), -1);
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_EQ(open((m.path() / "a.txt").c_str(), O_RDONLY | O_DIRECTORY), -1);
  EXPECT_EQ(errno, ENOTDIR);

  ASSERT_EQ(lstat((m.path() / "sub").c_str(), &sub), 0);
  ASSERT_EQ(lstat(m.path().c_str(), &root), 0);
  EXPECT_EQ(root.st_ino, 2u) << "the root keeps the volume's number";
  DIR* listing = opendir((m.path() / "sub/many").c_str());
  ASSERT_NE(listing, nullptr);
  for (int pass = 0; pass < 2; pass++) {
    SCOPED_TRACE(pass);
    std::map<std::string, int> seen;
    ino_t dot = 0, dotdot = 0;
    while (const dirent* e = readdir(listing)) {
      seen[e->d_name]++;
      if (std::strcmp(e->d_name, ".") == 0) dot = e->d_ino;
      if (std::strcmp(e->d_name, "..") == 0) dotdot = e->d_ino;
    }
    EXPECT_EQ(seen.size(), 702u);
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](const auto& s) { return s.second == 1; }));
    struct stat many {};
    ASSERT_EQ(lstat((m.path() / "sub/many").c_str(), &many), 0);
    EXPECT_EQ(dot, many.st_ino);
    EXPECT_EQ(dotdot, sub.st_ino);
    rewinddir(listing);
  }
  closedir(listing);
}

std::set<std::string> Names(const fs::path& directory) {
  std::set<std::string> names;
  DIR* listing = opendir(directory.c_str());
  EXPECT_NE(listing, nullptr) << directory << ": " << std::strerror(errno);
  while (listing != nullptr) {
    errno = 0;
    const dirent* e = readdir(listing);
    if (e == nullptr) {
      EXPECT_EQ(errno, 0) << "the listing fails: " << std::strerror(errno);
      break;
    }
    names.insert(e->d_name);
  }
  if (listing != nullptr) closedir(listing);
  return names;
}

// A directory that holds names no file name can be ("", ".", "..", with '/' or a zero
// byte) lists its other entries; each left-out entry is logged once, however often the
// directory is listed.
TEST(Mount, ListingsLeaveOutNamesThatCannotBeFileNames) {
  if (const std::string why = WhyFuseIsMissing(); !why.empty()) GTEST_SKIP() << why;
  ScratchDir dir;
  WriteHostileNamesImage(dir / "hostile.img", dir / "outside");
  Mounted m(dir / "hostile.img");
  REQUIRE_MOUNT(m);
  for (int pass = 0; pass < 2; pass++) {
    EXPECT_EQ(Names(m.path()), (std::set<std::string>{".", "..", "good.txt", "link", "sub"}));
    EXPECT_EQ(Names(m.path() / "sub"), (std::set<std::string>{".", "..", "deeper", "inner.txt"}));
  }
  EXPECT_EQ(ReadFile(m.path() / "sub/deeper/leaf.txt"), "leaf\n");
  EXPECT_EQ(FindAll(m.path()).size(), 6u);
  struct stat sub {};
  ASSERT_EQ(lstat((m.path() / "sub").c_str(), &sub), 0);
  const std::string log = m.errors();
  for (const std::string& directory : {std::string("inode 2"), "inode " + std::to_string(sub.st_ino)}) {
    for (const HostileName& name : HostileNames()) {
      const std::string report = "directory " + directory + ": entry " + name.shown + " left out";
      const size_t first = log.find(report);
      EXPECT_NE(first, std::string::npos) << report << "\n" << log;
      EXPECT_EQ(log.find(report, first + 1), std::string::npos) << "logged once: " << report;
    }
  }
}

// Starts `dd` reading one block of file far from its start, its errors discarded.
pid_t StartReader(const fs::path& file) {
  const std::string input = "if=" + file.string();
  const char* argv[] = {"dd", input.c_str(), "of=/dev/null", "bs=65536", "skip=200", "count=1", "status=none", nullptr};
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t reader = -1;
  const int spawned = posix_spawnp(&reader, argv[0], &quiet, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&quiet);
  return spawned == 0 ? reader : -1;
}

// The daemon and its mount end promptly on SIGTERM, and on an unmount, even while a
// request cannot finish: here a read of a file whose image lies on a second mount whose
// daemon is stopped, as an image on a stalled disk would be.
TEST(Mount, EndsWhileARequestIsStuck) {
  if (const std::string why = WhyFuseIsMissing(); !why.empty()) GTEST_SKIP() << why;
  ScratchDir dir;
  WriteImage(R"({"volumes": [{"name": "inner", "entries": [{"name": "big.bin", "size": 16777216}]}]})",
             dir / "inner.img");
  WriteImage(json{{"volumes", {{{"name", "outer"}, {"entries", {{{"name", "inner.img"}, {"source", (dir / "inner.img").string()}},
                                                                 {{"name", "note.txt"}, {"text", "note"}}}}}}}}.dump(),
             dir / "outer.img");
  for (const bool bySignal : {true, false}) {
    SCOPED_TRACE(bySignal ? "SIGTERM while the reader waits" : "unmount once the waiting reader is killed");
    Mounted outer(dir / "outer.img");
    REQUIRE_MOUNT(outer);
    Mounted inner(outer.path() / "inner.img");
    REQUIRE_MOUNT(inner);
    // Closing a file tells the kernel that the outer mount has no flush to wait for, so
    // that the inner daemon can close its image while the outer one is stopped.
    ASSERT_EQ(ReadFile(outer.path() / "note.txt"), "note");

    ASSERT_EQ(kill(outer.pid(), SIGSTOP), 0);
    struct Resume {
      pid_t pid;
      ~Resume() { kill(pid, SIGCONT); }
    } resume{outer.pid()};
    // Far into the file: what the inner daemon read of its image at the start is cached.
    const pid_t reader = StartReader(inner.path() / "big.bin");
    ASSERT_GT(reader, 0);
    int status = 0;
    ASSERT_FALSE(ProcessEndsWithin(reader, 1, &status))
        << "the read should wait on the stopped outer daemon; it ended with status " << status << ", the inner daemon said: "
        << inner.errors();

    if (bySignal) {
      ASSERT_EQ(kill(inner.pid(), SIGTERM), 0);
    } else {
      kill(reader, SIGKILL);
      waitpid(reader, &status, 0);
      EXPECT_EQ(RunProgram({"fusermount3", "-u", inner.path().string()}).status, 0);
    }
    EXPECT_TRUE(inner.EndsWithin(60)) << "the daemon ends while its request waits";
    EXPECT_FALSE(inner.IsMounted());
    if (!bySignal) continue;
    if (ProcessEndsWithin(reader, 60, &status)) {
      EXPECT_NE(status, 0) << "the reader's request fails";
    } else {
      kill(reader, SIGKILL);
      waitpid(reader, &status, 0);
      ADD_FAILURE() << "the reader still waits after the daemon ended";
    }
  }
}

TEST(Mount, RefusesOptionsFuseDoesNotKnow) {
  if (const std::string why = WhyFuseIsMissing(); !why.empty()) GTEST_SKIP() << why;
  ScratchDir dir;
  fs::create_directory(dir / "mnt");
  const Result refused = Quadrel({"mount", "-o", "no_such_option", SampleImage().string(), (dir / "mnt").string()});
  EXPECT_EQ(refused.status, 10) << refused.err;
  EXPECT_NE(refused.err.find("no_such_option"), std::string::npos) << refused.err;
  struct stat here {}, parent {};
  ASSERT_EQ(stat((dir / "mnt").c_str(), &here), 0);
  ASSERT_EQ(stat(dir.path().c_str(), &parent), 0);
  EXPECT_EQ(here.st_dev, parent.st_dev) << "nothing stays mounted";
}

TEST(Mount, GoesToTheBackgroundAndMountsTheChosenVolume) {
  if (const std::string why = WhyFuseIsMissing(); !why.empty()) GTEST_SKIP() << why;
  ScratchDir dir;
  WriteImage(R"({"volumes": [{"name": "one", "entries": [{"name": "a.txt", "text": "first"}]},
                             {"name": "two", "entries": [{"name": "b.txt", "text": "second"},
                               {"name": "tty", "type": "chardev", "rdev": 67108867},
                               {"name": "sock", "type": "socket"}]}]})",
             dir / "two.img");
  fs::create_directory(dir / "mnt");
  const Result mounted = Quadrel({"mount", "--volume", "1", (dir / "two.img").string(), (dir / "mnt").string()});
  if (mounted.status == 10) GTEST_SKIP() << "FUSE cannot mount here: " << mounted.err;
  ASSERT_EQ(mounted.status, 0) << mounted.err;
  EXPECT_EQ(ReadFile(dir / "mnt/b.txt"), "second");
  EXPECT_FALSE(fs::exists(dir / "mnt/a.txt"));
  struct stat device {}, socket {};
  ASSERT_EQ(lstat((dir / "mnt/tty").c_str(), &device), 0);
  EXPECT_TRUE(S_ISCHR(device.st_mode));
  EXPECT_EQ(major(device.st_rdev), 4u);
  EXPECT_EQ(minor(device.st_rdev), 3u);
  ASSERT_EQ(lstat((dir / "mnt/sock").c_str(), &socket), 0);
  EXPECT_TRUE(S_ISSOCK(socket.st_mode));
  EXPECT_EQ(RunProgram({"fusermount3", "-u", (dir / "mnt").string()}).status, 0);
  const Result refused = Quadrel({"mount", (dir / "two.img").string(), (dir / "absent").string()});
  EXPECT_EQ(refused.status, 10);
  EXPECT_NE(refused.err.find("mount point is not a directory"), std::string::npos) << refused.err;
}

TEST(Mount, RealImagesShowTheRecordedFacts) {
  const auto images = RealImages();
  if (images.empty()) GTEST_SKIP() << "no real APFS images in " << QUADREL_TESTDATA_DIR;
  if (const std::string why = WhyFuseIsMissing(); !why.empty()) GTEST_SKIP() << why;
  for (const fs::path& image : images) {
    SCOPED_TRACE(image.filename().string());
    fs::path factsPath = image;
    const json facts = json::parse(ReadFile(factsPath.replace_extension(".expected.json")));
    if (facts["volumes"].empty()) continue;
    Mounted m(image);
    REQUIRE_MOUNT(m);
    const auto found = FindAll(m.path());
    size_t expected = 0;
    for (const json& e : facts["volumes"][0]["entries"]) {
      const std::string path = e["path"];
      if (path == "/") continue;
      expected++;
      SCOPED_TRACE(path);
      ASSERT_TRUE(found.count(path));
      const FoundEntry& f = found.at(path);
      EXPECT_EQ(f.inode, e["inode"].get<uint64_t>());
      if (e["type"] == "symlink") {
        EXPECT_EQ(f.target, e["symlink_target"].get<std::string>());
      }
      if (e["type"] == "file") {
        EXPECT_EQ(f.size, e["size"].get<uint64_t>());
      }
      if (e["type"] == "file") {
        EXPECT_EQ(Sha256Sum(m.path() / path.substr(1)), e["sha256"].get<std::string>());
      }
      for (const json& x : e.value("xattrs", json::array())) {
        if (x.value("hidden_by_macos", false) || e["type"] == "symlink") continue;
        // A compressed file's resource fork is its compressed bytes: the mount shows them
        // decoded as the file's contents instead.
        if (e["compressed"].get<bool>() && x["name"] == "com.apple.ResourceFork") continue;
        const Result value = RunProgram({"getfattr", "--absolute-names", "--only-values", "-n",
                                  "user." + x["name"].get<std::string>(), (m.path() / path.substr(1)).string()});
        EXPECT_EQ(Sha256(value.out), x["sha256"].get<std::string>()) << x["name"] << value.err;
      }
    }
    EXPECT_EQ(found.size(), expected);
  }
}

}  // namespace
