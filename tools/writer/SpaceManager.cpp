#include "SpaceManager.h"

#include <algorithm>
#include <stdexcept>

#include "Object.h"
#include "OnDisk.h"

namespace apfsw {

namespace {

// Room the internal pool leaves for rewritten copies of its bitmaps and chunk-info blocks.
constexpr uint64_t kIpCopies = 3;

void SetBits(std::vector<uint8_t>& bitmap, uint64_t first, uint64_t count) {
  for (uint64_t bit = first; bit < first + count; ++bit) bitmap[bit / 8] |= uint8_t(1u << (bit % 8));
}

// The bitmap of one chunk; empty when no block of the chunk is in use.
struct ChunkBitmap {
  std::vector<uint8_t> bits;
  uint64_t usedBlocks = 0;
};

ChunkBitmap BuildChunkBitmap(const SpacemanGeometry& g, const std::vector<BlockRange>& used,
                             size_t& rangeCursor, uint64_t chunk) {
  const uint64_t first = chunk * g.blocksPerChunk;
  const uint64_t end = std::min<uint64_t>(first + g.blocksPerChunk, g.blockCount);
  ChunkBitmap result;
  while (rangeCursor < used.size() && used[rangeCursor].start + used[rangeCursor].count <= first)
    ++rangeCursor;
  for (size_t r = rangeCursor; r < used.size() && used[r].start < end; ++r) {
    const uint64_t from = std::max(first, used[r].start);
    const uint64_t to = std::min(end, used[r].start + used[r].count);
    if (result.bits.empty()) result.bits.assign(g.blockSize, 0);
    SetBits(result.bits, from - first, to - from);
    result.usedBlocks += to - from;
  }
  return result;
}

}  // namespace

SpacemanGeometry PlanSpaceman(uint32_t blockSize, uint64_t blockCount, uint64_t base) {
  SpacemanGeometry g;
  g.blockSize = blockSize;
  g.blockCount = blockCount;
  g.blocksPerChunk = blockSize * 8;
  g.chunksPerCib = static_cast<uint32_t>((blockSize - CIB_HEADER_SIZE) / CHUNK_INFO_SIZE);
  g.cibsPerCab = static_cast<uint32_t>((blockSize - CIB_HEADER_SIZE) / 8);
  g.chunkCount = DivRoundUp(blockCount, g.blocksPerChunk);
  g.cibCount = DivRoundUp(g.chunkCount, g.chunksPerCib);
  g.ipBlockCount = (g.chunkCount + g.cibCount) * kIpCopies;
  g.ipBitmapBlocks = static_cast<uint32_t>(DivRoundUp(g.ipBlockCount, g.blocksPerChunk));
  g.ipBitmapBlockCount = g.ipBitmapBlocks * SPACEMAN_IP_BM_TX_MULTIPLIER;
  g.ipBitmapBase = base;
  g.ipBase = base + g.ipBitmapBlockCount;
  if (g.ipBitmapBlocks > 1) throw std::runtime_error("container too large for the space manager");
  return g;
}

SpacemanObject WriteSpaceman(WriteContext& context, const SpacemanGeometry& g,
                             const std::vector<BlockRange>& used, uint64_t oid,
                             const FreeQueueState queues[2]) {
  const uint32_t bs = g.blockSize;
  std::vector<uint8_t> ipBitmap(bs, 0);
  std::vector<uint8_t> cib;
  uint64_t totalUsed = 0;
  size_t rangeCursor = 0;
  for (uint64_t chunk = 0; chunk < g.chunkCount; ++chunk) {
    const uint64_t cibIndex = chunk / g.chunksPerCib;
    const uint64_t slot = chunk % g.chunksPerCib;
    const uint64_t cibAddress = g.ipBase + g.chunkCount + cibIndex;
    if (slot == 0) {
      cib.assign(bs, 0);
      SetObjectHeader(cib.data(), cibAddress, context.xid, TYPE_SPACEMAN_CIB | OBJ_PHYSICAL, 0);
      Put32(cib.data() + 32, static_cast<uint32_t>(cibIndex));
    }
    const ChunkBitmap bitmap = BuildChunkBitmap(g, used, rangeCursor, chunk);
    const uint64_t chunkStart = chunk * g.blocksPerChunk;
    const uint64_t chunkBlocks = std::min<uint64_t>(g.blocksPerChunk, g.blockCount - chunkStart);
    uint64_t bitmapAddress = 0;
    if (!bitmap.bits.empty()) {
      bitmapAddress = g.ipBase + chunk;
      context.image.WriteBlock(bitmapAddress, bitmap.bits);
      SetBits(ipBitmap, chunk, 1);
    }
    totalUsed += bitmap.usedBlocks;
    uint8_t* info = cib.data() + CIB_HEADER_SIZE + slot * CHUNK_INFO_SIZE;
    Put64(info, context.xid);
    Put64(info + 8, chunkStart);
    Put32(info + 16, static_cast<uint32_t>(chunkBlocks));
    Put32(info + 20, static_cast<uint32_t>(chunkBlocks - bitmap.usedBlocks));
    Put64(info + 24, bitmapAddress);
    Put32(cib.data() + 36, static_cast<uint32_t>(slot + 1));
    if (slot + 1 == g.chunksPerCib || chunk + 1 == g.chunkCount) {
      SealObject(cib.data(), bs);
      context.image.WriteBlock(cibAddress, cib);
      SetBits(ipBitmap, g.chunkCount + cibIndex, 1);
      context.Note("spaceman.cib[" + std::to_string(cibIndex) + "]", cibAddress, cibAddress,
                   TYPE_SPACEMAN_CIB | OBJ_PHYSICAL);
    }
  }
  context.image.WriteBlock(g.ipBitmapBase, ipBitmap);

  SpacemanObject sm;
  sm.freeBlocks = g.blockCount - totalUsed;
  sm.block.assign(bs, 0);
  uint8_t* b = sm.block.data();
  SetObjectHeader(b, oid, context.xid, TYPE_SPACEMAN | OBJ_EPHEMERAL, 0);
  Put32(b + sm::BLOCK_SIZE, bs);
  Put32(b + sm::BLOCKS_PER_CHUNK, g.blocksPerChunk);
  Put32(b + sm::CHUNKS_PER_CIB, g.chunksPerCib);
  Put32(b + sm::CIBS_PER_CAB, g.cibsPerCab);
  // The arrays after the fixed fields: bitmap transactions, current bitmap indexes, the
  // chain of free bitmap copies, then the chunk-info block addresses.
  const size_t xidOffset = SPACEMAN_STRUCT_SIZE;
  const size_t bitmapOffset = xidOffset + 8 * g.ipBitmapBlocks;
  const size_t freeNextOffset = bitmapOffset + 2 * g.ipBitmapBlocks;
  const size_t cibAddrOffset = AlignUp(freeNextOffset + 2 * g.ipBitmapBlockCount, 8);
  if (cibAddrOffset + 8 * g.cibCount > bs)
    throw std::runtime_error("container too large for one space-manager block");
  uint8_t* dev = b + sm::DEV_MAIN;
  Put64(dev + sm::DEV_BLOCK_COUNT, g.blockCount);
  Put64(dev + sm::DEV_CHUNK_COUNT, g.chunkCount);
  Put32(dev + sm::DEV_CIB_COUNT, static_cast<uint32_t>(g.cibCount));
  Put32(dev + sm::DEV_CAB_COUNT, 0);
  Put64(dev + sm::DEV_FREE_COUNT, sm.freeBlocks);
  Put32(dev + sm::DEV_ADDR_OFFSET, static_cast<uint32_t>(cibAddrOffset));
  Put32(b + sm::FLAGS, 1);
  Put32(b + sm::IP_BM_TX_MULTIPLIER, SPACEMAN_IP_BM_TX_MULTIPLIER);
  Put64(b + sm::IP_BLOCK_COUNT, g.ipBlockCount);
  Put32(b + sm::IP_BM_SIZE_IN_BLOCKS, g.ipBitmapBlocks);
  Put32(b + sm::IP_BM_BLOCK_COUNT, g.ipBitmapBlockCount);
  Put64(b + sm::IP_BM_BASE, g.ipBitmapBase);
  Put64(b + sm::IP_BASE, g.ipBase);
  for (uint32_t q = 0; q < 2; ++q) {
    uint8_t* fq = b + sm::FQ + q * sm::FQ_SIZE;
    Put64(fq, queues[q].count);
    Put64(fq + 8, queues[q].treeOid);
    Put64(fq + 16, queues[q].oldestXid);
    Put16(fq + 24, queues[q].nodeLimit);
  }
  Put16(b + sm::IP_BM_FREE_HEAD, static_cast<uint16_t>(g.ipBitmapBlocks));
  Put16(b + sm::IP_BM_FREE_TAIL, static_cast<uint16_t>(g.ipBitmapBlockCount - 1));
  Put32(b + sm::IP_BM_XID_OFFSET, static_cast<uint32_t>(xidOffset));
  Put32(b + sm::IP_BITMAP_OFFSET, static_cast<uint32_t>(bitmapOffset));
  Put32(b + sm::IP_BM_FREE_NEXT_OFFSET, static_cast<uint32_t>(freeNextOffset));
  Put32(b + sm::VERSION, 1);
  Put32(b + sm::STRUCT_SIZE, static_cast<uint32_t>(SPACEMAN_STRUCT_SIZE));
  for (uint32_t i = 0; i < g.ipBitmapBlocks; ++i) {
    Put64(b + xidOffset + 8 * i, context.xid);
    Put16(b + bitmapOffset + 2 * i, static_cast<uint16_t>(i));
  }
  for (uint32_t i = 0; i < g.ipBitmapBlockCount; ++i) {
    const bool inUse = i < g.ipBitmapBlocks;
    const bool last = i + 1 == g.ipBitmapBlockCount;
    Put16(b + freeNextOffset + 2 * i, inUse || last ? uint16_t{0xFFFF} : static_cast<uint16_t>(i + 1));
  }
  for (uint64_t i = 0; i < g.cibCount; ++i)
    Put64(b + cibAddrOffset + 8 * i, g.ipBase + g.chunkCount + i);
  return sm;
}

}  // namespace apfsw
