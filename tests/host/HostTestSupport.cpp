#include "HostTestSupport.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "ImageWriter.h"
#include "Manifest.h"

extern char** environ;

namespace hosttest {

ScratchDir::ScratchDir() {
  std::string pattern = (fs::temp_directory_path() / "quadrel-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void WriteImage(const std::string& manifest, const fs::path& image) {
  apfsw::WriteImage(apfsw::ParseManifest(manifest, ""), image.string());
}

fs::path SampleImage() { return QUADREL_SAMPLE_IMAGE; }

namespace {

// Drains a pipe on its own thread so a chatty child never blocks on a full pipe.
std::thread Drain(int fd, std::string* into) {
  return std::thread([fd, into] {
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) into->append(buffer, size_t(n));
    close(fd);
  });
}

}  // namespace

Result RunProgram(const std::vector<std::string>& argv) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  Result result;
  std::thread outReader = Drain(out[0], &result.out);
  std::thread errReader = Drain(err[0], &result.err);
  int status = 0;
  if (spawned == 0) waitpid(pid, &status, 0);
  outReader.join();
  errReader.join();
  if (spawned != 0) throw std::runtime_error("cannot start " + argv[0]);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

Result Quadrel(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {QUADREL_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv);
}

std::string Sha256(const std::string& bytes) {
  uint8_t digest[32];
  unsigned length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < length; i++) hex += {digits[digest[i] >> 4], digits[digest[i] & 15]};
  return hex;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string FileSha256(const fs::path& path) { return Sha256(ReadFile(path)); }

}  // namespace hosttest
