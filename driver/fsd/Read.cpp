// Read: cached reads through the cache manager, non-cached and paging reads through the
// disk I/O layer, MDL reads and their completion, raw reads of the volume, reads moved to
// the stack-overflow thread, and the acquire and release callbacks through which the
// cache and memory managers synchronise with readers.
#include "QdrlProcs.h"

#define BugCheckFileId QDRL_BUG_CHECK_READ

namespace {

// Below this much kernel stack a read moves to the stack-overflow thread.
constexpr ULONG_PTR OverflowReadThreshold = 4096;
constexpr ULONG ReadAheadGranularity = 0x10000;

ULONG_PTR RemainingStack() {
  ULONG_PTR Low;
  ULONG_PTR High;
  IoGetStackLimits(&Low, &High);
  auto Here = (ULONG_PTR)__builtin_frame_address(0);
  return Here > Low ? Here - Low : 0;
}

// The bytes a raw read of the volume may reach: the container's extent.
ULONG64 ContainerBytes(PVCB Vcb) { return (ULONG64)Vcb->Container->blockSize * ContainerBlockCount(Vcb->Container); }

// What one read knows about itself, from the IRP and its handle.
struct READ_REQUEST {
  PIRP Irp;
  PFILE_OBJECT FileObject;
  PCCB Ccb;
  PVCB Vcb;
  PFCB Fcb;  // null for volume and stream opens
  BOOLEAN Wait;
  BOOLEAN PagingIo;
  BOOLEAN NonCached;
  BOOLEAN SynchronousFile;
  ULONG64 StartingByte;
  ULONG ByteCount;
  // The resource this request holds on the Fcb, released when it finishes unless an
  // asynchronous transfer took it over.
  PERESOURCE Held;
};

READ_REQUEST DescribeRead(PIRP_CONTEXT IrpContext, PIRP Irp) {
  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
  READ_REQUEST Read{};
  Read.Irp = Irp;
  Read.FileObject = IrpSp->FileObject;
  Read.Ccb = DecodeCcb(Read.FileObject, BugCheckFileId, __LINE__);
  Read.Wait = BooleanFlagOn(IrpContext->Flags, IRPCTX_WAIT);
  Read.PagingIo = BooleanFlagOn(Irp->Flags, IRP_PAGING_IO);
  Read.SynchronousFile = BooleanFlagOn(Read.FileObject->Flags, FO_SYNCHRONOUS_IO);
  Read.StartingByte = (ULONG64)IrpSp->Parameters.Read.ByteOffset.QuadPart;
  Read.ByteCount = IrpSp->Parameters.Read.Length;
  if (Read.Ccb->OpenKind == VolumeOpen || Read.Ccb->OpenKind == StreamOpen) {
    Read.Vcb = (PVCB)Read.Ccb->Target;
    // Nothing sets up caching on the volume or its stream file object: both read raw.
    Read.NonCached = TRUE;
  } else {
    Read.Fcb = (PFCB)Read.Ccb->Target;
    Read.Vcb = Read.Fcb->Vcb;
    Read.NonCached = BooleanFlagOn(Irp->Flags, IRP_NOCACHE);
  }
  return Read;
}

// Gives a non-cached read its transfer context: on the stack (StackContext) when it
// waits, else from pool, recording what the completion routine needs.
void PrepareIoContext(PIRP_CONTEXT IrpContext, const READ_REQUEST& Read, PIO_CONTEXT StackContext) {
  PIO_CONTEXT Pooled = FlagOn(IrpContext->Flags, IRPCTX_STACK_IO_CONTEXT) ? nullptr : IrpContext->IoContext;
  if (Read.Wait) {
    // A request posted after an attempt that could not wait comes back with the pool
    // context of that attempt: nothing else would free it.
    if (Pooled != nullptr) ExFreePoolWithTag(Pooled, TAG_IO_CONTEXT);
    RtlZeroMemory(StackContext, sizeof(IO_CONTEXT));
    KeInitializeEvent(&StackContext->SyncEvent, NotificationEvent, FALSE);
    IrpContext->IoContext = StackContext;
    SetFlag(IrpContext->Flags, IRPCTX_STACK_IO_CONTEXT);
    return;
  }
  if (Pooled == nullptr)
    Pooled = (PIO_CONTEXT)ExAllocatePoolWithTag(NonPagedPoolNx | POOL_RAISE_IF_ALLOCATION_FAILURE, sizeof(IO_CONTEXT),
                                                TAG_IO_CONTEXT);
  RtlZeroMemory(Pooled, sizeof(IO_CONTEXT));
  Pooled->Async.ResourceThreadId =
      Read.PagingIo ? ExGetCurrentResourceThread() : ((ERESOURCE_THREAD)Pooled | 3);
  Pooled->Async.RequestedByteCount = Read.ByteCount;
  Pooled->Async.FileObject = Read.FileObject;
  IrpContext->IoContext = Pooled;
}

// The transfer went on asynchronously: its context and the resource it carries belong
// to the completion routine now, and the IrpContext goes.
NTSTATUS LeavePending(PIRP_CONTEXT IrpContext, READ_REQUEST& Read) {
  Read.Held = nullptr;
  IrpContext->IoContext = nullptr;
  FreeIrpContext(IrpContext);
  return STATUS_PENDING;
}

// An error a lower driver left in the IRP is raised normalised; the request completes
// with the device's own status.
void RaiseIrpError(PIRP_CONTEXT IrpContext, PIRP Irp) {
  if (!NT_SUCCESS(Irp->IoStatus.Status)) RaiseStatusNormalized(IrpContext, Irp->IoStatus.Status);
}

void AdvanceFilePointer(const READ_REQUEST& Read, NTSTATUS Status) {
  if (!Read.SynchronousFile || Read.PagingIo) return;
  ULONG_PTR Moved = NT_ERROR(Status) ? 0 : Read.Irp->IoStatus.Information;
  Read.FileObject->CurrentByteOffset.QuadPart = (LONGLONG)(Read.StartingByte + Moved);
}

// A raw read of the volume's device, for volume handles and the stream file object.
NTSTATUS ReadVolume(PIRP_CONTEXT IrpContext, READ_REQUEST& Read) {
  PIRP Irp = Read.Irp;
  if (Read.Ccb->OpenKind == VolumeOpen) {
    if (!FlagOn(Read.Ccb->Flags, CCB_DISMOUNTED_BY_HANDLE)) CheckVcbUsable(IrpContext, Read.Vcb);
    if (!FlagOn(Read.Ccb->Flags, CCB_ALLOW_EXTENDED_DASD)) {
      ULONG64 End = ContainerBytes(Read.Vcb);
      if (Read.StartingByte >= End) {
        Irp->IoStatus.Information = 0;
        CompleteRequest(IrpContext, Irp, STATUS_END_OF_FILE);
        return STATUS_END_OF_FILE;
      }
      if (End - Read.StartingByte < Read.ByteCount) Read.ByteCount = (ULONG)(End - Read.StartingByte);
      if (!Read.Wait) IrpContext->IoContext->Async.RequestedByteCount = Read.ByteCount;
    }
  }
  LockUserBuffer(IrpContext, Irp, IoWriteAccess, Read.ByteCount);
  ReadRunAsync(IrpContext, Read.Vcb, Read.StartingByte, Read.ByteCount, Irp, FALSE);
  if (!Read.Wait) return LeavePending(IrpContext, Read);
  WaitForIo(IrpContext);
  RaiseIrpError(IrpContext, Irp);
  NTSTATUS Status = Irp->IoStatus.Status;
  AdvanceFilePointer(Read, Status);
  CompleteRequest(IrpContext, Irp, Status);
  return Status;
}

// A non-cached read from a user must not miss data the cache holds: any cached data is
// written back first (there is none dirty on this read-only volume, but the rule is the
// cache's to keep). Returns the flush's status.
NTSTATUS FlushBeforeNonCachedRead(PIRP_CONTEXT IrpContext, const READ_REQUEST& Read, BOOLEAN PosterHoldsFcb,
                                  BOOLEAN* Posted) {
  PFCB Fcb = Read.Fcb;
  PSECTION_OBJECT_POINTERS Section = &Fcb->NonPaged->SectionObjectPointers;
  IO_STATUS_BLOCK Flush{};
  Flush.Status = STATUS_SUCCESS;
  // In the stack-overflow thread the poster holds the Fcb shared for this request and
  // waits for it: taking it exclusive here would wait for ever.
  // (Nor the paging resource, when the Fcb shares its main resource for paging.)
  if (!PosterHoldsFcb && !AcquireFcbExclusive(IrpContext, Fcb)) {
    *Posted = TRUE;
    return STATUS_SUCCESS;
  }
  PERESOURCE Paging = PosterHoldsFcb && Fcb->Header.PagingIoResource == Fcb->Header.Resource
                          ? nullptr
                          : Fcb->Header.PagingIoResource;
  if (Paging != nullptr) ExAcquireResourceExclusiveLite(Paging, TRUE);
  LARGE_INTEGER Start;
  Start.QuadPart = (LONGLONG)Read.StartingByte;
  CcFlushCache(Section, &Start, Read.ByteCount, &Flush);
  if (Paging != nullptr) ExReleaseResourceLite(Paging);
  if (!PosterHoldsFcb) ExReleaseResourceLite(Fcb->Header.Resource);
  return Flush.Status;
}

// Takes the Fcb's resource the read needs (step of locking), unless the stack-overflow
// poster holds it for this request already. FALSE when it cannot be had without waiting.
BOOLEAN AcquireForRead(PIRP_CONTEXT IrpContext, READ_REQUEST& Read, BOOLEAN PosterHolds) {
  PFCB Fcb = Read.Fcb;
  if (PosterHolds) return TRUE;
  PIO_CONTEXT IoContext = Read.Wait ? nullptr : IrpContext->IoContext;
  if (Read.PagingIo) {
    if (!ExAcquireResourceSharedLite(Fcb->Header.PagingIoResource, Read.Wait)) return FALSE;
    Read.Held = Fcb->Header.PagingIoResource;
  } else if (!Read.Wait && Read.NonCached) {
    if (!AcquireFcbSharedStarveExclusive(IrpContext, Fcb)) return FALSE;
    Read.Held = Fcb->Header.Resource;
  } else {
    if (!AcquireFcbShared(IrpContext, Fcb)) return FALSE;
    Read.Held = Fcb->Header.Resource;
  }
  if (IoContext != nullptr) IoContext->Async.Resource = Read.Held;
  return TRUE;
}

// The checks of a user's read: oplocks (which may take the IRP), fast-I/O state and
// byte-range locks. Returns STATUS_SUCCESS to go on, else the status to end with; *Taken
// when the oplock package owns the IRP now.
NTSTATUS CheckUserRead(PIRP_CONTEXT IrpContext, const READ_REQUEST& Read, BOOLEAN* Taken) {
  PFCB Fcb = Read.Fcb;
  NTSTATUS Status = FsRtlCheckOplock(&Fcb->Header.Oplock, Read.Irp, IrpContext, OplockPostComplete, PrepareToPost);
  if (Status != STATUS_SUCCESS) {
    *Taken = TRUE;
    return Status;
  }
  BOOLEAN Possible = Fcb->Condition == FcbGood && FlagOn(Fcb->State, FCB_FILE) &&
                     FsRtlOplockIsFastIoPossible(&Fcb->Header.Oplock);
  Fcb->Header.IsFastIoPossible = (UCHAR)(Possible ? FastIoIsQuestionable : FastIoIsNotPossible);
  if (!FsRtlCheckLockForReadAccess(&Fcb->File.FileLock, Read.Irp)) return STATUS_FILE_LOCK_CONFLICT;
  return STATUS_SUCCESS;
}

// A non-cached or paging read of file data through the disk I/O layer. *Pending when
// the transfer finishes asynchronously, *Posted when the request must go to a worker.
NTSTATUS ReadFileNonCached(PIRP_CONTEXT IrpContext, READ_REQUEST& Read, BOOLEAN* Pending, BOOLEAN* Posted) {
  PIRP Irp = Read.Irp;
  const ULONG SectorSize = Read.Vcb->SectorSize;
  ULONG RoundedCount = (Read.ByteCount + SectorSize - 1) & ~(SectorSize - 1);
  NTSTATUS Status;
  if (Read.StartingByte % SectorSize == 0 && RoundedCount <= IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length) {
    Status = ReadNonCached(IrpContext, Irp, Read.Fcb, Read.StartingByte, RoundedCount, Read.ByteCount);
    if (Status == STATUS_PENDING) {
      *Pending = TRUE;
      return Status;
    }
  } else if (Read.Wait) {
    Status = ReadNonCachedUnaligned(IrpContext, Irp, Read.Fcb, Read.StartingByte, Read.ByteCount);
  } else {
    *Posted = TRUE;
    return STATUS_PENDING;
  }
  RaiseIrpError(IrpContext, Irp);
  Irp->IoStatus.Information = Read.ByteCount;
  return Irp->IoStatus.Status;
}

// A read through the cache; the first on a file object sets up its caching.
NTSTATUS ReadFileCached(PIRP_CONTEXT IrpContext, const READ_REQUEST& Read, BOOLEAN* Posted) {
  PFCB Fcb = Read.Fcb;
  PIRP Irp = Read.Irp;
  PFILE_OBJECT FileObject = Read.FileObject;
  if (FileObject->PrivateCacheMap == nullptr) {
    if (Fcb->Header.AllocationSize.QuadPart < Fcb->Header.FileSize.QuadPart) {
      PopUpFileCorrupt(IrpContext, Fcb);
      RaiseStatus(IrpContext, STATUS_FILE_CORRUPT_ERROR);
    }
    CcInitializeCacheMap(FileObject, (PCC_FILE_SIZES)&Fcb->Header.AllocationSize, FALSE, &GlobalData.CacheCallbacks,
                         Fcb);
    CcSetReadAheadGranularity(FileObject, ReadAheadGranularity);
  }
  LARGE_INTEGER Start;
  Start.QuadPart = (LONGLONG)Read.StartingByte;
  if (FlagOn(IrpContext->MinorFunction, IRP_MN_MDL)) {
    CcMdlRead(FileObject, &Start, Read.ByteCount, &Irp->MdlAddress, &Irp->IoStatus);
    return Irp->IoStatus.Status;
  }
  PVOID Buffer = MapUserBuffer(IrpContext, Irp);
  if (!CcCopyReadEx(FileObject, &Start, Read.ByteCount, Read.Wait, Buffer, &Irp->IoStatus, Irp->Tail.Overlay.Thread)) {
    *Posted = TRUE;
    return STATUS_PENDING;
  }
  return Irp->IoStatus.Status;
}

// A read of a file's data. PosterHolds: run in the stack-overflow thread for a poster
// that holds the Fcb's resource for it.
NTSTATUS ReadFile(PIRP_CONTEXT IrpContext, READ_REQUEST& Read, BOOLEAN PosterHolds) {
  PFCB Fcb = Read.Fcb;
  PIRP Irp = Read.Irp;
  NTSTATUS Status = STATUS_SUCCESS;
  BOOLEAN Posted = FALSE;
  BOOLEAN Pending = FALSE;

  SEH_FINALLY {
    if (Read.Held != nullptr) ExReleaseResourceLite(Read.Held);
  };

  // Data a user reads around the cache must be on the disk first. Only this branch takes
  // the Fcb exclusive.
  if (!Read.PagingIo && Read.NonCached && Fcb->NonPaged->SectionObjectPointers.DataSectionObject != nullptr) {
    Status = FlushBeforeNonCachedRead(IrpContext, Read, PosterHolds, &Posted);
    if (Posted) return PostRequest(IrpContext, Irp);
    if (!NT_SUCCESS(Status)) {
      CompleteRequest(IrpContext, Irp, Status);
      return Status;
    }
  }
  if (!AcquireForRead(IrpContext, Read, PosterHolds)) return PostRequest(IrpContext, Irp);
  CheckFcbUsable(IrpContext, Fcb);

  if (!Read.PagingIo) {
    BOOLEAN Taken = FALSE;
    Status = CheckUserRead(IrpContext, Read, &Taken);
    if (Taken) return Status;
    if (Status != STATUS_SUCCESS) {
      CompleteRequest(IrpContext, Irp, Status);
      return Status;
    }
  }

  ULONG64 FileSize = (ULONG64)Fcb->Header.FileSize.QuadPart;
  if (Read.StartingByte >= FileSize) {
    Irp->IoStatus.Information = 0;
    CompleteRequest(IrpContext, Irp, STATUS_END_OF_FILE);
    return STATUS_END_OF_FILE;
  }
  if (FileSize - Read.StartingByte < Read.ByteCount) {
    Read.ByteCount = (ULONG)(FileSize - Read.StartingByte);
    if (!Read.Wait && Read.NonCached) IrpContext->IoContext->Async.RequestedByteCount = Read.ByteCount;
  }

  if (Read.NonCached || Read.PagingIo)
    Status = ReadFileNonCached(IrpContext, Read, &Pending, &Posted);
  else
    Status = ReadFileCached(IrpContext, Read, &Posted);
  if (Pending) return LeavePending(IrpContext, Read);
  if (Posted) {
    if (Read.Held != nullptr) ExReleaseResourceLite(Read.Held);
    Read.Held = nullptr;
    return PostRequest(IrpContext, Irp);
  }

  AdvanceFilePointer(Read, Status);
  if (!Read.PagingIo && !NT_ERROR(Status)) SetFlag(Read.FileObject->Flags, FO_FILE_FAST_IO_READ);
  if (Read.Held != nullptr) ExReleaseResourceLite(Read.Held);
  Read.Held = nullptr;
  CompleteRequest(IrpContext, Irp, Status);
  return Status;
}

// Runs in the stack-overflow thread with a fresh stack: the read its poster waits for.
void StackOverflowRead(PVOID Context, PKEVENT Event) {
  auto* IrpContext = (PIRP_CONTEXT)Context;
  PIRP Irp = IrpContext->Irp;
  PVCB Vcb = IrpContext->Vcb;
  SetFlag(IrpContext->Flags, IRPCTX_WAIT);
  PKTHREAD SavedVerifyThread = nullptr;
  BOOLEAN Verifying = BooleanFlagOn(IrpContext->Flags, IRPCTX_VERIFY_READ) && Vcb != nullptr;
  if (Verifying) {
    SavedVerifyThread = Vcb->VerifyThread;
    Vcb->VerifyThread = KeGetCurrentThread();
  }
  FsRtlEnterFileSystem();
  SEH_TRY {
    CommonRead(IrpContext, Irp);
  } SEH_EXCEPT (ExceptionFilter(IrpContext, SEH_EXCEPTION_POINTERS())) {
    NTSTATUS Code = SEH_EXCEPTION_CODE();
    if (Code == STATUS_FILE_DELETED) {
      Code = STATUS_END_OF_FILE;
      Irp->IoStatus.Information = 0;
    }
    ProcessException(IrpContext, Irp, Code);
  } SEH_END;
  FsRtlExitFileSystem();
  if (Verifying) Vcb->VerifyThread = SavedVerifyThread;
  KeSetEvent(Event, 0, FALSE);
}

}  // namespace

