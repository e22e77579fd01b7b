// Micro-benchmarks of the engine's innermost loops. The tree benchmarks run on a small
// volume the writer makes once per run in the temporary folder: a directory whose
// records fill many leaves, and a file cut into one-block extents.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ApfsFormat.h"
#include "ApfsProcs.h"
#include "BenchVolume.h"
#include "ImageWriter.h"

namespace {

void BM_ObjectChecksum(benchmark::State& state) {
  std::vector<uint8_t> block(size_t(state.range(0)));
  for (size_t i = 0; i < block.size(); i++) block[i] = uint8_t(i * 13);
  for (auto _ : state) benchmark::DoNotOptimize(ObjectChecksum(block.data(), uint32_t(block.size())));
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ObjectChecksum)->Arg(4096)->Arg(65536);

void BM_NameHash(benchmark::State& state, const std::string& name, bool caseSensitive) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(name.data());
  for (auto _ : state) {
    uint32_t hash;
    benchmark::DoNotOptimize(NameHash(bytes, uint32_t(name.size()), caseSensitive, &hash));
    benchmark::DoNotOptimize(hash);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(name.size()));
}
BENCHMARK_CAPTURE(BM_NameHash, ascii_insensitive, std::string("Quarterly Report 2026-final.docx"), false);
BENCHMARK_CAPTURE(BM_NameHash, unicode_insensitive,
                  std::string("R\xC3\xA9sum\xC3\xA9 \xE1\xBC\x88\xCE\xB8\xE1\xBF\x86\xCE\xBD\xCE\xB1\xCE\xB9 \xEA\xB0\x81"), false);
BENCHMARK_CAPTURE(BM_NameHash, ascii_sensitive, std::string("Quarterly Report 2026-final.docx"), true);

constexpr int DIRECTORY_FILES = 2000;
constexpr uint32_t FRAGMENTED_EXTENTS = 1024;

std::string FileName(int i) { return "file-" + std::to_string(i) + ".txt"; }

apfsw::ContainerSpec SmallVolume() {
  apfsw::VolumeSpec volume;
  volume.name = "Bench";
  apfsw::Entry directory = apfsw::DirectoryEntry("many");
  for (int i = 0; i < DIRECTORY_FILES; i++) {
    apfsw::Entry file;
    file.name = FileName(i);
    directory.children.push_back(std::move(file));
  }
  volume.root.children.push_back(std::move(directory));
  apfsw::Entry fragmented;
  fragmented.name = "fragmented.bin";
  fragmented.size = uint64_t(FRAGMENTED_EXTENTS) * 4096;
  fragmented.extentBlocks = 1;
  volume.root.children.push_back(std::move(fragmented));
  apfsw::ContainerSpec spec;
  spec.volumes.push_back(std::move(volume));
  return spec;
}

// The small volume, written on first use and removed when the run ends.
class Fixture {
 public:
  static Fixture& Get() {
    static Fixture fixture;
    return fixture;
  }
  ~Fixture() {
    volume_.reset();
    std::filesystem::remove(path_);
  }
  BenchVolume& volume() { return *volume_; }

 private:
  Fixture()
      : path_((std::filesystem::temp_directory_path() / ("engine-bench-" + std::to_string(getpid()) + ".img"))
                  .string()) {
    apfsw::WriteImage(SmallVolume(), path_);
    volume_ = std::make_unique<BenchVolume>(path_);
  }
  std::string path_;
  std::unique_ptr<BenchVolume> volume_;
};

// A private copy of the leaf that holds the directory record of name, parsed anew so
// later tree operations cannot move it.
bool CopyLeafHolding(BenchVolume& volume, const std::string& name, NodeView* view) {
  FsNode* directory = volume.Lookup("many");
  if (directory == nullptr) return false;
  const uint64_t directoryId = directory->inode->objectId & OBJ_ID_MASK;
  FsNodeRelease(directory);
  const auto* bytes = reinterpret_cast<const uint8_t*>(name.data());
  uint32_t hash = 0;
  SearchKey key;
  NodeRecord record;
  bool notFound = false;
  if (!NameHash(bytes, uint32_t(name.size()), false, &hash) ||
      !SearchKeyDrec(&key, directoryId, hash, bytes, uint32_t(name.size()), false) ||
      !BTreeFind(volume.fsTree(), &key, FIND_EXACT, &record, &notFound)) {
    return false;
  }
  const NodeView& leaf = volume.fsTree()->current->node;
  *view = NodeView{};
  view->buffer = BlockBufferClone(leaf.buffer);
  if (view->buffer == nullptr) return false;
  view->bytes = view->buffer->data;
  view->address = leaf.address;
  view->volumeIndex = leaf.volumeIndex;
  return NodeParse(view, ContainerXid(volume.container()));
}

