#include "DriverFixture.h"

#include <unistd.h>

#include <fstream>

namespace {

std::map<ULONG, uint64_t> PoolByTag() {
  std::map<ULONG, uint64_t> Usage;
  for (const HkTagUsage& Tag : HkPoolUsage()) Usage[Tag.Tag] = Tag.LiveAllocations;
  return Usage;
}

std::string WriteDiskImage(uint64_t Length) {
  const char* Folder = std::getenv("TMPDIR");
  std::string Path = std::string(Folder ? Folder : "/tmp") + "/qdrl-" + std::to_string(::getpid()) + ".img";
  std::vector<char> Bytes(Length, 0);
  std::ofstream(Path, std::ios::binary).write(Bytes.data(), (std::streamsize)Bytes.size());
  return Path;
}

}  // namespace

void LoadedDriver::SetUp() {
  PDRIVER_OBJECT Driver = nullptr;
  ASSERT_EQ(HkLoadDriver(DriverEntry, u"\\FileSystem\\qdrl", &Driver), STATUS_SUCCESS);
  Baseline_ = PoolByTag();
}

void LoadedDriver::TearDown() {
  HkWaitForWorkQueueIdle();
  EXPECT_EQ(PoolByTag(), Baseline_) << HkPoolLeakReport();
  EXPECT_EQ(HkLiveFileObjects(), 0u);
  EXPECT_EQ(HkObjectReferenceCount(GlobalData.DiskFsDevice), 2);
  EXPECT_EQ(HkObjectReferenceCount(GlobalData.CdRomFsDevice), 2);
}

NTSTATUS LoadedDriver::SendBareRequest(PDEVICE_OBJECT Device, UCHAR Major) {
  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK Iosb{};
  PIRP Irp = IoBuildSynchronousFsdRequest(Major, Device, nullptr, 0, nullptr, &Done, &Iosb);
  NTSTATUS Status = IoCallDriver(Device, Irp);
  if (Status == STATUS_PENDING) {
    KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
    Status = Iosb.Status;
  }
  return Status;
}

void MountedVolume::SetUp() {
  LoadedDriver::SetUp();
  std::string Image = WriteDiskImage(1 << 20);
  Disk = HkCreateDisk(Image, u"\\Device\\HarddiskVolume1");
  // The device keeps the image open; the name is not needed any more.
  std::remove(Image.c_str());
  HkRunInSystemThread([&] {
    ASSERT_EQ(IoCreateDevice(GlobalData.DriverObject, sizeof(VCB), nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0,
                             FALSE, &VolumeDevice),
              STATUS_SUCCESS);
  });
  // What mount sets up for posting and pass-through.
  Vcb = (PVCB)VolumeDevice->DeviceExtension;
  RtlZeroMemory(Vcb, sizeof(VCB));
  Vcb->Header.NodeTypeCode = NODE_TYPE_VCB;
  Vcb->Header.NodeByteSize = sizeof(VCB);
  Vcb->VolumeDevice = VolumeDevice;
  Vcb->TargetDevice = Disk;
  Vcb->Vpb = Disk->Vpb;
  Vcb->RealDevice = Disk;
  Vcb->Condition = VcbGood;
  ExInitializeResourceLite(&Vcb->Resource);
  InitializeListHead(&Vcb->OverflowQueue);
  KeInitializeSpinLock(&Vcb->OverflowSpinLock);
  VolumeDevice->StackSize = (CCHAR)(Disk->StackSize + 1);
  VolumeDevice->Flags &= ~DO_DEVICE_INITIALIZING;
  Disk->Vpb->DeviceObject = VolumeDevice;
  Disk->Vpb->Flags |= VPB_MOUNTED;
}

HANDLE MountedVolume::OpenHandle(OPEN_KIND Kind, ULONG FileObjectFlags) {
  CCB* Ccb = new CCB{};
  Ccb->NodeTypeCode = NODE_TYPE_CCB;
  Ccb->NodeByteSize = sizeof(CCB);
  Ccb->OpenKind = Kind;
  Ccb->Target = Kind == VolumeOpen || Kind == StreamOpen ? (PVOID)Vcb : nullptr;
  Ccbs_.push_back(Ccb);
  HANDLE Handle = HkInsertHandle(Disk, Vcb, Ccb, FileObjectFlags);
  Handles_.push_back(Handle);
  return Handle;
}

void MountedVolume::TearDown() {
  // Workers may still be leaving the volume after their last request completed.
  HkWaitForWorkQueueIdle();
  for (HANDLE Handle : Handles_) HkDropHandle(Handle);
  for (CCB* Ccb : Ccbs_) delete Ccb;
  ExDeleteResourceLite(&Vcb->Resource);
  Disk->Vpb->Flags &= ~VPB_MOUNTED;
  Disk->Vpb->DeviceObject = nullptr;
  IoDeleteDevice(VolumeDevice);
  HkDeleteStorage(Disk);
  LoadedDriver::TearDown();
}
