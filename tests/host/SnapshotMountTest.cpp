// A snapshot mounted with `quadrel mount --snapshot`: the mount shows exactly the
// snapshot's tree, file bytes and attributes. Skips when this machine cannot mount FUSE
// file systems.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>

#include "HostTestSupport.h"
#include "ImageWriter.h"
#include "SnapshotScenario.h"

namespace {

using namespace hosttest;
namespace sc = snapshot_scenario;

std::string WhyMountsCannotRun() {
  if (access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse is not available";
  if (RunProgram({"sh", "-c", "command -v fusermount3"}).status != 0) return "fusermount3 is not installed";
  return "";
}

std::vector<std::string> TreeUnder(const fs::path& root) {
  std::vector<std::string> paths;
  for (const auto& e : fs::recursive_directory_iterator(root)) paths.push_back(fs::relative(e.path(), root).string());
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::string Attribute(const fs::path& file, const std::string& name) {
  char value[64];
  const ssize_t n = getxattr(file.c_str(), name.c_str(), value, sizeof value);
  return n < 0 ? "(absent)" : std::string(value, size_t(n));
}

TEST(SnapshotMount, EachSnapshotMountsAsItsOwnTree) {
  if (const std::string why = WhyMountsCannotRun(); !why.empty()) GTEST_SKIP() << why;
  ScratchDir dir;
  const std::string image = (dir / "snapshots.img").string();
  apfsw::WriteImage(sc::Spec(), image);
  const fs::path mountPoint = dir / "mnt";
  fs::create_directory(mountPoint);
  for (const sc::State& state : sc::States()) {
    SCOPED_TRACE(state.snapshot.empty() ? "live" : state.snapshot);
    std::vector<std::string> args = {"mount", image, mountPoint.string()};
    if (!state.snapshot.empty()) args.insert(args.begin() + 1, {"--snapshot", state.snapshot});
    const Result mounted = Quadrel(args);
    if (mounted.status == 10) GTEST_SKIP() << "FUSE cannot mount here: " << mounted.err;
    ASSERT_EQ(mounted.status, 0) << mounted.err;
    std::vector<std::string> expected = state.directories;
    for (const sc::File& f : state.files) {
      expected.push_back(f.path);
      EXPECT_EQ(ReadFile(mountPoint / f.path), f.content) << f.path;
      for (const auto& [name, value] : f.xattrs) EXPECT_EQ(Attribute(mountPoint / f.path, "user." + name), value);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(TreeUnder(mountPoint), expected);
    ASSERT_EQ(RunProgram({"fusermount3", "-u", mountPoint.string()}).status, 0);
  }
}

}  // namespace
