#include "Patch.h"

#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <stdexcept>

#include "Object.h"
#include "OnDisk.h"

namespace apfsw {

namespace {

using FieldTable = std::map<std::string, FieldRef>;

const FieldTable kHeaderFields = {
    {"o_cksum", {0, 8}}, {"o_oid", {8, 8}}, {"o_xid", {16, 8}}, {"o_type", {24, 4}}, {"o_subtype", {28, 4}},
};

const FieldTable kContainerFields = {
    {"nx_magic", {nx::MAGIC, 4}},
    {"nx_block_size", {nx::BLOCK_SIZE, 4}},
    {"nx_block_count", {nx::BLOCK_COUNT, 8}},
    {"nx_next_xid", {nx::NEXT_XID, 8}},
    {"nx_xp_desc_blocks", {nx::XP_DESC_BLOCKS, 4}},
    {"nx_xp_desc_base", {nx::XP_DESC_BASE, 8}},
    {"nx_xp_desc_next", {nx::XP_DESC_NEXT, 4}},
    {"nx_xp_desc_index", {nx::XP_DESC_INDEX, 4}},
    {"nx_xp_desc_len", {nx::XP_DESC_LEN, 4}},
    {"nx_spaceman_oid", {nx::SPACEMAN_OID, 8}},
    {"nx_omap_oid", {nx::OMAP_OID, 8}},
    {"nx_reaper_oid", {nx::REAPER_OID, 8}},
    {"nx_max_file_systems", {nx::MAX_FILE_SYSTEMS, 4}},
    {"nx_keylocker_start", {nx::KEYLOCKER, 8}},
    {"nx_keylocker_count", {nx::KEYLOCKER + 8, 8}},
};

const FieldTable kVolumeFields = {
    {"apfs_magic", {apsb::MAGIC, 4}},
    {"apfs_incompatible_features", {apsb::INCOMPAT, 8}},
    {"apfs_fs_quota_block_count", {apsb::QUOTA_BLOCKS, 8}},
    {"apfs_fs_alloc_count", {apsb::ALLOC_COUNT, 8}},
    {"apfs_omap_oid", {apsb::OMAP_OID, 8}},
    {"apfs_root_tree_oid", {apsb::ROOT_TREE_OID, 8}},
    {"apfs_next_obj_id", {apsb::NEXT_OBJ_ID, 8}},
    {"apfs_fs_flags", {apsb::FS_FLAGS, 8}},
    {"apfs_role", {apsb::ROLE, 2}},
    {"apfs_er_state_oid", {apsb::ER_STATE_OID, 8}},
};

const FieldTable kOmapFields = {
    {"om_flags", {omap::FLAGS, 4}}, {"om_tree_type", {omap::TREE_TYPE, 4}}, {"om_tree_oid", {omap::TREE_OID, 8}},
};

const FieldTable kNodeFields = {
    {"btn_flags", {32, 2}}, {"btn_level", {34, 2}}, {"btn_nkeys", {36, 4}}, {"btn_table_space_len", {42, 2}},
};

const FieldTable kMapFields = {{"cpm_flags", {32, 4}}, {"cpm_count", {36, 4}}};

const FieldTable kSpacemanFields = {
    {"sm_block_count", {sm::DEV_MAIN + sm::DEV_BLOCK_COUNT, 8}},
    {"sm_free_count", {sm::DEV_MAIN + sm::DEV_FREE_COUNT, 8}},
    {"sm_free_count_tier2", {sm::DEV_MAIN + sm::DEV_SIZE + sm::DEV_FREE_COUNT, 8}},
};

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool IsTreeNode(const std::string& object) {
  return EndsWith(object, ".root") || EndsWith(object, ".extentref") || EndsWith(object, ".snapmeta") ||
         object.rfind("freequeue.node", 0) == 0;
}

const FieldTable* TableFor(const std::string& object) {
  if (object == "block0" || object == "superblock" ||
      (object.rfind("checkpoint[", 0) == 0 && EndsWith(object, ".superblock")))
    return &kContainerFields;
  if (object.rfind("volume[", 0) == 0 && EndsWith(object, ".superblock")) return &kVolumeFields;
  if (EndsWith(object, ".omap")) return &kOmapFields;
  if (object.find(".map[") != std::string::npos) return &kMapFields;
  if (object == "spaceman") return &kSpacemanFields;
  if (IsTreeNode(object)) return &kNodeFields;
  return nullptr;
}

// "nx_fs_oid[3]" names slot 3 of the volume id array.
bool VolumeSlotField(const std::string& field, FieldRef& out) {
  const std::string prefix = "nx_fs_oid[";
  if (field.rfind(prefix, 0) != 0 || field.back() != ']') return false;
  const size_t slot = std::stoul(field.substr(prefix.size(), field.size() - prefix.size() - 1));
  if (slot >= NX_MAX_FILE_SYSTEMS) throw std::runtime_error("volume slot out of range: " + field);
  out = {nx::FS_OID + 8 * slot, 8};
  return true;
}

class PatchFile {
 public:
  explicit PatchFile(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
  }
  ~PatchFile() { ::close(fd_); }
  PatchFile(const PatchFile&) = delete;
  PatchFile& operator=(const PatchFile&) = delete;
  std::vector<uint8_t> Read(uint64_t offset, size_t size) {
    std::vector<uint8_t> bytes(size);
    if (::pread(fd_, bytes.data(), size, static_cast<off_t>(offset)) != static_cast<ssize_t>(size))
      throw std::runtime_error("cannot read " + path_);
    return bytes;
  }
  void Write(uint64_t offset, const std::vector<uint8_t>& bytes) {
    if (::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset)) != static_cast<ssize_t>(bytes.size()))
      throw std::runtime_error("cannot write " + path_);
  }

