// Data for the decoders' benchmarks: words and small binary records, which compress about
// as well as the text and tables of a system folder. The same seed gives the same bytes.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

// Appends words and records drawn from random to out until it holds size bytes.
inline void AppendWordsAndRecords(std::mt19937& random, size_t size, std::vector<uint8_t>& out) {
  static const char* const words[] = {"apfs ", "chunk ", "volume ", "extent ", "inode ", "snapshot ", "record ", "\n"};
  while (out.size() < size) {
    if (random() % 4 == 0) {
      const uint32_t record = random() % 100000;
      for (int i = 0; i < 12; i++) out.push_back(uint8_t(record >> (i % 4 * 8)));
    } else {
      const char* w = words[random() % 8];
      out.insert(out.end(), w, w + std::char_traits<char>::length(w));
    }
  }
  out.resize(size);
}
