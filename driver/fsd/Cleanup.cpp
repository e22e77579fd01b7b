// Cleanup: the last handle of a file object went. What belongs to the handle is given up
// (share access, byte-range locks, notifications, oplock state, the cache map, the volume
// lock); the handle record itself stays until the close.
#include "QdrlProcs.h"

#define BugCheckFileId QDRL_BUG_CHECK_CLEANUP

// Cleanup of a handle: the last handle of a file object went.
NTSTATUS FsdCleanup(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  if (IsControlDevice(VolumeDeviceObject)) return CompleteControlDeviceOpen(Irp);
  return DispatchRequest(VolumeDeviceObject, Irp, TRUE);
}

namespace {

BOOLEAN IsFileOrDirectory(PCCB Ccb) { return Ccb->OpenKind == FileOpen || Ccb->OpenKind == DirectoryOpen; }

// Cleanup goes on whatever the medium's state: a dismounted or changed medium only
// stops the requests that need it.
void CheckFcbIgnoringMedium(PIRP_CONTEXT IrpContext, PFCB Fcb) {
  SEH_TRY {
    CheckFcbUsable(IrpContext, Fcb);
  } SEH_EXCEPT (ExceptionFilter(IrpContext, SEH_EXCEPTION_POINTERS())) {
    IrpContext->ExceptionStatus = 0;
  } SEH_END;
}

// Whether the file's Fcb may wait on the delayed-close list once its last handle goes:
// a healthy file nothing maps, whose only handle this is.
BOOLEAN MayDelayClose(PFCB Fcb) {
  return Fcb->UncleanCount == 1 && Fcb->OpenCount == 1 && Fcb->Condition == FcbGood;
}

// The handle of a volume open: a dismount it made is completed as far as the volume's
// references allow, and its volume lock ends. TRUE when an unlock is to be reported.
BOOLEAN CleanupVolumeOpen(PIRP_CONTEXT IrpContext, PVCB Vcb, PCCB Ccb, PFILE_OBJECT FileObject) {
  if (FlagOn(Ccb->Flags, CCB_DISMOUNTED_BY_HANDLE)) TryDismountVcb(IrpContext, Vcb, TRUE);
  if (!FlagOn(Vcb->State, VCB_LOCKED) || Vcb->LockFileObject != FileObject) return FALSE;
  ClearVolumeLock(IrpContext, Vcb);
  return TRUE;
}

void CleanupDirectoryOpen(PFCB Fcb) {
  if (MayDelayClose(Fcb)) SetFlag(Fcb->State, FCB_DELAY_CLOSE);
  Fcb->UncleanCount--;
}

// The last cached handle went while non-cached ones stay: the cache is emptied so that
// they do not read around stale cached data.
void EmptyCacheForNonCachedHandles(PFCB Fcb, PFILE_OBJECT FileObject) {
  PSECTION_OBJECT_POINTERS Sections = &Fcb->NonPaged->SectionObjectPointers;
  if (!FlagOn(FileObject->Flags, FO_CACHE_SUPPORTED) || Fcb->UncleanCount == 0 ||
      Fcb->NonCachedUncleanCount != Fcb->UncleanCount || Sections->DataSectionObject == nullptr)
    return;
  IO_STATUS_BLOCK IoStatus;
  CcFlushCache(Sections, nullptr, 0, &IoStatus);
  // Waits for paging I/O under way.
  ExAcquireResourceExclusiveLite(Fcb->Header.PagingIoResource, TRUE);
  ExReleaseResourceLite(Fcb->Header.PagingIoResource);
  CcPurgeCacheSection(Sections, nullptr, 0, FALSE);
}

void CleanupFileOpen(PFCB Fcb, PFILE_OBJECT FileObject) {
  PSECTION_OBJECT_POINTERS Sections = &Fcb->NonPaged->SectionObjectPointers;
  if (Sections->DataSectionObject == nullptr && Sections->ImageSectionObject == nullptr && MayDelayClose(Fcb))
    SetFlag(Fcb->State, FCB_DELAY_CLOSE);
  FsRtlFastUnlockAll(&Fcb->File.FileLock, FileObject, IoGetCurrentProcess(), nullptr);
  Fcb->UncleanCount--;
  if (!FlagOn(FileObject->Flags, FO_CACHE_SUPPORTED)) Fcb->NonCachedUncleanCount--;
  EmptyCacheForNonCachedHandles(Fcb, FileObject);
  // A file found changed on the medium keeps no cached data.
  LARGE_INTEGER Zero{};
  CcUninitializeCacheMap(FileObject, Fcb->Condition == FcbBad ? &Zero : nullptr, nullptr);
}

// Oplocks of the handle go; fast I/O is possible again only for a good file with no
// oplock in the way.
void CleanupOplock(PIRP Irp, PFCB Fcb) {
  FsRtlCheckOplock(&Fcb->Header.Oplock, Irp, nullptr, nullptr, nullptr);
  BOOLEAN Possible = FlagOn(Fcb->State, FCB_FILE) && Fcb->Condition == FcbGood &&
                     FsRtlOplockIsFastIoPossible(&Fcb->Header.Oplock);
  Fcb->Header.IsFastIoPossible = (UCHAR)(Possible ? FastIoIsQuestionable : FastIoIsNotPossible);
}

}  // namespace

