// In-memory records of the APFS engine. The engine is a C-style API over these plain
// records (prototypes in ApfsProcs.h): operations return bool, not-found and end of
// iteration come back through out flags, and nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>

// Volume index meaning "read plainly through the container".
constexpr uint8_t CONTAINER_INDEX = 255;
constexpr uint32_t MAX_VOLUMES = 100;
// Object ids carry the volume index in their top four bits: slots from this one on would
// wrap onto another volume's ids.
constexpr uint32_t MAX_ID_VOLUMES = 16;
// Block sizes the engine accepts. Smaller blocks would make fixed-offset reads run
// past the block copy; larger ones are not written by any APFS implementation.
constexpr uint32_t MIN_BLOCK_SIZE = 4096;
constexpr uint32_t MAX_BLOCK_SIZE = 65536;
// Deepest B-tree the engine descends; real trees are a handful of levels deep.
constexpr uint32_t MAX_BTREE_DEPTH = 16;
// Longest search key: a directory-record key with a 255-byte name and its zero.
constexpr uint32_t MAX_SEARCH_KEY = 12 + 256;

// The partition the engine reads, supplied by the host: an image file on Linux, the
// partition window of the disk I/O layer in the driver. readAt is called only for
// ranges that DeviceRead has checked against length.
struct BlockDevice {
  bool (*readAt)(BlockDevice* device, uint64_t offset, void* buffer, uint32_t count);
  uint64_t length;  // partition length in bytes
};

struct Container;
struct BTree;

// One block held in memory for a B-tree node; reference-counted.
struct BlockBuffer {
  uint8_t* data;
  uint32_t size;
  uint8_t volumeIndex;  // CONTAINER_INDEX when read plainly
  int32_t refCount;
  Container* container;
  uint64_t address;
};

// Key kinds: how a search key and the stored keys it meets are compared.
enum KeyKind : uint8_t {
  KEY_KIND_ID = 0,         // one word: id in the low 60 bits, record type in the top 4
  KEY_KIND_DREC = 2,       // hashed directory-record key: word, length and hash, name
  KEY_KIND_ID_OFFSET = 3,  // word, then a u64 offset
};

// Search modes (bit flags).
constexpr uint32_t FIND_FLOOR = 0x01;     // greatest record <= key, of the key's type
constexpr uint32_t FIND_EXACT = 0x02;     // a record equal to the key
constexpr uint32_t FIND_BEFORE = 0x04;    // greatest record < key (positioning)
constexpr uint32_t FIND_FROM = 0x08;      // iteration: every record >= key
constexpr uint32_t FIND_ANY_TYPE = 0x10;  // do not require the key's record type

// NodeSearch results besides an entry index.
constexpr int32_t SEARCH_NONE = -1;          // no entry answers the search
constexpr int32_t SEARCH_BEFORE_FIRST = -2;  // the key is the node's first key (FIND_BEFORE)
constexpr int32_t SEARCH_BELOW_FIRST = -3;   // the key lies below the node's first key
constexpr int32_t SEARCH_CORRUPT = -4;       // a key met on the way is malformed

struct SearchKey {
  KeyKind kind;
  bool caseSensitive;  // used only by KEY_KIND_DREC equality
  uint16_t length;
  uint8_t bytes[MAX_SEARCH_KEY];
};

// A parsed B-tree node: where its areas lie inside the block.
struct NodeView {
  BlockBuffer* buffer;
  const uint8_t* bytes;
  uint32_t tocStart;
  uint32_t tocLength;
  uint32_t keyStart;
  uint32_t valueEnd;
  const uint8_t* footer;  // btree_info_t of a root node, else null
  uint64_t address;
  uint64_t oid;
  uint64_t xid;
  uint32_t entryCount;
  uint16_t level;
  uint16_t subtype;
  bool fixed;
  bool root;
  uint8_t volumeIndex;
};

// One entry of a node as NodeEntry finds it; value is null when the entry has none.
struct NodeRecord {
  const uint8_t* key;
  const uint8_t* value;
  uint32_t keySize;
  uint32_t valueSize;
};

// One level of a handle's root-to-leaf path; allocated once per depth and reused.
struct PathLevel {
  PathLevel* parent;
  PathLevel* child;
  NodeView node;
  int32_t indexInParent;  // -1 for the root
};

