// The executive's rules as drivers meet them: executive resources, pool with its fault
// injection and leak report, lookaside lists, and the work queues.
#include <atomic>
#include <thread>

#include "StandInTestSupport.h"

namespace {

// Runs Body in a new thread inside a critical region, as file-system code runs.
template <typename Body>
void InOtherThread(Body&& Run) {
  std::thread([&] {
    KeEnterCriticalRegion();
    Run();
    KeLeaveCriticalRegion();
  }).join();
}

void WaitForExclusiveWaiters(PERESOURCE Resource, ULONG Count) {
  while (ExGetExclusiveWaiterCount(Resource) != Count) std::this_thread::yield();
}

TEST(ExecutiveResource, OwnerRecursesAndOtherThreadsFailInsteadOfWaiting) {
  ERESOURCE Resource;
  ExInitializeResourceLite(&Resource);
  KeEnterCriticalRegion();
  EXPECT_TRUE(ExAcquireResourceExclusiveLite(&Resource, TRUE));
  EXPECT_TRUE(ExAcquireResourceExclusiveLite(&Resource, FALSE));
  // The exclusive owner asking for shared access gets another exclusive count.
  EXPECT_TRUE(ExAcquireResourceSharedLite(&Resource, FALSE));
  EXPECT_EQ(ExIsResourceAcquiredSharedLite(&Resource), 3u);
  InOtherThread([&] {
    EXPECT_FALSE(ExAcquireResourceSharedLite(&Resource, FALSE));
    EXPECT_FALSE(ExAcquireSharedStarveExclusive(&Resource, FALSE));
    EXPECT_FALSE(ExAcquireResourceExclusiveLite(&Resource, FALSE));
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&Resource));
  });
  for (int Count = 0; Count < 3; ++Count) ExReleaseResourceLite(&Resource);
  EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&Resource));
  InOtherThread([&] {
    EXPECT_TRUE(ExAcquireResourceExclusiveLite(&Resource, FALSE));
    ExReleaseResourceLite(&Resource);
  });
  KeLeaveCriticalRegion();
  ExDeleteResourceLite(&Resource);
  ExpectNothingAlive();
}

TEST(ExecutiveResource, SharedRequestsQueueBehindAWaitingExclusiveOneUnlessTheyStarveIt) {
  ERESOURCE Resource;
  ExInitializeResourceLite(&Resource);
  KeEnterCriticalRegion();
  ASSERT_TRUE(ExAcquireResourceSharedLite(&Resource, TRUE));
  std::atomic<bool> WriterGotIt{false};
  std::thread Writer([&] {
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Resource, TRUE);
    WriterGotIt = true;
    ExReleaseResourceLite(&Resource);
    KeLeaveCriticalRegion();
  });
  WaitForExclusiveWaiters(&Resource, 1);
  InOtherThread([&] {
    EXPECT_FALSE(ExAcquireResourceSharedLite(&Resource, FALSE));
    EXPECT_TRUE(ExAcquireSharedStarveExclusive(&Resource, FALSE));
    ExReleaseResourceLite(&Resource);
  });
  // An owner's own recursive shared request is granted even with a writer waiting.
  EXPECT_TRUE(ExAcquireResourceSharedLite(&Resource, FALSE));
  ExReleaseResourceLite(&Resource);
  EXPECT_FALSE(WriterGotIt);
  ExReleaseResourceLite(&Resource);
  Writer.join();
  EXPECT_TRUE(WriterGotIt);
  KeLeaveCriticalRegion();
  ExDeleteResourceLite(&Resource);
  ExpectNothingAlive();
}

TEST(ExecutiveResource, OwnershipHandedToAnOwnerPointerIsReleasedByAnotherThread) {
  ERESOURCE Resource;
  ExInitializeResourceLite(&Resource);
  static int Transfer;
  auto Owner = (ERESOURCE_THREAD)&Transfer | 3;
  InOtherThread([&] {
    ASSERT_TRUE(ExAcquireResourceExclusiveLite(&Resource, TRUE));
    ExSetResourceOwnerPointer(&Resource, (PVOID)Owner);
  });
  KeEnterCriticalRegion();
  EXPECT_FALSE(ExAcquireResourceSharedLite(&Resource, FALSE));
  ExReleaseResourceForThreadLite(&Resource, Owner);
  EXPECT_TRUE(ExAcquireResourceExclusiveLite(&Resource, FALSE));
  ExReleaseResourceLite(&Resource);
  KeLeaveCriticalRegion();
  ExDeleteResourceLite(&Resource);
  ExpectNothingAlive();
}

