// Plug and play.
#include "QdrlProcs.h"

NTSTATUS FsdPnp(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}

// Not served yet: the request fails as an unsupported one.
NTSTATUS CommonPnp(PIRP_CONTEXT IrpContext, PIRP Irp) {
  CompleteRequest(IrpContext, Irp, STATUS_INVALID_DEVICE_REQUEST);
  return STATUS_INVALID_DEVICE_REQUEST;
}
