// Close: the last reference of a file object went. The handle record goes, the counts
// fall, Fcbs nothing references any more are deleted and finally the volume itself. A
// close that must not wait, and the close of a recently used file kept for a quick
// re-open, are deferred to the close worker.
#include "QdrlProcs.h"

#define BugCheckFileId QDRL_BUG_CHECK_CLOSE

namespace {

// A closed volume's Fcbs: a file, or a directory other than the root, that no handle and
// no child keeps any more.
BOOLEAN IsUnused(PFCB Fcb) {
  if (Fcb->OpenCount != 0 || FlagOn(Fcb->State, FCB_ROOT)) return FALSE;
  return FlagOn(Fcb->State, FCB_FILE) || IsListEmpty(&Fcb->Directory.ChildList);
}

// Deletes Fcb when nothing keeps it, and then each parent directory left unused.
void DeleteUnusedFcbs(PIRP_CONTEXT IrpContext, PVCB Vcb, PFCB Fcb) {
  while (Fcb != nullptr && IsUnused(Fcb)) {
    PFCB Parent = Fcb->Parent;
    SetFlag(Vcb->State, VCB_FCB_DELETED);
    DeleteFcb(IrpContext, &Fcb);
    Fcb = Parent;
  }
}

// Gives up what the handle record counted and frees it.
void CloseCcb(PIRP_CONTEXT IrpContext, PVCB Vcb, PFCB Fcb, PCCB Ccb) {
  switch (Ccb->OpenKind) {
    case StreamOpen:
      InterlockedDecrement(&Vcb->StreamOpenCount);
      InterlockedDecrement(&Vcb->StreamResidualCount);
      FreeCcb(Ccb);
      break;
    case VolumeOpen:
      Vcb->VolumeOpenCount--;
      Vcb->OpenCount--;
      FreeCcb(Ccb);
      break;
    case FileOpen:
    case DirectoryOpen:
      Fcb->OpenCount--;
      Vcb->OpenCount--;
      FreeCcb(Ccb);
      DeleteUnusedFcbs(IrpContext, Vcb, Fcb);
      break;
    default:
      QdrlBugCheck(Ccb->OpenKind, 0, 0);
  }
}

// Whether closing a handle of Kind would leave a volume that is going away without any
// reference, so that the close must try to delete it.
BOOLEAN LeavesVolumeToDelete(PVCB Vcb, OPEN_KIND Kind) {
  ULONG CountedHere = Kind == StreamOpen ? 0 : 1;
  return Vcb->OpenCount == CountedHere && Vcb->Condition != VcbGood && !FlagOn(Vcb->State, VCB_DISMOUNT_IN_PROGRESS);
}

}  // namespace

// Closes the handle record Ccb of Vcb (and Fcb for file and directory opens). STATUS_PENDING
// when the close would have to wait and Wait is FALSE: the caller defers it. A top-level
// close that may wait and leaves a volume that is going away unreferenced deletes the
// volume and says so in VcbDeleted when given.
NTSTATUS CloseFileObject(PVCB Vcb, PFCB Fcb, PCCB Ccb, BOOLEAN Wait, BOOLEAN TopLevel, PBOOLEAN VcbDeleted) {
  if (VcbDeleted != nullptr) *VcbDeleted = FALSE;
  if (Ccb == nullptr) return STATUS_SUCCESS;

  IRP_CONTEXT IrpContext{};
  IrpContext.NodeTypeCode = NODE_TYPE_IRP_CONTEXT;
  IrpContext.NodeByteSize = sizeof(IRP_CONTEXT);
  IrpContext.MajorFunction = IRP_MJ_CLOSE;
  IrpContext.Vcb = Vcb;
  if (Wait) SetFlag(IrpContext.Flags, IRPCTX_WAIT);

  if (!ExAcquireResourceExclusiveLite(&Vcb->Resource, Wait)) return STATUS_PENDING;
  if (FlagOn(Vcb->State, VCB_CREATE_PURGING)) {
    ExReleaseResourceLite(&Vcb->Resource);
    return STATUS_PENDING;
  }

  BOOLEAN Nested = FlagOn(Vcb->State, VCB_CLOSE_IN_PROGRESS);
  BOOLEAN MayDelete = !Nested && TopLevel && VcbDeleted != nullptr && LeavesVolumeToDelete(Vcb, Ccb->OpenKind);
  // Deleting the volume takes GlobalData's resource, which a caller that may not wait
  // must not block on: the worker does it instead.
  if (MayDelete && !Wait) {
    ExReleaseResourceLite(&Vcb->Resource);
    return STATUS_PENDING;
  }
  if (!Nested) {
    SetFlag(Vcb->State, VCB_CLOSE_IN_PROGRESS);
    Vcb->OpenCount++;
  }

  CloseCcb(&IrpContext, Vcb, Fcb, Ccb);

  if (Nested) {
    ExReleaseResourceLite(&Vcb->Resource);
    return STATUS_SUCCESS;
  }
  BOOLEAN Deleted = FALSE;
  if (MayDelete && Vcb->OpenCount == 1) {
    // Lock order: GlobalData's resource before the volume's.
    ExReleaseResourceLite(&Vcb->Resource);
    ExAcquireResourceExclusiveLite(&GlobalData.Resource, TRUE);
    AcquireVcbExclusive(&IrpContext, Vcb, TRUE);
    Vcb->OpenCount--;
    Deleted = TryDismountVcb(&IrpContext, Vcb, FALSE);
    ExReleaseResourceLite(&GlobalData.Resource);
    *VcbDeleted = Deleted;
  } else {
    Vcb->OpenCount--;
  }
  if (!Deleted) {
    ClearFlag(Vcb->State, VCB_CLOSE_IN_PROGRESS);
    ExReleaseResourceLite(&Vcb->Resource);
  }
  return STATUS_SUCCESS;
}

