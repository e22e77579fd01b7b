// Storage devices over image files: disks, partitions (an offset window of a disk) and
// CD-ROM drives. They serve sector-aligned reads inside the device and the device
// controls file systems send, never write (and count every write that reaches them), and
// let tests swap media, inject read and plug-and-play failures, hold requests at a gate
// and read the log of what the device saw.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "HostInternal.h"

namespace {

enum class StorageKind { Disk, Partition, CdRom };

// The medium in a device: an open image and the bytes the device shows of it. A request
// keeps the medium it started on even if the medium is swapped meanwhile.
struct Medium {
  Medium(int OpenFd, uint64_t Bytes) : Fd(OpenFd), Length(Bytes) {}
  ~Medium() { ::close(Fd); }
  Medium(const Medium&) = delete;
  Medium& operator=(const Medium&) = delete;
  const int Fd;
  const uint64_t Length;
};
using MediumRef = std::shared_ptr<const Medium>;

struct StorageState {
  StorageKind Kind;
  MediumRef Current;  // null: no medium
  uint64_t Offset = 0;
  ULONG SectorSize = 512;
  ULONG MediaChangeCount = 1;
  bool DataTrack = true;
  bool ZeroSectorGeometry = false;
  // The gate lets requests through in arrival order: each takes a ticket, and while the
  // gate is closed only tickets below PassLimit go on.
  bool GateClosed = false;
  size_t AtGate = 0;
  uint64_t NextTicket = 0;
  uint64_t PassLimit = 0;
  NTSTATUS ReadFault = STATUS_SUCCESS;
  unsigned ReadFaultCountdown = 0;
  // Plug-and-play requests of this minor function fail with PnpFault (none while it is
  // STATUS_SUCCESS).
  UCHAR PnpFaultMinor = 0;
  NTSTATUS PnpFault = STATUS_SUCCESS;
  std::vector<HkIoRecord> Log;
};

// Write requests that reached any storage device, refused or not.
std::atomic<uint64_t> WritesSeen{0};

std::map<PDEVICE_OBJECT, std::unique_ptr<StorageState>>& Devices() {
  static auto& Map = *new std::map<PDEVICE_OBJECT, std::unique_ptr<StorageState>>;
  return Map;
}

StorageState& StateOf(PDEVICE_OBJECT Device) {
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  auto Found = Devices().find(Device);
  if (Found == Devices().end()) hk::Violation("device %p is not a storage device", (void*)Device);
  return *Found->second;
}

int OpenImage(const std::string& Path) {
  int Fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) hk::Violation("cannot open image %s", Path.c_str());
  return Fd;
}

uint64_t ImageLength(int Fd) {
  struct stat Info {};
  ::fstat(Fd, &Info);
  return (uint64_t)Info.st_size;
}

// The image at Path as a medium of whole sectors.
MediumRef OpenMedium(const std::string& Path, ULONG SectorSize) {
  int Fd = OpenImage(Path);
  return std::make_shared<const Medium>(Fd, ImageLength(Fd) / SectorSize * SectorSize);
}

MediumRef MediumOf(StorageState& State) {
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  return State.Current;
}

void WaitAtGate(StorageState& State) {
  std::unique_lock<std::mutex> Lock(hk::DispatcherLock());
  uint64_t Ticket = State.NextTicket++;
  if (!State.GateClosed) State.PassLimit = State.NextTicket;
  State.AtGate++;
  hk::WakeWaiters();
  hk::WaitUntil(Lock, [&State, Ticket] { return !State.GateClosed || Ticket < State.PassLimit; },
                "a storage device's gate");
  State.AtGate--;
}

// Completes at DISPATCH_LEVEL, as a disk's completion does, so that completion routines
// meet the IRQL they will meet on Windows.
NTSTATUS Complete(PIRP Irp, StorageState& State, const HkIoRecord& Record) {
  {
    std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
    State.Log.push_back(Record);
  }
  NTSTATUS Status = Record.Status;
  Irp->IoStatus.Status = Status;
  KIRQL Old;
  KeRaiseIrql(DISPATCH_LEVEL, &Old);
  IofCompleteRequest(Irp, IO_DISK_INCREMENT);
  KeLowerIrql(Old);
  return Status;
}

