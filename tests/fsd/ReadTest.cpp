// Reads through the driver's read dispatch: cached through the cache manager, non-cached,
// paging and MDL reads, asynchronous handles, reads moved to the stack-overflow thread,
// raw reads of the volume, device errors, and the callbacks through which the cache and
// memory managers synchronise with readers. Handles are made on a written volume as create
// makes them; the I/O goes through the front end.
#include <thread>

#include "DriverFixture.h"
#include "RealImageFiles.h"

namespace {

using apfsw::Entry;

Entry File(const std::string& Name, uint64_t Size) {
  Entry F;
  F.name = Name;
  F.size = Size;
  return F;
}

Entry Fragmented(const std::string& Name, uint64_t Size) {
  Entry F = File(Name, Size);
  F.extentBlocks = 1;
  return F;
}

Entry Sparse() {
  Entry F = File("sparse", 7 * 4096);
  F.layout = {{4096, false}, {8192, true}, {4096, false}};
  return F;
}

struct OpenFile {
  HANDLE Handle;
  PFILE_OBJECT FileObject;
  PCCB Ccb;
};

class DriverRead : public WrittenVolume {
 protected:
  void OpenVolume(std::vector<Entry> Files) {
    Files_ = Files;
    apfsw::ContainerSpec Spec;
    Spec.volumes.resize(1);
    Spec.volumes[0].root.children = std::move(Files);
    Open(Spec);
    Vcb->Condition = VcbGood;
    FsRtlEnterFileSystem();
    Root = CreateRootFcb(&IrpContext, Vcb);
    FsRtlExitFileSystem();
  }

  PFCB FcbOf(const std::string& Path) {
    FileInfo Info{};
    FsNode* Node = Lookup(Path, &Info);
    EXPECT_NE(Node, nullptr) << Path;
    FsRtlEnterFileSystem();
    PFCB Fcb = CreateFileFcb(&IrpContext, Vcb, Root, Node, &Info, FALSE);
    FsRtlExitFileSystem();
    FsNodeRelease(Node);
    if (std::find(Fcbs_.begin(), Fcbs_.end(), Fcb) == Fcbs_.end()) Fcbs_.push_back(Fcb);
    return Fcb;
  }

  // A handle on Fcb (or on the volume when Fcb is null) as create leaves one.
  OpenFile OpenHandleOn(PFCB Fcb, ULONG Flags = FO_SYNCHRONOUS_IO) {
    FsRtlEnterFileSystem();
    PCCB Ccb = AllocateCcb(&IrpContext, Fcb != nullptr ? FileOpen : VolumeOpen);
    FsRtlExitFileSystem();
    Ccb->Target = Fcb != nullptr ? (PVOID)Fcb : (PVOID)Vcb;
    PVOID Context = Fcb != nullptr ? (PVOID)Fcb : (PVOID)Vcb;
    HANDLE Handle = HkInsertHandle(VolumeDevice, Context, Ccb, Flags | FO_CACHE_SUPPORTED);
    PFILE_OBJECT FileObject = HkFileObjectOf(Handle);
    if (Fcb != nullptr) FileObject->SectionObjectPointer = &Fcb->NonPaged->SectionObjectPointers;
    Open_.push_back({Handle, FileObject, Ccb});
    return Open_.back();
  }

  // What cleanup does with a handle's caching, then the handle goes.
  void CloseHandle(const OpenFile& Handle) {
    CACHE_UNINITIALIZE_EVENT Gone{};
    KeInitializeEvent(&Gone.Event, NotificationEvent, FALSE);
    CcUninitializeCacheMap(Handle.FileObject, nullptr, &Gone);
    KeWaitForSingleObject(&Gone.Event, Executive, KernelMode, FALSE, nullptr);
    HkDropHandle(Handle.Handle);
    FreeCcb(Handle.Ccb);
  }

  NTSTATUS Read(const OpenFile& Handle, uint64_t Offset, std::vector<uint8_t>* Buffer, ULONG_PTR* Information) {
    IO_STATUS_BLOCK Iosb{};
    LARGE_INTEGER Start;
    Start.QuadPart = (LONGLONG)Offset;
    NTSTATUS Status = NtReadFile(Handle.Handle, nullptr, nullptr, nullptr, &Iosb, Buffer->data(), (ULONG)Buffer->size(),
                                 &Start, nullptr);
    if (Information != nullptr) *Information = Iosb.Information;
    return Status;
  }

