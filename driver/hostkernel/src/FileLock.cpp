// The byte-range lock package.
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "HostInternal.h"

namespace {

const ULONG LockStateTag = PoolTag("FSfl");
const ULONG FileLockTag = PoolTag("FSfL");

struct Range {
  ULONG64 Start;
  ULONG64 Length;
  // A zero-length range overlaps nothing; others end at their last byte, which a valid
  // range has below 2^64.
  ULONG64 Last() const { return Start + (Length - 1); }
  bool Overlaps(const Range& Other) const {
    return Length != 0 && Other.Length != 0 && Start <= Other.Last() && Other.Start <= Last();
  }
};

struct Owner {
  PFILE_OBJECT FileObject;
  PVOID Process;
  bool operator==(const Owner& Other) const { return FileObject == Other.FileObject && Process == Other.Process; }
};

struct GrantedLock {
  Range Bytes;
  Owner By;
  ULONG Key;
  bool Exclusive;
};

struct WaitingLock {
  GrantedLock Wanted;
  PIRP Irp;
  PVOID Context;
};

struct LockState {
  std::vector<GrantedLock> Granted;
  std::vector<WaitingLock> Waiting;
};

// One lock for every file lock's state: completions run after it is dropped.
std::mutex PackageLock;

LockState* StateOf(PFILE_LOCK FileLock) { return (LockState*)FileLock->LockInformation; }

// The state of FileLock, made on first use; null when pool is exhausted.
LockState* EnsureState(PFILE_LOCK FileLock) {
  if (FileLock->LockInformation == nullptr) {
    PVOID Memory = ExAllocatePoolWithTag(PagedPool, sizeof(LockState), LockStateTag);
    if (Memory == nullptr) return nullptr;
    FileLock->LockInformation = new (Memory) LockState();
  }
  return StateOf(FileLock);
}

PVOID RequestorProcess(PIRP Irp) {
  PETHREAD Thread = IoGetRequestorThread(Irp);
  return Thread != nullptr ? (PVOID)PsGetThreadProcess(Thread) : (PVOID)IoGetCurrentProcess();
}

// A lock may be granted unless it overlaps an exclusive lock, or is exclusive and overlaps
// any lock. A shared lock may overlap its own owner's exclusive locks.
bool Conflicts(const LockState& State, const GrantedLock& Wanted) {
  for (const GrantedLock& Held : State.Granted) {
    if (!Held.Bytes.Overlaps(Wanted.Bytes)) continue;
    if (Wanted.Exclusive) return true;
    if (Held.Exclusive && !(Held.By == Wanted.By)) return true;
  }
  return false;
}

void RefreshQuestionable(PFILE_LOCK FileLock, const LockState& State) {
  FileLock->FastIoIsQuestionable = (BOOLEAN)!State.Granted.empty();
}

struct Completion {
  PIRP Irp;
  NTSTATUS Status;
  PVOID Context;
};

// The waiting lock requests with the package's cancel routine set: the state holding each
// (null once the request has left its waiting list) and how it is completed.
struct Cancellable {
  LockState* State;
  PVOID Context;
  PCOMPLETE_LOCK_IRP_ROUTINE CompleteLockIrpRoutine;
};

std::map<PIRP, Cancellable>& CancellableIrps() {
  static std::map<PIRP, Cancellable>& Irps = *new std::map<PIRP, Cancellable>;
  return Irps;
}

void Complete(PCOMPLETE_LOCK_IRP_ROUTINE CompleteLockIrpRoutine, const Completion& Each) {
  Each.Irp->IoStatus.Status = Each.Status;
  if (CompleteLockIrpRoutine != nullptr) CompleteLockIrpRoutine(Each.Context, Each.Irp);
  else IoCompleteRequest(Each.Irp, IO_NO_INCREMENT);
}

// Called holding the cancel spin lock, which it drops before taking the package lock.
void CancelWaitingLock(PDEVICE_OBJECT, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  Cancellable Held;
  {
    std::lock_guard<std::mutex> Guard(PackageLock);
    auto Found = CancellableIrps().find(Irp);
    Held = Found->second;
    CancellableIrps().erase(Found);
    for (size_t I = 0; Held.State != nullptr && I < Held.State->Waiting.size(); I++) {
      if (Held.State->Waiting[I].Irp != Irp) continue;
      Held.State->Waiting.erase(Held.State->Waiting.begin() + (ptrdiff_t)I);
      break;
    }
  }
  Irp->IoStatus.Information = 0;
  Complete(Held.CompleteLockIrpRoutine, {Irp, STATUS_CANCELLED, Held.Context});
}

// Sets the cancel routine of a lock request about to wait in State. False when it was
// cancelled before.
bool HoldCancellable(PFILE_LOCK FileLock, LockState& State, PIRP Irp, PVOID Context) {
  return hk::HoldCancellable(CancellableIrps(), Irp, CancelWaitingLock,
                             Cancellable{&State, Context, FileLock->CompleteLockIrpRoutine});
}

bool Unhold(PIRP Irp) { return hk::Unhold(CancellableIrps(), Irp); }

// Grants every waiting lock that no longer conflicts, in arrival order.
void GrantWaiters(LockState& State, std::vector<Completion>& Done) {
  for (size_t I = 0; I < State.Waiting.size();) {
    if (Conflicts(State, State.Waiting[I].Wanted)) {
      I++;
      continue;
    }
    if (Unhold(State.Waiting[I].Irp)) {
      State.Granted.push_back(State.Waiting[I].Wanted);
      Done.push_back({State.Waiting[I].Irp, STATUS_SUCCESS, State.Waiting[I].Context});
    }
    State.Waiting.erase(State.Waiting.begin() + (ptrdiff_t)I);
    I = 0;
  }
}

void Finish(PFILE_LOCK FileLock, const std::vector<Completion>& Done) {
  for (const Completion& Each : Done) Complete(FileLock->CompleteLockIrpRoutine, Each);
}

// Removes the granted locks Match accepts, then the waiting requests of FileObject when
// DropWaiters; lets waiters through that are no longer blocked.
template <typename Matcher>
ULONG RemoveLocks(PFILE_LOCK FileLock, Matcher Match, bool FirstOnly, PFILE_OBJECT DropWaitersOf,
                  std::vector<Completion>& Done) {
  LockState* State = StateOf(FileLock);
  if (State == nullptr) return 0;
  ULONG Removed = 0;
  for (size_t I = 0; I < State->Granted.size();) {
    if (!Match(State->Granted[I])) {
      I++;
      continue;
    }
    State->Granted.erase(State->Granted.begin() + (ptrdiff_t)I);
    Removed++;
    if (FirstOnly) break;
  }
  for (size_t I = 0; DropWaitersOf != nullptr && I < State->Waiting.size();) {
    if (State->Waiting[I].Wanted.By.FileObject != DropWaitersOf) {
      I++;
      continue;
    }
    if (Unhold(State->Waiting[I].Irp))
      Done.push_back({State->Waiting[I].Irp, STATUS_RANGE_NOT_LOCKED, State->Waiting[I].Context});
    State->Waiting.erase(State->Waiting.begin() + (ptrdiff_t)I);
  }
  GrantWaiters(*State, Done);
  RefreshQuestionable(FileLock, *State);
  return Removed;
}

// Whether [Start, Start + Length) meets a lock of another owner that forbids the access.
bool BlockedFor(PFILE_LOCK FileLock, ULONG64 Start, ULONG64 Length, ULONG Key, Owner By, bool Write) {
  std::lock_guard<std::mutex> Guard(PackageLock);
  LockState* State = StateOf(FileLock);
  if (State == nullptr) return false;
  Range Bytes{Start, Length};
  for (const GrantedLock& Held : State->Granted) {
    if (!Held.Bytes.Overlaps(Bytes)) continue;
    bool Own = Held.By == By && Held.Key == Key;
    if (Held.Exclusive && !Own) return true;
    if (!Held.Exclusive && Write) return true;
  }
  return false;
}

// Offsets and lengths count as unsigned; a range whose last byte would lie past 2^64 - 1
// is refused.
bool RangeValid(ULONG64 Start, ULONG64 Length) {
  return Length == 0 || Start + (Length - 1) >= Start;
}

}  // namespace

