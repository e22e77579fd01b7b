// Snapshots of a volume: the list kept in the volume's snapshot-metadata tree, checked
// against the object map's own record of live snapshots, with each one's UUID.
#include <cstdlib>
#include <cstring>

#include "ApfsFormat.h"
#include "ApfsProcs.h"

namespace {

// Trees opened for one listing and released with it.
struct ListingTrees {
  BTree meta;       // snapshot metadata, physical
  BTree omap;       // the volume's object map, for UUID lookups
  BTree omapSnaps;  // the object map's snapshot tree, physical; unopened when it has none
  bool haveOmapSnaps;

  explicit ListingTrees(Container* container) : haveOmapSnaps(false) {
    BTreeInit(&meta, container);
    BTreeInit(&omap, container);
    BTreeInit(&omapSnaps, container);
  }
  ~ListingTrees() {
    BTreeRelease(&meta);
    BTreeRelease(&omap);
    BTreeRelease(&omapSnaps);
  }
};

bool OpenListingTrees(const Volume* volume, ListingTrees* trees) {
  const uint8_t* superblock = volume->superblock;
  if (!BTreeOpenRoot(&trees->meta, Le64(superblock + APFS_SNAP_META_TREE_OID), volume->index,
                     nullptr, false) ||
      !BTreeCreateCursor(&trees->meta) ||
      !OmapOpen(&trees->omap, Le64(superblock + APFS_OMAP_OID), volume->index)) {
    return false;
  }
  const uint64_t omapSnapshots = Le64(trees->omap.omapHeader + OM_SNAPSHOT_TREE_OID);
  if (omapSnapshots == 0) return true;
  trees->haveOmapSnaps = true;
  return BTreeOpenRoot(&trees->omapSnaps, omapSnapshots, volume->index, nullptr, false);
}

// Whether the object map still keeps the snapshot of transaction xid: it has a record of
// it, neither deleted nor reverted.
bool OmapKeepsSnapshot(ListingTrees* trees, uint64_t xid, bool* keeps) {
  *keeps = false;
  if (!trees->haveOmapSnaps) return true;
  SearchKey key;
  SearchKeyId(&key, xid, 0);
  NodeRecord record;
  bool notFound;
  if (!BTreeFind(&trees->omapSnaps, &key, FIND_EXACT, &record, &notFound)) return notFound;
  if (record.value == nullptr || record.valueSize < OMAP_SNAPSHOT_VALUE_SIZE) return false;
  *keeps = (Le32(record.value) & (OMAP_SNAPSHOT_DELETED | OMAP_SNAPSHOT_REVERTED)) == 0;
  return true;
}

// Fills entry from a metadata record; a record too short for what it claims is damaged.
void ParseMetadata(const NodeRecord& record, uint64_t xid, SnapshotEntry* entry) {
  std::memset(entry, 0, sizeof *entry);
  entry->xid = xid;
  const uint8_t* v = record.value;
  if (v == nullptr || record.valueSize < SNAP_META_NAME) {
    entry->damaged = true;
    return;
  }
  const uint32_t nameSize = Le16(v + SNAP_META_NAME_LEN);  // with the terminating zero
  if (nameSize == 0 || nameSize > SNAPSHOT_NAME_MAX || SNAP_META_NAME + nameSize > record.valueSize ||
      v[SNAP_META_NAME + nameSize - 1] != 0) {
    entry->damaged = true;
    return;
  }
  entry->superblockAddress = Le64(v + SNAP_META_SUPERBLOCK);
  entry->createTime = Le64(v + SNAP_META_CREATE_TIME);
  entry->changeTime = Le64(v + SNAP_META_CHANGE_TIME);
  entry->flags = Le32(v + SNAP_META_FLAGS);
  // A name is what comes before its first zero.
  const void* zero = std::memchr(v + SNAP_META_NAME, 0, nameSize);
  entry->nameLength = uint16_t(static_cast<const uint8_t*>(zero) - (v + SNAP_META_NAME));
  std::memcpy(entry->name, v + SNAP_META_NAME, entry->nameLength);
}

// The snapshot's UUID lives in the volume's extra snapshot metadata object as it was at
// the snapshot; a version written for another snapshot does not count. Absent or
// unreadable, the snapshot simply has no UUID.
void FindUuid(const Volume* volume, BTree* omap, SnapshotEntry* entry) {
  const uint64_t oid = Le64(volume->superblock + APFS_SNAP_META_EXT_OID);
  if (oid == 0) return;
  omap->snapshotXid = entry->xid;
  OmapMapping mapping;
  bool notFound;
  const bool mapped = OmapLookup(omap, oid, &mapping, &notFound);
  omap->snapshotXid = 0;
  if (!mapped) return;
  BlockBuffer* block = BlockBufferLoad(volume->container, mapping.paddr, 0, CONTAINER_INDEX);
  if (block == nullptr) return;
  const uint8_t* object = block->data;
  if (ObjectType(object) == OBJECT_TYPE_SNAP_META_EXT && block->size >= SME_SIZE &&
      Le64(object + SME_SNAP_XID) == entry->xid) {
    std::memcpy(entry->uuid, object + SME_UUID, sizeof entry->uuid);
    entry->hasUuid = true;
  }
  BlockBufferRelease(block);
}

}  // namespace

bool SnapshotList(Container* container, uint32_t index, SnapshotEntry* entries,
                  uint32_t capacity, uint32_t* count) {
  *count = 0;
  if (index >= container->volumeCount || container->volumes == nullptr) return false;
  const Volume* volume = &container->volumes[index];
  if (!volume->open || volume->superblock == nullptr) return false;
  if (Le64(volume->superblock + APFS_SNAP_META_TREE_OID) == 0) return true;
  ListingTrees trees(container);
  if (!OpenListingTrees(volume, &trees)) return false;
  // An iteration starts at a key the tree holds: the first key of its root is its least.
  const NodeView& root = trees.meta.root->node;
  if (root.entryCount == 0) return true;
  NodeRecord least;
  if (!NodeEntry(&root, 0, &least) || least.keySize < 8) return false;
  SearchKey first;
  SearchKeyId(&first, Le64(least.key) & OBJ_ID_MASK, uint8_t(Le64(least.key) >> OBJ_TYPE_SHIFT));
  bool notFound;
  if (!BTreeSeek(trees.meta.cursor, &first, FIND_FROM | FIND_ANY_TYPE, &notFound)) return false;
  for (;;) {
    NodeRecord record;
    bool end;
    if (!BTreeNext(trees.meta.cursor, &record, nullptr, &end)) return end;
    const uint64_t word = Le64(record.key);
    // Metadata records come first, by transaction; the name index after them is not needed.
    if (uint8_t(word >> OBJ_TYPE_SHIFT) != APFS_TYPE_SNAP_METADATA) {
      if ((word & OBJ_ID_MASK) == OBJ_ID_MASK) return true;
      continue;
    }
    const uint64_t xid = word & OBJ_ID_MASK;
    bool keeps;
    if (!OmapKeepsSnapshot(&trees, xid, &keeps)) return false;
    if (!keeps) continue;
    if (*count < capacity) {
      SnapshotEntry* entry = &entries[*count];
      ParseMetadata(record, xid, entry);
      if (!entry->damaged) FindUuid(volume, &trees.omap, entry);
    }
    ++*count;
  }
}
