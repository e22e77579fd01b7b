// The front end's system services: handles, opens with the mount on first access and
// the remount retry, cleanup on the last handle, and the request services that build
// IRPs with the buffering Windows uses for each.
#include <functional>
#include <map>
#include <vector>

#include "HostInternal.h"
#include "hostkernel/FrontEnd.h"

namespace {

const ULONG FileObjectTag = PoolTag("File");
const ULONG NameTag = PoolTag("IoNm");
const ULONG BufferTag = PoolTag("IoBu");
const int MaximumRemounts = 8;

struct HandleTable {
  std::mutex Lock;
  std::map<HANDLE, PFILE_OBJECT> Handles;
  ULONG_PTR NextHandle = 4;
};

HandleTable& Handles() {
  static HandleTable& Table = *new HandleTable;
  return Table;
}

HANDLE InsertHandle(PFILE_OBJECT FileObject) {
  HandleTable& Table = Handles();
  std::lock_guard<std::mutex> Lock(Table.Lock);
  HANDLE Handle = (HANDLE)Table.NextHandle;
  Table.NextHandle += 4;
  Table.Handles[Handle] = FileObject;
  return Handle;
}

PFILE_OBJECT TakeHandle(HANDLE Handle) {
  HandleTable& Table = Handles();
  std::lock_guard<std::mutex> Lock(Table.Lock);
  auto Found = Table.Handles.find(Handle);
  if (Found == Table.Handles.end()) return nullptr;
  PFILE_OBJECT FileObject = Found->second;
  Table.Handles.erase(Found);
  return FileObject;
}

// What Windows checks when a system service returns to its caller: kernel APCs enabled
// again, PASSIVE_LEVEL, no top-level IRP left behind by a driver.
void CheckServiceExit() {
  PKTHREAD Thread = KeGetCurrentThread();
  if (Thread->CriticalRegionDepth != 0)
    KeBugCheckEx(APC_INDEX_MISMATCH, 0, (ULONG_PTR)Thread->CriticalRegionDepth, 0, 0);
  if (Thread->Irql != PASSIVE_LEVEL) KeBugCheckEx(IRQL_GT_ZERO_AT_SYSTEM_SERVICE, 0, Thread->Irql, 0, 0);
  if (Thread->TopLevelIrp != nullptr)
    hk::Violation("a system service returned with top-level IRP %p still set", (void*)Thread->TopLevelIrp);
}

// Leaving a system service delivers what completed meanwhile, then checks the thread.
void LeaveService() {
  hk::DeliverApcs();
  CheckServiceExit();
}

// Registers the caller's buffers as user memory for the duration of one service call.
class UserBuffers {
 public:
  void Add(PVOID Buffer, SIZE_T Length, bool Writable) {
    if (!Buffer || !Length) return;
    HkRegisterUserBuffer(Buffer, Length, Writable);
    Registered_.push_back(Buffer);
  }
  ~UserBuffers() {
    for (PVOID Buffer : Registered_) HkUnregisterUserBuffer(Buffer);
  }

 private:
  std::vector<PVOID> Registered_;
};

PFILE_OBJECT NewFileObject(PDEVICE_OBJECT Device, PVPB Vpb, const std::u16string& Name, ULONG Flags) {
  auto* FileObject = (PFILE_OBJECT)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(FILE_OBJECT), FileObjectTag);
  std::memset(FileObject, 0, sizeof(FILE_OBJECT));
  FileObject->Type = IO_TYPE_FILE;
  FileObject->Size = sizeof(FILE_OBJECT);
  FileObject->DeviceObject = Device;
  FileObject->Vpb = Vpb;
  FileObject->Flags = Flags;
  KeInitializeEvent(&FileObject->Lock, SynchronizationEvent, FALSE);
  KeInitializeEvent(&FileObject->Event, NotificationEvent, FALSE);
  InitializeListHead(&FileObject->IrpList);
  if (!Name.empty()) {
    USHORT Bytes = (USHORT)(Name.size() * sizeof(WCHAR));
    FileObject->FileName.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, Bytes, NameTag);
    std::memcpy(FileObject->FileName.Buffer, Name.data(), Bytes);
    FileObject->FileName.Length = FileObject->FileName.MaximumLength = Bytes;
  }
  if (Vpb) InterlockedIncrement((LONG*)&Vpb->ReferenceCount);
  InterlockedIncrement(&Device->ReferenceCount);
  hk::RegisterObject(FileObject, 1);
  return FileObject;
}

// The named device with the longest name that prefixes Path, and the rest of Path.
PDEVICE_OBJECT ResolveDevice(const std::u16string& Path, std::u16string* Remainder) {
  for (size_t Length = Path.size(); Length > 0; --Length) {
    if (Length < Path.size() && Path[Length] != u'\\') continue;
    if (PDEVICE_OBJECT Device = HkFindDevice(Path.substr(0, Length).c_str())) {
      *Remainder = Path.substr(Length);
      return Device;
    }
  }
  return nullptr;
}

NTSTATUS SendAndWait(PDEVICE_OBJECT Device, PIRP Irp, PKEVENT Event, PIO_STATUS_BLOCK Iosb) {
  NTSTATUS Status = IoCallDriver(Device, Irp);
  if (Status == STATUS_PENDING) {
    KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, nullptr);
    Status = Iosb->Status;
  }
  return Status;
}

