// File-system control: mount, verify and the user requests.
#include "QdrlProcs.h"

#define BugCheckFileId QDRL_BUG_CHECK_FSCTRL

namespace {

// The GPT partition type of an APFS container.
const GUID ApfsPartitionType = {0x7C3457EF, 0x0000, 0x11AA, {0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC}};

constexpr ULONG FirstBlockSize = 4096;
constexpr ULONG ContainerMagic = 0x4253584E;  // "NXSB"
constexpr ULONG MagicOffset = 32;
constexpr ULONG UuidOffset = 72;
constexpr ULONG UuidSize = 16;
constexpr ULONG VolumeNameOffset = 704;
constexpr ULONG VolumeNameSize = 256;
constexpr ULONG64 UnknownLength = 0x7FFFFFFFFFFFFFFF;
constexpr LONG SeTcbPrivilege = 7;
constexpr ULONG VolumeIsDirty = 1;

ULONG ReadUlong(const UCHAR* Bytes) {
  return (ULONG)Bytes[0] | (ULONG)Bytes[1] << 8 | (ULONG)Bytes[2] << 16 | (ULONG)Bytes[3] << 24;
}

// The volume serial number: 32-bit FNV-1 of the container UUID in stored order.
ULONG SerialNumberOf(const UCHAR* FirstBlock) {
  ULONG Hash = 0x811C9DC5;
  for (ULONG Index = 0; Index < UuidSize; ++Index) Hash = (Hash * 0x01000193) ^ FirstBlock[UuidOffset + Index];
  return Hash;
}

BOOLEAN IsContainerBlock(const UCHAR* FirstBlock) { return ReadUlong(FirstBlock + MagicOffset) == ContainerMagic; }

// The media change count of a removable target, 0 otherwise or when the device does not
// answer with exactly a count.
NTSTATUS QueryMediaChangeCount(PDEVICE_OBJECT Target, PULONG ChangeCount) {
  *ChangeCount = 0;
  if (!FlagOn(Target->Characteristics, FILE_REMOVABLE_MEDIA)) return STATUS_SUCCESS;
  ULONG Count = 0;
  IO_STATUS_BLOCK IoStatus;
  NTSTATUS Status =
      SendDeviceIoControl(IOCTL_DISK_CHECK_VERIFY, Target, nullptr, 0, &Count, sizeof(Count), TRUE, &IoStatus);
  if (NT_SUCCESS(Status) && IoStatus.Information == sizeof(ULONG)) *ChangeCount = Count;
  return Status;
}

// Where the container lies on the target: the whole device, or on a CD-ROM that reports
// no partitions of its own, the first APFS entry of a GUID partition table on the disc.
struct CONTAINER_PLACE {
  NTSTATUS InfoStatus;
  PARTITION_INFORMATION_EX Info;
  ULONG64 Offset;
  ULONG64 Length;
};

// Reading or scanning the table may fail in any way; the device is then probed whole.
void FindApfsPartition(PDEVICE_OBJECT Target, CONTAINER_PLACE* Place) {
  PDRIVE_LAYOUT_INFORMATION_EX Layout = nullptr;
  SEH_TRY {
    if (NT_SUCCESS(IoReadPartitionTableEx(Target, &Layout)) && Layout->PartitionStyle == PARTITION_STYLE_GPT) {
      for (ULONG Index = 0; Index < Layout->PartitionCount; ++Index) {
        const PARTITION_INFORMATION_EX& Entry = Layout->PartitionEntry[Index];
        if (!RtlEqualMemory(&Entry.Gpt.PartitionType, &ApfsPartitionType, sizeof(GUID))) continue;
        Place->Offset = (ULONG64)Entry.StartingOffset.QuadPart;
        Place->Length = (ULONG64)Entry.PartitionLength.QuadPart;
        break;
      }
    }
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
  } SEH_END;
  if (Layout != nullptr) ExFreePoolWithTag(Layout, 0);
}

void LocateContainer(PDEVICE_OBJECT Target, CONTAINER_PLACE* Place) {
  RtlZeroMemory(Place, sizeof(*Place));
  Place->InfoStatus = SendDeviceIoControl(IOCTL_DISK_GET_PARTITION_INFO_EX, Target, nullptr, 0, &Place->Info,
                                          sizeof(Place->Info), TRUE, nullptr);
  Place->Length = NT_SUCCESS(Place->InfoStatus) ? (ULONG64)Place->Info.PartitionLength.QuadPart : UnknownLength;
  if (NT_SUCCESS(Place->InfoStatus) && Target->DeviceType == FILE_DEVICE_CD_ROM &&
      Place->Info.PartitionStyle == PARTITION_STYLE_MBR)
    FindApfsPartition(Target, Place);
}

PVOID AllocateEngineRecord(SIZE_T Size) {
  PVOID Record = ExAllocatePoolWithTag(NonPagedPoolNx | POOL_RAISE_IF_ALLOCATION_FAILURE, Size, TAG_ENGINE_RECORD);
  RtlZeroMemory(Record, Size);
  return Record;
}

// Opens the container of FirstBlock and its default volume with a pair of trees, raising
// STATUS_FILE_CORRUPT_ERROR (or STATUS_FILE_ENCRYPTED for a locked volume). The records
// are the Vcb's from the moment they exist, so that DeleteVcb frees whatever was made.
void OpenVolume(PIRP_CONTEXT IrpContext, PVCB Vcb, const UCHAR* FirstBlock) {
  Vcb->Container = (Container*)AllocateEngineRecord(sizeof(Container));
  ContainerInit(Vcb->Container);
  if (!ContainerOpen(Vcb->Container, FirstBlock, &Vcb->Partition->Engine))
    RaiseStatus(IrpContext, STATUS_FILE_CORRUPT_ERROR);

  Vcb->Volume = (VolumeHandle*)AllocateEngineRecord(sizeof(VolumeHandle));
  VolumeHandleInit(Vcb->Volume, Vcb->Container);
  Vcb->OmapTree = (BTree*)AllocateEngineRecord(sizeof(BTree));
  BTreeInit(Vcb->OmapTree, Vcb->Container);
  Vcb->FsTree = (BTree*)AllocateEngineRecord(sizeof(BTree));
  BTreeInit(Vcb->FsTree, Vcb->Container);
  uint32_t Index = ContainerDefaultVolume(Vcb->Container);
  if (!VolumeHandleOpen(Vcb->Volume, (int32_t)Index, nullptr, Vcb->OmapTree, Vcb->FsTree)) {
    Volume* Slot = ContainerVolume(Vcb->Container, Index);
    RaiseStatus(IrpContext, Slot != nullptr && Slot->encrypted ? STATUS_FILE_ENCRYPTED : STATUS_FILE_CORRUPT_ERROR);
  }

  Vcb->SpareOmapTree = (BTree*)AllocateEngineRecord(sizeof(BTree));
  BTreeInit(Vcb->SpareOmapTree, Vcb->Container);
  if (!BTreeClone(Vcb->SpareOmapTree, Vcb->OmapTree, nullptr)) RaiseStatus(IrpContext, STATUS_FILE_CORRUPT_ERROR);
  Vcb->SpareFsTree = (BTree*)AllocateEngineRecord(sizeof(BTree));
  BTreeInit(Vcb->SpareFsTree, Vcb->Container);
  if (!BTreeClone(Vcb->SpareFsTree, Vcb->FsTree, Vcb->SpareOmapTree)) RaiseStatus(IrpContext, STATUS_FILE_CORRUPT_ERROR);
}

// The volume's name (a Data volume's is its System volume's) as the VPB's label, cut to
// what the label holds.
void SetVolumeLabel(PIRP_CONTEXT IrpContext, PVCB Vcb, PVPB Vpb) {
  uint32_t Index = (uint32_t)Vcb->Volume->index;
  VolumeAdoptSystemName(Vcb->Container, Index);
  const UCHAR* Superblock = ContainerVolume(Vcb->Container, Index)->superblock;
  const char* Name = (const char*)Superblock + VolumeNameOffset;
  ULONG NameLength = 0;
  while (NameLength < VolumeNameSize && Name[NameLength] != '\0') ++NameLength;
  ULONG Written = 0;
  NTSTATUS Status = RtlUTF8ToUnicodeN(Vpb->VolumeLabel, sizeof(Vpb->VolumeLabel), &Written, Name, NameLength);
  if (Status != STATUS_SUCCESS && Status != STATUS_SOME_NOT_MAPPED && Status != STATUS_BUFFER_TOO_SMALL)
    RaiseStatusNormalized(IrpContext, Status);
  Vpb->VolumeLabelLength = (USHORT)Written;
}

// Whether the two volumes are the same volume in the same state: same container block
// size and the same volume superblock, byte for byte.
BOOLEAN SameVolumeState(Container* A, uint32_t IndexA, Container* B, uint32_t IndexB) {
  if (A->blockSize != B->blockSize) return FALSE;
  Volume* VolumeA = ContainerVolume(A, IndexA);
  Volume* VolumeB = ContainerVolume(B, IndexB);
  if (VolumeA == nullptr || VolumeB == nullptr || VolumeA->superblock == nullptr || VolumeB->superblock == nullptr)
    return FALSE;
  return RtlEqualMemory(VolumeA->superblock, VolumeB->superblock, A->blockSize);
}

// A volume left VcbNotMounted by a media change whose medium is back: the old Vcb that
// matches the new one, or null.
PVCB FindRemountVcb(PVCB NewVcb, PVPB Vpb) {
  for (PLIST_ENTRY Link = GlobalData.VcbList.Flink; Link != &GlobalData.VcbList; Link = Link->Flink) {
    PVCB Old = CONTAINING_RECORD(Link, VCB, VcbLinks);
    if (Old == NewVcb || Old->Vpb == Vpb || Old->Condition != VcbNotMounted) continue;
    if (Old->Vpb->SerialNumber != Vpb->SerialNumber || Old->Vpb->RealDevice != Vpb->RealDevice) continue;
    if (Old->Container == nullptr || Old->Volume == nullptr) continue;
    if (SameVolumeState(Old->Container, (uint32_t)Old->Volume->index, NewVcb->Container,
                        (uint32_t)NewVcb->Volume->index))
      return Old;
  }
  return nullptr;
}

// Revives Old with the medium just mounted: it takes the new target and the real device's
// VPB slot back; the Vcb built for this mount is left to be torn down.
void Remount(PIRP_CONTEXT IrpContext, PVCB Old, PVCB New, PVPB Vpb) {
  PDEVICE_OBJECT Target = New->TargetDevice;
  New->TargetDevice = Old->TargetDevice;
  Old->TargetDevice = Target;
  Old->Condition = VcbGood;
  Old->MediaChangeCount = New->MediaChangeCount;
  KIRQL Irql;
  IoAcquireVpbSpinLock(&Irql);
  Vpb->RealDevice->Vpb = Old->Vpb;
  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(IrpContext->Irp);
  if (IrpSp->Parameters.MountVolume.Vpb == Vpb) IrpSp->Parameters.MountVolume.Vpb = Old->Vpb;
  IoReleaseVpbSpinLock(Irql);
  SetFlag(New->State, VCB_VPB_SWAPPED);
  New->Condition = VcbBad;
}

// What a mount made so far, for its cleanup.
struct MOUNT_STATE {
  PDEVICE_OBJECT VolumeDevice = nullptr;
  PVCB Vcb = nullptr;
  PUCHAR FirstBlock = nullptr;
  BOOLEAN KeepVcb = FALSE;
  BOOLEAN VerifyCleared = FALSE;
  BOOLEAN GlobalHeld = FALSE;
};

// Takes back what a mount that did not keep its Vcb made. Tearing the Vcb down by force
// swaps the VPB when something still holds it, so that the device is free for the next
// file system.
void UndoMount(PIRP_CONTEXT IrpContext, PVPB Vpb, MOUNT_STATE* State) {
  if (State->FirstBlock != nullptr) ExFreePoolWithTag(State->FirstBlock, TAG_BLOCK);
  State->FirstBlock = nullptr;
  if (!State->KeepVcb) {
    if (State->Vcb != nullptr) {
      ExAcquireResourceExclusiveLite(&State->Vcb->Resource, TRUE);
      if (!TryDismountVcb(IrpContext, State->Vcb, TRUE)) ExReleaseResourceLite(&State->Vcb->Resource);
      IrpContext->Vcb = nullptr;
    } else if (State->VolumeDevice != nullptr) {
      IoDeleteDevice(State->VolumeDevice);
    }
    if (State->VerifyCleared) SetFlag(Vpb->RealDevice->Flags, DO_VERIFY_VOLUME);
  }
  if (State->GlobalHeld) ExReleaseResourceLite(&GlobalData.Resource);
  State->GlobalHeld = FALSE;
}

NTSTATUS MountOnDevice(PIRP_CONTEXT IrpContext, PDEVICE_OBJECT Target, PVPB Vpb, ULONG ChangeCount,
                       MOUNT_STATE* State) {
  CONTAINER_PLACE Place;
  LocateContainer(Target, &Place);

  NTSTATUS Status = IoCreateDevice(GlobalData.DriverObject, sizeof(VCB), nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0,
                                   FALSE, &State->VolumeDevice);
  if (!NT_SUCCESS(Status)) return Status;
  PDEVICE_OBJECT VolumeDevice = State->VolumeDevice;
  if (Target->AlignmentRequirement > VolumeDevice->AlignmentRequirement)
    VolumeDevice->AlignmentRequirement = Target->AlignmentRequirement;
  VolumeDevice->StackSize = (CCHAR)(Target->StackSize + 1);

  DISK_GEOMETRY Geometry;
  Status = SendDeviceIoControl(IOCTL_DISK_GET_DRIVE_GEOMETRY, Target, nullptr, 0, &Geometry, sizeof(Geometry), TRUE,
                               nullptr);
  if (!NT_SUCCESS(Status)) return Status;
  // Every transfer is sized in sectors; a device without a sector size cannot be read.
  if (Geometry.BytesPerSector == 0) return STATUS_UNRECOGNIZED_VOLUME;
  VolumeDevice->SectorSize = (USHORT)Geometry.BytesPerSector;
  ClearFlag(VolumeDevice->Flags, DO_DEVICE_INITIALIZING);
  Vpb->DeviceObject = VolumeDevice;

  if (FlagOn(Vpb->RealDevice->Flags, DO_VERIFY_VOLUME)) {
    ClearFlag(Vpb->RealDevice->Flags, DO_VERIFY_VOLUME);
    State->VerifyCleared = TRUE;
  }

  PVCB Vcb = (PVCB)VolumeDevice->DeviceExtension;
  InitializeVcb(IrpContext, Vcb, Target, Vpb);
  State->Vcb = Vcb;
  IrpContext->Vcb = Vcb;
  Vcb->VolumeDevice = VolumeDevice;
  Vcb->SectorSize = Geometry.BytesPerSector;

  if (Place.Offset % Geometry.BytesPerSector != 0) return STATUS_UNRECOGNIZED_VOLUME;
  // Too short to hold a container: another file system may know it.
  if (Place.Length < FirstBlockSize) return STATUS_UNRECOGNIZED_VOLUME;

  Vcb->Partition = (PPARTITION)AllocateEngineRecord(sizeof(PARTITION));
  InitializePartition(Vcb->Partition, Vcb, Place.Offset, Place.Length);
  State->FirstBlock =
      (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx | POOL_RAISE_IF_ALLOCATION_FAILURE, FirstBlockSize, TAG_BLOCK);
  Status = ReadPartition(Vcb->Partition, 0, State->FirstBlock, FirstBlockSize);
  if (!NT_SUCCESS(Status)) {
    // A CD-ROM drive holding a disc of another kind may fail any read.
    if (Vpb->RealDevice->DeviceType == FILE_DEVICE_CD_ROM) return STATUS_UNRECOGNIZED_VOLUME;
    RaiseStatusNormalized(IrpContext, Status);
  }
  if (!IsContainerBlock(State->FirstBlock)) return STATUS_UNRECOGNIZED_VOLUME;
  Vpb->SerialNumber = SerialNumberOf(State->FirstBlock);

  OpenVolume(IrpContext, Vcb, State->FirstBlock);
  CreateRootFcb(IrpContext, Vcb);
  SetVolumeLabel(IrpContext, Vcb, Vpb);
  if (!VolumeIsCaseSensitive(ContainerVolume(Vcb->Container, (uint32_t)Vcb->Volume->index)))
    SetFlag(Vcb->State, VCB_CASE_INSENSITIVE);
  Vcb->MediaChangeCount = ChangeCount;
  Vcb->FreeBlocks = ContainerFreeBlocks(Vcb->Container);

  if (PVCB Old = FindRemountVcb(Vcb, Vpb)) {
    Remount(IrpContext, Old, Vcb, Vpb);
  } else {
    State->KeepVcb = TRUE;
  }
  // The reference the I/O manager took on the target for the mount is the mount's to drop,
  // whether this Vcb or an old one now holds the target.
  ObfDereferenceObject(Target);
  return STATUS_SUCCESS;
}

NTSTATUS InvalidateVolumes(PIRP Irp);

}  // namespace

