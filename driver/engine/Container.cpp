// The container: its superblock, the walk to the newest checkpoint, the checkpoint map
// of ephemeral objects, the container object map and the volume slots. Every ring field
// is checked before it is used in arithmetic: a superblock is untrusted input.
#include <cstdlib>
#include <cstring>
#include <new>

#include "ApfsFormat.h"
#include "ApfsProcs.h"

namespace {

struct Ring {
  uint64_t base;
  uint64_t blocks;
};

Ring RingOf(const uint8_t* superblock) {
  return {Le64(superblock + NX_XP_DESC_BASE), Le32(superblock + NX_XP_DESC_BLOCKS)};
}

// The descriptor ring must lie inside the container, and this checkpoint's index,
// length and next index must lie inside the ring.
bool RingSane(const uint8_t* superblock) {
  const Ring ring = RingOf(superblock);
  const uint64_t blockCount = Le64(superblock + NX_BLOCK_COUNT);
  const uint32_t index = Le32(superblock + NX_XP_DESC_INDEX);
  const uint32_t length = Le32(superblock + NX_XP_DESC_LEN);
  const uint32_t next = Le32(superblock + NX_XP_DESC_NEXT);
  return ring.blocks >= 2 && ring.base < blockCount && ring.blocks <= blockCount - ring.base &&
         index < ring.blocks && length >= 1 && length <= ring.blocks && next < ring.blocks;
}

uint8_t* AllocateBlock(const Container* container) {
  return static_cast<uint8_t*>(std::calloc(container->blockSize, 1));
}

bool ReadBlock(Container* container, uint64_t address, uint8_t* block) {
  return ReadAtBlock(container, address, block, container->blockSize, CONTAINER_INDEX);
}

// Follows the ring forward from block 0's checkpoint to the newest container superblock.
bool FindLatestCheckpoint(Container* container, uint64_t* latest) {
  const uint8_t* block0 = container->block0;
  const Ring ring = RingOf(block0);
  const uint64_t ringEnd = ring.base + ring.blocks;
  uint64_t cur = ring.base + Le32(block0 + NX_XP_DESC_INDEX) + Le32(block0 + NX_XP_DESC_LEN) - 1;
  uint64_t best = 0;
  uint64_t bestXid = 0;
  uint8_t* block = AllocateBlock(container);
  if (block == nullptr) return false;
  bool ok = true;
  // Every step either moves to a newer superblock or one block on, so a sane ring is
  // walked in at most its length plus one steps.
  for (uint64_t step = 0; ok && step <= ring.blocks; step++) {
    if (cur >= ringEnd) cur = ring.base + (cur - ring.base) % ring.blocks;
    if (!ReadBlock(container, cur, block)) {
      ok = false;
      break;
    }
    const uint16_t type = ObjectType(block);
    const uint64_t xid = Le64(block + OBJ_XID);
    if (type == OBJECT_TYPE_NX_SUPERBLOCK) {
      if (bestXid != 0 && xid <= bestXid) break;
      best = cur;
      bestXid = xid;
      cur = ring.base + (uint64_t(Le32(block + NX_XP_DESC_NEXT)) + 1) % ring.blocks;
    } else if (type == OBJECT_TYPE_CHECKPOINT_MAP) {
      cur = cur + 1;
    } else if (type == 0) {
      break;
    } else {
      ok = false;
    }
  }
  std::free(block);
  *latest = best;
  return ok && bestXid != 0;
}

bool AppendMapEntries(Container* container, const uint8_t* block) {
  const uint32_t count = Le32(block + CPM_COUNT);
  if (count > (container->blockSize - CPM_ENTRIES) / CPM_ENTRY_SIZE) return false;
  // An empty block adds nothing; resizing the table to zero bytes would free it.
  if (count == 0) return true;
  const uint64_t total = uint64_t(container->cpmCount) + count;
  if (total > UINT32_MAX / CPM_ENTRY_SIZE) return false;
  auto* table = static_cast<uint8_t*>(std::realloc(container->cpmTable, total * CPM_ENTRY_SIZE));
  if (table == nullptr) return false;
  std::memcpy(table + uint64_t(container->cpmCount) * CPM_ENTRY_SIZE, block + CPM_ENTRIES,
              uint64_t(count) * CPM_ENTRY_SIZE);
  container->cpmTable = table;
  container->cpmCount = uint32_t(total);
  return true;
}

// Reads the checkpoint-map blocks of the newest checkpoint into one table.
bool LoadCheckpointMap(Container* container) {
  std::free(container->cpmTable);
  container->cpmTable = nullptr;
  container->cpmCount = 0;
  const uint8_t* latest = container->latest;
  const Ring ring = RingOf(latest);
  const uint32_t mapBlocks = Le32(latest + NX_XP_DESC_LEN) - 1;
  uint8_t* block = AllocateBlock(container);
  if (block == nullptr) return false;
  bool ok = true;
  for (uint32_t i = 0; ok && i < mapBlocks; i++) {
    const uint64_t address = ring.base + (container->checkpointStart - ring.base + i) % ring.blocks;
    ok = ReadBlock(container, address, block) && ObjectVerify(block, container->blockSize) &&
         Le64(block + OBJ_OID) == address && Le64(block + OBJ_XID) == ContainerXid(container) &&
         ObjectType(block) == OBJECT_TYPE_CHECKPOINT_MAP && AppendMapEntries(container, block);
  }
  std::free(block);
  return ok;
}

// Slots run up to the highest non-empty volume id, within nx_max_file_systems.
uint32_t VolumeSlotCount(const uint8_t* latest) {
  const uint32_t maxVolumes = Le32(latest + NX_MAX_FILE_SYSTEMS);
  uint32_t count = 0;
  for (uint32_t i = 0; i < maxVolumes && i < MAX_VOLUMES; i++) {
    if (Le64(latest + NX_FS_OID + 8 * i) != 0) count = i + 1;
  }
  return count;
}

bool PrepareVolumeSlots(Container* container) {
  if (container->volumes == nullptr) {
    container->volumes = new (std::nothrow) Volume[MAX_VOLUMES]{};
    if (container->volumes == nullptr) return false;
    for (uint32_t i = 0; i < MAX_VOLUMES; i++) {
      container->volumes[i].container = container;
      container->volumes[i].index = uint8_t(i);
    }
  }
  const uint32_t count = VolumeSlotCount(container->latest);
  container->volumeCount = uint8_t(count);
  return count >= 1;
}

bool OpenContainerObjectMap(Container* container) {
  if (container->omap == nullptr) {
    container->omap = new (std::nothrow) BTree;
    if (container->omap == nullptr) return false;
    BTreeInit(container->omap, container);
  }
  return OmapOpen(container->omap, Le64(container->latest + NX_OMAP_OID), CONTAINER_INDEX);
}

// Reads the superblock of slot index into a fresh block (caller frees), with its role.
uint8_t* ReadSlotSuperblock(Container* container, uint32_t index) {
  uint64_t address;
  if (!VolumeSuperblockAddress(container, index, &address)) return nullptr;
  uint8_t* block = AllocateBlock(container);
  if (block != nullptr && !ReadBlock(container, address, block)) {
    std::free(block);
    return nullptr;
  }
  return block;
}

bool LoadBlock0(Container* container, const uint8_t* firstBlock) {
  container->blockSize = Le32(firstBlock + NX_BLOCK_SIZE);
  if (!BlockSizeSupported(container->blockSize)) return false;
  container->blockShift = BlockShiftOf(container->blockSize);
  std::free(container->block0);
  container->block0 = AllocateBlock(container);
  if (container->block0 == nullptr) return false;
  if (container->blockSize == MIN_BLOCK_SIZE) {
    std::memcpy(container->block0, firstBlock, MIN_BLOCK_SIZE);
    return true;
  }
  return ContainerRead(container, 0, container->block0, container->blockSize);
}

// A container spanning a second device keeps blocks on a device the engine is not
// given: it is refused rather than read with holes.
bool OnOneDevice(Container* container, const uint8_t* superblock) {
  if (Le64(superblock + NX_INCOMPATIBLE_FEATURES) & NX_INCOMPAT_FUSION) container->fusion = true;
  return !container->fusion;
}

bool SameRing(const uint8_t* a, const uint8_t* b) {
  return RingOf(a).base == RingOf(b).base && RingOf(a).blocks == RingOf(b).blocks;
}

bool LoadLatest(Container* container, uint64_t address) {
  uint8_t* latest = AllocateBlock(container);
  if (latest == nullptr) return false;
  const bool read = ReadBlock(container, address, latest);
  std::free(container->latest);
  container->latest = latest;
  return read && NxSuperblockCheck(container, latest) && OnOneDevice(container, latest) &&
         RingSane(latest) && SameRing(latest, container->block0) &&
         Le32(latest + NX_BLOCK_SIZE) == container->blockSize;
}

}  // namespace