DEVICE_TYPE FileSystemTypeFor(PDEVICE_OBJECT Device) {
  return Device->DeviceType == FILE_DEVICE_CD_ROM ? FILE_DEVICE_CD_ROM_FILE_SYSTEM : FILE_DEVICE_DISK_FILE_SYSTEM;
}

struct OpenTarget {
  PDEVICE_OBJECT Device;    // the device the file object is opened on
  PDEVICE_OBJECT Target;    // the device the create goes to
  PVPB Vpb;
  PFILE_OBJECT Related;
  std::u16string Name;
};

NTSTATUS FindOpenTarget(POBJECT_ATTRIBUTES Attributes, OpenTarget* Open) {
  std::u16string Path(Attributes->ObjectName->Buffer, Attributes->ObjectName->Length / sizeof(WCHAR));
  if (Attributes->RootDirectory) {
    Open->Related = HkFileObjectOf(Attributes->RootDirectory);
    if (!Open->Related) return STATUS_INVALID_HANDLE;
    Open->Device = Open->Related->DeviceObject;
    Open->Vpb = Open->Related->Vpb;
    Open->Target = IoGetRelatedDeviceObject(Open->Related);
    Open->Name = Path;
    return STATUS_SUCCESS;
  }
  Open->Device = ResolveDevice(Path, &Open->Name);
  if (!Open->Device) return STATUS_OBJECT_NAME_NOT_FOUND;
  Open->Target = Open->Device;
  if (Open->Device->Vpb) {
    NTSTATUS Status = hk::MountIfNeeded(Open->Device);
    if (!NT_SUCCESS(Status)) return Status;
    Open->Vpb = Open->Device->Vpb;
    Open->Target = IoGetAttachedDevice(Open->Vpb->DeviceObject);
  }
  return STATUS_SUCCESS;
}

NTSTATUS SendCreate(const OpenTarget& Open, PFILE_OBJECT FileObject, ACCESS_MASK DesiredAccess,
                    POBJECT_ATTRIBUTES Attributes, PIO_STATUS_BLOCK Iosb, PLARGE_INTEGER AllocationSize,
                    ULONG FileAttributes, ULONG ShareAccess, ULONG Disposition, ULONG CreateOptions,
                    PVOID EaBuffer, ULONG EaLength, UCHAR StackFlags) {
  PIRP Irp = IoAllocateIrp(Open.Target->StackSize, FALSE);
  if (!Irp) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  // The object manager maps generic rights to the file object's specific ones and hands the
  // file system the caller's access state.
  RtlMapGenericMask(&DesiredAccess, IoGetFileObjectGenericMapping());
  ACCESS_STATE AccessState{};
  AccessState.RemainingDesiredAccess = AccessState.OriginalDesiredAccess = DesiredAccess;
  AccessState.SubjectSecurityContext.PrimaryToken = HkCallerToken();
  IO_SECURITY_CONTEXT Security{nullptr, &AccessState, DesiredAccess, CreateOptions};
  Irp->Flags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API | IRP_DEFER_IO_COMPLETION;
  Irp->RequestorMode = UserMode;
  Irp->UserIosb = Iosb;
  Irp->UserEvent = &Done;
  Irp->Tail.Overlay.Thread = PsGetCurrentThread();
  Irp->AssociatedIrp.SystemBuffer = EaBuffer;
  if (AllocationSize) Irp->Overlay.AllocationSize = *AllocationSize;
  PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
  Stack->MajorFunction = IRP_MJ_CREATE;
  Stack->Flags = StackFlags | ((Attributes->Attributes & OBJ_CASE_INSENSITIVE) ? 0 : SL_CASE_SENSITIVE);
  Stack->Parameters.Create.SecurityContext = &Security;
  Stack->Parameters.Create.Options = (Disposition << 24) | (CreateOptions & 0x00FFFFFF);
  Stack->Parameters.Create.FileAttributes = (USHORT)FileAttributes;
  Stack->Parameters.Create.ShareAccess = (USHORT)ShareAccess;
  Stack->Parameters.Create.EaLength = EaLength;
  Stack->FileObject = FileObject;
  return SendAndWait(Open.Target, Irp, &Done, Iosb);
}

// What one request service needs: the major and minor function, the IRP's flags, and
// a routine that fills the stack location and the buffers (and may raise when a buffer
// fails its probe).
struct Request {
  UCHAR Major;
  UCHAR Minor;
  ULONG IrpFlags;
  bool AlwaysSynchronous;
  std::function<void(PIRP, PIO_STACK_LOCATION, PDEVICE_OBJECT)> Setup;
};

void ReleaseUnsentIrp(PIRP Irp) {
  if (Irp->Tail.Overlay.AuxiliaryBuffer) ExFreePool(Irp->Tail.Overlay.AuxiliaryBuffer);
  if (Irp->Flags & IRP_DEALLOCATE_BUFFER) ExFreePoolWithTag(Irp->AssociatedIrp.SystemBuffer, BufferTag);
  while (PMDL Mdl = Irp->MdlAddress) {
    Irp->MdlAddress = Mdl->Next;
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(Mdl);
    IoFreeMdl(Mdl);
  }
  IoFreeIrp(Irp);
}