// Mount and verify arrive without a file object and may always wait. Invalidation comes to
// a control device and is served without a request context.
NTSTATUS FsdFileSystemControl(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
  if (IsControlDevice(IrpSp->DeviceObject) && IrpSp->MinorFunction == IRP_MN_USER_FS_REQUEST &&
      IrpSp->Parameters.FileSystemControl.FsControlCode == FSCTL_INVALIDATE_VOLUMES) {
    FsRtlEnterFileSystem();
    NTSTATUS Status = InvalidateVolumes(Irp);
    FsRtlExitFileSystem();
    return Status;
  }
  BOOLEAN Wait = IoGetCurrentIrpStackLocation(Irp)->FileObject == nullptr ? TRUE : IoIsOperationSynchronous(Irp);
  return DispatchRequest(VolumeDeviceObject, Irp, Wait);
}

// Recognises an APFS container on Target and mounts its default volume on a new volume
// device; returns STATUS_UNRECOGNIZED_VOLUME for media of other kinds. A mount that fails
// leaves nothing behind.
NTSTATUS MountVolume(PIRP_CONTEXT IrpContext, PDEVICE_OBJECT Target, PVPB Vpb, PDEVICE_OBJECT FsDevice) {
  UNREFERENCED_PARAMETER(FsDevice);
  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(IrpContext->Irp);
  ULONG ChangeCount = 0;
  NTSTATUS Status = QueryMediaChangeCount(Target, &ChangeCount);
  if (!NT_SUCCESS(Status)) {
    if (!FlagOn(IrpSp->Flags, SL_ALLOW_RAW_MOUNT) && Vpb->RealDevice->DeviceType == FILE_DEVICE_DISK)
      RaiseStatusNormalized(IrpContext, Status);
    return Status;
  }
  if (Target->DeviceType == FILE_DEVICE_CD_ROM && !IsDataCdRom(Target)) return STATUS_UNRECOGNIZED_VOLUME;

  SetFlag(IrpContext->Flags, IRPCTX_WAIT);
  ScanForDismountedVcbs(IrpContext);
  MOUNT_STATE State;
  ExAcquireResourceExclusiveLite(&GlobalData.Resource, TRUE);
  State.GlobalHeld = TRUE;
  SEH_TRY {
    Status = MountOnDevice(IrpContext, Target, Vpb, ChangeCount, &State);
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    UndoMount(IrpContext, Vpb, &State);
    SEH_RETHROW();
  } SEH_END;
  UndoMount(IrpContext, Vpb, &State);
  return Status;
}

