#include "TextCodes.h"

namespace qdrl {

namespace {

template <class Char>
Char AsciiLower(Char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<Char>(c + ('a' - 'A')) : c;
}

template <class Char>
bool EqualIgnoringCase(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

template <class Char>
bool StartsIgnoringCase(std::basic_string_view<Char> text, std::basic_string_view<Char> prefix) {
  return text.size() >= prefix.size() && EqualIgnoringCase(text.substr(0, prefix.size()), prefix);
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

bool EqualsIgnoringCase(std::string_view a, std::string_view b) { return EqualIgnoringCase(a, b); }

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return StartsIgnoringCase(text, prefix);
}

bool StartsWithIgnoringCase(std::u16string_view text, std::u16string_view prefix) {
  return StartsIgnoringCase(text, prefix);
}

std::string AsciiLowered(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) c = AsciiLower(c);
  return lowered;
}

std::optional<std::string> AsciiOnly(std::u16string_view text) {
  std::string ascii;
  for (const char16_t c : text) {
    if (c == 0 || c >= 0x80) return std::nullopt;
    ascii += static_cast<char>(c);
  }
  return ascii;
}

std::optional<std::vector<char32_t>> CodePoints(std::u16string_view text) {
  std::vector<char32_t> points;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (IsHighSurrogate(c)) {
      if (i + 1 == text.size() || !IsLowSurrogate(text[i + 1])) return std::nullopt;
      points.push_back(0x10000 + ((char32_t{c} - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (IsLowSurrogate(c)) {
      return std::nullopt;
    } else {
      points.push_back(c);
    }
  }
  return points;
}

}  // namespace qdrl
