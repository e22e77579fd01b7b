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

// Exactly one of the two storage bits says where the data is; the file-system-owned and
// reserved bits may accompany either. 0x11 is read as a stream too, as it always was.
bool IsStream(uint16_t flags) {
  return XattrStorageKnown(flags) && (flags & XATTR_DATA_STREAM) != 0;
}

bool IsEmbedded(uint16_t flags) {
  return XattrStorageKnown(flags) && (flags & XATTR_DATA_EMBEDDED) != 0;
}

bool NameIs(const XattrEntry* entry, const char* name, size_t length) {
  return entry->nameLength == length + 1 && std::memcmp(entry->buffer, name, length) == 0;
}

// Reads count bytes of an attribute's data from offset on (offset + count <= dataLength).
// The flags decide where the data is, as they decided what the entry's buffer holds: a
// stream entry's length is the stream's, whatever its recorded id.
bool ReadXattrData(Inode* inode, const XattrEntry* entry, uint64_t offset, uint8_t* buffer,
                   uint64_t count, BTree* fsTree) {
  if (IsStream(entry->flags)) {
    return StreamRead(inode, entry->streamId, offset, buffer, count, fsTree);
  }
  if (!IsEmbedded(entry->flags)) return false;
  std::memcpy(buffer, entry->buffer + entry->nameLength + offset, count);
  return true;
}

// A stream cannot hold more bytes than the container has; a larger claim is damage.
bool LengthPlausible(const Inode* inode, const XattrEntry* entry) {
  const Container* container = inode->container;
  return entry->dataLength <= ContainerBlockCount(container) * container->blockSize;
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
  // An entry of a form the engine does not know keeps its name only: it is listed, and
  // reading it fails.
  const uint32_t size = nameLength + (IsEmbedded(flags) ? dataLength : 0);
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
    if (IsEmbedded(flags)) std::memcpy(entry->buffer + nameLength, data, dataLength);
  }
  return true;
}

const XattrEntry* XattrNamed(const Inode* inode, const uint8_t* name, uint32_t length) {
  for (const XattrEntry* e = inode->xattrs; e != nullptr; e = e->next) {
    if (NameIs(e, reinterpret_cast<const char*>(name), length)) return e;
  }
  return nullptr;
}

bool XattrStorageKnown(uint16_t flags) {
  if (flags == XATTR_DATA_STREAM_SYSTEM) return true;
  const uint16_t storage = flags & (XATTR_DATA_STREAM | XATTR_DATA_EMBEDDED);
  const uint16_t known =
      XATTR_DATA_STREAM | XATTR_DATA_EMBEDDED | XATTR_FILE_SYSTEM_OWNED | XATTR_RESERVED_8;
  return (flags & ~known) == 0 && (storage == XATTR_DATA_STREAM || storage == XATTR_DATA_EMBEDDED);
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
  const XattrEntry* entry = XattrNamed(inode, name, length);
  if (entry == nullptr) return !(*notFound = true);
  // The recorded length of an attribute in an unknown form is still told (a symbolic
  // link's size comes from it); reading its data fails.
  if (!LengthPlausible(inode, entry)) return false;
  *dataLength = entry->dataLength;
  if (bufferLength != 0) {
    if (bufferLength < entry->dataLength) return !(*tooSmall = true);
    if (buffer != nullptr && !ReadXattrData(inode, entry, 0, buffer, entry->dataLength, fsTree)) {
      return false;
    }
  }
  return true;
}

bool XattrRead(Inode* inode, const XattrEntry* entry, uint64_t offset, uint8_t* buffer,
               uint64_t count, BTree* fsTree) {
  if (!LengthPlausible(inode, entry) || offset > entry->dataLength ||
      count > entry->dataLength - offset) {
    return false;
  }
  return ReadXattrData(inode, entry, offset, buffer, count, fsTree);
}

bool DecmpfsLoad(Inode* inode, BTree* fsTree) {
  if (inode->decmpfs != nullptr) return Le32(inode->decmpfs) == DECMPFS_MAGIC;
  const XattrEntry* entry =
      XattrNamed(inode, reinterpret_cast<const uint8_t*>(kDecmpfs), sizeof kDecmpfs - 1);
  if (entry == nullptr || entry->dataLength < DECMPFS_HEADER_SIZE) return false;
  // Only the header is needed, whatever length the attribute claims.
  auto* header = static_cast<uint8_t*>(std::malloc(DECMPFS_HEADER_SIZE));
  if (header == nullptr) return false;
  if (!ReadXattrData(inode, entry, 0, header, DECMPFS_HEADER_SIZE, fsTree)) {
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
