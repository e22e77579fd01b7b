// Create: the dispatch routine, which runs the common routine on an expanded kernel
// stack, and the common routine.
#include "QdrlProcs.h"

namespace {

// Stack the common create routine may need beyond what a dispatch thread has left.
const SIZE_T CreateStackSize = 0x6000;

struct CREATE_CALLOUT_PARAMETERS {
  PIRP_CONTEXT IrpContext;
  PIRP Irp;
  NTSTATUS Status;
  // The code of an exception caught on the expanded stack, or 0.
  NTSTATUS ExceptionCode;
};

// Runs CommonCreate on the expanded stack. Exceptions may not leave a callout: its own
// frame catches them and leaves the code for the dispatch routine.
void CreateCallout(PVOID Parameter) {
  auto* Parameters = (CREATE_CALLOUT_PARAMETERS*)Parameter;
  SEH_TRY {
    Parameters->Status = CommonCreate(Parameters->IrpContext, Parameters->Irp);
  } SEH_EXCEPT (ExceptionFilter(Parameters->IrpContext, SEH_EXCEPTION_POINTERS())) {
    Parameters->ExceptionCode = SEH_EXCEPTION_CODE();
  } SEH_END;
}

// Runs the create on an expanded stack; an exception from it is raised again here, on
// the dispatch routine's stack. A failed expansion is the request's status.
NTSTATUS CreateOnExpandedStack(PIRP_CONTEXT IrpContext, PIRP Irp) {
  CREATE_CALLOUT_PARAMETERS Parameters{IrpContext, Irp, STATUS_SUCCESS, 0};
  NTSTATUS Status = KeExpandKernelStackAndCalloutEx(CreateCallout, &Parameters, CreateStackSize, FALSE, nullptr);
  if (Parameters.ExceptionCode < 0) {
    // The filter on the expanded stack recorded the request's status already; it stays.
    if (IrpContext->ExceptionStatus == 0) IrpContext->ExceptionStatus = Parameters.ExceptionCode;
    ExRaiseStatus(Parameters.ExceptionCode);
  }
  if (!NT_SUCCESS(Status)) return Status == STATUS_NO_MEMORY ? STATUS_INSUFFICIENT_RESOURCES : Status;
  return Parameters.Status;
}

}  // namespace

// The create dispatch routine. Opens of a control device succeed at once; opens of a
// volume follow the dispatch shape with the common routine on an expanded stack, and
// this routine, not the common one, completes them.
NTSTATUS FsdCreate(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  if (IsControlDevice(VolumeDeviceObject)) {
    Irp->IoStatus.Information = FILE_OPENED;
    CompleteRequest(nullptr, Irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  }

  NTSTATUS Status;
  PIRP_CONTEXT IrpContext = nullptr;
  FsRtlEnterFileSystem();
  BOOLEAN TopLevel = SetTopLevelIfNone(Irp);

  SEH_TRY {
    IrpContext = AllocateIrpContext(Irp, TRUE);
    Status = CreateOnExpandedStack(IrpContext, Irp);
    if (Status != STATUS_PENDING) CompleteRequest(IrpContext, Irp, Status);
  } SEH_EXCEPT (ExceptionFilter(IrpContext, SEH_EXCEPTION_POINTERS())) {
    Status = ProcessException(IrpContext, Irp, SEH_EXCEPTION_CODE());
  } SEH_END;

  if (TopLevel) IoSetTopLevelIrp(nullptr);
  FsRtlExitFileSystem();
  return Status;
}

// Opens a file, a directory or the volume itself on a mounted volume. Volumes come into
// being through mount, which this driver does not serve yet; until it does, no open of
// a volume can be granted.
NTSTATUS CommonCreate(PIRP_CONTEXT IrpContext, PIRP Irp) {
  UNREFERENCED_PARAMETER(IrpContext);
  UNREFERENCED_PARAMETER(Irp);
  return STATUS_INVALID_DEVICE_REQUEST;
}
