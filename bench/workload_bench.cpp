// Whole-workload measures for scripts/bench.sh. Each subcommand does one thing and prints
// one JSON object: wall seconds, the process's peak resident set (or the child's, for
// `run`) and what it counted, so the script can check the work was done and compare it
// with the limit measured in the same run.
//
//   workload_bench open IMAGE REPEAT          open container and volume REPEAT times
//   workload_bench lookups IMAGE COUNT         COUNT random path lookups
//   workload_bench walk IMAGE [--uncached]     list every directory (each entry's stat),
//                                              optionally without the device's block cache
//   workload_bench read IMAGE PATH [--verify]  a file through the engine's extents
//   workload_bench pread IMAGE PATH            the same extents straight from the file
//   workload_bench run [--discard | --verify-pattern ID] -- COMMAND...
//                                              a command, counting its output (or
//                                              sending it to /dev/null)
//   workload_bench text PATH SIZE              SIZE bytes of the decoders' generated data
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ApfsFormat.h"
#include "BenchVolume.h"
#include "GeneratedText.h"
#include "ReadBuffer.h"

namespace {

// Reads are issued in pieces of this size, as a host passes on a large read request.
constexpr uint64_t READ_CHUNK = 1 << 20;

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

long PeakRssKib(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return usage.ru_maxrss;
}

void Report(double seconds, long peakRssKib, const std::string& counts) {
  std::printf("{\"seconds\": %.6f, \"peak_rss_kib\": %ld%s%s}\n", seconds, peakRssKib,
              counts.empty() ? "" : ", ", counts.c_str());
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "workload_bench: %s\n", message.c_str());
  return 1;
}

// The writer's stamp pattern: every 16-byte unit at file offset p holds the file's inode
// number and p, both little-endian. Fed a stream piece by piece.
class PatternCheck {
 public:
  explicit PatternCheck(uint64_t inode) : inode_(inode) {}
  void Feed(const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count && mismatchAt_ < 0; i++, position_++) {
      const uint64_t unitOffset = position_ & ~uint64_t(15);
      const uint64_t word = (position_ & 8) ? unitOffset : inode_;
      if (bytes[i] != uint8_t(word >> (8 * (position_ & 7)))) mismatchAt_ = int64_t(position_);
    }
  }
  bool ok() const { return mismatchAt_ < 0; }
  int64_t mismatchAt() const { return mismatchAt_; }
  uint64_t bytes() const { return position_; }

 private:
  uint64_t inode_;
  uint64_t position_ = 0;
  int64_t mismatchAt_ = -1;
};

int Open(const std::string& image, int repeat) {
  const auto start = Clock::now();
  for (int i = 0; i < repeat; i++) {
    BenchVolume volume(image);
    if (!volume.ok()) return Fail(image + ": " + volume.error());
  }
  Report(SecondsSince(start) / repeat, PeakRssKib(RUSAGE_SELF), "\"opens\": " + std::to_string(repeat));
  return 0;
}

// Paths drawn uniformly from every entry of the volume (reservoir sampling, fixed seed),
// so the sample costs memory for count paths only.
bool SamplePaths(BenchVolume& volume, size_t count, std::vector<std::string>* paths) {
  std::mt19937_64 random(20261209);
  uint64_t seen = 0;
  return volume.Walk([&](const std::string& directory, const FileInfo& entry) {
    seen++;
    if (paths->size() < count) {
      paths->push_back(EntryPath(directory, entry));
    } else if (const uint64_t slot = random() % seen; slot < count) {
      (*paths)[slot] = EntryPath(directory, entry);
    }
  });
}

int Lookups(const std::string& image, size_t count) {
  BenchVolume volume(image);
  if (!volume.ok()) return Fail(image + ": " + volume.error());
  std::vector<std::string> paths;
  if (!SamplePaths(volume, count, &paths)) return Fail("the walk that samples paths failed");
  std::shuffle(paths.begin(), paths.end(), std::mt19937_64(7));
  size_t found = 0;
  const auto start = Clock::now();
  for (const std::string& path : paths) {
    FsNode* node = volume.Lookup(path);
    if (node == nullptr) continue;
    found++;
    FsNodeRelease(node);
  }
  const double seconds = SecondsSince(start);
  if (found != paths.size()) return Fail(std::to_string(paths.size() - found) + " sampled paths not found");
  Report(seconds, PeakRssKib(RUSAGE_SELF), "\"lookups\": " + std::to_string(found));
  return 0;
}

int Walk(const std::string& image, bool uncached) {
  const auto start = Clock::now();
  BenchVolume volume(image, uncached ? 0 : ImageOpenOptions::DEFAULT_CACHE_BYTES);
  if (!volume.ok()) return Fail(image + ": " + volume.error());
  uint64_t entries = 0, directories = 0, bytes = 0;
  const bool ok = volume.Walk([&](const std::string&, const FileInfo& entry) {
    entries++;
    directories += IsDirectory(entry);
    bytes += entry.fileSize;
  });
  const double seconds = SecondsSince(start);
  if (!ok) return Fail("a listing failed after " + std::to_string(entries) + " entries");
  Report(seconds, PeakRssKib(RUSAGE_SELF),
         "\"entries\": " + std::to_string(entries) + ", \"directories\": " + std::to_string(directories) +
             ", \"bytes\": " + std::to_string(bytes));
  return 0;
}

