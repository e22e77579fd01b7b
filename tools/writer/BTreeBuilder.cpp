#include "BTreeBuilder.h"

#include <algorithm>
#include <stdexcept>

#include "Object.h"
#include "OnDisk.h"

namespace apfsw {

namespace {

constexpr uint32_t kIndexValueSize = 8;

struct TreeTotals {
  uint64_t recordCount = 0;
  uint64_t nodeCount = 0;
  uint32_t longestKey = 0;
  uint32_t longestValue = 0;
};

uint32_t TocEntrySize(const TreeShape& shape) { return shape.fixedSize ? 4 : 8; }

uint64_t NodeCapacity(const TreeShape& shape, bool root) {
  return shape.blockSize - BTNODE_HEADER_SIZE - (root ? BTREE_INFO_SIZE : 0);
}

// Nodes of fixed-size entries have a table of contents sized for as many entries as the
// node can hold; others one grown in steps with the entries, never empty.
uint64_t TocLength(uint64_t entries, const TreeShape& shape, bool root) {
  if (shape.fixedSize) {
    const uint64_t most = NodeCapacity(shape, root) / (TocEntrySize(shape) + shape.keySize + shape.leafValueSize);
    entries = std::max(entries, most);
  }
  return AlignUp(std::max<uint64_t>(entries, 1), BTREE_TOC_ENTRY_INCREMENT) * TocEntrySize(shape);
}

// Keys and values start at multiples of 8 bytes unless the tree says otherwise.
uint64_t StoredSize(uint32_t length, const TreeShape& shape) {
  return shape.fixedSize || (shape.treeFlags & BTREE_KV_NONALIGNED) ? length : AlignUp(length, 8);
}

// Bytes the entries take in a node: table of contents, keys and values.
class NodeFill {
 public:
  explicit NodeFill(const TreeShape& shape) : shape_(shape) {}
  bool Fits(const TreeRecord& r, bool root) const {
    if (shape_.entryCap != 0 && count_ + 1 > shape_.entryCap) return false;
    const uint64_t data = data_ + StoredSize(r.keyLength, shape_) + StoredSize(r.valueLength, shape_);
    return TocLength(count_ + 1, shape_, root) + data <= NodeCapacity(shape_, root);
  }
  void Add(const TreeRecord& r) {
    data_ += StoredSize(r.keyLength, shape_) + StoredSize(r.valueLength, shape_);
    ++count_;
  }
  uint64_t Count() const { return count_; }
  void Clear() { count_ = data_ = 0; }

 private:
  const TreeShape& shape_;
  uint64_t count_ = 0;
  uint64_t data_ = 0;
};

bool FitsInOneRoot(std::span<const TreeRecord> entries, const TreeShape& shape) {
  NodeFill fill(shape);
  for (const TreeRecord& r : entries) {
    if (!fill.Fits(r, true)) return false;
    fill.Add(r);
  }
  return true;
}

void WriteFooter(std::vector<uint8_t>& node, const TreeShape& shape, const TreeTotals& totals) {
  uint8_t* info = node.data() + node.size() - BTREE_INFO_SIZE;
  Put32(info + 0, shape.treeFlags);
  Put32(info + 4, shape.blockSize);
  Put32(info + 8, shape.fixedSize ? shape.keySize : 0);
  Put32(info + 12, shape.fixedSize ? shape.leafValueSize : 0);
  Put32(info + 16, totals.longestKey);
  Put32(info + 20, totals.longestValue);
  Put64(info + 24, totals.recordCount);
  Put64(info + 32, totals.nodeCount);
}

// The first keys and references of one level's nodes, which become the entries of the
// level above. The records point into the owned byte vectors.
struct LevelEntries {
  std::vector<std::vector<uint8_t>> keys;
  std::vector<std::vector<uint8_t>> references;
  std::vector<TreeRecord> records;
};

// Carries one level's nodes to the sink and collects the entries of the level above.
class LevelWriter {
 public:
  LevelWriter(const TreeShape& tree, const TreeShape& level, NodeSink& sink, uint16_t levelNumber,
              TreeTotals& totals)
      : tree_(tree), shape_(level), sink_(sink), level_(levelNumber), totals_(totals) {}

  NodePlacement WriteRoot(std::span<const TreeRecord> entries) {
    const NodePlacement placement = sink_.Place(level_, true);
    ++totals_.nodeCount;
    std::vector<uint8_t> node = EncodeNode(entries, shape_, placement, level_, true);
    WriteFooter(node, tree_, totals_);
    SealObject(node.data(), node.size());
    sink_.Emit(placement, node, entries, level_);
    return placement;
  }

  void WriteNodes(std::span<const TreeRecord> entries) {
    NodeFill fill(shape_);
    size_t first = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
      if (!fill.Fits(entries[i], false)) {
        if (fill.Count() == 0) throw std::runtime_error("record larger than a node");
        WriteNode(entries.subspan(first, i - first));
        first = i;
        fill.Clear();
      }
      fill.Add(entries[i]);
    }
    if (fill.Count() != 0) WriteNode(entries.subspan(first));
  }

