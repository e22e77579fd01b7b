// A block device over a fuzzer's input. Images are mostly zeros, so an input is a packed
// image: records of an 8-byte little-endian address (in 4096-byte units) followed by the
// 4096 bytes stored there. Every unit no record names reads as zeros, and the device is
// as long as the container that unit 0 declares, so inputs stay small and every mutation
// lands on metadata.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ApfsFormat.h"
#include "ApfsStruc.h"

constexpr uint32_t PACK_UNIT = 4096;
constexpr uint32_t PACK_RECORD = 8 + PACK_UNIT;

struct FuzzDevice {
  BlockDevice device;  // first member: readAt finds the units from it
  std::map<uint64_t, const uint8_t*> units;
  uint8_t first[PACK_UNIT] = {};

  // At most this much is served, however large a container the input declares.
  static constexpr uint64_t MAX_LENGTH = uint64_t(1) << 40;

  FuzzDevice(const uint8_t* data, size_t size) : device{} {
    for (size_t at = 0; at + PACK_RECORD <= size; at += PACK_RECORD) {
      units.emplace(Le64(data + at) % (MAX_LENGTH / PACK_UNIT), data + at + 8);
    }
    if (units.count(0) != 0) std::memcpy(first, units[0], PACK_UNIT);
    device.readAt = ReadAt;
    device.length = units.empty() ? 0 : (units.rbegin()->first + 1) * PACK_UNIT;
    if (Le32(first + NX_MAGIC) == NX_MAGIC_VALUE) {
      const uint64_t blockSize = Le32(first + NX_BLOCK_SIZE);
      const uint64_t blockCount = Le64(first + NX_BLOCK_COUNT);
      if (blockSize != 0 && blockCount <= MAX_LENGTH / blockSize) {
        device.length = std::max(device.length, blockSize * blockCount);
      }
    }
  }

  static bool ReadAt(BlockDevice* device, uint64_t offset, void* buffer, uint32_t count) {
    const auto* self = reinterpret_cast<const FuzzDevice*>(device);
    auto* out = static_cast<uint8_t*>(buffer);
    for (uint32_t done = 0; done < count;) {
      const uint64_t at = offset + done;
      const uint32_t within = uint32_t(at % PACK_UNIT);
      const uint32_t n = std::min<uint32_t>(count - done, PACK_UNIT - within);
      auto it = self->units.find(at / PACK_UNIT);
      if (it == self->units.end()) {
        std::memset(out + done, 0, n);
      } else {
        std::memcpy(out + done, it->second + within, n);
      }
      done += n;
    }
    return true;
  }
};

// Packs an image file's non-zero units, in address order.
inline std::vector<uint8_t> PackImage(const std::vector<uint8_t>& image) {
  std::vector<uint8_t> packed;
  for (size_t unit = 0; unit * PACK_UNIT < image.size(); unit++) {
    uint8_t block[PACK_UNIT] = {};
    const size_t take = std::min<size_t>(PACK_UNIT, image.size() - unit * PACK_UNIT);
    std::memcpy(block, image.data() + unit * PACK_UNIT, take);
    if (unit != 0 && std::all_of(block, block + PACK_UNIT, [](uint8_t b) { return b == 0; })) {
      continue;
    }
    for (int i = 0; i < 8; i++) packed.push_back(uint8_t(uint64_t(unit) >> (8 * i)));
    packed.insert(packed.end(), block, block + PACK_UNIT);
  }
  return packed;
}
