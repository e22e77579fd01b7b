// quadrel mount: the volume as a read-only FUSE file system.
//
// FUSE runs requests on several threads at once. Each request borrows a Session of its
// own from the VolumeReader, so no engine tree or node is ever used by two threads.
//
// Listings carry every entry's attributes (readdirplus), so that a walk costs the kernel
// a few requests per directory rather than a lookup per entry. File data that lies in the
// image file as it is is spliced from the image to the kernel without being copied
// through this process.
#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "ApfsFormat.h"
#include "Commands.h"
#include "VolumeReader.h"

namespace {

constexpr char USER_PREFIX[] = "user.";
// The image never changes under the mount, so the kernel may cache for long.
constexpr double CACHE_SECONDS = 3600;

struct MountState {
  VolumeReader* volume;
  ContainerSummary container;
  const ImageDevice* device;
};

MountState& State() { return *static_cast<MountState*>(fuse_get_context()->private_data); }

// Runs a request and turns what it throws into a negative errno.
template <typename Body>
int Serve(Body body) {
  try {
    return body();
  } catch (const ReadFailure& failure) {
    if (failure.code() == ExitCode::Corrupt) std::fprintf(stderr, "quadrel: %s\n", failure.what());
    return -failure.errnoValue();
  } catch (const std::bad_alloc&) {
    return -ENOMEM;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quadrel: %s\n", e.what());
    return -EIO;
  }
}

struct timespec Timespec(uint64_t nanoseconds) {
  return {time_t(nanoseconds / 1000000000), long(nanoseconds % 1000000000)};
}

void FillStat(const PosixStat& st, struct stat* out) {
  std::memset(out, 0, sizeof *out);
  out->st_ino = st.inode;
  out->st_mode = st.mode;
  out->st_nlink = st.nlink;
  out->st_uid = st.uid;
  out->st_gid = st.gid;
  out->st_size = off_t(st.size);
  out->st_blocks = blkcnt_t((st.allocated + 511) / 512);
  out->st_blksize = blksize_t(State().container.blockSize);
  out->st_rdev = makedev(st.rdevMajor, st.rdevMinor);
  out->st_atim = Timespec(st.accessNs);
  out->st_mtim = Timespec(st.modifyNs);
  out->st_ctim = Timespec(st.changeNs);
}

void* Init(struct fuse_conn_info* connection, struct fuse_config* config) {
  // Attributes with every listing, for every part of it, not only its first.
  connection->want |= connection->capable & FUSE_CAP_READDIRPLUS;
  connection->want &= ~unsigned(FUSE_CAP_READDIRPLUS_AUTO);
  connection->want |= connection->capable & (FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE);
  config->use_ino = 1;
  config->kernel_cache = 1;
  config->entry_timeout = CACHE_SECONDS;
  config->attr_timeout = CACHE_SECONDS;
  config->negative_timeout = CACHE_SECONDS;
  return fuse_get_context()->private_data;
}

int GetAttr(const char* path, struct stat* out, struct fuse_file_info*) {
  return Serve([&] {
    auto session = State().volume->Borrow();
    NodeRef node = session->Resolve(path);
    FillStat(session->Stat(node.inode()), out);
    return 0;
  });
}

int ReadLink(const char* path, char* buffer, size_t size) {
  return Serve([&] {
    auto session = State().volume->Borrow();
    NodeRef node = session->Resolve(path);
    if ((Le16(node.inode()->value + INODE_MODE) & S_IFMT_MASK) != MODE_LNK) return -EINVAL;
    const std::string target = session->SymlinkTarget(node.inode());
    if (size == 0) return -EINVAL;
    const size_t n = std::min(size - 1, target.size());
    std::memcpy(buffer, target.data(), n);
    buffer[n] = '\0';
    return 0;
  });
}

// A directory's entries with their attributes, taken when a listing starts at its
// beginning and handed out from there: the kernel asks for a listing in parts, each
// starting where the last ended, and each entry must carry its offset for that.
struct DirListing {
  std::vector<std::pair<std::string, struct stat>> entries;  // "." and ".." first, no attributes
};

int OpenDir(const char* path, struct fuse_file_info* file) {
  return Serve([&] {
    auto session = State().volume->Borrow();
    if (!session->Resolve(path).isDirectory()) return -ENOTDIR;
    file->fh = reinterpret_cast<uint64_t>(new DirListing);
    return 0;
  });
}

void TakeListing(const char* path, DirListing* listing) {
  auto session = State().volume->Borrow();
  NodeRef node = session->Resolve(path);
  if (!node.isDirectory()) throw NotADirectory(path);
  listing->entries.clear();
  const struct stat none {};
  listing->entries.emplace_back(".", none);
  listing->entries.emplace_back("..", none);
  session->List(node.get(), [&](Listed&& listed) {
    struct stat st {};
    FillStat(session->Stat(listed.inode.get()), &st);
    listing->entries.emplace_back(std::move(listed.name), st);
  });
}

int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset, struct fuse_file_info* file,
            enum fuse_readdir_flags flags) {
  return Serve([&] {
    auto* listing = reinterpret_cast<DirListing*>(file->fh);
    if (offset == 0 || listing->entries.empty()) TakeListing(path, listing);
    // With readdirplus the attributes go with each entry, and the kernel needs no
    // lookup for it afterwards.
    const auto entryFlags = (flags & FUSE_READDIR_PLUS) ? FUSE_FILL_DIR_PLUS : fuse_fill_dir_flags(0);
    for (size_t i = size_t(std::max<off_t>(offset, 0)); i < listing->entries.size(); i++) {
      const auto& [name, st] = listing->entries[i];
      const bool dots = i < 2;
      if (fill(buffer, name.c_str(), dots ? nullptr : &st, off_t(i + 1), dots ? fuse_fill_dir_flags(0) : entryFlags) != 0) {
        break;
      }
    }
    return 0;
  });
}

