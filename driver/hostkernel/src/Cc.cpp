// The cache manager: shared cache maps holding a stream's data in views, filled by paging
// reads sent to the file system, private cache maps per file object, purge, deferred
// teardown and read-ahead through the file system's callbacks.
#include <condition_variable>
#include <map>
#include <new>
#include <set>
#include <vector>

#include "Sections.h"

namespace {

const ULONG SharedMapTag = PoolTag("CcSc");
const ULONG PrivateMapTag = PoolTag("CcPc");
const ULONG ViewTag = PoolTag("CcVw");
const ULONG64 ViewSize = CC_VIEW_SIZE;

struct VIEW {
  PUCHAR Data;
  // MDLs handed out over the view; a view in use is never dropped.
  LONG InUse;
  // When the view was last entered or copied from: its key among the resident views.
  ULONG64 LastUse;
};

struct PRIVATE_CACHE_MAP;

struct SHARED_CACHE_MAP {
  PFILE_OBJECT FileObject;  // referenced; paging reads go through it
  PSECTION_OBJECT_POINTERS Pointers;
  CC_FILE_SIZES Sizes;
  CACHE_MANAGER_CALLBACKS Callbacks;
  PVOID LazyWriteContext;
  std::map<ULONG64, VIEW> Views;  // by view index
  std::vector<PRIVATE_CACHE_MAP*> PrivateMaps;
  std::vector<PKEVENT> UninitializeEvents;
  bool TeardownQueued = false;
  bool ReadAheadQueued = false;
  ULONG64 ReadAheadOffset = 0;
  ULONG ReadAheadLength = 0;
  WORK_QUEUE_ITEM TeardownItem;
  WORK_QUEUE_ITEM ReadAheadItem;
  // Tickets of the queued teardown and read-ahead, for waiters on the cache's activity.
  ULONG64 TeardownTicket = 0;
  ULONG64 ReadAheadTicket = 0;
};

struct PRIVATE_CACHE_MAP {
  SHARED_CACHE_MAP* Shared;
  PFILE_OBJECT FileObject;
  ULONG ReadAheadGranularity;
  // Where the last copy through this file object ended: a copy starting there reads on
  // sequentially and sets off read-ahead.
  ULONG64 LastReadEnd;
};

std::mutex& CacheLock() {
  static std::mutex& Lock = *new std::mutex;
  return Lock;
}

// The cache's queued work by ticket, so that a waiter waits for the work queued before it
// and not for work queued after.
struct ACTIVITY {
  std::set<ULONG64> Pending;
  ULONG64 NextTicket = 1;
  std::condition_variable Finished;
};

ACTIVITY& Activity() {
  static ACTIVITY& Work = *new ACTIVITY;
  return Work;
}

// Queues Item under Ticket (0: a new one) and returns the ticket; under the cache lock.
ULONG64 QueueCacheWork(PWORK_QUEUE_ITEM Item, PWORKER_THREAD_ROUTINE Routine, PVOID Context, ULONG64 Ticket) {
  if (Ticket == 0) Ticket = Activity().NextTicket++;
  Activity().Pending.insert(Ticket);
  ExInitializeWorkItem(Item, Routine, Context);
  ExQueueWorkItem(Item, DelayedWorkQueue);
  return Ticket;
}

// Under the cache lock.
void CacheWorkDone(ULONG64 Ticket) {
  Activity().Pending.erase(Ticket);
  Activity().Finished.notify_all();
}

SHARED_CACHE_MAP* SharedMapOf(PSECTION_OBJECT_POINTERS Pointers) {
  return Pointers == nullptr ? nullptr : (SHARED_CACHE_MAP*)Pointers->SharedCacheMap;
}

SHARED_CACHE_MAP* CachedStream(PFILE_OBJECT FileObject, const char* Caller) {
  SHARED_CACHE_MAP* Shared = SharedMapOf(FileObject->SectionObjectPointer);
  if (Shared == nullptr || FileObject->PrivateCacheMap == nullptr)
    hk::Violation("%s on file object %p, which has no cache map", Caller, (void*)FileObject);
  return Shared;
}

// The end of the stream's section: the file size rounded up to whole pages.
ULONG64 SectionEnd(const SHARED_CACHE_MAP* Shared) {
  return ((ULONG64)Shared->Sizes.FileSize.QuadPart + PAGE_SIZE - 1) & ~(ULONG64)(PAGE_SIZE - 1);
}

// ---- Resident views --------------------------------------------------------------------------

struct RESIDENT_VIEW {
  SHARED_CACHE_MAP* Shared;
  ULONG64 Index;
};

// Every resident view of every stream by its last use, oldest first; under the cache lock.
std::map<ULONG64, RESIDENT_VIEW>& ResidentViews() {
  static auto& Views = *new std::map<ULONG64, RESIDENT_VIEW>;
  return Views;
}

ULONG64 NextUse = 0;

// Marks the view as just used; under the cache lock.
void TouchView(SHARED_CACHE_MAP* Shared, ULONG64 Index, VIEW& View) {
  ResidentViews().erase(View.LastUse);
  View.LastUse = ++NextUse;
  ResidentViews()[View.LastUse] = RESIDENT_VIEW{Shared, Index};
}

void EnterView(SHARED_CACHE_MAP* Shared, ULONG64 Index, PUCHAR Data) {
  VIEW& View = Shared->Views[Index] = VIEW{Data, 0, 0};
  TouchView(Shared, Index, View);
}

void LeaveView(std::map<ULONG64, VIEW>::iterator It) {
  ResidentViews().erase(It->second.LastUse);
}

// When the cache is full, lets go of the least recently used view no MDL describes and
// hands back its pages for reuse; nullptr when there is room, or when every view is in
// use (the cache then grows past its bound until MDLs are given back). Under the cache
// lock.
PUCHAR TakeLeastRecentlyUsedView() {
  if (ResidentViews().size() < CC_RESIDENT_VIEWS) return nullptr;
  for (auto It = ResidentViews().begin(); It != ResidentViews().end(); ++It) {
    auto View = It->second.Shared->Views.find(It->second.Index);
    if (View->second.InUse != 0) continue;
    PUCHAR Data = View->second.Data;
    It->second.Shared->Views.erase(View);
    ResidentViews().erase(It);
    return Data;
  }
  return nullptr;
}

// ---- Paging reads ---------------------------------------------------------------------------

NTSTATUS PagingReadDone(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Reads Length bytes of the stream at Offset into Buffer (non-paged) with a
// synchronous paging read through the cache's file object; returns its status and, in
// Read, how many bytes it gave.
NTSTATUS PagingRead(PFILE_OBJECT FileObject, ULONG64 Offset, PUCHAR Buffer, ULONG Length, ULONG* Read) {
  PDEVICE_OBJECT Device = IoGetRelatedDeviceObject(FileObject);
  PIRP Irp = IoAllocateIrp(Device->StackSize, FALSE);
  if (Irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PMDL Mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, Irp);
  if (Mdl == nullptr) {
    IoFreeIrp(Irp);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  MmBuildMdlForNonPagedPool(Mdl);
  Irp->Flags = IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO | IRP_READ_OPERATION;
  Irp->RequestorMode = KernelMode;
  Irp->UserBuffer = Buffer;
  Irp->Tail.Overlay.Thread = PsGetCurrentThread();
  Irp->Tail.Overlay.OriginalFileObject = FileObject;
  PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
  Stack->MajorFunction = IRP_MJ_READ;
  Stack->FileObject = FileObject;
  Stack->Parameters.Read.Length = Length;
  Stack->Parameters.Read.ByteOffset.QuadPart = (LONGLONG)Offset;
  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(Irp, PagingReadDone, &Done, TRUE, TRUE, TRUE);
  if (IoCallDriver(Device, Irp) == STATUS_PENDING)
    KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS Status = Irp->IoStatus.Status;
  *Read = Irp->IoStatus.Information < Length ? (ULONG)Irp->IoStatus.Information : Length;
  Irp->MdlAddress = nullptr;
  IoFreeMdl(Mdl);
  IoFreeIrp(Irp);
  return Status;
}

// Reads view Index of the stream and enters it, unless someone entered it meanwhile.
// Called without the cache lock; the shared map is kept alive by the caller's use.
NTSTATUS ReadView(SHARED_CACHE_MAP* Shared, ULONG64 Index) {
  ULONG64 Start = Index * ViewSize;
  ULONG64 End;
  PUCHAR Data;
  {
    std::lock_guard<std::mutex> Lock(CacheLock());
    End = SectionEnd(Shared) < Start + ViewSize ? SectionEnd(Shared) : Start + ViewSize;
    if (Shared->Views.count(Index) || End <= Start) return STATUS_SUCCESS;
    Data = TakeLeastRecentlyUsedView();
  }
  if (Data == nullptr) Data = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, ViewSize, ViewTag);
  if (Data == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  // Past what the paging read gives the view reads as zeros (its pages may have held
  // another stream's data).
  ULONG Read = 0;
  NTSTATUS Status = PagingRead(Shared->FileObject, Start, Data, (ULONG)(End - Start), &Read);
  RtlZeroMemory(Data + Read, ViewSize - Read);
  std::lock_guard<std::mutex> Lock(CacheLock());
  if (!NT_SUCCESS(Status) || Shared->Views.count(Index)) {
    ExFreePoolWithTag(Data, ViewTag);
    return Status;
  }
  EnterView(Shared, Index, Data);
  return STATUS_SUCCESS;
}

bool RangeResident(SHARED_CACHE_MAP* Shared, ULONG64 Offset, ULONG Length) {
  for (ULONG64 Index = Offset / ViewSize; Index * ViewSize < Offset + Length; ++Index)
    if (!Shared->Views.count(Index)) return false;
  return true;
}

// Runs Piece(At, Count) under the cache lock for each view's piece of the range, in
// order, each once its view is resident: a missing view is read first (a failed read
// raises its status), and one let go of between its read and its piece is read again.
// Taking the range a view at a time lets a range span more views than the cache holds.
template <typename PIECE>
void ForEachResidentPiece(SHARED_CACHE_MAP* Shared, ULONG64 Offset, ULONG Length, PIECE Piece) {
  for (ULONG Done = 0; Done < Length;) {
    ULONG64 At = Offset + Done;
    ULONG InView = (ULONG)(ViewSize - At % ViewSize);
    ULONG Count = InView < Length - Done ? InView : Length - Done;
    for (bool Served = false; !Served;) {
      {
        std::lock_guard<std::mutex> Lock(CacheLock());
        if (Shared->Views.count(At / ViewSize)) {
          Piece(At, Count);
          Served = true;
        }
      }
      if (Served) break;
      NTSTATUS Status = ReadView(Shared, At / ViewSize);
      if (!NT_SUCCESS(Status)) ExRaiseStatus(FsRtlNormalizeNtstatus(Status, STATUS_UNEXPECTED_IO_ERROR));
    }
    Done += Count;
  }
}

bool AnyViewInUse(SHARED_CACHE_MAP* Shared, ULONG64 From, ULONG64 To) {
  for (auto& [Index, View] : Shared->Views)
    if (Index * ViewSize < To && (Index + 1) * ViewSize > From && View.InUse != 0) return true;
  return false;
}

void DropViews(SHARED_CACHE_MAP* Shared, ULONG64 From, ULONG64 To) {
  for (auto It = Shared->Views.begin(); It != Shared->Views.end();) {
    if (It->first * ViewSize < To && (It->first + 1) * ViewSize > From) {
      ExFreePoolWithTag(It->second.Data, ViewTag);
      LeaveView(It);
      It = Shared->Views.erase(It);
    } else {
      ++It;
    }
  }
}

// ---- Teardown -----------------------------------------------------------------------------

void TeardownWorker(PVOID Context);

// Queues the shared map's teardown once nothing uses it, as part of the work of Ticket
// (0: as work of its own); under the cache lock.
void QueueTeardownIfUnused(SHARED_CACHE_MAP* Shared, ULONG64 Ticket = 0) {
  if (!Shared->PrivateMaps.empty() || Shared->TeardownQueued || Shared->ReadAheadQueued) return;
  if (AnyViewInUse(Shared, 0, ~0ULL)) return;
  Shared->TeardownQueued = true;
  Shared->TeardownTicket = QueueCacheWork(&Shared->TeardownItem, TeardownWorker, Shared, Ticket);
}

// Tears the shared map down unless the stream was cached again or is in use meanwhile:
// its views, its hold on the data section and its file object's reference; then the
// waiters learn it is gone. The work counts as done only once the reference is let go of.
void TeardownWorker(PVOID Context) {
  auto* Shared = (SHARED_CACHE_MAP*)Context;
  std::vector<PKEVENT> Events;
  std::unique_lock<std::mutex> Lock(CacheLock());
  const ULONG64 Ticket = Shared->TeardownTicket;
  Shared->TeardownQueued = false;
  if (!Shared->PrivateMaps.empty() || Shared->ReadAheadQueued || AnyViewInUse(Shared, 0, ~0ULL)) {
    CacheWorkDone(Ticket);
    return;
  }
  DropViews(Shared, 0, ~0ULL);
  Shared->Pointers->SharedCacheMap = nullptr;
  hk::ReleaseDataSectionForCache(Shared->Pointers);
  Events.swap(Shared->UninitializeEvents);
  Lock.unlock();
  PFILE_OBJECT FileObject = Shared->FileObject;
  Shared->~SHARED_CACHE_MAP();
  ExFreePoolWithTag(Shared, SharedMapTag);
  ObDereferenceObject(FileObject);
  for (PKEVENT Event : Events) KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
  Lock.lock();
  CacheWorkDone(Ticket);
}

void FreePrivateMap(SHARED_CACHE_MAP* Shared, PRIVATE_CACHE_MAP* Private) {
  auto& List = Shared->PrivateMaps;
  for (auto It = List.begin(); It != List.end(); ++It)
    if (*It == Private) {
      List.erase(It);
      break;
    }
  Private->FileObject->PrivateCacheMap = nullptr;
  ExFreePoolWithTag(Private, PrivateMapTag);
}

// ---- Read-ahead ------------------------------------------------------------------------------

// Reads the next stretch ahead of a sequential reader, holding the file system's
// read-ahead resources as the lazy writer's threads do.
void ReadAheadWorker(PVOID Context) {
  auto* Shared = (SHARED_CACHE_MAP*)Context;
  ULONG64 Offset;
  ULONG Length;
  {
    std::lock_guard<std::mutex> Lock(CacheLock());
    Offset = Shared->ReadAheadOffset;
    Length = Shared->ReadAheadLength;
  }
  // The cache manager's threads hold normal kernel APCs off while they own a file
  // system's resources, as every resource owner must.
  KeEnterCriticalRegion();
  if (Shared->Callbacks.AcquireForReadAhead(Shared->LazyWriteContext, TRUE)) {
    for (ULONG64 Index = Offset / ViewSize; Index * ViewSize < Offset + Length; ++Index)
      if (!NT_SUCCESS(ReadView(Shared, Index))) break;
    Shared->Callbacks.ReleaseFromReadAhead(Shared->LazyWriteContext);
  }
  KeLeaveCriticalRegion();
  std::lock_guard<std::mutex> Lock(CacheLock());
  Shared->ReadAheadQueued = false;
  // The teardown a read-ahead leaves behind is part of its work: who waits for the one
  // waits for the other, and the ticket stays pending without a gap.
  CacheWorkDone(Shared->ReadAheadTicket);
  QueueTeardownIfUnused(Shared, Shared->ReadAheadTicket);
}

// A copy that continues the file object's last one sets off read-ahead of the next two
// copies of its length after it (in whole granules of the private map's granularity, at
// least one each), when part of that is not resident; never for a file object opened
// for random access. Under the cache lock.
void NoteCopy(SHARED_CACHE_MAP* Shared, PRIVATE_CACHE_MAP* Private, ULONG64 Offset, ULONG Length) {
  bool Sequential = Offset == Private->LastReadEnd;
  Private->LastReadEnd = Offset + Length;
  if (!Sequential || Shared->ReadAheadQueued || (Private->FileObject->Flags & FO_RANDOM_ACCESS)) return;
  const ULONG64 Granule = Private->ReadAheadGranularity;
  ULONG64 Start = Offset + Length;
  ULONG64 End = Start + 2 * (Length == 0 ? Granule : (Length + Granule - 1) / Granule * Granule);
  if (End > SectionEnd(Shared)) End = SectionEnd(Shared);
  if (Start >= End || RangeResident(Shared, Start, (ULONG)(End - Start))) return;
  Shared->ReadAheadQueued = true;
  Shared->ReadAheadOffset = Start;
  Shared->ReadAheadLength = (ULONG)(End - Start);
  Shared->ReadAheadTicket = QueueCacheWork(&Shared->ReadAheadItem, ReadAheadWorker, Shared, 0);
}

// Gives back a chain of MDLs the cache handed out: each view they describe is no longer
// in use by them; under the cache lock.
void UndescribeViews(SHARED_CACHE_MAP* Shared, PMDL MdlChain) {
  while (MdlChain != nullptr) {
    PMDL Next = MdlChain->Next;
    auto* Address = (PUCHAR)MmGetMdlVirtualAddress(MdlChain);
    bool Found = false;
    for (auto& [Index, View] : Shared->Views)
      if (Address >= View.Data && Address < View.Data + ViewSize && View.InUse > 0) {
        View.InUse--;
        Found = true;
        break;
      }
    if (!Found) hk::Violation("MDL %p given back to the cache, which did not hand it out", (void*)MdlChain);
    MmUnlockPages(MdlChain);
    IoFreeMdl(MdlChain);
    MdlChain = Next;
  }
}

// Appends at Tail locked MDLs over the cache's pages of a resident range, marking its
// views in use; under the cache lock. Raises, having appended nothing, without pool.
void DescribeViews(SHARED_CACHE_MAP* Shared, ULONG64 Offset, ULONG Length, PMDL* Tail) {
  PMDL* First = Tail;
  for (ULONG Done = 0; Done < Length;) {
    ULONG64 At = Offset + Done;
    ULONG InView = (ULONG)(ViewSize - At % ViewSize);
    ULONG Count = InView < Length - Done ? InView : Length - Done;
    VIEW& View = Shared->Views.at(At / ViewSize);
    PMDL Mdl = IoAllocateMdl(View.Data + At % ViewSize, Count, FALSE, FALSE, nullptr);
    if (Mdl == nullptr) {
      UndescribeViews(Shared, *First);
      *First = nullptr;
      ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    }
    MmBuildMdlForNonPagedPool(Mdl);
    Mdl->MdlFlags |= MDL_PAGES_LOCKED;
    View.InUse++;
    TouchView(Shared, At / ViewSize, View);
    *Tail = Mdl;
    Tail = &Mdl->Next;
    Done += Count;
  }
}

void CheckRange(SHARED_CACHE_MAP* Shared, ULONG64 Offset, ULONG Length, const char* Caller) {
  if (Offset + Length > (ULONG64)Shared->Sizes.FileSize.QuadPart)
    hk::Violation("%s of [%llu, +%u) beyond the file size %lld", Caller, (unsigned long long)Offset, Length,
                  (long long)Shared->Sizes.FileSize.QuadPart);
}

void CopyOut(SHARED_CACHE_MAP* Shared, ULONG64 Offset, ULONG Length, PUCHAR To) {
  for (ULONG Done = 0; Done < Length;) {
    ULONG64 At = Offset + Done;
    ULONG InView = (ULONG)(ViewSize - At % ViewSize);
    ULONG Count = InView < Length - Done ? InView : Length - Done;
    VIEW& View = Shared->Views.at(At / ViewSize);
    std::memcpy(To + Done, View.Data + At % ViewSize, Count);
    TouchView(Shared, At / ViewSize, View);
    Done += Count;
  }
}

}  // namespace

// ---- Cache maps ----------------------------------------------------------------------------

void CcInitializeCacheMap(PFILE_OBJECT FileObject, PCC_FILE_SIZES FileSizes, BOOLEAN,
                          PCACHE_MANAGER_CALLBACKS Callbacks, PVOID LazyWriteContext) {
  PSECTION_OBJECT_POINTERS Pointers = FileObject->SectionObjectPointer;
  if (Pointers == nullptr)
    hk::Violation("CcInitializeCacheMap on file object %p without section object pointers", (void*)FileObject);
  if (FileObject->PrivateCacheMap != nullptr) return;
  const POOL_TYPE Pool = (POOL_TYPE)(NonPagedPoolNx | POOL_RAISE_IF_ALLOCATION_FAILURE);
  auto* Private = (PRIVATE_CACHE_MAP*)ExAllocatePoolWithTag(Pool, sizeof(PRIVATE_CACHE_MAP), PrivateMapTag);
  std::lock_guard<std::mutex> Lock(CacheLock());
  // Readers holding the file shared may set up caching for one file object at once: the
  // first one does it.
  if (FileObject->PrivateCacheMap != nullptr) {
    ExFreePoolWithTag(Private, PrivateMapTag);
    return;
  }
  SHARED_CACHE_MAP* Shared = SharedMapOf(Pointers);
  if (Shared == nullptr) {
    void* Block = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(SHARED_CACHE_MAP), SharedMapTag);
    if (Block == nullptr) {
      ExFreePoolWithTag(Private, PrivateMapTag);
      ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    }
    Shared = new (Block) SHARED_CACHE_MAP;
    Shared->FileObject = FileObject;
    Shared->Pointers = Pointers;
    Shared->Callbacks = *Callbacks;
    Shared->LazyWriteContext = LazyWriteContext;
    ObReferenceObject(FileObject);
    hk::HoldDataSectionForCache(Pointers);
    Pointers->SharedCacheMap = Shared;
  }
  // Cached again before its teardown: the teardown will not come, and whoever waits for
  // it is told the map let go of is settled.
  for (PKEVENT Event : Shared->UninitializeEvents) KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
  Shared->UninitializeEvents.clear();
  Shared->Sizes = *FileSizes;
  *Private = PRIVATE_CACHE_MAP{Shared, FileObject, PAGE_SIZE, ~0ULL};
  Shared->PrivateMaps.push_back(Private);
  FileObject->PrivateCacheMap = Private;
}

BOOLEAN CcUninitializeCacheMap(PFILE_OBJECT FileObject, PLARGE_INTEGER TruncateSize,
                               PCACHE_UNINITIALIZE_EVENT UninitializeEvent) {
  std::lock_guard<std::mutex> Lock(CacheLock());
  SHARED_CACHE_MAP* Shared = SharedMapOf(FileObject->SectionObjectPointer);
  auto* Private = (PRIVATE_CACHE_MAP*)FileObject->PrivateCacheMap;
  if (Shared == nullptr) {
    if (UninitializeEvent != nullptr) KeSetEvent(&UninitializeEvent->Event, IO_NO_INCREMENT, FALSE);
    return FALSE;
  }
  if (Private != nullptr) FreePrivateMap(Shared, Private);
  if (TruncateSize != nullptr) {
    ULONG64 From = (ULONG64)TruncateSize->QuadPart;
    if (!AnyViewInUse(Shared, From, ~0ULL)) DropViews(Shared, From, ~0ULL);
    if (From < (ULONG64)Shared->Sizes.FileSize.QuadPart) Shared->Sizes.FileSize.QuadPart = (LONGLONG)From;
  }
  if (UninitializeEvent != nullptr) {
    // Other file objects keep the stream cached: there is no teardown to wait for.
    if (Shared->PrivateMaps.empty())
      Shared->UninitializeEvents.push_back(&UninitializeEvent->Event);
    else
      KeSetEvent(&UninitializeEvent->Event, IO_NO_INCREMENT, FALSE);
  }
  QueueTeardownIfUnused(Shared);
  return Private != nullptr;
}

BOOLEAN CcPurgeCacheSection(PSECTION_OBJECT_POINTERS SectionObjectPointer, PLARGE_INTEGER FileOffset,
                            ULONG Length, BOOLEAN UninitializeCacheMaps) {
  if (hk::DataSectionHasUserViews(SectionObjectPointer)) return FALSE;
  std::lock_guard<std::mutex> Lock(CacheLock());
  SHARED_CACHE_MAP* Shared = SharedMapOf(SectionObjectPointer);
  if (Shared == nullptr) return TRUE;
  if (UninitializeCacheMaps)
    while (!Shared->PrivateMaps.empty()) FreePrivateMap(Shared, Shared->PrivateMaps.back());
  ULONG64 From = FileOffset == nullptr ? 0 : (ULONG64)FileOffset->QuadPart;
  ULONG64 To = FileOffset == nullptr || Length == 0 ? ~0ULL : From + Length;
  bool Purged = !AnyViewInUse(Shared, From, To);
  if (Purged) DropViews(Shared, From, To);
  QueueTeardownIfUnused(Shared);
  return Purged;
}

NTSTATUS CcWaitForCurrentLazyWriterActivity() {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) hk::Violation("CcWaitForCurrentLazyWriterActivity above PASSIVE_LEVEL");
  std::unique_lock<std::mutex> Lock(CacheLock());
  ACTIVITY& Work = Activity();
  const ULONG64 Last = Work.NextTicket - 1;
  Work.Finished.wait(Lock, [&] { return Work.Pending.empty() || *Work.Pending.begin() > Last; });
  return STATUS_SUCCESS;
}

