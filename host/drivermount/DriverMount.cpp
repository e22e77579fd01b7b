// quadrel mount --driver: the volume as a read-only FUSE file system whose every request
// is served by the Windows driver, through the front end's system services, as Windows
// applications would ask: lookups and attributes by opening the path and querying the
// handle, listings by directory queries on a handle kept for the listing, reads through
// a file handle (through the driver's cache, or without it for O_DIRECT opens).
//
// FUSE names files by number and the driver opens them by path: each number the kernel
// holds (counted by its lookups, dropped by its forgets) is kept with one path to it.
// FUSE's worker threads call the driver at once; the driver's locks order them.
#include "DriverMount.h"

#include "FuseMount.h"
#include "ReadBuffer.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "DriverVolume.h"
#include "hostkernel/Host.h"

namespace {

// The image never changes under the mount, so the kernel may cache for long.
constexpr double CACHE_SECONDS = 3600;
// The volume numbers its root directory 2; FUSE numbers the root 1. The two numbers
// trade places, as in the engine's mount, so that st_ino is the inode number.
constexpr uint64_t VOLUME_ROOT = 2;
// The driver's identifiers carry the volume index above the inode number.
constexpr uint64_t INODE_MASK = (uint64_t(1) << 60) - 1;
// As in the engine's mount: directories ask for large listing parts.
constexpr blksize_t DIRECTORY_IO_SIZE = 1 << 20;

fuse_ino_t FuseNumber(uint64_t fileId) {
  const uint64_t inode = fileId & INODE_MASK;
  if (inode == VOLUME_ROOT) return FUSE_ROOT_ID;
  if (inode == FUSE_ROOT_ID) return VOLUME_ROOT;
  return inode;
}

struct KnownNode {
  std::string path;
  uint64_t lookups = 0;
};

struct Listing;

struct DriverMountState {
  DriverVolume* volume;
  std::mutex nodesLock;  // guards nodes
  std::unordered_map<fuse_ino_t, KnownNode> nodes;
  // Listings the kernel has not released: an unmount may come before their release.
  std::mutex listingsLock;  // guards listings
  std::unordered_set<Listing*> listings;
};

DriverMountState& State(fuse_req_t request) { return *static_cast<DriverMountState*>(fuse_req_userdata(request)); }

// The path the kernel's number stands for; false when the kernel forgot it.
bool PathOf(fuse_req_t request, fuse_ino_t number, std::string* path) {
  if (number == FUSE_ROOT_ID) {
    *path = "/";
    return true;
  }
  DriverMountState& state = State(request);
  std::lock_guard<std::mutex> guard(state.nodesLock);
  const auto found = state.nodes.find(number);
  if (found == state.nodes.end()) return false;
  *path = found->second.path;
  return true;
}

std::string ChildPath(const std::string& parent, const char* name) {
  return parent == "/" ? parent + name : parent + "/" + name;
}

// The kernel now holds one more reference to number, reached by path.
void Remember(DriverMountState& state, fuse_ino_t number, const std::string& path) {
  if (number == FUSE_ROOT_ID) return;
  std::lock_guard<std::mutex> guard(state.nodesLock);
  KnownNode& node = state.nodes[number];
  if (node.lookups++ == 0) node.path = path;
}

void Forget(DriverMountState& state, fuse_ino_t number, uint64_t count) {
  std::lock_guard<std::mutex> guard(state.nodesLock);
  const auto found = state.nodes.find(number);
  if (found == state.nodes.end()) return;
  found->second.lookups -= std::min(count, found->second.lookups);
  if (found->second.lookups == 0) state.nodes.erase(found);
}

struct timespec Timespec(uint64_t nanoseconds) {
  return {time_t(nanoseconds / 1000000000), long(nanoseconds % 1000000000)};
}

// Attributes as stat reports them. The driver reports no owner, mode or link count:
// files belong to the user who mounted, are read-only, and have one link.
struct stat StatOf(const DriverAttributes& a) {
  struct stat out {};
  out.st_ino = a.fileId & INODE_MASK;
  out.st_mode = a.directory ? S_IFDIR | 0555 : S_IFREG | 0444;
  out.st_nlink = a.directory ? 2 : 1;
  out.st_uid = getuid();
  out.st_gid = getgid();
  out.st_size = off_t(a.size);
  out.st_blocks = blkcnt_t((a.allocated + 511) / 512);
  out.st_blksize = a.directory ? DIRECTORY_IO_SIZE : 4096;
  out.st_atim = Timespec(a.accessNs);
  out.st_mtim = Timespec(a.modifyNs);
  out.st_ctim = Timespec(a.changeNs);
  return out;
}

fuse_entry_param EntryOf(const DriverAttributes& a) {
  fuse_entry_param entry{};
  entry.ino = FuseNumber(a.fileId);
  entry.attr = StatOf(a);
  entry.attr_timeout = CACHE_SECONDS;
  entry.entry_timeout = CACHE_SECONDS;
  return entry;
}

void Init(void*, struct fuse_conn_info* connection) {
  // Attributes with every listing, for every part of it, not only its first.
  connection->want |= connection->capable & FUSE_CAP_READDIRPLUS;
  connection->want &= ~unsigned(FUSE_CAP_READDIRPLUS_AUTO);
}

void Lookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
  std::string directory;
  if (!PathOf(request, parent, &directory)) {
    fuse_reply_err(request, ESTALE);
    return;
  }
  const std::string path = ChildPath(directory, name);
  DriverAttributes attributes;
  const int error = State(request).volume->Stat(path, &attributes);
  fuse_entry_param entry{};
  if (error == ENOENT) {
    // The kernel remembers that the name is absent: an entry without a node.
    entry.entry_timeout = CACHE_SECONDS;
  } else if (error != 0) {
    fuse_reply_err(request, error);
    return;
  } else {
    entry = EntryOf(attributes);
    Remember(State(request), entry.ino, path);
  }
  fuse_reply_entry(request, &entry);
}

