// The kernel layer: thread records, emulated IRQL, spin locks, events and waits with a
// watchdog, critical regions, the bug check and the stack-expansion callout.
#include <execinfo.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <memory>
#include <thread>

#include "HostInternal.h"

KPROCESS hk::SystemProcess{"System"};
KPROCESS hk::UserProcess{"Host"};

namespace {

thread_local std::unique_ptr<KTHREAD> CurrentThreadRecord;
std::atomic<unsigned> WatchdogMs{60000};
std::atomic<HkBugCheckHook> BugCheckHook{nullptr};
std::condition_variable& DispatcherCondition = *new std::condition_variable;

void CheckMayBlock(const char* What) {
  PKTHREAD Thread = hk::CurrentThread();
  if (Thread->Irql >= DISPATCH_LEVEL || Thread->HeldSpinLocks != 0)
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)What, Thread->Irql, Thread->HeldSpinLocks, 0);
}

}  // namespace

PKTHREAD hk::CurrentThread() {
  if (!CurrentThreadRecord) {
    CurrentThreadRecord = std::make_unique<KTHREAD>();
    CurrentThreadRecord->Process = &UserProcess;
  }
  return CurrentThreadRecord.get();
}

void hk::BecomeSystemThread() {
  PKTHREAD Thread = CurrentThread();
  Thread->Process = &SystemProcess;
  Thread->SystemThread = true;
}

void hk::Violation(const char* Format, ...) {
  va_list Arguments;
  va_start(Arguments, Format);
  std::fputs("stand-in: rule broken: ", stderr);
  std::vfprintf(stderr, Format, Arguments);
  std::fputc('\n', stderr);
  va_end(Arguments);
  KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, 0, 0, 0, 0);
}

// Never destroyed: idle worker threads still wait on them while the host process exits.
std::mutex& hk::DispatcherLock() {
  static std::mutex& Lock = *new std::mutex;
  return Lock;
}

void hk::WakeWaiters() { DispatcherCondition.notify_all(); }

void hk::WaitChecks(const char* What) { CheckMayBlock(What); }

bool hk::WaitOnce(std::unique_lock<std::mutex>& Lock, const char* What, unsigned& WaitedMs) {
  const unsigned Slice = 50;
  bool Woken = DispatcherCondition.wait_for(Lock, std::chrono::milliseconds(Slice)) ==
               std::cv_status::no_timeout;
  if (!Woken) WaitedMs += Slice;
  if (WaitedMs > WatchdogMs.load()) {
    std::fprintf(stderr, "stand-in: watchdog: a wait on %s outlasted %u ms\n", What,
                 WatchdogMs.load());
    KeBugCheckEx(DEADLOCK_WATCHDOG, (ULONG_PTR)What, WaitedMs, 0, 0);
  }
  return Woken;
}

void HkSetWaitWatchdog(unsigned Milliseconds) { WatchdogMs = Milliseconds; }
void HkSetBugCheckHook(HkBugCheckHook Hook) { BugCheckHook = Hook; }

// ---- Bug check -----------------------------------------------------------------------------

void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  const ULONG_PTR Parameters[4] = {P1, P2, P3, P4};
  std::fprintf(stderr, "*** STOP: 0x%08X (0x%lX, 0x%lX, 0x%lX, 0x%lX)\n", BugCheckCode,
               (unsigned long)P1, (unsigned long)P2, (unsigned long)P3, (unsigned long)P4);
  // The stopping thread's stack stands in for the dump a real system writes.
  void* Frames[64];
  backtrace_symbols_fd(Frames, backtrace(Frames, 64), fileno(stderr));
  std::fflush(stderr);
  if (HkBugCheckHook Hook = BugCheckHook.load()) Hook(BugCheckCode, Parameters);
  // The system ends here: no destructor, no handler, no other thread runs on.
  std::_Exit(3);
}

void KeBugCheck(ULONG BugCheckCode) { KeBugCheckEx(BugCheckCode, 0, 0, 0, 0); }

// ---- Exceptions ------------------------------------------------------------------------------

NtException::NtException(const EXCEPTION_RECORD& RaisedRecord, PVOID Address)
    : Record(RaisedRecord), Context{(ULONG64)Address, 0}, Pointers{&Record, &Context} {
  Record.ExceptionAddress = Address;
}

NtException::NtException(const NtException& Other)
    : Record(Other.Record), Context(Other.Context), Pointers{&Record, &Context} {}