bool TakeReadFault(StorageState& State, NTSTATUS* Status) {
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  if (State.ReadFaultCountdown == 0 || --State.ReadFaultCountdown != 0) return false;
  *Status = State.ReadFault;
  return true;
}

NTSTATUS MediumStatus(PDEVICE_OBJECT Device, PIO_STACK_LOCATION Stack, const MediumRef& Current) {
  if (!Current) return STATUS_NO_MEDIA_IN_DEVICE;
  if ((Device->Flags & DO_VERIFY_VOLUME) && !(Stack->Flags & SL_OVERRIDE_VERIFY_VOLUME))
    return STATUS_VERIFY_REQUIRED;
  return STATUS_SUCCESS;
}

NTSTATUS Read(PDEVICE_OBJECT Device, PIRP Irp, StorageState& State) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  uint64_t Offset = (uint64_t)Stack->Parameters.Read.ByteOffset.QuadPart;
  ULONG Length = Stack->Parameters.Read.Length;
  HkIoRecord Record{IRP_MJ_READ, 0, Offset, Length, STATUS_SUCCESS, PsGetCurrentThread()};
  Irp->IoStatus.Information = 0;
  MediumRef Current = MediumOf(State);
  Record.Status = MediumStatus(Device, Stack, Current);
  if (Record.Status == STATUS_SUCCESS &&
      (Offset % State.SectorSize || Length % State.SectorSize || Offset > Current->Length ||
       Length > Current->Length - Offset || !Irp->MdlAddress))
    Record.Status = STATUS_INVALID_PARAMETER;
  if (Record.Status == STATUS_SUCCESS && !TakeReadFault(State, &Record.Status)) {
    auto* Buffer = (PUCHAR)MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority);
    ssize_t Got = ::pread(Current->Fd, Buffer, Length, (off_t)(State.Offset + Offset));
    if (Got != (ssize_t)Length) Record.Status = STATUS_DEVICE_DATA_ERROR;
    else Irp->IoStatus.Information = Length;
  }
  return Complete(Irp, State, Record);
}

template <typename Output>
NTSTATUS Answer(PIRP Irp, const Output& Value) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (Stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(Output)) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(Irp->AssociatedIrp.SystemBuffer, &Value, sizeof(Output));
  Irp->IoStatus.Information = sizeof(Output);
  return STATUS_SUCCESS;
}

NTSTATUS ReadToc(PIRP Irp, StorageState& State) {
  CDROM_TOC Toc{};
  Toc.FirstTrack = Toc.LastTrack = 1;
  Toc.TrackData[0].TrackNumber = 1;
  Toc.TrackData[0].Control = State.DataTrack ? 4 : 0;
  Toc.TrackData[1].TrackNumber = 0xAA;  // lead-out
  const ULONG Returned = 4 + 2 * sizeof(TRACK_DATA);
  Toc.Length[0] = (UCHAR)((Returned - 2) >> 8);
  Toc.Length[1] = (UCHAR)(Returned - 2);
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (Stack->Parameters.DeviceIoControl.OutputBufferLength < Returned) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(Irp->AssociatedIrp.SystemBuffer, &Toc, Returned);
  Irp->IoStatus.Information = Returned;
  return STATUS_SUCCESS;
}