// Nodes a tree has found intact, with the checksum each had, by address. The image does
// not change under a reader, so a node read again with the checksum it had when it was
// verified holds the same bytes: its checksum need not be computed again.
constexpr uint32_t CHECKED_NODE_SLOTS = 512;
struct CheckedNodes {
  uint64_t address[CHECKED_NODE_SLOTS];
  uint64_t checksum[CHECKED_NODE_SLOTS];
};

// What a BTree and a BTreeCursor share: a root and the current path into the tree.
struct BTreeHead {
  Container* container;
  BTree* omapTree;  // translates child ids; null for physically addressed trees
  PathLevel* root;
  PathLevel* current;
  int32_t index;    // current entry in the current node, or a SEARCH_* result
  bool descended;
  CheckedNodes* checked;  // owned by a BTree, lent to its cursors; may be null
};

struct BTreeCursor : BTreeHead {
  BTree* tree;           // tree it is bound to, null once that tree is released
  BTreeCursor* nextInTree;
  SearchKey key;         // saved by BTreeSeek for BTreeNext
  uint32_t mode;
  bool positioned;
  uint64_t position;     // directory enumeration only
  uint64_t directoryId;  // directory enumeration only
};

struct BTree : BTreeHead {
  uint8_t* omapHeader;    // 72-byte copy of the object-map header, or null
  // Object maps read as of a snapshot: mappings of later transactions are not seen.
  // 0: every mapping, the newest winning.
  uint64_t snapshotXid;
  BTreeCursor* cursor;    // the tree's own cursor
  BTreeCursor* cursors;   // every cursor bound to the tree
};

// Why a volume the engine can parse is not read (Volume::refusal).
enum VolumeRefusal : uint8_t {
  VOLUME_READABLE = 0,
  VOLUME_UNHASHED_NAMES = 1,  // case- and normalisation-sensitive: names keyed without hashes
  VOLUME_INDEX_TOO_HIGH = 2,  // a slot at or past MAX_ID_VOLUMES
  VOLUME_SEALED = 3,          // a sealed system volume (headerless, hashed tree nodes)
  VOLUME_CRYPTO_IN_PROGRESS = 4,  // being encrypted, decrypted or re-keyed: some data each way
};

// The cryptography a host lends the engine so that it can unlock software-encrypted
// volumes; the engine holds no cipher of its own. Every function returns false on failure.
struct CryptoProvider {
  bool (*pbkdf2Sha256)(const uint8_t* password, uint32_t passwordLength, const uint8_t* salt,
                       uint32_t saltLength, uint32_t iterations, uint8_t* key,
                       uint32_t keyLength);
  // AES key unwrap with the default initial value: wrappedLength - 8 bytes to key; false
  // when the integrity check fails (the wrong key).
  bool (*keyUnwrap)(const uint8_t* kek, uint32_t kekLength, const uint8_t* wrapped,
                    uint32_t wrappedLength, uint8_t* key);
  bool (*sha256)(const uint8_t* data, uint32_t length, uint8_t digest[32]);
  bool (*hmacSha256)(const uint8_t* key, uint32_t keyLength, const uint8_t* data, uint32_t length,
                     uint8_t digest[32]);
  // AES-XTS decryption in place of whole 512-byte units, the first numbered firstUnit.
  bool (*xtsDecrypt)(const uint8_t key[32], uint64_t firstUnit, uint8_t* data, uint64_t length);
};

// Why an encrypted volume is still locked (Volume::lock).
enum VolumeLock : uint8_t {
  LOCK_NONE = 0,            // not encrypted, or unlocked
  LOCK_NO_PASSWORD = 1,     // no password was given (or no cryptography to use it)
  LOCK_WRONG_PASSWORD = 2,  // no unlock record opens with the password given
  LOCK_BAD_KEYBAG = 3,      // a keybag or wrapped key cannot be parsed
  LOCK_HARDWARE = 4,        // keys kept by hardware: no software keybag for the volume
};

// One volume slot of a container.
struct Volume {
  Container* container;
  uint64_t superblockAddress;
  uint8_t* superblock;  // block-size copy, owned
  uint64_t rootTreeAddress;
  uint8_t index;
  bool encrypted;
  bool unlocked;     // an encrypted volume whose key the engine holds
  VolumeLock lock;   // why an encrypted volume is not unlocked
  uint8_t volumeKey[32];  // AES-XTS key of an unlocked volume, wiped when it closes
  bool unsupported;  // a format the engine does not read (see VolumeSlotOpen)
  VolumeRefusal refusal;  // which one, when unsupported
  bool open;
};

