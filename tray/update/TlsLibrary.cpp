#include "TlsLibrary.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/ssl.h>

#include <cstdint>
#include <memory>

namespace qdrl {

namespace {

// A safe prime of 512 bits, big-endian; with generator 2 it forms the temporary
// Diffie-Hellman parameters of every TLS context.
constexpr std::uint8_t kDhPrime[64] = {
    0xf9, 0x21, 0xc5, 0x48, 0x25, 0x46, 0xca, 0x8e, 0x8d, 0xd7, 0xdd, 0xa2,
    0xa1, 0x3b, 0x80, 0x27, 0xf1, 0xce, 0x43, 0xe4, 0x66, 0x65, 0x3a, 0xdb,
    0x3d, 0x9d, 0x1b, 0xfa, 0xa2, 0xbe, 0x77, 0x51, 0x10, 0xd7, 0x7f, 0x4d,
    0x45, 0x96, 0xf4, 0x79, 0x20, 0xb9, 0xc1, 0xcf, 0x13, 0x09, 0x03, 0x10,
    0xfa, 0x27, 0x15, 0xe0, 0xa1, 0x66, 0xb8, 0xce, 0xf1, 0xb4, 0xba, 0x24,
    0xee, 0xcd, 0x4b, 0xc7};
constexpr unsigned long kDhGenerator = 2;

EVP_PKEY* g_dhParameters = nullptr;

struct BnFree {
  void operator()(BIGNUM* number) const { BN_free(number); }
};
struct ParamBuildFree {
  void operator()(OSSL_PARAM_BLD* builder) const { OSSL_PARAM_BLD_free(builder); }
};
struct ParamFree {
  void operator()(OSSL_PARAM* params) const { OSSL_PARAM_free(params); }
};
struct PkeyContextFree {
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};

// OpenSSL 3 builds Diffie-Hellman parameters through the generic key interface; the
// 1.1 calls for it are deprecated.
EVP_PKEY* MakeDhParameters() {
  std::unique_ptr<BIGNUM, BnFree> prime(BN_bin2bn(kDhPrime, sizeof(kDhPrime), nullptr));
  std::unique_ptr<BIGNUM, BnFree> generator(BN_new());
  if (!prime || !generator || !BN_set_word(generator.get(), kDhGenerator)) return nullptr;

  std::unique_ptr<OSSL_PARAM_BLD, ParamBuildFree> builder(OSSL_PARAM_BLD_new());
  if (!builder || !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_FFC_P, prime.get()) ||
      !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_FFC_G, generator.get())) {
    return nullptr;
  }
  std::unique_ptr<OSSL_PARAM, ParamFree> params(OSSL_PARAM_BLD_to_param(builder.get()));
  std::unique_ptr<EVP_PKEY_CTX, PkeyContextFree> context(
      EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr));
  EVP_PKEY* parameters = nullptr;
  if (!params || !context || EVP_PKEY_fromdata_init(context.get()) <= 0 ||
      EVP_PKEY_fromdata(context.get(), &parameters, EVP_PKEY_KEY_PARAMETERS, params.get()) <= 0) {
    return nullptr;
  }
  return parameters;
}

}  // namespace

bool InitTlsLibrary() {
  OPENSSL_init_ssl(0, nullptr);
  OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
  g_dhParameters = MakeDhParameters();
  return g_dhParameters != nullptr;
}

EVP_PKEY* FixedDhParameters() { return g_dhParameters; }

void FreeTlsLibrary() {
  EVP_PKEY_free(g_dhParameters);
  g_dhParameters = nullptr;
}

}  // namespace qdrl
