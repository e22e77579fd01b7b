// The driver's load-time initialisation: the two file-system control devices, the
// dispatch and fast-I/O tables, the filter callbacks, GlobalData and the lookaside lists.
#include "QdrlProcs.h"

namespace {

// Creates the control device Name of Type, without an extension; returns the I/O
// manager's status.
NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject, const WCHAR* Name, DEVICE_TYPE Type,
                             PDEVICE_OBJECT* Device) {
  UNICODE_STRING DeviceName;
  DeviceName.Buffer = (PWSTR)Name;
  DeviceName.Length = 0;
  while (Name[DeviceName.Length / sizeof(WCHAR)]) DeviceName.Length += sizeof(WCHAR);
  DeviceName.MaximumLength = DeviceName.Length;
  return IoCreateDevice(DriverObject, 0, &DeviceName, Type, 0, FALSE, Device);
}

// Points every served major function at its dispatch routine; the others keep the I/O
// manager's default, which fails the request with STATUS_INVALID_DEVICE_REQUEST.
void FillDispatchTable(PDRIVER_OBJECT DriverObject) {
  PDRIVER_DISPATCH* Table = DriverObject->MajorFunction;
  Table[IRP_MJ_CREATE] = FsdCreate;
  Table[IRP_MJ_CLOSE] = FsdClose;
  Table[IRP_MJ_READ] = FsdRead;
  Table[IRP_MJ_WRITE] = FsdWrite;
  Table[IRP_MJ_QUERY_INFORMATION] = FsdQueryInformation;
  Table[IRP_MJ_SET_INFORMATION] = FsdSetInformation;
  Table[IRP_MJ_QUERY_EA] = FsdQuerySetEa;
  Table[IRP_MJ_SET_EA] = FsdQuerySetEa;
  Table[IRP_MJ_FLUSH_BUFFERS] = FsdFlushBuffers;
  Table[IRP_MJ_QUERY_VOLUME_INFORMATION] = FsdQueryVolumeInformation;
  Table[IRP_MJ_SET_VOLUME_INFORMATION] = FsdSetInformation;
  Table[IRP_MJ_DIRECTORY_CONTROL] = FsdDirectoryControl;
  Table[IRP_MJ_FILE_SYSTEM_CONTROL] = FsdFileSystemControl;
  Table[IRP_MJ_DEVICE_CONTROL] = FsdDeviceControl;
  Table[IRP_MJ_SHUTDOWN] = FsdShutdown;
  Table[IRP_MJ_LOCK_CONTROL] = FsdLockControl;
  Table[IRP_MJ_CLEANUP] = FsdCleanup;
  Table[IRP_MJ_PNP] = FsdPnp;
}

// Zeroes the fast-I/O table, sets its size and the members the run-time library serves.
// Members for the driver's own fast-I/O routines stay null while those routines are not
// part of it: the I/O manager then takes the IRP path.
void FillFastIoTable(PDRIVER_OBJECT DriverObject) {
  PFAST_IO_DISPATCH FastIo = &QdrlFastIoDispatch;
  RtlZeroMemory(FastIo, sizeof(FAST_IO_DISPATCH));
  FastIo->SizeOfFastIoDispatch = sizeof(FAST_IO_DISPATCH);
  FastIo->FastIoCheckIfPossible = FastCheckIfPossible;
  FastIo->FastIoLock = FastLock;
  FastIo->FastIoUnlockSingle = FastUnlockSingle;
  FastIo->FastIoUnlockAll = FastUnlockAll;
  FastIo->FastIoUnlockAllByKey = FastUnlockAllByKey;
  FastIo->FastIoRead = FsRtlCopyRead;
  FastIo->FastIoWrite = FsRtlCopyWrite;
  FastIo->FastIoQueryBasicInfo = FastQueryBasicInfo;
  FastIo->FastIoQueryStandardInfo = FastQueryStandardInfo;
  FastIo->FastIoQueryNetworkOpenInfo = FastQueryNetworkOpenInfo;
  FastIo->MdlRead = FsRtlMdlReadDev;
  FastIo->MdlReadComplete = FsRtlMdlReadCompleteDev;
  FastIo->PrepareMdlWrite = FsRtlPrepareMdlWriteDev;
  FastIo->MdlWriteComplete = FsRtlMdlWriteCompleteDev;
  FastIo->AcquireForCcFlush = AcquireForCcFlush;
  FastIo->ReleaseForCcFlush = ReleaseForCcFlush;
  DriverObject->FastIoDispatch = FastIo;
}

// Registers the driver's filter callbacks: only the section synchronisation.
NTSTATUS RegisterFilterCallbacks(PDRIVER_OBJECT DriverObject) {
  static FS_FILTER_CALLBACKS Callbacks;
  RtlZeroMemory(&Callbacks, sizeof(Callbacks));
  Callbacks.SizeOfFsFilterCallbacks = sizeof(FS_FILTER_CALLBACKS);
  Callbacks.PreAcquireForSectionSynchronization = PreAcquireForSectionSync;
  return FsRtlRegisterFileSystemFilterCallbacks(DriverObject, &Callbacks);
}

