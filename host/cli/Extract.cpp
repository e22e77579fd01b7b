// quadrel get: copies a file or a tree out of the volume, keeping what POSIX can keep.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "ApfsFormat.h"
#include "Commands.h"
#include "Descent.h"
#include "EntryName.h"
#include "VolumeReader.h"
#include "ReadBuffer.h"

namespace {

std::string ErrnoText(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

ReadFailure OutputError(const std::string& what, const std::string& path) {
  return ReadFailure(ExitCode::OutputFailed, errno, ErrnoText(what, path));
}

std::string Join(const std::string& parent, const std::string& name) {
  return parent == "/" ? "/" + name : parent + "/" + name;
}

struct timespec Timespec(uint64_t nanoseconds) {
  return {time_t(nanoseconds / 1000000000), long(nanoseconds % 1000000000)};
}

// A one-line bar on standard error, redrawn at most every whole percent.
class Progress {
 public:
  explicit Progress(uint64_t total) : total_(total) {}
  void Add(uint64_t bytes) {
    done_ += bytes;
    const int percent = total_ == 0 ? 100 : int(done_ * 100 / total_);
    if (percent == shown_) return;
    shown_ = percent;
    const int width = 40;
    const int filled = percent * width / 100;
    std::fprintf(stderr, "\r[%s%s] %3d%% %llu/%llu bytes", std::string(size_t(filled), '#').c_str(),
                 std::string(size_t(width - filled), ' ').c_str(), percent,
                 static_cast<unsigned long long>(done_), static_cast<unsigned long long>(total_));
  }
  void End() const {
    if (shown_ >= 0) std::fputc('\n', stderr);
  }

 private:
  uint64_t total_;
  uint64_t done_ = 0;
  int shown_ = -1;
};

// An open descriptor, closed with the object.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  // Closes now; false when closing reports an error (written data may be lost).
  bool Close() { return close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_;
};

// Where an entry is extracted: a name in an open directory. Only the top of an
// extraction is named by the path given on the command line (in the current
// directory); every entry below it is created by its own name in the descriptor of the
// directory made for its parent, so no path is walked again and no symbolic link, made
// by the extraction or found there, is ever followed.
struct Place {
  int directory;      // descriptor, or AT_FDCWD for the top
  std::string name;   // one path component, or the command line's DEST for the top
  std::string shown;  // the path messages name
};

constexpr int NEW_FILE = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
constexpr int DIRECTORY = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

class Extractor {
 public:
  explicit Extractor(Session& session) : session_(session), asRoot_(geteuid() == 0) {}

  void ShowProgress(uint64_t totalBytes) { progress_ = std::make_unique<Progress>(totalBytes); }
  // The volume root goes into the directory of the top place, which exists already.
  void FillExisting() { fillTop_ = true; }
  bool partial() const { return partial_; }
  void Done() const {
    if (progress_) progress_->End();
  }

  // Extracts the entry at volumePath; failures below a directory are reported and
  // skipped, a failure of the entry itself is thrown.
  void Extract(Inode* inode, const std::string& volumePath, const Place& place) {
    const PosixStat st = session_.Stat(inode);
    if (st.nlink > 1 && (st.mode & S_IFMT_MASK) != MODE_DIR && LinkToEarlier(st.inode, place)) return;
    switch (st.mode & S_IFMT_MASK) {
      case MODE_DIR:
        if (descent_.Inside(st.inode)) throw LeadsBack(volumePath, st.inode);
        Directory(inode, st, volumePath, place);
        return;
      case MODE_REG: RegularFile(inode, st, place); break;
      case MODE_LNK: Symlink(inode, st, place); break;
      default: Special(st, volumePath, place); break;
    }
    if (st.nlink > 1 && top_ >= 0) {
      std::vector<std::string> components = below_;
      components.push_back(place.name);
      firstNames_[st.inode] = std::move(components);
    }
  }

  // Sum of the regular files' sizes below a directory, for the progress bar.
  uint64_t TreeBytes(Inode* inode) {
    const PosixStat st = session_.Stat(inode);
    if ((st.mode & S_IFMT_MASK) == MODE_REG) return st.size;
    if ((st.mode & S_IFMT_MASK) != MODE_DIR || descent_.Inside(st.inode)) return 0;
    const Descent::Step step(descent_, st.inode);
    uint64_t total = 0;
    NodeRef node = session_.Open(inode);
    std::vector<InodeRef> children;
    // Entries left out here are reported when the extraction reaches them.
    session_.List(node.get(), [&](Listed&& listed) { children.push_back(std::move(listed.inode)); });
    for (InodeRef& child : children) total += TreeBytes(child.get());
    return total;
  }

 private:
  void Warn(const std::string& message) {
    std::fprintf(stderr, "%squadrel: %s\n", progress_ ? "\n" : "", message.c_str());
    partial_ = true;
  }

  // Links place to the name this inode was first extracted as, found again from the top
  // directory one component at a time.
  bool LinkToEarlier(uint64_t inode, const Place& place) {
    const auto first = firstNames_.find(inode);
    if (first == firstNames_.end()) return false;
    const std::vector<std::string>& components = first->second;
    std::unique_ptr<Descriptor> walked;
    int parent = top_;
    for (size_t i = 0; i + 1 < components.size(); i++) {
      auto next = std::make_unique<Descriptor>(openat(parent, components[i].c_str(), DIRECTORY));
      if (next->get() < 0) throw OutputError("cannot link", place.shown);
      walked = std::move(next);
      parent = walked->get();
    }
    if (linkat(parent, components.back().c_str(), place.directory, place.name.c_str(), 0) != 0) {
      throw OutputError("cannot link", place.shown);
    }
    return true;
  }

  void Directory(Inode* inode, const PosixStat& st, const std::string& volumePath, const Place& place) {
    const bool existing = std::exchange(fillTop_, false);
    if (!existing && mkdirat(place.directory, place.name.c_str(), 0700) != 0) {
      throw OutputError("cannot create directory", place.shown);
    }
    Descriptor directory(openat(place.directory, place.name.c_str(), DIRECTORY));
    if (directory.get() < 0) throw OutputError("cannot open directory", place.shown);
    NodeRef node = session_.Open(inode);
    std::vector<Listed> children;
    for (const std::string& name :
         session_.List(node.get(), [&](Listed&& listed) { children.push_back(std::move(listed)); })) {
      Warn(UnusableName(volumePath, name).what());
    }
    // From here on each child's failure is reported and skipped, so below_ stays in step.
    const Descent::Step step(descent_, st.inode);
    const bool isTop = top_ < 0;
    if (isTop) {
      top_ = directory.get();
    } else {
      below_.push_back(place.name);
    }
    for (Listed& child : children) {
      try {
        Extract(child.inode.get(), Join(volumePath, child.name),
                Place{directory.get(), child.name, place.shown + "/" + child.name});
      } catch (const ReadFailure& failure) {
        Warn(failure.what());
      }
    }
    if (isTop) {
      top_ = -1;
    } else {
      below_.pop_back();
    }
    KeepXattrs(inode, directory.get(), place.shown);
    KeepMetadata(st, place, directory.get(), true);
  }

  // A file whose contents cannot be read or written whole is removed again: a partial
  // copy would pass for the real file.
  void RegularFile(Inode* inode, const PosixStat& st, const Place& place) {
    Descriptor file(openat(place.directory, place.name.c_str(), NEW_FILE, 0600));
    if (file.get() < 0) throw OutputError("cannot create", place.shown);
    try {
      CopyData(inode, st.size, file.get(), place.shown);
      KeepXattrs(inode, file.get(), place.shown);
      KeepMetadata(st, place, file.get(), true);
      if (!file.Close()) throw OutputError("cannot write", place.shown);
    } catch (...) {
      unlinkat(place.directory, place.name.c_str(), 0);
      throw;
    }
  }

  // Writes the data runs and leaves holes unwritten, so the copy stays sparse. A
  // compressed file's bytes are all data, decoded as they are read.
  void CopyData(Inode* inode, uint64_t size, int fd, const std::string& shown) {
    ReadBuffer buffer(1 << 20);
    if (Session::IsCompressed(inode)) {
      CopyBytes(inode, 0, size, buffer, fd, shown);
    } else {
      session_.ForEachRun(inode, 0, size, [&](const Session::Run& run) {
        if (run.physical >= 0) {
          CopyBytes(inode, run.offset, run.length, buffer, fd, shown);
        } else if (progress_) {
          progress_->Add(run.length);
        }
        return true;
      });
    }
    if (ftruncate(fd, off_t(size)) != 0) throw OutputError("cannot set the size of", shown);
  }

  void CopyBytes(Inode* inode, uint64_t offset, uint64_t length, ReadBuffer& buffer, int fd,
                 const std::string& shown) {
    for (uint64_t done = 0; done < length;) {
      const size_t chunk = size_t(std::min<uint64_t>(buffer.size(), length - done));
      session_.Read(inode, offset + done, buffer.data(), chunk);
      if (pwrite(fd, buffer.data(), chunk, off_t(offset + done)) != ssize_t(chunk)) {
        throw OutputError("cannot write", shown);
      }
      done += chunk;
      if (progress_) progress_->Add(chunk);
    }
  }

  void Symlink(Inode* inode, const PosixStat& st, const Place& place) {
    if (symlinkat(session_.SymlinkTarget(inode).c_str(), place.directory, place.name.c_str()) != 0) {
      throw OutputError("cannot create symbolic link", place.shown);
    }
    KeepMetadata(st, place, -1, false);
  }

  void Special(const PosixStat& st, const std::string& volumePath, const Place& place) {
    const uint32_t type = st.mode & S_IFMT_MASK;
    int made = -1;
    if (type == MODE_FIFO) {
      made = mknodat(place.directory, place.name.c_str(), S_IFIFO | 0600, 0);
    } else if ((type == MODE_CHR || type == MODE_BLK) && asRoot_) {
      made = mknodat(place.directory, place.name.c_str(), (type == MODE_CHR ? S_IFCHR : S_IFBLK) | 0600,
                     makedev(st.rdevMajor, st.rdevMinor));
    } else {
      Warn(std::string(type == MODE_SOCK ? "socket" : "device file") + " not extracted" +
           (type == MODE_SOCK ? "" : " (needs root)") + ": " + volumePath);
      return;
    }
    if (made != 0) throw OutputError("cannot create", place.shown);
    KeepMetadata(st, place, -1, true);
  }

  // Attributes go into the user namespace, the only one open to every program.
  void KeepXattrs(Inode* inode, int fd, const std::string& shown) {
    for (const Xattr& x : session_.Xattrs(inode)) {
      const std::vector<uint8_t> value = session_.XattrValue(inode, x.name);
      const std::string name = "user." + x.name;
      if (fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) == 0) continue;
      if (errno == ENOTSUP || errno == EPERM) {
        if (!xattrsUnsupported_) std::fprintf(stderr, "quadrel: %s\n", ErrnoText("extended attributes not kept at", shown).c_str());
        xattrsUnsupported_ = true;
        return;
      }
      // The destination's limits (ext4 keeps values of one block at most) leave this
      // attribute out; the others may still fit.
      if (errno == ENOSPC || errno == E2BIG || errno == ERANGE) {
        Warn(ErrnoText("attribute " + name + " not kept at", shown));
        continue;
      }
      throw OutputError("cannot set attribute " + name + " on", shown);
    }
  }

  // Sets owner, mode and times through fd when the entry is open, else by its name in
  // its directory without following it.
  void KeepMetadata(const PosixStat& st, const Place& place, int fd, bool chmodAllowed) {
    const char* name = place.name.c_str();
    if (asRoot_) {
      const int owned = fd >= 0 ? fchown(fd, st.uid, st.gid)
                                : fchownat(place.directory, name, st.uid, st.gid, AT_SYMLINK_NOFOLLOW);
      if (owned != 0) throw OutputError("cannot set the owner of", place.shown);
    }
    if (chmodAllowed) {
      const int changed = fd >= 0 ? fchmod(fd, st.mode & 07777)
                                  : fchmodat(place.directory, name, st.mode & 07777, AT_SYMLINK_NOFOLLOW);
      if (changed != 0) throw OutputError("cannot set the mode of", place.shown);
    }
    const struct timespec times[2] = {Timespec(st.accessNs), Timespec(st.modifyNs)};
    const int set = fd >= 0 ? futimens(fd, times) : utimensat(place.directory, name, times, AT_SYMLINK_NOFOLLOW);
    if (set != 0) throw OutputError("cannot set the times of", place.shown);
  }

  Session& session_;
  bool asRoot_;
  bool partial_ = false;
  bool xattrsUnsupported_ = false;
  bool fillTop_ = false;
  std::unique_ptr<Progress> progress_;
  int top_ = -1;                    // the top directory while its tree is extracted
  std::vector<std::string> below_;  // components from the top to the directory being filled
  // First extracted name of each multiply linked inode, as components below the top.
  std::map<uint64_t, std::vector<std::string>> firstNames_;
  Descent descent_;
};

}  // namespace

