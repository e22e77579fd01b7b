// LZFSE: blocks of finite-state-entropy coded literals and matches, LZVN blocks and stored
// blocks, ending with an end-of-stream block.
#pragma once

#include <cstddef>
#include <cstdint>

// Decodes a whole LZFSE stream into out, never writing at or past capacity. Fails on an
// unknown block, a damaged or truncated block, and output that would pass capacity.
// *outLength receives the number of bytes decoded.
bool LzfseDecode(const uint8_t* in, size_t inLength, uint8_t* out, size_t capacity, size_t* outLength);
