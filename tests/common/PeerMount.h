// Another project's FUSE reader of APFS as tests run it: `fsapfsmount -X ro IMAGE DIR`
// (with `-f VOLUME`, counted from 1, for one volume of several) for the life of the
// object, unmounted with fusermount3 at the end.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

class PeerMount {
 public:
  PeerMount(const std::filesystem::path& image, const std::filesystem::path& at, int volume = 0) : at_(at) {
    std::filesystem::create_directories(at);
    struct stat before {};
    stat(at.c_str(), &before);
    const std::string index = std::to_string(volume);
    pid_ = volume == 0 ? Spawn({"fsapfsmount", "-X", "ro", image.c_str(), at.c_str()})
                       : Spawn({"fsapfsmount", "-f", index.c_str(), "-X", "ro", image.c_str(), at.c_str()});
    for (int tries = 0; tries < 100 && !mounted_; ++tries) {
      struct stat now {};
      mounted_ = stat(at.c_str(), &now) == 0 && now.st_dev != before.st_dev;
      if (!mounted_) usleep(50000);
    }
  }
  ~PeerMount() {
    int status = 0;
    waitpid(Spawn({"fusermount3", "-u", at_.c_str()}), &status, 0);
    for (int tries = 0; tries < 200; ++tries) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) return;
      usleep(50000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  PeerMount(const PeerMount&) = delete;
  PeerMount& operator=(const PeerMount&) = delete;

  bool ok() const { return mounted_; }
  const std::filesystem::path& path() const { return at_; }

  static bool Installed() { return std::system("command -v fsapfsmount >/dev/null 2>&1") == 0; }

 private:
  // Runs argv with its output dropped; returns its process id.
  static pid_t Spawn(std::initializer_list<const char*> argv) {
    const pid_t pid = fork();
    if (pid == 0) {
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      std::vector<char*> args;
      for (const char* a : argv) args.push_back(const_cast<char*>(a));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    return pid;
  }

  std::filesystem::path at_;
  pid_t pid_ = -1;
  bool mounted_ = false;
};
