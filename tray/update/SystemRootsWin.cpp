// wincrypt.h defines names that OpenSSL's headers take back, so it comes first.
#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>  // the SSL policy's SECURITY_FLAG_* checks

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>

#include "SystemRoots.h"

namespace qdrl {

namespace {

struct CertStoreClose {
  void operator()(void* store) const { ::CertCloseStore(store, 0); }
};
struct CertContextFree {
  void operator()(const CERT_CONTEXT* certificate) const { ::CertFreeCertificateContext(certificate); }
};
struct ChainFree {
  void operator()(const CERT_CHAIN_CONTEXT* chain) const { ::CertFreeCertificateChain(chain); }
};
using CertStore = std::unique_ptr<void, CertStoreClose>;
using Certificate = std::unique_ptr<const CERT_CONTEXT, CertContextFree>;
using Chain = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree>;

// Adds one OpenSSL certificate to store; its context there when wanted.
bool AddToStore(HCERTSTORE store, X509* certificate, Certificate* added) {
  unsigned char* der = nullptr;
  const int length = i2d_X509(certificate, &der);
  if (length <= 0) return false;
  PCCERT_CONTEXT context = nullptr;
  const BOOL stored = ::CertAddEncodedCertificateToStore(
      store, X509_ASN_ENCODING, der, static_cast<DWORD>(length), CERT_STORE_ADD_USE_EXISTING,
      added != nullptr ? &context : nullptr);
  OPENSSL_free(der);
  if (added != nullptr) added->reset(context);
  return stored != FALSE;
}

// The server's certificate as a system certificate context, in a memory store that
// also holds the intermediate certificates the server sent.
Certificate ServerCertificate(X509_STORE_CTX* store, const CertStore& sent) {
  Certificate leaf;
  if (!AddToStore(sent.get(), X509_STORE_CTX_get0_cert(store), &leaf)) return nullptr;
  STACK_OF(X509)* intermediates = X509_STORE_CTX_get0_untrusted(store);
  for (int i = 0; i < sk_X509_num(intermediates); ++i) {
    if (!AddToStore(sent.get(), sk_X509_value(intermediates, i), nullptr)) return nullptr;
  }
  return leaf;
}

// The chain the user's default engine builds for a server certificate (roots the
// system fetches on demand included), revocation checked for every certificate but
// the root.
Chain BuildServerChain(const Certificate& leaf, const CertStore& sent) {
  LPSTR serverUsage[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA parameters{};
  parameters.cbSize = sizeof(parameters);
  parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
  parameters.RequestedUsage.Usage.rgpszUsageIdentifier = serverUsage;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!::CertGetCertificateChain(HCCE_CURRENT_USER, leaf.get(), nullptr, sent.get(), &parameters,
                                 CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT, nullptr, &chain)) {
    return nullptr;
  }
  return Chain(chain);
}

// Whether the engine found nothing wrong with the chain but, at most, a revocation
// status it could not learn: a revoked, distrusted, expired or misused certificate and
// a chain that ends short of a trusted root all refuse. Judged here rather than left
// to the SSL policy, which on some systems (Wine) lets a partial chain pass and
// cannot be told to accept an unknown revocation status without also accepting a
// revoked certificate.
bool ChainHasNoErrors(const Chain& chain) {
  constexpr DWORD kUnknownRevocation =
      CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
  return (chain->TrustStatus.dwErrorStatus & ~kUnknownRevocation) == 0;
}

// The system's SSL policy for a server chain, with the revocation left to
// ChainHasNoErrors: the name, and the rules of server authentication. serverName
// null leaves the name to the caller.
bool SslPolicyAccepts(const Chain& chain, const wchar_t* serverName) {
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
  ssl.cbSize = sizeof(ssl);
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.fdwChecks = SECURITY_FLAG_IGNORE_REVOCATION;
  ssl.pwszServerName = const_cast<wchar_t*>(serverName);
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof(policy);
  policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof(status);
  return ::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &status) &&
         status.dwError == 0;
}

std::wstring Widened(const char* ascii) {
  std::wstring wide;
  for (; *ascii != '\0'; ++ascii) wide += static_cast<wchar_t>(static_cast<unsigned char>(*ascii));
  return wide;
}

// Whether the server's certificate carries the address the connection went to; the
// SSL policy matches names only.
bool CarriesExpectedAddress(X509_STORE_CTX* store) {
  X509_VERIFY_PARAM* expected = X509_STORE_CTX_get0_param(store);
  char* address = X509_VERIFY_PARAM_get1_ip_asc(expected);
  if (address == nullptr) return true;
  const bool carried = X509_check_ip_asc(X509_STORE_CTX_get0_cert(store), address, 0) == 1;
  OPENSSL_free(address);
  return carried;
}

// OpenSSL's verification step replaced by the system's: the connection's expected
// host name (set before the handshake) goes to the SSL policy.
int VerifyWithSystemChainEngine(X509_STORE_CTX* store, void*) {
  X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_UNTRUSTED);
  const CertStore sent(::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  if (!sent) return 0;
  const Certificate leaf = ServerCertificate(store, sent);
  if (!leaf) return 0;
  const Chain chain = BuildServerChain(leaf, sent);
  if (!chain || !ChainHasNoErrors(chain)) return 0;
  const char* host = X509_VERIFY_PARAM_get0_host(X509_STORE_CTX_get0_param(store), 0);
  const std::wstring name = host != nullptr ? Widened(host) : std::wstring();
  if (!SslPolicyAccepts(chain, host != nullptr ? name.c_str() : nullptr)) return 0;
  if (!CarriesExpectedAddress(store)) return 0;
  X509_STORE_CTX_set_error(store, X509_V_OK);
  return 1;
}

}  // namespace

bool TrustSystemRoots(SSL_CTX* context) {
  SSL_CTX_set_cert_verify_callback(context, &VerifyWithSystemChainEngine, nullptr);
  return true;
}

}  // namespace qdrl