NTSTATUS DeviceControl(PDEVICE_OBJECT Device, PIRP Irp, StorageState& State) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG Code = Stack->Parameters.DeviceIoControl.IoControlCode;
  HkIoRecord Record{IRP_MJ_DEVICE_CONTROL, Code, 0, 0, STATUS_SUCCESS, PsGetCurrentThread()};
  Irp->IoStatus.Information = 0;
  bool CdRom = State.Kind == StorageKind::CdRom;
  MediumRef Current = MediumOf(State);
  switch (Code) {
    case IOCTL_DISK_CHECK_VERIFY:
    case IOCTL_STORAGE_CHECK_VERIFY:
    case IOCTL_CDROM_CHECK_VERIFY:
      Record.Status = MediumStatus(Device, Stack, Current);
      if (Record.Status == STATUS_SUCCESS && Stack->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(ULONG))
        Record.Status = Answer(Irp, State.MediaChangeCount);
      break;
    case IOCTL_DISK_GET_PARTITION_INFO_EX: {
      PARTITION_INFORMATION_EX Info{};
      Info.PartitionStyle = PARTITION_STYLE_MBR;
      Info.StartingOffset.QuadPart = (LONGLONG)State.Offset;
      Info.PartitionLength.QuadPart = Current ? (LONGLONG)Current->Length : 0;
      Info.PartitionNumber = State.Kind == StorageKind::Partition ? 1 : 0;
      Record.Status = !Current ? STATUS_NO_MEDIA_IN_DEVICE : Answer(Irp, Info);
      break;
    }
    case IOCTL_DISK_GET_DRIVE_GEOMETRY: {
      DISK_GEOMETRY Geometry{};
      Geometry.MediaType = (CdRom || (Device->Characteristics & FILE_REMOVABLE_MEDIA)) ? RemovableMedia : FixedMedia;
      Geometry.TracksPerCylinder = 1;
      Geometry.SectorsPerTrack = 1;
      Geometry.BytesPerSector = State.ZeroSectorGeometry ? 0 : State.SectorSize;
      Geometry.Cylinders.QuadPart = Current ? (LONGLONG)(Current->Length / State.SectorSize) : 0;
      Record.Status = !Current ? STATUS_NO_MEDIA_IN_DEVICE : Answer(Irp, Geometry);
      break;
    }
    case IOCTL_CDROM_READ_TOC:
      Record.Status = !CdRom ? STATUS_INVALID_DEVICE_REQUEST
                             : !Current ? STATUS_NO_MEDIA_IN_DEVICE : ReadToc(Irp, State);
      break;
    case IOCTL_STORAGE_GET_HOTPLUG_INFO: {
      STORAGE_HOTPLUG_INFO Info{sizeof(STORAGE_HOTPLUG_INFO), 0, 0, 0, 0};
      Info.MediaRemovable = (Device->Characteristics & FILE_REMOVABLE_MEDIA) ? TRUE : FALSE;
      Record.Status = Answer(Irp, Info);
      break;
    }
    default:
      Record.Status = STATUS_INVALID_DEVICE_REQUEST;
  }
  if (!NT_SUCCESS(Record.Status) && Record.Status != STATUS_BUFFER_OVERFLOW) Irp->IoStatus.Information = 0;
  return Complete(Irp, State, Record);
}

// The answer to a plug-and-play request: what the test made the device say to its minor
// function, else success.
NTSTATUS Pnp(PIRP Irp, StorageState& State) {
  UCHAR Minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  NTSTATUS Status = STATUS_SUCCESS;
  {
    std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
    if (State.PnpFault != STATUS_SUCCESS && State.PnpFaultMinor == Minor) Status = State.PnpFault;
  }
  Irp->IoStatus.Information = 0;
  return Complete(Irp, State, HkIoRecord{IRP_MJ_PNP, 0, 0, 0, Status, PsGetCurrentThread()});
}

