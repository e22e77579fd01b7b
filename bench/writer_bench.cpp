// Write time and peak memory of the image writer on the two large images it must make
// quickly: a volume of 1,000,000 entries and a volume holding one 1 GiB file.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>

#include "ImageWriter.h"

namespace {

std::string TempImagePath(const char* name) {
  return (std::filesystem::temp_directory_path() / (std::string(name) + "-" + std::to_string(::getpid()))).string();
}

double PeakResidentMiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// 1,000,000 entries: 1,000 directories of 999 small files each.
apfsw::ContainerSpec MillionEntries() {
  apfsw::ContainerSpec spec;
  apfsw::VolumeSpec volume;
  volume.name = "Million";
  for (int d = 0; d < 1000; ++d) {
    apfsw::Entry dir = apfsw::DirectoryEntry("dir" + std::to_string(d));
    for (int f = 0; f < 999; ++f) {
      apfsw::Entry file;
      file.name = "file-" + std::to_string(f) + ".txt";
      file.size = 100;
      dir.children.push_back(std::move(file));
    }
    volume.root.children.push_back(std::move(dir));
  }
  spec.volumes.push_back(std::move(volume));
  return spec;
}

apfsw::ContainerSpec OneGibibyteFile() {
  apfsw::ContainerSpec spec;
  apfsw::VolumeSpec volume;
  volume.name = "Big";
  apfsw::Entry file;
  file.name = "big.bin";
  file.size = 1ull << 30;
  volume.root.children.push_back(std::move(file));
  spec.volumes.push_back(std::move(volume));
  return spec;
}

void WriteAndMeasure(benchmark::State& state, const apfsw::ContainerSpec& spec, const char* name) {
  const std::string path = TempImagePath(name);
  for (auto _ : state) {
    const apfsw::WriteResult result = apfsw::WriteImage(spec, path);
    benchmark::DoNotOptimize(result.freeBlocks);
    state.counters["records"] = static_cast<double>(result.volumes[0].treeRecords);
  }
  state.counters["peak_rss_MiB"] = PeakResidentMiB();
  std::filesystem::remove(path);
}

void BM_WriteMillionEntries(benchmark::State& state) {
  const apfsw::ContainerSpec spec = MillionEntries();
  WriteAndMeasure(state, spec, "writer-bench-million");
}
BENCHMARK(BM_WriteMillionEntries)->Iterations(1)->Unit(benchmark::kSecond);

void BM_WriteOneGibibyteFile(benchmark::State& state) {
  WriteAndMeasure(state, OneGibibyteFile(), "writer-bench-gib");
}
BENCHMARK(BM_WriteOneGibibyteFile)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
