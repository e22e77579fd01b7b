// Raising statuses, the exception filter every request frame uses, what becomes of a
// request whose frame caught an exception, and the check of handle records.
#include "QdrlProcs.h"

#define BugCheckFileId QDRL_BUG_CHECK_SUPPORT

// Records Status as the request's own failure, then raises it.
void RaiseStatus(PIRP_CONTEXT IrpContext, NTSTATUS Status) {
  IrpContext->ExceptionStatus = Status;
  ExRaiseStatus(Status);
}

// For statuses from outside the driver (lower drivers, conversions): the request keeps
// the status as it came, the exception carries an expected one.
void RaiseStatusNormalized(PIRP_CONTEXT IrpContext, NTSTATUS Status) {
  IrpContext->ExceptionStatus = Status;
  ExRaiseStatus(FsRtlNormalizeNtstatus(Status, STATUS_UNEXPECTED_IO_ERROR));
}

// Decides that every exception is handled here, and records the status it carries
// unless the driver raised one itself. An exception the run-time library does not
// expect (a processor fault) means the driver is broken: the system stops.
LONG ExceptionFilter(PIRP_CONTEXT IrpContext, PEXCEPTION_POINTERS ExceptionPointers) {
  PEXCEPTION_RECORD Record = ExceptionPointers->ExceptionRecord;
  NTSTATUS Code = Record->ExceptionCode;
  // A failed page-in carries the I/O status behind it as its third parameter.
  if (Code == STATUS_IN_PAGE_ERROR && Record->NumberParameters >= 3)
    Code = (NTSTATUS)Record->ExceptionInformation[2];

  if (IrpContext == nullptr) {
    if (!FsRtlIsNtstatusExpected(Code))
      QdrlBugCheck(Record, ExceptionPointers->ContextRecord, Record->ExceptionAddress);
    return EXCEPTION_EXECUTE_HANDLER;
  }

  // Whatever happens next (completion, posting) may block.
  SetFlag(IrpContext->Flags, IRPCTX_WAIT);
  if (IrpContext->ExceptionStatus == 0) {
    if (!FsRtlIsNtstatusExpected(Code))
      QdrlBugCheck(Record, ExceptionPointers->ContextRecord, Record->ExceptionAddress);
    IrpContext->ExceptionStatus = Code;
  }
  return EXCEPTION_EXECUTE_HANDLER;
}

namespace {

// Whether Status means the medium (not the whole device) failed, or the volume's data
// is damaged: then the volume is marked dirty.
BOOLEAN MarksVolumeDirty(PIRP_CONTEXT IrpContext, NTSTATUS Status) {
  if (Status == STATUS_FILE_CORRUPT_ERROR || Status == STATUS_DISK_CORRUPT_ERROR) return TRUE;
  PDEVICE_OBJECT Target = IoGetCurrentIrpStackLocation(IrpContext->Irp)->DeviceObject;
  return !IsControlDevice(Target) && NT_ERROR(Status) && !FsRtlIsTotalDeviceFailure(Status);
}

// The device whose medium the request met: the volume's real device, or for requests
// without a volume (mount, verify) the one the request names.
PDEVICE_OBJECT DeviceToVerifyFor(PIRP_CONTEXT IrpContext) {
  if (IrpContext->Vcb != nullptr) return IrpContext->Vcb->Vpb->RealDevice;
  return IrpContext->RealDevice;
}

// Forgets the device to verify that the failing call left for the requesting thread (or,
// when it left none there, for this one).
void ClearDeviceToVerify(PETHREAD Thread) {
  if (IoGetDeviceToVerify(Thread) != nullptr) IoSetDeviceToVerify(Thread, nullptr);
  else IoSetDeviceToVerify(PsGetCurrentThread(), nullptr);
}

// Verifies the device in a frame of its own: a verify that fails raises, and this runs
// as an exception handler, where nothing else would catch it. The request completes with
// the status the verify raised.
NTSTATUS VerifyInOwnFrame(PIRP_CONTEXT IrpContext, PIRP Irp, PDEVICE_OBJECT Device) {
  NTSTATUS Status;
  SEH_TRY {
    Status = VerifyRealDevice(IrpContext, Irp, Device);
  } SEH_EXCEPT (ExceptionFilter(IrpContext, SEH_EXCEPTION_POINTERS())) {
    Status = IrpContext->ExceptionStatus;
    IrpContext->ExceptionStatus = 0;
    // The failure ends the request here: nobody is left to verify the device it named.
    ClearDeviceToVerify(Irp->Tail.Overlay.Thread);
    CompleteRequest(IrpContext, Irp, Status);
  } SEH_END;
  return Status;
}

// A request that met an absent, changed or unreadable medium: a verify for
// STATUS_VERIFY_REQUIRED, else a pop-up unless the request asked for none.
NTSTATUS ProcessMediaStatus(PIRP_CONTEXT IrpContext, PIRP Irp, NTSTATUS Status) {
  if (Status == STATUS_VERIFY_REQUIRED) {
    ClearDeviceToVerify(Irp->Tail.Overlay.Thread);
    PDEVICE_OBJECT Device = DeviceToVerifyFor(IrpContext);
    if (Device == nullptr) {
      CompleteRequest(IrpContext, Irp, STATUS_DRIVER_INTERNAL_ERROR);
      return STATUS_DRIVER_INTERNAL_ERROR;
    }
    return VerifyInOwnFrame(IrpContext, Irp, Device);
  }

  PDEVICE_OBJECT Device = DeviceToVerifyFor(IrpContext);
  if (FlagOn(IrpContext->Flags, IRPCTX_NO_POPUPS) || Device == nullptr) {
    CompleteRequest(IrpContext, Irp, Status);
    return Status;
  }
  // The I/O manager completes the IRP once the user has answered.
  IoMarkIrpPending(Irp);
  PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  PETHREAD Requestor = Irp->Tail.Overlay.Thread;
  IoRaiseHardError(Irp, FileObject ? FileObject->Vpb : nullptr, Device);
  ClearDeviceToVerify(Requestor);
  FreeIrpContext(IrpContext);
  return STATUS_PENDING;
}

}  // namespace