NTSTATUS StorageDispatch(PDEVICE_OBJECT Device, PIRP Irp) {
  StorageState& State = StateOf(Device);
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (Stack->MajorFunction == IRP_MJ_WRITE) WritesSeen++;
  if (Stack->MajorFunction == IRP_MJ_READ || Stack->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
      Stack->MajorFunction == IRP_MJ_WRITE)
    WaitAtGate(State);
  switch (Stack->MajorFunction) {
    case IRP_MJ_READ:
      return Read(Device, Irp, State);
    case IRP_MJ_DEVICE_CONTROL:
      return DeviceControl(Device, Irp, State);
    case IRP_MJ_WRITE:
      return Complete(Irp, State, HkIoRecord{IRP_MJ_WRITE, 0, 0, 0, STATUS_MEDIA_WRITE_PROTECTED, PsGetCurrentThread()});
    case IRP_MJ_PNP:
      return Pnp(Irp, State);
    default:
      Irp->IoStatus.Information = 0;
      return Complete(Irp, State, HkIoRecord{Stack->MajorFunction, 0, 0, 0, STATUS_SUCCESS, PsGetCurrentThread()});
  }
}

NTSTATUS StorageDriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH& Dispatch : Driver->MajorFunction) Dispatch = StorageDispatch;
  return STATUS_SUCCESS;
}

PDRIVER_OBJECT StorageDriver() {
  static PDRIVER_OBJECT Driver = [] {
    PDRIVER_OBJECT Loaded = nullptr;
    HkLoadDriver(StorageDriverEntry, u"\\Driver\\HostStorage", &Loaded);
    return Loaded;
  }();
  return Driver;
}

PDEVICE_OBJECT CreateStorage(const char16_t* Name, DEVICE_TYPE Type, ULONG Characteristics,
                             std::unique_ptr<StorageState> State) {
  std::u16string NameText(Name);
  UNICODE_STRING DeviceName{(USHORT)(NameText.size() * 2), (USHORT)(NameText.size() * 2), (PWSTR)NameText.data()};
  PDEVICE_OBJECT Device = nullptr;
  NTSTATUS Status = IoCreateDevice(StorageDriver(), 0, &DeviceName, Type, Characteristics, FALSE, &Device);
  if (!NT_SUCCESS(Status)) hk::Violation("cannot create storage device (0x%08X)", (unsigned)Status);
  Device->Flags = (Device->Flags | DO_DIRECT_IO) & ~DO_DEVICE_INITIALIZING;
  Device->SectorSize = (USHORT)State->SectorSize;
  Device->AlignmentRequirement = 1;
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  Devices()[Device] = std::move(State);
  return Device;
}

}  // namespace

PDEVICE_OBJECT HkCreateDisk(const std::string& ImagePath, const char16_t* Name, const HkStorageOptions& Options) {
  auto State = std::make_unique<StorageState>();
  State->Kind = StorageKind::Disk;
  State->Current = OpenMedium(ImagePath, Options.SectorSize);
  State->SectorSize = Options.SectorSize;
  State->ZeroSectorGeometry = Options.ZeroSectorGeometry;
  return CreateStorage(Name, FILE_DEVICE_DISK, Options.Removable ? FILE_REMOVABLE_MEDIA : 0, std::move(State));
}

PDEVICE_OBJECT HkCreatePartition(PDEVICE_OBJECT Disk, const char16_t* Name, uint64_t Offset, uint64_t Length) {
  StorageState& DiskState = StateOf(Disk);
  MediumRef DiskMedium = MediumOf(DiskState);
  if (!DiskMedium || Offset % DiskState.SectorSize || Length % DiskState.SectorSize ||
      Offset + Length > DiskMedium->Length)
    hk::Violation("partition window outside its disk");
  auto State = std::make_unique<StorageState>();
  State->Kind = StorageKind::Partition;
  State->Current = std::make_shared<const Medium>(::dup(DiskMedium->Fd), Length);
  State->Offset = Offset;
  State->SectorSize = DiskState.SectorSize;
  return CreateStorage(Name, FILE_DEVICE_DISK, Disk->Characteristics, std::move(State));
}

PDEVICE_OBJECT HkCreateCdRom(const std::string& ImagePath, const char16_t* Name, bool DataTrack) {
  auto State = std::make_unique<StorageState>();
  State->Kind = StorageKind::CdRom;
  State->Current = OpenMedium(ImagePath, 2048);
  State->SectorSize = 2048;
  State->DataTrack = DataTrack;
  return CreateStorage(Name, FILE_DEVICE_CD_ROM, FILE_REMOVABLE_MEDIA, std::move(State));
}

