// The destination file of a download: created afresh, written in order, others may
// read it meanwhile.
#pragma once

#include <cstdio>
#include <filesystem>

namespace qdrl {

// Raised when the destination file cannot be created, written or closed.
struct HtFileError {};

class CHtFile {
 public:
  // Creates the file, truncating an existing one.
  explicit CHtFile(const std::filesystem::path& path);
  ~CHtFile();
  CHtFile(const CHtFile&) = delete;
  CHtFile& operator=(const CHtFile&) = delete;

  void Write(const char* data, std::size_t n);
  // Closes the file; raises when the last data could not be written.
  void Close();

 private:
  std::FILE* file_ = nullptr;
};

}  // namespace qdrl
