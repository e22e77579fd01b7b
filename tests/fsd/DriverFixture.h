// The driver loaded into the stand-in for one test process, with the pool it holds for
// its lifetime as the baseline every test must end at and no write reaching any disk or
// CD-ROM device meanwhile; and a volume made the way mount will make one, over a disk
// image, with handles of chosen open kinds.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ImageWriter.h"
#include "QdrlProcs.h"
#include "hostkernel/FrontEnd.h"

// One device-control request of the volume built as the I/O manager builds it, entered
// into the driver as far as its IrpContext, ready to be posted.
struct VolumeRequest {
  KEVENT Done;
  IO_STATUS_BLOCK Iosb{};
  UCHAR Output[256]{};
  PIRP Irp = nullptr;
  PIRP_CONTEXT IrpContext = nullptr;

  VolumeRequest(PDEVICE_OBJECT Device, HANDLE Handle, ULONG Code) {
    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    Irp = IoBuildDeviceIoControlRequest(Code, Device, nullptr, 0, Output, sizeof(Output), FALSE, &Done, &Iosb);
    IoGetNextIrpStackLocation(Irp)->FileObject = HkFileObjectOf(Handle);
    // What IoCallDriver does before the dispatch routine runs.
    IoSetNextIrpStackLocation(Irp);
    IoGetCurrentIrpStackLocation(Irp)->DeviceObject = Device;
    IrpContext = AllocateIrpContext(Irp, FALSE);
  }

  void Wait() { KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr); }
};

class LoadedDriver : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Sends a request of Major to Device without a file object and returns its status.
  static NTSTATUS SendBareRequest(PDEVICE_OBJECT Device, UCHAR Major);

  // Sends Device a create of FileObject (its name already set) as the I/O manager sends
  // one, opening with Disposition, Access and ShareAccess, the stack location's Flags set;
  // what the driver answered.
  static IO_STATUS_BLOCK SendCreate(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, ULONG Disposition,
                                    ACCESS_MASK Access, ULONG ShareAccess = 0, UCHAR Flags = 0);

 private:
  std::map<ULONG, uint64_t> Baseline_;
  uint64_t WritesBefore_ = 0;
};

class MountedVolume : public LoadedDriver {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A handle whose Ccb has Kind.
  HANDLE OpenHandle(OPEN_KIND Kind, ULONG FileObjectFlags = FO_SYNCHRONOUS_IO);

  PDEVICE_OBJECT Disk = nullptr;
  PDEVICE_OBJECT VolumeDevice = nullptr;
  PVCB Vcb = nullptr;

 private:
  std::vector<HANDLE> Handles_;
  std::vector<CCB*> Ccbs_;
};

// A volume over an image the writer made at test time, placed PartitionOffset bytes into a
// disk image, with the container and its default volume opened through the driver's
// partition window, as mount will open them.
class WrittenVolume : public LoadedDriver {
 protected:
  static constexpr uint64_t PartitionOffset = 65536;

  void TearDown() override;

  // Writes the image of Spec, puts it on a disk and opens it; the window covers the image
  // less WindowShortBy bytes.
  void Open(const apfsw::ContainerSpec& Spec, uint64_t WindowShortBy = 0);
  // Puts an existing image on a disk the same way; false when the engine does not open
  // its container and default volume.
  bool OpenImage(const std::string& Path);
  // The directory listing of a node, through the engine.
  std::vector<FileInfo> List(FsNode* Directory);
  // The engine node and information of a "/"-separated path below the root (one use).
  FsNode* Lookup(const std::string& Path, FileInfo* Info);
  // The image's bytes at a partition offset.
  std::vector<uint8_t> ImageBytes(uint64_t Offset, size_t Count);
  // The "/"-separated paths of the plainly stored (not compressed) regular files of at most
  // 8 MiB below Directory, a few levels deep.
  void CollectPlainFiles(FsNode* Directory, const std::string& Prefix, std::vector<std::string>* Files,
                         int Depth = 0);
  // A file's bytes through the engine's extents and the partition window; empty when a
  // run cannot be found or read.
  std::vector<uint8_t> EngineBytes(FsNode* Node, uint64_t Size);

  apfsw::WriteResult Layout;
  PDEVICE_OBJECT Disk = nullptr;
  PDEVICE_OBJECT VolumeDevice = nullptr;
  PVCB Vcb = nullptr;
  IRP_CONTEXT IrpContext{};

 private:
  bool Mount(uint64_t WindowShortBy);

  std::string Folder_;
  std::string ImagePath_;
  Container Container_{};
  VolumeHandle Volume_{};
  BTree OmapTree_{};
  BTree FsTree_{};
  PARTITION Partition_{};
};

// Volumes mounted the way Windows mounts them: images the writer made at test time (or
// existing ones) on disk and CD-ROM devices, offered to the driver by the front end on
// the first open. TearDown closes the handles still open and dismounts what is mounted.
class ImageMount : public LoadedDriver {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes the image of Spec into the test's folder and returns its path.
  std::string WriteImage(const apfsw::ContainerSpec& Spec, const std::string& Name = "volume.img");
  // A disk (or removable disk) device over the image at Path, named \Device\Harddisk<N>.
  PDEVICE_OBJECT AddDisk(const std::string& Path, const HkStorageOptions& Options = {});
  // A CD-ROM device over the image at Path, named \Device\CdRom<N>.
  PDEVICE_OBJECT AddCdRom(const std::string& Path, bool DataTrack = true);
  // Opens Path ("" for the volume itself, else "\\a\\b") on Device; the handle is closed
  // at TearDown unless the test closes it with Close.
  NTSTATUS Open(PDEVICE_OBJECT Device, const std::u16string& Path, HANDLE* Handle,
                ACCESS_MASK Access = FILE_READ_DATA | SYNCHRONIZE, ULONG Options = FILE_SYNCHRONOUS_IO_NONALERT,
                ULONG Share = FILE_SHARE_READ | FILE_SHARE_WRITE);
  NTSTATUS Close(HANDLE Handle);
  // Offers Device to the file systems as its first open does; the status of the mount.
  static NTSTATUS Mount(PDEVICE_OBJECT Device);
  // The volume mounted on Device, or null.
  static PVCB VcbOf(PDEVICE_OBJECT Device);
  // Dismounts every volume on Device that nothing holds open (what the next mount's scan
  // does), as TearDown does; true when none is left.
  bool DismountIdle(PDEVICE_OBJECT Device);

  std::string Folder;

 private:
  std::vector<PDEVICE_OBJECT> Devices_;
  std::vector<HANDLE> Handles_;
};
