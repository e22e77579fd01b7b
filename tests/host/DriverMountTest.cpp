// `quadrel mount --driver`: the Windows driver on the kernel stand-in serving a real FUSE
// mount, seen through ordinary tools (find, sha256sum, diff, stat) and system calls. What
// the driver hides (symbolic links, sockets, compressed files) is absent; everything else
// is what the engine reads. Skips when this machine cannot mount FUSE file systems.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <thread>

#include "MountSupport.h"

namespace {

using namespace hosttest;
using nlohmann::json;

const std::vector<std::string> DRIVER = {"--driver"};

#define REQUIRE_DRIVER_MOUNT(m)                                                        \
  if (const std::string why = WhyFuseIsMissing(); !why.empty()) GTEST_SKIP() << why; \
  ASSERT_TRUE((m).ok()) << "the driver's mount did not stand: " << (m).errors()

// Unmounts and expects the daemon to dismount the volume through the driver and end
// with status 0, nothing of the driver's left behind.
void ExpectCleanUnmount(Mounted& m) {
  const Result unmount = RunProgram({"fusermount3", "-u", m.path().string()});
  EXPECT_EQ(unmount.status, 0) << unmount.err;
  int status = -1;
  ASSERT_TRUE(m.EndsWithin(60, &status)) << "the daemon did not end after the unmount";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << ": " << m.errors();
  EXPECT_EQ(m.errors().find("left behind"), std::string::npos) << m.errors();
}

// The paths below root that the engine lists, with their kinds: the command's own view.
std::map<std::string, json> EngineEntries(const fs::path& image) {
  const Result r = Quadrel({"ls", "-R", "-a", "--json", image.string()});
  EXPECT_EQ(r.status, 0) << r.err;
  std::map<std::string, json> entries;
  const json listing = json::parse(r.out);
  for (const json& e : listing["entries"]) entries[e["path"].get<std::string>()] = e;
  return entries;
}

// What the driver shows of an entry: neither symbolic links, sockets nor compressed
// files, nor anything below a hidden directory (none can be).
bool DriverShows(const json& entry) {
  const std::string type = entry["type"];
  return type != "symlink" && type != "socket" && !entry.value("compressed", false);
}

TEST(DriverMount, RefusesWhatItCannotMountWithTheDriversStatus) {
  if (const std::string why = WhyFuseIsMissing(); !why.empty()) GTEST_SKIP() << why;
  ScratchDir dir;
  fs::create_directory(dir / "mnt");
  const std::string mountPoint = (dir / "mnt").string();
  EXPECT_EQ(Quadrel({"mount", "--cdrom", SampleImage().string(), mountPoint}).status, 2);
  EXPECT_EQ(Quadrel({"mount", "--driver", "--snapshot", "1", SampleImage().string(), mountPoint}).status, 2);
  EXPECT_EQ(Quadrel({"ls", "--driver", SampleImage().string()}).status, 2);

  std::ofstream(dir / "zeros.img", std::ios::binary) << std::string(1 << 20, '\0');
  for (const std::vector<std::string>& mode : {std::vector<std::string>{"-f"}, std::vector<std::string>{}}) {
    std::vector<std::string> args = {"mount", "--driver"};
    args.insert(args.end(), mode.begin(), mode.end());
    args.push_back((dir / "zeros.img").string());
    args.push_back(mountPoint);
    const Result r = Quadrel(args);
    EXPECT_EQ(r.status, 10) << r.err;
    EXPECT_NE(r.err.find("the driver did not open the volume"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("status 0x"), std::string::npos) << r.err;
    struct stat here {}, parent {};
    ASSERT_EQ(stat(mountPoint.c_str(), &here), 0);
    ASSERT_EQ(stat(dir.path().c_str(), &parent), 0);
    EXPECT_EQ(here.st_dev, parent.st_dev) << "nothing stays mounted";
  }
}

// A written tree of every kind, on a disk and on a CD-ROM: find lists exactly the entries
// the driver shows, with the engine's inode numbers and sizes; diff finds the mount equal
// to the engine's extraction less what the driver hides; statfs gives the container's
// counts; writes are refused; reads of any range without the page cache (O_DIRECT, so
// through the driver's non-cached path) give the bytes.
TEST(DriverMount, WrittenTreeIsTheEnginesLessWhatTheDriverHides) {
  if (const std::string why = WhyFuseIsMissing(); !why.empty()) GTEST_SKIP() << why;
  ScratchDir dir;
  std::string packed(200000, 'z');
  std::ofstream(dir / "packed.src", std::ios::binary) << packed;
  WriteImage(R"({"volumes": [{"name": "Tree", "entries": [
      {"name": "README.txt", "text": "read me\n"},
      {"name": "Caf\u00e9 \u00fcber.txt", "text": "accents\n"},
      {"name": "empty.txt", "text": ""},
      {"name": "large.bin", "size": 3000001},
      {"name": "sparse.bin", "size": 1048576, "layout": [{"hole": 524288}, {"data": 524288}]},
      {"name": "link", "type": "symlink", "target": "README.txt"},
      {"name": "hard", "type": "hardlink", "target": "/README.txt"},
      {"name": "packed", "source": ")" + (dir / "packed.src").string() + R"(", "compression": "resource-fork", "codec": "zlib"},
      {"name": "socket", "type": "socket"},
      {"name": "Documents", "type": "dir", "entries": [
        {"name": "notes.md", "text": "notes\n"},
        {"name": "deeper", "type": "dir", "entries": [{"name": "leaf.txt", "text": "leaf\n"}]}]},
      {"name": "many", "type": "dir", "generate": {"count": 700, "prefix": "a-rather-long-file-name-", "size": 3}}]}]})",
             dir / "tree.img");
  const fs::path image = dir / "tree.img";
  const auto engine = EngineEntries(image);
  ASSERT_GT(engine.size(), 700u);
  const Result extracted = Quadrel({"get", image.string(), "/", (dir / "extracted").string()});
  for (const auto& [path, entry] : engine) {
    if (!DriverShows(entry)) fs::remove(dir / "extracted" / path.substr(1));
  }
  const json info = json::parse(Quadrel({"info", "--json", image.string()}).out);

  for (const std::vector<std::string>& attach : {DRIVER, std::vector<std::string>{"--driver", "--cdrom"}}) {
    SCOPED_TRACE(attach.back());
    Mounted m(image, attach);
    REQUIRE_DRIVER_MOUNT(m);
    const auto found = FindAll(m.path());
    size_t shown = 0;
    for (const auto& [path, entry] : engine) {
      SCOPED_TRACE(path);
      if (!DriverShows(entry)) {
        EXPECT_FALSE(found.count(path)) << "hidden by the driver";
        continue;
      }
      shown++;
      ASSERT_TRUE(found.count(path));
      const FoundEntry& f = found.at(path);
      EXPECT_EQ(f.type, entry["type"] == "dir" ? "d" : "f");
      EXPECT_EQ(f.inode, entry["inode"].get<uint64_t>());
      if (entry["type"] == "file") {
        EXPECT_EQ(f.size, entry["size"].get<uint64_t>());
      }
    }
    EXPECT_EQ(found.size(), shown);

    const Result diff = RunProgram({"diff", "-r", (dir / "extracted").string(), m.path().string()});
    EXPECT_EQ(diff.status, 0) << diff.out << diff.err << extracted.err;
    EXPECT_EQ(Sha256Sum(m.path() / "large.bin"), Sha256(Quadrel({"cat", image.string(), "/large.bin"}).out));

    struct statvfs vfs {};
    ASSERT_EQ(statvfs(m.path().c_str(), &vfs), 0);
    EXPECT_EQ(vfs.f_frsize, info["container"]["block_size"].get<uint64_t>());
    EXPECT_EQ(vfs.f_blocks, info["container"]["block_count"].get<uint64_t>());
    EXPECT_EQ(vfs.f_bfree, info["container"]["free_blocks"].get<uint64_t>());
    EXPECT_TRUE(vfs.f_flag & ST_RDONLY);
    EXPECT_EQ(open((m.path() / "README.txt").c_str(), O_WRONLY), -1);
    EXPECT_EQ(errno, EROFS);
    EXPECT_EQ(mkdir((m.path() / "new").c_str(), 0755), -1);
    EXPECT_EQ(errno, EROFS);

    for (const char* name : {"large.bin", "sparse.bin"}) {
      SCOPED_TRACE(name);
      const std::string expected = Quadrel({"cat", image.string(), std::string("/") + name}).out;
      const int fd = open((m.path() / name).c_str(), O_RDONLY | O_DIRECT);
      ASSERT_GE(fd, 0) << std::strerror(errno);
      const size_t size = expected.size();
      for (size_t offset : {size_t(0), size_t(1), size / 3 + 7, size / 2 - 1, size - 1, size, size + 4096}) {
        for (size_t count : {size_t(1), size_t(4095), size_t(65537), size_t(300000)}) {
          std::string got(count, '\xAA');
          const ssize_t n = pread(fd, got.data(), count, off_t(offset));
          ASSERT_GE(n, 0) << offset << "+" << count << ": " << std::strerror(errno);
          got.resize(size_t(n));
          EXPECT_TRUE(got == (offset < size ? expected.substr(offset, count) : std::string())) << offset << "+" << count;
        }
      }
      close(fd);
    }
    ExpectCleanUnmount(m);
  }
}

