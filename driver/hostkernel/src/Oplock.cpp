// The opportunistic-lock package. An oplock is a set of grants, each held by one file
// object at caching levels (read, handle, write): the legacy kinds map onto them (level 1
// is read-write, batch read-write-handle, level 2 read) and keep their own break rules. A
// grant's IRP stays pending while the grant stands; breaking the grant completes that IRP
// to tell its holder, and until every holder that must acknowledge has done so, the
// operations that caused the break wait.
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "HostInternal.h"

namespace {

const ULONG OplockTag = PoolTag("FSop");

#define LEVEL_R OPLOCK_LEVEL_CACHE_READ
#define LEVEL_H OPLOCK_LEVEL_CACHE_HANDLE
#define LEVEL_W OPLOCK_LEVEL_CACHE_WRITE

enum class Kind { Level1, Batch, Filter, Level2, Requested };

struct Grant {
  PFILE_OBJECT FileObject;
  Kind Type;
  ULONG Level;
  // The pending request that holds the grant; null while a break waits for acknowledgement.
  PIRP Irp;
  bool Breaking;
  ULONG BreakTo;
  bool Exclusive() const { return Type == Kind::Level1 || Type == Kind::Batch || Type == Kind::Filter ||
                                  (Type == Kind::Requested && (Level & LEVEL_W)); }
  // Breaks of legacy exclusive grants and of handle or write caching are acknowledged.
  bool NeedsAcknowledgement() const { return Type != Kind::Level2 && (Exclusive() || (Level & LEVEL_H)); }
};

// A request held until the breaks in progress end: one with a completion routine, a thread
// blocked on Event, or a break-notify FSCTL completed then.
struct Waiter {
  PIRP Irp;
  PVOID Context;
  POPLOCK_WAIT_COMPLETE_ROUTINE Complete;
  PKEVENT Event;
};

struct OplockState {
  std::vector<Grant> Grants;
  std::vector<Waiter> Waiters;
  // The file object of a create that asked for an atomic oplock, until it is backed out
  // or the handle goes.
  PFILE_OBJECT AtomicOwner = nullptr;
};

// One lock for every oplock's state: IRPs are completed and routines called after it is
// dropped, collected in an Actions list.
std::mutex PackageLock;

struct Actions {
  std::vector<PIRP> Complete;    // IoStatus already set
  std::vector<Waiter> Release;
};

// The pending IRPs the package holds with its cancel routine set: the state holding each
// (null once the IRP has left that state's lists) and how a held request is ended.
struct Cancellable {
  OplockState* State;
  PVOID Context;
  POPLOCK_WAIT_COMPLETE_ROUTINE Complete;
};

std::map<PIRP, Cancellable>& CancellableIrps() {
  static std::map<PIRP, Cancellable>& Irps = *new std::map<PIRP, Cancellable>;
  return Irps;
}

void CancelHeldIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Sets the cancel routine of Irp, about to be held in State. False when Irp was cancelled
// before: the caller then ends it with STATUS_CANCELLED. Called under the package lock,
// which the cancel routine takes before looking for the IRP.
bool HoldCancellable(OplockState& State, PIRP Irp, PVOID Context = nullptr,
                     POPLOCK_WAIT_COMPLETE_ROUTINE Complete = nullptr) {
  return hk::HoldCancellable(CancellableIrps(), Irp, CancelHeldIrp, Cancellable{&State, Context, Complete});
}

bool Unhold(PIRP Irp) { return hk::Unhold(CancellableIrps(), Irp); }

OplockState* StateOf(POPLOCK Oplock) { return (OplockState*)*Oplock; }

OplockState* EnsureState(POPLOCK Oplock) {
  if (*Oplock == nullptr) {
    PVOID Memory = ExAllocatePoolWithTag(PagedPool, sizeof(OplockState), OplockTag);
    if (Memory == nullptr) return nullptr;
    *Oplock = new (Memory) OplockState();
  }
  return StateOf(Oplock);
}

void Run(Actions& Todo) {
  for (PIRP Irp : Todo.Complete) IoCompleteRequest(Irp, IO_NO_INCREMENT);
  for (const Waiter& Each : Todo.Release) {
    if (Each.Event != nullptr) {
      KeSetEvent(Each.Event, IO_NO_INCREMENT, FALSE);
    } else if (Each.Complete != nullptr) {
      Each.Irp->IoStatus.Status = STATUS_SUCCESS;
      Each.Complete(Each.Context, Each.Irp);
    } else {
      Each.Irp->IoStatus.Status = STATUS_SUCCESS;
      Each.Irp->IoStatus.Information = 0;
      IoCompleteRequest(Each.Irp, IO_NO_INCREMENT);
    }
  }
}

// Fills in the IRP of a grant that ends or changes: legacy grants report the level they
// fell to, FSCTL_REQUEST_OPLOCK grants the old and new levels and whether to acknowledge.
void ReportGrant(PIRP Irp, const Grant& Held, ULONG NewLevel, bool AckRequired) {
  Irp->IoStatus.Status = STATUS_SUCCESS;
  if (Held.Type != Kind::Requested) {
    Irp->IoStatus.Information = (NewLevel & LEVEL_R) ? FILE_OPLOCK_BROKEN_TO_LEVEL_2 : FILE_OPLOCK_BROKEN_TO_NONE;
    return;
  }
  Irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (Stack->Parameters.FileSystemControl.OutputBufferLength < sizeof(REQUEST_OPLOCK_OUTPUT_BUFFER)) return;
  auto* Out = (PREQUEST_OPLOCK_OUTPUT_BUFFER)Irp->AssociatedIrp.SystemBuffer;
  RtlZeroMemory(Out, sizeof(*Out));
  Out->StructureVersion = REQUEST_OPLOCK_CURRENT_VERSION;
  Out->StructureLength = sizeof(*Out);
  Out->OriginalOplockLevel = Held.Level;
  Out->NewOplockLevel = NewLevel;
  Out->Flags = AckRequired ? REQUEST_OPLOCK_OUTPUT_FLAG_ACK_REQUIRED : 0;
  Irp->IoStatus.Information = sizeof(*Out);
}

bool BreakInProgress(const OplockState& State) {
  for (const Grant& Held : State.Grants)
    if (Held.Breaking) return true;
  return false;
}

// Lets the held requests go once no break waits for an acknowledgement.
void ReleaseWaitersIfDone(OplockState& State, Actions& Todo) {
  if (BreakInProgress(State)) return;
  for (const Waiter& Each : State.Waiters)
    if (Each.Event != nullptr || Unhold(Each.Irp)) Todo.Release.push_back(Each);
  State.Waiters.clear();
}

// Takes Irp, being cancelled, out of State: a grant it held ends, a request it was
// waits no longer.
void ForgetCancelled(OplockState& State, PIRP Irp, Actions& Todo) {
  for (size_t I = 0; I < State.Grants.size(); I++) {
    if (State.Grants[I].Irp != Irp) continue;
    State.Grants.erase(State.Grants.begin() + (ptrdiff_t)I);
    break;
  }
  for (size_t I = 0; I < State.Waiters.size(); I++) {
    if (State.Waiters[I].Irp != Irp) continue;
    State.Waiters.erase(State.Waiters.begin() + (ptrdiff_t)I);
    break;
  }
  ReleaseWaitersIfDone(State, Todo);
}

void EndCancelled(PIRP Irp, PVOID Context, POPLOCK_WAIT_COMPLETE_ROUTINE Complete) {
  Irp->IoStatus.Status = STATUS_CANCELLED;
  Irp->IoStatus.Information = 0;
  if (Complete != nullptr) Complete(Context, Irp);
  else IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// Called holding the cancel spin lock, which it drops before taking the package lock.
void CancelHeldIrp(PDEVICE_OBJECT, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  Actions Todo;
  Cancellable Held;
  {
    std::lock_guard<std::mutex> Guard(PackageLock);
    auto Found = CancellableIrps().find(Irp);
    Held = Found->second;
    CancellableIrps().erase(Found);
    if (Held.State != nullptr) ForgetCancelled(*Held.State, Irp, Todo);
  }
  EndCancelled(Irp, Held.Context, Held.Complete);
  Run(Todo);
}

// Starts the break of grant I to NewLevel. A grant whose break needs no acknowledgement
// ends (or shrinks) at once.
void BreakGrant(OplockState& State, size_t I, ULONG NewLevel, Actions& Todo) {
  Grant& Held = State.Grants[I];
  if (!Unhold(Held.Irp)) {
    // Being cancelled: the grant ends without a break.
    State.Grants.erase(State.Grants.begin() + (ptrdiff_t)I);
    return;
  }
  bool Ack = Held.NeedsAcknowledgement();
  ReportGrant(Held.Irp, Held, NewLevel, Ack);
  Todo.Complete.push_back(Held.Irp);
  Held.Irp = nullptr;
  if (Ack) {
    Held.Breaking = true;
    Held.BreakTo = NewLevel;
  } else {
    State.Grants.erase(State.Grants.begin() + (ptrdiff_t)I);
  }
}

// Breaks the grants Rule gives a new level for (Rule answers the grant's own level when it
// stands), given whether the grant is the requester's own.
template <typename BreakRule>
void BreakOthers(OplockState& State, PFILE_OBJECT Requester, BreakRule Rule, Actions& Todo) {
  for (size_t I = State.Grants.size(); I-- > 0;) {
    const Grant& Held = State.Grants[I];
    if (Held.Breaking) continue;
    ULONG NewLevel = Rule(Held, Held.FileObject == Requester);
    if (NewLevel != Held.Level) BreakGrant(State, I, NewLevel, Todo);
  }
}

bool WaitsFor(const OplockState& State, PFILE_OBJECT Requester) {
  for (const Grant& Held : State.Grants)
    if (Held.Breaking && Held.FileObject != Requester) return true;
  return false;
}

// Removes every grant of FileObject (its handle is going) and what it held.
void OwnerGone(OplockState& State, PFILE_OBJECT FileObject, Actions& Todo) {
  for (size_t I = State.Grants.size(); I-- > 0;) {
    Grant& Held = State.Grants[I];
    if (Held.FileObject != FileObject) continue;
    if (Held.Irp != nullptr && Unhold(Held.Irp)) {
      ReportGrant(Held.Irp, Held, 0, false);
      Todo.Complete.push_back(Held.Irp);
    }
    State.Grants.erase(State.Grants.begin() + (ptrdiff_t)I);
  }
  if (State.AtomicOwner == FileObject) State.AtomicOwner = nullptr;
  ReleaseWaitersIfDone(State, Todo);
}

bool OpenConflictsWithFilter(PIO_STACK_LOCATION Stack) {
  ACCESS_MASK Access = Stack->Parameters.Create.SecurityContext != nullptr
                           ? Stack->Parameters.Create.SecurityContext->DesiredAccess : 0;
  return FlagOn(Access, FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE) ||
         !FlagOn(Stack->Parameters.Create.ShareAccess, FILE_SHARE_READ);
}

// The breaks an operation from Requester causes.
void BreakFor(OplockState& State, PIRP Irp, Actions& Todo) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT Requester = Stack->FileObject;
  switch (Stack->MajorFunction) {
    case IRP_MJ_CREATE: {
      bool FilterConflict = OpenConflictsWithFilter(Stack);
      BreakOthers(State, Requester, [&](const Grant& Held, bool Own) -> ULONG {
        if (Own) return Held.Level;
        switch (Held.Type) {
          case Kind::Level1:
          case Kind::Batch: return LEVEL_R;
          case Kind::Filter: return FilterConflict ? 0 : Held.Level;
          case Kind::Level2: return Held.Level;
          case Kind::Requested: return Held.Level & ~(ULONG)LEVEL_W;
        }
        return Held.Level;
      }, Todo);
      break;
    }
    case IRP_MJ_READ:
      BreakOthers(State, Requester, [&](const Grant& Held, bool Own) -> ULONG {
        if (Own || Held.Type == Kind::Filter || Held.Type == Kind::Level2) return Held.Level;
        if (Held.Type == Kind::Level1 || Held.Type == Kind::Batch) return LEVEL_R;
        return Held.Level & ~(ULONG)LEVEL_W;
      }, Todo);
      break;
    case IRP_MJ_LOCK_CONTROL:
      // A byte-range lock ends read caching everywhere: cached reads would miss it.
      BreakOthers(State, Requester, [&](const Grant& Held, bool Own) -> ULONG {
        if (Own && Held.Exclusive()) return Held.Level;
        return 0;
      }, Todo);
      break;
    default:
      BreakOthers(State, Requester, [&](const Grant&, bool) -> ULONG { return 0; }, Todo);
      break;
  }
}

bool CompleteIfOplocked(PIRP Irp, ULONG Flags) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (FlagOn(Flags, OPLOCK_FLAG_COMPLETE_IF_OPLOCKED)) return true;
  return Stack->MajorFunction == IRP_MJ_CREATE && FlagOn(Stack->Parameters.Create.Options, FILE_COMPLETE_IF_OPLOCKED);
}