// Gives every volume that nobody uses any more the chance to go.
void ScanForDismountedVcbs(PIRP_CONTEXT IrpContext) {
  ExAcquireResourceExclusiveLite(&GlobalData.Resource, TRUE);
  PLIST_ENTRY Link = GlobalData.VcbList.Flink;
  while (Link != &GlobalData.VcbList) {
    PVCB Vcb = CONTAINING_RECORD(Link, VCB, VcbLinks);
    Link = Link->Flink;
    if (!ExAcquireResourceExclusiveLite(&Vcb->Resource, FALSE)) continue;
    if (!TryDismountVcb(IrpContext, Vcb, FALSE)) ExReleaseResourceLite(&Vcb->Resource);
  }
  ExReleaseResourceLite(&GlobalData.Resource);
}

namespace {

// What verify compares: the medium now in the drive, opened into temporary records.
struct MEDIUM_CHECK {
  PARTITION Partition{};
  Container Engine{};
  VolumeHandle Volume{};
  BTree OmapTree{};
  BTree FsTree{};
  PUCHAR FirstBlock = nullptr;
  BOOLEAN EngineInitialised = FALSE;
};

void ReleaseMediumCheck(MEDIUM_CHECK* Check) {
  if (Check->EngineInitialised) {
    VolumeHandleRelease(&Check->Volume);
    BTreeRelease(&Check->FsTree);
    BTreeRelease(&Check->OmapTree);
    ContainerClose(&Check->Engine);
  }
  if (Check->FirstBlock != nullptr) ExFreePoolWithTag(Check->FirstBlock, TAG_BLOCK);
}

// A device request verify needs: its failure means another medium when AllowRaw, else it
// is raised.
BOOLEAN DeviceAnswered(PIRP_CONTEXT IrpContext, NTSTATUS Status, BOOLEAN AllowRaw) {
  if (NT_SUCCESS(Status)) return TRUE;
  if (!AllowRaw) RaiseStatusNormalized(IrpContext, Status);
  return FALSE;
}

// Whether the medium in the drive holds the Vcb's volume, unchanged: STATUS_SUCCESS or
// STATUS_WRONG_VOLUME.
NTSTATUS CheckMedium(PIRP_CONTEXT IrpContext, PVCB Vcb, BOOLEAN AllowRaw, MEDIUM_CHECK* Check) {
  PDEVICE_OBJECT Target = Vcb->TargetDevice;
  CONTAINER_PLACE Place;
  LocateContainer(Target, &Place);

  ULONG ChangeCount = 0;
  if (!DeviceAnswered(IrpContext, QueryMediaChangeCount(Target, &ChangeCount), AllowRaw)) return STATUS_WRONG_VOLUME;
  Vcb->MediaChangeCount = ChangeCount;
  if (Target->DeviceType == FILE_DEVICE_CD_ROM && !IsDataCdRom(Target)) return STATUS_WRONG_VOLUME;

  DISK_GEOMETRY Geometry;
  NTSTATUS Status = SendDeviceIoControl(IOCTL_DISK_GET_DRIVE_GEOMETRY, Target, nullptr, 0, &Geometry,
                                        sizeof(Geometry), TRUE, nullptr);
  if (!DeviceAnswered(IrpContext, Status, AllowRaw) || Geometry.BytesPerSector != Vcb->SectorSize)
    return STATUS_WRONG_VOLUME;
  if (Place.Offset != Vcb->Partition->Offset || Place.Length != Vcb->Partition->Length) return STATUS_WRONG_VOLUME;

  InitializePartition(&Check->Partition, Vcb, Place.Offset, Place.Length);
  Check->FirstBlock =
      (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx | POOL_RAISE_IF_ALLOCATION_FAILURE, FirstBlockSize, TAG_BLOCK);
  Status = ReadPartition(&Check->Partition, 0, Check->FirstBlock, FirstBlockSize);
  if (!DeviceAnswered(IrpContext, Status, AllowRaw)) return STATUS_WRONG_VOLUME;
  if (!IsContainerBlock(Check->FirstBlock) || SerialNumberOf(Check->FirstBlock) != Vcb->Vpb->SerialNumber)
    return STATUS_WRONG_VOLUME;

  ContainerInit(&Check->Engine);
  BTreeInit(&Check->OmapTree, &Check->Engine);
  BTreeInit(&Check->FsTree, &Check->Engine);
  VolumeHandleInit(&Check->Volume, &Check->Engine);
  Check->EngineInitialised = TRUE;
  if (!ContainerOpen(&Check->Engine, Check->FirstBlock, &Check->Partition.Engine)) return STATUS_WRONG_VOLUME;
  uint32_t Index = ContainerDefaultVolume(&Check->Engine);
  if (!VolumeHandleOpen(&Check->Volume, (int32_t)Index, nullptr, &Check->OmapTree, &Check->FsTree))
    return STATUS_WRONG_VOLUME;
  VolumeAdoptSystemName(&Check->Engine, Index);
  if (!SameVolumeState(Vcb->Container, (uint32_t)Vcb->Volume->index, &Check->Engine, Index))
    return STATUS_WRONG_VOLUME;
  return STATUS_SUCCESS;
}

NTSTATUS VerifyChecked(PIRP_CONTEXT IrpContext, PVCB Vcb, BOOLEAN AllowRaw, BOOLEAN* VolumeHeld) {
  PDEVICE_OBJECT RealDevice = Vcb->Vpb->RealDevice;
  BOOLEAN Checked = FlagOn(RealDevice->Flags, DO_VERIFY_VOLUME) != 0;
  NTSTATUS Status = STATUS_SUCCESS;
  if (Checked) {
    MEDIUM_CHECK Check;
    SEH_TRY {
      Status = CheckMedium(IrpContext, Vcb, AllowRaw, &Check);
    } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
      ReleaseMediumCheck(&Check);
      SEH_RETHROW();
    } SEH_END;
    ReleaseMediumCheck(&Check);
    AcquireVolume(IrpContext, Vcb);
    *VolumeHeld = TRUE;
    SetFcbCondition(IrpContext, Vcb->RootFcb, FcbNeedsRecheck, TRUE);
  }

