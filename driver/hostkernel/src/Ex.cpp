// The executive: tagged pool with fault injection and a leak report, lookaside lists,
// executive resources, fast mutexes and the system work queues.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <set>
#include <unordered_set>
#include <thread>
#include <vector>

#include "HostInternal.h"

// ---- Pool ------------------------------------------------------------------------------------

namespace {

const uint64_t LiveMagic = 0x4c4f4f50564c4948ULL;  // guards the header against overruns
const ULONG ProtectedTagBit = 0x80000000;

struct alignas(16) PoolHeader {
  uint64_t Magic;
  ULONG Tag;
  ULONG PoolType;
  SIZE_T Size;
  bool CachedInLookaside;
};

struct TagCounters {
  uint64_t Live = 0;
  uint64_t Bytes = 0;
  uint64_t Cached = 0;
  uint64_t CachedBytes = 0;
};

struct PoolState {
  std::mutex Lock;
  std::map<ULONG, TagCounters> Tags;
  // Blocks handed out and not freed; a free of anything else is a bad pool call.
  std::unordered_set<PVOID> LiveBlocks;
  uint64_t FailCountdown = 0;
  std::set<ULONG> FailingTags;
  int64_t LiveResources = 0;
};

PoolState& Pool() {
  static PoolState& State = *new PoolState;
  return State;
}

bool AllocationShouldFail(PoolState& State, ULONG Tag) {
  if (State.FailingTags.count(Tag)) return true;
  if (State.FailCountdown != 0 && --State.FailCountdown == 0) return true;
  return false;
}

// The header of a live block; a block not handed out (or freed already) is a bad call.
PoolHeader* HeaderOf(PVOID Block) {
  {
    std::lock_guard<std::mutex> Lock(Pool().Lock);
    if (!Pool().LiveBlocks.count(Block)) KeBugCheckEx(BAD_POOL_CALLER, 7, (ULONG_PTR)Block, 0, 0);
  }
  auto* Header = (PoolHeader*)Block - 1;
  if (Header->Magic != LiveMagic) KeBugCheckEx(BAD_POOL_CALLER, 0x44, (ULONG_PTR)Block, 0, 0);
  return Header;
}

}  // namespace

PVOID ExAllocatePoolWithTag(ULONG PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  Tag &= ~ProtectedTagBit;
  if ((PoolType & PagedPool) && KeGetCurrentIrql() > APC_LEVEL)
    KeBugCheckEx(BAD_POOL_CALLER, 9, KeGetCurrentIrql(), PoolType, NumberOfBytes);
  if (Tag == 0) KeBugCheckEx(BAD_POOL_CALLER, 0x9B, PoolType, NumberOfBytes, 0);
  PoolState& State = Pool();
  bool Fail;
  {
    std::lock_guard<std::mutex> Lock(State.Lock);
    Fail = AllocationShouldFail(State, Tag);
  }
  auto* Header = Fail ? nullptr : (PoolHeader*)std::malloc(sizeof(PoolHeader) + NumberOfBytes);
  if (!Header) {
    if (PoolType & POOL_RAISE_IF_ALLOCATION_FAILURE) ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    return nullptr;
  }
  *Header = PoolHeader{LiveMagic, Tag, PoolType, NumberOfBytes, false};
  // Pool is not zeroed on Windows: fill it so that code relying on zeroes shows up.
  std::memset(Header + 1, 0xA5, NumberOfBytes);
  std::lock_guard<std::mutex> Lock(State.Lock);
  TagCounters& Counters = State.Tags[Tag];
  Counters.Live++;
  Counters.Bytes += NumberOfBytes;
  State.LiveBlocks.insert(Header + 1);
  return Header + 1;
}

PVOID ExAllocatePool(ULONG PoolType, SIZE_T NumberOfBytes) {
  return ExAllocatePoolWithTag(PoolType, NumberOfBytes, PoolTag("None"));
}

