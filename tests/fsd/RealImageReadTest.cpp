// Apple-made images: every plainly stored file of the default volume, read without the cache along its run map, holds what the engine reads through its
// extents.
#include "DriverFixture.h"
#include "RealImageFiles.h"

namespace {

class RealImageReads : public WrittenVolume, public testing::WithParamInterface<std::filesystem::path> {};

TEST_P(RealImageReads, PlainFilesReadAlongTheirRunMapsAsTheEngineReadsThem) {
  if (!OpenImage(GetParam().string())) GTEST_SKIP() << GetParam().filename() << ": the engine does not open it";
  if (!VolumeIsCaseSensitive(ContainerVolume(Vcb->Container, (uint32_t)Vcb->Volume->index)))
    SetFlag(Vcb->State, VCB_CASE_INSENSITIVE);
  FsRtlEnterFileSystem();
  PFCB Root = CreateRootFcb(&IrpContext, Vcb);
  size_t Compared = 0;
  std::vector<std::string> Files;
  CollectPlainFiles(Vcb->Volume->root, "", &Files);
  for (const std::string& Name : Files) {
    FileInfo Info{};
    FsNode* Node = Lookup(Name, &Info);
    ASSERT_NE(Node, nullptr) << Name;
    PFCB Fcb = CreateFileFcb(&IrpContext, Vcb, Root, Node, &Info, FALSE);
    ULONG Size = (ULONG)Info.fileSize;
    ULONG Rounded = (Size + 511) & ~511u;
    std::vector<uint8_t> Buffer(Rounded, 0xAA);
    KEVENT Done;
    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK Iosb{};
    LARGE_INTEGER Start{};
    PIRP Irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, VolumeDevice, Buffer.data(), Rounded, &Start, &Done, &Iosb);
    IoSetNextIrpStackLocation(Irp);
    IoGetCurrentIrpStackLocation(Irp)->DeviceObject = VolumeDevice;
    PIRP_CONTEXT Request = AllocateIrpContext(Irp, TRUE);
    IO_CONTEXT Transfer{};
    KeInitializeEvent(&Transfer.SyncEvent, NotificationEvent, FALSE);
    Request->IoContext = &Transfer;
    SetFlag(Request->Flags, IRPCTX_STACK_IO_CONTEXT);
    NTSTATUS Status = Size == 0 ? STATUS_SUCCESS : ReadNonCached(Request, Irp, Fcb, 0, Rounded, Size);
    CompleteRequest(Request, Irp, Status);
    KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(Status, STATUS_SUCCESS) << Name;
    std::vector<uint8_t> Expected = EngineBytes(Node, Size);
    Expected.resize(Rounded, 0);
    EXPECT_TRUE(Buffer == Expected) << GetParam().filename() << ": " << Name;
    FsNodeRelease(Node);
    // Each Fcb hangs under the root for the test's sake and goes before the next.
    DeleteFcb(&IrpContext, &Fcb);
    Compared++;
  }
  EXPECT_EQ(Compared, Files.size());
  DeleteFcb(&IrpContext, &Root);
  FsRtlExitFileSystem();
  RecordProperty("files", (int)Compared);
}

INSTANTIATE_TEST_SUITE_P(Images, RealImageReads, testing::ValuesIn(testdata::RealImages()),
                         [](const testing::TestParamInfo<std::filesystem::path>& Info) {
                           std::string Name = Info.param.stem().string();
                           std::replace_if(Name.begin(), Name.end(), [](char C) { return !std::isalnum((unsigned char)C); }, '_');
                           return Name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(RealImageReads);

}  // namespace
