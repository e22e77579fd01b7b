// Decoding speed of compressed files' chunks, in bytes of output per second: LZVN and
// LZFSE against zlib's own inflate on the same data. Two data sets: the shared test
// vectors (LZFSE made by the reference encoder) and 256 MiB (QUADREL_DECODER_DATA_MIB) of
// generated text and records
// cut into 64 KiB chunks as compressed files store them (LZVN and LZFSE from the writer's
// compressors; LZFSE there is its LZVN block form).
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "Compressors.h"
#include "Decmpfs.h"
#include "GeneratedText.h"
#include "Lzfse.h"
#include "Lzvn.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

struct Sample {
  Bytes plain, lzvn, lzfse, zlib;
};

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Deflate(const Bytes& plain) {
  uLongf length = compressBound(uLong(plain.size()));
  Bytes out(length);
  compress2(out.data(), &length, plain.data(), uLong(plain.size()), Z_DEFAULT_COMPRESSION);
  out.resize(length);
  return out;
}

fs::path VectorsFolder() {
  const char* set = std::getenv("QUADREL_COMPRESSION_VECTORS");
  return set != nullptr ? fs::path(set) : fs::path(QUADREL_SOURCE_DIR) / "../shared/testdata/compression";
}

// Each vector with its zlib form; LZVN vectors have no LZFSE form and the other way round.
const std::vector<Sample>& Vectors() {
  static const std::vector<Sample> samples = [] {
    std::vector<Sample> out;
    for (const char* kind : {"lzvn", "lzfse"}) {
      if (!fs::is_directory(VectorsFolder() / kind)) continue;
      for (const auto& entry : fs::directory_iterator(VectorsFolder() / kind)) {
        if (entry.path().extension() != std::string(".") + kind) continue;
        Sample s;
        s.plain = ReadFile(fs::path(entry.path()).replace_extension(".plain"));
        (std::string(kind) == "lzvn" ? s.lzvn : s.lzfse) = ReadFile(entry.path());
        s.zlib = Deflate(s.plain);
        out.push_back(std::move(s));
      }
    }
    return out;
  }();
  return samples;
}

// 256 MiB of words and small records, in 64 KiB chunks, or QUADREL_DECODER_DATA_MIB.
size_t GeneratedBytes() {
  const char* set = std::getenv("QUADREL_DECODER_DATA_MIB");
  return size_t(set != nullptr ? std::strtoul(set, nullptr, 10) : 256) << 20;
}

const std::vector<Sample>& Generated() {
  static const std::vector<Sample> chunks = [] {
    std::mt19937 random(5);
    std::vector<Sample> out;
    for (size_t total = 0; total < GeneratedBytes(); total += DECMPFS_CHUNK_SIZE) {
      Sample s;
      AppendWordsAndRecords(random, DECMPFS_CHUNK_SIZE, s.plain);
      s.lzvn = apfsw::LzvnCompress(s.plain.data(), s.plain.size());
      s.lzfse = apfsw::LzfseCompress(s.plain.data(), s.plain.size());
      s.zlib = Deflate(s.plain);
      out.push_back(std::move(s));
    }
    return out;
  }();
  return chunks;
}

enum class Codec { Lzvn, Lzfse, Zlib };

bool Decode(Codec codec, const Sample& s, Bytes& out) {
  size_t produced = 0;
  switch (codec) {
    case Codec::Lzvn:
      return LzvnDecode(s.lzvn.data(), s.lzvn.size(), out.data(), 0, out.size(), &produced);
    case Codec::Lzfse:
      return LzfseDecode(s.lzfse.data(), s.lzfse.size(), out.data(), out.size(), &produced);
    case Codec::Zlib: {
      uLongf length = uLongf(out.size());
      return uncompress(out.data(), &length, s.zlib.data(), uLong(s.zlib.size())) == Z_OK;
    }
  }
  return false;
}

void Decoding(benchmark::State& state, const std::vector<Sample>& samples, Codec codec) {
  size_t largest = 0;
  for (const Sample& s : samples) largest = std::max(largest, s.plain.size());
  Bytes out(largest);
  int64_t bytes = 0;
  for (auto _ : state) {
    for (const Sample& s : samples) {
      if ((codec == Codec::Lzvn && s.lzvn.empty()) || (codec == Codec::Lzfse && s.lzfse.empty())) continue;
      out.resize(s.plain.size());
      if (!Decode(codec, s, out)) state.SkipWithError("a chunk did not decode");
      bytes += int64_t(s.plain.size());
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(bytes);
}

// zlib on the vectors of one kind, so that each LZ figure has its zlib figure on the same bytes.
void RunZlibOn(benchmark::State& state, bool lzvnVectors) {
  std::vector<Sample> same;
  for (const Sample& s : Vectors()) {
    if (!(lzvnVectors ? s.lzvn : s.lzfse).empty()) same.push_back(s);
  }
  Decoding(state, same, Codec::Zlib);
}

// The data set is made when its first benchmark runs, not when benchmarks are registered.
void Run(benchmark::State& state, const std::vector<Sample>& (*samples)(), Codec codec) {
  Decoding(state, samples(), codec);
}

}  // namespace

BENCHMARK_CAPTURE(Run, vectors_lzvn, &Vectors, Codec::Lzvn);
BENCHMARK_CAPTURE(RunZlibOn, vectors_lzvn_as_zlib, true);
BENCHMARK_CAPTURE(Run, vectors_lzfse, &Vectors, Codec::Lzfse);
BENCHMARK_CAPTURE(RunZlibOn, vectors_lzfse_as_zlib, false);
BENCHMARK_CAPTURE(Run, generated_lzvn, &Generated, Codec::Lzvn)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Run, generated_lzfse, &Generated, Codec::Lzfse)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Run, generated_zlib, &Generated, Codec::Zlib)->Unit(benchmark::kMillisecond);
