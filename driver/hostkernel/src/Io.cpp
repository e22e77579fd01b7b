// The I/O manager core: driver and device objects, file-system registration, object
// references and the file-object delete path, IRPs with their completion (completion
// routines, pending, associated IRPs), the IRP builders, the top-level IRP and the
// device to verify, and work items.
#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "HostInternal.h"

static void ForgetRequest(PIRP Irp);

namespace {

enum class ObjectKind { Device, File, Token };

struct ObjectRecord {
  ObjectKind Kind;
  LONG References;
};

struct ObjectState {
  std::mutex Lock;
  std::map<PVOID, ObjectRecord> Objects;
  std::map<std::u16string, PDEVICE_OBJECT> Names;
  std::map<PDEVICE_OBJECT, std::u16string> NameOf;
  std::vector<PDEVICE_OBJECT> FileSystems;
  std::map<PDRIVER_OBJECT, FS_FILTER_CALLBACKS> FilterCallbacks;
};

ObjectState& Objects() {
  static ObjectState& State = *new ObjectState;
  return State;
}

const ULONG IrpTag = PoolTag("Irp ");
const ULONG DeviceTag = PoolTag("Devi");
const ULONG VpbTag = PoolTag("Vpb ");
const ULONG WorkItemTag = PoolTag("IoWk");
const ULONG BufferTag = PoolTag("IoBu");

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

bool DeviceHasVpb(DEVICE_TYPE Type) {
  return Type == FILE_DEVICE_DISK || Type == FILE_DEVICE_CD_ROM || Type == FILE_DEVICE_DVD ||
         Type == 0x24 /* virtual disk */ || Type == 0x1f /* tape */;
}

// A device's VPB may be one a file system gave it in exchange for the one it keeps.
void FreeDeviceObject(PDEVICE_OBJECT Device) {
  if (Device->Vpb && Device->Vpb->ReferenceCount == 0 && !(Device->Vpb->Flags & VPB_MOUNTED))
    ExFreePool(Device->Vpb);
  ExFreePoolWithTag(Device, DeviceTag);
}

void CheckDispatchReturn(PDEVICE_OBJECT Device, UCHAR Major, KIRQL Irql, LONG Region) {
  PKTHREAD Thread = hk::CurrentThread();
  if (Thread->Irql != Irql || Thread->CriticalRegionDepth != Region)
    hk::Violation("dispatch routine of major function 0x%x on device %p returned with IRQL %u and "
                  "critical region depth %d (entered with %u and %d)",
                  Major, (void*)Device, Thread->Irql, Thread->CriticalRegionDepth, Irql, Region);
}

// The pending rule: a dispatch routine returns STATUS_PENDING exactly when its stack
// location is marked pending (by the routine, or by a completion routine propagating a
// lower driver's pending return before completion passes the location). Each dispatch in
// progress is watched until both its return and the completion of its location are seen.
struct DispatchWatch {
  PIRP Irp;
  PIO_STACK_LOCATION Location;
  UCHAR Major;
  bool MarkedAtEntry;  // inherited through a skipped location: not this routine's doing
  bool Completed;
  bool Marked;
  bool ReturnedPending;
};

std::mutex& WatchLock() {
  static std::mutex& Lock = *new std::mutex;
  return Lock;
}

std::vector<DispatchWatch*>& Watches() {
  static std::vector<DispatchWatch*>& List = *new std::vector<DispatchWatch*>;
  return List;
}

[[noreturn]] void PendingNotMarked(const DispatchWatch& Watch) {
  hk::Violation("dispatch routine of major function 0x%x returned STATUS_PENDING without marking IRP %p pending",
                Watch.Major, (void*)Watch.Irp);
}

DispatchWatch* StartWatch(PIRP Irp, PIO_STACK_LOCATION Location) {
  auto* Watch = new DispatchWatch{Irp, Location, Location->MajorFunction,
                                  (Location->Control & SL_PENDING_RETURNED) != 0, false, false, false};
  std::lock_guard<std::mutex> Lock(WatchLock());
  Watches().push_back(Watch);
  return Watch;
}

void Forget(DispatchWatch* Watch) {
  auto& List = Watches();
  List.erase(std::find(List.begin(), List.end(), Watch));
  delete Watch;
}

// Completion passes Location: the mark it carries now is final.
void NoteLocationCompleted(PIRP Irp, PIO_STACK_LOCATION Location) {
  std::lock_guard<std::mutex> Lock(WatchLock());
  for (DispatchWatch* Watch : Watches()) {
    if (Watch->Irp != Irp || Watch->Location != Location || Watch->Completed) continue;
    Watch->Completed = true;
    Watch->Marked = Location->Control & SL_PENDING_RETURNED;
    if (!Watch->ReturnedPending) return;
    if (!Watch->Marked) PendingNotMarked(*Watch);
    Forget(Watch);
    return;
  }
}

// The dispatch routine returned Status.
void NoteDispatchReturned(DispatchWatch* Watch, NTSTATUS Status) {
  std::lock_guard<std::mutex> Lock(WatchLock());
  if (!Watch->Completed) {
    // Not completed yet: a pending return is judged when completion passes; any other
    // return leaves the IRP with its caller.
    if (Status == STATUS_PENDING)
      Watch->ReturnedPending = true;
    else
      Forget(Watch);
    return;
  }
  if (Status == STATUS_PENDING && !Watch->Marked) PendingNotMarked(*Watch);
  if (Status != STATUS_PENDING && Watch->Marked && !Watch->MarkedAtEntry)
    hk::Violation("dispatch routine of major function 0x%x marked IRP %p pending but returned 0x%08X", Watch->Major,
                  (void*)Watch->Irp, (unsigned)Status);
  Forget(Watch);
}

bool ShouldInvoke(PIRP Irp, UCHAR Control) {
  if (NT_SUCCESS(Irp->IoStatus.Status)) return Control & SL_INVOKE_ON_SUCCESS;
  if (Irp->Cancel && (Control & SL_INVOKE_ON_CANCEL)) return true;
  return Control & SL_INVOKE_ON_ERROR;
}

void FreeMdlChain(PIRP Irp) {
  PMDL Mdl = Irp->MdlAddress;
  Irp->MdlAddress = nullptr;
  while (Mdl) {
    PMDL Next = Mdl->Next;
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(Mdl);
    IoFreeMdl(Mdl);
    Mdl = Next;
  }
}

void CompleteAssociatedIrp(PIRP Irp, CCHAR PriorityBoost) {
  PIRP Master = Irp->AssociatedIrp.MasterIrp;
  LONG Remaining = InterlockedDecrement(&Master->AssociatedIrp.IrpCount);
  FreeMdlChain(Irp);
  IoFreeIrp(Irp);
  if (Remaining == 0) IofCompleteRequest(Master, PriorityBoost);
}

// The last stage of completion: buffered data back to the caller, the caller's status
// block and event, the file object's reference, the IRP itself.
void FinishIrpHere(PIRP Irp) {
  if (Irp->Flags & (IRP_PAGING_IO | IRP_CLOSE_OPERATION)) {
    if (Irp->UserIosb) *Irp->UserIosb = Irp->IoStatus;
    PKEVENT Event = Irp->UserEvent;
    IoFreeIrp(Irp);
    if (Event) KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
    return;
  }
  if (Irp->Flags & IRP_BUFFERED_IO) {
    if ((Irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(Irp->IoStatus.Status) && Irp->UserBuffer &&
        Irp->IoStatus.Information)
      std::memcpy(Irp->UserBuffer, Irp->AssociatedIrp.SystemBuffer, Irp->IoStatus.Information);
    if (Irp->Flags & IRP_DEALLOCATE_BUFFER) ExFreePoolWithTag(Irp->AssociatedIrp.SystemBuffer, BufferTag);
    Irp->AssociatedIrp.SystemBuffer = nullptr;
  }
  FreeMdlChain(Irp);
  // The I/O manager's own copies of the caller's parameters (names, lock lengths).
  if (Irp->Tail.Overlay.AuxiliaryBuffer) ExFreePool(Irp->Tail.Overlay.AuxiliaryBuffer);
  Irp->Tail.Overlay.AuxiliaryBuffer = nullptr;
  if (Irp->UserIosb) *Irp->UserIosb = Irp->IoStatus;
  PKEVENT Event = Irp->UserEvent;
  ForgetRequest(Irp);
  PFILE_OBJECT FileObject = Irp->Tail.Overlay.OriginalFileObject;
  if (FileObject && (FileObject->Flags & FO_SYNCHRONOUS_IO) && !Event) {
    FileObject->FinalStatus = Irp->IoStatus.Status;
    KeSetEvent(&FileObject->Event, IO_NO_INCREMENT, FALSE);
  }
  IoFreeIrp(Irp);
  if (Event) KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
  if (FileObject) ObDereferenceObject(FileObject);
}

// A request of a host thread that completes in another thread finishes in its own thread,
// as an APC: the caller wakes only after the request's last stage, file object included.
void FinishIrp(PIRP Irp) {
  PKTHREAD Requester = Irp->Tail.Overlay.Thread;
  bool FromHostThread = Requester && !Requester->SystemThread && Irp->Tail.Overlay.OriginalFileObject;
  if (FromHostThread && Requester != hk::CurrentThread() && !(Irp->Flags & (IRP_PAGING_IO | IRP_CLOSE_OPERATION))) {
    hk::QueueApc(Requester, [Irp] { FinishIrpHere(Irp); });
    return;
  }
  FinishIrpHere(Irp);
}

PIRP BuildIrpFor(PDEVICE_OBJECT DeviceObject, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  PIRP Irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
  if (!Irp) return nullptr;
  Irp->UserIosb = IoStatusBlock;
  Irp->UserEvent = Event;
  Irp->RequestorMode = KernelMode;
  Irp->Tail.Overlay.Thread = PsGetCurrentThread();
  return Irp;
}

}  // namespace

// ---- Objects and references ------------------------------------------------------------------

void hk::RegisterObject(PVOID Object, LONG InitialReferences) {
  ObjectState& State = Objects();
  std::lock_guard<std::mutex> Lock(State.Lock);
  CSHORT Type = ((CSHORT*)Object)[0];
  ObjectKind Kind = Type == IO_TYPE_FILE           ? ObjectKind::File
                    : Type == HK_TOKEN_OBJECT_TYPE ? ObjectKind::Token
                                                   : ObjectKind::Device;
  State.Objects[Object] = ObjectRecord{Kind, InitialReferences};
}

void ObfReferenceObject(PVOID Object) {
  ObjectState& State = Objects();
  std::lock_guard<std::mutex> Lock(State.Lock);
  auto Found = State.Objects.find(Object);
  if (Found == State.Objects.end() || Found->second.References <= 0)
    hk::Violation("reference taken on an object that is not alive (%p)", Object);
  Found->second.References++;
}

void ObfDereferenceObject(PVOID Object) {
  ObjectKind Kind;
  {
    ObjectState& State = Objects();
    std::lock_guard<std::mutex> Lock(State.Lock);
    auto Found = State.Objects.find(Object);
    if (Found == State.Objects.end() || Found->second.References <= 0)
      hk::Violation("reference dropped on an object that is not alive (%p)", Object);
    if (--Found->second.References > 0) return;
    Kind = Found->second.Kind;
    State.Objects.erase(Found);
  }
  if (Kind == ObjectKind::File)
    hk::DeleteFileObject((PFILE_OBJECT)Object);
  else if (Kind == ObjectKind::Token)
    ExFreePool(Object);  // a filtered token, one pool block
  else
    FreeDeviceObject((PDEVICE_OBJECT)Object);
}

LONG HkObjectReferenceCount(PVOID Object) {
  ObjectState& State = Objects();
  std::lock_guard<std::mutex> Lock(State.Lock);
  auto Found = State.Objects.find(Object);
  return Found == State.Objects.end() ? -1 : Found->second.References;
}

static size_t CountObjects(ObjectKind Kind) {
  ObjectState& State = Objects();
  std::lock_guard<std::mutex> Lock(State.Lock);
  return std::count_if(State.Objects.begin(), State.Objects.end(),
                       [Kind](const auto& Entry) { return Entry.second.Kind == Kind; });
}

size_t HkLiveFileObjects() { return CountObjects(ObjectKind::File); }
size_t HkLiveDeviceObjects() { return CountObjects(ObjectKind::Device); }
size_t HkLiveTokens() { return CountObjects(ObjectKind::Token); }

PDEVICE_OBJECT HkFindDevice(const char16_t* Name) {
  ObjectState& State = Objects();
  std::lock_guard<std::mutex> Lock(State.Lock);
  auto Found = State.Names.find(Name);
  return Found == State.Names.end() ? nullptr : Found->second;
}

// ---- Drivers and devices ---------------------------------------------------------------------

NTSTATUS HkLoadDriver(PDRIVER_INITIALIZE Entry, const char16_t* Name, PDRIVER_OBJECT* DriverObject) {
  // Driver objects live as long as the host: there is no unload.
  static std::vector<std::unique_ptr<DRIVER_OBJECT>>& Drivers = *new std::vector<std::unique_ptr<DRIVER_OBJECT>>;
  Drivers.push_back(std::make_unique<DRIVER_OBJECT>());
  DRIVER_OBJECT* Driver = Drivers.back().get();
  Driver->Type = IO_TYPE_DRIVER;
  Driver->Size = sizeof(DRIVER_OBJECT);
  static std::vector<std::u16string>& DriverNames = *new std::vector<std::u16string>;
  DriverNames.emplace_back(Name);
  Driver->DriverName.Buffer = (PWSTR)DriverNames.back().c_str();
  Driver->DriverName.Length = (USHORT)(DriverNames.back().size() * sizeof(WCHAR));
  Driver->DriverName.MaximumLength = Driver->DriverName.Length;
  Driver->DriverInit = Entry;
  for (PDRIVER_DISPATCH& Dispatch : Driver->MajorFunction) Dispatch = InvalidDeviceRequest;
  NTSTATUS Status = STATUS_UNSUCCESSFUL;
  UNICODE_STRING RegistryPath = RTL_CONSTANT_STRING(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Driver");
  HkRunInSystemThread([&] { Status = hk::NoThrowBarrier([&] { return Entry(Driver, &RegistryPath); }); });
  *DriverObject = NT_SUCCESS(Status) ? Driver : nullptr;
  return Status;
}

void HkRunInSystemThread(const std::function<void()>& Body) {
  std::thread([&Body] {
    hk::BecomeSystemThread();
    Body();
  }).join();
}

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive, PDEVICE_OBJECT* DeviceObject) {
  *DeviceObject = nullptr;
  NTSTATUS Injected = hk::TakeCallFault(HkCall::IoCreateDevice);
  if (!NT_SUCCESS(Injected)) return Injected;
  std::u16string Name;
  if (DeviceName) Name.assign(DeviceName->Buffer, DeviceName->Length / sizeof(WCHAR));
  if (!Name.empty() && HkFindDevice(Name.c_str())) return STATUS_OBJECT_NAME_COLLISION;
  SIZE_T Size = sizeof(DEVICE_OBJECT) + ALIGN_UP_BY(DeviceExtensionSize, 16);
  auto* Device = (PDEVICE_OBJECT)ExAllocatePoolWithTag(NonPagedPoolNx, Size, DeviceTag);
  if (!Device) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(Device, 0, Size);
  Device->Type = IO_TYPE_DEVICE;
  Device->Size = (USHORT)(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  Device->DriverObject = DriverObject;
  Device->DeviceType = DeviceType;
  Device->Characteristics = DeviceCharacteristics;
  Device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  Device->StackSize = 1;
  Device->SectorSize = DeviceType == FILE_DEVICE_CD_ROM ? 2048 : 512;
  Device->DeviceExtension = DeviceExtensionSize ? (PVOID)(Device + 1) : nullptr;
  KeInitializeEvent(&Device->DeviceLock, SynchronizationEvent, TRUE);
  if (DeviceHasVpb(DeviceType)) {
    auto* Vpb = (PVPB)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(VPB), VpbTag);
    if (!Vpb) {
      ExFreePoolWithTag(Device, DeviceTag);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(Vpb, 0, sizeof(VPB));
    Vpb->Type = IO_TYPE_VPB;
    Vpb->Size = sizeof(VPB);
    Vpb->RealDevice = Device;
    Device->Vpb = Vpb;
  }
  hk::RegisterObject(Device, 1);
  ObjectState& State = Objects();
  std::lock_guard<std::mutex> Lock(State.Lock);
  Device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = Device;
  if (!Name.empty()) {
    State.Names[Name] = Device;
    State.NameOf[Device] = Name;
  }
  *DeviceObject = Device;
  return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  {
    ObjectState& State = Objects();
    std::lock_guard<std::mutex> Lock(State.Lock);
    if (std::find(State.FileSystems.begin(), State.FileSystems.end(), DeviceObject) != State.FileSystems.end())
      hk::Violation("deleting device %p while it is a registered file system", (void*)DeviceObject);
    auto Named = State.NameOf.find(DeviceObject);
    if (Named != State.NameOf.end()) {
      State.Names.erase(Named->second);
      State.NameOf.erase(Named);
    }
    PDEVICE_OBJECT* Link = &DeviceObject->DriverObject->DeviceObject;
    while (*Link && *Link != DeviceObject) Link = &(*Link)->NextDevice;
    if (*Link) *Link = DeviceObject->NextDevice;
  }
  ObDereferenceObject(DeviceObject);
}

void IoRegisterFileSystem(PDEVICE_OBJECT DeviceObject) {
  ObjectState& State = Objects();
  std::lock_guard<std::mutex> Lock(State.Lock);
  DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  // Newest registrations are offered mounts first, as on Windows.
  State.FileSystems.insert(State.FileSystems.begin(), DeviceObject);
}

void IoUnregisterFileSystem(PDEVICE_OBJECT DeviceObject) {
  ObjectState& State = Objects();
  std::lock_guard<std::mutex> Lock(State.Lock);
  auto& Systems = State.FileSystems;
  Systems.erase(std::remove(Systems.begin(), Systems.end(), DeviceObject), Systems.end());
}

std::vector<PDEVICE_OBJECT> HkRegisteredFileSystems() {
  ObjectState& State = Objects();
  std::lock_guard<std::mutex> Lock(State.Lock);
  return State.FileSystems;
}

NTSTATUS FsRtlRegisterFileSystemFilterCallbacks(PDRIVER_OBJECT FilterDriverObject,
                                                PFS_FILTER_CALLBACKS Callbacks) {
  if (!Callbacks || Callbacks->SizeOfFsFilterCallbacks != sizeof(FS_FILTER_CALLBACKS))
    return STATUS_INVALID_PARAMETER;
  NTSTATUS Injected = hk::TakeCallFault(HkCall::FsRtlRegisterFileSystemFilterCallbacks);
  if (!NT_SUCCESS(Injected)) return Injected;
  ObjectState& State = Objects();
  std::lock_guard<std::mutex> Lock(State.Lock);
  State.FilterCallbacks[FilterDriverObject] = *Callbacks;
  return STATUS_SUCCESS;
}

// The filter callbacks Driver registered, for the memory manager's section
// synchronisation; false when it registered none.
bool hk::FileSystemFilterCallbacks(PDRIVER_OBJECT Driver, FS_FILTER_CALLBACKS* Callbacks) {
  ObjectState& State = Objects();
  std::lock_guard<std::mutex> Lock(State.Lock);
  auto Found = State.FilterCallbacks.find(Driver);
  if (Found == State.FilterCallbacks.end()) return false;
  *Callbacks = Found->second;
  return true;
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  while (DeviceObject->AttachedDevice) DeviceObject = DeviceObject->AttachedDevice;
  return DeviceObject;
}

PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) {
  PDEVICE_OBJECT Device = FileObject->DeviceObject;
  if (FileObject->Vpb && FileObject->Vpb->DeviceObject)
    Device = FileObject->Vpb->DeviceObject;
  else if (!(FileObject->Flags & FO_DIRECT_DEVICE_OPEN) && Device->Vpb && Device->Vpb->DeviceObject)
    Device = Device->Vpb->DeviceObject;
  return IoGetAttachedDevice(Device);
}

// ---- File-object deletion ----------------------------------------------------------------------

// The last reference to a file object went. The file system that opened it hears of it
// with IRP_MJ_CLOSE; the VPB reference the open took is dropped before that, so that the
// close may find the volume unreferenced and tear it down.
void hk::DeleteFileObject(PFILE_OBJECT FileObject) {
  PDEVICE_OBJECT Device = (FileObject->Flags & FO_FILE_OPEN) ? IoGetRelatedDeviceObject(FileObject) : nullptr;
  if (FileObject->Vpb) InterlockedDecrement((LONG*)&FileObject->Vpb->ReferenceCount);
  if (Device) {
    KEVENT Done;
    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK Iosb{};
    PIRP Irp = BuildIrpFor(Device, &Done, &Iosb);
    if (!Irp) KeBugCheckEx(NO_MORE_IRP_STACK_LOCATIONS, 0, 0, 0, 0);
    Irp->Flags = IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
    PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
    Stack->MajorFunction = IRP_MJ_CLOSE;
    Stack->FileObject = FileObject;
    if (IoCallDriver(Device, Irp) == STATUS_PENDING)
      KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
  }
  // A private cache map outliving its file object would be found by the cache later, its
  // file object's memory long reused.
  if (FileObject->PrivateCacheMap != nullptr)
    hk::Violation("file object %p closed with its private cache map still set up", (void*)FileObject);
  InterlockedDecrement(&FileObject->DeviceObject->ReferenceCount);
  if (FileObject->FileName.Buffer) ExFreePool(FileObject->FileName.Buffer);
  ExFreePoolWithTag(FileObject, PoolTag("File"));
}

PFILE_OBJECT IoCreateStreamFileObject(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject) {
  PDEVICE_OBJECT Device = FileObject ? FileObject->DeviceObject : DeviceObject;
  auto* Stream = (PFILE_OBJECT)ExAllocatePoolWithTag(NonPagedPool | POOL_RAISE_IF_ALLOCATION_FAILURE,
                                                     sizeof(FILE_OBJECT), PoolTag("File"));
  std::memset(Stream, 0, sizeof(FILE_OBJECT));
  Stream->Type = IO_TYPE_FILE;
  Stream->Size = sizeof(FILE_OBJECT);
  Stream->DeviceObject = Device;
  Stream->Vpb = Device->Vpb;
  Stream->Flags = FO_STREAM_FILE | FO_FILE_OPEN | FO_CLEANUP_COMPLETE;
  KeInitializeEvent(&Stream->Lock, SynchronizationEvent, FALSE);
  KeInitializeEvent(&Stream->Event, NotificationEvent, FALSE);
  InitializeListHead(&Stream->IrpList);
  if (Stream->Vpb) InterlockedIncrement((LONG*)&Stream->Vpb->ReferenceCount);
  InterlockedIncrement(&Device->ReferenceCount);
  hk::RegisterObject(Stream, 1);
  return Stream;
}

// ---- IRPs ----------------------------------------------------------------------------------------

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
  if (StackSize < 1) hk::Violation("IRP with %d stack locations", StackSize);
  SIZE_T Size = sizeof(IRP) + StackSize * sizeof(IO_STACK_LOCATION);
  auto* Irp = (PIRP)ExAllocatePoolWithTag(NonPagedPoolNx, Size, IrpTag);
  if (!Irp) return nullptr;
  std::memset(Irp, 0, Size);
  Irp->Type = IO_TYPE_IRP;
  Irp->Size = (USHORT)Size;
  Irp->StackCount = StackSize;
  Irp->CurrentLocation = (CHAR)(StackSize + 1);
  Irp->Tail.Overlay.CurrentStackLocation = (PIO_STACK_LOCATION)(Irp + 1) + StackSize;
  InitializeListHead(&Irp->ThreadListEntry);
  return Irp;
}