// A synchronous handle runs one request at a time: the I/O manager holds the file object's
// lock from the request's start to its end, and the requests of other threads wait for
// it. Without it two waiters on the file object's one event could wake for each other's
// completions.
void AcquireFileObjectLock(PFILE_OBJECT FileObject) {
  std::unique_lock<std::mutex> Lock(hk::DispatcherLock());
  FileObject->Waiters++;
  hk::WaitUntil(Lock, [FileObject] { return FileObject->Busy == 0; }, "a synchronous handle's other request");
  FileObject->Waiters--;
  FileObject->Busy = 1;
}

void ReleaseFileObjectLock(PFILE_OBJECT FileObject) {
  std::lock_guard<std::mutex> Lock(hk::DispatcherLock());
  FileObject->Busy = 0;
  hk::WakeWaiters();
}

NTSTATUS SendOne(PFILE_OBJECT FileObject, HANDLE CallerEvent, PIO_STATUS_BLOCK Iosb, const Request& What);

NTSTATUS Send(HANDLE Handle, HANDLE CallerEvent, PIO_STATUS_BLOCK Iosb, const Request& What) {
  PFILE_OBJECT FileObject = HkFileObjectOf(Handle);
  if (!FileObject) return STATUS_INVALID_HANDLE;
  bool SynchronousHandle = FileObject->Flags & FO_SYNCHRONOUS_IO;
  if (SynchronousHandle) AcquireFileObjectLock(FileObject);
  NTSTATUS Status = SendOne(FileObject, CallerEvent, Iosb, What);
  if (SynchronousHandle) ReleaseFileObjectLock(FileObject);
  return Status;
}

// Builds the request on FileObject, sends it and, when it is to be waited for, waits.
NTSTATUS SendOne(PFILE_OBJECT FileObject, HANDLE CallerEvent, PIO_STATUS_BLOCK Iosb, const Request& What) {
  ObReferenceObject(FileObject);
  PDEVICE_OBJECT Device = IoGetRelatedDeviceObject(FileObject);
  PIRP Irp = IoAllocateIrp(Device->StackSize, FALSE);
  if (!Irp) {
    ObDereferenceObject(FileObject);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  bool SynchronousHandle = FileObject->Flags & FO_SYNCHRONOUS_IO;
  bool Wait = SynchronousHandle || What.AlwaysSynchronous;
  KEVENT Local;
  KeInitializeEvent(&Local, NotificationEvent, FALSE);
  PKEVENT Event = (PKEVENT)CallerEvent;
  if (Event) KeClearEvent(Event);
  if (What.AlwaysSynchronous && !SynchronousHandle) Event = &Local;
  if (SynchronousHandle) KeClearEvent(&FileObject->Event);
  Irp->Flags = What.IrpFlags | (Wait ? IRP_SYNCHRONOUS_API : 0);
  Irp->RequestorMode = UserMode;
  Irp->UserIosb = Iosb;
  Irp->UserEvent = Event;
  Irp->Tail.Overlay.Thread = PsGetCurrentThread();
  Irp->Tail.Overlay.OriginalFileObject = FileObject;
  PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
  Stack->MajorFunction = What.Major;
  Stack->MinorFunction = What.Minor;
  Stack->FileObject = FileObject;
  try {
    What.Setup(Irp, Stack, Device);
  } catch (const NtException& Raised) {
    ReleaseUnsentIrp(Irp);
    ObDereferenceObject(FileObject);
    return Raised.Record.ExceptionCode;
  }
  if (!PsGetCurrentThread()->SystemThread) hk::TrackRequest(Irp);
  NTSTATUS Status = IoCallDriver(Device, Irp);
  if (Status == STATUS_PENDING && Wait) {
    KeWaitForSingleObject(Event ? Event : &FileObject->Event, Executive, UserMode, FALSE, nullptr);
    Status = Iosb->Status;
  }
  LeaveService();
  return Status;
}

// The buffering of device and file-system controls by their method.
void SetUpControlBuffers(PIRP Irp, PIO_STACK_LOCATION Stack, ULONG Code, PVOID Input, ULONG InputLength,
                         PVOID Output, ULONG OutputLength) {
  Stack->Parameters.DeviceIoControl.IoControlCode = Code;
  Stack->Parameters.DeviceIoControl.InputBufferLength = InputLength;
  Stack->Parameters.DeviceIoControl.OutputBufferLength = OutputLength;
  ULONG Method = METHOD_FROM_CTL_CODE(Code);
  if (Method == METHOD_NEITHER) {
    Stack->Parameters.DeviceIoControl.Type3InputBuffer = Input;
    Irp->UserBuffer = Output;
    return;
  }
  ULONG SystemLength = Method == METHOD_BUFFERED ? Max(InputLength, OutputLength) : InputLength;
  if (SystemLength) {
    Irp->AssociatedIrp.SystemBuffer =
        ExAllocatePoolWithTag(NonPagedPoolNx | POOL_RAISE_IF_ALLOCATION_FAILURE, SystemLength, BufferTag);
    Irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    if (InputLength) std::memcpy(Irp->AssociatedIrp.SystemBuffer, Input, InputLength);
  }
  if (Method == METHOD_BUFFERED) {
    if (OutputLength) Irp->Flags |= IRP_INPUT_OPERATION;
    Irp->UserBuffer = Output;
  } else if (OutputLength) {
    PMDL Mdl = IoAllocateMdl(Output, OutputLength, FALSE, FALSE, Irp);
    if (!Mdl) ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    MmProbeAndLockPages(Mdl, UserMode, Method == METHOD_OUT_DIRECT ? IoWriteAccess : IoReadAccess);
  }
}

// The caller's data buffer as the target device wants it: copied through a system
// buffer, described by an MDL, or passed as it is.
void SetUpDataBuffer(PIRP Irp, PDEVICE_OBJECT Target, PVOID Buffer, ULONG Length, bool DeviceWrites) {
  if (Target->Flags & DO_BUFFERED_IO) {
    Irp->AssociatedIrp.SystemBuffer =
        ExAllocatePoolWithTag(NonPagedPoolNx | POOL_RAISE_IF_ALLOCATION_FAILURE, Length, BufferTag);
    Irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (DeviceWrites ? IRP_INPUT_OPERATION : 0);
    if (!DeviceWrites) std::memcpy(Irp->AssociatedIrp.SystemBuffer, Buffer, Length);
    Irp->UserBuffer = Buffer;
  } else if (Target->Flags & DO_DIRECT_IO) {
    PMDL Mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, Irp);
    if (!Mdl) ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    MmProbeAndLockPages(Mdl, UserMode, DeviceWrites ? IoWriteAccess : IoReadAccess);
  } else {
    Irp->UserBuffer = Buffer;
  }
}