void ContainerInit(Container* container) { *container = Container{}; }

uint32_t ContainerBlockSize(const Container* container) { return container->blockSize; }

uint64_t ContainerBlockCount(const Container* container) {
  const uint8_t* superblock = container->latest != nullptr ? container->latest : container->block0;
  return superblock != nullptr ? Le64(superblock + NX_BLOCK_COUNT) : 0;
}

uint64_t ContainerXid(const Container* container) {
  return container->latest != nullptr ? Le64(container->latest + OBJ_XID) : 0;
}

bool NxSuperblockCheck(const Container* container, const uint8_t* block) {
  const uint64_t blockCount = Le64(block + NX_BLOCK_COUNT);
  const uint32_t maxVolumes = Le32(block + NX_MAX_FILE_SYSTEMS);
  return Le32(block + NX_MAGIC) == NX_MAGIC_VALUE &&
         ObjectType(block) == OBJECT_TYPE_NX_SUPERBLOCK &&
         BlockSizeSupported(container->blockSize) && blockCount >= 1 &&
         blockCount <= NX_MAX_BLOCK_COUNT && maxVolumes >= 1 && maxVolumes <= MAX_VOLUMES &&
         ObjectVerify(block, container->blockSize);
}

bool ContainerOpen(Container* container, const uint8_t* firstBlock, BlockDevice* device) {
  container->opened = false;
  container->device = device;
  if (device == nullptr || firstBlock == nullptr) return false;
  container->maxVolumes = MAX_VOLUMES;
  container->fusion = false;
  if (!LoadBlock0(container, firstBlock) || !NxSuperblockCheck(container, container->block0) ||
      !OnOneDevice(container, container->block0) || !RingSane(container->block0)) {
    return false;
  }
  uint64_t latestAddress;
  if (!FindLatestCheckpoint(container, &latestAddress) || !LoadLatest(container, latestAddress)) {
    return false;
  }
  container->latestAddress = latestAddress;
  const Ring ring = RingOf(container->latest);
  const uint64_t length = Le32(container->latest + NX_XP_DESC_LEN);
  // The checkpoint's first block, wrapping backwards around the ring's start.
  container->checkpointStart = latestAddress - (length - 1);
  if (latestAddress < ring.base + (length - 1)) container->checkpointStart += ring.blocks;
  if (!LoadCheckpointMap(container) || !OpenContainerObjectMap(container) ||
      !PrepareVolumeSlots(container)) {
    return false;
  }
  const uint64_t containerBytes = uint64_t(container->blockSize) * ContainerBlockCount(container);
  if (DeviceLength(device) < containerBytes) return false;
  container->opened = true;
  return true;
}