void IoFreeIrp(PIRP Irp) {
  if (Irp->Type != IO_TYPE_IRP) hk::Violation("IoFreeIrp on something that is not an IRP (%p)", (void*)Irp);
  if (Irp->MdlAddress) hk::Violation("IoFreeIrp on IRP %p that still has MDLs", (void*)Irp);
  Irp->Type = 0;
  ExFreePoolWithTag(Irp, IrpTag);
}

PIRP IoMakeAssociatedIrp(PIRP Irp, CCHAR StackSize) {
  PIRP Associated = IoAllocateIrp(StackSize, FALSE);
  if (!Associated) return nullptr;
  Associated->Flags = IRP_ASSOCIATED_IRP;
  Associated->AssociatedIrp.MasterIrp = Irp;
  Associated->Tail.Overlay.Thread = Irp->Tail.Overlay.Thread;
  Associated->RequestorMode = KernelMode;
  return Associated;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) hk::Violation("IoCallDriver above DISPATCH_LEVEL");
  Irp->CurrentLocation--;
  if (Irp->CurrentLocation <= 0)
    KeBugCheckEx(NO_MORE_IRP_STACK_LOCATIONS, (ULONG_PTR)Irp, 0, 0, 0);
  PIO_STACK_LOCATION Stack = --Irp->Tail.Overlay.CurrentStackLocation;
  Stack->DeviceObject = DeviceObject;
  UCHAR Major = Stack->MajorFunction;
  PDRIVER_DISPATCH Dispatch = DeviceObject->DriverObject->MajorFunction[Major];
  PKTHREAD Thread = hk::CurrentThread();
  KIRQL Irql = Thread->Irql;
  LONG Region = Thread->CriticalRegionDepth;
  DispatchWatch* Watch = StartWatch(Irp, Stack);
  NTSTATUS Status = hk::NoThrowBarrier([&] { return Dispatch(DeviceObject, Irp); });
  CheckDispatchReturn(DeviceObject, Major, Irql, Region);
  NoteDispatchReturned(Watch, Status);
  return Status;
}

