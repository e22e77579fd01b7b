// The call stack of a failing thread, walked with "dbghelp.dll" loaded at run time.
#pragma once

#include <windows.h>

#include <vector>

#include "ReportFormat.h"

namespace qdrl {

// The frames from the exception's context outwards, innermost first, at most
// kMaxStackFrames; empty when "dbghelp.dll" or symbol handling is not available.
std::vector<StackFrame> WalkStack(const CONTEXT& exceptionContext);

}  // namespace qdrl