void ContainerClose(Container* container) {
  std::free(container->block0);
  std::free(container->latest);
  std::free(container->cpmTable);
  if (container->volumes != nullptr) {
    for (uint32_t i = 0; i < MAX_VOLUMES; i++) {
      VolumeForgetKey(&container->volumes[i]);
      std::free(container->volumes[i].superblock);
    }
    delete[] container->volumes;
  }
  if (container->omap != nullptr) {
    BTreeRelease(container->omap);
    delete container->omap;
  }
  BlockDevice* device = container->device;
  const CryptoProvider* crypto = container->crypto;
  ContainerInit(container);
  container->device = device;
  container->crypto = crypto;
}

bool CheckpointLookup(const Container* container, uint64_t oid, uint16_t type, uint64_t* paddr,
                      uint32_t* size, bool* notFound) {
  *notFound = false;
  for (uint32_t i = 0; i < container->cpmCount; i++) {
    const uint8_t* entry = container->cpmTable + uint64_t(CPM_ENTRY_SIZE) * i;
    if (Le64(entry + CPM_OID) != oid) continue;
    if (uint16_t(Le32(entry + CPM_TYPE)) != type) return false;
    *paddr = Le64(entry + CPM_PADDR);
    *size = Le32(entry + CPM_SIZE);
    return true;
  }
  *notFound = true;
  return false;
}

