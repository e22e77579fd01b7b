// On-disk constants of the APFS objects the image writer produces, and little-endian
// helpers for filling blocks. The writer keeps its own copy of these values so that it
// and the reading engine check each other instead of sharing mistakes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace apfsw {

// Object header and storage classes.
constexpr uint32_t OBJ_VIRTUAL = 0x00000000;
constexpr uint32_t OBJ_EPHEMERAL = 0x80000000;
constexpr uint32_t OBJ_PHYSICAL = 0x40000000;
constexpr uint32_t OBJ_NOHEADER = 0x20000000;
constexpr uint32_t OBJ_ENCRYPTED = 0x10000000;

constexpr uint32_t TYPE_NX_SUPERBLOCK = 0x01;
constexpr uint32_t TYPE_BTREE = 0x02;
constexpr uint32_t TYPE_BTREE_NODE = 0x03;
constexpr uint32_t TYPE_SPACEMAN = 0x05;
constexpr uint32_t TYPE_SPACEMAN_CIB = 0x07;
constexpr uint32_t TYPE_SPACEMAN_BITMAP = 0x08;
constexpr uint32_t TYPE_SPACEMAN_FREE_QUEUE = 0x09;
constexpr uint32_t TYPE_OMAP = 0x0B;
constexpr uint32_t TYPE_CHECKPOINT_MAP = 0x0C;
constexpr uint32_t TYPE_FS = 0x0D;
constexpr uint32_t TYPE_FSTREE = 0x0E;
constexpr uint32_t TYPE_BLOCKREFTREE = 0x0F;
constexpr uint32_t TYPE_SNAPMETATREE = 0x10;
constexpr uint32_t TYPE_NX_REAPER = 0x11;
constexpr uint32_t TYPE_OMAP_SNAPSHOT = 0x13;
constexpr uint32_t TYPE_SNAP_META_EXT = 0x1D;
constexpr uint32_t TYPE_CONTAINER_KEYBAG = 0x6B657973;  // "keys"
constexpr uint32_t TYPE_VOLUME_KEYBAG = 0x72656373;     // "recs"

constexpr size_t OBJ_HEADER_SIZE = 32;
constexpr uint64_t OID_NX_SUPERBLOCK = 1;
constexpr uint64_t OID_RESERVED_COUNT = 1024;

// Container superblock.
constexpr uint32_t NX_MAGIC = 0x4253584E;  // "NXSB"
constexpr uint32_t NX_MAX_FILE_SYSTEMS = 100;
constexpr uint64_t NX_INCOMPAT_VERSION2 = 0x2;
constexpr uint64_t NX_INCOMPAT_FUSION = 0x100;
constexpr uint64_t NX_CRYPTO_SW = 0x4;
constexpr uint64_t NX_CONTAINER_SIZE_PER_VOLUME = 512ull << 20;
namespace nx {
constexpr size_t MAGIC = 32, BLOCK_SIZE = 36, BLOCK_COUNT = 40, FEATURES = 48, RO_COMPAT = 56,
                 INCOMPAT = 64, UUID = 72, NEXT_OID = 88, NEXT_XID = 96, XP_DESC_BLOCKS = 104,
                 XP_DATA_BLOCKS = 108, XP_DESC_BASE = 112, XP_DATA_BASE = 120, XP_DESC_NEXT = 128,
                 XP_DATA_NEXT = 132, XP_DESC_INDEX = 136, XP_DESC_LEN = 140, XP_DATA_INDEX = 144,
                 XP_DATA_LEN = 148, SPACEMAN_OID = 152, OMAP_OID = 160, REAPER_OID = 168,
                 MAX_FILE_SYSTEMS = 180, FS_OID = 184, FLAGS = 1264, KEYLOCKER = 1296, EPHEMERAL_INFO = 1312,
                 FUSION_UUID = 1280;
}  // namespace nx

