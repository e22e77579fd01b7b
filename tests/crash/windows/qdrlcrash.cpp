// qdrlcrash: makes the running qdrlgui fail from outside, the way a fault of its own
// would, by starting a thread in it:
//   at RVA MS        at an address inside qdrlgui.exe (RVA hexadecimal), for example
//                    in a data section, which faults on the first instruction
//   twice RVA MS     the same from two threads started together, so that both fault
//                    at about the same moment
//   null MS          at address 0, like a call through a null pointer
//   cyclic DLL MS    after loading DLL (cyclic_frames.dll) into it, at the DLL's
//                    CorruptStackAndFault
//   modules          lists the program's modules: base, size and path
// The crash commands print the thread's start address, then wait at most MS
// milliseconds for the program to end and print "exit 0x<code>" or "running".
// Exit code 0 on success, 1 when something is missing, 3 on a usage error.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kDone = 0;
constexpr int kMissing = 1;
constexpr int kUsage = 3;

struct Module {
  std::uintptr_t base;
  DWORD size;
  std::wstring path;
};

DWORD ProgramProcessId() {
  HWND window = FindWindowW(L"QDRLGUI", nullptr);
  DWORD processId = 0;
  if (window != nullptr) GetWindowThreadProcessId(window, &processId);
  return processId;
}

std::vector<Module> ModulesOf(DWORD processId) {
  std::vector<Module> modules;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
  if (snapshot == INVALID_HANDLE_VALUE) return modules;
  MODULEENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Module32FirstW(snapshot, &entry); more; more = Module32NextW(snapshot, &entry)) {
    modules.push_back({reinterpret_cast<std::uintptr_t>(entry.modBaseAddr), entry.modBaseSize,
                       entry.szExePath});
  }
  CloseHandle(snapshot);
  return modules;
}

std::optional<Module> ModuleNamed(DWORD processId, const wchar_t* fileName) {
  for (const Module& module : ModulesOf(processId)) {
    const auto slash = module.path.find_last_of(L'\\');
    if (_wcsicmp(module.path.c_str() + (slash == std::wstring::npos ? 0 : slash + 1), fileName) == 0) {
      return module;
    }
  }
  return std::nullopt;
}

// Starts `threads` threads of the program at `start`, each created suspended and then
// all resumed at once, and waits for the program to end.
int StartThreadAndWait(HANDLE process, std::uintptr_t start, DWORD timeoutMs, int threads = 1) {
  std::wprintf(L"start 0x%016llX\n", static_cast<unsigned long long>(start));
  std::fflush(stdout);
  std::vector<HANDLE> started;
  for (int i = 0; i < threads; i++) {
    HANDLE thread = CreateRemoteThread(process, nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(start),
                                       nullptr, CREATE_SUSPENDED, nullptr);
    if (thread == nullptr) {
      std::wprintf(L"cannot start a thread (%lu)\n", GetLastError());
      return kMissing;
    }
    started.push_back(thread);
  }
  for (HANDLE thread : started) {
    ResumeThread(thread);
    CloseHandle(thread);
  }
  if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) {
    std::wprintf(L"running\n");
    return kDone;
  }
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  std::wprintf(L"exit 0x%08lX\n", code);
  return kDone;
}

HANDLE OpenProgram(DWORD processId) {
  return OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_CREATE_THREAD |
                         PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE,
                     FALSE, processId);
}

// Loads `dllPath` into the program with a thread at LoadLibraryW, as debuggers do;
// kernel32 lies at the same address in every process.
bool LoadIntoProgram(HANDLE process, const std::wstring& dllPath) {
  const SIZE_T bytes = (dllPath.size() + 1) * sizeof(wchar_t);
  void* remotePath = VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (remotePath == nullptr || !WriteProcessMemory(process, remotePath, dllPath.c_str(), bytes, nullptr)) {
    return false;
  }
  auto loadLibrary = reinterpret_cast<LPTHREAD_START_ROUTINE>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
  HANDLE thread = CreateRemoteThread(process, nullptr, 0, loadLibrary, remotePath, 0, nullptr);
  if (thread == nullptr) return false;
  const bool ended = WaitForSingleObject(thread, 30000) == WAIT_OBJECT_0;
  DWORD loaded = 0;
  GetExitCodeThread(thread, &loaded);
  CloseHandle(thread);
  return ended && loaded != 0;
}

// The offset of an export from its DLL's base, learnt from a copy loaded here.
std::optional<std::uintptr_t> ExportOffset(const std::wstring& dllPath, const char* name) {
  HMODULE local = LoadLibraryW(dllPath.c_str());
  if (local == nullptr) return std::nullopt;
  auto address = reinterpret_cast<std::uintptr_t>(reinterpret_cast<void*>(GetProcAddress(local, name)));
  if (address == 0) return std::nullopt;
  return address - reinterpret_cast<std::uintptr_t>(local);
}

int CrashAtRva(HANDLE process, DWORD processId, std::uintptr_t rva, DWORD timeoutMs, int threads) {
  const auto program = ModuleNamed(processId, L"qdrlgui.exe");
  if (!program) return kMissing;
  return StartThreadAndWait(process, program->base + rva, timeoutMs, threads);
}

int CrashOnCyclicStack(HANDLE process, DWORD processId, const std::wstring& dllPath, DWORD timeoutMs) {
  const auto offset = ExportOffset(dllPath, "CorruptStackAndFault");
  if (!offset || !LoadIntoProgram(process, dllPath)) return kMissing;
  const auto slash = dllPath.find_last_of(L'\\');
  const auto dll = ModuleNamed(processId, dllPath.c_str() + (slash == std::wstring::npos ? 0 : slash + 1));
  if (!dll) return kMissing;
  return StartThreadAndWait(process, dll->base + *offset, timeoutMs);
}

int ListModules(DWORD processId) {
  for (const Module& module : ModulesOf(processId)) {
    std::wprintf(L"%016llX %08lX %ls\n", static_cast<unsigned long long>(module.base), module.size,
                 module.path.c_str());
  }
  return kDone;
}

DWORD Number(const std::wstring& text, int base) {
  return static_cast<DWORD>(std::wcstoul(text.c_str(), nullptr, base));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::vector<std::wstring> args(argv + 1, argv + argc);
  const DWORD processId = ProgramProcessId();
  if (processId == 0) {
    std::wprintf(L"qdrlgui is not running\n");
    return kMissing;
  }
  if (args.size() == 1 && args[0] == L"modules") return ListModules(processId);
  HANDLE process = OpenProgram(processId);
  if (process == nullptr) return kMissing;
  if (args.size() == 3 && (args[0] == L"at" || args[0] == L"twice")) {
    return CrashAtRva(process, processId, Number(args[1], 16), Number(args[2], 10), args[0] == L"at" ? 1 : 2);
  }
  if (args.size() == 2 && args[0] == L"null") return StartThreadAndWait(process, 0, Number(args[1], 10));
  if (args.size() == 3 && args[0] == L"cyclic") {
    return CrashOnCyclicStack(process, processId, args[1], Number(args[2], 10));
  }
  std::fwprintf(stderr, L"usage: qdrlcrash at RVA MS | twice RVA MS | null MS | cyclic DLL MS | modules\n");
  return kUsage;
}
