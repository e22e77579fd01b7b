// Volume lifetime: purge, volume lock and unlock, VPB references and dismount.
#include "QdrlProcs.h"

#define BugCheckFileId QDRL_BUG_CHECK_SUPPORT

namespace {

BOOLEAN IsDirectory(PFCB Fcb) { return FlagOn(Fcb->State, FCB_DIRECTORY | FCB_ROOT) != 0; }

PFCB ChildOf(PLIST_ENTRY Links) { return CONTAINING_RECORD(Links, FCB, ParentLinks); }

// The purge holds a directory's children while it drops the directory's sections. The
// resources are taken directly: a purge runs for the volume as a whole, whatever the
// state of the handle that asked for it.
void AcquireChildren(PFCB Directory) {
  if (!IsDirectory(Directory)) return;
  for (PLIST_ENTRY Link = Directory->Directory.ChildList.Flink; Link != &Directory->Directory.ChildList;
       Link = Link->Flink)
    ExAcquireResourceExclusiveLite(ChildOf(Link)->Header.Resource, TRUE);
}

void ReleaseChildren(PFCB Directory) {
  if (!IsDirectory(Directory)) return;
  for (PLIST_ENTRY Link = Directory->Directory.ChildList.Flink; Link != &Directory->Directory.ChildList;
       Link = Link->Flink)
    ExReleaseResourceLite(ChildOf(Link)->Header.Resource);
}

// Releases every acquisition this thread holds on the volume's resource, which must be
// unowned before the record is deleted.
void ReleaseVcbFully(PVCB Vcb) {
  while (ExIsResourceAcquiredExclusiveLite(&Vcb->Resource)) ExReleaseResourceLite(&Vcb->Resource);
}

}  // namespace

// FALSE as soon as some file or directory of the volume has a handle not yet cleaned up.
BOOLEAN NoOpenHandles(PIRP_CONTEXT IrpContext, PVCB Vcb) {
  for (PFCB Fcb = Vcb->RootFcb; Fcb != nullptr; Fcb = NextFcb(IrpContext, Fcb, Vcb->RootFcb)) {
    if (Fcb->UncleanCount != 0) return FALSE;
  }
  return TRUE;
}

// Drops Fcb's cached data and image section so that nothing but handles keeps it open.
// A close run by the purge may delete Fcb: VCB_FCB_DELETED then says not to touch it.
void PurgeFcb(PIRP_CONTEXT IrpContext, PFCB Fcb) {
  if (!FlagOn(IrpContext->Flags, IRPCTX_WAIT)) RaiseStatus(IrpContext, STATUS_CANT_WAIT);
  PVCB Vcb = Fcb->Vcb;
  AcquireChildren(Fcb);
  ExAcquireResourceExclusiveLite(Fcb->Header.Resource, TRUE);
  ClearFlag(Vcb->State, VCB_FCB_DELETED);
  SEH_FINALLY {
    ReleaseChildren(Fcb);
    if (!FlagOn(Vcb->State, VCB_FCB_DELETED)) ExReleaseResourceLite(Fcb->Header.Resource);
  };
  PSECTION_OBJECT_POINTERS Sections = &Fcb->NonPaged->SectionObjectPointers;
  if (Sections->ImageSectionObject != nullptr) MmFlushImageSection(Sections, MmFlushForWrite);
  if (Sections->DataSectionObject != nullptr) CcPurgeCacheSection(Sections, nullptr, 0, FALSE);
}

// Runs the volume's deferred closes, then purges Fcb and everything below it, taking
// each successor before its predecessor's purge may delete the predecessor.
void PurgeVolume(PIRP_CONTEXT IrpContext, PFCB Fcb) {
  RunDeferredCloses(Fcb->Vcb);
  PFCB Start = Fcb;
  for (PFCB Current = Fcb; Current != nullptr;) {
    PFCB Next = NextFcb(IrpContext, Current, Start);
    PurgeFcb(IrpContext, Current);
    Current = Next;
  }
}