// Makes Irp wait for the breaks in progress: held with CompletionRoutine, or this thread
// blocked until they end. Called with the package lock held in Guard.
NTSTATUS WaitForBreaks(OplockState& State, PIRP Irp, ULONG Flags, PVOID Context,
                       POPLOCK_WAIT_COMPLETE_ROUTINE CompletionRoutine, POPLOCK_FS_PREPOST_IRP PostIrpRoutine,
                       std::unique_lock<std::mutex>& Guard, Actions& Todo) {
  if (CompleteIfOplocked(Irp, Flags)) {
    Guard.unlock();
    Run(Todo);
    return STATUS_OPLOCK_BREAK_IN_PROGRESS;
  }
  if (CompletionRoutine != nullptr) {
    if (PostIrpRoutine != nullptr) PostIrpRoutine(Context, Irp);
    IoMarkIrpPending(Irp);
    bool Held = HoldCancellable(State, Irp, Context, CompletionRoutine);
    if (Held) State.Waiters.push_back({Irp, Context, CompletionRoutine, nullptr});
    Guard.unlock();
    Run(Todo);
    if (!Held) EndCancelled(Irp, Context, CompletionRoutine);
    return STATUS_PENDING;
  }
  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  State.Waiters.push_back({Irp, nullptr, nullptr, &Done});
  Guard.unlock();
  Run(Todo);
  KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
  return STATUS_SUCCESS;
}

