// Cleanup and close of handles on a mounted volume: what cleanup gives back, the
// delayed-close list and its limits, the volume lock, and the last close of a dismounted
// volume deleting it from a user thread at once and from the system process through the
// close worker.
#include <algorithm>

#include "DriverFixture.h"

namespace {

constexpr int FileCount = 20;

std::string FileName(int Index) { return "file" + std::to_string(Index); }

apfsw::ContainerSpec ManyFiles() {
  apfsw::ContainerSpec Spec;
  Spec.volumes.resize(1);
  for (int Index = 0; Index < FileCount; ++Index) {
    apfsw::Entry File;
    File.name = FileName(Index);
    File.size = 1000 + Index;
    Spec.volumes[0].root.children.push_back(File);
  }
  return Spec;
}

// Resources are taken inside a critical region, as the driver's callers do.
struct CriticalRegion {
  CriticalRegion() { FsRtlEnterFileSystem(); }
  ~CriticalRegion() { FsRtlExitFileSystem(); }
};

// The share access an open records: the first open's sets it up, later ones add to it.
void RecordShareAccess(HANDLE Handle, ULONG ShareMode, PSHARE_ACCESS ShareAccess) {
  if (ShareAccess->OpenCount == 0) IoSetShareAccess(FILE_READ_DATA, ShareMode, HkFileObjectOf(Handle), ShareAccess);
  else EXPECT_EQ(IoCheckShareAccess(FILE_READ_DATA, ShareMode, HkFileObjectOf(Handle), ShareAccess, TRUE), STATUS_SUCCESS);
}

// A volume mounted through the front end on a small system (16 delayed closes at most),
// with handles made as create makes them.
class LiveVolume : public ImageMount {
 protected:
  void SetUp() override {
    HkSetSystemSize(MmSmallSystem);
    ImageMount::SetUp();
    ASSERT_EQ(MaxDelayedCloses, 16u);
    Disk = AddDisk(WriteImage(ManyFiles()));
    ASSERT_EQ(Mount(Disk), STATUS_SUCCESS);
    Vcb = VcbOf(Disk);
    ASSERT_NE(Vcb, nullptr);
    VolumeDevice = Vcb->VolumeDevice;
    Context_.NodeTypeCode = NODE_TYPE_IRP_CONTEXT;
    Context_.NodeByteSize = sizeof(IRP_CONTEXT);
    Context_.Flags = IRPCTX_WAIT;
  }

  void TearDown() override {
    for (HANDLE Handle : Open_) NtClose(Handle);
    ImageMount::TearDown();
    EXPECT_EQ(GlobalData.DelayedCloseCount, 0u);
    EXPECT_EQ(GlobalData.AsyncCloseCount, 0u);
  }

  // Whether the volume device still exists.
  bool VolumeAlive() {
    for (PDEVICE_OBJECT Device = GlobalData.DriverObject->DeviceObject; Device != nullptr; Device = Device->NextDevice)
      if (Device == VolumeDevice) return true;
    return false;
  }

  // A volume handle as create makes it.
  HANDLE OpenVolume(ULONG ShareMode = FILE_SHARE_READ | FILE_SHARE_WRITE) {
    PCCB Ccb = AllocateCcb(&Context_, VolumeOpen);
    Ccb->Target = Vcb;
    HANDLE Handle = HkInsertHandle(Disk, Vcb, Ccb, FO_FILE_OPEN | FO_SYNCHRONOUS_IO);
    RecordShareAccess(Handle, ShareMode, &Vcb->VolumeShareAccess);
    Vcb->VolumeOpenCount++;
    Vcb->OpenCount++;
    return Track(Handle);
  }

