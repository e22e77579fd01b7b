// B-tree searches and iteration on hand-built nodes and trees.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>

#include "ApfsFormat.h"
#include "TestDevice.h"

namespace {

uint64_t KeyWord(const NodeRecord& r) { return Le64(r.key); }

struct TreeFixture : ::testing::Test {
  MemoryDevice disk;
  TestContainer tc{disk};
  BTree tree{};
  uint64_t next = 10;

  void SetUp() override { BTreeInit(&tree, &tc.container); }
  void TearDown() override { BTreeRelease(&tree); }

  void Open(uint64_t root, BTree* omap = nullptr) {
    ASSERT_TRUE(BTreeOpenRoot(&tree, root, CONTAINER_INDEX, omap, false));
    ASSERT_TRUE(BTreeCreateCursor(&tree));
  }

  // Every record from a seek to key in mode, as the words of their keys.
  std::vector<Bytes> Iterate(const SearchKey& key, uint32_t mode, bool* seekNotFound = nullptr) {
    std::vector<Bytes> keys;
    bool notFound = false;
    const bool sought = BTreeSeek(tree.cursor, &key, mode, &notFound);
    if (seekNotFound != nullptr) *seekNotFound = notFound;
    if (!sought) return keys;
    for (;;) {
      NodeRecord r;
      bool end = false;
      if (!BTreeNext(tree.cursor, &r, nullptr, &end)) {
        EXPECT_TRUE(end) << "iteration failed with an error";
        return keys;
      }
      keys.emplace_back(r.key, r.key + r.keySize);
    }
  }
};

std::vector<NodeEntrySpec> IdOffsetRecords(uint64_t id, uint8_t type, int count, uint64_t step) {
  std::vector<NodeEntrySpec> records;
  for (int i = 0; i < count; i++) {
    records.push_back({IdOffsetKey(id, type, i * step), U64(1000 + i)});
  }
  return records;
}

TEST_F(TreeFixture, NodeParseRejectsMalformedHeaders) {
  NodeSpec leaf;
  leaf.entries = {{IdKey(5, 3), U64(1)}};
  WriteNode(disk, 20, leaf);
  ASSERT_TRUE(BTreeOpenRoot(&tree, 20, CONTAINER_INDEX, nullptr, false));

  auto rejects = [&](const std::function<void(uint8_t*)>& damage) {
    WriteNode(disk, 20, leaf);
    damage(disk.Block(20));
    return !BTreeOpenRoot(&tree, 20, CONTAINER_INDEX, nullptr, false);
  };
  EXPECT_TRUE(rejects([](uint8_t* b) { PutLe16(b + BTN_FLAGS, Le16(b + BTN_FLAGS) | 0x8); }));
  EXPECT_TRUE(rejects([](uint8_t* b) { PutLe32(b + OBJ_TYPE, OBJECT_TYPE_BTREE_NODE); }));
  EXPECT_TRUE(rejects([](uint8_t* b) { PutLe16(b + BTN_LEVEL, 1); }));
  EXPECT_TRUE(rejects([](uint8_t* b) { PutLe64(b + OBJ_XID, 101); }));  // container is at 100
  // A table of contents too short for its entries, or running into the value area.
  EXPECT_TRUE(rejects([](uint8_t* b) { PutLe16(b + BTN_TABLE_SPACE_LEN, 4); }));
  EXPECT_TRUE(rejects([](uint8_t* b) { PutLe16(b + BTN_TABLE_SPACE_LEN, 0xFFF0); }));
  EXPECT_TRUE(rejects([](uint8_t* b) { PutLe32(b + BTN_NKEYS, 0x10000000); }));
  // A non-root node cannot serve as a root.
  EXPECT_TRUE(rejects([](uint8_t* b) {
    PutLe16(b + BTN_FLAGS, BTNODE_LEAF);
    PutLe32(b + OBJ_TYPE, OBJECT_TYPE_BTREE_NODE);
  }));
}

TEST_F(TreeFixture, EntriesOutsideTheNodeAreRefusedNotFollowed) {
  NodeSpec leaf;
  leaf.entries = {{IdKey(5, 3), U64(1)}, {IdKey(6, 3), U64(2)}};
  WriteNode(disk, 20, leaf);
  uint8_t* b = disk.Block(20);
  PutLe16(b + BTN_DATA + KVLOC_SIZE + 0, 0xFFF0);  // key offset of entry 1 beyond the node
  // The whole node is checked when it is read: it is refused, not searched.
  EXPECT_FALSE(BTreeOpenRoot(&tree, 20, CONTAINER_INDEX, nullptr, false));

  NodeView view{};
  view.buffer = BlockBufferLoad(&tc.container, 20, 0, CONTAINER_INDEX);
  ASSERT_NE(view.buffer, nullptr);
  view.bytes = view.buffer->data;
  ASSERT_TRUE(NodeParse(&view, 100));
  NodeRecord r;
  EXPECT_TRUE(NodeEntry(&view, 0, &r));
  EXPECT_FALSE(NodeEntry(&view, 1, &r));
  EXPECT_FALSE(NodeEntry(&view, 2, &r));
  uint8_t* loaded = view.buffer->data;
  PutLe16(loaded + BTN_DATA + KVLOC_SIZE + 0, 8);
  PutLe16(loaded + BTN_DATA + KVLOC_SIZE + 4, 4);  // value offset 4 below a value of 8 bytes
  EXPECT_FALSE(NodeEntry(&view, 1, &r));
  BlockBufferRelease(view.buffer);
}

TEST_F(TreeFixture, KeysTooShortForTheirKindAreCorrupt) {
  NodeSpec leaf;
  Bytes shortDrec = DrecKey(2, "name", 77);
  PutLe32(shortDrec.data() + 8, 200 | 77 << 10);  // name length far above the key length
  leaf.entries = {{IdKey(2, 3), U64(1)}, {shortDrec, U64(2)}, {IdKey(3, 8), U64(3)}};
  WriteNode(disk, 20, leaf);
  Open(20);
  SearchKey key;
  ASSERT_TRUE(SearchKeyDrec(&key, 2, 77, reinterpret_cast<const uint8_t*>("name"), 4, true));
  NodeRecord r;
  bool notFound = true;
  EXPECT_FALSE(BTreeFind(&tree, &key, FIND_EXACT, &r, &notFound));
  EXPECT_FALSE(notFound);

  // An id-offset search that meets an 8-byte key of its own id and type.
  NodeSpec extents;
  extents.entries = {{IdKey(7, 8), U64(1)}};
  WriteNode(disk, 21, extents);
  Open(21);
  SearchKeyIdOffset(&key, 7, 8, 0);
  EXPECT_FALSE(BTreeFind(&tree, &key, FIND_FLOOR, &r, &notFound));
  EXPECT_FALSE(notFound);
}

TEST_F(TreeFixture, EmptyTreeFindsNothing) {
  Open(BuildTree(disk, {}, 8, 0x0E, false, &next));
  SearchKey key;
  SearchKeyId(&key, 2, 3);
  NodeRecord r;
  bool notFound = false;
  EXPECT_FALSE(BTreeFind(&tree, &key, FIND_EXACT, &r, &notFound));
  EXPECT_TRUE(notFound);
  EXPECT_FALSE(BTreeSeek(tree.cursor, &key, FIND_FROM, &notFound));
  EXPECT_TRUE(notFound);
  EXPECT_EQ(BTreeRecordCount(&tree), 0u);
}

TEST_F(TreeFixture, FindsEveryRecordOfAMultiLevelTree) {
  std::vector<NodeEntrySpec> records;
  for (uint64_t id = 16; id < 16 + 500; id++) records.push_back({IdKey(id, 3), U64(id * 7)});
  Open(BuildTree(disk, records, 6, 0x0E, false, &next));
  ASSERT_GE(tree.root->node.level, 3);
  EXPECT_EQ(BTreeRecordCount(&tree), 500u);
  for (uint64_t id = 16; id < 16 + 500; id++) {
    SearchKey key;
    SearchKeyId(&key, id, 3);
    NodeRecord r;
    bool notFound;
    ASSERT_TRUE(BTreeFind(&tree, &key, FIND_EXACT, &r, &notFound)) << id;
    EXPECT_EQ(Le64(r.value), id * 7);
  }
  SearchKey absent;
  SearchKeyId(&absent, 15, 3);
  NodeRecord r;
  bool notFound = false;
  EXPECT_FALSE(BTreeFind(&tree, &absent, FIND_EXACT, &r, &notFound));
  EXPECT_TRUE(notFound);
  SearchKeyId(&absent, 16 + 500, 3);
  EXPECT_FALSE(BTreeFind(&tree, &absent, FIND_EXACT, &r, &notFound));
  EXPECT_TRUE(notFound);
}

TEST_F(TreeFixture, IterationCrossesLeavesWithoutRepeatOrGap) {
  std::vector<NodeEntrySpec> records;
  for (uint64_t id = 16; id < 16 + 300; id++) records.push_back({IdKey(id, 3), U64(id)});
  Open(BuildTree(disk, records, 5, 0x0E, false, &next));
  SearchKey first;
  SearchKeyId(&first, 16, 3);
  const std::vector<Bytes> keys = Iterate(first, FIND_FROM);
  ASSERT_EQ(keys.size(), records.size());
  for (size_t i = 0; i < keys.size(); i++) EXPECT_EQ(keys[i], records[i].key) << i;

  // From the middle of a leaf, and from the first key of a leaf.
  SearchKey middle;
  SearchKeyId(&middle, 16 + 102, 3);
  EXPECT_EQ(Iterate(middle, FIND_FROM).size(), 300u - 102);
  SearchKeyId(&middle, 16 + 100, 3);
  EXPECT_EQ(Iterate(middle, FIND_FROM).front(), records[100].key);
}

TEST_F(TreeFixture, SeekToTheFirstKeyStartsAtTheFirstRecordAndBelowItFindsNothing) {
  std::vector<NodeEntrySpec> records;
  for (uint64_t id = 16; id < 40; id++) records.push_back({IdKey(id, 3), U64(id)});
  Open(BuildTree(disk, records, 4, 0x0E, false, &next));
  SearchKey key;
  SearchKeyId(&key, 16, 3);
  std::vector<Bytes> keys = Iterate(key, FIND_EXACT);
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0], records[0].key);

  bool notFound = false;
  SearchKeyId(&key, 15, 3);
  EXPECT_TRUE(Iterate(key, FIND_FROM, &notFound).empty());
  EXPECT_TRUE(notFound);
}

