// Allocation and release of request contexts.
#include "QdrlProcs.h"

// Returns a new IrpContext for Irp. A request other than create, close or cleanup that
// reaches a control device with a file object raises STATUS_INVALID_DEVICE_REQUEST before
// anything is allocated; an exhausted lookaside list raises too.
PIRP_CONTEXT AllocateIrpContext(PIRP Irp, BOOLEAN Wait) {
  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT FileObject = IrpSp->FileObject;
  BOOLEAN ControlDevice = IsControlDevice(IrpSp->DeviceObject);

  if (ControlDevice && FileObject != nullptr && IrpSp->MajorFunction != IRP_MJ_CREATE &&
      IrpSp->MajorFunction != IRP_MJ_CLOSE && IrpSp->MajorFunction != IRP_MJ_CLEANUP)
    ExRaiseStatus(STATUS_INVALID_DEVICE_REQUEST);

  auto* IrpContext = (PIRP_CONTEXT)ExAllocateFromNPagedLookasideList(&IrpContextLookaside);
  RtlZeroMemory(IrpContext, sizeof(IRP_CONTEXT));
  IrpContext->NodeTypeCode = NODE_TYPE_IRP_CONTEXT;
  IrpContext->NodeByteSize = sizeof(IRP_CONTEXT);
  IrpContext->Irp = Irp;
  IrpContext->MajorFunction = IrpSp->MajorFunction;
  IrpContext->MinorFunction = IrpSp->MinorFunction;

  if (FileObject != nullptr) {
    // Only volume devices carry a Vcb as their extension.
    if (!ControlDevice) IrpContext->Vcb = (PVCB)IrpSp->DeviceObject->DeviceExtension;
    IrpContext->RealDevice = FileObject->DeviceObject;
  } else if (IrpSp->MajorFunction == IRP_MJ_FILE_SYSTEM_CONTROL && IrpSp->Parameters.MountVolume.Vpb) {
    // Mount and verify name the volume through the VPB in their parameters.
    IrpContext->RealDevice = IrpSp->Parameters.MountVolume.Vpb->RealDevice;
  }

  if (Wait) SetFlag(IrpContext->Flags, IRPCTX_WAIT);
  if (IoGetTopLevelIrp() != Irp) SetFlag(IrpContext->Flags, IRPCTX_NOT_TOP_LEVEL);
  return IrpContext;
}

// Returns IrpContext to its lookaside list, with the pool I/O context it owns (a context
// on a caller's stack is the caller's).
void FreeIrpContext(PIRP_CONTEXT IrpContext) {
  PIO_CONTEXT IoContext = IrpContext->IoContext;
  if (IoContext != nullptr && !FlagOn(IrpContext->Flags, IRPCTX_STACK_IO_CONTEXT)) {
    if (IoContext->ZeroMdl != nullptr) IoFreeMdl(IoContext->ZeroMdl);
    ExFreePoolWithTag(IoContext, TAG_IO_CONTEXT);
  }
  ExFreeToNPagedLookasideList(&IrpContextLookaside, IrpContext);
}