void ForgetOne(fuse_req_t request, fuse_ino_t number, uint64_t count) {
  Forget(State(request), number, count);
  fuse_reply_none(request);
}

void ForgetMany(fuse_req_t request, size_t count, struct fuse_forget_data* forgets) {
  for (size_t i = 0; i < count; i++) Forget(State(request), forgets[i].ino, forgets[i].nlookup);
  fuse_reply_none(request);
}

void GetAttr(fuse_req_t request, fuse_ino_t number, struct fuse_file_info*) {
  std::string path;
  if (!PathOf(request, number, &path)) {
    fuse_reply_err(request, ESTALE);
    return;
  }
  DriverAttributes attributes;
  if (const int error = State(request).volume->Stat(path, &attributes)) {
    fuse_reply_err(request, error);
    return;
  }
  const struct stat st = StatOf(attributes);
  fuse_reply_attr(request, &st, CACHE_SECONDS);
}

// A listing: the directory handle it is read from, and what was read of it so far, so
// that the kernel may ask for any part again ("." and ".." first, made here: the driver
// lists neither).
struct Listing {
  DriverVolume::Open* handle = nullptr;
  std::string path;
  std::mutex lock;  // guards the rest
  std::vector<DriverListed> entries;
  bool ended = false;
};

void OpenDir(fuse_req_t request, fuse_ino_t number, struct fuse_file_info* file) {
  DriverMountState& state = State(request);  // the reply ends the request
  auto listing = std::make_unique<Listing>();
  if (!PathOf(request, number, &listing->path)) {
    fuse_reply_err(request, ESTALE);
    return;
  }
  if (const int error = state.volume->OpenDirectory(listing->path, &listing->handle)) {
    fuse_reply_err(request, error);
    return;
  }
  for (const char* dot : {".", ".."}) {
    DriverListed entry;
    entry.name = dot;
    entry.attributes.directory = true;
    listing->entries.push_back(entry);
  }
  file->fh = reinterpret_cast<uint64_t>(listing.get());
  file->keep_cache = 1;
  // Known before the reply: a release may follow it at once.
  {
    std::lock_guard<std::mutex> guard(state.listingsLock);
    state.listings.insert(listing.get());
  }
  if (fuse_reply_open(request, file) == 0) {
    listing.release();
  } else {
    std::lock_guard<std::mutex> guard(state.listingsLock);
    state.listings.erase(listing.get());
    state.volume->Close(listing->handle);
  }
}