TEST_F(TreeFixture, IteratesAllTypesOfOneIdInTypeOrder) {
  std::vector<NodeEntrySpec> records = {
      {IdKey(20, 3), U64(0)},  {IdKey(20, 4), U64(1)}, {IdKey(20, 8), U64(2)},
      {IdKey(21, 3), U64(3)},  {IdKey(21, 4), U64(4)}, {IdKey(22, 3), U64(5)},
      {IdKey(22, 9), U64(6)},  {IdKey(23, 3), U64(7)},
  };
  Open(BuildTree(disk, records, 3, 0x0E, false, &next));
  SearchKey key;
  SearchKeyId(&key, 21, 3);
  std::vector<uint8_t> types;
  ASSERT_TRUE([&] {
    bool notFound;
    return BTreeSeek(tree.cursor, &key, FIND_FROM | FIND_ANY_TYPE, &notFound);
  }());
  for (;;) {
    NodeRecord r;
    bool end;
    ASSERT_TRUE(BTreeNext(tree.cursor, &r, nullptr, &end) || end);
    if (end || (KeyWord(r) & OBJ_ID_MASK) != 21) break;  // the caller stops at a higher id
    types.push_back(uint8_t(KeyWord(r) >> 60));
  }
  EXPECT_EQ(types, (std::vector<uint8_t>{3, 4}));
}