void CcSetFileSizes(PFILE_OBJECT FileObject, PCC_FILE_SIZES FileSizes) {
  std::lock_guard<std::mutex> Lock(CacheLock());
  SHARED_CACHE_MAP* Shared = SharedMapOf(FileObject->SectionObjectPointer);
  if (Shared == nullptr) return;
  ULONG64 NewEnd = (ULONG64)FileSizes->FileSize.QuadPart;
  if (NewEnd < (ULONG64)Shared->Sizes.FileSize.QuadPart) {
    // Views wholly past the new end go; the one holding it keeps zeros beyond it.
    ULONG64 FirstPast = (NewEnd + ViewSize - 1) / ViewSize * ViewSize;
    if (!AnyViewInUse(Shared, FirstPast, ~0ULL)) DropViews(Shared, FirstPast, ~0ULL);
    auto It = Shared->Views.find(NewEnd / ViewSize);
    if (It != Shared->Views.end()) RtlZeroMemory(It->second.Data + NewEnd % ViewSize, ViewSize - NewEnd % ViewSize);
  }
  Shared->Sizes = *FileSizes;
}

void CcFlushCache(PSECTION_OBJECT_POINTERS, PLARGE_INTEGER, ULONG, PIO_STATUS_BLOCK IoStatus) {
  if (IoStatus == nullptr) return;
  IoStatus->Status = STATUS_SUCCESS;
  IoStatus->Information = 0;
}

