// Non-cached reads of file data along run maps: one run or many, holes zero-filled,
// reads rounded up past the end of the file, unaligned heads and tails, waited for or
// finished by completion routines, and a verify request met in the middle of a transfer.
#include "DriverFixture.h"

namespace {

using apfsw::Entry;

Entry File(const std::string& Name, uint64_t Size) {
  Entry File;
  File.name = Name;
  File.size = Size;
  return File;
}

Entry Fragmented() {
  Entry F = File("fragmented", 9 * 4096 - 300);
  F.extentBlocks = 1;
  return F;
}

Entry Sparse() {
  Entry F = File("sparse", 7 * 4096);
  F.layout = {{4096, false}, {8192, true}, {4096, false}};  // then a sparse tail
  return F;
}

// A read IRP for the volume device as the I/O manager builds it, entered as far as its
// IrpContext with the I/O context the read path gives a transfer.
struct ReadRequest {
  KEVENT Done;
  IO_STATUS_BLOCK Iosb{};
  std::vector<uint8_t> Buffer;
  PIRP Irp = nullptr;
  PIRP_CONTEXT IrpContext = nullptr;
  IO_CONTEXT StackContext{};

  ReadRequest(PDEVICE_OBJECT Volume, ULONG64 Offset, ULONG Length, BOOLEAN Wait) : Buffer(Length, 0xAA) {
    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    LARGE_INTEGER Start;
    Start.QuadPart = (LONGLONG)Offset;
    Irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, Volume, Buffer.data(), Length, &Start, &Done, &Iosb);
    IoSetNextIrpStackLocation(Irp);
    IoGetCurrentIrpStackLocation(Irp)->DeviceObject = Volume;
    IoSetTopLevelIrp(Irp);
    IrpContext = AllocateIrpContext(Irp, Wait);
    IoSetTopLevelIrp(nullptr);
    if (Wait) {
      KeInitializeEvent(&StackContext.SyncEvent, NotificationEvent, FALSE);
      IrpContext->IoContext = &StackContext;
      SetFlag(IrpContext->Flags, IRPCTX_STACK_IO_CONTEXT);
    } else {
      auto* Pool = (PIO_CONTEXT)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(IO_CONTEXT), TAG_IO_CONTEXT);
      RtlZeroMemory(Pool, sizeof(IO_CONTEXT));
      Pool->Async.RequestedByteCount = Length;
      IrpContext->IoContext = Pool;
    }
  }

  // What the read path does once a waited-for transfer returned: complete the request.
  void Complete(NTSTATUS Status, ULONG Information) {
    Irp->IoStatus.Information = Information;
    CompleteRequest(IrpContext, Irp, Status);
    Wait();
  }

  // What the read path does once an asynchronous transfer was started: the completion
  // routine owns the I/O context now.
  void LetGo() {
    IrpContext->IoContext = nullptr;
    FreeIrpContext(IrpContext);
  }

  void Wait() { KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr); }
};

class NonCachedRead : public WrittenVolume {
 protected:
  void OpenVolume(std::vector<Entry> Files) {
    Files_ = Files;
    apfsw::ContainerSpec Spec;
    Spec.volumes.resize(1);
    Spec.volumes[0].root.children = std::move(Files);
    Open(Spec);
    FsRtlEnterFileSystem();
    Root = CreateRootFcb(&IrpContext, Vcb);
  }

