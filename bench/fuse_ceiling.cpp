// The ceiling of any FUSE reader on this machine: a daemon that serves one file, the bytes
// [OFFSET, OFFSET + SIZE) of an image file, through the same FUSE session, options and
// reply mechanism as quadrel's mount (reads spliced from the image file), and does
// nothing else: no lookups beyond the one name, no tree, no extents.
//
//   fuse_ceiling IMAGE OFFSET SIZE MOUNTPOINT [-o OPTIONS]
//
// serves MOUNTPOINT/data in the foreground until unmounted; the bench reads the mount's
// files as ratios to this daemon's reads of the same bytes. OPTIONS are FUSE mount options
// added to the mount's own, as `quadrel mount -o` adds them, so that a tuning tried on the
// mount is tried on the ceiling too.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuseMount.h"

namespace {

constexpr fuse_ino_t DATA_INODE = 2;
constexpr char DATA_NAME[] = "data";

struct Served {
  int image = -1;
  uint64_t offset = 0;
  uint64_t size = 0;
};

const Served& ServedOf(fuse_req_t request) { return *static_cast<const Served*>(fuse_req_userdata(request)); }

struct stat AttributesOf(fuse_ino_t inode, const Served& served) {
  struct stat attributes {};
  attributes.st_ino = inode;
  attributes.st_nlink = inode == FUSE_ROOT_ID ? 2 : 1;
  attributes.st_mode = inode == FUSE_ROOT_ID ? S_IFDIR | 0555 : S_IFREG | 0444;
  attributes.st_size = inode == FUSE_ROOT_ID ? 0 : off_t(served.size);
  attributes.st_blocks = (attributes.st_size + 511) / 512;
  return attributes;
}

void Init(void*, struct fuse_conn_info* connection) {
  connection->want |= connection->capable & (FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE);
}

void Lookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
  if (parent != FUSE_ROOT_ID || std::strcmp(name, DATA_NAME) != 0) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  fuse_entry_param entry{};
  entry.ino = DATA_INODE;
  entry.attr = AttributesOf(DATA_INODE, ServedOf(request));
  entry.attr_timeout = entry.entry_timeout = 3600;
  fuse_reply_entry(request, &entry);
}

void GetAttr(fuse_req_t request, fuse_ino_t inode, struct fuse_file_info*) {
  const struct stat attributes = AttributesOf(inode, ServedOf(request));
  fuse_reply_attr(request, &attributes, 3600);
}

void Open(fuse_req_t request, fuse_ino_t inode, struct fuse_file_info* file) {
  if (inode != DATA_INODE) {
    fuse_reply_err(request, EISDIR);
    return;
  }
  file->keep_cache = 1;
  fuse_reply_open(request, file);
}

// The one piece of the image that holds the range, spliced to the kernel.
void Read(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, struct fuse_file_info*) {
  const Served& served = ServedOf(request);
  const uint64_t start = std::min<uint64_t>(uint64_t(std::max<off_t>(offset, 0)), served.size);
  fuse_bufvec data = FUSE_BUFVEC_INIT(std::min<uint64_t>(size, served.size - start));
  data.buf[0].flags = fuse_buf_flags(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK | FUSE_BUF_FD_RETRY);
  data.buf[0].fd = served.image;
  data.buf[0].pos = off_t(served.offset + start);
  fuse_reply_data(request, &data, FUSE_BUF_SPLICE_MOVE);
}

bool ParseNumber(const char* text, uint64_t* value) {
  char* end = nullptr;
  errno = 0;
  *value = std::strtoull(text, &end, 0);
  return errno == 0 && end != text && *end == 0;
}

}  // namespace

int main(int argc, char** argv) {
  Served served;
  const bool withOptions = argc == 7 && std::strcmp(argv[5], "-o") == 0;
  if ((argc != 5 && !withOptions) || !ParseNumber(argv[2], &served.offset) || !ParseNumber(argv[3], &served.size)) {
    std::fprintf(stderr, "usage: fuse_ceiling IMAGE OFFSET SIZE MOUNTPOINT [-o OPTIONS]\n");
    return 2;
  }
  served.image = open(argv[1], O_RDONLY | O_CLOEXEC);
  if (served.image < 0) {
    std::fprintf(stderr, "fuse_ceiling: cannot open %s: %s\n", argv[1], std::strerror(errno));
    return 3;
  }
  fuse_lowlevel_ops ops{};
  ops.init = Init;
  ops.lookup = Lookup;
  ops.getattr = GetAttr;
  ops.open = Open;
  ops.read = Read;
  try {
    std::string options = "ro,default_permissions,fsname=ceiling,subtype=ceiling";
    if (withOptions) options += std::string(",") + argv[6];
    FuseMount mount({"fuse_ceiling", "-o", options}, ops, &served, argv[4]);
    return mount.Serve() ? 0 : 1;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "fuse_ceiling: %s\n", failure.what());
    return 10;
  }
}