bool ValidRequestedLevel(ULONG Level) {
  return Level == LEVEL_R || Level == (LEVEL_R | LEVEL_H) || Level == (LEVEL_R | LEVEL_W) ||
         Level == (LEVEL_R | LEVEL_W | LEVEL_H);
}

// The kind and level an oplock FSCTL asks for; false for one that asks for none.
bool RequestedGrant(PIRP Irp, Kind* Type, ULONG* Level) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  switch (Stack->Parameters.FileSystemControl.FsControlCode) {
    case FSCTL_REQUEST_OPLOCK_LEVEL_1: *Type = Kind::Level1; *Level = LEVEL_R | LEVEL_W; return true;
    case FSCTL_REQUEST_BATCH_OPLOCK: *Type = Kind::Batch; *Level = LEVEL_R | LEVEL_W | LEVEL_H; return true;
    case FSCTL_REQUEST_FILTER_OPLOCK: *Type = Kind::Filter; *Level = LEVEL_R | LEVEL_H; return true;
    case FSCTL_REQUEST_OPLOCK_LEVEL_2: *Type = Kind::Level2; *Level = LEVEL_R; return true;
    case FSCTL_REQUEST_OPLOCK: {
      if (Stack->Parameters.FileSystemControl.InputBufferLength < sizeof(REQUEST_OPLOCK_INPUT_BUFFER)) return false;
      auto* In = (PREQUEST_OPLOCK_INPUT_BUFFER)Irp->AssociatedIrp.SystemBuffer;
      if (!FlagOn(In->Flags, REQUEST_OPLOCK_INPUT_FLAG_REQUEST)) return false;
      *Type = Kind::Requested;
      *Level = In->RequestedOplockLevel;
      return true;
    }
    default: return false;
  }
}

NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

// A grant request: pending when granted, completed with STATUS_OPLOCK_NOT_GRANTED when
// other handles, other grants or a break in progress stand against it.
NTSTATUS RequestGrant(POPLOCK Oplock, PIRP Irp, ULONG OpenCount, Kind Type, ULONG Level) {
  PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  if (Type == Kind::Requested && !ValidRequestedLevel(Level)) return CompleteWith(Irp, STATUS_INVALID_PARAMETER);
  Grant Wanted{FileObject, Type, Level, Irp, false, 0};
  std::unique_lock<std::mutex> Guard(PackageLock);
  OplockState* State = EnsureState(Oplock);
  if (State == nullptr) {
    Guard.unlock();
    return CompleteWith(Irp, STATUS_INSUFFICIENT_RESOURCES);
  }
  bool Granted = !BreakInProgress(*State);
  if (Wanted.Exclusive()) {
    Granted = Granted && OpenCount == 1 && State->Grants.empty();
  } else {
    Granted = Granted && OpenCount == 0;
    for (const Grant& Held : State->Grants) Granted = Granted && !Held.Exclusive();
  }
  if (!Granted) {
    Guard.unlock();
    return CompleteWith(Irp, STATUS_OPLOCK_NOT_GRANTED);
  }
  if (!HoldCancellable(*State, Irp)) {
    Guard.unlock();
    return CompleteWith(Irp, STATUS_CANCELLED);
  }
  IoMarkIrpPending(Irp);
  State->Grants.push_back(Wanted);
  return STATUS_PENDING;
}