// One part of a listing: the entries from offset on that fit in buffer, read from the
// driver as far as needed; their bytes are counted in *used. With readdirplus each entry
// carries its attributes and counts as a lookup of its number. Returns an error only when
// no entry could be given.
int FillListing(fuse_req_t request, Listing* listing, off_t offset, bool plus, std::vector<char>* buffer,
                size_t* used) {
  std::lock_guard<std::mutex> guard(listing->lock);
  for (size_t i = size_t(std::max<off_t>(offset, 0));; i++) {
    if (i == listing->entries.size()) {
      const size_t had = listing->entries.size();
      if (!listing->ended) {
        if (const int error = State(request).volume->NextEntries(listing->handle, &listing->entries)) {
          return *used == 0 ? error : 0;
        }
      }
      listing->ended = listing->entries.size() == had;
      if (listing->ended) return 0;
    }
    const DriverListed& listed = listing->entries[i];
    // "." and "..": listed without a node, as the kernel resolves them itself.
    const bool dot = i < 2;
    fuse_entry_param entry{};
    if (dot) {
      entry.attr.st_mode = S_IFDIR;
    } else {
      entry = EntryOf(listed.attributes);
    }
    char* at = buffer->data() + *used;
    const size_t room = buffer->size() - *used;
    const size_t needed = plus ? fuse_add_direntry_plus(request, at, room, listed.name.c_str(), &entry, off_t(i + 1))
                               : fuse_add_direntry(request, at, room, listed.name.c_str(), &entry.attr, off_t(i + 1));
    if (needed > room) return 0;
    *used += needed;
    if (plus && !dot) Remember(State(request), entry.ino, ChildPath(listing->path, listed.name.c_str()));
  }
}

// Replies with one part of a listing. The listing's lock is given back before the reply:
// once it is sent, the kernel may release the listing, and another thread free it.
void ReplyListing(fuse_req_t request, size_t size, off_t offset, struct fuse_file_info* file, bool plus) {
  std::vector<char> buffer(size);
  size_t used = 0;
  if (const int error = FillListing(request, reinterpret_cast<Listing*>(file->fh), offset, plus, &buffer, &used)) {
    fuse_reply_err(request, error);
    return;
  }
  fuse_reply_buf(request, buffer.data(), used);
}

void ReadDir(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, struct fuse_file_info* file) {
  ReplyListing(request, size, offset, file, false);
}

void ReadDirPlus(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, struct fuse_file_info* file) {
  ReplyListing(request, size, offset, file, true);
}

void ReleaseDir(fuse_req_t request, fuse_ino_t, struct fuse_file_info* file) {
  std::unique_ptr<Listing> listing(reinterpret_cast<Listing*>(file->fh));
  {
    std::lock_guard<std::mutex> guard(State(request).listingsLock);
    State(request).listings.erase(listing.get());
  }
  State(request).volume->Close(listing->handle);
  fuse_reply_err(request, 0);
}

void Open(fuse_req_t request, fuse_ino_t number, struct fuse_file_info* file) {
  if ((file->flags & O_ACCMODE) != O_RDONLY) {
    fuse_reply_err(request, EROFS);
    return;
  }
  std::string path;
  if (!PathOf(request, number, &path)) {
    fuse_reply_err(request, ESTALE);
    return;
  }
  const bool direct = (file->flags & O_DIRECT) != 0;
  DriverVolume* volume = State(request).volume;  // the reply ends the request
  DriverVolume::Open* open = nullptr;
  if (const int error = volume->OpenFile(path, direct, &open)) {
    fuse_reply_err(request, error);
    return;
  }
  file->fh = reinterpret_cast<uint64_t>(open);
  // Reads of an O_DIRECT open reach the driver every time; others may be kept.
  file->direct_io = direct;
  file->keep_cache = !direct;
  if (fuse_reply_open(request, file) != 0) volume->Close(open);
}

void Read(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, struct fuse_file_info* file) {
  char* bytes = reinterpret_cast<char*>(ReadBuffer::ForThisThread(size));
  size_t got = 0;
  auto* open = reinterpret_cast<DriverVolume::Open*>(file->fh);
  if (const int error = State(request).volume->Read(open, uint64_t(std::max<off_t>(offset, 0)), bytes, size, &got)) {
    fuse_reply_err(request, error);
    return;
  }
  fuse_reply_buf(request, bytes, got);
}

void Release(fuse_req_t request, fuse_ino_t, struct fuse_file_info* file) {
  State(request).volume->Close(reinterpret_cast<DriverVolume::Open*>(file->fh));
  fuse_reply_err(request, 0);
}

void StatFs(fuse_req_t request, fuse_ino_t) {
  DriverSpace space;
  if (const int error = State(request).volume->Space(&space)) {
    fuse_reply_err(request, error);
    return;
  }
  struct statvfs out {};
  out.f_bsize = space.blockSize;
  out.f_frsize = space.blockSize;
  out.f_blocks = space.blocks;
  out.f_bfree = space.freeBlocks;
  out.f_bavail = space.freeBlocks;
  out.f_namemax = space.nameMax;
  out.f_flag = ST_RDONLY;
  fuse_reply_statfs(request, &out);
}

