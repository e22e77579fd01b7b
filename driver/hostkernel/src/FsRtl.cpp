// The file-system run-time library's status helpers, fast-I/O entries and stack-overflow
// posting.
#include <thread>

#include "HostInternal.h"

BOOLEAN FsRtlIsNtstatusExpected(NTSTATUS Exception) {
  switch (Exception) {
    case STATUS_DATATYPE_MISALIGNMENT:
    case STATUS_ACCESS_VIOLATION:
    case STATUS_ILLEGAL_INSTRUCTION:
    case (NTSTATUS)0xC00000AA:  // STATUS_INSTRUCTION_MISALIGNMENT
      return FALSE;
    default:
      return TRUE;
  }
}

NTSTATUS FsRtlNormalizeNtstatus(NTSTATUS Exception, NTSTATUS GenericStatus) {
  return FsRtlIsNtstatusExpected(Exception) ? Exception : GenericStatus;
}

BOOLEAN FsRtlIsTotalDeviceFailure(NTSTATUS Status) {
  return !(NT_SUCCESS(Status) || Status == STATUS_CRC_ERROR || Status == STATUS_DEVICE_DATA_ERROR);
}

// Windows lets volume-dismount waiters go here; nothing waits on a dismount in the stand-in.
void FsRtlDismountComplete(PDEVICE_OBJECT DeviceObject, NTSTATUS Status) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Status);
}

// ---- Fast I/O through the cache ---------------------------------------------------------------

namespace {

PFSRTL_ADVANCED_FCB_HEADER HeaderOf(PFILE_OBJECT FileObject) { return (PFSRTL_ADVANCED_FCB_HEADER)FileObject->FsContext; }

// Whether the file system lets a fast read of the range go ahead: never when it said fast
// I/O is not possible, and only on its FastIoCheckIfPossible's word when questionable.
bool FastReadAllowed(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait, ULONG LockKey,
                     PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
  PFSRTL_ADVANCED_FCB_HEADER Header = HeaderOf(FileObject);
  if (Header->IsFastIoPossible == FastIoIsNotPossible) return false;
  if (Header->IsFastIoPossible == FastIoIsPossible) return true;
  PFAST_IO_DISPATCH FastIo = IoGetRelatedDeviceObject(FileObject)->DriverObject->FastIoDispatch;
  return FastIo != nullptr && FastIo->FastIoCheckIfPossible != nullptr &&
         FastIo->FastIoCheckIfPossible(FileObject, FileOffset, Length, Wait, LockKey, TRUE, IoStatus, DeviceObject);
}

// Runs Read, a cache-manager call, for a fast read of [*FileOffset, +Length) cut at the end
// of file: under the header's Resource shared, with the thread marked as in fast I/O. The
// answer is FALSE (the caller builds an IRP) when the resource cannot be had without
// waiting, the file system declines, the data would need a wait that is not allowed, or
// the cache manager raises.
template <typename ReadBody>
BOOLEAN FastRead(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait, ULONG LockKey,
                 PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject, ReadBody Read) {
  if (Length == 0) {
    IoStatus->Status = STATUS_SUCCESS;
    IoStatus->Information = 0;
    return TRUE;
  }
  if (FileObject->PrivateCacheMap == nullptr) return FALSE;
  PFSRTL_ADVANCED_FCB_HEADER Header = HeaderOf(FileObject);
  FsRtlEnterFileSystem();
  if (!ExAcquireResourceSharedLite(Header->Resource, Wait)) {
    FsRtlExitFileSystem();
    return FALSE;
  }
  BOOLEAN Served = FALSE;
  LONGLONG FileSize = Header->FileSize.QuadPart;
  if (FastReadAllowed(FileObject, FileOffset, Length, Wait, LockKey, IoStatus, DeviceObject)) {
    if (FileOffset->QuadPart >= FileSize) {
      IoStatus->Status = STATUS_END_OF_FILE;
      IoStatus->Information = 0;
      Served = TRUE;
    } else {
      if ((ULONG64)FileSize - (ULONG64)FileOffset->QuadPart < Length)
        Length = (ULONG)(FileSize - FileOffset->QuadPart);
      IoSetTopLevelIrp(FSRTL_FAST_IO_TOP_LEVEL_IRP);
      try {
        Served = Read(Length);
      } catch (const NtException&) {
        Served = FALSE;
      }
      IoSetTopLevelIrp(nullptr);
      if (Served && NT_SUCCESS(IoStatus->Status)) {
        FileObject->Flags |= FO_FILE_FAST_IO_READ;
        if (FileObject->Flags & FO_SYNCHRONOUS_IO)
          FileObject->CurrentByteOffset.QuadPart = FileOffset->QuadPart + (LONGLONG)IoStatus->Information;
      }
    }
  }
  ExReleaseResourceLite(Header->Resource);
  FsRtlExitFileSystem();
  return Served;
}

}  // namespace

