#include "ModuleList.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstring>

#include "RuntimeLink.h"

namespace qdrl {

namespace {

constexpr DWORD kVersionBlockCapacity = 5000;

struct ToolhelpFunctions {
  decltype(&::CreateToolhelp32Snapshot) createSnapshot = nullptr;
  decltype(&::Module32FirstW) first = nullptr;
  decltype(&::Module32NextW) next = nullptr;

  explicit ToolhelpFunctions(HMODULE kernel32)
      : createSnapshot(LibraryFunction<decltype(createSnapshot)>(kernel32, "CreateToolhelp32Snapshot")),
        first(LibraryFunction<decltype(first)>(kernel32, "Module32FirstW")),
        next(LibraryFunction<decltype(next)>(kernel32, "Module32NextW")) {}

  bool Complete() const { return createSnapshot && first && next; }
};

// The module's version block when it fits the 5000-byte buffer. A larger block is
// cut short by the read, and its own leading length then tells so: such a block is
// never walked, since its lengths point past the buffer.
std::optional<std::vector<BYTE>> VersionBlock(const wchar_t* path) {
  std::vector<BYTE> block(kVersionBlockCapacity);
  if (!GetFileVersionInfoW(path, 0, kVersionBlockCapacity, block.data())) return std::nullopt;
  WORD length = 0;
  std::memcpy(&length, block.data(), sizeof(length));
  if (length > kVersionBlockCapacity) return std::nullopt;
  return block;
}

std::optional<ReportModule> DescribeModule(const MODULEENTRY32W& entry) {
  auto block = VersionBlock(entry.szExePath);
  if (!block) return std::nullopt;
  ReportModule module;
  module.path = entry.szExePath;
  module.base = reinterpret_cast<UINT_PTR>(entry.modBaseAddr);
  module.size = entry.modBaseSize;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT size = 0;
  if (VerQueryValueW(block->data(), L"\\", reinterpret_cast<void**>(&fixed), &size) &&
      fixed != nullptr && size >= sizeof(VS_FIXEDFILEINFO)) {
    module.versions = ReportModule::Versions{
        ProductVersion::FromFixedInfo(fixed->dwProductVersionMS, fixed->dwProductVersionLS),
        ProductVersion::FromFixedInfo(fixed->dwFileVersionMS, fixed->dwFileVersionLS)};
  }
  return module;
}

}  // namespace

std::optional<std::vector<ReportModule>> ListModules() {
  const ToolhelpFunctions toolhelp(LoadLibraryW(L"Kernel32.dll"));
  if (!toolhelp.Complete()) return std::nullopt;
  HANDLE snapshot = toolhelp.createSnapshot(TH32CS_SNAPMODULE, GetCurrentProcessId());
  if (snapshot == INVALID_HANDLE_VALUE) return std::nullopt;
  std::vector<ReportModule> modules;
  MODULEENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = toolhelp.first(snapshot, &entry); more; more = toolhelp.next(snapshot, &entry)) {
    if (auto module = DescribeModule(entry)) modules.push_back(std::move(*module));
  }
  CloseHandle(snapshot);
  return modules;
}

}  // namespace qdrl
