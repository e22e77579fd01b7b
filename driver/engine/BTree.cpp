// B-trees: node validation, the three key kinds, searches in several modes, and
// iteration in key order through cursors. Every offset, length and level read from a
// node is checked before it is followed: a node is untrusted input.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

#include "ApfsFormat.h"
#include "ApfsProcs.h"

namespace {

uint64_t IdOf(uint64_t word) { return word & OBJ_ID_MASK; }
uint8_t TypeOf(uint64_t word) { return uint8_t(word >> OBJ_TYPE_SHIFT); }

int Order(uint64_t a, uint64_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

// Fixed key and value sizes by node subtype.
void FixedSizes(const NodeView* view, uint32_t* keySize, uint32_t* valueSize) {
  const bool leaf = view->level == 0;
  switch (view->subtype) {
    case OBJECT_TYPE_SPACEMAN_FREE_QUEUE: *keySize = 16, *valueSize = 8; break;
    case OBJECT_TYPE_OMAP: *keySize = 16, *valueSize = leaf ? 16 : 8; break;
    case OBJECT_TYPE_OMAP_SNAPSHOT: *keySize = 8, *valueSize = leaf ? 16 : 8; break;
    case OBJECT_TYPE_GBITMAP_TREE: *keySize = 8, *valueSize = 8; break;
    default: *keySize = 0, *valueSize = 0; break;
  }
}

// The name of a stored directory-record key, or false when the key is malformed.
bool DrecName(const uint8_t* key, uint32_t size, uint32_t* hash, const uint8_t** name,
              uint32_t* nameLength) {
  if (size < DREC_KEY_HEADER) return false;
  const uint32_t lengthAndHash = Le32(key + 8);
  *nameLength = lengthAndHash & DREC_LEN_MASK;
  *hash = lengthAndHash >> DREC_HASH_SHIFT;
  *name = key + DREC_KEY_HEADER;
  return DREC_KEY_HEADER + *nameLength <= size;
}

// Compares search key k with a stored key: the sign of (k - stored). Sets *corrupt and
// returns 0 when the stored key is too short for the kind.
int CompareKey(const SearchKey* k, const uint8_t* stored, uint32_t size, bool* corrupt) {
  if (size < 8) return *corrupt = true, 0;
  const uint64_t kw = Le64(k->bytes);
  const uint64_t sw = Le64(stored);
  int order = Order(IdOf(kw), IdOf(sw));
  if (order == 0) order = Order(TypeOf(kw), TypeOf(sw));
  if (order != 0 || k->kind == KEY_KIND_ID) return order;
  if (k->kind == KEY_KIND_ID_OFFSET) {
    if (size < 16) return *corrupt = true, 0;
    return Order(Le64(k->bytes + 8), Le64(stored + 8));
  }
  uint32_t kHash, sHash, kLength, sLength;
  const uint8_t *kName, *sName;
  if (!DrecName(k->bytes, k->length, &kHash, &kName, &kLength) ||
      !DrecName(stored, size, &sHash, &sName, &sLength)) {
    return *corrupt = true, 0;
  }
  order = Order(kHash, sHash);
  if (order != 0 || kLength == 0 || sLength == 0) return order;
  const int bytes = std::memcmp(kName, sName, std::min(kLength, sLength));
  if (bytes != 0) return bytes < 0 ? -1 : 1;
  return Order(kLength, sLength);
}

bool KeyEqual(const SearchKey* k, const uint8_t* stored, uint32_t size, bool* corrupt) {
  if (size < 8) return *corrupt = true, false;
  if (Le64(k->bytes) != Le64(stored)) return false;
  if (k->kind == KEY_KIND_ID) return true;
  if (k->kind == KEY_KIND_ID_OFFSET) {
    if (size < 16) return *corrupt = true, false;
    return Le64(k->bytes + 8) == Le64(stored + 8);
  }
  uint32_t kHash, sHash, kLength, sLength;
  const uint8_t *kName, *sName;
  if (!DrecName(k->bytes, k->length, &kHash, &kName, &kLength) ||
      !DrecName(stored, size, &sHash, &sName, &sLength)) {
    return *corrupt = true, false;
  }
  if (kHash != sHash) return false;
  if (kLength == 0 || sLength == 0) return true;
  // Stored lengths count the terminating zero, which takes no part in the comparison.
  return kLength == sLength &&
         NameEqual(sName, sLength - 1, kName, kLength - 1, k->caseSensitive);
}

// ---- The order of stored keys ----
//
// Searches compare a search key with stored keys; the checks below compare stored keys
// with each other, in the order their tree keeps them, to catch trees that cannot be:
// entries out of order, children outside their parent's range, a child named twice.

enum class KeyOrder { Less, Equal, Greater, Unknown, Malformed };

KeyOrder OrderOf(int order) {
  return order < 0 ? KeyOrder::Less : (order > 0 ? KeyOrder::Greater : KeyOrder::Equal);
}

// Object-map and free-queue keys: two unsigned words (object id or transaction, then
// transaction or address).
KeyOrder TwoWordOrder(const NodeRecord& a, const NodeRecord& b) {
  if (a.keySize < 16 || b.keySize < 16) return KeyOrder::Malformed;
  int order = Order(Le64(a.key), Le64(b.key));
  if (order == 0) order = Order(Le64(a.key + 8), Le64(b.key + 8));
  return OrderOf(order);
}

// Directory records of one directory: by hash, then by name bytes, then name length.
KeyOrder DrecOrder(const NodeRecord& a, const NodeRecord& b) {
  uint32_t aHash, bHash, aLength, bLength;
  const uint8_t *aName, *bName;
  if (!DrecName(a.key, a.keySize, &aHash, &aName, &aLength) ||
      !DrecName(b.key, b.keySize, &bHash, &bName, &bLength)) {
    return KeyOrder::Malformed;
  }
  int order = Order(aHash, bHash);
  if (order == 0) {
    const int bytes = std::memcmp(aName, bName, std::min(aLength, bLength));
    order = bytes != 0 ? (bytes < 0 ? -1 : 1) : Order(aLength, bLength);
  }
  return OrderOf(order);
}

// File-system keys: object id, record type, then what the type adds. Only extents and
// directory records are ordered further here; the engine relies on no order among other
// records of one object and type (attributes by name, for one), so those compare
// Unknown unless they are the same bytes.
KeyOrder FsKeyOrder(const NodeRecord& a, const NodeRecord& b) {
  if (a.keySize < 8 || b.keySize < 8) return KeyOrder::Malformed;
  const uint64_t aWord = Le64(a.key);
  const uint64_t bWord = Le64(b.key);
  int order = Order(IdOf(aWord), IdOf(bWord));
  if (order == 0) order = Order(TypeOf(aWord), TypeOf(bWord));
  if (order != 0) return OrderOf(order);
  switch (TypeOf(aWord)) {
    case APFS_TYPE_FILE_EXTENT:
      if (a.keySize < 16 || b.keySize < 16) return KeyOrder::Malformed;
      return OrderOf(Order(Le64(a.key + 8), Le64(b.key + 8)));
    case APFS_TYPE_DIR_REC:
      return DrecOrder(a, b);
    case APFS_TYPE_INODE:
      return KeyOrder::Equal;  // one inode record per object
    default:
      return a.keySize == b.keySize && std::memcmp(a.key, b.key, a.keySize) == 0
                 ? KeyOrder::Equal
                 : KeyOrder::Unknown;
  }
}

KeyOrder StoredOrder(const NodeView* view, const NodeRecord& a, const NodeRecord& b) {
  switch (view->subtype) {
    case OBJECT_TYPE_OMAP:
    case OBJECT_TYPE_SPACEMAN_FREE_QUEUE:
      return TwoWordOrder(a, b);
    default:
      return FsKeyOrder(a, b);
  }
}

// Whether a may come before b in a tree that holds each key once.
bool StrictlyBefore(KeyOrder order) { return order == KeyOrder::Less || order == KeyOrder::Unknown; }
bool NotAfter(KeyOrder order) { return StrictlyBefore(order) || order == KeyOrder::Equal; }

// Nodes are checked whole when first read: searches trust the order of their keys, and
// an iteration steps through them without comparing each record with the one before.
bool NodeInOrder(const NodeView* view) {
  NodeRecord before, entry;
  if (view->entryCount == 0) return true;
  if (!NodeEntry(view, 0, &before)) return false;
  for (uint32_t i = 1; i < view->entryCount; i++) {
    if (!NodeEntry(view, i, &entry) || !StrictlyBefore(StoredOrder(view, before, entry))) return false;
    before = entry;
  }
  return true;
}

// A node just read: checked whole unless the tree has checked it before, and then
// remembered as checked.
bool NodeSound(BTreeHead* handle, const NodeView* view) {
  if (handle->checked != nullptr && CheckedNodesHave(handle->checked, view->buffer)) return true;
  if (!NodeInOrder(view)) return false;
  if (handle->checked != nullptr) CheckedNodesAdd(handle->checked, view->buffer);
  return true;
}

// Compares the search key with the entries of one node; any malformed entry marks the
// probe corrupt, and the caller then abandons the search.
struct Probe {
  const NodeView* view;
  const SearchKey* key;
  bool corrupt = false;

  bool Entry(uint32_t i, NodeRecord* record) {
    if (!NodeEntry(view, i, record)) corrupt = true;
    return !corrupt;
  }
  int Compare(uint32_t i) {
    NodeRecord r;
    return Entry(i, &r) ? CompareKey(key, r.key, r.keySize, &corrupt) : 0;
  }
  bool Equal(uint32_t i) {
    NodeRecord r;
    return Entry(i, &r) && KeyEqual(key, r.key, r.keySize, &corrupt);
  }
  bool SameType(uint32_t i) {
    NodeRecord r;
    return Entry(i, &r) && r.keySize >= 8 && TypeOf(Le64(r.key)) == TypeOf(Le64(key->bytes));
  }
};

int32_t SearchSingleEntry(Probe& probe, int kAbove0, uint32_t mode, bool indexNode) {
  if (((mode & (FIND_FLOOR | FIND_BEFORE)) || indexNode) && kAbove0 > 0) return 0;
  const bool equal = probe.Equal(0);
  if (probe.corrupt) return SEARCH_CORRUPT;
  if ((mode & (FIND_FLOOR | FIND_EXACT)) && equal) return 0;
  if ((mode & FIND_BEFORE) && equal) return SEARCH_BEFORE_FIRST;
  return SEARCH_NONE;
}

// One step of the binary search at mid: the answer, or SEARCH_NONE to go on.
int32_t SearchStep(Probe& probe, uint32_t mid, bool hasNext, bool kAboveCur, uint32_t mode,
                   bool indexNode, bool* answered) {
  *answered = true;
  if (mode & FIND_BEFORE) {
    if (kAboveCur && (!hasNext || probe.Compare(mid + 1) <= 0)) return int32_t(mid);
    if (mid == 0 && probe.Equal(0)) return SEARCH_BEFORE_FIRST;
  } else {
    if (probe.SameType(mid) && probe.Equal(mid)) return int32_t(mid);
    if (((mode & FIND_FLOOR) || indexNode) && kAboveCur &&
        (indexNode || (mode & FIND_ANY_TYPE) || probe.SameType(mid))) {
      if (!hasNext || probe.Compare(mid + 1) < 0) return int32_t(mid);
    }
  }
  *answered = false;
  return SEARCH_NONE;
}

// ---- Paths ----

void ReleaseView(NodeView* view) {
  BlockBufferRelease(view->buffer);
  *view = NodeView{};
}

void FreePathBelow(PathLevel* level) {
  PathLevel* child = level->child;
  level->child = nullptr;
  while (child != nullptr) {
    PathLevel* next = child->child;
    ReleaseView(&child->node);
    delete child;
    child = next;
  }
}

void FreePath(BTreeHead* handle) {
  if (handle->root != nullptr) {
    FreePathBelow(handle->root);
    ReleaseView(&handle->root->node);
    delete handle->root;
  }
  handle->root = handle->current = nullptr;
  handle->index = SEARCH_NONE;
  handle->descended = false;
}

// Takes ownership of buffer and parses it as the node of view.
bool AttachNode(NodeView* view, BlockBuffer* buffer, uint8_t volumeIndex) {
  ReleaseView(view);
  if (buffer == nullptr) return false;
  view->buffer = buffer;
  view->bytes = buffer->data;
  view->address = buffer->address;
  view->volumeIndex = volumeIndex;
  if (!NodeParse(view, ContainerXid(buffer->container))) {
    ReleaseView(view);
    return false;
  }
  return true;
}

bool ChildAddress(BTreeHead* handle, const PathLevel* parent, uint32_t i, uint64_t* address) {
  NodeRecord record;
  if (!NodeEntry(&parent->node, i, &record) || record.value == nullptr || record.valueSize < 8) {
    return false;
  }
  const uint64_t reference = Le64(record.value);
  bool notFound = false;
  if (handle->omapTree != nullptr) {
    OmapMapping mapping;
    if (!OmapLookup(handle->omapTree, reference, &mapping, &notFound) || notFound) return false;
    *address = mapping.paddr;
    return *address != 0;
  }
  if (parent->node.subtype == OBJECT_TYPE_SPACEMAN_FREE_QUEUE) {
    uint32_t size;
    return CheckpointLookup(handle->container, reference, OBJECT_TYPE_BTREE_NODE, address, &size,
                            &notFound) &&
           size == ContainerBlockSize(handle->container);
  }
  *address = reference;
  return true;
}

// The key above every key of the subtree under entry i of parent: the parent's next
// key, or, for its last entry, the bound of the parent itself. False when the subtree
// runs to the end of the tree.
bool UpperBound(const PathLevel* parent, uint32_t i, NodeRecord* bound) {
  if (i + 1 < parent->node.entryCount) return NodeEntry(&parent->node, i + 1, bound);
  for (const PathLevel* level = parent; level->parent != nullptr; level = level->parent) {
    const uint32_t next = uint32_t(level->indexInParent) + 1;
    if (next < level->parent->node.entryCount) return NodeEntry(&level->parent->node, next, bound);
  }
  return false;
}

// A freshly read child must lie inside the key range its parent gives it: its first key
// at or above the key that names it, its last key below the key after that. So no
// record can be reached twice, whatever the index entries name, and every step of an
// iteration moves forward in key order.
bool ChildInRange(const PathLevel* parent, uint32_t i, const NodeView* child) {
  const NodeView* p = &parent->node;
  NodeRecord separator, first, last, bound;
  if (child->entryCount == 0 || !NodeEntry(p, i, &separator) || !NodeEntry(child, 0, &first) ||
      !NodeEntry(child, child->entryCount - 1, &last) ||
      !NotAfter(StoredOrder(p, separator, first))) {
    return false;
  }
  return !UpperBound(parent, i, &bound) || StrictlyBefore(StoredOrder(p, last, bound));
}

// Loads the child at entry i of parent into parent's child level.
bool LoadChild(BTreeHead* handle, PathLevel* parent, uint32_t i) {
  PathLevel* child = parent->child;
  const NodeView& p = parent->node;
  // Searches in a row mostly pass through the same nodes. A child level still holding
  // the node of entry i was loaded from this very parent node (a level whose node is
  // replaced lets go of the node below it), and the image does not change: neither the
  // translation nor the read needs repeating.
  const bool held = child != nullptr && child->node.buffer != nullptr && child->indexInParent == int32_t(i);
  if (!held) {
    uint64_t address;
    if (!ChildAddress(handle, parent, i, &address)) return false;
    if (child == nullptr) {
      child = new (std::nothrow) PathLevel{};
      if (child == nullptr) return false;
      child->parent = parent;
      parent->child = child;
    }
    // A node held here came from another entry of the same parent node: two entries
    // naming one child would walk its records twice.
    if (child->node.buffer != nullptr && child->node.address == address) return false;
    if (child->child != nullptr) ReleaseView(&child->child->node);
    child->indexInParent = int32_t(i);
    const uint8_t readIndex = p.subtype == OBJECT_TYPE_FSTREE ? p.volumeIndex : CONTAINER_INDEX;
    if (!AttachNode(&child->node,
                    BlockBufferLoadChecked(handle->container, address, readIndex, handle->checked),
                    p.volumeIndex)) {
      return false;
    }
    // Levels must fall by one on the way down, so no descent can loop or run deep.
    if (child->node.level + 1 != p.level || child->node.root ||
        !ChildInRange(parent, i, &child->node) || !NodeSound(handle, &child->node)) {
      ReleaseView(&child->node);  // a later search must not take it for a held node
      return false;
    }
  }
  return true;
}

// After a failed load the path below the root is not usable: start the next search anew.
bool Abandon(BTreeHead* handle) {
  handle->current = handle->root;
  handle->index = SEARCH_NONE;
  handle->descended = false;
  return false;
}

bool DescendLeftmost(BTreeHead* handle, PathLevel* from) {
  PathLevel* level = from;
  while (level->node.level > 0) {
    if (!LoadChild(handle, level, 0)) return Abandon(handle);
    level = level->child;
  }
  handle->current = level;
  handle->index = 0;
  return true;
}

bool IsLeaf(const PathLevel* level) { return level->node.level == 0; }

// Nearest ancestor of level whose path entry has a right sibling; sets *below to the
// level whose indexInParent is that entry.
PathLevel* AncestorWithNext(PathLevel* level, PathLevel** below) {
  for (; level->parent != nullptr; level = level->parent) {
    if (uint32_t(level->indexInParent) + 1 < level->parent->node.entryCount) {
      *below = level;
      return level->parent;
    }
  }
  return nullptr;
}

// Searches from the current leaf when the answer must lie there; true when it does.
bool LocateInCurrentLeaf(BTreeHead* handle, const SearchKey* key, uint32_t mode, int32_t* r,
                         bool* corrupt) {
  PathLevel* leaf = handle->current;
  *r = NodeSearch(&leaf->node, key, mode);
  if (*r == SEARCH_CORRUPT) return *corrupt = true, false;
  if (*r < 0) return false;
  if (uint32_t(*r) + 1 != leaf->node.entryCount) return true;
  PathLevel* below = nullptr;
  PathLevel* ancestor = AncestorWithNext(leaf, &below);
  if (ancestor == nullptr) return true;
  const int32_t up = NodeSearch(&ancestor->node, key, mode);
  if (up == SEARCH_CORRUPT) return *corrupt = true, false;
  return up == below->indexInParent;
}

// Positions the handle on the entry that answers key in mode. Returns false on error;
// *found is false when the search found no entry (handle->index then holds the
// negative NodeSearch result).
bool Locate(BTreeHead* handle, const SearchKey* key, uint32_t mode, bool* found) {
  *found = false;
  if ((mode & FIND_FROM) || handle->root == nullptr || handle->root->node.buffer == nullptr) {
    return false;
  }
  PathLevel* root = handle->root;
  if (IsLeaf(handle->current) && (handle->descended || IsLeaf(root))) {
    int32_t r;
    bool corrupt = false;
    const bool here = LocateInCurrentLeaf(handle, key, mode, &r, &corrupt);
    if (corrupt) return Abandon(handle);
    if (here || IsLeaf(root)) {
      handle->index = r;
      *found = r >= 0;
      return true;
    }
  }
  PathLevel* level = root;
  while (!IsLeaf(level)) {
    const int32_t r = NodeSearch(&level->node, key, mode);
    if (r == SEARCH_CORRUPT) return Abandon(handle);
    if (r < 0) {
      handle->current = level;
      handle->index = r;
      return true;
    }
    if (!LoadChild(handle, level, uint32_t(r))) return Abandon(handle);
    level = level->child;
  }
  FreePathBelow(level);
  const int32_t r = NodeSearch(&level->node, key, mode);
  if (r == SEARCH_CORRUPT) return Abandon(handle);
  handle->current = level;
  handle->index = r;
  handle->descended = true;
  *found = r >= 0;
  return true;
}

// Moves a cursor past the end of its leaf into the next leaf; false at the end of the
// tree (*end set) or on error.
bool NextLeaf(BTreeCursor* cursor, bool* end) {
  PathLevel* below = nullptr;
  PathLevel* ancestor = IsLeaf(cursor->root) ? nullptr : AncestorWithNext(cursor->current, &below);
  if (ancestor == nullptr) return *end = true, false;
  if (!LoadChild(cursor, ancestor, uint32_t(below->indexInParent) + 1)) return Abandon(cursor);
  return DescendLeftmost(cursor, ancestor->child);
}

bool ReturnsRecord(const SearchKey* k, const NodeRecord& e, uint32_t mode, bool* stop,
                   bool* corrupt) {
  const bool sameType = e.keySize >= 8 && TypeOf(Le64(e.key)) == TypeOf(Le64(k->bytes));
  const int order = CompareKey(k, e.key, e.keySize, corrupt);  // sign of (K - E)
  if (*corrupt) return false;
  if (sameType || (mode & FIND_ANY_TYPE)) {
    if ((mode & FIND_EXACT) && KeyEqual(k, e.key, e.keySize, corrupt)) return true;
    if ((mode & FIND_FLOOR) && order >= 0) return true;
    if ((mode & FIND_FROM) && order <= 0) return true;
  }
  if (order < 0) *stop = !(mode & FIND_FROM) || (!sameType && !(mode & FIND_ANY_TYPE));
  return false;
}

// A tree's record of the nodes it has verified, made once and kept across re-opens.
bool HoldCheckedNodes(BTree* tree) {
  if (tree->checked != nullptr) return true;
  tree->checked = static_cast<CheckedNodes*>(std::malloc(sizeof(CheckedNodes)));
  if (tree->checked == nullptr) return false;
  std::fill(std::begin(tree->checked->address), std::end(tree->checked->address), UINT64_MAX);
  return true;
}

bool CloneRoot(BTreeHead* dst, const BTreeHead* src) {
  const PathLevel* srcRoot = src->root;
  if (srcRoot == nullptr || srcRoot->node.buffer == nullptr) return false;
  FreePath(dst);
  dst->root = new (std::nothrow) PathLevel{};
  if (dst->root == nullptr) return false;
  dst->root->indexInParent = -1;
  dst->current = dst->root;
  return AttachNode(&dst->root->node, BlockBufferClone(srcRoot->node.buffer),
                    srcRoot->node.volumeIndex);
}

}  // namespace

bool NodeParse(NodeView* view, uint64_t containerXid) {
  const uint8_t* b = view->bytes;
  const uint32_t size = view->buffer->size;
  if (size < MIN_BLOCK_SIZE) return false;
  const uint16_t flags = Le16(b + BTN_FLAGS);
  const uint16_t level = Le16(b + BTN_LEVEL);
  const bool root = flags & BTNODE_ROOT;
  if (flags > BTNODE_ALL_FLAGS) return false;
  if (ObjectType(b) != (root ? OBJECT_TYPE_BTREE : OBJECT_TYPE_BTREE_NODE)) return false;
  if (bool(flags & BTNODE_LEAF) != (level == 0) || level >= MAX_BTREE_DEPTH) return false;
  if (Le64(b + OBJ_XID) > containerXid) return false;
  view->oid = Le64(b + OBJ_OID);
  view->xid = Le64(b + OBJ_XID);
  view->entryCount = Le32(b + BTN_NKEYS);
  view->level = level;
  view->subtype = ObjectSubtype(b);
  view->fixed = flags & BTNODE_FIXED_KV_SIZE;
  view->root = root;
  view->tocStart = BTN_DATA;
  view->tocLength = Le16(b + BTN_TABLE_SPACE_LEN);
  view->keyStart = BTN_DATA + view->tocLength;
  view->valueEnd = root ? size - BTREE_INFO_SIZE : size;
  view->footer = root ? b + view->valueEnd : nullptr;
  // The table of contents must hold every entry and end before the value area.
  const uint64_t tocNeeded = uint64_t(view->entryCount) * (view->fixed ? KVOFF_SIZE : KVLOC_SIZE);
  return view->keyStart <= view->valueEnd && tocNeeded <= view->tocLength;
}

bool NodeEntry(const NodeView* view, uint32_t i, NodeRecord* record) {
  if (i >= view->entryCount) return false;
  uint32_t keyOffset, keySize, valueOffset, valueSize;
  if (view->fixed) {
    const uint8_t* toc = view->bytes + view->tocStart + KVOFF_SIZE * i;
    keyOffset = Le16(toc);
    valueOffset = Le16(toc + 2);
    FixedSizes(view, &keySize, &valueSize);
  } else {
    const uint8_t* toc = view->bytes + view->tocStart + KVLOC_SIZE * i;
    keyOffset = Le16(toc);
    keySize = Le16(toc + 2);
    valueOffset = Le16(toc + 4);
    valueSize = Le16(toc + 6);
  }
  const uint32_t areaSize = view->valueEnd - view->keyStart;
  if (keyOffset > areaSize || keySize > areaSize - keyOffset) return false;
  record->key = view->bytes + view->keyStart + keyOffset;
  record->keySize = keySize;
  if (valueOffset == KV_NO_VALUE) {
    record->value = nullptr;
    record->valueSize = 0;
    return true;
  }
  if (valueOffset > areaSize || valueSize > valueOffset) return false;
  record->value = view->bytes + view->valueEnd - valueOffset;
  record->valueSize = valueSize;
  return true;
}

int32_t NodeSearch(const NodeView* view, const SearchKey* key, uint32_t mode) {
  const uint32_t n = view->entryCount;
  if (n == 0) return ((mode & FIND_BEFORE) && view->root) ? SEARCH_BEFORE_FIRST : SEARCH_NONE;
  Probe probe{view, key};
  const bool indexNode = view->level > 0;
  const int kAbove0 = probe.Compare(0);
  if (probe.corrupt) return SEARCH_CORRUPT;
  if (kAbove0 < 0) return SEARCH_BELOW_FIRST;
  if (n == 1) return SearchSingleEntry(probe, kAbove0, mode, indexNode);
  uint32_t lo = 0;
  uint32_t hi = n - 1;
  for (;;) {
    const uint32_t mid = lo + (hi - lo) / 2;
    const bool kAboveCur = probe.Compare(mid) > 0;
    bool answered;
    const int32_t r = SearchStep(probe, mid, mid + 1 < n, kAboveCur, mode, indexNode, &answered);
    if (probe.corrupt) return SEARCH_CORRUPT;
    if (answered) return r;
    if (lo == hi) return SEARCH_NONE;
    if (kAboveCur) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
    if (lo > hi) return SEARCH_NONE;
  }
}

void SearchKeyId(SearchKey* key, uint64_t id, uint8_t type) {
  key->kind = KEY_KIND_ID;
  key->caseSensitive = true;
  key->length = 8;
  const uint64_t word = (id & OBJ_ID_MASK) | uint64_t(type) << OBJ_TYPE_SHIFT;
  for (int i = 0; i < 8; i++) key->bytes[i] = uint8_t(word >> (8 * i));
}

void SearchKeyIdOffset(SearchKey* key, uint64_t id, uint8_t type, uint64_t offset) {
  SearchKeyId(key, id, type);
  key->kind = KEY_KIND_ID_OFFSET;
  key->length = 16;
  for (int i = 0; i < 8; i++) key->bytes[8 + i] = uint8_t(offset >> (8 * i));
}

bool SearchKeyDrec(SearchKey* key, uint64_t id, uint32_t hash, const uint8_t* name,
                   uint32_t nameLength, bool caseSensitive) {
  // The stored length counts the terminating zero; a key without a name has length 0.
  const uint32_t stored = nameLength == 0 ? 0 : nameLength + 1;
  if (stored > DREC_LEN_MASK || DREC_KEY_HEADER + stored > MAX_SEARCH_KEY) return false;
  SearchKeyId(key, id, 9);
  key->kind = KEY_KIND_DREC;
  key->caseSensitive = caseSensitive;
  key->length = uint16_t(DREC_KEY_HEADER + stored);
  const uint32_t lengthAndHash = stored | (hash & NAME_HASH_MASK) << DREC_HASH_SHIFT;
  for (int i = 0; i < 4; i++) key->bytes[8 + i] = uint8_t(lengthAndHash >> (8 * i));
  if (nameLength != 0) {
    std::memcpy(key->bytes + DREC_KEY_HEADER, name, nameLength);
    key->bytes[DREC_KEY_HEADER + nameLength] = 0;
  }
  return true;
}

void BTreeInit(BTree* tree, Container* container) {
  *tree = BTree{};
  tree->container = container;
  tree->index = SEARCH_NONE;
}

bool BTreeOpenRoot(BTree* tree, uint64_t rootAddress, uint8_t volumeIndex, BTree* omapTree,
                   bool throughVolume) {
  tree->omapTree = omapTree;
  if (tree->root == nullptr) {
    tree->root = new (std::nothrow) PathLevel{};
    if (tree->root == nullptr) return false;
  }
  FreePathBelow(tree->root);
  tree->root->parent = nullptr;
  tree->root->indexInParent = -1;
  tree->current = tree->root;
  tree->index = SEARCH_NONE;
  tree->descended = false;
  const uint8_t readIndex = throughVolume ? volumeIndex : CONTAINER_INDEX;
  if (!HoldCheckedNodes(tree)) return false;
  BlockBuffer* buffer = BlockBufferLoadChecked(tree->container, rootAddress, readIndex, tree->checked);
  return AttachNode(&tree->root->node, buffer, volumeIndex) && tree->root->node.root &&
         NodeSound(tree, &tree->root->node);
}

bool BTreeCursorBind(BTreeCursor* cursor, BTree* tree) {
  if (cursor->tree != tree) {
    cursor->tree = tree;
    cursor->nextInTree = tree->cursors;
    tree->cursors = cursor;
  }
  cursor->container = tree->container;
  cursor->omapTree = tree->omapTree;
  cursor->checked = tree->checked;
  cursor->positioned = false;
  return CloneRoot(cursor, tree);
}

bool BTreeCreateCursor(BTree* tree) {
  if (tree->cursor == nullptr) {
    tree->cursor = new (std::nothrow) BTreeCursor{};
    if (tree->cursor == nullptr) return false;
  }
  return BTreeCursorBind(tree->cursor, tree);
}

bool BTreeClone(BTree* dst, const BTree* src, BTree* omapTree) {
  if (src->omapHeader != nullptr) {
    if (dst->omapHeader == nullptr) {
      dst->omapHeader = static_cast<uint8_t*>(std::malloc(OMAP_HEADER_SIZE));
      if (dst->omapHeader == nullptr) return false;
    }
    std::memcpy(dst->omapHeader, src->omapHeader, OMAP_HEADER_SIZE);
  }
  dst->container = src->container;
  dst->omapTree = omapTree;
  dst->snapshotXid = src->snapshotXid;
  // A clone serves another thread: it keeps its own record of verified nodes.
  return HoldCheckedNodes(dst) && CloneRoot(dst, src) && BTreeCreateCursor(dst);
}

void BTreeCursorClose(BTreeCursor* cursor) {
  FreePath(cursor);
  cursor->positioned = false;
  BTree* tree = cursor->tree;
  if (tree == nullptr) return;
  for (BTreeCursor** link = &tree->cursors; *link != nullptr; link = &(*link)->nextInTree) {
    if (*link == cursor) {
      *link = cursor->nextInTree;
      break;
    }
  }
  cursor->tree = nullptr;
  cursor->nextInTree = nullptr;
  cursor->checked = nullptr;
}

void BTreeRelease(BTree* tree) {
  if (tree->cursor != nullptr) {
    BTreeCursorClose(tree->cursor);
    delete tree->cursor;
    tree->cursor = nullptr;
  }
  // Cursors of others outlive the tree only as closed cursors.
  for (BTreeCursor* c = tree->cursors; c != nullptr;) {
    BTreeCursor* next = c->nextInTree;
    c->tree = nullptr;
    c->nextInTree = nullptr;
    c->checked = nullptr;
    c = next;
  }
  tree->cursors = nullptr;
  FreePath(tree);
  std::free(tree->checked);
  tree->checked = nullptr;
  std::free(tree->omapHeader);
  tree->omapHeader = nullptr;
}

uint64_t BTreeRecordCount(const BTree* tree) {
  const NodeView& root = tree->root->node;
  if (root.level == 0) return root.entryCount;
  return root.footer != nullptr ? Le64(root.footer + BTREE_INFO_KEY_COUNT) : 0;
}

bool BTreeFind(BTreeHead* handle, const SearchKey* key, uint32_t mode, NodeRecord* record,
               bool* notFound) {
  bool found;
  *notFound = false;
  if (!Locate(handle, key, mode, &found)) return false;
  if (!found) return !(*notFound = true);
  return NodeEntry(&handle->current->node, uint32_t(handle->index), record);
}

bool BTreeSeek(BTreeCursor* cursor, const SearchKey* key, uint32_t mode, bool* notFound) {
  *notFound = false;
  if (cursor->root == nullptr || key->length > MAX_SEARCH_KEY) return false;
  cursor->key.kind = key->kind;
  cursor->key.caseSensitive = key->caseSensitive;
  cursor->key.length = key->length;
  std::memcpy(cursor->key.bytes, key->bytes, key->length);
  if (!cursor->positioned) cursor->current = cursor->root;
  cursor->positioned = true;
  cursor->mode = mode;
  if (cursor->root->node.entryCount == 0) return !(*notFound = true);
  bool found;
  if (!Locate(cursor, &cursor->key, FIND_BEFORE | FIND_ANY_TYPE, &found)) return false;
  if (found) return true;
  if (cursor->index == SEARCH_BEFORE_FIRST ||
      (cursor->index == SEARCH_NONE && (mode & FIND_FROM))) {
    return DescendLeftmost(cursor, cursor->root);
  }
  return !(*notFound = true);
}

bool BTreeNext(BTreeCursor* cursor, NodeRecord* record, const NodeView** node, bool* end) {
  *end = false;
  if (!cursor->positioned || cursor->current == nullptr || !IsLeaf(cursor->current) ||
      cursor->current->node.buffer == nullptr || cursor->index < 0) {
    return false;
  }
  for (;;) {
    if (uint32_t(cursor->index) >= cursor->current->node.entryCount) {
      if (!NextLeaf(cursor, end)) return false;
      continue;
    }
    // Each record follows the one before it: a leaf is in order (checked when read) and
    // its first record follows the last of the leaf before (their ranges ensure it).
    NodeRecord e;
    if (!NodeEntry(&cursor->current->node, uint32_t(cursor->index), &e)) return Abandon(cursor);
    cursor->index++;
    bool stop = false;
    bool corrupt = false;
    if (ReturnsRecord(&cursor->key, e, cursor->mode, &stop, &corrupt)) {
      *record = e;
      if (node != nullptr) *node = &cursor->current->node;
      return true;
    }
    if (corrupt) return false;
    if (stop) return !(*end = true);
  }
}
