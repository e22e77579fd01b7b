// The cache manager and the sections of mapped files, over a tiny file system whose one
// stream holds the pattern bytes and which serves only the paging reads the cache sends.
#include <atomic>
#include <thread>

#include "StandInTestSupport.h"

namespace {

struct PagingRead {
  uint64_t Offset;
  ULONG Length;
  ULONG Flags;
  PIRP TopLevel;
};

struct TinyFileSystem {
  std::vector<PagingRead> Reads;
  NTSTATUS FailWith = STATUS_SUCCESS;
  int ReadAheadAcquires = 0;
  int ReadAheadReleases = 0;
};
TinyFileSystem* Fs = nullptr;

NTSTATUS TinyDispatch(PDEVICE_OBJECT, PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (Stack->MajorFunction != IRP_MJ_READ) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  auto* Header = (PFSRTL_ADVANCED_FCB_HEADER)Stack->FileObject->FsContext;
  uint64_t Offset = (uint64_t)Stack->Parameters.Read.ByteOffset.QuadPart;
  ULONG Length = Stack->Parameters.Read.Length;
  Fs->Reads.push_back({Offset, Length, Irp->Flags, IoGetTopLevelIrp()});
  NTSTATUS Status = Fs->FailWith;
  if (NT_SUCCESS(Status)) {
    auto* To = (PUCHAR)MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority);
    uint64_t End = std::min<uint64_t>(Offset + Length, (uint64_t)Header->FileSize.QuadPart);
    for (uint64_t At = Offset; At < End; ++At) To[At - Offset] = PatternByte(At);
    Irp->IoStatus.Information = (ULONG_PTR)(End - Offset);
  }
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

struct Stream {
  FSRTL_ADVANCED_FCB_HEADER Header{};
  ERESOURCE Resource;
  ERESOURCE PagingIoResource;
  SECTION_OBJECT_POINTERS Section{};
};

BOOLEAN AcquireForReadAhead(PVOID Context, BOOLEAN Wait) {
  auto* S = (Stream*)Context;
  FsRtlEnterFileSystem();
  if (!ExAcquireResourceSharedLite(&S->Resource, Wait)) {
    FsRtlExitFileSystem();
    return FALSE;
  }
  IoSetTopLevelIrp(FSRTL_CACHE_TOP_LEVEL_IRP);
  Fs->ReadAheadAcquires++;
  return TRUE;
}

void ReleaseFromReadAhead(PVOID Context) {
  auto* S = (Stream*)Context;
  IoSetTopLevelIrp(nullptr);
  ExReleaseResourceLite(&S->Resource);
  FsRtlExitFileSystem();
  Fs->ReadAheadReleases++;
}

BOOLEAN NoLazyWrite(PVOID, BOOLEAN) { return FALSE; }
void NoRelease(PVOID) {}

CACHE_MANAGER_CALLBACKS Callbacks{NoLazyWrite, NoRelease, AcquireForReadAhead, ReleaseFromReadAhead};

class CacheManager : public testing::Test {
 protected:
  void SetUp() override {
    Fs = &State;
    Driver = LoadTestDriver(TinyDispatch);
    Device = CreateTestDevice(Driver, u"\\Device\\Tiny", FILE_DEVICE_DISK_FILE_SYSTEM);
    ExInitializeResourceLite(&File.Resource);
    ExInitializeResourceLite(&File.PagingIoResource);
    File.Header.Resource = &File.Resource;
    File.Header.PagingIoResource = &File.PagingIoResource;
    File.Header.IsFastIoPossible = FastIoIsPossible;
    SetSize(200000);
  }

