// Requests that meet a changed, absent or dismounted medium: the checks that stop them,
// the verification they lead to, the pop-ups, and requests on cleaned-up handles.
#include <cstring>

#include "DriverFixture.h"

namespace {

// Runs Body inside a request frame as a common routine would, and returns what the
// frame's handler decided. An exception leaving the handler fails the test.
template <typename Body>
NTSTATUS RunInFrame(PIRP_CONTEXT IrpContext, Body&& Run) {
  NTSTATUS Result = STATUS_SUCCESS;
  // As in a dispatch routine: resources are taken with normal kernel APCs off.
  FsRtlEnterFileSystem();
  SEH_TRY {
    Run();
  } SEH_EXCEPT (ExceptionFilter(IrpContext, SEH_EXCEPTION_POINTERS())) {
    Result = ProcessException(IrpContext, IrpContext->Irp, SEH_EXCEPTION_CODE());
  } SEH_END;
  FsRtlExitFileSystem();
  return Result;
}

// The status CheckVcbUsable raises for the volume as it stands, or success.
NTSTATUS UsabilityOf(PIRP_CONTEXT IrpContext, PVCB Vcb) {
  NTSTATUS Raised = STATUS_SUCCESS;
  SEH_TRY {
    CheckVcbUsable(IrpContext, Vcb);
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    Raised = SEH_EXCEPTION_CODE();
  } SEH_END;
  return Raised;
}

class Verification : public MountedVolume {
 protected:
  void SetUp() override {
    MountedVolume::SetUp();
    HkClearHardErrors();
  }

