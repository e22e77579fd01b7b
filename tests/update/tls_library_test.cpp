#include "update/TlsLibrary.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>

namespace qdrl {
namespace {

struct BnFree {
  void operator()(BIGNUM* number) const { BN_free(number); }
};
using Bignum = std::unique_ptr<BIGNUM, BnFree>;

Bignum Parameter(const char* name) {
  BIGNUM* value = nullptr;
  EXPECT_EQ(EVP_PKEY_get_bn_param(FixedDhParameters(), name, &value), 1) << name;
  return Bignum(value);
}

class TrayTlsLibrary : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(InitTlsLibrary()); }
  void TearDown() override { FreeTlsLibrary(); }
};

TEST_F(TrayTlsLibrary, FixedParametersAre512BitDiffieHellman) {
  ASSERT_NE(FixedDhParameters(), nullptr);
  EXPECT_TRUE(EVP_PKEY_is_a(FixedDhParameters(), "DH"));
  EXPECT_EQ(EVP_PKEY_get_bits(FixedDhParameters()), 512);
}

TEST_F(TrayTlsLibrary, PrimeIsSafeAndGeneratorIsTwo) {
  const Bignum prime = Parameter(OSSL_PKEY_PARAM_FFC_P);
  const Bignum generator = Parameter(OSSL_PKEY_PARAM_FFC_G);
  ASSERT_TRUE(prime && generator);
  EXPECT_TRUE(BN_is_word(generator.get(), 2));
  BN_CTX* context = BN_CTX_new();
  EXPECT_EQ(BN_check_prime(prime.get(), context, nullptr), 1);
  Bignum half(BN_dup(prime.get()));
  BN_rshift1(half.get(), half.get());  // (p - 1) / 2 for an odd p
  EXPECT_EQ(BN_check_prime(half.get(), context, nullptr), 1);
  BN_CTX_free(context);
}

TEST(TrayTlsLibraryTearDown, FreesTheParameters) {
  ASSERT_TRUE(InitTlsLibrary());
  FreeTlsLibrary();
  EXPECT_EQ(FixedDhParameters(), nullptr);
}

}  // namespace
}  // namespace qdrl