  // The bytes of Path from Offset, Count of them, zeros past its end.
  std::vector<uint8_t> Expected(const std::string& Path, uint64_t Offset, size_t Count) {
    for (const Entry& Each : Files_) {
      if (Each.name != Path) continue;
      std::vector<uint8_t> All = apfsw::ExpectedContents(Each, Layout.File(0, Path).inode);
      All.resize(std::max<size_t>(All.size(), Offset + Count), 0);
      return std::vector<uint8_t>(All.begin() + (ptrdiff_t)Offset, All.begin() + (ptrdiff_t)(Offset + Count));
    }
    return {};
  }

  size_t DeviceReads() { return HkIoLog(Disk).size(); }

  void TearDown() override {
    for (const OpenFile& Handle : Open_) CloseHandle(Handle);
    HkWaitForWorkQueueIdle();
    FsRtlEnterFileSystem();
    for (PFCB Fcb : Fcbs_) DeleteFcb(&IrpContext, &Fcb);
    if (Root != nullptr) DeleteFcb(&IrpContext, &Root);
    FsRtlExitFileSystem();
    WrittenVolume::TearDown();
  }

  void Forget(const OpenFile& Handle) {
    for (auto It = Open_.begin(); It != Open_.end(); ++It)
      if (It->Handle == Handle.Handle) {
        Open_.erase(It);
        return;
      }
  }

  PFCB Root = nullptr;
  std::vector<Entry> Files_;

