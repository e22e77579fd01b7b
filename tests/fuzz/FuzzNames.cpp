// The name functions over arbitrary bytes: hashing, comparison and decoding.
#include <cstddef>
#include <cstdint>

#include "ApfsProcs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  uint32_t hash;
  NameHash(data, uint32_t(size), false, &hash);
  NameHash(data, uint32_t(size), true, &hash);
  const size_t half = size / 2;
  NameEqual(data, uint32_t(half), data + half, uint32_t(size - half), false);
  NameEqual(data, uint32_t(half), data + half, uint32_t(size - half), true);
  // A name equals itself exactly when it decodes.
  const bool valid = NameHash(data, uint32_t(size), true, &hash);
  const bool self = NameEqual(data, uint32_t(size), data, uint32_t(size), true);
  if (self && !valid) __builtin_trap();
  for (const uint8_t* cursor = data; cursor < data + size;) {
    const uint8_t lead = *cursor++;
    if (lead >= 0x80 && Utf8Decode(lead, &cursor, data + size) < 0) continue;
  }
  return 0;
}
