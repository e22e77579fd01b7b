#include "SocketAddress.h"

#include <cstring>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#endif

#include "TextCodes.h"

namespace qdrl {

namespace {

std::optional<SocketAddress> ParseIpv4(const std::string& text) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return std::nullopt;
  SocketAddress address;
  address.ipv4 = true;
  address.ipv4Address = ntohl(parsed.s_addr);
  return address;
}

// A scope is a decimal interface index (the only form Windows knows).
std::optional<std::uint32_t> ParseScope(const std::string& text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  std::uint32_t scope = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    scope = scope * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return scope;
}

std::optional<SocketAddress> ParseIpv6(const std::string& text) {
  const auto percent = text.find('%');
  std::uint32_t scope = 0;
  if (percent != std::string::npos) {
    const auto parsedScope = ParseScope(text.substr(percent + 1));
    if (!parsedScope) return std::nullopt;
    scope = *parsedScope;
  }
  in6_addr parsed{};
  if (inet_pton(AF_INET6, text.substr(0, percent).c_str(), &parsed) != 1) return std::nullopt;
  SocketAddress address;
  address.ipv4 = false;
  std::memcpy(address.ipv6Address.data(), &parsed, 16);
  address.ipv6Scope = scope;
  return address;
}

}  // namespace

int ToSystemAddress(const SocketAddress& address, SocketAddressBuffer& buffer) {
  buffer.fill(0);
  if (address.ipv4) {
    sockaddr_in ipv4{};
    ipv4.sin_family = AF_INET;
    ipv4.sin_port = htons(address.port);
    ipv4.sin_addr.s_addr = htonl(address.ipv4Address);
    std::memcpy(buffer.data(), &ipv4, sizeof(ipv4));
    return sizeof(ipv4);
  }
  sockaddr_in6 ipv6{};
  ipv6.sin6_family = AF_INET6;
  ipv6.sin6_port = htons(address.port);
  std::memcpy(&ipv6.sin6_addr, address.ipv6Address.data(), 16);
  ipv6.sin6_scope_id = address.ipv6Scope;
  std::memcpy(buffer.data(), &ipv6, sizeof(ipv6));
  return sizeof(ipv6);
}

std::optional<SocketAddress> FromSystemAddress(const void* system, std::size_t length) {
  sockaddr_storage storage{};
  if (length > sizeof(storage)) return std::nullopt;
  std::memcpy(&storage, system, length);
  SocketAddress address;
  if (storage.ss_family == AF_INET && length == sizeof(sockaddr_in)) {
    const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(storage);
    address.ipv4 = true;
    address.ipv4Address = ntohl(ipv4.sin_addr.s_addr);
    address.port = ntohs(ipv4.sin_port);
    return address;
  }
  if (storage.ss_family == AF_INET6 && length == sizeof(sockaddr_in6)) {
    const auto& ipv6 = reinterpret_cast<const sockaddr_in6&>(storage);
    address.ipv4 = false;
    std::memcpy(address.ipv6Address.data(), &ipv6.sin6_addr, 16);
    address.ipv6Scope = ipv6.sin6_scope_id;
    address.port = ntohs(ipv6.sin6_port);
    return address;
  }
  return std::nullopt;
}

std::optional<SocketAddress> ParseNumericAddress(std::u16string_view host) {
  const auto ascii = AsciiOnly(host);
  if (!ascii) return std::nullopt;
  if (auto ipv4 = ParseIpv4(*ascii)) return ipv4;
  return ParseIpv6(*ascii);
}

bool QueryHostAddress(const std::string& asciiName, bool wantIpv4, SocketAddress& out) {
  addrinfo hints{};
  hints.ai_family = wantIpv4 ? AF_INET : AF_INET6;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(asciiName.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  const auto address = FromSystemAddress(found->ai_addr, found->ai_addrlen);
  ::freeaddrinfo(found);
  if (!address || address->ipv4 != wantIpv4) return false;
  out = *address;
  return true;
}

}  // namespace qdrl
