// Extended-attribute requests: the volume offers no extended attributes of this kind.
#include "QdrlProcs.h"

// Query and set extended attributes, one routine for both.
NTSTATUS FsdQuerySetEa(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}

NTSTATUS CommonQuerySetEa(PIRP_CONTEXT IrpContext, PIRP Irp) {
  CompleteRequest(IrpContext, Irp, STATUS_INVALID_DEVICE_REQUEST);
  return STATUS_INVALID_DEVICE_REQUEST;
}
