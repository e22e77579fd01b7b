// The certificates a TLS client trusts when nothing else is said: the system's.
#pragma once

#include <openssl/types.h>

namespace qdrl {

// Makes context verify servers the way the system does. On Windows the server's chain
// goes through the system's own chain engine (roots it fetches on demand, revocation
// and distrusted certificates included) and its SSL policy, with the host name or
// address the connection expects; elsewhere OpenSSL checks it against the system's
// default certificate folders. False when the context cannot be set up.
bool TrustSystemRoots(SSL_CTX* context);

}  // namespace qdrl
