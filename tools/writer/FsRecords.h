// Records of a volume's file-system tree: their encodings and their key order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "BTreeBuilder.h"

namespace apfsw {

// Keys and values of many records in one byte arena, sorted in the tree's key order.
class RecordSet {
 public:
  explicit RecordSet(bool hashedDirectoryRecords) : hashed_(hashedDirectoryRecords) {}
  void Add(const std::vector<uint8_t>& key, const std::vector<uint8_t>& value);
  void Sort();
  size_t Size() const { return refs_.size(); }
  // Views of the records in their current order; valid until the next Add.
  std::vector<TreeRecord> Views() const;

 private:
  struct Ref {
    uint64_t offset;
    uint32_t keyLength;
    uint32_t valueLength;
  };
  bool hashed_;
  std::vector<uint8_t> arena_;
  std::vector<Ref> refs_;
};

// Orders two file-system keys: object id, record type, then what follows for the type.
int CompareFsKeys(const uint8_t* a, uint32_t aLength, const uint8_t* b, uint32_t bLength,
                  bool hashedDirectoryRecords);

uint64_t KeyWord(uint64_t objectId, uint8_t type);

// One extended field of an inode or directory record.
struct Xfield {
  uint8_t type = 0;
  uint8_t flags = 0;
  std::vector<uint8_t> data;
};

// The extended-field blob: counts, headers, then each field's data padded to 8 bytes.
std::vector<uint8_t> EncodeXfields(const std::vector<Xfield>& fields);

struct DataStreamInfo {
  uint64_t size = 0;
  uint64_t allocatedSize = 0;
};
std::vector<uint8_t> EncodeDataStream(const DataStreamInfo& stream);

std::vector<uint8_t> InodeKey(uint64_t inode);
std::vector<uint8_t> DirectoryRecordKey(uint64_t parent, std::string_view name, bool hashed,
                                        uint32_t hash);
std::vector<uint8_t> DirectoryRecordValue(uint64_t fileId, uint64_t dateAdded, uint16_t entryType,
                                          uint64_t siblingId);
std::vector<uint8_t> XattrKey(uint64_t inode, std::string_view name);
std::vector<uint8_t> EmbeddedXattrValue(uint16_t flags, const std::vector<uint8_t>& data);
std::vector<uint8_t> StreamXattrValue(uint64_t streamId, const DataStreamInfo& stream);
std::vector<uint8_t> FileExtentKey(uint64_t streamId, uint64_t logicalOffset);
// cryptoOrigin: on an encrypted volume, the block its encryption units are numbered from.
std::vector<uint8_t> FileExtentValue(uint64_t length, uint64_t physicalBlock, uint64_t cryptoOrigin = 0);
std::vector<uint8_t> DataStreamIdKey(uint64_t streamId);
std::vector<uint8_t> DataStreamIdValue(uint32_t referenceCount);
std::vector<uint8_t> SiblingLinkKey(uint64_t inode, uint64_t siblingId);
std::vector<uint8_t> SiblingLinkValue(uint64_t parent, std::string_view name);
std::vector<uint8_t> SiblingMapKey(uint64_t siblingId);
std::vector<uint8_t> SiblingMapValue(uint64_t inode);

}  // namespace apfsw

namespace apfsw {

// The fields of an inode value; the extended fields are written sorted by type.
struct InodeFields {
  uint64_t parent = 0;
  uint64_t privateId = 0;
  int64_t createTime = 0, modifyTime = 0, changeTime = 0, accessTime = 0;
  uint64_t internalFlags = 0;
  uint32_t childrenOrLinks = 0;
  uint32_t protectionClass = 0;
  uint32_t bsdFlags = 0;
  uint32_t owner = 0, group = 0;
  uint16_t mode = 0;
  uint64_t uncompressedSize = 0;
  std::vector<Xfield> xfields;
};
std::vector<uint8_t> InodeValue(InodeFields fields);

}  // namespace apfsw