void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  if (Irp->Type != IO_TYPE_IRP || Irp->CurrentLocation > Irp->StackCount + 1)
    KeBugCheckEx(MULTIPLE_IRP_COMPLETE_REQUESTS, (ULONG_PTR)Irp, 0, 0, 0);
  if (Irp->IoStatus.Status == STATUS_PENDING)
    hk::Violation("IRP %p completed with STATUS_PENDING", (void*)Irp);
  for (Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++;
       Irp->CurrentLocation <= Irp->StackCount + 1;
       Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
    PIO_STACK_LOCATION Stack = Irp->Tail.Overlay.CurrentStackLocation - 1;
    Irp->PendingReturned = Stack->Control & SL_PENDING_RETURNED;
    NoteLocationCompleted(Irp, Stack);
    PIO_COMPLETION_ROUTINE Routine = Stack->CompletionRoutine;
    PVOID Context = Stack->Context;
    bool Invoke = Routine && ShouldInvoke(Irp, Stack->Control);
    Stack->Control = 0;
    Stack->CompletionRoutine = nullptr;
    Stack->Context = nullptr;
    if (Invoke) {
      PDEVICE_OBJECT Upper = Irp->CurrentLocation == Irp->StackCount + 1
                                 ? nullptr
                                 : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      NTSTATUS Status = hk::NoThrowBarrier([&] { return Routine(Upper, Irp, Context); });
      if (Status == STATUS_MORE_PROCESSING_REQUIRED) return;
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      IoMarkIrpPending(Irp);
    }
  }
  if (Irp->Flags & IRP_ASSOCIATED_IRP)
    CompleteAssociatedIrp(Irp, PriorityBoost);
  else
    FinishIrp(Irp);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength,
                                   PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                   PIO_STATUS_BLOCK IoStatusBlock) {
  PIRP Irp = BuildIrpFor(DeviceObject, Event, IoStatusBlock);
  if (!Irp) return nullptr;
  PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
  Stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  Stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  Stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  Stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  ULONG Method = METHOD_FROM_CTL_CODE(IoControlCode);
  if (Method == METHOD_NEITHER) {
    Stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    Irp->UserBuffer = OutputBuffer;
    return Irp;
  }
  ULONG BufferLength = Method == METHOD_BUFFERED ? Max(InputBufferLength, OutputBufferLength) : InputBufferLength;
  if (BufferLength) {
    PVOID System = ExAllocatePoolWithTag(NonPagedPoolNx, BufferLength, BufferTag);
    if (!System) {
      IoFreeIrp(Irp);
      return nullptr;
    }
    if (InputBuffer) std::memcpy(System, InputBuffer, InputBufferLength);
    Irp->AssociatedIrp.SystemBuffer = System;
    Irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
  }
  if (Method == METHOD_BUFFERED) {
    if (OutputBuffer) Irp->Flags |= IRP_INPUT_OPERATION;
    Irp->UserBuffer = OutputBuffer;
  } else if (OutputBuffer && OutputBufferLength) {
    PMDL Mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, Irp);
    if (!Mdl) {
      if (Irp->Flags & IRP_DEALLOCATE_BUFFER) ExFreePoolWithTag(Irp->AssociatedIrp.SystemBuffer, BufferTag);
      IoFreeIrp(Irp);
      return nullptr;
    }
    MmProbeAndLockPages(Mdl, KernelMode, Method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
  }
  return Irp;
}

