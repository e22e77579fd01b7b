// The volume record: what setting it up takes (list entry, target reference, stream file
// object with its Ccb and VPB reference) and that both its deletion and a set-up that
// fails part way give all of it back.
#include "DriverFixture.h"

#include <fstream>

namespace {

class VolumeRecord : public LoadedDriver {
 protected:
  void SetUp() override {
    LoadedDriver::SetUp();
    const char* Temp = std::getenv("TMPDIR");
    Image_ = std::string(Temp ? Temp : "/tmp") + "/qdrl-vcb-" + std::to_string(::getpid()) + ".img";
    std::ofstream(Image_, std::ios::binary).write(std::string(1 << 16, '\0').data(), 1 << 16);
    HkStorageOptions Options;
    Options.Removable = true;
    Disk = HkCreateDisk(Image_, u"\\Device\\Harddisk1\\DR1", Options);
    std::remove(Image_.c_str());
    HkRunInSystemThread([&] {
      ASSERT_EQ(IoCreateDevice(GlobalData.DriverObject, sizeof(VCB), nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0,
                               FALSE, &VolumeDevice),
                STATUS_SUCCESS);
    });
    Vcb = (PVCB)VolumeDevice->DeviceExtension;
    IrpContext.NodeTypeCode = NODE_TYPE_IRP_CONTEXT;
    IrpContext.Flags = IRPCTX_WAIT;
    TargetReferences = HkObjectReferenceCount(Disk);
  }

  void TearDown() override {
    IoDeleteDevice(VolumeDevice);
    HkDeleteStorage(Disk);
    LoadedDriver::TearDown();
  }

  NTSTATUS Initialize() {
    NTSTATUS Raised = STATUS_SUCCESS;
    FsRtlEnterFileSystem();
    SEH_TRY {
      InitializeVcb(&IrpContext, Vcb, Disk, Disk->Vpb);
    } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
      Raised = SEH_EXCEPTION_CODE();
    } SEH_END;
    FsRtlExitFileSystem();
    return Raised;
  }

  void ExpectAllGivenBack() {
    EXPECT_TRUE(IsListEmpty(&GlobalData.VcbList));
    EXPECT_EQ(Disk->Vpb->ReferenceCount, 0u);
    EXPECT_EQ(HkObjectReferenceCount(Disk), TargetReferences);
    EXPECT_EQ(HkLiveFileObjects(), 0u);
  }

  PDEVICE_OBJECT Disk = nullptr;
  PDEVICE_OBJECT VolumeDevice = nullptr;
  PVCB Vcb = nullptr;
  IRP_CONTEXT IrpContext{};
  LONG TargetReferences = 0;

 private:
  std::string Image_;
};

TEST_F(VolumeRecord, ASetUpVolumeHoldsItsStreamFileAndTargetAndDeletionGivesThemBack) {
  ASSERT_EQ(Initialize(), STATUS_SUCCESS);
  EXPECT_EQ(Vcb->Condition, VcbGood);
  EXPECT_EQ(GlobalData.VcbList.Flink, &Vcb->VcbLinks);
  EXPECT_TRUE(FlagOn(Vcb->State, VCB_REMOVABLE_MEDIA));
  EXPECT_EQ(HkObjectReferenceCount(Disk), TargetReferences + 1);
  ASSERT_NE(Vcb->StreamFile, nullptr);
  EXPECT_EQ(Vcb->StreamFile->FsContext, Vcb);
  PCCB Ccb = DecodeCcb(Vcb->StreamFile, QDRL_BUG_CHECK_SUPPORT, __LINE__);
  EXPECT_EQ(Ccb->OpenKind, StreamOpen);
  EXPECT_EQ(Ccb->Target, Vcb);
  EXPECT_EQ(Vcb->StreamOpenCount, 1);
  EXPECT_EQ(Vcb->StreamResidualCount, 1);
  EXPECT_EQ(Disk->Vpb->ReferenceCount, 1u);
  EXPECT_NE(Vcb->SpareVpb, nullptr);
  EXPECT_EQ(Vcb->Header.FastMutex, &Vcb->HeaderMutex);

  FsRtlEnterFileSystem();
  DeleteVcb(&IrpContext, Vcb);
  FsRtlExitFileSystem();
  ExpectAllGivenBack();
  EXPECT_EQ(Vcb->Header.NodeTypeCode, 0);
}

TEST_F(VolumeRecord, ASetUpThatFailsPartWayGivesBackTheStreamFileItsCcbAndItsVpbReference) {
  // Each allocation of the set-up in turn, the last one after the stream file exists.
  for (ULONG Tag : {TAG_CCB, PoolTag("FSNS"), TAG_VPB}) {
    HkFailAllocationsOfTag(Tag);
    EXPECT_EQ(Initialize(), STATUS_INSUFFICIENT_RESOURCES) << HkTagName(Tag);
    HkClearAllocationFaults();
    ExpectAllGivenBack();
  }
}

}  // namespace