TEST_F(TreeFixture, FloorFindsTheExtentHoldingAnOffset) {
  // Id 29 has two extents; id 30 five, the first at 0x10000.
  std::vector<NodeEntrySpec> records = IdOffsetRecords(29, 8, 2, 0x10000);
  for (uint64_t i = 1; i <= 5; i++) records.push_back({IdOffsetKey(30, 8, i * 0x10000), U64(i)});
  Open(BuildTree(disk, records, 3, 0x0E, false, &next));
  SearchKey key;
  NodeRecord r;
  bool notFound;
  SearchKeyIdOffset(&key, 30, 8, 0x35000);  // inside the third extent of id 30
  ASSERT_TRUE(BTreeFind(&tree, &key, FIND_FLOOR, &r, &notFound));
  EXPECT_EQ(Le64(r.key) & OBJ_ID_MASK, 30u);
  EXPECT_EQ(Le64(r.key + 8), 0x30000u);
  // Below the first extent of id 30 the floor is the last record of id 29, so callers
  // must compare the id.
  SearchKeyIdOffset(&key, 30, 8, 0x100);
  ASSERT_TRUE(BTreeFind(&tree, &key, FIND_FLOOR, &r, &notFound));
  EXPECT_EQ(Le64(r.key) & OBJ_ID_MASK, 29u);
  EXPECT_EQ(Le64(r.key + 8), 0x10000u);
  // Past the last extent the floor is the last extent.
  SearchKeyIdOffset(&key, 30, 8, 0x900000);
  ASSERT_TRUE(BTreeFind(&tree, &key, FIND_FLOOR, &r, &notFound));
  EXPECT_EQ(Le64(r.key + 8), 0x50000u);
}