// Gives up what the handle of the request's file object held and marks it cleaned up.
// Always succeeds.
NTSTATUS CommonCleanup(PIRP_CONTEXT IrpContext, PIRP Irp) {
  PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  if (FileObject->FsContext2 == nullptr || FlagOn(FileObject->Flags, FO_CLEANUP_COMPLETE)) {
    CompleteRequest(IrpContext, Irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  }
  PCCB Ccb = DecodeCcb(FileObject, QDRL_BUG_CHECK_CLEANUP, __LINE__);
  PFCB Fcb = IsFileOrDirectory(Ccb) ? (PFCB)Ccb->Target : nullptr;
  PVCB Vcb = Fcb != nullptr ? Fcb->Vcb : (PVCB)Ccb->Target;
  // A dismount finished here runs under GlobalData's resource, taken before the volume's.
  PERESOURCE HeldGlobal = nullptr;
  PERESOURCE Held = nullptr;
  BOOLEAN ReportUnlock = FALSE;

  SEH_FINALLY {
    if (Held != nullptr) ExReleaseResourceLite(Held);
    if (HeldGlobal != nullptr) ExReleaseResourceLite(HeldGlobal);
  };
  if (Fcb != nullptr) {
    AcquireFcbExclusive(IrpContext, Fcb);
    Held = Fcb->Header.Resource;
    if (Ccb->OpenKind == DirectoryOpen) FsRtlNotifyCleanup(Vcb->NotifySync, &Vcb->NotifyList, Ccb);
    CheckFcbIgnoringMedium(IrpContext, Fcb);
  } else if (Ccb->OpenKind == VolumeOpen) {
    if (FlagOn(Ccb->Flags, CCB_DISMOUNTED_BY_HANDLE)) {
      ExAcquireResourceExclusiveLite(&GlobalData.Resource, TRUE);
      HeldGlobal = &GlobalData.Resource;
    }
    AcquireVcbExclusive(IrpContext, Vcb, FALSE);
    Held = &Vcb->Resource;
  }

  PSHARE_ACCESS ShareAccess = nullptr;
  switch (Ccb->OpenKind) {
    case VolumeOpen:
      ReportUnlock = CleanupVolumeOpen(IrpContext, Vcb, Ccb, FileObject);
      ShareAccess = &Vcb->VolumeShareAccess;
      break;
    case DirectoryOpen:
      CleanupDirectoryOpen(Fcb);
      ShareAccess = &Fcb->ShareAccess;
      break;
    case FileOpen:
      CleanupFileOpen(Fcb, FileObject);
      ShareAccess = &Fcb->ShareAccess;
      break;
    case StreamOpen:
      break;
  }
  if (ShareAccess != nullptr) IoRemoveShareAccess(FileObject, ShareAccess);
  if (Fcb != nullptr) CleanupOplock(Irp, Fcb);
  SetFlag(FileObject->Flags, FO_CLEANUP_COMPLETE);

  if (Held != nullptr) ExReleaseResourceLite(Held);
  if (HeldGlobal != nullptr) ExReleaseResourceLite(HeldGlobal);
  Held = HeldGlobal = nullptr;
  if (ReportUnlock) FsRtlNotifyVolumeEvent(FileObject, FSRTL_VOLUME_UNLOCK);
  CompleteRequest(IrpContext, Irp, STATUS_SUCCESS);
  return STATUS_SUCCESS;
}
