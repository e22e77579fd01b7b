// The front end's services as a file system sees them: the mount on first access, the
// remount retry, fast I/O tried first, each request's IRP and buffers, and a pending
// request on a synchronous handle.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "StandInTestSupport.h"

namespace {

std::vector<std::string> Seen;
int CreatesToRemount = 1;
std::atomic<bool> ReadMayFinish{true};
std::atomic<bool> QueryEntered{false};
std::atomic<bool> ReadStarted{false};

std::string Narrow(const WCHAR* Text, size_t Units) { return std::string(Text, Text + Units); }

void Finish(PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

NTSTATUS TestFileSystem(PDEVICE_OBJECT Device, PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  switch (Stack->MajorFunction) {
    case IRP_MJ_FILE_SYSTEM_CONTROL: {
      PVPB Vpb = Stack->Parameters.MountVolume.Vpb;
      PDEVICE_OBJECT Volume;
      IoCreateDevice(Device->DriverObject, 0, nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &Volume);
      Volume->StackSize = (CCHAR)(Vpb->RealDevice->StackSize + 1);
      Volume->Flags &= ~DO_DEVICE_INITIALIZING;
      Vpb->DeviceObject = Volume;
      Seen.push_back("mount");
      // Keeping the mount, the file system takes over the reference the I/O manager took
      // on the target for it.
      ObDereferenceObject(Stack->Parameters.MountVolume.DeviceObject);
      Finish(Irp, STATUS_SUCCESS);
      return STATUS_SUCCESS;
    }
    case IRP_MJ_CREATE:
      Seen.push_back("create " + Narrow(Stack->FileObject->FileName.Buffer, Stack->FileObject->FileName.Length / 2));
      if (CreatesToRemount-- > 0) {
        Finish(Irp, STATUS_REPARSE, IO_REMOUNT);
        return STATUS_REPARSE;
      }
      Finish(Irp, STATUS_SUCCESS, FILE_OPENED);
      return STATUS_SUCCESS;
    case IRP_MJ_QUERY_INFORMATION:
      Seen.push_back("query " + std::to_string(Stack->Parameters.QueryFile.FileInformationClass) +
                     ((Irp->Flags & IRP_INPUT_OPERATION) ? " into a system buffer" : ""));
      QueryEntered = true;
      std::memset(Irp->AssociatedIrp.SystemBuffer, 0x5A, Stack->Parameters.QueryFile.Length);
      Finish(Irp, STATUS_SUCCESS, Stack->Parameters.QueryFile.Length);
      return STATUS_SUCCESS;
    case IRP_MJ_SET_INFORMATION:
      Seen.push_back("set " + std::to_string(((PLARGE_INTEGER)Irp->AssociatedIrp.SystemBuffer)->QuadPart));
      Finish(Irp, STATUS_SUCCESS);
      return STATUS_SUCCESS;
    case IRP_MJ_DIRECTORY_CONTROL: {
      PUNICODE_STRING Name = Stack->Parameters.QueryDirectory.FileName;
      Seen.push_back("list " + Narrow(Name->Buffer, Name->Length / 2) +
                     ((Stack->Flags & SL_RESTART_SCAN) ? " from the start" : ""));
      std::memset(Irp->UserBuffer, 0x33, 8);
      Finish(Irp, STATUS_SUCCESS, 8);
      return STATUS_SUCCESS;
    }
    case IRP_MJ_LOCK_CONTROL:
      Seen.push_back("lock " + std::to_string(Stack->Parameters.LockControl.Length->QuadPart) + " bytes at " +
                     std::to_string(Stack->Parameters.LockControl.ByteOffset.QuadPart));
      Finish(Irp, STATUS_SUCCESS);
      return STATUS_SUCCESS;
    case IRP_MJ_READ:
      // Served later, from another thread.
      Seen.push_back("read pending");
      ReadStarted = true;
      IoMarkIrpPending(Irp);
      std::thread([Irp] {
        while (!ReadMayFinish) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::memset(Irp->UserBuffer, 0x11, IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length);
        Finish(Irp, STATUS_SUCCESS, IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length);
      }).detach();
      return STATUS_PENDING;
    default:
      Seen.push_back("major " + std::to_string(Stack->MajorFunction));
      Finish(Irp, STATUS_SUCCESS);
      return STATUS_SUCCESS;
  }
}

BOOLEAN FastBasicInfo(PFILE_OBJECT, BOOLEAN, PFILE_BASIC_INFORMATION Buffer, PIO_STATUS_BLOCK IoStatus,
                      PDEVICE_OBJECT) {
  Seen.push_back("fast basic");
  RtlZeroMemory(Buffer, sizeof(*Buffer));
  Buffer->FileAttributes = FILE_ATTRIBUTE_READONLY;
  IoStatus->Status = STATUS_SUCCESS;
  IoStatus->Information = sizeof(*Buffer);
  return TRUE;
}

BOOLEAN FastLockNotPossible(PFILE_OBJECT, PLARGE_INTEGER, PLARGE_INTEGER, PEPROCESS, ULONG, BOOLEAN, BOOLEAN,
                            PIO_STATUS_BLOCK, PDEVICE_OBJECT) {
  Seen.push_back("fast lock declined");
  return FALSE;
}

FAST_IO_DISPATCH FastIo;

BOOLEAN FastUnlockLeavingARegion(PFILE_OBJECT, PLARGE_INTEGER, PLARGE_INTEGER, PEPROCESS, ULONG, PIO_STATUS_BLOCK,
                                 PDEVICE_OBJECT) {
  KeEnterCriticalRegion();
  return FALSE;
}

PDEVICE_OBJECT MountTestFileSystem(PDEVICE_OBJECT* Control, PatternImage& Image) {
  PDRIVER_OBJECT Driver = LoadTestDriver(TestFileSystem);
  FastIo.SizeOfFastIoDispatch = sizeof(FastIo);
  FastIo.FastIoQueryBasicInfo = FastBasicInfo;
  FastIo.FastIoLock = FastLockNotPossible;
  Driver->FastIoDispatch = &FastIo;
  *Control = CreateTestDevice(Driver, u"\\TestFs", FILE_DEVICE_DISK_FILE_SYSTEM);
  IoRegisterFileSystem(*Control);
  return HkCreateDisk(Image.Path(), u"\\Device\\TestDisk");
}

void UnmountTestFileSystem(PDEVICE_OBJECT Control, PDEVICE_OBJECT Disk) {
  PDEVICE_OBJECT Volume = Disk->Vpb->DeviceObject;
  Disk->Vpb->Flags &= ~VPB_MOUNTED;
  Disk->Vpb->DeviceObject = nullptr;
  IoDeleteDevice(Volume);
  HkDeleteStorage(Disk);
  IoUnregisterFileSystem(Control);
  IoDeleteDevice(Control);
  ExpectNothingAlive();
}

HANDLE OpenTestFile(ULONG Options) {
  UNICODE_STRING Name = RTL_CONSTANT_STRING(u"\\Device\\TestDisk\\dir");
  OBJECT_ATTRIBUTES Attributes = HkObjectAttributes(&Name);
  IO_STATUS_BLOCK Iosb{};
  HANDLE Handle = nullptr;
  EXPECT_EQ(NtCreateFile(&Handle, GENERIC_READ, &Attributes, &Iosb, nullptr, 0, FILE_SHARE_READ, FILE_OPEN, Options,
                         nullptr, 0),
            STATUS_SUCCESS);
  return Handle;
}

TEST(FrontEnd, EachServiceBuildsItsRequestAsWindowsDoesAndTriesFastIoFirst) {
  PDEVICE_OBJECT Control;
  PatternImage Image("disk", 64 * 1024);
  PDEVICE_OBJECT Disk = MountTestFileSystem(&Control, Image);

  UNICODE_STRING Name = RTL_CONSTANT_STRING(u"\\Device\\TestDisk\\dir");
  OBJECT_ATTRIBUTES Attributes = HkObjectAttributes(&Name);
  IO_STATUS_BLOCK Iosb{};
  HANDLE Handle;
  ASSERT_EQ(NtCreateFile(&Handle, GENERIC_READ, &Attributes, &Iosb, nullptr, 0, FILE_SHARE_READ, FILE_OPEN,
                         FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
            STATUS_SUCCESS);
  EXPECT_EQ(Iosb.Information, (ULONG_PTR)FILE_OPENED);

  FILE_BASIC_INFORMATION Basic{};
  EXPECT_EQ(NtQueryInformationFile(Handle, &Iosb, &Basic, sizeof(Basic), FileBasicInformation), STATUS_SUCCESS);
  EXPECT_EQ(Basic.FileAttributes, (ULONG)FILE_ATTRIBUTE_READONLY);
  UCHAR Standard[sizeof(FILE_STANDARD_INFORMATION)] = {};
  EXPECT_EQ(NtQueryInformationFile(Handle, &Iosb, Standard, sizeof(Standard), FileStandardInformation), STATUS_SUCCESS);
  EXPECT_EQ(Standard[sizeof(Standard) - 1], 0x5A);
  FILE_POSITION_INFORMATION Position{};
  Position.CurrentByteOffset.QuadPart = 4096;
  EXPECT_EQ(NtSetInformationFile(Handle, &Iosb, &Position, sizeof(Position), FilePositionInformation), STATUS_SUCCESS);
  UCHAR Listing[64] = {};
  UNICODE_STRING Pattern = RTL_CONSTANT_STRING(u"*.txt");
  EXPECT_EQ(NtQueryDirectoryFile(Handle, nullptr, nullptr, nullptr, &Iosb, Listing, sizeof(Listing),
                                 FileDirectoryInformation, FALSE, &Pattern, TRUE),
            STATUS_SUCCESS);
  EXPECT_EQ(Listing[7], 0x33);
  LARGE_INTEGER Offset, Length;
  Offset.QuadPart = 100;
  Length.QuadPart = 10;
  EXPECT_EQ(NtLockFile(Handle, nullptr, nullptr, nullptr, &Iosb, &Offset, &Length, 0, TRUE, TRUE), STATUS_SUCCESS);
  UCHAR Data[512] = {};
  EXPECT_EQ(NtReadFile(Handle, nullptr, nullptr, nullptr, &Iosb, Data, sizeof(Data), &Offset, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(Iosb.Information, sizeof(Data));
  EXPECT_EQ(Data[511], 0x11);
  EXPECT_EQ(NtFlushBuffersFile(Handle, &Iosb), STATUS_SUCCESS);
  // A fast-I/O entry that returns with kernel APCs still disabled is caught on the way out.
  FastIo.FastIoUnlockSingle = FastUnlockLeavingARegion;
  EXPECT_EXIT(NtUnlockFile(Handle, &Iosb, &Offset, &Length, 0), testing::ExitedWithCode(3), "STOP: 0x00000001 ");
  NtClose(Handle);

  EXPECT_EQ(Seen, (std::vector<std::string>{"mount", "create \\dir", "create \\dir", "fast basic",
                                            "query 5 into a system buffer", "set 4096", "list *.txt from the start",
                                            "fast lock declined", "lock 10 bytes at 100", "read pending",
                                            "major 9", "major 18", "major 2"}));

  UnmountTestFileSystem(Control, Disk);
}

// A synchronous handle's requests run one at a time: another thread's query waits while
// a read on the handle is pending, and goes in once the read has finished.
// The create options that describe how the caller will use the file reach the file
// system and the cache as the file object's flags.
TEST(FrontEnd, CreateOptionsOfUseBecomeFileObjectFlags) {
  PDEVICE_OBJECT Control;
  PatternImage Image("disk", 64 * 1024);
  PDEVICE_OBJECT Disk = MountTestFileSystem(&Control, Image);
  const std::pair<ULONG, ULONG> Cases[] = {{FILE_SYNCHRONOUS_IO_NONALERT, FO_SYNCHRONOUS_IO},
                                           {FILE_NO_INTERMEDIATE_BUFFERING, FO_NO_INTERMEDIATE_BUFFERING},
                                           {FILE_SEQUENTIAL_ONLY, FO_SEQUENTIAL_ONLY},
                                           {FILE_RANDOM_ACCESS, FO_RANDOM_ACCESS}};
  for (auto [Option, Flag] : Cases) {
    HANDLE Handle = OpenTestFile(Option);
    ULONG Flags = HkFileObjectOf(Handle)->Flags;
    EXPECT_EQ(Flags & (FO_SYNCHRONOUS_IO | FO_NO_INTERMEDIATE_BUFFERING | FO_SEQUENTIAL_ONLY | FO_RANDOM_ACCESS), Flag);
    NtClose(Handle);
  }
  UnmountTestFileSystem(Control, Disk);
}

TEST(FrontEnd, ASynchronousHandleRunsOneRequestAtATime) {
  PDEVICE_OBJECT Control;
  PatternImage Image("disk", 64 * 1024);
  PDEVICE_OBJECT Disk = MountTestFileSystem(&Control, Image);
  CreatesToRemount = 0;
  HANDLE Handle = OpenTestFile(FILE_SYNCHRONOUS_IO_NONALERT);
  ReadMayFinish = false;
  QueryEntered = false;
  std::thread Reader([Handle] {
    UCHAR Data[512];
    IO_STATUS_BLOCK Iosb{};
    LARGE_INTEGER Offset{};
    EXPECT_EQ(NtReadFile(Handle, nullptr, nullptr, nullptr, &Iosb, Data, sizeof(Data), &Offset, nullptr),
              STATUS_SUCCESS);
  });
  while (!ReadStarted) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::thread Querier([Handle] {
    UCHAR Standard[sizeof(FILE_STANDARD_INFORMATION)];
    IO_STATUS_BLOCK Iosb{};
    EXPECT_EQ(NtQueryInformationFile(Handle, &Iosb, Standard, sizeof(Standard), FileStandardInformation),
              STATUS_SUCCESS);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(QueryEntered) << "the query went in while the read was pending";
  ReadMayFinish = true;
  Reader.join();
  Querier.join();
  EXPECT_TRUE(QueryEntered);
  NtClose(Handle);
  UnmountTestFileSystem(Control, Disk);
}

}  // namespace
