// Query and set information of files and directories. Every answer comes from the Fcb,
// which took its values from the engine when it was made; nothing is read from the disk.
// The volume is never written, so every set request fails.
#include "QdrlProcs.h"

#define BugCheckFileId QDRL_BUG_CHECK_FILEINFO

namespace {

// 1980-01-01 00:00 in local time: the root directory has no times of its own.
constexpr LONGLONG RootLocalTime = 119600064000000000LL;

// The bytes FileAllInformation leaves to the I/O manager: access, mode and alignment.
constexpr LONG AllInfoIoManagerPart = 12;

// The fixed size of each class served, which the buffer must hold at least; 0 for a class
// that is not served.
ULONG FixedSizeOf(FILE_INFORMATION_CLASS Class) {
  switch (Class) {
    case FileBasicInformation:
      return sizeof(FILE_BASIC_INFORMATION);
    case FileStandardInformation:
      return sizeof(FILE_STANDARD_INFORMATION);
    case FileInternalInformation:
      return sizeof(FILE_INTERNAL_INFORMATION);
    case FileEaInformation:
      return sizeof(FILE_EA_INFORMATION);
    case FileNameInformation:
    case FileNormalizedNameInformation:
      return sizeof(FILE_NAME_INFORMATION);
    case FilePositionInformation:
      return sizeof(FILE_POSITION_INFORMATION);
    case FileAllInformation:
      return sizeof(FILE_ALL_INFORMATION);
    case FileNetworkOpenInformation:
      return sizeof(FILE_NETWORK_OPEN_INFORMATION);
    default:
      return 0;
  }
}

BOOLEAN IsNameClass(FILE_INFORMATION_CLASS Class) {
  return Class == FileNameInformation || Class == FileNormalizedNameInformation || Class == FileAllInformation;
}

LARGE_INTEGER RootTime() {
  LARGE_INTEGER Local, System;
  Local.QuadPart = RootLocalTime;
  ExLocalTimeToSystemTime(&Local, &System);
  return System;
}

ULONG ReportedAttributes(PFCB Fcb) { return Fcb->Attributes != 0 ? Fcb->Attributes : FILE_ATTRIBUTE_NORMAL; }

BOOLEAN IsFile(PFCB Fcb) { return FlagOn(Fcb->State, FCB_FILE); }

// The Fcb's times as the IRP path reports them: the root's are the 1980 constant.
void FcbTimes(PFCB Fcb, PLARGE_INTEGER Creation, PLARGE_INTEGER LastAccess, PLARGE_INTEGER LastWrite) {
  if (FlagOn(Fcb->State, FCB_ROOT)) {
    *Creation = *LastAccess = *LastWrite = RootTime();
    return;
  }
  *Creation = Fcb->CreationTime;
  *LastAccess = Fcb->LastAccessTime;
  *LastWrite = Fcb->LastWriteTime;
}

void FileSizes(PFCB Fcb, PLARGE_INTEGER AllocationSize, PLARGE_INTEGER EndOfFile) {
  AllocationSize->QuadPart = IsFile(Fcb) ? Fcb->Header.AllocationSize.QuadPart : 0;
  EndOfFile->QuadPart = IsFile(Fcb) ? Fcb->Header.FileSize.QuadPart : 0;
}

// Each filler writes its record at Buffer and subtracts its size from Remaining.
void QueryBasicInfo(PFCB Fcb, PFILE_BASIC_INFORMATION Buffer, PLONG Remaining) {
  RtlZeroMemory(Buffer, sizeof(*Buffer));
  FcbTimes(Fcb, &Buffer->CreationTime, &Buffer->LastAccessTime, &Buffer->LastWriteTime);
  Buffer->FileAttributes = ReportedAttributes(Fcb);
  *Remaining -= sizeof(FILE_BASIC_INFORMATION);
}

void QueryStandardInfo(PFCB Fcb, PFILE_STANDARD_INFORMATION Buffer, PLONG Remaining) {
  RtlZeroMemory(Buffer, sizeof(*Buffer));
  FileSizes(Fcb, &Buffer->AllocationSize, &Buffer->EndOfFile);
  Buffer->NumberOfLinks = 1;
  Buffer->DeletePending = FALSE;
  Buffer->Directory = !IsFile(Fcb);
  *Remaining -= sizeof(FILE_STANDARD_INFORMATION);
}

void QueryInternalInfo(PFCB Fcb, FILE_INTERNAL_INFORMATION* Buffer, PLONG Remaining) {
  Buffer->IndexNumber.QuadPart = (LONGLONG)Fcb->FileId;
  *Remaining -= sizeof(FILE_INTERNAL_INFORMATION);
}

void QueryEaInfo(FILE_EA_INFORMATION* Buffer, PLONG Remaining) {
  Buffer->EaSize = 0;
  *Remaining -= sizeof(FILE_EA_INFORMATION);
}

void QueryPositionInfo(PFILE_OBJECT FileObject, PFILE_POSITION_INFORMATION Buffer, PLONG Remaining) {
  Buffer->CurrentByteOffset = FileObject->CurrentByteOffset;
  *Remaining -= sizeof(FILE_POSITION_INFORMATION);
}

void QueryNetworkOpenInfo(PFCB Fcb, PFILE_NETWORK_OPEN_INFORMATION Buffer, PLONG Remaining) {
  RtlZeroMemory(Buffer, sizeof(*Buffer));
  FcbTimes(Fcb, &Buffer->CreationTime, &Buffer->LastAccessTime, &Buffer->LastWriteTime);
  FileSizes(Fcb, &Buffer->AllocationSize, &Buffer->EndOfFile);
  Buffer->FileAttributes = ReportedAttributes(Fcb);
  *Remaining -= sizeof(FILE_NETWORK_OPEN_INFORMATION);
}

// The path of the Fcb from the volume root, as much of it as fits; FileNameLength always
// tells the whole length. STATUS_BUFFER_OVERFLOW when the name was cut.
NTSTATUS QueryNameInfo(PIRP_CONTEXT IrpContext, PFCB Fcb, PFILE_NAME_INFORMATION Buffer, PLONG Remaining) {
  *Remaining -= FIELD_OFFSET(FILE_NAME_INFORMATION, FileName);
  if (Fcb->FullName.Length == 0) BuildFullName(IrpContext, Fcb);
  ULONG NameLength = Fcb->FullName.Length;
  Buffer->FileNameLength = NameLength;
  ULONG Room = *Remaining > 0 ? (ULONG)*Remaining : 0;
  ULONG Copied = Room < NameLength ? Room : NameLength;
  RtlCopyMemory(Buffer->FileName, Fcb->FullName.Buffer, Copied);
  *Remaining -= (LONG)Copied;
  return Copied < NameLength ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

void QueryAllInfo(PIRP_CONTEXT IrpContext, PFCB Fcb, PFILE_OBJECT FileObject, FILE_ALL_INFORMATION* Buffer,
                  PLONG Remaining, PNTSTATUS Status) {
  *Remaining -= AllInfoIoManagerPart;
  QueryBasicInfo(Fcb, &Buffer->BasicInformation, Remaining);
  QueryStandardInfo(Fcb, &Buffer->StandardInformation, Remaining);
  QueryInternalInfo(Fcb, &Buffer->InternalInformation, Remaining);
  QueryEaInfo(&Buffer->EaInformation, Remaining);
  QueryPositionInfo(FileObject, &Buffer->PositionInformation, Remaining);
  *Status = QueryNameInfo(IrpContext, Fcb, &Buffer->NameInformation, Remaining);
}

// Fills the buffer for Class (one the Fcb's lock already covers); the status of the fill.
NTSTATUS FillFileInformation(PIRP_CONTEXT IrpContext, PFCB Fcb, PFILE_OBJECT FileObject,
                             FILE_INFORMATION_CLASS Class, PVOID Buffer, PLONG Remaining) {
  NTSTATUS Status = STATUS_SUCCESS;
  switch (Class) {
    case FileBasicInformation:
      QueryBasicInfo(Fcb, (PFILE_BASIC_INFORMATION)Buffer, Remaining);
      break;
    case FileStandardInformation:
      QueryStandardInfo(Fcb, (PFILE_STANDARD_INFORMATION)Buffer, Remaining);
      break;
    case FileInternalInformation:
      QueryInternalInfo(Fcb, (FILE_INTERNAL_INFORMATION*)Buffer, Remaining);
      break;
    case FileEaInformation:
      QueryEaInfo((FILE_EA_INFORMATION*)Buffer, Remaining);
      break;
    case FilePositionInformation:
      QueryPositionInfo(FileObject, (PFILE_POSITION_INFORMATION)Buffer, Remaining);
      break;
    case FileNetworkOpenInformation:
      QueryNetworkOpenInfo(Fcb, (PFILE_NETWORK_OPEN_INFORMATION)Buffer, Remaining);
      break;
    case FileNameInformation:
    case FileNormalizedNameInformation:
      Status = QueryNameInfo(IrpContext, Fcb, (PFILE_NAME_INFORMATION)Buffer, Remaining);
      break;
    case FileAllInformation:
      QueryAllInfo(IrpContext, Fcb, FileObject, (FILE_ALL_INFORMATION*)Buffer, Remaining, &Status);
      break;
    default:
      QdrlBugCheck(Class, 0, 0);
  }
  return *Remaining < 0 ? STATUS_BUFFER_OVERFLOW : Status;
}

// The Fcb a fast query may answer for: that of a file or directory handle. Null for any
// other handle, which the IRP path refuses.
PFCB FastQueryTarget(PFILE_OBJECT FileObject) {
  if (FileObject->FsContext2 == nullptr) return nullptr;
  PCCB Ccb = DecodeCcb(FileObject, BugCheckFileId, __LINE__);
  if (Ccb->OpenKind != FileOpen && Ccb->OpenKind != DirectoryOpen) return nullptr;
  return (PFCB)Ccb->Target;
}

// Whether the Fcb's values may be handed out without the checks of the IRP path, which
// raise: the Fcb is good and so is its volume, not dismounted and not waiting to be
// verified. Anything else is left to the IRP, which reports it.
BOOLEAN UsableWithoutChecks(PFCB Fcb) {
  PVCB Vcb = Fcb->Vcb;
  return Fcb->Condition == FcbGood && Vcb->Condition == VcbGood && !FlagOn(Vcb->State, VCB_DISMOUNTED) &&
         !FlagOn(Vcb->Vpb->RealDevice->Flags, DO_VERIFY_VOLUME);
}

// Runs Fill under the Fcb's resource when the file object allows a fast answer; FALSE
// sends the request down the IRP path. Never raises.
template <typename Filler>
BOOLEAN FastQuery(PFILE_OBJECT FileObject, BOOLEAN Wait, PIO_STATUS_BLOCK IoStatus, ULONG Information,
                  Filler Fill) {
  PFCB Fcb = FastQueryTarget(FileObject);
  if (Fcb == nullptr) return FALSE;
  BOOLEAN Answered = FALSE;
  FsRtlEnterFileSystem();
  if (ExAcquireResourceSharedLite(Fcb->Header.Resource, Wait)) {
    if (UsableWithoutChecks(Fcb)) {
      Fill(Fcb);
      IoStatus->Status = STATUS_SUCCESS;
      IoStatus->Information = Information;
      Answered = TRUE;
    }
    ExReleaseResourceLite(Fcb->Header.Resource);
  }
  FsRtlExitFileSystem();
  return Answered;
}

}  // namespace

NTSTATUS FsdQueryInformation(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}

// Set information, and set volume information with it.
NTSTATUS FsdSetInformation(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}

// Answers a query of a file or directory handle from its Fcb. The name classes hold the
// volume exclusive, since the full name may have to be built.
NTSTATUS CommonQueryInformation(PIRP_CONTEXT IrpContext, PIRP Irp) {
  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT FileObject = IrpSp->FileObject;
  ULONG Length = IrpSp->Parameters.QueryFile.Length;
  FILE_INFORMATION_CLASS Class = IrpSp->Parameters.QueryFile.FileInformationClass;

  PCCB Ccb = FileObject->FsContext2 ? DecodeCcb(FileObject, BugCheckFileId, __LINE__) : nullptr;
  ULONG FixedSize = FixedSizeOf(Class);
  if (Ccb == nullptr || (Ccb->OpenKind != FileOpen && Ccb->OpenKind != DirectoryOpen) || FixedSize == 0) {
    CompleteRequest(IrpContext, Irp, STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  // The I/O manager sees to this before it sends the request; a buffer that is shorter
  // anyway is never written.
  if (Length < FixedSize) {
    CompleteRequest(IrpContext, Irp, STATUS_INFO_LENGTH_MISMATCH);
    return STATUS_INFO_LENGTH_MISMATCH;
  }

  auto Fcb = (PFCB)Ccb->Target;
  PVCB Vcb = Fcb->Vcb;
  LONG Remaining = (LONG)Length;
  NTSTATUS Status;
  {
    // Released before the request completes: its caller may close the handle at once.
    BOOLEAN VcbHeld = FALSE;
    BOOLEAN FcbHeld = FALSE;
    SEH_FINALLY {
      if (FcbHeld) ExReleaseResourceLite(Fcb->Header.Resource);
      if (VcbHeld) ExReleaseResourceLite(&Vcb->Resource);
    };
    if (IsNameClass(Class)) {
      VcbHeld = AcquireVcbExclusive(IrpContext, Vcb, FALSE);
      if (!VcbHeld) return PostRequest(IrpContext, Irp);
    }
    FcbHeld = AcquireFcbShared(IrpContext, Fcb);
    if (!FcbHeld) return PostRequest(IrpContext, Irp);
    CheckFcbUsable(IrpContext, Fcb);
    Status = FillFileInformation(IrpContext, Fcb, FileObject, Class, Irp->AssociatedIrp.SystemBuffer, &Remaining);
  }
  Irp->IoStatus.Information = Status == STATUS_BUFFER_OVERFLOW ? Length : Length - (ULONG)Remaining;
  CompleteRequest(IrpContext, Irp, Status);
  return Status;
}

// The volume is never written: every set request fails, whatever its class and handle.
NTSTATUS CommonSetInformation(PIRP_CONTEXT IrpContext, PIRP Irp) {
  Irp->IoStatus.Information = 0;
  CompleteRequest(IrpContext, Irp, STATUS_MEDIA_WRITE_PROTECTED);
  return STATUS_MEDIA_WRITE_PROTECTED;
}

// The fast query of basic information: the root reports no times.
BOOLEAN FastQueryBasicInfo(PFILE_OBJECT FileObject, BOOLEAN Wait, PFILE_BASIC_INFORMATION Buffer,
                           PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return FastQuery(FileObject, Wait, IoStatus, sizeof(FILE_BASIC_INFORMATION), [&](PFCB Fcb) {
    RtlZeroMemory(Buffer, sizeof(*Buffer));
    BOOLEAN Root = FlagOn(Fcb->State, FCB_ROOT);
    if (!Root) {
      Buffer->CreationTime = Fcb->CreationTime;
      Buffer->LastAccessTime = Fcb->LastAccessTime;
      Buffer->LastWriteTime = Fcb->LastWriteTime;
    }
    Buffer->FileAttributes = Root ? FILE_ATTRIBUTE_DIRECTORY : ReportedAttributes(Fcb);
  });
}

BOOLEAN FastQueryStandardInfo(PFILE_OBJECT FileObject, BOOLEAN Wait, PFILE_STANDARD_INFORMATION Buffer,
                              PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return FastQuery(FileObject, Wait, IoStatus, sizeof(FILE_STANDARD_INFORMATION), [&](PFCB Fcb) {
    LONG Remaining = sizeof(FILE_STANDARD_INFORMATION);
    QueryStandardInfo(Fcb, Buffer, &Remaining);
  });
}

// The fast query of network-open information: the change time is the 1980 constant.
BOOLEAN FastQueryNetworkOpenInfo(PFILE_OBJECT FileObject, BOOLEAN Wait, PFILE_NETWORK_OPEN_INFORMATION Buffer,
                                 PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return FastQuery(FileObject, Wait, IoStatus, sizeof(FILE_NETWORK_OPEN_INFORMATION), [&](PFCB Fcb) {
    LONG Remaining = sizeof(FILE_NETWORK_OPEN_INFORMATION);
    QueryNetworkOpenInfo(Fcb, Buffer, &Remaining);
    Buffer->ChangeTime = RootTime();
  });
}
