// Test fixtures for the engine: an in-memory device that counts reads, and builders of
// B-tree nodes and whole trees laid out as on disk.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ApfsProcs.h"

using Bytes = std::vector<uint8_t>;

void PutLe16(uint8_t* p, uint16_t v);
void PutLe32(uint8_t* p, uint32_t v);
void PutLe64(uint8_t* p, uint64_t v);

Bytes IdKey(uint64_t id, uint8_t type);
Bytes IdOffsetKey(uint64_t id, uint8_t type, uint64_t offset);
Bytes DrecKey(uint64_t parent, const std::string& name, uint32_t hash);
Bytes OmapKey(uint64_t oid, uint64_t xid);
Bytes OmapValue(uint32_t flags, uint32_t size, uint64_t paddr);
Bytes U64(uint64_t v);

// A partition in memory, block by block; unwritten blocks read as zeros.
class MemoryDevice {
 public:
  explicit MemoryDevice(uint32_t blockSize = 4096, uint64_t blockCount = 4096);
  MemoryDevice(const MemoryDevice&) = delete;
  MemoryDevice& operator=(const MemoryDevice&) = delete;
  BlockDevice* device() { return &link_.device; }
  uint8_t* Block(uint64_t address);  // writable, created on first use
  uint32_t blockSize() const { return blockSize_; }
  // Whole written blocks are read with a fresh object checksum, as a writer would have
  // stored it, so tests may change blocks in place; off, blocks read as they stand.
  void SealOnRead(bool seal) { seal_ = seal; }
  int reads() const { return reads_; }

 private:
  static bool ReadAt(BlockDevice* device, uint64_t offset, void* buffer, uint32_t count);
  struct Link {
    BlockDevice device;  // first member: ReadAt finds the MemoryDevice from it
    MemoryDevice* self;
  } link_{};
  uint32_t blockSize_;
  std::map<uint64_t, Bytes> blocks_;
  int reads_ = 0;
  bool seal_ = true;
};

// A container record over a MemoryDevice, enough for the B-tree and block layers.
struct TestContainer {
  explicit TestContainer(MemoryDevice& device, uint64_t xid = 100);
  ~TestContainer();
  Container container;
  Bytes latest;
};

struct NodeEntrySpec {
  Bytes key;
  std::optional<Bytes> value;
};

struct NodeSpec {
  bool root = true;
  uint16_t level = 0;
  uint16_t subtype = 0x0E;
  bool fixed = false;
  uint64_t xid = 1;
  uint64_t keyCount = 0;  // written to the footer of a root
  std::vector<NodeEntrySpec> entries;
};

void WriteNode(MemoryDevice& device, uint64_t address, const NodeSpec& spec);

// Builds a tree over the sorted records with at most fanout entries per node,
// allocating blocks upwards from *nextAddress. childRef turns a child's block address
// into the reference its parent stores (the address itself for physical trees).
uint64_t BuildTree(MemoryDevice& device, const std::vector<NodeEntrySpec>& records,
                   uint32_t fanout, uint16_t subtype, bool fixed, uint64_t* nextAddress,
                   const std::function<uint64_t(uint64_t)>& childRef = nullptr);