void FsRtlInitializeFileLock(PFILE_LOCK FileLock, PCOMPLETE_LOCK_IRP_ROUTINE CompleteLockIrpRoutine,
                             PUNLOCK_ROUTINE UnlockRoutine) {
  RtlZeroMemory(FileLock, sizeof(FILE_LOCK));
  FileLock->CompleteLockIrpRoutine = CompleteLockIrpRoutine;
  FileLock->UnlockRoutine = UnlockRoutine;
}

void FsRtlUninitializeFileLock(PFILE_LOCK FileLock) {
  std::vector<Completion> Done;
  {
    std::lock_guard<std::mutex> Guard(PackageLock);
    LockState* State = StateOf(FileLock);
    if (State == nullptr) return;
    for (const WaitingLock& Each : State->Waiting)
      if (Unhold(Each.Irp)) Done.push_back({Each.Irp, STATUS_RANGE_NOT_LOCKED, Each.Context});
    State->~LockState();
    ExFreePoolWithTag(State, LockStateTag);
    FileLock->LockInformation = nullptr;
    FileLock->FastIoIsQuestionable = FALSE;
  }
  Finish(FileLock, Done);
}

PFILE_LOCK FsRtlAllocateFileLock(PCOMPLETE_LOCK_IRP_ROUTINE CompleteLockIrpRoutine, PUNLOCK_ROUTINE UnlockRoutine) {
  auto* FileLock = (PFILE_LOCK)ExAllocatePoolWithTag(PagedPool, sizeof(FILE_LOCK), FileLockTag);
  if (FileLock != nullptr) FsRtlInitializeFileLock(FileLock, CompleteLockIrpRoutine, UnlockRoutine);
  return FileLock;
}

