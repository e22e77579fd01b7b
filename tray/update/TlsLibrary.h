// Set-up and tear-down of the TLS library for the whole process.
#pragma once

#include <openssl/evp.h>

namespace qdrl {

// Initialises libssl and libcrypto (all ciphers and digests) and builds the fixed
// Diffie-Hellman parameters; false when the parameters cannot be made.
bool InitTlsLibrary();

// The fixed parameters (512-bit prime, generator 2); null before InitTlsLibrary.
EVP_PKEY* FixedDhParameters();

// Frees the fixed parameters.
void FreeTlsLibrary();

}  // namespace qdrl
