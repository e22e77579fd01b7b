#include "MountSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

extern char** environ;

namespace hosttest {

namespace {

bool Installed(const std::string& program) {
  return RunProgram({"sh", "-c", "command -v " + program}).status == 0;
}

}  // namespace

std::string WhyFuseIsMissing() {
  if (access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse is not available";
  if (!Installed("fusermount3")) return "fusermount3 is not installed";
  if (!Installed("getfattr")) return "getfattr is not installed (Debian package attr)";
  return "";
}

bool ProcessEndsWithin(pid_t pid, int seconds, int* status) {
  for (int i = 0; i < seconds * 40; i++) {
    if (waitpid(pid, status, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

Mounted::Mounted(const fs::path& image, const std::vector<std::string>& extra) {
  fs::create_directory(mountPoint_);
  std::vector<std::string> args = {QUADREL_BINARY, "mount", "-f"};
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(image.string());
  args.push_back(mountPoint_.string());
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (scratch_ / "stderr").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  started_ = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  for (int i = 0; started_ && i < 200 && !IsMountPoint(); i++) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      started_ = false;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  mounted_ = started_ && IsMountPoint();
}

Mounted::~Mounted() {
  if (mounted_) RunProgram({"fusermount3", "-u", mountPoint_.string()});
  if (started_) {
    for (int i = 0; i < 200 && waitpid(pid_, nullptr, WNOHANG) == 0; i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
  }
}

bool Mounted::EndsWithin(int seconds, int* status) {
  if (!ProcessEndsWithin(pid_, seconds, status)) return false;
  started_ = false;
  return true;
}

bool Mounted::IsMountPoint() const {
  struct stat here {}, parent {};
  return stat(mountPoint_.c_str(), &here) == 0 && stat(scratch_.path().c_str(), &parent) == 0 &&
         here.st_dev != parent.st_dev;
}

std::map<std::string, FoundEntry> FindAll(const fs::path& root) {
  const Result r = RunProgram({"find", root.string(), "-mindepth", "1", "-printf", "/%P\\t%y\\t%s\\t%i\\t%n\\t%l\\n"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::map<std::string, FoundEntry> entries;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string path, size, inode, links;
    FoundEntry e;
    std::getline(fields, path, '\t');
    std::getline(fields, e.type, '\t');
    std::getline(fields, size, '\t');
    std::getline(fields, inode, '\t');
    std::getline(fields, links, '\t');
    std::getline(fields, e.target);
    e.size = std::stoull(size);
    e.inode = std::stoull(inode);
    e.links = std::stoull(links);
    entries[path] = e;
  }
  return entries;
}

std::string Sha256Sum(const fs::path& file) {
  const Result r = RunProgram({"sha256sum", file.string()});
  return r.status == 0 ? r.out.substr(0, 64) : "sha256sum failed: " + r.err;
}

}  // namespace hosttest