void FsRtlFreeFileLock(PFILE_LOCK FileLock) {
  FsRtlUninitializeFileLock(FileLock);
  ExFreePoolWithTag(FileLock, FileLockTag);
}

BOOLEAN FsRtlPrivateLock(PFILE_LOCK FileLock, PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                         PLARGE_INTEGER Length, PEPROCESS ProcessId, ULONG Key, BOOLEAN FailImmediately,
                         BOOLEAN ExclusiveLock, PIO_STATUS_BLOCK Iosb, PIRP Irp, PVOID Context,
                         BOOLEAN AlreadySynchronized) {
  (void)AlreadySynchronized;
  GrantedLock Wanted{{(ULONG64)FileOffset->QuadPart, (ULONG64)Length->QuadPart},
                     {FileObject, (PVOID)ProcessId}, Key, ExclusiveLock != FALSE};
  NTSTATUS Status;
  {
    std::lock_guard<std::mutex> Guard(PackageLock);
    LockState* State = nullptr;
    if (!RangeValid(Wanted.Bytes.Start, Wanted.Bytes.Length)) {
      Status = STATUS_INVALID_LOCK_RANGE;
    } else if ((State = EnsureState(FileLock)) == nullptr) {
      Status = STATUS_INSUFFICIENT_RESOURCES;
    } else if (!Conflicts(*State, Wanted)) {
      State->Granted.push_back(Wanted);
      RefreshQuestionable(FileLock, *State);
      Status = STATUS_SUCCESS;
    } else if (FailImmediately) {
      Status = STATUS_LOCK_NOT_GRANTED;
    } else if (Irp == nullptr) {
      // A lock that must wait cannot be taken on the fast path.
      return FALSE;
    } else if (!HoldCancellable(FileLock, *State, Irp, Context)) {
      Status = STATUS_CANCELLED;
    } else {
      IoMarkIrpPending(Irp);
      State->Waiting.push_back({Wanted, Irp, Context});
      Iosb->Status = STATUS_PENDING;
      Iosb->Information = 0;
      return TRUE;
    }
  }
  Iosb->Status = Status;
  Iosb->Information = 0;
  if (Irp != nullptr) Finish(FileLock, {{Irp, Status, Context}});
  return TRUE;
}

NTSTATUS FsRtlFastUnlockSingle(PFILE_LOCK FileLock, PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                               PLARGE_INTEGER Length, PEPROCESS ProcessId, ULONG Key, PVOID Context,
                               BOOLEAN AlreadySynchronized) {
  (void)Context;
  (void)AlreadySynchronized;
  Owner By{FileObject, (PVOID)ProcessId};
  Range Bytes{(ULONG64)FileOffset->QuadPart, (ULONG64)Length->QuadPart};
  std::vector<Completion> Done;
  ULONG Removed;
  {
    std::lock_guard<std::mutex> Guard(PackageLock);
    Removed = RemoveLocks(
        FileLock,
        [&](const GrantedLock& Held) {
          return Held.By == By && Held.Key == Key && Held.Bytes.Start == Bytes.Start && Held.Bytes.Length == Bytes.Length;
        },
        true, nullptr, Done);
  }
  Finish(FileLock, Done);
  return Removed != 0 ? STATUS_SUCCESS : STATUS_RANGE_NOT_LOCKED;
}

NTSTATUS FsRtlFastUnlockAll(PFILE_LOCK FileLock, PFILE_OBJECT FileObject, PEPROCESS ProcessId, PVOID Context) {
  (void)Context;
  Owner By{FileObject, (PVOID)ProcessId};
  std::vector<Completion> Done;
  {
    std::lock_guard<std::mutex> Guard(PackageLock);
    RemoveLocks(FileLock, [&](const GrantedLock& Held) { return Held.By == By; }, false, FileObject, Done);
  }
  Finish(FileLock, Done);
  return STATUS_SUCCESS;
}

