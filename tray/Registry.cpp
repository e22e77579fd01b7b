#include "Registry.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <vector>

#include "RegistryKey.h"

namespace qdrl {

namespace {

const wchar_t* const kProductKey = L"Software\\Quadrel";
constexpr DWORD kUpdatePathMaxBytes = 520;

// The product's key under root.
CRegistryKey ProductKey(HKEY root, REGSAM access) { return CRegistryKey(root, kProductKey, access); }

}  // namespace

bool MarkStartedOnce() {
  const CRegistryKey key = ProductKey(HKEY_CURRENT_USER, KEY_QUERY_VALUE | KEY_SET_VALUE);
  const bool firstRun = !key.Has(L"setonce");
  const DWORD one = 1;
  key.Write(L"setonce", REG_BINARY, &one, sizeof(one));
  return firstRun;
}

std::optional<ProductVersion> ReadSkippedUpdate() {
  const CRegistryKey key = ProductKey(HKEY_CURRENT_USER, KEY_QUERY_VALUE);
  auto data = key.Read(L"SkipUpdate", REG_BINARY, sizeof(VersionBytes));
  if (!data || data->size() != sizeof(VersionBytes)) return std::nullopt;
  VersionBytes bytes;
  std::copy(data->begin(), data->end(), bytes.begin());
  return FromBytes(bytes);
}

bool WriteSkippedUpdate(const ProductVersion& version) {
  const CRegistryKey key = ProductKey(HKEY_CURRENT_USER, KEY_SET_VALUE);
  const VersionBytes bytes = ToBytes(version);
  return key.Write(L"SkipUpdate", REG_BINARY, bytes.data(), bytes.size());
}

std::optional<std::wstring> ReadUpdateDescriptionPath() {
  const CRegistryKey key = ProductKey(HKEY_LOCAL_MACHINE, KEY_QUERY_VALUE);
  auto data = key.Read(L"UPD", REG_SZ, kUpdatePathMaxBytes);
  if (!data) return std::nullopt;
  // The stored string need not be terminated; stop at the first terminator if any.
  std::wstring path(reinterpret_cast<const wchar_t*>(data->data()), data->size() / sizeof(wchar_t));
  path.resize(wcsnlen(path.c_str(), path.size()));
  return path;
}

}  // namespace qdrl