  if (Vcb->Condition == VcbNotMounted) return STATUS_WRONG_VOLUME;
  if (NT_SUCCESS(Status)) {
    if (Checked) {
      PurgeVolume(IrpContext, Vcb->RootFcb);
      ClearFlag(RealDevice->Flags, DO_VERIFY_VOLUME);
    }
    return Status;
  }
  if (!*VolumeHeld) {
    AcquireVolume(IrpContext, Vcb);
    *VolumeHeld = TRUE;
  }
  PurgeVolume(IrpContext, Vcb->RootFcb);
  Vcb->Condition = VcbNotMounted;
  ClearFlag(RealDevice->Flags, DO_VERIFY_VOLUME);
  return Status;
}

// The handle's Ccb when it is a volume handle allowed to manage the volume, else null.
PCCB ManagingVolumeCcb(PFILE_OBJECT FileObject) {
  PCCB Ccb = DecodeCcb(FileObject, QDRL_BUG_CHECK_FSCTRL, __LINE__);
  if (Ccb->OpenKind != VolumeOpen || !FlagOn(Ccb->Flags, CCB_MANAGE_VOLUME)) return nullptr;
  return Ccb;
}

PFILE_OBJECT FileObjectOf(PIRP Irp) { return IoGetCurrentIrpStackLocation(Irp)->FileObject; }

