// Mounting APFS containers on disk and CD-ROM devices: what is recognised, the volume
// serial number, label and flags a mount gives the volume, and what is refused with
// nothing left behind.
#include <fstream>

#include "DriverFixture.h"

namespace {

using apfsw::ContainerSpec;
using apfsw::VolumeRole;

ContainerSpec OneVolume(const std::string& Name, bool CaseInsensitive = true) {
  ContainerSpec Spec;
  Spec.uuid = std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  Spec.volumes.resize(1);
  Spec.volumes[0].name = Name;
  Spec.volumes[0].caseInsensitive = CaseInsensitive;
  Spec.volumes[0].root.children.push_back(apfsw::DirectoryEntry("Docs"));
  return Spec;
}

// 32-bit FNV-1 over the container UUID, as the volume serial number is made.
ULONG Fnv1(const std::vector<uint8_t>& Bytes) {
  ULONG Hash = 0x811C9DC5;
  for (uint8_t Byte : Bytes) Hash = (Hash * 0x01000193) ^ Byte;
  return Hash;
}

std::u16string LabelOf(PVPB Vpb) {
  return std::u16string((const char16_t*)Vpb->VolumeLabel, Vpb->VolumeLabelLength / 2);
}

class Mounting : public ImageMount {};

TEST_F(Mounting, DiskImageMountsWithSerialNumberLabelAndFlags) {
  ContainerSpec Spec = OneVolume("Macintosh HD");
  PDEVICE_OBJECT Disk = AddDisk(WriteImage(Spec));
  LONG References = HkObjectReferenceCount(Disk);

  ASSERT_EQ(Mount(Disk), STATUS_SUCCESS);
  PVCB Vcb = VcbOf(Disk);
  ASSERT_NE(Vcb, nullptr);
  EXPECT_EQ(Disk->Vpb->SerialNumber, Fnv1(*Spec.uuid));
  EXPECT_EQ(LabelOf(Disk->Vpb), u"Macintosh HD");
  EXPECT_TRUE(FlagOn(Vcb->State, VCB_CASE_INSENSITIVE));
  EXPECT_EQ(Vcb->Condition, VcbGood);
  EXPECT_EQ(Vcb->SectorSize, 512u);
  EXPECT_EQ(Vcb->Partition->Offset, 0u);
  EXPECT_NE(Vcb->RootFcb, nullptr);
  EXPECT_NE(Vcb->SpareFsTree, nullptr);
  EXPECT_EQ(Vcb->VolumeDevice->StackSize, Disk->StackSize + 1);
  EXPECT_FALSE(FlagOn(Vcb->VolumeDevice->Flags, DO_DEVICE_INITIALIZING));
  // The volume holds the one reference on the device it reads from.
  EXPECT_EQ(HkObjectReferenceCount(Disk), References + 1);
  EXPECT_TRUE(DismountIdle(Disk));
  EXPECT_EQ(HkObjectReferenceCount(Disk), References);
}

}  // namespace
