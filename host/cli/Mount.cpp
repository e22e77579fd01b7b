// quadrel mount: the volume as a read-only FUSE file system.
//
// The mount speaks FUSE's inode-level protocol: the kernel names each file by its inode
// number, and a request loads what it needs by that number. Nothing is kept per file
// between requests but for open files, so the mount's memory does not grow with the
// files the kernel has seen, and no request walks a path from the root. An open
// compressed file keeps its chunk table and its last few decoded chunks, bounded per
// file, so that readers of different files do not evict each other's chunks.
//
// FUSE runs requests on several threads at once. Each request borrows a Session of its
// own from the VolumeReader, so no engine tree or node is ever used by two threads.
//
// Listings carry every entry's attributes (readdirplus), so that a walk costs the kernel
// a few requests per directory rather than a lookup per entry. File data that lies in the
// image file as it is is spliced from the image to the kernel without being copied
// through this process.
#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ApfsFormat.h"
#include "Commands.h"
#include "EntryName.h"
#include "FuseMount.h"
#include "ReadBuffer.h"
#include "VolumeReader.h"

namespace {

constexpr char USER_PREFIX[] = "user.";
// The image never changes under the mount, so the kernel may cache for long.
constexpr double CACHE_SECONDS = 3600;
// The volume numbers its root directory 2 and gives 1 to the root's parent, which no
// directory lists; FUSE numbers the root 1. The two numbers trade places between them.
constexpr uint64_t VOLUME_ROOT = 2;
// The C library sizes the buffer it lists a directory into by the directory's preferred
// I/O size, and the kernel asks for listings in parts of that size: a large one brings a
// directory of thousands of entries in one request instead of dozens.
constexpr blksize_t DIRECTORY_IO_SIZE = 1 << 20;

uint64_t TradeRootNumbers(uint64_t number) {
  if (number == VOLUME_ROOT) return FUSE_ROOT_ID;
  if (number == FUSE_ROOT_ID) return VOLUME_ROOT;
  return number;
}
fuse_ino_t FuseNumber(uint64_t inodeNumber) { return TradeRootNumbers(inodeNumber); }
uint64_t InodeNumber(fuse_ino_t fuseNumber) { return TradeRootNumbers(fuseNumber); }

struct MountState {
  VolumeReader* volume;
  ContainerSummary container;
  const ImageDevice* device;
  std::mutex reportedLock;  // guards reported
  std::set<std::pair<uint64_t, std::string>> reported;  // entries left out, by directory and name
};

MountState& State(fuse_req_t request) { return *static_cast<MountState*>(fuse_req_userdata(request)); }

// Runs a request. Its body replies and returns 0, or returns the errno to answer with;
// what it throws is answered with the failure's errno.
template <typename Body>
void Serve(fuse_req_t request, Body body) {
  int error = EIO;
  try {
    error = body();
    if (error == 0) return;
  } catch (const ReadFailure& failure) {
    if (failure.code() == ExitCode::Corrupt) std::fprintf(stderr, "quadrel: %s\n", failure.what());
    error = failure.errnoValue();
  } catch (const std::bad_alloc&) {
    error = ENOMEM;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quadrel: %s\n", e.what());
  }
  fuse_reply_err(request, error);
}

struct timespec Timespec(uint64_t nanoseconds) {
  return {time_t(nanoseconds / 1000000000), long(nanoseconds % 1000000000)};
}

// Attributes as stat reports them: st_ino is the volume's own inode number.
struct stat StatOf(const MountState& state, const PosixStat& st) {
  struct stat out {};
  out.st_ino = st.inode;
  out.st_mode = st.mode;
  out.st_nlink = st.nlink;
  out.st_uid = st.uid;
  out.st_gid = st.gid;
  out.st_size = off_t(st.size);
  out.st_blocks = blkcnt_t((st.allocated + 511) / 512);
  out.st_blksize = S_ISDIR(st.mode) ? DIRECTORY_IO_SIZE : blksize_t(state.container.blockSize);
  out.st_rdev = makedev(st.rdevMajor, st.rdevMinor);
  out.st_atim = Timespec(st.accessNs);
  out.st_mtim = Timespec(st.modifyNs);
  out.st_ctim = Timespec(st.changeNs);
  return out;
}

fuse_entry_param EntryOf(const MountState& state, const PosixStat& st) {
  fuse_entry_param entry{};
  entry.ino = FuseNumber(st.inode);
  entry.attr = StatOf(state, st);
  entry.attr_timeout = CACHE_SECONDS;
  entry.entry_timeout = CACHE_SECONDS;
  return entry;
}

// "." and "..": listed with their inode numbers but no node, as the kernel resolves them
// itself.
fuse_entry_param DotEntry(uint64_t inodeNumber) {
  fuse_entry_param entry{};
  entry.attr.st_ino = inodeNumber;
  entry.attr.st_mode = S_IFDIR;
  return entry;
}

void Init(void*, struct fuse_conn_info* connection) {
  // Attributes with every listing, for every part of it, not only its first.
  connection->want |= connection->capable & FUSE_CAP_READDIRPLUS;
  connection->want &= ~unsigned(FUSE_CAP_READDIRPLUS_AUTO);
  connection->want |= connection->capable & (FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE);
}

Inode* LoadInode(fuse_req_t request, Session& session, fuse_ino_t number) {
  return session.LoadInode(State(request).volume->ObjectId(InodeNumber(number)));
}

void Lookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
  Serve(request, [&] {
    const MountState& state = State(request);
    auto session = state.volume->Borrow();
    const NodeRef directory = session->OpenNumber(InodeNumber(parent));
    fuse_entry_param entry{};
    try {
      const NodeRef child = session->Child(directory, name);
      entry = EntryOf(state, session->Stat(child.inode()));
    } catch (const ReadFailure& failure) {
      if (failure.errnoValue() != ENOENT) throw;
      // The kernel remembers that the name is absent: an entry without a node.
      entry.entry_timeout = CACHE_SECONDS;
    }
    fuse_reply_entry(request, &entry);
    return 0;
  });
}