// A copy of a caller's parameter that lives as long as the IRP.
template <typename Value>
Value* CaptureForIrp(PIRP Irp, const Value& Original, SIZE_T Extra = 0) {
  auto* Copy = (Value*)ExAllocatePoolWithTag(PagedPool | POOL_RAISE_IF_ALLOCATION_FAILURE, sizeof(Value) + Extra, NameTag);
  std::memcpy(Copy, &Original, sizeof(Value));
  Irp->Tail.Overlay.AuxiliaryBuffer = (PCHAR)Copy;
  return Copy;
}

void SetUpBufferedInput(PIRP Irp, ULONG Length, PVOID Input) {
  Irp->AssociatedIrp.SystemBuffer =
      ExAllocatePoolWithTag(NonPagedPoolNx | POOL_RAISE_IF_ALLOCATION_FAILURE, Length, BufferTag);
  Irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
  std::memcpy(Irp->AssociatedIrp.SystemBuffer, Input, Length);
}

// Calls a fast-I/O entry of the file's driver when it has one; true when it served the
// request (the result is then in the status block).
template <typename Entry, typename... Arguments>
bool TryFastIo(PFILE_OBJECT FileObject, Entry FAST_IO_DISPATCH::*Member, Arguments... Values) {
  PDEVICE_OBJECT Device = IoGetRelatedDeviceObject(FileObject);
  PFAST_IO_DISPATCH FastIo = Device->DriverObject->FastIoDispatch;
  if (!FastIo || !(FastIo->*Member)) return false;
  BOOLEAN Served = hk::NoThrowBarrier([&] { return (FastIo->*Member)(FileObject, Values..., Device); });
  CheckServiceExit();
  return Served != FALSE;
}

void SetUpBufferedOutput(PIRP Irp, ULONG Length, PVOID Output) {
  Irp->AssociatedIrp.SystemBuffer =
      ExAllocatePoolWithTag(NonPagedPoolNx | POOL_RAISE_IF_ALLOCATION_FAILURE, Length, BufferTag);
  Irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION;
  Irp->UserBuffer = Output;
}

}  // namespace

// Offers the device to each registered file system of its kind until one mounts it. Each
// mount request carries a reference on the target device that a file system keeping the
// mount takes over; a failed mount leaves it to be dropped here. A file system may give the
// device another VPB (of a volume it revives, or a fresh one when it keeps the offered one,
// which it then frees): the next file system is offered the device's current VPB.
NTSTATUS hk::MountIfNeeded(PDEVICE_OBJECT Device) {
  if (Device->Vpb->Flags & VPB_MOUNTED) return STATUS_SUCCESS;
  for (PDEVICE_OBJECT FileSystem : HkRegisteredFileSystems()) {
    if (FileSystem->DeviceType != FileSystemTypeFor(Device)) continue;
    PVPB Offered = Device->Vpb;
    PDEVICE_OBJECT Target = IoGetAttachedDevice(Device);
    ObReferenceObject(Target);
    NTSTATUS Status = SendVolumeRequest(FileSystem, IRP_MN_MOUNT_VOLUME, 0, Offered, Device);
    if (!NT_SUCCESS(Status)) ObDereferenceObject(Target);
    if (NT_SUCCESS(Status)) {
      Device->Vpb->Flags |= VPB_MOUNTED;
      Device->Flags &= ~DO_VERIFY_VOLUME;
      return STATUS_SUCCESS;
    }
    if (Status != STATUS_UNRECOGNIZED_VOLUME) return Status;
  }
  return STATUS_UNRECOGNIZED_VOLUME;
}

NTSTATUS HkMount(PDEVICE_OBJECT Device) { return hk::MountIfNeeded(Device); }