NTSTATUS CompleteMdl(PIRP_CONTEXT IrpContext, PIRP Irp) {
  PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  switch (IrpContext->MajorFunction) {
    case IRP_MJ_READ:
      CcMdlReadComplete(FileObject, Irp->MdlAddress);
      break;
    case IRP_MJ_WRITE:
      CcMdlWriteComplete(FileObject, &IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.ByteOffset,
                         Irp->MdlAddress);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      QdrlBugCheck(IrpContext->MajorFunction, 0, 0);
  }
  Irp->MdlAddress = nullptr;
  CompleteRequest(IrpContext, Irp, STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

NTSTATUS FsdRead(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  // A range wholly in a hole, sent here by the disk I/O layer after zeroing the buffer.
  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
  if (IrpSp->CompletionRoutine == RunSyncComplete || IrpSp->CompletionRoutine == RunAsyncComplete) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = IrpSp->Parameters.Read.Length;
    IoCompleteRequest(Irp, IO_DISK_INCREMENT);
    return STATUS_SUCCESS;
  }

  NTSTATUS Status;
  PIRP_CONTEXT IrpContext = nullptr;
  FsRtlEnterFileSystem();
  PVOID Target = nullptr;
  if (!IsControlDevice(VolumeDeviceObject) && IrpSp->FileObject != nullptr && IrpSp->FileObject->FsContext2 != nullptr)
    Target = ((PCCB)IrpSp->FileObject->FsContext2)->Target;
  BOOLEAN TopLevel = SetTopLevelIfNone(Irp);

  SEH_TRY {
    IrpContext = AllocateIrpContext(Irp, IoIsOperationSynchronous(Irp));
    if (FlagOn(IrpSp->MinorFunction, IRP_MN_COMPLETE))
      Status = CompleteMdl(IrpContext, Irp);
    else if (RemainingStack() < OverflowReadThreshold)
      Status = PostStackOverflowRead(IrpContext, Irp, Target);
    else
      Status = CommonRead(IrpContext, Irp);
  } SEH_EXCEPT (ExceptionFilter(IrpContext, SEH_EXCEPTION_POINTERS())) {
    Status = ProcessException(IrpContext, Irp, SEH_EXCEPTION_CODE());
  } SEH_END;

  if (TopLevel) IoSetTopLevelIrp(nullptr);
  FsRtlExitFileSystem();
  return Status;
}

// Hands the read to the stack-overflow thread and waits for it, holding meanwhile the
// Fcb's resource the read needs (the paging resource for paging I/O); the read itself
// does not take it again.
NTSTATUS PostStackOverflowRead(PIRP_CONTEXT IrpContext, PIRP Irp, PVOID FcbOrVcb) {
  KEVENT Event;
  KeInitializeEvent(&Event, NotificationEvent, FALSE);
  PERESOURCE Resource = nullptr;
  auto* Fcb = (PFCB)FcbOrVcb;
  if (NodeType(FcbOrVcb) == NODE_TYPE_FCB) {
    Resource = FlagOn(Irp->Flags, IRP_PAGING_IO) && Fcb->Header.PagingIoResource != nullptr
                   ? Fcb->Header.PagingIoResource
                   : Fcb->Header.Resource;
    ExAcquireResourceSharedLite(Resource, TRUE);
    SetFlag(IrpContext->Flags, IRPCTX_STACK_OVERFLOW);
  }
  SEH_FINALLY {
    if (Resource != nullptr) ExReleaseResourceLite(Resource);
  };
  PrepareToPost(IrpContext, Irp);
  PVCB Vcb = IrpContext->Vcb;
  if (Vcb != nullptr && Vcb->VerifyThread == KeGetCurrentThread()) SetFlag(IrpContext->Flags, IRPCTX_VERIFY_READ);
  FsRtlPostStackOverflow(IrpContext, &Event, StackOverflowRead);
  KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, nullptr);
  return STATUS_PENDING;
}

