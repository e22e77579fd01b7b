// Shutdown.
#include "QdrlProcs.h"

NTSTATUS FsdShutdown(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, TRUE);
}

// Not served yet: the request fails as an unsupported one.
NTSTATUS CommonShutdown(PIRP_CONTEXT IrpContext, PIRP Irp) {
  CompleteRequest(IrpContext, Irp, STATUS_INVALID_DEVICE_REQUEST);
  return STATUS_INVALID_DEVICE_REQUEST;
}