Volume* ContainerVolume(Container* container, uint32_t index) {
  index %= 256;
  if (container->volumes == nullptr || index >= container->volumeCount) return nullptr;
  Volume* volume = &container->volumes[index];
  return volume->open ? volume : nullptr;
}

bool VolumeSuperblockAddress(Container* container, uint32_t index, uint64_t* address) {
  if (index >= container->volumeCount || container->omap == nullptr) return false;
  const uint64_t oid = Le64(container->latest + NX_FS_OID + 8 * index);
  if (oid == 0) return false;
  OmapMapping mapping;
  bool notFound;
  if (!OmapLookup(container->omap, oid, &mapping, &notFound)) return false;
  if (mapping.flags != 0 || mapping.size != container->blockSize) return false;
  *address = mapping.paddr;
  return true;
}

uint32_t ContainerDefaultVolume(Container* container) {
  for (uint32_t i = 0; i < container->volumeCount; i++) {
    uint8_t* superblock = ReadSlotSuperblock(container, i);
    if (superblock == nullptr) continue;
    const uint16_t role = Le16(superblock + APFS_ROLE);
    std::free(superblock);
    if ((role & ~APFS_VOL_ROLE_DATA) == 0) return i;
  }
  return 0;
}

void VolumeAdoptSystemName(Container* container, uint32_t index) {
  if (index >= container->volumeCount) return;
  uint8_t* target = container->volumes[index].superblock;
  if (target == nullptr || Le16(target + APFS_ROLE) != APFS_VOL_ROLE_DATA) return;
  for (uint32_t i = 0; i < container->volumeCount; i++) {
    if (i == index) continue;
    uint8_t* superblock = ReadSlotSuperblock(container, i);
    if (superblock == nullptr) continue;
    const bool system = Le16(superblock + APFS_ROLE) == APFS_VOL_ROLE_SYSTEM;
    if (system) {
      const uint8_t* name = superblock + APFS_VOLNAME;
      const void* zero = std::memchr(name, 0, APFS_VOLNAME_LEN);
      const size_t length = zero != nullptr ? size_t(static_cast<const uint8_t*>(zero) - name) + 1
                                            : APFS_VOLNAME_LEN;
      std::memcpy(target + APFS_VOLNAME, name, length);
    }
    std::free(superblock);
    if (system) return;
  }
}

uint64_t ContainerFreeBlocks(Container* container) {
  uint64_t address;
  uint32_t size;
  bool notFound;
  uint8_t spaceman[SPACEMAN_READ_SIZE];
  if (container->latest == nullptr ||
      !CheckpointLookup(container, Le64(container->latest + NX_SPACEMAN_OID),
                        OBJECT_TYPE_SPACEMAN, &address, &size, &notFound) ||
      !ReadAtBlock(container, address, spaceman, sizeof spaceman, CONTAINER_INDEX)) {
    return 0;
  }
  return Le64(spaceman + SM_DEV0_FREE_COUNT) + Le64(spaceman + SM_DEV1_FREE_COUNT);
}