static PIRP BuildFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                            PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  PIRP Irp = BuildIrpFor(DeviceObject, Event, IoStatusBlock);
  if (!Irp) return nullptr;
  PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
  Stack->MajorFunction = (UCHAR)MajorFunction;
  if (MajorFunction != IRP_MJ_READ && MajorFunction != IRP_MJ_WRITE) return Irp;
  Stack->Parameters.Read.Length = Length;
  if (StartingOffset) Stack->Parameters.Read.ByteOffset = *StartingOffset;
  if (DeviceObject->Flags & DO_BUFFERED_IO) {
    PVOID System = ExAllocatePoolWithTag(NonPagedPoolNx, Length, BufferTag);
    if (!System) {
      IoFreeIrp(Irp);
      return nullptr;
    }
    if (MajorFunction == IRP_MJ_WRITE) std::memcpy(System, Buffer, Length);
    Irp->AssociatedIrp.SystemBuffer = System;
    Irp->UserBuffer = Buffer;
    Irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER |
                 (MajorFunction == IRP_MJ_READ ? IRP_INPUT_OPERATION : 0);
  } else if (DeviceObject->Flags & DO_DIRECT_IO) {
    PMDL Mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, Irp);
    if (!Mdl) {
      IoFreeIrp(Irp);
      return nullptr;
    }
    MmProbeAndLockPages(Mdl, KernelMode, MajorFunction == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
  } else {
    Irp->UserBuffer = Buffer;
  }
  return Irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                  ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                  PIO_STATUS_BLOCK IoStatusBlock) {
  return BuildFsdRequest(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, Event, IoStatusBlock);
}