TEST_F(TreeFixture, RisingLookupsStayInTheCurrentLeaf) {
  std::vector<NodeEntrySpec> records = IdOffsetRecords(40, 8, 60, 4096);
  Open(BuildTree(disk, records, 20, 0x0E, false, &next));
  SearchKey key;
  NodeRecord r;
  bool notFound;
  SearchKeyIdOffset(&key, 40, 8, 4096 * 2 + 100);
  ASSERT_TRUE(BTreeFind(&tree, &key, FIND_FLOOR, &r, &notFound));
  const int readsAfterDescent = disk.reads();
  for (uint64_t i = 3; i < 19; i++) {
    SearchKeyIdOffset(&key, 40, 8, 4096 * i + 5);
    ASSERT_TRUE(BTreeFind(&tree, &key, FIND_FLOOR, &r, &notFound));
    EXPECT_EQ(Le64(r.key + 8), 4096 * i);
  }
  EXPECT_EQ(disk.reads(), readsAfterDescent) << "lookups inside one leaf read no node";
  SearchKeyIdOffset(&key, 40, 8, 4096 * 45);
  ASSERT_TRUE(BTreeFind(&tree, &key, FIND_FLOOR, &r, &notFound));
  EXPECT_EQ(Le64(r.key + 8), 4096u * 45);
}

TEST_F(TreeFixture, ADescentReadsOnlyTheNodesBelowTheLevelItChanges) {
  // Six records a node: leaves of 6 ids, level-1 nodes over 36, level-2 nodes over 216.
  std::vector<NodeEntrySpec> records;
  for (uint64_t id = 16; id < 16 + 500; id++) records.push_back({IdKey(id, 3), U64(id * 7)});
  Open(BuildTree(disk, records, 6, 0x0E, false, &next));
  ASSERT_EQ(tree.root->node.level, 3);
  auto readsToFind = [&](uint64_t id) {
    const int before = disk.reads();
    SearchKey key;
    SearchKeyId(&key, id, 3);
    NodeRecord r;
    bool notFound;
    EXPECT_TRUE(BTreeFind(&tree, &key, FIND_EXACT, &r, &notFound)) << id;
    EXPECT_EQ(Le64(r.value), id * 7) << id;
    return disk.reads() - before;
  };
  EXPECT_EQ(readsToFind(16), 3);
  EXPECT_EQ(readsToFind(16 + 6), 1) << "the next leaf under the same parent";
  EXPECT_EQ(readsToFind(16 + 499), 3) << "another subtree of the root";
  EXPECT_EQ(readsToFind(16), 3);
  // The first leaf of the next level-1 node sits at the same index in its parent as the
  // leaf held from before: it must be read, not taken for the held one.
  EXPECT_EQ(readsToFind(16 + 36), 2);
  EXPECT_EQ(readsToFind(16 + 36 + 1), 0);
  EXPECT_EQ(readsToFind(16 + 216), 3);
  EXPECT_EQ(readsToFind(16 + 216 + 3), 0);
}

TEST_F(TreeFixture, RandomLookupsAgreeWithAnOrderedMap) {
  std::mt19937_64 random(7);
  std::map<std::pair<uint64_t, uint64_t>, uint64_t> model;
  while (model.size() < 700) model[{16 + random() % 60, (random() % 1000) * 512}] = random();
  std::vector<NodeEntrySpec> records;
  for (const auto& [k, v] : model) records.push_back({IdOffsetKey(k.first, 8, k.second), U64(v)});
  Open(BuildTree(disk, records, 7, 0x0E, false, &next));
  for (int i = 0; i < 3000; i++) {
    const uint64_t id = 16 + random() % 62;
    const uint64_t offset = random() % 520000;
    SearchKey key;
    SearchKeyIdOffset(&key, id, 8, offset);
    NodeRecord r;
    bool notFound = false;
    const bool exact = random() % 4 == 0;
    const uint64_t probe = exact ? (offset / 512) * 512 : offset;
    SearchKeyIdOffset(&key, id, 8, probe);
    const bool found = BTreeFind(&tree, &key, exact ? FIND_EXACT : FIND_FLOOR, &r, &notFound);
    ASSERT_TRUE(found || notFound);
    auto it = model.upper_bound({id, probe});
    const bool modelHas = it != model.begin();
    if (modelHas) --it;
    if (exact) {
      ASSERT_EQ(found, model.count({id, probe}) == 1) << id << " " << probe;
    } else {
      ASSERT_EQ(found, modelHas) << id << " " << probe;
      if (!found) continue;
      EXPECT_EQ(Le64(r.key) & OBJ_ID_MASK, it->first.first);
      EXPECT_EQ(Le64(r.key + 8), it->first.second);
    }
    if (found) {
      const auto stored = std::make_pair(Le64(r.key) & OBJ_ID_MASK, Le64(r.key + 8));
      EXPECT_EQ(Le64(r.value), model[stored]);
    }
  }
}