  // A top-level device-control request on a volume handle.
  std::unique_ptr<VolumeRequest> TopLevelRequest(HANDLE Handle) {
    auto Request = std::make_unique<VolumeRequest>(VolumeDevice, Handle, IOCTL_DISK_GET_DRIVE_GEOMETRY);
    ClearFlag(Request->IrpContext->Flags, IRPCTX_NOT_TOP_LEVEL);
    return Request;
  }
};

TEST_F(Verification, AVolumeIsUsableOnlyWhileGoodAndItsMediumNeedsNoVerify) {
  HANDLE Volume = OpenHandle(VolumeOpen);
  VolumeRequest Request(VolumeDevice, Volume, IOCTL_DISK_GET_DRIVE_GEOMETRY);
  PIRP_CONTEXT IrpContext = Request.IrpContext;
  EXPECT_EQ(UsabilityOf(IrpContext, Vcb), STATUS_SUCCESS);

  Vcb->Condition = VcbNotMounted;
  EXPECT_EQ(UsabilityOf(IrpContext, Vcb), STATUS_WRONG_VOLUME);
  EXPECT_EQ(IoGetDeviceToVerify(PsGetCurrentThread()), Disk);
  IoSetDeviceToVerify(PsGetCurrentThread(), nullptr);

  Vcb->Condition = VcbBad;
  EXPECT_EQ(UsabilityOf(IrpContext, Vcb), STATUS_FILE_INVALID);
  SetFlag(Vcb->State, VCB_DISMOUNTED);
  EXPECT_EQ(UsabilityOf(IrpContext, Vcb), STATUS_VOLUME_DISMOUNTED);

  // A medium change outranks the condition.
  HkEjectMedia(Disk);
  EXPECT_EQ(UsabilityOf(IrpContext, Vcb), STATUS_VERIFY_REQUIRED);
  EXPECT_EQ(IrpContext->ExceptionStatus, STATUS_VERIFY_REQUIRED);
  EXPECT_EQ(IoGetDeviceToVerify(PsGetCurrentThread()), Disk);
  IoSetDeviceToVerify(PsGetCurrentThread(), nullptr);

  Vcb->Condition = (VCB_CONDITION)7;
  Disk->Flags &= ~DO_VERIFY_VOLUME;
  EXPECT_EXIT(UsabilityOf(IrpContext, Vcb), testing::ExitedWithCode(3), "STOP: 0x4B565A51 \\(0x10");
  Vcb->Condition = VcbGood;
  IrpContext->ExceptionStatus = 0;
  CompleteRequest(IrpContext, Request.Irp, STATUS_SUCCESS);
  Request.Wait();
}

TEST_F(Verification, AnEjectedMediumUnderAnOpenHandleFailsTheRequestWithTheVerifysStatus) {
  HANDLE Volume = OpenHandle(VolumeOpen);
  auto Request = TopLevelRequest(Volume);
  HkEjectMedia(Disk);
  IoSetTopLevelIrp(Request->Irp);
  // The verify fails and raises from inside the exception handler; its status must come
  // back as the request's, not escape the driver.
  NTSTATUS Status = STATUS_SUCCESS;
  EXPECT_NO_THROW(Status = RunInFrame(Request->IrpContext, [&] { CheckVcbUsable(Request->IrpContext, Vcb); }));
  IoSetTopLevelIrp(nullptr);
  Request->Wait();
  ASSERT_EQ(HkVerifications().size(), 1u);
  NTSTATUS Verified = HkVerifications()[0];
  EXPECT_FALSE(NT_SUCCESS(Verified));
  EXPECT_EQ(Status, Verified);
  EXPECT_EQ(Request->Iosb.Status, Verified);
  EXPECT_EQ(IoGetDeviceToVerify(PsGetCurrentThread()), nullptr);
  Disk->Flags &= ~DO_VERIFY_VOLUME;
}

TEST_F(Verification, MediaFailuresRaiseAPopUpUnlessTheRequestAsksForNone) {
  HANDLE Volume = OpenHandle(VolumeOpen);
  for (bool Quiet : {false, true}) {
    HkClearHardErrors();
    auto Request = TopLevelRequest(Volume);
    if (Quiet) SetFlag(Request->IrpContext->Flags, IRPCTX_NO_POPUPS);
    IoSetTopLevelIrp(Request->Irp);
    NTSTATUS Status = RunInFrame(Request->IrpContext, [&] { RaiseStatus(Request->IrpContext, STATUS_NO_MEDIA_IN_DEVICE); });
    IoSetTopLevelIrp(nullptr);
    Request->Wait();
    EXPECT_EQ(Request->Iosb.Status, STATUS_NO_MEDIA_IN_DEVICE);
    EXPECT_EQ(Status, Quiet ? STATUS_NO_MEDIA_IN_DEVICE : STATUS_PENDING);
    std::vector<HkHardError> PopUps = HkHardErrors();
    ASSERT_EQ(PopUps.size(), Quiet ? 0u : 1u);
    if (!Quiet) {
      EXPECT_EQ(PopUps[0].Status, STATUS_NO_MEDIA_IN_DEVICE);
      EXPECT_EQ(PopUps[0].Device, Disk);
    }
  }
}

TEST_F(Verification, ACleanedUpHandleStillAnswersQueriesButNotListings) {
  HANDLE Handle = OpenHandle(DirectoryOpen, FO_SYNCHRONOUS_IO | FO_CLEANUP_COMPLETE);
  struct Case {
    UCHAR Major;
    UCHAR Minor;
    NTSTATUS Expected;
  };
  const Case Cases[] = {{IRP_MJ_QUERY_INFORMATION, 0, STATUS_SUCCESS},
                        {IRP_MJ_READ, IRP_MN_COMPLETE_MDL, STATUS_SUCCESS},
                        {IRP_MJ_READ, IRP_MN_NORMAL, STATUS_FILE_CLOSED},
                        {IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY, STATUS_FILE_CLOSED}};
  for (const Case& Each : Cases) {
    VolumeRequest Request(VolumeDevice, Handle, IOCTL_DISK_GET_DRIVE_GEOMETRY);
    Request.IrpContext->MajorFunction = Each.Major;
    Request.IrpContext->MinorFunction = Each.Minor;
    // The lock helpers check the handle after acquiring, and let go again when it fails.
    NTSTATUS Raised = STATUS_SUCCESS;
    FsRtlEnterFileSystem();
    SEH_TRY {
      AcquireVcbShared(Request.IrpContext, Vcb);
    } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
      Raised = SEH_EXCEPTION_CODE();
    } SEH_END;
    EXPECT_EQ(Raised, Each.Expected) << (int)Each.Major;
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&Vcb->Resource) != 0, Each.Expected == STATUS_SUCCESS);
    if (Each.Expected == STATUS_SUCCESS) ExReleaseResourceLite(&Vcb->Resource);
    FsRtlExitFileSystem();
    Request.IrpContext->ExceptionStatus = 0;
    CompleteRequest(Request.IrpContext, Request.Irp, STATUS_SUCCESS);
    Request.Wait();
  }
}