void ExFreePoolWithTag(PVOID P, ULONG Tag) {
  PoolHeader* Header = HeaderOf(P);
  Tag &= ~ProtectedTagBit;
  if (Tag != 0 && Tag != Header->Tag) KeBugCheckEx(BAD_POOL_CALLER, 0xA, (ULONG_PTR)P, Header->Tag, Tag);
  if (Header->CachedInLookaside) hk::Violation("freeing pool still cached in a lookaside list");
  {
    PoolState& State = Pool();
    std::lock_guard<std::mutex> Lock(State.Lock);
    TagCounters& Counters = State.Tags[Header->Tag];
    Counters.Live--;
    Counters.Bytes -= Header->Size;
    State.LiveBlocks.erase(P);
  }
  Header->Magic = 0;
  std::free(Header);
}

void ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

void hk::MarkCachedInLookaside(PVOID Block, bool Cached) {
  PoolHeader* Header = HeaderOf(Block);
  PoolState& State = Pool();
  std::lock_guard<std::mutex> Lock(State.Lock);
  TagCounters& Counters = State.Tags[Header->Tag];
  // A block freed to a lookaside list twice would be handed out to two owners.
  if (Cached && Header->CachedInLookaside) KeBugCheckEx(BAD_POOL_CALLER, 7, (ULONG_PTR)Block, 0, 0);
  Header->CachedInLookaside = Cached;
  int64_t Step = Cached ? 1 : -1;
  Counters.Cached += Step;
  Counters.CachedBytes += Step * (int64_t)Header->Size;
}

std::vector<HkTagUsage> HkPoolUsage() {
  PoolState& State = Pool();
  std::lock_guard<std::mutex> Lock(State.Lock);
  std::vector<HkTagUsage> Usage;
  for (auto& [Tag, Counters] : State.Tags) {
    uint64_t Live = Counters.Live - Counters.Cached;
    if (Live != 0) Usage.push_back({Tag, Live, Counters.Bytes - Counters.CachedBytes});
  }
  return Usage;
}

uint64_t HkPoolLiveAllocations() {
  uint64_t Live = 0;
  for (const HkTagUsage& Usage : HkPoolUsage()) Live += Usage.LiveAllocations;
  return Live;
}

std::string HkTagName(ULONG Tag) {
  std::string Name;
  for (int Shift = 0; Shift < 32; Shift += 8) {
    char Letter = (char)(Tag >> Shift);
    Name += (Letter >= 32 && Letter < 127) ? Letter : '?';
  }
  return Name;
}

std::string HkPoolLeakReport() {
  std::string Report;
  for (const HkTagUsage& Usage : HkPoolUsage())
    Report += "pool tag '" + HkTagName(Usage.Tag) + "': " + std::to_string(Usage.LiveAllocations) +
              " live allocations, " + std::to_string(Usage.LiveBytes) + " bytes\n";
  int64_t Resources;
  {
    PoolState& State = Pool();
    std::lock_guard<std::mutex> Lock(State.Lock);
    Resources = State.LiveResources;
  }
  if (Resources != 0) Report += std::to_string(Resources) + " resources not deleted\n";
  if (size_t Files = HkLiveFileObjects()) Report += std::to_string(Files) + " file objects alive\n";
  return Report;
}

void HkFailAllocationNumber(uint64_t N) {
  std::lock_guard<std::mutex> Lock(Pool().Lock);
  Pool().FailCountdown = N;
}

void HkFailAllocationsOfTag(ULONG Tag) {
  std::lock_guard<std::mutex> Lock(Pool().Lock);
  Pool().FailingTags.insert(Tag);
}

void HkClearAllocationFaults() {
  std::lock_guard<std::mutex> Lock(Pool().Lock);
  Pool().FailCountdown = 0;
  Pool().FailingTags.clear();
}

// ---- Lookaside lists -------------------------------------------------------------------------
// MaximumDepth holds the depth asked for, Depth the number of entries cached now.

