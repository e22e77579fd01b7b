// Extended attributes: the entries InodeLoad gathers, finding and reading one, the
// compressed-file header and the test for attributes a user put there.
#include <cstdlib>
#include <cstring>

#include "ApfsFormat.h"
#include "ApfsProcs.h"

namespace {

constexpr char kDecmpfs[] = "com.apple.decmpfs";
constexpr char kResourceFork[] = "com.apple.ResourceFork";
constexpr char kSymlink[] = "com.apple.fs.symlink";

bool IsStream(uint16_t flags) {
  return flags == XATTR_DATA_STREAM || flags == XATTR_DATA_STREAM_SYSTEM;
}

bool NameIs(const XattrEntry* entry, const char* name, size_t length) {
  return entry->nameLength == length + 1 && std::memcmp(entry->buffer, name, length) == 0;
}

const XattrEntry* FindEntry(const Inode* inode, const uint8_t* name, uint32_t length) {
  for (const XattrEntry* e = inode->xattrs; e != nullptr; e = e->next) {
    if (NameIs(e, reinterpret_cast<const char*>(name), length)) return e;
  }
  return nullptr;
}

// Reads the first count bytes of an attribute's data (count <= dataLength). The flags
// decide where the data is, as they decided what the entry's buffer holds: a stream
// entry's length is the stream's, whatever its recorded id.
bool ReadXattrData(Inode* inode, const XattrEntry* entry, uint8_t* buffer, uint64_t count,
                   BTree* fsTree) {
  if (IsStream(entry->flags)) return StreamRead(inode, entry->streamId, buffer, count, fsTree);
  std::memcpy(buffer, entry->buffer + entry->nameLength, count);
  return true;
}

}  // namespace

bool XattrEntryBuild(XattrEntry* entry, const NodeRecord& record) {
  if (record.keySize < XATTR_KEY_NAME || record.value == nullptr ||
      record.valueSize < XATTR_VAL_DATA) {
    return false;
  }
  const uint16_t nameLength = Le16(record.key + XATTR_KEY_NAME_LEN);
  const uint16_t flags = Le16(record.value + XATTR_VAL_FLAGS);
  const uint16_t dataLength = Le16(record.value + XATTR_VAL_LEN);
  // Name and data must lie inside their key and value; a stream needs its id and size.
  if (nameLength == 0 || XATTR_KEY_NAME + nameLength > record.keySize ||
      XATTR_VAL_DATA + uint32_t(dataLength) > record.valueSize ||
      (IsStream(flags) && dataLength < XATTR_DSTREAM_SIZE)) {
    return false;
  }
  const uint8_t* data = record.value + XATTR_VAL_DATA;
  entry->flags = flags;
  entry->nameLength = nameLength;
  const uint32_t size = nameLength + (IsStream(flags) ? 0 : dataLength);
  entry->buffer = static_cast<uint8_t*>(std::malloc(size));
  if (entry->buffer == nullptr) return false;
  entry->bufferSize = size;
  std::memcpy(entry->buffer, record.key + XATTR_KEY_NAME, nameLength);
  if (IsStream(flags)) {
    entry->streamId = Le64(data);
    entry->dataLength = Le64(data + 8);
  } else {
    entry->streamId = 0;
    entry->dataLength = dataLength;
    std::memcpy(entry->buffer + nameLength, data, dataLength);
  }
  return true;
}

void XattrEntryFree(XattrEntry* entry) {
  std::free(entry->buffer);
  delete entry;
}

bool XattrFind(Inode* inode, const uint8_t* name, uint32_t length, uint8_t* buffer,
               uint64_t bufferLength, uint64_t* dataLength, bool* tooSmall, bool* notFound,
               BTree* fsTree) {
  *tooSmall = false;
  *notFound = false;
  const XattrEntry* entry = FindEntry(inode, name, length);
  if (entry == nullptr) return !(*notFound = true);
  *dataLength = entry->dataLength;
  if (bufferLength != 0) {
    if (bufferLength < entry->dataLength) return !(*tooSmall = true);
    if (buffer != nullptr && !ReadXattrData(inode, entry, buffer, entry->dataLength, fsTree)) {
      return false;
    }
  }
  return true;
}

bool DecmpfsLoad(Inode* inode, BTree* fsTree) {
  if (inode->decmpfs != nullptr) return Le32(inode->decmpfs) == DECMPFS_MAGIC;
  const XattrEntry* entry =
      FindEntry(inode, reinterpret_cast<const uint8_t*>(kDecmpfs), sizeof kDecmpfs - 1);
  if (entry == nullptr || entry->dataLength < DECMPFS_HEADER_SIZE) return false;
  // Only the header is needed, whatever length the attribute claims.
  auto* header = static_cast<uint8_t*>(std::malloc(DECMPFS_HEADER_SIZE));
  if (header == nullptr) return false;
  if (!ReadXattrData(inode, entry, header, DECMPFS_HEADER_SIZE, fsTree)) {
    std::free(header);
    return false;
  }
  inode->decmpfs = header;
  inode->decmpfsLength = DECMPFS_HEADER_SIZE;
  // A header with the wrong magic gives no size, now or on any later call.
  if (Le32(header) != DECMPFS_MAGIC) return false;
  inode->size = Le64(header + DECMPFS_UNCOMPRESSED_SIZE);
  return true;
}

bool InodeHasOtherXattrs(const Inode* inode) {
  for (const XattrEntry* e = inode->xattrs; e != nullptr; e = e->next) {
    if (!NameIs(e, kResourceFork, sizeof kResourceFork - 1) &&
        !NameIs(e, kSymlink, sizeof kSymlink - 1)) {
      return true;
    }
  }
  return false;
}
