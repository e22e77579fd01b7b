// Byte-range locks, oplock requests and the remaining requests of a volume, sent through
// the front end (fast I/O first, then IRPs) on handles of a volume the writer made:
// locks of both kinds and the waiting lock an unlock lets through, oplock grants that stay
// pending and their refusals, a batch oplock broken by another handle's lock, flushes that
// succeed, writes and extended-attribute requests refused, shutdown once, and removal.
#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>

#include "DriverFixture.h"

namespace {

using apfsw::Entry;

class LockControl : public WrittenVolume {
 protected:
  void SetUp() override {
    LoadedDriver::SetUp();
    Entry File;
    File.name = "data";
    File.size = 8192;
    Entry Folder;
    Folder.name = "folder";
    Folder.kind = apfsw::EntryKind::Directory;
    apfsw::ContainerSpec Spec;
    Spec.volumes.resize(1);
    Spec.volumes[0].root.children = {File, Folder};
    Open(Spec);
    // The records are made and deleted as the driver does it, inside a critical region;
    // the front end's services run outside one.
    FsRtlEnterFileSystem();
    Root = CreateRootFcb(&IrpContext, Vcb);
    FileInfo Info{};
    FsNode* Node = Lookup("data", &Info);
    ASSERT_NE(Node, nullptr);
    Fcb = CreateFileFcb(&IrpContext, Vcb, Root, Node, &Info, FALSE);
    FsNodeRelease(Node);
    Node = Lookup("folder", &Info);
    ASSERT_NE(Node, nullptr);
    Directory = CreateDirectoryFcb(&IrpContext, Vcb, Root, Node, &Info);
    FsNodeRelease(Node);
    FsRtlExitFileSystem();
  }

  void TearDown() override {
    HkWaitForWorkQueueIdle();
    for (HANDLE Handle : Handles_) HkDropHandle(Handle);
    for (PCCB Ccb : Ccbs_) FreeCcb(Ccb);
    FsRtlEnterFileSystem();
    if (Fcb != nullptr) Fcb->UncleanCount = 0;
    if (Directory != nullptr) DeleteFcb(&IrpContext, &Directory);
    if (Fcb != nullptr) DeleteFcb(&IrpContext, &Fcb);
    if (Root != nullptr) DeleteFcb(&IrpContext, &Root);
    FsRtlExitFileSystem();
    WrittenVolume::TearDown();
  }

  // A handle of Kind on Target, as a create leaves it; asynchronous unless Synchronous.
  HANDLE Handle(OPEN_KIND Kind, PVOID Target, bool Synchronous = true) {
    PCCB Ccb = AllocateCcb(&IrpContext, Kind);
    Ccb->Target = Target;
    Ccbs_.push_back(Ccb);
    HANDLE H = HkInsertHandle(VolumeDevice, Target, Ccb, Synchronous ? FO_SYNCHRONOUS_IO : 0);
    Handles_.push_back(H);
    return H;
  }

  NTSTATUS Lock(HANDLE H, LONGLONG Offset, LONGLONG Length, bool Exclusive, bool FailImmediately,
                PKEVENT Event = nullptr, PIO_STATUS_BLOCK Iosb = nullptr) {
    LARGE_INTEGER O{}, L{};
    O.QuadPart = Offset;
    L.QuadPart = Length;
    IO_STATUS_BLOCK Own{};
    return NtLockFile(H, Event, nullptr, nullptr, Iosb ? Iosb : &Own, &O, &L, 0, FailImmediately, Exclusive);
  }

  NTSTATUS Unlock(HANDLE H, LONGLONG Offset, LONGLONG Length) {
    LARGE_INTEGER O{}, L{};
    O.QuadPart = Offset;
    L.QuadPart = Length;
    IO_STATUS_BLOCK Iosb{};
    return NtUnlockFile(H, &Iosb, &O, &L, 0);
  }

  BOOLEAN FastCheck(HANDLE H, LONGLONG Offset, ULONG Length, BOOLEAN Read) {
    LARGE_INTEGER O{};
    O.QuadPart = Offset;
    IO_STATUS_BLOCK Iosb{};
    return QdrlFastIoDispatch.FastIoCheckIfPossible(HkFileObjectOf(H), &O, Length, TRUE, 0, Read, &Iosb,
                                                    VolumeDevice);
  }

  NTSTATUS Fsctl(HANDLE H, ULONG Code, PKEVENT Event, PIO_STATUS_BLOCK Iosb, PVOID In = nullptr, ULONG InLength = 0,
                 PVOID Out = nullptr, ULONG OutLength = 0) {
    return NtFsControlFile(H, Event, nullptr, nullptr, Iosb, Code, In, InLength, Out, OutLength);
  }

  // An IRP of Major on the handle's file object, sent to the volume device.
  NTSTATUS SendOnHandle(HANDLE H, UCHAR Major, PIO_STATUS_BLOCK Iosb) {
    KEVENT Done;
    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    UCHAR Byte = 0;
    LARGE_INTEGER Offset{};
    PIRP Irp = IoBuildSynchronousFsdRequest(Major, VolumeDevice, &Byte, 1, &Offset, &Done, Iosb);
    IoGetNextIrpStackLocation(Irp)->FileObject = HkFileObjectOf(H);
    NTSTATUS Status = IoCallDriver(VolumeDevice, Irp);
    if (Status == STATUS_PENDING) KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
    return Iosb->Status;
  }

  PFCB Root = nullptr;
  PFCB Fcb = nullptr;
  PFCB Directory = nullptr;

 private:
  std::vector<HANDLE> Handles_;
  std::vector<PCCB> Ccbs_;
};

void WaitFor(KEVENT* Event) { KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, nullptr); }