TEST_F(TreeFixture, DirectoryRecordsMatchByHashAndFoldedName) {
  std::vector<NodeEntrySpec> records;
  records.push_back({IdKey(2, 3), U64(0)});
  records.push_back({DrecKey(2, "Alpha", 100), U64(1)});
  records.push_back({DrecKey(2, "beta", 100), U64(2)});  // same hash: a collision
  records.push_back({DrecKey(2, "gamma", 300), U64(3)});
  records.push_back({IdKey(3, 3), U64(4)});
  Open(BuildTree(disk, records, 2, 0x0E, false, &next));
  auto find = [&](const char* name, uint32_t hash, bool caseSensitive, uint64_t* value) {
    SearchKey key;
    EXPECT_TRUE(SearchKeyDrec(&key, 2, hash, reinterpret_cast<const uint8_t*>(name),
                              uint32_t(strlen(name)), caseSensitive));
    NodeRecord r;
    bool notFound;
    if (!BTreeFind(&tree, &key, FIND_EXACT, &r, &notFound)) {
      EXPECT_TRUE(notFound);
      return false;
    }
    *value = Le64(r.value);
    return true;
  };
  uint64_t value = 0;
  EXPECT_TRUE(find("beta", 100, true, &value));
  EXPECT_EQ(value, 2u);
  EXPECT_TRUE(find("gamma", 300, true, &value));
  EXPECT_EQ(value, 3u);
  EXPECT_FALSE(find("BETA", 100, true, &value));
  EXPECT_FALSE(find("delta", 100, true, &value));

  // Without a name the key matches the records of its hash: iterate them.
  SearchKey byHash;
  ASSERT_TRUE(SearchKeyDrec(&byHash, 2, 100, nullptr, 0, false));
  EXPECT_EQ(Iterate(byHash, FIND_EXACT).size(), 2u);
}

TEST_F(TreeFixture, ObjectMapTakesTheNewestMapping) {
  std::vector<NodeEntrySpec> mappings;
  for (uint64_t oid = 1024; oid < 1040; oid++) {
    mappings.push_back({OmapKey(oid, 1), OmapValue(0, 4096, 5000 + oid)});
  }
  // Three versions of one object, straddling a leaf boundary.
  mappings.insert(mappings.begin() + 4, {OmapKey(1027, 5), OmapValue(0, 4096, 7005)});
  mappings.insert(mappings.begin() + 5, {OmapKey(1027, 9), OmapValue(0, 4096, 7009)});
  mappings.insert(mappings.begin() + 6, {OmapKey(1027, 12), OmapValue(4, 4096, 7012)});
  const uint64_t mapRoot = BuildTree(disk, mappings, 5, OBJECT_TYPE_OMAP, true, &next);
  uint8_t* header = disk.Block(900);
  PutLe32(header + OBJ_TYPE, OBJECT_TYPE_OMAP);
  PutLe64(header + 48, mapRoot);
  ASSERT_TRUE(OmapOpen(&tree, 900, CONTAINER_INDEX));
  ASSERT_GE(tree.root->node.level, 1);

  OmapMapping m;
  bool notFound;
  ASSERT_TRUE(OmapLookup(&tree, 1027, &m, &notFound));
  EXPECT_EQ(m.xid, 12u);
  EXPECT_EQ(m.paddr, 7012u);
  EXPECT_EQ(m.flags, 4u);
  ASSERT_TRUE(OmapLookup(&tree, 1039, &m, &notFound));
  EXPECT_EQ(m.paddr, 5000u + 1039);
  EXPECT_FALSE(OmapLookup(&tree, 1040, &m, &notFound));
  EXPECT_TRUE(notFound);
  EXPECT_FALSE(OmapLookup(&tree, 3, &m, &notFound));
  EXPECT_TRUE(notFound);

  // Fixed entries: 16-byte values in leaves, 8-byte child addresses in index nodes.
  ASSERT_TRUE(OmapLookup(&tree, 1030, &m, &notFound));
  NodeRecord r;
  ASSERT_TRUE(NodeEntry(&tree.root->node, 0, &r));
  EXPECT_EQ(r.keySize, 16u);
  EXPECT_EQ(r.valueSize, 8u);
  ASSERT_TRUE(NodeEntry(&tree.cursor->current->node, 0, &r));
  EXPECT_EQ(r.valueSize, 16u);

  PutLe32(header + OBJ_TYPE, OBJECT_TYPE_CHECKPOINT_MAP);
  BTree other;
  BTreeInit(&other, &tc.container);
  EXPECT_FALSE(OmapOpen(&other, 900, CONTAINER_INDEX));
  BTreeRelease(&other);
}