// Checkpoint map.
constexpr uint32_t CHECKPOINT_MAP_LAST = 0x1;
constexpr size_t CPM_HEADER_SIZE = 40;
constexpr size_t CPM_ENTRY_SIZE = 40;

// Object map.
constexpr uint32_t OMAP_MANUALLY_MANAGED = 0x1;
constexpr uint32_t OMAP_VAL_ENCRYPTED = 0x4;
constexpr uint32_t OMAP_VAL_NOHEADER = 0x8;
constexpr uint32_t OMAP_SNAPSHOT_DELETED = 0x1;
namespace omap {
constexpr size_t FLAGS = 32, SNAP_COUNT = 36, TREE_TYPE = 40, SNAPSHOT_TREE_TYPE = 44, TREE_OID = 48,
                 SNAPSHOT_TREE_OID = 56, MOST_RECENT_SNAP = 64;
}

// B-tree nodes.
constexpr uint16_t BTNODE_ROOT = 0x1;
constexpr uint16_t BTNODE_LEAF = 0x2;
constexpr uint16_t BTNODE_FIXED_KV_SIZE = 0x4;
constexpr uint16_t BTOFF_INVALID = 0xFFFF;
constexpr size_t BTNODE_HEADER_SIZE = 56;
constexpr size_t BTREE_INFO_SIZE = 40;
constexpr uint32_t BTREE_UINT64_KEYS = 0x1;
constexpr uint32_t BTREE_SEQUENTIAL_INSERT = 0x2;
constexpr uint32_t BTREE_ALLOW_GHOSTS = 0x4;
constexpr uint32_t BTREE_EPHEMERAL = 0x8;
constexpr uint32_t BTREE_PHYSICAL = 0x10;
constexpr uint32_t BTREE_KV_NONALIGNED = 0x40;
constexpr uint32_t BTREE_TOC_ENTRY_INCREMENT = 8;

// Space manager.
constexpr size_t SPACEMAN_STRUCT_SIZE = 2520;
constexpr size_t CHUNK_INFO_SIZE = 32;
constexpr size_t CIB_HEADER_SIZE = 40;
constexpr uint32_t SPACEMAN_IP_BM_TX_MULTIPLIER = 16;
namespace sm {
constexpr size_t BLOCK_SIZE = 32, BLOCKS_PER_CHUNK = 36, CHUNKS_PER_CIB = 40, CIBS_PER_CAB = 44,
                 DEV_MAIN = 48, DEV_SIZE = 48, FLAGS = 144, IP_BM_TX_MULTIPLIER = 148,
                 IP_BLOCK_COUNT = 152, IP_BM_SIZE_IN_BLOCKS = 160, IP_BM_BLOCK_COUNT = 164,
                 IP_BM_BASE = 168, IP_BASE = 176, FQ = 200, FQ_SIZE = 40, IP_BM_FREE_HEAD = 320,
                 IP_BM_FREE_TAIL = 322, IP_BM_XID_OFFSET = 324, IP_BITMAP_OFFSET = 328,
                 IP_BM_FREE_NEXT_OFFSET = 332, VERSION = 336, STRUCT_SIZE = 340;
// Fields of a spaceman_device_t, relative to its start.
constexpr size_t DEV_BLOCK_COUNT = 0, DEV_CHUNK_COUNT = 8, DEV_CIB_COUNT = 16, DEV_CAB_COUNT = 20,
                 DEV_FREE_COUNT = 24, DEV_ADDR_OFFSET = 32;
}  // namespace sm
constexpr uint32_t SFQ_IP = 0, SFQ_MAIN = 1, SFQ_COUNT = 3;

// Reaper.
constexpr uint32_t NR_BHM_FLAG = 0x1;

