// The space manager: allocation bitmaps of the whole container, kept in its internal pool,
// with chunk-info blocks and the ephemeral space-manager object that ties them together.
#pragma once

#include <cstdint>
#include <vector>

#include "ImageFile.h"
#include "WriteContext.h"

namespace apfsw {

struct SpacemanGeometry {
  uint32_t blockSize = 0;
  uint64_t blockCount = 0;
  uint32_t blocksPerChunk = 0;
  uint32_t chunksPerCib = 0;
  uint32_t cibsPerCab = 0;
  uint64_t chunkCount = 0;
  uint64_t cibCount = 0;
  uint64_t ipBitmapBase = 0;     // blocks of the internal pool's own bitmap
  uint32_t ipBitmapBlocks = 0;   // the bitmap's size in blocks
  uint32_t ipBitmapBlockCount = 0;  // blocks set aside for rotating copies of it
  uint64_t ipBase = 0;
  uint64_t ipBlockCount = 0;
  uint64_t End() const { return ipBase + ipBlockCount; }
};

// Sizes the internal pool for a container, placing it from `base` on.
SpacemanGeometry PlanSpaceman(uint32_t blockSize, uint64_t blockCount, uint64_t base);

struct FreeQueueState {
  uint64_t treeOid = 0;
  uint64_t count = 0;
  uint64_t oldestXid = 0;
  uint16_t nodeLimit = 0;
};

struct SpacemanObject {
  std::vector<uint8_t> block;  // the ephemeral object, header xid filled per checkpoint
  uint64_t freeBlocks = 0;
};

// Writes the bitmaps and chunk-info blocks for the blocks in use, and returns the space
// manager object describing them.
SpacemanObject WriteSpaceman(WriteContext& context, const SpacemanGeometry& geometry,
                             const std::vector<BlockRange>& used, uint64_t oid,
                             const FreeQueueState queues[2]);

}  // namespace apfsw
