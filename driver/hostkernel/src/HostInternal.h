// What the stand-in's units share among themselves: thread and process records, the
// dispatcher lock that every blocking wait goes through, the rule-violation stop, fault
// injection and the no-throw barrier.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "hostkernel/Host.h"

struct KPROCESS {
  const char* Name;
};

struct KTHREAD {
  PEPROCESS Process = nullptr;
  bool SystemThread = false;
  KIRQL Irql = PASSIVE_LEVEL;
  LONG CriticalRegionDepth = 0;  // normal kernel APCs off while above 0
  PIRP TopLevelIrp = nullptr;
  PDEVICE_OBJECT DeviceToVerify = nullptr;
  ULONG HeldSpinLocks = 0;
  // Special kernel APCs queued to the thread (the last stage of its I/O completions),
  // delivered when it waits or leaves a system service at PASSIVE_LEVEL.
  std::deque<std::function<void()>> Apcs;
};

namespace hk {

extern KPROCESS SystemProcess;
extern KPROCESS UserProcess;

// The thread record of the calling host thread, made on first use.
PKTHREAD CurrentThread();
// Marks the calling host thread as a system thread of the system process.
void BecomeSystemThread();

// Stops the emulated system because a caller broke a rule Windows enforces (by a bug
// check or by hanging): prints what happened and bug-checks with
// DRIVER_VERIFIER_DETECTED_VIOLATION.
[[noreturn]] void Violation(const char* Format, ...) __attribute__((format(printf, 1, 2)));

// The one lock of all waitable state (events, fast mutexes, resources, the work queue),
// like the kernel's dispatcher lock, and the condition every waiter sleeps on.
std::mutex& DispatcherLock();
void WakeWaiters();

// Blocks until Ready() holds, under the dispatcher lock. Blocking at DISPATCH_LEVEL or
// while holding a spin lock stops the system; so does a wait the watchdog sees outlast
// its limit (What names the wait in the report).
template <typename Predicate>
void WaitUntil(std::unique_lock<std::mutex>& Lock, Predicate Ready, const char* What);
void WaitChecks(const char* What);
bool WaitOnce(std::unique_lock<std::mutex>& Lock, const char* What, unsigned& WaitedMs);

template <typename Predicate>
void WaitUntil(std::unique_lock<std::mutex>& Lock, Predicate Ready, const char* What) {
  if (Ready()) return;
  WaitChecks(What);
  unsigned WaitedMs = 0;
  while (!Ready()) WaitOnce(Lock, What, WaitedMs);
}

// Queues Routine as a special kernel APC to Thread; delivers the calling thread's APCs.
void QueueApc(PKTHREAD Thread, std::function<void()> Routine);
void DeliverApcs();

// A failure injected into a kernel call, or STATUS_SUCCESS.
NTSTATUS TakeCallFault(HkCall Call);

// Runs driver code where Windows allows no exception to escape; an escape is the bug
// check KMODE_EXCEPTION_NOT_HANDLED with the exception's code and address.
template <typename Body>
auto NoThrowBarrier(Body&& Run) -> decltype(Run());
[[noreturn]] void EscapedException(const NtException& Exception);
[[noreturn]] void EscapedForeignException();

template <typename Body>
auto NoThrowBarrier(Body&& Run) -> decltype(Run()) {
  try {
    return Run();
  } catch (const NtException& Exception) {
    EscapedException(Exception);
  } catch (...) {
    EscapedForeignException();
  }
}

// Offers Device to the registered file systems unless its VPB is mounted (the front end's
// mount, which IoVerifyVolume uses to remount a changed medium).
NTSTATUS MountIfNeeded(PDEVICE_OBJECT Device);

// Sends a mount or verify request (IRP_MN_MOUNT_VOLUME or IRP_MN_VERIFY_VOLUME, with
// StackFlags) for Vpb on RealDevice to Target and waits for its answer: a mount-completion
// IRP of the calling thread, as the I/O manager builds both.
NTSTATUS SendVolumeRequest(PDEVICE_OBJECT Target, UCHAR MinorFunction, UCHAR StackFlags, PVPB Vpb,
                           PDEVICE_OBJECT RealDevice);

// The filter callbacks Driver registered; false when it registered none.
bool FileSystemFilterCallbacks(PDRIVER_OBJECT Driver, FS_FILTER_CALLBACKS* Callbacks);

// Object bookkeeping shared by Io.cpp and the front end.
void RegisterObject(PVOID Object, LONG InitialReferences);
void DeleteFileObject(PFILE_OBJECT FileObject);

// Pool internals the lookaside lists use: marks an allocation as held by a list (not a
// leak) or back in use.
void MarkCachedInLookaside(PVOID Block, bool Cached);

// The user buffers the front end registered for the current request's probing.
bool UserRangeAccessible(PVOID Address, SIZE_T Length, bool Write);

// Requests the front end sent for host threads, from sending to their last stage of
// completion (which runs in the requesting thread), so that NtCancelIoFile finds them.
void TrackRequest(PIRP Irp);
std::vector<PIRP> TrackedRequests(PKTHREAD Thread, PFILE_OBJECT FileObject);

// A package's requests held cancellable, each with the record its cancel routine needs
// (a State member, null once the request left the package). Both under the package's
// lock, which its cancel routine takes before looking for the IRP.
//
// Holds Irp with Cancel as its cancel routine; false when it was cancelled before (the
// caller then ends it with STATUS_CANCELLED).
template <typename Record>
bool HoldCancellable(std::map<PIRP, Record>& Held, PIRP Irp, PDRIVER_CANCEL Cancel, const Record& What) {
  IoSetCancelRoutine(Irp, Cancel);
  if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) return false;
  Held[Irp] = What;
  return true;
}

// Takes Irp, leaving the package, back from cancellation. False when its cancel routine
// is already running: that routine completes it, so the caller must not.
template <typename Record>
bool Unhold(std::map<PIRP, Record>& Held, PIRP Irp) {
  auto Found = Held.find(Irp);
  if (IoSetCancelRoutine(Irp, nullptr) != nullptr) {
    Held.erase(Found);
    return true;
  }
  Found->second.State = nullptr;
  return false;
}

}  // namespace hk
