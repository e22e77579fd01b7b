// The checks that make a request meet a changed, swapped or dismounted medium, the
// verification of the real device, the check for requests on cleaned-up handles and the
// corrupt-file pop-up.
#include "QdrlProcs.h"

#define BugCheckFileId QDRL_BUG_CHECK_SUPPORT

namespace {

// The device under the volume's VPB, whose flags say whether the medium changed.
PDEVICE_OBJECT RealDeviceOf(PVCB Vcb) { return Vcb->Vpb->RealDevice; }

BOOLEAN IsCreateWithoutRelatedFile(PIRP_CONTEXT IrpContext) {
  if (IrpContext->MajorFunction != IRP_MJ_CREATE) return FALSE;
  return IoGetCurrentIrpStackLocation(IrpContext->Irp)->FileObject->RelatedFileObject == nullptr;
}

BOOLEAN IsMountOrVerify(PIRP_CONTEXT IrpContext) {
  return IrpContext->MajorFunction == IRP_MJ_FILE_SYSTEM_CONTROL &&
         (IrpContext->MinorFunction == IRP_MN_MOUNT_VOLUME || IrpContext->MinorFunction == IRP_MN_VERIFY_VOLUME);
}

// A volume whose medium went and that no handle holds goes now. The global resource comes
// first in the lock order, so the volume's resource was given up before.
void DismountIfUnused(PIRP_CONTEXT IrpContext, PVCB Vcb) {
  ExAcquireResourceExclusiveLite(&GlobalData.Resource, TRUE);
  AcquireVcbExclusive(IrpContext, Vcb, TRUE);
  if (!TryDismountVcb(IrpContext, Vcb, FALSE)) ExReleaseResourceLite(&Vcb->Resource);
  ExReleaseResourceLite(&GlobalData.Resource);
}

}  // namespace

// Whether Status is one of the statuses that mean the medium is absent, changed or
// unreadable as a whole: they become a verify or a pop-up rather than a plain failure.
BOOLEAN IsMediaStatus(NTSTATUS Status) {
  switch (Status) {
    case STATUS_MEDIA_WRITE_PROTECTED:
    case STATUS_DEVICE_NOT_READY:
    case STATUS_IO_TIMEOUT:
    case STATUS_WRONG_VOLUME:
    case STATUS_NO_MEDIA_IN_DEVICE:
    case STATUS_UNRECOGNIZED_MEDIA:
    case STATUS_VERIFY_REQUIRED:
      return TRUE;
    default:
      return FALSE;
  }
}

// Returns when the volume may be used; raises when its medium must be verified first,
// another medium is in the drive, or the volume is gone.
void CheckVcbUsable(PIRP_CONTEXT IrpContext, PVCB Vcb) {
  PDEVICE_OBJECT RealDevice = RealDeviceOf(Vcb);
  if (FlagOn(RealDevice->Flags, DO_VERIFY_VOLUME)) {
    IoSetHardErrorOrVerifyDevice(IrpContext->Irp, RealDevice);
    RaiseStatus(IrpContext, STATUS_VERIFY_REQUIRED);
  }
  switch (Vcb->Condition) {
    case VcbGood:
      return;
    case VcbNotMounted:
      IoSetHardErrorOrVerifyDevice(IrpContext->Irp, RealDevice);
      RaiseStatus(IrpContext, STATUS_WRONG_VOLUME);
    case VcbBad:
      RaiseStatus(IrpContext, FlagOn(Vcb->State, VCB_DISMOUNTED) ? STATUS_VOLUME_DISMOUNTED : STATUS_FILE_INVALID);
    default:
      QdrlBugCheck(Vcb->Condition, 0, 0);
  }
}

// Like CheckVcbUsable, but an open by absolute name on a volume whose medium left the
// drive asks for a verify, so that the I/O manager mounts what is there now and opens
// again.
void CheckVerifyForCreate(PIRP_CONTEXT IrpContext, PVCB Vcb) {
  PDEVICE_OBJECT RealDevice = RealDeviceOf(Vcb);
  if (FlagOn(RealDevice->Flags, DO_VERIFY_VOLUME) ||
      (IsCreateWithoutRelatedFile(IrpContext) && Vcb->Condition == VcbNotMounted)) {
    IoSetHardErrorOrVerifyDevice(IrpContext->Irp, RealDevice);
    RaiseStatusNormalized(IrpContext, STATUS_VERIFY_REQUIRED);
  }
  CheckVcbUsable(IrpContext, Vcb);
}

