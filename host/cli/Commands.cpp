#include "Commands.h"

#include <algorithm>
#include <ctime>
#include <vector>

#include "ApfsFormat.h"
#include "Descent.h"
#include "EntryName.h"
#include "Json.h"
#include "ReadBuffer.h"

namespace {

void Write(FILE* out, const void* bytes, size_t count) {
  if (count > 0 && std::fwrite(bytes, 1, count, out) != count) {
    throw ReadFailure(ExitCode::OutputFailed, EIO, "cannot write the output");
  }
}

void WriteText(FILE* out, const std::string& text) { Write(out, text.data(), text.size()); }

void WriteJson(FILE* out, const nlohmann::json& document) { WriteText(out, document.dump(2) + "\n"); }

std::string ChildPath(const std::string& parent, const std::string& name) {
  return parent == "/" ? "/" + name : parent + "/" + name;
}

// The image and the volume a command reads, opened from its operands.
struct Opened {
  ApfsImage image;
  VolumeReader volume;
  Opened(const Options& o) : image(o.operands[0]), volume(image, o.volume, o.snapshot) {}
};

std::string LongLine(Session& session, Inode* inode, const std::string& shown) {
  const PosixStat st = session.Stat(inode);
  std::string line = ModeString(st.mode);
  char fields[96];
  const uint32_t type = st.mode & S_IFMT_MASK;
  if (type == MODE_CHR || type == MODE_BLK) {
    std::snprintf(fields, sizeof fields, " %3u %5u %5u %5u, %5u ", st.nlink, st.uid, st.gid, st.rdevMajor,
                  st.rdevMinor);
  } else {
    std::snprintf(fields, sizeof fields, " %3u %5u %5u %12llu ", st.nlink, st.uid, st.gid,
                  static_cast<unsigned long long>(st.size));
  }
  line += fields + TimeString(st.modifyNs).substr(0, 16) + " " + shown;
  if (type == MODE_LNK) line += " -> " + session.SymlinkTarget(inode);
  return line + "\n";
}

bool Hidden(const std::string& name, const Options& o) { return !o.all && !name.empty() && name[0] == '.'; }

class Lister {
 public:
  Lister(const Options& options, Session& session, uint32_t volume, FILE* out)
      : o_(options), session_(session), volume_(volume), out_(out) {}

  void Entry(Inode* inode, const std::string& path, const std::string& name) {
    if (o_.json) {
      entries_.push_back(EntryJson(session_, inode, path));
    } else {
      const std::string shown = o_.recursive ? path : name;
      WriteText(out_, o_.longFormat ? LongLine(session_, inode, shown) : shown + "\n");
    }
  }

  // Entries come sorted by name, each directory's subtree right after it, so that a
  // recursive listing is in path order.
  void Directory(FsNode* directory, const std::string& path) {
    const Descent::Step step(descent_, directory->inode->objectId & OBJ_ID_MASK);
    std::vector<Listed> children;
    const std::vector<std::string> leftOut = session_.List(directory, [&](Listed&& listed) {
      if (!Hidden(listed.name, o_)) children.push_back(std::move(listed));
    });
    for (const std::string& name : leftOut) Report(UnusableName(path, name));
    std::sort(children.begin(), children.end(), [](const Listed& a, const Listed& b) { return a.name < b.name; });
    for (Listed& child : children) {
      const std::string childPath = ChildPath(path, child.name);
      Entry(child.inode.get(), childPath, child.name);
      const bool isDirectory = (Le16(child.inode.get()->value + INODE_MODE) & S_IFMT_MASK) == MODE_DIR;
      if (!o_.recursive || !isDirectory) continue;
      const uint64_t number = child.inode.get()->objectId & OBJ_ID_MASK;
      if (descent_.Inside(number)) {
        Report(LeadsBack(childPath, number));
        continue;
      }
      NodeRef node = session_.Open(child.inode.get());
      Directory(node.get(), childPath);
    }
  }

  void Finish(const std::string& path) {
    if (!o_.json) return;
    WriteJson(out_, {{"schema", JSON_SCHEMA_VERSION},
                     {"volume", volume_},
                     {"path", path},
                     {"entries", entries_}});
  }

  // Some entries were left out of the listing (and reported).
  bool partial() const { return partial_; }

 private:
  // An entry left out: reported, and the listing goes on.
  void Report(const ReadFailure& failure) {
    std::fprintf(stderr, "quadrel: %s\n", failure.what());
    partial_ = true;
  }

