// Entry point shared by the console helpers of the network Wine tests.
#pragma once

namespace qdrl {

// The helper's own work, run between the shared set-up and clean-up; its result is
// the process's exit code.
int RunNetTest(int argc, wchar_t** argv);

}  // namespace qdrl
