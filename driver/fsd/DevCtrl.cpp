// Device control: passed through, unchanged, to the device under a volume opened as a
// volume; refused on every other handle.
#include "QdrlProcs.h"

#define BugCheckFileId QDRL_BUG_CHECK_DEVCTRL

NTSTATUS FsdDeviceControl(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}

// Hands a volume handle's request to the volume's target device, skipping this driver's
// stack location and adding no completion routine, and returns the lower driver's
// status. Any other open completes with STATUS_INVALID_PARAMETER.
NTSTATUS CommonDeviceControl(PIRP_CONTEXT IrpContext, PIRP Irp) {
  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
  PCCB Ccb = DecodeCcb(IrpSp->FileObject, BugCheckFileId, __LINE__);

  if (Ccb->OpenKind != VolumeOpen) {
    CompleteRequest(IrpContext, Irp, STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }

  auto* Vcb = (PVCB)Ccb->Target;
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS Status = IoCallDriver(Vcb->TargetDevice, Irp);
  FreeIrpContext(IrpContext);
  return Status;
}
