// Posting requests to system worker threads, throttled per volume: at most three workers
// run one volume's posted requests; the rest wait in the volume's overflow queue and are
// served in arrival order by the workers already running.
#include "QdrlProcs.h"

namespace {

// The volume a request addresses, or null for requests without a file object (mount,
// verify), which are not counted against any volume.
PVCB VolumeOf(PIRP Irp) {
  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
  if (IrpSp->FileObject == nullptr) return nullptr;
  return (PVCB)IrpSp->DeviceObject->DeviceExtension;
}

}  // namespace

// Posts the request: locks what the worker will need, marks the IRP pending and queues
// it. Returns STATUS_PENDING; the worker owns IrpContext and Irp from here.
NTSTATUS PostRequest(PIRP_CONTEXT IrpContext, PIRP Irp) {
  PrepareToPost(IrpContext, Irp);
  QueueToWorker(IrpContext, Irp);
  return STATUS_PENDING;
}

// Gets a request ready to run in another thread (also the oplock package's pre-post
// routine): an I/O context on the poster's stack cannot go along, the user buffer the
// worker will use is locked now, in the caller's process, and the IRP is marked pending.
void PrepareToPost(PVOID Context, PIRP Irp) {
  auto* IrpContext = (PIRP_CONTEXT)Context;
  if (Irp == nullptr) return;

  if (IrpContext->IoContext != nullptr && FlagOn(IrpContext->Flags, IRPCTX_STACK_IO_CONTEXT)) {
    ClearFlag(IrpContext->Flags, IRPCTX_STACK_IO_CONTEXT);
    IrpContext->IoContext = nullptr;
  }

  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
  switch (IrpContext->MajorFunction) {
    case IRP_MJ_READ:
      if (!FlagOn(IrpContext->MinorFunction, IRP_MN_MDL))
        LockUserBuffer(IrpContext, Irp, IoWriteAccess, IrpSp->Parameters.Read.Length);
      break;
    case IRP_MJ_WRITE:
      if (!FlagOn(IrpContext->MinorFunction, IRP_MN_MDL))
        LockUserBuffer(IrpContext, Irp, IoReadAccess, IrpSp->Parameters.Write.Length);
      break;
    case IRP_MJ_DIRECTORY_CONTROL:
      if (IrpContext->MinorFunction == IRP_MN_QUERY_DIRECTORY)
        LockUserBuffer(IrpContext, Irp, IoWriteAccess, IrpSp->Parameters.QueryDirectory.Length);
      break;
    case IRP_MJ_QUERY_EA:
      LockUserBuffer(IrpContext, Irp, IoWriteAccess, IrpSp->Parameters.QueryEa.Length);
      break;
    case IRP_MJ_SET_EA:
      LockUserBuffer(IrpContext, Irp, IoReadAccess, IrpSp->Parameters.SetEa.Length);
      break;
    case IRP_MJ_FILE_SYSTEM_CONTROL:
      if (IrpContext->MinorFunction == IRP_MN_USER_FS_REQUEST &&
          (IrpSp->Parameters.FileSystemControl.FsControlCode == FSCTL_GET_VOLUME_BITMAP ||
           IrpSp->Parameters.FileSystemControl.FsControlCode == FSCTL_GET_RETRIEVAL_POINTERS))
        LockUserBuffer(IrpContext, Irp, IoWriteAccess, IrpSp->Parameters.FileSystemControl.OutputBufferLength);
      break;
    default:
      break;
  }

  IoMarkIrpPending(Irp);
}

// Hands the request to a worker of the critical queue, or, when three workers already
// run this volume's requests, to the tail of the volume's overflow queue.
void QueueToWorker(PIRP_CONTEXT IrpContext, PIRP Irp) {
  if (PVCB Vcb = VolumeOf(Irp)) {
    KIRQL SavedIrql = KeAcquireSpinLockRaiseToDpc(&Vcb->OverflowSpinLock);
    if (Vcb->PostedRequestCount > 2) {
      InsertTailList(&Vcb->OverflowQueue, &IrpContext->WorkItem.List);
      Vcb->OverflowCount += 1;
      KeReleaseSpinLock(&Vcb->OverflowSpinLock, SavedIrql);
      return;
    }
    Vcb->PostedRequestCount += 1;
    KeReleaseSpinLock(&Vcb->OverflowSpinLock, SavedIrql);
  }
  ExInitializeWorkItem(&IrpContext->WorkItem, WorkerDispatch, IrpContext);
  ExQueueWorkItem(&IrpContext->WorkItem, CriticalWorkQueue);
}

// The oplock package's completion of a wait the driver handed to it: a failure completes
// the request, a granted wait retries it on a worker.
void OplockPostComplete(PVOID Context, PIRP Irp) {
  auto* IrpContext = (PIRP_CONTEXT)Context;
  if (Irp->IoStatus.Status != STATUS_SUCCESS) {
    CompleteRequest(IrpContext, Irp, Irp->IoStatus.Status);
    return;
  }
  QueueToWorker(IrpContext, Irp);
}

// Returns the oldest request waiting in the volume's overflow queue, or null; in that
// case the calling worker leaves the volume, which lowers the posted count.
PIRP_CONTEXT TakeOverflowEntry(PVCB Vcb) {
  PIRP_CONTEXT IrpContext = nullptr;
  KIRQL SavedIrql = KeAcquireSpinLockRaiseToDpc(&Vcb->OverflowSpinLock);
  if (Vcb->OverflowCount != 0) {
    Vcb->OverflowCount -= 1;
    PLIST_ENTRY Entry = RemoveHeadList(&Vcb->OverflowQueue);
    IrpContext = CONTAINING_RECORD(Entry, IRP_CONTEXT, WorkItem.List);
  } else {
    Vcb->PostedRequestCount -= 1;
  }
  KeReleaseSpinLock(&Vcb->OverflowSpinLock, SavedIrql);
  return IrpContext;
}