struct VirtualTreeFixture : TreeFixture {
  BTree omap{};
  std::vector<NodeEntrySpec> mappings;
  uint64_t nextOid = 1024;

  void SetUp() override {
    TreeFixture::SetUp();
    BTreeInit(&omap, &tc.container);
  }
  void TearDown() override {
    TreeFixture::TearDown();
    BTreeRelease(&omap);
  }
  uint64_t Virtualise(uint64_t address) {
    mappings.push_back({OmapKey(nextOid, 1), OmapValue(0, 4096, address)});
    return nextOid++;
  }
  void OpenMap() {
    const uint64_t mapRoot = BuildTree(disk, mappings, 6, OBJECT_TYPE_OMAP, true, &next);
    uint8_t* header = disk.Block(900);
    PutLe32(header + OBJ_TYPE, OBJECT_TYPE_OMAP);
    PutLe64(header + 48, mapRoot);
    ASSERT_TRUE(OmapOpen(&omap, 900, CONTAINER_INDEX));
  }
};

TEST_F(VirtualTreeFixture, ChildrenAreTranslatedThroughTheObjectMap) {
  std::vector<NodeEntrySpec> records;
  for (uint64_t id = 16; id < 216; id++) records.push_back({IdKey(id, 3), U64(id)});
  const uint64_t root = BuildTree(disk, records, 6, 0x0E, false, &next,
                                  [&](uint64_t a) { return Virtualise(a); });
  OpenMap();
  Open(root, &omap);
  SearchKey key;
  SearchKeyId(&key, 16, 3);
  EXPECT_EQ(Iterate(key, FIND_FROM).size(), records.size());
  SearchKeyId(&key, 150, 3);
  NodeRecord r;
  bool notFound;
  ASSERT_TRUE(BTreeFind(&tree, &key, FIND_EXACT, &r, &notFound));
  EXPECT_EQ(Le64(r.value), 150u);

  // A clone searches on its own, leaving the source's position alone.
  BTree clone{};
  BTreeInit(&clone, &tc.container);
  ASSERT_TRUE(BTreeClone(&clone, &tree, &omap));
  SearchKeyId(&key, 20, 3);
  ASSERT_TRUE(BTreeFind(&clone, &key, FIND_EXACT, &r, &notFound));
  EXPECT_EQ(Le64(r.value), 20u);
  EXPECT_EQ(Iterate(key, FIND_FROM).size(), records.size() - 4);
  BTreeRelease(&clone);
}

TEST_F(VirtualTreeFixture, UnmappedOrZeroAddressedChildrenCannotBeLoaded) {
  std::vector<NodeEntrySpec> records;
  for (uint64_t id = 16; id < 40; id++) records.push_back({IdKey(id, 3), U64(id)});
  const uint64_t root = BuildTree(disk, records, 6, 0x0E, false, &next,
                                  [&](uint64_t a) { return Virtualise(a); });
  OmapValue(0, 0, 0).swap(*mappings[1].value);  // the second leaf maps to address 0
  mappings.erase(mappings.begin() + 2);          // the third leaf is not mapped at all
  OpenMap();
  Open(root, &omap);
  SearchKey key;
  NodeRecord r;
  bool notFound = true;
  SearchKeyId(&key, 16, 3);
  EXPECT_TRUE(BTreeFind(&tree, &key, FIND_EXACT, &r, &notFound));
  for (uint64_t id : {23u, 29u}) {
    SearchKeyId(&key, id, 3);
    EXPECT_FALSE(BTreeFind(&tree, &key, FIND_EXACT, &r, &notFound)) << id;
    EXPECT_FALSE(notFound);
  }
  SearchKeyId(&key, 36, 3);
  EXPECT_TRUE(BTreeFind(&tree, &key, FIND_EXACT, &r, &notFound));
}

