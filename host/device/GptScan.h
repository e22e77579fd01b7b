// Finding the APFS partition of a GPT-partitioned disk image.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct GptPartition {
  uint64_t offset;  // bytes from the start of the disk
  uint64_t length;  // bytes
  uint32_t index;   // entry number in the partition table
};

enum class GptResult {
  NotGpt,  // no GPT header: the image is taken as a bare container
  Found,   // the first partition of the APFS type
  Error,   // a GPT that is damaged or has no APFS partition
};

// Reads exactly count bytes at offset of the disk; false on failure or a short read.
using DiskReader = std::function<bool(uint64_t offset, uint8_t* buffer, uint64_t count)>;

// Looks for a GPT header in the second sector, for 512-byte and then 4096-byte sectors,
// and picks the first partition whose type is APFS (7C3457EF-0000-11AA-AA11-00306543ECAC).
GptResult FindApfsPartition(const DiskReader& read, uint64_t diskSize, GptPartition* partition,
                            std::string* error);