namespace {
std::mutex& LookasideLock() {
  static std::mutex& Lock = *new std::mutex;
  return Lock;
}
}  // namespace

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                     USHORT Depth) {
  std::memset(Lookaside, 0, sizeof(*Lookaside));
  Lookaside->MaximumDepth = Depth;
  Lookaside->Type = NonPagedPool | Flags;
  Lookaside->Tag = Tag;
  Lookaside->Size = (ULONG)Size;
  Lookaside->Allocate = Allocate;
  Lookaside->Free = Free;
}

void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
  std::lock_guard<std::mutex> Lock(LookasideLock());
  while (PSINGLE_LIST_ENTRY Entry = Lookaside->ListHead.Next) {
    Lookaside->ListHead.Next = Entry->Next;
    hk::MarkCachedInLookaside(Entry, false);
    Lookaside->Free ? Lookaside->Free(Entry) : ExFreePool(Entry);
  }
  Lookaside->Depth = 0;
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
  {
    std::lock_guard<std::mutex> Lock(LookasideLock());
    Lookaside->TotalAllocates++;
    if (PSINGLE_LIST_ENTRY Entry = Lookaside->ListHead.Next) {
      Lookaside->ListHead.Next = Entry->Next;
      Lookaside->Depth--;
      hk::MarkCachedInLookaside(Entry, false);
      return Entry;
    }
    Lookaside->AllocateMisses++;
  }
  if (Lookaside->Allocate) return Lookaside->Allocate(Lookaside->Type, Lookaside->Size, Lookaside->Tag);
  return ExAllocatePoolWithTag(Lookaside->Type, Lookaside->Size, Lookaside->Tag);
}

void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
  {
    std::lock_guard<std::mutex> Lock(LookasideLock());
    Lookaside->TotalFrees++;
    if (Lookaside->Depth < Lookaside->MaximumDepth) {
      hk::MarkCachedInLookaside(Entry, true);
      auto* Link = (PSINGLE_LIST_ENTRY)Entry;
      Link->Next = Lookaside->ListHead.Next;
      Lookaside->ListHead.Next = Link;
      Lookaside->Depth++;
      return;
    }
    Lookaside->FreeMisses++;
  }
  Lookaside->Free ? Lookaside->Free(Entry) : ExFreePool(Entry);
}

// ---- Executive resources -----------------------------------------------------------------------

