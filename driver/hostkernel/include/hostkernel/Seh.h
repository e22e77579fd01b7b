// Structured exceptions on the host.
//
// The convention, for every driver source and for the stand-in itself:
//
// * ExRaiseStatus (and every kernel routine documented to raise) throws an NtException,
//   a C++ exception carrying an EXCEPTION_RECORD and a CONTEXT. Nothing else is ever
//   thrown through driver code.
//
// * An exception frame is written with three macros and nothing else:
//
//       SEH_TRY {
//           ...
//       } SEH_EXCEPT (Filter (IrpContext, SEH_EXCEPTION_POINTERS ())) {
//           Status = Handler (IrpContext, Irp, SEH_EXCEPTION_CODE ());
//       } SEH_END;
//
//   On the host the frame is a try/catch; the filter expression is evaluated inside the
//   catch. EXCEPTION_EXECUTE_HANDLER runs the handler, EXCEPTION_CONTINUE_SEARCH
//   rethrows the same exception to the next frame out; EXCEPTION_CONTINUE_EXECUTION is
//   never valid for a raised status and stops the system. A native build maps the three
//   macros to __try, __except and nothing, and the two accessors to GetExceptionCode and
//   GetExceptionInformation, without touching the filters or handlers. The one visible
//   difference: on the host, scope guards of inner frames have already run when the
//   filter is evaluated.
//
// * A termination handler (__finally) is a scope guard:
//
//       SEH_FINALLY {
//           if (SEH_ABNORMAL_TERMINATION ()) ...;
//           release what was taken;
//       };
//
//   declared right after the thing it releases. SEH_ABNORMAL_TERMINATION is true while an
//   exception is in flight through the guard. The guard's body must not raise (it may run
//   during unwinding); where the cleanup itself may raise, write the cleanup as explicit
//   code after the protected part and in an SEH_EXCEPT handler that rethrows with
//   SEH_RETHROW.
//
// * Wherever Windows forbids an exception to escape (dispatch routines, completion
//   routines, work items, fast-I/O entries, cache-manager and filter callbacks) the
//   stand-in enters the driver through HkNoThrowBarrier, which turns an escape into the
//   bug check KMODE_EXCEPTION_NOT_HANDLED. KeBugCheckEx itself never throws: it records
//   its code and parameters and ends the emulated system, so no frame can catch it.
#pragma once

#include <exception>
#include <utility>

#include "hostkernel/NtDef.h"

#define EXCEPTION_MAXIMUM_PARAMETERS 15
#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0
#define EXCEPTION_CONTINUE_EXECUTION (-1)
#define EXCEPTION_NONCONTINUABLE 0x1

struct EXCEPTION_RECORD {
  NTSTATUS ExceptionCode;
  ULONG ExceptionFlags;
  EXCEPTION_RECORD* ExceptionRecord;
  PVOID ExceptionAddress;
  ULONG NumberParameters;
  ULONG_PTR ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
};
using PEXCEPTION_RECORD = EXCEPTION_RECORD*;
static_assert(sizeof(EXCEPTION_RECORD) == 0x98);

// The processor state at the raise. The host keeps only what a bug check reports.
struct CONTEXT {
  ULONG64 Rip;
  ULONG64 Rsp;
};
using PCONTEXT = CONTEXT*;

struct EXCEPTION_POINTERS {
  PEXCEPTION_RECORD ExceptionRecord;
  PCONTEXT ContextRecord;
};
using PEXCEPTION_POINTERS = EXCEPTION_POINTERS*;

// What ExRaiseStatus and ExRaiseException throw.
class NtException {
 public:
  NtException(const EXCEPTION_RECORD& Record, PVOID Address);
  EXCEPTION_RECORD Record;
  CONTEXT Context;
  EXCEPTION_POINTERS Pointers;

  NtException(const NtException& Other);
  NtException& operator=(const NtException&) = delete;
};

[[noreturn]] void ExRaiseStatus(NTSTATUS Status);
[[noreturn]] void ExRaiseException(PEXCEPTION_RECORD Record);

// Checks a filter's verdict inside the catch: true runs the handler, false rethrows.
bool HkSehFilterVerdict(LONG Verdict);

#define SEH_TRY try
#define SEH_EXCEPT(Filter)                                      \
  catch (NtException & sehException_) {                          \
    if (!HkSehFilterVerdict((LONG)(Filter))) throw;
#define SEH_END }
#define SEH_EXCEPTION_CODE() (sehException_.Record.ExceptionCode)
#define SEH_EXCEPTION_POINTERS() (&sehException_.Pointers)
#define SEH_RETHROW() throw

// Scope guard behind SEH_FINALLY: remembers how many exceptions were in flight when it
// was made, so that the body can tell an unwind from a normal exit.
template <typename Body>
class HkFinallyGuard {
 public:
  explicit HkFinallyGuard(Body&& body)
      : body_(std::move(body)), exceptionsAtEntry_(std::uncaught_exceptions()) {}
  ~HkFinallyGuard() { body_(std::uncaught_exceptions() > exceptionsAtEntry_); }
  HkFinallyGuard(const HkFinallyGuard&) = delete;
  HkFinallyGuard& operator=(const HkFinallyGuard&) = delete;

 private:
  Body body_;
  int exceptionsAtEntry_;
};

struct HkFinallyMaker {
  template <typename Body>
  HkFinallyGuard<Body> operator+(Body&& body) {
    return HkFinallyGuard<Body>(std::move(body));
  }
};

#define SEH_CONCAT_(a, b) a##b
#define SEH_CONCAT(a, b) SEH_CONCAT_(a, b)
#define SEH_FINALLY \
  auto SEH_CONCAT(sehFinally_, __LINE__) = HkFinallyMaker() + [&]([[maybe_unused]] bool sehAbnormal_)
#define SEH_ABNORMAL_TERMINATION() (sehAbnormal_)
