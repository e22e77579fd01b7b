// The certificates a TLS client trusts when nothing else is said: the system's.
#pragma once

#include <openssl/types.h>

namespace qdrl {

// Adds the system's trusted root certificates to the context's store (on Windows the
// "ROOT" certificate store); false when they cannot be read.
bool TrustSystemRoots(SSL_CTX* context);

}  // namespace qdrl
