#include "HtFile.h"

namespace qdrl {

CHtFile::CHtFile(const std::filesystem::path& path) {
#ifdef _WIN32
  file_ = _wfopen(path.c_str(), L"wb");
#else
  file_ = std::fopen(path.c_str(), "wb");
#endif
  if (file_ == nullptr) throw HtFileError{};
}

CHtFile::~CHtFile() {
  if (file_ != nullptr) std::fclose(file_);
}

void CHtFile::Write(const char* data, std::size_t n) {
  if (n != 0 && std::fwrite(data, 1, n, file_) != n) throw HtFileError{};
}

void CHtFile::Close() {
  std::FILE* file = file_;
  file_ = nullptr;
  if (file != nullptr && std::fclose(file) != 0) throw HtFileError{};
}

}  // namespace qdrl
