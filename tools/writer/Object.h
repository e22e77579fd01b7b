// Headers and checksums of on-disk objects.
#pragma once

#include <cstddef>
#include <cstdint>

namespace apfsw {

// The object checksum: Fletcher-64 modulo 2^32 - 1 over all 32-bit words of the block but
// the first two (where the checksum itself is stored).
uint64_t Fletcher64(const uint8_t* block, size_t size);

// Fills the 32-byte object header, leaving the checksum to SealObject.
void SetObjectHeader(uint8_t* block, uint64_t oid, uint64_t xid, uint32_t type, uint32_t subtype);

// Stores the checksum of the block in its first 8 bytes.
void SealObject(uint8_t* block, size_t size);

// True when the stored checksum matches the block's contents.
bool ObjectChecksumValid(const uint8_t* block, size_t size);

}  // namespace apfsw
