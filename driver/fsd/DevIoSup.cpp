// Non-cached reads of file data: the range is split along the Fcb's run map, each disk run
// goes to the target device as its own IRP straight into the caller's pages, holes are
// zero-filled in memory, and the transfer ends by an event or in a completion routine.
#include "QdrlProcs.h"

#define BugCheckFileId QDRL_BUG_CHECK_SUPPORT

namespace {

constexpr ULONG StackRuns = 5;

BOOLEAN Waits(PIRP_CONTEXT IrpContext) { return BooleanFlagOn(IrpContext->Flags, IRPCTX_WAIT); }

PUCHAR MdlAddressAt(PIRP Irp, ULONG Offset) { return (PUCHAR)MmGetMdlVirtualAddress(Irp->MdlAddress) + Offset; }

// A partial MDL over Length bytes at Offset of Irp's buffer; null when none can be had.
PMDL PartialMdl(PIRP Irp, ULONG Offset, ULONG Length, PIRP AttachTo) {
  PMDL Mdl = IoAllocateMdl(MdlAddressAt(Irp, Offset), Length, FALSE, FALSE, AttachTo);
  if (Mdl != nullptr) IoBuildPartialMdl(Irp->MdlAddress, Mdl, MdlAddressAt(Irp, Offset), Length);
  return Mdl;
}

// The bytes a request read beyond what its caller asked for (to reach whole sectors) are
// zeroed once the transfer succeeded; the MDL over them goes either way.
void FinishZeroMdl(PIO_CONTEXT IoContext, PIRP Master) {
  PMDL ZeroMdl = IoContext->ZeroMdl;
  if (ZeroMdl == nullptr) return;
  if (NT_SUCCESS(Master->IoStatus.Status))
    RtlZeroMemory(MmGetSystemAddressForMdlSafe(ZeroMdl, NormalPagePriority | MdlMappingNoExecute),
                  MmGetMdlByteCount(ZeroMdl));
  IoFreeMdl(ZeroMdl);
  IoContext->ZeroMdl = nullptr;
}

// The end of an asynchronous transfer: the caller's count and file-object flag on
// success, the resource handed over at the start released, the context freed. Returns
// TRUE when the request must be retried in a worker (a top-level request met a medium
// that needs verifying).
BOOLEAN FinishAsyncTransfer(PIO_CONTEXT IoContext, PIRP Master) {
  FinishZeroMdl(IoContext, Master);
  NTSTATUS Status = Master->IoStatus.Status;
  if (NT_SUCCESS(Status)) {
    Master->IoStatus.Information = IoContext->Async.RequestedByteCount;
    if (!FlagOn(Master->Flags, IRP_PAGING_IO) && IoContext->Async.FileObject != nullptr) {
      BOOLEAN Read = IoGetCurrentIrpStackLocation(Master)->MajorFunction == IRP_MJ_READ;
      SetFlag(IoContext->Async.FileObject->Flags, Read ? FO_FILE_FAST_IO_READ : FO_FILE_MODIFIED);
    }
  }
  BOOLEAN Retry = Status == STATUS_VERIFY_REQUIRED && !FlagOn(IoContext->Flags, IRPCTX_NOT_TOP_LEVEL);
  if (IoContext->Async.Resource != nullptr)
    ExReleaseResourceForThreadLite(IoContext->Async.Resource, IoContext->Async.ResourceThreadId);
  IoMarkIrpPending(Master);
  ExFreePoolWithTag(IoContext, TAG_IO_CONTEXT);
  return Retry;
}

// Posts Master to be run again from the start in a worker, where the verify logic meets it.
void PostRetry(PIRP Master) {
  PIRP_CONTEXT IrpContext = AllocateIrpContext(Master, TRUE);
  ClearFlag(IrpContext->Flags, IRPCTX_NOT_TOP_LEVEL);
  PostRequest(IrpContext, Master);
}

// An error of one run becomes the whole transfer's.
void NoteRunStatus(PIRP Associated, PIRP Master) {
  if (!NT_SUCCESS(Associated->IoStatus.Status)) Master->IoStatus = Associated->IoStatus;
}

void FreeAssociatedIrp(PIRP Associated) {
  if (Associated->MdlAddress != nullptr) IoFreeMdl(Associated->MdlAddress);
  Associated->MdlAddress = nullptr;
  IoFreeIrp(Associated);
}

// Fills the next stack location of Irp for a read of ByteCount bytes at DiskOffset,
// completed by Routine with the transfer's context.
void SetUpDiskRead(PIRP_CONTEXT IrpContext, PIRP Irp, ULONG64 DiskOffset, ULONG ByteCount,
                   PIO_COMPLETION_ROUTINE Routine) {
  PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
  Next->MajorFunction = IrpContext->MajorFunction;
  Next->Parameters.Read.Length = ByteCount;
  Next->Parameters.Read.ByteOffset.QuadPart = (LONGLONG)DiskOffset;
  if (FlagOn(IrpContext->Flags, IRPCTX_OVERRIDE_VERIFY)) SetFlag(Next->Flags, SL_OVERRIDE_VERIFY_VOLUME);
  IoSetCompletionRoutine(Irp, Routine, IrpContext->IoContext, TRUE, TRUE, TRUE);
}

// An asynchronous transfer hands the caller's resource to the completion routine, which
// releases it for the owner pointer recorded.
void HandOverResource(PIRP_CONTEXT IrpContext) {
  PIO_CONTEXT IoContext = IrpContext->IoContext;
  if (Waits(IrpContext) || IoContext->Async.Resource == nullptr) return;
  if ((IoContext->Async.ResourceThreadId & 3) == 3)
    ExSetResourceOwnerPointer(IoContext->Async.Resource, (PVOID)IoContext->Async.ResourceThreadId);
}

// The disk runs of [FileOffset, FileOffset + ByteCount); holes are zeroed in the
// caller's buffer on the way. Runs may be null to count only.
ULONG CollectRuns(PIRP_CONTEXT IrpContext, PIRP Irp, PFCB Fcb, ULONG64 FileOffset, ULONG ByteCount, PIO_RUN Runs,
                  BOOLEAN* Zeroed) {
  ULONG64 PartitionStart = Fcb->Vcb->Partition->Offset;
  ULONG Count = 0;
  PUCHAR Buffer = nullptr;
  for (ULONG Done = 0; Done < ByteCount;) {
    ULONG64 DiskOffset;
    ULONG Length;
    LookupRun(Fcb, FileOffset + Done, ByteCount - Done, &DiskOffset, &Length);
    if (DiskOffset == 0) {
      if (Runs != nullptr) {
        if (Buffer == nullptr) Buffer = (PUCHAR)MapUserBuffer(IrpContext, Irp);
        RtlZeroMemory(Buffer + Done, Length);
        *Zeroed = TRUE;
      }
    } else {
      if (Runs != nullptr) Runs[Count] = IO_RUN{PartitionStart + DiskOffset, FileOffset + Done, Done, Length, nullptr};
      Count++;
    }
    Done += Length;
  }
  return Count;
}

// Sends a range that spans several runs: the holes zeroed here, the disk runs as
// associated IRPs, or, when all of it was holes, the whole IRP to the volume device.
void ReadAlongRuns(PIRP_CONTEXT IrpContext, PIRP Irp, PFCB Fcb, ULONG64 FileOffset, ULONG ByteCount) {
  ULONG Count = CollectRuns(IrpContext, Irp, Fcb, FileOffset, ByteCount, nullptr, nullptr);
  IO_RUN OnStack[StackRuns];
  PIO_RUN Runs = OnStack;
  if (Count > StackRuns)
    Runs = (PIO_RUN)ExAllocatePoolWithTag(PagedPool | POOL_RAISE_IF_ALLOCATION_FAILURE, Count * sizeof(IO_RUN), TAG_IO_RUNS);
  SEH_FINALLY {
    if (Runs != OnStack) ExFreePoolWithTag(Runs, TAG_IO_RUNS);
  };
  BOOLEAN Zeroed = FALSE;
  CollectRuns(IrpContext, Irp, Fcb, FileOffset, ByteCount, Runs, &Zeroed);
  if (Zeroed) KeFlushIoBuffers(Irp->MdlAddress, TRUE, FALSE);
  if (Count == 0) {
    ReadRunAsync(IrpContext, Fcb->Vcb, 0, ByteCount, Irp, TRUE);
    return;
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = ByteCount;
  ReadRunsAsync(IrpContext, Fcb->Vcb, Irp, Count, Runs);
}

// Reads the sector of the file holding FileOffset into Bounce and copies Count bytes from
// the offset's place in it to To. A hole gives zeros.
NTSTATUS ReadPartialSector(PIRP_CONTEXT IrpContext, PIRP Irp, PFCB Fcb, ULONG64 FileOffset, PUCHAR Bounce, PUCHAR To,
                           ULONG Count) {
  PVCB Vcb = Fcb->Vcb;
  const ULONG S = Vcb->SectorSize;
  ULONG64 SectorStart = FileOffset - FileOffset % S;
  ULONG64 DiskOffset;
  ULONG Length;
  LookupRun(Fcb, SectorStart, S, &DiskOffset, &Length);
  if (DiskOffset == 0) {
    RtlZeroMemory(To, Count);
    return STATUS_SUCCESS;
  }
  ReadBlockSync(IrpContext, Vcb, Bounce, Vcb->Partition->Offset + DiskOffset, S, Irp);
  if (NT_SUCCESS(Irp->IoStatus.Status)) RtlCopyMemory(To, Bounce + FileOffset % S, Count);
  return Irp->IoStatus.Status;
}

}  // namespace

// The system address of Irp's buffer: its user buffer when it has no MDL, else the MDL's
// mapping.
PVOID MapUserBuffer(PIRP_CONTEXT IrpContext, PIRP Irp) {
  if (Irp->MdlAddress == nullptr) return Irp->UserBuffer;
  PVOID Address = MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority | MdlMappingNoExecute);
  if (Address == nullptr) RaiseStatus(IrpContext, STATUS_INSUFFICIENT_RESOURCES);
  return Address;
}

