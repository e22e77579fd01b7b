#include "CrashReporter.h"

namespace qdrl {

// The crash reporter is not built yet: until it is, an unhandled exception goes to
// the system's own handling.
void InstallCrashFilter() {}

}  // namespace qdrl