// The grant of FileObject waiting for its acknowledgement, or SIZE_MAX.
size_t BreakingGrantOf(const OplockState* State, PFILE_OBJECT FileObject) {
  for (size_t I = 0; State != nullptr && I < State->Grants.size(); I++)
    if (State->Grants[I].FileObject == FileObject && State->Grants[I].Breaking) return I;
  return SIZE_MAX;
}

// An acknowledgement: the holder ends its grant, or keeps the level it was broken to with
// this IRP as the new grant's (pending).
NTSTATUS Acknowledge(POPLOCK Oplock, PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG Code = Stack->Parameters.FileSystemControl.FsControlCode;
  Actions Todo;
  std::unique_lock<std::mutex> Guard(PackageLock);
  OplockState* State = StateOf(Oplock);
  if (Code == FSCTL_OPLOCK_BREAK_NOTIFY) {
    if (State == nullptr || !BreakInProgress(*State)) {
      Guard.unlock();
      return CompleteWith(Irp, STATUS_SUCCESS);
    }
    if (!HoldCancellable(*State, Irp)) {
      Guard.unlock();
      return CompleteWith(Irp, STATUS_CANCELLED);
    }
    IoMarkIrpPending(Irp);
    State->Waiters.push_back({Irp, nullptr, nullptr, nullptr});
    return STATUS_PENDING;
  }
  size_t I = BreakingGrantOf(State, Stack->FileObject);
  if (I == SIZE_MAX) {
    Guard.unlock();
    return CompleteWith(Irp, STATUS_INVALID_OPLOCK_PROTOCOL);
  }
  Grant& Held = State->Grants[I];
  ULONG Keep = 0;
  Kind KeepType = Kind::Level2;
  if (Code == FSCTL_OPLOCK_BREAK_ACKNOWLEDGE) {
    Keep = Held.BreakTo & LEVEL_R;
  } else if (Code == FSCTL_REQUEST_OPLOCK) {
    Keep = ((PREQUEST_OPLOCK_INPUT_BUFFER)Irp->AssociatedIrp.SystemBuffer)->RequestedOplockLevel;
    KeepType = Kind::Requested;
    if (Keep != 0 && (!ValidRequestedLevel(Keep) || (Keep & ~Held.BreakTo) != 0)) {
      Guard.unlock();
      return CompleteWith(Irp, STATUS_INVALID_PARAMETER);
    }
  }
  NTSTATUS Status = STATUS_SUCCESS;
  if (Keep != 0 && HoldCancellable(*State, Irp)) {
    Held = Grant{Stack->FileObject, KeepType, Keep, Irp, false, 0};
    IoMarkIrpPending(Irp);
    Status = STATUS_PENDING;
  } else if (Keep != 0) {
    // Cancelled before it could hold the kept level: the grant ends.
    State->Grants.erase(State->Grants.begin() + (ptrdiff_t)I);
    Irp->IoStatus.Status = Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    Todo.Complete.push_back(Irp);
  } else {
    State->Grants.erase(State->Grants.begin() + (ptrdiff_t)I);
    if (Code == FSCTL_REQUEST_OPLOCK) {
      Grant Ended{Stack->FileObject, Kind::Requested, 0, Irp, false, 0};
      ReportGrant(Irp, Ended, 0, false);
    } else {
      Irp->IoStatus.Status = STATUS_SUCCESS;
      Irp->IoStatus.Information = 0;
    }
    Todo.Complete.push_back(Irp);
  }
  ReleaseWaitersIfDone(*State, Todo);
  Guard.unlock();
  Run(Todo);
  return Status;
}

