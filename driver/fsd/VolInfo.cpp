// Volume information: a read-only, case-preserving Unicode file system named "APFS", the
// serial number and label mount put in the VPB, and sizes counted in container blocks.
#include "QdrlProcs.h"

#define BugCheckFileId QDRL_BUG_CHECK_VOLINFO

namespace {

const WCHAR FileSystemName[] = u"APFS";
constexpr ULONG FileSystemNameBytes = sizeof(FileSystemName) - sizeof(WCHAR);
constexpr LONG MaximumComponentLength = 255;

// What each class writes whatever the buffer holds; 0 for a class that is not served.
ULONG FixedPartOf(FS_INFORMATION_CLASS Class) {
  switch (Class) {
    case FileFsVolumeInformation:
      return FIELD_OFFSET(FILE_FS_VOLUME_INFORMATION, VolumeLabel);
    case FileFsSizeInformation:
      return sizeof(FILE_FS_SIZE_INFORMATION);
    case FileFsDeviceInformation:
      return sizeof(FILE_FS_DEVICE_INFORMATION);
    case FileFsAttributeInformation:
      return FIELD_OFFSET(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
    case FileFsFullSizeInformation:
      return sizeof(FILE_FS_FULL_SIZE_INFORMATION);
    case FileFsSectorSizeInformation:
      return sizeof(FILE_FS_SECTOR_SIZE_INFORMATION);
    default:
      return 0;
  }
}

// Sectors per container block and the sector size reported with them. A device that
// reported no sector size is described as one sector per block.
void AllocationUnit(PVCB Vcb, PULONG SectorsPerUnit, PULONG BytesPerSector) {
  ULONG BlockSize = ContainerBlockSize(Vcb->Container);
  ULONG SectorSize = Vcb->SectorSize != 0 ? Vcb->SectorSize : BlockSize;
  *SectorsPerUnit = BlockSize / SectorSize;
  *BytesPerSector = SectorSize;
}

// Copies as much of Source as Remaining allows; the bytes copied.
ULONG CopyWhatFits(PVOID Destination, const void* Source, ULONG Length, PLONG Remaining) {
  ULONG Room = *Remaining > 0 ? (ULONG)*Remaining : 0;
  ULONG Copied = Room < Length ? Room : Length;
  RtlCopyMemory(Destination, Source, Copied);
  *Remaining -= (LONG)Copied;
  return Copied;
}

NTSTATUS QueryFsVolumeInfo(PVCB Vcb, FILE_FS_VOLUME_INFORMATION* Buffer, PLONG Remaining) {
  const ULONG FixedPart = FIELD_OFFSET(FILE_FS_VOLUME_INFORMATION, VolumeLabel);
  RtlZeroMemory(Buffer, FixedPart);
  *Remaining -= (LONG)FixedPart;
  Buffer->VolumeSerialNumber = Vcb->Vpb->SerialNumber;
  Buffer->VolumeLabelLength = Vcb->Vpb->VolumeLabelLength;
  Buffer->SupportsObjects = FALSE;
  ULONG Copied = CopyWhatFits(Buffer->VolumeLabel, Vcb->Vpb->VolumeLabel, Vcb->Vpb->VolumeLabelLength, Remaining);
  return Copied < Vcb->Vpb->VolumeLabelLength ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

void QueryFsSizeInfo(PVCB Vcb, FILE_FS_SIZE_INFORMATION* Buffer, PLONG Remaining) {
  Buffer->TotalAllocationUnits.QuadPart = (LONGLONG)ContainerBlockCount(Vcb->Container);
  Buffer->AvailableAllocationUnits.QuadPart = (LONGLONG)Vcb->FreeBlocks;
  AllocationUnit(Vcb, &Buffer->SectorsPerAllocationUnit, &Buffer->BytesPerSector);
  *Remaining -= sizeof(FILE_FS_SIZE_INFORMATION);
}

// Reported as a disk even on a CD-ROM device: applications treat the volume as fixed
// storage with a file system on it.
void QueryFsDeviceInfo(PVCB Vcb, FILE_FS_DEVICE_INFORMATION* Buffer, PLONG Remaining) {
  Buffer->DeviceType = FILE_DEVICE_DISK;
  Buffer->Characteristics = Vcb->TargetDevice->Characteristics;
  *Remaining -= sizeof(FILE_FS_DEVICE_INFORMATION);
}

// FileSystemNameLength tells what was copied, not the whole name's length.
NTSTATUS QueryFsAttributeInfo(PVCB Vcb, FILE_FS_ATTRIBUTE_INFORMATION* Buffer, PLONG Remaining) {
  Buffer->FileSystemAttributes = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK | FILE_READ_ONLY_VOLUME;
  if (!FlagOn(Vcb->State, VCB_CASE_INSENSITIVE)) SetFlag(Buffer->FileSystemAttributes, FILE_CASE_SENSITIVE_SEARCH);
  Buffer->MaximumComponentNameLength = MaximumComponentLength;
  *Remaining -= FIELD_OFFSET(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
  Buffer->FileSystemNameLength = CopyWhatFits(Buffer->FileSystemName, FileSystemName, FileSystemNameBytes, Remaining);
  return Buffer->FileSystemNameLength < FileSystemNameBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

void QueryFsFullSizeInfo(PVCB Vcb, FILE_FS_FULL_SIZE_INFORMATION* Buffer, PLONG Remaining) {
  Buffer->TotalAllocationUnits.QuadPart = (LONGLONG)ContainerBlockCount(Vcb->Container);
  Buffer->CallerAvailableAllocationUnits.QuadPart = (LONGLONG)Vcb->FreeBlocks;
  Buffer->ActualAvailableAllocationUnits.QuadPart = (LONGLONG)Vcb->FreeBlocks;
  AllocationUnit(Vcb, &Buffer->SectorsPerAllocationUnit, &Buffer->BytesPerSector);
  *Remaining -= sizeof(FILE_FS_FULL_SIZE_INFORMATION);
}

NTSTATUS QueryFsSectorSizeInfo(PVCB Vcb, PFILE_FS_SECTOR_SIZE_INFORMATION Buffer, PLONG Remaining) {
  NTSTATUS Status = FsRtlGetSectorSizeInformation(Vcb->RealDevice, Buffer);
  if (NT_SUCCESS(Status)) *Remaining -= sizeof(FILE_FS_SECTOR_SIZE_INFORMATION);
  return Status;
}

// The volume of any handle: volume and stream opens name it, file and directory opens
// through their Fcb.
PVCB VolumeOf(PCCB Ccb) {
  if (Ccb->OpenKind == VolumeOpen || Ccb->OpenKind == StreamOpen) return (PVCB)Ccb->Target;
  return ((PFCB)Ccb->Target)->Vcb;
}

}  // namespace

NTSTATUS FsdQueryVolumeInformation(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}

NTSTATUS CommonQueryVolumeInformation(PIRP_CONTEXT IrpContext, PIRP Irp) {
  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT FileObject = IrpSp->FileObject;
  ULONG Length = IrpSp->Parameters.QueryVolume.Length;
  FS_INFORMATION_CLASS Class = IrpSp->Parameters.QueryVolume.FsInformationClass;
  PVOID Buffer = Irp->AssociatedIrp.SystemBuffer;

  PCCB Ccb = FileObject->FsContext2 ? DecodeCcb(FileObject, BugCheckFileId, __LINE__) : nullptr;
  ULONG FixedPart = FixedPartOf(Class);
  if (Ccb == nullptr || FixedPart == 0) {
    CompleteRequest(IrpContext, Irp, STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  // The I/O manager sees to this before it sends the request; a buffer that is shorter
  // anyway is never written.
  if (Length < FixedPart) {
    CompleteRequest(IrpContext, Irp, STATUS_INFO_LENGTH_MISMATCH);
    return STATUS_INFO_LENGTH_MISMATCH;
  }
  PVCB Vcb = VolumeOf(Ccb);
  CheckFcbUsable(IrpContext, Vcb->RootFcb);

  LONG Remaining = (LONG)Length;
  NTSTATUS Status = STATUS_SUCCESS;
  switch (Class) {
    case FileFsVolumeInformation: {
      if (!AcquireVcbShared(IrpContext, Vcb)) return PostRequest(IrpContext, Irp);
      SEH_FINALLY {
        ExReleaseResourceLite(&Vcb->Resource);
      };
      Status = QueryFsVolumeInfo(Vcb, (FILE_FS_VOLUME_INFORMATION*)Buffer, &Remaining);
      break;
    }
    case FileFsSizeInformation:
      QueryFsSizeInfo(Vcb, (FILE_FS_SIZE_INFORMATION*)Buffer, &Remaining);
      break;
    case FileFsDeviceInformation:
      QueryFsDeviceInfo(Vcb, (FILE_FS_DEVICE_INFORMATION*)Buffer, &Remaining);
      break;
    case FileFsAttributeInformation:
      Status = QueryFsAttributeInfo(Vcb, (FILE_FS_ATTRIBUTE_INFORMATION*)Buffer, &Remaining);
      break;
    case FileFsFullSizeInformation:
      QueryFsFullSizeInfo(Vcb, (FILE_FS_FULL_SIZE_INFORMATION*)Buffer, &Remaining);
      break;
    case FileFsSectorSizeInformation:
      Status = QueryFsSectorSizeInfo(Vcb, (PFILE_FS_SECTOR_SIZE_INFORMATION)Buffer, &Remaining);
      break;
    default:
      QdrlBugCheck(Class, 0, 0);
  }
  Irp->IoStatus.Information = Length - (ULONG)Remaining;
  CompleteRequest(IrpContext, Irp, Status);
  return Status;
}
