// Oplock requests: the oplock FSCTLs on a file or directory handle, handed to the oplock
// package with the open count it judges them by.
#include "QdrlProcs.h"

namespace {

#define BugCheckFileId QDRL_BUG_CHECK_FSCTRL

enum class OplockCall { Grant, Acknowledge, Invalid };

OplockCall ClassifyOplockRequest(PIRP Irp, ULONG Code) {
  switch (Code) {
    case FSCTL_REQUEST_OPLOCK_LEVEL_1:
    case FSCTL_REQUEST_OPLOCK_LEVEL_2:
    case FSCTL_REQUEST_BATCH_OPLOCK:
    case FSCTL_REQUEST_FILTER_OPLOCK:
      return OplockCall::Grant;
    case FSCTL_OPLOCK_BREAK_ACKNOWLEDGE:
    case FSCTL_OPBATCH_ACK_CLOSE_PENDING:
    case FSCTL_OPLOCK_BREAK_NOTIFY:
    case FSCTL_OPLOCK_BREAK_ACK_NO_2:
      return OplockCall::Acknowledge;
    case FSCTL_REQUEST_OPLOCK: {
      ULONG Flags = ((PREQUEST_OPLOCK_INPUT_BUFFER)Irp->AssociatedIrp.SystemBuffer)->Flags;
      if (FlagOn(Flags, REQUEST_OPLOCK_INPUT_FLAG_REQUEST)) return OplockCall::Grant;
      if (FlagOn(Flags, REQUEST_OPLOCK_INPUT_FLAG_ACK)) return OplockCall::Acknowledge;
      return OplockCall::Invalid;
    }
    default:
      return OplockCall::Invalid;
  }
}

// What the oplock package counts against a grant: the open handles for an exclusive
// oplock; for a shared one on a file, whether byte-range locks forbid it.
ULONG GrantOpenCount(PIRP Irp, PFCB Fcb) {
  if (!FsRtlOplockIsSharedRequest(Irp)) return Fcb->UncleanCount;
  if (!FlagOn(Fcb->State, FCB_FILE)) return 0;
  return FsRtlCheckLockForOplockRequest(&Fcb->File.FileLock, &Fcb->Header.AllocationSize) ? 0 : 1;
}

NTSTATUS Refuse(PIRP_CONTEXT IrpContext, PIRP Irp, NTSTATUS Status) {
  CompleteRequest(IrpContext, Irp, Status);
  return Status;
}

}  // namespace

NTSTATUS OplockRequest(PIRP_CONTEXT IrpContext, PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG Code = Stack->Parameters.FileSystemControl.FsControlCode;
  PCCB Ccb = DecodeCcb(Stack->FileObject, BugCheckFileId, __LINE__);
  if (Ccb->OpenKind != FileOpen && Ccb->OpenKind != DirectoryOpen) return Refuse(IrpContext, Irp, STATUS_INVALID_PARAMETER);
  if (Code == FSCTL_REQUEST_OPLOCK &&
      (Stack->Parameters.FileSystemControl.InputBufferLength < sizeof(REQUEST_OPLOCK_INPUT_BUFFER) ||
       Stack->Parameters.FileSystemControl.OutputBufferLength < sizeof(REQUEST_OPLOCK_OUTPUT_BUFFER)))
    return Refuse(IrpContext, Irp, STATUS_BUFFER_TOO_SMALL);
  OplockCall Call = ClassifyOplockRequest(Irp, Code);
  if (Call == OplockCall::Invalid) return Refuse(IrpContext, Irp, STATUS_INVALID_PARAMETER);
  // A directory takes only shared oplocks, and the acknowledgements of their breaks: a
  // read-handle oplock broken to read waits for one.
  if (Ccb->OpenKind == DirectoryOpen && Code != FSCTL_REQUEST_OPLOCK) return Refuse(IrpContext, Irp, STATUS_INVALID_PARAMETER);
  if (Ccb->OpenKind == DirectoryOpen && Call == OplockCall::Grant && !FsRtlOplockIsSharedRequest(Irp))
    return Refuse(IrpContext, Irp, STATUS_INVALID_PARAMETER);

  SetFlag(IrpContext->Flags, IRPCTX_WAIT);
  auto* Fcb = (PFCB)Ccb->Target;
  PVCB HeldVcb = nullptr;
  PFCB HeldFcb = nullptr;
  NTSTATUS Status;
  SEH_FINALLY {
    if (HeldFcb != nullptr) ExReleaseResourceLite(HeldFcb->Header.Resource);
    if (HeldVcb != nullptr) ExReleaseResourceLite(&HeldVcb->Resource);
  };
  ULONG OpenCount = 0;
  if (Call == OplockCall::Grant) {
    AcquireVcbShared(IrpContext, Fcb->Vcb);
    HeldVcb = Fcb->Vcb;
    AcquireFcbExclusive(IrpContext, Fcb);
    HeldFcb = Fcb;
    OpenCount = GrantOpenCount(Irp, Fcb);
  } else {
    AcquireFcbShared(IrpContext, Fcb);
    HeldFcb = Fcb;
  }
  // From here the IRP belongs to the oplock package.
  Status = FsRtlOplockFsctrl(&Fcb->Header.Oplock, Irp, OpenCount);
  UpdateFastIoState(Fcb);
  FreeIrpContext(IrpContext);
  return Status;
}
