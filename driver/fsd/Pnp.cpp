// Plug and play: a volume's device is about to go, goes, or stays after all. A query
// locks the volume for the system so that nothing new opens while the removal is
// decided; the removal or the cancel that follows lets go of the lock.
#include "QdrlProcs.h"

namespace {

// Sends Irp to the volume's target and waits for its answer; the IRP comes back to us.
NTSTATUS PassDownAndWait(PVCB Vcb, PIRP Irp) {
  KEVENT Event;
  KeInitializeEvent(&Event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SignalEventComplete, &Event, TRUE, TRUE, TRUE);
  NTSTATUS Status = IoCallDriver(Vcb->TargetDevice, Irp);
  if (Status == STATUS_PENDING) {
    KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, nullptr);
    Status = Irp->IoStatus.Status;
  }
  return Status;
}

// Hands Irp on to the volume's target without waiting for it.
NTSTATUS PassDown(PVCB Vcb, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(Vcb->TargetDevice, Irp);
}

void PurgeWholeVolume(PIRP_CONTEXT IrpContext, PVCB Vcb) {
  if (Vcb->RootFcb != nullptr) PurgeVolume(IrpContext, Vcb->RootFcb);
}

// Ends a removal request with the lower driver's status, releasing the volume unless the
// dismount deleted it, then GlobalData.
NTSTATUS FinishRemoval(PIRP_CONTEXT IrpContext, PIRP Irp, PVCB Vcb, BOOLEAN VcbDeleted, NTSTATUS Status) {
  if (!VcbDeleted) ExReleaseResourceLite(&Vcb->Resource);
  ExReleaseResourceLite(&GlobalData.Resource);
  CompleteRequest(IrpContext, Irp, Status);
  return Status;
}

NTSTATUS PnpQueryRemove(PIRP_CONTEXT IrpContext, PIRP Irp, PVCB Vcb) {
  AcquireVcbExclusive(IrpContext, Vcb, FALSE);
  ExReleaseResourceLite(&GlobalData.Resource);
  NTSTATUS Status = LockVolumeInternal(IrpContext, Vcb, nullptr);
  // Keeps the volume from going while neither resource is held.
  AdjustVpbRefCount(Vcb, 1);
  ExReleaseResourceLite(&Vcb->Resource);
  ExAcquireResourceExclusiveLite(&GlobalData.Resource, TRUE);
  AcquireVcbExclusive(IrpContext, Vcb, FALSE);
  AdjustVpbRefCount(Vcb, -1);

  BOOLEAN VcbDeleted = FALSE;
  if (NT_SUCCESS(Status)) {
    PurgeWholeVolume(IrpContext, Vcb);
    Status = PassDownAndWait(Vcb, Irp);
    if (NT_SUCCESS(Status)) VcbDeleted = TryDismountVcb(IrpContext, Vcb, TRUE);
  }
  // A refused lock vetoes the removal; a refused lower query leaves the volume locked
  // until the cancel that follows.
  return FinishRemoval(IrpContext, Irp, Vcb, VcbDeleted, Status);
}

// The device has gone (Unlock: after a query that locked the volume).
NTSTATUS PnpRemoveOrSurprise(PIRP_CONTEXT IrpContext, PIRP Irp, PVCB Vcb, BOOLEAN Unlock) {
  AcquireVcbExclusive(IrpContext, Vcb, FALSE);
  if (Unlock) UnlockVolumeInternal(IrpContext, Vcb, nullptr);
  NTSTATUS Status = PassDownAndWait(Vcb, Irp);
  PurgeWholeVolume(IrpContext, Vcb);
  BOOLEAN VcbDeleted = TryDismountVcb(IrpContext, Vcb, TRUE);
  return FinishRemoval(IrpContext, Irp, Vcb, VcbDeleted, Status);
}

NTSTATUS PnpRemove(PIRP_CONTEXT IrpContext, PIRP Irp, PVCB Vcb) {
  return PnpRemoveOrSurprise(IrpContext, Irp, Vcb, TRUE);
}

NTSTATUS PnpSurpriseRemove(PIRP_CONTEXT IrpContext, PIRP Irp, PVCB Vcb) {
  return PnpRemoveOrSurprise(IrpContext, Irp, Vcb, FALSE);
}

NTSTATUS PnpCancelRemove(PIRP_CONTEXT IrpContext, PIRP Irp, PVCB Vcb) {
  AcquireVcbExclusive(IrpContext, Vcb, FALSE);
  ExReleaseResourceLite(&GlobalData.Resource);
  UnlockVolumeInternal(IrpContext, Vcb, nullptr);
  NTSTATUS Status = PassDown(Vcb, Irp);
  ExReleaseResourceLite(&Vcb->Resource);
  FreeIrpContext(IrpContext);
  return Status;
}

}  // namespace

NTSTATUS FsdPnp(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}

NTSTATUS CommonPnp(PIRP_CONTEXT IrpContext, PIRP Irp) {
  SetFlag(IrpContext->Flags, IRPCTX_WAIT);
  ExAcquireResourceExclusiveLite(&GlobalData.Resource, TRUE);
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  auto* Vcb = (PVCB)Stack->DeviceObject->DeviceExtension;
  if (Vcb == nullptr || NodeType(Vcb) != NODE_TYPE_VCB) {
    ExReleaseResourceLite(&GlobalData.Resource);
    CompleteRequest(IrpContext, Irp, STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  switch (Stack->MinorFunction) {
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return PnpQueryRemove(IrpContext, Irp, Vcb);
    case IRP_MN_REMOVE_DEVICE:
      return PnpRemove(IrpContext, Irp, Vcb);
    case IRP_MN_SURPRISE_REMOVAL:
      return PnpSurpriseRemove(IrpContext, Irp, Vcb);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return PnpCancelRemove(IrpContext, Irp, Vcb);
    default: {
      ExReleaseResourceLite(&GlobalData.Resource);
      NTSTATUS Status = PassDown(Vcb, Irp);
      FreeIrpContext(IrpContext);
      return Status;
    }
  }
}