void ExRaiseStatus(NTSTATUS Status) {
  EXCEPTION_RECORD Record{};
  Record.ExceptionCode = Status;
  Record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  throw NtException(Record, __builtin_return_address(0));
}

void ExRaiseException(PEXCEPTION_RECORD Record) {
  throw NtException(*Record, __builtin_return_address(0));
}

bool HkSehFilterVerdict(LONG Verdict) {
  if (Verdict == EXCEPTION_CONTINUE_EXECUTION)
    hk::Violation("an exception filter asked to continue a non-continuable exception");
  return Verdict == EXCEPTION_EXECUTE_HANDLER;
}

void hk::EscapedException(const NtException& Exception) {
  KeBugCheckEx(KMODE_EXCEPTION_NOT_HANDLED, (ULONG)Exception.Record.ExceptionCode,
               (ULONG_PTR)Exception.Record.ExceptionAddress, 0, 0);
}

void hk::EscapedForeignException() {
  std::fputs("stand-in: a C++ exception that is not a raised status left driver code\n", stderr);
  KeBugCheckEx(KMODE_EXCEPTION_NOT_HANDLED, 0, 0, 0, 0);
}

// ---- IRQL and spin locks ---------------------------------------------------------------------

KIRQL KeGetCurrentIrql() { return hk::CurrentThread()->Irql; }

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  PKTHREAD Thread = hk::CurrentThread();
  if (NewIrql < Thread->Irql) hk::Violation("KeRaiseIrql to a lower IRQL");
  *OldIrql = Thread->Irql;
  Thread->Irql = NewIrql;
}

void KeLowerIrql(KIRQL NewIrql) {
  PKTHREAD Thread = hk::CurrentThread();
  if (NewIrql > Thread->Irql) hk::Violation("KeLowerIrql to a higher IRQL");
  Thread->Irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel() {
  KIRQL Old;
  KeRaiseIrql(DISPATCH_LEVEL, &Old);
  return Old;
}

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  PKTHREAD Thread = hk::CurrentThread();
  if (Thread->Irql < DISPATCH_LEVEL) hk::Violation("spin lock taken below DISPATCH_LEVEL");
  if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == (ULONG_PTR)Thread)
    hk::Violation("spin lock taken twice by one thread");
  ULONG_PTR Free = 0;
  while (!__atomic_compare_exchange_n(SpinLock, &Free, (ULONG_PTR)Thread, false, __ATOMIC_ACQUIRE,
                                      __ATOMIC_RELAXED)) {
    Free = 0;
    std::this_thread::yield();
  }
  Thread->HeldSpinLocks++;
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  PKTHREAD Thread = hk::CurrentThread();
  if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != (ULONG_PTR)Thread)
    hk::Violation("spin lock released by a thread that does not hold it");
  Thread->HeldSpinLocks--;
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  KeRaiseIrql(DISPATCH_LEVEL, OldIrql);
  KeAcquireSpinLockAtDpcLevel(SpinLock);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  KIRQL Old;
  KeAcquireSpinLock(SpinLock, &Old);
  return Old;
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  KeReleaseSpinLockFromDpcLevel(SpinLock);
  KeLowerIrql(NewIrql);
}

// ---- Events and waits ------------------------------------------------------------------------

void KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  std::memset(Event, 0, sizeof(*Event));
  Event->Header.Type = (UCHAR)Type;
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PKEVENT Event, KPRIORITY, BOOLEAN) {
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  LONG Previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  hk::WakeWaiters();
  return Previous;
}

void KeClearEvent(PKEVENT Event) {
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  Event->Header.SignalState = 0;
}

LONG KeResetEvent(PKEVENT Event) {
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  LONG Previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return Previous;
}

LONG KeReadStateEvent(PKEVENT Event) {
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  return Event->Header.SignalState;
}

void hk::QueueApc(PKTHREAD Thread, std::function<void()> Routine) {
  std::lock_guard<std::mutex> Lock(DispatcherLock());
  Thread->Apcs.push_back(std::move(Routine));
  WakeWaiters();
}

void hk::DeliverApcs() {
  PKTHREAD Thread = CurrentThread();
  if (Thread->Irql != PASSIVE_LEVEL) return;
  for (;;) {
    std::function<void()> Routine;
    {
      std::lock_guard<std::mutex> Lock(DispatcherLock());
      if (Thread->Apcs.empty()) return;
      Routine = std::move(Thread->Apcs.front());
      Thread->Apcs.pop_front();
    }
    Routine();
  }
}

