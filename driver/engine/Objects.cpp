// The lowest layer of the engine: bounded device reads, the Fletcher-64 object checksum,
// block sizes, the container and volume read paths and reference-counted block buffers.
#include <cstdlib>
#include <cstring>
#include <new>

#include "ApfsFormat.h"
#include "ApfsProcs.h"

bool DeviceRead(BlockDevice* device, uint64_t offset, void* buffer, uint64_t count) {
  if (device == nullptr || buffer == nullptr) return false;
  // Written so that no sum can wrap: offset + count <= length.
  if (count > UINT32_MAX || count > device->length || offset > device->length - count) {
    return false;
  }
  if (count == 0) return true;
  return device->readAt(device, offset, buffer, uint32_t(count));
}

uint64_t DeviceLength(const BlockDevice* device) { return device->length; }

namespace {

// Objects without a header carry no checksum: storage types flagged as headerless, and
// the headerless nodes of hashed trees (all-zero header, flag in btn_flags).
constexpr uint32_t OBJ_NOHEADER = 0x20000000;
constexpr uint16_t BTNODE_NOHEADER = 0x10;

bool Headerless(const uint8_t* bytes, uint32_t size) {
  return (Le32(bytes + OBJ_TYPE) & OBJ_NOHEADER) != 0 ||
         (size > BTN_FLAGS + 1 && (Le16(bytes + BTN_FLAGS) & BTNODE_NOHEADER) != 0 &&
          Le64(bytes + OBJ_CKSUM) == 0 && Le64(bytes + OBJ_OID) == 0 && Le32(bytes + OBJ_TYPE) == 0);
}

}  // namespace

uint64_t ObjectChecksum(const uint8_t* bytes, uint32_t size) {
  constexpr uint64_t M = 0xFFFFFFFFull;
  // Sums of up to 1024 words fit 64 bits before reduction (2^42 and 2^52), so the
  // modulus is taken once per 1024 words rather than once per word.
  constexpr uint32_t BATCH = 1024;
  uint64_t sum1 = 0;
  uint64_t sum2 = 0;
  const uint32_t words = size / 4;
  for (uint32_t i = 2; i < words;) {
    const uint32_t end = words - i > BATCH ? i + BATCH : words;
    // Two words per step, from one 64-bit load.
    for (; i + 1 < end; i += 2) {
      const uint64_t pair = Le64(bytes + 4 * i);
      sum1 += pair & 0xFFFFFFFFu;
      sum2 += sum1;
      sum1 += pair >> 32;
      sum2 += sum1;
    }
    if (i < end) {
      sum1 += Le32(bytes + 4 * i++);
      sum2 += sum1;
    }
    sum1 %= M;
    sum2 %= M;
  }
  const uint64_t c1 = M - ((sum1 + sum2) % M);
  const uint64_t c2 = M - ((sum1 + c1) % M);
  return c2 << 32 | c1;
}

bool ObjectVerify(const uint8_t* bytes, uint32_t size) {
  return size >= OBJ_HEADER_SIZE && ObjectChecksum(bytes, size) == Le64(bytes + OBJ_CKSUM);
}

bool ObjectIntact(const uint8_t* bytes, uint32_t size) {
  return size >= OBJ_HEADER_SIZE && (Headerless(bytes, size) || ObjectVerify(bytes, size));
}

uint8_t BlockShiftOf(uint32_t size) {
  for (uint8_t k = 0; k <= 25; k++) {
    if (size == (1u << k)) return k;
  }
  return 9;
}

bool BlockSizeSupported(uint32_t size) {
  return size >= MIN_BLOCK_SIZE && size <= MAX_BLOCK_SIZE && (size & (size - 1)) == 0;
}

bool ContainerRead(Container* container, uint64_t offset, void* buffer, uint64_t count) {
  return DeviceRead(container->device, offset, buffer, count);
}

bool VolumeRead(Container* container, uint64_t offset, void* buffer, uint64_t count,
                uint8_t volumeIndex) {
  if (volumeIndex == CONTAINER_INDEX) return ContainerRead(container, offset, buffer, count);
  if (volumeIndex >= container->volumeCount || container->volumes == nullptr) return false;
  const Volume& volume = container->volumes[volumeIndex];
  // A locked volume cannot be read.
  if (!volume.open || (volume.encrypted && !volume.unlocked)) return false;
  return ContainerRead(container, offset, buffer, count);
}

