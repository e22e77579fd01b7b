// The change-notification package.
#include <atomic>

#include "HostInternal.h"

namespace {

const ULONG NotifyTag = PoolTag("FSNo");
const ULONG MaximumVolumeEvent = FSRTL_VOLUME_MOUNT;

// One handle's change-notification state: its pending requests, linked through
// Tail.Overlay.ListEntry; each request keeps the list's synchroniser in DriverContext[0]
// for its cancel routine.
struct NOTIFY_RECORD {
  LIST_ENTRY Links;
  PVOID FsContext;
  PSTRING FullDirectoryName;
  BOOLEAN WatchTree;
  ULONG CompletionFilter;
  LIST_ENTRY PendingIrps;
};

std::atomic<ULONG> VolumeEvents[MaximumVolumeEvent + 1];

NOTIFY_RECORD* FindRecord(PLIST_ENTRY NotifyList, PVOID FsContext) {
  for (PLIST_ENTRY Entry = NotifyList->Flink; Entry != NotifyList; Entry = Entry->Flink) {
    auto* Record = CONTAINING_RECORD(Entry, NOTIFY_RECORD, Links);
    if (Record->FsContext == FsContext) return Record;
  }
  return nullptr;
}

NOTIFY_RECORD* NewRecord(PLIST_ENTRY NotifyList, PVOID FsContext, PSTRING FullDirectoryName, BOOLEAN WatchTree,
                         ULONG CompletionFilter) {
  auto* Record = (NOTIFY_RECORD*)ExAllocatePoolWithTag(PagedPool, sizeof(NOTIFY_RECORD), NotifyTag);
  if (Record == nullptr) return nullptr;
  Record->FsContext = FsContext;
  Record->FullDirectoryName = FullDirectoryName;
  Record->WatchTree = WatchTree;
  Record->CompletionFilter = CompletionFilter;
  InitializeListHead(&Record->PendingIrps);
  InsertTailList(NotifyList, &Record->Links);
  return Record;
}

void CompleteNotifyIrp(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// The request leaves its record (cleanup may have taken it off already, leaving its link
// pointing at itself) and completes as cancelled.
void CancelNotifyIrp(PDEVICE_OBJECT, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  auto Sync = (PFAST_MUTEX)Irp->Tail.Overlay.DriverContext[0];
  ExAcquireFastMutex(Sync);
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  ExReleaseFastMutex(Sync);
  CompleteNotifyIrp(Irp, STATUS_CANCELLED);
}

// Pends Irp on Record unless it was cancelled already (FALSE then).
bool PendCancellable(NOTIFY_RECORD* Record, PIRP Irp, PNOTIFY_SYNC NotifySync) {
  Irp->Tail.Overlay.DriverContext[0] = NotifySync;
  KIRQL Irql;
  IoAcquireCancelSpinLock(&Irql);
  if (Irp->Cancel) {
    IoReleaseCancelSpinLock(Irql);
    return false;
  }
  IoSetCancelRoutine(Irp, CancelNotifyIrp);
  InsertTailList(&Record->PendingIrps, &Irp->Tail.Overlay.ListEntry);
  IoReleaseCancelSpinLock(Irql);
  return true;
}

}  // namespace

void FsRtlNotifyFullChangeDirectory(PNOTIFY_SYNC NotifySync, PLIST_ENTRY NotifyList, PVOID FsContext,
                                    PSTRING FullDirectoryName, BOOLEAN WatchTree, BOOLEAN,
                                    ULONG CompletionFilter, PIRP NotifyIrp, PCHECK_FOR_TRAVERSE_ACCESS,
                                    SECURITY_SUBJECT_CONTEXT*) {
  if (NotifyIrp == nullptr) return;
  // The file system answers STATUS_PENDING whatever happens to the request here.
  IoMarkIrpPending(NotifyIrp);
  PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(NotifyIrp)->FileObject;
  if (FileObject != nullptr && (FileObject->Flags & FO_CLEANUP_COMPLETE)) {
    CompleteNotifyIrp(NotifyIrp, STATUS_NOTIFY_CLEANUP);
    return;
  }
  ExAcquireFastMutex((PFAST_MUTEX)NotifySync);
  NOTIFY_RECORD* Record = FindRecord(NotifyList, FsContext);
  if (Record == nullptr) Record = NewRecord(NotifyList, FsContext, FullDirectoryName, WatchTree, CompletionFilter);
  const bool Pending = Record != nullptr && PendCancellable(Record, NotifyIrp, NotifySync);
  ExReleaseFastMutex((PFAST_MUTEX)NotifySync);
  if (!Pending) CompleteNotifyIrp(NotifyIrp, Record == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_CANCELLED);
}

void FsRtlNotifyCleanup(PNOTIFY_SYNC NotifySync, PLIST_ENTRY NotifyList, PVOID FsContext) {
  LIST_ENTRY Completing;
  InitializeListHead(&Completing);
  ExAcquireFastMutex((PFAST_MUTEX)NotifySync);
  NOTIFY_RECORD* Record = FindRecord(NotifyList, FsContext);
  if (Record != nullptr) {
    RemoveEntryList(&Record->Links);
    while (!IsListEmpty(&Record->PendingIrps)) {
      PLIST_ENTRY Entry = RemoveHeadList(&Record->PendingIrps);
      PIRP Irp = CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
      // A request whose cancel routine already runs is that routine's to complete.
      if (IoSetCancelRoutine(Irp, nullptr) != nullptr)
        InsertTailList(&Completing, Entry);
      else
        InitializeListHead(Entry);
    }
  }
  ExReleaseFastMutex((PFAST_MUTEX)NotifySync);
  if (Record != nullptr) ExFreePoolWithTag(Record, NotifyTag);
  while (!IsListEmpty(&Completing))
    CompleteNotifyIrp(CONTAINING_RECORD(RemoveHeadList(&Completing), IRP, Tail.Overlay.ListEntry),
                      STATUS_NOTIFY_CLEANUP);
}

NTSTATUS FsRtlNotifyVolumeEvent(PFILE_OBJECT, ULONG EventCode) {
  if (EventCode == 0 || EventCode > MaximumVolumeEvent)
    hk::Violation("FsRtlNotifyVolumeEvent with unknown event %lu", (unsigned long)EventCode);
  VolumeEvents[EventCode]++;
  return STATUS_SUCCESS;
}

ULONG HkVolumeEventCount(ULONG EventCode) {
  return EventCode <= MaximumVolumeEvent ? VolumeEvents[EventCode].load() : 0;
}