void CcSetReadAheadGranularity(PFILE_OBJECT FileObject, ULONG Granularity) {
  if (Granularity < PAGE_SIZE || (Granularity & (Granularity - 1)) != 0)
    hk::Violation("read-ahead granularity %u is not a power of two of at least a page", Granularity);
  std::lock_guard<std::mutex> Lock(CacheLock());
  auto* Private = (PRIVATE_CACHE_MAP*)FileObject->PrivateCacheMap;
  if (Private == nullptr) hk::Violation("CcSetReadAheadGranularity on file object %p, which is not cached", (void*)FileObject);
  Private->ReadAheadGranularity = Granularity;
}

PFILE_OBJECT CcGetFileObjectFromSectionPtrs(PSECTION_OBJECT_POINTERS SectionObjectPointer) {
  std::lock_guard<std::mutex> Lock(CacheLock());
  SHARED_CACHE_MAP* Shared = SharedMapOf(SectionObjectPointer);
  return Shared == nullptr ? nullptr : Shared->FileObject;
}

size_t HkCachedViews(PSECTION_OBJECT_POINTERS SectionObjectPointer) {
  std::lock_guard<std::mutex> Lock(CacheLock());
  SHARED_CACHE_MAP* Shared = SharedMapOf(SectionObjectPointer);
  return Shared == nullptr ? 0 : Shared->Views.size();
}

