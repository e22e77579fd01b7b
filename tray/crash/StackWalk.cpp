#include "StackWalk.h"

#include <dbghelp.h>

#include <cstddef>
#include <memory>

#include "RuntimeLink.h"

namespace qdrl {

namespace {

constexpr DWORD kFailCriticalErrors = 0x200;
constexpr DWORD kModulePathCapacity = 260;

struct SymbolFunctions {
  decltype(&::SymInitialize) initialize = nullptr;
  decltype(&::SymCleanup) cleanup = nullptr;
  decltype(&::SymGetOptions) getOptions = nullptr;
  decltype(&::SymSetOptions) setOptions = nullptr;
  decltype(&::SymFunctionTableAccess64) functionTableAccess = nullptr;
  decltype(&::SymGetModuleBase64) moduleBase = nullptr;
  decltype(&::StackWalk64) stackWalk = nullptr;

  explicit SymbolFunctions(HMODULE dbghelp)
      : initialize(LibraryFunction<decltype(initialize)>(dbghelp, "SymInitialize")),
        cleanup(LibraryFunction<decltype(cleanup)>(dbghelp, "SymCleanup")),
        getOptions(LibraryFunction<decltype(getOptions)>(dbghelp, "SymGetOptions")),
        setOptions(LibraryFunction<decltype(setOptions)>(dbghelp, "SymSetOptions")),
        functionTableAccess(
            LibraryFunction<decltype(functionTableAccess)>(dbghelp, "SymFunctionTableAccess64")),
        moduleBase(LibraryFunction<decltype(moduleBase)>(dbghelp, "SymGetModuleBase64")),
        stackWalk(LibraryFunction<decltype(stackWalk)>(dbghelp, "StackWalk64")) {}

  bool Complete() const {
    return initialize && cleanup && getOptions && setOptions && functionTableAccess &&
           moduleBase && stackWalk;
  }
};

// How many bytes from `address` on are committed and readable in one region.
std::size_t ReadableBytes(const void* address) {
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery(address, &region, sizeof(region)) == 0 || region.State != MEM_COMMIT ||
      (region.Protect & (PAGE_NOACCESS | PAGE_GUARD)) != 0) {
    return 0;
  }
  return region.RegionSize -
         (static_cast<const BYTE*>(address) - static_cast<const BYTE*>(region.BaseAddress));
}

// The section table of a loaded image, checked against the readable header pages
// before anything in it is believed.
std::vector<SectionRange> ImageSections(const BYTE* base) {
  const std::size_t readable = ReadableBytes(base);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (readable < sizeof(IMAGE_DOS_HEADER) || dos->e_magic != IMAGE_DOS_SIGNATURE ||
      dos->e_lfanew < 0 ||
      static_cast<std::size_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS) > readable) {
    return {};
  }
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE) return {};
  const std::size_t tableOffset = static_cast<std::size_t>(dos->e_lfanew) +
                                  offsetof(IMAGE_NT_HEADERS, OptionalHeader) +
                                  nt->FileHeader.SizeOfOptionalHeader;
  const std::size_t count = nt->FileHeader.NumberOfSections;
  if (tableOffset + count * sizeof(IMAGE_SECTION_HEADER) > readable) return {};
  const auto* table = reinterpret_cast<const IMAGE_SECTION_HEADER*>(base + tableOffset);
  std::vector<SectionRange> sections;
  for (std::size_t i = 0; i < count; ++i) {
    sections.push_back({table[i].VirtualAddress, table[i].Misc.VirtualSize, table[i].SizeOfRawData});
  }
  return sections;
}

// Fills in the module path and the section-relative address of a frame. Only a
// mapped image has headers: a call through a null pointer leaves the program counter
// at 0, where the region's allocation base is null, and a null module handle would
// even name the program itself.
void FindLogicalAddress(StackFrame& frame) {
  MEMORY_BASIC_INFORMATION region;
  const auto* pc = reinterpret_cast<const void*>(frame.programCounter);
  if (VirtualQuery(pc, &region, sizeof(region)) == 0 || region.Type != MEM_IMAGE ||
      region.AllocationBase == nullptr) {
    return;
  }
  const auto* base = static_cast<const BYTE*>(region.AllocationBase);
  wchar_t path[kModulePathCapacity];
  const DWORD length =
      GetModuleFileNameW(reinterpret_cast<HMODULE>(region.AllocationBase), path, kModulePathCapacity);
  if (length == 0) return;
  frame.modulePath.assign(path, length < kModulePathCapacity ? length : kModulePathCapacity - 1);
  const auto sections = ImageSections(base);
  const auto logical = FindSection(sections, frame.programCounter - reinterpret_cast<UINT_PTR>(base));
  if (logical) {
    frame.section = logical->section;
    frame.sectionOffset = logical->offset;
  }
}

ADDRESS64 FlatAddress(DWORD64 offset) { return ADDRESS64{offset, 0, AddrModeFlat}; }

std::vector<StackFrame> Walk(const SymbolFunctions& sym, const CONTEXT& exceptionContext) {
  HANDLE process = GetCurrentProcess();
  // The walk rewrites the context as it unwinds; CONTEXT is large for a stack that
  // may be nearly used up.
  auto context = std::make_unique<CONTEXT>(exceptionContext);
  STACKFRAME64 step{};
  step.AddrPC = FlatAddress(context->Rip);
  step.AddrFrame = FlatAddress(context->Rbp);
  step.AddrStack = FlatAddress(context->Rsp);
  std::vector<StackFrame> frames;
  // The cap ends a walk that a corrupted stack sends round in a circle.
  while (frames.size() < kMaxStackFrames &&
         sym.stackWalk(IMAGE_FILE_MACHINE_AMD64, process, GetCurrentThread(), &step, context.get(),
                       nullptr, sym.functionTableAccess, sym.moduleBase, nullptr)) {
    StackFrame frame;
    frame.programCounter = step.AddrPC.Offset;
    frame.frameAddress = step.AddrFrame.Offset;
    FindLogicalAddress(frame);
    frames.push_back(std::move(frame));
    if (step.AddrReturn.Offset == 0 || step.AddrReturn.Offset == step.AddrPC.Offset) break;
  }
  return frames;
}

}  // namespace

std::vector<StackFrame> WalkStack(const CONTEXT& exceptionContext) {
  HMODULE dbghelp = LoadLocalOrSystemLibrary(L"dbghelp.dll");
  if (dbghelp == nullptr) return {};
  const SymbolFunctions sym(dbghelp);
  std::vector<StackFrame> frames;
  if (sym.Complete() && sym.initialize(GetCurrentProcess(), nullptr, TRUE)) {
    sym.setOptions(sym.getOptions() | kFailCriticalErrors);
    frames = Walk(sym, exceptionContext);
    sym.cleanup(GetCurrentProcess());
  }
  FreeLibrary(dbghelp);
  return frames;
}

}  // namespace qdrl