PIRP IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                   ULONG Length, PLARGE_INTEGER StartingOffset,
                                   PIO_STATUS_BLOCK IoStatusBlock) {
  return BuildFsdRequest(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, nullptr, IoStatusBlock);
}

// ---- Thread state ------------------------------------------------------------------------------

PIRP IoGetTopLevelIrp() { return hk::CurrentThread()->TopLevelIrp; }
void IoSetTopLevelIrp(PIRP Irp) { hk::CurrentThread()->TopLevelIrp = Irp; }

BOOLEAN IoIsOperationSynchronous(PIRP Irp) {
  // IRP_SYNCHRONOUS_PAGING_IO shares its bit with IRP_INPUT_OPERATION: it only means
  // synchronous paging on a paging IRP.
  if (Irp->Flags & IRP_PAGING_IO) return (Irp->Flags & IRP_SYNCHRONOUS_PAGING_IO) != 0;
  PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  return (FileObject && (FileObject->Flags & FO_SYNCHRONOUS_IO)) || (Irp->Flags & IRP_SYNCHRONOUS_API);
}

PETHREAD IoGetRequestorThread(PIRP Irp) { return Irp->Tail.Overlay.Thread; }
PDEVICE_OBJECT IoGetDeviceToVerify(PETHREAD Thread) { return Thread ? Thread->DeviceToVerify : nullptr; }
void IoSetDeviceToVerify(PETHREAD Thread, PDEVICE_OBJECT DeviceObject) {
  if (Thread) Thread->DeviceToVerify = DeviceObject;
}
void IoSetHardErrorOrVerifyDevice(PIRP Irp, PDEVICE_OBJECT DeviceObject) {
  PETHREAD Thread = Irp->Tail.Overlay.Thread ? Irp->Tail.Overlay.Thread : PsGetCurrentThread();
  Thread->DeviceToVerify = DeviceObject;
}