  // A handle of file Index as create makes it, reusing a live Fcb.
  HANDLE OpenFile(int Index, ULONG FileObjectFlags = FO_SYNCHRONOUS_IO | FO_CACHE_SUPPORTED,
                  ULONG ShareMode = FILE_SHARE_READ) {
    std::string Name = FileName(Index);
    PFCB Fcb = FindChildFcb(&Context_, Vcb->RootFcb, (const UCHAR*)Name.data(), (ULONG)Name.size());
    if (Fcb == nullptr) {
      FsNode* Node = nullptr;
      FileInfo Info{};
      bool NotFound = false;
      EXPECT_TRUE(FsLookup(Vcb->Volume->root, (const uint8_t*)Name.data(), (uint32_t)Name.size(), &Node, &Info,
                           Vcb->FsTree, &NotFound));
      Fcb = CreateFileFcb(&Context_, Vcb, Vcb->RootFcb, Node, &Info, FALSE);
      FsNodeRelease(Node);
    }
    PCCB Ccb = AllocateCcb(&Context_, FileOpen);
    Ccb->Target = Fcb;
    HANDLE Handle = HkInsertHandle(Disk, Fcb, Ccb, FO_FILE_OPEN | FileObjectFlags);
    HkFileObjectOf(Handle)->SectionObjectPointer = &Fcb->NonPaged->SectionObjectPointers;
    RecordShareAccess(Handle, ShareMode, &Fcb->ShareAccess);
    ClearFlag(Fcb->State, FCB_DELAY_CLOSE);
    Fcb->OpenCount++;
    Fcb->UncleanCount++;
    if (!FlagOn(FileObjectFlags, FO_CACHE_SUPPORTED)) Fcb->NonCachedUncleanCount++;
    Vcb->OpenCount++;
    return Track(Handle);
  }

  // A handle of the root directory as create makes it.
  HANDLE OpenRoot(ULONG FileObjectFlags) {
    PFCB Root = Vcb->RootFcb;
    PCCB Ccb = AllocateCcb(&Context_, DirectoryOpen);
    Ccb->Target = Root;
    HANDLE Handle = HkInsertHandle(Disk, Root, Ccb, FO_FILE_OPEN | FileObjectFlags);
    RecordShareAccess(Handle, FILE_SHARE_READ, &Root->ShareAccess);
    Root->OpenCount++;
    Root->UncleanCount++;
    Vcb->OpenCount++;
    return Track(Handle);
  }

  PFCB FcbOf(int Index) {
    std::string Name = FileName(Index);
    return FindChildFcb(&Context_, Vcb->RootFcb, (const UCHAR*)Name.data(), (ULONG)Name.size());
  }

  // The test closes Handle itself.
  void Forget(HANDLE Handle) { Open_.erase(std::find(Open_.begin(), Open_.end(), Handle)); }

  void Close(HANDLE Handle) {
    Forget(Handle);
    EXPECT_EQ(ImageMount::Close(Handle), STATUS_SUCCESS);
  }

  // The volume lock as the lock and unlock requests take it, with the volume held.
  NTSTATUS Lock(PFILE_OBJECT FileObject) {
    CriticalRegion Region;
    ExAcquireResourceExclusiveLite(&Vcb->Resource, TRUE);
    NTSTATUS Status = LockVolumeInternal(&Context_, Vcb, FileObject);
    ExReleaseResourceLite(&Vcb->Resource);
    return Status;
  }

  NTSTATUS Unlock(PFILE_OBJECT FileObject) {
    CriticalRegion Region;
    ExAcquireResourceExclusiveLite(&Vcb->Resource, TRUE);
    NTSTATUS Status = UnlockVolumeInternal(&Context_, Vcb, FileObject);
    ExReleaseResourceLite(&Vcb->Resource);
    return Status;
  }

  // What the dismount request does with handles open: the volume is separated from its
  // device and waits for its last close.
  void ForceDismount() {
    CriticalRegion Region;
    ExAcquireResourceExclusiveLite(&GlobalData.Resource, TRUE);
    ExAcquireResourceExclusiveLite(&Vcb->Resource, TRUE);
    EXPECT_FALSE(TryDismountVcb(&Context_, Vcb, TRUE));
    ExReleaseResourceLite(&Vcb->Resource);
    ExReleaseResourceLite(&GlobalData.Resource);
  }

  PDEVICE_OBJECT Disk = nullptr;
  PDEVICE_OBJECT VolumeDevice = nullptr;
  PVCB Vcb = nullptr;
  IRP_CONTEXT Context_{};

 private:
  HANDLE Track(HANDLE Handle) {
    Open_.push_back(Handle);
    return Handle;
  }

