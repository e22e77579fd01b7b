// The update description file (".PUD"): which version is offered, where its installer
// lies and the installer's MD5 digest, as the data of a checksummed block file.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "../Version.h"
#include "SafeDataFile.h"

namespace qdrl {

struct UpdateDescription {
  static constexpr std::size_t kTableSize = 8192;

  ProductVersion version;
  std::u16string description;  // shown on the wizard's first page
  std::u16string secondText;
  std::array<std::uint8_t, 16> secondBlock{};
  std::u16string downloadUrl;
  Md5Digest installerChecksum{};
  std::u16string installerExtension;  // without the dot, for example "exe"
  std::vector<std::uint8_t> tableA;
  std::vector<std::uint8_t> tableB;
};

// Reads the file at path into record; on any failure returns false and leaves record
// as it was. `reason`, when given, tells why in words meant for logs, not users.
bool ReadUpdateDescription(const std::filesystem::path& path, UpdateDescription& record,
                           std::string* reason = nullptr);

}  // namespace qdrl
