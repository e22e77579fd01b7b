// Where the writer's B-tree nodes go: physical trees straight to new blocks, virtual trees
// to new blocks under new object ids recorded for an object map, ephemeral trees into
// memory until each checkpoint places them.
#pragma once

#include <cstdint>
#include <vector>

#include "BTreeBuilder.h"
#include "Encryption.h"
#include "WriteContext.h"

namespace apfsw {

struct OmapEntry {
  uint64_t oid = 0;
  uint64_t xid = 0;
  uint32_t flags = 0;
  uint64_t address = 0;
};

class PhysicalSink : public NodeSink {
 public:
  explicit PhysicalSink(WriteContext& context) : context_(context) {}
  NodePlacement Place(uint16_t level, bool root) override;
  void Emit(const NodePlacement& placement, std::vector<uint8_t>& node,
            std::span<const TreeRecord> entries, uint16_t level) override;

 private:
  WriteContext& context_;
};

// Nodes of a volume's file-system tree. With versions > 1 each node also gets older
// copies, under older transactions, holding the first half of its entries, as a node
// looks before later insertions; the object map keeps them all. With keys, each node is
// written encrypted where it sits.
class VirtualSink : public NodeSink {
 public:
  VirtualSink(WriteContext& context, const TreeShape& shape, uint32_t versions, uint32_t omapFlags,
              const VolumeKeys* keys = nullptr)
      : context_(context), shape_(shape), versions_(versions), omapFlags_(omapFlags), keys_(keys) {}
  NodePlacement Place(uint16_t level, bool root) override;
  void Emit(const NodePlacement& placement, std::vector<uint8_t>& node,
            std::span<const TreeRecord> entries, uint16_t level) override;
  std::vector<OmapEntry>& Mappings() { return mappings_; }
  // The root node takes this id rather than a new one: versions of one tree (the live
  // tree and its snapshots) share their root's id.
  void UseRootOid(uint64_t oid) { rootOid_ = oid; }

 private:
  void Write(uint64_t address, std::vector<uint8_t>& node) const;

  WriteContext& context_;
  const TreeShape& shape_;
  uint32_t versions_;
  uint32_t omapFlags_;
  const VolumeKeys* keys_;
  uint64_t rootOid_ = 0;
  std::vector<OmapEntry> mappings_;
};

// Nodes kept in memory under ephemeral ids; the checkpoints write them.
class EphemeralSink : public NodeSink {
 public:
  explicit EphemeralSink(WriteContext& context) : context_(context) {}
  NodePlacement Place(uint16_t level, bool root) override;
  void Emit(const NodePlacement& placement, std::vector<uint8_t>& node,
            std::span<const TreeRecord> entries, uint16_t level) override;
  struct Node {
    uint64_t oid;
    bool root;
    std::vector<uint8_t> bytes;
  };
  std::vector<Node>& Nodes() { return nodes_; }

 private:
  WriteContext& context_;
  std::vector<Node> nodes_;
};

// What an object map's header records of the volume's snapshots.
struct OmapSnapshots {
  uint32_t count = 0;
  uint64_t treeAddress = 0;  // the snapshot tree's root, 0 for none
  uint64_t mostRecent = 0;   // transaction of the newest snapshot
};

// Builds an object map's mapping tree (physical, fixed-size entries) and its header.
// Returns the header's address.
uint64_t WriteObjectMap(WriteContext& context, std::vector<OmapEntry> entries, uint32_t entryCap,
                        uint32_t omapFlags, const std::string& name,
                        const OmapSnapshots& snapshots = {});

struct OmapSnapshot {
  uint64_t xid = 0;
  uint32_t flags = 0;  // deleted, reverted
};

// Writes an object map's snapshot tree from entries in increasing transaction order;
// returns the root's address.
uint64_t WriteOmapSnapshotTree(WriteContext& context, const std::vector<OmapSnapshot>& snapshots,
                               const std::string& name);

// Writes a physical tree of variable-size, unaligned records (the extent-reference and
// snapshot-metadata trees) from records in key order; returns the root's address.
uint64_t WritePhysicalTree(WriteContext& context, uint32_t subtype, std::span<const TreeRecord> records,
                           const std::string& name);

}  // namespace apfsw