TEST_F(TreeFixture, DescentRefusesChildrenAtTheWrongLevel) {
  std::vector<NodeEntrySpec> records;
  for (uint64_t id = 16; id < 60; id++) records.push_back({IdKey(id, 3), U64(id)});
  const uint64_t root = BuildTree(disk, records, 6, 0x0E, false, &next);
  Open(root);
  ASSERT_EQ(tree.root->node.level, 2);
  // Point the root's first child at the root itself: a loop in the tree.
  NodeRecord first;
  ASSERT_TRUE(NodeEntry(&tree.root->node, 0, &first));
  uint8_t* rootBlock = disk.Block(root);
  const uint32_t valueOffset = Le16(rootBlock + BTN_DATA + 4);
  PutLe64(rootBlock + 4096 - BTREE_INFO_SIZE - valueOffset, root);
  Open(root);
  SearchKey key;
  NodeRecord r;
  bool notFound = true;
  SearchKeyId(&key, 16, 3);
  EXPECT_FALSE(BTreeFind(&tree, &key, FIND_EXACT, &r, &notFound));
  EXPECT_FALSE(notFound);
  EXPECT_FALSE(BTreeSeek(tree.cursor, &key, FIND_FROM, &notFound));
  // The rest of the tree is still searchable.
  SearchKeyId(&key, 58, 3);
  EXPECT_TRUE(BTreeFind(&tree, &key, FIND_EXACT, &r, &notFound));
}

TEST_F(TreeFixture, FreeQueueChildrenComeFromTheCheckpointMap) {
  std::vector<NodeEntrySpec> records;
  for (uint64_t x = 1; x < 30; x++) records.push_back({OmapKey(x, x * 3), U64(x)});
  std::vector<uint8_t> table;
  const uint64_t root =
      BuildTree(disk, records, 8, OBJECT_TYPE_SPACEMAN_FREE_QUEUE, true, &next, [&](uint64_t a) {
        const uint64_t ephemeral = 0x400 + a;
        uint8_t entry[40] = {};
        PutLe32(entry, OBJECT_TYPE_BTREE_NODE);
        PutLe32(entry + 8, 4096);
        PutLe64(entry + 24, ephemeral);
        PutLe64(entry + 32, a);
        table.insert(table.end(), entry, entry + 40);
        return ephemeral;
      });
  tc.container.cpmTable = table.data();
  tc.container.cpmCount = uint32_t(table.size() / 40);
  Open(root);
  SearchKey key;
  SearchKeyId(&key, 1, 0);
  EXPECT_EQ(Iterate(key, FIND_FROM | FIND_ANY_TYPE).size(), records.size());
  tc.container.cpmTable = nullptr;
  tc.container.cpmCount = 0;
}

// ---- Trees that cannot be ----

// Table-of-contents fields of entry i of a node with entries of variable size.
uint8_t* TocField(MemoryDevice& disk, uint64_t node, uint32_t i, uint32_t field) {
  return disk.Block(node) + BTN_DATA + KVLOC_SIZE * i + 2 * field;
}
constexpr uint32_t KEY_OFF = 0, KEY_LEN = 1, VALUE_OFF = 2;

void CopyTocField(MemoryDevice& disk, uint64_t node, uint32_t from, uint32_t to, uint32_t field) {
  std::memcpy(TocField(disk, node, to, field), TocField(disk, node, from, field), 2);
}

struct HostileTreeFixture : TreeFixture {
  uint64_t root = 0;
  std::vector<uint64_t> level1;  // the root's children, in key order