// An exclusive lock request sent as an IRP whatever fast I/O would have done; the IRP comes
// back to the test when completed.
struct LockIrp {
  KEVENT Done;
  LARGE_INTEGER Length{};
  PIRP Irp;
  LockIrp(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, LONGLONG Offset, LONGLONG Bytes) {
    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    Length.QuadPart = Bytes;
    Irp = IoAllocateIrp(Device->StackSize, FALSE);
    Irp->Tail.Overlay.Thread = PsGetCurrentThread();
    Irp->Tail.Overlay.OriginalFileObject = FileObject;
    IoSetCompletionRoutine(Irp, SignalEventComplete, &Done, TRUE, TRUE, TRUE);
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->MajorFunction = IRP_MJ_LOCK_CONTROL;
    Next->MinorFunction = IRP_MN_LOCK;
    Next->Flags = SL_EXCLUSIVE_LOCK;
    Next->FileObject = FileObject;
    Next->Parameters.LockControl.ByteOffset.QuadPart = Offset;
    Next->Parameters.LockControl.Length = &Length;
  }
  ~LockIrp() { IoFreeIrp(Irp); }
  LockIrp(const LockIrp&) = delete;
  LockIrp& operator=(const LockIrp&) = delete;
};

TEST_F(LockControl, LocksTakenByFastIoAndIrpsKeepOtherOwnersOutUntilUnlocked) {
  HANDLE A = Handle(FileOpen, Fcb, false);
  HANDLE B = Handle(FileOpen, Fcb, false);
  EXPECT_EQ(Lock(A, 0, 100, true, true), STATUS_SUCCESS);
  EXPECT_TRUE(FsRtlAreThereCurrentFileLocks(&Fcb->File.FileLock));
  EXPECT_EQ(Fcb->Header.IsFastIoPossible, (UCHAR)FastIoIsQuestionable);

  // Reads of the locked range by another owner may not take the fast path; writes never.
  EXPECT_TRUE(FastCheck(A, 10, 10, TRUE));
  EXPECT_FALSE(FastCheck(B, 10, 10, TRUE));
  EXPECT_TRUE(FastCheck(B, 100, 10, TRUE));
  EXPECT_FALSE(FastCheck(A, 200, 10, FALSE));

  EXPECT_EQ(Lock(B, 50, 10, true, true), STATUS_LOCK_NOT_GRANTED);
  // A lock that must wait comes as an IRP and stays pending until the unlock.
  KEVENT Granted;
  KeInitializeEvent(&Granted, NotificationEvent, FALSE);
  IO_STATUS_BLOCK Iosb{};
  EXPECT_EQ(Lock(B, 50, 10, true, false, &Granted, &Iosb), STATUS_PENDING);
  EXPECT_TRUE(FsRtlAreThereWaitingFileLocks(&Fcb->File.FileLock));
  EXPECT_EQ(Unlock(A, 0, 99), STATUS_RANGE_NOT_LOCKED);
  EXPECT_EQ(Unlock(A, 0, 100), STATUS_SUCCESS);
  WaitFor(&Granted);
  EXPECT_EQ(Iosb.Status, STATUS_SUCCESS);
  EXPECT_FALSE(FastCheck(A, 55, 1, TRUE)) << "the waiting lock is B's now";

  IO_STATUS_BLOCK All{};
  EXPECT_TRUE(QdrlFastIoDispatch.FastIoUnlockAll(HkFileObjectOf(B), IoGetCurrentProcess(), &All, VolumeDevice));
  EXPECT_EQ(All.Status, STATUS_SUCCESS);
  EXPECT_FALSE(FsRtlAreThereCurrentFileLocks(&Fcb->File.FileLock));

  // With a level 2 oplock locks come as IRPs: one past the allocation leaves the oplock
  // alone, one inside the file breaks it.
  KEVENT Broken;
  KeInitializeEvent(&Broken, NotificationEvent, FALSE);
  IO_STATUS_BLOCK GrantIosb{};
  ASSERT_EQ(NtFsControlFile(A, &Broken, nullptr, nullptr, &GrantIosb, FSCTL_REQUEST_OPLOCK_LEVEL_2, nullptr, 0,
                            nullptr, 0),
            STATUS_PENDING);
  EXPECT_EQ(Fcb->Header.IsFastIoPossible, (UCHAR)FastIoIsNotPossible);
  EXPECT_EQ(Lock(B, 1 << 20, 10, false, true), STATUS_SUCCESS);
  EXPECT_FALSE(KeReadStateEvent(&Broken));
  EXPECT_EQ(Lock(B, 0, 10, false, true), STATUS_SUCCESS);
  WaitFor(&Broken);
  EXPECT_EQ(GrantIosb.Information, (ULONG_PTR)FILE_OPLOCK_BROKEN_TO_NONE);
  EXPECT_EQ(Fcb->Header.IsFastIoPossible, (UCHAR)FastIoIsQuestionable);
  EXPECT_TRUE(FsRtlAreThereCurrentFileLocks(&Fcb->File.FileLock));

  // Only files take locks.
  HANDLE Folder = Handle(DirectoryOpen, Directory);
  EXPECT_EQ(Lock(Folder, 0, 1, true, true), STATUS_INVALID_PARAMETER);
  HANDLE Volume = Handle(VolumeOpen, Vcb);
  EXPECT_EQ(Lock(Volume, 0, 1, true, true), STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(FastCheck(Volume, 0, 1, TRUE));
}

TEST_F(LockControl, OplockRequestsAreGrantedPendingOrRefusedByHandleKindBufferAndOpenCount) {
  HANDLE A = Handle(FileOpen, Fcb, false);
  HANDLE Folder = Handle(DirectoryOpen, Directory, false);
  HANDLE Volume = Handle(VolumeOpen, Vcb, false);
  IO_STATUS_BLOCK Iosb{};
  KEVENT Event;
  KeInitializeEvent(&Event, NotificationEvent, FALSE);

  REQUEST_OPLOCK_INPUT_BUFFER In{REQUEST_OPLOCK_CURRENT_VERSION, sizeof(In), OPLOCK_LEVEL_CACHE_READ,
                                 REQUEST_OPLOCK_INPUT_FLAG_REQUEST};
  REQUEST_OPLOCK_OUTPUT_BUFFER Out{};
  EXPECT_EQ(Fsctl(A, FSCTL_REQUEST_OPLOCK, &Event, &Iosb, &In, 8, &Out, sizeof(Out)), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Fsctl(A, FSCTL_REQUEST_OPLOCK, &Event, &Iosb, &In, sizeof(In), &Out, 16), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Fsctl(Volume, FSCTL_REQUEST_OPLOCK_LEVEL_2, &Event, &Iosb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Fsctl(Folder, FSCTL_REQUEST_BATCH_OPLOCK, &Event, &Iosb), STATUS_INVALID_PARAMETER);
  REQUEST_OPLOCK_INPUT_BUFFER Neither = In;
  Neither.Flags = 0;
  EXPECT_EQ(Fsctl(A, FSCTL_REQUEST_OPLOCK, &Event, &Iosb, &Neither, sizeof(In), &Out, sizeof(Out)),
            STATUS_INVALID_PARAMETER);

  // A shared oplock on the directory is granted and stays pending.
  KEVENT FolderBroken;
  KeInitializeEvent(&FolderBroken, NotificationEvent, FALSE);
  IO_STATUS_BLOCK FolderIosb{};
  REQUEST_OPLOCK_OUTPUT_BUFFER FolderOut{};
  EXPECT_EQ(Fsctl(Folder, FSCTL_REQUEST_OPLOCK, &FolderBroken, &FolderIosb, &In, sizeof(In), &FolderOut,
                  sizeof(FolderOut)),
            STATUS_PENDING);
  EXPECT_FALSE(KeReadStateEvent(&FolderBroken));

  // Level 1 with two handles open on the file is not granted.
  Fcb->UncleanCount = 2;
  EXPECT_EQ(Fsctl(A, FSCTL_REQUEST_OPLOCK_LEVEL_1, &Event, &Iosb), STATUS_OPLOCK_NOT_GRANTED);
  Fcb->UncleanCount = 1;
  KEVENT Broken;
  KeInitializeEvent(&Broken, NotificationEvent, FALSE);
  IO_STATUS_BLOCK GrantIosb{};
  EXPECT_EQ(Fsctl(A, FSCTL_REQUEST_BATCH_OPLOCK, &Broken, &GrantIosb), STATUS_PENDING);
  EXPECT_EQ(Fcb->Header.IsFastIoPossible, (UCHAR)FastIoIsQuestionable);

  // Another handle's lock request inside the file breaks it and waits for the
  // acknowledgement.
  HANDLE B = Handle(FileOpen, Fcb, false);
  LockIrp Request(VolumeDevice, HkFileObjectOf(B), 0, 10);
  EXPECT_EQ(IoCallDriver(VolumeDevice, Request.Irp), STATUS_PENDING);
  KEVENT& Locked = Request.Done;
  IO_STATUS_BLOCK& LockIosb = Request.Irp->IoStatus;
  WaitFor(&Broken);
  EXPECT_EQ(GrantIosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(GrantIosb.Information, (ULONG_PTR)FILE_OPLOCK_BROKEN_TO_NONE);
  EXPECT_FALSE(KeReadStateEvent(&Locked));
  EXPECT_EQ(Fsctl(A, FSCTL_OPLOCK_BREAK_ACKNOWLEDGE, &Event, &Iosb), STATUS_SUCCESS);
  WaitFor(&Locked);
  EXPECT_EQ(LockIosb.Status, STATUS_SUCCESS) << "the lock ran again on a worker after the acknowledgement";
  EXPECT_TRUE(FsRtlAreThereCurrentFileLocks(&Fcb->File.FileLock));
  HkWaitForWorkQueueIdle();
  EXPECT_EQ(Fcb->Header.IsFastIoPossible, (UCHAR)FastIoIsQuestionable);
  // The directory's grant ends when its oplock goes (as when its Fcb is deleted).
  FsRtlUninitializeOplock(&Directory->Header.Oplock);
  WaitFor(&FolderBroken);
  EXPECT_EQ(FolderIosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(FolderOut.OriginalOplockLevel, (ULONG)OPLOCK_LEVEL_CACHE_READ);
  EXPECT_EQ(FolderOut.NewOplockLevel, 0u);
}

TEST_F(LockControl, FlushesSucceedWhileExtendedAttributeRequestsAreRefused) {
  HANDLE A = Handle(FileOpen, Fcb);
  HANDLE Folder = Handle(DirectoryOpen, Directory);
  HANDLE Volume = Handle(VolumeOpen, Vcb);
  IO_STATUS_BLOCK Iosb{};
  for (HANDLE H : {A, Folder, Volume}) {
    EXPECT_EQ(NtFlushBuffersFile(H, &Iosb), STATUS_SUCCESS);
    EXPECT_EQ(SendOnHandle(H, IRP_MJ_QUERY_EA, &Iosb), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(SendOnHandle(H, IRP_MJ_SET_EA, &Iosb), STATUS_INVALID_DEVICE_REQUEST);
  }
}

TEST_F(LockControl, WritesAreRefusedAsOnWriteProtectedMediaAndNeverReachTheDisk) {
  HANDLE A = Handle(FileOpen, Fcb);
  HANDLE Folder = Handle(DirectoryOpen, Directory);
  HANDLE Volume = Handle(VolumeOpen, Vcb);
  IO_STATUS_BLOCK Iosb{};
  for (HANDLE H : {A, Folder, Volume}) {
    Iosb.Information = 7;
    EXPECT_EQ(SendOnHandle(H, IRP_MJ_WRITE, &Iosb), STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(Iosb.Information, 0u);
    EXPECT_FALSE(FastCheck(H, 0, 1, FALSE)) << "writes always come as IRPs";
  }
  for (const auto& Each : HkIoLog(Disk)) EXPECT_NE(Each.MajorFunction, IRP_MJ_WRITE);
}

// ---- Shutdown and removal of mounted volumes ------------------------------------------------------

class VolumeEnd : public ImageMount {
 protected:
  static apfsw::ContainerSpec OneFile() {
    Entry File;
    File.name = "data";
    File.size = 100;
    apfsw::ContainerSpec Spec;
    Spec.volumes.resize(1);
    Spec.volumes[0].root.children = {File};
    return Spec;
  }

  PDEVICE_OBJECT MountedDisk(const std::string& ImageName = "volume.img") {
    PDEVICE_OBJECT Device = AddDisk(WriteImage(OneFile(), ImageName));
    EXPECT_EQ(Mount(Device), STATUS_SUCCESS);
    return Device;
  }

  // Whether the volume device still exists (its Vcb lives as long as it does).
  static bool VolumeAlive(PDEVICE_OBJECT VolumeDevice) {
    for (PDEVICE_OBJECT Each = GlobalData.DriverObject->DeviceObject; Each != nullptr; Each = Each->NextDevice)
      if (Each == VolumeDevice) return true;
    return false;
  }

  static NTSTATUS ReadSome(HANDLE H) {
    UCHAR Buffer[10];
    IO_STATUS_BLOCK Iosb{};
    LARGE_INTEGER Offset{};
    return NtReadFile(H, nullptr, nullptr, nullptr, &Iosb, Buffer, sizeof(Buffer), &Offset, nullptr);
  }

  static size_t Seen(PDEVICE_OBJECT Device, UCHAR Major) {
    size_t Count = 0;
    for (const auto& Each : HkIoLog(Device)) Count += Each.MajorFunction == Major;
    return Count;
  }

  // A plug-and-play request of Minor sent to the volume device.
  static NTSTATUS SendPnp(PDEVICE_OBJECT VolumeDevice, UCHAR Minor) {
    KEVENT Done;
    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    PIRP Irp = IoAllocateIrp(VolumeDevice->StackSize, FALSE);
    IoSetCompletionRoutine(Irp, SignalEventComplete, &Done, TRUE, TRUE, TRUE);
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->MajorFunction = IRP_MJ_PNP;
    Next->MinorFunction = Minor;
    NTSTATUS Status = IoCallDriver(VolumeDevice, Irp);
    KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
    Status = Irp->IoStatus.Status;
    IoFreeIrp(Irp);
    return Status;
  }
};

TEST_F(VolumeEnd, ShutdownTellsEachVolumesDeviceOnceDrainsDelayedClosesAndLeavesNoFileSystemToMount) {
  PDEVICE_OBJECT Devices[] = {MountedDisk("first.img"), MountedDisk("second.img")};
  PVCB Vcbs[2];
  for (int Index = 0; Index < 2; ++Index) {
    Vcbs[Index] = VcbOf(Devices[Index]);
    ASSERT_NE(Vcbs[Index], nullptr);
    // A file opened and closed unread: its Fcb is kept on the delayed list for a re-open.
    HANDLE File = nullptr;
    ASSERT_EQ(Open(Devices[Index], u"\\data", &File), STATUS_SUCCESS);
    EXPECT_EQ(Close(File), STATUS_SUCCESS);
    EXPECT_FALSE(IsListEmpty(&Vcbs[Index]->RootFcb->Directory.ChildList));
  }
  ASSERT_EQ(GlobalData.DelayedCloseCount, 2u);
  PDEVICE_OBJECT VolumeDevice = Vcbs[0]->VolumeDevice;

  EXPECT_EQ(SendBareRequest(GlobalData.DiskFsDevice, IRP_MJ_SHUTDOWN), STATUS_SUCCESS);
  for (int Index = 0; Index < 2; ++Index) {
    EXPECT_TRUE(FlagOn(Vcbs[Index]->State, VCB_SHUTDOWN)) << Index;
    EXPECT_EQ(Seen(Devices[Index], IRP_MJ_SHUTDOWN), 1u) << Index;
    EXPECT_TRUE(IsListEmpty(&Vcbs[Index]->RootFcb->Directory.ChildList)) << "the file's Fcb went, " << Index;
  }
  EXPECT_EQ(GlobalData.DelayedCloseCount, 0u);
  EXPECT_TRUE(HkRegisteredFileSystems().empty());

  // A disk arriving now finds no file system to mount it.
  PDEVICE_OBJECT Late = AddDisk(WriteImage(OneFile(), "late.img"));
  HANDLE Handle = nullptr;
  EXPECT_EQ(Open(Late, u"\\data", &Handle), STATUS_UNRECOGNIZED_VOLUME);
  EXPECT_EQ(VcbOf(Late), nullptr);
  EXPECT_EQ(Seen(Late, IRP_MJ_READ), 0u);

  // A second shutdown (here through a volume) neither tells the devices again nor
  // deletes the control devices a second time.
  EXPECT_EQ(SendBareRequest(VolumeDevice, IRP_MJ_SHUTDOWN), STATUS_SUCCESS);
  for (PDEVICE_OBJECT Device : Devices) EXPECT_EQ(Seen(Device, IRP_MJ_SHUTDOWN), 1u);
  EXPECT_EQ(HkFindDevice(u"\\qdrl"), nullptr);
  EXPECT_EQ(HkFindDevice(u"\\qdrlcd"), nullptr);
}

TEST_F(VolumeEnd, ABatchOplockBrokenByAnotherOpenHoldsThatOpenUntilAcknowledged) {
  PDEVICE_OBJECT Device = MountedDisk();
  HANDLE Owner = nullptr;
  ASSERT_EQ(Open(Device, u"\\data", &Owner, FILE_READ_DATA | SYNCHRONIZE, 0), STATUS_SUCCESS);
  KEVENT Broken, Level2Ended;
  KeInitializeEvent(&Broken, NotificationEvent, FALSE);
  KeInitializeEvent(&Level2Ended, NotificationEvent, FALSE);
  IO_STATUS_BLOCK GrantIosb{}, AckIosb{};
  ASSERT_EQ(NtFsControlFile(Owner, &Broken, nullptr, nullptr, &GrantIosb, FSCTL_REQUEST_BATCH_OPLOCK, nullptr, 0,
                            nullptr, 0),
            STATUS_PENDING);

  std::atomic<bool> Opened{false};
  NTSTATUS SecondStatus = STATUS_PENDING;
  HANDLE Second = nullptr;
  std::thread Opener([&] {
    SecondStatus = Open(Device, u"\\data", &Second);
    Opened = true;
  });
  KeWaitForSingleObject(&Broken, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(GrantIosb.Information, (ULONG_PTR)FILE_OPLOCK_BROKEN_TO_LEVEL_2);
  EXPECT_FALSE(Opened) << "the open waits for the acknowledgement";
  EXPECT_EQ(NtFsControlFile(Owner, &Level2Ended, nullptr, nullptr, &AckIosb, FSCTL_OPLOCK_BREAK_ACKNOWLEDGE,
                            nullptr, 0, nullptr, 0),
            STATUS_PENDING)
      << "the acknowledgement holds the level 2 oplock";
  Opener.join();
  EXPECT_EQ(SecondStatus, STATUS_SUCCESS);
  EXPECT_EQ(Close(Second), STATUS_SUCCESS);
  // The owner's cleanup ends its level 2 oplock.
  EXPECT_EQ(Close(Owner), STATUS_SUCCESS);
  KeWaitForSingleObject(&Level2Ended, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(AckIosb.Information, (ULONG_PTR)FILE_OPLOCK_BROKEN_TO_NONE);
}

TEST_F(VolumeEnd, AnOpenThatCompletesIfOplockedGoesOnWhileTheBreakRunsAndLevel1NeedsTheOnlyHandle) {
  PDEVICE_OBJECT Device = MountedDisk();
  HANDLE Owner = nullptr, Second = nullptr;
  ASSERT_EQ(Open(Device, u"\\data", &Owner, FILE_READ_DATA | SYNCHRONIZE, 0), STATUS_SUCCESS);
  KEVENT Broken;
  KeInitializeEvent(&Broken, NotificationEvent, FALSE);
  IO_STATUS_BLOCK GrantIosb{}, Iosb{};
  ASSERT_EQ(NtFsControlFile(Owner, &Broken, nullptr, nullptr, &GrantIosb, FSCTL_REQUEST_BATCH_OPLOCK, nullptr, 0,
                            nullptr, 0),
            STATUS_PENDING);
  EXPECT_EQ(Open(Device, u"\\data", &Second, FILE_READ_DATA | SYNCHRONIZE,
                 FILE_SYNCHRONOUS_IO_NONALERT | FILE_COMPLETE_IF_OPLOCKED),
            STATUS_SUCCESS)
      << "the open goes on at once, without waiting for the acknowledgement";
  KeWaitForSingleObject(&Broken, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(GrantIosb.Information, (ULONG_PTR)FILE_OPLOCK_BROKEN_TO_LEVEL_2);
  EXPECT_EQ(NtFsControlFile(Owner, nullptr, nullptr, nullptr, &Iosb, FSCTL_OPLOCK_BREAK_ACK_NO_2, nullptr, 0, nullptr, 0),
            STATUS_SUCCESS);
  // Two handles are open now: no level 1 oplock for either.
  EXPECT_EQ(NtFsControlFile(Owner, nullptr, nullptr, nullptr, &Iosb, FSCTL_REQUEST_OPLOCK_LEVEL_1, nullptr, 0, nullptr,
                            0),
            STATUS_OPLOCK_NOT_GRANTED);
  EXPECT_EQ(Close(Second), STATUS_SUCCESS);
  EXPECT_EQ(Close(Owner), STATUS_SUCCESS);
}

// An open requiring an oplock has it reserved with the open, for the only handle of the
// file; an open that fails after the reservation gives it back.
TEST_F(VolumeEnd, AnOpenRequiringAnOplockReservesItForTheOnlyHandleAndAFailedOneGivesItBack) {
  PDEVICE_OBJECT Device = MountedDisk();
  HANDLE First = nullptr, Failed = nullptr, Owner = nullptr;
  ASSERT_EQ(Open(Device, u"\\data", &First), STATUS_SUCCESS);
  EXPECT_EQ(Open(Device, u"\\data", &Failed, FILE_READ_DATA | SYNCHRONIZE, FILE_OPEN_REQUIRING_OPLOCK),
            STATUS_OPLOCK_NOT_GRANTED)
      << "another handle is open";
  // The Fcb stays in memory without handles while its file object is referenced.
  PFILE_OBJECT Kept = HkFileObjectOf(First);
  ObReferenceObject(Kept);
  EXPECT_EQ(Close(First), STATUS_SUCCESS);

  HkFailAllocationsOfTag(TAG_CCB);
  EXPECT_EQ(Open(Device, u"\\data", &Failed, FILE_READ_DATA | SYNCHRONIZE, FILE_OPEN_REQUIRING_OPLOCK),
            STATUS_INSUFFICIENT_RESOURCES);
  HkClearAllocationFaults();
  ASSERT_EQ(Open(Device, u"\\data", &Owner, FILE_READ_DATA | SYNCHRONIZE, FILE_OPEN_REQUIRING_OPLOCK),
            STATUS_SUCCESS)
      << "the failed open gave its reservation back";
  KEVENT Broken;
  KeInitializeEvent(&Broken, NotificationEvent, FALSE);
  IO_STATUS_BLOCK GrantIosb{};
  EXPECT_EQ(NtFsControlFile(Owner, &Broken, nullptr, nullptr, &GrantIosb, FSCTL_REQUEST_BATCH_OPLOCK, nullptr, 0,
                            nullptr, 0),
            STATUS_PENDING)
      << "granted to the handle it was reserved for";
  // The owner's cleanup ends the grant.
  EXPECT_EQ(Close(Owner), STATUS_SUCCESS);
  KeWaitForSingleObject(&Broken, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(GrantIosb.Status, STATUS_SUCCESS);
  ObDereferenceObject(Kept);
}

TEST_F(VolumeEnd, AnotherOwnersExclusiveLockBlocksReadsUntilItsHandlesCleanupUnlocksAll) {
  PDEVICE_OBJECT Device = MountedDisk();
  HANDLE A = nullptr, B = nullptr;
  ASSERT_EQ(Open(Device, u"\\data", &A), STATUS_SUCCESS);
  ASSERT_EQ(Open(Device, u"\\data", &B), STATUS_SUCCESS);
  LARGE_INTEGER Offset{}, Length{};
  Length.QuadPart = 10;
  IO_STATUS_BLOCK Iosb{};
  EXPECT_EQ(NtLockFile(A, nullptr, nullptr, nullptr, &Iosb, &Offset, &Length, 0, TRUE, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(NtLockFile(B, nullptr, nullptr, nullptr, &Iosb, &Offset, &Length, 0, TRUE, TRUE), STATUS_LOCK_NOT_GRANTED);
  UCHAR Buffer[10];
  EXPECT_EQ(NtReadFile(B, nullptr, nullptr, nullptr, &Iosb, Buffer, sizeof(Buffer), &Offset, nullptr),
            STATUS_FILE_LOCK_CONFLICT);
  EXPECT_EQ(NtReadFile(A, nullptr, nullptr, nullptr, &Iosb, Buffer, sizeof(Buffer), &Offset, nullptr), STATUS_SUCCESS);

  // A query-remove while files are open is vetoed and not passed down.
  PVCB Vcb = VcbOf(Device);
  EXPECT_EQ(SendPnp(Vcb->VolumeDevice, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Seen(Device, IRP_MJ_PNP), 0u);
  EXPECT_EQ(SendPnp(Vcb->VolumeDevice, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(VcbOf(Device), Vcb);

  EXPECT_EQ(Close(A), STATUS_SUCCESS);
  EXPECT_EQ(NtReadFile(B, nullptr, nullptr, nullptr, &Iosb, Buffer, sizeof(Buffer), &Offset, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(NtLockFile(B, nullptr, nullptr, nullptr, &Iosb, &Offset, &Length, 0, TRUE, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(Close(B), STATUS_SUCCESS);
}

TEST_F(VolumeEnd, RemovalOfAnIdleVolumeDismountsItAndOtherRequestsPassDown) {
  PDEVICE_OBJECT Device = MountedDisk();
  PVCB Vcb = VcbOf(Device);
  ASSERT_NE(Vcb, nullptr);
  EXPECT_EQ(SendPnp(GlobalData.DiskFsDevice, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SendPnp(Vcb->VolumeDevice, 0x18 /* IRP_MN_QUERY_RESOURCE_REQUIREMENTS */), STATUS_SUCCESS);
  EXPECT_EQ(Seen(Device, IRP_MJ_PNP), 1u);
  EXPECT_EQ(SendPnp(Vcb->VolumeDevice, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(SendPnp(Vcb->VolumeDevice, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(Seen(Device, IRP_MJ_PNP), 3u);
  EXPECT_EQ(VcbOf(Device), nullptr) << "the idle volume is dismounted once the query succeeded";
}

// The PnP manager removes a device whose query-remove was vetoed when the device went
// anyway (a surprise removal) or the removal is forced.
TEST_F(VolumeEnd, ARemoveAfterAVetoedQuerySeparatesTheVolumeWhichGoesAtItsLastHandlesClose) {
  PDEVICE_OBJECT Device = MountedDisk();
  PVCB Vcb = VcbOf(Device);
  ASSERT_NE(Vcb, nullptr);
  PDEVICE_OBJECT VolumeDevice = Vcb->VolumeDevice;
  PVPB Vpb = Vcb->Vpb;
  HANDLE File = nullptr;
  ASSERT_EQ(Open(Device, u"\\data", &File), STATUS_SUCCESS);
  EXPECT_EQ(ReadSome(File), STATUS_SUCCESS);

  EXPECT_EQ(SendPnp(VolumeDevice, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Seen(Device, IRP_MJ_PNP), 0u);
  EXPECT_EQ(SendPnp(VolumeDevice, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(Seen(Device, IRP_MJ_PNP), 1u) << "the remove went down to the disk";
  EXPECT_FALSE(FlagOn(Vpb->Flags, VPB_LOCKED));
  EXPECT_FALSE(FlagOn(Vcb->State, VCB_LOCKED));
  EXPECT_NE(Device->Vpb, Vpb) << "the device has a VPB of its own again";
  EXPECT_EQ(VcbOf(Device), nullptr);
  EXPECT_TRUE(VolumeAlive(VolumeDevice)) << "the open handle keeps the volume";
  EXPECT_EQ(ReadSome(File), STATUS_FILE_INVALID);
  FILE_STANDARD_INFORMATION Standard{};
  IO_STATUS_BLOCK Iosb{};
  EXPECT_EQ(NtQueryInformationFile(File, &Iosb, &Standard, sizeof(Standard), FileStandardInformation),
            STATUS_FILE_INVALID);

  EXPECT_EQ(Close(File), STATUS_SUCCESS);
  HkWaitForWorkQueueIdle();
  EXPECT_FALSE(VolumeAlive(VolumeDevice)) << "the last close deleted the volume";
}

// A lower driver refusing the query: the volume stays locked as the query left it, and
// the cancel the PnP manager sends next unlocks it.
TEST_F(VolumeEnd, AQueryRemoveRefusedBelowKeepsTheVolumeLockedUntilTheCancel) {
  PDEVICE_OBJECT Device = MountedDisk();
  PVCB Vcb = VcbOf(Device);
  ASSERT_NE(Vcb, nullptr);
  HkFailPnp(Device, IRP_MN_QUERY_REMOVE_DEVICE, STATUS_DEVICE_BUSY);
  EXPECT_EQ(SendPnp(Vcb->VolumeDevice, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_DEVICE_BUSY);
  EXPECT_EQ(Seen(Device, IRP_MJ_PNP), 1u);
  ASSERT_EQ(VcbOf(Device), Vcb) << "the volume stays mounted";
  EXPECT_TRUE(FlagOn(Vcb->Vpb->Flags, VPB_LOCKED));
  HANDLE File = nullptr;
  EXPECT_EQ(Open(Device, u"\\data", &File), STATUS_ACCESS_DENIED) << "nothing opens on the locked volume";

  EXPECT_EQ(SendPnp(Vcb->VolumeDevice, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(Seen(Device, IRP_MJ_PNP), 2u);
  EXPECT_FALSE(FlagOn(Vcb->Vpb->Flags, VPB_LOCKED));
  EXPECT_FALSE(FlagOn(Vcb->State, VCB_LOCKED));
  ASSERT_EQ(Open(Device, u"\\data", &File), STATUS_SUCCESS);
  EXPECT_EQ(ReadSome(File), STATUS_SUCCESS);
  EXPECT_EQ(Close(File), STATUS_SUCCESS);
}

// A surprise removal takes an idle volume at once; a busy one is separated from its
// device, fails every later request and goes at its last handle's close.
TEST_F(VolumeEnd, SurpriseRemovalDismountsAnIdleVolumeAtOnceAndABusyOneAtItsLastClose) {
  PDEVICE_OBJECT Device = MountedDisk();
  PVCB Vcb = VcbOf(Device);
  ASSERT_NE(Vcb, nullptr);
  PDEVICE_OBJECT VolumeDevice = Vcb->VolumeDevice;
  EXPECT_EQ(SendPnp(VolumeDevice, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  EXPECT_EQ(Seen(Device, IRP_MJ_PNP), 1u);
  EXPECT_EQ(VcbOf(Device), nullptr);
  EXPECT_FALSE(VolumeAlive(VolumeDevice));

  ASSERT_EQ(Mount(Device), STATUS_SUCCESS);
  Vcb = VcbOf(Device);
  ASSERT_NE(Vcb, nullptr);
  VolumeDevice = Vcb->VolumeDevice;
  HANDLE File = nullptr;
  ASSERT_EQ(Open(Device, u"\\data", &File), STATUS_SUCCESS);
  EXPECT_EQ(ReadSome(File), STATUS_SUCCESS);
  EXPECT_EQ(SendPnp(VolumeDevice, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  EXPECT_EQ(Seen(Device, IRP_MJ_PNP), 2u);
  EXPECT_EQ(VcbOf(Device), nullptr);
  EXPECT_TRUE(VolumeAlive(VolumeDevice));
  EXPECT_EQ(ReadSome(File), STATUS_FILE_INVALID);
  EXPECT_EQ(Close(File), STATUS_SUCCESS);
  HkWaitForWorkQueueIdle();
  EXPECT_FALSE(VolumeAlive(VolumeDevice));
}

// ---- A whole session on a writer-made image leaves it as it was -------------------------

std::string ImageBytes(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

// A request of Major on the handle's file object that the front end has no service for.
NTSTATUS SendOnHandle(HANDLE H, UCHAR Major) {
  PFILE_OBJECT FileObject = HkFileObjectOf(H);
  PDEVICE_OBJECT Device = IoGetRelatedDeviceObject(FileObject);
  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  UCHAR Byte = 0;
  LARGE_INTEGER Offset{};
  IO_STATUS_BLOCK Iosb{};
  PIRP Irp = IoBuildSynchronousFsdRequest(Major == IRP_MJ_WRITE ? IRP_MJ_WRITE : IRP_MJ_FLUSH_BUFFERS, Device,
                                          &Byte, 1, &Offset, &Done, &Iosb);
  PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
  Next->MajorFunction = Major;
  Next->FileObject = FileObject;
  if (IoCallDriver(Device, Irp) == STATUS_PENDING) KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
  return Iosb.Status;
}

TEST_F(VolumeEnd, EveryRequestFamilyLeavesTheImageByteForByteAsItWasAndNeverWritesToTheDisk) {
  Entry File;
  File.name = "data";
  File.size = 3 * 4096 + 17;
  Entry Inner;
  Inner.name = "inner";
  Inner.size = 5;
  Entry Folder;
  Folder.name = "folder";
  Folder.kind = apfsw::EntryKind::Directory;
  Folder.children = {Inner};
  apfsw::ContainerSpec Spec;
  Spec.volumes.resize(1);
  Spec.volumes[0].root.children = {File, Folder};
  std::string Path = WriteImage(Spec);
  const std::string Before = ImageBytes(Path);
  ASSERT_FALSE(Before.empty());
  PDEVICE_OBJECT Device = AddDisk(Path);
  ASSERT_EQ(Mount(Device), STATUS_SUCCESS);

  HANDLE Cached = nullptr, NonCached = nullptr, Dir = nullptr, Volume = nullptr;
  ASSERT_EQ(Open(Device, u"\\data", &Cached), STATUS_SUCCESS);
  ASSERT_EQ(Open(Device, u"\\data", &NonCached, FILE_READ_DATA | SYNCHRONIZE,
                 FILE_SYNCHRONOUS_IO_NONALERT | FILE_NO_INTERMEDIATE_BUFFERING),
            STATUS_SUCCESS);
  ASSERT_EQ(Open(Device, u"\\folder", &Dir, FILE_LIST_DIRECTORY | SYNCHRONIZE), STATUS_SUCCESS);
  HANDLE Missing = nullptr;
  EXPECT_EQ(Open(Device, u"\\absent", &Missing), STATUS_OBJECT_NAME_NOT_FOUND);

  // Reads, cached and not, listings and queries.
  IO_STATUS_BLOCK Iosb{};
  std::vector<UCHAR> Buffer(4 * 4096);
  LARGE_INTEGER Offset{};
  EXPECT_EQ(NtReadFile(Cached, nullptr, nullptr, nullptr, &Iosb, Buffer.data(), (ULONG)Buffer.size(), &Offset, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(Iosb.Information, File.size);
  EXPECT_EQ(NtReadFile(NonCached, nullptr, nullptr, nullptr, &Iosb, Buffer.data(), 4096, &Offset, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(Iosb.Information, 4096u);
  std::vector<UCHAR> Listing(4096);
  EXPECT_EQ(NtQueryDirectoryFile(Dir, nullptr, nullptr, nullptr, &Iosb, Listing.data(), (ULONG)Listing.size(),
                                 FileDirectoryInformation, FALSE, nullptr, TRUE),
            STATUS_SUCCESS);
  FILE_STANDARD_INFORMATION Standard{};
  EXPECT_EQ(NtQueryInformationFile(Cached, &Iosb, &Standard, sizeof(Standard), FileStandardInformation),
            STATUS_SUCCESS);
  EXPECT_EQ(Standard.EndOfFile.QuadPart, (LONGLONG)File.size);
  std::vector<UCHAR> VolumeInfo(512);
  EXPECT_EQ(NtQueryVolumeInformationFile(Cached, &Iosb, VolumeInfo.data(), (ULONG)VolumeInfo.size(),
                                         FileFsSizeInformation),
            STATUS_SUCCESS);

  // An oplock broken by another open and acknowledged; locks taken and given back.
  KEVENT Broken;
  KeInitializeEvent(&Broken, NotificationEvent, FALSE);
  IO_STATUS_BLOCK GrantIosb{}, AckIosb{};
  HANDLE Owner = nullptr, Reader = nullptr;
  ASSERT_EQ(Open(Device, u"\\folder\\inner", &Owner, FILE_READ_DATA | SYNCHRONIZE, 0), STATUS_SUCCESS);
  ASSERT_EQ(NtFsControlFile(Owner, &Broken, nullptr, nullptr, &GrantIosb, FSCTL_REQUEST_OPLOCK_LEVEL_1, nullptr, 0,
                            nullptr, 0),
            STATUS_PENDING);
  EXPECT_EQ(Open(Device, u"\\folder\\inner", &Reader, FILE_READ_DATA | SYNCHRONIZE,
                 FILE_SYNCHRONOUS_IO_NONALERT | FILE_COMPLETE_IF_OPLOCKED),
            STATUS_SUCCESS);
  KeWaitForSingleObject(&Broken, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(NtFsControlFile(Owner, nullptr, nullptr, nullptr, &AckIosb, FSCTL_OPLOCK_BREAK_ACK_NO_2, nullptr, 0,
                            nullptr, 0),
            STATUS_SUCCESS);
  LARGE_INTEGER Length{};
  Length.QuadPart = 100;
  EXPECT_EQ(NtLockFile(Cached, nullptr, nullptr, nullptr, &Iosb, &Offset, &Length, 0, TRUE, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(NtUnlockFile(Cached, &Iosb, &Offset, &Length, 0), STATUS_SUCCESS);

  // Refused changes, and a flush with nothing to write.
  EXPECT_EQ(SendOnHandle(Cached, IRP_MJ_WRITE), STATUS_MEDIA_WRITE_PROTECTED);
  FILE_BASIC_INFORMATION Basic{};
  EXPECT_NE(NtSetInformationFile(Cached, &Iosb, &Basic, sizeof(Basic), FileBasicInformation), STATUS_SUCCESS);
  EXPECT_NE(SendOnHandle(Cached, IRP_MJ_SET_EA), STATUS_SUCCESS);
  EXPECT_EQ(NtFlushBuffersFile(Cached, &Iosb), STATUS_SUCCESS);
  for (HANDLE H : {Cached, NonCached, Dir, Owner, Reader}) EXPECT_EQ(Close(H), STATUS_SUCCESS);
  // The cache lets go of the closed files' streams on the system's worker threads.
  HkWaitForWorkQueueIdle();

  // The volume locked, unlocked, locked again and dismounted by a handle that may manage it.
  HkSetCallerPrivileges({SE_MANAGE_VOLUME_PRIVILEGE});
  NTSTATUS Opened = Open(Device, u"", &Volume);
  HkSetCallerPrivileges({});
  ASSERT_EQ(Opened, STATUS_SUCCESS);
  IO_STATUS_BLOCK ControlIosb{};
  for (ULONG Code : {FSCTL_LOCK_VOLUME, FSCTL_UNLOCK_VOLUME, FSCTL_LOCK_VOLUME, FSCTL_DISMOUNT_VOLUME})
    EXPECT_EQ(NtFsControlFile(Volume, nullptr, nullptr, nullptr, &ControlIosb, Code, nullptr, 0, nullptr, 0),
              STATUS_SUCCESS);
  EXPECT_EQ(Close(Volume), STATUS_SUCCESS);

  EXPECT_EQ(Seen(Device, IRP_MJ_WRITE), 0u) << "nothing was written to the disk";
  EXPECT_GT(Seen(Device, IRP_MJ_READ), 0u) << "the session did reach the disk";
  EXPECT_TRUE(ImageBytes(Path) == Before) << "the image is byte for byte as it was";
}

}  // namespace