void InitializeGlobalData(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT DiskDevice, PDEVICE_OBJECT CdRomDevice) {
  RtlZeroMemory(&GlobalData, sizeof(GlobalData));
  InitializeListHead(&GlobalData.VcbList);
  InitializeListHead(&GlobalData.AsyncCloseList);
  InitializeListHead(&GlobalData.DelayedCloseList);
  GlobalData.NodeTypeCode = NODE_TYPE_GLOBAL_DATA;
  GlobalData.NodeByteSize = sizeof(GLOBAL_DATA);
  GlobalData.DriverObject = DriverObject;
  GlobalData.DiskFsDevice = DiskDevice;
  GlobalData.CdRomFsDevice = CdRomDevice;
  GlobalData.CacheCallbacks.AcquireForLazyWrite = AcquireForLazyWrite;
  GlobalData.CacheCallbacks.ReleaseFromLazyWrite = ReleaseFromLazyWrite;
  GlobalData.CacheCallbacks.AcquireForReadAhead = AcquireForReadAhead;
  GlobalData.CacheCallbacks.ReleaseFromReadAhead = ReleaseFromReadAhead;
}

// The delayed-close limit and the lookaside depth grow with the system.
USHORT SizeLimitsFromSystem() {
  switch (MmQuerySystemSize()) {
    case MmSmallSystem:
      MaxDelayedCloses = 16;
      return 4;
    case MmMediumSystem:
      MaxDelayedCloses = 64;
      return 8;
    default:
      MaxDelayedCloses = 256;
      return 16;
  }
}

void InitializeLookasideLists(USHORT Depth) {
  const ULONG Flags = POOL_NX_ALLOCATION | POOL_RAISE_IF_ALLOCATION_FAILURE;
  ExInitializeNPagedLookasideList(&IrpContextLookaside, nullptr, nullptr, Flags, sizeof(IRP_CONTEXT),
                                  TAG_IRP_CONTEXT, Depth);
  ExInitializeNPagedLookasideList(&NonPagedFcbLookaside, nullptr, nullptr, Flags, sizeof(NON_PAGED_FCB),
                                  TAG_NONPAGED_FCB, Depth);
  ExInitializeNPagedLookasideList(&ResourceLookaside, nullptr, nullptr, Flags, sizeof(ERESOURCE),
                                  TAG_FCB_RESOURCE, Depth);
}

}  // namespace

// The driver's entry point. Creates and registers the disk and CD-ROM file-system control
// devices after everything a mount request needs is in place; every failure before the
// registration undoes what was made before it and returns the failing status.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  PDEVICE_OBJECT DiskDevice;
  PDEVICE_OBJECT CdRomDevice;

  NTSTATUS Status = CreateControlDevice(DriverObject, u"\\qdrl", FILE_DEVICE_DISK_FILE_SYSTEM, &DiskDevice);
  if (!NT_SUCCESS(Status)) return Status;
  Status = CreateControlDevice(DriverObject, u"\\qdrlcd", FILE_DEVICE_CD_ROM_FILE_SYSTEM, &CdRomDevice);
  if (!NT_SUCCESS(Status)) {
    IoDeleteDevice(DiskDevice);
    return Status;
  }

  FillDispatchTable(DriverObject);
  FillFastIoTable(DriverObject);

  Status = RegisterFilterCallbacks(DriverObject);
  if (!NT_SUCCESS(Status)) {
    IoDeleteDevice(CdRomDevice);
    IoDeleteDevice(DiskDevice);
    return Status;
  }

  InitializeGlobalData(DriverObject, DiskDevice, CdRomDevice);

  // The deferred-close work item runs on the disk control device, which never goes.
  GlobalData.CloseWorkItem = IoAllocateWorkItem(DiskDevice);
  if (GlobalData.CloseWorkItem == nullptr) {
    IoDeleteDevice(CdRomDevice);
    IoDeleteDevice(DiskDevice);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  USHORT Depth = SizeLimitsFromSystem();
  GlobalData.SystemProcess = IoGetCurrentProcess();
  ExInitializeResourceLite(&GlobalData.Resource);
  InitializeLookasideLists(Depth);
  ExInitializeFastMutex(&CloseQueueMutex);

  // Registration comes last, so that no mount request can see half-initialised data.
  // The references are never released: the control devices live until shutdown.
  IoRegisterFileSystem(DiskDevice);
  ObReferenceObject(DiskDevice);
  IoRegisterFileSystem(CdRomDevice);
  ObReferenceObject(CdRomDevice);
  return STATUS_SUCCESS;
}
