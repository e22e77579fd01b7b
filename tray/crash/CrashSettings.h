// The upload library's settings: HKEY_LOCAL_MACHINE\Software\tarnwick.dll in the
// 32-bit registry view, which its installation provides.
#pragma once

#include <cstdint>
#include <string>

namespace qdrl {

// The REG_DWORD named like the product: non-zero switches reporting on; missing, of
// another type or 0 switches it off.
bool CrashReportingSwitchedOn(const std::wstring& productName);

// "UUID": the machine identifier; when missing it is created with the current tick
// count. 0 when it can neither be read nor created.
std::uint32_t MachineIdentifier();

}  // namespace qdrl