ExitCode RunGet(const Options& o) {
  ApfsImage image(o.operands[0]);
  VolumeReader volume(image, o.volume, o.snapshot);
  auto session = volume.Borrow();
  const std::string path = VolumePath(o.operands[1]);
  NodeRef node = session->Resolve(path);
  Extractor extractor(*session);
  const std::string& dest = o.operands[2];
  Place top{AT_FDCWD, dest, dest};
  std::unique_ptr<Descriptor> existingDirectory;
  struct stat existing {};
  const bool isRoot = node.inode()->objectId == volume.handle()->root->inode->objectId;
  if (lstat(dest.c_str(), &existing) == 0) {
    if (!S_ISDIR(existing.st_mode)) {
      throw ReadFailure(ExitCode::OutputFailed, EEXIST, "destination exists: " + dest);
    }
    if (isRoot) {
      extractor.FillExisting();
    } else {
      existingDirectory = std::make_unique<Descriptor>(open(dest.c_str(), DIRECTORY));
      if (existingDirectory->get() < 0) throw OutputError("cannot open directory", dest);
      const std::string name = path.substr(path.find_last_of('/') + 1);
      top = Place{existingDirectory->get(), name, dest + "/" + name};
    }
  }
  if (isatty(STDERR_FILENO)) extractor.ShowProgress(extractor.TreeBytes(node.inode()));
  extractor.Extract(node.inode(), path, top);
  extractor.Done();
  return extractor.partial() ? ExitCode::Partial : ExitCode::Ok;
}