namespace {

struct ResourceWaiter {
  ERESOURCE_THREAD Thread;
  bool Exclusive;
  bool Granted;
};

struct ResourceState {
  ERESOURCE_THREAD ExclusiveOwner = 0;
  ULONG ExclusiveCount = 0;
  std::map<ERESOURCE_THREAD, ULONG> SharedOwners;
  std::deque<ResourceWaiter*> Waiters;
};

ResourceState& StateOf(PERESOURCE Resource) {
  if (!Resource->HostState) hk::Violation("resource %p used before ExInitializeResourceLite", (void*)Resource);
  return *(ResourceState*)Resource->HostState;
}

ULONG CountWaiters(const ResourceState& State, bool Exclusive) {
  return (ULONG)std::count_if(State.Waiters.begin(), State.Waiters.end(),
                              [Exclusive](const ResourceWaiter* W) { return W->Exclusive == Exclusive; });
}

void GrantShared(ResourceState& State, ERESOURCE_THREAD Thread) { State.SharedOwners[Thread]++; }

void GrantExclusive(ResourceState& State, ERESOURCE_THREAD Thread) {
  State.ExclusiveOwner = Thread;
  State.ExclusiveCount = 1;
}

// After a release: an exclusive release wakes every shared waiter if there are any,
// else the first exclusive waiter; the last shared release wakes the first exclusive one.
void GrantWaiters(ResourceState& State, bool ExclusiveReleased) {
  if (State.ExclusiveOwner || State.Waiters.empty()) return;
  bool SharedWaiting = CountWaiters(State, false) != 0;
  if (ExclusiveReleased && SharedWaiting) {
    for (auto It = State.Waiters.begin(); It != State.Waiters.end();) {
      if ((*It)->Exclusive) { ++It; continue; }
      GrantShared(State, (*It)->Thread);
      (*It)->Granted = true;
      It = State.Waiters.erase(It);
    }
  } else if (State.SharedOwners.empty()) {
    auto First = std::find_if(State.Waiters.begin(), State.Waiters.end(),
                              [](const ResourceWaiter* W) { return W->Exclusive; });
    if (First != State.Waiters.end()) {
      GrantExclusive(State, (*First)->Thread);
      (*First)->Granted = true;
      State.Waiters.erase(First);
    } else {
      for (ResourceWaiter* Waiter : State.Waiters) {
        GrantShared(State, Waiter->Thread);
        Waiter->Granted = true;
      }
      State.Waiters.clear();
    }
  }
  hk::WakeWaiters();
}

void RequireApcsDisabled(const char* Routine) {
  if (!KeAreApcsDisabled()) hk::Violation("%s called with normal kernel APCs enabled", Routine);
}

BOOLEAN WaitForGrant(std::unique_lock<std::mutex>& Lock, ResourceState& State, bool Exclusive) {
  ResourceWaiter Waiter{ExGetCurrentResourceThread(), Exclusive, false};
  State.Waiters.push_back(&Waiter);
  hk::WaitUntil(Lock, [&Waiter] { return Waiter.Granted; }, "an executive resource");
  return TRUE;
}

enum class SharedPolicy { Normal, StarveExclusive, WaitForExclusive };

BOOLEAN AcquireShared(PERESOURCE Resource, BOOLEAN Wait, SharedPolicy Policy, const char* Routine) {
  RequireApcsDisabled(Routine);
  std::unique_lock<std::mutex> Lock(hk::DispatcherLock());
  ResourceState& State = StateOf(Resource);
  ERESOURCE_THREAD Me = ExGetCurrentResourceThread();
  if (State.ExclusiveOwner == Me) {
    State.ExclusiveCount++;
    return TRUE;
  }
  auto Owned = State.SharedOwners.find(Me);
  if (Owned != State.SharedOwners.end() && Policy != SharedPolicy::WaitForExclusive) {
    Owned->second++;
    return TRUE;
  }
  bool ExclusiveWaiting = CountWaiters(State, true) != 0;
  if (!State.ExclusiveOwner && (Policy == SharedPolicy::StarveExclusive || !ExclusiveWaiting)) {
    GrantShared(State, Me);
    return TRUE;
  }
  if (!Wait) return FALSE;
  if (Owned != State.SharedOwners.end())
    hk::Violation("%s waits for an exclusive waiter while owning the resource shared", Routine);
  return WaitForGrant(Lock, State, false);
}

void ReleaseFor(PERESOURCE Resource, ERESOURCE_THREAD Thread) {
  std::unique_lock<std::mutex> Lock(hk::DispatcherLock());
  ResourceState& State = StateOf(Resource);
  if (State.ExclusiveOwner == Thread) {
    if (--State.ExclusiveCount == 0) {
      State.ExclusiveOwner = 0;
      GrantWaiters(State, true);
    }
    return;
  }
  auto Owned = State.SharedOwners.find(Thread);
  if (Owned == State.SharedOwners.end())
    KeBugCheckEx(RESOURCE_NOT_OWNED, (ULONG_PTR)Resource, Thread, 0, 0);
  if (--Owned->second == 0) {
    State.SharedOwners.erase(Owned);
    GrantWaiters(State, false);
  }
}

}  // namespace

NTSTATUS ExInitializeResourceLite(PERESOURCE Resource) {
  std::memset(Resource, 0, sizeof(*Resource));
  Resource->HostState = new ResourceState;
  std::lock_guard<std::mutex> Lock(Pool().Lock);
  Pool().LiveResources++;
  return STATUS_SUCCESS;
}

NTSTATUS ExDeleteResourceLite(PERESOURCE Resource) {
  {
    std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
    ResourceState& State = StateOf(Resource);
    if (State.ExclusiveOwner || !State.SharedOwners.empty() || !State.Waiters.empty())
      hk::Violation("deleting a resource that is owned or waited for");
    delete &State;
    Resource->HostState = nullptr;
  }
  std::lock_guard<std::mutex> Lock(Pool().Lock);
  Pool().LiveResources--;
  return STATUS_SUCCESS;
}