// Volume superblock.
constexpr uint32_t APFS_MAGIC = 0x42535041;  // "APSB"
constexpr uint64_t APFS_INCOMPAT_CASE_INSENSITIVE = 0x1;
constexpr uint64_t APFS_INCOMPAT_NORMALIZATION_INSENSITIVE = 0x8;
constexpr uint64_t APFS_INCOMPAT_SEALED_VOLUME = 0x20;
constexpr uint64_t APFS_FEATURE_HARDLINK_MAP_RECORDS = 0x2;
constexpr uint64_t APFS_FS_UNENCRYPTED = 0x1;
constexpr uint64_t APFS_FS_ONEKEY = 0x8;
constexpr size_t APFS_VOLNAME_LEN = 256;
constexpr uint16_t META_CRYPTO_MAJOR_VERSION = 5;
constexpr uint32_t PROTECTION_CLASS_F = 6;
namespace apsb {
constexpr size_t MAGIC = 32, FS_INDEX = 36, FEATURES = 40, RO_COMPAT = 48, INCOMPAT = 56,
                 UNMOUNT_TIME = 64, RESERVE_BLOCKS = 72, QUOTA_BLOCKS = 80, ALLOC_COUNT = 88,
                 META_CRYPTO = 96, ROOT_TREE_TYPE = 116, EXTENTREF_TREE_TYPE = 120,
                 SNAP_META_TREE_TYPE = 124, OMAP_OID = 128, ROOT_TREE_OID = 136,
                 EXTENTREF_TREE_OID = 144, SNAP_META_TREE_OID = 152, NEXT_OBJ_ID = 176,
                 NUM_FILES = 184, NUM_DIRECTORIES = 192, NUM_SYMLINKS = 200, NUM_OTHER = 208,
                 NUM_SNAPSHOTS = 216, TOTAL_ALLOCED = 224, TOTAL_FREED = 232, VOL_UUID = 240,
                 LAST_MOD_TIME = 256, FS_FLAGS = 264, FORMATTED_BY = 272, MODIFIED_BY = 320,
                 VOLNAME = 704, NEXT_DOC_ID = 960, ROLE = 964, ER_STATE_OID = 976,
                 SNAP_META_EXT_OID = 1000;
constexpr size_t MODIFIED_BY_ID_LEN = 32;
}  // namespace apsb

// File-system records.
constexpr uint64_t OBJ_ID_MASK = 0x0FFFFFFFFFFFFFFFull;
constexpr unsigned OBJ_TYPE_SHIFT = 60;
enum RecordType : uint8_t {
  APFS_TYPE_SNAP_METADATA = 1,
  APFS_TYPE_EXTENT = 2,
  APFS_TYPE_INODE = 3,
  APFS_TYPE_XATTR = 4,
  APFS_TYPE_SIBLING_LINK = 5,
  APFS_TYPE_DSTREAM_ID = 6,
  APFS_TYPE_FILE_EXTENT = 8,
  APFS_TYPE_DIR_REC = 9,
  APFS_TYPE_SNAP_NAME = 11,
  APFS_TYPE_SIBLING_MAP = 12,
};
constexpr uint64_t ROOT_DIR_PARENT = 1;
constexpr uint64_t ROOT_DIR_INO_NUM = 2;
constexpr uint64_t PRIV_DIR_INO_NUM = 3;
constexpr uint64_t MIN_USER_INO_NUM = 16;

constexpr size_t INODE_FIXED_SIZE = 92;
namespace ino {
constexpr size_t PARENT_ID = 0, PRIVATE_ID = 8, CREATE_TIME = 16, MOD_TIME = 24, CHANGE_TIME = 32,
                 ACCESS_TIME = 40, INTERNAL_FLAGS = 48, NCHILDREN = 56, PROTECTION_CLASS = 60,
                 WRITE_GEN = 64, BSD_FLAGS = 68, OWNER = 72, GROUP = 76, MODE = 80,
                 UNCOMPRESSED_SIZE = 84;
}
constexpr uint64_t INODE_WAS_CLONED = 0x10;
constexpr uint64_t INODE_IS_SPARSE = 0x200;
constexpr uint64_t INODE_WAS_EVER_CLONED = 0x400;
constexpr uint64_t INODE_HAS_RSRC_FORK = 0x4000;
constexpr uint64_t INODE_NO_RSRC_FORK = 0x8000;
constexpr uint64_t INODE_HAS_UNCOMPRESSED_SIZE = 0x40000;
constexpr uint32_t UF_COMPRESSED = 0x20;
constexpr uint32_t SF_DATALESS = 0x40000000;
constexpr uint32_t PROTECTION_CLASS_DIR_NONE = 0;
constexpr uint32_t PROTECTION_CLASS_D = 4;