// ---- Copy and MDL reads --------------------------------------------------------------------

BOOLEAN CcCopyRead(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait,
                   PVOID Buffer, PIO_STATUS_BLOCK IoStatus) {
  return CcCopyReadEx(FileObject, FileOffset, Length, Wait, Buffer, IoStatus, PsGetCurrentThread());
}

BOOLEAN CcCopyReadEx(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait,
                     PVOID Buffer, PIO_STATUS_BLOCK IoStatus, PETHREAD) {
  SHARED_CACHE_MAP* Shared = CachedStream(FileObject, "CcCopyRead");
  auto* Private = (PRIVATE_CACHE_MAP*)FileObject->PrivateCacheMap;
  ULONG64 Offset = (ULONG64)FileOffset->QuadPart;
  bool Copied;
  {
    std::lock_guard<std::mutex> Lock(CacheLock());
    CheckRange(Shared, Offset, Length, "CcCopyRead");
    Copied = RangeResident(Shared, Offset, Length);
    if (Copied) CopyOut(Shared, Offset, Length, (PUCHAR)Buffer);
    if (!Copied && !Wait) return FALSE;
  }
  if (!Copied) {
    ForEachResidentPiece(Shared, Offset, Length, [&](ULONG64 At, ULONG Count) {
      CopyOut(Shared, At, Count, (PUCHAR)Buffer + (At - Offset));
    });
  }
  std::lock_guard<std::mutex> Lock(CacheLock());
  NoteCopy(Shared, Private, Offset, Length);
  IoStatus->Status = STATUS_SUCCESS;
  IoStatus->Information = Length;
  return TRUE;
}

