// Flush: a read-only volume holds nothing to write back, so every flush succeeds.
#include "QdrlProcs.h"

NTSTATUS FsdFlushBuffers(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}

NTSTATUS CommonFlushBuffers(PIRP_CONTEXT IrpContext, PIRP Irp) {
  CompleteRequest(IrpContext, Irp, STATUS_SUCCESS);
  return STATUS_SUCCESS;
}
