// Posting requests to workers with the per-volume limit, request completion, the create
// callout, and the device-control pass-through.
#include <algorithm>

#include "DriverFixture.h"

namespace {

// A mount request of a disk to the disk control device, entered as far as its IrpContext.
struct MountRequest {
  KEVENT Done;
  IO_STATUS_BLOCK Iosb{};
  PIRP Irp;
  PIRP_CONTEXT IrpContext;

  explicit MountRequest(PDEVICE_OBJECT Disk) {
    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    Irp = IoBuildSynchronousFsdRequest(IRP_MJ_FILE_SYSTEM_CONTROL, GlobalData.DiskFsDevice, nullptr, 0, nullptr,
                                       &Done, &Iosb);
    // A file-system control request without a file object that the driver does not serve.
    PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
    Stack->MinorFunction = IRP_MN_LOAD_FILE_SYSTEM;
    Stack->Parameters.MountVolume.Vpb = Disk->Vpb;
    IoSetNextIrpStackLocation(Irp);
    Stack->DeviceObject = GlobalData.DiskFsDevice;
    IrpContext = AllocateIrpContext(Irp, TRUE);
  }

  void Wait() { KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr); }
};

using Posting = MountedVolume;

const ULONG RequestCodes[] = {IOCTL_DISK_GET_DRIVE_GEOMETRY, IOCTL_DISK_GET_PARTITION_INFO_EX,
                              IOCTL_STORAGE_GET_HOTPLUG_INFO, IOCTL_DISK_CHECK_VERIFY,
                              IOCTL_STORAGE_CHECK_VERIFY};

const HkIoRecord& RecordOf(const std::vector<HkIoRecord>& Log, ULONG Code) {
  return *std::find_if(Log.begin(), Log.end(), [Code](const HkIoRecord& R) { return R.IoControlCode == Code; });
}

