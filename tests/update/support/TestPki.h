// A certificate authority made up for one test run, and server certificates it
// issues, so that TLS tests need no files and trust nothing of the machine's.
#pragma once

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace qdrl::test {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
struct X509StoreFree {
  void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};
struct SslContextFree {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Certificate = std::unique_ptr<X509, X509Free>;
using TrustStore = std::unique_ptr<X509_STORE, X509StoreFree>;
using SslContext = std::unique_ptr<SSL_CTX, SslContextFree>;

// A key and the certificate for it.
struct Identity {
  Pkey key;
  Certificate certificate;
};

class TestPki {
 public:
  explicit TestPki(const std::string& name = "Quadrel Test CA");

  // A store that trusts this authority only.
  TrustStore NewTrustStore() const;
  // A server certificate for the DNS names and IP addresses (text form) given.
  Identity IssueServer(const std::vector<std::string>& dnsNames,
                       const std::vector<std::string>& ipAddresses) const;
  // A TLS server context presenting `server` and this authority's certificate.
  SslContext NewServerContext(const Identity& server) const;

  X509* AuthorityCertificate() const { return authority_.certificate.get(); }

 private:
  Identity authority_;
};

// PEM text of a certificate or a private key.
std::string ToPem(X509* certificate);
std::string ToPem(EVP_PKEY* key);

}  // namespace qdrl::test