  void TearDown() override {
    for (HANDLE Handle : Handles_) {
      CACHE_UNINITIALIZE_EVENT Gone{};
      KeInitializeEvent(&Gone.Event, NotificationEvent, FALSE);
      CcUninitializeCacheMap(HkFileObjectOf(Handle), nullptr, &Gone);
      KeWaitForSingleObject(&Gone.Event, Executive, KernelMode, FALSE, nullptr);
      HkDropHandle(Handle);
    }
    HkWaitForWorkQueueIdle();
    EXPECT_EQ(File.Section.SharedCacheMap, nullptr);
    EXPECT_EQ(File.Section.DataSectionObject, nullptr);
    ExDeleteResourceLite(&File.Resource);
    ExDeleteResourceLite(&File.PagingIoResource);
    IoDeleteDevice(Device);
    ExpectNothingAlive();
    Fs = nullptr;
  }

  void SetSize(LONGLONG Size) {
    File.Header.AllocationSize.QuadPart = File.Header.FileSize.QuadPart = Size;
    File.Header.ValidDataLength.QuadPart = Size;
  }

  // A cached file object of the stream.
  PFILE_OBJECT OpenCached(ULONG Flags = FO_SYNCHRONOUS_IO) {
    HANDLE Handle = HkInsertHandle(Device, &File.Header, nullptr, Flags);
    Handles_.push_back(Handle);
    PFILE_OBJECT FileObject = HkFileObjectOf(Handle);
    FileObject->SectionObjectPointer = &File.Section;
    CcInitializeCacheMap(FileObject, (PCC_FILE_SIZES)&File.Header.AllocationSize, FALSE, &Callbacks, &File);
    return FileObject;
  }

  // Copies through the cache; the answer, and the bytes when it copied.
  BOOLEAN Copy(PFILE_OBJECT FileObject, uint64_t Offset, ULONG Length, BOOLEAN Wait, std::vector<UCHAR>* Out) {
    Out->assign(Length, 0xAA);
    LARGE_INTEGER Start;
    Start.QuadPart = (LONGLONG)Offset;
    IO_STATUS_BLOCK Iosb{};
    BOOLEAN Done = CcCopyRead(FileObject, &Start, Length, Wait, Out->data(), &Iosb);
    if (Done) {
      EXPECT_EQ(Iosb.Information, Length);
    }
    return Done;
  }

  // A chain of MDLs describing the cache's pages of the range.
  static PMDL MdlRead(PFILE_OBJECT FileObject, uint64_t Offset, ULONG Length) {
    PMDL Chain = nullptr;
    IO_STATUS_BLOCK Iosb{};
    LARGE_INTEGER Start;
    Start.QuadPart = (LONGLONG)Offset;
    CcMdlRead(FileObject, &Start, Length, &Chain, &Iosb);
    EXPECT_EQ(Iosb.Information, Length);
    return Chain;
  }

  static std::vector<UCHAR> Pattern(uint64_t Offset, ULONG Length) {
    std::vector<UCHAR> Bytes(Length);
    for (ULONG I = 0; I < Length; ++I) Bytes[I] = PatternByte(Offset + I);
    return Bytes;
  }

  TinyFileSystem State;
  PDRIVER_OBJECT Driver = nullptr;
  PDEVICE_OBJECT Device = nullptr;
  Stream File;

