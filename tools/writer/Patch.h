// Damages a written image on purpose, for negative tests: a named field of a named object
// is changed, with the object's checksum recomputed or left as it was.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ImageWriter.h"

namespace apfsw {

enum class ChecksumMode { Recompute, Stale };

struct FieldRef {
  size_t offset = 0;
  size_t size = 0;
};

// The field of an object, by the object's kind (read from its name in the WriteResult)
// and the on-disk field name, for example "nx_max_file_systems" of "block0",
// "apfs_fs_quota_block_count" of "volume[0].superblock", "btn_level" of any tree node, or
// "@OFFSET:SIZE" for any bytes. Throws for an unknown name.
FieldRef FindField(const std::string& objectName, const std::string& field, uint32_t blockSize);

void PatchBytes(const std::string& imagePath, uint32_t blockSize, uint64_t address, size_t offset,
                const std::vector<uint8_t>& bytes, ChecksumMode mode);

// Stores `value` little-endian in the field's size.
void PatchField(const std::string& imagePath, const WriteResult& layout, const std::string& objectName,
                const std::string& field, uint64_t value, ChecksumMode mode);

}  // namespace apfsw