// Search keys equal to every directory record of the node (its first or last entries
// may be records of another kind).
std::vector<SearchKey> DirectoryRecordKeysOf(const NodeView& view) {
  std::vector<SearchKey> keys;
  for (uint32_t i = 0; i < view.entryCount; i++) {
    NodeRecord record;
    if (!NodeEntry(&view, i, &record) || record.keySize > MAX_SEARCH_KEY || record.keySize < 8) continue;
    if ((Le64(record.key) >> OBJ_TYPE_SHIFT) != APFS_TYPE_DIR_REC) continue;
    SearchKey key{};
    key.kind = KEY_KIND_DREC;
    key.length = uint16_t(record.keySize);
    std::memcpy(key.bytes, record.key, record.keySize);
    keys.push_back(key);
  }
  return keys;
}

void BM_NodeSearch(benchmark::State& state) {
  NodeView view;
  if (!CopyLeafHolding(Fixture::Get().volume(), FileName(DIRECTORY_FILES / 2), &view)) {
    state.SkipWithError("no leaf holds the directory's records");
    return;
  }
  const std::vector<SearchKey> keys = DirectoryRecordKeysOf(view);
  size_t next = 0;
  bool missed = false;
  for (auto _ : state) {
    const int32_t found = NodeSearch(&view, &keys[next], FIND_EXACT);
    missed |= found < 0;
    benchmark::DoNotOptimize(found);
    next = next + 1 == keys.size() ? 0 : next + 1;
  }
  if (missed) state.SkipWithError("a key of the node was not found in it");
  state.counters["entries"] = double(view.entryCount);
  state.counters["searched"] = double(keys.size());
  BlockBufferRelease(view.buffer);
}
BENCHMARK(BM_NodeSearch);

void BM_InodeLoad(benchmark::State& state) {
  BenchVolume& volume = Fixture::Get().volume();
  FsNode* directory = volume.Lookup("many");
  std::vector<uint64_t> ids;
  if (directory != nullptr) {
    volume.ListDirectory(directory, "", [&](const std::string&, const FileInfo& entry) { ids.push_back(entry.objectId); });
    FsNodeRelease(directory);
  }
  if (ids.size() != DIRECTORY_FILES) {
    state.SkipWithError("the directory did not list");
    return;
  }
  std::shuffle(ids.begin(), ids.end(), std::mt19937_64(1));
  size_t next = 0;
  for (auto _ : state) {
    bool notFound = false;
    Inode* inode = InodeLoad(volume.container(), ids[next], volume.fsTree(), &notFound);
    if (inode == nullptr) {
      state.SkipWithError("an inode did not load");
      break;
    }
    InodeRelease(inode);
    next = next + 1 == ids.size() ? 0 : next + 1;
  }
}
BENCHMARK(BM_InodeLoad);

// Each extent looked up at its first byte, in rising order, as a sequential read does.
void BM_FileExtentLookup(benchmark::State& state) {
  BenchVolume& volume = Fixture::Get().volume();
  FsNode* file = volume.Lookup("fragmented.bin");
  if (file == nullptr) {
    state.SkipWithError("fragmented.bin did not open");
    return;
  }
  uint64_t offset = 0;
  const uint64_t size = uint64_t(FRAGMENTED_EXTENTS) * 4096;
  for (auto _ : state) {
    uint64_t imageOffset = 0, length = 0;
    if (!FileExtentLookup(file->inode, offset, &imageOffset, &length, volume.fsTree()) || length == 0) {
      state.SkipWithError("an extent was not found");
      break;
    }
    benchmark::DoNotOptimize(imageOffset);
    offset += length;
    if (offset >= size) offset = 0;
  }
  state.counters["extents"] = FRAGMENTED_EXTENTS;
  FsNodeRelease(file);
}
BENCHMARK(BM_FileExtentLookup);

}  // namespace
