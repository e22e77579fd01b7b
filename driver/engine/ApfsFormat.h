// On-disk layout of the APFS objects the engine reads: type codes, field offsets and
// little-endian accessors. Offsets are from the start of the object's block.
#pragma once

#include <cstdint>
#include <cstring>

inline uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t Le64(const uint8_t* p) { return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32; }

// Object header (obj_phys_t), 32 bytes at the start of every object.
constexpr uint32_t OBJ_CKSUM = 0;
constexpr uint32_t OBJ_OID = 8;
constexpr uint32_t OBJ_XID = 16;
constexpr uint32_t OBJ_TYPE = 24;
constexpr uint32_t OBJ_SUBTYPE = 28;
constexpr uint32_t OBJ_HEADER_SIZE = 32;

inline uint16_t ObjectType(const uint8_t* object) { return uint16_t(Le32(object + OBJ_TYPE)); }
inline uint16_t ObjectSubtype(const uint8_t* object) { return uint16_t(Le32(object + OBJ_SUBTYPE)); }

constexpr uint16_t OBJECT_TYPE_NX_SUPERBLOCK = 0x01;
constexpr uint16_t OBJECT_TYPE_BTREE = 0x02;
constexpr uint16_t OBJECT_TYPE_BTREE_NODE = 0x03;
constexpr uint16_t OBJECT_TYPE_SPACEMAN = 0x05;
constexpr uint16_t OBJECT_TYPE_SPACEMAN_FREE_QUEUE = 0x09;
constexpr uint16_t OBJECT_TYPE_OMAP = 0x0B;
constexpr uint16_t OBJECT_TYPE_CHECKPOINT_MAP = 0x0C;
constexpr uint16_t OBJECT_TYPE_FS = 0x0D;
constexpr uint16_t OBJECT_TYPE_FSTREE = 0x0E;
constexpr uint16_t OBJECT_TYPE_OMAP_SNAPSHOT = 0x13;
constexpr uint16_t OBJECT_TYPE_GBITMAP_TREE = 0x1A;

// B-tree node (btree_node_phys_t).
constexpr uint32_t BTN_FLAGS = 32;
constexpr uint32_t BTN_LEVEL = 34;
constexpr uint32_t BTN_NKEYS = 36;
constexpr uint32_t BTN_TABLE_SPACE_LEN = 42;
constexpr uint32_t BTN_DATA = 56;
constexpr uint16_t BTNODE_ROOT = 0x1;
constexpr uint16_t BTNODE_LEAF = 0x2;
constexpr uint16_t BTNODE_FIXED_KV_SIZE = 0x4;
constexpr uint16_t BTNODE_ALL_FLAGS = 0x7;
constexpr uint32_t BTREE_INFO_SIZE = 40;          // btree_info_t at the end of a root node
constexpr uint32_t BTREE_INFO_KEY_COUNT = 24;     // bt_key_count within btree_info_t
constexpr uint32_t KVLOC_SIZE = 8;                // variable-size table-of-contents entry
constexpr uint32_t KVOFF_SIZE = 4;                // fixed-size table-of-contents entry
constexpr uint16_t KV_NO_VALUE = 0xFFFF;

// Record types in the top four bits of a file-system key's first word.
constexpr int OBJ_TYPE_SHIFT = 60;
constexpr uint64_t OBJ_ID_MASK = 0x0FFFFFFFFFFFFFFFull;

// Hashed directory-record key (j_drec_hashed_key_t): name length in bits 0-9 and the
// name hash in bits 10-31 of the word after the id.
constexpr uint32_t DREC_KEY_HEADER = 12;
constexpr uint32_t DREC_LEN_MASK = 0x3FF;
constexpr int DREC_HASH_SHIFT = 10;

// Container superblock (nx_superblock_t).
constexpr uint32_t NX_MAGIC = 32;
constexpr uint32_t NX_BLOCK_SIZE = 36;
constexpr uint32_t NX_BLOCK_COUNT = 40;
constexpr uint32_t NX_MAGIC_VALUE = 0x4253584E;  // "NXSB"
constexpr uint32_t NX_INCOMPATIBLE_FEATURES = 64;
constexpr uint32_t NX_UUID = 72;
constexpr uint32_t NX_XP_DESC_BLOCKS = 104;
constexpr uint32_t NX_XP_DESC_BASE = 112;
constexpr uint32_t NX_XP_DESC_NEXT = 128;
constexpr uint32_t NX_XP_DESC_INDEX = 136;
constexpr uint32_t NX_XP_DESC_LEN = 140;
constexpr uint32_t NX_SPACEMAN_OID = 152;
constexpr uint32_t NX_OMAP_OID = 160;
constexpr uint32_t NX_MAX_FILE_SYSTEMS = 180;
constexpr uint32_t NX_FS_OID = 184;
constexpr uint32_t NX_KEYLOCKER = 1296;  // prange_t: start block, block count
constexpr uint32_t NX_MAX_BLOCK_COUNT = 0xFFFFFFFF;
// The container spans a second device (a fast and a slow tier); only one is ever given.
constexpr uint64_t NX_INCOMPAT_FUSION = 0x100;

