// Error numbers of the socket and TLS layers, and how system failures map to them.
#pragma once

#include <cstdint>

#include "ErrorNumber.h"

namespace qdrl {

// Category 2: failures of the socket layer itself. The socket operations use the
// indexes of create, connect, select, send and receive as their operation codes.
enum class SocketFailure : std::uint16_t {
  kHostNotFound = 1,      // "Cannot find server or DNS Error."
  kCreate = 2,            // "Create socket error."
  kConnect = 3,           // "Connect error."
  kSelectTimeout = 4,     // "Select error timeout."
  kSelect = 5,            // "Select error."
  kSend = 6,              // "Send error."
  kConnectionClosed = 7,  // "Connection unexpectedly closed."
  kReceive = 8,           // "Receive error."
};

constexpr ErrorNumber SocketError(SocketFailure failure) {
  return MakeErrorNumber(2, static_cast<std::uint16_t>(failure));
}

// The number of a failed Windows Sockets call: a listed Windows Sockets error code
// (category 1) gives its own number, any other the category-2 error of the operation.
ErrorNumber MapSocketError(int windowsSocketsCode, SocketFailure operation);

// Category 3: what OpenSSL's error kind (SSL_get_error) of a failed TLS call says.
ErrorNumber MapTlsError(int sslErrorKind);

inline constexpr ErrorNumber kErrorTlsSocket = MakeErrorNumber(3, 1);  // "SSL socket error."

}  // namespace qdrl
