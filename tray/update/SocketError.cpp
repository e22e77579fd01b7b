#include "SocketError.h"

#include <openssl/ssl.h>

#include <algorithm>
#include <array>

namespace qdrl {

namespace {

// The Windows Sockets codes with texts of their own, in index order (index 1 first).
constexpr std::array<int, 41> kListedCodes{
    10013, 10048, 10049, 10047, 10037, 10053, 10061, 10054, 10039, 10014, 10064,
    10065, 10036, 10004, 10022, 10056, 10024, 10040, 10050, 10052, 10051, 10055,
    10042, 10057, 10038, 10045, 10067, 10043, 10041, 10058, 10044, 10060, 10035,
    11001, 10093, 11004, 11003, 10091, 11002, 10092, 10101};

}  // namespace

ErrorNumber MapSocketError(int windowsSocketsCode, SocketFailure operation) {
  const auto listed = std::find(kListedCodes.begin(), kListedCodes.end(), windowsSocketsCode);
  if (listed == kListedCodes.end()) return SocketError(operation);
  return MakeErrorNumber(1, static_cast<std::uint16_t>(listed - kListedCodes.begin() + 1));
}

ErrorNumber MapTlsError(int sslErrorKind) {
  switch (sslErrorKind) {
    case SSL_ERROR_SSL: return MakeErrorNumber(3, 4);
    case SSL_ERROR_SYSCALL: return MakeErrorNumber(3, 3);
    case SSL_ERROR_ZERO_RETURN: return MakeErrorNumber(3, 2);
    default: return kErrorTlsSocket;
  }
}

}  // namespace qdrl