ERESOURCE_THREAD ExGetCurrentResourceThread() { return (ERESOURCE_THREAD)KeGetCurrentThread(); }

BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait) {
  RequireApcsDisabled("ExAcquireResourceExclusiveLite");
  std::unique_lock<std::mutex> Lock(hk::DispatcherLock());
  ResourceState& State = StateOf(Resource);
  ERESOURCE_THREAD Me = ExGetCurrentResourceThread();
  if (State.ExclusiveOwner == Me) {
    State.ExclusiveCount++;
    return TRUE;
  }
  if (State.SharedOwners.count(Me))
    hk::Violation("exclusive acquisition of a resource the thread owns shared (a deadlock on Windows)");
  if (!State.ExclusiveOwner && State.SharedOwners.empty() && State.Waiters.empty()) {
    GrantExclusive(State, Me);
    return TRUE;
  }
  if (!Wait) return FALSE;
  return WaitForGrant(Lock, State, true);
}

BOOLEAN ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait) {
  return AcquireShared(Resource, Wait, SharedPolicy::Normal, "ExAcquireResourceSharedLite");
}

BOOLEAN ExAcquireSharedStarveExclusive(PERESOURCE Resource, BOOLEAN Wait) {
  return AcquireShared(Resource, Wait, SharedPolicy::StarveExclusive, "ExAcquireSharedStarveExclusive");
}

BOOLEAN ExAcquireSharedWaitForExclusive(PERESOURCE Resource, BOOLEAN Wait) {
  return AcquireShared(Resource, Wait, SharedPolicy::WaitForExclusive, "ExAcquireSharedWaitForExclusive");
}

void ExReleaseResourceLite(PERESOURCE Resource) { ReleaseFor(Resource, ExGetCurrentResourceThread()); }

void ExReleaseResourceForThreadLite(PERESOURCE Resource, ERESOURCE_THREAD ResourceThreadId) {
  ReleaseFor(Resource, ResourceThreadId);
}

void ExSetResourceOwnerPointer(PERESOURCE Resource, PVOID OwnerPointer) {
  if (((ULONG_PTR)OwnerPointer & 3) != 3)
    hk::Violation("ExSetResourceOwnerPointer needs an owner pointer with its low two bits set");
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  ResourceState& State = StateOf(Resource);
  ERESOURCE_THREAD Me = ExGetCurrentResourceThread();
  ERESOURCE_THREAD Owner = (ERESOURCE_THREAD)OwnerPointer;
  if (State.ExclusiveOwner == Me) {
    State.ExclusiveOwner = Owner;
    return;
  }
  auto Owned = State.SharedOwners.find(Me);
  if (Owned == State.SharedOwners.end()) KeBugCheckEx(RESOURCE_NOT_OWNED, (ULONG_PTR)Resource, Me, 0, 0);
  ULONG Count = Owned->second;
  State.SharedOwners.erase(Owned);
  State.SharedOwners[Owner] += Count;
}

void ExConvertExclusiveToSharedLite(PERESOURCE Resource) {
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  ResourceState& State = StateOf(Resource);
  ERESOURCE_THREAD Me = ExGetCurrentResourceThread();
  if (State.ExclusiveOwner != Me) KeBugCheckEx(RESOURCE_NOT_OWNED, (ULONG_PTR)Resource, Me, 0, 0);
  State.SharedOwners[Me] += State.ExclusiveCount;
  State.ExclusiveOwner = 0;
  State.ExclusiveCount = 0;
  for (auto It = State.Waiters.begin(); It != State.Waiters.end();) {
    if ((*It)->Exclusive) { ++It; continue; }
    GrantShared(State, (*It)->Thread);
    (*It)->Granted = true;
    It = State.Waiters.erase(It);
  }
  hk::WakeWaiters();
}

BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource) {
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  return StateOf(Resource).ExclusiveOwner == ExGetCurrentResourceThread();
}