bool IsAcknowledgement(PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  switch (Stack->Parameters.FileSystemControl.FsControlCode) {
    case FSCTL_OPLOCK_BREAK_ACKNOWLEDGE:
    case FSCTL_OPBATCH_ACK_CLOSE_PENDING:
    case FSCTL_OPLOCK_BREAK_NOTIFY:
    case FSCTL_OPLOCK_BREAK_ACK_NO_2:
      return true;
    case FSCTL_REQUEST_OPLOCK:
      return Stack->Parameters.FileSystemControl.InputBufferLength >= sizeof(REQUEST_OPLOCK_INPUT_BUFFER) &&
             FlagOn(((PREQUEST_OPLOCK_INPUT_BUFFER)Irp->AssociatedIrp.SystemBuffer)->Flags,
                    REQUEST_OPLOCK_INPUT_FLAG_ACK);
    default:
      return false;
  }
}

// A create asking for an atomic oplock: reserved for its file object when it is the only
// open and nothing else is granted.
NTSTATUS ReserveAtomic(POPLOCK Oplock, PIRP Irp, ULONG OpenCount) {
  std::lock_guard<std::mutex> Guard(PackageLock);
  OplockState* State = EnsureState(Oplock);
  if (State == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (OpenCount != 1 || !State->Grants.empty() || State->AtomicOwner != nullptr) return STATUS_OPLOCK_NOT_GRANTED;
  State->AtomicOwner = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  return STATUS_SUCCESS;
}

}  // namespace

void FsRtlInitializeOplock(POPLOCK Oplock) { *Oplock = nullptr; }

void FsRtlUninitializeOplock(POPLOCK Oplock) {
  Actions Todo;
  {
    std::lock_guard<std::mutex> Guard(PackageLock);
    OplockState* State = StateOf(Oplock);
    if (State == nullptr) return;
    for (const Grant& Held : State->Grants) {
      if (Held.Irp == nullptr || !Unhold(Held.Irp)) continue;
      ReportGrant(Held.Irp, Held, 0, false);
      Todo.Complete.push_back(Held.Irp);
    }
    for (const Waiter& Each : State->Waiters)
      if (Each.Event != nullptr || Unhold(Each.Irp)) Todo.Release.push_back(Each);
    State->~OplockState();
    ExFreePoolWithTag(State, OplockTag);
    *Oplock = nullptr;
  }
  Run(Todo);
}

NTSTATUS FsRtlOplockFsctrlEx(POPLOCK Oplock, PIRP Irp, ULONG OpenCount, ULONG Flags) {
  (void)Flags;
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (Stack->MajorFunction == IRP_MJ_CREATE) return ReserveAtomic(Oplock, Irp, OpenCount);
  if (Stack->MajorFunction != IRP_MJ_FILE_SYSTEM_CONTROL) return CompleteWith(Irp, STATUS_INVALID_PARAMETER);
  if (IsAcknowledgement(Irp)) return Acknowledge(Oplock, Irp);
  Kind Type;
  ULONG Level;
  if (!RequestedGrant(Irp, &Type, &Level)) return CompleteWith(Irp, STATUS_INVALID_PARAMETER);
  return RequestGrant(Oplock, Irp, OpenCount, Type, Level);
}

NTSTATUS FsRtlOplockFsctrl(POPLOCK Oplock, PIRP Irp, ULONG OpenCount) {
  return FsRtlOplockFsctrlEx(Oplock, Irp, OpenCount, 0);
}