void HkDeleteStorage(PDEVICE_OBJECT Device) {
  {
    std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
    Devices().erase(Device);
  }
  IoDeleteDevice(Device);
}

static void ChangeMedium(PDEVICE_OBJECT Device, MediumRef New) {
  StorageState& State = StateOf(Device);
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  State.Current = std::move(New);
  State.MediaChangeCount++;
  if (Device->Vpb && (Device->Vpb->Flags & VPB_MOUNTED)) Device->Flags |= DO_VERIFY_VOLUME;
}

void HkSwapMedia(PDEVICE_OBJECT Device, const std::string& ImagePath) {
  ChangeMedium(Device, OpenMedium(ImagePath, StateOf(Device).SectorSize));
}
void HkEjectMedia(PDEVICE_OBJECT Device) { ChangeMedium(Device, nullptr); }

void HkFailRead(PDEVICE_OBJECT Device, NTSTATUS Status, unsigned Nth) {
  StorageState& State = StateOf(Device);
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  State.ReadFault = Status;
  State.ReadFaultCountdown = Nth;
}

void HkFailPnp(PDEVICE_OBJECT Device, UCHAR MinorFunction, NTSTATUS Status) {
  StorageState& State = StateOf(Device);
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  State.PnpFaultMinor = MinorFunction;
  State.PnpFault = Status;
}

uint64_t HkWritesSeen() { return WritesSeen; }

void HkCloseGate(PDEVICE_OBJECT Device) {
  StorageState& State = StateOf(Device);
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  State.GateClosed = true;
  State.PassLimit = State.NextTicket;
}

void HkPassGate(PDEVICE_OBJECT Device, size_t Count) {
  StorageState& State = StateOf(Device);
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  State.PassLimit += Count;
  hk::WakeWaiters();
}

void HkOpenGate(PDEVICE_OBJECT Device) {
  StorageState& State = StateOf(Device);
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  State.GateClosed = false;
  hk::WakeWaiters();
}

size_t HkRequestsAtGate(PDEVICE_OBJECT Device) {
  StorageState& State = StateOf(Device);
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  return State.AtGate;
}

std::vector<HkIoRecord> HkIoLog(PDEVICE_OBJECT Device) {
  StorageState& State = StateOf(Device);
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  return State.Log;
}

void HkWaitForGateArrivals(PDEVICE_OBJECT Device, uint64_t Count) {
  StorageState& State = StateOf(Device);
  std::unique_lock<std::mutex> Lock(hk::DispatcherLock());
  hk::WaitUntil(Lock, [&State, Count] { return State.NextTicket >= Count; }, "requests to reach a gate");
}

// ---- Partition tables ------------------------------------------------------------------------------

