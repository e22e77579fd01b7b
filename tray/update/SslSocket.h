// TLS over a blocking socket (OpenSSL through a socket BIO that leaves the socket to
// its owner). The server's certificate chain is verified the way the system verifies
// it (one context for the whole run), its name against the host connected to, and
// host names go out as the server name. Reads and writes wait with the socket's
// time-outs and end at an abort.
#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "BlockingSocket.h"
#include "CountedRef.h"

namespace qdrl {

template <class Base>
class CSslSocket : public Base {
 public:
  // One TLS connection; the operation that uses it holds a reference.
  class COpensslSocket : public CCountedRef {
   public:
    explicit COpensslSocket(SSL* ssl) : ssl_(ssl) {}
    SSL* Ssl() const { return ssl_; }

   private:
    ~COpensslSocket() override;
    SSL* ssl_;
  };

  using Base::Base;
  ~CSslSocket();

  // Whether Connect and the calls after it use TLS (the HTTP layer sets it per URL
  // scheme before connecting).
  void SetUseTls(bool useTls) { useTls_ = useTls; }
  bool UsesTls() const { return useTls_; }

  // Trusts the certificates of `store` instead of the system's trusted roots (the
  // store gains a reference); null goes back to the system's.
  void SetTrustStore(X509_STORE* store);

  void Connect(std::u16string_view host, int port);
  void Send(const char* data, std::size_t n);
  std::size_t Receive(char* buffer, std::size_t n);
  // Sends one close notification without waiting for the peer's, frees the TLS
  // connection and closes the socket.
  void Close();
  // From any thread: as the plain Abort; the TLS connection is left to its owner.
  void Abort() { Base::Abort(); }

 private:
  // A reference to the current TLS connection; `none` is raised when there is none.
  COpensslSocket* Reference(ErrorNumber none);
  // Runs one TLS call until it neither wants to read nor to write, waiting for the
  // socket in between; returns its final result.
  template <class Call>
  int Drive(COpensslSocket& tls, Call call, int timeoutSeconds);
  SSL* NewConnection(std::u16string_view host) const;

  bool useTls_ = true;
  COpensslSocket* tls_ = nullptr;  // under the socket lock
  X509_STORE* trustStore_ = nullptr;
};

extern template class CSslSocket<CBlockingSocket>;

// The connection the update client uses.
using CUpdateSocket = CSslSocket<CBlockingSocket>;

}  // namespace qdrl