// Reads ByteCount (whole sectors) bytes of Fcb at FileOffset into Irp's buffer; the
// caller asked for UserByteCount of them, and the rest is zeroed after the transfer.
// Returns STATUS_PENDING for a request that does not wait, else the transfer's status.
NTSTATUS ReadNonCached(PIRP_CONTEXT IrpContext, PIRP Irp, PFCB Fcb, ULONG64 FileOffset, ULONG ByteCount,
                       ULONG UserByteCount) {
  PIO_CONTEXT IoContext = IrpContext->IoContext;
  SEH_TRY {
    LockUserBuffer(IrpContext, Irp, IoWriteAccess, ByteCount);
    if (UserByteCount < ByteCount) {
      IoContext->ZeroMdl = PartialMdl(Irp, UserByteCount, ByteCount - UserByteCount, nullptr);
      if (IoContext->ZeroMdl == nullptr ||
          MmGetSystemAddressForMdlSafe(IoContext->ZeroMdl, NormalPagePriority | MdlMappingNoExecute) == nullptr)
        RaiseStatus(IrpContext, STATUS_INSUFFICIENT_RESOURCES);
    }
    ULONG64 DiskOffset;
    ULONG Length;
    LookupRun(Fcb, FileOffset, ByteCount, &DiskOffset, &Length);
    if (Length < ByteCount) {
      ReadAlongRuns(IrpContext, Irp, Fcb, FileOffset, ByteCount);
    } else if (DiskOffset != 0) {
      ReadRunAsync(IrpContext, Fcb->Vcb, Fcb->Vcb->Partition->Offset + DiskOffset, ByteCount, Irp, FALSE);
    } else {
      RtlZeroMemory(MapUserBuffer(IrpContext, Irp), ByteCount);
      KeFlushIoBuffers(Irp->MdlAddress, TRUE, FALSE);
      ReadRunAsync(IrpContext, Fcb->Vcb, 0, ByteCount, Irp, TRUE);
    }
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    // Nothing was sent: the MDL over the tail is still this routine's.
    if (IoContext->ZeroMdl != nullptr) IoFreeMdl(IoContext->ZeroMdl);
    IoContext->ZeroMdl = nullptr;
    SEH_RETHROW();
  } SEH_END;
  if (!Waits(IrpContext)) return STATUS_PENDING;
  WaitForIo(IrpContext);
  return Irp->IoStatus.Status;
}

