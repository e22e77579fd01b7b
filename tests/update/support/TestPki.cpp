#include "TestPki.h"

#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace qdrl::test {

namespace {

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test PKI: ") + what);
}

Pkey NewKey() {
  Pkey key(EVP_EC_gen("P-256"));
  Check(key != nullptr, "key");
  return key;
}

void AddExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
  Check(extension != nullptr, "extension");
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

Certificate NewCertificate(const std::string& commonName, EVP_PKEY* key, long serial) {
  Certificate certificate(X509_new());
  Check(certificate != nullptr, "certificate");
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 7 * 24 * 3600);
  X509_set_pubkey(certificate.get(), key);
  X509_NAME* name = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  return certificate;
}

}  // namespace

TestPki::TestPki(const std::string& name) {
  authority_.key = NewKey();
  authority_.certificate = NewCertificate(name, authority_.key.get(), 1);
  X509* certificate = authority_.certificate.get();
  X509_set_issuer_name(certificate, X509_get_subject_name(certificate));
  AddExtension(certificate, certificate, NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(certificate, certificate, NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(certificate, certificate, NID_subject_key_identifier, "hash");
  Check(X509_sign(certificate, authority_.key.get(), EVP_sha256()) > 0, "sign authority");
}

TrustStore TestPki::NewTrustStore() const {
  TrustStore store(X509_STORE_new());
  Check(store && X509_STORE_add_cert(store.get(), authority_.certificate.get()) == 1, "store");
  return store;
}

Identity TestPki::IssueServer(const std::vector<std::string>& dnsNames,
                              const std::vector<std::string>& ipAddresses) const {
  static long serial = 100;
  Identity server;
  server.key = NewKey();
  const std::string commonName = dnsNames.empty() ? ipAddresses.front() : dnsNames.front();
  server.certificate = NewCertificate(commonName, server.key.get(), ++serial);
  X509* certificate = server.certificate.get();
  X509_set_issuer_name(certificate, X509_get_subject_name(authority_.certificate.get()));
  std::string alternativeNames;
  for (const auto& name : dnsNames) alternativeNames += (alternativeNames.empty() ? "" : ",") + ("DNS:" + name);
  for (const auto& ip : ipAddresses) alternativeNames += (alternativeNames.empty() ? "" : ",") + ("IP:" + ip);
  AddExtension(certificate, authority_.certificate.get(), NID_subject_alt_name, alternativeNames);
  AddExtension(certificate, authority_.certificate.get(), NID_basic_constraints, "CA:FALSE");
  AddExtension(certificate, authority_.certificate.get(), NID_ext_key_usage, "serverAuth");
  Check(X509_sign(certificate, authority_.key.get(), EVP_sha256()) > 0, "sign server");
  return server;
}

SslContext TestPki::NewServerContext(const Identity& server) const {
  SslContext context(SSL_CTX_new(TLS_server_method()));
  Check(context != nullptr, "server context");
  Check(SSL_CTX_use_certificate(context.get(), server.certificate.get()) == 1, "server certificate");
  Check(SSL_CTX_use_PrivateKey(context.get(), server.key.get()) == 1, "server key");
  X509_up_ref(authority_.certificate.get());
  SSL_CTX_add_extra_chain_cert(context.get(), authority_.certificate.get());
  return context;
}

namespace {

std::string DrainToString(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<std::size_t>(length));
  BIO_free(bio);
  return text;
}

}  // namespace

std::string ToPem(X509* certificate) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, certificate);
  return DrainToString(bio);
}

std::string ToPem(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  return DrainToString(bio);
}

}  // namespace qdrl::test