// Checkpoint-map block (checkpoint_map_phys_t) and its 40-byte entries.
constexpr uint32_t CPM_COUNT = 36;
constexpr uint32_t CPM_ENTRIES = 40;
constexpr uint32_t CPM_ENTRY_SIZE = 40;
constexpr uint32_t CPM_TYPE = 0;
constexpr uint32_t CPM_SIZE = 8;
constexpr uint32_t CPM_OID = 24;
constexpr uint32_t CPM_PADDR = 32;

// Space manager (spaceman_phys_t): free counts of the main and tier-2 devices.
constexpr uint32_t SPACEMAN_READ_SIZE = 336;
constexpr uint32_t SM_DEV0_FREE_COUNT = 72;
constexpr uint32_t SM_DEV1_FREE_COUNT = 120;

// Object-map header (omap_phys_t) and its snapshot tree's values (omap_snapshot_t).
constexpr uint32_t OM_TREE_OID = 48;
constexpr uint32_t OM_SNAPSHOT_TREE_OID = 56;
constexpr uint32_t OMAP_SNAPSHOT_VALUE_SIZE = 16;
constexpr uint32_t OMAP_SNAPSHOT_DELETED = 0x1;
constexpr uint32_t OMAP_SNAPSHOT_REVERTED = 0x2;

// Volume superblock (apfs_superblock_t).
constexpr uint32_t APFS_MAGIC = 32;
constexpr uint32_t APFS_MAGIC_VALUE = 0x42535041;  // "APSB"
constexpr uint32_t APFS_INCOMPATIBLE_FEATURES = 56;
constexpr uint32_t APFS_FS_QUOTA_BLOCK_COUNT = 80;
constexpr uint32_t APFS_FS_ALLOC_COUNT = 88;
constexpr uint32_t APFS_OMAP_OID = 128;
constexpr uint32_t APFS_ROOT_TREE_OID = 136;
constexpr uint32_t APFS_SNAP_META_TREE_OID = 152;
constexpr uint32_t APFS_SNAP_META_EXT_OID = 1000;
constexpr uint32_t APFS_VOLNAME = 704;
constexpr uint32_t APFS_VOLNAME_LEN = 256;
constexpr uint32_t APFS_ROLE = 964;
// Non-zero while the volume is being encrypted, decrypted or re-keyed in place.
constexpr uint32_t APFS_ER_STATE_OID = 976;
constexpr uint64_t APFS_INCOMPAT_CASE_INSENSITIVE = 0x1;
constexpr uint64_t APFS_INCOMPAT_NORMALIZATION_INSENSITIVE = 0x8;
// A sealed system volume: headerless, hashed tree nodes and extents in a tree of their own.
constexpr uint64_t APFS_INCOMPAT_SEALED_VOLUME = 0x20;
constexpr uint16_t APFS_VOL_ROLE_SYSTEM = 0x1;
constexpr uint16_t APFS_VOL_ROLE_DATA = 0x40;

// File-system record types (top four bits of a key's first word).
constexpr uint8_t APFS_TYPE_INODE = 3;
constexpr uint8_t APFS_TYPE_XATTR = 4;
constexpr uint8_t APFS_TYPE_FILE_EXTENT = 8;
constexpr uint8_t APFS_TYPE_DIR_REC = 9;
constexpr uint8_t APFS_TYPE_SNAP_METADATA = 1;

// Snapshot metadata value (j_snap_metadata_val_t), after a key holding the snapshot's
// transaction; the name follows with its terminating zero.
constexpr uint32_t SNAP_META_SUPERBLOCK = 8;
constexpr uint32_t SNAP_META_CREATE_TIME = 16;
constexpr uint32_t SNAP_META_CHANGE_TIME = 24;
constexpr uint32_t SNAP_META_FLAGS = 44;
constexpr uint32_t SNAP_META_NAME_LEN = 48;
constexpr uint32_t SNAP_META_NAME = 50;