TEST(ExecutiveResourceDeathTest, MisuseStopsTheSystem) {
  ERESOURCE Resource;
  ExInitializeResourceLite(&Resource);
  // Without a critical region a suspended owner could block the whole system.
  EXPECT_EXIT(ExAcquireResourceSharedLite(&Resource, TRUE), testing::ExitedWithCode(3),
              "normal kernel APCs enabled");
  KeEnterCriticalRegion();
  ExAcquireResourceSharedLite(&Resource, TRUE);
  EXPECT_EXIT(ExAcquireResourceExclusiveLite(&Resource, TRUE), testing::ExitedWithCode(3),
              "owns shared");
  EXPECT_EXIT(ExReleaseResourceForThreadLite(&Resource, 4), testing::ExitedWithCode(3),
              "STOP: 0x000000E3");
  ExReleaseResourceLite(&Resource);
  KeLeaveCriticalRegion();
  ExDeleteResourceLite(&Resource);
}

TEST(FastMutex, OwnershipRaisesToApcLevelAndIsNeitherRecursiveNorReleasedByOthers) {
  FAST_MUTEX Mutex;
  ExInitializeFastMutex(&Mutex);
  ExAcquireFastMutex(&Mutex);
  EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
  EXPECT_TRUE(KeAreAllApcsDisabled());
  std::thread([&] { EXPECT_FALSE(ExTryToAcquireFastMutex(&Mutex)); }).join();
  EXPECT_EXIT(ExAcquireFastMutex(&Mutex), testing::ExitedWithCode(3), "acquired twice");
  std::thread([&] {
    EXPECT_EXIT(ExReleaseFastMutex(&Mutex), testing::ExitedWithCode(3), "STOP: 0x00000011");
  }).join();
  std::atomic<bool> Waited{false};
  std::thread Waiter([&] {
    ExAcquireFastMutex(&Mutex);
    Waited = true;
    ExReleaseFastMutex(&Mutex);
  });
  while (Mutex.Contention == 0) std::this_thread::yield();
  EXPECT_FALSE(Waited);
  ExReleaseFastMutex(&Mutex);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  Waiter.join();
  EXPECT_TRUE(Waited);
}

TEST(Pool, InjectedFailuresReturnNullOrRaiseAndTheLeakReportNamesWhatIsLeft) {
  const ULONG Tag = PoolTag("Tst1");
  HkFailAllocationNumber(2);
  PVOID First = ExAllocatePoolWithTag(PagedPool, 16, Tag);
  EXPECT_NE(First, nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 16, Tag), nullptr);

  HkFailAllocationsOfTag(Tag);
  NTSTATUS Raised = STATUS_SUCCESS;
  SEH_TRY {
    ExAllocatePoolWithTag(PagedPool | POOL_RAISE_IF_ALLOCATION_FAILURE, 16, Tag);
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    Raised = SEH_EXCEPTION_CODE();
  } SEH_END;
  EXPECT_EQ(Raised, STATUS_INSUFFICIENT_RESOURCES);
  PVOID Second = ExAllocatePoolWithTag(PagedPool, 8, PoolTag("Tst2"));
  EXPECT_NE(Second, nullptr);
  HkClearAllocationFaults();

  EXPECT_EQ(HkPoolLeakReport(),
            "pool tag 'Tst1': 1 live allocations, 16 bytes\npool tag 'Tst2': 1 live allocations, 8 bytes\n");
  ExFreePoolWithTag(First, Tag);
  EXPECT_EQ(HkPoolLiveAllocations(), 1u);
  EXPECT_EXIT(ExFreePoolWithTag(First, Tag), testing::ExitedWithCode(3), "STOP: 0x000000C2");
  ExFreePoolWithTag(Second, PoolTag("Tst2"));
  ExpectNothingAlive();
}