// Reads ByteCount bytes at FileOffset when either is not sector-aligned: the partial head
// and tail sectors through a bounce buffer, the whole sectors between straight into the
// caller's buffer. Only for requests that wait.
NTSTATUS ReadNonCachedUnaligned(PIRP_CONTEXT IrpContext, PIRP Irp, PFCB Fcb, ULONG64 FileOffset, ULONG ByteCount) {
  const ULONG S = Fcb->Vcb->SectorSize;
  LockUserBuffer(IrpContext, Irp, IoWriteAccess, ByteCount);
  auto* Buffer = (PUCHAR)MapUserBuffer(IrpContext, Irp);
  ULONG BounceSize = (S + PAGE_SIZE - 1) & ~(ULONG)(PAGE_SIZE - 1);
  auto* Bounce = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNxCacheAligned | POOL_RAISE_IF_ALLOCATION_FAILURE,
                                               BounceSize, TAG_BOUNCE);
  SEH_FINALLY {
    ExFreePoolWithTag(Bounce, TAG_BOUNCE);
  };
  Irp->IoStatus.Status = STATUS_SUCCESS;
  NTSTATUS Status = STATUS_SUCCESS;
  ULONG Done = 0;
  ULONG Remaining = ByteCount;
  if (FileOffset % S != 0) {
    ULONG Count = S - (ULONG)(FileOffset % S) < Remaining ? S - (ULONG)(FileOffset % S) : Remaining;
    Status = ReadPartialSector(IrpContext, Irp, Fcb, FileOffset, Bounce, Buffer, Count);
    Done = Count;
    Remaining -= Count;
  }
  if (NT_SUCCESS(Status) && Remaining % S != 0) {
    ULONG Whole = Remaining - Remaining % S;
    Status = ReadPartialSector(IrpContext, Irp, Fcb, FileOffset + Done + Whole, Bounce, Buffer + Done + Whole,
                               Remaining % S);
    Remaining = Whole;
  }
  if (NT_SUCCESS(Status) && Remaining != 0) {
    PMDL Saved = Irp->MdlAddress;
    PVOID SavedUserBuffer = Irp->UserBuffer;
    PMDL Middle = PartialMdl(Irp, Done, Remaining, nullptr);
    if (Middle == nullptr) RaiseStatus(IrpContext, STATUS_INSUFFICIENT_RESOURCES);
    Irp->MdlAddress = Middle;
    Irp->UserBuffer = MmGetMdlVirtualAddress(Middle);
    SEH_FINALLY {
      IoFreeMdl(Middle);
      Irp->MdlAddress = Saved;
      Irp->UserBuffer = SavedUserBuffer;
    };
    Status = ReadNonCached(IrpContext, Irp, Fcb, FileOffset + Done, Remaining, Remaining);
  }
  if (NT_SUCCESS(Status)) {
    Irp->IoStatus.Information = ByteCount;
    KeFlushIoBuffers(Irp->MdlAddress, TRUE, FALSE);
  }
  return Status;
}