// ---- Work items ----------------------------------------------------------------------------------

struct IO_WORKITEM {
  WORK_QUEUE_ITEM Item;
  PDEVICE_OBJECT Device;
  PIO_WORKITEM_ROUTINE Routine;
  PVOID Context;
};

static void RunIoWorkItem(PVOID Parameter) {
  auto* WorkItem = (PIO_WORKITEM)Parameter;
  // The routine may free the work item: take what is needed first.
  PDEVICE_OBJECT Device = WorkItem->Device;
  WorkItem->Routine(Device, WorkItem->Context);
  ObDereferenceObject(Device);
}

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  if (!NT_SUCCESS(hk::TakeCallFault(HkCall::IoAllocateWorkItem))) return nullptr;
  auto* WorkItem = (PIO_WORKITEM)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(IO_WORKITEM), WorkItemTag);
  if (!WorkItem) return nullptr;
  std::memset(WorkItem, 0, sizeof(*WorkItem));
  WorkItem->Device = DeviceObject;
  return WorkItem;
}

void IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  if (IoWorkItem->Item.List.Flink == &IoWorkItem->Item.List)
    hk::Violation("IoFreeWorkItem on a queued work item");
  ExFreePoolWithTag(IoWorkItem, WorkItemTag);
}

void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                     WORK_QUEUE_TYPE QueueType, PVOID Context) {
  ObReferenceObject(IoWorkItem->Device);
  IoWorkItem->Routine = WorkerRoutine;
  IoWorkItem->Context = Context;
  IoWorkItem->Item.WorkerRoutine = RunIoWorkItem;
  IoWorkItem->Item.Parameter = IoWorkItem;
  ExQueueWorkItem(&IoWorkItem->Item, QueueType);
}