void GetAttr(fuse_req_t request, fuse_ino_t number, struct fuse_file_info*) {
  Serve(request, [&] {
    auto session = State(request).volume->Borrow();
    const struct stat st = StatOf(State(request), session->Stat(LoadInode(request, *session, number)));
    fuse_reply_attr(request, &st, CACHE_SECONDS);
    return 0;
  });
}

void ReadLink(fuse_req_t request, fuse_ino_t number) {
  Serve(request, [&] {
    auto session = State(request).volume->Borrow();
    Inode* inode = LoadInode(request, *session, number);
    if ((Le16(inode->value + INODE_MODE) & S_IFMT_MASK) != MODE_LNK) return EINVAL;
    fuse_reply_readlink(request, session->SymlinkTarget(inode).c_str());
    return 0;
  });
}

// A directory's entries with their attributes, taken when it is opened: the kernel asks
// for a listing in parts, each starting at the offset where the last one ended.
struct DirListing {
  std::vector<std::pair<std::string, fuse_entry_param>> entries;  // "." and ".." first
};

// Logs an entry whose name cannot be a file name, the first time a listing leaves it out.
void ReportLeftOut(MountState& state, uint64_t directory, const std::string& name) {
  std::lock_guard<std::mutex> guard(state.reportedLock);
  if (state.reported.emplace(directory, name).second) {
    std::fprintf(stderr, "quadrel: %s\n", UnusableName("inode " + std::to_string(directory), name).what());
  }
}

void OpenDir(fuse_req_t request, fuse_ino_t number, struct fuse_file_info* file) {
  Serve(request, [&] {
    MountState& state = State(request);
    auto session = state.volume->Borrow();
    const NodeRef directory = session->OpenNumber(InodeNumber(number));
    if (!directory.isDirectory()) return ENOTDIR;
    auto listing = std::make_unique<DirListing>();
    const uint64_t self = InodeNumber(number);
    const uint64_t parent = self == VOLUME_ROOT ? self : Le64(directory.inode()->value + INODE_PARENT_ID);
    listing->entries.emplace_back(".", DotEntry(self));
    listing->entries.emplace_back("..", DotEntry(parent & OBJ_ID_MASK));
    const std::vector<std::string> leftOut = session->List(directory.get(), [&](Listed&& listed) {
      listing->entries.emplace_back(std::move(listed.name), EntryOf(state, session->Stat(listed.inode.get())));
    });
    for (const std::string& name : leftOut) ReportLeftOut(state, self, name);
    file->fh = reinterpret_cast<uint64_t>(listing.get());
    file->keep_cache = 1;
    if (fuse_reply_open(request, file) == 0) listing.release();
    return 0;
  });
}