  std::vector<HANDLE> Open_;
};

using CleanupClose = LiveVolume;

// Cleanup gives back the handle's counts and share access at once; the close of the only
// handle of an unmapped file waits on the delayed list with its Fcb, which a re-open finds.
TEST_F(CleanupClose, CleanupReleasesWhatOpenTookAndTheCloseIsDelayed) {
  HANDLE Cached = OpenFile(0);
  HANDLE NonCached = OpenFile(0, FO_SYNCHRONOUS_IO);
  PFCB Fcb = FcbOf(0);
  ASSERT_NE(Fcb, nullptr);
  EXPECT_EQ(Fcb->UncleanCount, 2u);
  EXPECT_EQ(Fcb->NonCachedUncleanCount, 1u);
  EXPECT_EQ(Fcb->ShareAccess.OpenCount, 2u);

  Close(NonCached);
  EXPECT_EQ(Fcb->UncleanCount, 1u);
  EXPECT_EQ(Fcb->NonCachedUncleanCount, 0u);
  EXPECT_EQ(Fcb->OpenCount, 1u);
  EXPECT_EQ(Fcb->ShareAccess.OpenCount, 1u);
  EXPECT_FALSE(FlagOn(Fcb->State, FCB_DELAY_CLOSE)) << "another handle was open";
  EXPECT_EQ(GlobalData.DelayedCloseCount, 0u);

  Close(Cached);
  EXPECT_EQ(FcbOf(0), Fcb) << "the Fcb waits for a re-open";
  EXPECT_TRUE(FlagOn(Fcb->State, FCB_DELAY_CLOSE));
  EXPECT_EQ(Fcb->UncleanCount, 0u);
  EXPECT_EQ(Fcb->OpenCount, 1u) << "the delayed close still holds its record";
  EXPECT_EQ(Fcb->ShareAccess.OpenCount, 0u);
  EXPECT_EQ(GlobalData.DelayedCloseCount, 1u);
  EXPECT_FALSE(GlobalData.CloseWorkerActive);

  HANDLE Again = OpenFile(0);
  EXPECT_EQ(FcbOf(0), Fcb);
  EXPECT_FALSE(FlagOn(Fcb->State, FCB_DELAY_CLOSE));
  Close(Again);
}

// Cleanup ends the handle's byte-range locks, its cache map and its pending change
// notifications; a file whose data was cached is not kept on the delayed list.
TEST_F(CleanupClose, CleanupEndsLocksCacheMapAndNotifications) {
  HANDLE File = OpenFile(5);
  PFCB Fcb = FcbOf(5);
  PFILE_OBJECT FileObject = HkFileObjectOf(File);
  LARGE_INTEGER Offset{}, Length{};
  Length.QuadPart = 100;
  IO_STATUS_BLOCK LockStatus{};
  EXPECT_TRUE(FsRtlFastLock(&Fcb->File.FileLock, FileObject, &Offset, &Length, IoGetCurrentProcess(), 0, TRUE, TRUE,
                            &LockStatus, nullptr, FALSE));
  EXPECT_EQ(LockStatus.Status, STATUS_SUCCESS);
  CC_FILE_SIZES Sizes{Fcb->Header.AllocationSize, Fcb->Header.FileSize, Fcb->Header.FileSize};
  CACHE_MANAGER_CALLBACKS Callbacks{};
  CcInitializeCacheMap(FileObject, &Sizes, FALSE, &Callbacks, Fcb);
  EXPECT_NE(FileObject->PrivateCacheMap, nullptr);

  HANDLE Root = OpenRoot(0);
  KEVENT Changed;
  KeInitializeEvent(&Changed, NotificationEvent, FALSE);
  IO_STATUS_BLOCK NotifyStatus{};
  UCHAR Changes[256];
  EXPECT_EQ(NtNotifyChangeDirectoryFile(Root, &Changed, nullptr, nullptr, &NotifyStatus, Changes, sizeof(Changes),
                                        FILE_NOTIFY_CHANGE_FILE_NAME, FALSE),
            STATUS_PENDING);

  Close(File);
  EXPECT_FALSE(FsRtlAreThereCurrentFileLocks(&Fcb->File.FileLock));
  EXPECT_EQ(GlobalData.DelayedCloseCount, 0u) << "cached data keeps the file from the delayed list";
  HkWaitForWorkQueueIdle();
  EXPECT_EQ(FcbOf(5), nullptr) << "the cache let go of the file and its close deleted the Fcb";

  Close(Root);
  KeWaitForSingleObject(&Changed, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(NotifyStatus.Status, STATUS_NOTIFY_CLEANUP);
}

// More than the limit of delayed closes starts the worker, which drains the list down to
// half the limit, oldest first; a file re-opened meanwhile keeps its Fcb.
TEST_F(CleanupClose, DelayedListDrainsToHalfItsLimitOnceOverIt) {
  for (int Index = 0; Index < 16; ++Index) Close(OpenFile(Index));
  EXPECT_EQ(GlobalData.DelayedCloseCount, 16u);
  EXPECT_FALSE(GlobalData.CloseWorkerActive);
  for (int Index = 0; Index < 16; ++Index) EXPECT_NE(FcbOf(Index), nullptr) << Index;

  PFCB Reopened = FcbOf(0);
  HANDLE Kept = OpenFile(0);
  EXPECT_EQ(FcbOf(0), Reopened);
  Close(OpenFile(16));  // the 17th delayed close
  HkWaitForWorkQueueIdle();
  EXPECT_EQ(GlobalData.DelayedCloseCount, 8u);
  EXPECT_FALSE(GlobalData.CloseWorkerActive);
  EXPECT_EQ(FcbOf(0), Reopened) << "its handle keeps it";
  for (int Index = 1; Index <= 8; ++Index) EXPECT_EQ(FcbOf(Index), nullptr) << Index;
  for (int Index = 9; Index <= 16; ++Index) EXPECT_NE(FcbOf(Index), nullptr) << Index;
  EXPECT_EQ(Vcb->OpenCount, 9u);

  Close(Kept);
  EXPECT_EQ(GlobalData.DelayedCloseCount, 9u) << "its last handle's close is delayed again";
}

// Past twice the limit the worker takes the closes of the volume it holds before older
// ones of other volumes; back under the limit it takes them in their order again.
TEST_F(LiveVolume, PastTwiceTheLimitTheWorkerFavoursTheVolumeItHolds) {
  PDEVICE_OBJECT OtherDisk = AddDisk(WriteImage(ManyFiles(), "other.img"));
  ASSERT_EQ(Mount(OtherDisk), STATUS_SUCCESS);
  PVCB Other = VcbOf(OtherDisk);
  HkWaitForWorkQueueIdle();
  // The worker counts as running, so that the lists grow without it.
  GlobalData.CloseWorkerActive = TRUE;
  for (int Index = 0; Index < FileCount; ++Index) Close(OpenFile(Index));
  for (int Index = 0; Index < FileCount; ++Index) {
    std::string Name = "\\" + FileName(Index);
    HANDLE Handle = nullptr;
    ASSERT_EQ(Open(OtherDisk, std::u16string(Name.begin(), Name.end()), &Handle), STATUS_SUCCESS);
    ASSERT_EQ(ImageMount::Close(Handle), STATUS_SUCCESS);
  }
  ASSERT_EQ(GlobalData.DelayedCloseCount, 2u * FileCount);

  std::vector<PCLOSE_CONTEXT> Taken;
  auto Next = [&](PVCB Held) {
    PCLOSE_CONTEXT Entry = NextDeferredClose(nullptr, Held);
    if (Entry != nullptr) Taken.push_back(Entry);
    return Entry != nullptr ? Entry->Vcb : nullptr;
  };
  for (int Index = 0; Index < FileCount; ++Index) EXPECT_EQ(Next(Other), Other) << Index;
  EXPECT_EQ(Next(Other), Vcb) << "with the held volume's lists empty the oldest close comes";
  while (GlobalData.DelayedCloseCount >= MaxDelayedCloses) ASSERT_EQ(Next(Vcb), Vcb);
  ASSERT_EQ(Next(Vcb), Vcb) << "the lists fell under the limit";
  QueueDeferredClose(Taken.front(), TRUE);
  Taken.erase(Taken.begin());
  EXPECT_EQ(Next(Other), Vcb) << "under twice the limit the oldest close comes first again";

  for (PCLOSE_CONTEXT Entry : Taken) QueueDeferredClose(Entry, TRUE);
  GlobalData.CloseWorkerActive = FALSE;
  CriticalRegion Region;
  RunDeferredCloses(Vcb);
  RunDeferredCloses(Other);
}

// Locking needs the locking handle to be the only one and no file handle uncleaned; the
// delayed closes the lock runs do not count. Only the locking handle unlocks, and its
// cleanup ends the lock.
TEST_F(CleanupClose, VolumeLockBelongsToOneHandleAndEndsWithItsCleanup) {
  HANDLE File = OpenFile(3);
  HANDLE Locker = OpenVolume();
  PFILE_OBJECT LockerObject = HkFileObjectOf(Locker);
  EXPECT_EQ(Lock(LockerObject), STATUS_ACCESS_DENIED);
  Close(File);
  EXPECT_EQ(GlobalData.DelayedCloseCount, 1u);

  EXPECT_EQ(Lock(LockerObject), STATUS_SUCCESS);
  EXPECT_EQ(GlobalData.DelayedCloseCount, 0u) << "the lock ran the volume's delayed closes";
  EXPECT_EQ(FcbOf(3), nullptr);
  EXPECT_TRUE(FlagOn(Disk->Vpb->Flags, VPB_LOCKED));
  EXPECT_TRUE(FlagOn(Vcb->State, VCB_LOCKED));

  HANDLE Other = OpenVolume();
  EXPECT_EQ(Unlock(HkFileObjectOf(Other)), STATUS_NOT_LOCKED);
  ULONG Unlocks = HkVolumeEventCount(FSRTL_VOLUME_UNLOCK);
  Close(Other);
  EXPECT_TRUE(FlagOn(Disk->Vpb->Flags, VPB_LOCKED)) << "another handle's cleanup leaves the lock";
  EXPECT_EQ(HkVolumeEventCount(FSRTL_VOLUME_UNLOCK), Unlocks);

  Close(Locker);
  EXPECT_EQ(HkVolumeEventCount(FSRTL_VOLUME_UNLOCK), Unlocks + 1);
  EXPECT_FALSE(FlagOn(Disk->Vpb->Flags, VPB_LOCKED));
  EXPECT_FALSE(FlagOn(Vcb->State, VCB_LOCKED));
  EXPECT_EQ(Vcb->LockFileObject, nullptr);

  // Without a file object (plug and play) no handle may be open at all; the VPB reference
  // plug and play takes counts like a handle's.
  AdjustVpbRefCount(Vcb, 1);
  EXPECT_EQ(Lock(nullptr), STATUS_ACCESS_DENIED);
  AdjustVpbRefCount(Vcb, -1);
  EXPECT_EQ(Lock(nullptr), STATUS_SUCCESS);
  EXPECT_EQ(Unlock(nullptr), STATUS_SUCCESS);
  EXPECT_EQ(Unlock(nullptr), STATUS_NOT_LOCKED);
}

// A dismount with handles open separates the volume from its device; the delayed close
// of a file closed before does not keep it, a file closed after is not delayed, and the
// last close, from a user thread, deletes the volume and its device at once.
TEST_F(CleanupClose, LastUserCloseOfDismountedVolumeDeletesIt) {
  Close(OpenFile(1));
  HANDLE File = OpenFile(2);
  HANDLE Volume = OpenVolume();
  PVPB MountedVpb = Disk->Vpb;
  EXPECT_EQ(MountedVpb->ReferenceCount, 3u);

  ForceDismount();
  EXPECT_NE(Disk->Vpb, MountedVpb) << "the device has a fresh VPB for the next mount";
  EXPECT_FALSE(FlagOn(Disk->Vpb->Flags, VPB_MOUNTED));
  EXPECT_EQ(Vcb->Condition, VcbBad);
  EXPECT_EQ(GlobalData.DelayedCloseCount, 0u) << "the dismount ran the delayed close";

  Close(File);
  EXPECT_EQ(GlobalData.DelayedCloseCount, 0u) << "no delayed close on a volume going away";
  EXPECT_EQ(FcbOf(2), nullptr);
  EXPECT_TRUE(VolumeAlive());

  size_t Devices = HkLiveDeviceObjects();
  Close(Volume);
  EXPECT_FALSE(VolumeAlive());
  EXPECT_EQ(HkLiveDeviceObjects(), Devices - 1);
  EXPECT_EQ(Disk->Vpb->ReferenceCount, 0u);
}

// The last close arriving in the system process may not wait for GlobalData's resource:
// it goes to the close worker, which deletes the volume.
TEST_F(CleanupClose, LastSystemCloseOfDismountedVolumeDeletesItThroughTheWorker) {
  HANDLE Volume = OpenVolume();
  ForceDismount();
  Forget(Volume);
  HkWorkQueueStepMode(true);
  {
    // Another thread holds GlobalData's resource: a close waiting for it would hang.
    CriticalRegion Region;
    ExAcquireResourceSharedLite(&GlobalData.Resource, TRUE);
    HkRunInSystemThread([&] { EXPECT_EQ(NtClose(Volume), STATUS_SUCCESS); });
    ExReleaseResourceLite(&GlobalData.Resource);
  }
  EXPECT_TRUE(VolumeAlive());
  EXPECT_EQ(GlobalData.AsyncCloseCount, 1u);
  EXPECT_EQ(HkWorkQueueHeldItems(), 1u);

  HkWorkQueueStepMode(false);
  HkWaitForWorkQueueIdle();
  EXPECT_FALSE(VolumeAlive());
  EXPECT_EQ(GlobalData.AsyncCloseCount, 0u);
}

// A close arriving in the system process while a create holds the volume does not wait
// for it: it goes on the asynchronous list and the worker runs it once the volume is free.
TEST_F(CleanupClose, SystemCloseWhileTheVolumeIsHeldRunsLaterInTheWorker) {
  HANDLE Volume = OpenVolume();
  PFILE_OBJECT FileObject = HkFileObjectOf(Volume);
  // The memory manager keeps file objects past their handles this way.
  ObReferenceObject(FileObject);
  Close(Volume);
  EXPECT_EQ(Vcb->VolumeOpenCount, 1u) << "cleanup leaves the handle record to the close";

  HkWorkQueueStepMode(true);
  {
    CriticalRegion Region;
    ExAcquireResourceExclusiveLite(&Vcb->Resource, TRUE);
    HkRunInSystemThread([&] { ObDereferenceObject(FileObject); });
    EXPECT_EQ(GlobalData.AsyncCloseCount, 1u);
    EXPECT_EQ(HkWorkQueueHeldItems(), 1u);
    EXPECT_EQ(Vcb->VolumeOpenCount, 1u);
    ExReleaseResourceLite(&Vcb->Resource);
  }
  HkWorkQueueStepMode(false);
  HkWaitForWorkQueueIdle();
  EXPECT_EQ(GlobalData.AsyncCloseCount, 0u);
  EXPECT_EQ(Vcb->VolumeOpenCount, 0u);
  EXPECT_EQ(Vcb->OpenCount, 0u);
}

// Once shutdown has started closes are no longer delayed, and the worker drains the
// delayed list completely instead of down to half its limit.
TEST_F(CleanupClose, AfterShutdownStartsNothingIsDelayedAndTheWorkerDrainsEverything) {
  for (int Index = 0; Index < 3; ++Index) Close(OpenFile(Index));
  EXPECT_EQ(GlobalData.DelayedCloseCount, 3u);

  GlobalData.ShutdownStarted = TRUE;
  Close(OpenFile(10));
  EXPECT_EQ(FcbOf(10), nullptr);
  EXPECT_EQ(GlobalData.DelayedCloseCount, 3u);

  HkRunInSystemThread([] { CloseWorker(nullptr, nullptr); });
  EXPECT_EQ(GlobalData.DelayedCloseCount, 0u);
  for (int Index = 0; Index < 3; ++Index) EXPECT_EQ(FcbOf(Index), nullptr) << Index;
  GlobalData.ShutdownStarted = FALSE;
}

}  // namespace
