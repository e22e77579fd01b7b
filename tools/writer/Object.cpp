#include "Object.h"

#include "OnDisk.h"

namespace apfsw {

uint64_t Fletcher64(const uint8_t* block, size_t size) {
  constexpr uint64_t kModulus = 0xFFFFFFFFull;
  // Sums are reduced every so many words only: with 32-bit words they cannot overflow
  // 64 bits within a batch of this length.
  constexpr size_t kBatchWords = 1024;
  uint64_t sum1 = 0, sum2 = 0;
  const size_t words = size / 4;
  size_t i = 2;
  while (i < words) {
    const size_t batchEnd = i + kBatchWords < words ? i + kBatchWords : words;
    for (; i < batchEnd; ++i) {
      sum1 += Get32(block + 4 * i);
      sum2 += sum1;
    }
    sum1 %= kModulus;
    sum2 %= kModulus;
  }
  const uint64_t check1 = kModulus - ((sum1 + sum2) % kModulus);
  const uint64_t check2 = kModulus - ((sum1 + check1) % kModulus);
  return check2 << 32 | check1;
}

void SetObjectHeader(uint8_t* block, uint64_t oid, uint64_t xid, uint32_t type, uint32_t subtype) {
  Put64(block + 8, oid);
  Put64(block + 16, xid);
  Put32(block + 24, type);
  Put32(block + 28, subtype);
}

void SealObject(uint8_t* block, size_t size) { Put64(block, Fletcher64(block, size)); }

bool ObjectChecksumValid(const uint8_t* block, size_t size) {
  return Get64(block) == Fletcher64(block, size);
}

}  // namespace apfsw