void CcMdlRead(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, PMDL* MdlChain,
               PIO_STATUS_BLOCK IoStatus) {
  SHARED_CACHE_MAP* Shared = CachedStream(FileObject, "CcMdlRead");
  ULONG64 Offset = (ULONG64)FileOffset->QuadPart;
  PMDL* Tail = MdlChain;
  while (*Tail != nullptr) Tail = &(*Tail)->Next;
  {
    std::lock_guard<std::mutex> Lock(CacheLock());
    CheckRange(Shared, Offset, Length, "CcMdlRead");
  }
  // What this call described is given back when a later piece fails.
  PMDL* First = Tail;
  try {
    ForEachResidentPiece(Shared, Offset, Length, [&](ULONG64 At, ULONG Count) {
      DescribeViews(Shared, At, Count, Tail);
      while (*Tail != nullptr) Tail = &(*Tail)->Next;
    });
  } catch (...) {
    std::lock_guard<std::mutex> Lock(CacheLock());
    UndescribeViews(Shared, *First);
    *First = nullptr;
    throw;
  }
  IoStatus->Status = STATUS_SUCCESS;
  IoStatus->Information = Length;
}

void CcMdlReadComplete(PFILE_OBJECT FileObject, PMDL MdlChain) {
  SHARED_CACHE_MAP* Shared = SharedMapOf(FileObject->SectionObjectPointer);
  if (Shared == nullptr) hk::Violation("CcMdlReadComplete on file object %p, which is not cached", (void*)FileObject);
  std::lock_guard<std::mutex> Lock(CacheLock());
  UndescribeViews(Shared, MdlChain);
  QueueTeardownIfUnused(Shared);
}

void CcMdlWriteComplete(PFILE_OBJECT FileObject, PLARGE_INTEGER, PMDL) {
  hk::Violation("CcMdlWriteComplete on file object %p: no MDL write was prepared", (void*)FileObject);
}

void CcMdlWriteAbort(PFILE_OBJECT FileObject, PMDL) {
  hk::Violation("CcMdlWriteAbort on file object %p: no MDL write was prepared", (void*)FileObject);
}
