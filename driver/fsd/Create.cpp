// Create: the dispatch routine, which runs the common routine on an expanded kernel
// stack, and the common routine.
#include "QdrlProcs.h"

#define BugCheckFileId QDRL_BUG_CHECK_CREATE

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

// ---- Opening ----------------------------------------------------------------------------------

namespace {

// The longest name component, in bytes of UTF-16.
const ULONG MaxComponentBytes = 255 * sizeof(WCHAR);

// Rights that need the file not to be mapped writable by others when write is not shared.
const ACCESS_MASK MappedWriteConflicts =
    FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_EXECUTE | DELETE | MAXIMUM_ALLOWED;

// Any specific right but FILE_EXECUTE granted already lets a volume handle manage the volume.
const ACCESS_MASK ManagingRights = 0xFFDF;

BOOLEAN IsOpenDisposition(ULONG Disposition) { return Disposition == FILE_OPEN || Disposition == FILE_OPEN_IF; }

BOOLEAN IsDirectoryFcb(PFCB Fcb) { return FlagOn(Fcb->State, FCB_DIRECTORY | FCB_ROOT) != 0; }

// The access mode the caller's rights are judged in.
KPROCESSOR_MODE EffectiveMode(PIRP Irp) {
  return FlagOn(IoGetCurrentIrpStackLocation(Irp)->Flags, SL_FORCE_ACCESS_CHECK) ? UserMode : Irp->RequestorMode;
}

PACCESS_STATE AccessStateOf(PIRP Irp) {
  return (PACCESS_STATE)IoGetCurrentIrpStackLocation(Irp)->Parameters.Create.SecurityContext->AccessState;
}

// What every successful open of a file or directory records in the file object and counts.
void RecordOpen(PFILE_OBJECT FileObject, PVCB Vcb, PFCB Fcb, PCCB Ccb) {
  Ccb->Target = Fcb;
  FileObject->FsContext = Fcb;
  FileObject->FsContext2 = Ccb;
  FileObject->Vpb = Vcb->Vpb;
  if (FlagOn(Fcb->State, FCB_FILE)) {
    FileObject->SectionObjectPointer = &Fcb->NonPaged->SectionObjectPointers;
    if (FlagOn(FileObject->Flags, FO_NO_INTERMEDIATE_BUFFERING)) Fcb->NonCachedUncleanCount++;
  }
  Fcb->UncleanCount++;
  Fcb->OpenCount++;
  Vcb->OpenCount++;
  ClearFlag(Fcb->State, FCB_DELAY_CLOSE);
}

// The handle's oplock calls: the package may hold the create and post it later.
NTSTATUS CheckOplockKey(PIRP_CONTEXT IrpContext, PFCB Fcb) {
  return FsRtlCheckOplockEx(&Fcb->Header.Oplock, IrpContext->Irp, OPLOCK_FLAG_OPLOCK_KEY_CHECK_ONLY, IrpContext,
                            OplockPostComplete, PrepareToPost);
}

NTSTATUS CheckOplock(PIRP_CONTEXT IrpContext, PFCB Fcb) {
  return FsRtlCheckOplock(&Fcb->Header.Oplock, IrpContext->Irp, IrpContext, OplockPostComplete, PrepareToPost);
}

// A sharing violation may be only handle caching by other opens' oplocks: breaking it lets
// the create wait for those handles to close. STATUS_PENDING when the package took it.
NTSTATUS BreakHandleCaching(PIRP_CONTEXT IrpContext, PFCB Fcb, BOOLEAN CompleteIfOplocked, PBOOLEAN OplockPosted) {
  if (CompleteIfOplocked) return STATUS_SHARING_VIOLATION;
  NTSTATUS Status = FsRtlOplockBreakH(&Fcb->Header.Oplock, IrpContext->Irp, 0, IrpContext, OplockPostComplete,
                                      PrepareToPost);
  if (Status == STATUS_PENDING) {
    *OplockPosted = TRUE;
    return STATUS_PENDING;
  }
  return NT_SUCCESS(Status) ? STATUS_SHARING_VIOLATION : Status;
}

// For an Fcb just made: the oplock key check and an atomic oplock request; a failure
// raises, so that the caller's frame deletes the Fcb again.
void CheckOplocksOfNewFcb(PIRP_CONTEXT IrpContext, PFCB Fcb, BOOLEAN OpenRequiringOplock) {
  NTSTATUS Status = CheckOplockKey(IrpContext, Fcb);
  if (Status == STATUS_SUCCESS && OpenRequiringOplock)
    Status = FsRtlOplockFsctrl(&Fcb->Header.Oplock, IrpContext->Irp, Fcb->UncleanCount + 1);
  if (Status != STATUS_SUCCESS) RaiseStatus(IrpContext, Status);
}

// Deletes an Fcb made for an open that did not complete.
void DeleteUnopenedFcb(PIRP_CONTEXT IrpContext, PFILE_OBJECT FileObject, PFCB* Fcb) {
  FileObject->SectionObjectPointer = nullptr;
  ExReleaseResourceLite((*Fcb)->Header.Resource);
  DeleteFcb(IrpContext, Fcb);
}

void SetManageVolume(PIRP_CONTEXT IrpContext, PCCB Ccb) {
  if (HasManageVolumePrivilege(AccessStateOf(IrpContext->Irp), EffectiveMode(IrpContext->Irp)))
    SetFlag(Ccb->Flags, CCB_MANAGE_VOLUME);
}

// Takes the volume's implicit lock for an open that shares neither writing nor deleting.
NTSTATUS LockVolumeForOpen(PIRP_CONTEXT IrpContext, PFILE_OBJECT FileObject, PVCB Vcb, ACCESS_MASK DesiredAccess,
                           PULONG ShareAccess) {
  if (FlagOn(DesiredAccess, FILE_WRITE_DATA | FILE_APPEND_DATA) && FsRtlAreVolumeStartupApplicationsComplete())
    ClearFlag(*ShareAccess, FILE_SHARE_READ);
  BOOLEAN ReadsShared = FlagOn(*ShareAccess, FILE_SHARE_READ);
  if (!ReadsShared && !NoOpenHandles(IrpContext, Vcb)) return STATUS_SHARING_VIOLATION;
  PurgeVolume(IrpContext, Vcb->RootFcb);
  if (!ReadsShared && Vcb->OpenCount != 0) return STATUS_SHARING_VIOLATION;
  SetFlag(Vcb->State, VCB_LOCKED);
  Vcb->LockFileObject = FileObject;
  return STATUS_SUCCESS;
}

}  // namespace