  LevelEntries TakeParentEntries() {
    for (size_t i = 0; i < parents_.keys.size(); ++i)
      parents_.records.push_back({parents_.keys[i].data(),
                                  static_cast<uint32_t>(parents_.keys[i].size()),
                                  parents_.references[i].data(), kIndexValueSize});
    return std::move(parents_);
  }

 private:
  void WriteNode(std::span<const TreeRecord> entries) {
    const NodePlacement placement = sink_.Place(level_, false);
    ++totals_.nodeCount;
    std::vector<uint8_t> node = EncodeNode(entries, shape_, placement, level_, false);
    SealObject(node.data(), node.size());
    sink_.Emit(placement, node, entries, level_);
    parents_.keys.emplace_back(entries.front().key, entries.front().key + entries.front().keyLength);
    std::vector<uint8_t> reference(kIndexValueSize);
    Put64(reference.data(), placement.reference);
    parents_.references.push_back(std::move(reference));
  }

  const TreeShape& tree_;
  const TreeShape& shape_;
  NodeSink& sink_;
  uint16_t level_;
  TreeTotals& totals_;
  LevelEntries parents_;
};

}  // namespace

std::vector<uint8_t> EncodeNode(std::span<const TreeRecord> entries, const TreeShape& shape,
                                const NodePlacement& placement, uint16_t level, bool root) {
  std::vector<uint8_t> node(shape.blockSize, 0);
  uint8_t* b = node.data();
  const uint32_t type = (root ? TYPE_BTREE : TYPE_BTREE_NODE) | shape.storage;
  SetObjectHeader(b, placement.oid, shape.xid, type, shape.subtype);
  const uint16_t flags = (root ? BTNODE_ROOT : 0) | (level == 0 ? BTNODE_LEAF : 0) |
                         (shape.fixedSize ? BTNODE_FIXED_KV_SIZE : 0);
  Put16(b + 32, flags);
  Put16(b + 34, level);
  Put32(b + 36, static_cast<uint32_t>(entries.size()));
  const uint64_t tocLength = TocLength(entries.size(), shape, root);
  Put16(b + 40, 0);
  Put16(b + 42, static_cast<uint16_t>(tocLength));

  const uint64_t keyStart = BTNODE_HEADER_SIZE + tocLength;
  const uint64_t valueEnd = shape.blockSize - (root ? BTREE_INFO_SIZE : 0);
  uint64_t keyOffset = 0, valueOffset = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    const TreeRecord& r = entries[i];
    std::memcpy(b + keyStart + keyOffset, r.key, r.keyLength);
    valueOffset += StoredSize(r.valueLength, shape);
    std::memcpy(b + valueEnd - valueOffset, r.value, r.valueLength);
    uint8_t* toc = b + BTNODE_HEADER_SIZE + i * TocEntrySize(shape);
    if (shape.fixedSize) {
      Put16(toc + 0, static_cast<uint16_t>(keyOffset));
      Put16(toc + 2, static_cast<uint16_t>(valueOffset));
    } else {
      Put16(toc + 0, static_cast<uint16_t>(keyOffset));
      Put16(toc + 2, static_cast<uint16_t>(r.keyLength));
      Put16(toc + 4, static_cast<uint16_t>(valueOffset));
      Put16(toc + 6, static_cast<uint16_t>(r.valueLength));
    }
    keyOffset += StoredSize(r.keyLength, shape);
  }
  // Free space between the last key and the first value; no free lists.
  Put16(b + 44, static_cast<uint16_t>(keyOffset));
  Put16(b + 46, static_cast<uint16_t>(valueEnd - valueOffset - keyStart - keyOffset));
  Put16(b + 48, BTOFF_INVALID);
  Put16(b + 50, 0);
  Put16(b + 52, BTOFF_INVALID);
  Put16(b + 54, 0);
  return node;
}

BuiltTree BuildTree(std::span<const TreeRecord> records, const TreeShape& shape, NodeSink& sink) {
  if (shape.entryCap == 1) throw std::runtime_error("a node entry cap must be at least 2");
  TreeTotals totals;
  totals.recordCount = records.size();
  for (const TreeRecord& r : records) {
    totals.longestKey = std::max(totals.longestKey, r.keyLength);
    totals.longestValue = std::max(totals.longestValue, r.valueLength);
  }
  TreeShape indexShape = shape;
  indexShape.leafValueSize = kIndexValueSize;
  LevelEntries below;
  std::span<const TreeRecord> entries = records;
  for (uint16_t level = 0;; ++level) {
    const TreeShape& levelShape = level == 0 ? shape : indexShape;
    LevelWriter writer(shape, levelShape, sink, level, totals);
    if (FitsInOneRoot(entries, levelShape)) {
      BuiltTree built;
      built.root = writer.WriteRoot(entries);
      built.depth = static_cast<uint16_t>(level + 1);
      built.nodeCount = totals.nodeCount;
      built.recordCount = totals.recordCount;
      return built;
    }
    writer.WriteNodes(entries);
    below = writer.TakeParentEntries();
    entries = below.records;
  }
}

}  // namespace apfsw