fuse_lowlevel_ops Operations() {
  fuse_lowlevel_ops ops{};
  ops.init = Init;
  ops.lookup = Lookup;
  ops.forget = ForgetOne;
  ops.forget_multi = ForgetMany;
  ops.getattr = GetAttr;
  ops.opendir = OpenDir;
  ops.readdir = ReadDir;
  ops.readdirplus = ReadDirPlus;
  ops.releasedir = ReleaseDir;
  ops.open = Open;
  ops.read = Read;
  ops.release = Release;
  ops.statfs = StatFs;
  return ops;
}

// The mount point, for the bug-check hook: a system that stops takes its mount with it
// rather than leave a mount point whose every use fails.
char stoppingMountPoint[PATH_MAX];

void DetachOnBugCheck(ULONG, const ULONG_PTR[4]) { Detach(stoppingMountPoint); }

// Mounts, attaches the volume, calls ready, and serves until the end; then dismounts
// the volume through the driver and reports what it left behind.
ExitCode Serve(const Options& o, const std::function<void()>& ready) {
  // The image is named absolutely: the background mount leaves the working folder.
  char* absolute = realpath(o.operands[0].c_str(), nullptr);
  if (absolute == nullptr) throw ReadFailure(ExitCode::CannotOpen, errno, "cannot open " + o.operands[0]);
  const std::string image = absolute;
  std::free(absolute);
  DriverMountState state{};
  // FUSE is mounted first: it blocks the signals that end the mount, and the driver's
  // worker threads, started next, inherit the mask.
  FuseMount mount(FuseArguments(o, image, "quadrel-driver"), Operations(), &state, o.operands[1]);
  if (realpath(o.operands[1].c_str(), stoppingMountPoint) != nullptr) HkSetBugCheckHook(DetachOnBugCheck);
  DriverVolume volume(image, o.cdrom);
  state.volume = &volume;
  ready();
  const bool served = mount.Serve();
  // The dismount closes the handles of listings never released.
  for (Listing* listing : state.listings) delete listing;
  const std::string left = volume.Dismount();
  if (!left.empty()) {
    std::fprintf(stderr, "quadrel: the driver left behind at dismount:\n%s", left.c_str());
    return ExitCode::Partial;
  }
  if (o.debug) std::fprintf(stderr, "quadrel: the driver left nothing behind at dismount\n");
  return served ? ExitCode::Ok : ExitCode::MountFailed;
}

// Leaves the terminal once the mount stands: the child serves, and the parent ends with
// the child's verdict on the mount (its failure's status and message, or success).
// FUSE's own way to the background forks after the mount, which would leave the
// driver's threads behind; this one forks before anything starts.
ExitCode ServeInBackground(const Options& o) {
  int verdict[2];
  if (pipe2(verdict, O_CLOEXEC) != 0) throw ReadFailure(ExitCode::MountFailed, errno, "cannot go to the background");
  const pid_t child = fork();
  if (child < 0) throw ReadFailure(ExitCode::MountFailed, errno, "cannot go to the background");
  if (child > 0) {
    close(verdict[1]);
    std::string message;
    char chunk[512];
    for (ssize_t n; (n = read(verdict[0], chunk, sizeof chunk)) > 0;) message.append(chunk, size_t(n));
    close(verdict[0]);
    if (message.empty()) throw ReadFailure(ExitCode::MountFailed, EIO, "the mount ended before it stood");
    const auto code = ExitCode(uint8_t(message[0]));
    if (code != ExitCode::Ok) throw ReadFailure(code, EIO, message.substr(1));
    return ExitCode::Ok;
  }
  close(verdict[0]);
  setsid();
  // The verdict is told once: after it, the pipe's descriptor may name another file.
  const auto tell = [&](ExitCode code, const std::string& text) {
    if (verdict[1] < 0) return;
    const std::string message = char(code) + text;
    [[maybe_unused]] const ssize_t written = write(verdict[1], message.data(), message.size());
    close(std::exchange(verdict[1], -1));
  };
  try {
    _exit(int(Serve(o, [&] {
      tell(ExitCode::Ok, "");
      const int null = open("/dev/null", O_RDWR);
      for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(null, fd);
      if (null > STDERR_FILENO) close(null);
      [[maybe_unused]] const int changed = chdir("/");
    })));
  } catch (const ReadFailure& failure) {
    tell(failure.code(), failure.what());
    _exit(int(failure.code()));
  } catch (const std::exception& e) {
    tell(ExitCode::MountFailed, e.what());
    _exit(int(ExitCode::MountFailed));
  }
}

}  // namespace

ExitCode RunDriverMount(const Options& o) {
  CheckMountPoint(o.operands[1]);
  if (o.foreground || o.debug) return Serve(o, [] {});
  return ServeInBackground(o);
}
