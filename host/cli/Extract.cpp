// quadrel get: copies a file or a tree out of the volume, keeping what POSIX can keep.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <vector>

#include "ApfsFormat.h"
#include "Commands.h"
#include "VolumeReader.h"

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

class Extractor {
 public:
  explicit Extractor(Session& session) : session_(session), asRoot_(geteuid() == 0) {}

  void ShowProgress(uint64_t totalBytes) { progress_ = std::make_unique<Progress>(totalBytes); }
  // The volume root goes into this directory, which exists already.
  void FillExisting(const std::string& directory) { existingTop_ = directory; }
  bool partial() const { return partial_; }
  void Done() const {
    if (progress_) progress_->End();
  }

  // Extracts the entry at volumePath; failures below a directory are reported and
  // skipped, a failure of the entry itself is thrown.
  void Extract(Inode* inode, const std::string& volumePath, const std::string& dest) {
    const PosixStat st = session_.Stat(inode);
    if (st.nlink > 1 && (st.mode & S_IFMT_MASK) != MODE_DIR && LinkToEarlier(st.inode, dest)) return;
    switch (st.mode & S_IFMT_MASK) {
      case MODE_DIR: Directory(inode, st, volumePath, dest); return;
      case MODE_REG: RegularFile(inode, st, volumePath, dest); break;
      case MODE_LNK: Symlink(inode, st, dest); break;
      default: Special(st, volumePath, dest); break;
    }
    if (st.nlink > 1) firstNames_[st.inode] = dest;
  }

  // Sum of the regular files' sizes below a directory, for the progress bar.
  uint64_t TreeBytes(Inode* inode) {
    const PosixStat st = session_.Stat(inode);
    if ((st.mode & S_IFMT_MASK) == MODE_REG) return st.compressed ? 0 : st.size;
    if ((st.mode & S_IFMT_MASK) != MODE_DIR) return 0;
    uint64_t total = 0;
    NodeRef node = session_.Open(inode);
    std::vector<InodeRef> children;
    session_.List(node.get(), [&](Listed&& listed) { children.push_back(std::move(listed.inode)); });
    for (InodeRef& child : children) total += TreeBytes(child.get());
    return total;
  }

 private:
  void Warn(const std::string& message) {
    std::fprintf(stderr, "%squadrel: %s\n", progress_ ? "\n" : "", message.c_str());
    partial_ = true;
  }

  bool LinkToEarlier(uint64_t inode, const std::string& dest) {
    const auto first = firstNames_.find(inode);
    if (first == firstNames_.end()) return false;
    if (link(first->second.c_str(), dest.c_str()) != 0) throw OutputError("cannot link", dest);
    return true;
  }

  void Directory(Inode* inode, const PosixStat& st, const std::string& volumePath, const std::string& dest) {
    if (mkdir(dest.c_str(), 0700) != 0 && !(errno == EEXIST && dest == existingTop_)) {
      throw OutputError("cannot create directory", dest);
    }
    NodeRef node = session_.Open(inode);
    std::vector<Listed> children;
    session_.List(node.get(), [&](Listed&& listed) { children.push_back(std::move(listed)); });
    for (Listed& child : children) {
      try {
        Extract(child.inode.get(), Join(volumePath, child.name), dest + "/" + child.name);
      } catch (const ReadFailure& failure) {
        Warn(failure.what());
      }
    }
    KeepXattrs(inode, dest, -1);
    KeepMetadata(st, dest, -1, true);
  }

  void RegularFile(Inode* inode, const PosixStat& st, const std::string& volumePath, const std::string& dest) {
    if (st.compressed) throw CompressedContents(volumePath);
    const int fd = open(dest.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) throw OutputError("cannot create", dest);
    try {
      CopyData(inode, st.size, fd, dest);
      KeepXattrs(inode, dest, fd);
      KeepMetadata(st, dest, fd, true);
    } catch (...) {
      close(fd);
      throw;
    }
    if (close(fd) != 0) throw OutputError("cannot write", dest);
  }

  // Writes the data runs and leaves holes unwritten, so the copy stays sparse.
  void CopyData(Inode* inode, uint64_t size, int fd, const std::string& dest) {
    std::vector<uint8_t> buffer(1 << 20);
    session_.ForEachRun(inode, 0, size, [&](const Session::Run& run) {
      for (uint64_t done = 0; run.physical >= 0 && done < run.length;) {
        const size_t chunk = size_t(std::min<uint64_t>(buffer.size(), run.length - done));
        session_.Read(inode, run.offset + done, buffer.data(), chunk);
        if (pwrite(fd, buffer.data(), chunk, off_t(run.offset + done)) != ssize_t(chunk)) {
          throw OutputError("cannot write", dest);
        }
        done += chunk;
        if (progress_) progress_->Add(chunk);
      }
      if (run.physical < 0 && progress_) progress_->Add(run.length);
      return true;
    });
    if (ftruncate(fd, off_t(size)) != 0) throw OutputError("cannot set the size of", dest);
  }

