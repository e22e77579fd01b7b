// State shared by the parts of one image write.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ImageFile.h"
#include "ImageWriter.h"

namespace apfsw {

struct WriteContext {
  ImageFile& image;
  BlockAllocator& allocator;
  uint32_t blockSize;
  uint64_t xid;          // transaction of every current object
  uint64_t seed;
  int64_t baseTime;
  uint64_t nextOid;      // container-wide counter of virtual and ephemeral ids
  std::vector<ObjectLocation>& objects;

  uint64_t NewOid() { return nextOid++; }
  void Note(const std::string& name, uint64_t address, uint64_t oid, uint32_t type) {
    objects.push_back({name, address, oid, type});
  }
};

// Deterministic pseudo-random values (splitmix64) for UUIDs and default times.
uint64_t MixSeed(uint64_t seed, uint64_t salt);
std::vector<uint8_t> SeededUuid(uint64_t seed, uint64_t salt);

}  // namespace apfsw
