// Micro-benchmarks of the engine's innermost loops.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "ApfsProcs.h"

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

}  // namespace