// Snapshot extra metadata (snap_meta_ext_obj_phys_t): the snapshot's UUID.
constexpr uint16_t OBJECT_TYPE_SNAP_META_EXT = 0x1D;
constexpr uint32_t SME_SNAP_XID = 40;
constexpr uint32_t SME_UUID = 48;
constexpr uint32_t SME_SIZE = 72;

// Inode value (j_inode_val_t).
constexpr uint32_t INODE_PARENT_ID = 0;
constexpr uint32_t INODE_PRIVATE_ID = 8;
constexpr uint32_t INODE_CREATE_TIME = 16;
constexpr uint32_t INODE_MOD_TIME = 24;
constexpr uint32_t INODE_CHANGE_TIME = 32;
constexpr uint32_t INODE_ACCESS_TIME = 40;
constexpr uint32_t INODE_INTERNAL_FLAGS = 48;
constexpr uint32_t INODE_NCHILDREN = 56;
constexpr uint32_t INODE_BSD_FLAGS = 68;
constexpr uint32_t INODE_OWNER = 72;
constexpr uint32_t INODE_GROUP = 76;
constexpr uint32_t INODE_MODE = 80;
constexpr uint32_t INODE_UNCOMPRESSED_SIZE = 84;
constexpr uint32_t INODE_XFIELDS = 92;
constexpr uint32_t INODE_VALUE_MIN = 100;
constexpr uint64_t INODE_HAS_UNCOMPRESSED_SIZE = 0x40000;
constexpr uint32_t UF_COMPRESSED = 0x20;
// A placeholder whose contents are stored elsewhere (fetched by the system that made it).
constexpr uint32_t SF_DATALESS = 0x40000000;

// Extended fields of an inode.
constexpr uint32_t XF_HEADER_SIZE = 4;
constexpr uint8_t INO_EXT_TYPE_NAME = 4;
constexpr uint8_t INO_EXT_TYPE_DSTREAM = 8;
constexpr uint8_t INO_EXT_TYPE_SPARSE_BYTES = 13;
constexpr uint8_t INO_EXT_TYPE_RDEV = 14;
constexpr uint32_t DSTREAM_SIZE = 0;
constexpr uint32_t DSTREAM_ALLOCED_SIZE = 8;

// File modes (type in bits 12-15).
constexpr uint16_t S_IFMT_MASK = 0xF000;
constexpr uint16_t MODE_FIFO = 0x1000;
constexpr uint16_t MODE_CHR = 0x2000;
constexpr uint16_t MODE_DIR = 0x4000;
constexpr uint16_t MODE_BLK = 0x6000;
constexpr uint16_t MODE_REG = 0x8000;
constexpr uint16_t MODE_LNK = 0xA000;
constexpr uint16_t MODE_SOCK = 0xC000;

// Directory-record value (j_drec_val_t).
constexpr uint32_t DREC_FILE_ID = 0;
constexpr uint32_t DREC_FLAGS = 16;
constexpr uint32_t DREC_VALUE_MIN = 18;

// Extended-attribute records (j_xattr_key_t, j_xattr_val_t).
constexpr uint32_t XATTR_KEY_NAME_LEN = 8;
constexpr uint32_t XATTR_KEY_NAME = 10;
constexpr uint32_t XATTR_VAL_FLAGS = 0;
constexpr uint32_t XATTR_VAL_LEN = 2;
constexpr uint32_t XATTR_VAL_DATA = 4;
constexpr uint16_t XATTR_DATA_STREAM = 0x0001;
constexpr uint16_t XATTR_DATA_EMBEDDED = 0x0002;
constexpr uint16_t XATTR_FILE_SYSTEM_OWNED = 0x0004;
constexpr uint16_t XATTR_RESERVED_8 = 0x0008;
constexpr uint16_t XATTR_DATA_STREAM_SYSTEM = 0x0011;
constexpr uint32_t XATTR_DSTREAM_SIZE = 16;  // stream id, then the stream's size

// File extents (j_file_extent_key_t, j_file_extent_val_t).
constexpr uint32_t FILE_EXTENT_KEY_SIZE = 16;
constexpr uint32_t FILE_EXTENT_VALUE_MIN = 16;
constexpr uint64_t J_FILE_EXTENT_LEN_MASK = 0x00FFFFFFFFFFFFFFull;

// Compressed-file header.
constexpr uint32_t DECMPFS_HEADER_SIZE = 16;
constexpr uint32_t DECMPFS_MAGIC = 0x636D7066;  // "fpmc"
constexpr uint32_t DECMPFS_UNCOMPRESSED_SIZE = 8;
