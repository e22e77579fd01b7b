// The shape every dispatch routine follows, request completion, the top-level IRP, and
// the dispatch routines of request families that use the shape unchanged.
#include "QdrlProcs.h"

BOOLEAN IsControlDevice(PDEVICE_OBJECT DeviceObject) {
  return DeviceObject == GlobalData.DiskFsDevice || DeviceObject == GlobalData.CdRomFsDevice;
}

// Frees IrpContext and completes Irp with Status (either may be null). A failed input
// operation returns no data, whatever the routine had counted.
void CompleteRequest(PIRP_CONTEXT IrpContext, PIRP Irp, NTSTATUS Status) {
  if (IrpContext != nullptr) FreeIrpContext(IrpContext);
  if (Irp == nullptr) return;
  if (NT_ERROR(Status) && FlagOn(Irp->Flags, IRP_INPUT_OPERATION)) Irp->IoStatus.Information = 0;
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_DISK_INCREMENT);
}

// Makes Irp the thread's top-level IRP when the thread has none; TRUE when it did.
BOOLEAN SetTopLevelIfNone(PIRP Irp) {
  if (IoGetTopLevelIrp() != nullptr) return FALSE;
  IoSetTopLevelIrp(Irp);
  return TRUE;
}

// Runs the common routine of the request's major function. Families whose common
// routine is not part of the driver fail with STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS CommonDispatch(PIRP_CONTEXT IrpContext, PIRP Irp) {
  switch (IrpContext->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
      return CommonDeviceControl(IrpContext, Irp);
    default:
      CompleteRequest(IrpContext, Irp, STATUS_INVALID_DEVICE_REQUEST);
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

// The dispatch shape: inside a critical region and with the request as the thread's
// top-level IRP when none was, allocate the IrpContext and run the common routine in an
// exception frame whose handler completes or posts the request. Returns the common
// routine's status, or STATUS_PENDING when a worker owns the request.
NTSTATUS DispatchRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN Wait) {
  UNREFERENCED_PARAMETER(DeviceObject);
  NTSTATUS Status;
  PIRP_CONTEXT IrpContext = nullptr;

  FsRtlEnterFileSystem();
  BOOLEAN TopLevel = SetTopLevelIfNone(Irp);

  SEH_TRY {
    IrpContext = AllocateIrpContext(Irp, Wait);
    Status = CommonDispatch(IrpContext, Irp);
  } SEH_EXCEPT (ExceptionFilter(IrpContext, SEH_EXCEPTION_POINTERS())) {
    // IrpContext is still null when its allocation raised.
    Status = ProcessException(IrpContext, Irp, SEH_EXCEPTION_CODE());
  } SEH_END;

  if (TopLevel) IoSetTopLevelIrp(nullptr);
  FsRtlExitFileSystem();
  return Status;
}

// Completes a create, cleanup or close on a control device at once: the control devices
// hold no volume, so there is nothing to open or release.
static NTSTATUS CompleteControlDeviceOpen(PIRP Irp) {
  Irp->IoStatus.Information = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE ? FILE_OPENED : 0;
  CompleteRequest(nullptr, Irp, STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

// Cleanup of a handle: the last handle of a file object went.
NTSTATUS FsdCleanup(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  if (IsControlDevice(VolumeDeviceObject)) return CompleteControlDeviceOpen(Irp);
  return DispatchRequest(VolumeDeviceObject, Irp, TRUE);
}

// Close of a file object: its last reference went.
NTSTATUS FsdClose(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  if (IsControlDevice(VolumeDeviceObject)) return CompleteControlDeviceOpen(Irp);
  return DispatchRequest(VolumeDeviceObject, Irp, TRUE);
}

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

NTSTATUS FsdWrite(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}

NTSTATUS FsdQueryInformation(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}

// Set information, and set volume information with it.
NTSTATUS FsdSetInformation(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}

// Query and set extended attributes, one routine for both.
NTSTATUS FsdQuerySetEa(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}

NTSTATUS FsdFlushBuffers(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}

NTSTATUS FsdQueryVolumeInformation(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}

NTSTATUS FsdDirectoryControl(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}

// Mount and verify arrive without a file object and may always wait.
NTSTATUS FsdFileSystemControl(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  BOOLEAN Wait = IoGetCurrentIrpStackLocation(Irp)->FileObject == nullptr ? TRUE : IoIsOperationSynchronous(Irp);
  return DispatchRequest(VolumeDeviceObject, Irp, Wait);
}

NTSTATUS FsdShutdown(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, TRUE);
}

NTSTATUS FsdLockControl(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}

NTSTATUS FsdPnp(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}
