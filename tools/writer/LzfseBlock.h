// Entropy-coded LZFSE blocks ("bvx2"): a block's literals and its literal-length,
// match-length and distance triples, coded with tables normalised from their own counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace apfsw {

// L literals, then M bytes copied from D bytes back; D 0 repeats the block's previous
// distance. L at most 315, M at most 2,359, D at most 262,139.
struct LzfseTriple {
  uint32_t literals;
  uint32_t matchLength;
  uint32_t distance;
};

// Appends one block that decodes to rawBytes bytes. The literals are padded here to a
// multiple of four, as the decoder takes them four at a time.
void AppendLzfseBlock(std::vector<uint8_t>& out, std::vector<uint8_t> literals,
                      const std::vector<LzfseTriple>& triples, uint32_t rawBytes);

}  // namespace apfsw
