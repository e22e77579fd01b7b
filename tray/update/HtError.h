// Error numbers of the HTTP layer and the socket-layer numbers it acts on.
#pragma once

#include "ErrorNumber.h"
#include "SocketError.h"

namespace qdrl {

inline constexpr ErrorNumber kErrorConnectionClosed = SocketError(SocketFailure::kConnectionClosed);

// Transfer errors.
inline constexpr ErrorNumber kErrorProxyCredentials = MakeErrorNumber(8, 1);
inline constexpr ErrorNumber kErrorBadResponseHead = MakeErrorNumber(8, 4);
inline constexpr ErrorNumber kErrorBadChunkedEncoding = MakeErrorNumber(8, 5);
inline constexpr ErrorNumber kErrorBadContentLength = MakeErrorNumber(8, 6);
inline constexpr ErrorNumber kErrorFileIo = MakeErrorNumber(8, 7);
inline constexpr ErrorNumber kErrorBodyTooLarge = MakeErrorNumber(8, 8);

// URL errors.
inline constexpr ErrorNumber kErrorBadUrl = MakeErrorNumber(9, 1);
inline constexpr ErrorNumber kErrorBadRedirectUrl = MakeErrorNumber(9, 2);
inline constexpr ErrorNumber kErrorTooManyRedirects = MakeErrorNumber(9, 3);
inline constexpr ErrorNumber kErrorBadRedirect = MakeErrorNumber(9, 4);
inline constexpr ErrorNumber kErrorBadLocation = MakeErrorNumber(9, 5);

// The category-7 error of a failing status: 400-415 and 500-505 have their own texts,
// every other status is a protocol error.
constexpr ErrorNumber HttpStatusError(int status) {
  if (status >= 400 && status <= 415) return MakeErrorNumber(7, static_cast<std::uint16_t>(status - 399));
  if (status >= 500 && status <= 505) return MakeErrorNumber(7, static_cast<std::uint16_t>(status - 483));
  return MakeErrorNumber(7, 23);
}

}  // namespace qdrl