// Locks the volume for FileObject (null: for the system, as plug and play does). Granted
// only when no file has a handle left and nothing but FileObject and the stream file
// references the volume.
NTSTATUS LockVolumeInternal(PIRP_CONTEXT IrpContext, PVCB Vcb, PFILE_OBJECT FileObject) {
  SetFlag(IrpContext->Flags, IRPCTX_WAIT);
  if (!NoOpenHandles(IrpContext, Vcb)) return STATUS_ACCESS_DENIED;
  if (Vcb->RootFcb != nullptr) PurgeVolume(IrpContext, Vcb->RootFcb);
  RunDeferredCloses(Vcb);

  ULONG AllowedReferences = FileObject != nullptr ? 2 : 1;
  ULONG AllowedOpens = FileObject != nullptr ? 1 : 0;
  NTSTATUS Status = STATUS_ACCESS_DENIED;
  KIRQL Irql;
  IoAcquireVpbSpinLock(&Irql);
  PVPB Vpb = Vcb->Vpb;
  if (!FlagOn(Vpb->Flags, VPB_LOCKED) && Vpb->ReferenceCount <= AllowedReferences &&
      Vcb->OpenCount == AllowedOpens) {
    SetFlag(Vpb->Flags, VPB_LOCKED | VPB_DIRECT_WRITES_ALLOWED);
    SetFlag(Vcb->State, VCB_LOCKED);
    Vcb->LockFileObject = FileObject;
    Status = STATUS_SUCCESS;
  }
  IoReleaseVpbSpinLock(Irql);
  return Status;
}

// Ends the lock FileObject holds; any other file object gets STATUS_NOT_LOCKED.
NTSTATUS UnlockVolumeInternal(PIRP_CONTEXT IrpContext, PVCB Vcb, PFILE_OBJECT FileObject) {
  UNREFERENCED_PARAMETER(IrpContext);
  NTSTATUS Status = STATUS_NOT_LOCKED;
  KIRQL Irql;
  IoAcquireVpbSpinLock(&Irql);
  if (FlagOn(Vcb->Vpb->Flags, VPB_LOCKED) && FileObject == Vcb->LockFileObject) {
    ClearFlag(Vcb->Vpb->Flags, VPB_LOCKED | VPB_DIRECT_WRITES_ALLOWED);
    ClearFlag(Vcb->State, VCB_LOCKED);
    Vcb->LockFileObject = nullptr;
    Status = STATUS_SUCCESS;
  }
  IoReleaseVpbSpinLock(Irql);
  return Status;
}

// Ends the volume lock whoever holds it.
void ClearVolumeLock(PIRP_CONTEXT IrpContext, PVCB Vcb) {
  UNREFERENCED_PARAMETER(IrpContext);
  KIRQL Irql;
  IoAcquireVpbSpinLock(&Irql);
  ClearFlag(Vcb->Vpb->Flags, VPB_LOCKED | VPB_DIRECT_WRITES_ALLOWED);
  ClearFlag(Vcb->State, VCB_LOCKED);
  Vcb->LockFileObject = nullptr;
  IoReleaseVpbSpinLock(Irql);
}

// Holds (Delta > 0) or lets go of (Delta < 0) the volume as file objects do.
void AdjustVpbRefCount(PVCB Vcb, LONG Delta) {
  KIRQL Irql;
  IoAcquireVpbSpinLock(&Irql);
  Vcb->Vpb->ReferenceCount += Delta;
  IoReleaseVpbSpinLock(Irql);
}