  const Options& o_;
  Session& session_;
  uint32_t volume_;
  FILE* out_;
  nlohmann::json entries_ = nlohmann::json::array();
  bool partial_ = false;
  Descent descent_;
};

void RequireRegularFile(Session& session, Inode* inode, const std::string& path) {
  const PosixStat st = session.Stat(inode);
  const uint32_t type = st.mode & S_IFMT_MASK;
  if (type == MODE_DIR) throw ReadFailure(ExitCode::NoSuchPath, EISDIR, "is a directory: " + path);
  if (type == MODE_LNK) {
    throw ReadFailure(ExitCode::NoSuchPath, EINVAL,
                      "is a symbolic link (to " + session.SymlinkTarget(inode) + "): " + path);
  }
  if (type != MODE_REG) throw ReadFailure(ExitCode::NoSuchPath, EINVAL, "not a regular file: " + path);
}

}  // namespace

std::string VolumePath(const std::string& operand) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= operand.size()) {
    size_t slash = operand.find('/', start);
    if (slash == std::string::npos) slash = operand.size();
    const std::string part = operand.substr(start, slash - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = slash + 1;
  }
  std::string path;
  for (const std::string& p : parts) path += "/" + p;
  return path.empty() ? "/" : path;
}

std::string ModeString(uint32_t mode) {
  static const char* const kinds = "?pc?d?b?-?l?s???";
  std::string text(1, kinds[(mode >> 12) & 0xF]);
  const char* rwx = "rwxrwxrwx";
  for (int i = 0; i < 9; i++) text += (mode & (0400 >> i)) ? rwx[i] : '-';
  if (mode & 04000) text[3] = (mode & 0100) ? 's' : 'S';
  if (mode & 02000) text[6] = (mode & 0010) ? 's' : 'S';
  if (mode & 01000) text[9] = (mode & 0001) ? 't' : 'T';
  return text;
}

std::string TimeString(uint64_t nanoseconds) {
  const time_t seconds = time_t(nanoseconds / 1000000000);
  struct tm utc {};
  gmtime_r(&seconds, &utc);
  char text[64];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%09llu UTC",
                static_cast<unsigned long long>(nanoseconds % 1000000000));
  return text;
}

// Info's lines for the snapshots of volume v, indented under it.
std::string SnapshotLines(ApfsImage& image, const VolumeSummary& v) {
  std::string error;
  const std::vector<SnapshotSummary> snapshots = ListedSnapshots(image, v, &error);
  if (!error.empty()) return "      snapshots: " + error + "\n";
  std::string text;
  for (const SnapshotSummary& s : snapshots) {
    if (s.damaged) {
      text += "      snapshot at transaction " + std::to_string(s.xid) + ": metadata damaged\n";
      continue;
    }
    text += "      snapshot \"" + s.name + "\"  transaction " + std::to_string(s.xid) + ", created " +
            TimeString(s.createNs) + (s.uuid.empty() ? std::string() : ", UUID " + s.uuid) + "\n";
  }
  return text;
}

ExitCode RunInfo(const Options& o, FILE* out) {
  ApfsImage image(o.operands[0]);
  if (o.json) {
    WriteJson(out, InfoJson(image));
    return ExitCode::Ok;
  }
  const ContainerSummary& c = image.summary();
  std::string text = "Image:       " + image.path() +
                     (c.layout == "gpt" ? " (GPT disk, container at byte " + std::to_string(c.partitionOffset) + ")"
                                        : " (bare container)") + "\n";
  text += "Block size:  " + std::to_string(c.blockSize) + "\n";
  text += "Blocks:      " + std::to_string(c.blockCount) + " (" + std::to_string(c.freeBlocks) + " free)\n";
  text += "Checkpoint:  transaction " + std::to_string(c.xid) + ", " + std::to_string(c.checkpoints) +
          " checkpoint superblocks in the ring\n";
  text += "Volumes (* default):\n";
  for (const VolumeSummary& v : image.volumes()) {
    text += "  " + std::to_string(v.index) + (v.isDefault ? "* " : "  ") + "\"" + v.name + "\"  role " + v.role +
            ", " + (v.caseSensitive ? "case-sensitive" : "case-insensitive") +
            (v.encrypted ? ", encrypted (" + v.encryption + ")" : !v.unsupported.empty() ? ", " + v.unsupported : !v.usable ? ", unreadable" : "") +
            "\n" + SnapshotLines(image, v);
  }
  WriteText(out, text);
  return ExitCode::Ok;
}

