#include "GptScan.h"

#include <cstring>
#include <vector>

#include "ApfsFormat.h"

namespace {

constexpr uint8_t GPT_SIGNATURE[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
// 7C3457EF-0000-11AA-AA11-00306543ECAC as stored: the first three fields little-endian.
constexpr uint8_t APFS_PARTITION_TYPE[16] = {0xEF, 0x57, 0x34, 0x7C, 0x00, 0x00, 0xAA, 0x11,
                                             0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC};
constexpr uint32_t GPT_HEADER_MIN = 92;
constexpr uint32_t GPT_ENTRY_MIN = 128;
constexpr uint64_t GPT_TABLE_MAX = 1 << 20;  // far above the 16 KiB every disk uses

uint32_t Crc32(const uint8_t* bytes, size_t count) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < count; i++) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; bit++) crc = (crc >> 1) ^ (0xEDB88320 & (0u - (crc & 1)));
  }
  return ~crc;
}

struct GptHeader {
  uint64_t entriesLba;
  uint32_t entryCount;
  uint32_t entrySize;
  uint32_t entriesCrc;
};

bool ParseHeader(uint8_t* sector, uint32_t sectorSize, GptHeader* header, std::string* error) {
  const uint32_t headerSize = Le32(sector + 12);
  if (headerSize < GPT_HEADER_MIN || headerSize > sectorSize) {
    *error = "GPT header has an invalid size";
    return false;
  }
  const uint32_t storedCrc = Le32(sector + 16);
  std::memset(sector + 16, 0, 4);
  if (Crc32(sector, headerSize) != storedCrc) {
    *error = "GPT header checksum mismatch";
    return false;
  }
  header->entriesLba = Le64(sector + 72);
  header->entryCount = Le32(sector + 80);
  header->entrySize = Le32(sector + 84);
  header->entriesCrc = Le32(sector + 88);
  if (header->entrySize < GPT_ENTRY_MIN || header->entrySize % 8 != 0 ||
      uint64_t(header->entrySize) * header->entryCount > GPT_TABLE_MAX) {
    *error = "GPT partition table has an invalid size";
    return false;
  }
  return true;
}

GptResult ScanEntries(const DiskReader& read, uint64_t diskSize, uint32_t sectorSize,
                      const GptHeader& header, GptPartition* partition, std::string* error) {
  const uint64_t tableSize = uint64_t(header.entrySize) * header.entryCount;
  if (header.entriesLba > diskSize / sectorSize ||
      tableSize > diskSize - header.entriesLba * sectorSize) {
    *error = "GPT partition table lies outside the disk";
    return GptResult::Error;
  }
  std::vector<uint8_t> table(tableSize);
  if (!read(header.entriesLba * sectorSize, table.data(), tableSize)) {
    *error = "cannot read the GPT partition table";
    return GptResult::Error;
  }
  if (Crc32(table.data(), table.size()) != header.entriesCrc) {
    *error = "GPT partition table checksum mismatch";
    return GptResult::Error;
  }
  for (uint32_t i = 0; i < header.entryCount; i++) {
    const uint8_t* entry = table.data() + uint64_t(i) * header.entrySize;
    if (std::memcmp(entry, APFS_PARTITION_TYPE, sizeof APFS_PARTITION_TYPE) != 0) continue;
    const uint64_t first = Le64(entry + 32);
    const uint64_t last = Le64(entry + 40);  // inclusive
    const uint64_t maxLba = UINT64_MAX / sectorSize - 1;
    if (first > last || last > maxLba) {
      *error = "GPT entry of the APFS partition has an invalid range";
      return GptResult::Error;
    }
    partition->offset = first * sectorSize;
    partition->length = (last - first + 1) * sectorSize;
    partition->index = i;
    return GptResult::Found;
  }
  *error = "the GPT has no APFS partition";
  return GptResult::Error;
}

}  // namespace

GptResult FindApfsPartition(const DiskReader& read, uint64_t diskSize, GptPartition* partition,
                            std::string* error) {
  for (const uint32_t sectorSize : {512u, 4096u}) {
    std::vector<uint8_t> sector(sectorSize);
    if (diskSize < 2ull * sectorSize || !read(sectorSize, sector.data(), sectorSize)) continue;
    if (std::memcmp(sector.data(), GPT_SIGNATURE, sizeof GPT_SIGNATURE) != 0) continue;
    GptHeader header;
    if (!ParseHeader(sector.data(), sectorSize, &header, error)) return GptResult::Error;
    return ScanEntries(read, diskSize, sectorSize, header, partition, error);
  }
  return GptResult::NotGpt;
}
