#include "FsRecords.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "OnDisk.h"

namespace apfsw {

namespace {

int CompareNames(const uint8_t* a, size_t aLength, const uint8_t* b, size_t bLength) {
  const int c = std::memcmp(a, b, std::min(aLength, bLength));
  if (c != 0) return c;
  return aLength < bLength ? -1 : (aLength > bLength ? 1 : 0);
}

template <typename T>
int Compare(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

int CompareDirectoryRecords(const uint8_t* a, const uint8_t* b, bool hashed) {
  if (hashed) {
    const uint32_t aField = Get32(a + 8), bField = Get32(b + 8);
    if (int c = Compare(aField >> J_DREC_HASH_SHIFT, bField >> J_DREC_HASH_SHIFT)) return c;
    return CompareNames(a + 12, aField & J_DREC_LEN_MASK, b + 12, bField & J_DREC_LEN_MASK);
  }
  return CompareNames(a + 10, Get16(a + 8), b + 10, Get16(b + 8));
}

void Append(std::vector<uint8_t>& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}

std::vector<uint8_t> Bytes(size_t size) { return std::vector<uint8_t>(size, 0); }

void CheckNameLength(std::string_view name) {
  if (name.empty() || name.size() > 1022) throw std::runtime_error("name length out of range");
}

}  // namespace

uint64_t KeyWord(uint64_t objectId, uint8_t type) {
  return (objectId & OBJ_ID_MASK) | uint64_t(type) << OBJ_TYPE_SHIFT;
}

int CompareFsKeys(const uint8_t* a, uint32_t, const uint8_t* b, uint32_t, bool hashed) {
  const uint64_t aWord = Get64(a), bWord = Get64(b);
  if (int c = Compare(aWord & OBJ_ID_MASK, bWord & OBJ_ID_MASK)) return c;
  if (int c = Compare(aWord >> OBJ_TYPE_SHIFT, bWord >> OBJ_TYPE_SHIFT)) return c;
  switch (aWord >> OBJ_TYPE_SHIFT) {
    case APFS_TYPE_DIR_REC:
      return CompareDirectoryRecords(a, b, hashed);
    case APFS_TYPE_XATTR:
      return CompareNames(a + 10, Get16(a + 8), b + 10, Get16(b + 8));
    case APFS_TYPE_FILE_EXTENT:
    case APFS_TYPE_SIBLING_LINK:
      return Compare(Get64(a + 8), Get64(b + 8));
    default:
      return 0;
  }
}

void RecordSet::Add(const std::vector<uint8_t>& key, const std::vector<uint8_t>& value) {
  refs_.push_back({arena_.size(), static_cast<uint32_t>(key.size()),
                   static_cast<uint32_t>(value.size())});
  arena_.insert(arena_.end(), key.begin(), key.end());
  arena_.insert(arena_.end(), value.begin(), value.end());
}

void RecordSet::Sort() {
  const uint8_t* base = arena_.data();
  std::sort(refs_.begin(), refs_.end(), [&](const Ref& a, const Ref& b) {
    return CompareFsKeys(base + a.offset, a.keyLength, base + b.offset, b.keyLength, hashed_) < 0;
  });
  for (size_t i = 1; i < refs_.size(); ++i) {
    const Ref& a = refs_[i - 1];
    const Ref& b = refs_[i];
    if (CompareFsKeys(base + a.offset, a.keyLength, base + b.offset, b.keyLength, hashed_) == 0)
      throw std::runtime_error("two records with the same key (duplicate name?)");
  }
}

std::vector<TreeRecord> RecordSet::Views() const {
  std::vector<TreeRecord> views;
  views.reserve(refs_.size());
  for (const Ref& r : refs_)
    views.push_back({arena_.data() + r.offset, r.keyLength,
                     arena_.data() + r.offset + r.keyLength, r.valueLength});
  return views;
}

std::vector<uint8_t> EncodeXfields(const std::vector<Xfield>& fields) {
  if (fields.empty()) return {};
  size_t dataSize = 0;
  for (const Xfield& f : fields) dataSize += AlignUp(f.data.size(), 8);
  std::vector<uint8_t> blob = Bytes(4 + 4 * fields.size() + dataSize);
  Put16(blob.data(), static_cast<uint16_t>(fields.size()));
  Put16(blob.data() + 2, static_cast<uint16_t>(dataSize));
  size_t dataOffset = 4 + 4 * fields.size();
  for (size_t i = 0; i < fields.size(); ++i) {
    uint8_t* header = blob.data() + 4 + 4 * i;
    header[0] = fields[i].type;
    header[1] = fields[i].flags;
    Put16(header + 2, static_cast<uint16_t>(fields[i].data.size()));
    std::memcpy(blob.data() + dataOffset, fields[i].data.data(), fields[i].data.size());
    dataOffset += AlignUp(fields[i].data.size(), 8);
  }
  return blob;
}

std::vector<uint8_t> EncodeDataStream(const DataStreamInfo& stream) {
  std::vector<uint8_t> v = Bytes(DSTREAM_SIZE);
  Put64(v.data(), stream.size);
  Put64(v.data() + 8, stream.allocatedSize);
  return v;
}

std::vector<uint8_t> InodeKey(uint64_t inode) {
  std::vector<uint8_t> k = Bytes(8);
  Put64(k.data(), KeyWord(inode, APFS_TYPE_INODE));
  return k;
}

std::vector<uint8_t> DirectoryRecordKey(uint64_t parent, std::string_view name, bool hashed,
                                        uint32_t hash) {
  CheckNameLength(name);
  const size_t stored = name.size() + 1;
  std::vector<uint8_t> k = Bytes(8 + (hashed ? 4 : 2));
  Put64(k.data(), KeyWord(parent, APFS_TYPE_DIR_REC));
  if (hashed)
    Put32(k.data() + 8, static_cast<uint32_t>(stored) | hash << J_DREC_HASH_SHIFT);
  else
    Put16(k.data() + 8, static_cast<uint16_t>(stored));
  Append(k, name);
  k.push_back(0);
  return k;
}

std::vector<uint8_t> DirectoryRecordValue(uint64_t fileId, uint64_t dateAdded, uint16_t entryType,
                                          uint64_t siblingId) {
  constexpr uint8_t kDrecExtTypeSiblingId = 1;
  std::vector<uint8_t> v = Bytes(DREC_VAL_SIZE);
  Put64(v.data(), fileId);
  Put64(v.data() + 8, dateAdded);
  Put16(v.data() + 16, entryType);
  if (siblingId != 0) {
    Xfield sibling{kDrecExtTypeSiblingId, 0, Bytes(8)};
    Put64(sibling.data.data(), siblingId);
    const std::vector<uint8_t> blob = EncodeXfields({sibling});
    v.insert(v.end(), blob.begin(), blob.end());
  }
  return v;
}

std::vector<uint8_t> XattrKey(uint64_t inode, std::string_view name) {
  if (name.empty() || name.size() > 255) throw std::runtime_error("xattr name length out of range");
  std::vector<uint8_t> k = Bytes(10);
  Put64(k.data(), KeyWord(inode, APFS_TYPE_XATTR));
  Put16(k.data() + 8, static_cast<uint16_t>(name.size() + 1));
  Append(k, name);
  k.push_back(0);
  return k;
}

std::vector<uint8_t> EmbeddedXattrValue(uint16_t flags, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> v = Bytes(4);
  Put16(v.data(), flags);
  Put16(v.data() + 2, static_cast<uint16_t>(data.size()));
  v.insert(v.end(), data.begin(), data.end());
  return v;
}

std::vector<uint8_t> StreamXattrValue(uint64_t streamId, const DataStreamInfo& stream) {
  std::vector<uint8_t> v = Bytes(4 + XATTR_DSTREAM_SIZE);
  Put16(v.data(), XATTR_DATA_STREAM);
  Put16(v.data() + 2, static_cast<uint16_t>(XATTR_DSTREAM_SIZE));
  Put64(v.data() + 4, streamId);
  const std::vector<uint8_t> ds = EncodeDataStream(stream);
  std::memcpy(v.data() + 12, ds.data(), ds.size());
  return v;
}

std::vector<uint8_t> FileExtentKey(uint64_t streamId, uint64_t logicalOffset) {
  std::vector<uint8_t> k = Bytes(16);
  Put64(k.data(), KeyWord(streamId, APFS_TYPE_FILE_EXTENT));
  Put64(k.data() + 8, logicalOffset);
  return k;
}

std::vector<uint8_t> FileExtentValue(uint64_t length, uint64_t physicalBlock, uint64_t cryptoOrigin) {
  std::vector<uint8_t> v = Bytes(FILE_EXTENT_VAL_SIZE);
  const uint64_t flags = cryptoOrigin != 0 ? FEXT_CRYPTO_ID_IS_TWEAK : 0;
  Put64(v.data(), (length & J_FILE_EXTENT_LEN_MASK) | flags << J_FILE_EXTENT_FLAG_SHIFT);
  Put64(v.data() + 8, physicalBlock);
  Put64(v.data() + 16, cryptoOrigin);
  return v;
}

std::vector<uint8_t> DataStreamIdKey(uint64_t streamId) {
  std::vector<uint8_t> k = Bytes(8);
  Put64(k.data(), KeyWord(streamId, APFS_TYPE_DSTREAM_ID));
  return k;
}

std::vector<uint8_t> DataStreamIdValue(uint32_t referenceCount) {
  std::vector<uint8_t> v = Bytes(4);
  Put32(v.data(), referenceCount);
  return v;
}

std::vector<uint8_t> SiblingLinkKey(uint64_t inode, uint64_t siblingId) {
  std::vector<uint8_t> k = Bytes(16);
  Put64(k.data(), KeyWord(inode, APFS_TYPE_SIBLING_LINK));
  Put64(k.data() + 8, siblingId);
  return k;
}

std::vector<uint8_t> SiblingLinkValue(uint64_t parent, std::string_view name) {
  std::vector<uint8_t> v = Bytes(10);
  Put64(v.data(), parent);
  Put16(v.data() + 8, static_cast<uint16_t>(name.size() + 1));
  Append(v, name);
  v.push_back(0);
  return v;
}

std::vector<uint8_t> SiblingMapKey(uint64_t siblingId) {
  std::vector<uint8_t> k = Bytes(8);
  Put64(k.data(), KeyWord(siblingId, APFS_TYPE_SIBLING_MAP));
  return k;
}

std::vector<uint8_t> SiblingMapValue(uint64_t inode) {
  std::vector<uint8_t> v = Bytes(8);
  Put64(v.data(), inode);
  return v;
}

}  // namespace apfsw

namespace apfsw {

std::vector<uint8_t> InodeValue(InodeFields fields) {
  std::vector<uint8_t> v(INODE_FIXED_SIZE, 0);
  uint8_t* p = v.data();
  Put64(p + ino::PARENT_ID, fields.parent);
  Put64(p + ino::PRIVATE_ID, fields.privateId);
  Put64(p + ino::CREATE_TIME, static_cast<uint64_t>(fields.createTime));
  Put64(p + ino::MOD_TIME, static_cast<uint64_t>(fields.modifyTime));
  Put64(p + ino::CHANGE_TIME, static_cast<uint64_t>(fields.changeTime));
  Put64(p + ino::ACCESS_TIME, static_cast<uint64_t>(fields.accessTime));
  Put64(p + ino::INTERNAL_FLAGS, fields.internalFlags);
  Put32(p + ino::NCHILDREN, fields.childrenOrLinks);
  Put32(p + ino::PROTECTION_CLASS, fields.protectionClass);
  Put32(p + ino::BSD_FLAGS, fields.bsdFlags);
  Put32(p + ino::OWNER, fields.owner);
  Put32(p + ino::GROUP, fields.group);
  Put16(p + ino::MODE, fields.mode);
  Put64(p + ino::UNCOMPRESSED_SIZE, fields.uncompressedSize);
  std::stable_sort(fields.xfields.begin(), fields.xfields.end(),
                   [](const Xfield& a, const Xfield& b) { return a.type < b.type; });
  const std::vector<uint8_t> blob = EncodeXfields(fields.xfields);
  v.insert(v.end(), blob.begin(), blob.end());
  return v;
}

}  // namespace apfsw
