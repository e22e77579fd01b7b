// Volumes: reading and checking a volume superblock, opening its object map and
// file-system tree, and the volume handle the frame mounts.
#include <cstdlib>

#include "ApfsFormat.h"
#include "ApfsProcs.h"

namespace {

constexpr uint64_t INODE_ROOT_DIRECTORY = 2;

uint64_t Features(const Volume* volume) {
  return Le64(volume->superblock + APFS_INCOMPATIBLE_FEATURES);
}

bool SuperblockValid(const Container* container, const uint8_t* block) {
  const uint64_t quota = Le64(block + APFS_FS_QUOTA_BLOCK_COUNT);
  return Le32(block + APFS_MAGIC) == APFS_MAGIC_VALUE && ObjectType(block) == OBJECT_TYPE_FS &&
         Le64(block + OBJ_XID) <= ContainerXid(container) &&
         (quota == 0 || quota >= Le64(block + APFS_FS_ALLOC_COUNT)) &&
         ObjectVerify(block, container->blockSize);
}

// Reads and checks the superblock of the slot.
bool ReadSuperblock(Volume* volume, uint64_t address) {
  Container* container = volume->container;
  volume->superblockAddress = address;
  if (volume->superblock == nullptr) {
    volume->superblock = static_cast<uint8_t*>(std::calloc(container->blockSize, 1));
    if (volume->superblock == nullptr) return false;
  }
  return ReadAtBlock(container, address, volume->superblock, container->blockSize,
                     CONTAINER_INDEX) &&
         SuperblockValid(container, volume->superblock);
}

// What the superblock alone tells of a volume the engine does not read.
VolumeRefusal RefusalOf(const Volume* volume) {
  if (volume->index >= MAX_ID_VOLUMES) return VOLUME_INDEX_TOO_HIGH;
  if (Features(volume) & APFS_INCOMPAT_SEALED_VOLUME) return VOLUME_SEALED;
  // Half its blocks are in the old form and half in the new, and which is which is kept
  // in a record the engine does not read.
  if (Le64(volume->superblock + APFS_ER_STATE_OID) != 0) return VOLUME_CRYPTO_IN_PROGRESS;
  // Case- and normalisation-sensitive volumes key directory records without a name
  // hash, a form the engine does not read: refuse rather than mangle their names.
  if ((Features(volume) &
       (APFS_INCOMPAT_CASE_INSENSITIVE | APFS_INCOMPAT_NORMALIZATION_INSENSITIVE)) == 0) {
    return VOLUME_UNHASHED_NAMES;
  }
  return VOLUME_READABLE;
}

bool Refuse(Volume* volume, VolumeRefusal refusal) {
  volume->unsupported = true;
  volume->refusal = refusal;
  return false;
}

// Opens the volume's object map and finds the root of its file-system tree there.
bool FindRootTree(Volume* volume, BTree* omapTree) {
  if (!OmapOpen(omapTree, Le64(volume->superblock + APFS_OMAP_OID), volume->index)) return false;
  OmapMapping root;
  bool notFound;
  if (!OmapLookup(omapTree, Le64(volume->superblock + APFS_ROOT_TREE_OID), &root, &notFound)) {
    return false;
  }
  // Headerless nodes belong to sealed volumes, whatever their superblock says.
  if (root.flags & OMAP_VAL_NOHEADER) return Refuse(volume, VOLUME_SEALED);
  if (root.flags == OMAP_VAL_ENCRYPTED) {
    volume->encrypted = true;
  } else if (root.flags != 0) {
    return false;
  }
  volume->rootTreeAddress = root.paddr;
  return root.size == volume->container->blockSize;
}

// A snapshot's superblock: a physical object at its own address, of the snapshot's
// transaction at most, with the live volume's name-comparison features (the volume's
// slot answers how names compare).
bool SnapshotSuperblockValid(const Volume* volume, const SnapshotEntry* snapshot,
                             const uint8_t* block) {
  return SuperblockValid(volume->container, block) &&
         Le64(block + OBJ_OID) == snapshot->superblockAddress &&
         Le64(block + OBJ_XID) <= snapshot->xid &&
         Le64(block + APFS_INCOMPATIBLE_FEATURES) == Features(volume);
}

// The root of the snapshot's file-system tree, through the live object map as of the
// snapshot's transaction: a snapshot's superblock has no object map of its own. An
// encrypted volume's snapshots are encrypted with its key, as its live tree is.
bool FindSnapshotRoot(Volume* volume, const uint8_t* superblock, uint64_t xid, BTree* omapTree,
                      uint64_t* rootAddress) {
  if (!OmapOpen(omapTree, Le64(volume->superblock + APFS_OMAP_OID), volume->index)) return false;
  omapTree->snapshotXid = xid;
  OmapMapping root;
  bool notFound;
  const uint32_t flags = volume->encrypted ? OMAP_VAL_ENCRYPTED : 0;
  if (!OmapLookup(omapTree, Le64(superblock + APFS_ROOT_TREE_OID), &root, &notFound) ||
      root.flags != flags || root.size != volume->container->blockSize) {
    return false;
  }
  *rootAddress = root.paddr;
  return true;
}

bool HasKeybag(const Container* container) {
  return Le64(container->latest + NX_KEYLOCKER) != 0 &&
         Le64(container->latest + NX_KEYLOCKER + 8) != 0;
}

bool OpenSlot(Volume* volume, const char* password, BTree* omapTree, BTree* fsTree) {
  Container* container = volume->container;
  uint64_t address;
  if (!VolumeSuperblockAddress(container, volume->index, &address) ||
      !ReadSuperblock(volume, address)) {
    return false;
  }
  const VolumeRefusal refusal = RefusalOf(volume);
  if (refusal != VOLUME_READABLE) return Refuse(volume, refusal);
  if (!FindRootTree(volume, omapTree)) return false;
  // Without a keybag in the container the keys are kept by hardware: the slot is listed
  // but stays locked.
  if (volume->encrypted && !HasKeybag(container)) {
    volume->lock = LOCK_HARDWARE;
    return true;
  }
  if (volume->encrypted && !VolumeUnlock(volume, password)) return false;
  return BTreeOpenRoot(fsTree, volume->rootTreeAddress, volume->index, omapTree, true) &&
         BTreeCreateCursor(fsTree);
}

}  // namespace