NTSTATUS Complete(PIRP_CONTEXT IrpContext, PIRP Irp, NTSTATUS Status) {
  CompleteRequest(IrpContext, Irp, Status);
  return Status;
}

NTSTATUS LockVolume(PIRP_CONTEXT IrpContext, PIRP Irp) {
  PFILE_OBJECT FileObject = FileObjectOf(Irp);
  PCCB Ccb = ManagingVolumeCcb(FileObject);
  if (Ccb == nullptr) return Complete(IrpContext, Irp, STATUS_INVALID_PARAMETER);
  PVCB Vcb = (PVCB)Ccb->Target;
  FsRtlNotifyVolumeEvent(FileObject, FSRTL_VOLUME_LOCK);
  if (!FlagOn(IrpContext->Flags, IRPCTX_WAIT)) return PostRequest(IrpContext, Irp);
  // Handles closed just before still have the cache's teardown of their streams in
  // flight, and with it the last references to their files: let it finish, holding
  // nothing it may need, so that the lock does not fail on references about to go.
  CcWaitForCurrentLazyWriterActivity();
  if (!AcquireVcbExclusive(IrpContext, Vcb, FALSE)) return PostRequest(IrpContext, Irp);
  NTSTATUS Status;
  SEH_TRY {
    Status = LockVolumeInternal(IrpContext, Vcb, FileObject);
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    ExReleaseResourceLite(&Vcb->Resource);
    FsRtlNotifyVolumeEvent(FileObject, FSRTL_VOLUME_LOCK_FAILED);
    SEH_RETHROW();
  } SEH_END;
  ExReleaseResourceLite(&Vcb->Resource);
  if (!NT_SUCCESS(Status)) FsRtlNotifyVolumeEvent(FileObject, FSRTL_VOLUME_LOCK_FAILED);
  return Complete(IrpContext, Irp, Status);
}

