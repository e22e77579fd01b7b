// The shape every dispatch routine follows, request completion and the top-level IRP.
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

// Runs the common routine of the request's major function.
NTSTATUS CommonDispatch(PIRP_CONTEXT IrpContext, PIRP Irp) {
  switch (IrpContext->MajorFunction) {
    case IRP_MJ_CLEANUP:
      return CommonCleanup(IrpContext, Irp);
    case IRP_MJ_READ:
      return CommonRead(IrpContext, Irp);
    case IRP_MJ_WRITE:
      return CommonWrite(IrpContext, Irp);
    case IRP_MJ_QUERY_INFORMATION:
      return CommonQueryInformation(IrpContext, Irp);
    case IRP_MJ_SET_INFORMATION:
    case IRP_MJ_SET_VOLUME_INFORMATION:
      return CommonSetInformation(IrpContext, Irp);
    case IRP_MJ_QUERY_EA:
    case IRP_MJ_SET_EA:
      return CommonQuerySetEa(IrpContext, Irp);
    case IRP_MJ_FLUSH_BUFFERS:
      return CommonFlushBuffers(IrpContext, Irp);
    case IRP_MJ_QUERY_VOLUME_INFORMATION:
      return CommonQueryVolumeInformation(IrpContext, Irp);
    case IRP_MJ_DIRECTORY_CONTROL:
      return CommonDirectoryControl(IrpContext, Irp);
    case IRP_MJ_FILE_SYSTEM_CONTROL:
      return CommonFileSystemControl(IrpContext, Irp);
    case IRP_MJ_DEVICE_CONTROL:
      return CommonDeviceControl(IrpContext, Irp);
    case IRP_MJ_SHUTDOWN:
      return CommonShutdown(IrpContext, Irp);
    case IRP_MJ_LOCK_CONTROL:
      return CommonLockControl(IrpContext, Irp);
    case IRP_MJ_PNP:
      return CommonPnp(IrpContext, Irp);
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
NTSTATUS CompleteControlDeviceOpen(PIRP Irp) {
  Irp->IoStatus.Information = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE ? FILE_OPENED : 0;
  CompleteRequest(nullptr, Irp, STATUS_SUCCESS);
  return STATUS_SUCCESS;
}
