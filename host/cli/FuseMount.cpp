// The FUSE session: mounting, the request loop on its own thread, and the end.
#include "FuseMount.h"

#include <poll.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <thread>
#include <utility>

#include "Failure.h"
// Last: it defines BLOCK_SIZE, a name other system headers use.
#include <sys/mount.h>

extern char** environ;

namespace {

// How long requests still running at the end may take before the daemon leaves them.
constexpr int GRACE_MILLISECONDS = 2000;

}  // namespace

void Detach(const std::string& mountPoint) {
  if (umount2(mountPoint.c_str(), MNT_DETACH) == 0) return;
  const char* argv[] = {"fusermount3", "-u", "-q", "-z", "--", mountPoint.c_str(), nullptr};
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, const_cast<char* const*>(argv), environ) == 0) {
    waitpid(pid, nullptr, 0);
  }
}

void CheckMountPoint(const std::string& mountPoint) {
  struct stat st {};
  if (stat(mountPoint.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    throw ReadFailure(ExitCode::MountFailed, ENOTDIR, "mount point is not a directory: " + mountPoint);
  }
}

std::vector<std::string> FuseArguments(const Options& o, const std::string& image, const std::string& subtype) {
  std::string fsname;
  for (char c : image) fsname += c == ',' || c == '\\' ? std::string("\\") + c : std::string(1, c);
  std::string mountOptions = "ro,default_permissions,fsname=" + fsname + ",subtype=" + subtype;
  for (const std::string& option : o.mountOptions) mountOptions += "," + option;
  std::vector<std::string> args = {"quadrel", "-o", mountOptions};
  if (o.debug) args.push_back("-d");
  return args;
}

FuseMount::FuseMount(std::vector<std::string> args, const fuse_lowlevel_ops& ops, void* userData,
                     const std::string& mountPoint) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  fuse_args parsed = FUSE_ARGS_INIT(int(argv.size()), argv.data());
  session_ = fuse_session_new(&parsed, &ops, sizeof ops, userData);
  fuse_opt_free_args(&parsed);
  if (session_ == nullptr) Fail("FUSE refused the mount options", mountPoint);
  // Going to the background changes to "/": the mount point is kept absolute.
  char* absolute = realpath(mountPoint.c_str(), nullptr);
  if (absolute == nullptr) Fail("cannot find the mount point", mountPoint);
  mountPoint_ = absolute;
  std::free(absolute);
  sigset_t ending;
  sigemptyset(&ending);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&ending, signal);
  pthread_sigmask(SIG_BLOCK, &ending, &savedMask_);
  signalsBlocked_ = true;
  signals_ = signalfd(-1, &ending, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signals_ < 0 || pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) Fail("cannot wait for signals", mountPoint);
  signal(SIGPIPE, SIG_IGN);
  if (fuse_session_mount(session_, mountPoint_.c_str()) != 0) Fail("FUSE could not mount", mountPoint);
  mounted_ = true;
}

bool FuseMount::Serve() {
  fuse_loop_config* config = fuse_loop_cfg_create();
  if (config == nullptr) throw std::bad_alloc();
  std::atomic<bool> loopEnded{false};
  int result = 0;
  std::thread loop([&] {
    result = fuse_session_loop_mt(session_, config);
    loopEnded = true;
    const char byte = 0;
    [[maybe_unused]] const ssize_t written = write(wake_[1], &byte, 1);
  });
  const End end = WaitForEnd(loopEnded);
  if (end != End::LoopEnded) {
    fuse_session_exit(session_);
    if (end == End::Signal) Detach(mountPoint_);
    if (!WaitForLoop(loopEnded)) {
      std::fprintf(stderr, "quadrel: the mount is still in use (running requests or open files); ending without them\n");
      _exit(int(ExitCode::Ok));
    }
  }
  loop.join();
  fuse_loop_cfg_destroy(config);
  return result >= 0;
}

void FuseMount::Fail(const std::string& why, const std::string& mountPoint) {
  Close();
  throw ReadFailure(ExitCode::MountFailed, EIO, why + ": " + mountPoint);
}

void FuseMount::Close() {
  if (session_ == nullptr) return;
  if (mounted_) fuse_session_unmount(session_);
  fuse_session_destroy(session_);
  session_ = nullptr;
  for (int* fd : {&signals_, &wake_[0], &wake_[1]}) {
    if (*fd >= 0) close(std::exchange(*fd, -1));
  }
  if (signalsBlocked_) pthread_sigmask(SIG_SETMASK, &savedMask_, nullptr);
}

FuseMount::End FuseMount::WaitForEnd(const std::atomic<bool>& loopEnded) {
  for (;;) {
    pollfd watched[3] = {{signals_, POLLIN, 0}, {wake_[0], POLLIN, 0}, {fuse_session_fd(session_), 0, 0}};
    poll(watched, 3, -1);
    signalfd_siginfo received;
    if (read(signals_, &received, sizeof received) == ssize_t(sizeof received)) return End::Signal;
    if (loopEnded) return End::LoopEnded;
    if (watched[2].revents & (POLLERR | POLLHUP)) return End::Unmounted;
  }
}

bool FuseMount::WaitForLoop(const std::atomic<bool>& loopEnded) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(GRACE_MILLISECONDS);
  while (!loopEnded) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd wake{wake_[0], POLLIN, 0};
    poll(&wake, 1, int(left.count()));
  }
  return true;
}
