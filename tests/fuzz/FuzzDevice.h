// A block device over a fuzzer's input. Images are mostly zeros and a changed object
// fails its checksum, so an input is a packed image that keeps mutations on metadata
// and past the checksum:
//
//   record := where (8 bytes LE) | offset (2 bytes LE) | length (2 bytes LE) | bytes
//
// A record stores its bytes at `offset` within the 4096-byte unit that the low 40 bits
// of `where` name. Every byte no record names reads as zero. Every block with a record
// whose `where` has bit 63 clear gets its object checksum recomputed, so a mutated object
// is read as a well-formed one; setting bit 63 in all of a block's records keeps the
// bytes as stored and exercises the checksum checks. The device is as long as the
// container that unit 0 declares.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "ApfsFormat.h"
#include "ApfsProcs.h"
#include "ApfsStruc.h"

constexpr uint32_t PACK_UNIT = 4096;
constexpr uint32_t PACK_HEADER = 12;
constexpr uint64_t PACK_KEEP_CHECKSUM = uint64_t(1) << 63;
constexpr uint64_t PACK_ADDRESS_MASK = (uint64_t(1) << 40) - 1;

struct FuzzDevice {
  using Unit = std::array<uint8_t, PACK_UNIT>;

  BlockDevice device;  // first member: readAt finds the units from it
  std::map<uint64_t, Unit> units;
  // Blocks whose checksum is recomputed when they are first read: most inputs end long
  // before the engine has read every block.
  std::set<uint64_t> unsealed;
  uint32_t blockSize = PACK_UNIT;
  uint8_t first[PACK_UNIT] = {};

  // At most this much is served, however large a container the input declares.
  static constexpr uint64_t MAX_LENGTH = uint64_t(1) << 40;

  FuzzDevice(const uint8_t* data, size_t size) : device{} {
    std::set<uint64_t> unitsToReseal;
    for (size_t at = 0; at + PACK_HEADER <= size;) {
      const uint64_t where = Le64(data + at);
      const uint32_t offset = Le16(data + at + 8) % PACK_UNIT;
      const size_t length = std::min<size_t>({Le16(data + at + 10), PACK_UNIT - offset,
                                              size - at - PACK_HEADER});
      const uint64_t unit = (where & PACK_ADDRESS_MASK) % (MAX_LENGTH / PACK_UNIT);
      Unit& bytes = units.try_emplace(unit, Unit{}).first->second;
      std::memcpy(bytes.data() + offset, data + at + PACK_HEADER, length);
      if ((where & PACK_KEEP_CHECKSUM) == 0) unitsToReseal.insert(unit);
      at += PACK_HEADER + length;
    }
    blockSize = DeclaredBlockSize();
    for (uint64_t unit : unitsToReseal) unsealed.insert(unit / (blockSize / PACK_UNIT));
    Read(0, first, PACK_UNIT);
    device.readAt = ReadAt;
    device.length = units.empty() ? 0 : (units.rbegin()->first + 1) * PACK_UNIT;
    if (Le32(first + NX_MAGIC) == NX_MAGIC_VALUE) {
      const uint64_t blockCount = Le64(first + NX_BLOCK_COUNT);
      const uint64_t declared = Le32(first + NX_BLOCK_SIZE);
      if (declared != 0 && blockCount <= MAX_LENGTH / declared) {
        device.length = std::max(device.length, declared * blockCount);
      }
    }
  }

  // The block size unit 0 declares when the engine would accept it, else one unit.
  uint32_t DeclaredBlockSize() const {
    auto it = units.find(0);
    if (it == units.end() || Le32(it->second.data() + NX_MAGIC) != NX_MAGIC_VALUE) return PACK_UNIT;
    const uint32_t size = Le32(it->second.data() + NX_BLOCK_SIZE);
    return BlockSizeSupported(size) ? size : PACK_UNIT;
  }

  // Recomputes the checksum of the object at the start of a block, over the whole block.
  void Reseal(uint64_t block) {
    std::vector<uint8_t> bytes(blockSize);
    const uint64_t start = block * (blockSize / PACK_UNIT);
    Read(start * PACK_UNIT, bytes.data(), blockSize);
    const uint64_t checksum = ObjectChecksum(bytes.data(), blockSize);
    Unit& head = units.try_emplace(start, Unit{}).first->second;
    for (int i = 0; i < 8; i++) head[i] = uint8_t(checksum >> (8 * i));
  }

  void Read(uint64_t offset, uint8_t* out, uint32_t count) {
    for (uint32_t done = 0; done < count;) {
      const uint64_t at = offset + done;
      if (unsealed.erase(at / blockSize) != 0) Reseal(at / blockSize);
      const uint32_t within = uint32_t(at % PACK_UNIT);
      const uint32_t n = std::min<uint32_t>(count - done, PACK_UNIT - within);
      auto it = units.find(at / PACK_UNIT);
      if (it == units.end()) {
        std::memset(out + done, 0, n);
      } else {
        std::memcpy(out + done, it->second.data() + within, n);
      }
      done += n;
    }
  }

  static bool ReadAt(BlockDevice* device, uint64_t offset, void* buffer, uint32_t count) {
    reinterpret_cast<FuzzDevice*>(device)->Read(offset, static_cast<uint8_t*>(buffer), count);
    return true;
  }
};

// Packs an image file's metadata: unit 0 and every unit that holds a checksummed object,
// as records of their non-zero runs. File contents are left out (they read as zeros):
// libFuzzer copies each input per execution, so a small input is a fast one.
inline std::vector<uint8_t> PackImage(const std::vector<uint8_t>& image) {
  // Zero runs shorter than a record header are cheaper stored than split at.
  constexpr uint32_t MIN_GAP = PACK_HEADER + 4;
  std::vector<uint8_t> packed;
  auto put = [&packed](uint64_t value, int bytes) {
    for (int i = 0; i < bytes; i++) packed.push_back(uint8_t(value >> (8 * i)));
  };
  for (size_t unit = 0; unit * PACK_UNIT < image.size(); unit++) {
    uint8_t block[PACK_UNIT] = {};
    const size_t take = std::min<size_t>(PACK_UNIT, image.size() - unit * PACK_UNIT);
    std::memcpy(block, image.data() + unit * PACK_UNIT, take);
    if (unit != 0 && !ObjectVerify(block, PACK_UNIT)) continue;
    for (uint32_t at = 0; at < PACK_UNIT;) {
      while (at < PACK_UNIT && block[at] == 0) at++;
      if (at == PACK_UNIT) break;
      uint32_t end = at, zeros = 0;
      for (uint32_t i = at; i < PACK_UNIT && zeros < MIN_GAP; i++) {
        zeros = block[i] == 0 ? zeros + 1 : 0;
        if (block[i] != 0) end = i + 1;
      }
      put(unit, 8);
      put(at, 2);
      put(end - at, 2);
      packed.insert(packed.end(), block + at, block + end);
      at = end;
    }
  }
  return packed;
}
