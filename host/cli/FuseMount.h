// The FUSE session of a mount, shared by the engine's mount and the driver's: mounting,
// serving requests on several threads, and ending on unmount or a signal.
#pragma once

#ifndef FUSE_USE_VERSION
#define FUSE_USE_VERSION 312
#endif
#include <fuse_lowlevel.h>
#include <signal.h>

#include <atomic>
#include <string>
#include <vector>

#include "Options.h"

// The mount point, checked to be a directory; throws ReadFailure(MountFailed) otherwise.
void CheckMountPoint(const std::string& mountPoint);

// FUSE's command line for a read-only mount of image: the file-system name, the subtype
// and the user's -o options, and -d for debug output.
std::vector<std::string> FuseArguments(const Options& options, const std::string& image, const std::string& subtype);

// Detaches the file system from its mount point even while it is in use (a lazy
// unmount): directly when this process may, else through fusermount3, as FUSE does for
// users.
void Detach(const std::string& mountPoint);

// The FUSE session, mounted, for the life of the object.
//
// SIGTERM, SIGINT and SIGHUP end the mount. They are blocked on every thread and read
// from a signalfd by the thread that waits for the end: a handler could run on a thread
// held in a long request (a huge or hostile directory, an image file on a stalled disk)
// and never be called.
class FuseMount {
 public:
  FuseMount(std::vector<std::string> args, const fuse_lowlevel_ops& ops, void* userData,
            const std::string& mountPoint);
  ~FuseMount() { Close(); }
  FuseMount(const FuseMount&) = delete;
  FuseMount& operator=(const FuseMount&) = delete;

  // Serves requests until the file system is unmounted or a signal ends it; false when
  // reading requests failed.
  //
  // FUSE's loop returns only once every request has finished. It therefore runs on a
  // thread of its own, and this thread waits for the end: a signal detaches the file
  // system, whose connection then ends and with it the loop; requests still running
  // after a grace period are left, and the process ends without them. Nothing is lost:
  // the mount writes nothing.
  bool Serve();

 private:
  enum class End { LoopEnded, Signal, Unmounted };

  [[noreturn]] void Fail(const std::string& why, const std::string& mountPoint);
  void Close();
  // Waits for a signal, the end of the connection (the kernel reports an error on the
  // FUSE device once the file system is unmounted) or the end of the loop.
  End WaitForEnd(const std::atomic<bool>& loopEnded);
  // Waits at most the grace period for the loop to end; false when it did not.
  bool WaitForLoop(const std::atomic<bool>& loopEnded);

  fuse_session* session_ = nullptr;
  std::string mountPoint_;
  bool mounted_ = false;
  bool signalsBlocked_ = false;
  sigset_t savedMask_{};
  int signals_ = -1;        // signalfd of the signals that end the mount
  int wake_[2] = {-1, -1};  // written when the loop ends
};