// Waits for an event. A thread waiting at PASSIVE_LEVEL runs the APCs queued to it
// meanwhile, as Windows delivers special kernel APCs to a waiting thread.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER Timeout) {
  auto* Event = (PKEVENT)Object;
  PKTHREAD Thread = hk::CurrentThread();
  bool TakesApcs = Thread->Irql == PASSIVE_LEVEL;
  std::unique_lock<std::mutex> Lock(hk::DispatcherLock());
  auto Consume = [Event] {
    if (Event->Header.Type == SynchronizationEvent) Event->Header.SignalState = 0;
    return STATUS_WAIT_0;
  };
  for (;;) {
    if (Event->Header.SignalState) return Consume();
    if (Timeout && Timeout->QuadPart == 0) return STATUS_TIMEOUT;
    hk::WaitUntil(Lock, [&] { return Event->Header.SignalState != 0 || (TakesApcs && !Thread->Apcs.empty()); },
                  "an event");
    if (TakesApcs && !Thread->Apcs.empty()) {
      Lock.unlock();
      hk::DeliverApcs();
      Lock.lock();
    }
  }
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  hk::WaitChecks("a delay");
  LONGLONG Units = Interval->QuadPart < 0 ? -Interval->QuadPart : 0;
  std::this_thread::sleep_for(std::chrono::microseconds(Units / 10));
  return STATUS_SUCCESS;
}

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  using namespace std::chrono;
  const LONGLONG UnixEpochIn1601Units = 116444736000000000LL;
  auto Since1970 = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
  CurrentTime->QuadPart = UnixEpochIn1601Units + Since1970 * 10;
}

// ---- Threads, processes and critical regions ----------------------------------------------

PKTHREAD KeGetCurrentThread() { return hk::CurrentThread(); }
PETHREAD PsGetCurrentThread() { return hk::CurrentThread(); }
PEPROCESS PsGetCurrentProcess() { return hk::CurrentThread()->Process; }
PEPROCESS IoGetCurrentProcess() { return hk::CurrentThread()->Process; }
PEPROCESS PsGetThreadProcess(PETHREAD Thread) { return Thread->Process; }
BOOLEAN PsIsSystemThread(PETHREAD Thread) { return Thread->SystemThread; }
HANDLE PsGetCurrentThreadId() { return (HANDLE)hk::CurrentThread(); }

void KeEnterCriticalRegion() { hk::CurrentThread()->CriticalRegionDepth++; }

void KeLeaveCriticalRegion() {
  PKTHREAD Thread = hk::CurrentThread();
  if (Thread->CriticalRegionDepth == 0) hk::Violation("KeLeaveCriticalRegion without a region");
  Thread->CriticalRegionDepth--;
}

BOOLEAN KeAreApcsDisabled() {
  PKTHREAD Thread = hk::CurrentThread();
  return Thread->CriticalRegionDepth > 0 || Thread->Irql >= APC_LEVEL;
}

BOOLEAN KeAreAllApcsDisabled() { return hk::CurrentThread()->Irql >= APC_LEVEL; }

void FsRtlEnterFileSystem() { KeEnterCriticalRegion(); }
void FsRtlExitFileSystem() { KeLeaveCriticalRegion(); }

NTSTATUS KeExpandKernelStackAndCalloutEx(PEXPAND_STACK_CALLOUT Callout, PVOID Parameter,
                                         SIZE_T Size, BOOLEAN, PVOID) {
  if (Size > 0x18000) return STATUS_INVALID_PARAMETER_1;
  NTSTATUS Injected = hk::TakeCallFault(HkCall::KeExpandKernelStack);
  if (!NT_SUCCESS(Injected)) return Injected;
  hk::NoThrowBarrier([&] { Callout(Parameter); });
  return STATUS_SUCCESS;
}

// ---- Interlocked operations ------------------------------------------------------------------

LONG InterlockedIncrement(volatile LONG* Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedDecrement(volatile LONG* Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedExchange(volatile LONG* Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
LONG InterlockedCompareExchange(volatile LONG* Destination, LONG Exchange, LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comparand;
}
LONG InterlockedExchangeAdd(volatile LONG* Addend, LONG Value) {
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
