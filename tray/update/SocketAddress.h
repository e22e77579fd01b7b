// The address a socket connects to, and numeric host addresses.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qdrl {

struct SocketAddress {
  bool ipv4 = true;
  std::uint32_t ipv4Address = 0;  // host byte order
  std::array<std::uint8_t, 16> ipv6Address{};
  std::uint32_t ipv6Scope = 0;
  std::uint16_t port = 0;
};

// Large enough for either form of system socket address.
using SocketAddressBuffer = std::array<std::uint8_t, 28>;

// The system's socket address (IPv4: 16 bytes, IPv6: 28 bytes) with port and IPv4
// address in network byte order; returns its length.
int ToSystemAddress(const SocketAddress& address, SocketAddressBuffer& buffer);
// Back from a system socket address; none for other families or lengths.
std::optional<SocketAddress> FromSystemAddress(const void* address, std::size_t length);

// A numeric IPv4 address ("192.0.2.1"), else a numeric IPv6 address ("2001:db8::1",
// with an optional "%scope"); none for anything else. The port is 0.
std::optional<SocketAddress> ParseNumericAddress(std::u16string_view host);

// Asks the system's resolver (hosts file and DNS) for an ASCII host name's first
// address of the wanted family. On Windows this is getaddrinfo too: Wine has no
// name-space query functions (WSALookupServiceBegin), and getaddrinfo asks the same
// sources.
bool QueryHostAddress(const std::string& asciiName, bool wantIpv4, SocketAddress& out);

}  // namespace qdrl
