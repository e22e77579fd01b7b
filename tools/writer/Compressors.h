// Simple compressors for the chunks of compressed files: LZVN (greedy matching) and LZFSE
// (one LZVN block inside the LZFSE framing). They aim at valid streams of every
// instruction class the writer needs, not at the best ratio.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace apfsw {

// A raw LZVN stream ending with the end-of-stream instruction and its padding.
std::vector<uint8_t> LzvnCompress(const uint8_t* data, size_t size);
// A whole LZFSE stream: one LZVN block ("bvxn") and the end block ("bvx$").
std::vector<uint8_t> LzfseCompress(const uint8_t* data, size_t size);

}  // namespace apfsw