// Gives the real device a fresh VPB so that its medium can be mounted again while this
// volume waits for its last references on the old one. Called under the VPB spin lock.
// A volume without a spare VPB cannot be separated and stays as it is.
BOOLEAN SwapVpb(PIRP_CONTEXT IrpContext, PVCB Vcb) {
  PVPB OldVpb = Vcb->Vpb;
  PDEVICE_OBJECT RealDevice = OldVpb->RealDevice;
  if (FlagOn(Vcb->State, VCB_VPB_SWAPPED) || RealDevice->Vpb != OldVpb || Vcb->SpareVpb == nullptr) return FALSE;

  PVPB NewVpb = Vcb->SpareVpb;
  RtlZeroMemory(NewVpb, sizeof(VPB));
  NewVpb->Type = IO_TYPE_VPB;
  NewVpb->Size = sizeof(VPB);
  NewVpb->RealDevice = RealDevice;
  NewVpb->Flags = (USHORT)(OldVpb->Flags & VPB_REMOVE_PENDING);
  RealDevice->Vpb = NewVpb;

  // A mount that is dismounting this volume on its way names the device's VPB: from now
  // on that is the new one.
  if (IrpContext != nullptr && IrpContext->Irp != nullptr && IrpContext->MajorFunction == IRP_MJ_FILE_SYSTEM_CONTROL &&
      IrpContext->MinorFunction == IRP_MN_MOUNT_VOLUME) {
    PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(IrpContext->Irp);
    if (IrpSp->Parameters.MountVolume.Vpb == OldVpb) IrpSp->Parameters.MountVolume.Vpb = NewVpb;
  }
  SetFlag(Vcb->State, VCB_VPB_SWAPPED);
  Vcb->SpareVpb = nullptr;
  Vcb->Condition = VcbBad;
  return TRUE;
}

// Lets go of the volume's stream file object; its close lowers the stream counts. The
// volume is not usable afterwards.
void ReleaseStreamFile(PIRP_CONTEXT IrpContext, PVCB Vcb) {
  UNREFERENCED_PARAMETER(IrpContext);
  PFILE_OBJECT Stream = Vcb->StreamFile;
  Vcb->StreamFile = nullptr;
  if (Stream != nullptr) ObDereferenceObject(Stream);
  Vcb->Condition = VcbBad;
}

namespace {

// Whether only the stream file references the volume and no handle record is left.
BOOLEAN IsIdle(PVCB Vcb) {
  return Vcb->Vpb->ReferenceCount == (ULONG)Vcb->StreamResidualCount && Vcb->OpenCount == 0;
}

// Whether nothing at all references the volume any more, deferred closes included.
BOOLEAN IsUnreferenced(PVCB Vcb) {
  return Vcb->Vpb->ReferenceCount == 0 && Vcb->StreamOpenCount == 0 && Vcb->OpenCount == 0;
}

}  // namespace

// Deletes the volume when nothing uses it any more; a good volume only when Force. Runs
// with GlobalData's resource and the volume's held exclusive; TRUE when the volume and its
// device are gone, and with them the caller's hold on its resource. With Force a volume
// still in use is at least separated from its device.
BOOLEAN TryDismountVcb(PIRP_CONTEXT IrpContext, PVCB Vcb, BOOLEAN Force) {
  if (Vcb->Condition == VcbGood && !Force) return FALSE;
  // Deferred closes hold records of handles already gone: they must not keep the volume.
  RunDeferredCloses(Vcb);

  KIRQL Irql;
  IoAcquireVpbSpinLock(&Irql);
  if (!IsIdle(Vcb)) {
    if (Force) SwapVpb(IrpContext, Vcb);
    IoReleaseVpbSpinLock(Irql);
    return FALSE;
  }
  SwapVpb(IrpContext, Vcb);
  ClearFlag(Vcb->Vpb->Flags, VPB_MOUNTED | VPB_LOCKED | VPB_DIRECT_WRITES_ALLOWED);
  IoReleaseVpbSpinLock(Irql);

  SetFlag(Vcb->State, VCB_DISMOUNT_IN_PROGRESS);
  ReleaseStreamFile(IrpContext, Vcb);
  RunDeferredCloses(Vcb);

  IoAcquireVpbSpinLock(&Irql);
  if (!IsUnreferenced(Vcb)) {
    IoReleaseVpbSpinLock(Irql);
    ClearFlag(Vcb->State, VCB_DISMOUNT_IN_PROGRESS);
    return FALSE;
  }
  Vcb->Vpb->DeviceObject = nullptr;
  IoReleaseVpbSpinLock(Irql);

  PDEVICE_OBJECT VolumeDevice = Vcb->VolumeDevice;
  ReleaseVcbFully(Vcb);
  DeleteVcb(IrpContext, Vcb);
  IoDeleteDevice(VolumeDevice);
  return TRUE;
}
