// What the decoder targets share: the output size taken from the input's first bytes, and
// the checks every decode must pass whatever the stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace fuzzdecompress {

constexpr size_t GUARD = 32;
constexpr uint8_t GUARD_BYTE = 0xA5;
// Room given beyond the first capacity in the second run.
constexpr size_t EXTRA_ROOM = 4096;

// Decodes with decode(in, inLength, out, capacity, &produced) into exactly capacity bytes
// followed by guard bytes; traps when the decoder reports more than capacity or touches a
// guard byte. The output is returned when the decode succeeds.
template <typename Decode>
bool Checked(Decode decode, const uint8_t* in, size_t inLength, size_t capacity, std::vector<uint8_t>* decoded) {
  std::vector<uint8_t> out(capacity + GUARD, GUARD_BYTE);
  size_t produced = 0;
  const bool ok = decode(in, inLength, out.data(), capacity, &produced);
  for (size_t i = capacity; i < out.size(); i++) {
    if (out[i] != GUARD_BYTE) __builtin_trap();
  }
  if (ok && produced > capacity) __builtin_trap();
  if (ok) decoded->assign(out.begin(), out.begin() + produced);
  return ok;
}

// Runs the decoder with the capacity the input's first two bytes ask for, then with more
// room: what decodes in a small buffer must decode to the same bytes in a larger one.
template <typename Decode>
void Differential(Decode decode, const uint8_t* data, size_t size, size_t maxCapacity) {
  if (size < 2) return;
  const size_t capacity = (size_t(data[0]) | size_t(data[1]) << 8) % (maxCapacity + 1);
  std::vector<uint8_t> tight, roomy;
  const bool tightOk = Checked(decode, data + 2, size - 2, capacity, &tight);
  const bool roomyOk = Checked(decode, data + 2, size - 2, capacity + EXTRA_ROOM, &roomy);
  if (tightOk && (!roomyOk || tight != roomy)) __builtin_trap();
}

}  // namespace fuzzdecompress
