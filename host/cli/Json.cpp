#include "Json.h"

#include <cstdio>

#include "ApfsFormat.h"
#include "Failure.h"

using nlohmann::json;

const char* TypeName(uint32_t mode) {
  switch (mode & S_IFMT_MASK) {
    case MODE_REG: return "file";
    case MODE_DIR: return "dir";
    case MODE_LNK: return "symlink";
    case MODE_FIFO: return "fifo";
    case MODE_CHR: return "chardev";
    case MODE_BLK: return "blockdev";
    case MODE_SOCK: return "socket";
    default: return "unknown";
  }
}

std::string OctalMode(uint32_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode & 07777);
  return text;
}

std::vector<SnapshotSummary> ListedSnapshots(ApfsImage& image, const VolumeSummary& v, std::string* error) {
  error->clear();
  if (!v.usable) return {};
  try {
    return image.snapshots(v.index);
  } catch (const ReadFailure& failure) {
    *error = failure.what();
    return {};
  }
}

namespace {

json SnapshotsJson(const std::vector<SnapshotSummary>& snapshots) {
  json list = json::array();
  for (const SnapshotSummary& s : snapshots) {
    list.push_back({{"name", s.damaged ? json(nullptr) : json(s.name)},
                    {"xid", s.xid},
                    {"created", s.createNs},
                    {"changed", s.changeNs},
                    {"uuid", s.uuid.empty() ? json(nullptr) : json(s.uuid)},
                    {"damaged", s.damaged}});
  }
  return list;
}

}  // namespace

json InfoJson(ApfsImage& image) {
  const ContainerSummary& c = image.summary();
  json volumes = json::array();
  for (const VolumeSummary& v : image.volumes()) {
    volumes.push_back({{"index", v.index},
                       {"name", v.name},
                       {"role", v.role},
                       {"case_sensitive", v.caseSensitive},
                       {"encrypted", v.encrypted},
                       {"encryption", v.encryption.empty() ? json(nullptr) : json(v.encryption)},
                       {"usable", v.usable},
                       {"unsupported", v.unsupported.empty() ? json(nullptr) : json(v.unsupported)},
                       {"default", v.isDefault}});
    std::string error;
    volumes.back()["snapshots"] = SnapshotsJson(ListedSnapshots(image, v, &error));
    volumes.back()["snapshots_error"] = error.empty() ? json(nullptr) : json(error);
  }
  return {{"schema", JSON_SCHEMA_VERSION},
          {"image", image.path()},
          {"container",
           {{"layout", c.layout},
            {"partition_offset", c.partitionOffset},
            {"block_size", c.blockSize},
            {"block_count", c.blockCount},
            {"free_blocks", c.freeBlocks},
            {"xid", c.xid},
            {"checkpoints", c.checkpoints},
            {"default_volume", c.defaultVolume}}},
          {"volumes", volumes}};
}

json EntryJson(Session& session, Inode* inode, const std::string& path) {
  const PosixStat st = session.Stat(inode);
  const size_t slash = path.find_last_of('/');
  json e = {{"path", path},
            {"name", path == "/" ? std::string() : path.substr(slash + 1)},
            {"type", TypeName(st.mode)},
            {"inode", st.inode},
            {"mode", OctalMode(st.mode)},
            {"uid", st.uid},
            {"gid", st.gid},
            {"size", st.size},
            {"allocated", st.allocated},
            {"compressed", st.compressed},
            {"sparse", st.sparse},
            {"bsd_flags", st.bsdFlags},
            {"times",
             {{"created", st.birthNs},
              {"modified", st.modifyNs},
              {"changed", st.changeNs},
              {"accessed", st.accessNs}}}};
  const uint32_t type = st.mode & S_IFMT_MASK;
  if (type == MODE_DIR) {
    e["children"] = st.children;
  } else {
    e["nlink"] = st.nlink;
  }
  if (Session::IsCompressed(inode)) e["compression"] = session.CompressionKind(inode);
  if (type == MODE_LNK) e["symlink_target"] = session.SymlinkTarget(inode);
  if (type == MODE_CHR || type == MODE_BLK) e["rdev"] = {{"major", st.rdevMajor}, {"minor", st.rdevMinor}};
  json xattrs = json::array();
  for (const Xattr& x : session.Xattrs(inode)) xattrs.push_back({{"name", x.name}, {"size", x.size}});
  e["xattrs"] = xattrs;
  return e;
}
