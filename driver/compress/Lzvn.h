// LZVN: the byte-oriented LZ format of compressed files' chunks and of LZFSE's small blocks.
#pragma once

#include <cstddef>
#include <cstdint>

// Decodes one LZVN stream, up to its end-of-stream instruction, into out from position
// start on, never writing at or past capacity. Matches may reach back to out[0]: the bytes
// before start are the output of earlier blocks of the same stream. Fails on a stream that
// ends early, an undefined instruction, a distance of 0 or before out[0], and output that
// would pass capacity. *end receives the position after the last byte written.
bool LzvnDecode(const uint8_t* in, size_t inLength, uint8_t* out, size_t start, size_t capacity, size_t* end);
