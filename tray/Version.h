// The program's version numbers and the rules for reading them from a version resource.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace qdrl {

// Four-part version of the version resource's fixed file information.
struct ProductVersion {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t third = 0;
  std::uint32_t fourth = 0;

  // From the most and least significant double words of the fixed file information.
  static ProductVersion FromFixedInfo(std::uint32_t mostSignificant, std::uint32_t leastSignificant);

  friend bool operator==(const ProductVersion&, const ProductVersion&) = default;
};

// Stored form (registry "SkipUpdate", update description file): the four parts as
// unsigned 32-bit little-endian numbers, major first.
using VersionBytes = std::array<std::uint8_t, 16>;
VersionBytes ToBytes(const ProductVersion& version);
ProductVersion FromBytes(const VersionBytes& bytes);

// Comparable form: major × 1000 + minor × 100 + third × 10 + fourth.
std::uint32_t VersionNumber(const ProductVersion& version);

// The form users see, "%d.%d%d" of major, minor and third: 1.0.2.0 reads "1.02".
std::wstring DisplayVersion(const ProductVersion& version);

// One entry of a version resource's translation table.
struct Translation {
  std::uint16_t language = 0;
  std::uint16_t codePage = 0;
};

inline constexpr Translation kRequiredTranslation{0x0409, 1200};  // US English, UTF-16

bool HasRequiredTranslation(std::span<const Translation> table);

// Query path of a string value: "\StringFileInfo\<language><code page>\<name>".
std::wstring StringFileInfoPath(Translation translation, std::wstring_view name);

// Module path up to and including its last backslash (empty when there is none).
std::wstring ModuleDirectory(std::wstring_view modulePath);

}  // namespace qdrl