ULONG ExIsResourceAcquiredSharedLite(PERESOURCE Resource) {
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  ResourceState& State = StateOf(Resource);
  ERESOURCE_THREAD Me = ExGetCurrentResourceThread();
  if (State.ExclusiveOwner == Me) return State.ExclusiveCount;
  auto Owned = State.SharedOwners.find(Me);
  return Owned == State.SharedOwners.end() ? 0 : Owned->second;
}

ULONG ExGetExclusiveWaiterCount(PERESOURCE Resource) {
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  return CountWaiters(StateOf(Resource), true);
}

ULONG ExGetSharedWaiterCount(PERESOURCE Resource) {
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  return CountWaiters(StateOf(Resource), false);
}

// ---- Fast mutexes --------------------------------------------------------------------------------

void ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
  std::memset(FastMutex, 0, sizeof(*FastMutex));
  FastMutex->Count = 1;
  KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

void ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex) {
  PKTHREAD Me = KeGetCurrentThread();
  std::unique_lock<std::mutex> Lock(hk::DispatcherLock());
  if (FastMutex->Owner == Me) hk::Violation("fast mutex acquired twice by one thread (a deadlock on Windows)");
  if (FastMutex->Count != 1) FastMutex->Contention++;
  hk::WaitUntil(Lock, [FastMutex] { return FastMutex->Count == 1; }, "a fast mutex");
  FastMutex->Count = 0;
  FastMutex->Owner = Me;
}

void ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex) {
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  if (FastMutex->Owner != KeGetCurrentThread())
    KeBugCheckEx(THREAD_NOT_MUTEX_OWNER, (ULONG_PTR)FastMutex, 0, 0, 0);
  FastMutex->Owner = nullptr;
  FastMutex->Count = 1;
  hk::WakeWaiters();
}

void ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
  if (KeGetCurrentIrql() > APC_LEVEL) KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)FastMutex, KeGetCurrentIrql(), 0, 0);
  ExAcquireFastMutexUnsafe(FastMutex);
  KIRQL Old;
  KeRaiseIrql(APC_LEVEL, &Old);
  FastMutex->OldIrql = Old;
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
  {
    std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
    if (FastMutex->Count != 1) return FALSE;
    FastMutex->Count = 0;
    FastMutex->Owner = KeGetCurrentThread();
  }
  KIRQL Old;
  KeRaiseIrql(APC_LEVEL, &Old);
  FastMutex->OldIrql = Old;
  return TRUE;
}

void ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
  KIRQL Old = (KIRQL)FastMutex->OldIrql;
  ExReleaseFastMutexUnsafe(FastMutex);
  KeLowerIrql(Old);
}

// ---- Time ----------------------------------------------------------------------------------------

namespace {
std::atomic<LONGLONG> TimeZoneBias{0};
}  // namespace

void HkSetTimeZoneBias(LONGLONG Bias) { TimeZoneBias = Bias; }

void ExLocalTimeToSystemTime(PLARGE_INTEGER LocalTime, PLARGE_INTEGER SystemTime) {
  SystemTime->QuadPart = LocalTime->QuadPart + TimeZoneBias;
}

// ---- System work queues ----------------------------------------------------------------------------

namespace {

// One queue type's worker threads. Threads start with the first item and idle forever
// after; they belong to the system process.
struct WorkQueue {
  explicit WorkQueue(size_t Limit) : WorkerLimit(Limit) {}