  void Symlink(Inode* inode, const PosixStat& st, const std::string& dest) {
    if (symlink(session_.SymlinkTarget(inode).c_str(), dest.c_str()) != 0) {
      throw OutputError("cannot create symbolic link", dest);
    }
    KeepMetadata(st, dest, -1, false);
  }

  void Special(const PosixStat& st, const std::string& volumePath, const std::string& dest) {
    const uint32_t type = st.mode & S_IFMT_MASK;
    int made = -1;
    if (type == MODE_FIFO) {
      made = mkfifo(dest.c_str(), 0600);
    } else if ((type == MODE_CHR || type == MODE_BLK) && asRoot_) {
      made = mknod(dest.c_str(), (type == MODE_CHR ? S_IFCHR : S_IFBLK) | 0600,
                   makedev(st.rdevMajor, st.rdevMinor));
    } else {
      Warn(std::string(type == MODE_SOCK ? "socket" : "device file") + " not extracted" +
           (type == MODE_SOCK ? "" : " (needs root)") + ": " + volumePath);
      return;
    }
    if (made != 0) throw OutputError("cannot create", dest);
    KeepMetadata(st, dest, -1, true);
  }

  // Attributes go into the user namespace, the only one open to every program.
  void KeepXattrs(Inode* inode, const std::string& dest, int fd) {
    for (const Xattr& x : session_.Xattrs(inode)) {
      const std::vector<uint8_t> value = session_.XattrValue(inode, x.name);
      const std::string name = "user." + x.name;
      const int set = fd >= 0 ? fsetxattr(fd, name.c_str(), value.data(), value.size(), 0)
                              : lsetxattr(dest.c_str(), name.c_str(), value.data(), value.size(), 0);
      if (set == 0) continue;
      if (errno == ENOTSUP || errno == EPERM) {
        if (!xattrsUnsupported_) std::fprintf(stderr, "quadrel: %s\n", ErrnoText("extended attributes not kept at", dest).c_str());
        xattrsUnsupported_ = true;
        return;
      }
      // The destination's limits (ext4 keeps values of one block at most) leave this
      // attribute out; the others may still fit.
      if (errno == ENOSPC || errno == E2BIG || errno == ERANGE) {
        Warn(ErrnoText("attribute " + name + " not kept at", dest));
        continue;
      }
      throw OutputError("cannot set attribute " + name + " on", dest);
    }
  }

  void KeepMetadata(const PosixStat& st, const std::string& dest, int fd, bool chmodAllowed) {
    if (asRoot_ && lchown(dest.c_str(), st.uid, st.gid) != 0) throw OutputError("cannot set the owner of", dest);
    if (chmodAllowed) {
      const int changed = fd >= 0 ? fchmod(fd, st.mode & 07777) : chmod(dest.c_str(), st.mode & 07777);
      if (changed != 0) throw OutputError("cannot set the mode of", dest);
    }
    const struct timespec times[2] = {Timespec(st.accessNs), Timespec(st.modifyNs)};
    const int set = fd >= 0 ? futimens(fd, times) : utimensat(AT_FDCWD, dest.c_str(), times, AT_SYMLINK_NOFOLLOW);
    if (set != 0) throw OutputError("cannot set the times of", dest);
  }

  Session& session_;
  bool asRoot_;
  bool partial_ = false;
  bool xattrsUnsupported_ = false;
  std::unique_ptr<Progress> progress_;
  std::map<uint64_t, std::string> firstNames_;  // first extracted name of each multiply linked inode
  std::string existingTop_;
};

}  // namespace

ExitCode RunGet(const Options& o) {
  ApfsImage image(o.operands[0]);
  VolumeReader volume(image, o.volume);
  auto session = volume.Borrow();
  const std::string path = VolumePath(o.operands[1]);
  NodeRef node = session->Resolve(path);
  Extractor extractor(*session);
  std::string dest = o.operands[2];
  struct stat existing {};
  const bool isRoot = node.inode()->objectId == volume.handle()->root->inode->objectId;
  if (lstat(dest.c_str(), &existing) == 0) {
    if (!S_ISDIR(existing.st_mode)) {
      throw ReadFailure(ExitCode::OutputFailed, EEXIST, "destination exists: " + dest);
    }
    if (isRoot) {
      extractor.FillExisting(dest);
    } else {
      dest += path.substr(path.find_last_of('/'));
    }
  }
  if (isatty(STDERR_FILENO)) extractor.ShowProgress(extractor.TreeBytes(node.inode()));
  extractor.Extract(node.inode(), path, dest);
  extractor.Done();
  return extractor.partial() ? ExitCode::Partial : ExitCode::Ok;
}
