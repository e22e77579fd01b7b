// Object maps: translating virtual object ids to physical blocks, newest mapping first
// (or newest as of a snapshot's transaction).
#include <cstdlib>
#include <cstring>

#include "ApfsFormat.h"
#include "ApfsProcs.h"

namespace {

constexpr uint32_t OMAP_KEY_SIZE = 16;
constexpr uint32_t OMAP_VALUE_SIZE = 16;

}  // namespace

bool OmapOpen(BTree* tree, uint64_t headerAddress, uint8_t volumeIndex) {
  Container* container = tree->container;
  if (tree->omapHeader == nullptr) {
    tree->omapHeader = static_cast<uint8_t*>(std::malloc(OMAP_HEADER_SIZE));
    if (tree->omapHeader == nullptr) return false;
  }
  // The header is checked whole, for its checksum covers the block; its first bytes are
  // all the map keeps.
  BlockBuffer* block = BlockBufferLoad(container, headerAddress, 0, CONTAINER_INDEX);
  if (block == nullptr) return false;
  std::memcpy(tree->omapHeader, block->data, OMAP_HEADER_SIZE);
  BlockBufferRelease(block);
  if (ObjectType(tree->omapHeader) != OBJECT_TYPE_OMAP) return false;
  // Mapping trees are addressed physically and read plainly.
  if (!BTreeOpenRoot(tree, Le64(tree->omapHeader + OM_TREE_OID), volumeIndex, nullptr, false)) {
    return false;
  }
  // A re-opened map must not leave its cursor searching the old root.
  return BTreeCreateCursor(tree);
}

bool OmapLookup(BTree* tree, uint64_t oid, OmapMapping* mapping, bool* notFound) {
  *notFound = false;
  if (tree->omapTree != nullptr || tree->cursor == nullptr) return false;
  SearchKey key;
  SearchKeyId(&key, oid, 0);
  if (!BTreeSeek(tree->cursor, &key, FIND_EXACT, notFound)) return false;
  bool found = false;
  for (;;) {
    NodeRecord record;
    bool end;
    if (!BTreeNext(tree->cursor, &record, nullptr, &end)) {
      if (!end) return false;
      break;
    }
    if (record.keySize < OMAP_KEY_SIZE || record.value == nullptr ||
        record.valueSize < OMAP_VALUE_SIZE) {
      return false;
    }
    // Records come in transaction order, so the last one is the newest mapping; read as
    // of a snapshot, the last one not after it.
    const uint64_t xid = Le64(record.key + 8);
    if (tree->snapshotXid != 0 && xid > tree->snapshotXid) break;
    mapping->oid = Le64(record.key);
    mapping->xid = xid;
    mapping->flags = Le32(record.value);
    mapping->size = Le32(record.value + 4);
    mapping->paddr = Le64(record.value + 8);
    found = true;
  }
  // An object deleted before the snapshot does not exist in it.
  if (found && tree->snapshotXid != 0 && (mapping->flags & OMAP_VAL_DELETED)) found = false;
  if (!found) *notFound = true;
  return found;
}
