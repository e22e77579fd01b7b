// Query and set information of files and directories.
#include "QdrlProcs.h"

NTSTATUS FsdQueryInformation(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}

// Set information, and set volume information with it.
NTSTATUS FsdSetInformation(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}

// Not served yet: the request fails as an unsupported one.
NTSTATUS CommonQueryInformation(PIRP_CONTEXT IrpContext, PIRP Irp) {
  CompleteRequest(IrpContext, Irp, STATUS_INVALID_DEVICE_REQUEST);
  return STATUS_INVALID_DEVICE_REQUEST;
}
// Not served yet: the request fails as an unsupported one.
NTSTATUS CommonSetInformation(PIRP_CONTEXT IrpContext, PIRP Irp) {
  CompleteRequest(IrpContext, Irp, STATUS_INVALID_DEVICE_REQUEST);
  return STATUS_INVALID_DEVICE_REQUEST;
}
