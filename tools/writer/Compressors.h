// Simple compressors for the chunks of compressed files, both over one greedy match finder:
// LZVN, and LZFSE in entropy-coded blocks. They aim at valid streams of every instruction
// and block kind the writer needs, not at the best ratio.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace apfsw {

// A raw LZVN stream ending with the end-of-stream instruction and its padding.
std::vector<uint8_t> LzvnCompress(const uint8_t* data, size_t size);
// A whole LZFSE stream ending with its end block ("bvx$"): entropy-coded blocks ("bvx2"),
// or for less than 4 KiB one LZVN block ("bvxn").
std::vector<uint8_t> LzfseCompress(const uint8_t* data, size_t size);

}  // namespace apfsw
