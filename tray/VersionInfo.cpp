#include "VersionInfo.h"

#include <windows.h>

#include <cwchar>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "ProcessState.h"
#include "Version.h"

namespace qdrl {

namespace {

constexpr DWORD kModulePathCapacity = 260;

std::optional<std::wstring> OwnModulePath() {
  wchar_t path[kModulePathCapacity];
  const DWORD length = GetModuleFileNameW(nullptr, path, kModulePathCapacity);
  // A path that fills the buffer was cut short.
  if (length == 0 || length >= kModulePathCapacity) return std::nullopt;
  return std::wstring(path, length);
}

std::optional<std::vector<BYTE>> VersionBlock(const std::wstring& modulePath) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(modulePath.c_str(), &ignored);
  if (size == 0) return std::nullopt;
  std::vector<BYTE> block(size);
  if (!GetFileVersionInfoW(modulePath.c_str(), 0, size, block.data())) return std::nullopt;
  return block;
}

template <typename T>
std::span<const T> QueryValue(std::vector<BYTE>& block, const std::wstring& path) {
  void* value = nullptr;
  UINT size = 0;
  if (!VerQueryValueW(block.data(), path.c_str(), &value, &size) || value == nullptr) return {};
  // String values report their size in characters, the others in bytes.
  const std::size_t count = std::is_same_v<T, wchar_t> ? size : size / sizeof(T);
  return {static_cast<const T*>(value), count};
}

std::optional<std::wstring> QueryString(std::vector<BYTE>& block, std::wstring_view name) {
  auto text = QueryValue<wchar_t>(block, StringFileInfoPath(kRequiredTranslation, name));
  if (text.empty()) return std::nullopt;
  std::wstring value(text.begin(), text.end());
  value.resize(wcsnlen(value.c_str(), value.size()));  // drop the counted terminator
  return value;
}

bool ReadInto(ProcessState& process) {
  auto modulePath = OwnModulePath();
  if (!modulePath) return false;
  process.modulePath = *modulePath;
  process.moduleDirectory = ModuleDirectory(*modulePath);

  auto block = VersionBlock(*modulePath);
  if (!block) return false;
  auto fixed = QueryValue<VS_FIXEDFILEINFO>(*block, L"\\");
  if (fixed.empty()) return false;
  auto translations = QueryValue<Translation>(*block, L"\\VarFileInfo\\Translation");
  if (!HasRequiredTranslation(translations)) return false;
  auto originalFilename = QueryString(*block, L"OriginalFilename");
  auto productName = QueryString(*block, L"ProductName");
  if (!originalFilename || !productName) return false;

  process.fileVersion = ProductVersion::FromFixedInfo(fixed[0].dwFileVersionMS, fixed[0].dwFileVersionLS);
  process.productVersion =
      ProductVersion::FromFixedInfo(fixed[0].dwProductVersionMS, fixed[0].dwProductVersionLS);
  process.recordedFileName = *originalFilename;
  process.productName = *productName;
  return true;
}

}  // namespace

bool ReadOwnVersionInfo() {
  auto& process = Process();
  const bool ok = ReadInto(process);
  process.versionInfoRead = ok ? VersionInfoRead::Succeeded : VersionInfoRead::Failed;
  return ok;
}

}  // namespace qdrl
