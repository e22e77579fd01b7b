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
