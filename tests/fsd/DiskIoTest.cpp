// The partition window the engine reads through, and the run maps that file data is read
// by: files of one extent, of many, with holes and gaps, and files whose extents cannot be
// read or lie outside the partition.
#include "DriverFixture.h"

#include <fstream>

// Runs compare and print by their three fields.
inline bool operator==(const FILE_RUN& A, const FILE_RUN& B) {
  return A.FileOffset == B.FileOffset && A.DiskOffset == B.DiskOffset && A.Length == B.Length;
}
inline void PrintTo(const FILE_RUN& Run, std::ostream* Out) {
  *Out << "{" << Run.FileOffset << ", " << Run.DiskOffset << ", " << Run.Length << "}";
}

namespace {

using apfsw::Entry;

Entry File(const std::string& Name, uint64_t Size) {
  Entry File;
  File.name = Name;
  File.size = Size;
  return File;
}

apfsw::ContainerSpec OneVolume(std::vector<Entry> Files) {
  apfsw::ContainerSpec Spec;
  Spec.volumes.resize(1);
  Spec.volumes[0].root.children = std::move(Files);
  return Spec;
}

// The status a call raises, or STATUS_SUCCESS.
template <typename Body>
NTSTATUS RaisedBy(Body&& Run) {
  NTSTATUS Raised = STATUS_SUCCESS;
  SEH_TRY {
    Run();
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    Raised = SEH_EXCEPTION_CODE();
  } SEH_END;
  return Raised;
}

class DiskIo : public WrittenVolume {
 protected:
  // Opens Path as a file Fcb under the root, or returns the status the open raised;
  // BeforeCreate runs between the lookup and the Fcb's creation.
  NTSTATUS OpenFile(const std::string& Path, PFCB* Fcb, const std::function<void()>& BeforeCreate = {}) {
    FileInfo Info{};
    FsNode* Node = Lookup(Path, &Info);
    EXPECT_NE(Node, nullptr) << Path;
    if (Node == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (BeforeCreate) BeforeCreate();
    NTSTATUS Status = RaisedBy([&] { *Fcb = CreateFileFcb(&IrpContext, Vcb, Root, Node, &Info, FALSE); });
    FsNodeRelease(Node);
    return Status;
  }

  void CloseFile(PFCB Fcb) { DeleteFcb(&IrpContext, &Fcb); }

  // The writer's extents of Path as the run map must show them: partition byte offsets,
  // holes as 0.
  std::vector<FILE_RUN> ExpectedRuns(const std::string& Path) {
    std::vector<FILE_RUN> Runs;
    const apfsw::FileLocation& Where = Layout.File(0, Path);
    uint64_t Next = 0;
    for (const apfsw::ExtentLocation& Extent : Where.extents) {
      // Stretches between extents, and the tail after the last, are holes.
      if (Extent.logicalOffset > Next) Runs.push_back({Next, 0, Extent.logicalOffset - Next});
      Runs.push_back({Extent.logicalOffset, Extent.physicalBlock * Layout.blockSize, Extent.length});
      Next = Extent.logicalOffset + Extent.length;
    }
    if (Where.size > Next) Runs.push_back({Next, 0, Where.size - Next});

    // Adjacent holes read the same as one.
    std::vector<FILE_RUN> Merged;
    for (const FILE_RUN& Run : Runs) {
      if (!Merged.empty() && Merged.back().DiskOffset == 0 && Run.DiskOffset == 0) Merged.back().Length += Run.Length;
      else Merged.push_back(Run);
    }
    return Merged;
  }

  static std::vector<FILE_RUN> MapOf(PFCB Fcb) {
    std::vector<FILE_RUN> Runs(Fcb->File.Runs, Fcb->File.Runs + Fcb->File.RunCount);
    std::vector<FILE_RUN> Merged;
    for (const FILE_RUN& Run : Runs) {
      if (!Merged.empty() && Merged.back().DiskOffset == 0 && Run.DiskOffset == 0) Merged.back().Length += Run.Length;
      else Merged.push_back(Run);
    }
    return Merged;
  }

  void SetUpRoot() {
    FsRtlEnterFileSystem();
    Root = CreateRootFcb(&IrpContext, Vcb);
  }
  void TearDown() override {
    if (Root != nullptr) {
      DeleteFcb(&IrpContext, &Root);
      FsRtlExitFileSystem();
    }
    WrittenVolume::TearDown();
  }

  PFCB Root = nullptr;
};

TEST_F(DiskIo, ThePartitionWindowReadsAnyRangeInsideItAndRefusesEveryOtherOne) {
  Open(OneVolume({File("a", 10)}));
  uint64_t Length = Vcb->Partition->Length;

  // A small read at an aligned offset costs one sector.
  size_t Before = HkIoLog(Disk).size();
  uint8_t Small[72];
  ASSERT_EQ(ReadPartition(Vcb->Partition, 8192, Small, sizeof(Small)), STATUS_SUCCESS);
  std::vector<HkIoRecord> Log = HkIoLog(Disk);
  ASSERT_EQ(Log.size(), Before + 1);
  EXPECT_EQ(Log.back().Offset, PartitionOffset + 8192);
  EXPECT_EQ(Log.back().Length, Vcb->SectorSize);
  EXPECT_EQ(std::vector<uint8_t>(Small, Small + sizeof(Small)), ImageBytes(8192, sizeof(Small)));

  // Head and tail sectors and whole chunks in between land where they belong.
  std::vector<uint8_t> Wide(3 * 4096 + 300);
  ASSERT_EQ(ReadPartition(Vcb->Partition, 4096 + 77, Wide.data(), Wide.size()), STATUS_SUCCESS);
  EXPECT_EQ(Wide, ImageBytes(4096 + 77, Wide.size()));
  uint8_t Last[5];
  ASSERT_EQ(ReadPartition(Vcb->Partition, Length - 5, Last, 5), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<uint8_t>(Last, Last + 5), ImageBytes(Length - 5, 5));

  // Outside the window nothing reaches the device, however the sum would wrap.
  Before = HkIoLog(Disk).size();
  EXPECT_EQ(ReadPartition(Vcb->Partition, Length - 4, Last, 5), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ReadPartition(Vcb->Partition, ~0ull - 1, Last, 5), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ReadPartition(Vcb->Partition, 5, Last, ~0ull - 2), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ReadPartition(Vcb->Partition, 0, Last, 0x100000000ull), STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(DeviceRead(&Vcb->Partition->Engine, Length - 4, Last, 5));
  EXPECT_EQ(HkIoLog(Disk).size(), Before);

  // A device failure comes back as the device gave it.
  HkFailRead(Disk, STATUS_CRC_ERROR);
  EXPECT_EQ(ReadPartition(Vcb->Partition, 100, Small, sizeof(Small)), STATUS_CRC_ERROR);
}

TEST_F(DiskIo, RunMapsFollowTheExtentsWithGapsAndTailsAsHoles) {
  Entry Contiguous = File("contiguous", 5 * 4096 + 100);
  Entry Fragmented = File("fragmented", 9 * 4096 - 7);
  Fragmented.extentBlocks = 1;
  Entry Sparse = File("sparse", 10 * 4096);
  Sparse.layout = {{4096, false}, {8192, true}, {4096, false}};
  Entry Gap = File("gap", 4 * 4096);
  Gap.layout = {{4096, false}, {4096, true}, {8192, false}};
  Open(OneVolume({Contiguous, Fragmented, Sparse, Gap, File("empty", 0)}));
  SetUpRoot();

  for (const char* Path : {"contiguous", "fragmented", "sparse", "gap", "empty"}) {
    PFCB Fcb = nullptr;
    ASSERT_EQ(OpenFile(Path, &Fcb), STATUS_SUCCESS) << Path;
    EXPECT_EQ(MapOf(Fcb), ExpectedRuns(Path)) << Path;
    EXPECT_EQ((uint64_t)Fcb->Header.FileSize.QuadPart, Layout.File(0, Path).size);
    // The runs cover the file without gaps.
    uint64_t Covered = 0;
    for (ULONG i = 0; i < Fcb->File.RunCount; ++i) {
      EXPECT_EQ(Fcb->File.Runs[i].FileOffset, Covered) << Path;
      Covered += Fcb->File.Runs[i].Length;
    }
    // The last extent keeps its whole blocks.
    EXPECT_GE(Covered, Layout.File(0, Path).size) << Path;
    EXPECT_LT(Covered, Layout.File(0, Path).size + Layout.blockSize) << Path;
    CloseFile(Fcb);
  }
  PFCB Fragmented9 = nullptr;
  ASSERT_EQ(OpenFile("fragmented", &Fragmented9), STATUS_SUCCESS);
  EXPECT_GT(Fragmented9->File.RunCount, 5u);
  CloseFile(Fragmented9);
}

TEST_F(DiskIo, LookupRunSplitsARangeAtRunEndsAndReadsPastTheLastRunAsAHole) {
  Entry Sparse = File("sparse", 3 * 4096 + 100);
  Sparse.layout = {{4096, false}, {4096, true}, {4096, false}};
  Open(OneVolume({Sparse}));
  SetUpRoot();
  PFCB Fcb = nullptr;
  ASSERT_EQ(OpenFile("sparse", &Fcb), STATUS_SUCCESS);
  const uint64_t First = Layout.File(0, "sparse").extents.at(0).physicalBlock * 4096;

  ULONG64 Disk = 0;
  ULONG Length = 0;
  LookupRun(Fcb, 100, 10000, &Disk, &Length);
  EXPECT_EQ(Disk, First + 100);
  EXPECT_EQ(Length, 4096u - 100);
  LookupRun(Fcb, 4096 + 5, 10, &Disk, &Length);
  EXPECT_EQ(Disk, 0u);
  EXPECT_EQ(Length, 10u);
  // The last sector of the file, rounded up past its size, and a range wholly beyond it.
  LookupRun(Fcb, 3 * 4096 + 100, 412, &Disk, &Length);
  EXPECT_EQ(Disk, 0u);
  EXPECT_EQ(Length, 412u);
  LookupRun(Fcb, 1 << 20, 512, &Disk, &Length);
  EXPECT_EQ(Disk, 0u);
  EXPECT_EQ(Length, 512u);
  CloseFile(Fcb);
}

TEST_F(DiskIo, AFileWhoseExtentsCannotBeReadOrLieOutsideThePartitionDoesNotOpen) {
  Entry Fragmented = File("fragmented", 40 * 4096);
  Fragmented.extentBlocks = 1;
  apfsw::ContainerSpec Spec = OneVolume({Fragmented});
  Spec.volumes[0].nodeEntryCap = 4;
  Open(Spec);
  SetUpRoot();

  // The extent records lie in leaves the lookup did not read: the failure is the device's.
  PFCB Fcb = nullptr;
  EXPECT_EQ(OpenFile("fragmented", &Fcb, [&] { HkFailRead(Disk, STATUS_CRC_ERROR); }), STATUS_CRC_ERROR);
  EXPECT_EQ(Fcb, nullptr);
  EXPECT_TRUE(IsListEmpty(&Root->Directory.ChildList));
}

TEST_F(DiskIo, AnExtentBeyondThePartitionWindowIsRefused) {
  Entry Data = File("data", 8 * 4096);
  apfsw::ContainerSpec Spec = OneVolume({Data});
  Spec.blockCount = 0;
  Open(Spec);
  // Shrink the window so that it ends inside the file's extent.
  const apfsw::ExtentLocation& Extent = Layout.File(0, "data").extents.at(0);
  Vcb->Partition->Length = Extent.physicalBlock * 4096 + 4096;
  SetUpRoot();
  PFCB Fcb = nullptr;
  EXPECT_EQ(OpenFile("data", &Fcb), STATUS_FILE_CORRUPT_ERROR);
  Vcb->Partition->Length = Vcb->Partition->Engine.length;
}

}  // namespace

namespace {

TEST_F(DiskIo, AFileMetAfterAMediaChangeIsRecheckedAgainstItsInodeRecord) {
  Open(OneVolume({File("kept", 5000), File("other", 10)}));
  SetUpRoot();
  PFCB Fcb = nullptr;
  ASSERT_EQ(OpenFile("kept", &Fcb), STATUS_SUCCESS);

  // The same medium: the record reads back as it was.
  SetFcbCondition(&IrpContext, Root, FcbNeedsRecheck, TRUE);
  EXPECT_EQ(Fcb->Condition, FcbNeedsRecheck);
  EXPECT_EQ(RaisedBy([&] { CheckFcbUsable(&IrpContext, Fcb); }), STATUS_SUCCESS);
  EXPECT_EQ(Fcb->Condition, FcbGood);
  EXPECT_EQ(Root->Condition, FcbGood) << "the parent is re-checked with it";

  // A request that may not wait is told to come back in a worker.
  SetFcbCondition(&IrpContext, Fcb, FcbNeedsRecheck, FALSE);
  ClearFlag(IrpContext.Flags, IRPCTX_WAIT);
  EXPECT_EQ(RaisedBy([&] { CheckFcbUsable(&IrpContext, Fcb); }), STATUS_CANT_WAIT);
  SetFlag(IrpContext.Flags, IRPCTX_WAIT);

  // A record that reads back different (here: an unreadable block) makes the Fcb bad for good.
  HkFailRead(Disk, STATUS_CRC_ERROR);
  EXPECT_EQ(RaisedBy([&] { CheckFcbUsable(&IrpContext, Fcb); }), STATUS_FILE_INVALID);
  EXPECT_EQ(Fcb->Condition, FcbBad);
  EXPECT_EQ(RaisedBy([&] { CheckFcbUsable(&IrpContext, Fcb); }), STATUS_FILE_INVALID);
  SetFlag(Vcb->State, VCB_DISMOUNTED);
  EXPECT_EQ(RaisedBy([&] { CheckFcbUsable(&IrpContext, Fcb); }), STATUS_VOLUME_DISMOUNTED);
  ClearFlag(Vcb->State, VCB_DISMOUNTED);
  IrpContext.ExceptionStatus = 0;
  CloseFile(Fcb);
}

TEST_F(DiskIo, ADataDiscIsOneDataTrackOrADriveThatCannotTell) {
  Open(OneVolume({File("a", 10)}));
  // A disk answers no table of contents: it is taken for a data disc.
  EXPECT_TRUE(IsDataCdRom(Disk));
  std::string Image = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/qdrl-cd-" +
                      std::to_string(::getpid()) + ".img";
  { std::ofstream(Image, std::ios::binary).write(std::string(1 << 16, '\0').data(), 1 << 16); }
  for (bool DataTrack : {true, false}) {
    PDEVICE_OBJECT CdRom = HkCreateCdRom(Image, u"\\Device\\CdRom0", DataTrack);
    EXPECT_EQ(IsDataCdRom(CdRom), DataTrack ? TRUE : FALSE);
    std::vector<HkIoRecord> Log = HkIoLog(CdRom);
    ASSERT_FALSE(Log.empty());
    EXPECT_EQ(Log.back().IoControlCode, (ULONG)IOCTL_CDROM_READ_TOC);
    HkDeleteStorage(CdRom);
  }
  std::remove(Image.c_str());
}

}  // namespace