constexpr uint8_t INO_EXT_TYPE_NAME = 4;
constexpr uint8_t INO_EXT_TYPE_DSTREAM = 8;
constexpr uint8_t INO_EXT_TYPE_SPARSE_BYTES = 13;
constexpr uint8_t INO_EXT_TYPE_RDEV = 14;
constexpr uint8_t XF_DO_NOT_COPY = 0x02;
constexpr uint8_t XF_SYSTEM_FIELD = 0x20;
constexpr size_t DSTREAM_SIZE = 40;

constexpr uint16_t MODE_IFIFO = 0x1000, MODE_IFCHR = 0x2000, MODE_IFDIR = 0x4000, MODE_IFBLK = 0x6000,
                   MODE_IFREG = 0x8000, MODE_IFLNK = 0xA000, MODE_IFSOCK = 0xC000;
constexpr uint16_t DT_FIFO = 1, DT_CHR = 2, DT_DIR = 4, DT_BLK = 6, DT_REG = 8, DT_LNK = 10,
                   DT_SOCK = 12;

constexpr uint32_t J_DREC_LEN_MASK = 0x3FF;
constexpr unsigned J_DREC_HASH_SHIFT = 10;
constexpr size_t DREC_VAL_SIZE = 18;

constexpr uint16_t XATTR_DATA_STREAM = 0x1;
constexpr uint16_t XATTR_DATA_EMBEDDED = 0x2;
constexpr uint16_t XATTR_FILE_SYSTEM_OWNED = 0x4;
constexpr size_t XATTR_MAX_EMBEDDED_SIZE = 3804;
constexpr size_t XATTR_DSTREAM_SIZE = 8 + DSTREAM_SIZE;

constexpr uint64_t APFS_KIND_NEW = 1;
constexpr unsigned PEXT_KIND_SHIFT = 60;
constexpr size_t PHYS_EXT_VAL_SIZE = 20;
constexpr uint64_t J_FILE_EXTENT_LEN_MASK = 0x00FFFFFFFFFFFFFFull;
constexpr uint64_t FEXT_CRYPTO_ID_IS_TWEAK = 0x01;
constexpr uint32_t J_FILE_EXTENT_FLAG_SHIFT = 56;
constexpr size_t FILE_EXTENT_VAL_SIZE = 24;

constexpr uint32_t DECMPFS_MAGIC = 0x636D7066;  // "fpmc" in file order
constexpr size_t DECMPFS_HEADER_SIZE = 16;
constexpr uint32_t DECMPFS_BLOCK_SIZE = 0x10000;
inline constexpr char XATTR_DECMPFS[] = "com.apple.decmpfs";
inline constexpr char XATTR_RESOURCE_FORK[] = "com.apple.ResourceFork";
inline constexpr char XATTR_SYMLINK[] = "com.apple.fs.symlink";

// Little-endian access to a byte buffer.
inline void Put16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
inline void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void Put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t Get32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t Get64(const uint8_t* p) { return uint64_t(Get32(p)) | uint64_t(Get32(p + 4)) << 32; }
inline void PutBE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}

inline uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }
inline uint64_t DivRoundUp(uint64_t v, uint64_t d) { return (v + d - 1) / d; }

}  // namespace apfsw