TEST_F(Posting, ThreeWorkersServeOneVolumeAndTheOverflowRunsInArrivalOrderInTheFirstWorkersToFinish) {
  HANDLE Volume = OpenHandle(VolumeOpen);
  HkCloseGate(Disk);
  std::vector<std::unique_ptr<VolumeRequest>> Requests;
  for (ULONG Code : RequestCodes) {
    Requests.push_back(std::make_unique<VolumeRequest>(VolumeDevice, Volume, Code));
    EXPECT_EQ(PostRequest(Requests.back()->IrpContext, Requests.back()->Irp), STATUS_PENDING);
  }
  HkWaitForGateArrivals(Disk, 3);
  EXPECT_EQ(HkRequestsAtGate(Disk), 3u);
  EXPECT_EQ(Vcb->PostedRequestCount, 3u);
  EXPECT_EQ(Vcb->OverflowCount, 2u);

  // The volume's share of the work queue is full, not the queue: other work still runs.
  MountRequest Mount(Disk);
  EXPECT_EQ(PostRequest(Mount.IrpContext, Mount.Irp), STATUS_PENDING);
  Mount.Wait();
  EXPECT_EQ(Mount.Iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(HkRequestsAtGate(Disk), 3u);

  // The first request through the gate frees its worker, which takes the fourth.
  HkPassGate(Disk, 1);
  HkWaitForGateArrivals(Disk, 4);
  EXPECT_EQ(Vcb->OverflowCount, 1u);
  HkPassGate(Disk, 1);
  HkWaitForGateArrivals(Disk, 5);
  EXPECT_EQ(Vcb->OverflowCount, 0u);
  EXPECT_EQ(Vcb->PostedRequestCount, 3u);
  HkOpenGate(Disk);
  for (auto& Request : Requests) {
    Request->Wait();
    EXPECT_EQ(Request->Iosb.Status, STATUS_SUCCESS);
  }
  HkWaitForWorkQueueIdle();
  EXPECT_EQ(Vcb->PostedRequestCount, 0u);

  std::vector<HkIoRecord> Log = HkIoLog(Disk);
  ASSERT_EQ(Log.size(), 5u);
  EXPECT_EQ(RecordOf(Log, RequestCodes[3]).Thread, Log[0].Thread);
  EXPECT_EQ(RecordOf(Log, RequestCodes[4]).Thread, Log[1].Thread);
  for (const HkIoRecord& Record : Log) EXPECT_TRUE(PsIsSystemThread(Record.Thread));
  auto* Geometry = (DISK_GEOMETRY*)Requests[0]->Output;
  EXPECT_EQ(Geometry->BytesPerSector, 512u);
}

TEST_F(Posting, AStackIoContextStaysBehindAndARequestWithoutAFileObjectIsNotCounted) {
  HANDLE Volume = OpenHandle(VolumeOpen);
  HkWorkQueueStepMode(true);
  VolumeRequest Request(VolumeDevice, Volume, IOCTL_DISK_GET_DRIVE_GEOMETRY);
  IO_CONTEXT OnPostersStack{};
  Request.IrpContext->IoContext = &OnPostersStack;
  SetFlag(Request.IrpContext->Flags, IRPCTX_STACK_IO_CONTEXT);
  EXPECT_EQ(PostRequest(Request.IrpContext, Request.Irp), STATUS_PENDING);
  // The worker gets the request without the context that lived on this stack.
  EXPECT_EQ(Request.IrpContext->IoContext, nullptr);
  EXPECT_FALSE(FlagOn(Request.IrpContext->Flags, IRPCTX_STACK_IO_CONTEXT));
  EXPECT_TRUE(IoGetCurrentIrpStackLocation(Request.Irp)->Control & SL_PENDING_RETURNED);
  EXPECT_EQ(Vcb->PostedRequestCount, 1u);

  // A mount-like request has no file object: no volume counts it.
  MountRequest Mount(Disk);
  EXPECT_EQ(Mount.IrpContext->RealDevice, Disk);
  EXPECT_EQ(PostRequest(Mount.IrpContext, Mount.Irp), STATUS_PENDING);
  EXPECT_EQ(Vcb->PostedRequestCount, 1u);
  EXPECT_EQ(HkWorkQueueHeldItems(), 2u);

  HkWorkQueueStepMode(false);
  Request.Wait();
  Mount.Wait();
  EXPECT_EQ(Request.Iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(Mount.Iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
  HkWaitForWorkQueueIdle();
  EXPECT_EQ(Vcb->PostedRequestCount, 0u);
}

TEST_F(Posting, AnOplockWaitThatFailedCompletesAndAGrantedOneIsRetriedOnAWorker) {
  HANDLE Volume = OpenHandle(VolumeOpen);
  VolumeRequest Broken(VolumeDevice, Volume, IOCTL_DISK_GET_DRIVE_GEOMETRY);
  Broken.Irp->IoStatus.Status = STATUS_CANCELLED;
  OplockPostComplete(Broken.IrpContext, Broken.Irp);
  Broken.Wait();
  EXPECT_EQ(Broken.Iosb.Status, STATUS_CANCELLED);

  VolumeRequest Granted(VolumeDevice, Volume, IOCTL_DISK_GET_DRIVE_GEOMETRY);
  Granted.Irp->IoStatus.Status = STATUS_SUCCESS;
  IoMarkIrpPending(Granted.Irp);
  OplockPostComplete(Granted.IrpContext, Granted.Irp);
  Granted.Wait();
  EXPECT_EQ(Granted.Iosb.Status, STATUS_SUCCESS);
  std::vector<HkIoRecord> Log = HkIoLog(Disk);
  ASSERT_EQ(Log.size(), 1u);
  EXPECT_TRUE(PsIsSystemThread(Log[0].Thread));
}

// A read of the volume from a user-mode caller into Buffer, entered into the driver.
struct UserRead {
  KEVENT Done;
  IO_STATUS_BLOCK Iosb{};
  PIRP Irp;
  PIRP_CONTEXT IrpContext;

  UserRead(PDEVICE_OBJECT Device, HANDLE Handle, PVOID Buffer, ULONG Length) {
    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    Irp = IoAllocateIrp(Device->StackSize, FALSE);
    Irp->RequestorMode = UserMode;
    Irp->UserBuffer = Buffer;
    Irp->UserIosb = &Iosb;
    Irp->UserEvent = &Done;
    Irp->Tail.Overlay.Thread = PsGetCurrentThread();
    PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
    Stack->MajorFunction = IRP_MJ_READ;
    Stack->Parameters.Read.Length = Length;
    Stack->FileObject = HkFileObjectOf(Handle);
    IoSetNextIrpStackLocation(Irp);
    Stack->DeviceObject = Device;
    IrpContext = AllocateIrpContext(Irp, FALSE);
  }
};

TEST_F(Posting, ThePostersBufferIsLockedInItsOwnProcessAndABadBufferIsRefused) {
  // A directory handle: the worker's read refuses it without needing a file behind it.
  HANDLE File = OpenHandle(DirectoryOpen);
  UCHAR Buffer[512];
  HkRegisterUserBuffer(Buffer, sizeof(Buffer), true);
  HkWorkQueueStepMode(true);
  UserRead Good(VolumeDevice, File, Buffer, sizeof(Buffer));
  EXPECT_EQ(PostRequest(Good.IrpContext, Good.Irp), STATUS_PENDING);
  ASSERT_NE(Good.Irp->MdlAddress, nullptr);
  EXPECT_EQ(Good.Irp->MdlAddress->ByteCount, sizeof(Buffer));
  EXPECT_EQ(Good.Irp->MdlAddress->MdlFlags & (MDL_PAGES_LOCKED | MDL_WRITE_OPERATION),
            MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
  HkWorkQueueStepMode(false);
  KeWaitForSingleObject(&Good.Done, Executive, KernelMode, FALSE, nullptr);
  HkUnregisterUserBuffer(Buffer);

  // The same memory is no longer the caller's: the probe fails and the post raises.
  UserRead Bad(VolumeDevice, File, Buffer, sizeof(Buffer));
  NTSTATUS Raised = STATUS_SUCCESS;
  SEH_TRY {
    PostRequest(Bad.IrpContext, Bad.Irp);
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    Raised = SEH_EXCEPTION_CODE();
  } SEH_END;
  EXPECT_EQ(Raised, STATUS_INVALID_USER_BUFFER);
  EXPECT_EQ(Bad.IrpContext->ExceptionStatus, STATUS_INVALID_USER_BUFFER);
  EXPECT_EQ(Bad.Irp->MdlAddress, nullptr);
  FreeIrpContext(Bad.IrpContext);
  IoFreeIrp(Bad.Irp);
}

TEST_F(Posting, APostedCreateIsCompletedByTheWorkerAfterItsCommonRoutine) {
  HANDLE Volume = OpenHandle(VolumeOpen);
  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK Iosb{};
  PIRP Irp = IoBuildSynchronousFsdRequest(IRP_MJ_CREATE, VolumeDevice, nullptr, 0, nullptr, &Done, &Iosb);
  PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
  Stack->FileObject = HkFileObjectOf(Volume);
  // An open by file identifier, which the common routine refuses before anything else.
  IO_SECURITY_CONTEXT Security{nullptr, nullptr, FILE_READ_DATA, 0};
  Stack->Parameters.Create.SecurityContext = &Security;
  Stack->Parameters.Create.Options = (FILE_OPEN << 24) | FILE_OPEN_BY_FILE_ID;
  IoSetNextIrpStackLocation(Irp);
  Stack->DeviceObject = VolumeDevice;
  PIRP_CONTEXT IrpContext = AllocateIrpContext(Irp, FALSE);
  EXPECT_EQ(PostRequest(IrpContext, Irp), STATUS_PENDING);
  KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
  // The worker completed the create with the common routine's answer.
  EXPECT_EQ(Iosb.Status, STATUS_NOT_IMPLEMENTED);
  HkWaitForWorkQueueIdle();
  EXPECT_EQ(Vcb->PostedRequestCount, 0u);
}

NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

using Completion = LoadedDriver;

TEST_F(Completion, AFailedInputOperationReturnsNoDataAndOtherRequestsKeepTheirCount) {
  struct Case {
    ULONG Flags;
    NTSTATUS Status;
    ULONG_PTR Information;
  };
  const Case Cases[] = {{IRP_INPUT_OPERATION, STATUS_INVALID_PARAMETER, 0},
                        {IRP_INPUT_OPERATION, STATUS_BUFFER_OVERFLOW, 99},
                        {0, STATUS_INVALID_PARAMETER, 99}};
  for (const Case& Expected : Cases) {
    PIRP Irp = IoAllocateIrp(1, FALSE);
    IoSetCompletionRoutine(Irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
    IoSetNextIrpStackLocation(Irp);
    Irp->Flags = Expected.Flags;
    Irp->IoStatus.Information = 99;
    CompleteRequest(nullptr, Irp, Expected.Status);
    EXPECT_EQ(Irp->IoStatus.Status, Expected.Status);
    EXPECT_EQ(Irp->IoStatus.Information, Expected.Information);
    IoFreeIrp(Irp);
  }
}

using DeviceControl = MountedVolume;

TEST_F(DeviceControl, AVolumeHandlePassesTheRequestDownUnchangedAndAFileHandleIsRefused) {
  HANDLE Volume = OpenHandle(VolumeOpen);
  HANDLE File = OpenHandle(FileOpen);
  DISK_GEOMETRY Geometry{};
  IO_STATUS_BLOCK Iosb{};
  EXPECT_EQ(NtDeviceIoControlFile(Volume, nullptr, nullptr, nullptr, &Iosb, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr,
                                  0, &Geometry, sizeof(Geometry)),
            STATUS_SUCCESS);
  EXPECT_EQ(Iosb.Information, sizeof(DISK_GEOMETRY));
  EXPECT_EQ(Geometry.BytesPerSector, 512u);
  EXPECT_EQ(Geometry.Cylinders.QuadPart, (1 << 20) / 512);
  std::vector<HkIoRecord> Log = HkIoLog(Disk);
  ASSERT_EQ(Log.size(), 1u);
  EXPECT_EQ(Log[0].IoControlCode, (ULONG)IOCTL_DISK_GET_DRIVE_GEOMETRY);
  EXPECT_EQ(Log[0].Thread, PsGetCurrentThread());

  Iosb = IO_STATUS_BLOCK{};
  EXPECT_EQ(NtDeviceIoControlFile(File, nullptr, nullptr, nullptr, &Iosb, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0,
                                  &Geometry, sizeof(Geometry)),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Iosb.Information, 0u);
  EXPECT_EQ(HkIoLog(Disk).size(), 1u);
}

TEST_F(DeviceControl, AHandleWithoutAValidCcbStopsTheSystem) {
  HANDLE Handle = OpenHandle(VolumeOpen);
  auto* Ccb = (PCCB)HkFileObjectOf(Handle)->FsContext2;
  Ccb->OpenKind = (OPEN_KIND)7;
  IO_STATUS_BLOCK Iosb{};
  auto Send = [&] {
    NtDeviceIoControlFile(Handle, nullptr, nullptr, nullptr, &Iosb, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0,
                          nullptr, 0);
  };
  EXPECT_EXIT(Send(), testing::ExitedWithCode(3), "STOP: 0x4B565A51 \\(0xC[0-9A-F]{4}, 0x7,");
  Ccb->OpenKind = VolumeOpen;
}

using Create = MountedVolume;

// Opens a name on the volume and returns the status.
NTSTATUS OpenOnVolume(const char16_t* Path) {
  std::u16string Text = Path;
  UNICODE_STRING Name{(USHORT)(Text.size() * 2), (USHORT)(Text.size() * 2), (PWSTR)Text.data()};
  OBJECT_ATTRIBUTES Attributes = HkObjectAttributes(&Name);
  IO_STATUS_BLOCK Iosb{};
  HANDLE Handle = nullptr;
  NTSTATUS Status = NtCreateFile(&Handle, GENERIC_READ, &Attributes, &Iosb, nullptr, 0, FILE_SHARE_READ, FILE_OPEN,
                                 FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (Handle) NtClose(Handle);
  return Status;
}

TEST_F(Create, AFailedStackExpansionIsTheStatusOfTheCreate) {
  HkFailCall(HkCall::KeExpandKernelStack, STATUS_NO_MEMORY);
  EXPECT_EQ(OpenOnVolume(u"\\Device\\HarddiskVolume1\\a"), STATUS_INSUFFICIENT_RESOURCES);
  HkFailCall(HkCall::KeExpandKernelStack, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(OpenOnVolume(u"\\Device\\HarddiskVolume1\\a"), STATUS_UNSUCCESSFUL);
  // With the stack expanded, the common routine answers (here: a name it refuses).
  EXPECT_EQ(OpenOnVolume(u"\\Device\\HarddiskVolume1\\\\\\a"), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Disk->Vpb->ReferenceCount, 0u);
}

}  // namespace