bool ReadAtBlock(Container* container, uint64_t address, void* buffer, uint64_t count,
                 uint8_t volumeIndex) {
  if (address >= ContainerBlockCount(container)) return false;
  return VolumeRead(container, address << container->blockShift, buffer, count, volumeIndex);
}

namespace {

uint32_t CheckedSlot(uint64_t address) { return uint32_t(address % CHECKED_NODE_SLOTS); }

// The nodes of an unlocked volume's file-system tree are stored encrypted, their units
// numbered from their block address.
bool DecryptNode(Container* container, BlockBuffer* buffer, uint8_t volumeIndex) {
  if (volumeIndex == CONTAINER_INDEX || volumeIndex >= container->volumeCount) return true;
  const Volume* volume = &container->volumes[volumeIndex];
  if (!VolumeDecrypts(volume)) return true;
  return VolumeDecrypt(volume, (buffer->address << container->blockShift) / 512, buffer->data,
                       buffer->size);
}

// Whether the block is intact, taking a node found intact before at its word.
bool Intact(const BlockBuffer* buffer, const CheckedNodes* checked) {
  return (checked != nullptr && CheckedNodesHave(checked, buffer)) ||
         ObjectIntact(buffer->data, buffer->size);
}

BlockBuffer* Load(Container* container, uint64_t address, uint32_t size, uint8_t volumeIndex,
                  CheckedNodes* checked) {
  if (size == 0) size = container->blockSize;
  if (size == 0) return nullptr;
  auto* buffer = new (std::nothrow) BlockBuffer{};
  if (buffer == nullptr) return nullptr;
  // The read fills every byte or the buffer is thrown away: no need to clear it first.
  buffer->data = static_cast<uint8_t*>(std::malloc(size));
  buffer->size = size;
  buffer->address = address;
  // A damaged node is refused here, before anything decodes it.
  if (buffer->data == nullptr ||
      !ReadAtBlock(container, address, buffer->data, size, volumeIndex) ||
      !DecryptNode(container, buffer, volumeIndex) || !Intact(buffer, checked)) {
    std::free(buffer->data);
    delete buffer;
    return nullptr;
  }
  buffer->volumeIndex = volumeIndex;
  buffer->refCount = 1;
  buffer->container = container;
  return buffer;
}

}  // namespace

bool CheckedNodesHave(const CheckedNodes* checked, const BlockBuffer* buffer) {
  const uint32_t slot = CheckedSlot(buffer->address);
  return checked->address[slot] == buffer->address &&
         checked->checksum[slot] == Le64(buffer->data + OBJ_CKSUM);
}

void CheckedNodesAdd(CheckedNodes* checked, const BlockBuffer* buffer) {
  const uint32_t slot = CheckedSlot(buffer->address);
  checked->address[slot] = buffer->address;
  checked->checksum[slot] = Le64(buffer->data + OBJ_CKSUM);
}

BlockBuffer* BlockBufferLoad(Container* container, uint64_t address, uint32_t size,
                             uint8_t volumeIndex) {
  return Load(container, address, size, volumeIndex, nullptr);
}

BlockBuffer* BlockBufferLoadChecked(Container* container, uint64_t address, uint8_t volumeIndex,
                                    CheckedNodes* checked) {
  return Load(container, address, 0, volumeIndex, checked);
}

BlockBuffer* BlockBufferClone(const BlockBuffer* source) {
  auto* buffer = new (std::nothrow) BlockBuffer{*source};
  if (buffer == nullptr) return nullptr;
  buffer->data = static_cast<uint8_t*>(std::malloc(source->size));
  if (buffer->data == nullptr) {
    delete buffer;
    return nullptr;
  }
  std::memcpy(buffer->data, source->data, source->size);
  buffer->refCount = 1;
  return buffer;
}

void BlockBufferRelease(BlockBuffer* buffer) {
  if (buffer == nullptr || --buffer->refCount > 0) return;
  std::free(buffer->data);
  delete buffer;
}
