#include "Registry.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <vector>

namespace qdrl {

namespace {

const wchar_t* const kProductKey = L"Software\\Quadrel";
constexpr DWORD kUpdatePathMaxBytes = 520;

// An open product key, closed when it goes out of scope.
class ProductKey {
 public:
  ProductKey(HKEY root, REGSAM access) {
    if (RegCreateKeyExW(root, kProductKey, 0, nullptr, 0, access, nullptr, &key_, nullptr) !=
        ERROR_SUCCESS) {
      key_ = nullptr;
    }
  }
  ~ProductKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  ProductKey(const ProductKey&) = delete;
  ProductKey& operator=(const ProductKey&) = delete;

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

  bool Write(const wchar_t* name, DWORD type, const void* data, DWORD size) const {
    return key_ != nullptr &&
           RegSetValueExW(key_, name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
  }

 private:
  HKEY key_ = nullptr;
};

}  // namespace

bool MarkStartedOnce() {
  const ProductKey key(HKEY_CURRENT_USER, KEY_QUERY_VALUE | KEY_SET_VALUE);
  const bool firstRun = !key.Has(L"setonce");
  const DWORD one = 1;
  key.Write(L"setonce", REG_BINARY, &one, sizeof(one));
  return firstRun;
}

std::optional<ProductVersion> ReadSkippedUpdate() {
  const ProductKey key(HKEY_CURRENT_USER, KEY_QUERY_VALUE);
  auto data = key.Read(L"SkipUpdate", REG_BINARY, sizeof(VersionBytes));
  if (!data || data->size() != sizeof(VersionBytes)) return std::nullopt;
  VersionBytes bytes;
  std::copy(data->begin(), data->end(), bytes.begin());
  return FromBytes(bytes);
}

bool WriteSkippedUpdate(const ProductVersion& version) {
  const ProductKey key(HKEY_CURRENT_USER, KEY_SET_VALUE);
  const VersionBytes bytes = ToBytes(version);
  return key.Write(L"SkipUpdate", REG_BINARY, bytes.data(), bytes.size());
}

std::optional<std::wstring> ReadUpdateDescriptionPath() {
  const ProductKey key(HKEY_LOCAL_MACHINE, KEY_QUERY_VALUE);
  auto data = key.Read(L"UPD", REG_SZ, kUpdatePathMaxBytes);
  if (!data) return std::nullopt;
  // The stored string need not be terminated; stop at the first terminator if any.
  std::wstring path(reinterpret_cast<const wchar_t*>(data->data()), data->size() / sizeof(wchar_t));
  path.resize(wcsnlen(path.c_str(), path.size()));
  return path;
}

}  // namespace qdrl