// Every real image gives exactly the driver-visible part of its recorded facts: paths,
// sizes and SHA-256 digests, less symbolic links, sockets and compressed files. Only a
// carved image may be refused, as corrupt.
TEST(DriverMount, RealImagesShowTheDriverVisibleFacts) {
  const auto images = RealImages();
  if (images.empty()) GTEST_SKIP() << "no real APFS images in " << QUADREL_TESTDATA_DIR;
  if (const std::string why = WhyFuseIsMissing(); !why.empty()) GTEST_SKIP() << why;
  for (const fs::path& image : images) {
    SCOPED_TRACE(image.filename().string());
    fs::path factsPath = image;
    const json facts = json::parse(ReadFile(factsPath.replace_extension(".expected.json")));
    if (facts["volumes"].empty()) continue;
    Mounted m(image, DRIVER);
    // A carved image may hold a container the driver cannot open: it refuses it as corrupt.
    if (!m.ok() && facts.contains("carve") && m.errors().find("status 0xC0000102") != std::string::npos) continue;
    REQUIRE_DRIVER_MOUNT(m);
    const auto found = FindAll(m.path());
    size_t shown = 0;
    for (const json& e : facts["volumes"][0]["entries"]) {
      const std::string path = e["path"];
      if (path == "/" || !DriverShows(e)) {
        EXPECT_FALSE(found.count(path)) << path;
        continue;
      }
      shown++;
      SCOPED_TRACE(path);
      ASSERT_TRUE(found.count(path));
      EXPECT_EQ(found.at(path).inode, e["inode"].get<uint64_t>());
      if (e["type"] == "file") {
        EXPECT_EQ(found.at(path).size, e["size"].get<uint64_t>());
        EXPECT_EQ(Sha256Sum(m.path() / path.substr(1)), e["sha256"].get<std::string>());
      }
    }
    EXPECT_EQ(found.size(), shown);
    ExpectCleanUnmount(m);
  }
}