 private:
  std::vector<HANDLE> Handles_;
};

TEST_F(CacheManager, CopiesServeResidentViewsAndReadMissingOnesWithOnePagingReadEach) {
  PFILE_OBJECT FileObject = OpenCached();
  EXPECT_NE(File.Section.DataSectionObject, nullptr);
  EXPECT_EQ(CcGetFileObjectFromSectionPtrs(&File.Section), FileObject);
  std::vector<UCHAR> Bytes;
  // Not resident and not allowed to wait: nothing happens.
  EXPECT_FALSE(Copy(FileObject, 100, 50, FALSE, &Bytes));
  EXPECT_TRUE(State.Reads.empty());
  // A miss reads its view with a paging read; the view then serves without I/O.
  EXPECT_TRUE(Copy(FileObject, 100, 50, TRUE, &Bytes));
  EXPECT_EQ(Bytes, Pattern(100, 50));
  ASSERT_EQ(State.Reads.size(), 1u);
  EXPECT_EQ(State.Reads[0].Offset, 0u);
  EXPECT_EQ(State.Reads[0].Length, (ULONG)CC_VIEW_SIZE);
  EXPECT_EQ(State.Reads[0].Flags & (IRP_PAGING_IO | IRP_NOCACHE), (ULONG)(IRP_PAGING_IO | IRP_NOCACHE));
  EXPECT_TRUE(Copy(FileObject, 1000, 3000, FALSE, &Bytes));
  EXPECT_EQ(Bytes, Pattern(1000, 3000));
  EXPECT_EQ(State.Reads.size(), 1u);
  // Across views, up to the end of file: the last view's read stops at the page holding it.
  EXPECT_TRUE(Copy(FileObject, 60000, 200000 - 60000, TRUE, &Bytes));
  EXPECT_EQ(Bytes, Pattern(60000, 200000 - 60000));
  ASSERT_EQ(State.Reads.size(), 4u);
  EXPECT_EQ(State.Reads[3].Offset, 3u * CC_VIEW_SIZE);
  EXPECT_EQ(State.Reads[3].Length, ((200000u + 4095) & ~4095u) - 3u * CC_VIEW_SIZE);
  EXPECT_EQ(HkCachedViews(&File.Section), 4u);
  // A smaller file drops the views past its end.
  SetSize(70000);
  CcSetFileSizes(FileObject, (PCC_FILE_SIZES)&File.Header.AllocationSize);
  EXPECT_EQ(HkCachedViews(&File.Section), 2u);
}

// A stream larger than the cache reads whole in one copy: the cache lets go of its least
// recently used views as it goes and stays within its bound, but never of a view an MDL
// still describes; a view's reused pages hold the new stream's bytes.
TEST_F(CacheManager, AStreamLargerThanTheCacheReadsWholeWithinTheBoundKeepingDescribedViews) {
  const uint64_t Size = (CC_RESIDENT_VIEWS + 8) * uint64_t(CC_VIEW_SIZE) + 1000;
  SetSize((LONGLONG)Size);
  PFILE_OBJECT FileObject = OpenCached();
  PMDL Chain = MdlRead(FileObject, 10, 100);
  ASSERT_NE(Chain, nullptr);
  std::vector<UCHAR> Bytes;
  for (int Pass = 0; Pass < 2; ++Pass) {
    EXPECT_TRUE(Copy(FileObject, 0, (ULONG)Size, TRUE, &Bytes));
    EXPECT_TRUE(Bytes == Pattern(0, (ULONG)Size));
    EXPECT_LE(HkCachedViews(&File.Section), (size_t)CC_RESIDENT_VIEWS);
  }
  // Every view was read again on the second pass but the described one.
  EXPECT_EQ(State.Reads.size(), 2 * (CC_RESIDENT_VIEWS + 9) - 1);
  auto* Described = (PUCHAR)MmGetMdlVirtualAddress(Chain);
  EXPECT_EQ(std::vector<UCHAR>(Described, Described + 100), Pattern(10, 100));
  CcMdlReadComplete(FileObject, Chain);
}

TEST_F(CacheManager, AFailedPagingReadRaisesItsStatusAndCachesNothing) {
  PFILE_OBJECT FileObject = OpenCached();
  State.FailWith = STATUS_DEVICE_DATA_ERROR;
  std::vector<UCHAR> Bytes;
  NTSTATUS Raised = STATUS_SUCCESS;
  try {
    Copy(FileObject, 0, 10, TRUE, &Bytes);
  } catch (const NtException& Exception) {
    Raised = Exception.Record.ExceptionCode;
  }
  EXPECT_EQ(Raised, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(HkCachedViews(&File.Section), 0u);
  State.FailWith = STATUS_SUCCESS;
  EXPECT_TRUE(Copy(FileObject, 0, 10, TRUE, &Bytes));
  EXPECT_EQ(Bytes, Pattern(0, 10));
}

TEST_F(CacheManager, PurgesDropViewsUnlessAnMdlOrAUserViewHoldsThem) {
  PFILE_OBJECT FileObject = OpenCached();
  PMDL Chain = MdlRead(FileObject, 60000, 10000);
  ASSERT_NE(Chain, nullptr);
  ASSERT_NE(Chain->Next, nullptr);  // the range spans two views
  EXPECT_EQ(MmGetMdlByteCount(Chain) + MmGetMdlByteCount(Chain->Next), 10000u);
  EXPECT_EQ(std::vector<UCHAR>((PUCHAR)MmGetMdlVirtualAddress(Chain), (PUCHAR)MmGetMdlVirtualAddress(Chain) + 100),
            Pattern(60000, 100));
  EXPECT_FALSE(CcPurgeCacheSection(&File.Section, nullptr, 0, FALSE));
  // A range clear of the described views can go.
  LARGE_INTEGER Far;
  Far.QuadPart = 3 * CC_VIEW_SIZE;
  EXPECT_TRUE(CcPurgeCacheSection(&File.Section, &Far, CC_VIEW_SIZE, FALSE));
  CcMdlReadComplete(FileObject, Chain);
  EXPECT_TRUE(CcPurgeCacheSection(&File.Section, nullptr, 0, FALSE));
  EXPECT_EQ(HkCachedViews(&File.Section), 0u);

  // A user's data view: no purge, no truncation; writable mappings counted.
  EXPECT_TRUE(MmCanFileBeTruncated(&File.Section, &Far));
  HkMappedView Data = HkMapSection(FileObject, false, true);
  EXPECT_FALSE(CcPurgeCacheSection(&File.Section, nullptr, 0, FALSE));
  EXPECT_FALSE(MmCanFileBeTruncated(&File.Section, &Far));
  EXPECT_EQ(MmDoesFileHaveUserWritableReferences(&File.Section), 1u);
  HkUnmapSection(Data);
  EXPECT_EQ(MmDoesFileHaveUserWritableReferences(&File.Section), 0u);
  EXPECT_TRUE(CcPurgeCacheSection(&File.Section, nullptr, 0, FALSE));

  // An executable image mapped cannot be flushed away; unmapped, it goes.
  EXPECT_TRUE(MmFlushImageSection(&File.Section, MmFlushForWrite));
  HkMappedView Image = HkMapSection(FileObject, true, false);
  EXPECT_NE(File.Section.ImageSectionObject, nullptr);
  EXPECT_FALSE(MmFlushImageSection(&File.Section, MmFlushForDelete));
  EXPECT_FALSE(MmCanFileBeTruncated(&File.Section, &Far));
  HkUnmapSection(Image);
  EXPECT_TRUE(MmFlushImageSection(&File.Section, MmFlushForWrite));
  EXPECT_EQ(File.Section.ImageSectionObject, nullptr);
}

// A section is made under the file system's section synchronisation: its callback's
// error refuses the mapping; its plain success leaves the acquisition to the header's
// Resource, held exclusive while the section is made and released after.
TEST_F(CacheManager, SectionsAreMadeUnderTheFileSystemsSectionSynchronisation) {
  static NTSTATUS Answer;
  static std::vector<std::pair<UCHAR, ULONG64>> Calls;  // operation and the first parameter
  static PERESOURCE Resource;
  static bool HeldWhenAcquired;
  Resource = &File.Resource;
  FS_FILTER_CALLBACKS Sync{};
  Sync.SizeOfFsFilterCallbacks = sizeof(Sync);
  Sync.PreAcquireForSectionSynchronization = [](PFS_FILTER_CALLBACK_DATA Data, PVOID*) {
    Calls.push_back({Data->Operation, (ULONG64)Data->Parameters.Others.Argument1});
    return Answer;
  };
  Sync.PostAcquireForSectionSynchronization = [](PFS_FILTER_CALLBACK_DATA, NTSTATUS Status, PVOID) {
    HeldWhenAcquired = NT_SUCCESS(Status) && ExIsResourceAcquiredExclusiveLite(Resource);
  };
  Sync.PreReleaseForSectionSynchronization = [](PFS_FILTER_CALLBACK_DATA Data, PVOID*) {
    Calls.push_back({Data->Operation, (ULONG64)Data->Parameters.Others.Argument1});
    return STATUS_SUCCESS;
  };
  ASSERT_EQ(FsRtlRegisterFileSystemFilterCallbacks(Driver, &Sync), STATUS_SUCCESS);
  PFILE_OBJECT FileObject = OpenCached();
  LONG References = HkObjectReferenceCount(FileObject);
  // ntifs.h's operation codes; SyncTypeCreateSection with wdm.h's page protection above it.
  const UCHAR Acquire = 0xFF, Release = 0xFE;
  const ULONG64 CreateExecutable = SyncTypeCreateSection | (0x10ull << 32);
  const ULONG64 CreateReadWrite = SyncTypeCreateSection | (0x04ull << 32);

  Answer = STATUS_FILE_LOCK_CONFLICT;
  NTSTATUS Status = STATUS_SUCCESS;
  EXPECT_EQ(HkMapSection(FileObject, true, false, &Status), nullptr);
  EXPECT_EQ(Status, STATUS_FILE_LOCK_CONFLICT);
  EXPECT_EQ(File.Section.ImageSectionObject, nullptr);
  EXPECT_EQ(HkObjectReferenceCount(FileObject), References);
  EXPECT_FALSE(HeldWhenAcquired);

  Answer = STATUS_SUCCESS;
  HkMappedView View = HkMapSection(FileObject, false, true, &Status);
  ASSERT_NE(View, nullptr);
  EXPECT_EQ(Status, STATUS_SUCCESS);
  EXPECT_TRUE(HeldWhenAcquired);
  EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&File.Resource)) << "released once the section is made";
  EXPECT_EQ(MmDoesFileHaveUserWritableReferences(&File.Section), 1u);
  HkUnmapSection(View);
  const std::vector<std::pair<UCHAR, ULONG64>> Expected{
      {Acquire, CreateExecutable}, {Acquire, CreateReadWrite}, {Release, 0}};
  EXPECT_EQ(Calls, Expected);
}