NTSTATUS UnlockVolume(PIRP_CONTEXT IrpContext, PIRP Irp) {
  PFILE_OBJECT FileObject = FileObjectOf(Irp);
  PCCB Ccb = ManagingVolumeCcb(FileObject);
  if (Ccb == nullptr) return Complete(IrpContext, Irp, STATUS_INVALID_PARAMETER);
  NTSTATUS Status = UnlockVolumeInternal(IrpContext, (PVCB)Ccb->Target, FileObject);
  if (NT_SUCCESS(Status)) FsRtlNotifyVolumeEvent(FileObject, FSRTL_VOLUME_UNLOCK);
  return Complete(IrpContext, Irp, Status);
}

// Takes the volume off its medium for good; the Vcb stays until its last reference goes.
NTSTATUS DismountLocked(PIRP_CONTEXT IrpContext, PVCB Vcb, PCCB Ccb) {
  if (FlagOn(Vcb->State, VCB_DISMOUNTED)) return STATUS_VOLUME_DISMOUNTED;
  PurgeVolume(IrpContext, Vcb->RootFcb);
  SetFlag(Ccb->Flags, CCB_DISMOUNTED_BY_HANDLE);
  Vcb->Condition = VcbBad;
  SetFlag(Vcb->State, VCB_DISMOUNTED);
  KIRQL Irql;
  IoAcquireVpbSpinLock(&Irql);
  SetFlag(Vcb->Vpb->Flags, VPB_DIRECT_WRITES_ALLOWED);
  IoReleaseVpbSpinLock(Irql);
  return STATUS_SUCCESS;
}

NTSTATUS DismountVolume(PIRP_CONTEXT IrpContext, PIRP Irp) {
  PFILE_OBJECT FileObject = FileObjectOf(Irp);
  PCCB Ccb = ManagingVolumeCcb(FileObject);
  if (Ccb == nullptr) return Complete(IrpContext, Irp, STATUS_INVALID_PARAMETER);
  PVCB Vcb = (PVCB)Ccb->Target;
  if (FlagOn(Vcb->State, VCB_DISMOUNTED)) return Complete(IrpContext, Irp, STATUS_VOLUME_DISMOUNTED);

  FsRtlNotifyVolumeEvent(FileObject, FSRTL_VOLUME_DISMOUNT);
  SetFlag(IrpContext->Flags, IRPCTX_WAIT);
  ExAcquireResourceExclusiveLite(&GlobalData.Resource, TRUE);
  NTSTATUS Status;
  SEH_TRY {
    AcquireVolume(IrpContext, Vcb);
    SEH_TRY {
      Status = DismountLocked(IrpContext, Vcb, Ccb);
    } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
      ReleaseVolume(IrpContext, Vcb);
      SEH_RETHROW();
    } SEH_END;
    FsRtlDismountComplete(Vcb->TargetDevice, Status);
    ReleaseVolume(IrpContext, Vcb);
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    ExReleaseResourceLite(&GlobalData.Resource);
    FsRtlNotifyVolumeEvent(FileObject, FSRTL_VOLUME_DISMOUNT_FAILED);
    SEH_RETHROW();
  } SEH_END;
  ExReleaseResourceLite(&GlobalData.Resource);
  if (!NT_SUCCESS(Status) && Status != STATUS_VOLUME_DISMOUNTED)
    FsRtlNotifyVolumeEvent(FileObject, FSRTL_VOLUME_DISMOUNT_FAILED);
  return Complete(IrpContext, Irp, Status);
}

// The volume a handle of any kind is on.
PVCB VcbOfCcb(PCCB Ccb) {
  switch (Ccb->OpenKind) {
    case VolumeOpen:
    case StreamOpen:
      return (PVCB)Ccb->Target;
    case FileOpen:
    case DirectoryOpen:
      return ((PFCB)Ccb->Target)->Vcb;
    default:
      QdrlBugCheck(Ccb->OpenKind, 0, 0);
  }
}

NTSTATUS IsVolumeMounted(PIRP_CONTEXT IrpContext, PIRP Irp) {
  PCCB Ccb = DecodeCcb(FileObjectOf(Irp), QDRL_BUG_CHECK_FSCTRL, __LINE__);
  SetFlag(IrpContext->Flags, IRPCTX_NO_POPUPS);
  CheckVerifyForCreate(IrpContext, VcbOfCcb(Ccb));
  return Complete(IrpContext, Irp, STATUS_SUCCESS);
}