ExitCode RunLs(const Options& o, FILE* out) {
  Opened opened(o);
  auto session = opened.volume.Borrow();
  const std::string path = VolumePath(o.operands.size() > 1 ? o.operands[1] : "/");
  NodeRef node = session->Resolve(path);
  Lister lister(o, *session, opened.volume.index(), out);
  if (node.isDirectory()) {
    lister.Directory(node.get(), path);
  } else {
    lister.Entry(node.inode(), path, path.substr(path.find_last_of('/') + 1));
  }
  lister.Finish(path);
  return lister.partial() ? ExitCode::Partial : ExitCode::Ok;
}

ExitCode RunStat(const Options& o, FILE* out) {
  Opened opened(o);
  auto session = opened.volume.Borrow();
  const std::string path = VolumePath(o.operands[1]);
  NodeRef node = session->Resolve(path);
  nlohmann::json e = EntryJson(*session, node.inode(), path);
  if (o.json) {
    e["schema"] = JSON_SCHEMA_VERSION;
    e["volume"] = opened.volume.index();
    WriteJson(out, e);
    return ExitCode::Ok;
  }
  const PosixStat st = session->Stat(node.inode());
  std::string text = "Path:      " + path + "\n";
  text += "Type:      " + e["type"].get<std::string>() + "\n";
  if (e.contains("symlink_target")) text += "Target:    " + e["symlink_target"].get<std::string>() + "\n";
  text += "Inode:     " + std::to_string(st.inode) + "\n";
  text += e.contains("children") ? "Children:  " + std::to_string(st.children) + "\n"
                                 : "Links:     " + std::to_string(st.nlink) + "\n";
  text += "Size:      " + std::to_string(st.size) + " (" + std::to_string(st.allocated) + " allocated)\n";
  text += "Mode:      " + OctalMode(st.mode) + " (" + ModeString(st.mode) + ")\n";
  text += "Owner:     uid " + std::to_string(st.uid) + ", gid " + std::to_string(st.gid) + "\n";
  char bsdFlags[16];
  std::snprintf(bsdFlags, sizeof bsdFlags, "0x%x", st.bsdFlags);
  text += std::string("Flags:     ") + (st.compressed ? "compressed " : "") + (st.sparse ? "sparse " : "") +
          "bsd " + bsdFlags + "\n";
  if (e.contains("compression")) text += "Codec:     " + e["compression"].get<std::string>() + "\n";
  if (e.contains("rdev")) {
    text += "Device:    " + std::to_string(st.rdevMajor) + ", " + std::to_string(st.rdevMinor) + "\n";
  }
  text += "Created:   " + TimeString(st.birthNs) + "\n";
  text += "Modified:  " + TimeString(st.modifyNs) + "\n";
  text += "Changed:   " + TimeString(st.changeNs) + "\n";
  text += "Accessed:  " + TimeString(st.accessNs) + "\n";
  for (const auto& x : e["xattrs"]) {
    text += "Xattr:     " + x["name"].get<std::string>() + " (" + std::to_string(x["size"].get<uint64_t>()) +
            " bytes)\n";
  }
  WriteText(out, text);
  return ExitCode::Ok;
}

ExitCode RunCat(const Options& o, FILE* out) {
  Opened opened(o);
  auto session = opened.volume.Borrow();
  const std::string path = VolumePath(o.operands[1]);
  NodeRef node = session->Resolve(path);
  RequireRegularFile(*session, node.inode(), path);
  const uint64_t size = session->Stat(node.inode()).size;
  ReadBuffer buffer(1 << 20);
  for (uint64_t offset = 0; offset < size;) {
    const size_t got = session->Read(node.inode(), offset, buffer.data(), buffer.size());
    if (got == 0) break;
    Write(out, buffer.data(), got);
    offset += got;
  }
  if (std::fflush(out) != 0) throw ReadFailure(ExitCode::OutputFailed, EIO, "cannot write the output");
  return ExitCode::Ok;
}

ExitCode RunXattr(const Options& o, FILE* out) {
  Opened opened(o);
  auto session = opened.volume.Borrow();
  const std::string path = VolumePath(o.operands[1]);
  NodeRef node = session->Resolve(path);
  if (o.operands.size() == 3) {
    const std::vector<uint8_t> value = session->XattrValue(node.inode(), o.operands[2]);
    Write(out, value.data(), value.size());
    return ExitCode::Ok;
  }
  for (const Xattr& x : session->Xattrs(node.inode())) {
    WriteText(out, x.name + "\t" + std::to_string(x.size) + "\n");
  }
  return ExitCode::Ok;
}