TEST(Pool, LookasideEntriesHeldForReuseAreNoLeakAndAnEmptyListRaises) {
  NPAGED_LOOKASIDE_LIST List;
  const ULONG Tag = PoolTag("Tst3");
  ExInitializeNPagedLookasideList(&List, nullptr, nullptr, POOL_RAISE_IF_ALLOCATION_FAILURE, 64, Tag, 2);
  PVOID Entries[3];
  for (PVOID& Entry : Entries) Entry = ExAllocateFromNPagedLookasideList(&List);
  for (PVOID Entry : Entries) ExFreeToNPagedLookasideList(&List, Entry);
  // Two entries stay cached for reuse, the third went back to pool.
  EXPECT_EQ(HkPoolLiveAllocations(), 0u);
  EXPECT_EQ(ExAllocateFromNPagedLookasideList(&List), Entries[1]);
  HkFailAllocationsOfTag(Tag);
  PVOID Cached = ExAllocateFromNPagedLookasideList(&List);
  NTSTATUS Raised = STATUS_SUCCESS;
  SEH_TRY {
    ExAllocateFromNPagedLookasideList(&List);
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    Raised = SEH_EXCEPTION_CODE();
  } SEH_END;
  HkClearAllocationFaults();
  EXPECT_EQ(Raised, STATUS_INSUFFICIENT_RESOURCES);
  ExFreeToNPagedLookasideList(&List, Entries[1]);
  // Freed twice, an entry would be handed to two owners: the system stops instead.
  EXPECT_EXIT(ExFreeToNPagedLookasideList(&List, Entries[1]), testing::ExitedWithCode(3), "STOP: 0x000000C2 ");
  ExFreeToNPagedLookasideList(&List, Cached);
  ExDeleteNPagedLookasideList(&List);
  ExpectNothingAlive();
}

std::atomic<int> WorkDone{0};
KEVENT ReleaseWorkers;

void BlockingWork(PVOID) {
  EXPECT_TRUE(PsIsSystemThread(PsGetCurrentThread()));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KeWaitForSingleObject(&ReleaseWorkers, Executive, KernelMode, FALSE, nullptr);
  WorkDone++;
}

TEST(WorkQueue, HeldItemsRunOnlyWhenSteppedAndBusyWorkersLeaveTheRestWaiting) {
  KeInitializeEvent(&ReleaseWorkers, NotificationEvent, FALSE);
  const size_t Workers = HkWorkQueueWorkerCount();
  std::vector<WORK_QUEUE_ITEM> Items(Workers + 1);
  HkWorkQueueStepMode(true);
  for (WORK_QUEUE_ITEM& Item : Items) {
    ExInitializeWorkItem(&Item, BlockingWork, nullptr);
    ExQueueWorkItem(&Item, CriticalWorkQueue);
  }
  EXPECT_EQ(HkWorkQueueHeldItems(), Workers + 1);
  EXPECT_EQ(HkWorkQueueBusyWorkers(), 0u);
  while (HkWorkQueueStep()) {
  }
  while (HkWorkQueueBusyWorkers() != Workers) std::this_thread::yield();
  // Every worker is blocked: the last item waits for one of them.
  EXPECT_EQ(WorkDone, 0);
  KeSetEvent(&ReleaseWorkers, IO_NO_INCREMENT, FALSE);
  HkWaitForWorkQueueIdle();
  EXPECT_EQ(WorkDone, (int)Workers + 1);
  HkWorkQueueStepMode(false);
  ExpectNothingAlive();
}

NTSTATUS NoRequests(PDEVICE_OBJECT, PIRP) { return STATUS_INVALID_DEVICE_REQUEST; }

void FreeOwnWorkItem(PDEVICE_OBJECT Device, PVOID Context) {
  // The queued item keeps its device referenced while it runs.
  EXPECT_EQ(HkObjectReferenceCount(Device), 2);
  IoFreeWorkItem((PIO_WORKITEM)Context);
}

TEST(WorkQueue, AnIoWorkItemHoldsItsDeviceUntilItsRoutineHasRun) {
  PDRIVER_OBJECT Driver = LoadTestDriver(NoRequests);
  PDEVICE_OBJECT Device = CreateTestDevice(Driver, u"\\WorkItemDevice", FILE_DEVICE_UNKNOWN);
  PIO_WORKITEM WorkItem = IoAllocateWorkItem(Device);
  HkWorkQueueStepMode(true);
  IoQueueWorkItem(WorkItem, FreeOwnWorkItem, DelayedWorkQueue, WorkItem);
  EXPECT_EQ(HkObjectReferenceCount(Device), 2);
  HkWorkQueueStepMode(false);
  HkWaitForWorkQueueIdle();
  EXPECT_EQ(HkObjectReferenceCount(Device), 1);
  IoDeleteDevice(Device);
  ExpectNothingAlive();
}

}  // namespace
