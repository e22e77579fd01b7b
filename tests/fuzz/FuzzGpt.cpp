// GPT scanning and image-type detection over an arbitrary disk image.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "GptScan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  GptPartition partition;
  std::string error;
  const auto read = [&](uint64_t offset, uint8_t* buffer, uint64_t count) {
    if (offset > size || count > size - offset) return false;
    std::memcpy(buffer, data + offset, count);
    return true;
  };
  if (FindApfsPartition(read, size, &partition, &error) == GptResult::Found &&
      (partition.length == 0 || partition.offset > UINT64_MAX - partition.length)) {
    __builtin_trap();  // a window must never wrap the address space
  }
  return 0;
}
