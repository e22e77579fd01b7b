// The I/O manager's rules as drivers meet them: completion routines, pending, associated
// IRPs, the barriers where no exception may escape, and the file-object delete path.
#include <thread>
#include <vector>

#include "StandInTestSupport.h"

namespace {

std::vector<std::string> Events;
PDEVICE_OBJECT Upper;
PDEVICE_OBJECT Lower;
bool LowerPends;

void CompleteLater(PIRP Irp) {
  std::thread([Irp] {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
  }).detach();
}

// Lower completes with 7 bytes, at once or later from another thread; Upper passes
// requests down with a completion routine, or splits them into two associated IRPs.
NTSTATUS LayeredDispatch(PDEVICE_OBJECT Device, PIRP Irp) {
  Irp->IoStatus.Information = 7;
  if (Device == Lower) {
    Events.push_back("lower");
    if (Irp->MdlAddress) {
      // Fill this part of the buffer with its part number, through the system address.
      PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
      std::memset(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority),
                  'A' + (int)Stack->Parameters.Read.ByteOffset.QuadPart, MmGetMdlByteCount(Irp->MdlAddress));
    }
    if (!LowerPends) {
      Irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    }
    IoMarkIrpPending(Irp);
    CompleteLater(Irp);
    return STATUS_PENDING;
  }
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_READ) {
    // Split the read into two associated IRPs, each over its half of the master's
    // buffer; the master completes after both.
    Irp->AssociatedIrp.IrpCount = 2;
    IoMarkIrpPending(Irp);
    auto* Start = (PUCHAR)MmGetMdlVirtualAddress(Irp->MdlAddress);
    ULONG Half = MmGetMdlByteCount(Irp->MdlAddress) / 2;
    for (ULONG Part = 0; Part < 2; ++Part) {
      PIRP Associated = IoMakeAssociatedIrp(Irp, Lower->StackSize);
      PMDL Mdl = IoAllocateMdl(Start + Part * Half, Half, FALSE, FALSE, Associated);
      IoBuildPartialMdl(Irp->MdlAddress, Mdl, Start + Part * Half, Half);
      PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Associated);
      Next->MajorFunction = IRP_MJ_READ;
      Next->Parameters.Read.ByteOffset.QuadPart = Part;
      IoCallDriver(Lower, Associated);
    }
    return STATUS_PENDING;
  }
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(
      Irp,
      [](PDEVICE_OBJECT Device, PIRP Irp, PVOID) -> NTSTATUS {
        Events.push_back(Device == Upper ? "upper routine on upper" : "upper routine elsewhere");
        if (Irp->PendingReturned) IoMarkIrpPending(Irp);
        return STATUS_SUCCESS;
      },
      nullptr, TRUE, TRUE, TRUE);
  return IoCallDriver(Lower, Irp);
}

KEVENT Finished;