namespace {
OBJECT_TYPE* FileObjectTypeRecord = reinterpret_cast<OBJECT_TYPE*>(&FileObjectTypeRecord);
}  // namespace
POBJECT_TYPE* IoFileObjectType = &FileObjectTypeRecord;

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   OBJECT_HANDLE_INFORMATION* HandleInformation) {
  UNREFERENCED_PARAMETER(DesiredAccess);
  UNREFERENCED_PARAMETER(AccessMode);
  UNREFERENCED_PARAMETER(HandleInformation);
  *Object = nullptr;
  if (ObjectType != nullptr && ObjectType != *IoFileObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
  HandleTable& Table = Handles();
  std::lock_guard<std::mutex> Lock(Table.Lock);
  auto Found = Table.Handles.find(Handle);
  if (Found == Table.Handles.end()) return STATUS_INVALID_HANDLE;
  ObReferenceObject(Found->second);
  *Object = Found->second;
  return STATUS_SUCCESS;
}

NTSTATUS hk::SendVolumeRequest(PDEVICE_OBJECT Target, UCHAR MinorFunction, UCHAR StackFlags, PVPB Vpb,
                               PDEVICE_OBJECT RealDevice) {
  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK Iosb{};
  PIRP Irp = IoAllocateIrp(Target->StackSize, FALSE);
  if (!Irp) return STATUS_INSUFFICIENT_RESOURCES;
  Irp->Flags = IRP_MOUNT_COMPLETION | IRP_SYNCHRONOUS_PAGING_IO;
  Irp->UserIosb = &Iosb;
  Irp->UserEvent = &Done;
  Irp->Tail.Overlay.Thread = PsGetCurrentThread();
  PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
  Stack->MajorFunction = IRP_MJ_FILE_SYSTEM_CONTROL;
  Stack->MinorFunction = MinorFunction;
  Stack->Flags |= StackFlags;
  // Mount and verify carry the VPB and a device in the same places: for a mount the device
  // to mount on, for a verify the volume device to verify.
  Stack->Parameters.MountVolume.Vpb = Vpb;
  Stack->Parameters.MountVolume.DeviceObject =
      MinorFunction == IRP_MN_VERIFY_VOLUME ? Vpb->DeviceObject : IoGetAttachedDevice(RealDevice);
  return SendAndWait(Target, Irp, &Done, &Iosb);
}

NTSTATUS NtCancelIoFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock) {
  PFILE_OBJECT FileObject = HkFileObjectOf(FileHandle);
  if (!FileObject) return STATUS_INVALID_HANDLE;
  for (PIRP Irp : hk::TrackedRequests(PsGetCurrentThread(), FileObject)) IoCancelIrp(Irp);
  *IoStatusBlock = IO_STATUS_BLOCK{};
  LeaveService();
  return STATUS_SUCCESS;
}

PFILE_OBJECT HkFileObjectOf(HANDLE Handle) {
  HandleTable& Table = Handles();
  std::lock_guard<std::mutex> Lock(Table.Lock);
  auto Found = Table.Handles.find(Handle);
  return Found == Table.Handles.end() ? nullptr : Found->second;
}

static NTSTATUS CreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                           PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                           ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                           ULONG EaLength, UCHAR StackFlags) {
  *FileHandle = nullptr;
  ULONG Flags = (CreateOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) ? FO_SYNCHRONOUS_IO : 0;
  if (CreateOptions & FILE_NO_INTERMEDIATE_BUFFERING) Flags |= FO_NO_INTERMEDIATE_BUFFERING;
  if (CreateOptions & FILE_SEQUENTIAL_ONLY) Flags |= FO_SEQUENTIAL_ONLY;
  if (CreateOptions & FILE_RANDOM_ACCESS) Flags |= FO_RANDOM_ACCESS;
  for (int Attempt = 0; Attempt < MaximumRemounts; ++Attempt) {
    OpenTarget Open{};
    NTSTATUS Status = FindOpenTarget(ObjectAttributes, &Open);
    if (!NT_SUCCESS(Status)) return Status;
    PFILE_OBJECT FileObject = NewFileObject(Open.Device, Open.Vpb, Open.Name, Flags);
    FileObject->RelatedFileObject = Open.Related;
    Status = SendCreate(Open, FileObject, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize,
                        FileAttributes, ShareAccess, CreateDisposition, CreateOptions, EaBuffer, EaLength, StackFlags);
    if (NT_SUCCESS(Status) && Status != STATUS_REPARSE) {
      FileObject->Flags |= FO_FILE_OPEN | FO_HANDLE_CREATED;
      *FileHandle = InsertHandle(FileObject);
      return Status;
    }
    // The file system did not take the open: the file object goes without a close.
    ObDereferenceObject(FileObject);
    if (Status != STATUS_REPARSE || IoStatusBlock->Information != IO_REMOUNT) return Status;
  }
  return STATUS_REPARSE;
}

NTSTATUS NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                      ULONG EaLength) {
  NTSTATUS Status = CreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize,
                               FileAttributes, ShareAccess, CreateDisposition, CreateOptions, EaBuffer, EaLength, 0);
  LeaveService();
  return Status;
}