// The node at path, opened as a file, with its size; null after a message.
FsNode* OpenFile(BenchVolume& volume, const std::string& path, uint64_t* size) {
  FsNode* node = volume.Lookup(path);
  if (node == nullptr || node->kind != FS_NODE_FILE) {
    if (node != nullptr) FsNodeRelease(node);
    Fail(path + ": no such regular file");
    return nullptr;
  }
  *size = InodeLogicalSize(node->inode, volume.fsTree());
  return node;
}

// Reads the file extent by extent as the engine path does: look the extent up at its
// first byte, then read it in pieces. check, when given, sees every byte in order.
bool ReadThroughEngine(BenchVolume& volume, Inode* inode, uint64_t size, ReadBuffer& buffer,
                       PatternCheck* check) {
  for (uint64_t offset = 0; offset < size;) {
    uint64_t imageOffset = 0, length = 0;
    if (!FileExtentLookup(inode, offset, &imageOffset, &length, volume.fsTree()) || length == 0) return false;
    const uint64_t end = std::min(offset + length, size);
    for (uint64_t at = offset; at < end; at += READ_CHUNK) {
      const uint64_t take = std::min(READ_CHUNK, end - at);
      if (imageOffset == 0) {
        std::memset(buffer.data(), 0, take);
      } else if (!DeviceRead(volume.device(), imageOffset + (at - offset), buffer.data(), take)) {
        return false;
      }
      if (check != nullptr) check->Feed(buffer.data(), take);
    }
    offset = end;
  }
  return true;
}

int Read(const std::string& image, const std::string& path, bool verify) {
  BenchVolume volume(image);
  if (!volume.ok()) return Fail(image + ": " + volume.error());
  uint64_t size = 0;
  FsNode* node = OpenFile(volume, path, &size);
  if (node == nullptr) return 1;
  ReadBuffer buffer(READ_CHUNK);
  // The untimed first pass (which checks the bytes when asked) leaves the process as the
  // limit's warming pass leaves it, so both are timed in the same state.
  const uint64_t inodeNumber = node->inode->objectId & OBJ_ID_MASK;
  PatternCheck check(inodeNumber);
  const bool verified = ReadThroughEngine(volume, node->inode, size, buffer, verify ? &check : nullptr);
  const auto start = Clock::now();
  const bool read = ReadThroughEngine(volume, node->inode, size, buffer, nullptr);
  const double seconds = SecondsSince(start);
  FsNodeRelease(node);
  if (!read || !verified) return Fail(path + ": an extent could not be found or read");
  if (!check.ok()) return Fail(path + ": wrong byte at offset " + std::to_string(check.mismatchAt()));
  Report(seconds, PeakRssKib(RUSAGE_SELF),
         "\"bytes\": " + std::to_string(size) + ", \"inode\": " + std::to_string(inodeNumber) +
             ", \"verified\": " + (verify ? "true" : "false"));
  return 0;
}

bool PreadRuns(int fd, uint64_t base, const std::vector<FileRun>& runs, ReadBuffer& buffer) {
  for (const FileRun& run : runs) {
    if (run.imageOffset == 0) continue;
    for (uint64_t done = 0; done < run.length; done += READ_CHUNK) {
      const uint64_t take = std::min(READ_CHUNK, run.length - done);
      if (pread(fd, buffer.data(), take, off_t(base + run.imageOffset + done)) != ssize_t(take)) return false;
    }
  }
  return true;
}

// The limit a reader is measured against: the file's extents (found before the clock
// starts) read with pread from the image file, after one pass that warms the page cache.
int Pread(const std::string& image, const std::string& path) {
  std::vector<FileRun> runs;
  uint64_t size = 0, base = 0;
  {
    BenchVolume volume(image);
    if (!volume.ok()) return Fail(image + ": " + volume.error());
    FsNode* node = OpenFile(volume, path, &size);
    if (node == nullptr) return 1;
    const bool mapped = volume.Runs(node->inode, size, &runs);
    FsNodeRelease(node);
    if (!mapped) return Fail(path + ": its extents could not be found");
    base = volume.partitionOffset();
  }
  const int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Fail(image + ": " + std::strerror(errno));
  ReadBuffer buffer(READ_CHUNK);
  const bool warmed = PreadRuns(fd, base, runs, buffer);
  const auto start = Clock::now();
  const bool read = warmed && PreadRuns(fd, base, runs, buffer);
  const double seconds = SecondsSince(start);
  close(fd);
  if (!read) return Fail(image + ": a pread failed");
  Report(seconds, PeakRssKib(RUSAGE_SELF),
         "\"bytes\": " + std::to_string(size) + ", \"extents\": " + std::to_string(runs.size()));
  return 0;
}

