// Cleanup: the last handle of a file object went.
#include "QdrlProcs.h"

// Cleanup of a handle: the last handle of a file object went.
NTSTATUS FsdCleanup(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  if (IsControlDevice(VolumeDeviceObject)) return CompleteControlDeviceOpen(Irp);
  return DispatchRequest(VolumeDeviceObject, Irp, TRUE);
}

// Not served yet: the request fails as an unsupported one.
NTSTATUS CommonCleanup(PIRP_CONTEXT IrpContext, PIRP Irp) {
  CompleteRequest(IrpContext, Irp, STATUS_INVALID_DEVICE_REQUEST);
  return STATUS_INVALID_DEVICE_REQUEST;
}