// The options a caller in the kernel may add to an open. Their bits are those of the
// stack location's flags they become.
NTSTATUS IoCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG Disposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength,
                      CREATE_FILE_TYPE CreateFileType, PVOID InternalParameters, ULONG Options) {
  if (CreateFileType != CreateFileTypeNone || InternalParameters != nullptr)
    hk::Violation("IoCreateFile of a named pipe or mailslot, which this system does not have");
  if (Options & ~(ULONG)(IO_FORCE_ACCESS_CHECK | IO_OPEN_TARGET_DIRECTORY))
    hk::Violation("IoCreateFile option 0x%lx, which this system does not offer", (unsigned long)Options);
  NTSTATUS Status = CreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize,
                               FileAttributes, ShareAccess, Disposition, CreateOptions, EaBuffer, EaLength,
                               (UCHAR)Options);
  LeaveService();
  return Status;
}

NTSTATUS NtClose(HANDLE Handle) {
  PFILE_OBJECT FileObject = TakeHandle(Handle);
  if (!FileObject) return STATUS_INVALID_HANDLE;
  if ((FileObject->Flags & FO_FILE_OPEN) && !(FileObject->Flags & FO_CLEANUP_COMPLETE)) {
    PDEVICE_OBJECT Device = IoGetRelatedDeviceObject(FileObject);
    PIRP Irp = IoAllocateIrp(Device->StackSize, FALSE);
    if (!Irp) KeBugCheckEx(NO_MORE_IRP_STACK_LOCATIONS, 0, 0, 0, 0);
    KEVENT Done;
    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK Iosb{};
    Irp->Flags = IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
    Irp->UserIosb = &Iosb;
    Irp->UserEvent = &Done;
    Irp->Tail.Overlay.Thread = PsGetCurrentThread();
    PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
    Stack->MajorFunction = IRP_MJ_CLEANUP;
    Stack->FileObject = FileObject;
    SendAndWait(Device, Irp, &Done, &Iosb);
    FileObject->Flags |= FO_CLEANUP_COMPLETE;
  }
  ObDereferenceObject(FileObject);
  LeaveService();
  return STATUS_SUCCESS;
}

NTSTATUS NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PVOID, PVOID, PIO_STATUS_BLOCK IoStatusBlock,
                               ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                               PVOID OutputBuffer, ULONG OutputBufferLength) {
  PFILE_OBJECT FileObject = HkFileObjectOf(FileHandle);
  if (!FileObject) return STATUS_INVALID_HANDLE;
  if (TryFastIo(FileObject, &FAST_IO_DISPATCH::FastIoDeviceControl, (BOOLEAN)TRUE, InputBuffer, InputBufferLength,
                OutputBuffer, OutputBufferLength, IoControlCode, IoStatusBlock))
    return IoStatusBlock->Status;
  UserBuffers Buffers;
  Buffers.Add(InputBuffer, InputBufferLength, false);
  Buffers.Add(OutputBuffer, OutputBufferLength, true);
  return Send(FileHandle, Event, IoStatusBlock,
              Request{IRP_MJ_DEVICE_CONTROL, 0, 0, false, [&](PIRP Irp, PIO_STACK_LOCATION Stack, PDEVICE_OBJECT) {
                        SetUpControlBuffers(Irp, Stack, IoControlCode, InputBuffer, InputBufferLength,
                                            OutputBuffer, OutputBufferLength);
                      }});
}

NTSTATUS NtFsControlFile(HANDLE FileHandle, HANDLE Event, PVOID, PVOID, PIO_STATUS_BLOCK IoStatusBlock,
                         ULONG FsControlCode, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                         ULONG OutputBufferLength) {
  UserBuffers Buffers;
  Buffers.Add(InputBuffer, InputBufferLength, false);
  Buffers.Add(OutputBuffer, OutputBufferLength, true);
  return Send(FileHandle, Event, IoStatusBlock,
              Request{IRP_MJ_FILE_SYSTEM_CONTROL, IRP_MN_USER_FS_REQUEST, 0, false,
                      [&](PIRP Irp, PIO_STACK_LOCATION Stack, PDEVICE_OBJECT) {
                        SetUpControlBuffers(Irp, Stack, FsControlCode, InputBuffer, InputBufferLength,
                                            OutputBuffer, OutputBufferLength);
                      }});
}

NTSTATUS NtReadFile(HANDLE FileHandle, HANDLE Event, PVOID, PVOID, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                    ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key) {
  PFILE_OBJECT FileObject = HkFileObjectOf(FileHandle);
  if (!FileObject) return STATUS_INVALID_HANDLE;
  LARGE_INTEGER Offset = FileObject->CurrentByteOffset;
  if (ByteOffset && ByteOffset->QuadPart != FILE_USE_FILE_POINTER_POSITION) Offset = *ByteOffset;
  UserBuffers Buffers;
  Buffers.Add(Buffer, Length, true);
  // Windows tries the fast path first once the file is cached.
  if (FileObject->PrivateCacheMap &&
      TryFastIo(FileObject, &FAST_IO_DISPATCH::FastIoRead, &Offset, Length, (BOOLEAN)TRUE, Key ? *Key : 0, Buffer,
                IoStatusBlock))
    return IoStatusBlock->Status;
  ULONG Flags = IRP_READ_OPERATION | ((FileObject->Flags & FO_NO_INTERMEDIATE_BUFFERING) ? IRP_NOCACHE : 0);
  return Send(FileHandle, Event, IoStatusBlock,
              Request{IRP_MJ_READ, IRP_MN_NORMAL, Flags, false, [&](PIRP Irp, PIO_STACK_LOCATION Stack, PDEVICE_OBJECT Target) {
                        Stack->Parameters.Read.Length = Length;
                        Stack->Parameters.Read.Key = Key ? *Key : 0;
                        Stack->Parameters.Read.ByteOffset = Offset;
                        SetUpDataBuffer(Irp, Target, Buffer, Length, true);
                      }});
}

