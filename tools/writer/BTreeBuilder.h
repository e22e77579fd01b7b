// Builds a B-tree bottom-up from records already in key order: leaves are filled up to
// the node's byte capacity or an entry cap, then index levels are built over their first
// keys until one root remains.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace apfsw {

struct TreeRecord {
  const uint8_t* key = nullptr;
  uint32_t keyLength = 0;
  const uint8_t* value = nullptr;
  uint32_t valueLength = 0;
};

struct TreeShape {
  uint32_t blockSize = 4096;
  uint32_t subtype = 0;   // object subtype of every node (for example the file-system tree)
  uint32_t storage = 0;   // storage class bits of the nodes' object type
  uint32_t treeFlags = 0; // bt_flags of the root's footer
  bool fixedSize = false;
  uint16_t keySize = 0;        // fixed-size trees only
  uint16_t leafValueSize = 0;  // fixed-size trees only
  uint32_t entryCap = 0;       // most entries per node; 0 = as many as fit
  uint64_t xid = 0;
};

// Where a node goes; chosen by the sink before the node is encoded.
struct NodePlacement {
  uint64_t oid = 0;      // the object id written in the header
  uint64_t address = 0;  // the block the node is written to (0 when the sink keeps it)
  uint64_t reference = 0;  // what the parent stores for it (address or object id)
};

class NodeSink {
 public:
  virtual ~NodeSink() = default;
  virtual NodePlacement Place(uint16_t level, bool root) = 0;
  // Receives a finished, checksummed node and the entries it was made of.
  virtual void Emit(const NodePlacement& placement, std::vector<uint8_t>& node,
                    std::span<const TreeRecord> entries, uint16_t level) = 0;
};

struct BuiltTree {
  NodePlacement root;
  uint16_t depth = 0;  // levels, 1 for a lone root leaf
  uint64_t nodeCount = 0;
  uint64_t recordCount = 0;
};

BuiltTree BuildTree(std::span<const TreeRecord> records, const TreeShape& shape, NodeSink& sink);

// Encodes one node of the given entries; exposed for writers of single, hand-made nodes.
std::vector<uint8_t> EncodeNode(std::span<const TreeRecord> entries, const TreeShape& shape,
                                const NodePlacement& placement, uint16_t level, bool root);

}  // namespace apfsw
