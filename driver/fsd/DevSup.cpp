// Buffer support for requests that reach the disk or a worker.
#include "QdrlProcs.h"

// Describes Irp's user buffer with an MDL and locks its pages (nothing when the IRP has
// an MDL already). A buffer that fails its probe raises the probe's status when it is
// one a file system may return, else STATUS_INVALID_USER_BUFFER.
void LockUserBuffer(PIRP_CONTEXT IrpContext, PIRP Irp, LOCK_OPERATION Operation, ULONG Length) {
  if (Irp->MdlAddress != nullptr) return;

  PMDL Mdl = IoAllocateMdl(Irp->UserBuffer, Length, FALSE, FALSE, Irp);
  if (Mdl == nullptr) RaiseStatus(IrpContext, STATUS_INSUFFICIENT_RESOURCES);

  NTSTATUS ProbeStatus = STATUS_SUCCESS;
  SEH_TRY {
    MmProbeAndLockPages(Mdl, Irp->RequestorMode, Operation);
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    ProbeStatus = SEH_EXCEPTION_CODE();
  } SEH_END;

  if (ProbeStatus != STATUS_SUCCESS) {
    IoFreeMdl(Mdl);
    Irp->MdlAddress = nullptr;
    RaiseStatus(IrpContext, FsRtlIsNtstatusExpected(ProbeStatus) ? ProbeStatus : STATUS_INVALID_USER_BUFFER);
  }
}

// ---- The partition window ---------------------------------------------------------------------------

namespace {

// The engine's read through the window: it has checked the range against the length.
bool PartitionReadAt(BlockDevice* Device, uint64_t Offset, void* Buffer, uint32_t Count) {
  return NT_SUCCESS(ReadPartition((PPARTITION)Device, Offset, Buffer, Count));
}

// Reads whole sectors at Offset into the bounce buffer and copies Count bytes from Skip on.
NTSTATUS ReadThroughBounce(PVCB Vcb, PUCHAR Bounce, ULONG64 Offset, ULONG Sectors, ULONG Skip, PUCHAR To, ULONG Count) {
  NTSTATUS Status = ReadSectorsSync(Vcb, Bounce, Offset, Sectors);
  if (NT_SUCCESS(Status)) RtlCopyMemory(To, Bounce + Skip, Count);
  return Status;
}

ULONG Smaller(ULONG A, ULONG B) { return A < B ? A : B; }

ULONG BounceSizeFor(ULONG Bytes) { return (Bytes + PAGE_SIZE - 1) & ~(ULONG)(PAGE_SIZE - 1); }

PUCHAR AllocateBounce(ULONG Size) {
  return (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNxCacheAligned | POOL_RAISE_IF_ALLOCATION_FAILURE, Size, TAG_BOUNCE);
}

}  // namespace

// Sets up the window over Length bytes at Offset of Vcb's target device.
void InitializePartition(PPARTITION Partition, PVCB Vcb, ULONG64 Offset, ULONG64 Length) {
  RtlZeroMemory(Partition, sizeof(PARTITION));
  Partition->Engine.readAt = PartitionReadAt;
  Partition->Engine.length = Length;
  Partition->Vcb = Vcb;
  Partition->Offset = Offset;
  Partition->Length = Length;
}

// Reads ByteCount bytes at Offset within the partition. A range that does not lie inside
// the partition, or that would carry the device offset past 2^64, is refused.
NTSTATUS ReadPartition(PPARTITION Partition, ULONG64 Offset, PVOID Buffer, ULONG64 ByteCount) {
  if (ByteCount > 0xFFFFFFFF || Offset > Partition->Length || ByteCount > Partition->Length - Offset ||
      Partition->Offset + Offset < Partition->Offset)
    return STATUS_INVALID_PARAMETER;
  NTSTATUS Status = ReadDisk(Partition->Vcb, Buffer, Partition->Offset + Offset, (ULONG)ByteCount);
  if (!NT_SUCCESS(Status)) Partition->LastError = Status;
  return Status;
}

// Reads ByteCount bytes at any device offset into any buffer, through a bounce buffer of
// whole sectors: a partial head sector, a partial tail sector, then the middle in chunks.
NTSTATUS ReadDisk(PVCB Vcb, PVOID Buffer, ULONG64 Offset, ULONG ByteCount) {
  const ULONG S = Vcb->SectorSize;
  auto* To = (PUCHAR)Buffer;
  ULONG BounceSize = BounceSizeFor(S);
  PUCHAR Bounce = AllocateBounce(BounceSize);
  NTSTATUS Status = STATUS_SUCCESS;

  ULONG Position = (ULONG)(Offset % S);
  if (Position != 0) {
    ULONG Count = Smaller(ByteCount, S - Position);
    Status = ReadThroughBounce(Vcb, Bounce, Offset - Position, S, Position, To, Count);
    Offset += Count;
    To += Count;
    ByteCount -= Count;
  }
  if (NT_SUCCESS(Status) && ByteCount % S != 0) {
    ULONG Whole = ByteCount - ByteCount % S;
    Status = ReadThroughBounce(Vcb, Bounce, Offset + Whole, S, 0, To + Whole, ByteCount % S);
    ByteCount = Whole;
  }
  if (NT_SUCCESS(Status) && ByteCount != 0) {
    ULONG Chunk = PAGE_SIZE % S == 0 ? PAGE_SIZE : S;
    if (Chunk > BounceSize) {
      ExFreePoolWithTag(Bounce, TAG_BOUNCE);
      BounceSize = BounceSizeFor(Chunk);
      Bounce = AllocateBounce(BounceSize);
    }
    while (NT_SUCCESS(Status) && ByteCount != 0) {
      ULONG Count = Smaller(ByteCount, Chunk);
      Status = ReadThroughBounce(Vcb, Bounce, Offset, Count, 0, To, Count);
      Offset += Count;
      To += Count;
      ByteCount -= Count;
    }
  }
  ExFreePoolWithTag(Bounce, TAG_BOUNCE);
  return Status;
}