 private:
  std::vector<PFCB> Fcbs_;
  std::vector<OpenFile> Open_;
};

TEST_F(DriverRead, CachedReadsServeTheFilesBytesAndReadTheDiskOnlyForRangesNotCached) {
  const uint64_t Size = 5 * 4096 + 1000;
  OpenVolume({File("plain", Size)});
  PFCB Fcb = FcbOf("plain");
  OpenFile Handle = OpenHandleOn(Fcb);
  struct Case {
    uint64_t Offset;
    ULONG Length;
    NTSTATUS Status;
    ULONG_PTR Information;
  };
  const Case Cases[] = {
      {0, (ULONG)Size, STATUS_SUCCESS, Size},          // whole
      {4000, 300, STATUS_SUCCESS, 300},                // partial, across a page
      {Size - 10, 100, STATUS_SUCCESS, 10},            // past the end: up to it
      {Size, 10, STATUS_END_OF_FILE, 0},               // at the end
      {Size + 4096, 10, STATUS_END_OF_FILE, 0},        // beyond it
      {100, 0, STATUS_SUCCESS, 0},                     // nothing
  };
  for (const Case& C : Cases) {
    std::vector<uint8_t> Buffer(C.Length, 0xAA);
    ULONG_PTR Information = 99;
    EXPECT_EQ(Read(Handle, C.Offset, &Buffer, &Information), C.Status) << C.Offset;
    EXPECT_EQ(Information, C.Information) << C.Offset;
    Buffer.resize(Information);
    EXPECT_EQ(Buffer, Expected("plain", C.Offset, Information)) << C.Offset;
  }
  EXPECT_NE(Handle.FileObject->PrivateCacheMap, nullptr);
  EXPECT_NE(Fcb->NonPaged->SectionObjectPointers.DataSectionObject, nullptr);
  EXPECT_TRUE(FlagOn(Handle.FileObject->Flags, FO_FILE_FAST_IO_READ));

  // Cached now: the same ranges again reach no device, from this handle or another.
  size_t Before = DeviceReads();
  OpenFile Second = OpenHandleOn(Fcb);
  std::vector<uint8_t> Buffer(2000);
  EXPECT_EQ(Read(Handle, 1000, &Buffer, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(Read(Second, 3000, &Buffer, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(Buffer, Expected("plain", 3000, 2000));
  EXPECT_EQ(DeviceReads(), Before);

  // Purged, they are read from the disk again.
  EXPECT_TRUE(CcPurgeCacheSection(&Fcb->NonPaged->SectionObjectPointers, nullptr, 0, FALSE));
  EXPECT_EQ(Read(Second, 3000, &Buffer, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(Buffer, Expected("plain", 3000, 2000));
  EXPECT_GT(DeviceReads(), Before);
}

TEST_F(DriverRead, SynchronousHandlesMoveTheirFilePointerByWhatWasRead) {
  OpenVolume({File("plain", 10000)});
  OpenFile Handle = OpenHandleOn(FcbOf("plain"));
  std::vector<uint8_t> Buffer(3000);
  for (uint64_t Expect : {3000u, 6000u, 9000u, 10000u}) {
    IO_STATUS_BLOCK Iosb{};
    LARGE_INTEGER UsePointer;
    UsePointer.QuadPart = FILE_USE_FILE_POINTER_POSITION;
    NtReadFile(Handle.Handle, nullptr, nullptr, nullptr, &Iosb, Buffer.data(), 3000, &UsePointer, nullptr);
    EXPECT_EQ((uint64_t)Handle.FileObject->CurrentByteOffset.QuadPart, Expect);
  }
}

TEST_F(DriverRead, NonCachedReadsAlignedOrNotGiveTheBytesOfContiguousFragmentedAndSparseFiles) {
  OpenVolume({File("contiguous", 6 * 4096), Fragmented("fragmented", 9 * 4096 - 300), Sparse()});
  struct Case {
    const char* Path;
    uint64_t Offset;
    ULONG Length;
  };
  const Case Cases[] = {
      {"contiguous", 0, 6 * 4096},  {"contiguous", 512, 4096},   {"contiguous", 700, 5000},
      {"fragmented", 0, 9 * 4096},  {"fragmented", 1000, 20000}, {"fragmented", 9 * 4096 - 1024, 1024},
      {"sparse", 0, 7 * 4096},      {"sparse", 4096, 8192},      {"sparse", 3000, 10000},
  };
  for (const Case& C : Cases) {
    OpenFile Handle = OpenHandleOn(FcbOf(C.Path), FO_SYNCHRONOUS_IO | FO_NO_INTERMEDIATE_BUFFERING);
    std::vector<uint8_t> Buffer(C.Length, 0xAA);
    ULONG_PTR Information = 0;
    EXPECT_EQ(Read(Handle, C.Offset, &Buffer, &Information), STATUS_SUCCESS) << C.Path << " " << C.Offset;
    ULONG64 FileSize = (ULONG64)FcbOf(C.Path)->Header.FileSize.QuadPart;
    ULONG_PTR Want = (ULONG_PTR)std::min<uint64_t>(C.Length, FileSize - C.Offset);
    EXPECT_EQ(Information, Want) << C.Path << " " << C.Offset;
    Buffer.resize(Information);
    EXPECT_EQ(Buffer, Expected(C.Path, C.Offset, Information)) << C.Path << " " << C.Offset;
    EXPECT_EQ(Handle.FileObject->PrivateCacheMap, nullptr);
  }
  // The hole of the sparse file reached no device.
  size_t Before = DeviceReads();
  OpenFile Handle = OpenHandleOn(FcbOf("sparse"), FO_SYNCHRONOUS_IO | FO_NO_INTERMEDIATE_BUFFERING);
  std::vector<uint8_t> Hole(8192, 0xAA);
  EXPECT_EQ(Read(Handle, 4096, &Hole, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(Hole, std::vector<uint8_t>(8192, 0));
  EXPECT_EQ(DeviceReads(), Before);
}

TEST_F(DriverRead, AsynchronousReadsCompleteOnAnotherThreadAlignedUnalignedAndCached) {
  OpenVolume({File("plain", 64 * 1024)});
  PFCB Fcb = FcbOf("plain");
  struct Case {
    ULONG Flags;
    uint64_t Offset;
    ULONG Length;
  };
  const Case Cases[] = {
      {FO_NO_INTERMEDIATE_BUFFERING, 4096, 8192},  // straight to the device, finished by its completion
      {FO_NO_INTERMEDIATE_BUFFERING, 100, 5000},   // unaligned: posted to a worker
      {0, 10000, 20000},                           // cached, not resident: posted to a worker
  };
  for (const Case& C : Cases) {
    OpenFile Handle = OpenHandleOn(Fcb, C.Flags);
    KEVENT Done;
    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK Iosb{};
    std::vector<uint8_t> Buffer(C.Length, 0xAA);
    LARGE_INTEGER Start;
    Start.QuadPart = (LONGLONG)C.Offset;
    size_t Before = DeviceReads();
    NTSTATUS Status =
        NtReadFile(Handle.Handle, (HANDLE)&Done, nullptr, nullptr, &Iosb, Buffer.data(), C.Length, &Start, nullptr);
    EXPECT_EQ(Status, STATUS_PENDING) << C.Offset;
    KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(Iosb.Status, STATUS_SUCCESS) << C.Offset;
    EXPECT_EQ(Iosb.Information, C.Length) << C.Offset;
    EXPECT_EQ(Buffer, Expected("plain", C.Offset, C.Length)) << C.Offset;
    // Posted requests read in a worker thread, not the caller's.
    std::vector<HkIoRecord> Log = HkIoLog(Disk);
    ASSERT_GT(Log.size(), Before);
    bool Posted = C.Offset % 512 != 0 || !FlagOn(C.Flags, FO_NO_INTERMEDIATE_BUFFERING);
    for (size_t I = Before; I < Log.size(); ++I) EXPECT_EQ(Log[I].Thread != PsGetCurrentThread(), Posted) << C.Offset;
    HkWaitForWorkQueueIdle();
    CloseHandle(Handle);
    Forget(Handle);
  }
  // The Fcb's resource went back with each transfer.
  FsRtlEnterFileSystem();
  EXPECT_TRUE(ExAcquireResourceExclusiveLite(Fcb->Header.Resource, FALSE));
  ExReleaseResourceLite(Fcb->Header.Resource);
  FsRtlExitFileSystem();
}

NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// A read IRP sent to the volume device as the memory manager or the cache manager sends
// one and waited for; the sender keeps the IRP, whose MdlAddress comes back in *Mdl.
NTSTATUS SendRead(PDEVICE_OBJECT Volume, PFILE_OBJECT FileObject, ULONG IrpFlags, UCHAR Minor, uint64_t Offset,
                  ULONG Length, PVOID Buffer, PMDL* Mdl, ULONG_PTR* Information) {
  PIRP Irp = IoAllocateIrp(Volume->StackSize, FALSE);
  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  Irp->Flags = IrpFlags | IRP_READ_OPERATION;
  Irp->UserBuffer = Buffer;
  Irp->RequestorMode = KernelMode;
  Irp->Tail.Overlay.Thread = PsGetCurrentThread();
  Irp->Tail.Overlay.OriginalFileObject = FileObject;
  if (Mdl != nullptr) Irp->MdlAddress = *Mdl;
  PMDL Own = nullptr;
  if (Buffer != nullptr) {
    Own = IoAllocateMdl(Buffer, Length, FALSE, FALSE, Irp);
    MmBuildMdlForNonPagedPool(Own);
  }
  PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
  Stack->MajorFunction = IRP_MJ_READ;
  Stack->MinorFunction = Minor;
  Stack->FileObject = FileObject;
  Stack->Parameters.Read.Length = Length;
  Stack->Parameters.Read.ByteOffset.QuadPart = (LONGLONG)Offset;
  IoSetCompletionRoutine(Irp, KeepIrp, &Done, TRUE, TRUE, TRUE);
  if (IoCallDriver(Volume, Irp) == STATUS_PENDING) KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
  if (Own != nullptr) IoFreeMdl(Own);
  if (Mdl != nullptr) *Mdl = Own != nullptr ? nullptr : Irp->MdlAddress;
  Irp->MdlAddress = nullptr;
  if (Information != nullptr) *Information = Irp->IoStatus.Information;
  NTSTATUS Status = Irp->IoStatus.Status;
  IoFreeIrp(Irp);
  return Status;
}

TEST_F(DriverRead, PagingReadsReadWholeSectorsAndMdlReadsDescribeTheCacheUntilCompleted) {
  OpenVolume({File("plain", 3 * 4096 + 100)});
  PFCB Fcb = FcbOf("plain");
  OpenFile Handle = OpenHandleOn(Fcb);
  // A paging read of the last page: whole sectors, zeros past the end.
  auto* Page = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, 4096, PoolTag("Test"));
  RtlFillMemory(Page, 4096, 0xAA);
  ULONG_PTR Information = 0;
  EXPECT_EQ(SendRead(VolumeDevice, Handle.FileObject, IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO, 0,
                     3 * 4096, 4096, Page, nullptr, &Information),
            STATUS_SUCCESS);
  EXPECT_EQ(Information, 100u);
  // Whole sectors reach the buffer, zero past the end of file; the rest is untouched.
  EXPECT_EQ(std::vector<uint8_t>(Page, Page + 512), Expected("plain", 3 * 4096, 512));
  EXPECT_EQ(std::vector<uint8_t>(Page + 512, Page + 4096), std::vector<uint8_t>(4096 - 512, 0xAA));
  ExFreePoolWithTag(Page, PoolTag("Test"));

  // An MDL read: cached first (any read sets caching up), then described in place.
  std::vector<uint8_t> First(10);
  ASSERT_EQ(Read(Handle, 0, &First, nullptr), STATUS_SUCCESS);
  PMDL Chain = nullptr;
  IO_STATUS_BLOCK Iosb{};
  LARGE_INTEGER Start;
  Start.QuadPart = 1000;
  ASSERT_TRUE(QdrlFastIoDispatch.MdlRead(Handle.FileObject, &Start, 9000, 0, &Chain, &Iosb, VolumeDevice));
  EXPECT_EQ(Iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(Iosb.Information, 9000u);
  std::vector<uint8_t> Described;
  for (PMDL Mdl = Chain; Mdl != nullptr; Mdl = Mdl->Next) {
    auto* Bytes = (PUCHAR)MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority);
    Described.insert(Described.end(), Bytes, Bytes + MmGetMdlByteCount(Mdl));
  }
  EXPECT_EQ(Described, Expected("plain", 1000, 9000));
  // While described, the cache cannot be purged.
  EXPECT_FALSE(CcPurgeCacheSection(&Fcb->NonPaged->SectionObjectPointers, nullptr, 0, FALSE));
  // The completion comes as an IRP_MN_COMPLETE_MDL request.
  EXPECT_EQ(SendRead(VolumeDevice, Handle.FileObject, 0, IRP_MN_COMPLETE_MDL, 1000, 9000, nullptr, &Chain, nullptr),
            STATUS_SUCCESS);
  EXPECT_TRUE(CcPurgeCacheSection(&Fcb->NonPaged->SectionObjectPointers, nullptr, 0, FALSE));

  // An MDL read as an IRP (IRP_MN_MDL) leaves the chain in the IRP's MdlAddress.
  PMDL IrpChain = nullptr;
  EXPECT_EQ(SendRead(VolumeDevice, Handle.FileObject, 0, IRP_MN_MDL, 4096, 8000, nullptr, &IrpChain, nullptr),
            STATUS_SUCCESS);
  ASSERT_NE(IrpChain, nullptr);
  EXPECT_EQ(MmGetMdlByteCount(IrpChain), 8000u);
  EXPECT_EQ(std::vector<uint8_t>((PUCHAR)MmGetMdlVirtualAddress(IrpChain), (PUCHAR)MmGetMdlVirtualAddress(IrpChain) + 8000),
            Expected("plain", 4096, 8000));
  EXPECT_EQ(SendRead(VolumeDevice, Handle.FileObject, 0, IRP_MN_COMPLETE_MDL, 4096, 8000, nullptr, &IrpChain, nullptr),
            STATUS_SUCCESS);
}

TEST_F(DriverRead, ReadsShortOfStackMoveToTheOverflowThreadAndFinishWithoutDeadlock) {
  OpenVolume({File("plain", 8 * 4096)});
  PFCB Fcb = FcbOf("plain");
  OpenFile Cached = OpenHandleOn(Fcb);
  OpenFile Direct = OpenHandleOn(Fcb, FO_SYNCHRONOUS_IO | FO_NO_INTERMEDIATE_BUFFERING);
  std::vector<uint8_t> Buffer(5000, 0xAA);

  // Cached, short of stack: the overflow thread reads (its paging reads with it).
  HkShortenKernelStack(true);
  EXPECT_EQ(Read(Cached, 1000, &Buffer, nullptr), STATUS_SUCCESS);
  HkShortenKernelStack(false);
  EXPECT_EQ(Buffer, Expected("plain", 1000, 5000));

  // Non-cached while the file has a data section: the cache is flushed first, which
  // takes the Fcb exclusive. The poster holds it shared for the overflow thread, so the
  // overflow thread must not take it again.
  ASSERT_NE(Fcb->NonPaged->SectionObjectPointers.DataSectionObject, nullptr);
  HkSetWaitWatchdog(5000);
  HkShortenKernelStack(true);
  EXPECT_EQ(Read(Direct, 8192, &Buffer, nullptr), STATUS_SUCCESS);
  HkShortenKernelStack(false);
  EXPECT_EQ(Buffer, Expected("plain", 8192, 5000));

  // A paging read short of stack: the poster holds the paging resource shared, and an
  // exclusive waiter queued behind it must not stall the overflow thread's read.
  auto* Page = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, 4096, PoolTag("Test"));
  FsRtlEnterFileSystem();
  ExAcquireResourceSharedLite(Fcb->Header.PagingIoResource, TRUE);
  std::thread Waiter([&] {
    HkRunInSystemThread([&] {
      FsRtlEnterFileSystem();
      ExAcquireResourceExclusiveLite(Fcb->Header.PagingIoResource, TRUE);
      ExReleaseResourceLite(Fcb->Header.PagingIoResource);
      FsRtlExitFileSystem();
    });
  });
  while (ExGetExclusiveWaiterCount(Fcb->Header.PagingIoResource) == 0) std::this_thread::yield();
  HkShortenKernelStack(true);
  EXPECT_EQ(SendRead(VolumeDevice, Cached.FileObject, IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO, 0,
                     4096, 4096, Page, nullptr, nullptr),
            STATUS_SUCCESS);
  HkShortenKernelStack(false);
  ExReleaseResourceLite(Fcb->Header.PagingIoResource);
  FsRtlExitFileSystem();
  Waiter.join();
  EXPECT_EQ(std::vector<uint8_t>(Page, Page + 4096), Expected("plain", 4096, 4096));
  ExFreePoolWithTag(Page, PoolTag("Test"));
}

TEST_F(DriverRead, VolumeHandlesReadTheDeviceUpToTheContainerEndUnlessExtendedAccessWasAllowed) {
  OpenVolume({File("plain", 4096)});
  OpenFile Volume = OpenHandleOn(nullptr);
  const uint64_t End = (uint64_t)Vcb->Container->blockSize * ContainerBlockCount(Vcb->Container);
  // The volume handle reads the device it was opened on, offsets unchanged.
  std::vector<uint8_t> Buffer(8192, 0xAA);
  ULONG_PTR Information = 0;
  EXPECT_EQ(Read(Volume, PartitionOffset, &Buffer, &Information), STATUS_SUCCESS);
  EXPECT_EQ(Information, 8192u);
  EXPECT_EQ(Buffer, ImageBytes(0, 8192));
  // Running past the container's end it is cut there; from the end on, nothing.
  EXPECT_EQ(Read(Volume, End - 512, &Buffer, &Information), STATUS_SUCCESS);
  EXPECT_EQ(Information, 512u);
  EXPECT_EQ(Read(Volume, End, &Buffer, &Information), STATUS_END_OF_FILE);
  EXPECT_EQ(Information, 0u);
  SetFlag(Volume.Ccb->Flags, CCB_ALLOW_EXTENDED_DASD);
  EXPECT_EQ(Read(Volume, End - 512, &Buffer, &Information), STATUS_SUCCESS);
  EXPECT_EQ(Information, 8192u);
}

TEST_F(DriverRead, DeviceErrorsBecomeTheReadsStatusAndMarkTheVolumeDirty) {
  OpenVolume({File("plain", 4 * 4096)});
  PFCB Fcb = FcbOf("plain");
  for (NTSTATUS Error : {STATUS_DEVICE_DATA_ERROR, STATUS_CRC_ERROR}) {
    for (ULONG Flags : {0u, (ULONG)FO_NO_INTERMEDIATE_BUFFERING}) {
      ClearFlag(Vcb->State, VCB_DIRTY);
      OpenFile Handle = OpenHandleOn(Fcb, FO_SYNCHRONOUS_IO | Flags);
      EXPECT_TRUE(CcPurgeCacheSection(&Fcb->NonPaged->SectionObjectPointers, nullptr, 0, FALSE));
      std::vector<uint8_t> Buffer(4096);
      HkFailRead(Disk, Error);
      EXPECT_EQ(Read(Handle, 0, &Buffer, nullptr), Error) << std::hex << Error << " " << Flags;
      EXPECT_TRUE(FlagOn(Vcb->State, VCB_DIRTY)) << std::hex << Error << " " << Flags;
      // The failure left nothing cached: the next read goes to the disk and succeeds.
      EXPECT_EQ(Read(Handle, 0, &Buffer, nullptr), STATUS_SUCCESS);
      EXPECT_EQ(Buffer, Expected("plain", 0, 4096));
    }
  }
}

TEST_F(DriverRead, TheFilesOfAWrittenImageReadCachedAndNotAsWritten) {
  std::vector<Entry> Files = {File("empty", 0),           File("tiny", 1),
                              File("sector", 512),        File("page", 4096),
                              File("odd", 12345),         Fragmented("fragmented", 200000),
                              Sparse(),                   File("large", 300000)};
  OpenVolume(Files);
  for (const Entry& Each : Files) {
    PFCB Fcb = FcbOf(Each.name);
    for (ULONG Flags : {0u, (ULONG)FO_NO_INTERMEDIATE_BUFFERING}) {
      OpenFile Handle = OpenHandleOn(Fcb, FO_SYNCHRONOUS_IO | Flags);
      std::vector<uint8_t> Buffer(Each.size + 4096, 0xAA);
      ULONG_PTR Information = 0;
      NTSTATUS Status = Read(Handle, 0, &Buffer, &Information);
      EXPECT_EQ(Status, Each.size == 0 ? STATUS_END_OF_FILE : STATUS_SUCCESS) << Each.name;
      Buffer.resize(Information);
      EXPECT_EQ(Buffer, Expected(Each.name, 0, Each.size)) << Each.name << " " << Flags;
    }
  }
}

TEST_F(DriverRead, CacheCallbacksTakeTheFcbsResourcesAndMarkTheThreadAsTheCaches) {
  OpenVolume({File("plain", 4096)});
  PFCB Fcb = FcbOf("plain");
  OpenFile Handle = OpenHandleOn(Fcb);
  HkRunInSystemThread([&] {
    FsRtlEnterFileSystem();
    ASSERT_TRUE(GlobalData.CacheCallbacks.AcquireForLazyWrite(Fcb, TRUE));
    EXPECT_TRUE(ExIsResourceAcquiredSharedLite(Fcb->Header.PagingIoResource));
    EXPECT_EQ(IoGetTopLevelIrp(), FSRTL_CACHE_TOP_LEVEL_IRP);
    GlobalData.CacheCallbacks.ReleaseFromLazyWrite(Fcb);
    EXPECT_EQ(IoGetTopLevelIrp(), nullptr);

    ASSERT_TRUE(GlobalData.CacheCallbacks.AcquireForReadAhead(Fcb, TRUE));
    EXPECT_TRUE(ExIsResourceAcquiredSharedLite(Fcb->Header.Resource));
    GlobalData.CacheCallbacks.ReleaseFromReadAhead(Fcb);
    EXPECT_FALSE(ExIsResourceAcquiredSharedLite(Fcb->Header.Resource));

    // The flush pair: exclusive, or shared when the thread holds the resource shared.
    EXPECT_EQ(QdrlFastIoDispatch.AcquireForCcFlush(Handle.FileObject, VolumeDevice), STATUS_SUCCESS);
    EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(Fcb->Header.Resource));
    EXPECT_EQ(IoGetTopLevelIrp(), FSRTL_CACHE_TOP_LEVEL_IRP);
    EXPECT_EQ(QdrlFastIoDispatch.ReleaseForCcFlush(Handle.FileObject, VolumeDevice), STATUS_SUCCESS);
    EXPECT_EQ(IoGetTopLevelIrp(), nullptr);
    ExAcquireResourceSharedLite(Fcb->Header.Resource, TRUE);
    EXPECT_EQ(QdrlFastIoDispatch.AcquireForCcFlush(Handle.FileObject, VolumeDevice), STATUS_SUCCESS);
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(Fcb->Header.Resource));
    EXPECT_EQ(QdrlFastIoDispatch.ReleaseForCcFlush(Handle.FileObject, VolumeDevice), STATUS_SUCCESS);
    ExReleaseResourceLite(Fcb->Header.Resource);

    // Section synchronisation: the Fcb exclusive, and whether writers share it.
    FS_FILTER_CALLBACK_DATA Data{};
    Data.SizeOfFsFilterCallbackData = sizeof(Data);
    Data.FileObject = Handle.FileObject;
    Data.Parameters.AcquireForSectionSynchronization.SyncType = SyncTypeCreateSection;
    PVOID Completion = nullptr;
    EXPECT_EQ(PreAcquireForSectionSync(&Data, &Completion), STATUS_FILE_LOCKED_WITH_ONLY_READERS);
    EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(Fcb->Header.Resource));
    ExReleaseResourceLite(Fcb->Header.Resource);
    Fcb->ShareAccess.Writers = 1;
    EXPECT_EQ(PreAcquireForSectionSync(&Data, &Completion), STATUS_FILE_LOCKED_WITH_WRITERS);
    ExReleaseResourceLite(Fcb->Header.Resource);
    Fcb->ShareAccess.Writers = 0;
    Data.Parameters.AcquireForSectionSynchronization.SyncType = SyncTypeOther;
    EXPECT_EQ(PreAcquireForSectionSync(&Data, &Completion), STATUS_FSFILTER_OP_COMPLETED_SUCCESSFULLY);
    ExReleaseResourceLite(Fcb->Header.Resource);
    FsRtlExitFileSystem();
  });
}

// ---- Through the mount and create -----------------------------------------------------------------

class MountedRead : public ImageMount {};

TEST_F(MountedRead, FilesOpenedByNameReadCachedAndNotAsWrittenAndACachedRangeIsReadOnce) {
  apfsw::ContainerSpec Spec;
  Spec.volumes.resize(1);
  Entry Folder;
  Folder.name = "Docs";
  Folder.kind = apfsw::EntryKind::Directory;
  Folder.children = {File("inner", 9000)};
  Spec.volumes[0].root.children = {File("plain", 100000), Fragmented("fragmented", 70000), Sparse(), Folder};
  std::string Path = this->Folder + "/volume.img";
  apfsw::WriteResult Layout = apfsw::WriteImage(Spec, Path);
  PDEVICE_OBJECT Disk = AddDisk(Path);
  struct Case {
    std::u16string Name;
    std::string Path;
    Entry Described;
  };
  const Case Cases[] = {{u"\\plain", "plain", Spec.volumes[0].root.children[0]},
                        {u"\\fragmented", "fragmented", Spec.volumes[0].root.children[1]},
                        {u"\\sparse", "sparse", Spec.volumes[0].root.children[2]},
                        {u"\\Docs\\inner", "Docs/inner", Folder.children[0]}};
  for (const Case& C : Cases) {
    std::vector<uint8_t> Want = apfsw::ExpectedContents(C.Described, Layout.File(0, C.Path).inode);
    for (ULONG Options : {0u, (ULONG)FILE_NO_INTERMEDIATE_BUFFERING}) {
      HANDLE Handle = nullptr;
      ASSERT_EQ(Open(Disk, C.Name, &Handle, FILE_READ_DATA | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT | Options),
                STATUS_SUCCESS)
          << C.Path;
      std::vector<uint8_t> Buffer(Want.size() + 512, 0xAA);
      IO_STATUS_BLOCK Iosb{};
      LARGE_INTEGER Start{};
      EXPECT_EQ(NtReadFile(Handle, nullptr, nullptr, nullptr, &Iosb, Buffer.data(), (ULONG)Buffer.size(), &Start, nullptr),
                STATUS_SUCCESS)
          << C.Path;
      Buffer.resize(Iosb.Information);
      EXPECT_EQ(Buffer, Want) << C.Path << " " << Options;
      if (Options == 0) {
        // Cached: the same range again reaches no device.
        size_t Before = HkIoLog(Disk).size();
        std::vector<uint8_t> Again(Want.size());
        EXPECT_EQ(NtReadFile(Handle, nullptr, nullptr, nullptr, &Iosb, Again.data(), (ULONG)Again.size(), &Start, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(Again, Want) << C.Path;
        EXPECT_EQ(HkIoLog(Disk).size(), Before) << C.Path;
      }
      EXPECT_EQ(Close(Handle), STATUS_SUCCESS);
    }
  }
  HkWaitForWorkQueueIdle();
}

// ---- The real images ----------------------------------------------------------------------------

class RealImageCachedReads : public DriverRead, public testing::WithParamInterface<std::filesystem::path> {};

TEST_P(RealImageCachedReads, EveryPlainFileReadsThroughTheCacheAsTheEngineReadsIt) {
  if (!OpenImage(GetParam().string())) GTEST_SKIP() << GetParam().filename() << ": the engine does not open it";
  Vcb->Condition = VcbGood;
  if (!VolumeIsCaseSensitive(ContainerVolume(Vcb->Container, (uint32_t)Vcb->Volume->index)))
    SetFlag(Vcb->State, VCB_CASE_INSENSITIVE);
  FsRtlEnterFileSystem();
  Root = CreateRootFcb(&IrpContext, Vcb);
  FsRtlExitFileSystem();
  std::vector<std::string> Files;
  CollectPlainFiles(Vcb->Volume->root, "", &Files);
  size_t Compared = 0;
  for (const std::string& Name : Files) {
    FileInfo Info{};
    FsNode* Node = Lookup(Name, &Info);
    std::vector<uint8_t> Want = EngineBytes(Node, Info.fileSize);
    // Each Fcb hangs under the root for the test's sake and goes before the next.
    FsRtlEnterFileSystem();
    PFCB Fcb = CreateFileFcb(&IrpContext, Vcb, Root, Node, &Info, FALSE);
    FsRtlExitFileSystem();
    FsNodeRelease(Node);
    OpenFile Handle = OpenHandleOn(Fcb);
    std::vector<uint8_t> Buffer(Info.fileSize + 1, 0xAA);
    ULONG_PTR Information = 0;
    NTSTATUS Status = Read(Handle, 0, &Buffer, &Information);
    EXPECT_EQ(Status, Info.fileSize == 0 ? STATUS_END_OF_FILE : STATUS_SUCCESS) << Name;
    Buffer.resize(Information);
    EXPECT_EQ(Buffer, Want) << Name;
    CloseHandle(Handle);
    Forget(Handle);
    FsRtlEnterFileSystem();
    DeleteFcb(&IrpContext, &Fcb);
    FsRtlExitFileSystem();
    Compared++;
  }
  EXPECT_GT(Compared, 0u);
  RecordProperty("files", (int)Compared);
}

INSTANTIATE_TEST_SUITE_P(Images, RealImageCachedReads, testing::ValuesIn(testdata::RealImages()),
                         [](const testing::TestParamInfo<std::filesystem::path>& Info) {
                           std::string Name = Info.param.stem().string();
                           std::replace_if(Name.begin(), Name.end(), [](char C) { return !std::isalnum((unsigned char)C); }, '_');
                           return Name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(RealImageCachedReads);

}  // namespace