 private:
  std::string path_;
  int fd_;
};

}  // namespace

FieldRef FindField(const std::string& objectName, const std::string& field, uint32_t blockSize) {
  if (!field.empty() && field[0] == '@') {
    const size_t colon = field.find(':');
    if (colon == std::string::npos) throw std::runtime_error("raw field must be @OFFSET:SIZE");
    return {std::stoul(field.substr(1, colon - 1), nullptr, 0), std::stoul(field.substr(colon + 1), nullptr, 0)};
  }
  if (const auto header = kHeaderFields.find(field); header != kHeaderFields.end()) return header->second;
  const FieldTable* table = TableFor(objectName);
  FieldRef slot;
  if (table == &kContainerFields && VolumeSlotField(field, slot)) return slot;
  if (table == &kNodeFields && field == "bt_key_count") return {blockSize - BTREE_INFO_SIZE + 24, 8};
  if (table != nullptr)
    if (const auto found = table->find(field); found != table->end()) return found->second;
  throw std::runtime_error("unknown field " + field + " of " + objectName);
}

void PatchBytes(const std::string& imagePath, uint32_t blockSize, uint64_t address, size_t offset,
                const std::vector<uint8_t>& bytes, ChecksumMode mode) {
  if (offset + bytes.size() > blockSize) throw std::runtime_error("patch beyond the block");
  PatchFile file(imagePath);
  const uint64_t blockOffset = address * blockSize;
  std::vector<uint8_t> block = file.Read(blockOffset, blockSize);
  std::copy(bytes.begin(), bytes.end(), block.begin() + static_cast<std::ptrdiff_t>(offset));
  if (mode == ChecksumMode::Recompute && offset >= 8) SealObject(block.data(), block.size());
  file.Write(blockOffset, block);
}

void PatchField(const std::string& imagePath, const WriteResult& layout, const std::string& objectName,
                const std::string& field, uint64_t value, ChecksumMode mode) {
  const ObjectLocation& object = layout.Object(objectName);
  const FieldRef ref = FindField(objectName, field, layout.blockSize);
  if (ref.size == 0 || ref.size > 8) throw std::runtime_error("fields patched by value are 1 to 8 bytes");
  std::vector<uint8_t> bytes(ref.size);
  for (size_t i = 0; i < ref.size; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  PatchBytes(imagePath, layout.blockSize, object.address, ref.offset, bytes, mode);
}

}  // namespace apfsw
