// Close: the last reference of a file object went.
#include "QdrlProcs.h"

// Close of a file object: its last reference went.
NTSTATUS FsdClose(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  if (IsControlDevice(VolumeDeviceObject)) return CompleteControlDeviceOpen(Irp);
  return DispatchRequest(VolumeDeviceObject, Irp, TRUE);
}

// Not served yet: the request fails as an unsupported one.
NTSTATUS CommonClose(PIRP_CONTEXT IrpContext, PIRP Irp) {
  CompleteRequest(IrpContext, Irp, STATUS_INVALID_DEVICE_REQUEST);
  return STATUS_INVALID_DEVICE_REQUEST;
}
