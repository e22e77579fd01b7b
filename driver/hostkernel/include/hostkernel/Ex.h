// The executive: pool, lookaside lists, executive resources, fast mutexes and the system
// work queues.
#pragma once

#include "hostkernel/Ke.h"

// ---- Pool -------------------------------------------------------------------------
enum POOL_TYPE : ULONG {
  NonPagedPool = 0,
  NonPagedPoolExecute = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolNx = 512,
  NonPagedPoolNxCacheAligned = 516,
};
#define POOL_TAGGING 1
#define POOL_QUOTA_FAIL_INSTEAD_OF_RAISE 8
#define POOL_RAISE_IF_ALLOCATION_FAILURE 16
#define POOL_NX_ALLOCATION 512

// Allocates from pool. With POOL_RAISE_IF_ALLOCATION_FAILURE in PoolType a failure
// raises STATUS_INSUFFICIENT_RESOURCES instead of returning null.
PVOID ExAllocatePoolWithTag(ULONG PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePool(ULONG PoolType, SIZE_T NumberOfBytes);
void ExFreePoolWithTag(PVOID P, ULONG Tag);
void ExFreePool(PVOID P);

// Four-letter tags are written as they read in memory: TAG('Q','v','x','I').
constexpr ULONG PoolTag(const char (&Letters)[5]) {
  return (ULONG)(UCHAR)Letters[0] | (ULONG)(UCHAR)Letters[1] << 8 |
         (ULONG)(UCHAR)Letters[2] << 16 | (ULONG)(UCHAR)Letters[3] << 24;
}

// ---- Lookaside lists ----------------------------------------------------------------
using PALLOCATE_FUNCTION = PVOID (*)(ULONG PoolType, SIZE_T NumberOfBytes, ULONG Tag);
using PFREE_FUNCTION = void (*)(PVOID Buffer);

struct NPAGED_LOOKASIDE_LIST {
  SINGLE_LIST_ENTRY ListHead;
  USHORT Depth;
  USHORT MaximumDepth;
  ULONG TotalAllocates;
  ULONG AllocateMisses;
  ULONG TotalFrees;
  ULONG FreeMisses;
  ULONG Type;
  ULONG Tag;
  ULONG Size;
  PALLOCATE_FUNCTION Allocate;
  PFREE_FUNCTION Free;
  LIST_ENTRY ListEntry;
  KSPIN_LOCK Lock;
  UCHAR Reserved[24];
};
using PNPAGED_LOOKASIDE_LIST = NPAGED_LOOKASIDE_LIST*;
using PAGED_LOOKASIDE_LIST = NPAGED_LOOKASIDE_LIST;
using PPAGED_LOOKASIDE_LIST = NPAGED_LOOKASIDE_LIST*;

// Flags are OR-ed into the pool type of the list's allocations, so
// POOL_RAISE_IF_ALLOCATION_FAILURE makes an empty list raise instead of returning null.
void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                     USHORT Depth);
void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);

// ---- Executive resources ------------------------------------------------------------
// Real semantics: recursive exclusive ownership; shared ownership that a thread owning
// the resource exclusively also gets (as a recursive exclusive acquisition); shared
// requests wait behind waiting exclusive requests unless the caller already owns the
// resource or asks to starve exclusive waiters; acquisition that fails instead of
// waiting; release for another thread and hand-over of ownership to an owner pointer.
// Acquiring exclusively while owning shared only deadlocks on Windows: it stops the
// system here. Every acquisition must be made with normal kernel APCs disabled.
using ERESOURCE_THREAD = ULONG_PTR;
using PERESOURCE_THREAD = ERESOURCE_THREAD*;

struct ERESOURCE {
  LIST_ENTRY SystemResourcesList;
  PVOID OwnerTable;
  SHORT ActiveCount;
  USHORT Flag;
  PVOID SharedWaiters;
  PVOID ExclusiveWaiters;
  PVOID HostState;  // the host's owner records; see Ex.cpp
  UCHAR Reserved[0x68 - 0x38];
};
using PERESOURCE = ERESOURCE*;
static_assert(sizeof(ERESOURCE) == 0x68);

NTSTATUS ExInitializeResourceLite(PERESOURCE Resource);
NTSTATUS ExDeleteResourceLite(PERESOURCE Resource);
BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait);
BOOLEAN ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait);
BOOLEAN ExAcquireSharedStarveExclusive(PERESOURCE Resource, BOOLEAN Wait);
BOOLEAN ExAcquireSharedWaitForExclusive(PERESOURCE Resource, BOOLEAN Wait);
void ExReleaseResourceLite(PERESOURCE Resource);
void ExReleaseResourceForThreadLite(PERESOURCE Resource, ERESOURCE_THREAD ResourceThreadId);
void ExSetResourceOwnerPointer(PERESOURCE Resource, PVOID OwnerPointer);
void ExConvertExclusiveToSharedLite(PERESOURCE Resource);
BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource);
ULONG ExIsResourceAcquiredSharedLite(PERESOURCE Resource);
ULONG ExGetExclusiveWaiterCount(PERESOURCE Resource);
ULONG ExGetSharedWaiterCount(PERESOURCE Resource);
ERESOURCE_THREAD ExGetCurrentResourceThread();
#define ExReleaseResource(R) ExReleaseResourceLite(R)

// ---- Fast mutexes --------------------------------------------------------------------
// Acquiring raises the IRQL to APC_LEVEL; a fast mutex is not recursive.
struct FAST_MUTEX {
  LONG Count;
  PKTHREAD Owner;
  ULONG Contention;
  KEVENT Event;
  ULONG OldIrql;
};
using PFAST_MUTEX = FAST_MUTEX*;
static_assert(sizeof(FAST_MUTEX) == 0x38);

void ExInitializeFastMutex(PFAST_MUTEX FastMutex);
void ExAcquireFastMutex(PFAST_MUTEX FastMutex);
void ExReleaseFastMutex(PFAST_MUTEX FastMutex);
BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);
void ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex);
void ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex);

// ---- Time ----------------------------------------------------------------------------
// Local time to system time (UTC), by the time-zone bias the host set (HkSetTimeZoneBias).
void ExLocalTimeToSystemTime(PLARGE_INTEGER LocalTime, PLARGE_INTEGER SystemTime);

// ---- System work queues -------------------------------------------------------------
enum WORK_QUEUE_TYPE { CriticalWorkQueue = 0, DelayedWorkQueue = 1, HyperCriticalWorkQueue = 2 };
using PWORKER_THREAD_ROUTINE = void (*)(PVOID Parameter);

struct WORK_QUEUE_ITEM {
  LIST_ENTRY List;
  PWORKER_THREAD_ROUTINE WorkerRoutine;
  PVOID Parameter;
};
using PWORK_QUEUE_ITEM = WORK_QUEUE_ITEM*;
static_assert(sizeof(WORK_QUEUE_ITEM) == 0x20);

inline void ExInitializeWorkItem(PWORK_QUEUE_ITEM Item, PWORKER_THREAD_ROUTINE Routine,
                                 PVOID Context) {
  Item->WorkerRoutine = Routine;
  Item->Parameter = Context;
  Item->List.Flink = nullptr;
}

// Queues Item to a system worker thread of the system process. The routine runs at
// PASSIVE_LEVEL, must not let an exception escape and must return with the IRQL, the
// critical region and the top-level IRP as it found them.
void ExQueueWorkItem(PWORK_QUEUE_ITEM Item, WORK_QUEUE_TYPE QueueType);
