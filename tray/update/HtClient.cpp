#include "HtClient.h"

#include <openssl/evp.h>

namespace qdrl {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

std::string_view MethodName(HtMethod method) {
  switch (method) {
    case HtMethod::kHead: return "HEAD";
    case HtMethod::kPostUrlEncoded:
    case HtMethod::kPostMultipart: return "POST";
    default: return "GET";
  }
}

std::string Base64(std::string_view bytes) {
  std::string encoded(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                     reinterpret_cast<const unsigned char*>(bytes.data()),
                                     static_cast<int>(bytes.size()));
  encoded.resize(static_cast<std::size_t>(length));
  return encoded;
}

// Trimmed, non-empty parts of a Set-Cookie value.
std::vector<std::string_view> CookieParts(std::string_view value) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto semicolon = value.find(';');
    const auto part = TrimBlanks(value.substr(0, semicolon));
    if (!part.empty()) parts.push_back(part);
    if (semicolon == std::string_view::npos) return parts;
    value.remove_prefix(semicolon + 1);
  }
}

}  // namespace

void HtProgress::AddConnectTime(std::uint32_t milliseconds) {
  const std::lock_guard hold(connectTimesLock_);
  connectTimes_.push_back(milliseconds);
}

std::vector<std::uint32_t> HtProgress::ConnectTimes() const {
  const std::lock_guard hold(connectTimesLock_);
  return connectTimes_;
}

void HtProgress::Reset() {
  stage = kIdle;
  total = -1;
  received = 0;
  status = 0;
}

void CHtCookieStore::Store(std::string_view setCookie, const ParsedUrl& url) {
  const auto parts = CookieParts(setCookie);
  if (parts.empty()) return;
  const auto equals = parts.front().find('=');
  if (equals == std::string_view::npos || equals == 0) return;
  Cookie cookie{std::string(parts.front().substr(0, equals)),
                std::string(parts.front().substr(equals + 1)), url.path, url.hostAscii};
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const auto part = parts[i];
    if (StartsWithIgnoringCase(part, "domain=")) {
      cookie.domain = part.substr(7);
    } else if (StartsWithIgnoringCase(part, "path=")) {
      cookie.path = part.substr(5);
    } else if (!EqualsIgnoringCase(part, "secure") && !StartsWithIgnoringCase(part, "expires=")) {
      return;
    }
  }
  cookie.domain = AsciiLowered(cookie.domain);
  const std::lock_guard hold(lock_);
  for (auto& stored : cookies_) {
    if (stored.name == cookie.name && stored.domain == cookie.domain && stored.path == cookie.path) {
      stored = std::move(cookie);
      return;
    }
  }
  cookies_.push_back(std::move(cookie));
}

std::optional<std::string> CHtCookieStore::Text(const ParsedUrl& url) const {
  const std::string host = AsciiLowered(url.hostAscii);
  std::string text;
  const std::lock_guard hold(lock_);
  for (const auto& cookie : cookies_) {
    if (host.ends_with(cookie.domain) && url.path.starts_with(cookie.path)) {
      if (!text.empty()) text += "; ";
      text += cookie.name + "=" + cookie.value;
    }
  }
  if (text.empty()) return std::nullopt;
  return text;
}

std::optional<std::string> BasicCredentials(std::u16string_view user, std::u16string_view password) {
  const auto userUtf8 = Utf16ToUtf8(user);
  const auto passwordUtf8 = Utf16ToUtf8(password);
  if (!userUtf8 || !passwordUtf8) return std::nullopt;
  return "Basic " + Base64(*userUtf8 + ":" + *passwordUtf8);
}

std::string FormatUserAgent(std::u16string_view productName, const ProductVersion& version,
                            unsigned osMajor, unsigned osMinor) {
  const std::string name = Utf16ToUtf8(productName).value_or(std::string());
  return name + " " + std::to_string(static_cast<int>(version.major)) + "." +
         std::to_string(static_cast<int>(version.minor)) +
         std::to_string(static_cast<int>(version.third)) + "." +
         std::to_string(static_cast<int>(version.fourth)) + " 64-bit; Windows NT " +
         std::to_string(osMajor) + "." + std::to_string(osMinor);
}

std::string BuildRequestHead(HtMethod method, const ParsedUrl& url, const std::string& userAgent,
                             const HtProxy* proxy, const std::string& formHeaders,
                             const std::optional<std::string>& cookies) {
  std::string head(MethodName(method));
  if (proxy == nullptr) {
    head += " " + RequestTarget(url) + " HTTP/1.1\r\nHost: " + HostString(url) +
            "\r\nAccept: */*\r\nAccept-Encoding: \r\nUser-Agent: " + userAgent + "\r\n";
  } else {
    head += " " + AbsoluteUrl(url) + " HTTP/1.0\r\nAccept: */*\r\nUser-Agent: " + userAgent + "\r\n";
    if (proxy->authenticate) {
      const auto credentials = BasicCredentials(proxy->user, proxy->password);
      if (!credentials) throw kErrorProxyCredentials;
      head += "Proxy-Authorization: " + *credentials + "\r\n";
    }
  }
  head += formHeaders;
  if (cookies) head += "Cookie: " + *cookies + "\r\n";
  head += proxy != nullptr ? "Proxy-Connection: Keep-Alive\r\n" : "Connection: Keep-Alive\r\n";
  head += kLineEnd;
  return head;
}

std::uint32_t HtTickCount() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

}  // namespace qdrl