  // 216 inode records under a root of six index nodes of six leaves of six records.
  void Build() {
    std::vector<NodeEntrySpec> records;
    for (uint64_t id = 16; id < 16 + 216; id++) records.push_back({IdKey(id, 3), U64(id)});
    root = BuildTree(disk, records, 6, 0x0E, false, &next);
    Open(root);
    ASSERT_EQ(tree.root->node.level, 2);
    for (uint32_t i = 0; i < tree.root->node.entryCount; i++) {
      NodeRecord r;
      ASSERT_TRUE(NodeEntry(&tree.root->node, i, &r));
      level1.push_back(Le64(r.value));
    }
  }
  // A search that must end in an error, not in "not found" nor in a record.
  void ExpectFindFails(uint64_t id) {
    SearchKey key;
    SearchKeyId(&key, id, 3);
    NodeRecord r;
    bool notFound = true;
    EXPECT_FALSE(BTreeFind(&tree, &key, FIND_EXACT, &r, &notFound)) << id;
    EXPECT_FALSE(notFound) << id;
  }
  // An iteration from the first record that ends in an error within limit records.
  void ExpectIterationFails(size_t limit) {
    SearchKey key;
    SearchKeyId(&key, 16, 3);
    bool notFound;
    ASSERT_TRUE(BTreeSeek(tree.cursor, &key, FIND_FROM, &notFound));
    size_t count = 0;
    for (;;) {
      NodeRecord r;
      bool end = false;
      if (!BTreeNext(tree.cursor, &r, nullptr, &end)) {
        EXPECT_FALSE(end) << "the iteration ended as if the tree were sound";
        break;
      }
      count++;
    }
    EXPECT_LE(count, limit);
  }
};

TEST_F(HostileTreeFixture, IndexEntriesNamingOneChildEndWithAnError) {
  Build();
  // Every index entry names its node's first child: 6^2 walks through the first leaf.
  for (uint64_t node : {root, level1[0], level1[1], level1[2], level1[3], level1[4], level1[5]}) {
    for (uint32_t i = 1; i < 6; i++) CopyTocField(disk, node, 0, i, VALUE_OFF);
  }
  Open(root);
  ExpectIterationFails(6);
  ExpectFindFails(200);
  ExpectFindFails(30);
}

TEST_F(HostileTreeFixture, IndexNodesOfEqualKeysAreCorrupt) {
  Build();
  for (uint32_t i = 1; i < 6; i++) {
    for (uint32_t field : {KEY_OFF, KEY_LEN, VALUE_OFF}) CopyTocField(disk, level1[3], 0, i, field);
  }
  Open(root);
  ExpectFindFails(16 + 3 * 36 + 20);
  ExpectIterationFails(3 * 36);
  // A root of equal keys does not open at all.
  for (uint32_t i = 1; i < 6; i++) CopyTocField(disk, root, 0, i, KEY_OFF);
  EXPECT_FALSE(BTreeOpenRoot(&tree, root, CONTAINER_INDEX, nullptr, false));
}

TEST_F(HostileTreeFixture, ChildrenOutsideTheirParentsRangeAreCorrupt) {
  Build();
  // The root's second and third entries name each other's child.
  uint8_t second[2];
  std::memcpy(second, TocField(disk, root, 1, VALUE_OFF), 2);
  CopyTocField(disk, root, 2, 1, VALUE_OFF);
  std::memcpy(TocField(disk, root, 2, VALUE_OFF), second, 2);
  Open(root);
  ExpectFindFails(16 + 36 + 5);
  ExpectFindFails(16 + 72 + 5);
  ExpectIterationFails(36);
}

TEST_F(HostileTreeFixture, RecordsOutOfOrderInALeafEndAnIterationThere) {
  Build();
  const uint64_t leaf = 10 + 7;  // the eighth leaf written: records 58 to 63
  for (uint32_t field : {KEY_OFF, VALUE_OFF}) {
    uint8_t third[2];
    std::memcpy(third, TocField(disk, leaf, 2, field), 2);
    CopyTocField(disk, leaf, 3, 2, field);
    std::memcpy(TocField(disk, leaf, 3, field), third, 2);
  }
  Open(root);
  ExpectIterationFails(7 * 6 + 3);
}

TEST_F(HostileTreeFixture, ANodeFailingItsChecksumIsNotDecoded) {
  Build();
  disk.SealOnRead(false);
  EXPECT_FALSE(BTreeOpenRoot(&tree, root, CONTAINER_INDEX, nullptr, false)) << "no checksums at all";
  for (uint64_t address = 10; address < next; address++) {
    uint8_t* block = disk.Block(address);
    PutLe64(block, ObjectChecksum(block, disk.blockSize()));
  }
  Open(root);
  disk.Block(10 + 5)[2000] ^= 1;  // the sixth leaf: records 46 to 51
  ExpectFindFails(48);
  SearchKey key;
  SearchKeyId(&key, 60, 3);
  NodeRecord r;
  bool notFound;
  EXPECT_TRUE(BTreeFind(&tree, &key, FIND_EXACT, &r, &notFound)) << "the other leaves stand";
}

}  // namespace