// Sends each run of a multi-run transfer as an associated IRP of MasterIrp, all at once.
void ReadRunsAsync(PIRP_CONTEXT IrpContext, PVCB Vcb, PIRP MasterIrp, ULONG RunCount, PIO_RUN IoRuns) {
  PIO_CONTEXT IoContext = IrpContext->IoContext;
  if (Vcb->VerifyThread == KeGetCurrentThread()) SetFlag(IrpContext->Flags, IRPCTX_OVERRIDE_VERIFY);
  IoContext->MasterIrp = MasterIrp;
  PIO_COMPLETION_ROUTINE Routine = Waits(IrpContext) ? RunsSyncComplete : RunsAsyncComplete;

  ULONG Made = 0;
  SEH_TRY {
    for (; Made < RunCount; ++Made) {
      IO_RUN& Run = IoRuns[Made];
      Run.Irp = IoMakeAssociatedIrp(MasterIrp, (CCHAR)(Vcb->TargetDevice->StackSize + 1));
      if (Run.Irp == nullptr) RaiseStatus(IrpContext, STATUS_INSUFFICIENT_RESOURCES);
      if (PartialMdl(MasterIrp, Run.BufferOffset, Run.ByteCount, Run.Irp) == nullptr) {
        IoFreeIrp(Run.Irp);
        RaiseStatus(IrpContext, STATUS_INSUFFICIENT_RESOURCES);
      }
      // The extra location is the driver's own, describing the run in file terms.
      IoSetNextIrpStackLocation(Run.Irp);
      PIO_STACK_LOCATION Own = IoGetCurrentIrpStackLocation(Run.Irp);
      Own->MajorFunction = IrpContext->MajorFunction;
      Own->Parameters.Read.Length = Run.ByteCount;
      Own->Parameters.Read.ByteOffset.QuadPart = (LONGLONG)Run.FileOffset;
      SetUpDiskRead(IrpContext, Run.Irp, Run.DiskOffset, Run.ByteCount, Routine);
    }
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    for (ULONG i = 0; i < Made; ++i) FreeAssociatedIrp(IoRuns[i].Irp);
    SEH_RETHROW();
  } SEH_END;

  IoContext->IrpCount = (LONG)RunCount;
  // A waiting caller completes the master itself: one count more than the runs keeps
  // the I/O manager from doing it.
  MasterIrp->AssociatedIrp.IrpCount = (LONG)(RunCount + (Waits(IrpContext) ? 1 : 0));
  HandOverResource(IrpContext);
  IoContext->Flags = IrpContext->Flags;

  SEH_TRY {
    for (ULONG i = 0; i < RunCount; ++i) IoCallDriver(Vcb->TargetDevice, IoRuns[i].Irp);
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    // The runs sent own the master now: nothing can be taken back.
    QdrlBugCheck(SEH_EXCEPTION_CODE(), 0, 0);
  } SEH_END;
}