// One part of a listing: the entries from offset on that fit in size bytes. With
// readdirplus each entry carries its attributes, and the kernel needs no lookup for it.
void ReplyListing(fuse_req_t request, size_t size, off_t offset, struct fuse_file_info* file, bool plus) {
  Serve(request, [&] {
    const auto* listing = reinterpret_cast<const DirListing*>(file->fh);
    std::vector<char> buffer(size);
    size_t used = 0;
    for (size_t i = size_t(std::max<off_t>(offset, 0)); i < listing->entries.size(); i++) {
      const auto& [name, entry] = listing->entries[i];
      char* at = buffer.data() + used;
      const size_t room = size - used;
      const size_t needed = plus ? fuse_add_direntry_plus(request, at, room, name.c_str(), &entry, off_t(i + 1))
                                 : fuse_add_direntry(request, at, room, name.c_str(), &entry.attr, off_t(i + 1));
      if (needed > room) break;
      used += needed;
    }
    fuse_reply_buf(request, buffer.data(), used);
    return 0;
  });
}

void ReadDir(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, struct fuse_file_info* file) {
  ReplyListing(request, size, offset, file, false);
}

void ReadDirPlus(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, struct fuse_file_info* file) {
  ReplyListing(request, size, offset, file, true);
}

void ReleaseDir(fuse_req_t request, fuse_ino_t, struct fuse_file_info* file) {
  delete reinterpret_cast<DirListing*>(file->fh);
  fuse_reply_err(request, 0);
}

// What an open file keeps between its reads.
struct OpenFile {
  uint64_t objectId = 0;
  std::unique_ptr<CompressedFile> compressed;
};

void Open(fuse_req_t request, fuse_ino_t number, struct fuse_file_info* file) {
  Serve(request, [&] {
    if ((file->flags & O_ACCMODE) != O_RDONLY) return EROFS;
    auto session = State(request).volume->Borrow();
    Inode* inode = LoadInode(request, *session, number);
    auto open = std::make_unique<OpenFile>();
    open->objectId = inode->objectId;
    // A compressed file of a kind that cannot be decoded fails here, with the reason.
    if (Session::IsCompressed(inode)) open->compressed = session->OpenCompressed(inode);
    file->fh = reinterpret_cast<uint64_t>(open.get());
    file->keep_cache = 1;
    if (fuse_reply_open(request, file) == 0) open.release();
    return 0;
  });
}

void Release(fuse_req_t request, fuse_ino_t, struct fuse_file_info* file) {
  delete reinterpret_cast<OpenFile*>(file->fh);
  fuse_reply_err(request, 0);
}

using BufvecPtr = std::unique_ptr<fuse_bufvec, decltype(&std::free)>;

BufvecPtr NewBufvec(size_t pieces) {
  const size_t bytes = sizeof(fuse_bufvec) + (std::max<size_t>(pieces, 1) - 1) * sizeof(fuse_buf);
  BufvecPtr list(static_cast<fuse_bufvec*>(std::calloc(1, bytes)), std::free);
  if (list == nullptr) throw std::bad_alloc();
  list->count = std::max<size_t>(pieces, 1);
  return list;
}

// The pieces of the image file that hold the bytes offset to end of a file, in order;
// empty when any of them is a hole or is not in the file as it is.
std::vector<fuse_buf> FilePieces(const ImageDevice& device, Session& session, Inode* inode, uint64_t offset,
                                 uint64_t end) {
  std::vector<fuse_buf> pieces;
  bool whole = true;
  session.ForEachRun(inode, offset, end, [&](const Session::Run& run) {
    uint64_t fileOffset = 0;
    whole = run.physical >= 0 && device.FileRange(uint64_t(run.physical), run.length, &fileOffset);
    if (!whole) return false;
    fuse_buf piece{};
    piece.size = run.length;
    piece.flags = fuse_buf_flags(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK | FUSE_BUF_FD_RETRY);
    piece.fd = device.fileDescriptor();
    piece.pos = off_t(fileOffset);
    pieces.push_back(piece);
    return true;
  });
  if (!whole) pieces.clear();
  return pieces;
}

