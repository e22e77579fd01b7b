// An open registry key, created when absent and access allows, closed when it goes out
// of scope. A key that could not be opened reads every value as absent and refuses
// every write.
#pragma once

#include <windows.h>

#include <algorithm>
#include <optional>
#include <vector>

namespace qdrl {

class CRegistryKey {
 public:
  CRegistryKey(HKEY root, const wchar_t* path, REGSAM access) {
    if (RegCreateKeyExW(root, path, 0, nullptr, 0, access, nullptr, &key_, nullptr) != ERROR_SUCCESS) {
      key_ = nullptr;
    }
  }
  ~CRegistryKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  CRegistryKey(const CRegistryKey&) = delete;
  CRegistryKey& operator=(const CRegistryKey&) = delete;

  bool IsOpen() const { return key_ != nullptr; }

  bool Has(const wchar_t* name) const {
    return key_ != nullptr &&
           RegQueryValueExW(key_, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  }

  // The value's bytes when it exists, has `type` and is at most `maxBytes` long.
  std::optional<std::vector<BYTE>> Read(const wchar_t* name, DWORD type, DWORD maxBytes) const {
    if (key_ == nullptr) return std::nullopt;
    std::vector<BYTE> data(maxBytes);
    DWORD actualType = 0;
    DWORD size = maxBytes;
    if (RegQueryValueExW(key_, name, nullptr, &actualType, data.data(), &size) != ERROR_SUCCESS ||
        actualType != type) {
      return std::nullopt;
    }
    data.resize(size);
    return data;
  }

  // A REG_DWORD value of exactly four bytes.
  std::optional<DWORD> ReadNumber(const wchar_t* name) const {
    const auto data = Read(name, REG_DWORD, sizeof(DWORD));
    if (!data || data->size() != sizeof(DWORD)) return std::nullopt;
    DWORD value;
    std::copy(data->begin(), data->end(), reinterpret_cast<BYTE*>(&value));
    return value;
  }

  bool Write(const wchar_t* name, DWORD type, const void* data, DWORD size) const {
    return key_ != nullptr &&
           RegSetValueExW(key_, name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
  }

  bool WriteNumber(const wchar_t* name, DWORD value) const {
    return Write(name, REG_DWORD, &value, sizeof(value));
  }

 private:
  HKEY key_ = nullptr;
};

}  // namespace qdrl