struct OutputCounts {
  uint64_t bytes = 0;
  uint64_t lines = 0;
};

// Drains the child's output. The pipe is widened and read in large pieces so that the
// reading side costs the command under test as little as it can.
OutputCounts Drain(int fd, PatternCheck* check) {
  fcntl(fd, F_SETPIPE_SZ, int(READ_CHUNK));
  OutputCounts counts;
  ReadBuffer buffer(READ_CHUNK);
  for (ssize_t got; (got = read(fd, buffer.data(), buffer.size())) != 0;) {
    if (got < 0) {
      if (errno == EINTR) continue;
      break;
    }
    counts.bytes += uint64_t(got);
    counts.lines += uint64_t(std::count(buffer.data(), buffer.data() + got, uint8_t('\n')));
    if (check != nullptr) check->Feed(buffer.data(), size_t(got));
  }
  return counts;
}

// Runs argv with its standard output on a pipe this process drains, counting bytes and
// lines (and checking the stamp pattern when asked), or on /dev/null when discard is set:
// then the command's time is its reading alone. The child's peak RSS comes from wait4.
int Run(char** argv, bool discard, PatternCheck* check) {
  int outputFds[2];
  if (discard) {
    outputFds[0] = -1;
    outputFds[1] = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (outputFds[1] < 0) return Fail("cannot open /dev/null");
  } else if (pipe2(outputFds, O_CLOEXEC) != 0) {
    return Fail("pipe failed");
  }
  const auto start = Clock::now();
  const pid_t child = fork();
  if (child < 0) return Fail("fork failed");
  if (child == 0) {
    dup2(outputFds[1], STDOUT_FILENO);
    execvp(argv[0], argv);
    std::fprintf(stderr, "workload_bench: cannot run %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
  }
  close(outputFds[1]);
  OutputCounts counts;
  if (!discard) {
    counts = Drain(outputFds[0], check);
    close(outputFds[0]);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  const double seconds = SecondsSince(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return Fail(std::string(argv[0]) + " failed");
  if (check != nullptr && !check->ok()) {
    return Fail(std::string(argv[0]) + ": wrong byte at offset " + std::to_string(check->mismatchAt()));
  }
  if (discard) {
    Report(seconds, usage.ru_maxrss, "\"discarded\": true");
  } else {
    Report(seconds, usage.ru_maxrss,
           "\"bytes\": " + std::to_string(counts.bytes) + ", \"lines\": " + std::to_string(counts.lines) +
               ", \"verified\": " + (check != nullptr ? "true" : "false"));
  }
  return 0;
}

// Writes size bytes of the decoders' generated data to path, for compressed files of the
// benchmark's images.
int WriteText(const char* path, uint64_t size) {
  std::FILE* out = std::fopen(path, "wb");
  if (out == nullptr) return Fail(std::string("cannot create ") + path);
  std::mt19937 random(5);
  std::vector<uint8_t> piece;
  for (uint64_t done = 0; done < size; done += piece.size()) {
    piece.clear();
    AppendWordsAndRecords(random, size_t(std::min<uint64_t>(size - done, 1 << 20)), piece);
    if (std::fwrite(piece.data(), 1, piece.size(), out) != piece.size()) break;
  }
  return std::fclose(out) == 0 ? 0 : Fail(std::string("cannot write ") + path);
}

int RunCommand(int argc, char** argv) {
  int first = 2;
  std::optional<PatternCheck> check;
  bool discard = false;
  if (first + 1 < argc && std::strcmp(argv[first], "--verify-pattern") == 0) {
    check.emplace(std::stoull(argv[first + 1]));
    first += 2;
  } else if (first < argc && std::strcmp(argv[first], "--discard") == 0) {
    discard = true;
    first++;
  }
  if (first >= argc || std::strcmp(argv[first], "--") != 0 || first + 1 >= argc) {
    return Fail("usage: run [--discard | --verify-pattern INODE] -- COMMAND...");
  }
  return Run(argv + first + 1, discard, check ? &*check : nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  try {
    if (command == "open" && argc == 4) return Open(argv[2], std::stoi(argv[3]));
    if (command == "lookups" && argc == 4) return Lookups(argv[2], std::stoul(argv[3]));
    if (command == "walk" && (argc == 3 || (argc == 4 && std::strcmp(argv[3], "--uncached") == 0))) {
      return Walk(argv[2], argc == 4);
    }
    if (command == "read" && (argc == 4 || (argc == 5 && std::strcmp(argv[4], "--verify") == 0))) {
      return Read(argv[2], argv[3], argc == 5);
    }
    if (command == "pread" && argc == 4) return Pread(argv[2], argv[3]);
    if (command == "run") return RunCommand(argc, argv);
    if (command == "text" && argc == 4) return WriteText(argv[2], std::stoull(argv[3]));
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
  return Fail("usage: open IMAGE REPEAT | lookups IMAGE COUNT | walk IMAGE [--uncached] | read IMAGE PATH [--verify] | "
              "pread IMAGE PATH | run [--discard | --verify-pattern INODE] -- COMMAND... | text PATH SIZE");
}
