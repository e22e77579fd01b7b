#include "Idna.h"

#include <idna.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

namespace qdrl {

namespace {

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Code points with surrogate pairs combined, ending in 0; none on a lone surrogate.
std::optional<std::vector<std::uint32_t>> CodePoints(std::u16string_view text) {
  std::vector<std::uint32_t> points;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c == 0) return std::nullopt;
    if (IsHighSurrogate(c)) {
      if (i + 1 == text.size() || !IsLowSurrogate(text[i + 1])) return std::nullopt;
      points.push_back(0x10000 + ((std::uint32_t{c} - 0xD800) << 10) + (text[i + 1] - 0xDC00u));
      ++i;
    } else if (IsLowSurrogate(c)) {
      return std::nullopt;
    } else {
      points.push_back(c);
    }
  }
  points.push_back(0);
  return points;
}

}  // namespace

std::optional<std::string> IdnaToAscii(std::u16string_view host) {
  const auto points = CodePoints(host);
  if (!points) return std::nullopt;
  char* output = nullptr;
  if (idna_to_ascii_4z(points->data(), &output, IDNA_ALLOW_UNASSIGNED) != IDNA_SUCCESS) {
    return std::nullopt;
  }
  const std::unique_ptr<char, decltype(&std::free)> owned(output, &std::free);
  std::string ascii(output);
  for (const char c : ascii) {
    if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
  }
  return ascii;
}

}  // namespace qdrl