// ---- Volume verification and hard errors ---------------------------------------------------------

namespace {

KSPIN_LOCK VpbSpinLock;

struct HardErrorLog {
  std::mutex Lock;
  std::vector<HkHardError> Errors;
  std::vector<NTSTATUS> Verifications;
};

HardErrorLog& HardErrors() {
  static HardErrorLog Log;
  return Log;
}

void GiveFreshVpb(PDEVICE_OBJECT Device) {
  auto* Vpb = (PVPB)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(VPB), VpbTag);
  if (!Vpb) return;
  std::memset(Vpb, 0, sizeof(VPB));
  Vpb->Type = IO_TYPE_VPB;
  Vpb->Size = sizeof(VPB);
  Vpb->RealDevice = Device;
  KIRQL Irql;
  IoAcquireVpbSpinLock(&Irql);
  Device->Vpb = Vpb;
  IoReleaseVpbSpinLock(Irql);
}

// Sends IRP_MN_VERIFY_VOLUME for Vpb to the volume device mounted on it and waits.
NTSTATUS SendVerify(PVPB Vpb, PDEVICE_OBJECT RealDevice, BOOLEAN AllowRawMount) {
  return hk::SendVolumeRequest(Vpb->DeviceObject, IRP_MN_VERIFY_VOLUME,
                               AllowRawMount ? SL_ALLOW_RAW_MOUNT : 0, Vpb, RealDevice);
}

}  // namespace