// Sends Irp itself for one run: to the target device, or to the driver's own volume device
// for a range that is all hole, whose read dispatch completes it at once.
void ReadRunAsync(PIRP_CONTEXT IrpContext, PVCB Vcb, ULONG64 DiskOffset, ULONG ByteCount, PIRP Irp,
                  BOOLEAN ToVolumeDevice) {
  PIO_CONTEXT IoContext = IrpContext->IoContext;
  if (Vcb->VerifyThread == KeGetCurrentThread()) SetFlag(IrpContext->Flags, IRPCTX_OVERRIDE_VERIFY);
  IoContext->MasterIrp = Irp;
  SetUpDiskRead(IrpContext, Irp, DiskOffset, ByteCount, Waits(IrpContext) ? RunSyncComplete : RunAsyncComplete);
  HandOverResource(IrpContext);
  IoContext->Flags = IrpContext->Flags;
  IoCallDriver(ToVolumeDevice ? Vcb->VolumeDevice : Vcb->TargetDevice, Irp);
}

// Reads ByteCount bytes at DiskOffset into a driver Buffer with the caller's IRP, whose
// own MDL is set aside meanwhile, and waits. The status is left in Irp's IoStatus.
void ReadBlockSync(PIRP_CONTEXT IrpContext, PVCB Vcb, PVOID Buffer, ULONG64 DiskOffset, ULONG ByteCount, PIRP Irp) {
  PMDL Saved = Irp->MdlAddress;
  Irp->MdlAddress = nullptr;
  PMDL Mdl = IoAllocateMdl(Buffer, ByteCount, FALSE, FALSE, Irp);
  if (Mdl == nullptr) {
    Irp->MdlAddress = Saved;
    RaiseStatus(IrpContext, STATUS_INSUFFICIENT_RESOURCES);
  }
  SEH_FINALLY {
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(Mdl);
    IoFreeMdl(Mdl);
    Irp->MdlAddress = Saved;
  };
  MmProbeAndLockPages(Mdl, KernelMode, IoWriteAccess);
  if (Vcb->VerifyThread == KeGetCurrentThread()) SetFlag(IrpContext->Flags, IRPCTX_OVERRIDE_VERIFY);
  IrpContext->IoContext->MasterIrp = Irp;
  SetUpDiskRead(IrpContext, Irp, DiskOffset, ByteCount, RunSyncComplete);
  IoCallDriver(Vcb->TargetDevice, Irp);
  WaitForIo(IrpContext);
}

// Waits for the transfer's event and makes it ready for the next one.
void WaitForIo(PIRP_CONTEXT IrpContext) {
  KeWaitForSingleObject(&IrpContext->IoContext->SyncEvent, Executive, KernelMode, FALSE, nullptr);
  KeClearEvent(&IrpContext->IoContext->SyncEvent);
}

// Completion of one run of an asynchronous multi-run transfer; the last one finishes it.
NTSTATUS RunsAsyncComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  auto* IoContext = (PIO_CONTEXT)Context;
  PIRP Master = IoContext->MasterIrp;
  NoteRunStatus(Irp, Master);
  if (InterlockedDecrement(&IoContext->IrpCount) != 0) return STATUS_SUCCESS;
  if (!FinishAsyncTransfer(IoContext, Master)) return STATUS_SUCCESS;
  // The master stays with the worker: this last run is not completed to it, so its
  // IRP and MDL are freed here.
  FreeAssociatedIrp(Irp);
  PostRetry(Master);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Completion of one run of a waited-for multi-run transfer; the last one wakes the waiter.
NTSTATUS RunsSyncComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  auto* IoContext = (PIO_CONTEXT)Context;
  PIRP Master = IoContext->MasterIrp;
  NoteRunStatus(Irp, Master);
  FreeAssociatedIrp(Irp);
  if (InterlockedDecrement(&IoContext->IrpCount) == 0) {
    FinishZeroMdl(IoContext, Master);
    KeSetEvent(&IoContext->SyncEvent, 0, FALSE);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Completion of an asynchronous single-run transfer.
NTSTATUS RunAsyncComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  if (!FinishAsyncTransfer((PIO_CONTEXT)Context, Irp)) return STATUS_SUCCESS;
  PostRetry(Irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Completion of a waited-for single-run transfer: the waiter keeps the IRP.
NTSTATUS RunSyncComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  auto* IoContext = (PIO_CONTEXT)Context;
  FinishZeroMdl(IoContext, Irp);
  KeSetEvent(&IoContext->SyncEvent, 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Wakes whoever passed an IRP down and waits for it; the waiter keeps the IRP.
NTSTATUS SignalEventComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent((PKEVENT)Context, 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}