NTSTATUS NtQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                ULONG Length, FILE_INFORMATION_CLASS FileInformationClass) {
  PFILE_OBJECT FileObject = HkFileObjectOf(FileHandle);
  if (!FileObject) return STATUS_INVALID_HANDLE;
  // The basic and standard classes are asked of the fast path first.
  if (FileInformationClass == FileBasicInformation && Length >= sizeof(FILE_BASIC_INFORMATION) &&
      TryFastIo(FileObject, &FAST_IO_DISPATCH::FastIoQueryBasicInfo, (BOOLEAN)TRUE,
                (PFILE_BASIC_INFORMATION)FileInformation, IoStatusBlock))
    return IoStatusBlock->Status;
  if (FileInformationClass == FileStandardInformation && Length >= sizeof(FILE_STANDARD_INFORMATION) &&
      TryFastIo(FileObject, &FAST_IO_DISPATCH::FastIoQueryStandardInfo, (BOOLEAN)TRUE,
                (PFILE_STANDARD_INFORMATION)FileInformation, IoStatusBlock))
    return IoStatusBlock->Status;
  UserBuffers Buffers;
  Buffers.Add(FileInformation, Length, true);
  return Send(FileHandle, nullptr, IoStatusBlock,
              Request{IRP_MJ_QUERY_INFORMATION, 0, 0, true, [&](PIRP Irp, PIO_STACK_LOCATION Stack, PDEVICE_OBJECT) {
                        Stack->Parameters.QueryFile.Length = Length;
                        Stack->Parameters.QueryFile.FileInformationClass = FileInformationClass;
                        SetUpBufferedOutput(Irp, Length, FileInformation);
                      }});
}

NTSTATUS NtQueryVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FsInformation,
                                      ULONG Length, FS_INFORMATION_CLASS FsInformationClass) {
  UserBuffers Buffers;
  Buffers.Add(FsInformation, Length, true);
  return Send(FileHandle, nullptr, IoStatusBlock,
              Request{IRP_MJ_QUERY_VOLUME_INFORMATION, 0, 0, true,
                      [&](PIRP Irp, PIO_STACK_LOCATION Stack, PDEVICE_OBJECT) {
                        Stack->Parameters.QueryVolume.Length = Length;
                        Stack->Parameters.QueryVolume.FsInformationClass = FsInformationClass;
                        SetUpBufferedOutput(Irp, Length, FsInformation);
                      }});
}

NTSTATUS NtFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock) {
  return Send(FileHandle, nullptr, IoStatusBlock,
              Request{IRP_MJ_FLUSH_BUFFERS, 0, 0, true, [](PIRP, PIO_STACK_LOCATION, PDEVICE_OBJECT) {}});
}

NTSTATUS NtSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                              ULONG Length, FILE_INFORMATION_CLASS FileInformationClass) {
  return Send(FileHandle, nullptr, IoStatusBlock,
              Request{IRP_MJ_SET_INFORMATION, 0, 0, true, [&](PIRP Irp, PIO_STACK_LOCATION Stack, PDEVICE_OBJECT) {
                        Stack->Parameters.SetFile.Length = Length;
                        Stack->Parameters.SetFile.FileInformationClass = FileInformationClass;
                        SetUpBufferedInput(Irp, Length, FileInformation);
                      }});
}

NTSTATUS NtSetVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FsInformation,
                                    ULONG Length, FS_INFORMATION_CLASS FsInformationClass) {
  return Send(FileHandle, nullptr, IoStatusBlock,
              Request{IRP_MJ_SET_VOLUME_INFORMATION, 0, 0, true,
                      [&](PIRP Irp, PIO_STACK_LOCATION Stack, PDEVICE_OBJECT) {
                        Stack->Parameters.SetVolume.Length = Length;
                        Stack->Parameters.SetVolume.FsInformationClass = FsInformationClass;
                        SetUpBufferedInput(Irp, Length, FsInformation);
                      }});
}

