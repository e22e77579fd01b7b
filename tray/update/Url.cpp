#include "Url.h"

#include <cstdint>
#include <vector>

#include "Idna.h"
#include "SocketAddress.h"
#include "TextCodes.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

namespace qdrl {

namespace {

constexpr std::u16string_view kHttp = u"http://";
constexpr std::u16string_view kHttps = u"https://";

// Length of the scheme and "//" when the URL is http(s), else 0.
std::size_t SchemeLength(std::u16string_view url) {
  if (StartsWithIgnoringCase(url, kHttps)) return kHttps.size();
  if (StartsWithIgnoringCase(url, kHttp)) return kHttp.size();
  return 0;
}

void AppendUtf8(char32_t point, std::string& out) {
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | (point >> 6));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (point >> 18));
    out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

// One code point of UTF-8 at text[i], advancing i; none when malformed, overlong, a
// surrogate or beyond U+10FFFF.
std::optional<char32_t> NextUtf8(std::string_view text, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i++]);
  if (lead < 0x80) return lead;
  int continuation = 0;
  char32_t point = 0;
  char32_t smallest = 0;
  if ((lead & 0xE0) == 0xC0) {
    continuation = 1, point = lead & 0x1F, smallest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    continuation = 2, point = lead & 0x0F, smallest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    continuation = 3, point = lead & 0x07, smallest = 0x10000;
  } else {
    return std::nullopt;
  }
  for (int k = 0; k < continuation; ++k) {
    if (i == text.size()) return std::nullopt;
    const auto next = static_cast<unsigned char>(text[i++]);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    point = (point << 6) | (next & 0x3F);
  }
  if (point < smallest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
    return std::nullopt;
  }
  return point;
}

// An IPv6 address with a scope id, reprinted without it; none for anything else.
std::optional<std::string> Ipv6WithoutScope(std::u16string_view host) {
  const auto address = ParseNumericAddress(host);
  if (!address || address->ipv4 || host.find('%') == std::u16string_view::npos) return std::nullopt;
  char text[INET6_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET6, address->ipv6Address.data(), text, sizeof text) == nullptr) {
    return std::nullopt;
  }
  return std::string(text);
}

// Decimal port 1..65535 with every character a digit.
std::optional<int> ParsePort(std::u16string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  int port = 0;
  for (const char16_t c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + (c - '0');
  }
  if (port < 1 || port > 65535) return std::nullopt;
  return port;
}

struct Authority {
  std::u16string_view host;
  std::optional<std::u16string_view> port;
  bool bracketed = false;
};

std::optional<Authority> SplitAuthority(std::u16string_view authority) {
  Authority parts;
  std::u16string_view afterHost;
  if (!authority.empty() && authority.front() == '[') {
    const auto close = authority.find(']');
    if (close == std::u16string_view::npos) return std::nullopt;
    parts.host = authority.substr(1, close - 1);
    parts.bracketed = true;
    afterHost = authority.substr(close + 1);
    if (!afterHost.empty() && afterHost.front() != ':') return std::nullopt;
  } else {
    const auto colon = authority.find(':');
    parts.host = authority.substr(0, colon);
    if (colon != std::u16string_view::npos) afterHost = authority.substr(colon);
  }
  if (!afterHost.empty()) parts.port = afterHost.substr(1);
  if (parts.host.empty()) return std::nullopt;
  return parts;
}

// What a query keeps as written besides letters, digits and "-._": the rest of what
// RFC 3986 allows there, "%" of escapes already made included. Spaces become "+",
// controls, other ASCII and every non-ASCII byte of the UTF-8 become escapes, so
// that the request line stays one line of allowed characters.
constexpr std::string_view kQueryKeeps = "!$&'()*+,;=:@/?%~";

// Sets path and query from the text that starts at the authority's "/".
bool ParsePathAndQuery(std::u16string_view rest, ParsedUrl& url) {
  const auto question = rest.find('?');
  const auto pathEnd = question != std::u16string_view::npos ? question : rest.find('#');
  const auto utf8Path = Utf16ToUtf8(rest.substr(0, pathEnd));
  if (!utf8Path) return false;
  url.path = PercentEncode(*utf8Path, "/%+");
  if (question == std::u16string_view::npos || question + 1 == rest.size()) return true;
  const auto queryEnd = rest.find('#', question + 1);
  const auto utf8Query = Utf16ToUtf8(rest.substr(question + 1, queryEnd - (question + 1)));
  if (!utf8Query) return false;
  url.query = PercentEncode(*utf8Query, kQueryKeeps);
  return true;
}

}  // namespace

