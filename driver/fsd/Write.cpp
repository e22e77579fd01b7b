// Write: the volume is read-only. Only the cache manager's MDL writes come back to be
// completed; every other write is refused.
#include "QdrlProcs.h"

NTSTATUS FsdWrite(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  // Under the modified-page writer this IRP stands at the top for the call; the writer's
  // marker goes back afterwards.
  BOOLEAN UnderModifiedWriter = IoGetTopLevelIrp() == FSRTL_MOD_WRITE_TOP_LEVEL_IRP;
  if (UnderModifiedWriter) IoSetTopLevelIrp(nullptr);
  NTSTATUS Status = DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
  if (UnderModifiedWriter) IoSetTopLevelIrp(FSRTL_MOD_WRITE_TOP_LEVEL_IRP);
  return Status;
}

NTSTATUS CommonWrite(PIRP_CONTEXT IrpContext, PIRP Irp) {
  if (FlagOn(IrpContext->MinorFunction, IRP_MN_COMPLETE)) return CompleteMdl(IrpContext, Irp);
  Irp->IoStatus.Information = 0;
  CompleteRequest(IrpContext, Irp, STATUS_MEDIA_WRITE_PROTECTED);
  return STATUS_MEDIA_WRITE_PROTECTED;
}
