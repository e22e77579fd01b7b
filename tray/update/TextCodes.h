// Character rules shared by the host-name, URL and HTTP code: ASCII case folding,
// ASCII-only text and the code points of UTF-16.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qdrl {

// Whether the texts are equal with ASCII letters compared without case.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);
bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix);
bool StartsWithIgnoringCase(std::u16string_view text, std::u16string_view prefix);

// text with ASCII upper-case letters made lower-case.
std::string AsciiLowered(std::string_view text);

// The text as 8-bit ASCII; none when it holds a NUL or anything beyond ASCII.
std::optional<std::string> AsciiOnly(std::u16string_view text);

// Code points of UTF-16 text with surrogate pairs combined; none on a lone surrogate.
std::optional<std::vector<char32_t>> CodePoints(std::u16string_view text);

}  // namespace qdrl
