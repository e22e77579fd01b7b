// A stand-in for "dbghelp.dll", placed beside the program by the broken-stack Wine
// test. Wine's own walker gives up on the first frame that lies outside every module,
// so a call through a null pointer yields no frames at all there, while the system's
// walker reports the frame at address 0 and goes on to its caller. This stand-in
// walks the way the system's does: function tables of the loaded modules through the
// system's unwinder, and any code outside a module as a leaf function whose return
// address is on top of the stack. Symbol handling is not needed and does nothing.
#include <windows.h>
#include <dbghelp.h>

namespace {

// The frame counter is kept where the system keeps its walk state.
DWORD64& StepCount(STACKFRAME64* frame) { return frame->Reserved[0]; }

PRUNTIME_FUNCTION ModuleFunctionEntry(DWORD64 address, DWORD64* imageBase) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(address), &module)) {
    return nullptr;
  }
  const auto base = reinterpret_cast<const BYTE*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXCEPTION];
  auto* table = reinterpret_cast<PRUNTIME_FUNCTION>(const_cast<BYTE*>(base) + directory.VirtualAddress);
  const DWORD count = directory.Size / sizeof(RUNTIME_FUNCTION);
  const DWORD64 rva = address - reinterpret_cast<DWORD64>(base);
  for (DWORD i = 0; i < count; ++i) {
    if (rva >= table[i].BeginAddress && rva < table[i].EndAddress) {
      *imageBase = reinterpret_cast<DWORD64>(base);
      return &table[i];
    }
  }
  return nullptr;
}

// One frame outwards; false when the return address cannot be read.
bool Unwind(CONTEXT& context) {
  DWORD64 imageBase = 0;
  if (PRUNTIME_FUNCTION function = ModuleFunctionEntry(context.Rip, &imageBase)) {
    void* handlerData = nullptr;
    DWORD64 establisherFrame = 0;
    RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context, &handlerData,
                     &establisherFrame, nullptr);
    return true;
  }
  DWORD64 returnAddress = 0;
  if (!ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<void*>(context.Rsp), &returnAddress,
                         sizeof(returnAddress), nullptr)) {
    return false;
  }
  context.Rip = returnAddress;
  context.Rsp += sizeof(returnAddress);
  return true;
}

}  // namespace

// Exported under the system library's names (dbghelp_standin.def).
extern "C" {

BOOL WINAPI StandinSymInitialize(HANDLE, PCSTR, BOOL) { return TRUE; }
BOOL WINAPI StandinSymCleanup(HANDLE) { return TRUE; }
DWORD WINAPI StandinSymGetOptions() { return 0; }
DWORD WINAPI StandinSymSetOptions(DWORD options) { return options; }

PVOID WINAPI StandinSymFunctionTableAccess64(HANDLE, DWORD64 address) {
  DWORD64 imageBase = 0;
  return ModuleFunctionEntry(address, &imageBase);
}

DWORD64 WINAPI StandinSymGetModuleBase64(HANDLE, DWORD64 address) {
  HMODULE module = nullptr;
  return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(address), &module)
             ? reinterpret_cast<DWORD64>(module)
             : 0;
}

BOOL WINAPI StandinStackWalk64(DWORD machine, HANDLE, HANDLE, LPSTACKFRAME64 frame, PVOID contextRecord,
                        PREAD_PROCESS_MEMORY_ROUTINE64, PFUNCTION_TABLE_ACCESS_ROUTINE64,
                        PGET_MODULE_BASE_ROUTINE64, PTRANSLATE_ADDRESS_ROUTINE64) {
  if (machine != IMAGE_FILE_MACHINE_AMD64 || contextRecord == nullptr) return FALSE;
  auto& context = *static_cast<CONTEXT*>(contextRecord);
  if (StepCount(frame) > 0 && (frame->AddrReturn.Offset == 0 || !Unwind(context))) return FALSE;
  frame->AddrPC.Offset = context.Rip;
  frame->AddrFrame.Offset = context.Rbp;
  frame->AddrStack.Offset = context.Rsp;
  CONTEXT caller = context;
  if (!Unwind(caller)) return FALSE;
  frame->AddrReturn.Offset = caller.Rip;
  frame->AddrReturn.Mode = AddrModeFlat;
  ++StepCount(frame);
  return TRUE;
}

}  // extern "C"