// Turns a caught exception into the request's fate: posted to a worker when the top-level
// request could not wait, else completed with the status the driver recorded. Returns the
// status for the dispatch routine (STATUS_PENDING when a worker owns the request).
NTSTATUS ProcessException(PIRP_CONTEXT IrpContext, PIRP Irp, NTSTATUS ExceptionCode) {
  if (IrpContext == nullptr) {
    CompleteRequest(nullptr, Irp, ExceptionCode);
    return ExceptionCode;
  }

  NTSTATUS Status = IrpContext->ExceptionStatus;
  IrpContext->ExceptionStatus = 0;

  // The pages of a cache-manager MDL write that failed on its way back go back to the
  // cache unwritten; the I/O manager must not free them as its own.
  if (IrpContext->MajorFunction == IRP_MJ_WRITE && FlagOn(IrpContext->MinorFunction, IRP_MN_COMPLETE_MDL) ==
      IRP_MN_COMPLETE_MDL && Irp->MdlAddress != nullptr) {
    CcMdlWriteAbort(IoGetCurrentIrpStackLocation(Irp)->FileObject, Irp->MdlAddress);
    Irp->MdlAddress = nullptr;
  }

  // Only the top-level request may be retried in a worker: a nested one would leave its
  // caller holding locks while the worker runs.
  if (!FlagOn(IrpContext->Flags, IRPCTX_NOT_TOP_LEVEL) &&
      (Status == STATUS_CANT_WAIT || (Status == STATUS_VERIFY_REQUIRED && KeAreAllApcsDisabled()))) {
    SEH_TRY {
      Status = PostRequest(IrpContext, Irp);
    } SEH_EXCEPT (ExceptionFilter(IrpContext, SEH_EXCEPTION_POINTERS())) {
      Status = IrpContext->ExceptionStatus;
      IrpContext->ExceptionStatus = 0;
    } SEH_END;
  }
  if (Status == STATUS_PENDING) return Status;

  Irp->IoStatus.Status = Status;

  if (FlagOn(IrpContext->Flags, IRPCTX_NOT_TOP_LEVEL)) {
    // The cache manager retries a conflict later; it cannot verify a volume.
    if (IoGetTopLevelIrp() == FSRTL_CACHE_TOP_LEVEL_IRP && Status == STATUS_VERIFY_REQUIRED)
      Status = STATUS_FILE_LOCK_CONFLICT;
    CompleteRequest(IrpContext, Irp, Status);
    return Status;
  }

  if (IsMediaStatus(Status)) return ProcessMediaStatus(IrpContext, Irp, Status);

  if (IrpContext->Vcb != nullptr && !FlagOn(IrpContext->Flags, IRPCTX_NO_POPUPS) &&
      MarksVolumeDirty(IrpContext, Status))
    SetFlag(IrpContext->Vcb->State, VCB_DIRTY);

  CompleteRequest(IrpContext, Irp, Status);
  return Status;
}

// Returns the Ccb of FileObject. A record of another type, or an open kind outside the
// four, can only come from a broken driver: the system stops, naming Unit and Line.
PCCB DecodeCcb(PFILE_OBJECT FileObject, ULONG Unit, ULONG Line) {
  auto* Ccb = (PCCB)(FileObject ? FileObject->FsContext2 : nullptr);
  if (NodeType(Ccb) != NODE_TYPE_CCB)
    KeBugCheckEx(QDRL_BUG_CHECK_CODE, ((ULONG_PTR)Unit << 16) | Line, NodeType(Ccb), 0, 0);
  if (Ccb->OpenKind < FileOpen || Ccb->OpenKind > StreamOpen)
    KeBugCheckEx(QDRL_BUG_CHECK_CODE, ((ULONG_PTR)Unit << 16) | Line, Ccb->OpenKind, 0, 0);
  return Ccb;
}
