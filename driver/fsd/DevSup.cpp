// Buffer support for requests that reach the disk or a worker.
#include "QdrlProcs.h"

// Describes Irp's user buffer with an MDL and locks its pages (nothing when the IRP has
// an MDL already). A buffer that fails its probe raises the probe's status when it is
// one a file system may return, else STATUS_INVALID_USER_BUFFER.
void LockUserBuffer(PIRP_CONTEXT IrpContext, PIRP Irp, LOCK_OPERATION Operation, ULONG Length) {
  if (Irp->MdlAddress != nullptr) return;

  PMDL Mdl = IoAllocateMdl(Irp->UserBuffer, Length, FALSE, FALSE, Irp);
  if (Mdl == nullptr) RaiseStatus(IrpContext, STATUS_INSUFFICIENT_RESOURCES);

  NTSTATUS ProbeStatus = STATUS_SUCCESS;
  SEH_TRY {
    MmProbeAndLockPages(Mdl, Irp->RequestorMode, Operation);
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    ProbeStatus = SEH_EXCEPTION_CODE();
  } SEH_END;

  if (ProbeStatus != STATUS_SUCCESS) {
    IoFreeMdl(Mdl);
    Irp->MdlAddress = nullptr;
    RaiseStatus(IrpContext, FsRtlIsNtstatusExpected(ProbeStatus) ? ProbeStatus : STATUS_INVALID_USER_BUFFER);
  }
}
