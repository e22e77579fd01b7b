#include "Manifest.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "NameHash.h"

namespace apfsw {

namespace {

using nlohmann::json;

std::vector<uint8_t> FromHex(const std::string& text) {
  std::string digits;
  for (char c : text)
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  if (digits.size() % 2) throw std::runtime_error("odd number of hex digits: " + text);
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < digits.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::vector<uint8_t> FromText(const std::string& text) { return {text.begin(), text.end()}; }

template <typename T>
void Take(const json& j, const char* key, T& out) {
  if (j.contains(key)) out = j.at(key).get<T>();
}

std::string Resolve(const std::string& path, const std::string& base) {
  return path.empty() || path[0] == '/' || base.empty() ? path : base + "/" + path;
}

EntryKind KindNamed(const std::string& name) {
  static const std::map<std::string, EntryKind> kinds = {
      {"file", EntryKind::Regular},        {"dir", EntryKind::Directory},   {"symlink", EntryKind::Symlink},
      {"hardlink", EntryKind::HardLink},   {"fifo", EntryKind::Fifo},       {"chardev", EntryKind::CharDevice},
      {"blockdev", EntryKind::BlockDevice}, {"socket", EntryKind::Socket},
  };
  const auto found = kinds.find(name);
  if (found == kinds.end()) throw std::runtime_error("unknown entry type " + name);
  return found->second;
}

Compression CompressionNamed(const std::string& name) {
  static const std::map<std::string, Compression> kinds = {
      {"none", Compression::None},
      {"decmpfs", Compression::DecmpfsEmbedded},
      {"decmpfs-stream", Compression::DecmpfsStream},
      {"resource-fork", Compression::ResourceFork},
  };
  const auto found = kinds.find(name);
  if (found == kinds.end()) throw std::runtime_error("unknown compression " + name);
  return found->second;
}

Codec CodecNamed(const std::string& name) {
  static const std::map<std::string, Codec> codecs = {
      {"zlib", Codec::Zlib}, {"lzvn", Codec::Lzvn}, {"lzfse", Codec::Lzfse}, {"raw", Codec::Raw}};
  const auto found = codecs.find(name);
  if (found == codecs.end()) throw std::runtime_error("unknown codec " + name);
  return found->second;
}

VolumeRole RoleNamed(const std::string& name) {
  static const std::map<std::string, VolumeRole> roles = {
      {"none", VolumeRole::None},       {"system", VolumeRole::System}, {"data", VolumeRole::Data},
      {"preboot", VolumeRole::Preboot}, {"recovery", VolumeRole::Recovery}, {"vm", VolumeRole::VM},
  };
  const auto found = roles.find(name);
  if (found == roles.end()) throw std::runtime_error("unknown volume role " + name);
  return found->second;
}

std::vector<uint8_t> ValueBytes(const json& j) {
  if (j.contains("text")) return FromText(j.at("text").get<std::string>());
  if (j.contains("hex")) return FromHex(j.at("hex").get<std::string>());
  std::vector<uint8_t> bytes(j.value("size", uint64_t{0}));
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  return bytes;
}

class EntryParser {
 public:
  EntryParser(std::string base, bool caseSensitive) : base_(std::move(base)), caseSensitive_(caseSensitive) {}

  Entry Parse(const json& j) const {
    Entry e;
    e.name = j.at("name").get<std::string>();
    e.kind = KindNamed(j.value("type", std::string(j.contains("entries") ? "dir" : "file")));
    Take(j, "inode", e.inode);
    Take(j, "mode", e.permissions);
    Take(j, "uid", e.owner);
    Take(j, "gid", e.group);
    Take(j, "bsdFlags", e.bsdFlags);
    Take(j, "bareInode", e.bareInode);
    if (j.contains("times")) {
      const json& t = j.at("times");
      e.times = Times{t.at("create").get<int64_t>(), t.at("modify").get<int64_t>(), t.at("change").get<int64_t>(),
                      t.at("access").get<int64_t>()};
    }
    for (const json& x : j.value("xattrs", json::array()))
      e.xattrs.push_back({x.at("name").get<std::string>(), ValueBytes(x), x.value("stream", false),
                          x.value("flags", uint16_t{0})});
    for (const json& x : j.value("extraXfields", json::array()))
      e.extraXfields.push_back({x.at("type").get<uint8_t>(), x.value("flags", uint8_t{0}), FromHex(x.value("hex", ""))});
    ParseContents(j, e);
    Take(j, "target", e.target);
    Take(j, "rdev", e.rdev);
    Take(j, "cloneOf", e.cloneOf);
    Take(j, "dataless", e.dataless);
    for (const json& child : j.value("entries", json::array())) e.children.push_back(Parse(child));
    if (j.contains("generate")) Generate(j.at("generate"), e);
    if (j.contains("collisions")) AddCollisions(j.at("collisions"), e);
    return e;
  }

 private:
  void ParseContents(const json& j, Entry& e) const {
    if (j.contains("text") || j.contains("hex")) {
      e.content = ValueBytes(j);
      e.size = e.content->size();
    }
    if (j.contains("source")) {
      e.sourcePath = Resolve(j.at("source").get<std::string>(), base_);
      struct stat st;
      if (::stat(e.sourcePath.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + e.sourcePath);
      e.size = static_cast<uint64_t>(st.st_size);
    }
    Take(j, "size", e.size);
    for (const json& run : j.value("layout", json::array())) {
      if (run.contains("hole")) e.layout.push_back({run.at("hole").get<uint64_t>(), true});
      else e.layout.push_back({run.at("data").get<uint64_t>(), false});
    }
    Take(j, "extentBlocks", e.extentBlocks);
    if (j.contains("compression")) e.compression = CompressionNamed(j.at("compression").get<std::string>());
    Take(j, "recordUncompressedSize", e.recordUncompressedSize);
    if (j.contains("codec")) e.codec = CodecNamed(j.at("codec").get<std::string>());
    Take(j, "storeChunks", e.storeChunks);
  }

  static void Generate(const json& g, Entry& dir) {
    const uint64_t count = g.at("count").get<uint64_t>();
    const std::string prefix = g.value("prefix", std::string("f"));
    const uint64_t size = g.value("size", uint64_t{0});
    dir.children.reserve(dir.children.size() + count);
    for (uint64_t i = 0; i < count; ++i) {
      Entry file;
      file.name = prefix + std::to_string(i);
      file.size = size;
      dir.children.push_back(std::move(file));
    }
  }

  void AddCollisions(const json& c, Entry& dir) const {
    const std::string with = c.at("with").get<std::string>();
    const bool present = std::any_of(dir.children.begin(), dir.children.end(),
                                     [&](const Entry& child) { return child.name == with; });
    if (!present) {
      Entry file;
      file.name = with;
      dir.children.push_back(file);
    }
    for (const std::string& name :
         FindHashCollisions(with, caseSensitive_, c.value("count", size_t{1}), c.value("prefix", std::string("c")))) {
      Entry file;
      file.name = name;
      dir.children.push_back(std::move(file));
    }
  }

  std::string base_;
  bool caseSensitive_;
};

VolumeSpec ParseVolume(const json& j, const std::string& base) {
  VolumeSpec v;
  Take(j, "name", v.name);
  if (j.contains("role")) v.role = RoleNamed(j.at("role").get<std::string>());
  Take(j, "caseInsensitive", v.caseInsensitive);
  Take(j, "normalizationInsensitive", v.normalizationInsensitive);
  Take(j, "encrypted", v.encrypted);
  if (j.contains("password")) v.password = j.at("password").get<std::string>();
  Take(j, "passwordIterations", v.passwordIterations);
  Take(j, "sealed", v.sealed);
  if (j.contains("uuid")) v.uuid = FromHex(j.at("uuid").get<std::string>());
  Take(j, "nodeEntryCap", v.nodeEntryCap);
  Take(j, "nodeVersions", v.nodeVersions);
  Take(j, "quotaBlocks", v.quotaBlocks);
  Take(j, "reserveBlocks", v.reserveBlocks);
  if (j.contains("source")) v.root = ReadDirectoryTree(Resolve(j.at("source").get<std::string>(), base));
  const EntryParser parser(base, !v.caseInsensitive);
  for (const json& entry : j.value("entries", json::array())) v.root.children.push_back(parser.Parse(entry));
  for (const json& s : j.value("snapshots", json::array())) {
    SnapshotSpec snapshot;
    snapshot.name = s.at("name").get<std::string>();
    if (s.contains("uuid")) snapshot.uuid = FromHex(s.at("uuid").get<std::string>());
    Take(s, "createTime", snapshot.createTime);
    for (const json& entry : s.value("entries", json::array())) snapshot.root.children.push_back(parser.Parse(entry));
    v.snapshots.push_back(std::move(snapshot));
  }
  return v;
}

CheckpointSpec ParseCheckpoints(const json& j) {
  CheckpointSpec c;
  Take(j, "count", c.count);
  Take(j, "ringBlocks", c.ringBlocks);
  Take(j, "firstIndex", c.firstIndex);
  Take(j, "block0", c.block0);
  Take(j, "mapBlocks", c.mapBlocks);
  return c;
}

int64_t NanosecondsOf(const struct timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The user namespace is the one attributes of other systems come back in (quadrel mount
// and get show an APFS attribute NAME as user.NAME): user.NAME is stored as NAME. The
// other namespaces hold this machine's own security labels and access lists, which do
// not belong to the files: they are left out.
constexpr char kUserPrefix[] = "user.";

std::vector<XattrSpec> ReadXattrs(const std::string& path) {
  std::vector<XattrSpec> xattrs;
  const ssize_t listSize = ::llistxattr(path.c_str(), nullptr, 0);
  if (listSize <= 0) return xattrs;
  std::vector<char> names(static_cast<size_t>(listSize));
  if (::llistxattr(path.c_str(), names.data(), names.size()) < 0) return xattrs;
  for (size_t at = 0; at < names.size(); at += std::strlen(names.data() + at) + 1) {
    const char* name = names.data() + at;
    if (std::strncmp(name, kUserPrefix, sizeof kUserPrefix - 1) != 0 || name[sizeof kUserPrefix - 1] == 0) continue;
    const ssize_t size = ::lgetxattr(path.c_str(), name, nullptr, 0);
    if (size < 0) continue;
    std::vector<uint8_t> value(static_cast<size_t>(size));
    if (::lgetxattr(path.c_str(), name, value.data(), value.size()) != size) continue;
    xattrs.push_back({name + sizeof kUserPrefix - 1, std::move(value), false});
  }
  std::sort(xattrs.begin(), xattrs.end(), [](const XattrSpec& a, const XattrSpec& b) { return a.name < b.name; });
  return xattrs;
}

EntryKind KindOfMode(mode_t mode) {
  if (S_ISDIR(mode)) return EntryKind::Directory;
  if (S_ISLNK(mode)) return EntryKind::Symlink;
  if (S_ISFIFO(mode)) return EntryKind::Fifo;
  if (S_ISCHR(mode)) return EntryKind::CharDevice;
  if (S_ISBLK(mode)) return EntryKind::BlockDevice;
  if (S_ISSOCK(mode)) return EntryKind::Socket;
  return EntryKind::Regular;
}

// Walks a host tree; the first name of a multiply linked file holds the file, later
// names become hard links to it.
class TreeReader {
 public:
  Entry Read(const std::string& hostPath, const std::string& name, const std::string& volumePath) {
    struct stat st;
    if (::lstat(hostPath.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + hostPath);
    Entry e;
    e.name = name;
    e.kind = KindOfMode(st.st_mode);
    if (e.kind != EntryKind::Directory && st.st_nlink > 1) {
      const auto key = std::make_pair(st.st_dev, st.st_ino);
      const auto seen = firstNames_.find(key);
      if (seen != firstNames_.end()) {
        e.kind = EntryKind::HardLink;
        e.target = seen->second;
        return e;
      }
      firstNames_.emplace(key, volumePath);
    }
    e.permissions = static_cast<uint16_t>(st.st_mode & 07777);
    e.owner = st.st_uid;
    e.group = st.st_gid;
    e.times = Times{NanosecondsOf(st.st_mtim), NanosecondsOf(st.st_mtim), NanosecondsOf(st.st_ctim),
                    NanosecondsOf(st.st_atim)};
    e.xattrs = ReadXattrs(hostPath);
    switch (e.kind) {
      case EntryKind::Regular:
        e.size = static_cast<uint64_t>(st.st_size);
        e.sourcePath = hostPath;
        break;
      case EntryKind::Symlink: e.target = ReadLink(hostPath, st); break;
      case EntryKind::CharDevice:
      case EntryKind::BlockDevice: e.rdev = major(st.st_rdev) << 24 | (minor(st.st_rdev) & 0xFFFFFF); break;
      case EntryKind::Directory: ReadChildren(hostPath, volumePath, e); break;
      default: break;
    }
    return e;
  }

 private:
  static std::string ReadLink(const std::string& path, const struct stat& st) {
    std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0) throw std::runtime_error("cannot read link " + path);
    target.resize(static_cast<size_t>(n));
    return target;
  }

  void ReadChildren(const std::string& hostPath, const std::string& volumePath, Entry& dir) {
    DIR* d = ::opendir(hostPath.c_str());
    if (d == nullptr) throw std::runtime_error("cannot list " + hostPath);
    std::vector<std::string> names;
    while (const dirent* de = ::readdir(d)) {
      const std::string n = de->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& n : names)
      dir.children.push_back(Read(hostPath + "/" + n, n, volumePath.empty() ? n : volumePath + "/" + n));
  }

  std::map<std::pair<dev_t, ino_t>, std::string> firstNames_;
};

}  // namespace

ContainerSpec ParseManifest(const std::string& text, const std::string& baseDirectory) {
  const json j = json::parse(text);
  ContainerSpec spec;
  Take(j, "blockSize", spec.blockSize);
  Take(j, "blockCount", spec.blockCount);
  Take(j, "allocationStart", spec.allocationStart);
  Take(j, "seed", spec.seed);
  Take(j, "xid", spec.xid);
  if (j.contains("uuid")) spec.uuid = FromHex(j.at("uuid").get<std::string>());
  Take(j, "baseTime", spec.baseTime);
  Take(j, "omapEntryCap", spec.omapEntryCap);
  Take(j, "freeQueueEntries", spec.freeQueueEntries);
  Take(j, "freeQueueEntryCap", spec.freeQueueEntryCap);
  Take(j, "keybag", spec.keybag);
  Take(j, "fusion", spec.fusion);
  if (j.contains("checkpoints")) spec.checkpoints = ParseCheckpoints(j.at("checkpoints"));
  for (const json& v : j.value("volumes", json::array())) spec.volumes.push_back(ParseVolume(v, baseDirectory));
  for (const VolumeSpec& v : spec.volumes)
    if (v.uuid && v.uuid->size() != 16) throw std::runtime_error("a UUID has 16 bytes");
  if (spec.uuid && spec.uuid->size() != 16) throw std::runtime_error("a UUID has 16 bytes");
  return spec;
}

ContainerSpec LoadManifest(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::stringstream text;
  text << in.rdbuf();
  const size_t slash = path.find_last_of('/');
  return ParseManifest(text.str(), slash == std::string::npos ? "." : path.substr(0, slash));
}

Entry ReadDirectoryTree(const std::string& path) {
  Entry root = TreeReader().Read(path, "root", "");
  if (root.kind != EntryKind::Directory) throw std::runtime_error(path + " is not a directory");
  return root;
}

}  // namespace apfsw