// ---- Deferred closes ----------------------------------------------------------------------

// Puts a close on the delayed list (kept for a re-open) or the asynchronous one, and
// starts the worker when there is work for it: always for an asynchronous close, for a
// delayed one once the list holds more than MaxDelayedCloses.
void QueueDeferredClose(PCLOSE_CONTEXT CloseContext, BOOLEAN Delayed) {
  PVCB Vcb = CloseContext->Vcb;
  BOOLEAN StartWorker;
  ExAcquireFastMutex(&CloseQueueMutex);
  if (Delayed) {
    InsertTailList(&GlobalData.DelayedCloseList, &CloseContext->GlobalLinks);
    InsertTailList(&Vcb->DelayedCloseList, &CloseContext->VcbLinks);
    StartWorker = ++GlobalData.DelayedCloseCount > MaxDelayedCloses;
  } else {
    InsertTailList(&GlobalData.AsyncCloseList, &CloseContext->GlobalLinks);
    InsertTailList(&Vcb->AsyncCloseList, &CloseContext->VcbLinks);
    GlobalData.AsyncCloseCount++;
    StartWorker = TRUE;
  }
  StartWorker = StartWorker && !GlobalData.CloseWorkerActive;
  if (StartWorker) GlobalData.CloseWorkerActive = TRUE;
  ExReleaseFastMutex(&CloseQueueMutex);
  if (StartWorker) IoQueueWorkItem(GlobalData.CloseWorkItem, CloseWorker, CriticalWorkQueue, nullptr);
}

namespace {

PCLOSE_CONTEXT ByVcbLinks(PLIST_ENTRY Links) { return CONTAINING_RECORD(Links, CLOSE_CONTEXT, VcbLinks); }
PCLOSE_CONTEXT ByGlobalLinks(PLIST_ENTRY Links) { return CONTAINING_RECORD(Links, CLOSE_CONTEXT, GlobalLinks); }

// Unlinks Entry from both its lists and counts it out. Under CloseQueueMutex.
PCLOSE_CONTEXT Take(PCLOSE_CONTEXT Entry, BOOLEAN Delayed) {
  RemoveEntryList(&Entry->GlobalLinks);
  RemoveEntryList(&Entry->VcbLinks);
  if (Delayed) GlobalData.DelayedCloseCount--;
  else GlobalData.AsyncCloseCount--;
  return Entry;
}

// The first close of Vcb's own lists, asynchronous ones first, or null.
PCLOSE_CONTEXT TakeFromVcb(PVCB Vcb) {
  if (!IsListEmpty(&Vcb->AsyncCloseList)) return Take(ByVcbLinks(Vcb->AsyncCloseList.Flink), FALSE);
  if (!IsListEmpty(&Vcb->DelayedCloseList)) return Take(ByVcbLinks(Vcb->DelayedCloseList.Flink), TRUE);
  return nullptr;
}

// High above twice the limit, low again below it.
void UpdateHysteresis(BOOLEAN* High, ULONG Count) {
  if (Count < MaxDelayedCloses) *High = FALSE;
  else if (Count > 2 * MaxDelayedCloses) *High = TRUE;
}

}  // namespace

