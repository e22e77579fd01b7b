// Flush.
#include "QdrlProcs.h"

NTSTATUS FsdFlushBuffers(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}

// Not served yet: the request fails as an unsupported one.
NTSTATUS CommonFlushBuffers(PIRP_CONTEXT IrpContext, PIRP Irp) {
  CompleteRequest(IrpContext, Irp, STATUS_INVALID_DEVICE_REQUEST);
  return STATUS_INVALID_DEVICE_REQUEST;
}