// Deterministic bytes of file i of the stress image.
std::string StressContents(size_t i, size_t size) {
  std::string bytes(size, '\0');
  std::mt19937_64 generator(i * 7919 + 1);
  for (size_t k = 0; k < size; k += 8) {
    const uint64_t word = generator();
    std::memcpy(&bytes[k], &word, std::min<size_t>(8, size - k));
  }
  return bytes;
}

// Sixteen readers at once for a bounded time over a large written image: whole-file
// reads through the page cache, O_DIRECT reads at random ranges (each one a request to
// the driver), listings and stats; every byte checked. A watchdog fails the test when
// the readers do not finish (a deadlock), and the unmount must leave nothing of the
// driver's behind.
TEST(DriverMount, SixteenReadersAtOnceSeeEveryByteAndLeaveNothingBehind) {
  if (const std::string why = WhyFuseIsMissing(); !why.empty()) GTEST_SKIP() << why;
  constexpr size_t FILES = 24;
  constexpr size_t LISTED = 1500;
  constexpr size_t READERS = 16;
  constexpr auto RUN_FOR = std::chrono::seconds(20);
  constexpr auto WATCHDOG = std::chrono::seconds(120);
  ScratchDir dir;
  std::vector<std::string> contents;
  std::string entries;
  for (size_t i = 0; i < FILES; i++) {
    contents.push_back(StressContents(i, (i + 1) * 131071 + i * 1000003 % 4096));
    const fs::path source = dir / ("source" + std::to_string(i));
    std::ofstream(source, std::ios::binary) << contents.back();
    entries += R"({"name": "file)" + std::to_string(i) + R"(", "source": ")" + source.string() + R"("}, )";
  }
  WriteImage(R"({"volumes": [{"name": "Stress", "entries": [)" + entries +
                 R"({"name": "listed", "type": "dir", "generate": {"count": )" + std::to_string(LISTED) +
                 R"(, "prefix": "entry-", "size": 5}}]}]})",
             dir / "stress.img");
  Mounted m(dir / "stress.img", DRIVER);
  REQUIRE_DRIVER_MOUNT(m);

  std::atomic<uint64_t> mismatches{0}, failures{0}, operations{0};
  const auto end = std::chrono::steady_clock::now() + RUN_FOR;
  auto reader = [&](size_t seed) {
    std::mt19937_64 random(seed);
    while (std::chrono::steady_clock::now() < end) {
      const size_t i = random() % FILES;
      const fs::path file = m.path() / ("file" + std::to_string(i));
      const std::string& expected = contents[i];
      switch (random() % 4) {
        case 0:
          if (ReadFile(file) != expected) mismatches++;
          break;
        case 1: {
          const int fd = open(file.c_str(), O_RDONLY | O_DIRECT);
          if (fd < 0) {
            failures++;
            break;
          }
          for (int k = 0; k < 8; k++) {
            const size_t offset = random() % (expected.size() + 100);
            const size_t count = 1 + random() % 200000;
            std::string got(count, '\0');
            const ssize_t n = pread(fd, got.data(), count, off_t(offset));
            if (n < 0) {
              failures++;
              break;
            }
            got.resize(size_t(n));
            if (got != (offset < expected.size() ? expected.substr(offset, count) : std::string())) mismatches++;
          }
          close(fd);
          break;
        }
        case 2: {
          std::error_code error;
          size_t listed = 0;
          for (auto it = fs::directory_iterator(m.path() / "listed", error); !error && it != fs::directory_iterator();
               it.increment(error)) {
            listed++;
          }
          if (error) failures++;
          if (listed != LISTED) mismatches++;
          break;
        }
        default: {
          struct stat st {};
          if (stat(file.c_str(), &st) != 0) failures++;
          else if (uint64_t(st.st_size) != expected.size()) mismatches++;
          const std::string absent = (m.path() / ("absent" + std::to_string(random() % 50))).string();
          if (stat(absent.c_str(), &st) == 0 || errno != ENOENT) mismatches++;
        }
      }
      operations++;
    }
  };
  auto everyone = std::async(std::launch::async, [&] {
    std::vector<std::thread> threads;
    for (size_t t = 0; t < READERS; t++) threads.emplace_back(reader, t + 1);
    for (std::thread& t : threads) t.join();
  });
  if (everyone.wait_for(RUN_FOR + WATCHDOG) != std::future_status::ready) {
    ADD_FAILURE() << "the readers did not finish: the mount is deadlocked (" << operations << " operations done)";
    // Ending the daemon fails the readers' requests, so that the test can end.
    kill(m.pid(), SIGKILL);
    RunProgram({"fusermount3", "-u", "-z", m.path().string()});
    everyone.wait();
    return;
  }
  EXPECT_EQ(mismatches.load(), 0u);
  EXPECT_EQ(failures.load(), 0u);
  EXPECT_GT(operations.load(), READERS);
  ExpectCleanUnmount(m);
}

}  // namespace
