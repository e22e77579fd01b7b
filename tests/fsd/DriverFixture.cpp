#include "DriverFixture.h"

#include <algorithm>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

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

// A volume device on Disk with the volume record mount would set up for posting and
// pass-through; the caller adds what its tests read through.
PVCB CreateVolumeDevice(PDEVICE_OBJECT Disk, PDEVICE_OBJECT* VolumeDevice) {
  HkRunInSystemThread([&] {
    ASSERT_EQ(IoCreateDevice(GlobalData.DriverObject, sizeof(VCB), nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0,
                             FALSE, VolumeDevice),
              STATUS_SUCCESS);
  });
  PVCB Vcb = (PVCB)(*VolumeDevice)->DeviceExtension;
  RtlZeroMemory(Vcb, sizeof(VCB));
  Vcb->Header.NodeTypeCode = NODE_TYPE_VCB;
  Vcb->Header.NodeByteSize = sizeof(VCB);
  Vcb->VolumeDevice = *VolumeDevice;
  Vcb->TargetDevice = Disk;
  Vcb->Vpb = Disk->Vpb;
  Vcb->RealDevice = Disk;
  Vcb->Condition = VcbGood;
  ExInitializeResourceLite(&Vcb->Resource);
  InitializeListHead(&Vcb->OverflowQueue);
  KeInitializeSpinLock(&Vcb->OverflowSpinLock);
  (*VolumeDevice)->StackSize = (CCHAR)(Disk->StackSize + 1);
  (*VolumeDevice)->Flags &= ~DO_DEVICE_INITIALIZING;
  return Vcb;
}

}  // namespace

void LoadedDriver::SetUp() {
  PDRIVER_OBJECT Driver = nullptr;
  ASSERT_EQ(HkLoadDriver(DriverEntry, u"\\FileSystem\\qdrl", &Driver), STATUS_SUCCESS);
  Baseline_ = PoolByTag();
  WritesBefore_ = HkWritesSeen();
}

void LoadedDriver::TearDown() {
  HkWaitForWorkQueueIdle();
  EXPECT_EQ(PoolByTag(), Baseline_) << HkPoolLeakReport();
  EXPECT_EQ(HkLiveFileObjects(), 0u);
  // The volumes are read-only all the way down: whatever a test did, the devices under
  // them were never asked to write.
  EXPECT_EQ(HkWritesSeen(), WritesBefore_) << "a write request reached a disk or CD-ROM device";
  // A shutdown deletes the control devices.
  if (GlobalData.ShutdownStarted) return;
  EXPECT_EQ(HkObjectReferenceCount(GlobalData.DiskFsDevice), 2);
  EXPECT_EQ(HkObjectReferenceCount(GlobalData.CdRomFsDevice), 2);
}