// The next deferred close to run: of Vcb when given, else the worker's next, preferring
// the volume it holds while the lists are long. Delayed closes are drained only down to
// half the limit (completely after shutdown started). The worker ends when null comes.
PCLOSE_CONTEXT NextDeferredClose(PVCB Vcb, PVCB HeldVcb) {
  PCLOSE_CONTEXT Entry = nullptr;
  ExAcquireFastMutex(&CloseQueueMutex);
  if (Vcb != nullptr) {
    Entry = TakeFromVcb(Vcb);
  } else {
    if (HeldVcb != nullptr) {
      UpdateHysteresis(&GlobalData.AsyncCloseHigh, GlobalData.AsyncCloseCount);
      UpdateHysteresis(&GlobalData.DelayedCloseHigh, GlobalData.DelayedCloseCount);
      if (GlobalData.AsyncCloseHigh || GlobalData.DelayedCloseHigh) Entry = TakeFromVcb(HeldVcb);
    }
    if (Entry == nullptr && !IsListEmpty(&GlobalData.AsyncCloseList)) {
      Entry = Take(ByGlobalLinks(GlobalData.AsyncCloseList.Flink), FALSE);
    } else if (Entry == nullptr && !IsListEmpty(&GlobalData.DelayedCloseList) &&
               (GlobalData.DelayedCloseCount > MaxDelayedCloses / 2 || GlobalData.ShutdownStarted)) {
      Entry = Take(ByGlobalLinks(GlobalData.DelayedCloseList.Flink), TRUE);
    }
    if (Entry == nullptr) GlobalData.CloseWorkerActive = FALSE;
  }
  ExReleaseFastMutex(&CloseQueueMutex);
  return Entry;
}

namespace {

// How many closes the worker runs on one volume before it lets waiters have the volume.
constexpr ULONG ClosesBetweenYields = 20;

// The worker keeps the volume of consecutive closes held; it moves to Next's volume,
// yields it now and then to waiters, and does not keep a volume its close may delete.
// Returns the volume held now, or null.
PVCB HoldVolumeFor(PVCB Held, PVCB Next, ULONG* RunOnHeld) {
  if (Held != nullptr && Held != Next) {
    ExReleaseResourceLite(&Held->Resource);
    Held = nullptr;
  }
  if (Held == nullptr) {
    ExAcquireResourceExclusiveLite(&Next->Resource, TRUE);
    Held = Next;
    *RunOnHeld = 0;
  } else if (++*RunOnHeld % ClosesBetweenYields == 0 &&
             (ExGetExclusiveWaiterCount(&Held->Resource) != 0 || ExGetSharedWaiterCount(&Held->Resource) != 0)) {
    ExReleaseResourceLite(&Held->Resource);
    ExAcquireResourceExclusiveLite(&Held->Resource, TRUE);
  }
  if (Held->OpenCount <= 1) {
    ExReleaseResourceLite(&Held->Resource);
    Held = nullptr;
  }
  return Held;
}

}  // namespace

// Runs Vcb's deferred closes now (purge, lock and dismount), or with Vcb null the
// worker's loop. A close that meets a create purging its volume goes back to the
// asynchronous list once the loop is over.
void RunDeferredCloses(PVCB Vcb) {
  BOOLEAN Worker = Vcb == nullptr;
  if (Worker) IoSetTopLevelIrp(FSRTL_FSP_TOP_LEVEL_IRP);
  PVCB HeldVcb = nullptr;
  ULONG RunOnHeld = 0;
  LIST_ENTRY Postponed;
  InitializeListHead(&Postponed);

  for (PCLOSE_CONTEXT Entry; (Entry = NextDeferredClose(Vcb, HeldVcb)) != nullptr;) {
    if (Worker && !GlobalData.ShutdownStarted) HeldVcb = HoldVolumeFor(HeldVcb, Entry->Vcb, &RunOnHeld);
    PCCB Ccb = CONTAINING_RECORD(Entry, CCB, CloseContext);
    // The worker's closes are top-level: the last one of a volume going away deletes it.
    BOOLEAN VcbDeleted = FALSE;
    NTSTATUS Status = STATUS_SUCCESS;
    SEH_TRY {
      Status = CloseFileObject(Entry->Vcb, Entry->Fcb, Ccb, TRUE, Worker, Worker ? &VcbDeleted : nullptr);
    } SEH_EXCEPT (ExceptionFilter(nullptr, SEH_EXCEPTION_POINTERS())) {
    } SEH_END;
    if (Status == STATUS_PENDING) InsertTailList(&Postponed, &Entry->GlobalLinks);
  }
  if (HeldVcb != nullptr) ExReleaseResourceLite(&HeldVcb->Resource);
  while (!IsListEmpty(&Postponed)) QueueDeferredClose(ByGlobalLinks(RemoveHeadList(&Postponed)), FALSE);
  if (Worker) IoSetTopLevelIrp(nullptr);
}