// Asks the file system mounted on DeviceObject's VPB whether the medium is still its
// volume. When the answer is STATUS_WRONG_VOLUME the medium now in the drive is offered
// for a mount, as the I/O manager does, and the verify's answer is returned.
NTSTATUS IoVerifyVolume(PDEVICE_OBJECT DeviceObject, BOOLEAN AllowRawMount) {
  PVPB Vpb = DeviceObject->Vpb;
  NTSTATUS Status = STATUS_SUCCESS;
  if (Vpb != nullptr && (Vpb->Flags & VPB_MOUNTED) && Vpb->DeviceObject != nullptr) {
    Status = SendVerify(Vpb, DeviceObject, AllowRawMount);
  }
  if (Status == STATUS_WRONG_VOLUME && DeviceObject->Vpb != nullptr) {
    // The volume keeps its VPB until it goes; the medium now there is mounted on a new one.
    if (DeviceObject->Vpb->Flags & VPB_MOUNTED) GiveFreshVpb(DeviceObject);
    hk::MountIfNeeded(DeviceObject);
  }
  std::lock_guard<std::mutex> Lock(HardErrors().Lock);
  HardErrors().Verifications.push_back(Status);
  return Status;
}

// The pop-up for a failed request: recorded, then the IRP is completed with its status,
// as the I/O manager does once the user has answered.
void IoRaiseHardError(PIRP Irp, PVPB Vpb, PDEVICE_OBJECT RealDeviceObject) {
  UNREFERENCED_PARAMETER(Vpb);
  {
    std::lock_guard<std::mutex> Lock(HardErrors().Lock);
    HardErrors().Errors.push_back({Irp->IoStatus.Status, RealDeviceObject, u"", false});
  }
  IoCompleteRequest(Irp, IO_DISK_INCREMENT);
}

BOOLEAN IoRaiseInformationalHardError(NTSTATUS ErrorStatus, PUNICODE_STRING String, PKTHREAD Thread) {
  UNREFERENCED_PARAMETER(Thread);
  std::u16string Text;
  if (String != nullptr) Text.assign((const char16_t*)String->Buffer, String->Length / sizeof(WCHAR));
  std::lock_guard<std::mutex> Lock(HardErrors().Lock);
  HardErrors().Errors.push_back({ErrorStatus, nullptr, Text, true});
  return TRUE;
}

void IoAcquireVpbSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&VpbSpinLock, Irql); }
void IoReleaseVpbSpinLock(KIRQL Irql) { KeReleaseSpinLock(&VpbSpinLock, Irql); }

// ---- Cancellation ----------------------------------------------------------------------------

static KSPIN_LOCK CancelSpinLock;

void IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&CancelSpinLock, Irql); }
void IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&CancelSpinLock, Irql); }

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  return (PDRIVER_CANCEL)__atomic_exchange_n(&Irp->CancelRoutine, (PVOID)CancelRoutine, __ATOMIC_SEQ_CST);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  KIRQL Irql;
  IoAcquireCancelSpinLock(&Irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL Routine = IoSetCancelRoutine(Irp, nullptr);
  if (Routine == nullptr) {
    IoReleaseCancelSpinLock(Irql);
    return FALSE;
  }
  Irp->CancelIrql = Irql;
  hk::NoThrowBarrier([&] { Routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp); });
  return TRUE;
}

static std::mutex& TrackedLock() {
  static std::mutex& Lock = *new std::mutex;
  return Lock;
}

static std::set<PIRP>& Tracked() {
  static std::set<PIRP>& Requests = *new std::set<PIRP>;
  return Requests;
}

void hk::TrackRequest(PIRP Irp) {
  std::lock_guard<std::mutex> Lock(TrackedLock());
  Tracked().insert(Irp);
}

std::vector<PIRP> hk::TrackedRequests(PKTHREAD Thread, PFILE_OBJECT FileObject) {
  std::lock_guard<std::mutex> Lock(TrackedLock());
  std::vector<PIRP> Found;
  for (PIRP Irp : Tracked())
    if (Irp->Tail.Overlay.Thread == Thread && Irp->Tail.Overlay.OriginalFileObject == FileObject) Found.push_back(Irp);
  return Found;
}

static void ForgetRequest(PIRP Irp) {
  std::lock_guard<std::mutex> Lock(TrackedLock());
  Tracked().erase(Irp);
}

std::vector<HkHardError> HkHardErrors() {
  std::lock_guard<std::mutex> Lock(HardErrors().Lock);
  return HardErrors().Errors;
}

void HkClearHardErrors() {
  std::lock_guard<std::mutex> Lock(HardErrors().Lock);
  HardErrors().Errors.clear();
  HardErrors().Verifications.clear();
}

std::vector<NTSTATUS> HkVerifications() {
  std::lock_guard<std::mutex> Lock(HardErrors().Lock);
  return HardErrors().Verifications;
}