IO_STATUS_BLOCK LoadedDriver::SendCreate(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, ULONG Disposition,
                                         ACCESS_MASK Access, ULONG ShareAccess, UCHAR Flags) {
  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK Iosb{};
  PIRP Irp = IoBuildSynchronousFsdRequest(IRP_MJ_CREATE, Device, nullptr, 0, nullptr, &Done, &Iosb);
  IO_SECURITY_CONTEXT Security{nullptr, nullptr, Access, 0};
  PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
  Stack->Flags = Flags;
  Stack->FileObject = FileObject;
  Stack->Parameters.Create.SecurityContext = &Security;
  Stack->Parameters.Create.Options = Disposition << 24;
  Stack->Parameters.Create.ShareAccess = (USHORT)ShareAccess;
  if (IoCallDriver(Device, Irp) == STATUS_PENDING) KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
  return Iosb;
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
  Vcb = CreateVolumeDevice(Disk, &VolumeDevice);
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

void WrittenVolume::Open(const apfsw::ContainerSpec& Spec, uint64_t WindowShortBy) {
  const char* Temp = std::getenv("TMPDIR");
  Folder_ = std::string(Temp ? Temp : "/tmp") + "/qdrl-volume-" + std::to_string(::getpid());
  std::filesystem::create_directories(Folder_);
  ImagePath_ = Folder_ + "/container.img";
  Layout = apfsw::WriteImage(Spec, ImagePath_);
  ASSERT_TRUE(Mount(WindowShortBy));
}

bool WrittenVolume::OpenImage(const std::string& Path) {
  const char* Temp = std::getenv("TMPDIR");
  Folder_ = std::string(Temp ? Temp : "/tmp") + "/qdrl-volume-" + std::to_string(::getpid());
  std::filesystem::create_directories(Folder_);
  ImagePath_ = Path;
  return Mount(0);
}

std::vector<FileInfo> WrittenVolume::List(FsNode* Directory) {
  std::vector<FileInfo> Entries;
  DirSearch* Search = nullptr;
  if (!DirSearchCreate(Directory, &Search, &FsTree_)) return Entries;
  BTreeCursor* Cursor = nullptr;
  FileInfo Info;
  bool End = false;
  while (DirEnumNext(Directory, Search, &Info, nullptr, &End, &Cursor, &FsTree_)) Entries.push_back(Info);
  if (Cursor != nullptr) {
    BTreeCursorClose(Cursor);
    delete Cursor;
  }
  DirSearchFree(Search);
  return Entries;
}

bool WrittenVolume::Mount(uint64_t WindowShortBy) {
  uint64_t ImageLength = std::filesystem::file_size(ImagePath_);
  std::string DiskPath = Folder_ + "/disk.img";
  {
    std::ofstream DiskFile(DiskPath, std::ios::binary);
    DiskFile.seekp((std::streamoff)PartitionOffset);
    DiskFile << std::ifstream(ImagePath_, std::ios::binary).rdbuf();
  }
  Disk = HkCreateDisk(DiskPath, u"\\Device\\Harddisk0\\DR0");
  std::filesystem::remove(DiskPath);

  Vcb = CreateVolumeDevice(Disk, &VolumeDevice);
  Vcb->SectorSize = Disk->SectorSize;
  InitializePartition(&Partition_, Vcb, PartitionOffset, ImageLength - WindowShortBy);
  Vcb->Partition = &Partition_;

  uint8_t First[4096];
  ContainerInit(&Container_);
  BTreeInit(&OmapTree_, &Container_);
  BTreeInit(&FsTree_, &Container_);
  VolumeHandleInit(&Volume_, &Container_);
  if (ReadPartition(&Partition_, 0, First, sizeof(First)) != STATUS_SUCCESS ||
      !ContainerOpen(&Container_, First, &Partition_.Engine) ||
      !VolumeHandleOpen(&Volume_, (int32_t)ContainerDefaultVolume(&Container_), nullptr, &OmapTree_, &FsTree_))
    return false;
  Vcb->Container = &Container_;
  Vcb->Volume = &Volume_;
  Vcb->OmapTree = &OmapTree_;
  Vcb->FsTree = &FsTree_;

  IrpContext.NodeTypeCode = NODE_TYPE_IRP_CONTEXT;
  IrpContext.NodeByteSize = sizeof(IRP_CONTEXT);
  IrpContext.Flags = IRPCTX_WAIT;
  IrpContext.Vcb = Vcb;
  return true;
}

FsNode* WrittenVolume::Lookup(const std::string& Path, FileInfo* Info) {
  FsNode* Current = Volume_.root;
  Current->useCount++;
  std::stringstream Parts(Path);
  std::string Name;
  while (Current != nullptr && std::getline(Parts, Name, '/')) {
    FsNode* Next = nullptr;
    bool NotFound = false;
    if (!FsLookup(Current, (const uint8_t*)Name.data(), (uint32_t)Name.size(), &Next, Info, &FsTree_, &NotFound))
      Next = nullptr;
    FsNodeRelease(Current);
    Current = Next;
  }
  return Current;
}

std::vector<uint8_t> WrittenVolume::ImageBytes(uint64_t Offset, size_t Count) {
  std::vector<uint8_t> Bytes(Count);
  std::ifstream Image(ImagePath_, std::ios::binary);
  Image.seekg((std::streamoff)Offset);
  Image.read((char*)Bytes.data(), (std::streamsize)Count);
  return Bytes;
}

void WrittenVolume::TearDown() {
  if (Vcb != nullptr) {
    VolumeHandleRelease(&Volume_);
    BTreeRelease(&FsTree_);
    BTreeRelease(&OmapTree_);
    ContainerClose(&Container_);
    ExDeleteResourceLite(&Vcb->Resource);
    IoDeleteDevice(VolumeDevice);
  }
  if (Disk != nullptr) HkDeleteStorage(Disk);
  std::filesystem::remove_all(Folder_);
  LoadedDriver::TearDown();
}

void ImageMount::SetUp() {
  LoadedDriver::SetUp();
  const char* Temp = std::getenv("TMPDIR");
  Folder = std::string(Temp ? Temp : "/tmp") + "/qdrl-mount-" + std::to_string(::getpid());
  std::filesystem::create_directories(Folder);
}

std::string ImageMount::WriteImage(const apfsw::ContainerSpec& Spec, const std::string& Name) {
  std::string Path = Folder + "/" + Name;
  apfsw::WriteImage(Spec, Path);
  return Path;
}

namespace {

std::u16string DeviceName(const char16_t* Prefix, size_t Index) {
  std::u16string Name(Prefix);
  for (char Digit : std::to_string(Index)) Name += (char16_t)Digit;
  return Name;
}

std::u16string NameOf(PDEVICE_OBJECT Device) {
  for (const char16_t* Prefix : {u"\\Device\\Harddisk", u"\\Device\\CdRom"})
    for (size_t Index = 0; Index < 16; ++Index) {
      std::u16string Name = DeviceName(Prefix, Index);
      if (HkFindDevice(Name.c_str()) == Device) return Name;
    }
  return u"";
}

}  // namespace

PDEVICE_OBJECT ImageMount::AddDisk(const std::string& Path, const HkStorageOptions& Options) {
  PDEVICE_OBJECT Device = HkCreateDisk(Path, DeviceName(u"\\Device\\Harddisk", Devices_.size()).c_str(), Options);
  Devices_.push_back(Device);
  return Device;
}

PDEVICE_OBJECT ImageMount::AddCdRom(const std::string& Path, bool DataTrack) {
  PDEVICE_OBJECT Device = HkCreateCdRom(Path, DeviceName(u"\\Device\\CdRom", Devices_.size()).c_str(), DataTrack);
  Devices_.push_back(Device);
  return Device;
}

NTSTATUS ImageMount::Open(PDEVICE_OBJECT Device, const std::u16string& Path, HANDLE* Handle, ACCESS_MASK Access,
                          ULONG Options, ULONG Share) {
  std::u16string Full = NameOf(Device) + Path;
  UNICODE_STRING Name{(USHORT)(Full.size() * 2), (USHORT)(Full.size() * 2), (PWSTR)Full.data()};
  OBJECT_ATTRIBUTES Attributes = HkObjectAttributes(&Name);
  IO_STATUS_BLOCK Iosb{};
  *Handle = nullptr;
  NTSTATUS Status = NtCreateFile(Handle, Access, &Attributes, &Iosb, nullptr, 0, Share, FILE_OPEN, Options, nullptr, 0);
  if (NT_SUCCESS(Status)) Handles_.push_back(*Handle);
  return Status;
}

NTSTATUS ImageMount::Close(HANDLE Handle) {
  std::erase(Handles_, Handle);
  return NtClose(Handle);
}

NTSTATUS ImageMount::Mount(PDEVICE_OBJECT Device) { return HkMount(Device); }

PVCB ImageMount::VcbOf(PDEVICE_OBJECT Device) {
  PVPB Vpb = Device->Vpb;
  if (Vpb == nullptr || !(Vpb->Flags & VPB_MOUNTED) || Vpb->DeviceObject == nullptr) return nullptr;
  return (PVCB)Vpb->DeviceObject->DeviceExtension;
}

bool ImageMount::DismountIdle(PDEVICE_OBJECT Device) {
  bool NoneLeft = true;
  HkRunInSystemThread([&] {
    IRP_CONTEXT Context{};
    Context.NodeTypeCode = NODE_TYPE_IRP_CONTEXT;
    Context.NodeByteSize = sizeof(IRP_CONTEXT);
    Context.Flags = IRPCTX_WAIT;
    FsRtlEnterFileSystem();
    ExAcquireResourceExclusiveLite(&GlobalData.Resource, TRUE);
    PLIST_ENTRY Link = GlobalData.VcbList.Flink;
    while (Link != &GlobalData.VcbList) {
      PVCB Vcb = CONTAINING_RECORD(Link, VCB, VcbLinks);
      Link = Link->Flink;
      if (Vcb->RealDevice != Device) continue;
      ExAcquireResourceExclusiveLite(&Vcb->Resource, TRUE);
      // The volume goes as a dismounted one does once its handles are closed.
      Vcb->Condition = VcbBad;
      if (!TryDismountVcb(&Context, Vcb, TRUE)) {
        ExReleaseResourceLite(&Vcb->Resource);
        NoneLeft = false;
      }
    }
    ExReleaseResourceLite(&GlobalData.Resource);
    FsRtlExitFileSystem();
  });
  return NoneLeft;
}

void ImageMount::TearDown() {
  for (HANDLE Handle : std::vector<HANDLE>(Handles_)) Close(Handle);
  HkWaitForWorkQueueIdle();
  for (PDEVICE_OBJECT Device : Devices_) {
    EXPECT_TRUE(DismountIdle(Device)) << "a volume is still held";
    HkDeleteStorage(Device);
  }
  std::filesystem::remove_all(Folder);
  LoadedDriver::TearDown();
}

namespace {
constexpr uint32_t CompressedFlag = 0x20;  // BSD flag of files stored compressed
constexpr uint16_t TypeMask = 0xF000, RegularFile = 0x8000, DirectoryType = 0x4000;
}  // namespace

void WrittenVolume::CollectPlainFiles(FsNode* Directory, const std::string& Prefix, std::vector<std::string>* Files,
                                      int Depth) {
  for (const FileInfo& Entry : List(Directory)) {
    std::string Path = Prefix + std::string((const char*)Entry.name, Entry.nameLength);
    if ((Entry.mode & TypeMask) == DirectoryType && Depth < 4) {
      FileInfo Info{};
      if (FsNode* Child = Lookup(Path, &Info)) {
        CollectPlainFiles(Child, Path + "/", Files, Depth + 1);
        FsNodeRelease(Child);
      }
    } else if ((Entry.mode & TypeMask) == RegularFile && !(Entry.bsdFlags & CompressedFlag) &&
               Entry.fileSize <= (8u << 20)) {
      Files->push_back(Path);
    }
  }
}

std::vector<uint8_t> WrittenVolume::EngineBytes(FsNode* Node, uint64_t Size) {
  std::vector<uint8_t> Bytes(Size, 0);
  for (uint64_t Offset = 0; Offset < Size;) {
    uint64_t Disk = 0, Length = 0;
    if (!FileDataRun(Node->inode, Offset, &Disk, &Length, Vcb->FsTree) || Length == 0) return {};
    Length = std::min(Length, Size - Offset);
    if (Disk != 0 && ReadPartition(Vcb->Partition, Disk, Bytes.data() + Offset, Length) != STATUS_SUCCESS) return {};
    Offset += Length;
  }
  return Bytes;
}
