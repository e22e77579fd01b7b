// URLs of the update download: normalising, parsing and the texts a request is made of.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qdrl {

struct ParsedUrl {
  bool secure = false;             // "https://" rather than "http://"
  std::u16string hostWide;         // host as written, without brackets
  std::string hostAscii;           // host after the host-text rule (numeric or IDNA)
  bool bracketed = false;          // host was written in brackets (IPv6)
  int port = 0;                    // explicit port, else the scheme's default
  std::string path;                // UTF-8, percent-encoded
  std::optional<std::string> query;  // text after "?", what HTTP does not allow escaped
};

// UTF-16 to UTF-8 and back; none on a lone surrogate or malformed UTF-8.
std::optional<std::string> Utf16ToUtf8(std::u16string_view text);
std::optional<std::u16string> Utf8ToUtf16(std::string_view text);

// True for "http://" or "https://" at the start, ignoring case.
bool HasHttpScheme(std::u16string_view url);

// Trims blanks and line ends, drops line ends inside and makes sure an http(s) URL has
// a "/" after its authority.
std::u16string NormaliseUrl(std::u16string_view url);

// Parses a normalised URL; none when it is invalid.
std::optional<ParsedUrl> ParseUrl(std::u16string_view url);

// A host as the Host field and the redirect comparison know it: numeric addresses as
// typed (IPv6 without its scope id), other names through IDNA ToASCII. None when the
// name cannot be converted.
std::optional<std::string> UrlHostAscii(std::u16string_view host);

// Keeps letters, digits, "-", "." and "_" and the characters of keep; a space becomes
// "+"; every other byte becomes "%XX".
std::string PercentEncode(std::string_view bytes, std::string_view keep);

// "[host]" when bracketed, else the ASCII host.
std::string HostText(const ParsedUrl& url);
// The host text with ":port" unless the port is the scheme's default.
std::string HostString(const ParsedUrl& url);
// Path, and "?" and the query when there is one.
std::string RequestTarget(const ParsedUrl& url);
// Scheme, host string and request target.
std::string AbsoluteUrl(const ParsedUrl& url);

}  // namespace qdrl
