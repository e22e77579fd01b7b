// The real images made by Apple's tools live outside the repository, in
// QUADREL_TESTDATA_DIR beside the facts recorded for each; tests that use them skip
// when the folder is absent.
#pragma once

#include <algorithm>
#include <filesystem>
#include <vector>

namespace testdata {

// Every "*.img" of the folder in name order; none when the folder is absent.
inline std::vector<std::filesystem::path> RealImages() {
  namespace fs = std::filesystem;
  std::vector<fs::path> images;
  if (!fs::is_directory(QUADREL_TESTDATA_DIR)) return images;
  for (const auto& entry : fs::directory_iterator(QUADREL_TESTDATA_DIR)) {
    if (entry.path().extension() == ".img") images.push_back(entry.path());
  }
  std::sort(images.begin(), images.end());
  return images;
}

}  // namespace testdata
