#include "Version.h"

#include <algorithm>
#include <cwchar>

namespace qdrl {

ProductVersion ProductVersion::FromFixedInfo(std::uint32_t mostSignificant,
                                             std::uint32_t leastSignificant) {
  return {mostSignificant >> 16, mostSignificant & 0xFFFF, leastSignificant >> 16,
          leastSignificant & 0xFFFF};
}

VersionBytes ToBytes(const ProductVersion& version) {
  VersionBytes bytes{};
  const std::uint32_t parts[] = {version.major, version.minor, version.third, version.fourth};
  for (std::size_t part = 0; part < 4; ++part) {
    for (std::size_t byte = 0; byte < 4; ++byte) {
      bytes[part * 4 + byte] = static_cast<std::uint8_t>(parts[part] >> (8 * byte));
    }
  }
  return bytes;
}

ProductVersion FromBytes(const VersionBytes& bytes) {
  auto part = [&bytes](std::size_t index) {
    std::uint32_t value = 0;
    for (std::size_t byte = 0; byte < 4; ++byte) {
      value |= std::uint32_t{bytes[index * 4 + byte]} << (8 * byte);
    }
    return value;
  };
  return {part(0), part(1), part(2), part(3)};
}

std::uint32_t VersionNumber(const ProductVersion& version) {
  return version.major * 1000 + version.minor * 100 + version.third * 10 + version.fourth;
}

std::wstring DisplayVersion(const ProductVersion& version) {
  wchar_t text[48];
  std::swprintf(text, std::size(text), L"%u.%u%u", version.major, version.minor, version.third);
  return text;
}

bool HasRequiredTranslation(std::span<const Translation> table) {
  return std::any_of(table.begin(), table.end(), [](const Translation& entry) {
    return entry.language == kRequiredTranslation.language &&
           entry.codePage == kRequiredTranslation.codePage;
  });
}

std::wstring StringFileInfoPath(Translation translation, std::wstring_view name) {
  wchar_t prefix[40];
  std::swprintf(prefix, std::size(prefix), L"\\StringFileInfo\\%04x%04x\\",
                unsigned{translation.language}, unsigned{translation.codePage});
  return std::wstring(prefix).append(name);
}

std::wstring ModuleDirectory(std::wstring_view modulePath) {
  const auto lastBackslash = modulePath.rfind(L'\\');
  if (lastBackslash == std::wstring_view::npos) return {};
  return std::wstring(modulePath.substr(0, lastBackslash + 1));
}

}  // namespace qdrl
