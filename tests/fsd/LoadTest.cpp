// Loading the driver: the control devices, the tables, the global data, and the undoing
// of every failure before registration.
#include "DriverFixture.h"

namespace {

using Load = LoadedDriver;

TEST_F(Load, BothControlDevicesAreRegisteredFileSystemsWithTheirNamesAndTypes) {
  PDEVICE_OBJECT Disk = HkFindDevice(u"\\qdrl");
  PDEVICE_OBJECT CdRom = HkFindDevice(u"\\qdrlcd");
  ASSERT_NE(Disk, nullptr);
  ASSERT_NE(CdRom, nullptr);
  EXPECT_EQ(Disk->DeviceType, (ULONG)FILE_DEVICE_DISK_FILE_SYSTEM);
  EXPECT_EQ(CdRom->DeviceType, (ULONG)FILE_DEVICE_CD_ROM_FILE_SYSTEM);
  EXPECT_EQ(Disk, GlobalData.DiskFsDevice);
  EXPECT_EQ(CdRom, GlobalData.CdRomFsDevice);
  std::vector<PDEVICE_OBJECT> Registered = HkRegisteredFileSystems();
  EXPECT_EQ(Registered, (std::vector<PDEVICE_OBJECT>{CdRom, Disk}));

  EXPECT_EQ(GlobalData.NodeTypeCode, NODE_TYPE_GLOBAL_DATA);
  // The entry point ran in the system process, not the host's.
  EXPECT_NE(GlobalData.SystemProcess, PsGetCurrentProcess());
  HkRunInSystemThread([] { EXPECT_EQ(GlobalData.SystemProcess, PsGetCurrentProcess()); });
  EXPECT_NE(GlobalData.CloseWorkItem, nullptr);
  EXPECT_TRUE(IsListEmpty(&GlobalData.VcbList));
  EXPECT_EQ(MaxDelayedCloses, 256u);
  EXPECT_EQ(IrpContextLookaside.MaximumDepth, 16);
  EXPECT_EQ(IrpContextLookaside.Tag, PoolTag("QvxI"));
  EXPECT_EQ(NonPagedFcbLookaside.Tag, PoolTag("QvxN"));
  EXPECT_EQ(ResourceLookaside.Tag, PoolTag("QvxE"));
  EXPECT_EQ(QdrlFastIoDispatch.SizeOfFastIoDispatch, sizeof(FAST_IO_DISPATCH));
  EXPECT_EQ(QdrlFastIoDispatch.FastIoRead, FsRtlCopyRead);
  EXPECT_EQ(QdrlFastIoDispatch.FastIoDeviceControl, nullptr);

  // A major function the driver does not serve keeps the I/O manager's answer.
  EXPECT_EQ(SendBareRequest(Disk, IRP_MJ_QUERY_SECURITY), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(SendBareRequest(CdRom, IRP_MJ_POWER), STATUS_INVALID_DEVICE_REQUEST);
}

class MediumSystemLoad : public LoadedDriver {
  void SetUp() override {
    HkSetSystemSize(MmMediumSystem);
    LoadedDriver::SetUp();
  }
};

TEST_F(MediumSystemLoad, AMediumSystemKeeps64DelayedClosesAndLookasideListsOf8) {
  EXPECT_EQ(MaxDelayedCloses, 64u);
  EXPECT_EQ(IrpContextLookaside.MaximumDepth, 8);
  EXPECT_EQ(ResourceLookaside.MaximumDepth, 8);
}

// Each failure before registration leaves no device, no registration and no pool.
TEST(LoadFailure, EveryFailureUndoesWhatCameBeforeIt) {
  struct Case {
    HkCall Call;
    unsigned Nth;
    NTSTATUS Injected;
    NTSTATUS Expected;
  };
  const Case Cases[] = {
      {HkCall::IoCreateDevice, 1, STATUS_OBJECT_NAME_COLLISION, STATUS_OBJECT_NAME_COLLISION},
      {HkCall::IoCreateDevice, 2, STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES},
      {HkCall::FsRtlRegisterFileSystemFilterCallbacks, 1, STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
      {HkCall::IoAllocateWorkItem, 1, STATUS_NO_MEMORY, STATUS_INSUFFICIENT_RESOURCES},
  };
  for (const Case& Failure : Cases) {
    HkFailCall(Failure.Call, Failure.Injected, Failure.Nth);
    PDRIVER_OBJECT Driver = nullptr;
    EXPECT_EQ(HkLoadDriver(DriverEntry, u"\\FileSystem\\qdrl", &Driver), Failure.Expected);
    HkClearCallFaults();
    EXPECT_EQ(HkFindDevice(u"\\qdrl"), nullptr);
    EXPECT_EQ(HkFindDevice(u"\\qdrlcd"), nullptr);
    EXPECT_TRUE(HkRegisteredFileSystems().empty());
    EXPECT_EQ(HkLiveDeviceObjects(), 0u);
    EXPECT_EQ(HkPoolLeakReport(), "");
  }
  PDRIVER_OBJECT Driver = nullptr;
  EXPECT_EQ(HkLoadDriver(DriverEntry, u"\\FileSystem\\qdrl", &Driver), STATUS_SUCCESS);
  EXPECT_EQ(HkRegisteredFileSystems().size(), 2u);
}

using ControlDevices = LoadedDriver;

// Opens a control device by name; returns the status and fills Handle and Iosb.
NTSTATUS OpenControlDevice(const char16_t* Name, HANDLE* Handle, IO_STATUS_BLOCK* Iosb) {
  std::u16string Text = Name;
  UNICODE_STRING DeviceName{(USHORT)(Text.size() * 2), (USHORT)(Text.size() * 2), (PWSTR)Text.data()};
  OBJECT_ATTRIBUTES Attributes = HkObjectAttributes(&DeviceName);
  return NtCreateFile(Handle, GENERIC_READ, &Attributes, Iosb, nullptr, 0, FILE_SHARE_READ, FILE_OPEN,
                      FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
}

TEST_F(ControlDevices, CreateCleanupAndCloseSucceedAtOnceAndOtherRequestsOnTheirHandlesFail) {
  for (const char16_t* Name : {u"\\qdrl", u"\\qdrlcd"}) {
    ULONG ContextsBefore = IrpContextLookaside.TotalAllocates;
    HANDLE Handle;
    IO_STATUS_BLOCK Iosb{};
    ASSERT_EQ(OpenControlDevice(Name, &Handle, &Iosb), STATUS_SUCCESS);
    EXPECT_EQ(Iosb.Information, (ULONG_PTR)FILE_OPENED);
    ULONG Output = 0;
    EXPECT_EQ(NtFsControlFile(Handle, nullptr, nullptr, nullptr, &Iosb, FSCTL_IS_VOLUME_MOUNTED, nullptr, 0,
                              &Output, sizeof(Output)),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(NtDeviceIoControlFile(Handle, nullptr, nullptr, nullptr, &Iosb, IOCTL_DISK_GET_DRIVE_GEOMETRY,
                                    nullptr, 0, nullptr, 0),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(NtClose(Handle), STATUS_SUCCESS);
    // The refusals came before any IrpContext was made, the opens never made one.
    EXPECT_EQ(IrpContextLookaside.TotalAllocates, ContextsBefore);
  }
}

}  // namespace
