// Helpers of the mount tests: `quadrel mount -f` running for the life of an object, and
// find's and sha256sum's view of a mounted tree.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "HostTestSupport.h"

namespace hosttest {

// Why FUSE mounts cannot run here, or empty.
std::string WhyFuseIsMissing();

// Waits at most seconds for the child pid to end; true, with its status, when it did.
bool ProcessEndsWithin(pid_t pid, int seconds, int* status);

// `quadrel mount -f [ARGS] IMAGE MOUNTPOINT` running in the background for the life of
// the object; unmounted with fusermount3 at the end.
class Mounted {
 public:
  explicit Mounted(const fs::path& image, const std::vector<std::string>& args = {});
  ~Mounted();
  Mounted(const Mounted&) = delete;
  Mounted& operator=(const Mounted&) = delete;

  bool ok() const { return mounted_; }
  pid_t pid() const { return pid_; }
  // Waits at most seconds for the daemon to end; true, with its wait status, when it did.
  bool EndsWithin(int seconds, int* status = nullptr);
  bool IsMounted() const { return IsMountPoint(); }
  std::string errors() const { return ReadFile(scratch_ / "stderr"); }
  const fs::path& path() const { return mountPoint_; }

 private:
  bool IsMountPoint() const;

  ScratchDir scratch_;
  fs::path mountPoint_ = scratch_ / "mnt";
  pid_t pid_ = -1;
  bool started_ = false;
  bool mounted_ = false;
};

#define REQUIRE_MOUNT(m)                                                             \
  if (const std::string why = WhyFuseIsMissing(); !why.empty()) GTEST_SKIP() << why; \
  if (!(m).ok()) GTEST_SKIP() << "FUSE cannot mount here: " << (m).errors()

struct FoundEntry {
  std::string type, target;
  uint64_t size = 0, inode = 0, links = 0;
};

// find's view of the mount: path -> type, size, inode, link count, link target.
std::map<std::string, FoundEntry> FindAll(const fs::path& root);

// The digest sha256sum prints for file.
std::string Sha256Sum(const fs::path& file);

}  // namespace hosttest