bool VolumeSlotOpen(Container* container, uint32_t index, const char* password, BTree* omapTree,
                    BTree* fsTree) {
  if (index >= container->volumeCount || container->volumes == nullptr) return false;
  Volume* volume = &container->volumes[index];
  if (volume->open) return true;
  volume->open = true;
  volume->encrypted = false;
  volume->unsupported = false;
  volume->refusal = VOLUME_READABLE;
  volume->lock = LOCK_NONE;
  if (!OpenSlot(volume, password, omapTree, fsTree)) {
    volume->open = false;
    VolumeForgetKey(volume);
  }
  return volume->open;
}

bool VolumeSnapshotOpen(Container* container, uint32_t index, const SnapshotEntry* snapshot,
                        BTree* omapTree, BTree* fsTree) {
  if (index >= container->volumeCount || container->volumes == nullptr || snapshot->damaged) {
    return false;
  }
  Volume* volume = &container->volumes[index];
  if (!volume->open || volume->unsupported || !VolumeUsable(volume)) return false;
  uint8_t* superblock = static_cast<uint8_t*>(std::malloc(container->blockSize));
  if (superblock == nullptr) return false;
  uint64_t rootAddress = 0;
  const bool found =
      ReadAtBlock(container, snapshot->superblockAddress, superblock, container->blockSize,
                  CONTAINER_INDEX) &&
      SnapshotSuperblockValid(volume, snapshot, superblock) &&
      FindSnapshotRoot(volume, superblock, snapshot->xid, omapTree, &rootAddress);
  std::free(superblock);
  return found && BTreeOpenRoot(fsTree, rootAddress, volume->index, omapTree, true) &&
         BTreeCreateCursor(fsTree);
}

bool VolumeIsCaseSensitive(const Volume* volume) {
  return (Features(volume) & APFS_INCOMPAT_CASE_INSENSITIVE) == 0;
}

bool VolumeUsable(const Volume* volume) { return !volume->encrypted || volume->unlocked; }

void VolumeHandleInit(VolumeHandle* handle, Container* container) {
  handle->root = nullptr;
  handle->container = container;
  handle->index = -1;
}

bool VolumeHandleOpen(VolumeHandle* handle, int32_t index, const char* password,
                      BTree* omapTree, BTree* fsTree) {
  handle->index = index;
  Container* container = handle->container;
  if (index < 0 || index >= int32_t(container->volumeCount) ||
      !VolumeSlotOpen(container, uint32_t(index), password, omapTree, fsTree)) {
    return false;
  }
  if (handle->root != nullptr) return true;
  const uint64_t rootId = uint64_t(index) << OBJ_TYPE_SHIFT | INODE_ROOT_DIRECTORY;
  handle->root = FsNodeCreate(handle, FS_NODE_DIRECTORY, rootId, fsTree);
  return handle->root != nullptr;
}

void VolumeHandleRelease(VolumeHandle* handle) {
  FsNodeRelease(handle->root);
  handle->root = nullptr;
}
