// wincrypt.h defines names that OpenSSL's headers take back, so it comes first.
#include <windows.h>
#include <wincrypt.h>

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "SystemRoots.h"

namespace qdrl {

// OpenSSL's own default folders are not used: they hold nothing on Windows.
bool TrustSystemRoots(SSL_CTX* context) {
  const HCERTSTORE roots = ::CertOpenSystemStoreW(0, L"ROOT");
  if (roots == nullptr) return false;
  X509_STORE* store = SSL_CTX_get_cert_store(context);
  PCCERT_CONTEXT certificate = nullptr;
  while ((certificate = ::CertEnumCertificatesInStore(roots, certificate)) != nullptr) {
    const unsigned char* encoded = certificate->pbCertEncoded;
    X509* parsed = d2i_X509(nullptr, &encoded, static_cast<long>(certificate->cbCertEncoded));
    if (parsed == nullptr) continue;  // a certificate OpenSSL cannot read is no anchor
    X509_STORE_add_cert(store, parsed);
    X509_free(parsed);
  }
  ::CertCloseStore(roots, 0);
  return true;
}

}  // namespace qdrl
