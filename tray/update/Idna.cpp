#include "Idna.h"

#include <idna.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "TextCodes.h"

namespace qdrl {

namespace {

// The code points as the library takes them, ending in 0; none on a lone surrogate
// or a NUL inside the name.
std::optional<std::vector<std::uint32_t>> TerminatedCodePoints(std::u16string_view text) {
  const auto points = CodePoints(text);
  if (!points) return std::nullopt;
  std::vector<std::uint32_t> terminated;
  for (const char32_t point : *points) {
    if (point == 0) return std::nullopt;
    terminated.push_back(point);
  }
  terminated.push_back(0);
  return terminated;
}

}  // namespace

std::optional<std::string> IdnaToAscii(std::u16string_view host) {
  const auto points = TerminatedCodePoints(host);
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
