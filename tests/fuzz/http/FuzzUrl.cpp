// URL text (UTF-8 when the first byte is even, else UTF-16 little-endian) through
// normalising and parsing; what a valid URL parses to must be well formed.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "update/Url.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

std::u16string AsUtf16(const std::uint8_t* data, std::size_t size) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < size; i += 2) text += static_cast<char16_t>(data[i] | data[i + 1] << 8);
  return text;
}

bool IsPathByte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         std::string_view("-._/%+").find(c) != std::string_view::npos;
}

void CheckParsed(const qdrl::ParsedUrl& url) {
  Check(url.port >= 1 && url.port <= 65535);
  Check(!url.path.empty() && url.path.front() == '/');
  for (const char c : url.path) Check(IsPathByte(c));
  if (url.query) {
    for (const char c : *url.query) Check(static_cast<unsigned char>(c) < 0x80);
  }
  for (const char c : url.hostAscii) Check(static_cast<unsigned char>(c) < 0x80);
  const std::string absolute = qdrl::AbsoluteUrl(url);
  Check(absolute.starts_with(url.secure ? "https://" : "http://"));
  Check(absolute.ends_with(qdrl::RequestTarget(url)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::u16string text;
  if (data[0] % 2 == 0) {
    const auto decoded = qdrl::Utf8ToUtf16(bytes);
    if (!decoded) return 0;
    Check(qdrl::Utf16ToUtf8(*decoded) == bytes);
    text = *decoded;
  } else {
    text = AsUtf16(data + 1, size - 1);
  }
  const std::u16string normal = qdrl::NormaliseUrl(text);
  Check(normal.find_first_of(u"\r\n") == std::u16string::npos);
  Check(qdrl::NormaliseUrl(normal) == normal);
  if (const auto url = qdrl::ParseUrl(normal)) CheckParsed(*url);
  return 0;
}
