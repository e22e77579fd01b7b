#include "CrashSettings.h"

#include <windows.h>

#include "RegistryKey.h"

namespace qdrl {

namespace {

const wchar_t* const kSettingsKey = L"Software\\tarnwick.dll";
const wchar_t* const kMachineIdValue = L"UUID";

// The settings key in the 32-bit view, created when absent and access allows.
CRegistryKey SettingsKey(REGSAM access) {
  return CRegistryKey(HKEY_LOCAL_MACHINE, kSettingsKey, access | KEY_WOW64_32KEY);
}

}  // namespace

bool CrashReportingSwitchedOn(const std::wstring& productName) {
  const CRegistryKey key = SettingsKey(KEY_QUERY_VALUE);
  return key.ReadNumber(productName.c_str()).value_or(0) != 0;
}

std::uint32_t MachineIdentifier() {
  // Creating the identifier needs write access to the machine's key; a user without
  // it can still read one that exists.
  const CRegistryKey writable = SettingsKey(KEY_QUERY_VALUE | KEY_SET_VALUE);
  if (!writable.IsOpen()) return SettingsKey(KEY_QUERY_VALUE).ReadNumber(kMachineIdValue).value_or(0);
  if (auto existing = writable.ReadNumber(kMachineIdValue)) return *existing;
  const DWORD created = GetTickCount();
  return writable.WriteNumber(kMachineIdValue, created) ? created : 0;
}

}  // namespace qdrl