  PFCB OpenFile(const std::string& Path) {
    FileInfo Info{};
    FsNode* Node = Lookup(Path, &Info);
    EXPECT_NE(Node, nullptr);
    PFCB Fcb = CreateFileFcb(&IrpContext, Vcb, Root, Node, &Info, FALSE);
    FsNodeRelease(Node);
    // A file opened again keeps its one Fcb.
    if (std::find(Fcbs_.begin(), Fcbs_.end(), Fcb) == Fcbs_.end()) Fcbs_.push_back(Fcb);
    return Fcb;
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

  // Reads the device saw from now on.
  size_t DeviceReads() { return HkIoLog(Disk).size() - ReadsBefore_; }
  void CountReadsFromHere() { ReadsBefore_ = HkIoLog(Disk).size(); }

  void TearDown() override {
    for (PFCB Fcb : Fcbs_) DeleteFcb(&IrpContext, &Fcb);
    if (Root != nullptr) {
      DeleteFcb(&IrpContext, &Root);
      FsRtlExitFileSystem();
    }
    WrittenVolume::TearDown();
  }

  PFCB Root = nullptr;

 private:
  std::vector<Entry> Files_;
  std::vector<PFCB> Fcbs_;
  size_t ReadsBefore_ = 0;
};

TEST_F(NonCachedRead, WaitedForReadsFillTheBufferAlongOneRunOrManyAndZeroTheHoles) {
  OpenVolume({File("contiguous", 6 * 4096), Fragmented(), Sparse()});
  struct Case {
    const char* Path;
    ULONG64 Offset;
    ULONG Length;
    size_t DiskReads;
  };
  const Case Cases[] = {
      {"contiguous", 4096, 8192, 1},        // one run, one IRP
      {"fragmented", 0, 9 * 4096 - 512, 9},  // more runs than fit on the stack
      {"sparse", 0, 7 * 4096, 2},           // extent, hole, extent, sparse tail
      {"sparse", 4096, 8192, 0},            // a hole alone never reaches the disk
  };
  for (const Case& Each : Cases) {
    PFCB Fcb = OpenFile(Each.Path);
    CountReadsFromHere();
    ReadRequest Request(VolumeDevice, Each.Offset, Each.Length, TRUE);
    NTSTATUS Status = ReadNonCached(Request.IrpContext, Request.Irp, Fcb, Each.Offset, Each.Length, Each.Length);
    EXPECT_EQ(Status, STATUS_SUCCESS) << Each.Path;
    EXPECT_EQ(DeviceReads(), Each.DiskReads) << Each.Path << " at " << Each.Offset;
    Request.Complete(Status, Each.Length);
    EXPECT_EQ(Request.Iosb.Status, STATUS_SUCCESS);
    EXPECT_TRUE(Request.Buffer == Expected(Each.Path, Each.Offset, Each.Length)) << Each.Path << " at " << Each.Offset;
  }
}

TEST_F(NonCachedRead, AReadRoundedUpPastTheEndOfTheFileZeroesWhatTheCallerDidNotAskFor) {
  OpenVolume({File("short", 4096 + 700), Fragmented()});
  for (const char* Path : {"short", "fragmented"}) {
    PFCB Fcb = OpenFile(Path);
    ULONG64 Size = (ULONG64)Fcb->Header.FileSize.QuadPart;
    ULONG64 Offset = 4096;
    ULONG Asked = (ULONG)(Size - Offset);
    ULONG Rounded = (Asked + 511) & ~511u;
    ReadRequest Request(VolumeDevice, Offset, Rounded, TRUE);
    NTSTATUS Status = ReadNonCached(Request.IrpContext, Request.Irp, Fcb, Offset, Rounded, Asked);
    EXPECT_EQ(Status, STATUS_SUCCESS) << Path;
    Request.Complete(Status, Asked);
    EXPECT_TRUE(Request.Buffer == Expected(Path, Offset, Rounded)) << Path;
  }
  // A range wholly beyond the last run is a hole to its end.
  PFCB Fcb = OpenFile("short");
  ReadRequest Beyond(VolumeDevice, 8192, 1024, TRUE);
  CountReadsFromHere();
  EXPECT_EQ(ReadNonCached(Beyond.IrpContext, Beyond.Irp, Fcb, 8192, 1024, 1024), STATUS_SUCCESS);
  EXPECT_EQ(DeviceReads(), 0u);
  Beyond.Complete(STATUS_SUCCESS, 0);
  EXPECT_EQ(Beyond.Buffer, std::vector<uint8_t>(1024, 0));
}

TEST_F(NonCachedRead, UnalignedReadsTakeHeadAndTailThroughABounceBuffer) {
  OpenVolume({Fragmented(), Sparse()});
  struct Case {
    const char* Path;
    ULONG64 Offset;
    ULONG Length;
  };
  const Case Cases[] = {{"fragmented", 100, 9000}, {"fragmented", 4000, 50}, {"sparse", 4000, 10000},
                        {"sparse", 777, 3}};
  for (const Case& Each : Cases) {
    PFCB Fcb = OpenFile(Each.Path);
    ReadRequest Request(VolumeDevice, Each.Offset, Each.Length, TRUE);
    NTSTATUS Status = ReadNonCachedUnaligned(Request.IrpContext, Request.Irp, Fcb, Each.Offset, Each.Length);
    EXPECT_EQ(Status, STATUS_SUCCESS) << Each.Path << " at " << Each.Offset;
    EXPECT_EQ(Request.Irp->IoStatus.Information, Each.Length);
    Request.Complete(Status, Each.Length);
    EXPECT_TRUE(Request.Buffer == Expected(Each.Path, Each.Offset, Each.Length)) << Each.Path << " at " << Each.Offset;
  }
}

TEST_F(NonCachedRead, AsynchronousReadsAreFinishedByTheirCompletionRoutines) {
  OpenVolume({File("contiguous", 3 * 4096), Fragmented(), Sparse()});
  struct Case {
    const char* Path;
    ULONG Length;
    size_t DiskReads;
  };
  const Case Cases[] = {{"contiguous", 3 * 4096, 1}, {"fragmented", 8 * 4096, 8}, {"sparse", 7 * 4096, 2}};
  for (const Case& Each : Cases) {
    PFCB Fcb = OpenFile(Each.Path);
    ReadRequest Request(VolumeDevice, 0, Each.Length, FALSE);
    CountReadsFromHere();
    EXPECT_EQ(ReadNonCached(Request.IrpContext, Request.Irp, Fcb, 0, Each.Length, Each.Length), STATUS_PENDING);
    Request.LetGo();
    Request.Wait();
    EXPECT_EQ(DeviceReads(), Each.DiskReads) << Each.Path;
    EXPECT_EQ(Request.Iosb.Status, STATUS_SUCCESS) << Each.Path;
    EXPECT_EQ(Request.Iosb.Information, Each.Length);
    EXPECT_TRUE(Request.Buffer == Expected(Each.Path, 0, Each.Length)) << Each.Path;
  }
}

TEST_F(NonCachedRead, AVerifyRequestMetInTheMiddleOfAnAsynchronousReadPostsItAgain) {
  OpenVolume({Fragmented()});
  PFCB Fcb = OpenFile("fragmented");
  // A non-cached read of a handle on the file, as the read dispatch would start it.
  PCCB Ccb = AllocateCcb(&IrpContext, FileOpen);
  Ccb->Target = Fcb;
  HANDLE Handle = HkInsertHandle(VolumeDevice, Fcb, Ccb, FO_NO_INTERMEDIATE_BUFFERING);
  PFILE_OBJECT FileObject = HkFileObjectOf(Handle);
  FileObject->SectionObjectPointer = &Fcb->NonPaged->SectionObjectPointers;
  ReadRequest Request(VolumeDevice, 0, 8 * 4096, FALSE);
  SetFlag(Request.Irp->Flags, IRP_NOCACHE);
  IoGetCurrentIrpStackLocation(Request.Irp)->FileObject = FileObject;
  HkFailRead(Disk, STATUS_VERIFY_REQUIRED, 4);
  EXPECT_EQ(ReadNonCached(Request.IrpContext, Request.Irp, Fcb, 0, 8 * 4096, 8 * 4096), STATUS_PENDING);
  Request.LetGo();
  Request.Wait();
  // The request ran again from the start in a worker, which read it whole; the run that
  // met the verify request and its MDL went with the first transfer.
  std::vector<HkIoRecord> Log = HkIoLog(Disk);
  EXPECT_EQ(std::count_if(Log.begin(), Log.end(), [](const HkIoRecord& R) { return R.Status == STATUS_VERIFY_REQUIRED; }), 1);
  EXPECT_EQ(Request.Iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(Request.Iosb.Information, 8u * 4096);
  EXPECT_TRUE(Request.Buffer == Expected("fragmented", 0, 8 * 4096));
  HkWaitForWorkQueueIdle();
  HkDropHandle(Handle);
  FreeCcb(Ccb);
}

}  // namespace
