// Writer-made images whose file-system tree is then damaged as no B-tree can be: index
// entries that name one child, index keys that are all equal, children swapped out of
// their key range; and records damaged where a reader meets them. Shared by the engine's
// tests and the command's, which must both end such walks with a corrupt error.
#pragma once

#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ApfsFormat.h"
#include "ApfsProcs.h"
#include "ImageDevice.h"
#include "ImageWriter.h"
#include "Patch.h"

namespace hostile {

// A root directory of count files of 4 KiB ("file0" ...), in a tree of at most four
// records a node: deep enough for index nodes below the root.
inline apfsw::ContainerSpec ManyFiles(int count = 40) {
  apfsw::ContainerSpec spec;
  spec.volumes.resize(1);
  spec.volumes[0].nodeEntryCap = 4;
  for (int i = 0; i < count; i++) {
    apfsw::Entry file;
    file.name = "file" + std::to_string(i);
    file.size = 4096;
    spec.volumes[0].root.children.push_back(file);
  }
  return spec;
}

struct TreeNode {
  uint64_t address;
  uint16_t level;
  uint32_t entries;
};

// Volume 0 of an image opened through the engine, to find where its tree lies.
class OpenedVolume {
 public:
  explicit OpenedVolume(const std::string& path) {
    ImageOpenOptions options;
    std::string error;
    image_ = OpenImage(path, options, &error);
    if (image_ == nullptr) throw std::runtime_error(path + ": " + error);
    uint8_t first[4096];
    ContainerInit(&container_);
    BTreeInit(&omap_, &container_);
    BTreeInit(&fs_, &container_);
    if (!DeviceRead(image_->device(), 0, first, sizeof first) ||
        !ContainerOpen(&container_, first, image_->device()) ||
        !VolumeSlotOpen(&container_, 0, nullptr, &omap_, &fs_)) {
      throw std::runtime_error(path + ": volume 0 does not open");
    }
  }
  ~OpenedVolume() {
    BTreeRelease(&fs_);
    BTreeRelease(&omap_);
    ContainerClose(&container_);
  }
  OpenedVolume(const OpenedVolume&) = delete;
  OpenedVolume& operator=(const OpenedVolume&) = delete;

  // Every index node of the file-system tree, level by level from the root, each level
  // in key order.
  std::vector<TreeNode> IndexNodes() {
    std::vector<TreeNode> nodes{{fs_.root->node.address, fs_.root->node.level, fs_.root->node.entryCount}};
    for (size_t at = 0; at < nodes.size(); at++) {
      if (nodes[at].level == 1) continue;
      WithNode(nodes[at].address, [&](const NodeView& node) {
        for (uint32_t i = 0; i < node.entryCount; i++) {
          const uint64_t child = ChildAddress(node, i);
          WithNode(child, [&](const NodeView& c) { nodes.push_back({child, c.level, c.entryCount}); });
        }
      });
    }
    return nodes;
  }

  // The leaf holding the record with key, and the offsets of its table-of-contents
  // entry and of its value.
  struct Place {
    uint64_t block;
    uint32_t tocOffset;
    uint32_t valueOffset;
  };
  Place Locate(const SearchKey& key) {
    NodeRecord record;
    bool notFound;
    if (!BTreeFind(&fs_, &key, FIND_EXACT, &record, &notFound)) {
      throw std::runtime_error("record not found");
    }
    const NodeView& leaf = fs_.current->node;
    return {leaf.address, BTN_DATA + KVLOC_SIZE * uint32_t(fs_.index), uint32_t(record.value - leaf.bytes)};
  }

 private:
  uint64_t ChildAddress(const NodeView& node, uint32_t i) {
    NodeRecord record;
    OmapMapping mapping;
    bool notFound;
    if (!NodeEntry(&node, i, &record) || record.valueSize < 8 ||
        !OmapLookup(&omap_, Le64(record.value), &mapping, &notFound)) {
      throw std::runtime_error("unreadable index entry");
    }
    return mapping.paddr;
  }
  void WithNode(uint64_t address, const std::function<void(const NodeView&)>& use) {
    NodeView view{};
    view.buffer = BlockBufferLoad(&container_, address, 0, CONTAINER_INDEX);
    if (view.buffer == nullptr) throw std::runtime_error("unreadable node");
    view.bytes = view.buffer->data;
    const bool parsed = NodeParse(&view, ContainerXid(&container_));
    if (parsed) use(view);
    BlockBufferRelease(view.buffer);
    if (!parsed) throw std::runtime_error("malformed node");
  }