void Read(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, struct fuse_file_info* file) {
  Serve(request, [&] {
    const MountState& state = State(request);
    auto session = state.volume->Borrow();
    OpenFile& open = *reinterpret_cast<OpenFile*>(file->fh);
    Inode* inode = session->LoadInode(open.objectId);
    const uint64_t fileSize = session->DataSize(inode);
    const uint64_t start = std::min<uint64_t>(uint64_t(std::max<off_t>(offset, 0)), fileSize);
    const uint64_t end = std::min<uint64_t>(fileSize, start + size);
    // A compressed file's bytes are decoded and an encrypted one's decrypted, never spliced
    // from the image.
    const std::vector<fuse_buf> pieces =
        Session::IsCompressed(inode) || VolumeDecrypts(inode->volume) ? std::vector<fuse_buf>() : FilePieces(*state.device, *session, inode, start, end);
    if (!pieces.empty()) {
      BufvecPtr list = NewBufvec(pieces.size());
      std::copy(pieces.begin(), pieces.end(), list->buf);
      // Replies by itself, with an error when the image file cannot be read.
      fuse_reply_data(request, list.get(), FUSE_BUF_SPLICE_MOVE);
      return 0;
    }
    // Holes, and data past the end of a short image, are read here.
    uint8_t* bytes = ReadBuffer::ForThisThread(end - start);
    size_t got;
    if (open.compressed != nullptr) {
      got = session->ReadCompressed(inode, *open.compressed, start, bytes, end - start);
    } else {
      got = session->Read(inode, start, bytes, end - start);
    }
    fuse_reply_buf(request, reinterpret_cast<const char*>(bytes), got);
    return 0;
  });
}

void StatFs(fuse_req_t request, fuse_ino_t) {
  const ContainerSummary& c = State(request).container;
  struct statvfs out {};
  out.f_bsize = c.blockSize;
  out.f_frsize = c.blockSize;
  out.f_blocks = c.blockCount;
  out.f_bfree = c.freeBlocks;
  out.f_bavail = c.freeBlocks;
  out.f_namemax = FsMaxNameLength();
  out.f_flag = ST_RDONLY;
  fuse_reply_statfs(request, &out);
}

// Answers an attribute request: the length wanted when size is 0, the bytes when they
// fit; ERANGE when they do not.
int ReplyAttributeBytes(fuse_req_t request, const void* bytes, size_t length, size_t size) {
  if (size != 0 && size < length) return ERANGE;
  if (size == 0) {
    fuse_reply_xattr(request, length);
  } else {
    fuse_reply_buf(request, static_cast<const char*>(bytes), length);
  }
  return 0;
}

// Attribute names appear in the user namespace: APFS names carry no namespace, and
// user. is the one every Linux program may read.
void ListXattr(fuse_req_t request, fuse_ino_t number, size_t size) {
  Serve(request, [&] {
    auto session = State(request).volume->Borrow();
    std::string names;
    for (const Xattr& x : session->Xattrs(LoadInode(request, *session, number))) names += USER_PREFIX + x.name + '\0';
    return ReplyAttributeBytes(request, names.data(), names.size(), size);
  });
}

void GetXattr(fuse_req_t request, fuse_ino_t number, const char* name, size_t size) {
  Serve(request, [&] {
    if (std::strncmp(name, USER_PREFIX, sizeof USER_PREFIX - 1) != 0) return ENODATA;
    auto session = State(request).volume->Borrow();
    Inode* inode = LoadInode(request, *session, number);
    const std::string stored = name + sizeof USER_PREFIX - 1;
    bool visible = false;
    for (const Xattr& x : session->Xattrs(inode)) visible |= x.name == stored;
    if (!visible) return ENODATA;
    const std::vector<uint8_t> bytes = session->XattrValue(inode, stored);
    return ReplyAttributeBytes(request, bytes.data(), bytes.size(), size);
  });
}

fuse_lowlevel_ops Operations() {
  fuse_lowlevel_ops ops{};
  ops.init = Init;
  ops.lookup = Lookup;
  ops.getattr = GetAttr;
  ops.readlink = ReadLink;
  ops.opendir = OpenDir;
  ops.readdir = ReadDir;
  ops.readdirplus = ReadDirPlus;
  ops.releasedir = ReleaseDir;
  ops.open = Open;
  ops.read = Read;
  ops.release = Release;
  ops.statfs = StatFs;
  ops.listxattr = ListXattr;
  ops.getxattr = GetXattr;
  return ops;
}

}  // namespace

ExitCode RunMount(const Options& o) {
  ApfsImage image(o.operands[0]);
  VolumeReader volume(image, o.volume, o.snapshot);
  const std::string& mountPoint = o.operands[1];
  CheckMountPoint(mountPoint);
  // Borrowing once before FUSE starts checks that the volume's root can be read.
  { auto session = volume.Borrow(); }
  MountState state{&volume, image.summary(), &image.device(), {}, {}};
  FuseMount mount(FuseArguments(o, image.path(), "quadrel"), Operations(), &state, mountPoint);
  if (fuse_daemonize(o.foreground || o.debug ? 1 : 0) != 0) {
    throw ReadFailure(ExitCode::MountFailed, EIO, "cannot go to the background");
  }
  return mount.Serve() ? ExitCode::Ok : ExitCode::MountFailed;
}