NTSTATUS FsRtlFastUnlockAllByKey(PFILE_LOCK FileLock, PFILE_OBJECT FileObject, PEPROCESS ProcessId, ULONG Key,
                                 PVOID Context) {
  (void)Context;
  Owner By{FileObject, (PVOID)ProcessId};
  std::vector<Completion> Done;
  {
    std::lock_guard<std::mutex> Guard(PackageLock);
    RemoveLocks(FileLock, [&](const GrantedLock& Held) { return Held.By == By && Held.Key == Key; }, false, nullptr,
                Done);
  }
  Finish(FileLock, Done);
  return STATUS_SUCCESS;
}

NTSTATUS FsRtlProcessFileLock(PFILE_LOCK FileLock, PIRP Irp, PVOID Context) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT FileObject = Stack->FileObject;
  auto Process = (PEPROCESS)RequestorProcess(Irp);
  ULONG Key = Stack->Parameters.LockControl.Key;
  NTSTATUS Status;
  switch (Stack->MinorFunction) {
    case IRP_MN_LOCK: {
      IO_STATUS_BLOCK Iosb{};
      FsRtlPrivateLock(FileLock, FileObject, &Stack->Parameters.LockControl.ByteOffset,
                       Stack->Parameters.LockControl.Length, Process, Key,
                       BooleanFlagOn(Stack->Flags, SL_FAIL_IMMEDIATELY), BooleanFlagOn(Stack->Flags, SL_EXCLUSIVE_LOCK),
                       &Iosb, Irp, Context, FALSE);
      return Iosb.Status;
    }
    case IRP_MN_UNLOCK_SINGLE:
      Status = FsRtlFastUnlockSingle(FileLock, FileObject, &Stack->Parameters.LockControl.ByteOffset,
                                     Stack->Parameters.LockControl.Length, Process, Key, Context, FALSE);
      break;
    case IRP_MN_UNLOCK_ALL:
      Status = FsRtlFastUnlockAll(FileLock, FileObject, Process, Context);
      break;
    case IRP_MN_UNLOCK_ALL_BY_KEY:
      Status = FsRtlFastUnlockAllByKey(FileLock, FileObject, Process, Key, Context);
      break;
    default:
      Status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  Irp->IoStatus.Information = 0;
  Finish(FileLock, {{Irp, Status, Context}});
  return Status;
}

BOOLEAN FsRtlCheckLockForReadAccess(PFILE_LOCK FileLock, PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  return (BOOLEAN)!BlockedFor(FileLock, (ULONG64)Stack->Parameters.Read.ByteOffset.QuadPart,
                              Stack->Parameters.Read.Length, Stack->Parameters.Read.Key,
                              {Stack->FileObject, RequestorProcess(Irp)}, false);
}

BOOLEAN FsRtlFastCheckLockForRead(PFILE_LOCK FileLock, PLARGE_INTEGER StartingByte, PLARGE_INTEGER Length,
                                  ULONG Key, PFILE_OBJECT FileObject, PVOID ProcessId) {
  return (BOOLEAN)!BlockedFor(FileLock, (ULONG64)StartingByte->QuadPart, (ULONG64)Length->QuadPart, Key,
                              {FileObject, ProcessId}, false);
}

BOOLEAN FsRtlCheckLockForWriteAccess(PFILE_LOCK FileLock, PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  return (BOOLEAN)!BlockedFor(FileLock, (ULONG64)Stack->Parameters.Write.ByteOffset.QuadPart,
                              Stack->Parameters.Write.Length, Stack->Parameters.Write.Key,
                              {Stack->FileObject, RequestorProcess(Irp)}, true);
}

BOOLEAN FsRtlAreThereCurrentFileLocks(PFILE_LOCK FileLock) {
  std::lock_guard<std::mutex> Guard(PackageLock);
  LockState* State = StateOf(FileLock);
  return (BOOLEAN)(State != nullptr && !State->Granted.empty());
}

BOOLEAN FsRtlAreThereWaitingFileLocks(PFILE_LOCK FileLock) {
  std::lock_guard<std::mutex> Guard(PackageLock);
  LockState* State = StateOf(FileLock);
  return (BOOLEAN)(State != nullptr && !State->Waiting.empty());
}

BOOLEAN FsRtlCheckLockForOplockRequest(PFILE_LOCK FileLock, PLARGE_INTEGER AllocationSize) {
  std::lock_guard<std::mutex> Guard(PackageLock);
  LockState* State = StateOf(FileLock);
  if (State == nullptr) return TRUE;
  for (const GrantedLock& Held : State->Granted)
    if (Held.Bytes.Length != 0 && Held.Bytes.Start < (ULONG64)AllocationSize->QuadPart) return FALSE;
  return TRUE;
}