NTSTATUS CallerRoutine(PDEVICE_OBJECT Device, PIRP Irp, PVOID) {
  Events.push_back(std::string("caller routine") + (Device ? " with device" : "") +
                   (Irp->PendingReturned ? " pending" : ""));
  KeSetEvent(&Finished, IO_NO_INCREMENT, FALSE);
  // The caller keeps the IRP: completion stops here.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

class LayeredDrivers : public testing::Test {
 protected:
  void SetUp() override {
    PDRIVER_OBJECT Driver = LoadTestDriver(LayeredDispatch);
    Lower = CreateTestDevice(Driver, u"\\Lower", FILE_DEVICE_UNKNOWN);
    Upper = CreateTestDevice(Driver, u"\\Upper", FILE_DEVICE_UNKNOWN);
    Upper->StackSize = Lower->StackSize + 1;
    KeInitializeEvent(&Finished, NotificationEvent, FALSE);
    Events.clear();
  }
  void TearDown() override {
    IoDeleteDevice(Upper);
    IoDeleteDevice(Lower);
    ExpectNothingAlive();
  }

  // An IRP for Upper whose caller's routine keeps it after completion.
  static PIRP CallerIrp(UCHAR Major) {
    PIRP Irp = IoAllocateIrp(Upper->StackSize, FALSE);
    IoGetNextIrpStackLocation(Irp)->MajorFunction = Major;
    IoSetCompletionRoutine(Irp, CallerRoutine, nullptr, TRUE, TRUE, TRUE);
    return Irp;
  }
};

TEST_F(LayeredDrivers, CompletionRoutinesRunBottomUpWithTheirOwnDevicesUntilOneKeepsTheIrp) {
  LowerPends = false;
  PIRP Irp = CallerIrp(IRP_MJ_DEVICE_CONTROL);
  EXPECT_EQ(IoCallDriver(Upper, Irp), STATUS_SUCCESS);
  EXPECT_EQ(Events, (std::vector<std::string>{"lower", "upper routine on upper", "caller routine"}));
  EXPECT_EQ(Irp->IoStatus.Information, 7u);
  // The caller may complete it again: no routine runs twice, and the IRP is finished.
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  EXPECT_EQ(Events.size(), 3u);
}

TEST_F(LayeredDrivers, PendingReturnedTravelsUpToTheCaller) {
  LowerPends = true;
  PIRP Irp = CallerIrp(IRP_MJ_DEVICE_CONTROL);
  EXPECT_EQ(IoCallDriver(Upper, Irp), STATUS_PENDING);
  KeWaitForSingleObject(&Finished, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(Events.back(), "caller routine pending");
  IoFreeIrp(Irp);
}

TEST_F(LayeredDrivers, AMasterIrpCompletesWhenItsLastAssociatedIrpDoesAndPartialMdlsFillItsBuffer) {
  LowerPends = true;
  PIRP Irp = CallerIrp(IRP_MJ_READ);
  static UCHAR Buffer[6000];
  PMDL Mdl = IoAllocateMdl(Buffer, sizeof(Buffer), FALSE, FALSE, Irp);
  MmBuildMdlForNonPagedPool(Mdl);
  EXPECT_EQ(IoCallDriver(Upper, Irp), STATUS_PENDING);
  KeWaitForSingleObject(&Finished, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(Events, (std::vector<std::string>{"lower", "lower", "caller routine pending"}));
  EXPECT_EQ(Irp->AssociatedIrp.IrpCount, 0);
  EXPECT_EQ(Buffer[0], 'A');
  EXPECT_EQ(Buffer[2999], 'A');
  EXPECT_EQ(Buffer[3000], 'B');
  EXPECT_EQ(Buffer[5999], 'B');
  IoFreeMdl(Irp->MdlAddress);
  Irp->MdlAddress = nullptr;
  IoFreeIrp(Irp);
}

NTSTATUS RaisingDispatch(PDEVICE_OBJECT, PIRP) { ExRaiseStatus(STATUS_ACCESS_DENIED); }

TEST(IoManagerDeathTest, AnExceptionLeavingADispatchRoutineAndBlockingAtDispatchLevelStopTheSystem) {
  PDRIVER_OBJECT Driver = LoadTestDriver(RaisingDispatch);
  PDEVICE_OBJECT Device = CreateTestDevice(Driver, u"\\Raising", FILE_DEVICE_UNKNOWN);
  PIRP Irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(Irp)->MajorFunction = IRP_MJ_READ;
  EXPECT_EXIT(IoCallDriver(Device, Irp), testing::ExitedWithCode(3), "STOP: 0x0000001E \\(0xC0000022");
  IoFreeIrp(Irp);
  KSPIN_LOCK Lock;
  KeInitializeSpinLock(&Lock);
  KEVENT Event;
  KeInitializeEvent(&Event, NotificationEvent, FALSE);
  auto WaitUnderSpinLock = [&] {
    KIRQL Old = KeAcquireSpinLockRaiseToDpc(&Lock);
    KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, nullptr);
    KeReleaseSpinLock(&Lock, Old);
  };
  EXPECT_EXIT(WaitUnderSpinLock(), testing::ExitedWithCode(3), "STOP: 0x0000000A");
  // A wait nothing will ever end is reported instead of hanging the host.
  HkSetWaitWatchdog(200);
  EXPECT_EXIT(KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, nullptr), testing::ExitedWithCode(3),
              "watchdog: a wait on an event");
  IoDeleteDevice(Device);
}

// Completes at once, then answers with the status the test asks for, marking the IRP
// pending first when the stack location's key says so.
NTSTATUS AnswerAsAsked(PDEVICE_OBJECT, PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS Answer = (NTSTATUS)Stack->Parameters.Read.Length;
  if (Stack->Parameters.Read.Key) IoMarkIrpPending(Irp);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Answer;
}

TEST(IoManagerDeathTest, ADispatchRoutineReturnsPendingExactlyWhenItMarkedTheIrpPending) {
  PDRIVER_OBJECT Driver = LoadTestDriver(AnswerAsAsked);
  PDEVICE_OBJECT Device = CreateTestDevice(Driver, u"\\Answering", FILE_DEVICE_UNKNOWN);
  auto Call = [Device](NTSTATUS Answer, bool Mark) {
    PIRP Irp = IoAllocateIrp(1, FALSE);
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->MajorFunction = IRP_MJ_READ;
    Next->Parameters.Read.Length = (ULONG)Answer;
    Next->Parameters.Read.Key = Mark;
    return IoCallDriver(Device, Irp);
  };
  EXPECT_EQ(Call(STATUS_PENDING, true), STATUS_PENDING);
  EXPECT_EQ(Call(STATUS_SUCCESS, false), STATUS_SUCCESS);
  EXPECT_EXIT(Call(STATUS_PENDING, false), testing::ExitedWithCode(3), "returned STATUS_PENDING without marking");
  EXPECT_EXIT(Call(STATUS_SUCCESS, true), testing::ExitedWithCode(3), "marked IRP .* pending but returned 0x00000000");
  IoDeleteDevice(Device);
  ExpectNothingAlive();
}

// A file system that mounts any disk and records what it is asked, with the VPB's
// reference count at each close.
std::vector<std::string> FsEvents;
PDEVICE_OBJECT FsControl;

NTSTATUS RecordingFileSystem(PDEVICE_OBJECT Device, PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS Status = STATUS_SUCCESS;
  switch (Stack->MajorFunction) {
    case IRP_MJ_FILE_SYSTEM_CONTROL: {
      PVPB Vpb = Stack->Parameters.MountVolume.Vpb;
      PDEVICE_OBJECT Volume;
      Status = IoCreateDevice(Device->DriverObject, 0, nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &Volume);
      Volume->StackSize = (CCHAR)(Vpb->RealDevice->StackSize + 1);
      Volume->Flags &= ~DO_DEVICE_INITIALIZING;
      Vpb->DeviceObject = Volume;
      FsEvents.push_back("mount");
      // Keeping the mount, the file system takes over the reference the I/O manager took
      // on the target for it.
      ObDereferenceObject(Stack->Parameters.MountVolume.DeviceObject);
      break;
    }
    case IRP_MJ_CREATE:
      FsEvents.push_back("create " + std::to_string(Stack->FileObject->FileName.Length / 2) + " units");
      break;
    case IRP_MJ_CLEANUP:
      FsEvents.push_back("cleanup");
      break;
    case IRP_MJ_CLOSE:
      FsEvents.push_back("close with VPB references " + std::to_string(Stack->FileObject->Vpb->ReferenceCount));
      break;
    default:
      Status = STATUS_INVALID_DEVICE_REQUEST;
  }
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

TEST(FileObjects, TheLastHandleSendsCleanupAndTheLastReferenceDropsTheVpbBeforeTheClose) {
  PDRIVER_OBJECT Driver = LoadTestDriver(RecordingFileSystem);
  FsControl = CreateTestDevice(Driver, u"\\RecordingFs", FILE_DEVICE_DISK_FILE_SYSTEM);
  IoRegisterFileSystem(FsControl);
  PatternImage Image("disk", 64 * 1024);
  PDEVICE_OBJECT Disk = HkCreateDisk(Image.Path(), u"\\Device\\TestDisk");

  UNICODE_STRING Name = RTL_CONSTANT_STRING(u"\\Device\\TestDisk\\a.txt");
  OBJECT_ATTRIBUTES Attributes = HkObjectAttributes(&Name);
  IO_STATUS_BLOCK Iosb{};
  HANDLE Handle;
  ASSERT_EQ(NtCreateFile(&Handle, GENERIC_READ, &Attributes, &Iosb, nullptr, 0, FILE_SHARE_READ, FILE_OPEN,
                         FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
            STATUS_SUCCESS);
  EXPECT_EQ(Disk->Vpb->ReferenceCount, 1u);
  EXPECT_TRUE(Disk->Vpb->Flags & VPB_MOUNTED);
  PFILE_OBJECT FileObject = HkFileObjectOf(Handle);
  ObReferenceObject(FileObject);
  NtClose(Handle);
  EXPECT_EQ(FsEvents, (std::vector<std::string>{"mount", "create 6 units", "cleanup"}));
  ObDereferenceObject(FileObject);
  EXPECT_EQ(FsEvents.back(), "close with VPB references 0");
  EXPECT_EQ(HkLiveFileObjects(), 0u);

  // A stream file object holds the VPB too, and its close comes when its last reference
  // goes, the VPB reference dropped first.
  PFILE_OBJECT Stream = IoCreateStreamFileObject(nullptr, Disk);
  EXPECT_EQ(Disk->Vpb->ReferenceCount, 1u);
  ObDereferenceObject(Stream);
  EXPECT_EQ(FsEvents.back(), "close with VPB references 0");

  // Tear down as a dismount would: the volume goes, the VPB is free again.
  PDEVICE_OBJECT Volume = Disk->Vpb->DeviceObject;
  Disk->Vpb->Flags &= ~VPB_MOUNTED;
  Disk->Vpb->DeviceObject = nullptr;
  IoDeleteDevice(Volume);
  HkDeleteStorage(Disk);
  IoUnregisterFileSystem(FsControl);
  IoDeleteDevice(FsControl);
  ExpectNothingAlive();
}

}  // namespace
