// Injected into the running program by qdrlcrash to fail on a stack whose frame chain
// goes round in a circle for a stack walker, while the system's own exception
// dispatch still finds its way out to the thread's start and so to the program's
// unhandled-exception filter.
//
// The failing code sits in a buffer that is no module. The system unwinds it through
// a function table registered for the buffer; a stack walker that knows only the
// modules' tables takes it for a leaf function and reads its return address from the
// top of the stack, where the code has put an address inside CyclicFrame. That
// function keeps its frame in RBP, and RBP points into a pair of frame records that
// name each other as the caller's frame, with return addresses alternating between
// two points of CyclicFrame: its frames follow one another for ever.
#include <windows.h>

#include <cstring>

extern "C" char CyclicFrameFirstReturn[];
extern "C" char CyclicFrameSecondReturn[];

// Never called: it exists for its unwind information (RBP as frame register) and the
// two return points inside its body.
asm(R"(
  .text
  .globl CyclicFrame
  .def CyclicFrame; .scl 2; .type 32; .endef
  .seh_proc CyclicFrame
CyclicFrame:
  pushq %rbp
  .seh_pushreg %rbp
  movq %rsp, %rbp
  .seh_setframe %rbp, 0
  .seh_endprologue
  nop
  .globl CyclicFrameFirstReturn
CyclicFrameFirstReturn:
  nop
  nop
  .globl CyclicFrameSecondReturn
CyclicFrameSecondReturn:
  nop
  nop
  popq %rbp
  ret
  .seh_endproc
)");

namespace {

// void Fail(void* frameRecords, void* fakeReturn): saves RBP, reserves 32 bytes,
// puts fakeReturn at the top of the stack, loads RBP with frameRecords and reads
// address 0.
constexpr unsigned char kFailingCode[] = {
    0x55,                    // push rbp
    0x48, 0x83, 0xEC, 0x20,  // sub rsp, 0x20
    0x48, 0x89, 0x14, 0x24,  // mov [rsp], rdx
    0x48, 0x89, 0xCD,        // mov rbp, rcx
    0x31, 0xC0,              // xor eax, eax
    0x48, 0x8B, 0x00,        // mov rax, [rax]
    0xCC,                    // int3 (never reached)
};

// Version 1, prologue of 5 bytes, two codes: at offset 5 "sub rsp, 0x20" (small
// allocation, (0x20 / 8) - 1), at offset 1 "push rbp" (register 5).
constexpr unsigned char kFailingUnwindInfo[] = {0x01, 0x05, 0x02, 0x00, 0x05, 0x32, 0x01, 0x50};

constexpr std::size_t kUnwindInfoOffset = 0x40;
constexpr std::size_t kFrameRecordsOffset = 0x80;

struct FrameRecord {
  void* callerFrame;
  void* returnAddress;
};

}  // namespace

extern "C" __declspec(dllexport) DWORD WINAPI CorruptStackAndFault(void*) {
  auto* buffer = static_cast<unsigned char*>(
      VirtualAlloc(nullptr, 0x1000, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
  if (buffer == nullptr) return 1;
  std::memcpy(buffer, kFailingCode, sizeof(kFailingCode));
  std::memcpy(buffer + kUnwindInfoOffset, kFailingUnwindInfo, sizeof(kFailingUnwindInfo));
  auto* function = reinterpret_cast<RUNTIME_FUNCTION*>(buffer + kUnwindInfoOffset + 0x20);
  function->BeginAddress = 0;
  function->EndAddress = sizeof(kFailingCode);
  function->UnwindData = kUnwindInfoOffset;
  if (!RtlAddFunctionTable(function, 1, reinterpret_cast<DWORD64>(buffer))) return 1;

  auto* records = reinterpret_cast<FrameRecord*>(buffer + kFrameRecordsOffset);
  records[0] = {&records[1], CyclicFrameFirstReturn};
  records[1] = {&records[0], CyclicFrameSecondReturn};
  FlushInstructionCache(GetCurrentProcess(), buffer, 0x1000);
  auto fail = reinterpret_cast<void (*)(void*, void*)>(reinterpret_cast<void*>(buffer));
  fail(&records[0], CyclicFrameSecondReturn);
  return 0;
}