namespace {

constexpr char GptSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
// More entries than any partitioning tool writes; a larger count is a damaged header.
constexpr uint32_t MaximumGptEntries = 1024;
constexpr uint32_t GptEntryMinimum = 128;

struct GptEntry {
  GUID Type;
  GUID Id;
  uint64_t FirstLba;
  uint64_t LastLba;
  uint64_t Attributes;
  char16_t Name[36];
};
static_assert(sizeof(GptEntry) == 128);

// Bytes of the medium as the device shows it; false outside it.
bool ReadMediumBytes(const StorageState& State, const Medium& Current, uint64_t Offset, void* Buffer, uint64_t Length) {
  if (Offset > Current.Length || Length > Current.Length - Offset) return false;
  return ::pread(Current.Fd, Buffer, Length, (off_t)(State.Offset + Offset)) == (ssize_t)Length;
}

// The used entries of a GUID partition table whose header lies at LBA 1 for blocks of
// LbaSize bytes; false when there is none there. Entries outside the medium are left out.
bool ReadGpt(const StorageState& State, const Medium& Current, uint64_t LbaSize, std::vector<GptEntry>* Entries) {
  uint8_t Header[92];
  if (!ReadMediumBytes(State, Current, LbaSize, Header, sizeof(Header)) ||
      std::memcmp(Header, GptSignature, sizeof(GptSignature)) != 0)
    return false;
  uint64_t EntryLba;
  uint32_t Count, EntrySize;
  std::memcpy(&EntryLba, Header + 72, 8);
  std::memcpy(&Count, Header + 80, 4);
  std::memcpy(&EntrySize, Header + 84, 4);
  uint64_t Blocks = Current.Length / LbaSize;
  if (Count > MaximumGptEntries || EntrySize < GptEntryMinimum || EntrySize > 4096 || EntryLba >= Blocks) return false;
  std::vector<uint8_t> Table((size_t)Count * EntrySize);
  if (!ReadMediumBytes(State, Current, EntryLba * LbaSize, Table.data(), Table.size())) return false;
  for (uint32_t Index = 0; Index < Count; ++Index) {
    GptEntry Entry;
    std::memcpy(&Entry, Table.data() + (size_t)Index * EntrySize, sizeof(Entry));
    static const GUID Unused{};
    if (std::memcmp(&Entry.Type, &Unused, sizeof(GUID)) == 0) continue;
    if (Entry.FirstLba > Entry.LastLba || Entry.LastLba >= Blocks) continue;
    Entries->push_back(Entry);
  }
  return true;
}

}  // namespace

NTSTATUS IoReadPartitionTableEx(PDEVICE_OBJECT DeviceObject, PDRIVE_LAYOUT_INFORMATION_EX* DriveLayout) {
  *DriveLayout = nullptr;
  StorageState& State = StateOf(DeviceObject);
  MediumRef Current = MediumOf(State);
  if (!Current) return STATUS_NO_MEDIA_IN_DEVICE;
  // Partitioning tools write 512-byte blocks on every medium, or the device's own size.
  std::vector<GptEntry> Entries;
  uint64_t LbaSize = 512;
  bool Gpt = ReadGpt(State, *Current, LbaSize, &Entries);
  if (!Gpt && State.SectorSize != 512) {
    LbaSize = State.SectorSize;
    Gpt = ReadGpt(State, *Current, LbaSize, &Entries);
  }
  size_t Count = Entries.empty() ? 1 : Entries.size();
  size_t Size = offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) + Count * sizeof(PARTITION_INFORMATION_EX);
  auto* Layout = (PDRIVE_LAYOUT_INFORMATION_EX)ExAllocatePoolWithTag(NonPagedPoolNx, Size, PoolTag("IoPt"));
  if (!Layout) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(Layout, 0, Size);
  Layout->PartitionStyle = Gpt ? PARTITION_STYLE_GPT : PARTITION_STYLE_MBR;
  Layout->PartitionCount = (ULONG)Entries.size();
  for (size_t Index = 0; Index < Entries.size(); ++Index) {
    const GptEntry& Entry = Entries[Index];
    PARTITION_INFORMATION_EX& Info = Layout->PartitionEntry[Index];
    Info.PartitionStyle = PARTITION_STYLE_GPT;
    Info.StartingOffset.QuadPart = (LONGLONG)(Entry.FirstLba * LbaSize);
    Info.PartitionLength.QuadPart = (LONGLONG)((Entry.LastLba - Entry.FirstLba + 1) * LbaSize);
    Info.PartitionNumber = (ULONG)Index + 1;
    Info.Gpt.PartitionType = Entry.Type;
    Info.Gpt.PartitionId = Entry.Id;
    Info.Gpt.Attributes = Entry.Attributes;
    std::memcpy(Info.Gpt.Name, Entry.Name, sizeof(Info.Gpt.Name));
  }
  *DriveLayout = Layout;
  return STATUS_SUCCESS;
}