// Reads whole sectors at Offset of the target device into a non-paged Buffer and waits.
// The volume's own verify reads pass a device that asks for verification.
NTSTATUS ReadSectorsSync(PVCB Vcb, PVOID Buffer, ULONG64 Offset, ULONG ByteCount) {
  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK Iosb{};
  LARGE_INTEGER Start;
  Start.QuadPart = (LONGLONG)Offset;
  PIRP Irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, Vcb->TargetDevice, Buffer, ByteCount, &Start, &Done, &Iosb);
  if (Irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (Vcb->VerifyThread == KeGetCurrentThread())
    SetFlag(IoGetNextIrpStackLocation(Irp)->Flags, SL_OVERRIDE_VERIFY_VOLUME);
  NTSTATUS Status = IoCallDriver(Vcb->TargetDevice, Irp);
  if (Status == STATUS_PENDING) {
    KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
    Status = Iosb.Status;
  }
  return Status;
}

// ---- Device controls -----------------------------------------------------------------------------

// Sends a device control to Device and waits for its answer.
NTSTATUS SendDeviceIoControl(ULONG IoControlCode, PDEVICE_OBJECT Device, PVOID InputBuffer, ULONG InputLength,
                             PVOID OutputBuffer, ULONG OutputLength, BOOLEAN OverrideVerify,
                             PIO_STATUS_BLOCK IoStatus) {
  IO_STATUS_BLOCK LocalStatus;
  if (IoStatus == nullptr) IoStatus = &LocalStatus;
  RtlZeroMemory(IoStatus, sizeof(IO_STATUS_BLOCK));
  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  PIRP Irp = IoBuildDeviceIoControlRequest(IoControlCode, Device, InputBuffer, InputLength, OutputBuffer,
                                           OutputLength, FALSE, &Done, IoStatus);
  if (Irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (OverrideVerify) SetFlag(IoGetNextIrpStackLocation(Irp)->Flags, SL_OVERRIDE_VERIFY_VOLUME);
  NTSTATUS Status = IoCallDriver(Device, Irp);
  if (Status == STATUS_PENDING) {
    KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
    Status = IoStatus->Status;
  }
  return Status;
}

// Whether Device holds a data disc: one track, a data track; a drive that cannot tell
// its table of contents is taken for one.
BOOLEAN IsDataCdRom(PDEVICE_OBJECT Device) {
  auto* Toc = (CDROM_TOC*)ExAllocatePoolWithTag(PagedPool | POOL_RAISE_IF_ALLOCATION_FAILURE, sizeof(CDROM_TOC), TAG_BOUNCE);
  RtlZeroMemory(Toc, sizeof(CDROM_TOC));
  IO_STATUS_BLOCK IoStatus;
  NTSTATUS Status = SendDeviceIoControl(IOCTL_CDROM_READ_TOC, Device, nullptr, 0, Toc, sizeof(CDROM_TOC), TRUE, &IoStatus);
  BOOLEAN Data;
  if (Status == STATUS_INVALID_DEVICE_REQUEST || Status == STATUS_IO_DEVICE_ERROR) {
    Data = TRUE;
  } else {
    // A table that names more tracks than it returned is not believed.
    ULONG Needed = Toc->LastTrack >= Toc->FirstTrack ? (ULONG)(Toc->LastTrack - Toc->FirstTrack) * 8 + 20 : 0xFFFFFFFF;
    Data = NT_SUCCESS(Status) && IoStatus.Information >= Needed && Toc->FirstTrack == Toc->LastTrack &&
           FlagOn(Toc->TrackData[0].Control, 4);
  }
  ExFreePoolWithTag(Toc, TAG_BOUNCE);
  return Data;
}

// ---- File data ------------------------------------------------------------------------------------

// Finds by binary search the last run that starts at or before FileOffset. A range
// beyond the last run (a read rounded up to whole sectors past the file's end) reads as
// a hole to the end of the request.
void LookupRun(PFCB Fcb, ULONG64 FileOffset, ULONG ByteCount, ULONG64* DiskOffset, PULONG Length) {
  PFILE_RUN Runs = Fcb->File.Runs;
  ULONG Low = 0, High = Fcb->File.RunCount;
  while (Low < High) {
    ULONG Middle = Low + (High - Low) / 2;
    if (Runs[Middle].FileOffset <= FileOffset) Low = Middle + 1;
    else High = Middle;
  }
  *DiskOffset = 0;
  *Length = ByteCount;
  if (Low == 0) return;
  const FILE_RUN& Run = Runs[Low - 1];
  ULONG64 Into = FileOffset - Run.FileOffset;
  if (Into >= Run.Length) return;
  if (Run.DiskOffset != 0) *DiskOffset = Run.DiskOffset + Into;
  if (Run.Length - Into < ByteCount) *Length = (ULONG)(Run.Length - Into);
}
