#include <openssl/ssl.h>

#include "SystemRoots.h"

namespace qdrl {

bool TrustSystemRoots(SSL_CTX* context) { return SSL_CTX_set_default_verify_paths(context) == 1; }

}  // namespace qdrl