// Whether the subject holds the privilege to manage volumes.
BOOLEAN HasManageVolumePrivilege(PACCESS_STATE AccessState, KPROCESSOR_MODE AccessMode) {
  PRIVILEGE_SET Privileges{1, PRIVILEGE_SET_ALL_NECESSARY, {{RtlConvertLongToLuid(SE_MANAGE_VOLUME_PRIVILEGE), 0}}};
  return SePrivilegeCheck(&Privileges, &AccessState->SubjectSecurityContext, AccessMode);
}

// Whether a volume handle may manage the volume: rights granted already, the privilege, or
// the real device's descriptor granting what the open asked for to the caller as a
// non-administrator (the Administrators alias counts only to deny).
NTSTATUS CheckVolumeAccess(PIRP_CONTEXT IrpContext, PDEVICE_OBJECT RealDevice, PACCESS_STATE AccessState,
                           KPROCESSOR_MODE AccessMode) {
  UNREFERENCED_PARAMETER(IrpContext);
  if (FlagOn(AccessState->PreviouslyGrantedAccess, ManagingRights) || HasManageVolumePrivilege(AccessState, AccessMode))
    return STATUS_SUCCESS;
  PSECURITY_SUBJECT_CONTEXT Subject = &AccessState->SubjectSecurityContext;
  TOKEN_GROUPS Administrators{1, {{SeExports->SeAliasAdminsSid, 0}}};
  PACCESS_TOKEN Filtered = nullptr;
  SeLockSubjectContext(Subject);
  PACCESS_TOKEN* Slot = Subject->ClientToken != nullptr ? &Subject->ClientToken : &Subject->PrimaryToken;
  PACCESS_TOKEN Original = *Slot;
  NTSTATUS Status = SeFilterToken(Original, 0, &Administrators, nullptr, nullptr, &Filtered);
  if (NT_SUCCESS(Status)) {
    *Slot = Filtered;
    ACCESS_MASK Granted = 0;
    SeAccessCheck(RealDevice->SecurityDescriptor, Subject, TRUE, AccessState->OriginalDesiredAccess, 0, nullptr,
                  IoGetFileObjectGenericMapping(), AccessMode, &Granted, &Status);
    *Slot = Original;
  }
  SeUnlockSubjectContext(Subject);
  if (Filtered != nullptr) ObDereferenceObject(Filtered);
  return Status;
}

// Access to the system security list needs the security privilege; it is then granted.
NTSTATUS CheckSecurityPrivilege(PIRP_CONTEXT IrpContext) {
  PACCESS_STATE AccessState = AccessStateOf(IrpContext->Irp);
  if (!FlagOn(AccessState->RemainingDesiredAccess, ACCESS_SYSTEM_SECURITY)) return STATUS_SUCCESS;
  if (!SeSinglePrivilegeCheck(RtlConvertLongToLuid(SE_SECURITY_PRIVILEGE), UserMode)) return STATUS_ACCESS_DENIED;
  ClearFlag(AccessState->RemainingDesiredAccess, ACCESS_SYSTEM_SECURITY);
  SetFlag(AccessState->PreviouslyGrantedAccess, ACCESS_SYSTEM_SECURITY);
  return STATUS_SUCCESS;
}

// Share access of a new open of Fcb against its current ones, without counting it.
NTSTATUS CheckShareAccess(PIRP_CONTEXT IrpContext, PFILE_OBJECT FileObject, PFCB Fcb, PACCESS_MASK DesiredAccess,
                          ULONG ShareAccess) {
  UNREFERENCED_PARAMETER(IrpContext);
  if (FlagOn(Fcb->State, FCB_FILE) && !FlagOn(ShareAccess, FILE_SHARE_WRITE) &&
      FlagOn(*DesiredAccess, MappedWriteConflicts) &&
      MmDoesFileHaveUserWritableReferences(&Fcb->NonPaged->SectionObjectPointers) != 0)
    return STATUS_SHARING_VIOLATION;
  return IoCheckShareAccess(*DesiredAccess, ShareAccess, FileObject, &Fcb->ShareAccess, FALSE);
}

