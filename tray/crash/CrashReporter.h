// The crash reporter's unhandled-exception filter.
#pragma once

namespace qdrl {

// Installed first thing at start-up, before anything else can fail.
void InstallCrashFilter();

}  // namespace qdrl
