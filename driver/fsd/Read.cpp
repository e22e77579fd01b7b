// Read.
#include "QdrlProcs.h"

NTSTATUS FsdRead(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  // A range wholly in a hole, sent here by the disk I/O layer after zeroing the buffer.
  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
  if (IrpSp->CompletionRoutine == RunSyncComplete || IrpSp->CompletionRoutine == RunAsyncComplete) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = IrpSp->Parameters.Read.Length;
    IoCompleteRequest(Irp, IO_DISK_INCREMENT);
    return STATUS_SUCCESS;
  }
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}

// Not served yet: the request fails as an unsupported one.
NTSTATUS CommonRead(PIRP_CONTEXT IrpContext, PIRP Irp) {
  CompleteRequest(IrpContext, Irp, STATUS_INVALID_DEVICE_REQUEST);
  return STATUS_INVALID_DEVICE_REQUEST;
}