// Dirty lives in memory only: nothing is ever written to the medium.
NTSTATUS MarkVolumeDirty(PIRP_CONTEXT IrpContext, PIRP Irp) {
  PCCB Ccb = ManagingVolumeCcb(FileObjectOf(Irp));
  if (Ccb == nullptr) return Complete(IrpContext, Irp, STATUS_INVALID_PARAMETER);
  PVCB Vcb = (PVCB)Ccb->Target;
  SetFlag(IrpContext->Flags, IRPCTX_NO_POPUPS);
  CheckVerifyForCreate(IrpContext, Vcb);
  SetFlag(Vcb->State, VCB_DIRTY);
  return Complete(IrpContext, Irp, STATUS_SUCCESS);
}

NTSTATUS IsVolumeDirty(PIRP_CONTEXT IrpContext, PIRP Irp) {
  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
  auto* Output = (PULONG)Irp->AssociatedIrp.SystemBuffer;
  if (Output == nullptr) {
    if (Irp->MdlAddress == nullptr) return Complete(IrpContext, Irp, STATUS_INVALID_USER_BUFFER);
    Output = (PULONG)MmGetSystemAddressForMdlSafe(Irp->MdlAddress, (ULONG)LowPagePriority | MdlMappingNoExecute);
    if (Output == nullptr) return Complete(IrpContext, Irp, STATUS_INSUFFICIENT_RESOURCES);
  }
  if (IrpSp->Parameters.FileSystemControl.OutputBufferLength < sizeof(ULONG))
    return Complete(IrpContext, Irp, STATUS_INVALID_PARAMETER);
  *Output = 0;
  PCCB Ccb = DecodeCcb(IrpSp->FileObject, QDRL_BUG_CHECK_FSCTRL, __LINE__);
  if (Ccb->OpenKind != VolumeOpen) return Complete(IrpContext, Irp, STATUS_INVALID_PARAMETER);
  PVCB Vcb = (PVCB)Ccb->Target;
  if (Vcb->Condition != VcbGood) return Complete(IrpContext, Irp, STATUS_VOLUME_DISMOUNTED);
  SetFlag(IrpContext->Flags, IRPCTX_NO_POPUPS);
  CheckVerifyForCreate(IrpContext, Vcb);
  if (FlagOn(Vcb->State, VCB_DIRTY)) *Output = VolumeIsDirty;
  Irp->IoStatus.Information = sizeof(ULONG);
  return Complete(IrpContext, Irp, STATUS_SUCCESS);
}

NTSTATUS AllowExtendedDasdIo(PIRP_CONTEXT IrpContext, PIRP Irp) {
  PCCB Ccb = ManagingVolumeCcb(FileObjectOf(Irp));
  if (Ccb == nullptr) return Complete(IrpContext, Irp, STATUS_INVALID_PARAMETER);
  SetFlag(Ccb->Flags, CCB_ALLOW_EXTENDED_DASD);
  return Complete(IrpContext, Irp, STATUS_SUCCESS);
}

// Gives the device a fresh VPB in place of the volume's, so that it can be mounted again
// while the Vcb keeps the old one until its last reference goes.
void DetachVolumeFromDevice(PIRP_CONTEXT IrpContext, PVCB Vcb) {
  KIRQL Irql;
  IoAcquireVpbSpinLock(&Irql);
  if (FlagOn(Vcb->Vpb->Flags, VPB_MOUNTED)) SwapVpb(IrpContext, Vcb);
  IoReleaseVpbSpinLock(Irql);
}

void InvalidateVcb(PIRP_CONTEXT IrpContext, PVCB Vcb) {
  AcquireVcbExclusive(IrpContext, Vcb, TRUE);
  DetachVolumeFromDevice(IrpContext, Vcb);
  Vcb->Condition = VcbBad;
  if (Vcb->RootFcb == nullptr) {
    ExReleaseResourceLite(&Vcb->Resource);
    return;
  }
  AcquireVolume(IrpContext, Vcb);
  SetFcbCondition(IrpContext, Vcb->RootFcb, FcbBad, TRUE);
  ReleaseVolume(IrpContext, Vcb);
  // Keeps the purge's closes from deleting the volume under this walk.
  Vcb->OpenCount++;
  PurgeVolume(IrpContext, Vcb->RootFcb);
  Vcb->OpenCount--;
  if (!TryDismountVcb(IrpContext, Vcb, FALSE)) ExReleaseResourceLite(&Vcb->Resource);
}