NTSTATUS FsRtlCheckOplockEx(POPLOCK Oplock, PIRP Irp, ULONG Flags, PVOID Context,
                            POPLOCK_WAIT_COMPLETE_ROUTINE CompletionRoutine, POPLOCK_FS_PREPOST_IRP PostIrpRoutine) {
  if (FlagOn(Flags, OPLOCK_FLAG_OPLOCK_KEY_CHECK_ONLY)) return STATUS_SUCCESS;
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  Actions Todo;
  std::unique_lock<std::mutex> Guard(PackageLock);
  OplockState* State = StateOf(Oplock);
  if (State == nullptr) return STATUS_SUCCESS;
  if (FlagOn(Flags, OPLOCK_FLAG_BACK_OUT_ATOMIC_OPLOCK)) {
    if (State->AtomicOwner == Stack->FileObject) State->AtomicOwner = nullptr;
    return STATUS_SUCCESS;
  }
  if (Stack->MajorFunction == IRP_MJ_CLEANUP || Stack->MajorFunction == IRP_MJ_CLOSE) {
    OwnerGone(*State, Stack->FileObject, Todo);
    Guard.unlock();
    Run(Todo);
    return STATUS_SUCCESS;
  }
  BreakFor(*State, Irp, Todo);
  if (!WaitsFor(*State, Stack->FileObject)) {
    Guard.unlock();
    Run(Todo);
    return STATUS_SUCCESS;
  }
  return WaitForBreaks(*State, Irp, Flags, Context, CompletionRoutine, PostIrpRoutine, Guard, Todo);
}

NTSTATUS FsRtlCheckOplock(POPLOCK Oplock, PIRP Irp, PVOID Context, POPLOCK_WAIT_COMPLETE_ROUTINE CompletionRoutine,
                          POPLOCK_FS_PREPOST_IRP PostIrpRoutine) {
  return FsRtlCheckOplockEx(Oplock, Irp, 0, Context, CompletionRoutine, PostIrpRoutine);
}

NTSTATUS FsRtlOplockBreakH(POPLOCK Oplock, PIRP Irp, ULONG Flags, PVOID Context,
                           POPLOCK_WAIT_COMPLETE_ROUTINE CompletionRoutine, POPLOCK_FS_PREPOST_IRP PostIrpRoutine) {
  PFILE_OBJECT Requester = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  Actions Todo;
  std::unique_lock<std::mutex> Guard(PackageLock);
  OplockState* State = StateOf(Oplock);
  if (State == nullptr) return STATUS_SUCCESS;
  BreakOthers(*State, Requester, [&](const Grant& Held, bool Own) -> ULONG {
    if (Own) return Held.Level;
    if (Held.Type == Kind::Batch) return LEVEL_R;
    return Held.Type == Kind::Requested ? Held.Level & ~(ULONG)LEVEL_H : Held.Level;
  }, Todo);
  if (!WaitsFor(*State, Requester)) {
    Guard.unlock();
    Run(Todo);
    return STATUS_SUCCESS;
  }
  return WaitForBreaks(*State, Irp, Flags, Context, CompletionRoutine, PostIrpRoutine, Guard, Todo);
}

BOOLEAN FsRtlOplockIsFastIoPossible(POPLOCK Oplock) {
  std::lock_guard<std::mutex> Guard(PackageLock);
  OplockState* State = StateOf(Oplock);
  if (State == nullptr) return TRUE;
  for (const Grant& Held : State->Grants)
    if (Held.Breaking || !Held.Exclusive()) return FALSE;
  return TRUE;
}

BOOLEAN FsRtlCurrentBatchOplock(POPLOCK Oplock) {
  std::lock_guard<std::mutex> Guard(PackageLock);
  OplockState* State = StateOf(Oplock);
  if (State == nullptr) return FALSE;
  for (const Grant& Held : State->Grants)
    if (Held.Type == Kind::Batch || Held.Type == Kind::Filter) return TRUE;
  return FALSE;
}

BOOLEAN FsRtlOplockIsSharedRequest(PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG Code = Stack->Parameters.FileSystemControl.FsControlCode;
  if (Code == FSCTL_REQUEST_OPLOCK_LEVEL_2) return TRUE;
  if (Code != FSCTL_REQUEST_OPLOCK ||
      Stack->Parameters.FileSystemControl.InputBufferLength < sizeof(REQUEST_OPLOCK_INPUT_BUFFER))
    return FALSE;
  auto* In = (PREQUEST_OPLOCK_INPUT_BUFFER)Irp->AssociatedIrp.SystemBuffer;
  return (BOOLEAN)(FlagOn(In->Flags, REQUEST_OPLOCK_INPUT_FLAG_REQUEST) && !FlagOn(In->RequestedOplockLevel, LEVEL_W));
}
