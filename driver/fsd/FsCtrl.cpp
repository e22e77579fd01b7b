// File-system control: mount, verify and the user requests.
#include "QdrlProcs.h"

// Mount and verify arrive without a file object and may always wait.
NTSTATUS FsdFileSystemControl(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  BOOLEAN Wait = IoGetCurrentIrpStackLocation(Irp)->FileObject == nullptr ? TRUE : IoIsOperationSynchronous(Irp);
  return DispatchRequest(VolumeDeviceObject, Irp, Wait);
}

// Not served yet: the request fails as an unsupported one.
NTSTATUS CommonFileSystemControl(PIRP_CONTEXT IrpContext, PIRP Irp) {
  CompleteRequest(IrpContext, Irp, STATUS_INVALID_DEVICE_REQUEST);
  return STATUS_INVALID_DEVICE_REQUEST;
}