// The close work item's routine.
void CloseWorker(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Context);
  FsRtlEnterFileSystem();
  RunDeferredCloses(nullptr);
  FsRtlExitFileSystem();
}

// ---- The close request ---------------------------------------------------------------------

namespace {

PVCB VcbOfCcb(PCCB Ccb) {
  if (Ccb->OpenKind == FileOpen || Ccb->OpenKind == DirectoryOpen) return ((PFCB)Ccb->Target)->Vcb;
  return (PVCB)Ccb->Target;
}

// Hands the close of Ccb to the worker, on the delayed list when its Fcb is kept for a
// re-open.
void DeferClose(PVCB Vcb, PFCB Fcb, PCCB Ccb, BOOLEAN Delayed) {
  if (FlagOn(Ccb->Flags, CCB_TEMPLATE_ALLOCATED)) {
    ExFreePool(Ccb->Template.Buffer);
    ClearFlag(Ccb->Flags, CCB_TEMPLATE_ALLOCATED);
    RtlZeroMemory(&Ccb->Template, sizeof(UNICODE_STRING));
  }
  SetFlag(Ccb->Flags, CCB_CLOSE_QUEUED);
  Ccb->CloseContext.Vcb = Vcb;
  Ccb->CloseContext.Fcb = Fcb;
  Ccb->CloseContext.OpenKind = Ccb->OpenKind;
  QueueDeferredClose(&Ccb->CloseContext, Delayed);
}

// Closes the file object of Irp now, or defers it. A close is delayed only on a volume in
// good condition: on one going away it would keep the volume alive.
void CloseOrDefer(PIRP Irp, BOOLEAN TopLevel) {
  PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  if (FileObject->FsContext2 == nullptr) return;
  PCCB Ccb = DecodeCcb(FileObject, QDRL_BUG_CHECK_CLOSE, __LINE__);
  PVCB Vcb = VcbOfCcb(Ccb);
  BOOLEAN FileOrDirectory = Ccb->OpenKind == FileOpen || Ccb->OpenKind == DirectoryOpen;
  PFCB Fcb = FileOrDirectory ? (PFCB)Ccb->Target : nullptr;
  BOOLEAN Wait = TopLevel && IoGetCurrentProcess() != GlobalData.SystemProcess;
  // Oplocks of a handle that never saw a cleanup go now.
  if (FileOrDirectory && !FlagOn(FileObject->Flags, FO_CLEANUP_COMPLETE))
    FsRtlCheckOplockEx(&Fcb->Header.Oplock, Irp, 0, nullptr, nullptr, nullptr);

  if (FileOrDirectory && FlagOn(Fcb->State, FCB_DELAY_CLOSE) && !GlobalData.ShutdownStarted &&
      Vcb->Condition == VcbGood) {
    DeferClose(Vcb, Fcb, Ccb, TRUE);
    return;
  }
  BOOLEAN VcbDeleted = FALSE;
  if (CloseFileObject(Vcb, Fcb, Ccb, Wait, TopLevel, &VcbDeleted) == STATUS_PENDING) DeferClose(Vcb, Fcb, Ccb, FALSE);
}

}  // namespace

// Close of a file object: its last reference went. No IrpContext: closes arrive from the
// memory and cache managers too, and must not fail for want of memory.
NTSTATUS FsdClose(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  if (IsControlDevice(VolumeDeviceObject)) return CompleteControlDeviceOpen(Irp);
  NTSTATUS Status = STATUS_SUCCESS;
  FsRtlEnterFileSystem();
  BOOLEAN TopLevel = SetTopLevelIfNone(Irp);
  SEH_TRY {
    CloseOrDefer(Irp, TopLevel);
    CompleteRequest(nullptr, Irp, STATUS_SUCCESS);
  } SEH_EXCEPT (ExceptionFilter(nullptr, SEH_EXCEPTION_POINTERS())) {
    Status = ProcessException(nullptr, Irp, SEH_EXCEPTION_CODE());
  } SEH_END;
  if (TopLevel) IoSetTopLevelIrp(nullptr);
  FsRtlExitFileSystem();
  return Status;
}