// FSCTL_INVALIDATE_VOLUMES: every volume on the device of the handle given is made bad
// and dismounted as soon as nothing holds it.
NTSTATUS InvalidateVolumes(PIRP Irp) {
  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS Status = STATUS_SUCCESS;
  if (!SeSinglePrivilegeCheck(RtlConvertLongToLuid(SeTcbPrivilege), Irp->RequestorMode)) {
    Status = STATUS_PRIVILEGE_NOT_HELD;
  } else if (IrpSp->Parameters.FileSystemControl.InputBufferLength != sizeof(HANDLE)) {
    Status = STATUS_INVALID_PARAMETER;
  } else {
    PFILE_OBJECT FileObject = nullptr;
    Status = ObReferenceObjectByHandle(*(PHANDLE)Irp->AssociatedIrp.SystemBuffer, 0, *IoFileObjectType, KernelMode,
                                       (PVOID*)&FileObject, nullptr);
    if (NT_SUCCESS(Status)) {
      // The device is read while the reference still keeps the file object alive.
      PDEVICE_OBJECT Device = FileObject->DeviceObject;
      ObDereferenceObject(FileObject);

      IRP_CONTEXT IrpContext;
      RtlZeroMemory(&IrpContext, sizeof(IrpContext));
      IrpContext.NodeTypeCode = NODE_TYPE_IRP_CONTEXT;
      IrpContext.NodeByteSize = sizeof(IrpContext);
      IrpContext.Flags = IRPCTX_WAIT;
      IrpContext.MajorFunction = IrpSp->MajorFunction;
      IrpContext.MinorFunction = IrpSp->MinorFunction;
      ExAcquireResourceExclusiveLite(&GlobalData.Resource, TRUE);
      PLIST_ENTRY Link = GlobalData.VcbList.Flink;
      while (Link != &GlobalData.VcbList) {
        PVCB Vcb = CONTAINING_RECORD(Link, VCB, VcbLinks);
        Link = Link->Flink;
        if (Vcb->Vpb->RealDevice == Device) InvalidateVcb(&IrpContext, Vcb);
      }
      ExReleaseResourceLite(&GlobalData.Resource);
    }
  }
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_DISK_INCREMENT);
  return Status;
}

}  // namespace

// IRP_MN_VERIFY_VOLUME: whether the medium in the drive still holds this volume.
NTSTATUS VerifyVolume(PIRP_CONTEXT IrpContext, PIRP Irp) {
  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
  PVCB Vcb = (PVCB)IrpSp->Parameters.VerifyVolume.DeviceObject->DeviceExtension;
  IrpContext->Vcb = Vcb;
  if (!FlagOn(IrpContext->Flags, IRPCTX_WAIT)) return PostRequest(IrpContext, Irp);

  ExAcquireResourceExclusiveLite(&GlobalData.Resource, TRUE);
  AcquireVcbExclusive(IrpContext, Vcb, TRUE);
  BOOLEAN AllowRaw = FlagOn(IrpSp->Flags, SL_ALLOW_RAW_MOUNT) != 0;
  BOOLEAN VolumeHeld = FALSE;
  Vcb->VerifyThread = KeGetCurrentThread();
  NTSTATUS Status;
  {
    SEH_FINALLY {
      Vcb->VerifyThread = nullptr;
      if (VolumeHeld) ReleaseVolume(IrpContext, Vcb);
      ExReleaseResourceLite(&Vcb->Resource);
      ExReleaseResourceLite(&GlobalData.Resource);
    };
    Status = VerifyChecked(IrpContext, Vcb, AllowRaw, &VolumeHeld);
  }
  CompleteRequest(IrpContext, Irp, Status);
  return Status;
}

NTSTATUS UserFsRequest(PIRP_CONTEXT IrpContext, PIRP Irp) {
  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
  ULONG Code = IrpSp->Parameters.FileSystemControl.FsControlCode;
  if (Irp->RequestorMode == UserMode && METHOD_FROM_CTL_CODE(Code) == METHOD_NEITHER)
    SetFlag(IrpContext->Flags, IRPCTX_WAIT);
  switch (Code) {
    case FSCTL_LOCK_VOLUME:
      return LockVolume(IrpContext, Irp);
    case FSCTL_UNLOCK_VOLUME:
      return UnlockVolume(IrpContext, Irp);
    case FSCTL_DISMOUNT_VOLUME:
      return DismountVolume(IrpContext, Irp);
    case FSCTL_IS_VOLUME_MOUNTED:
      return IsVolumeMounted(IrpContext, Irp);
    case FSCTL_IS_PATHNAME_VALID:
      return Complete(IrpContext, Irp, STATUS_SUCCESS);
    case FSCTL_MARK_VOLUME_DIRTY:
      return MarkVolumeDirty(IrpContext, Irp);
    case FSCTL_IS_VOLUME_DIRTY:
      return IsVolumeDirty(IrpContext, Irp);
    case FSCTL_ALLOW_EXTENDED_DASD_IO:
      return AllowExtendedDasdIo(IrpContext, Irp);
    case FSCTL_REQUEST_OPLOCK_LEVEL_1:
    case FSCTL_REQUEST_OPLOCK_LEVEL_2:
    case FSCTL_REQUEST_BATCH_OPLOCK:
    case FSCTL_OPLOCK_BREAK_ACKNOWLEDGE:
    case FSCTL_OPBATCH_ACK_CLOSE_PENDING:
    case FSCTL_OPLOCK_BREAK_NOTIFY:
    case FSCTL_OPLOCK_BREAK_ACK_NO_2:
    case FSCTL_REQUEST_FILTER_OPLOCK:
    case FSCTL_REQUEST_OPLOCK:
      return OplockRequest(IrpContext, Irp);
    default:
      return Complete(IrpContext, Irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS CommonFileSystemControl(PIRP_CONTEXT IrpContext, PIRP Irp) {
  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
  switch (IrpSp->MinorFunction) {
    case IRP_MN_USER_FS_REQUEST:
      return UserFsRequest(IrpContext, Irp);
    case IRP_MN_MOUNT_VOLUME:
      return Complete(IrpContext, Irp,
                      MountVolume(IrpContext, IrpSp->Parameters.MountVolume.DeviceObject,
                                  IrpSp->Parameters.MountVolume.Vpb, IrpSp->DeviceObject));
    case IRP_MN_VERIFY_VOLUME:
      return VerifyVolume(IrpContext, Irp);
    default:
      return Complete(IrpContext, Irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}