// Opens the volume itself. A handle that shares neither writing nor deleting locks the
// volume until its cleanup.
NTSTATUS OpenVolume(PIRP_CONTEXT IrpContext, PFILE_OBJECT FileObject, PVCB Vcb, PACCESS_MASK DesiredAccess,
                    ULONG ShareAccess, ULONG Disposition) {
  if (!IsOpenDisposition(Disposition)) return STATUS_ACCESS_DENIED;
  PIRP Irp = IrpContext->Irp;
  PCCB Ccb = AllocateCcb(IrpContext, VolumeOpen);
  BOOLEAN Locked = FALSE;
  NTSTATUS Status = STATUS_SUCCESS;
  SEH_TRY {
    if (!FlagOn(ShareAccess, FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
      Status = LockVolumeForOpen(IrpContext, FileObject, Vcb, *DesiredAccess, &ShareAccess);
      Locked = NT_SUCCESS(Status);
    }
    if (NT_SUCCESS(Status) && Vcb->VolumeOpenCount == 0) {
      IoSetShareAccess(*DesiredAccess, ShareAccess, FileObject, &Vcb->VolumeShareAccess);
    } else if (NT_SUCCESS(Status)) {
      Status = IoCheckShareAccess(*DesiredAccess, ShareAccess, FileObject, &Vcb->VolumeShareAccess, TRUE);
    }
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    if (Locked) ClearVolumeLock(IrpContext, Vcb);
    FreeCcb(Ccb);
    SEH_RETHROW();
  } SEH_END;
  if (!NT_SUCCESS(Status)) {
    if (Locked) ClearVolumeLock(IrpContext, Vcb);
    FreeCcb(Ccb);
    return Status;
  }
  Ccb->Target = Vcb;
  if (NT_SUCCESS(CheckVolumeAccess(IrpContext, Vcb->Vpb->RealDevice, AccessStateOf(Irp), EffectiveMode(Irp))))
    SetFlag(Ccb->Flags, CCB_MANAGE_VOLUME);
  FileObject->FsContext = Vcb;
  FileObject->FsContext2 = Ccb;
  FileObject->Vpb = Vcb->Vpb;
  SetFlag(FileObject->Flags, FO_NO_INTERMEDIATE_BUFFERING);
  Vcb->VolumeOpenCount++;
  Vcb->OpenCount++;
  Irp->IoStatus.Information = FILE_OPENED;
  return STATUS_SUCCESS;
}

// Opens the root directory (no oplocks are granted on it).
NTSTATUS OpenRootDirectory(PIRP_CONTEXT IrpContext, PFILE_OBJECT FileObject, PVCB Vcb, PACCESS_MASK DesiredAccess,
                           ULONG ShareAccess, ULONG Disposition) {
  PFCB Root = Vcb->RootFcb;
  AcquireFcbExclusive(IrpContext, Root);
  SEH_FINALLY { ExReleaseResourceLite(Root->Header.Resource); };
  if (!IsOpenDisposition(Disposition)) return STATUS_ACCESS_DENIED;
  PCCB Ccb = AllocateCcb(IrpContext, DirectoryOpen);
  if (Root->OpenCount != 0) {
    NTSTATUS Status = IoCheckShareAccess(*DesiredAccess, ShareAccess, FileObject, &Root->ShareAccess, TRUE);
    if (!NT_SUCCESS(Status)) {
      FreeCcb(Ccb);
      return Status;
    }
  } else {
    IoSetShareAccess(*DesiredAccess, ShareAccess, FileObject, &Root->ShareAccess);
  }
  RecordOpen(FileObject, Vcb, Root, Ccb);
  IrpContext->Irp->IoStatus.Information = FILE_OPENED;
  return STATUS_SUCCESS;
}

// Opens a directory whose Fcb is in memory.
NTSTATUS OpenExistingDirectory(PIRP_CONTEXT IrpContext, BOOLEAN CompleteIfOplocked, PFILE_OBJECT FileObject,
                               PVCB Vcb, PFCB Fcb, PACCESS_MASK DesiredAccess, ULONG ShareAccess,
                               ULONG Disposition, BOOLEAN NoEaKnowledge, BOOLEAN OpenRequiringOplock,
                               PBOOLEAN OplockPosted) {
  UNREFERENCED_PARAMETER(NoEaKnowledge);
  AcquireFcbExclusive(IrpContext, Fcb);
  SEH_FINALLY { ExReleaseResourceLite(Fcb->Header.Resource); };
  *OplockPosted = FALSE;
  NTSTATUS Status = CheckOplockKey(IrpContext, Fcb);
  if (Status != STATUS_SUCCESS) return Status;
  if (!IsOpenDisposition(Disposition)) return STATUS_OBJECT_NAME_COLLISION;

  if (Fcb->OpenCount != 0) {
    Status = CheckShareAccess(IrpContext, FileObject, Fcb, DesiredAccess, ShareAccess);
    if (Status == STATUS_SHARING_VIOLATION)
      Status = BreakHandleCaching(IrpContext, Fcb, CompleteIfOplocked, OplockPosted);
    if (!NT_SUCCESS(Status) || Status == STATUS_PENDING) return Status;
  }
  if (Fcb->UncleanCount != 0) {
    Status = CheckOplock(IrpContext, Fcb);
    if (Status == STATUS_PENDING) {
      *OplockPosted = TRUE;
      return STATUS_PENDING;
    }
  }
  if (OpenRequiringOplock && Status == STATUS_SUCCESS)
    Status = FsRtlOplockFsctrl(&Fcb->Header.Oplock, IrpContext->Irp, Fcb->UncleanCount + 1);
  if (Status != STATUS_SUCCESS && Status != STATUS_OPLOCK_BREAK_IN_PROGRESS) return Status;

  PCCB Ccb = AllocateCcb(IrpContext, DirectoryOpen);
  if (Fcb->OpenCount != 0) IoUpdateShareAccess(FileObject, &Fcb->ShareAccess);
  else IoSetShareAccess(*DesiredAccess, ShareAccess, FileObject, &Fcb->ShareAccess);
  RecordOpen(FileObject, Vcb, Fcb, Ccb);
  IrpContext->Irp->IoStatus.Information = FILE_OPENED;
  return STATUS_SUCCESS;
}

namespace {

// Before a non-cached handle is added to a file whose every handle is non-cached, cached
// data left from earlier handles goes, so that the cache cannot serve what the disk no
// longer holds. Closes arriving meanwhile are deferred (VCB_CREATE_PURGING).
void PurgeForNonCachedOpen(PVCB Vcb, PFCB Fcb) {
  PSECTION_OBJECT_POINTERS Sections = &Fcb->NonPaged->SectionObjectPointers;
  SetFlag(Vcb->State, VCB_CREATE_PURGING);
  SEH_FINALLY { ClearFlag(Vcb->State, VCB_CREATE_PURGING); };
  IO_STATUS_BLOCK IoStatus{};
  CcFlushCache(Sections, nullptr, 0, &IoStatus);
  // Waits out a lazy write in progress.
  ExAcquireResourceExclusiveLite(Fcb->Header.PagingIoResource, TRUE);
  ExReleaseResourceLite(Fcb->Header.PagingIoResource);
  CcPurgeCacheSection(Sections, nullptr, 0, FALSE);
}

// The checks of OpenExistingFile up to the open itself, under the Fcb; *TemporaryOpen says
// whether the Fcb's open count was raised to keep it alive meanwhile.
NTSTATUS PrepareExistingFileOpen(PIRP_CONTEXT IrpContext, BOOLEAN CompleteIfOplocked, PFILE_OBJECT FileObject,
                                 PVCB Vcb, PFCB Fcb, PACCESS_MASK DesiredAccess, ULONG ShareAccess,
                                 ULONG Disposition, BOOLEAN OpenRequiringOplock, PBOOLEAN OplockPosted,
                                 PBOOLEAN TemporaryOpen) {
  PIRP Irp = IrpContext->Irp;
  NTSTATUS Status = CheckOplockKey(IrpContext, Fcb);
  if (Status != STATUS_SUCCESS) return Status;
  if (FsRtlCurrentBatchOplock(&Fcb->Header.Oplock)) {
    Irp->IoStatus.Information = FILE_OPBATCH_BREAK_UNDERWAY;
    Status = CheckOplock(IrpContext, Fcb);
    if (Status == STATUS_PENDING) {
      *OplockPosted = TRUE;
      return Status;
    }
  }
  if (Disposition == FILE_CREATE) return STATUS_OBJECT_NAME_COLLISION;
  if (Disposition == FILE_SUPERSEDE || Disposition == FILE_OVERWRITE || Disposition == FILE_OVERWRITE_IF)
    return STATUS_MEDIA_WRITE_PROTECTED;

  Status = CheckShareAccess(IrpContext, FileObject, Fcb, DesiredAccess, ShareAccess);
  if (Status == STATUS_SHARING_VIOLATION) Status = BreakHandleCaching(IrpContext, Fcb, CompleteIfOplocked, OplockPosted);
  if (Status != STATUS_SUCCESS) return Status;

  if (Fcb->UncleanCount != 0) {
    Status = CheckOplock(IrpContext, Fcb);
    if (Status == STATUS_PENDING) {
      *OplockPosted = TRUE;
      return Status;
    }
  }
  if (OpenRequiringOplock && Status == STATUS_SUCCESS)
    Status = FsRtlOplockFsctrl(&Fcb->Header.Oplock, Irp, Fcb->UncleanCount + 1);
  if (Status != STATUS_SUCCESS && Status != STATUS_OPLOCK_BREAK_IN_PROGRESS) return Status;

  Fcb->Header.IsFastIoPossible = (UCHAR)(Fcb->Condition == FcbGood && FsRtlOplockIsFastIoPossible(&Fcb->Header.Oplock)
                                             ? FastIoIsQuestionable
                                             : FastIoIsNotPossible);
  if (FlagOn(*DesiredAccess, FILE_WRITE_DATA)) {
    Fcb->OpenCount++;
    *TemporaryOpen = TRUE;
    if (!MmFlushImageSection(&Fcb->NonPaged->SectionObjectPointers, MmFlushForWrite))
      return STATUS_SHARING_VIOLATION;
  }
  if (FlagOn(FileObject->Flags, FO_NO_INTERMEDIATE_BUFFERING) && Fcb->UncleanCount != 0 &&
      Fcb->UncleanCount == Fcb->NonCachedUncleanCount &&
      Fcb->NonPaged->SectionObjectPointers.DataSectionObject != nullptr)
    PurgeForNonCachedOpen(Vcb, Fcb);
  return STATUS_SUCCESS;
}

}  // namespace

// Opens a file whose Fcb is in memory.
NTSTATUS OpenExistingFile(PIRP_CONTEXT IrpContext, BOOLEAN CompleteIfOplocked, PACCESS_STATE AccessState,
                          BOOLEAN ForceAccessCheck, PFILE_OBJECT FileObject, PVCB Vcb, PFCB* FcbSlot,
                          PACCESS_MASK DesiredAccess, ULONG ShareAccess, PVOID EaBuffer, ULONG FileAttributes,
                          ULONG Disposition, BOOLEAN NoEaKnowledge, BOOLEAN OpenRequiringOplock,
                          PBOOLEAN OplockPosted) {
  UNREFERENCED_PARAMETER(AccessState);
  UNREFERENCED_PARAMETER(ForceAccessCheck);
  UNREFERENCED_PARAMETER(EaBuffer);
  UNREFERENCED_PARAMETER(FileAttributes);
  UNREFERENCED_PARAMETER(NoEaKnowledge);
  PFCB Fcb = *FcbSlot;
  AcquireFcbExclusive(IrpContext, Fcb);
  *OplockPosted = FALSE;
  BOOLEAN TemporaryOpen = FALSE;
  NTSTATUS Status;
  // Every exit gives back the temporary open and the Fcb: an Fcb left without opens by a
  // failed open goes (and the caller's pointer with it).
  SEH_FINALLY {
    if (TemporaryOpen && --Fcb->OpenCount == 0) DeleteUnopenedFcb(IrpContext, FileObject, FcbSlot);
    else ExReleaseResourceLite(Fcb->Header.Resource);
  };
  Status = PrepareExistingFileOpen(IrpContext, CompleteIfOplocked, FileObject, Vcb, Fcb, DesiredAccess, ShareAccess,
                                   Disposition, OpenRequiringOplock, OplockPosted, &TemporaryOpen);
  if (Status != STATUS_SUCCESS) return Status;
  PCCB Ccb = AllocateCcb(IrpContext, FileOpen);
  IoUpdateShareAccess(FileObject, &Fcb->ShareAccess);
  SetManageVolume(IrpContext, Ccb);
  RecordOpen(FileObject, Vcb, Fcb, Ccb);
  IrpContext->Irp->IoStatus.Information = FILE_OPENED;
  return STATUS_SUCCESS;
}

// Opens a directory found by the engine, making its Fcb.
NTSTATUS OpenNewDirectoryFcb(PIRP_CONTEXT IrpContext, PFILE_OBJECT FileObject, PVCB Vcb, PFCB* Fcb, PFCB Parent,
                             FsNode* Node, const FileInfo* Info, PACCESS_MASK DesiredAccess, ULONG ShareAccess,
                             ULONG Disposition, BOOLEAN NoEaKnowledge, BOOLEAN OpenRequiringOplock) {
  UNREFERENCED_PARAMETER(NoEaKnowledge);
  if (!IsOpenDisposition(Disposition)) return STATUS_OBJECT_NAME_COLLISION;
  *Fcb = CreateDirectoryFcb(IrpContext, Vcb, Parent, Node, Info);
  AcquireFcbExclusive(IrpContext, *Fcb);
  PCCB Ccb = nullptr;
  SEH_TRY {
    CheckOplocksOfNewFcb(IrpContext, *Fcb, OpenRequiringOplock);
    Ccb = AllocateCcb(IrpContext, DirectoryOpen);
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    DeleteUnopenedFcb(IrpContext, FileObject, Fcb);
    SEH_RETHROW();
  } SEH_END;
  IoSetShareAccess(*DesiredAccess, ShareAccess, FileObject, &(*Fcb)->ShareAccess);
  RecordOpen(FileObject, Vcb, *Fcb, Ccb);
  ExReleaseResourceLite((*Fcb)->Header.Resource);
  IrpContext->Irp->IoStatus.Information = FILE_OPENED;
  return STATUS_SUCCESS;
}

// Opens a file found by the engine, making its Fcb.
NTSTATUS OpenNewFileFcb(PIRP_CONTEXT IrpContext, PACCESS_STATE AccessState, BOOLEAN ForceAccessCheck,
                        PFILE_OBJECT FileObject, PVCB Vcb, PFCB* Fcb, PFCB Parent, FsNode* Node,
                        const FileInfo* Info, PACCESS_MASK DesiredAccess, ULONG ShareAccess, PVOID EaBuffer,
                        ULONG FileAttributes, ULONG Disposition, BOOLEAN NoEaKnowledge,
                        BOOLEAN OpenRequiringOplock) {
  UNREFERENCED_PARAMETER(AccessState);
  UNREFERENCED_PARAMETER(ForceAccessCheck);
  UNREFERENCED_PARAMETER(EaBuffer);
  UNREFERENCED_PARAMETER(FileAttributes);
  UNREFERENCED_PARAMETER(NoEaKnowledge);
  if (Disposition == FILE_CREATE) return STATUS_OBJECT_NAME_COLLISION;
  if (Disposition == FILE_SUPERSEDE || Disposition == FILE_OVERWRITE || Disposition == FILE_OVERWRITE_IF)
    return STATUS_MEDIA_WRITE_PROTECTED;
  *Fcb = CreateFileFcb(IrpContext, Vcb, Parent, Node, Info, FALSE);
  AcquireFcbExclusive(IrpContext, *Fcb);
  PCCB Ccb = nullptr;
  SEH_TRY {
    CheckOplocksOfNewFcb(IrpContext, *Fcb, OpenRequiringOplock);
    Ccb = AllocateCcb(IrpContext, FileOpen);
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    DeleteUnopenedFcb(IrpContext, FileObject, Fcb);
    SEH_RETHROW();
  } SEH_END;
  IoSetShareAccess(*DesiredAccess, ShareAccess, FileObject, &(*Fcb)->ShareAccess);
  SetManageVolume(IrpContext, Ccb);
  RecordOpen(FileObject, Vcb, *Fcb, Ccb);
  ExReleaseResourceLite((*Fcb)->Header.Resource);
  IrpContext->Irp->IoStatus.Information = FILE_OPENED;
  return STATUS_SUCCESS;
}

// ---- Resolving the name -----------------------------------------------------------------------

namespace {

// What the request asks, decoded once.
struct CREATE_PARAMETERS {
  PFILE_OBJECT FileObject;
  PFILE_OBJECT Related;
  PVCB Vcb;
  PACCESS_STATE AccessState;
  PACCESS_MASK DesiredAccess;
  ULONG CreateOptions;
  ULONG Disposition;
  ULONG FileAttributes;
  ULONG ShareAccess;
  UCHAR StackFlags;
  PVOID EaBuffer;
  BOOLEAN OpenDirectoryOnly;
  BOOLEAN CreateDirectoryWanted;
  BOOLEAN TrailingBackslash;
  // The name to resolve, without a trailing backslash; points into the file object's name.
  UNICODE_STRING Name;
};

// What the create holds until its end, whatever the outcome.
struct CREATE_STATE {
  UNICODE_STRING Utf8Name;  // a component in UTF-8, its bytes in the pool buffer
  FileInfo* Info;
  FsNode* Node;             // the engine's node of the last looked-up component: the create's use
  PFCB Reached;             // the Fcb the open was aimed at, for backing out an atomic oplock
  BOOLEAN Posted;           // an open routine answered STATUS_PENDING
  BOOLEAN OplockPosted;     // the oplock package took the request
  UNICODE_STRING LastComponent;  // the last component walked, as the caller spelled it
};

BOOLEAN HasOption(const CREATE_PARAMETERS& Create, ULONG Option) { return FlagOn(Create.CreateOptions, Option) != 0; }

BOOLEAN BeginsWithBackslash(const UNICODE_STRING& Name) {
  return Name.Length >= sizeof(WCHAR) && Name.Buffer[0] == u'\\';
}

BOOLEAN IsRootName(const UNICODE_STRING& Name) { return Name.Length == sizeof(WCHAR) && Name.Buffer[0] == u'\\'; }

// The component in UTF-8 as the engine and the name trees take it; a name that cannot be
// written in UTF-8 (an unpaired surrogate) names nothing that can exist.
NTSTATUS ComponentToUtf8(PIRP_CONTEXT IrpContext, const UNICODE_STRING& Name, PUNICODE_STRING Utf8) {
  ULONG Size = 0;
  if (RtlUnicodeToUTF8N(nullptr, 0, &Size, Name.Buffer, Name.Length) != STATUS_SUCCESS)
    return STATUS_OBJECT_NAME_INVALID;
  NameToUtf8(IrpContext, &Name, Utf8, FALSE);
  return STATUS_SUCCESS;
}

// Splits Remaining into its first component and the rest; a doubled backslash or an
// over-long component makes the name invalid.
NTSTATUS DissectComponent(const UNICODE_STRING& Remaining, PUNICODE_STRING First, PUNICODE_STRING Rest) {
  FsRtlDissectName(Remaining, First, Rest);
  if (BeginsWithBackslash(*Rest) || First->Length > MaxComponentBytes) return STATUS_OBJECT_NAME_INVALID;
  return STATUS_SUCCESS;
}

// The in-memory child of Parent named as on the medium, when it is still good.
PFCB FindGoodChild(PIRP_CONTEXT IrpContext, PFCB Parent, const FileInfo* Info) {
  if (Parent->Directory.NameTree == nullptr) return nullptr;
  PFCB Child = FindChildFcb(IrpContext, Parent, Info->name, Info->nameLength);
  return Child != nullptr && Child->Condition == FcbGood ? Child : nullptr;
}

// CheckFcbUsable that lets a stale Fcb met in the walk through: the caller drops it.
void CheckWalkedFcb(PIRP_CONTEXT IrpContext, PFCB Fcb) {
  SEH_TRY {
    CheckFcbUsable(IrpContext, Fcb);
  } SEH_EXCEPT (SEH_EXCEPTION_CODE() == STATUS_FILE_INVALID ? EXCEPTION_EXECUTE_HANDLER : EXCEPTION_CONTINUE_SEARCH) {
    IrpContext->ExceptionStatus = 0;
  } SEH_END;
}

NTSTATUS OpenFcbInMemory(PIRP_CONTEXT IrpContext, CREATE_PARAMETERS& Create, CREATE_STATE& State, PFCB Fcb) {
  State.Reached = Fcb;
  NTSTATUS Status;
  if (IsDirectoryFcb(Fcb)) {
    if (HasOption(Create, FILE_NON_DIRECTORY_FILE)) return STATUS_FILE_IS_A_DIRECTORY;
    Status = OpenExistingDirectory(IrpContext, HasOption(Create, FILE_COMPLETE_IF_OPLOCKED), Create.FileObject,
                                   Create.Vcb, Fcb, Create.DesiredAccess, Create.ShareAccess, Create.Disposition,
                                   HasOption(Create, FILE_NO_EA_KNOWLEDGE),
                                   HasOption(Create, FILE_OPEN_REQUIRING_OPLOCK), &State.OplockPosted);
  } else {
    if (Create.OpenDirectoryOnly) return STATUS_NOT_A_DIRECTORY;
    if (Create.TrailingBackslash) return STATUS_OBJECT_NAME_INVALID;
    Status = OpenExistingFile(IrpContext, HasOption(Create, FILE_COMPLETE_IF_OPLOCKED), Create.AccessState,
                              FlagOn(Create.StackFlags, SL_FORCE_ACCESS_CHECK), Create.FileObject, Create.Vcb,
                              &State.Reached, Create.DesiredAccess, Create.ShareAccess, Create.EaBuffer,
                              Create.FileAttributes, Create.Disposition, HasOption(Create, FILE_NO_EA_KNOWLEDGE),
                              HasOption(Create, FILE_OPEN_REQUIRING_OPLOCK), &State.OplockPosted);
    if (NT_SUCCESS(Status) && Status != STATUS_PENDING && !HasOption(Create, FILE_NO_INTERMEDIATE_BUFFERING))
      SetFlag(Create.FileObject->Flags, FO_CACHE_SUPPORTED);
  }
  if (Status == STATUS_PENDING) State.Posted = TRUE;
  return Status;
}

// The last component was not found: nothing can be created on this volume.
NTSTATUS RefuseCreation(PIRP_CONTEXT IrpContext, const CREATE_PARAMETERS& Create) {
  if (Create.Disposition == FILE_OPEN || Create.Disposition == FILE_OVERWRITE) return STATUS_OBJECT_NAME_NOT_FOUND;
  NTSTATUS Status = CheckSecurityPrivilege(IrpContext);
  if (!NT_SUCCESS(Status)) return Status;
  if (Create.CreateDirectoryWanted) return STATUS_MEDIA_WRITE_PROTECTED;
  if (Create.TrailingBackslash) return STATUS_OBJECT_NAME_INVALID;
  return STATUS_MEDIA_WRITE_PROTECTED;
}

// Opens what the engine found for the last component, through its Fcb when one is in
// memory under the name the medium spells.
NTSTATUS OpenFound(PIRP_CONTEXT IrpContext, CREATE_PARAMETERS& Create, CREATE_STATE& State, PFCB Parent) {
  const FileInfo* Info = State.Info;
  BOOLEAN Directory = State.Node->kind == FS_NODE_DIRECTORY;
  if (Directory && HasOption(Create, FILE_NON_DIRECTORY_FILE)) return STATUS_FILE_IS_A_DIRECTORY;
  if (!Directory) {
    // Compressed files, symbolic links and sockets are not offered.
    if (FlagOn(Info->attributes, FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_SYSTEM))
      return STATUS_OBJECT_NAME_NOT_FOUND;
    if (Create.OpenDirectoryOnly) return STATUS_NOT_A_DIRECTORY;
    if (Create.TrailingBackslash) return STATUS_OBJECT_NAME_INVALID;
  }
  if (PFCB Live = FindGoodChild(IrpContext, Parent, Info)) return OpenFcbInMemory(IrpContext, Create, State, Live);

  BOOLEAN RequiringOplock = HasOption(Create, FILE_OPEN_REQUIRING_OPLOCK);
  BOOLEAN NoEaKnowledge = HasOption(Create, FILE_NO_EA_KNOWLEDGE);
  if (Directory)
    return OpenNewDirectoryFcb(IrpContext, Create.FileObject, Create.Vcb, &State.Reached, Parent, State.Node, Info,
                               Create.DesiredAccess, Create.ShareAccess, Create.Disposition, NoEaKnowledge,
                               RequiringOplock);
  NTSTATUS Status = OpenNewFileFcb(IrpContext, Create.AccessState, FlagOn(Create.StackFlags, SL_FORCE_ACCESS_CHECK),
                                   Create.FileObject, Create.Vcb, &State.Reached, Parent, State.Node, Info,
                                   Create.DesiredAccess, Create.ShareAccess, Create.EaBuffer, Create.FileAttributes,
                                   Create.Disposition, NoEaKnowledge, RequiringOplock);
  if (NT_SUCCESS(Status) && !HasOption(Create, FILE_NO_INTERMEDIATE_BUFFERING))
    SetFlag(Create.FileObject->Flags, FO_CACHE_SUPPORTED);
  return Status;
}

// Looks First up in Directory through the engine; *Found is FALSE when it is not there.
// An engine failure raises the device's status, else STATUS_FILE_CORRUPT_ERROR.
void LookupComponent(PIRP_CONTEXT IrpContext, PVCB Vcb, CREATE_STATE& State, PFCB Directory, PBOOLEAN Found) {
  FsNodeRelease(State.Node);
  State.Node = nullptr;
  bool NotFound = false;
  Vcb->Partition->LastError = STATUS_SUCCESS;
  *Found = FsLookup(Directory->Directory.DirNode, (const uint8_t*)State.Utf8Name.Buffer, State.Utf8Name.Length,
                    &State.Node, State.Info, Vcb->FsTree, &NotFound);
  if (!*Found && !NotFound)
    RaiseStatus(IrpContext, NT_SUCCESS(Vcb->Partition->LastError) ? STATUS_FILE_CORRUPT_ERROR
                                                                   : Vcb->Partition->LastError);
}

// Resolves the components the name trees did not know, from Current on, through the
// engine; First and Rest are the last split of the remaining name.
NTSTATUS OpenThroughEngine(PIRP_CONTEXT IrpContext, CREATE_PARAMETERS& Create, CREATE_STATE& State, PFCB Current,
                           UNICODE_STRING First, UNICODE_STRING Rest) {
  if (!IsDirectoryFcb(Current)) return STATUS_OBJECT_PATH_NOT_FOUND;
  State.Info = (FileInfo*)ExAllocatePoolWithTag(PagedPool | POOL_RAISE_IF_ALLOCATION_FAILURE, sizeof(FileInfo),
                                                 TAG_NAME_BUFFER);
  for (;;) {
    NTSTATUS Status = ComponentToUtf8(IrpContext, First, &State.Utf8Name);
    if (!NT_SUCCESS(Status)) return Status;
    BOOLEAN Found;
    LookupComponent(IrpContext, Create.Vcb, State, Current, &Found);
    if (Rest.Length == 0) {
      if (FlagOn(Create.StackFlags, SL_OPEN_TARGET_DIRECTORY)) return STATUS_MEDIA_WRITE_PROTECTED;
      if (!Found) return RefuseCreation(IrpContext, Create);
      return OpenFound(IrpContext, Create, State, Current);
    }
    if (!Found || State.Node->kind != FS_NODE_DIRECTORY) return STATUS_OBJECT_PATH_NOT_FOUND;
    Current = CreateDirectoryFcb(IrpContext, Create.Vcb, Current, State.Node, State.Info);
    AppendFullName(IrpContext, Current, &First);
    UNICODE_STRING Remaining = Rest;
    Status = DissectComponent(Remaining, &First, &Rest);
    if (!NT_SUCCESS(Status)) return Status;
    State.LastComponent = First;
  }
}

// Walks the name through the Fcbs in memory as far as they go, then on through the engine,
// and opens what the name ends at. The walk starts over when it met a stale Fcb, which
// leaves the name tree so that the engine's current answer wins.
NTSTATUS OpenByName(PIRP_CONTEXT IrpContext, CREATE_PARAMETERS& Create, CREATE_STATE& State, PFCB Start) {
  for (;;) {
    PFCB Current = Start;
    UNICODE_STRING Remaining = Create.Name, First{}, Rest{};
    while (Remaining.Length != 0) {
      NTSTATUS Status = DissectComponent(Remaining, &First, &Rest);
      if (!NT_SUCCESS(Status)) return Status;
      State.LastComponent = First;
      if (!IsDirectoryFcb(Current) || Current->Directory.NameTree == nullptr) break;
      Status = ComponentToUtf8(IrpContext, First, &State.Utf8Name);
      if (!NT_SUCCESS(Status)) return Status;
      PFCB Child = FindChildFcb(IrpContext, Current, (const UCHAR*)State.Utf8Name.Buffer, State.Utf8Name.Length);
      if (Child == nullptr) break;
      Current = Child;
      Remaining = Rest;
      if (!IsDirectoryFcb(Child)) break;
    }
    if (Current != Start) {
      CheckWalkedFcb(IrpContext, Current);
      if (Current->Condition != FcbGood) {
        RemoveNames(IrpContext, Current);
        continue;
      }
    }
    if (Remaining.Length == 0) {
      if (FlagOn(Create.StackFlags, SL_OPEN_TARGET_DIRECTORY)) return STATUS_MEDIA_WRITE_PROTECTED;
      return OpenFcbInMemory(IrpContext, Create, State, Current);
    }
    return OpenThroughEngine(IrpContext, Create, State, Current, First, Rest);
  }
}

// Opens the volume, the root, or a name from the root or from a related handle.
NTSTATUS OpenTarget(PIRP_CONTEXT IrpContext, CREATE_PARAMETERS& Create, CREATE_STATE& State) {
  PVCB Vcb = Create.Vcb;
  CheckVerifyForCreate(IrpContext, Vcb);
  if (FlagOn(Vcb->State, VCB_LOCKED)) return Vcb->Condition == VcbGood ? STATUS_ACCESS_DENIED : STATUS_VOLUME_DISMOUNTED;
  if (HasOption(Create, FILE_DELETE_ON_CLOSE)) return STATUS_MEDIA_WRITE_PROTECTED;
  if (Create.EaBuffer != nullptr) return STATUS_EAS_NOT_SUPPORTED;

  PCCB RelatedCcb = Create.Related ? (PCCB)Create.Related->FsContext2 : nullptr;
  if (Create.Name.Length == 0 && (Create.Related == nullptr || (NodeType(RelatedCcb) == NODE_TYPE_CCB &&
                                                                 RelatedCcb->OpenKind == VolumeOpen))) {
    if (HasOption(Create, FILE_DIRECTORY_FILE)) return STATUS_NOT_A_DIRECTORY;
    if (FlagOn(Create.StackFlags, SL_OPEN_TARGET_DIRECTORY)) return STATUS_INVALID_PARAMETER;
    return OpenVolume(IrpContext, Create.FileObject, Vcb, Create.DesiredAccess, Create.ShareAccess,
                      Create.Disposition);
  }

  PFCB Start;
  if (Create.Related != nullptr) {
    if (NodeType(RelatedCcb) != NODE_TYPE_CCB ||
        (RelatedCcb->OpenKind != FileOpen && RelatedCcb->OpenKind != DirectoryOpen))
      return STATUS_OBJECT_PATH_NOT_FOUND;
    if (BeginsWithBackslash(Create.Name)) return STATUS_OBJECT_NAME_INVALID;
    Start = (PFCB)RelatedCcb->Target;
  } else if (IsRootName(Create.Name)) {
    if (HasOption(Create, FILE_NON_DIRECTORY_FILE)) return STATUS_FILE_IS_A_DIRECTORY;
    if (FlagOn(Create.StackFlags, SL_OPEN_TARGET_DIRECTORY)) return STATUS_INVALID_PARAMETER;
    return OpenRootDirectory(IrpContext, Create.FileObject, Vcb, Create.DesiredAccess, Create.ShareAccess,
                             Create.Disposition);
  } else {
    Start = Vcb->RootFcb;
  }
  CheckFcbUsable(IrpContext, Start);

  if (Create.Name.Length != 0 && Create.Name.Buffer[Create.Name.Length / sizeof(WCHAR) - 1] == u'\\') {
    Create.Name.Length -= sizeof(WCHAR);
    Create.TrailingBackslash = TRUE;
  }
  BuildFullName(IrpContext, Start);
  if ((ULONG)Start->FullName.Length + Create.Name.Length + sizeof(WCHAR) > 0xFFFF)
    return STATUS_OBJECT_NAME_INVALID;
  return OpenByName(IrpContext, Create, State, Start);
}

// A file or directory opened by name keeps the path its caller spelled, when its parent's
// path is known; the one never named so is built from the disk's spelling when asked for.
void NameOpenedFcb(PIRP_CONTEXT IrpContext, PFILE_OBJECT FileObject, PCUNICODE_STRING LastComponent) {
  auto* Ccb = (PCCB)FileObject->FsContext2;
  if (Ccb == nullptr || (Ccb->OpenKind != FileOpen && Ccb->OpenKind != DirectoryOpen)) return;
  auto* Fcb = (PFCB)Ccb->Target;
  if (LastComponent->Length != 0 && !FlagOn(Fcb->State, FCB_ROOT)) AppendFullName(IrpContext, Fcb, LastComponent);
}

// The end of every create: backs out an atomic oplock request of a failed open, frees the
// working storage and the engine node no Fcb took, posts a request an open routine asked
// to post, and releases the volume. When an exception ends the create, Status is its code:
// the request fails with the status the driver raised, or with that code when the raise
// came from elsewhere (pool, platform) and no frame has recorded it yet.
NTSTATUS FinishCreate(PIRP_CONTEXT IrpContext, PIRP Irp, const CREATE_PARAMETERS& Create, CREATE_STATE& State,
                      NTSTATUS Status, BOOLEAN Abnormal) {
  NTSTATUS Result = Abnormal && IrpContext->ExceptionStatus != 0 ? IrpContext->ExceptionStatus : Status;
  if (!NT_SUCCESS(Result) && HasOption(Create, FILE_OPEN_REQUIRING_OPLOCK) && Result != STATUS_CANNOT_BREAK_OPLOCK &&
      IrpContext->ExceptionStatus != STATUS_CANNOT_BREAK_OPLOCK && State.Reached != nullptr)
    FsRtlCheckOplockEx(&State.Reached->Header.Oplock, Irp, OPLOCK_FLAG_BACK_OUT_ATOMIC_OPLOCK, nullptr, nullptr,
                       nullptr);
  if (!Abnormal && NT_SUCCESS(Status) && Status != STATUS_PENDING && !FlagOn(Create.StackFlags, SL_OPEN_TARGET_DIRECTORY))
    NameOpenedFcb(IrpContext, Create.FileObject, &State.LastComponent);
  FreeNameBuffer(&State.Utf8Name);
  FsNodeRelease(State.Node);
  if (State.Info != nullptr) ExFreePoolWithTag(State.Info, TAG_NAME_BUFFER);
  if (!Abnormal && State.Posted && !State.OplockPosted) Status = PostRequest(IrpContext, Irp);
  ExReleaseResourceLite(&Create.Vcb->Resource);
  if (!State.Posted && FlagOn(*Create.DesiredAccess, FILE_EXECUTE))
    SetFlag(Create.FileObject->Flags, FO_FILE_FAST_IO_READ);
  return Status;
}

CREATE_PARAMETERS DecodeCreate(PIRP_CONTEXT IrpContext, PIRP Irp) {
  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
  CREATE_PARAMETERS Create{};
  Create.FileObject = IrpSp->FileObject;
  Create.Related = Create.FileObject->RelatedFileObject;
  Create.Vcb = IrpContext->Vcb;
  Create.AccessState = (PACCESS_STATE)IrpSp->Parameters.Create.SecurityContext->AccessState;
  Create.DesiredAccess = &IrpSp->Parameters.Create.SecurityContext->DesiredAccess;
  Create.CreateOptions = IrpSp->Parameters.Create.Options & FILE_VALID_OPTION_FLAGS;
  Create.Disposition = IrpSp->Parameters.Create.Options >> 24;
  Create.FileAttributes = IrpSp->Parameters.Create.FileAttributes & ~FILE_ATTRIBUTE_NORMAL;
  Create.ShareAccess = IrpSp->Parameters.Create.ShareAccess;
  Create.StackFlags = IrpSp->Flags;
  Create.EaBuffer = Irp->AssociatedIrp.SystemBuffer;
  BOOLEAN DirectoryFile = HasOption(Create, FILE_DIRECTORY_FILE);
  Create.OpenDirectoryOnly = DirectoryFile && IsOpenDisposition(Create.Disposition);
  Create.CreateDirectoryWanted = DirectoryFile && (Create.Disposition == FILE_CREATE || Create.Disposition == FILE_OPEN_IF);
  Create.Name = Create.FileObject->FileName;
  return Create;
}

// A name beginning with two backslashes loses one (in the file object, so that a posted
// create sees the same); FALSE when it still begins with two.
BOOLEAN DropDoubledLeadingBackslash(PUNICODE_STRING Name) {
  auto BeginsWithTwo = [Name] {
    return Name->Length >= 2 * sizeof(WCHAR) && Name->Buffer[0] == u'\\' && Name->Buffer[1] == u'\\';
  };
  if (Name->Length <= sizeof(WCHAR) || !BeginsWithTwo()) return TRUE;
  Name->Length -= sizeof(WCHAR);
  RtlMoveMemory(Name->Buffer, Name->Buffer + 1, Name->Length);
  return !BeginsWithTwo();
}

}  // namespace

// Opens the volume, its root, or an existing file or directory, by name from the root or
// relative to a handle. Nothing is created, replaced or changed: such requests fail. The
// volume is held exclusive throughout, so creates on one volume run one at a time.
NTSTATUS CommonCreate(PIRP_CONTEXT IrpContext, PIRP Irp) {
  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT FileObject = IrpSp->FileObject;
  if (!DropDoubledLeadingBackslash(&FileObject->FileName)) return STATUS_OBJECT_NAME_INVALID;
  if (FileObject->RelatedFileObject != nullptr) FileObject->Vpb = FileObject->RelatedFileObject->Vpb;

  CREATE_PARAMETERS Create = DecodeCreate(IrpContext, Irp);
  if (HasOption(Create, FILE_OPEN_BY_FILE_ID) || FlagOn(Create.StackFlags, SL_OPEN_PAGING_FILE))
    return STATUS_NOT_IMPLEMENTED;
  if (HasOption(Create, FILE_DIRECTORY_FILE) && HasOption(Create, FILE_NON_DIRECTORY_FILE))
    return STATUS_INVALID_PARAMETER;

  if (!AcquireVcbExclusive(IrpContext, Create.Vcb, TRUE)) return PostRequest(IrpContext, Irp);
  if (FlagOn(Create.Vcb->State, VCB_CREATE_PURGING)) QdrlBugCheck(Create.Vcb, Create.Vcb->State, 0);

  CREATE_STATE State{};
  NTSTATUS Status = STATUS_SUCCESS;
  SEH_TRY {
    Status = OpenTarget(IrpContext, Create, State);
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    FinishCreate(IrpContext, Irp, Create, State, SEH_EXCEPTION_CODE(), TRUE);
    SEH_RETHROW();
  } SEH_END;
  return FinishCreate(IrpContext, Irp, Create, State, Status, FALSE);
}
