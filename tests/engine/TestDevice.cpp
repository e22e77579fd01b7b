#include "TestDevice.h"

#include <cstring>

#include "ApfsFormat.h"

void PutLe16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v), p[1] = uint8_t(v >> 8); }
void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}
void PutLe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = uint8_t(v >> (8 * i));
}

Bytes U64(uint64_t v) {
  Bytes b(8);
  PutLe64(b.data(), v);
  return b;
}

Bytes IdKey(uint64_t id, uint8_t type) { return U64(id | uint64_t(type) << 60); }

Bytes IdOffsetKey(uint64_t id, uint8_t type, uint64_t offset) {
  Bytes b = IdKey(id, type);
  Bytes o = U64(offset);
  b.insert(b.end(), o.begin(), o.end());
  return b;
}

Bytes DrecKey(uint64_t parent, const std::string& name, uint32_t hash) {
  Bytes b = IdKey(parent, 9);
  b.resize(12);
  PutLe32(b.data() + 8, uint32_t(name.size() + 1) | hash << 10);
  b.insert(b.end(), name.begin(), name.end());
  b.push_back(0);
  return b;
}

Bytes OmapKey(uint64_t oid, uint64_t xid) {
  Bytes b = U64(oid);
  Bytes x = U64(xid);
  b.insert(b.end(), x.begin(), x.end());
  return b;
}

Bytes OmapValue(uint32_t flags, uint32_t size, uint64_t paddr) {
  Bytes b(16);
  PutLe32(b.data(), flags);
  PutLe32(b.data() + 4, size);
  PutLe64(b.data() + 8, paddr);
  return b;
}

MemoryDevice::MemoryDevice(uint32_t blockSize, uint64_t blockCount) : blockSize_(blockSize) {
  link_.device.readAt = ReadAt;
  link_.device.length = blockCount * blockSize;
  link_.self = this;
}

uint8_t* MemoryDevice::Block(uint64_t address) {
  Bytes& b = blocks_[address];
  b.resize(blockSize_);
  return b.data();
}

bool MemoryDevice::ReadAt(BlockDevice* device, uint64_t offset, void* buffer, uint32_t count) {
  MemoryDevice* self = reinterpret_cast<Link*>(device)->self;
  self->reads_++;
  auto* out = static_cast<uint8_t*>(buffer);
  for (uint32_t done = 0; done < count;) {
    const uint64_t at = offset + done;
    const uint64_t address = at / self->blockSize_;
    const uint32_t within = uint32_t(at % self->blockSize_);
    const uint32_t n = std::min(count - done, self->blockSize_ - within);
    auto it = self->blocks_.find(address);
    if (it == self->blocks_.end()) {
      std::memset(out + done, 0, n);
    } else {
      std::memcpy(out + done, it->second.data() + within, n);
      if (self->seal_ && within == 0 && n == self->blockSize_) {
        PutLe64(out + done, ObjectChecksum(out + done, n));
      }
    }
    done += n;
  }
  return true;
}

TestContainer::TestContainer(MemoryDevice& device, uint64_t xid) : latest(device.blockSize()) {
  ContainerInit(&container);
  container.device = device.device();
  container.blockSize = device.blockSize();
  container.blockShift = BlockShiftOf(device.blockSize());
  container.maxVolumes = MAX_VOLUMES;
  PutLe64(latest.data() + OBJ_XID, xid);
  PutLe64(latest.data() + NX_BLOCK_COUNT, device.device()->length / device.blockSize());
  container.latest = latest.data();
}

TestContainer::~TestContainer() { container.latest = nullptr; }

void WriteNode(MemoryDevice& device, uint64_t address, const NodeSpec& spec) {
  uint8_t* b = device.Block(address);
  const uint32_t size = device.blockSize();
  std::memset(b, 0, size);
  PutLe64(b + OBJ_OID, address);
  PutLe64(b + OBJ_XID, spec.xid);
  PutLe32(b + OBJ_TYPE, spec.root ? OBJECT_TYPE_BTREE : OBJECT_TYPE_BTREE_NODE);
  PutLe32(b + OBJ_SUBTYPE, spec.subtype);
  uint16_t flags = spec.level == 0 ? BTNODE_LEAF : 0;
  if (spec.root) flags |= BTNODE_ROOT;
  if (spec.fixed) flags |= BTNODE_FIXED_KV_SIZE;
  PutLe16(b + BTN_FLAGS, flags);
  PutLe16(b + BTN_LEVEL, spec.level);
  PutLe32(b + BTN_NKEYS, uint32_t(spec.entries.size()));
  const uint32_t tocEntry = spec.fixed ? KVOFF_SIZE : KVLOC_SIZE;
  const uint32_t tocLength = uint32_t(spec.entries.size()) * tocEntry;
  PutLe16(b + BTN_TABLE_SPACE_LEN, uint16_t(tocLength));
  const uint32_t keyStart = BTN_DATA + tocLength;
  const uint32_t valueEnd = spec.root ? size - BTREE_INFO_SIZE : size;
  uint32_t keyOffset = 0;
  uint32_t valueOffset = 0;
  for (size_t i = 0; i < spec.entries.size(); i++) {
    const NodeEntrySpec& e = spec.entries[i];
    uint8_t* toc = b + BTN_DATA + tocEntry * i;
    std::memcpy(b + keyStart + keyOffset, e.key.data(), e.key.size());
    uint16_t storedValueOffset = KV_NO_VALUE;
    if (e.value) {
      valueOffset += uint32_t(e.value->size());
      std::memcpy(b + valueEnd - valueOffset, e.value->data(), e.value->size());
      storedValueOffset = uint16_t(valueOffset);
    }
    if (spec.fixed) {
      PutLe16(toc, uint16_t(keyOffset));
      PutLe16(toc + 2, storedValueOffset);
    } else {
      PutLe16(toc, uint16_t(keyOffset));
      PutLe16(toc + 2, uint16_t(e.key.size()));
      PutLe16(toc + 4, storedValueOffset);
      PutLe16(toc + 6, uint16_t(e.value ? e.value->size() : 0));
    }
    keyOffset += uint32_t(e.key.size());
  }
  if (spec.root) PutLe64(b + valueEnd + BTREE_INFO_KEY_COUNT, spec.keyCount);
}

uint64_t BuildTree(MemoryDevice& device, const std::vector<NodeEntrySpec>& records,
                   uint32_t fanout, uint16_t subtype, bool fixed, uint64_t* nextAddress,
                   const std::function<uint64_t(uint64_t)>& childRef) {
  std::vector<NodeEntrySpec> level = records;
  uint16_t height = 0;
  for (;;) {
    const bool root = level.size() <= fanout;
    std::vector<NodeEntrySpec> parents;
    for (size_t start = 0; start < level.size() || (start == 0 && level.empty());
         start += fanout) {
      NodeSpec spec;
      spec.root = root;
      spec.level = height;
      spec.subtype = subtype;
      spec.fixed = fixed;
      spec.keyCount = records.size();
      for (size_t i = start; i < std::min(level.size(), start + fanout); i++) {
        spec.entries.push_back(level[i]);
      }
      const uint64_t address = (*nextAddress)++;
      WriteNode(device, address, spec);
      if (root) return address;
      parents.push_back({spec.entries.front().key, U64(childRef ? childRef(address) : address)});
    }
    level = parents;
    height++;
  }
}
