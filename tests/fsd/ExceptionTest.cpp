// What becomes of a request whose frame caught an exception: posting when the top-level
// request could not wait, the cache manager's retry, dirty marking, and the stop for an
// exception no file system expects.
#include "DriverFixture.h"

namespace {

// Raises Status inside a request frame as a common routine would, and returns what the
// frame's handler decided.
NTSTATUS RaiseInFrame(PIRP_CONTEXT IrpContext, NTSTATUS Status) {
  NTSTATUS Result = STATUS_SUCCESS;
  SEH_TRY {
    RaiseStatus(IrpContext, Status);
  } SEH_EXCEPT (ExceptionFilter(IrpContext, SEH_EXCEPTION_POINTERS())) {
    Result = ProcessException(IrpContext, IrpContext->Irp, SEH_EXCEPTION_CODE());
  } SEH_END;
  return Result;
}

using Exceptions = MountedVolume;

TEST_F(Exceptions, ATopLevelRequestThatCannotWaitIsPostedAndCompletesFromAWorker) {
  HANDLE Volume = OpenHandle(VolumeOpen, 0);
  VolumeRequest Request(VolumeDevice, Volume, IOCTL_DISK_GET_DRIVE_GEOMETRY);
  IoSetTopLevelIrp(Request.Irp);
  ClearFlag(Request.IrpContext->Flags, IRPCTX_NOT_TOP_LEVEL);
  EXPECT_EQ(RaiseInFrame(Request.IrpContext, STATUS_CANT_WAIT), STATUS_PENDING);
  IoSetTopLevelIrp(nullptr);
  Request.Wait();
  EXPECT_EQ(Request.Iosb.Status, STATUS_SUCCESS);
  EXPECT_TRUE(PsIsSystemThread(HkIoLog(Disk).at(0).Thread));
}

TEST_F(Exceptions, ANestedRequestUnderTheCacheManagerTurnsVerifyIntoALockConflict) {
  HANDLE Volume = OpenHandle(VolumeOpen);
  IoSetTopLevelIrp(FSRTL_CACHE_TOP_LEVEL_IRP);
  VolumeRequest Request(VolumeDevice, Volume, IOCTL_DISK_GET_DRIVE_GEOMETRY);
  EXPECT_TRUE(FlagOn(Request.IrpContext->Flags, IRPCTX_NOT_TOP_LEVEL));
  EXPECT_EQ(RaiseInFrame(Request.IrpContext, STATUS_VERIFY_REQUIRED), STATUS_FILE_LOCK_CONFLICT);
  IoSetTopLevelIrp(nullptr);
  Request.Wait();
  EXPECT_EQ(Request.Iosb.Status, STATUS_FILE_LOCK_CONFLICT);
  EXPECT_TRUE(HkIoLog(Disk).empty());
}

TEST_F(Exceptions, MediaErrorsAndCorruptionMarkTheVolumeDirtyAndDeviceFailuresDoNot) {
  HANDLE Volume = OpenHandle(VolumeOpen);
  struct Case {
    NTSTATUS Status;
    ULONG ContextFlags;
    bool Dirty;
  };
  const Case Cases[] = {{STATUS_IO_DEVICE_ERROR, 0, false},
                        {STATUS_CRC_ERROR, IRPCTX_NO_POPUPS, false},
                        {STATUS_CRC_ERROR, 0, true},
                        {STATUS_FILE_CORRUPT_ERROR, 0, true}};
  for (const Case& Expected : Cases) {
    Vcb->State = 0;
    // Only a top-level request marks the volume: a nested one leaves it to its caller.
    VolumeRequest Request(VolumeDevice, Volume, IOCTL_DISK_GET_DRIVE_GEOMETRY);
    IoSetTopLevelIrp(Request.Irp);
    ClearFlag(Request.IrpContext->Flags, IRPCTX_NOT_TOP_LEVEL);
    SetFlag(Request.IrpContext->Flags, Expected.ContextFlags);
    EXPECT_EQ(RaiseInFrame(Request.IrpContext, Expected.Status), Expected.Status);
    IoSetTopLevelIrp(nullptr);
    Request.Wait();
    EXPECT_EQ(Request.Iosb.Status, Expected.Status);
    EXPECT_EQ(FlagOn(Vcb->State, VCB_DIRTY) != 0, Expected.Dirty) << std::hex << Expected.Status;
  }
}

TEST_F(Exceptions, AnExceptionNoFileSystemExpectsStopsTheSystem) {
  HANDLE Volume = OpenHandle(VolumeOpen);
  VolumeRequest Request(VolumeDevice, Volume, IOCTL_DISK_GET_DRIVE_GEOMETRY);
  auto Fault = [&] {
    SEH_TRY {
      ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    } SEH_EXCEPT (ExceptionFilter(Request.IrpContext, SEH_EXCEPTION_POINTERS())) {
    } SEH_END;
  };
  EXPECT_EXIT(Fault(), testing::ExitedWithCode(3), "STOP: 0x4B565A51 \\(0x10");
  EXPECT_EQ(RaiseInFrame(Request.IrpContext, STATUS_INVALID_PARAMETER), STATUS_INVALID_PARAMETER);
  Request.Wait();
}

}  // namespace