NTSTATUS NtQueryDirectoryFile(HANDLE FileHandle, HANDLE Event, PVOID, PVOID, PIO_STATUS_BLOCK IoStatusBlock,
                              PVOID FileInformation, ULONG Length, FILE_INFORMATION_CLASS FileInformationClass,
                              BOOLEAN ReturnSingleEntry, PUNICODE_STRING FileName, BOOLEAN RestartScan) {
  UserBuffers Buffers;
  Buffers.Add(FileInformation, Length, true);
  return Send(FileHandle, Event, IoStatusBlock,
              Request{IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY, 0, false,
                      [&](PIRP Irp, PIO_STACK_LOCATION Stack, PDEVICE_OBJECT Target) {
                        Stack->Flags = (RestartScan ? SL_RESTART_SCAN : 0) | (ReturnSingleEntry ? SL_RETURN_SINGLE_ENTRY : 0);
                        Stack->Parameters.QueryDirectory.Length = Length;
                        Stack->Parameters.QueryDirectory.FileInformationClass = FileInformationClass;
                        if (FileName) {
                          // The name is captured with its characters right after the string.
                          UNICODE_STRING* Name = CaptureForIrp(Irp, *FileName, FileName->Length);
                          Name->Buffer = (PWSTR)(Name + 1);
                          Name->MaximumLength = Name->Length;
                          std::memcpy(Name->Buffer, FileName->Buffer, FileName->Length);
                          Stack->Parameters.QueryDirectory.FileName = Name;
                        }
                        SetUpDataBuffer(Irp, Target, FileInformation, Length, true);
                      }});
}

NTSTATUS NtNotifyChangeDirectoryFile(HANDLE FileHandle, HANDLE Event, PVOID, PVOID, PIO_STATUS_BLOCK IoStatusBlock,
                                     PVOID Buffer, ULONG Length, ULONG CompletionFilter, BOOLEAN WatchTree) {
  UserBuffers Buffers;
  Buffers.Add(Buffer, Length, true);
  return Send(FileHandle, Event, IoStatusBlock,
              Request{IRP_MJ_DIRECTORY_CONTROL, IRP_MN_NOTIFY_CHANGE_DIRECTORY, 0, false,
                      [&](PIRP Irp, PIO_STACK_LOCATION Stack, PDEVICE_OBJECT Target) {
                        Stack->Flags = WatchTree ? SL_WATCH_TREE : 0;
                        Stack->Parameters.NotifyDirectory.Length = Length;
                        Stack->Parameters.NotifyDirectory.CompletionFilter = CompletionFilter;
                        if (Length) SetUpDataBuffer(Irp, Target, Buffer, Length, true);
                      }});
}

NTSTATUS NtLockFile(HANDLE FileHandle, HANDLE Event, PVOID, PVOID, PIO_STATUS_BLOCK IoStatusBlock,
                    PLARGE_INTEGER ByteOffset, PLARGE_INTEGER Length, ULONG Key, BOOLEAN FailImmediately,
                    BOOLEAN ExclusiveLock) {
  PFILE_OBJECT FileObject = HkFileObjectOf(FileHandle);
  if (!FileObject) return STATUS_INVALID_HANDLE;
  if (TryFastIo(FileObject, &FAST_IO_DISPATCH::FastIoLock, ByteOffset, Length, PsGetCurrentProcess(), Key,
                FailImmediately, ExclusiveLock, IoStatusBlock))
    return IoStatusBlock->Status;
  return Send(FileHandle, Event, IoStatusBlock,
              Request{IRP_MJ_LOCK_CONTROL, IRP_MN_LOCK, 0, false, [&](PIRP Irp, PIO_STACK_LOCATION Stack, PDEVICE_OBJECT) {
                        Stack->Flags = (FailImmediately ? SL_FAIL_IMMEDIATELY : 0) | (ExclusiveLock ? SL_EXCLUSIVE_LOCK : 0);
                        Stack->Parameters.LockControl.Length = CaptureForIrp(Irp, *Length);
                        Stack->Parameters.LockControl.Key = Key;
                        Stack->Parameters.LockControl.ByteOffset = *ByteOffset;
                      }});
}

NTSTATUS NtUnlockFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER ByteOffset,
                      PLARGE_INTEGER Length, ULONG Key) {
  PFILE_OBJECT FileObject = HkFileObjectOf(FileHandle);
  if (!FileObject) return STATUS_INVALID_HANDLE;
  if (TryFastIo(FileObject, &FAST_IO_DISPATCH::FastIoUnlockSingle, ByteOffset, Length, PsGetCurrentProcess(), Key,
                IoStatusBlock))
    return IoStatusBlock->Status;
  return Send(FileHandle, nullptr, IoStatusBlock,
              Request{IRP_MJ_LOCK_CONTROL, IRP_MN_UNLOCK_SINGLE, 0, true,
                      [&](PIRP Irp, PIO_STACK_LOCATION Stack, PDEVICE_OBJECT) {
                        Stack->Parameters.LockControl.Length = CaptureForIrp(Irp, *Length);
                        Stack->Parameters.LockControl.Key = Key;
                        Stack->Parameters.LockControl.ByteOffset = *ByteOffset;
                      }});
}

HANDLE HkInsertHandle(PDEVICE_OBJECT Device, PVOID FsContext, PVOID FsContext2, ULONG Flags) {
  PVPB Vpb = (Device->Vpb && (Device->Vpb->Flags & VPB_MOUNTED)) ? Device->Vpb : nullptr;
  PFILE_OBJECT FileObject = NewFileObject(Device, Vpb, u"", Flags);
  FileObject->FsContext = FsContext;
  FileObject->FsContext2 = FsContext2;
  return InsertHandle(FileObject);
}

void HkDropHandle(HANDLE Handle) {
  PFILE_OBJECT FileObject = TakeHandle(Handle);
  if (FileObject) ObDereferenceObject(FileObject);
}
