#include "SslSocket.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <memory>

#include "Idna.h"
#include "SystemRoots.h"

namespace qdrl {

namespace {

struct SslContextFree {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

// Unauthenticated suites would skip the certificate check.
constexpr char kCipherList[] = "ALL:!aNULL";
constexpr std::size_t kLargestTlsWrite = 1 << 30;

// A client context: every protocol version the library supports, the peer's chain
// verified against `trust` (the system's trust when null). The fixed Diffie-Hellman
// parameters serve TLS servers only and stay out of it.
std::unique_ptr<SSL_CTX, SslContextFree> NewClientContext(X509_STORE* trust) {
  std::unique_ptr<SSL_CTX, SslContextFree> context(SSL_CTX_new(TLS_client_method()));
  if (!context || SSL_CTX_set_cipher_list(context.get(), kCipherList) != 1) return nullptr;
  if (trust != nullptr) {
    SSL_CTX_set1_cert_store(context.get(), trust);
  } else if (!TrustSystemRoots(context.get())) {
    return nullptr;
  }
  SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
  // A peer that closes without a close notification ends the data as a clean close
  // does; bodies that run to the end of the connection rely on it.
  SSL_CTX_set_options(context.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
  return context;
}

// The context of every connection that trusts the system, made once per run; null
// when it could not be made.
SSL_CTX* SystemTrustContext() {
  static const std::unique_ptr<SSL_CTX, SslContextFree> context = NewClientContext(nullptr);
  return context.get();
}

// The name or address the certificate must carry; host names also go out as the
// server name.
bool ExpectPeer(SSL* ssl, std::u16string_view host) {
  if (const auto numeric = ParseNumericAddress(host)) {
    X509_VERIFY_PARAM* parameters = SSL_get0_param(ssl);
    if (numeric->ipv4) {
      const std::uint32_t address = numeric->ipv4Address;
      const unsigned char bytes[4] = {static_cast<unsigned char>(address >> 24),
                                      static_cast<unsigned char>(address >> 16),
                                      static_cast<unsigned char>(address >> 8),
                                      static_cast<unsigned char>(address)};
      return X509_VERIFY_PARAM_set1_ip(parameters, bytes, sizeof(bytes)) == 1;
    }
    return X509_VERIFY_PARAM_set1_ip(parameters, numeric->ipv6Address.data(), 16) == 1;
  }
  const auto ascii = IdnaToAscii(host);
  return ascii && SSL_set1_host(ssl, ascii->c_str()) == 1 &&
         SSL_set_tlsext_host_name(ssl, ascii->c_str()) == 1;
}

}  // namespace

template <class Base>
CSslSocket<Base>::COpensslSocket::~COpensslSocket() {
  SSL_free(ssl_);
}

template <class Base>
CSslSocket<Base>::~CSslSocket() {
  Close();
  X509_STORE_free(trustStore_);
}

template <class Base>
void CSslSocket<Base>::SetTrustStore(X509_STORE* store) {
  if (store != nullptr) X509_STORE_up_ref(store);
  X509_STORE_free(trustStore_);
  trustStore_ = store;
}

template <class Base>
SSL* CSslSocket<Base>::NewConnection(std::u16string_view host) const {
  // A store of the socket's own is rare (tests); its context lives as long as the
  // connection's reference to it.
  const auto ownContext = trustStore_ != nullptr ? NewClientContext(trustStore_) : nullptr;
  SSL_CTX* const context = trustStore_ != nullptr ? ownContext.get() : SystemTrustContext();
  if (context == nullptr) throw kErrorTlsSocket;
  std::unique_ptr<SSL, SslFree> ssl(SSL_new(context));
  if (!ssl || !ExpectPeer(ssl.get(), host)) throw kErrorTlsSocket;
  BIO* bio = BIO_new_socket(static_cast<int>(this->Handle()), BIO_NOCLOSE);
  if (bio == nullptr) throw kErrorTlsSocket;
  SSL_set_bio(ssl.get(), bio, bio);
  return ssl.release();
}

template <class Base>
typename CSslSocket<Base>::COpensslSocket* CSslSocket<Base>::Reference(ErrorNumber none) {
  const std::lock_guard hold(SocketLock());
  if (tls_ == nullptr) throw none;
  tls_->AddRefLocked();
  return tls_;
}

template <class Base>
template <class Call>
int CSslSocket<Base>::Drive(COpensslSocket& tls, Call call, int timeoutSeconds) {
  for (;;) {
    ERR_clear_error();
    const int result = call(tls.Ssl());
    if (result > 0) return result;
    const int kind = SSL_get_error(tls.Ssl(), result);
    if (kind == SSL_ERROR_WANT_READ) {
      this->WaitFor(SocketWait::kReadable, timeoutSeconds);
    } else if (kind == SSL_ERROR_WANT_WRITE) {
      this->WaitFor(SocketWait::kWritable, timeoutSeconds);
    } else {
      this->ThrowIfAborted();
      if (kind == SSL_ERROR_ZERO_RETURN) return 0;
      throw MapTlsError(kind);
    }
  }
}

namespace {

// Releases an operation's reference to its TLS connection.
template <class Connection>
struct HeldReference {
  Connection* connection;
  ~HeldReference() { connection->Release(); }
};

}  // namespace

template <class Base>
void CSslSocket<Base>::Connect(std::u16string_view host, int port) {
  if (!useTls_) return Base::Connect(host, port);
  Close();
  SocketAddress address = this->Resolve(host);
  address.port = static_cast<std::uint16_t>(port);
  this->CreateSocket(address);
  SSL* ssl = NewConnection(host);
  {
    const std::lock_guard hold(SocketLock());
    tls_ = new COpensslSocket(ssl);
  }
  this->ConnectSocket(address);
  const HeldReference<COpensslSocket> held{Reference(SocketError(SocketFailure::kConnect))};
  Drive(*held.connection, [](SSL* connection) { return SSL_connect(connection); },
        this->ReceiveTimeout());
}

template <class Base>
void CSslSocket<Base>::Send(const char* data, std::size_t n) {
  if (!useTls_) return Base::Send(data, n);
  const HeldReference<COpensslSocket> held{Reference(SocketError(SocketFailure::kSend))};
  while (n > 0) {
    const int piece = static_cast<int>(std::min(n, kLargestTlsWrite));
    const int written = Drive(
        *held.connection, [&](SSL* connection) { return SSL_write(connection, data, piece); },
        this->SendTimeout());
    if (written != piece) throw SocketError(SocketFailure::kSend);
    this->CountSent(static_cast<std::size_t>(written));
    data += written;
    n -= static_cast<std::size_t>(written);
  }
}

template <class Base>
std::size_t CSslSocket<Base>::Receive(char* buffer, std::size_t n) {
  if (!useTls_) return Base::Receive(buffer, n);
  const HeldReference<COpensslSocket> held{Reference(SocketError(SocketFailure::kReceive))};
  const int wanted = static_cast<int>(std::min(n, kLargestTlsWrite));
  const int read = Drive(
      *held.connection, [&](SSL* connection) { return SSL_read(connection, buffer, wanted); },
      this->ReceiveTimeout());
  if (read == 0 && n > 0) throw SocketError(SocketFailure::kConnectionClosed);
  this->CountReceived(static_cast<std::size_t>(read));
  return static_cast<std::size_t>(read);
}

template <class Base>
void CSslSocket<Base>::Close() {
  COpensslSocket* taken;
  {
    const std::lock_guard hold(SocketLock());
    taken = tls_;
    tls_ = nullptr;
  }
  if (taken != nullptr) {
    // One close notification, never waiting for the socket or the peer's answer;
    // an aborted connection is shut down already.
    if (!this->IsAborted() && SSL_is_init_finished(taken->Ssl())) SSL_shutdown(taken->Ssl());
    taken->Release();
  }
  Base::Close();
}

template class CSslSocket<CBlockingSocket>;

}  // namespace qdrl
