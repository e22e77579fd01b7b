// Mounting APFS containers on disk and CD-ROM devices: what is recognised, the volume
// serial number, label and flags a mount gives the volume, and what is refused with
// nothing left behind.
#include <filesystem>
#include <fstream>

#include <array>
#include <cstring>
#include <future>

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


// A disc image whose GUID partition table (512-byte blocks) lists Entries, each a type and
// a first block; the container image is copied to the block of the entry Holder.
struct GptEntrySpec {
  std::array<uint8_t, 16> Type;
  uint64_t FirstLba;
  uint64_t Blocks;
};

const std::array<uint8_t, 16> ApfsType = {0xEF, 0x57, 0x34, 0x7C, 0x00, 0x00, 0xAA, 0x11,
                                          0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC};
const std::array<uint8_t, 16> BasicDataType = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                               0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};

template <typename T>
void Put(std::vector<uint8_t>& Bytes, size_t Offset, T Value) {
  std::memcpy(Bytes.data() + Offset, &Value, sizeof(Value));
}

std::string WriteGptDisc(const std::string& Path, const std::string& Container,
                         const std::vector<GptEntrySpec>& Entries, uint64_t ContainerLba) {
  std::ifstream In(Container, std::ios::binary);
  std::vector<uint8_t> Payload((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
  uint64_t Length = ContainerLba * 512 + Payload.size();
  Length = (Length + 2047) / 2048 * 2048;
  std::vector<uint8_t> Disc(Length, 0);
  Put<uint64_t>(Disc, 512, 0x5452415020494645);  // "EFI PART"
  Put<uint32_t>(Disc, 512 + 12, 92);
  Put<uint64_t>(Disc, 512 + 72, 2);    // entries at LBA 2
  Put<uint32_t>(Disc, 512 + 80, 128);  // entry count
  Put<uint32_t>(Disc, 512 + 84, 128);  // entry size
  for (size_t Index = 0; Index < Entries.size(); ++Index) {
    size_t At = 1024 + Index * 128;
    std::memcpy(Disc.data() + At, Entries[Index].Type.data(), 16);
    Disc[At + 16] = (uint8_t)(Index + 1);
    Put<uint64_t>(Disc, At + 32, Entries[Index].FirstLba);
    Put<uint64_t>(Disc, At + 40, Entries[Index].FirstLba + Entries[Index].Blocks - 1);
  }
  std::memcpy(Disc.data() + ContainerLba * 512, Payload.data(), Payload.size());
  std::ofstream(Path, std::ios::binary).write((const char*)Disc.data(), (std::streamsize)Disc.size());
  return Path;
}

void Patch(const std::string& Path, uint64_t Offset, const std::vector<uint8_t>& Bytes) {
  std::fstream File(Path, std::ios::binary | std::ios::in | std::ios::out);
  File.seekp((std::streamoff)Offset);
  File.write((const char*)Bytes.data(), (std::streamsize)Bytes.size());
}

uint64_t ImageBlocks(const std::string& Path) { return std::filesystem::file_size(Path) / 512; }

class Mounting : public ImageMount {
 protected:
  // A refused mount leaves no device, no reference and no mounted VPB behind (the pool is
  // checked at the end of the test).
  void ExpectRefused(PDEVICE_OBJECT Device, NTSTATUS Expected) {
    size_t DevicesBefore = HkLiveDeviceObjects();
    LONG References = HkObjectReferenceCount(Device);
    EXPECT_EQ(Mount(Device), Expected);
    EXPECT_EQ(HkLiveDeviceObjects(), DevicesBefore);
    EXPECT_EQ(HkObjectReferenceCount(Device), References);
    EXPECT_FALSE(Device->Vpb->Flags & VPB_MOUNTED);
    EXPECT_EQ(Device->Vpb->DeviceObject, nullptr);
  }
};

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


TEST_F(Mounting, LabelsComeFromTheSystemVolumeAndAreCutAtThirtyTwoUnits) {
  ContainerSpec Pair;
  Pair.volumes.resize(2);
  Pair.volumes[0].name = "Macintosh HD";
  Pair.volumes[0].role = VolumeRole::System;
  Pair.volumes[1].name = "Macintosh HD - Data";
  Pair.volumes[1].role = VolumeRole::Data;
  Pair.volumes[1].caseInsensitive = false;
  PDEVICE_OBJECT Disk = AddDisk(WriteImage(Pair, "pair.img"));
  ASSERT_EQ(Mount(Disk), STATUS_SUCCESS);
  EXPECT_EQ(LabelOf(Disk->Vpb), u"Macintosh HD");
  EXPECT_EQ(VcbOf(Disk)->Volume->index, 1);
  EXPECT_FALSE(FlagOn(VcbOf(Disk)->State, VCB_CASE_INSENSITIVE));

  PDEVICE_OBJECT Long = AddDisk(WriteImage(OneVolume("A volume name of forty characters, yes!!"), "long.img"));
  ASSERT_EQ(Mount(Long), STATUS_SUCCESS);
  EXPECT_EQ(LabelOf(Long->Vpb), u"A volume name of forty character");
  EXPECT_EQ(Long->Vpb->VolumeLabelLength, 64);
}

TEST_F(Mounting, GptWrappedContainerOnACdRomMountsFromItsApfsPartition) {
  ContainerSpec Spec = OneVolume("Disc");
  std::string Container = WriteImage(Spec);
  uint64_t Blocks = ImageBlocks(Container);
  std::string Disc = WriteGptDisc(Folder + "/disc.iso", Container,
                                  {{BasicDataType, 40, 8}, {ApfsType, 2048, Blocks}, {ApfsType, 64, 8}}, 2048);
  PDEVICE_OBJECT CdRom = AddCdRom(Disc);
  ASSERT_EQ(Mount(CdRom), STATUS_SUCCESS);
  PVCB Vcb = VcbOf(CdRom);
  ASSERT_NE(Vcb, nullptr);
  EXPECT_EQ(Vcb->Partition->Offset, 2048u * 512);
  EXPECT_EQ(Vcb->Partition->Length, Blocks * 512);
  EXPECT_EQ(Vcb->SectorSize, 2048u);
  EXPECT_EQ(CdRom->Vpb->SerialNumber, Fnv1(*Spec.uuid));
  EXPECT_EQ(LabelOf(CdRom->Vpb), u"Disc");
  // A removable device's media change count is taken at mount.
  EXPECT_EQ(Vcb->MediaChangeCount, 1u);
}

TEST_F(Mounting, MediaWithoutAUsableContainerAreRefusedLeavingNothing) {
  std::string Zeros = Folder + "/zeros.img";
  std::ofstream(Zeros, std::ios::binary).write(std::string(1 << 20, '\0').data(), 1 << 20);
  ExpectRefused(AddDisk(Zeros), STATUS_UNRECOGNIZED_VOLUME);

  std::string Container = WriteImage(OneVolume("Disc"));
  // A GUID partition table without an APFS entry: the disc is probed from its start.
  ExpectRefused(AddCdRom(WriteGptDisc(Folder + "/other.iso", Container, {{BasicDataType, 2048, 8}}, 2048)),
                STATUS_UNRECOGNIZED_VOLUME);
  // An APFS entry that does not start on a sector of the disc.
  ExpectRefused(
      AddCdRom(WriteGptDisc(Folder + "/odd.iso", Container, {{ApfsType, 2049, ImageBlocks(Container)}}, 2049)),
      STATUS_UNRECOGNIZED_VOLUME);

  // An audio disc is refused before anything is read from it.
  PDEVICE_OBJECT Audio = AddCdRom(Container, false);
  ExpectRefused(Audio, STATUS_UNRECOGNIZED_VOLUME);
  for (const HkIoRecord& Record : HkIoLog(Audio)) EXPECT_NE(Record.MajorFunction, IRP_MJ_READ);

  // A CD-ROM whose first block cannot be read may hold a disc of another kind.
  PDEVICE_OBJECT Unreadable = AddCdRom(Container);
  HkFailRead(Unreadable, STATUS_DEVICE_DATA_ERROR);
  ExpectRefused(Unreadable, STATUS_UNRECOGNIZED_VOLUME);
}

TEST_F(Mounting, BrokenDevicesAndContainersFailTheMountLeavingNothing) {
  std::string Image = WriteImage(OneVolume("Broken"));

  // A disk whose first block cannot be read fails with the device's status.
  PDEVICE_OBJECT Unreadable = AddDisk(Image);
  HkFailRead(Unreadable, STATUS_DEVICE_DATA_ERROR);
  ExpectRefused(Unreadable, STATUS_DEVICE_DATA_ERROR);

  // A device without a sector size cannot be read at all.
  HkStorageOptions NoSectors;
  NoSectors.ZeroSectorGeometry = true;
  ExpectRefused(AddDisk(Image, NoSectors), STATUS_UNRECOGNIZED_VOLUME);

  // A partition too short for a container's first block is another file system's.
  PDEVICE_OBJECT Whole = AddDisk(Image);
  PDEVICE_OBJECT Short = HkCreatePartition(Whole, u"\\Device\\HarddiskVolume9", 0, 2048);
  ExpectRefused(Short, STATUS_UNRECOGNIZED_VOLUME);
  HkDeleteStorage(Short);

  // A container superblock that does not open: a damaged block size.
  std::string Corrupt = Folder + "/corrupt.img";
  std::filesystem::copy_file(Image, Corrupt);
  Patch(Corrupt, 36, {0x00, 0x30, 0x00, 0x00});
  ExpectRefused(AddDisk(Corrupt), STATUS_FILE_CORRUPT_ERROR);

  ContainerSpec Locked = OneVolume("Locked");
  Locked.volumes[0].encrypted = true;
  ExpectRefused(AddDisk(WriteImage(Locked, "locked.img")), STATUS_FILE_ENCRYPTED);
}

// The user requests on an open volume: lock, unlock, dismount, the small queries and
// invalidation, through the front end on a mounted image.
class VolumeControl : public ImageMount {
 protected:
  void SetUp() override {
    ImageMount::SetUp();
    ImagePath = WriteImage(OneVolume("Control"));
    Disk = AddDisk(ImagePath);
    HkSetCallerPrivileges({SE_MANAGE_VOLUME_PRIVILEGE});
  }
  void TearDown() override {
    HkSetCallerPrivileges({});
    ImageMount::TearDown();
  }

  HANDLE OpenVolume(PDEVICE_OBJECT Device = nullptr) {
    HANDLE Handle = nullptr;
    EXPECT_EQ(Open(Device != nullptr ? Device : Disk, u"", &Handle, FILE_READ_DATA | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT,
                   FILE_SHARE_READ | FILE_SHARE_WRITE), STATUS_SUCCESS);
    return Handle;
  }

  // A second disk whose volume holds the file \Docs\data of Size bytes.
  PDEVICE_OBJECT AddDiskWithDocsData(const std::string& ImageName, uint64_t Size) {
    ContainerSpec Spec = OneVolume("Files");
    apfsw::Entry File;
    File.name = "data";
    File.size = Size;
    Spec.volumes[0].root.children[0].children.push_back(File);
    return AddDisk(WriteImage(Spec, ImageName));
  }

  static NTSTATUS Control(HANDLE Handle, ULONG Code, PVOID Input = nullptr, ULONG InputLength = 0,
                          PVOID Output = nullptr, ULONG OutputLength = 0) {
    IO_STATUS_BLOCK Iosb{};
    return NtFsControlFile(Handle, nullptr, nullptr, nullptr, &Iosb, Code, Input, InputLength, Output, OutputLength);
  }

  std::string ImagePath;
  PDEVICE_OBJECT Disk = nullptr;
};

TEST_F(VolumeControl, LockIsHeldByOneHandleAndGivenBackOnlyByIt) {
  HANDLE First = OpenVolume();
  HANDLE Second = OpenVolume();
  // Another open handle keeps the lock from being granted.
  EXPECT_EQ(Control(First, FSCTL_LOCK_VOLUME), STATUS_ACCESS_DENIED);
  ASSERT_EQ(Close(Second), STATUS_SUCCESS);
  ASSERT_EQ(Control(First, FSCTL_LOCK_VOLUME), STATUS_SUCCESS);
  PVCB Vcb = VcbOf(Disk);
  EXPECT_TRUE(FlagOn(Vcb->State, VCB_LOCKED));
  EXPECT_TRUE(Disk->Vpb->Flags & VPB_LOCKED);
  HANDLE Third = nullptr;
  EXPECT_NE(Open(Disk, u"", &Third), STATUS_SUCCESS);

  HkSetCallerPrivileges({});
  HANDLE Plain = nullptr;
  EXPECT_EQ(Control(First, FSCTL_UNLOCK_VOLUME), STATUS_SUCCESS);
  ASSERT_EQ(Open(Disk, u"", &Plain), STATUS_SUCCESS);
  // A handle without the right to manage the volume may not lock, unlock or dismount it.
  EXPECT_EQ(Control(Plain, FSCTL_LOCK_VOLUME), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Control(Plain, FSCTL_UNLOCK_VOLUME), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Control(Plain, FSCTL_DISMOUNT_VOLUME), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Control(Plain, FSCTL_ALLOW_EXTENDED_DASD_IO), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Control(First, FSCTL_UNLOCK_VOLUME), STATUS_NOT_LOCKED);
  EXPECT_FALSE(FlagOn(Vcb->State, VCB_LOCKED));
}

// Without the privilege, a volume handle manages the volume when the disk's descriptor
// grants what the open asked for to the caller as a non-administrator: the Administrators
// alias counts only to deny. The token filtered for the check is gone afterwards.
TEST_F(VolumeControl, WithoutThePrivilegeTheDisksDescriptorDecidesAndAdministratorsOnlyDeny) {
  HkSetCallerPrivileges({});
  const ULONG Enabled = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
  PSID Administrators = SeExports->SeAliasAdminsSid;
  PSID Users = SeExports->SeAliasUsersSid;
  HkSetCallerGroups({{SeExports->SeWorldSid, Enabled}, {Administrators, Enabled}, {Users, Enabled}});
  const size_t Tokens = (HkCallerToken(), HkLiveTokens());
  const ACCESS_MASK Asked = FILE_READ_DATA | SYNCHRONIZE;  // what OpenVolume asks for
  auto CanLock = [&](ACCESS_MASK Access = FILE_READ_DATA | SYNCHRONIZE) {
    HANDLE Volume = nullptr;
    EXPECT_EQ(Open(Disk, u"", &Volume, Access), STATUS_SUCCESS);
    NTSTATUS Locked = Control(Volume, FSCTL_LOCK_VOLUME);
    if (Locked == STATUS_SUCCESS) {
      EXPECT_EQ(Control(Volume, FSCTL_UNLOCK_VOLUME), STATUS_SUCCESS);
    }
    EXPECT_EQ(Close(Volume), STATUS_SUCCESS);
    EXPECT_TRUE(Locked == STATUS_SUCCESS || Locked == STATUS_INVALID_PARAMETER) << std::hex << Locked;
    return Locked == STATUS_SUCCESS;
  };

  EXPECT_FALSE(CanLock()) << "the disk's default descriptor allows System and Administrators only";
  HkSetDeviceSecurity(Disk, {{true, SeExports->SeLocalSystemSid, GENERIC_ALL}, {true, Administrators, GENERIC_ALL}});
  EXPECT_FALSE(CanLock()) << "the Administrators alias does not grant";
  HkSetDeviceSecurity(Disk, {{true, Administrators, GENERIC_ALL}, {true, Users, Asked}});
  EXPECT_TRUE(CanLock());
  EXPECT_FALSE(CanLock(Asked | FILE_READ_ATTRIBUTES)) << "every right asked for must be granted";
  HkSetDeviceSecurity(Disk, {{false, Users, FILE_READ_DATA}, {true, Users, Asked}});
  EXPECT_FALSE(CanLock()) << "a deny entry ahead of the allow";
  HkSetDeviceSecurity(Disk, {{true, Users, Asked}, {false, Users, FILE_READ_DATA}});
  EXPECT_TRUE(CanLock()) << "a deny entry after the allow comes too late";
  HkSetDeviceSecurity(Disk, {{false, Administrators, FILE_READ_DATA}, {true, Users, Asked}});
  EXPECT_FALSE(CanLock()) << "the deny-only alias still meets deny entries";

  // The privilege decides before the descriptor does.
  HkSetCallerPrivileges({SE_MANAGE_VOLUME_PRIVILEGE});
  EXPECT_TRUE(CanLock());
  EXPECT_EQ(HkLiveTokens(), Tokens) << "the filtered tokens were released";
}

TEST_F(VolumeControl, SmallQueriesAndDirtyMarksStayInMemory) {
  HANDLE Volume = OpenVolume();
  EXPECT_EQ(Control(Volume, FSCTL_IS_VOLUME_MOUNTED), STATUS_SUCCESS);
  EXPECT_EQ(Control(Volume, FSCTL_IS_PATHNAME_VALID, (PVOID)"\\any\\thing", 10), STATUS_SUCCESS);
  EXPECT_EQ(Control(Volume, 0x90FFC), STATUS_INVALID_DEVICE_REQUEST);

  ULONG Dirty = 0xFFFF;
  UCHAR Small[3];
  EXPECT_EQ(Control(Volume, FSCTL_IS_VOLUME_DIRTY, nullptr, 0, Small, sizeof(Small)), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(Control(Volume, FSCTL_IS_VOLUME_DIRTY, nullptr, 0, &Dirty, sizeof(Dirty)), STATUS_SUCCESS);
  EXPECT_EQ(Dirty, 0u);
  std::ifstream Before(ImagePath, std::ios::binary);
  std::string Original((std::istreambuf_iterator<char>(Before)), std::istreambuf_iterator<char>());
  ASSERT_EQ(Control(Volume, FSCTL_MARK_VOLUME_DIRTY), STATUS_SUCCESS);
  ASSERT_EQ(Control(Volume, FSCTL_IS_VOLUME_DIRTY, nullptr, 0, &Dirty, sizeof(Dirty)), STATUS_SUCCESS);
  EXPECT_EQ(Dirty, 1u);
  std::ifstream After(ImagePath, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(After)), std::istreambuf_iterator<char>()), Original);

  ASSERT_EQ(Control(Volume, FSCTL_ALLOW_EXTENDED_DASD_IO), STATUS_SUCCESS);
  EXPECT_TRUE(FlagOn(((PCCB)HkFileObjectOf(Volume)->FsContext2)->Flags, CCB_ALLOW_EXTENDED_DASD));
}

// The records of closed files the delayed-close list keeps for a quick re-open are
// deleted by the volume lock's purge, and the lock is granted at once.
TEST_F(VolumeControl, LockPurgesTheFcbsOfClosedFilesAndIsGrantedAtOnce) {
  PDEVICE_OBJECT Files = AddDiskWithDocsData("files.img", 100);
  HANDLE Data = nullptr;
  ASSERT_EQ(Open(Files, u"\\Docs\\data", &Data), STATUS_SUCCESS);
  ASSERT_EQ(Close(Data), STATUS_SUCCESS);
  PVCB Vcb = VcbOf(Files);
  PFCB Docs = NextFcb(nullptr, Vcb->RootFcb, Vcb->RootFcb);
  ASSERT_NE(Docs, nullptr) << "the closed file's records are kept";
  EXPECT_NE(NextFcb(nullptr, Docs, Vcb->RootFcb), nullptr) << "the file's own record too";

  HANDLE Volume = nullptr;
  ASSERT_EQ(Open(Files, u"", &Volume), STATUS_SUCCESS);
  EXPECT_EQ(Control(Volume, FSCTL_LOCK_VOLUME), STATUS_SUCCESS);
  EXPECT_EQ(NextFcb(nullptr, Vcb->RootFcb, Vcb->RootFcb), nullptr) << "only the root is left";
  EXPECT_EQ(Control(Volume, FSCTL_UNLOCK_VOLUME), STATUS_SUCCESS);
  HANDLE Again = nullptr;
  EXPECT_EQ(Open(Files, u"\\Docs\\data", &Again), STATUS_SUCCESS) << "the file opens again after the purge";
  EXPECT_EQ(Close(Again), STATUS_SUCCESS);
  EXPECT_EQ(Close(Volume), STATUS_SUCCESS);
}

// A file read through the cache and closed just before the lock leaves the cache's work
// on it in flight: here a read-ahead, and after it the teardown of the stream's cache with
// the file's last reference. The lock waits that work out and is granted.
TEST_F(VolumeControl, LockWaitsOutTheCachesWorkOnAFileClosedJustBefore) {
  PDEVICE_OBJECT Files = AddDiskWithDocsData("cached.img", 300000);
  HANDLE Data = nullptr;
  ASSERT_EQ(Open(Files, u"\\Docs\\data", &Data, FILE_READ_DATA | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT),
            STATUS_SUCCESS);
  HkWorkQueueStepMode(true);
  std::vector<UCHAR> Buffer(CC_VIEW_SIZE);
  IO_STATUS_BLOCK Iosb{};
  // A read up to the end of the first view and one going on from there: the second sets
  // off read-ahead of the next view, which the queue holds.
  for (LONGLONG At : {LONGLONG(0), LONGLONG(CC_VIEW_SIZE - 4096)}) {
    LARGE_INTEGER Offset{};
    Offset.QuadPart = At;
    ASSERT_EQ(NtReadFile(Data, nullptr, nullptr, nullptr, &Iosb, Buffer.data(), At == 0 ? CC_VIEW_SIZE - 4096 : 4096,
                         &Offset, nullptr), STATUS_SUCCESS);
  }
  ASSERT_EQ(HkWorkQueueHeldItems(), 1u) << "the read-ahead";
  ASSERT_EQ(Close(Data), STATUS_SUCCESS);
  HANDLE Volume = OpenVolume(Files);
  auto Lock = std::async(std::launch::async, [&] { return Control(Volume, FSCTL_LOCK_VOLUME); });
  // While the queue holds the read-ahead the lock cannot be decided.
  EXPECT_EQ(Lock.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  HkWorkQueueStepMode(false);
  EXPECT_EQ(Lock.get(), STATUS_SUCCESS);
  EXPECT_EQ(Control(Volume, FSCTL_UNLOCK_VOLUME), STATUS_SUCCESS);
  EXPECT_EQ(Close(Volume), STATUS_SUCCESS);
}

TEST_F(VolumeControl, DismountWithHandlesOpenThenRemount) {
  HANDLE Volume = OpenVolume();
  HANDLE Folder = nullptr;
  ASSERT_EQ(Open(Disk, u"\\Docs", &Folder, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                 FILE_SYNCHRONOUS_IO_NONALERT | FILE_DIRECTORY_FILE), STATUS_SUCCESS);
  PVCB Old = VcbOf(Disk);
  ASSERT_EQ(Control(Volume, FSCTL_DISMOUNT_VOLUME), STATUS_SUCCESS);
  EXPECT_TRUE(FlagOn(Old->State, VCB_DISMOUNTED));
  EXPECT_EQ(Old->Condition, VcbBad);
  EXPECT_EQ(Control(Volume, FSCTL_DISMOUNT_VOLUME), STATUS_VOLUME_DISMOUNTED);
  EXPECT_EQ(Control(Folder, FSCTL_IS_VOLUME_MOUNTED), STATUS_VOLUME_DISMOUNTED);

  HANDLE Refused = nullptr;
  EXPECT_EQ(Open(Disk, u"\\Docs", &Refused), STATUS_VOLUME_DISMOUNTED);

  // The old volume goes with its last handle; then the medium mounts again.
  ASSERT_EQ(Close(Folder), STATUS_SUCCESS);
  ASSERT_EQ(Close(Volume), STATUS_SUCCESS);
  HkWaitForWorkQueueIdle();
  EXPECT_FALSE(Disk->Vpb->Flags & VPB_MOUNTED);
  HANDLE Again = nullptr;
  ASSERT_EQ(Open(Disk, u"\\Docs", &Again, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                 FILE_SYNCHRONOUS_IO_NONALERT | FILE_DIRECTORY_FILE), STATUS_SUCCESS);
  ASSERT_NE(VcbOf(Disk), nullptr);
  EXPECT_EQ(VcbOf(Disk)->Condition, VcbGood);
  EXPECT_FALSE(FlagOn(VcbOf(Disk)->State, VCB_DISMOUNTED));
  EXPECT_EQ(Control(Again, FSCTL_IS_VOLUME_MOUNTED), STATUS_SUCCESS);
}

TEST_F(VolumeControl, InvalidateVolumesNeedsTheTcbPrivilege) {
  HANDLE Volume = OpenVolume();
  HANDLE Control_ = nullptr;
  UNICODE_STRING Name{2 * 12, 2 * 12, (PWSTR)u"\\qdrl"};
  std::u16string ControlName = u"\\qdrl";
  Name = UNICODE_STRING{(USHORT)(ControlName.size() * 2), (USHORT)(ControlName.size() * 2), (PWSTR)ControlName.data()};
  OBJECT_ATTRIBUTES Attributes = HkObjectAttributes(&Name);
  IO_STATUS_BLOCK Iosb{};
  ASSERT_EQ(NtCreateFile(&Control_, SYNCHRONIZE, &Attributes, &Iosb, nullptr, 0, 0, FILE_OPEN,
                         FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0), STATUS_SUCCESS);
  HANDLE Target = Volume;
  EXPECT_EQ(Control(Control_, FSCTL_INVALIDATE_VOLUMES, &Target, sizeof(Target)), STATUS_PRIVILEGE_NOT_HELD);
  EXPECT_EQ(VcbOf(Disk)->Condition, VcbGood);

  HkSetCallerPrivileges({SE_TCB_PRIVILEGE});
  EXPECT_EQ(Control(Control_, FSCTL_INVALIDATE_VOLUMES, &Target, 4), STATUS_INVALID_PARAMETER);
  PVCB Old = VcbOf(Disk);
  ASSERT_EQ(Control(Control_, FSCTL_INVALIDATE_VOLUMES, &Target, sizeof(Target)), STATUS_SUCCESS);
  EXPECT_EQ(Old->Condition, VcbBad);
  // The device is free for a new mount while the old volume waits for its handle.
  EXPECT_FALSE(Disk->Vpb->Flags & VPB_MOUNTED);
  EXPECT_EQ(Control(Volume, FSCTL_IS_VOLUME_MOUNTED), STATUS_FILE_INVALID);
  ASSERT_EQ(Close(Volume), STATUS_SUCCESS);
  ASSERT_EQ(NtClose(Control_), STATUS_SUCCESS);
}

TEST_F(Mounting, RealImagesMountWithTheirContainerSerialNumber) {
  std::string Image = std::string(QUADREL_TESTDATA_DIR) + "/dfvfs-2020-07.img";
  if (!std::filesystem::exists(Image)) GTEST_SKIP() << "no real images in " << QUADREL_TESTDATA_DIR;
  std::vector<uint8_t> Uuid(16);
  std::ifstream(Image, std::ios::binary).seekg(72).read((char*)Uuid.data(), 16);
  PDEVICE_OBJECT Disk = AddDisk(Image);
  ASSERT_EQ(Mount(Disk), STATUS_SUCCESS);
  EXPECT_EQ(Disk->Vpb->SerialNumber, Fnv1(Uuid));
  EXPECT_GT(Disk->Vpb->VolumeLabelLength, 0);
  EXPECT_GT(VcbOf(Disk)->FreeBlocks, 0u);
}

}  // namespace