TEST_F(CacheManager, TheSharedMapGoesInAWorkerAfterTheLastFileObjectAndHoldsItsFileObjectUntilThen) {
  PFILE_OBJECT First = OpenCached();
  LONG Alone = HkObjectReferenceCount(First);
  HANDLE SecondHandle = HkInsertHandle(Device, &File.Header, nullptr, FO_SYNCHRONOUS_IO);
  PFILE_OBJECT Second = HkFileObjectOf(SecondHandle);
  Second->SectionObjectPointer = &File.Section;
  CcInitializeCacheMap(Second, (PCC_FILE_SIZES)&File.Header.AllocationSize, FALSE, &Callbacks, &File);
  std::vector<UCHAR> Bytes;
  EXPECT_TRUE(Copy(Second, 0, 100, TRUE, &Bytes));

  // The second goes first: the stream stays cached through the first.
  CACHE_UNINITIALIZE_EVENT Gone{};
  KeInitializeEvent(&Gone.Event, NotificationEvent, FALSE);
  EXPECT_TRUE(CcUninitializeCacheMap(Second, nullptr, &Gone));
  EXPECT_TRUE(KeReadStateEvent(&Gone.Event));
  EXPECT_EQ(Second->PrivateCacheMap, nullptr);
  EXPECT_EQ(HkCachedViews(&File.Section), 1u);
  HkDropHandle(SecondHandle);

  // The first goes too; its teardown waits in the work queue, and caching again before
  // it runs keeps the map.
  HkWorkQueueStepMode(true);
  KeClearEvent(&Gone.Event);
  EXPECT_TRUE(CcUninitializeCacheMap(First, nullptr, &Gone));
  EXPECT_FALSE(KeReadStateEvent(&Gone.Event));
  EXPECT_EQ(HkObjectReferenceCount(First), Alone);
  CcInitializeCacheMap(First, (PCC_FILE_SIZES)&File.Header.AllocationSize, FALSE, &Callbacks, &File);
  while (HkWorkQueueStep()) {
  }
  HkWorkQueueStepMode(false);
  HkWaitForWorkQueueIdle();
  EXPECT_EQ(HkCachedViews(&File.Section), 1u);
  // The waiter of the teardown that will not come was let go when caching resumed.
  EXPECT_TRUE(KeReadStateEvent(&Gone.Event));

  // Let go for good: the map, its view and its reference on the file object go.
  KeClearEvent(&Gone.Event);
  EXPECT_TRUE(CcUninitializeCacheMap(First, nullptr, &Gone));
  KeWaitForSingleObject(&Gone.Event, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(File.Section.SharedCacheMap, nullptr);
  EXPECT_EQ(HkObjectReferenceCount(First), Alone - 1);
  EXPECT_FALSE(CcUninitializeCacheMap(First, nullptr, nullptr));
}

// Readers that hold a file shared may each find its file object uncached and set it up
// at once: one private map results, and letting go of it leaves nothing behind.
TEST_F(CacheManager, ReadersSettingUpOneFileObjectAtOnceMakeOnePrivateMap) {
  PFILE_OBJECT FileObject = OpenCached();
  EXPECT_TRUE(CcUninitializeCacheMap(FileObject, nullptr, nullptr));
  constexpr int Readers = 8;
  for (int Round = 0; Round < 50; ++Round) {
    std::atomic<int> Ready{0};
    std::vector<std::thread> Threads;
    for (int I = 0; I < Readers; ++I)
      Threads.emplace_back([&] {
        Ready++;
        while (Ready.load() < Readers) {
        }
        CcInitializeCacheMap(FileObject, (PCC_FILE_SIZES)&File.Header.AllocationSize, FALSE, &Callbacks, &File);
      });
    for (std::thread& Thread : Threads) Thread.join();
    ASSERT_NE(FileObject->PrivateCacheMap, nullptr);
    EXPECT_TRUE(CcUninitializeCacheMap(FileObject, nullptr, nullptr));
    HkWaitForWorkQueueIdle();
    ASSERT_EQ(File.Section.SharedCacheMap, nullptr) << "round " << Round << ": a second private map kept the stream cached";
  }
  CcInitializeCacheMap(FileObject, (PCC_FILE_SIZES)&File.Header.AllocationSize, FALSE, &Callbacks, &File);
}

TEST_F(CacheManager, SequentialReadersSetOffReadAheadThroughTheFileSystemsCallbacks) {
  // A file object opened for random access reads only what it asks for.
  PFILE_OBJECT Random = OpenCached(FO_SYNCHRONOUS_IO | FO_RANDOM_ACCESS);
  CcSetReadAheadGranularity(Random, 0x20000);
  std::vector<UCHAR> Bytes;
  EXPECT_TRUE(Copy(Random, 0, 4096, TRUE, &Bytes));
  EXPECT_TRUE(Copy(Random, 4096, 4096, TRUE, &Bytes));
  HkWaitForWorkQueueIdle();
  EXPECT_EQ(State.Reads.size(), 1u);

  PFILE_OBJECT FileObject = OpenCached();
  CcSetReadAheadGranularity(FileObject, 0x20000);
  EXPECT_TRUE(Copy(FileObject, 0, 4096, TRUE, &Bytes));
  HkWaitForWorkQueueIdle();
  EXPECT_EQ(State.ReadAheadAcquires, 0);  // one read is no sequence
  EXPECT_TRUE(Copy(FileObject, 4096, 4096, TRUE, &Bytes));
  HkWaitForWorkQueueIdle();
  EXPECT_EQ(State.ReadAheadAcquires, 1);
  EXPECT_EQ(State.ReadAheadReleases, 1);
  // The views of the next two reads of a granule each came in under the callbacks'
  // top-level marker, up to the end of the file.
  ASSERT_EQ(State.Reads.size(), 4u);
  for (size_t I = 1; I < 4; ++I) {
    EXPECT_EQ(State.Reads[I].Offset, I * CC_VIEW_SIZE);
    EXPECT_EQ(State.Reads[I].TopLevel, FSRTL_CACHE_TOP_LEVEL_IRP);
  }
  size_t Before = State.Reads.size();
  EXPECT_TRUE(Copy(FileObject, CC_VIEW_SIZE, 20000, FALSE, &Bytes));
  EXPECT_EQ(State.Reads.size(), Before);
}

TEST_F(CacheManager, FastCopyReadsServeCachedFilesWhenTheFileSystemAllowsIt) {
  HANDLE Uncached = HkInsertHandle(Device, &File.Header, nullptr, FO_SYNCHRONOUS_IO);
  std::vector<UCHAR> Bytes(1000);
  IO_STATUS_BLOCK Iosb{};
  LARGE_INTEGER Start;
  Start.QuadPart = 5000;
  // No cache map: the I/O manager must build an IRP.
  EXPECT_FALSE(FsRtlCopyRead(HkFileObjectOf(Uncached), &Start, 1000, TRUE, 0, Bytes.data(), &Iosb, Device));
  HkDropHandle(Uncached);

  PFILE_OBJECT FileObject = OpenCached();
  FsRtlEnterFileSystem();
  EXPECT_TRUE(FsRtlCopyRead(FileObject, &Start, 1000, TRUE, 0, Bytes.data(), &Iosb, Device));
  EXPECT_EQ(Iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(Bytes, Pattern(5000, 1000));
  EXPECT_TRUE(FlagOn(FileObject->Flags, FO_FILE_FAST_IO_READ));
  EXPECT_EQ(FileObject->CurrentByteOffset.QuadPart, 6000);
  // Cut at the end of file; past it, the end-of-file answer.
  Start.QuadPart = 200000 - 10;
  EXPECT_TRUE(FsRtlCopyRead(FileObject, &Start, 1000, TRUE, 0, Bytes.data(), &Iosb, Device));
  EXPECT_EQ(Iosb.Information, 10u);
  Start.QuadPart = 200000;
  EXPECT_TRUE(FsRtlCopyRead(FileObject, &Start, 1000, TRUE, 0, Bytes.data(), &Iosb, Device));
  EXPECT_EQ(Iosb.Status, STATUS_END_OF_FILE);
  // Not possible, or questionable without the file system's check: an IRP.
  Start.QuadPart = 0;
  File.Header.IsFastIoPossible = FastIoIsNotPossible;
  EXPECT_FALSE(FsRtlCopyRead(FileObject, &Start, 1000, TRUE, 0, Bytes.data(), &Iosb, Device));
  File.Header.IsFastIoPossible = FastIoIsQuestionable;
  EXPECT_FALSE(FsRtlCopyRead(FileObject, &Start, 1000, TRUE, 0, Bytes.data(), &Iosb, Device));
  FsRtlExitFileSystem();
}

TEST(KernelStacks, AShortenedStackLeavesNoRoomAndTheOverflowThreadRunsWithAFreshOne) {
  ULONG_PTR Low = 0, High = 0;
  IoGetStackLimits(&Low, &High);
  auto Here = (ULONG_PTR)__builtin_frame_address(0);
  EXPECT_LT(Low, Here);
  EXPECT_GT(High, Here);
  EXPECT_GT(Here - Low, 4096u);
  HkShortenKernelStack(true);
  IoGetStackLimits(&Low, &High);
  EXPECT_LT(Here > Low ? Here - Low : 0, 4096u);
  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  struct Outcome {
    PKTHREAD Thread;
    ULONG_PTR Room;
  } Seen{};
  FsRtlPostStackOverflow(
      &Seen, &Done, [](PVOID Context, PKEVENT Event) {
        ULONG_PTR L = 0, H = 0;
        IoGetStackLimits(&L, &H);
        auto* Out = (Outcome*)Context;
        Out->Thread = KeGetCurrentThread();
        Out->Room = (ULONG_PTR)__builtin_frame_address(0) - L;
        KeSetEvent(Event, 0, FALSE);
      });
  KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
  HkShortenKernelStack(false);
  EXPECT_NE(Seen.Thread, KeGetCurrentThread());
  EXPECT_GT(Seen.Room, 4096u);
}

}  // namespace