  size_t WorkerLimit;
  size_t Workers = 0;
  size_t Busy = 0;
  std::deque<PWORK_QUEUE_ITEM> Ready;
  // Idle workers sleep here, under the dispatcher lock but apart from its waiters: every
  // event set or resource released would otherwise wake each of them to find no work.
  std::condition_variable Idle;
};

struct WorkQueues {
  WorkQueue Queues[3] = {WorkQueue(5), WorkQueue(3), WorkQueue(1)};
  bool StepMode = false;
  std::deque<std::pair<PWORK_QUEUE_ITEM, WORK_QUEUE_TYPE>> Held;
};

WorkQueues& Queues() {
  static WorkQueues& State = *new WorkQueues;
  return State;
}

void CheckWorkerStateRestored(PWORK_QUEUE_ITEM Item) {
  PKTHREAD Thread = hk::CurrentThread();
  if (Thread->Irql != PASSIVE_LEVEL || Thread->CriticalRegionDepth != 0 || Thread->TopLevelIrp)
    hk::Violation("work item routine %p returned with IRQL %u, critical region depth %d, top-level IRP %p",
                  (void*)Item->WorkerRoutine, Thread->Irql, Thread->CriticalRegionDepth,
                  (void*)Thread->TopLevelIrp);
}

void WorkerLoop(WorkQueue* Queue) {
  hk::BecomeSystemThread();
  std::unique_lock<std::mutex> Lock(hk::DispatcherLock());
  for (;;) {
    while (Queue->Ready.empty()) Queue->Idle.wait(Lock);
    PWORK_QUEUE_ITEM Item = Queue->Ready.front();
    Queue->Ready.pop_front();
    Queue->Busy++;
    Lock.unlock();
    PWORKER_THREAD_ROUTINE Routine = Item->WorkerRoutine;
    PVOID Parameter = Item->Parameter;
    Item->List.Flink = nullptr;
    hk::NoThrowBarrier([&] { Routine(Parameter); });
    CheckWorkerStateRestored(Item);
    Lock.lock();
    Queue->Busy--;
    hk::WakeWaiters();
  }
}

// Called with the dispatcher lock held.
void MakeReady(PWORK_QUEUE_ITEM Item, WORK_QUEUE_TYPE Type) {
  WorkQueue& Queue = Queues().Queues[Type];
  Queue.Ready.push_back(Item);
  if (Queue.Workers < Queue.WorkerLimit && Queue.Busy + Queue.Ready.size() > Queue.Workers) {
    Queue.Workers++;
    std::thread(WorkerLoop, &Queue).detach();
  }
  Queue.Idle.notify_one();
  hk::WakeWaiters();
}

}  // namespace

void ExQueueWorkItem(PWORK_QUEUE_ITEM Item, WORK_QUEUE_TYPE QueueType) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) hk::Violation("ExQueueWorkItem above DISPATCH_LEVEL");
  if ((unsigned)QueueType > HyperCriticalWorkQueue) hk::Violation("unknown work queue %d", (int)QueueType);
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  // A marker in the links lets a second queueing of a queued item show up.
  if (Item->List.Flink == &Item->List) hk::Violation("work item %p queued twice", (void*)Item);
  Item->List.Flink = &Item->List;
  if (Queues().StepMode) {
    Queues().Held.emplace_back(Item, QueueType);
    hk::WakeWaiters();
    return;
  }
  MakeReady(Item, QueueType);
}

void HkWorkQueueStepMode(bool On) {
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  Queues().StepMode = On;
  if (On) return;
  while (!Queues().Held.empty()) {
    auto [Item, Type] = Queues().Held.front();
    Queues().Held.pop_front();
    MakeReady(Item, Type);
  }
}

bool HkWorkQueueStep() {
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  if (Queues().Held.empty()) return false;
  auto [Item, Type] = Queues().Held.front();
  Queues().Held.pop_front();
  MakeReady(Item, Type);
  return true;
}

size_t HkWorkQueueHeldItems() {
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  return Queues().Held.size();
}

size_t HkWorkQueueBusyWorkers() {
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  return Queues().Queues[CriticalWorkQueue].Busy;
}

size_t HkWorkQueueWorkerCount() { return Queues().Queues[CriticalWorkQueue].WorkerLimit; }

void HkWaitForWorkQueueIdle() {
  std::unique_lock<std::mutex> Lock(hk::DispatcherLock());
  auto Idle = [] {
    for (const WorkQueue& Queue : Queues().Queues)
      if (Queue.Busy || !Queue.Ready.empty()) return false;
    return true;
  };
  hk::WaitUntil(Lock, Idle, "the work queues to drain");
}
