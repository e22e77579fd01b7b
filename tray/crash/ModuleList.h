// The modules of the own process with their versions, through the toolhelp functions
// of "Kernel32.dll".
#pragma once

#include <optional>
#include <vector>

#include "ReportFormat.h"

namespace qdrl {

// None when no module snapshot could be taken; then the report has no module heading.
std::optional<std::vector<ReportModule>> ListModules();

}  // namespace qdrl
