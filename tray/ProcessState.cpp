#include "ProcessState.h"

namespace qdrl {

ProcessState& Process() {
  // Built on first use, so the single-instance guard, which runs during static
  // initialisation, can already fill it.
  static ProcessState state;
  return state;
}

void EndProcessSilently() { ExitProcess(1); }

std::wstring LoadText(UINT id) {
  wchar_t buffer[1000];
  // GetModuleHandleW(nullptr) rather than the stored instance handle: the guard loads
  // texts before the entry function stores it.
  const int length = LoadStringW(GetModuleHandleW(nullptr), id, buffer, 1000);
  if (length <= 0) EndProcessSilently();
  return std::wstring(buffer, static_cast<std::size_t>(length));
}

bool CreateCrtLocale() {
  auto& process = Process();
  process.crtLocale = _create_locale(LC_CTYPE, "");
  if (process.crtLocale == nullptr) process.crtLocale = _create_locale(LC_CTYPE, ".1252");
  return process.crtLocale != nullptr;
}

void ReadOsVersion() {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info));  // result deliberately not tested
  auto& os = Process().os;
  os.major = info.dwMajorVersion;
  os.minor = info.dwMinorVersion;
  os.build = info.dwBuildNumber;
  os.platformId = info.dwPlatformId;
  os.servicePack = info.szCSDVersion;
}

}  // namespace qdrl