NTSTATUS CommonRead(PIRP_CONTEXT IrpContext, PIRP Irp) {
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length == 0) {
    Irp->IoStatus.Information = 0;
    CompleteRequest(IrpContext, Irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  }
  if (DecodeCcb(IoGetCurrentIrpStackLocation(Irp)->FileObject, BugCheckFileId, __LINE__)->OpenKind == DirectoryOpen) {
    CompleteRequest(IrpContext, Irp, STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  READ_REQUEST Read = DescribeRead(IrpContext, Irp);
  IO_CONTEXT StackContext;
  if (Read.NonCached) PrepareIoContext(IrpContext, Read, &StackContext);
  if (Read.Fcb == nullptr) return ReadVolume(IrpContext, Read);
  return ReadFile(IrpContext, Read, BooleanFlagOn(IrpContext->Flags, IRPCTX_STACK_OVERFLOW));
}

// ---- Cache manager callbacks ------------------------------------------------------------------

BOOLEAN AcquireForLazyWrite(PVOID Context, BOOLEAN Wait) {
  auto* Fcb = (PFCB)Context;
  if (!ExAcquireResourceSharedLite(Fcb->Header.PagingIoResource, Wait)) return FALSE;
  IoSetTopLevelIrp(FSRTL_CACHE_TOP_LEVEL_IRP);
  return TRUE;
}

void ReleaseFromLazyWrite(PVOID Context) {
  auto* Fcb = (PFCB)Context;
  ExReleaseResourceLite(Fcb->Header.PagingIoResource);
  IoSetTopLevelIrp(nullptr);
}

BOOLEAN AcquireForReadAhead(PVOID Context, BOOLEAN Wait) {
  auto* Fcb = (PFCB)Context;
  if (!ExAcquireResourceSharedLite(Fcb->Header.Resource, Wait)) return FALSE;
  IoSetTopLevelIrp(FSRTL_CACHE_TOP_LEVEL_IRP);
  return TRUE;
}

void ReleaseFromReadAhead(PVOID Context) {
  auto* Fcb = (PFCB)Context;
  IoSetTopLevelIrp(nullptr);
  ExReleaseResourceLite(Fcb->Header.Resource);
}

NTSTATUS AcquireForCcFlush(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject) {
  UNREFERENCED_PARAMETER(DeviceObject);
  if (IoGetTopLevelIrp() == nullptr) IoSetTopLevelIrp(FSRTL_CACHE_TOP_LEVEL_IRP);
  auto* Header = (PFSRTL_ADVANCED_FCB_HEADER)FileObject->FsContext;
  if (Header->Resource != nullptr) {
    // A thread holding it shared cannot take it exclusive without waiting on itself.
    if (ExIsResourceAcquiredSharedLite(Header->Resource))
      ExAcquireResourceSharedLite(Header->Resource, TRUE);
    else
      ExAcquireResourceExclusiveLite(Header->Resource, TRUE);
  }
  if (Header->PagingIoResource != nullptr) ExAcquireResourceSharedLite(Header->PagingIoResource, TRUE);
  return STATUS_SUCCESS;
}

NTSTATUS ReleaseForCcFlush(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject) {
  UNREFERENCED_PARAMETER(DeviceObject);
  if (IoGetTopLevelIrp() == FSRTL_CACHE_TOP_LEVEL_IRP) IoSetTopLevelIrp(nullptr);
  auto* Header = (PFSRTL_ADVANCED_FCB_HEADER)FileObject->FsContext;
  if (Header->Resource != nullptr) ExReleaseResourceLite(Header->Resource);
  if (Header->PagingIoResource != nullptr) ExReleaseResourceLite(Header->PagingIoResource);
  return STATUS_SUCCESS;
}

NTSTATUS PreAcquireForSectionSync(PFS_FILTER_CALLBACK_DATA Data, PVOID* CompletionContext) {
  UNREFERENCED_PARAMETER(CompletionContext);
  PCCB Ccb = DecodeCcb(Data->FileObject, BugCheckFileId, __LINE__);
  auto* Fcb = (PFCB)Ccb->Target;
  if (Fcb->Header.Resource != nullptr) ExAcquireResourceExclusiveLite(Fcb->Header.Resource, TRUE);
  if (Data->Parameters.AcquireForSectionSynchronization.SyncType != SyncTypeCreateSection)
    return STATUS_FSFILTER_OP_COMPLETED_SUCCESSFULLY;
  return Fcb->ShareAccess.Writers != 0 ? STATUS_FILE_LOCKED_WITH_WRITERS : STATUS_FILE_LOCKED_WITH_ONLY_READERS;
}
