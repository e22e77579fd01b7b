// Storage devices over image files as a file system meets them: sector-aligned reads
// inside the device, partition windows, the device controls, media changes, injected
// read failures, and an image that is never written.
#include <fstream>
#include <iterator>
#include <vector>

#include "StandInTestSupport.h"

namespace {

struct Result {
  NTSTATUS Status;
  ULONG_PTR Information;
};

Result Send(PDEVICE_OBJECT Device, PIRP Irp, PKEVENT Done, PIO_STATUS_BLOCK Iosb) {
  NTSTATUS Status = IoCallDriver(Device, Irp);
  if (Status == STATUS_PENDING) KeWaitForSingleObject(Done, Executive, KernelMode, FALSE, nullptr);
  return {Iosb->Status, Iosb->Information};
}

Result Transfer(PDEVICE_OBJECT Device, UCHAR Major, uint64_t Offset, std::vector<UCHAR>& Buffer, UCHAR StackFlags = 0) {
  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK Iosb{};
  LARGE_INTEGER At;
  At.QuadPart = (LONGLONG)Offset;
  PIRP Irp = IoBuildSynchronousFsdRequest(Major, Device, Buffer.data(), (ULONG)Buffer.size(), &At, &Done, &Iosb);
  IoGetNextIrpStackLocation(Irp)->Flags = StackFlags;
  return Send(Device, Irp, &Done, &Iosb);
}

template <typename Output>
Result Control(PDEVICE_OBJECT Device, ULONG Code, Output* Out) {
  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK Iosb{};
  PIRP Irp = IoBuildDeviceIoControlRequest(Code, Device, nullptr, 0, Out, sizeof(Output), FALSE, &Done, &Iosb);
  return Send(Device, Irp, &Done, &Iosb);
}

bool HoldsPattern(const std::vector<UCHAR>& Buffer, uint64_t ImageOffset) {
  for (size_t Index = 0; Index < Buffer.size(); ++Index)
    if (Buffer[Index] != PatternByte(ImageOffset + Index)) return false;
  return true;
}

TEST(Storage, ReadsMustBeSectorAlignedAndInsideTheDeviceAndAPartitionIsAnOffsetWindow) {
  PatternImage Image("disk", 64 * 1024);
  PDEVICE_OBJECT Disk = HkCreateDisk(Image.Path(), u"\\Device\\Harddisk0\\DR0");
  PDEVICE_OBJECT Partition = HkCreatePartition(Disk, u"\\Device\\HarddiskVolume1", 8192, 16384);
  std::vector<UCHAR> Sector(512), Odd(100), Two(1024);

  EXPECT_EQ(Transfer(Disk, IRP_MJ_READ, 1024, Sector).Status, STATUS_SUCCESS);
  EXPECT_TRUE(HoldsPattern(Sector, 1024));
  EXPECT_EQ(Transfer(Disk, IRP_MJ_READ, 100, Sector).Status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Transfer(Disk, IRP_MJ_READ, 0, Odd).Status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Transfer(Disk, IRP_MJ_READ, 64 * 1024 - 512, Two).Status, STATUS_INVALID_PARAMETER);

  Result Read = Transfer(Partition, IRP_MJ_READ, 0, Sector);
  EXPECT_EQ(Read.Status, STATUS_SUCCESS);
  EXPECT_EQ(Read.Information, 512u);
  EXPECT_TRUE(HoldsPattern(Sector, 8192));
  EXPECT_EQ(Transfer(Partition, IRP_MJ_READ, 16384, Sector).Status, STATUS_INVALID_PARAMETER);
  PARTITION_INFORMATION_EX Info{};
  EXPECT_EQ(Control(Partition, IOCTL_DISK_GET_PARTITION_INFO_EX, &Info).Information, sizeof(Info));
  EXPECT_EQ(Info.StartingOffset.QuadPart, 8192);
  EXPECT_EQ(Info.PartitionLength.QuadPart, 16384);
  DISK_GEOMETRY Geometry{};
  EXPECT_EQ(Control(Disk, IOCTL_DISK_GET_DRIVE_GEOMETRY, &Geometry).Status, STATUS_SUCCESS);
  EXPECT_EQ(Geometry.BytesPerSector, 512u);

  // Nothing is ever written to an image.
  std::vector<UCHAR> Zeros(512, 0);
  EXPECT_EQ(Transfer(Disk, IRP_MJ_WRITE, 0, Zeros).Status, STATUS_MEDIA_WRITE_PROTECTED);
  std::ifstream File(Image.Path(), std::ios::binary);
  std::vector<UCHAR> Bytes((std::istreambuf_iterator<char>(File)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(HoldsPattern(Bytes, 0));

  std::vector<HkIoRecord> Log = HkIoLog(Disk);
  ASSERT_EQ(Log.size(), 6u);
  EXPECT_EQ(Log[0].Offset, 1024u);
  EXPECT_EQ(Log[1].Status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Log[5].MajorFunction, IRP_MJ_WRITE);
  HkDeleteStorage(Partition);
  HkDeleteStorage(Disk);
  ExpectNothingAlive();
}

TEST(Storage, MediaChangesAskForVerificationAndInjectedFailuresHitTheChosenRead) {
  PatternImage First("first", 32 * 1024);
  PatternImage Second("second", 16 * 1024);
  PDEVICE_OBJECT CdRom = HkCreateCdRom(First.Path(), u"\\Device\\CdRom0");
  std::vector<UCHAR> Sector(2048);

  CDROM_TOC Toc{};
  Result TocRead = Control(CdRom, IOCTL_CDROM_READ_TOC, &Toc);
  EXPECT_EQ(TocRead.Information, 20u);
  EXPECT_EQ(Toc.FirstTrack, Toc.LastTrack);
  EXPECT_EQ(Toc.TrackData[0].Control & 4, 4);
  STORAGE_HOTPLUG_INFO Hotplug{};
  EXPECT_EQ(Control(CdRom, IOCTL_STORAGE_GET_HOTPLUG_INFO, &Hotplug).Status, STATUS_SUCCESS);
  EXPECT_TRUE(Hotplug.MediaRemovable);
  ULONG ChangeCount = 0;
  EXPECT_EQ(Control(CdRom, IOCTL_DISK_CHECK_VERIFY, &ChangeCount).Information, 4u);
  EXPECT_EQ(ChangeCount, 1u);

  // Without a mounted volume a change only counts; with one it asks for verification.
  HkEjectMedia(CdRom);
  EXPECT_EQ(Transfer(CdRom, IRP_MJ_READ, 0, Sector).Status, STATUS_NO_MEDIA_IN_DEVICE);
  EXPECT_FALSE(CdRom->Flags & DO_VERIFY_VOLUME);
  CdRom->Vpb->Flags |= VPB_MOUNTED;
  HkSwapMedia(CdRom, Second.Path());
  EXPECT_TRUE(CdRom->Flags & DO_VERIFY_VOLUME);
  EXPECT_EQ(Transfer(CdRom, IRP_MJ_READ, 0, Sector).Status, STATUS_VERIFY_REQUIRED);
  EXPECT_EQ(Control(CdRom, IOCTL_DISK_CHECK_VERIFY, &ChangeCount).Status, STATUS_VERIFY_REQUIRED);
  EXPECT_EQ(Transfer(CdRom, IRP_MJ_READ, 14336, Sector, SL_OVERRIDE_VERIFY_VOLUME).Status, STATUS_SUCCESS);
  EXPECT_TRUE(HoldsPattern(Sector, 14336));
  EXPECT_EQ(Transfer(CdRom, IRP_MJ_READ, 16384, Sector, SL_OVERRIDE_VERIFY_VOLUME).Status,
            STATUS_INVALID_PARAMETER);
  CdRom->Flags &= ~DO_VERIFY_VOLUME;
  EXPECT_EQ(Control(CdRom, IOCTL_DISK_CHECK_VERIFY, &ChangeCount).Status, STATUS_SUCCESS);
  EXPECT_EQ(ChangeCount, 3u);

  HkFailRead(CdRom, STATUS_CRC_ERROR, 2);
  EXPECT_EQ(Transfer(CdRom, IRP_MJ_READ, 0, Sector).Status, STATUS_SUCCESS);
  EXPECT_EQ(Transfer(CdRom, IRP_MJ_READ, 0, Sector).Status, STATUS_CRC_ERROR);
  EXPECT_EQ(Transfer(CdRom, IRP_MJ_READ, 0, Sector).Status, STATUS_SUCCESS);

  CdRom->Vpb->Flags &= ~VPB_MOUNTED;
  HkDeleteStorage(CdRom);
  ExpectNothingAlive();
}

}  // namespace
