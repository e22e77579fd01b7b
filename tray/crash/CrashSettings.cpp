#include "CrashSettings.h"

#include <windows.h>

#include <optional>

namespace qdrl {

namespace {

const wchar_t* const kSettingsKey = L"Software\\tarnwick.dll";
const wchar_t* const kMachineIdValue = L"UUID";

// The settings key, created when absent and access allows; closed on scope exit.
class SettingsKey {
 public:
  explicit SettingsKey(REGSAM access) {
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, access | KEY_WOW64_32KEY,
                        nullptr, &key_, nullptr) != ERROR_SUCCESS) {
      key_ = nullptr;
    }
  }
  ~SettingsKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  SettingsKey(const SettingsKey&) = delete;
  SettingsKey& operator=(const SettingsKey&) = delete;

  bool IsOpen() const { return key_ != nullptr; }

  std::optional<DWORD> ReadNumber(const wchar_t* name) const {
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (key_ == nullptr ||
        RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(value)) {
      return std::nullopt;
    }
    return value;
  }

  bool WriteNumber(const wchar_t* name, DWORD value) const {
    return key_ != nullptr && RegSetValueExW(key_, name, 0, REG_DWORD,
                                             reinterpret_cast<const BYTE*>(&value),
                                             sizeof(value)) == ERROR_SUCCESS;
  }

 private:
  HKEY key_ = nullptr;
};

}  // namespace

bool CrashReportingSwitchedOn(const std::wstring& productName) {
  const SettingsKey key(KEY_QUERY_VALUE);
  return key.ReadNumber(productName.c_str()).value_or(0) != 0;
}

std::uint32_t MachineIdentifier() {
  // Creating the identifier needs write access to the machine's key; a user without
  // it can still read one that exists.
  SettingsKey writable(KEY_QUERY_VALUE | KEY_SET_VALUE);
  if (!writable.IsOpen()) return SettingsKey(KEY_QUERY_VALUE).ReadNumber(kMachineIdValue).value_or(0);
  if (auto existing = writable.ReadNumber(kMachineIdValue)) return *existing;
  const DWORD created = GetTickCount();
  return writable.WriteNumber(kMachineIdValue, created) ? created : 0;
}

}  // namespace qdrl
