// One B-tree node from arbitrary bytes: parsed, every entry taken, and searched with keys
// of every kind in every mode.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ApfsProcs.h"

namespace {

constexpr uint32_t NODE_SIZE = 4096;
constexpr uint32_t KEY_BYTES = 32;  // the input's tail chooses the search keys

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < KEY_BYTES || size > NODE_SIZE + KEY_BYTES) return 0;
  BlockBuffer buffer{};
  uint8_t block[NODE_SIZE] = {};
  std::memcpy(block, data, size - KEY_BYTES);
  buffer.data = block;
  buffer.size = NODE_SIZE;
  NodeView view{};
  view.buffer = &buffer;
  view.bytes = block;
  if (!NodeParse(&view, UINT64_MAX)) return 0;
  for (uint32_t i = 0; i < view.entryCount && i < 1024; i++) {
    NodeRecord record;
    if (NodeEntry(&view, i, &record)) {
      volatile uint8_t sink = 0;
      for (uint32_t b = 0; b < record.keySize; b++) sink = sink ^ record.key[b];
      for (uint32_t b = 0; record.value != nullptr && b < record.valueSize; b++) {
        sink = sink ^ record.value[b];
      }
    }
  }
  const uint8_t* k = data + size - KEY_BYTES;
  uint64_t id, offset;
  std::memcpy(&id, k, 8);
  std::memcpy(&offset, k + 8, 8);
  SearchKey keys[3];
  SearchKeyId(&keys[0], id, uint8_t(k[16] & 15));
  SearchKeyIdOffset(&keys[1], id, uint8_t(k[16] & 15), offset);
  SearchKeyDrec(&keys[2], id, uint32_t(offset), k + 17, k[31] % 15, k[16] & 0x80);
  for (const SearchKey& key : keys) {
    for (uint32_t mode = 0; mode < 32; mode++) {
      const int32_t r = NodeSearch(&view, &key, mode);
      if (r >= 0 && uint32_t(r) >= view.entryCount) __builtin_trap();
    }
  }
  return 0;
}
