// Helpers of the quadrel command's tests: scratch folders, images written by the image
// writer from manifests, running the built command, and SHA-256 digests.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "RealImageFiles.h"

namespace hosttest {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with its contents.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

// Writes the image a JSON manifest describes (the writer's manifest format).
void WriteImage(const std::string& manifest, const fs::path& image);
// The sample image built with the project.
fs::path SampleImage();
// The contents of the sample's /compressed.txt, as samples/sample.json gives them.
inline constexpr char SAMPLE_COMPRESSED_TEXT[] = "This file is stored compressed with zlib; quadrel decodes it as it reads it.\n";
using testdata::RealImages;

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};
// Runs the built quadrel with args, without a shell, and waits for it.
Result Quadrel(const std::vector<std::string>& args);
// Runs any program with args; stdout and stderr are captured.
Result RunProgram(const std::vector<std::string>& argv);

std::string Sha256(const std::string& bytes);
std::string FileSha256(const fs::path& path);
std::string ReadFile(const fs::path& path);

}  // namespace hosttest