BOOLEAN FsRtlCopyRead(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait,
                      ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
  return FastRead(FileObject, FileOffset, Length, Wait, LockKey, IoStatus, DeviceObject, [&](ULONG Count) {
    return CcCopyRead(FileObject, FileOffset, Count, Wait, Buffer, IoStatus);
  });
}

BOOLEAN FsRtlCopyWrite(PFILE_OBJECT, PLARGE_INTEGER, ULONG, BOOLEAN, ULONG, PVOID, PIO_STATUS_BLOCK,
                       PDEVICE_OBJECT) {
  return FALSE;
}

BOOLEAN FsRtlMdlReadDev(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, ULONG LockKey,
                        PMDL* MdlChain, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
  return FastRead(FileObject, FileOffset, Length, TRUE, LockKey, IoStatus, DeviceObject, [&](ULONG Count) {
    CcMdlRead(FileObject, FileOffset, Count, MdlChain, IoStatus);
    return (BOOLEAN)TRUE;
  });
}

BOOLEAN FsRtlMdlReadCompleteDev(PFILE_OBJECT FileObject, PMDL MdlChain, PDEVICE_OBJECT) {
  CcMdlReadComplete(FileObject, MdlChain);
  return TRUE;
}

BOOLEAN FsRtlPrepareMdlWriteDev(PFILE_OBJECT, PLARGE_INTEGER, ULONG, ULONG, PMDL*, PIO_STATUS_BLOCK,
                                PDEVICE_OBJECT) {
  return FALSE;
}
BOOLEAN FsRtlMdlWriteCompleteDev(PFILE_OBJECT, PLARGE_INTEGER, PMDL, PDEVICE_OBJECT) { return FALSE; }

void FsRtlTeardownPerStreamContexts(PFSRTL_ADVANCED_FCB_HEADER AdvancedHeader) {
  if (AdvancedHeader->FilterContexts.Flink == nullptr || !IsListEmpty(&AdvancedHeader->FilterContexts))
    hk::Violation("FsRtlTeardownPerStreamContexts on a header without set-up filter contexts");
}

void FsRtlNotifyInitializeSync(PNOTIFY_SYNC* NotifySync) {
  auto* Mutex = (PFAST_MUTEX)ExAllocatePoolWithTag(NonPagedPoolNx | POOL_RAISE_IF_ALLOCATION_FAILURE,
                                                   sizeof(FAST_MUTEX), PoolTag("FSNS"));
  ExInitializeFastMutex(Mutex);
  *NotifySync = Mutex;
}

void FsRtlNotifyUninitializeSync(PNOTIFY_SYNC* NotifySync) {
  if (*NotifySync != nullptr) ExFreePoolWithTag(*NotifySync, PoolTag("FSNS"));
  *NotifySync = nullptr;
}

// A device that reports sectors of 0 bytes has no sector size to give.
NTSTATUS FsRtlGetSectorSizeInformation(PDEVICE_OBJECT DeviceObject, PFILE_FS_SECTOR_SIZE_INFORMATION SectorSizeInfo) {
  DISK_GEOMETRY Geometry{};
  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK Iosb{};
  PIRP Irp = IoBuildDeviceIoControlRequest(IOCTL_DISK_GET_DRIVE_GEOMETRY, DeviceObject, nullptr, 0, &Geometry,
                                           sizeof(Geometry), FALSE, &Done, &Iosb);
  if (Irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS Status = IoCallDriver(DeviceObject, Irp);
  if (Status == STATUS_PENDING) {
    KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
    Status = Iosb.Status;
  }
  if (!NT_SUCCESS(Status)) return Status;
  if (Geometry.BytesPerSector == 0) return STATUS_INVALID_DEVICE_REQUEST;
  SectorSizeInfo->LogicalBytesPerSector = Geometry.BytesPerSector;
  SectorSizeInfo->PhysicalBytesPerSectorForAtomicity = Geometry.BytesPerSector;
  SectorSizeInfo->PhysicalBytesPerSectorForPerformance = Geometry.BytesPerSector;
  SectorSizeInfo->FileSystemEffectivePhysicalBytesPerSectorForAtomicity = Geometry.BytesPerSector;
  SectorSizeInfo->Flags = SSINFO_FLAGS_ALIGNED_DEVICE | SSINFO_FLAGS_PARTITION_ALIGNED_ON_DEVICE;
  SectorSizeInfo->ByteOffsetForSectorAlignment = 0;
  SectorSizeInfo->ByteOffsetForPartitionAlignment = 0;
  return STATUS_SUCCESS;
}

// Each posting gets its own system thread, so that a posted request that posts again (a
// paging read under a cached one) never waits for its own thread.
void FsRtlPostStackOverflow(PVOID Context, PKEVENT Event, PFSRTL_STACK_OVERFLOW_ROUTINE StackOverflowRoutine) {
  std::thread([=] {
    hk::BecomeSystemThread();
    hk::NoThrowBarrier([&] { StackOverflowRoutine(Context, Event); });
  }).detach();
}
