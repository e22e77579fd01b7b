#include "TreeSinks.h"

#include <algorithm>

#include "Object.h"
#include "OnDisk.h"

namespace apfsw {

NodePlacement PhysicalSink::Place(uint16_t, bool) {
  const uint64_t address = context_.allocator.Allocate(1);
  return {address, address, address};
}

void PhysicalSink::Emit(const NodePlacement& placement, std::vector<uint8_t>& node,
                        std::span<const TreeRecord>, uint16_t) {
  context_.image.WriteBlock(placement.address, node);
}

NodePlacement VirtualSink::Place(uint16_t, bool root) {
  const uint64_t oid = root && rootOid_ != 0 ? rootOid_ : context_.NewOid();
  return {oid, context_.allocator.Allocate(1), oid};
}

void VirtualSink::Emit(const NodePlacement& placement, std::vector<uint8_t>& node,
                       std::span<const TreeRecord> entries, uint16_t level) {
  const bool root = (Get16(node.data() + 32) & BTNODE_ROOT) != 0;
  for (uint32_t age = versions_ - 1; age >= 1; --age) {
    TreeShape older = shape_;
    older.xid = shape_.xid - age;
    std::vector<uint8_t> copy;
    if (root || entries.size() < 2) {
      copy = node;
      Put64(copy.data() + 16, older.xid);
    } else {
      copy = EncodeNode(entries.first((entries.size() + 1) / 2), older, placement, level, false);
    }
    const uint64_t address = context_.allocator.Allocate(1);
    Write(address, copy);
    mappings_.push_back({placement.oid, older.xid, omapFlags_, address});
  }
  if (keys_ != nullptr) {
    std::vector<uint8_t> encrypted = node;  // the builder may still read the node
    Write(placement.address, encrypted);
  } else {
    context_.image.WriteBlock(placement.address, node);
  }
  mappings_.push_back({placement.oid, shape_.xid, omapFlags_, placement.address});
}

// Seals the node; an encrypted node's header says so, and its checksum is over the
// plain bytes.
void VirtualSink::Write(uint64_t address, std::vector<uint8_t>& node) const {
  if (keys_ != nullptr) Put32(node.data() + 24, Get32(node.data() + 24) | OBJ_ENCRYPTED);
  SealObject(node.data(), node.size());
  if (keys_ != nullptr) keys_->Encrypt(address, context_.blockSize, node.data(), node.size());
  context_.image.WriteBlock(address, node);
}

NodePlacement EphemeralSink::Place(uint16_t, bool) {
  const uint64_t oid = context_.NewOid();
  return {oid, 0, oid};
}

void EphemeralSink::Emit(const NodePlacement& placement, std::vector<uint8_t>& node,
                         std::span<const TreeRecord>, uint16_t) {
  nodes_.push_back({placement.oid, (Get16(node.data() + 32) & BTNODE_ROOT) != 0, node});
}

uint64_t WriteObjectMap(WriteContext& context, std::vector<OmapEntry> entries, uint32_t entryCap,
                        uint32_t omapFlags, const std::string& name,
                        const OmapSnapshots& snapshots) {
  std::sort(entries.begin(), entries.end(), [](const OmapEntry& a, const OmapEntry& b) {
    return a.oid != b.oid ? a.oid < b.oid : a.xid < b.xid;
  });
  std::vector<uint8_t> bytes(entries.size() * 32);
  std::vector<TreeRecord> records;
  records.reserve(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    uint8_t* key = bytes.data() + 32 * i;
    uint8_t* value = key + 16;
    Put64(key, entries[i].oid);
    Put64(key + 8, entries[i].xid);
    Put32(value, entries[i].flags);
    Put32(value + 4, context.blockSize);
    Put64(value + 8, entries[i].address);
    records.push_back({key, 16, value, 16});
  }
  TreeShape shape;
  shape.blockSize = context.blockSize;
  shape.subtype = TYPE_OMAP;
  shape.storage = OBJ_PHYSICAL;
  shape.treeFlags = BTREE_PHYSICAL;
  shape.fixedSize = true;
  shape.keySize = 16;
  shape.leafValueSize = 16;
  shape.entryCap = entryCap;
  shape.xid = context.xid;
  PhysicalSink sink(context);
  const BuiltTree tree = BuildTree(records, shape, sink);
  context.Note(name + ".root", tree.root.address, tree.root.oid, TYPE_BTREE | OBJ_PHYSICAL);

  const uint64_t header = context.allocator.Allocate(1);
  std::vector<uint8_t> block(context.blockSize, 0);
  SetObjectHeader(block.data(), header, context.xid, TYPE_OMAP | OBJ_PHYSICAL, 0);
  Put32(block.data() + omap::FLAGS, omapFlags);
  Put32(block.data() + omap::TREE_TYPE, TYPE_BTREE | OBJ_PHYSICAL);
  Put32(block.data() + omap::SNAPSHOT_TREE_TYPE, TYPE_BTREE | OBJ_PHYSICAL);
  Put64(block.data() + omap::TREE_OID, tree.root.address);
  Put32(block.data() + omap::SNAP_COUNT, snapshots.count);
  Put64(block.data() + omap::SNAPSHOT_TREE_OID, snapshots.treeAddress);
  Put64(block.data() + omap::MOST_RECENT_SNAP, snapshots.mostRecent);
  SealObject(block.data(), block.size());
  context.image.WriteBlock(header, block);
  context.Note(name, header, header, TYPE_OMAP | OBJ_PHYSICAL);
  return header;
}

uint64_t WriteOmapSnapshotTree(WriteContext& context, const std::vector<OmapSnapshot>& snapshots,
                               const std::string& name) {
  std::vector<uint8_t> bytes(snapshots.size() * 24, 0);
  std::vector<TreeRecord> records;
  for (size_t i = 0; i < snapshots.size(); ++i) {
    uint8_t* key = bytes.data() + 24 * i;
    Put64(key, snapshots[i].xid);
    Put32(key + 8, snapshots[i].flags);
    records.push_back({key, 8, key + 8, 16});
  }
  TreeShape shape;
  shape.blockSize = context.blockSize;
  shape.subtype = TYPE_OMAP_SNAPSHOT;
  shape.storage = OBJ_PHYSICAL;
  shape.treeFlags = BTREE_PHYSICAL;
  shape.fixedSize = true;
  shape.keySize = 8;
  shape.leafValueSize = 16;
  shape.xid = context.xid;
  PhysicalSink sink(context);
  const BuiltTree tree = BuildTree(records, shape, sink);
  context.Note(name, tree.root.address, tree.root.oid, TYPE_BTREE | OBJ_PHYSICAL);
  return tree.root.address;
}

uint64_t WritePhysicalTree(WriteContext& context, uint32_t subtype, std::span<const TreeRecord> records,
                           const std::string& name) {
  TreeShape shape;
  shape.blockSize = context.blockSize;
  shape.subtype = subtype;
  shape.storage = OBJ_PHYSICAL;
  shape.treeFlags = BTREE_PHYSICAL | BTREE_KV_NONALIGNED;
  shape.xid = context.xid;
  PhysicalSink sink(context);
  const BuiltTree tree = BuildTree(records, shape, sink);
  context.Note(name, tree.root.address, tree.root.oid, TYPE_BTREE | OBJ_PHYSICAL);
  return tree.root.address;
}

}  // namespace apfsw
