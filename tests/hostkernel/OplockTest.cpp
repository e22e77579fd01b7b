// The oplock and byte-range lock packages on their own: grants that stay pending, breaks
// caused by other handles' opens, reads and locks, acknowledgements that let held requests
// go on, the owner's cleanup; exclusive and shared ranges, waiting locks and unlocks.
#include "StandInTestSupport.h"

namespace {

// An IRP as a driver receives it, whose completion the test sees and whose ownership
// comes back to the test when completed.
struct TestIrp {
  PIRP Irp;
  bool Completed = false;
  REQUEST_OPLOCK_INPUT_BUFFER Buffer[2]{};  // input and output of FSCTL_REQUEST_OPLOCK

  TestIrp(UCHAR Major, PFILE_OBJECT FileObject) {
    Irp = IoAllocateIrp(2, FALSE);
    IoSetCompletionRoutine(Irp, Record, this, TRUE, TRUE, TRUE);
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    Stack->MajorFunction = Major;
    Stack->FileObject = FileObject;
    Irp->AssociatedIrp.SystemBuffer = Buffer;
  }
  ~TestIrp() { IoFreeIrp(Irp); }
  TestIrp(const TestIrp&) = delete;
  TestIrp& operator=(const TestIrp&) = delete;

  static NTSTATUS Record(PDEVICE_OBJECT, PIRP, PVOID Context) {
    ((TestIrp*)Context)->Completed = true;
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  PIO_STACK_LOCATION Stack() { return IoGetCurrentIrpStackLocation(Irp); }
  REQUEST_OPLOCK_OUTPUT_BUFFER* Output() { return (REQUEST_OPLOCK_OUTPUT_BUFFER*)Buffer; }
};

struct Fsctl : TestIrp {
  Fsctl(PFILE_OBJECT FileObject, ULONG Code) : TestIrp(IRP_MJ_FILE_SYSTEM_CONTROL, FileObject) {
    Stack()->Parameters.FileSystemControl.FsControlCode = Code;
  }
};

// FSCTL_REQUEST_OPLOCK asking for (or acknowledging with) Level.
struct RequestOplock : Fsctl {
  RequestOplock(PFILE_OBJECT FileObject, ULONG Level, ULONG Flags) : Fsctl(FileObject, FSCTL_REQUEST_OPLOCK) {
    Buffer[0] = {REQUEST_OPLOCK_CURRENT_VERSION, sizeof(REQUEST_OPLOCK_INPUT_BUFFER), Level, Flags};
    Stack()->Parameters.FileSystemControl.InputBufferLength = sizeof(REQUEST_OPLOCK_INPUT_BUFFER);
    Stack()->Parameters.FileSystemControl.OutputBufferLength = sizeof(REQUEST_OPLOCK_OUTPUT_BUFFER);
  }
};

struct Create : TestIrp {
  IO_SECURITY_CONTEXT Security{};
  Create(PFILE_OBJECT FileObject, ULONG Options = 0) : TestIrp(IRP_MJ_CREATE, FileObject) {
    Security.DesiredAccess = FILE_READ_DATA;
    Stack()->Parameters.Create.SecurityContext = &Security;
    Stack()->Parameters.Create.Options = Options;
    Stack()->Parameters.Create.ShareAccess = FILE_SHARE_READ;
  }
};

// What the oplock package's completion routine saw of a held request.
struct Held {
  int Calls = 0;
  NTSTATUS Status = -1;
  int PrePosts = 0;
};
void HeldComplete(PVOID Context, PIRP Irp) {
  ((Held*)Context)->Calls++;
  ((Held*)Context)->Status = Irp->IoStatus.Status;
}
void HeldPrePost(PVOID Context, PIRP) { ((Held*)Context)->PrePosts++; }

NTSTATUS Check(OPLOCK* Oplock, TestIrp& Request, Held& Seen) {
  return FsRtlCheckOplock(Oplock, Request.Irp, &Seen, HeldComplete, HeldPrePost);
}

#define RWH (OPLOCK_LEVEL_CACHE_READ | OPLOCK_LEVEL_CACHE_WRITE | OPLOCK_LEVEL_CACHE_HANDLE)
#define RH (OPLOCK_LEVEL_CACHE_READ | OPLOCK_LEVEL_CACHE_HANDLE)

class Oplocks : public testing::Test {
 protected:
  void TearDown() override {
    FsRtlUninitializeOplock(&Oplock);
    ExpectNothingAlive();
  }
  OPLOCK Oplock = nullptr;
  FILE_OBJECT Owner{};
  FILE_OBJECT Other{};
};

TEST_F(Oplocks, ABatchOplockBrokenByAnotherOpenHoldsTheOpenUntilAcknowledgedAndBecomesLevel2) {
  FsRtlInitializeOplock(&Oplock);
  Fsctl Grant(&Owner, FSCTL_REQUEST_BATCH_OPLOCK);
  ASSERT_EQ(FsRtlOplockFsctrl(&Oplock, Grant.Irp, 1), STATUS_PENDING);
  EXPECT_FALSE(Grant.Completed) << "a grant stays pending while it stands";
  EXPECT_TRUE(FsRtlCurrentBatchOplock(&Oplock));
  EXPECT_TRUE(FsRtlOplockIsFastIoPossible(&Oplock));

  Create Open(&Other);
  Held Seen;
  EXPECT_EQ(Check(&Oplock, Open, Seen), STATUS_PENDING);
  EXPECT_TRUE(Grant.Completed);
  EXPECT_EQ(Grant.Irp->IoStatus.Information, (ULONG_PTR)FILE_OPLOCK_BROKEN_TO_LEVEL_2);
  EXPECT_EQ(Seen.PrePosts, 1);
  EXPECT_EQ(Seen.Calls, 0) << "the open waits for the acknowledgement";
  EXPECT_FALSE(FsRtlOplockIsFastIoPossible(&Oplock));

  Fsctl Stranger(&Other, FSCTL_OPLOCK_BREAK_ACKNOWLEDGE);
  EXPECT_EQ(FsRtlOplockFsctrl(&Oplock, Stranger.Irp, 0), STATUS_INVALID_OPLOCK_PROTOCOL);
  EXPECT_EQ(Seen.Calls, 0);

  Fsctl Ack(&Owner, FSCTL_OPLOCK_BREAK_ACKNOWLEDGE);
  EXPECT_EQ(FsRtlOplockFsctrl(&Oplock, Ack.Irp, 0), STATUS_PENDING) << "the acknowledgement holds the level 2 oplock";
  EXPECT_EQ(Seen.Calls, 1);
  EXPECT_EQ(Seen.Status, STATUS_SUCCESS);
  EXPECT_FALSE(FsRtlCurrentBatchOplock(&Oplock));
  EXPECT_FALSE(FsRtlOplockIsFastIoPossible(&Oplock)) << "level 2 oplocks keep fast I/O off";

  // A byte-range lock ends level 2 at once, without an acknowledgement.
  TestIrp Lock(IRP_MJ_LOCK_CONTROL, &Other);
  Held LockSeen;
  EXPECT_EQ(Check(&Oplock, Lock, LockSeen), STATUS_SUCCESS);
  EXPECT_TRUE(Ack.Completed);
  EXPECT_EQ(Ack.Irp->IoStatus.Information, (ULONG_PTR)FILE_OPLOCK_BROKEN_TO_NONE);
  EXPECT_TRUE(FsRtlOplockIsFastIoPossible(&Oplock));
}

TEST_F(Oplocks, AnOpenThatCompletesIfOplockedGoesOnAndTheOwnersCleanupEndsTheBreak) {
  FsRtlInitializeOplock(&Oplock);
  Fsctl Grant(&Owner, FSCTL_REQUEST_OPLOCK_LEVEL_1);
  ASSERT_EQ(FsRtlOplockFsctrl(&Oplock, Grant.Irp, 1), STATUS_PENDING);
  Create Open(&Other, FILE_COMPLETE_IF_OPLOCKED);
  Held Seen;
  EXPECT_EQ(Check(&Oplock, Open, Seen), STATUS_OPLOCK_BREAK_IN_PROGRESS);
  EXPECT_TRUE(Grant.Completed);
  EXPECT_EQ(Seen.Calls + Seen.PrePosts, 0);

  Create Waiting(&Other);
  Held WaitingSeen;
  EXPECT_EQ(Check(&Oplock, Waiting, WaitingSeen), STATUS_PENDING);
  TestIrp Cleanup(IRP_MJ_CLEANUP, &Owner);
  EXPECT_EQ(FsRtlCheckOplock(&Oplock, Cleanup.Irp, nullptr, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(WaitingSeen.Calls, 1) << "the owner's handle went: nothing is left to acknowledge";
  Create Later(&Other);
  Held LaterSeen;
  EXPECT_EQ(Check(&Oplock, Later, LaterSeen), STATUS_SUCCESS);
  // Opens never break an oplock of their own file object.
  Fsctl Again(&Other, FSCTL_REQUEST_OPLOCK_LEVEL_1);
  ASSERT_EQ(FsRtlOplockFsctrl(&Oplock, Again.Irp, 1), STATUS_PENDING);
  Create Own(&Other);
  EXPECT_EQ(Check(&Oplock, Own, LaterSeen), STATUS_SUCCESS);
  EXPECT_FALSE(Again.Completed);
  FsRtlUninitializeOplock(&Oplock);
  EXPECT_TRUE(Again.Completed);
}

TEST_F(Oplocks, CancellingAGrantOrAHeldRequestTakesItOutOfTheOplockAndCompletesItCancelled) {
  FsRtlInitializeOplock(&Oplock);
  Fsctl Grant(&Owner, FSCTL_REQUEST_BATCH_OPLOCK);
  ASSERT_EQ(FsRtlOplockFsctrl(&Oplock, Grant.Irp, 1), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(Grant.Irp)) << "a standing grant has a cancel routine";
  EXPECT_TRUE(Grant.Completed);
  EXPECT_EQ(Grant.Irp->IoStatus.Status, STATUS_CANCELLED);
  EXPECT_FALSE(FsRtlCurrentBatchOplock(&Oplock)) << "the cancelled grant is gone";
  Create Free(&Other);
  Held NotHeld;
  EXPECT_EQ(Check(&Oplock, Free, NotHeld), STATUS_SUCCESS) << "nothing is left to break";

  Fsctl Again(&Owner, FSCTL_REQUEST_BATCH_OPLOCK);
  ASSERT_EQ(FsRtlOplockFsctrl(&Oplock, Again.Irp, 1), STATUS_PENDING) << "the oplock can be granted again";
  Create Open(&Other);
  Held Seen;
  ASSERT_EQ(Check(&Oplock, Open, Seen), STATUS_PENDING);
  EXPECT_TRUE(Again.Completed) << "the break reached the holder";
  Fsctl Notify(&Other, FSCTL_OPLOCK_BREAK_NOTIFY);
  ASSERT_EQ(FsRtlOplockFsctrl(&Oplock, Notify.Irp, 2), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(Open.Irp));
  EXPECT_EQ(Seen.Calls, 1) << "a held request ends through its completion routine";
  EXPECT_EQ(Seen.Status, STATUS_CANCELLED);
  EXPECT_TRUE(IoCancelIrp(Notify.Irp));
  EXPECT_TRUE(Notify.Completed);
  EXPECT_EQ(Notify.Irp->IoStatus.Status, STATUS_CANCELLED);

  Fsctl Ack(&Owner, FSCTL_OPLOCK_BREAK_ACKNOWLEDGE);
  ASSERT_EQ(FsRtlOplockFsctrl(&Oplock, Ack.Irp, 2), STATUS_PENDING) << "the holder keeps level 2";
  EXPECT_EQ(Seen.Calls, 1) << "the cancelled request is not released twice";
  EXPECT_FALSE(IoCancelIrp(Again.Irp)) << "a completed grant has no cancel routine left";

  Fsctl Cancelled(&Other, FSCTL_REQUEST_OPLOCK_LEVEL_2);
  EXPECT_FALSE(IoCancelIrp(Cancelled.Irp));
  EXPECT_EQ(FsRtlOplockFsctrl(&Oplock, Cancelled.Irp, 0), STATUS_CANCELLED) << "cancelled before it was held";
  EXPECT_TRUE(Cancelled.Completed);
  EXPECT_TRUE(IoCancelIrp(Ack.Irp));
  EXPECT_EQ(Ack.Irp->IoStatus.Status, STATUS_CANCELLED);
}

TEST_F(Oplocks, GrantsAreRefusedWhereOtherHandlesLocksOrOplocksStandAgainstThem) {
  FsRtlInitializeOplock(&Oplock);
  Fsctl TwoHandles(&Owner, FSCTL_REQUEST_OPLOCK_LEVEL_1);
  EXPECT_EQ(FsRtlOplockFsctrl(&Oplock, TwoHandles.Irp, 2), STATUS_OPLOCK_NOT_GRANTED);
  EXPECT_TRUE(TwoHandles.Completed);
  Fsctl Locked(&Owner, FSCTL_REQUEST_OPLOCK_LEVEL_2);
  EXPECT_EQ(FsRtlOplockFsctrl(&Oplock, Locked.Irp, 1), STATUS_OPLOCK_NOT_GRANTED);
  RequestOplock WriteOnly(&Owner, OPLOCK_LEVEL_CACHE_WRITE, REQUEST_OPLOCK_INPUT_FLAG_REQUEST);
  EXPECT_EQ(FsRtlOplockFsctrl(&Oplock, WriteOnly.Irp, 1), STATUS_INVALID_PARAMETER);

  Fsctl Shared1(&Owner, FSCTL_REQUEST_OPLOCK_LEVEL_2);
  Fsctl Shared2(&Other, FSCTL_REQUEST_OPLOCK_LEVEL_2);
  EXPECT_TRUE(FsRtlOplockIsSharedRequest(Shared1.Irp));
  EXPECT_EQ(FsRtlOplockFsctrl(&Oplock, Shared1.Irp, 0), STATUS_PENDING);
  EXPECT_EQ(FsRtlOplockFsctrl(&Oplock, Shared2.Irp, 0), STATUS_PENDING);
  Fsctl Exclusive(&Owner, FSCTL_REQUEST_BATCH_OPLOCK);
  EXPECT_FALSE(FsRtlOplockIsSharedRequest(Exclusive.Irp));
  EXPECT_EQ(FsRtlOplockFsctrl(&Oplock, Exclusive.Irp, 1), STATUS_OPLOCK_NOT_GRANTED);
  Fsctl Stray(&Owner, FSCTL_OPLOCK_BREAK_ACK_NO_2);
  EXPECT_EQ(FsRtlOplockFsctrl(&Oplock, Stray.Irp, 0), STATUS_INVALID_OPLOCK_PROTOCOL)
      << "nothing is being broken";
  // Uninitialising (TearDown) ends the pending grants.
  FsRtlUninitializeOplock(&Oplock);
  EXPECT_TRUE(Shared1.Completed && Shared2.Completed);
  EXPECT_EQ(Shared1.Irp->IoStatus.Information, (ULONG_PTR)FILE_OPLOCK_BROKEN_TO_NONE);
}

TEST_F(Oplocks, RequestedCachingLevelsReportTheirBreakAndKeepWhatTheAcknowledgementAsksFor) {
  FsRtlInitializeOplock(&Oplock);
  RequestOplock Grant(&Owner, RWH, REQUEST_OPLOCK_INPUT_FLAG_REQUEST);
  EXPECT_FALSE(FsRtlOplockIsSharedRequest(Grant.Irp));
  ASSERT_EQ(FsRtlOplockFsctrl(&Oplock, Grant.Irp, 1), STATUS_PENDING);

  TestIrp Read(IRP_MJ_READ, &Other);
  Held Seen;
  EXPECT_EQ(Check(&Oplock, Read, Seen), STATUS_PENDING);
  ASSERT_TRUE(Grant.Completed);
  EXPECT_EQ(Grant.Irp->IoStatus.Information, sizeof(REQUEST_OPLOCK_OUTPUT_BUFFER));
  EXPECT_EQ(Grant.Output()->OriginalOplockLevel, (ULONG)RWH);
  EXPECT_EQ(Grant.Output()->NewOplockLevel, (ULONG)RH);
  EXPECT_EQ(Grant.Output()->Flags, (ULONG)REQUEST_OPLOCK_OUTPUT_FLAG_ACK_REQUIRED);

  RequestOplock TooMuch(&Owner, RWH, REQUEST_OPLOCK_INPUT_FLAG_ACK);
  EXPECT_EQ(FsRtlOplockFsctrl(&Oplock, TooMuch.Irp, 0), STATUS_INVALID_PARAMETER)
      << "an acknowledgement keeps no more than the break left";
  RequestOplock Ack(&Owner, RH, REQUEST_OPLOCK_INPUT_FLAG_ACK);
  EXPECT_EQ(FsRtlOplockFsctrl(&Oplock, Ack.Irp, 0), STATUS_PENDING);
  EXPECT_EQ(Seen.Calls, 1);

  // A sharing violation breaks handle caching; the owner's cleanup ends the grant.
  Create Conflict(&Other);
  Held ConflictSeen;
  EXPECT_EQ(FsRtlOplockBreakH(&Oplock, Conflict.Irp, 0, &ConflictSeen, HeldComplete, HeldPrePost), STATUS_PENDING);
  ASSERT_TRUE(Ack.Completed);
  EXPECT_EQ(Ack.Output()->NewOplockLevel, (ULONG)OPLOCK_LEVEL_CACHE_READ);
  TestIrp Cleanup(IRP_MJ_CLEANUP, &Owner);
  EXPECT_EQ(FsRtlCheckOplock(&Oplock, Cleanup.Irp, nullptr, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ConflictSeen.Calls, 1);
}

// ---- Byte-range locks -----------------------------------------------------------------------------

class FileLocks : public testing::Test {
 protected:
  void SetUp() override { FsRtlInitializeFileLock(&Lock, nullptr, nullptr); }
  void TearDown() override {
    FsRtlUninitializeFileLock(&Lock);
    ExpectNothingAlive();
  }
  BOOLEAN FastLock(PFILE_OBJECT FileObject, LONGLONG Offset, LONGLONG Length, bool Exclusive, NTSTATUS* Status,
                   bool FailImmediately = true) {
    LARGE_INTEGER O{}, L{};
    O.QuadPart = Offset;
    L.QuadPart = Length;
    IO_STATUS_BLOCK Iosb{};
    BOOLEAN Done = FsRtlFastLock(&Lock, FileObject, &O, &L, IoGetCurrentProcess(), 0, FailImmediately, Exclusive,
                                 &Iosb, nullptr, FALSE);
    *Status = Iosb.Status;
    return Done;
  }
  NTSTATUS Unlock(PFILE_OBJECT FileObject, LONGLONG Offset, LONGLONG Length) {
    LARGE_INTEGER O{}, L{};
    O.QuadPart = Offset;
    L.QuadPart = Length;
    return FsRtlFastUnlockSingle(&Lock, FileObject, &O, &L, IoGetCurrentProcess(), 0, nullptr, FALSE);
  }
  bool CanRead(PFILE_OBJECT FileObject, LONGLONG Offset, LONGLONG Length) {
    LARGE_INTEGER O{}, L{};
    O.QuadPart = Offset;
    L.QuadPart = Length;
    return FsRtlFastCheckLockForRead(&Lock, &O, &L, 0, FileObject, IoGetCurrentProcess());
  }
  FILE_LOCK Lock{};
  FILE_OBJECT Owner{};
  FILE_OBJECT Other{};
};

TEST_F(FileLocks, ExclusiveRangesKeepOtherOwnersOutAndSharedRangesOnlyLockers) {
  NTSTATUS Status;
  ASSERT_TRUE(FastLock(&Owner, 100, 50, true, &Status));
  EXPECT_EQ(Status, STATUS_SUCCESS);
  EXPECT_TRUE(FsRtlAreThereCurrentFileLocks(&Lock));
  EXPECT_TRUE(CanRead(&Owner, 120, 10));
  EXPECT_FALSE(CanRead(&Other, 120, 10)) << "another owner's exclusive lock blocks its reads";
  EXPECT_TRUE(CanRead(&Other, 150, 10)) << "ranges are half-open";
  ASSERT_TRUE(FastLock(&Other, 149, 1, false, &Status));
  EXPECT_EQ(Status, STATUS_LOCK_NOT_GRANTED);
  ASSERT_TRUE(FastLock(&Owner, 100, 10, false, &Status));
  EXPECT_EQ(Status, STATUS_SUCCESS) << "a shared lock may lie inside its owner's exclusive one";
  ASSERT_TRUE(FastLock(&Owner, 100, 10, true, &Status));
  EXPECT_EQ(Status, STATUS_LOCK_NOT_GRANTED) << "an exclusive lock overlaps nothing, not even its own";
  EXPECT_FALSE(FastLock(&Other, 120, 1, true, &Status, false)) << "a lock that must wait needs an IRP";

  ASSERT_TRUE(FastLock(&Other, 400, 10, false, &Status));
  ASSERT_TRUE(FastLock(&Owner, 405, 10, false, &Status));
  EXPECT_EQ(Status, STATUS_SUCCESS) << "shared locks share";
  EXPECT_TRUE(CanRead(&Owner, 400, 20));
  ASSERT_TRUE(FastLock(&Other, 0, 0, true, &Status));
  EXPECT_EQ(Status, STATUS_SUCCESS) << "a zero-length lock overlaps nothing";

  LARGE_INTEGER Size{};
  Size.QuadPart = 100;
  EXPECT_TRUE(FsRtlCheckLockForOplockRequest(&Lock, &Size));
  Size.QuadPart = 101;
  EXPECT_FALSE(FsRtlCheckLockForOplockRequest(&Lock, &Size));

  ASSERT_TRUE(FastLock(&Owner, -16, 32, true, &Status));
  EXPECT_EQ(Status, STATUS_INVALID_LOCK_RANGE) << "a range past the last offset";

  EXPECT_EQ(Unlock(&Other, 100, 50), STATUS_RANGE_NOT_LOCKED) << "only the owner unlocks";
  EXPECT_EQ(Unlock(&Owner, 100, 49), STATUS_RANGE_NOT_LOCKED) << "unlocks name the exact range";
  EXPECT_EQ(Unlock(&Owner, 100, 50), STATUS_SUCCESS);
  EXPECT_EQ(FsRtlFastUnlockAll(&Lock, &Owner, IoGetCurrentProcess(), nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(CanRead(&Other, 100, 50));
  EXPECT_TRUE(FsRtlAreThereCurrentFileLocks(&Lock)) << "the other owner's locks stay";
  EXPECT_EQ(FsRtlFastUnlockAllByKey(&Lock, &Other, IoGetCurrentProcess(), 0, nullptr), STATUS_SUCCESS);
  EXPECT_FALSE(FsRtlAreThereCurrentFileLocks(&Lock));
}

struct LockIrp : TestIrp {
  LARGE_INTEGER Length{};
  LockIrp(PFILE_OBJECT FileObject, UCHAR Minor, LONGLONG Offset, LONGLONG Bytes, UCHAR Flags)
      : TestIrp(IRP_MJ_LOCK_CONTROL, FileObject) {
    Length.QuadPart = Bytes;
    Stack()->MinorFunction = Minor;
    Stack()->Flags = Flags;
    Stack()->Parameters.LockControl.ByteOffset.QuadPart = Offset;
    Stack()->Parameters.LockControl.Length = &Length;
  }
};

TEST_F(FileLocks, AWaitingLockIsGrantedByTheUnlockThatClearsItsWayOrEndedWithItsHandle) {
  LockIrp First(&Owner, IRP_MN_LOCK, 0, 10, SL_EXCLUSIVE_LOCK);
  EXPECT_EQ(FsRtlProcessFileLock(&Lock, First.Irp, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(First.Completed);
  LockIrp Waiting(&Other, IRP_MN_LOCK, 5, 10, SL_EXCLUSIVE_LOCK);
  EXPECT_EQ(FsRtlProcessFileLock(&Lock, Waiting.Irp, nullptr), STATUS_PENDING);
  EXPECT_FALSE(Waiting.Completed);
  EXPECT_TRUE(FsRtlAreThereWaitingFileLocks(&Lock));
  LockIrp Refused(&Other, IRP_MN_LOCK, 5, 1, SL_FAIL_IMMEDIATELY);
  EXPECT_EQ(FsRtlProcessFileLock(&Lock, Refused.Irp, nullptr), STATUS_LOCK_NOT_GRANTED);
  EXPECT_EQ(Refused.Irp->IoStatus.Status, STATUS_LOCK_NOT_GRANTED);

  LockIrp Unlock(&Owner, IRP_MN_UNLOCK_SINGLE, 0, 10, 0);
  EXPECT_EQ(FsRtlProcessFileLock(&Lock, Unlock.Irp, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(Waiting.Completed);
  EXPECT_EQ(Waiting.Irp->IoStatus.Status, STATUS_SUCCESS);
  EXPECT_FALSE(FsRtlAreThereWaitingFileLocks(&Lock));

  LockIrp Blocked(&Owner, IRP_MN_LOCK, 0, 100, 0);
  EXPECT_EQ(FsRtlProcessFileLock(&Lock, Blocked.Irp, nullptr), STATUS_PENDING);
  LockIrp All(&Owner, IRP_MN_UNLOCK_ALL, 0, 0, 0);
  EXPECT_EQ(FsRtlProcessFileLock(&Lock, All.Irp, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(Blocked.Completed) << "unlock-all ends the handle's waiting locks";
  EXPECT_EQ(Blocked.Irp->IoStatus.Status, STATUS_RANGE_NOT_LOCKED);

  // A waiter left at uninitialisation is ended too (TearDown).
  LockIrp Left(&Owner, IRP_MN_LOCK, 5, 1, 0);
  EXPECT_EQ(FsRtlProcessFileLock(&Lock, Left.Irp, nullptr), STATUS_PENDING);
  FsRtlUninitializeFileLock(&Lock);
  EXPECT_TRUE(Left.Completed);
  EXPECT_EQ(Left.Irp->IoStatus.Status, STATUS_RANGE_NOT_LOCKED);
}

TEST_F(FileLocks, ACancelledWaitingLockLeavesTheQueueAndCompletesCancelled) {
  LockIrp First(&Owner, IRP_MN_LOCK, 0, 10, SL_EXCLUSIVE_LOCK);
  ASSERT_EQ(FsRtlProcessFileLock(&Lock, First.Irp, nullptr), STATUS_SUCCESS);
  LockIrp Waiting(&Other, IRP_MN_LOCK, 5, 10, SL_EXCLUSIVE_LOCK);
  ASSERT_EQ(FsRtlProcessFileLock(&Lock, Waiting.Irp, nullptr), STATUS_PENDING);
  LockIrp Behind(&Other, IRP_MN_LOCK, 8, 1, 0);
  ASSERT_EQ(FsRtlProcessFileLock(&Lock, Behind.Irp, nullptr), STATUS_PENDING);

  EXPECT_TRUE(IoCancelIrp(Waiting.Irp)) << "a waiting lock has a cancel routine";
  EXPECT_TRUE(Waiting.Completed);
  EXPECT_EQ(Waiting.Irp->IoStatus.Status, STATUS_CANCELLED);
  EXPECT_TRUE(FsRtlAreThereWaitingFileLocks(&Lock)) << "the other waiter stays";

  LockIrp Unlock(&Owner, IRP_MN_UNLOCK_SINGLE, 0, 10, 0);
  ASSERT_EQ(FsRtlProcessFileLock(&Lock, Unlock.Irp, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(Behind.Completed);
  EXPECT_EQ(Behind.Irp->IoStatus.Status, STATUS_SUCCESS);
  NTSTATUS Status;
  ASSERT_TRUE(FastLock(&Owner, 12, 1, true, &Status));
  EXPECT_EQ(Status, STATUS_SUCCESS) << "the cancelled lock was never granted";
  EXPECT_FALSE(IoCancelIrp(Behind.Irp)) << "a granted lock has no cancel routine left";

  LockIrp Cancelled(&Other, IRP_MN_LOCK, 12, 1, SL_EXCLUSIVE_LOCK);
  EXPECT_FALSE(IoCancelIrp(Cancelled.Irp));
  EXPECT_EQ(FsRtlProcessFileLock(&Lock, Cancelled.Irp, nullptr), STATUS_CANCELLED) << "cancelled before it waited";
  EXPECT_TRUE(Cancelled.Completed);
}

}  // namespace
