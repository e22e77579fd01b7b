// The worker-thread side of posting: runs posted requests with blocking allowed, then
// the volume's overflow requests until none is left.
#include "QdrlProcs.h"

namespace {

// Runs one posted request's common routine in an exception frame.
void RunPostedRequest(PIRP_CONTEXT IrpContext) {
  PIRP Irp = IrpContext->Irp;
  NTSTATUS Status = STATUS_SUCCESS;
  BOOLEAN ExceptionProcessed = FALSE;
  UCHAR MajorFunction = IrpContext->MajorFunction;

  FsRtlEnterFileSystem();
  // A request that was nested when it was posted stays nested for the cache manager;
  // the others are this thread's top-level request now.
  IoSetTopLevelIrp(FlagOn(IrpContext->Flags, IRPCTX_NOT_TOP_LEVEL) ? FSRTL_FSP_TOP_LEVEL_IRP : Irp);

  SEH_TRY {
    // Create runs on the worker's own stack, which is large enough.
    Status = MajorFunction == IRP_MJ_CREATE ? CommonCreate(IrpContext, Irp) : CommonDispatch(IrpContext, Irp);
  } SEH_EXCEPT (ExceptionFilter(IrpContext, SEH_EXCEPTION_POINTERS())) {
    Status = ProcessException(IrpContext, Irp, SEH_EXCEPTION_CODE());
    ExceptionProcessed = TRUE;
  } SEH_END;

  IoSetTopLevelIrp(nullptr);
  FsRtlExitFileSystem();

  // The create dispatch completes creates, not their common routine.
  if (MajorFunction == IRP_MJ_CREATE && !ExceptionProcessed && Status != STATUS_PENDING)
    CompleteRequest(IrpContext, Irp, Status);
}

}  // namespace

// The work routine of posted requests. Runs the request, then, while this volume's
// overflow queue has requests, runs them too in the same thread before leaving.
void WorkerDispatch(PVOID Context) {
  auto* IrpContext = (PIRP_CONTEXT)Context;
  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(IrpContext->Irp);
  PVCB Vcb = IrpSp->FileObject != nullptr ? (PVCB)IrpSp->DeviceObject->DeviceExtension : nullptr;

  while (IrpContext != nullptr) {
    SetFlag(IrpContext->Flags, IRPCTX_WAIT);
    RunPostedRequest(IrpContext);
    IrpContext = Vcb != nullptr ? TakeOverflowEntry(Vcb) : nullptr;
  }
}
