// Byte-range locks: IRP_MJ_LOCK_CONTROL, the fast lock entries and the fast-I/O check.
// The locks themselves live in the Fcb's file lock; this unit decides when the oplock
// must be consulted first and keeps the Fcb's fast-I/O state current.
#include "QdrlProcs.h"

namespace {

#define BugCheckFileId QDRL_BUG_CHECK_LOCKCTRL

// The Fcb of a file handle, or null for any other handle.
PFCB FileFcbOf(PFILE_OBJECT FileObject) {
  PCCB Ccb = DecodeCcb(FileObject, BugCheckFileId, __LINE__);
  return Ccb->OpenKind == FileOpen ? (PFCB)Ccb->Target : nullptr;
}

BOOLEAN AnswerNotAFile(PIO_STATUS_BLOCK IoStatus) {
  IoStatus->Status = STATUS_INVALID_PARAMETER;
  IoStatus->Information = 0;
  return TRUE;
}

// Runs Body with the Fcb's resource held shared inside a critical region, unless the
// oplock keeps fast I/O off (then FALSE: the request comes again as an IRP).
template <typename Body>
BOOLEAN WithFcbSharedForFastIo(PFCB Fcb, Body Run) {
  BOOLEAN Result = FALSE;
  FsRtlEnterFileSystem();
  ExAcquireResourceSharedLite(Fcb->Header.Resource, TRUE);
  if (FsRtlOplockIsFastIoPossible(&Fcb->Header.Oplock)) Result = Run();
  ExReleaseResourceLite(Fcb->Header.Resource);
  FsRtlExitFileSystem();
  return Result;
}

// Whether the oplock must hear of this lock request first: a lock inside the file's
// allocation, or an unlock that may release waiting locks.
BOOLEAN LockNeedsOplockCheck(PIO_STACK_LOCATION Stack, PFCB Fcb) {
  if (Stack->MinorFunction == IRP_MN_LOCK)
    return Stack->Parameters.LockControl.ByteOffset.QuadPart < Fcb->Header.AllocationSize.QuadPart;
  return FsRtlAreThereWaitingFileLocks(&Fcb->File.FileLock);
}

}  // namespace

void UpdateFastIoState(PFCB Fcb) {
  BOOLEAN Possible = Fcb->Condition == FcbGood && FlagOn(Fcb->State, FCB_FILE) &&
                     FsRtlOplockIsFastIoPossible(&Fcb->Header.Oplock);
  Fcb->Header.IsFastIoPossible = (UCHAR)(Possible ? FastIoIsQuestionable : FastIoIsNotPossible);
}

NTSTATUS FsdLockControl(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}

NTSTATUS CommonLockControl(PIRP_CONTEXT IrpContext, PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  PFCB Fcb = FileFcbOf(Stack->FileObject);
  if (Fcb == nullptr) {
    CompleteRequest(IrpContext, Irp, STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  if (!AcquireFcbShared(IrpContext, Fcb)) return PostRequest(IrpContext, Irp);
  NTSTATUS Status;
  SEH_FINALLY { ExReleaseResourceLite(Fcb->Header.Resource); };
  if (LockNeedsOplockCheck(Stack, Fcb)) {
    Status = FsRtlCheckOplock(&Fcb->Header.Oplock, Irp, IrpContext, OplockPostComplete, nullptr);
    // Held by the oplock package, which finishes or re-queues the request.
    if (Status != STATUS_SUCCESS) return Status;
  }
  Status = FsRtlProcessFileLock(&Fcb->File.FileLock, Irp, nullptr);
  UpdateFastIoState(Fcb);
  FreeIrpContext(IrpContext);
  return Status;
}

BOOLEAN FastLock(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, PLARGE_INTEGER Length, PEPROCESS ProcessId,
                 ULONG Key, BOOLEAN FailImmediately, BOOLEAN ExclusiveLock, PIO_STATUS_BLOCK IoStatus,
                 PDEVICE_OBJECT DeviceObject) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PFCB Fcb = FileFcbOf(FileObject);
  if (Fcb == nullptr) return AnswerNotAFile(IoStatus);
  return WithFcbSharedForFastIo(Fcb, [&] {
    BOOLEAN Taken = FsRtlFastLock(&Fcb->File.FileLock, FileObject, FileOffset, Length, ProcessId, Key,
                                  FailImmediately, ExclusiveLock, IoStatus, nullptr, FALSE);
    if (Taken) UpdateFastIoState(Fcb);
    return Taken;
  });
}

BOOLEAN FastUnlockSingle(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, PLARGE_INTEGER Length,
                         PEPROCESS ProcessId, ULONG Key, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PFCB Fcb = FileFcbOf(FileObject);
  if (Fcb == nullptr) return AnswerNotAFile(IoStatus);
  IoStatus->Information = 0;
  // The file lock package synchronises unlocks itself.
  if (!FsRtlOplockIsFastIoPossible(&Fcb->Header.Oplock)) return FALSE;
  IoStatus->Status = FsRtlFastUnlockSingle(&Fcb->File.FileLock, FileObject, FileOffset, Length, ProcessId, Key,
                                           nullptr, FALSE);
  UpdateFastIoState(Fcb);
  return TRUE;
}

BOOLEAN FastUnlockAll(PFILE_OBJECT FileObject, PEPROCESS ProcessId, PIO_STATUS_BLOCK IoStatus,
                      PDEVICE_OBJECT DeviceObject) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PFCB Fcb = FileFcbOf(FileObject);
  if (Fcb == nullptr) return AnswerNotAFile(IoStatus);
  IoStatus->Information = 0;
  return WithFcbSharedForFastIo(Fcb, [&] {
    IoStatus->Status = FsRtlFastUnlockAll(&Fcb->File.FileLock, FileObject, ProcessId, nullptr);
    UpdateFastIoState(Fcb);
    return (BOOLEAN)TRUE;
  });
}

BOOLEAN FastUnlockAllByKey(PFILE_OBJECT FileObject, PVOID ProcessId, ULONG Key, PIO_STATUS_BLOCK IoStatus,
                           PDEVICE_OBJECT DeviceObject) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PFCB Fcb = FileFcbOf(FileObject);
  if (Fcb == nullptr) return AnswerNotAFile(IoStatus);
  IoStatus->Information = 0;
  return WithFcbSharedForFastIo(Fcb, [&] {
    IoStatus->Status = FsRtlFastUnlockAllByKey(&Fcb->File.FileLock, FileObject, (PEPROCESS)ProcessId, Key, nullptr);
    UpdateFastIoState(Fcb);
    return (BOOLEAN)TRUE;
  });
}

// Only reads may take the fast path, and only where no other owner's lock stands in
// their way; writes always come as IRPs, to be refused.
BOOLEAN FastCheckIfPossible(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait,
                            ULONG LockKey, BOOLEAN CheckForReadOperation, PIO_STATUS_BLOCK IoStatus,
                            PDEVICE_OBJECT DeviceObject) {
  UNREFERENCED_PARAMETER(Wait);
  UNREFERENCED_PARAMETER(IoStatus);
  UNREFERENCED_PARAMETER(DeviceObject);
  if (!CheckForReadOperation) return FALSE;
  PFCB Fcb = FileFcbOf(FileObject);
  if (Fcb == nullptr) return FALSE;
  LARGE_INTEGER ByteCount;
  ByteCount.QuadPart = Length;
  return FsRtlFastCheckLockForRead(&Fcb->File.FileLock, FileOffset, &ByteCount, LockKey, FileObject,
                                   IoGetCurrentProcess());
}