struct Container {
  BlockDevice* device;
  uint32_t blockSize;
  uint8_t blockShift;
  uint32_t maxVolumes;
  bool opened;
  bool fusion;             // refused: the container spans a second device
  uint8_t* block0;         // block-size copy of block 0, owned
  uint8_t* latest;         // newest valid container superblock, owned
  uint32_t cpmCount;
  uint8_t* cpmTable;       // checkpoint-map entries, 40 bytes each, owned
  uint8_t volumeCount;
  Volume* volumes;         // MAX_VOLUMES slots, the first volumeCount in use, owned
  uint64_t latestAddress;
  uint64_t checkpointStart;
  BTree* omap;             // container object map, owned
  const CryptoProvider* crypto;  // lent by the host; null: encrypted volumes stay locked
};

struct FsNode;

// The one volume of a container that is open for the frame.
struct VolumeHandle {
  FsNode* root;  // root directory
  Container* container;
  int32_t index;  // volume index, -1 until opened
};

// One extended-attribute record of an inode.
struct XattrEntry {
  XattrEntry* next;     // key order
  uint64_t streamId;    // stream holding the data, 0 for embedded data
  uint64_t dataLength;
  uint16_t flags;
  uint16_t nameLength;  // with the terminating zero
  uint8_t* buffer;      // the name, then the embedded data, owned
  uint32_t bufferSize;
};

// An inode with its extended fields and extended attributes; reference-counted.
struct Inode {
  uint64_t objectId;  // volume index in bits 60-63, inode number below
  uint64_t refCount;
  uint64_t size;
  Container* container;
  Volume* volume;
  uint8_t* value;        // copy of the inode value, at least INODE_VALUE_MIN bytes, owned
  uint32_t valueLength;  // bytes of value that came from the record
  const uint8_t* dstream;  // into value, or null
  const uint8_t* rdev;     // into value, or null
  uint64_t sparseBytes;
  const uint8_t* nameField;  // into value, or null
  uint16_t nameFieldSize;
  uint8_t volumeIndex;
  uint8_t* decmpfs;  // compressed-file header, owned
  uint32_t decmpfsLength;
  XattrEntry* xattrs;
  uint64_t recordBlock;    // leaf holding the inode record
  uint16_t recordOffset;   // of the value inside that block
  uint16_t recordLength;
};

// What the frame learns of a file or directory; 360 bytes, copied as it stands.
struct FileInfo {
  uint64_t objectId;
  int64_t creationTime;  // Windows times
  int64_t lastAccessTime;
  int64_t lastWriteTime;
  int64_t changeTime;
  uint64_t allocationSize;
  uint64_t fileSize;
  uint64_t validDataLength;
  uint64_t sparseAllocation;
  uint32_t attributes;
  uint32_t bsdFlags;
  uint32_t childCount;
  uint32_t owner;
  uint32_t group;
  uint32_t deviceNumber;
  uint16_t mode;
  uint16_t linkCount;
  uint16_t nameLength;  // without the terminating zero
  uint8_t name[258];
};
static_assert(sizeof(FileInfo) == 360, "FileInfo is copied by the frame as 360 bytes");

// A lookup or a listing in one directory.
struct DirSearch {
  int64_t lastReturned;  // ordinal of the entry last returned
  Container* container;
  uint8_t* name;  // owned
  uint32_t nameCapacity;
  uint8_t nameLength;
  uint32_t hash;
  bool enumerateAll;
  bool caseSensitive;
  int64_t position;  // ordinal of the next entry
  Inode* inode;      // the directory, not owned
};

enum FsNodeKind : uint8_t { FS_NODE_DIRECTORY = 1, FS_NODE_FILE = 2 };

struct FsNode {
  uint32_t useCount;  // FsNodeRelease frees the node when the last user lets go
  FsNodeKind kind;
  VolumeHandle* volume;
  Inode* inode;        // one reference
  DirSearch* search;   // directories only, owned
};

// Where a run of a stream's blocks lies; physBlock is all ones for a hole.
struct StreamMapping {
  uint64_t physBlock;
  uint64_t blockCount;
};