std::optional<std::string> Utf16ToUtf8(std::u16string_view text) {
  const auto points = CodePoints(text);
  if (!points) return std::nullopt;
  std::string utf8;
  for (const char32_t point : *points) AppendUtf8(point, utf8);
  return utf8;
}

std::optional<std::u16string> Utf8ToUtf16(std::string_view text) {
  std::u16string utf16;
  for (std::size_t i = 0; i < text.size();) {
    const auto point = NextUtf8(text, i);
    if (!point) return std::nullopt;
    if (*point >= 0x10000) {
      utf16 += static_cast<char16_t>(0xD800 + ((*point - 0x10000) >> 10));
      utf16 += static_cast<char16_t>(0xDC00 + ((*point - 0x10000) & 0x3FF));
    } else {
      utf16 += static_cast<char16_t>(*point);
    }
  }
  return utf16;
}

bool HasHttpScheme(std::u16string_view url) { return SchemeLength(url) != 0; }

std::u16string NormaliseUrl(std::u16string_view url) {
  const auto first = url.find_first_not_of(u" \t\r\n");
  if (first == std::u16string_view::npos) return {};
  const auto last = url.find_last_not_of(u" \t\r\n");
  std::u16string normal;
  for (const char16_t c : url.substr(first, last - first + 1)) {
    if (c != '\r' && c != '\n') normal += c;
  }
  const std::size_t scheme = SchemeLength(normal);
  if (scheme == 0) return normal;
  auto authorityEnd = normal.find('?', scheme);
  if (authorityEnd == std::u16string::npos) authorityEnd = normal.find('#', scheme);
  if (authorityEnd == std::u16string::npos) authorityEnd = normal.size();
  if (normal.find('/', scheme) >= authorityEnd) normal.insert(authorityEnd, u"/");
  return normal;
}

std::optional<ParsedUrl> ParseUrl(std::u16string_view text) {
  const std::size_t scheme = SchemeLength(text);
  if (scheme == 0) return std::nullopt;
  ParsedUrl url;
  url.secure = scheme == kHttps.size();
  const auto rest = text.substr(scheme);
  const auto slash = rest.find('/');
  if (slash == std::u16string_view::npos) return std::nullopt;
  const auto authority = SplitAuthority(rest.substr(0, slash));
  if (!authority) return std::nullopt;
  url.hostWide = authority->host;
  url.bracketed = authority->bracketed;
  auto ascii = UrlHostAscii(url.hostWide);
  if (!ascii) return std::nullopt;
  url.hostAscii = std::move(*ascii);
  if (authority->port) {
    const auto port = ParsePort(*authority->port);
    if (!port) return std::nullopt;
    url.port = *port;
  } else {
    url.port = url.secure ? 443 : 80;
  }
  if (!ParsePathAndQuery(rest.substr(slash), url)) return std::nullopt;
  return url;
}

std::optional<std::string> UrlHostAscii(std::u16string_view host) {
  if (auto unscoped = Ipv6WithoutScope(host)) return unscoped;
  if (ParseNumericAddress(host)) return AsciiOnly(host);
  return IdnaToAscii(host);
}

std::string PercentEncode(std::string_view bytes, std::string_view keep) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const char c : bytes) {
    const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (alnum || c == '-' || c == '.' || c == '_' || keep.find(c) != std::string_view::npos) {
      encoded += c;
    } else if (c == ' ') {
      encoded += '+';
    } else {
      const auto byte = static_cast<unsigned char>(c);
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 0x0F];
    }
  }
  return encoded;
}

std::string HostText(const ParsedUrl& url) {
  return url.bracketed ? "[" + url.hostAscii + "]" : url.hostAscii;
}

std::string HostString(const ParsedUrl& url) {
  const int defaultPort = url.secure ? 443 : 80;
  if (url.port == defaultPort) return HostText(url);
  return HostText(url) + ":" + std::to_string(url.port);
}

std::string RequestTarget(const ParsedUrl& url) {
  return url.query ? url.path + "?" + *url.query : url.path;
}

std::string AbsoluteUrl(const ParsedUrl& url) {
  return (url.secure ? "https://" : "http://") + HostString(url) + RequestTarget(url);
}

}  // namespace qdrl