// A file whose allocation ends before its size cannot be cached: the read fails as
// corrupt, the user is told the file's path, and the volume is marked dirty.
using DamagedFile = ImageMount;

TEST_F(DamagedFile, ACachedReadOfAFileAllocatedShortOfItsSizeFailsAndNamesItInAPopUp) {
  apfsw::Entry Notes;
  Notes.name = "notes.txt";
  Notes.size = 5000;
  apfsw::Entry Docs = apfsw::DirectoryEntry("Docs");
  Docs.children.push_back(Notes);
  apfsw::ContainerSpec Spec;
  Spec.volumes.resize(1);
  Spec.volumes[0].root.children.push_back(Docs);
  PDEVICE_OBJECT Disk = AddDisk(WriteImage(Spec));
  HANDLE File = nullptr;
  ASSERT_EQ(Open(Disk, u"\\Docs\\notes.txt", &File), STATUS_SUCCESS);
  auto* Fcb = (PFCB)HkFileObjectOf(File)->FsContext;
  Fcb->Header.AllocationSize.QuadPart = Fcb->Header.FileSize.QuadPart - 1;
  HkClearHardErrors();

  UCHAR Buffer[100];
  IO_STATUS_BLOCK Iosb{};
  LARGE_INTEGER Offset{};
  EXPECT_EQ(NtReadFile(File, nullptr, nullptr, nullptr, &Iosb, Buffer, sizeof(Buffer), &Offset, nullptr),
            STATUS_FILE_CORRUPT_ERROR);
  std::vector<HkHardError> PopUps = HkHardErrors();
  ASSERT_EQ(PopUps.size(), 1u);
  EXPECT_TRUE(PopUps[0].Informational);
  EXPECT_EQ(PopUps[0].Status, STATUS_FILE_CORRUPT_ERROR);
  EXPECT_EQ(PopUps[0].Text, u"\\Docs\\notes.txt");
  EXPECT_TRUE(FlagOn(Fcb->Vcb->State, VCB_DIRTY));
  EXPECT_EQ(HkFileObjectOf(File)->PrivateCacheMap, nullptr) << "nothing was cached";

  Fcb->Header.AllocationSize = Fcb->Header.FileSize;
  EXPECT_EQ(NtReadFile(File, nullptr, nullptr, nullptr, &Iosb, Buffer, sizeof(Buffer), &Offset, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(HkHardErrors().size(), 1u);
  EXPECT_EQ(Close(File), STATUS_SUCCESS);
}

}  // namespace

namespace {

// Media changes under a mounted image: the verify that follows, the volume of the medium
// now in the drive, and the old volume revived when its medium comes back.
class MediaChange : public ImageMount {
 protected:
  void SetUp() override {
    ImageMount::SetUp();
    HkClearHardErrors();
    ImageA = WriteImage(Spec("Alpha", 1), "a.img");
    ImageB = WriteImage(Spec("Beta", 2), "b.img");
    HkStorageOptions Removable;
    Removable.Removable = true;
    Disk = AddDisk(ImageA, Removable);
    References = HkObjectReferenceCount(Disk);
  }

  static apfsw::ContainerSpec Spec(const std::string& Name, uint8_t Seed) {
    apfsw::ContainerSpec Spec;
    Spec.seed = Seed;
    Spec.uuid = std::vector<uint8_t>(16, Seed);
    Spec.volumes.resize(1);
    Spec.volumes[0].name = Name;
    Spec.volumes[0].root.children.push_back(apfsw::DirectoryEntry("Docs"));
    return Spec;
  }

  HANDLE OpenDocs() {
    HANDLE Handle = nullptr;
    EXPECT_EQ(Open(Disk, u"\\Docs", &Handle, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    return Handle;
  }

  static NTSTATUS IsMounted(HANDLE Handle) {
    IO_STATUS_BLOCK Iosb{};
    return NtFsControlFile(Handle, nullptr, nullptr, nullptr, &Iosb, FSCTL_IS_VOLUME_MOUNTED, nullptr, 0, nullptr, 0);
  }

  // The driver's volumes on Device, mounted or not.
  static std::vector<PVCB> VolumesOn(PDEVICE_OBJECT Device) {
    std::vector<PVCB> Found;
    for (PLIST_ENTRY Link = GlobalData.VcbList.Flink; Link != &GlobalData.VcbList; Link = Link->Flink)
      if (PVCB Vcb = CONTAINING_RECORD(Link, VCB, VcbLinks); Vcb->RealDevice == Device) Found.push_back(Vcb);
    return Found;
  }

  // A create of Name sent to Vcb's volume device as the I/O manager sends it, with a file
  // object of its own on the disk; what the driver answered.
  IO_STATUS_BLOCK CreateOn(PVCB Vcb, const std::u16string& Name) {
    HANDLE Probe = HkInsertHandle(Disk, nullptr, nullptr, FO_SYNCHRONOUS_IO);
    PFILE_OBJECT FileObject = HkFileObjectOf(Probe);
    const USHORT Bytes = (USHORT)(Name.size() * sizeof(WCHAR));
    FileObject->FileName.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, Bytes, TAG_NAME_BUFFER);
    std::memcpy(FileObject->FileName.Buffer, Name.data(), Bytes);
    FileObject->FileName.Length = FileObject->FileName.MaximumLength = Bytes;
    const IO_STATUS_BLOCK Iosb = SendCreate(Vcb->VolumeDevice, FileObject, FILE_OPEN, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE);
    HkDropHandle(Probe);
    return Iosb;
  }

  static std::u16string LabelOf(PDEVICE_OBJECT Device) {
    return std::u16string((const char16_t*)Device->Vpb->VolumeLabel, Device->Vpb->VolumeLabelLength / 2);
  }

  std::string ImageA;
  std::string ImageB;
  PDEVICE_OBJECT Disk = nullptr;
  LONG References = 0;
};

TEST_F(MediaChange, SameMediumReinsertedIsVerifiedAndPurged) {
  HANDLE Docs = OpenDocs();
  PVCB Vcb = VcbOf(Disk);
  ASSERT_NE(Vcb, nullptr);
  HkSwapMedia(Disk, ImageA);
  EXPECT_TRUE(Disk->Flags & DO_VERIFY_VOLUME);
  EXPECT_EQ(IsMounted(Docs), STATUS_SUCCESS);
  ASSERT_FALSE(HkVerifications().empty());
  EXPECT_EQ(HkVerifications().back(), STATUS_SUCCESS);
  EXPECT_FALSE(Disk->Flags & DO_VERIFY_VOLUME);
  EXPECT_EQ(VcbOf(Disk), Vcb);
  EXPECT_EQ(Vcb->Condition, VcbGood);
  EXPECT_EQ(Vcb->MediaChangeCount, 2u);
  // Every file is re-checked against the medium before its next use.
  EXPECT_EQ(Vcb->RootFcb->Condition, FcbNeedsRecheck);
  EXPECT_EQ(Close(Docs), STATUS_SUCCESS);
}

TEST_F(MediaChange, SwappedMediumMountsItsOwnVolumeAndTheOldOneRevivesWhenBack) {
  HANDLE DocsA = OpenDocs();
  PVCB VcbA = VcbOf(Disk);
  ASSERT_NE(VcbA, nullptr);
  EXPECT_EQ(LabelOf(Disk), u"Alpha");

  HkSwapMedia(Disk, ImageB);
  // An open by name meets the change: once the verify found another medium, it is sent
  // back to the I/O manager to be opened on whatever is mounted now.
  IO_STATUS_BLOCK Answer = CreateOn(VcbA, u"\\Docs");
  EXPECT_EQ(Answer.Status, STATUS_REPARSE);
  EXPECT_EQ(Answer.Information, (ULONG_PTR)IO_REMOUNT);
  ASSERT_FALSE(HkVerifications().empty());
  EXPECT_EQ(HkVerifications().back(), STATUS_WRONG_VOLUME);
  EXPECT_EQ(IsMounted(DocsA), STATUS_WRONG_VOLUME);
  EXPECT_EQ(VcbA->Condition, VcbNotMounted);
  // The I/O manager mounted what is in the drive now, on a VPB of its own.
  PVCB VcbB = VcbOf(Disk);
  ASSERT_NE(VcbB, nullptr);
  EXPECT_NE(VcbB, VcbA);
  EXPECT_EQ(LabelOf(Disk), u"Beta");
  HANDLE DocsB = OpenDocs();
  EXPECT_EQ(IsMounted(DocsB), STATUS_SUCCESS);
  EXPECT_EQ(IsMounted(DocsA), STATUS_WRONG_VOLUME);

  // A back in the drive: B's volume is not the medium's any more; A's comes back to life.
  HkSwapMedia(Disk, ImageA);
  HANDLE Again = OpenDocs();
  EXPECT_EQ(VcbOf(Disk), VcbA);
  EXPECT_EQ(VcbA->Condition, VcbGood);
  EXPECT_EQ(VcbB->Condition, VcbNotMounted);
  EXPECT_EQ(LabelOf(Disk), u"Alpha");
  EXPECT_EQ(IsMounted(DocsA), STATUS_SUCCESS);
  EXPECT_EQ(IsMounted(Again), STATUS_SUCCESS);

  EXPECT_EQ(Close(DocsB), STATUS_SUCCESS);
  EXPECT_EQ(Close(DocsA), STATUS_SUCCESS);
  EXPECT_EQ(Close(Again), STATUS_SUCCESS);
  HkWaitForWorkQueueIdle();
  EXPECT_TRUE(DismountIdle(Disk));
  // Every reference the mounts, verifies and the remount took on the device is given back.
  EXPECT_EQ(HkObjectReferenceCount(Disk), References);
}

// An open on a swapped medium that no handle holds goes to the new medium; the old
// volume, held by nothing, is gone once a scan for unused volumes meets it.
TEST_F(MediaChange, AnOpenAfterTheSwapOfAnUnusedVolumeOpensTheNewMediumAndTheOldVolumeGoes) {
  EXPECT_EQ(Close(OpenDocs()), STATUS_SUCCESS);
  PVCB VcbA = VcbOf(Disk);
  ASSERT_NE(VcbA, nullptr);
  // The directory's close was kept for a re-open; it runs now, as a purge would run it.
  FsRtlEnterFileSystem();
  RunDeferredCloses(VcbA);
  FsRtlExitFileSystem();
  ASSERT_EQ(VcbA->OpenCount, 0u);

  HkSwapMedia(Disk, ImageB);
  HANDLE DocsB = OpenDocs();
  ASSERT_FALSE(HkVerifications().empty());
  EXPECT_EQ(HkVerifications().back(), STATUS_WRONG_VOLUME);
  PVCB VcbB = VcbOf(Disk);
  ASSERT_NE(VcbB, nullptr);
  EXPECT_NE(VcbB, VcbA);
  EXPECT_EQ(LabelOf(Disk), u"Beta");
  EXPECT_EQ(((PFCB)HkFileObjectOf(DocsB)->FsContext)->Vcb, VcbB);

  // The next mount, of another device, scans the volumes: A goes, B is in use and stays.
  ASSERT_EQ(Mount(AddDisk(WriteImage(Spec("Gamma", 3), "c.img"))), STATUS_SUCCESS);
  EXPECT_EQ(VolumesOn(Disk), std::vector<PVCB>{VcbB});
  EXPECT_EQ(Close(DocsB), STATUS_SUCCESS);
}

TEST_F(MediaChange, EjectedMediumFailsRequestsWithoutStoppingTheSystem) {
  HANDLE Docs = OpenDocs();
  HkEjectMedia(Disk);
  NTSTATUS Status = IsMounted(Docs);
  EXPECT_FALSE(NT_SUCCESS(Status));
  EXPECT_NE(Status, STATUS_PENDING);
  EXPECT_EQ(Close(Docs), STATUS_SUCCESS);
}

}  // namespace