int ReleaseDir(const char*, struct fuse_file_info* file) {
  delete reinterpret_cast<DirListing*>(file->fh);
  return 0;
}

int Open(const char* path, struct fuse_file_info* file) {
  return Serve([&] {
    if ((file->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
    auto session = State().volume->Borrow();
    NodeRef node = session->Resolve(path);
    // Compressed files are listed with their size but cannot be read until there is a
    // decompressor.
    if (Le32(node.inode()->value + INODE_BSD_FLAGS) & UF_COMPRESSED) return -EOPNOTSUPP;
    file->fh = node.inode()->objectId;
    file->keep_cache = 1;
    return 0;
  });
}

// A buffer list FUSE frees with free(), as it frees its memory buffers.
fuse_bufvec* NewBufvec(size_t pieces) {
  const size_t bytes = sizeof(fuse_bufvec) + (std::max<size_t>(pieces, 1) - 1) * sizeof(fuse_buf);
  auto* list = static_cast<fuse_bufvec*>(std::calloc(1, bytes));
  if (list == nullptr) throw std::bad_alloc();
  list->count = std::max<size_t>(pieces, 1);
  return list;
}

// The pieces of the image file that hold the bytes offset to end of a file, in order;
// empty when any of them is a hole or is not in the file as it is.
std::vector<fuse_buf> FilePieces(Session& session, Inode* inode, uint64_t offset, uint64_t end) {
  const ImageDevice& device = *State().device;
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

int ReadBuf(const char*, fuse_bufvec** out, size_t size, off_t offset, struct fuse_file_info* file) {
  return Serve([&] {
    auto session = State().volume->Borrow();
    Inode* inode = session->LoadInode(file->fh);
    const uint64_t fileSize = session->DataSize(inode);
    const uint64_t start = std::min<uint64_t>(uint64_t(offset), fileSize);
    const uint64_t end = std::min<uint64_t>(fileSize, start + size);
    std::vector<fuse_buf> pieces = FilePieces(*session, inode, start, end);
    if (!pieces.empty()) {
      *out = NewBufvec(pieces.size());
      std::copy(pieces.begin(), pieces.end(), (*out)->buf);
      return 0;
    }
    // Holes, and data past the end of a short image, are read here.
    std::unique_ptr<void, decltype(&std::free)> bytes(std::malloc(std::max<uint64_t>(end - start, 1)), std::free);
    if (bytes == nullptr) throw std::bad_alloc();
    const size_t got = session->Read(inode, start, bytes.get(), end - start);
    fuse_bufvec* list = NewBufvec(1);
    list->buf[0].mem = bytes.release();
    list->buf[0].size = got;
    *out = list;
    return 0;
  });
}

int StatFs(const char*, struct statvfs* out) {
  const ContainerSummary& c = State().container;
  std::memset(out, 0, sizeof *out);
  out->f_bsize = c.blockSize;
  out->f_frsize = c.blockSize;
  out->f_blocks = c.blockCount;
  out->f_bfree = c.freeBlocks;
  out->f_bavail = c.freeBlocks;
  out->f_namemax = FsMaxNameLength();
  out->f_flag = ST_RDONLY;
  return 0;
}

// Attribute names appear in the user namespace: APFS names carry no namespace, and
// user. is the one every Linux program may read.
int ListXattr(const char* path, char* list, size_t size) {
  return Serve([&] {
    auto session = State().volume->Borrow();
    NodeRef node = session->Resolve(path);
    std::string names;
    for (const Xattr& x : session->Xattrs(node.inode())) names += USER_PREFIX + x.name + '\0';
    if (size == 0) return int(names.size());
    if (size < names.size()) return -ERANGE;
    std::memcpy(list, names.data(), names.size());
    return int(names.size());
  });
}

int GetXattr(const char* path, const char* name, char* value, size_t size) {
  return Serve([&] {
    if (std::strncmp(name, USER_PREFIX, sizeof USER_PREFIX - 1) != 0) return -ENODATA;
    auto session = State().volume->Borrow();
    NodeRef node = session->Resolve(path);
    const std::string stored = name + sizeof USER_PREFIX - 1;
    bool visible = false;
    for (const Xattr& x : session->Xattrs(node.inode())) visible |= x.name == stored;
    if (!visible) return -ENODATA;
    const std::vector<uint8_t> bytes = session->XattrValue(node.inode(), stored);
    if (size == 0) return int(bytes.size());
    if (size < bytes.size()) return -ERANGE;
    std::memcpy(value, bytes.data(), bytes.size());
    return int(bytes.size());
  });
}

fuse_operations Operations() {
  fuse_operations ops{};
  ops.init = Init;
  ops.getattr = GetAttr;
  ops.readlink = ReadLink;
  ops.opendir = OpenDir;
  ops.readdir = ReadDir;
  ops.releasedir = ReleaseDir;
  ops.open = Open;
  ops.read_buf = ReadBuf;
  ops.statfs = StatFs;
  ops.listxattr = ListXattr;
  ops.getxattr = GetXattr;
  return ops;
}

}  // namespace

ExitCode RunMount(const Options& o) {
  ApfsImage image(o.operands[0]);
  VolumeReader volume(image, o.volume);
  const std::string& mountPoint = o.operands[1];
  struct stat st {};
  if (stat(mountPoint.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    throw ReadFailure(ExitCode::MountFailed, ENOTDIR, "mount point is not a directory: " + mountPoint);
  }
  // Borrowing once before FUSE starts checks that the volume's root can be read.
  { auto session = volume.Borrow(); }
  MountState state{&volume, image.summary(), &image.device()};
  std::string fsname;
  for (char c : image.path()) fsname += c == ',' || c == '\\' ? std::string("\\") + c : std::string(1, c);
  std::string mountOptions = "ro,default_permissions,fsname=" + fsname + ",subtype=quadrel";
  for (const std::string& option : o.mountOptions) mountOptions += "," + option;
  std::vector<std::string> args = {"quadrel", mountPoint, "-o", mountOptions};
  if (o.foreground) args.push_back("-f");
  if (o.debug) args.push_back("-d");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  const fuse_operations ops = Operations();
  const int result = fuse_main(int(argv.size()), argv.data(), &ops, &state);
  return result == 0 ? ExitCode::Ok : ExitCode::MountFailed;
}