// Returns when Fcb may be used: its volume is usable and the Fcb is good, re-checked
// against the medium (with its ancestors) when a media change left that open.
void CheckFcbUsable(PIRP_CONTEXT IrpContext, PFCB Fcb) {
  PVCB Vcb = Fcb->Vcb;
  if (FlagOn(Vcb->State, VCB_DISMOUNTED)) RaiseStatus(IrpContext, STATUS_VOLUME_DISMOUNTED);
  // The mounting or verifying thread reads a volume that is not usable yet.
  if (Vcb->VerifyThread != KeGetCurrentThread()) CheckVcbUsable(IrpContext, Vcb);

  switch (Fcb->Condition) {
    case FcbGood:
      return;
    case FcbBad:
      RaiseStatus(IrpContext, STATUS_FILE_INVALID);
    case FcbNeedsRecheck: {
      if (!FlagOn(IrpContext->Flags, IRPCTX_WAIT)) RaiseStatus(IrpContext, STATUS_CANT_WAIT);
      PFCB Current = Fcb;
      RecheckFcb(IrpContext, Current);
      while (Current->Condition == FcbGood && Current->Parent != nullptr &&
             Current->Parent->Condition == FcbNeedsRecheck) {
        Current = Current->Parent;
        RecheckFcb(IrpContext, Current);
      }
      if (Fcb->Condition != FcbGood) RaiseStatus(IrpContext, STATUS_FILE_INVALID);
      return;
    }
    default:
      QdrlBugCheck(Fcb->Condition, 0, 0);
  }
}

// Has the I/O manager verify Device and decides the request's fate from the answer:
// posted to be retried, sent back to be opened again on whatever is mounted now, or
// failed by raising (the caller's frame handles that). Returns STATUS_PENDING or
// STATUS_REPARSE when the request was handed on.
NTSTATUS VerifyRealDevice(PIRP_CONTEXT IrpContext, PIRP Irp, PDEVICE_OBJECT Device) {
  // A mount or verify in this thread holds the global resource a verify needs.
  if (IsMountOrVerify(IrpContext)) {
    return PostRequest(IrpContext, Irp);
  }

  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
  BOOLEAN OpensDevice = IrpContext->MajorFunction == IRP_MJ_CREATE && IrpSp->FileObject->FileName.Length == 0 &&
                        IrpSp->FileObject->RelatedFileObject == nullptr;
  NTSTATUS Status = IoVerifyVolume(Device, OpensDevice);

  if (PVCB Vcb = IrpContext->Vcb) {
    AcquireVcbShared(IrpContext, Vcb);
    // Only the volume's condition tells whether the medium is still this volume.
    if (Status == STATUS_WRONG_VOLUME && Vcb->Condition == VcbGood) Status = STATUS_SUCCESS;
    else if (NT_SUCCESS(Status) && Vcb->Condition != VcbGood) Status = STATUS_WRONG_VOLUME;
    BOOLEAN Unused = Vcb->Condition != VcbGood && Vcb->OpenCount == 0;
    ExReleaseResourceLite(&Vcb->Resource);
    if (Unused) DismountIfUnused(IrpContext, Vcb);
  }

  if (IsCreateWithoutRelatedFile(IrpContext) && (NT_SUCCESS(Status) || Status == STATUS_WRONG_VOLUME)) {
    Irp->IoStatus.Information = IO_REMOUNT;
    CompleteRequest(IrpContext, Irp, STATUS_REPARSE);
    return STATUS_REPARSE;
  }
  if (!NT_SUCCESS(Status)) {
    if (IsMediaStatus(Status)) IoSetHardErrorOrVerifyDevice(Irp, Device);
    RaiseStatusNormalized(IrpContext, Status);
  }
  return PostRequest(IrpContext, Irp);
}

// Raises STATUS_FILE_CLOSED for a request on a handle already cleaned up, unless it is
// one that Windows still sends then (close, information queries and changes, the
// completion of an MDL read or write, paging I/O).
void CheckFileObjectOpen(PIRP_CONTEXT IrpContext) {
  PIRP Irp = IrpContext->Irp;
  if (Irp == nullptr || FlagOn(Irp->Flags, IRP_PAGING_IO)) return;
  PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  if (FileObject == nullptr || !FlagOn(FileObject->Flags, FO_CLEANUP_COMPLETE)) return;
  switch (IrpContext->MajorFunction) {
    case IRP_MJ_CLOSE:
    case IRP_MJ_QUERY_INFORMATION:
    case IRP_MJ_SET_INFORMATION:
      return;
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
      if (FlagOn(IrpContext->MinorFunction, IRP_MN_COMPLETE)) return;
      break;
    default:
      break;
  }
  RaiseStatus(IrpContext, STATUS_FILE_CLOSED);
}

// Tells the user that the file of Fcb is damaged (the root's damage is the volume's).
void PopUpFileCorrupt(PIRP_CONTEXT IrpContext, PFCB Fcb) {
  if (FlagOn(Fcb->State, FCB_ROOT)) return;
  if (Fcb->FullName.Length == 0) BuildFullName(IrpContext, Fcb);
  PETHREAD Thread = IrpContext->Irp ? IrpContext->Irp->Tail.Overlay.Thread : nullptr;
  if (Thread != nullptr && PsIsSystemThread(Thread)) Thread = nullptr;
  IoRaiseInformationalHardError(STATUS_FILE_CORRUPT_ERROR, &Fcb->FullName, Thread);
}
