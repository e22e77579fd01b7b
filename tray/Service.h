// Whether the product's Windows service runs: it holds a named event while it does.
#pragma once

namespace qdrl {

inline constexpr const wchar_t* kServiceRunningEvent = L"Global\\QUADREL_SR_EVENT";

// Tests for the event each time; the answer is never cached.
bool IsServiceRunning();

}  // namespace qdrl
