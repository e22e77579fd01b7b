// The match copy both LZ decoders share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Appends length bytes at out[position] copied from distance bytes back; the caller has
// checked that 1 <= distance <= position and that the bytes fit.
inline void LzCopyMatch(uint8_t* out, size_t position, size_t distance, size_t length) {
  uint8_t* to = out + position;
  const uint8_t* from = to - distance;
  if (distance >= length) {
    std::memcpy(to, from, length);
    return;
  }
  // Overlapping: a short distance repeats the bytes this match has just written.
  for (size_t i = 0; i < length; i++) to[i] = from[i];
}