  std::unique_ptr<ImageDevice> image_;
  Container container_{};
  BTree omap_{};
  BTree fs_{};
};

// Table-of-contents entries of a node with entries of variable size: key offset and
// length, value offset and length, two bytes each.
struct Toc {
  std::vector<uint8_t> bytes;
  uint16_t Get(uint32_t entry, uint32_t field) const {
    return Le16(bytes.data() + KVLOC_SIZE * entry + 2 * field);
  }
  void Set(uint32_t entry, uint32_t field, uint16_t value) {
    bytes[KVLOC_SIZE * entry + 2 * field] = uint8_t(value);
    bytes[KVLOC_SIZE * entry + 2 * field + 1] = uint8_t(value >> 8);
  }
};
constexpr uint32_t KEY_OFFSET = 0, KEY_LENGTH = 1, VALUE_OFFSET = 2;

// Rewrites the table of contents of a node, with its checksum made good again.
inline void ChangeToc(const std::string& path, uint32_t blockSize, const TreeNode& node,
                      const std::function<void(Toc&)>& change) {
  Toc toc;
  toc.bytes.resize(size_t(node.entries) * KVLOC_SIZE);
  std::ifstream in(path, std::ios::binary);
  in.seekg(std::streamoff(node.address * blockSize + BTN_DATA));
  in.read(reinterpret_cast<char*>(toc.bytes.data()), std::streamsize(toc.bytes.size()));
  if (!in) throw std::runtime_error(path + ": cannot read a node");
  change(toc);
  apfsw::PatchBytes(path, blockSize, node.address, BTN_DATA, toc.bytes, apfsw::ChecksumMode::Recompute);
}

// Every entry of the node names the child of its first entry; the keys stay as they were.
inline void ShareFirstChild(Toc& toc, uint32_t entries) {
  for (uint32_t i = 1; i < entries; i++) toc.Set(i, VALUE_OFFSET, toc.Get(0, VALUE_OFFSET));
}

// Every entry of the node is its first entry: one key, one child.
inline void RepeatFirstEntry(Toc& toc, uint32_t entries) {
  for (uint32_t i = 1; i < entries; i++) {
    for (uint32_t field : {KEY_OFFSET, KEY_LENGTH, VALUE_OFFSET}) toc.Set(i, field, toc.Get(0, field));
  }
}

// The first two entries name each other's child: each child lies outside its range.
inline void SwapFirstChildren(Toc& toc, uint32_t entries) {
  if (entries < 2) return;
  const uint16_t first = toc.Get(0, VALUE_OFFSET);
  toc.Set(0, VALUE_OFFSET, toc.Get(1, VALUE_OFFSET));
  toc.Set(1, VALUE_OFFSET, first);
}

using TocChange = void (*)(Toc&, uint32_t);

// Applies change to every index node of the lowest index level but its first, so that
// the volume still opens (its root directory lies in the first leaves) and the damage
// is met by walks and lookups further on.
inline void DamageIndexNodes(const std::string& path, const apfsw::WriteResult& layout,
                             TocChange change) {
  std::vector<TreeNode> lowest;
  {
    OpenedVolume volume(path);
    for (const TreeNode& node : volume.IndexNodes()) {
      if (node.level == 1) lowest.push_back(node);
    }
  }
  if (lowest.size() < 2) throw std::runtime_error("the tree has too few index nodes");
  for (size_t i = 1; i < lowest.size(); i++) {
    ChangeToc(path, layout.blockSize, lowest[i], [&](Toc& toc) { change(toc, lowest[i].entries); });
  }
}

// Stores value in the field at valueField of the value of the file's extent at offset:
// 0 for its length and flags, 8 for its physical block.
inline void ChangeExtent(const std::string& path, const apfsw::WriteResult& layout,
                         const std::string& file, uint64_t offset, uint32_t valueField, uint64_t value) {
  SearchKey key;
  SearchKeyIdOffset(&key, layout.File(0, file).streamId, APFS_TYPE_FILE_EXTENT, offset);
  OpenedVolume::Place place{};
  {
    OpenedVolume volume(path);
    place = volume.Locate(key);
  }
  std::vector<uint8_t> bytes(8);
  for (int i = 0; i < 8; i++) bytes[i] = uint8_t(value >> (8 * i));
  apfsw::PatchBytes(path, layout.blockSize, place.block, place.valueOffset + valueField, bytes,
                    apfsw::ChecksumMode::Recompute);
}

// Cuts the value of the file's extent at offset short of what an extent needs.
inline void TruncateExtent(const std::string& path, const apfsw::WriteResult& layout,
                           const std::string& file, uint64_t offset) {
  SearchKey key;
  SearchKeyIdOffset(&key, layout.File(0, file).streamId, APFS_TYPE_FILE_EXTENT, offset);
  OpenedVolume::Place place{};
  {
    OpenedVolume volume(path);
    place = volume.Locate(key);
  }
  const std::vector<uint8_t> shortLength = {8, 0};
  apfsw::PatchBytes(path, layout.blockSize, place.block, place.tocOffset + 6, shortLength,
                    apfsw::ChecksumMode::Recompute);
}

// A file of data, an unrecorded gap and data again, whose second extent is damaged: the
// writer records the hole as an extent, cut short here so that a gap follows it.
inline void GapBeforeDamagedExtent(const std::string& path, const apfsw::WriteResult& layout,
                                   const std::string& file) {
  ChangeExtent(path, layout, file, 4096, 0, 4096);
  TruncateExtent(path, layout, file, 12288);
}

// The file that GapBeforeDamagedExtent damages: 4 KiB of data, an 8 KiB hole, 4 KiB of data.
inline apfsw::Entry GappedFile(const std::string& name) {
  apfsw::Entry file;
  file.name = name;
  file.size = 16384;
  file.layout = {{4096, false}, {8192, true}, {4096, false}};
  return file;
}

}  // namespace hostile
