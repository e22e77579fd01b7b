// The I/O manager: driver, device, volume-parameter and file objects, IRPs and their
// stack locations, MDLs, the fast-I/O table, work items and the I/O control codes.
// Records have Windows' x64 layouts; the offsets drivers depend on are checked below.
#pragma once

#include "hostkernel/Ex.h"
#include "hostkernel/FileInfo.h"

#define POINTER_ALIGNMENT alignas(8)

#define IO_TYPE_DRIVER 4
#define IO_TYPE_DEVICE 3
#define IO_TYPE_FILE 5
#define IO_TYPE_IRP 6
#define IO_TYPE_VPB 10

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_QUERY_EA 0x07
#define IRP_MJ_SET_EA 0x08
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_QUERY_VOLUME_INFORMATION 0x0a
#define IRP_MJ_SET_VOLUME_INFORMATION 0x0b
#define IRP_MJ_DIRECTORY_CONTROL 0x0c
#define IRP_MJ_FILE_SYSTEM_CONTROL 0x0d
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_LOCK_CONTROL 0x11
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_CREATE_MAILSLOT 0x13
#define IRP_MJ_QUERY_SECURITY 0x14
#define IRP_MJ_SET_SECURITY 0x15
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_DEVICE_CHANGE 0x18
#define IRP_MJ_QUERY_QUOTA 0x19
#define IRP_MJ_SET_QUOTA 0x1a
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_NORMAL 0x00
#define IRP_MN_DPC 0x01
#define IRP_MN_MDL 0x02
#define IRP_MN_COMPLETE 0x04
#define IRP_MN_COMPRESSED 0x08
#define IRP_MN_COMPLETE_MDL (IRP_MN_COMPLETE | IRP_MN_MDL)
#define IRP_MN_QUERY_DIRECTORY 0x01
#define IRP_MN_NOTIFY_CHANGE_DIRECTORY 0x02
#define IRP_MN_USER_FS_REQUEST 0x00
#define IRP_MN_MOUNT_VOLUME 0x01
#define IRP_MN_VERIFY_VOLUME 0x02
#define IRP_MN_LOAD_FILE_SYSTEM 0x03
#define IRP_MN_KERNEL_CALL 0x04
#define IRP_MN_LOCK 0x01
#define IRP_MN_UNLOCK_SINGLE 0x02
#define IRP_MN_UNLOCK_ALL 0x03
#define IRP_MN_UNLOCK_ALL_BY_KEY 0x04
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_SURPRISE_REMOVAL 0x17

#define IRP_NOCACHE 0x00000001
#define IRP_PAGING_IO 0x00000002
#define IRP_MOUNT_COMPLETION 0x00000002
#define IRP_SYNCHRONOUS_API 0x00000004
#define IRP_ASSOCIATED_IRP 0x00000008
#define IRP_BUFFERED_IO 0x00000010
#define IRP_DEALLOCATE_BUFFER 0x00000020
#define IRP_INPUT_OPERATION 0x00000040
#define IRP_SYNCHRONOUS_PAGING_IO 0x00000040
#define IRP_CREATE_OPERATION 0x00000080
#define IRP_READ_OPERATION 0x00000100
#define IRP_WRITE_OPERATION 0x00000200
#define IRP_CLOSE_OPERATION 0x00000400
#define IRP_DEFER_IO_COMPLETION 0x00000800

#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80
#define SL_FORCE_ACCESS_CHECK 0x01
#define SL_OPEN_PAGING_FILE 0x02
#define SL_OPEN_TARGET_DIRECTORY 0x04
#define SL_CASE_SENSITIVE 0x80
#define SL_OVERRIDE_VERIFY_VOLUME 0x02
#define SL_WRITE_THROUGH 0x04
#define SL_FT_SEQUENTIAL_WRITE 0x08
#define SL_RESTART_SCAN 0x01
#define SL_RETURN_SINGLE_ENTRY 0x02
#define SL_INDEX_SPECIFIED 0x04
#define SL_WATCH_TREE 0x01
#define SL_ALLOW_RAW_MOUNT 0x01
#define SL_FAIL_IMMEDIATELY 0x01
#define SL_EXCLUSIVE_LOCK 0x02

#define DO_VERIFY_VOLUME 0x00000002
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_MAP_IO_BUFFER 0x00000020
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_SYSTEM_BOOT_PARTITION 0x00000100
#define DO_LONG_TERM_REQUESTS 0x00000200
#define DO_NEVER_LAST_DEVICE 0x00000400

#define FILE_REMOVABLE_MEDIA 0x00000001
#define FILE_READ_ONLY_DEVICE 0x00000002
#define FILE_FLOPPY_DISKETTE 0x00000004
#define FILE_DEVICE_IS_MOUNTED 0x00000020
#define FILE_DEVICE_SECURE_OPEN 0x00000100

#define FILE_DEVICE_CD_ROM 0x00000002
#define FILE_DEVICE_CD_ROM_FILE_SYSTEM 0x00000003
#define FILE_DEVICE_DISK 0x00000007
#define FILE_DEVICE_DISK_FILE_SYSTEM 0x00000008
#define FILE_DEVICE_FILE_SYSTEM 0x00000009
#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_MASS_STORAGE 0x0000002d
#define FILE_DEVICE_DVD 0x00000033
using DEVICE_TYPE = ULONG;

#define VPB_MOUNTED 0x0001
#define VPB_LOCKED 0x0002
#define VPB_PERSISTENT 0x0004
#define VPB_REMOVE_PENDING 0x0008
#define VPB_RAW_MOUNT 0x0010
#define VPB_DIRECT_WRITES_ALLOWED 0x0020
#define MAXIMUM_VOLUME_LABEL_LENGTH (32 * sizeof(WCHAR))

#define FO_FILE_OPEN 0x00000001
#define FO_SYNCHRONOUS_IO 0x00000002
#define FO_ALERTABLE_IO 0x00000004
#define FO_NO_INTERMEDIATE_BUFFERING 0x00000008
#define FO_WRITE_THROUGH 0x00000010
#define FO_SEQUENTIAL_ONLY 0x00000020
#define FO_CACHE_SUPPORTED 0x00000040
#define FO_STREAM_FILE 0x00000100
#define FO_DIRECT_DEVICE_OPEN 0x00000800
#define FO_FILE_MODIFIED 0x00001000
#define FO_FILE_SIZE_CHANGED 0x00002000
#define FO_CLEANUP_COMPLETE 0x00004000
#define FO_TEMPORARY_FILE 0x00008000
#define FO_DELETE_ON_CLOSE 0x00010000
#define FO_OPENED_CASE_SENSITIVE 0x00020000
#define FO_HANDLE_CREATED 0x00040000
#define FO_FILE_FAST_IO_READ 0x00080000
#define FO_RANDOM_ACCESS 0x00100000
#define FO_VOLUME_OPEN 0x00400000

#define IO_NO_INCREMENT 0
#define IO_CD_ROM_INCREMENT 1
#define IO_DISK_INCREMENT 1
#define IO_REMOUNT 0x1

// Create dispositions, options and results.
#define FILE_SUPERSEDE 0x00000000
#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#define FILE_OPEN_IF 0x00000003
#define FILE_OVERWRITE 0x00000004
#define FILE_OVERWRITE_IF 0x00000005
#define FILE_DIRECTORY_FILE 0x00000001
#define FILE_WRITE_THROUGH 0x00000002
#define FILE_SEQUENTIAL_ONLY 0x00000004
#define FILE_NO_INTERMEDIATE_BUFFERING 0x00000008
#define FILE_SYNCHRONOUS_IO_ALERT 0x00000010
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_NON_DIRECTORY_FILE 0x00000040
#define FILE_COMPLETE_IF_OPLOCKED 0x00000100
#define FILE_NO_EA_KNOWLEDGE 0x00000200
#define FILE_RANDOM_ACCESS 0x00000800
#define FILE_DELETE_ON_CLOSE 0x00001000
#define FILE_OPEN_BY_FILE_ID 0x00002000
#define FILE_OPEN_FOR_BACKUP_INTENT 0x00004000
#define FILE_OPEN_REPARSE_POINT 0x00200000
#define FILE_OPEN_REQUIRING_OPLOCK 0x00010000
#define FILE_VALID_OPTION_FLAGS 0x00FFFFFF
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define FILE_SUPERSEDED 0x00000000
#define FILE_OPENED 0x00000001
#define FILE_CREATED 0x00000002
#define FILE_OVERWRITTEN 0x00000003
#define FILE_EXISTS 0x00000004
#define FILE_DOES_NOT_EXIST 0x00000005

// I/O control codes.
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_FROM_CTL_CODE(ctrlCode) ((ULONG)((ctrlCode) & 3))
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_SPECIAL_ACCESS FILE_ANY_ACCESS
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002

#define IOCTL_DISK_BASE FILE_DEVICE_DISK
#define IOCTL_CDROM_BASE FILE_DEVICE_CD_ROM
#define IOCTL_STORAGE_BASE FILE_DEVICE_MASS_STORAGE
#define IOCTL_DISK_GET_DRIVE_GEOMETRY CTL_CODE(IOCTL_DISK_BASE, 0x0000, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_DISK_GET_PARTITION_INFO_EX CTL_CODE(IOCTL_DISK_BASE, 0x0012, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_DISK_CHECK_VERIFY CTL_CODE(IOCTL_DISK_BASE, 0x0200, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_CDROM_READ_TOC CTL_CODE(IOCTL_CDROM_BASE, 0x0000, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_CDROM_CHECK_VERIFY CTL_CODE(IOCTL_CDROM_BASE, 0x0200, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_STORAGE_CHECK_VERIFY CTL_CODE(IOCTL_STORAGE_BASE, 0x0200, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_STORAGE_GET_HOTPLUG_INFO CTL_CODE(IOCTL_STORAGE_BASE, 0x0305, METHOD_BUFFERED, FILE_ANY_ACCESS)
static_assert(IOCTL_DISK_CHECK_VERIFY == 0x74800);
static_assert(IOCTL_DISK_GET_PARTITION_INFO_EX == 0x70048);
static_assert(IOCTL_CDROM_READ_TOC == 0x24000);
static_assert(IOCTL_STORAGE_GET_HOTPLUG_INFO == 0x2D0C14);

#define FSCTL_REQUEST_OPLOCK_LEVEL_1 CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 0, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_REQUEST_OPLOCK_LEVEL_2 CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 1, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_REQUEST_BATCH_OPLOCK CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 2, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_OPLOCK_BREAK_ACKNOWLEDGE CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 3, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_OPBATCH_ACK_CLOSE_PENDING CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 4, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_OPLOCK_BREAK_NOTIFY CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 5, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_LOCK_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 6, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_UNLOCK_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 7, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_DISMOUNT_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 8, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_IS_VOLUME_MOUNTED CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 10, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_IS_PATHNAME_VALID CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 11, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_MARK_VOLUME_DIRTY CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 12, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_OPLOCK_BREAK_ACK_NO_2 CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 20, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_INVALIDATE_VOLUMES CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 21, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_REQUEST_FILTER_OPLOCK CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 23, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_GET_VOLUME_BITMAP CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 27, METHOD_NEITHER, FILE_ANY_ACCESS)
#define FSCTL_GET_RETRIEVAL_POINTERS CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 28, METHOD_NEITHER, FILE_ANY_ACCESS)
#define FSCTL_IS_VOLUME_DIRTY CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 30, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_ALLOW_EXTENDED_DASD_IO CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 32, METHOD_NEITHER, FILE_ANY_ACCESS)
#define FSCTL_REQUEST_OPLOCK CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 144, METHOD_BUFFERED, FILE_ANY_ACCESS)
static_assert(FSCTL_GET_VOLUME_BITMAP == 0x9006F && FSCTL_REQUEST_OPLOCK == 0x90240);

struct DRIVER_OBJECT;
struct DEVICE_OBJECT;
struct FILE_OBJECT;
struct IRP;
struct MDL;
struct VPB;
struct IO_STACK_LOCATION;
using PDRIVER_OBJECT = DRIVER_OBJECT*;
using PDEVICE_OBJECT = DEVICE_OBJECT*;
using PFILE_OBJECT = FILE_OBJECT*;
using PIRP = IRP*;
using PMDL = MDL*;
using PVPB = VPB*;
using PIO_STACK_LOCATION = IO_STACK_LOCATION*;

struct IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
};
using PIO_STATUS_BLOCK = IO_STATUS_BLOCK*;
static_assert(sizeof(IO_STATUS_BLOCK) == 16);

using PDRIVER_DISPATCH = NTSTATUS (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
using PIO_COMPLETION_ROUTINE = NTSTATUS (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
using PDRIVER_UNLOAD = void (*)(PDRIVER_OBJECT DriverObject);
using PDRIVER_INITIALIZE = NTSTATUS (*)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

struct SECTION_OBJECT_POINTERS {
  PVOID DataSectionObject;
  PVOID SharedCacheMap;
  PVOID ImageSectionObject;
};
using PSECTION_OBJECT_POINTERS = SECTION_OBJECT_POINTERS*;

struct SHARE_ACCESS {
  ULONG OpenCount;
  ULONG Readers;
  ULONG Writers;
  ULONG Deleters;
  ULONG SharedRead;
  ULONG SharedWrite;
  ULONG SharedDelete;
};
using PSHARE_ACCESS = SHARE_ACCESS*;

struct VPB {
  CSHORT Type;
  CSHORT Size;
  USHORT Flags;
  USHORT VolumeLabelLength;
  PDEVICE_OBJECT DeviceObject;
  PDEVICE_OBJECT RealDevice;
  ULONG SerialNumber;
  ULONG ReferenceCount;
  WCHAR VolumeLabel[MAXIMUM_VOLUME_LABEL_LENGTH / sizeof(WCHAR)];
};
static_assert(sizeof(VPB) == 0x60 && offsetof(VPB, ReferenceCount) == 0x1C);

struct FILE_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;
  PVPB Vpb;
  PVOID FsContext;
  PVOID FsContext2;
  PSECTION_OBJECT_POINTERS SectionObjectPointer;
  PVOID PrivateCacheMap;
  NTSTATUS FinalStatus;
  FILE_OBJECT* RelatedFileObject;
  BOOLEAN LockOperation;
  BOOLEAN DeletePending;
  BOOLEAN ReadAccess;
  BOOLEAN WriteAccess;
  BOOLEAN DeleteAccess;
  BOOLEAN SharedRead;
  BOOLEAN SharedWrite;
  BOOLEAN SharedDelete;
  ULONG Flags;
  UNICODE_STRING FileName;
  LARGE_INTEGER CurrentByteOffset;
  ULONG Waiters;
  ULONG Busy;
  PVOID LastLock;
  KEVENT Lock;
  KEVENT Event;
  PVOID CompletionContext;
  KSPIN_LOCK IrpListLock;
  LIST_ENTRY IrpList;
  PVOID FileObjectExtension;
};
static_assert(offsetof(FILE_OBJECT, FsContext) == 0x18 && offsetof(FILE_OBJECT, FsContext2) == 0x20);
static_assert(offsetof(FILE_OBJECT, Flags) == 0x50 && offsetof(FILE_OBJECT, FileName) == 0x58);
static_assert(sizeof(FILE_OBJECT) == 0xD8);

struct alignas(16) DEVICE_OBJECT {
  CSHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  PDRIVER_OBJECT DriverObject;
  PDEVICE_OBJECT NextDevice;
  PDEVICE_OBJECT AttachedDevice;
  PIRP CurrentIrp;
  PVOID Timer;
  ULONG Flags;
  ULONG Characteristics;
  PVPB Vpb;
  PVOID DeviceExtension;
  DEVICE_TYPE DeviceType;
  CCHAR StackSize;
  alignas(8) UCHAR Queue[0x48];          // WAIT_CONTEXT_BLOCK, unused by file systems
  ULONG AlignmentRequirement;
  alignas(8) UCHAR DeviceQueue[0x28];    // KDEVICE_QUEUE
  alignas(8) UCHAR Dpc[0x40];            // KDPC
  ULONG ActiveThreadCount;
  PVOID SecurityDescriptor;
  KEVENT DeviceLock;
  USHORT SectorSize;
  USHORT Spare1;
  PVOID DeviceObjectExtension;
  PVOID Reserved;
};
static_assert(offsetof(DEVICE_OBJECT, Flags) == 0x30 && offsetof(DEVICE_OBJECT, Vpb) == 0x38);
static_assert(offsetof(DEVICE_OBJECT, DeviceExtension) == 0x40 && offsetof(DEVICE_OBJECT, StackSize) == 0x4C);
static_assert(offsetof(DEVICE_OBJECT, SectorSize) == 0x130 && sizeof(DEVICE_OBJECT) == 0x150);

struct FAST_IO_DISPATCH;
using PFAST_IO_DISPATCH = FAST_IO_DISPATCH*;

struct DRIVER_EXTENSION {
  PDRIVER_OBJECT DriverObject;
  PVOID AddDevice;
  ULONG Count;
  UNICODE_STRING ServiceKeyName;
};

struct DRIVER_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;
  ULONG Flags;
  PVOID DriverStart;
  ULONG DriverSize;
  PVOID DriverSection;
  DRIVER_EXTENSION* DriverExtension;
  UNICODE_STRING DriverName;
  PUNICODE_STRING HardwareDatabase;
  PFAST_IO_DISPATCH FastIoDispatch;
  PDRIVER_INITIALIZE DriverInit;
  PVOID DriverStartIo;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};
static_assert(offsetof(DRIVER_OBJECT, FastIoDispatch) == 0x50);
static_assert(offsetof(DRIVER_OBJECT, MajorFunction) == 0x70 && sizeof(DRIVER_OBJECT) == 0x150);

struct MDL {
  MDL* Next;
  CSHORT Size;
  CSHORT MdlFlags;
  PEPROCESS Process;
  PVOID MappedSystemVa;
  PVOID StartVa;
  ULONG ByteCount;
  ULONG ByteOffset;
};
static_assert(sizeof(MDL) == 0x30);
#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020
#define MDL_IO_PAGE_READ 0x0040
#define MDL_WRITE_OPERATION 0x0080
#define MDL_PARENT_MAPPED_SYSTEM_VA 0x0100

struct IO_SECURITY_CONTEXT {
  PVOID SecurityQos;
  PVOID AccessState;
  ACCESS_MASK DesiredAccess;
  ULONG FullCreateOptions;
};
using PIO_SECURITY_CONTEXT = IO_SECURITY_CONTEXT*;

struct IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      PIO_SECURITY_CONTEXT SecurityContext;
      ULONG Options;
      POINTER_ALIGNMENT USHORT FileAttributes;
      USHORT ShareAccess;
      POINTER_ALIGNMENT ULONG EaLength;
    } Create;
    struct {
      ULONG Length;
      POINTER_ALIGNMENT ULONG Key;
      ULONG Flags;
      LARGE_INTEGER ByteOffset;
    } Read;
    struct {
      ULONG Length;
      POINTER_ALIGNMENT ULONG Key;
      ULONG Flags;
      LARGE_INTEGER ByteOffset;
    } Write;
    struct {
      ULONG Length;
      PUNICODE_STRING FileName;
      FILE_INFORMATION_CLASS FileInformationClass;
      POINTER_ALIGNMENT ULONG FileIndex;
    } QueryDirectory;
    struct {
      ULONG Length;
      POINTER_ALIGNMENT ULONG CompletionFilter;
    } NotifyDirectory;
    struct {
      ULONG Length;
      POINTER_ALIGNMENT FILE_INFORMATION_CLASS FileInformationClass;
    } QueryFile;
    struct {
      ULONG Length;
      POINTER_ALIGNMENT FILE_INFORMATION_CLASS FileInformationClass;
      PFILE_OBJECT FileObject;
      union {
        struct {
          BOOLEAN ReplaceIfExists;
          BOOLEAN AdvanceOnly;
        };
        ULONG ClusterCount;
        HANDLE DeleteHandle;
      };
    } SetFile;
    struct {
      ULONG Length;
      PVOID EaList;
      ULONG EaListLength;
      POINTER_ALIGNMENT ULONG EaIndex;
    } QueryEa;
    struct {
      ULONG Length;
    } SetEa;
    struct {
      ULONG Length;
      POINTER_ALIGNMENT FS_INFORMATION_CLASS FsInformationClass;
    } QueryVolume;
    struct {
      ULONG Length;
      POINTER_ALIGNMENT FS_INFORMATION_CLASS FsInformationClass;
    } SetVolume;
    struct {
      ULONG OutputBufferLength;
      POINTER_ALIGNMENT ULONG InputBufferLength;
      POINTER_ALIGNMENT ULONG FsControlCode;
      PVOID Type3InputBuffer;
    } FileSystemControl;
    struct {
      PLARGE_INTEGER Length;
      POINTER_ALIGNMENT ULONG Key;
      LARGE_INTEGER ByteOffset;
    } LockControl;
    struct {
      ULONG OutputBufferLength;
      POINTER_ALIGNMENT ULONG InputBufferLength;
      POINTER_ALIGNMENT ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      PVPB Vpb;
      PDEVICE_OBJECT DeviceObject;
    } MountVolume;
    struct {
      PVPB Vpb;
      PDEVICE_OBJECT DeviceObject;
    } VerifyVolume;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
};
static_assert(offsetof(IO_STACK_LOCATION, Parameters) == 8);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Read.ByteOffset) == 0x18);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.QueryDirectory.FileIndex) == 0x20);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.FileSystemControl.FsControlCode) == 0x18);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer) == 0x20);
static_assert(offsetof(IO_STACK_LOCATION, DeviceObject) == 0x28 && offsetof(IO_STACK_LOCATION, FileObject) == 0x30);
static_assert(sizeof(IO_STACK_LOCATION) == 0x48);

struct IRP {
  CSHORT Type;
  USHORT Size;
  USHORT AllocationProcessorNumber;
  USHORT Reserved;
  PMDL MdlAddress;
  ULONG Flags;
  union {
    IRP* MasterIrp;
    LONG IrpCount;
    PVOID SystemBuffer;
  } AssociatedIrp;
  LIST_ENTRY ThreadListEntry;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  CCHAR ApcEnvironment;
  UCHAR AllocationFlags;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  union {
    struct {
      PVOID UserApcRoutine;
      PVOID UserApcContext;
    } AsynchronousParameters;
    LARGE_INTEGER AllocationSize;
  } Overlay;
  PVOID CancelRoutine;
  PVOID UserBuffer;
  union {
    struct {
      PVOID DriverContext[4];
      PETHREAD Thread;
      PCHAR AuxiliaryBuffer;
      LIST_ENTRY ListEntry;
      union {
        IO_STACK_LOCATION* CurrentStackLocation;
        ULONG PacketType;
      };
      PFILE_OBJECT OriginalFileObject;
    } Overlay;
    UCHAR Apc[0x58];
    PVOID CompletionKey;
  } Tail;
};
static_assert(offsetof(IRP, MdlAddress) == 0x08 && offsetof(IRP, Flags) == 0x10);
static_assert(offsetof(IRP, AssociatedIrp) == 0x18 && offsetof(IRP, IoStatus) == 0x30);
static_assert(offsetof(IRP, RequestorMode) == 0x40 && offsetof(IRP, CurrentLocation) == 0x43);
static_assert(offsetof(IRP, UserIosb) == 0x48 && offsetof(IRP, UserBuffer) == 0x70);
static_assert(offsetof(IRP, Tail.Overlay.Thread) == 0x98);
static_assert(offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 0xB8);
static_assert(offsetof(IRP, Tail.Overlay.OriginalFileObject) == 0xC0 && sizeof(IRP) == 0xD0);

// ---- Fast I/O ---------------------------------------------------------------------------
using PFAST_IO_CHECK_IF_POSSIBLE = BOOLEAN (*)(PFILE_OBJECT, PLARGE_INTEGER, ULONG, BOOLEAN, ULONG,
                                               BOOLEAN, PIO_STATUS_BLOCK, PDEVICE_OBJECT);
using PFAST_IO_READ = BOOLEAN (*)(PFILE_OBJECT, PLARGE_INTEGER, ULONG, BOOLEAN, ULONG, PVOID,
                                  PIO_STATUS_BLOCK, PDEVICE_OBJECT);
using PFAST_IO_WRITE = PFAST_IO_READ;
using PFAST_IO_QUERY_BASIC_INFO = BOOLEAN (*)(PFILE_OBJECT, BOOLEAN, PFILE_BASIC_INFORMATION,
                                              PIO_STATUS_BLOCK, PDEVICE_OBJECT);
using PFAST_IO_QUERY_STANDARD_INFO = BOOLEAN (*)(PFILE_OBJECT, BOOLEAN, PFILE_STANDARD_INFORMATION,
                                                 PIO_STATUS_BLOCK, PDEVICE_OBJECT);
using PFAST_IO_LOCK = BOOLEAN (*)(PFILE_OBJECT, PLARGE_INTEGER, PLARGE_INTEGER, PEPROCESS, ULONG,
                                  BOOLEAN, BOOLEAN, PIO_STATUS_BLOCK, PDEVICE_OBJECT);
using PFAST_IO_UNLOCK_SINGLE = BOOLEAN (*)(PFILE_OBJECT, PLARGE_INTEGER, PLARGE_INTEGER, PEPROCESS,
                                           ULONG, PIO_STATUS_BLOCK, PDEVICE_OBJECT);
using PFAST_IO_UNLOCK_ALL = BOOLEAN (*)(PFILE_OBJECT, PEPROCESS, PIO_STATUS_BLOCK, PDEVICE_OBJECT);
using PFAST_IO_UNLOCK_ALL_BY_KEY = BOOLEAN (*)(PFILE_OBJECT, PVOID, ULONG, PIO_STATUS_BLOCK,
                                               PDEVICE_OBJECT);
using PFAST_IO_DEVICE_CONTROL = BOOLEAN (*)(PFILE_OBJECT, BOOLEAN, PVOID, ULONG, PVOID, ULONG, ULONG,
                                            PIO_STATUS_BLOCK, PDEVICE_OBJECT);
using PFAST_IO_QUERY_NETWORK_OPEN_INFO = BOOLEAN (*)(PFILE_OBJECT, BOOLEAN,
                                                     PFILE_NETWORK_OPEN_INFORMATION,
                                                     PIO_STATUS_BLOCK, PDEVICE_OBJECT);
using PFAST_IO_MDL_READ = BOOLEAN (*)(PFILE_OBJECT, PLARGE_INTEGER, ULONG, ULONG, PMDL*,
                                      PIO_STATUS_BLOCK, PDEVICE_OBJECT);
using PFAST_IO_MDL_READ_COMPLETE = BOOLEAN (*)(PFILE_OBJECT, PMDL, PDEVICE_OBJECT);
using PFAST_IO_PREPARE_MDL_WRITE = PFAST_IO_MDL_READ;
using PFAST_IO_MDL_WRITE_COMPLETE = BOOLEAN (*)(PFILE_OBJECT, PLARGE_INTEGER, PMDL, PDEVICE_OBJECT);
using PFAST_IO_ACQUIRE_FOR_CCFLUSH = NTSTATUS (*)(PFILE_OBJECT, PDEVICE_OBJECT);
using PFAST_IO_RELEASE_FOR_CCFLUSH = NTSTATUS (*)(PFILE_OBJECT, PDEVICE_OBJECT);

struct FAST_IO_DISPATCH {
  ULONG SizeOfFastIoDispatch;
  PFAST_IO_CHECK_IF_POSSIBLE FastIoCheckIfPossible;
  PFAST_IO_READ FastIoRead;
  PFAST_IO_WRITE FastIoWrite;
  PFAST_IO_QUERY_BASIC_INFO FastIoQueryBasicInfo;
  PFAST_IO_QUERY_STANDARD_INFO FastIoQueryStandardInfo;
  PFAST_IO_LOCK FastIoLock;
  PFAST_IO_UNLOCK_SINGLE FastIoUnlockSingle;
  PFAST_IO_UNLOCK_ALL FastIoUnlockAll;
  PFAST_IO_UNLOCK_ALL_BY_KEY FastIoUnlockAllByKey;
  PFAST_IO_DEVICE_CONTROL FastIoDeviceControl;
  PVOID AcquireFileForNtCreateSection;
  PVOID ReleaseFileForNtCreateSection;
  PVOID FastIoDetachDevice;
  PFAST_IO_QUERY_NETWORK_OPEN_INFO FastIoQueryNetworkOpenInfo;
  PVOID AcquireForModWrite;
  PFAST_IO_MDL_READ MdlRead;
  PFAST_IO_MDL_READ_COMPLETE MdlReadComplete;
  PFAST_IO_PREPARE_MDL_WRITE PrepareMdlWrite;
  PFAST_IO_MDL_WRITE_COMPLETE MdlWriteComplete;
  PVOID FastIoReadCompressed;
  PVOID FastIoWriteCompressed;
  PVOID MdlReadCompleteCompressed;
  PVOID MdlWriteCompleteCompressed;
  PVOID FastIoQueryOpen;
  PVOID ReleaseForModWrite;
  PFAST_IO_ACQUIRE_FOR_CCFLUSH AcquireForCcFlush;
  PFAST_IO_RELEASE_FOR_CCFLUSH ReleaseForCcFlush;
};
static_assert(offsetof(FAST_IO_DISPATCH, FastIoQueryNetworkOpenInfo) == 0x70);
static_assert(offsetof(FAST_IO_DISPATCH, MdlRead) == 0x80 && sizeof(FAST_IO_DISPATCH) == 0xE0);

// ---- Stack locations ---------------------------------------------------------------------
inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
  return Irp->Tail.Overlay.CurrentStackLocation;
}
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
  return Irp->Tail.Overlay.CurrentStackLocation - 1;
}
inline void IoSetNextIrpStackLocation(PIRP Irp) {
  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
}
inline void IoSkipCurrentIrpStackLocation(PIRP Irp) {
  Irp->CurrentLocation++;
  Irp->Tail.Overlay.CurrentStackLocation++;
}
inline void IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
  PIO_STACK_LOCATION Current = IoGetCurrentIrpStackLocation(Irp);
  PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
  std::memcpy(Next, Current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
  Next->Control = 0;
}
inline void IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE Routine, PVOID Context,
                                   BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                   BOOLEAN InvokeOnCancel) {
  PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
  Next->CompletionRoutine = Routine;
  Next->Context = Context;
  Next->Control = 0;
  if (InvokeOnSuccess) Next->Control |= SL_INVOKE_ON_SUCCESS;
  if (InvokeOnError) Next->Control |= SL_INVOKE_ON_ERROR;
  if (InvokeOnCancel) Next->Control |= SL_INVOKE_ON_CANCEL;
}
inline void IoMarkIrpPending(PIRP Irp) {
  IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}

// ---- Objects, IRPs and completion ------------------------------------------------------
NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject);
void IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
void IoRegisterFileSystem(PDEVICE_OBJECT DeviceObject);
void IoUnregisterFileSystem(PDEVICE_OBJECT DeviceObject);
PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject);
PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject);

// Object references on device and file objects. A file object whose last reference goes
// is deleted: its VPB reference is dropped, then IRP_MJ_CLOSE is sent (Io.cpp).
void ObfReferenceObject(PVOID Object);
void ObfDereferenceObject(PVOID Object);
#define ObReferenceObject(O) ObfReferenceObject(O)
#define ObDereferenceObject(O) ObfDereferenceObject(O)
// Object types: only file objects are looked up by handle in this stand-in.
struct OBJECT_TYPE;
using POBJECT_TYPE = OBJECT_TYPE*;
extern POBJECT_TYPE* IoFileObjectType;
struct OBJECT_HANDLE_INFORMATION;
// The object behind Handle in the front end's handle table, referenced; STATUS_INVALID_HANDLE
// for a handle not there, STATUS_OBJECT_TYPE_MISMATCH for a type other than file objects.
NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   OBJECT_HANDLE_INFORMATION* HandleInformation);

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
void IoFreeIrp(PIRP Irp);
PIRP IoMakeAssociatedIrp(PIRP Irp, CCHAR StackSize);
NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
#define IoCallDriver(D, I) IofCallDriver(D, I)
#define IoCompleteRequest(I, B) IofCompleteRequest(I, B)

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength,
                                   PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                   PIO_STATUS_BLOCK IoStatusBlock);
PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                  ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                  PIO_STATUS_BLOCK IoStatusBlock);
PIRP IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                   ULONG Length, PLARGE_INTEGER StartingOffset,
                                   PIO_STATUS_BLOCK IoStatusBlock);

// The bounds of the calling thread's kernel stack, which grows down towards LowLimit.
void IoGetStackLimits(PULONG_PTR LowLimit, PULONG_PTR HighLimit);
PIRP IoGetTopLevelIrp();
void IoSetTopLevelIrp(PIRP Irp);
BOOLEAN IoIsOperationSynchronous(PIRP Irp);
PETHREAD IoGetRequestorThread(PIRP Irp);
PDEVICE_OBJECT IoGetDeviceToVerify(PETHREAD Thread);
void IoSetDeviceToVerify(PETHREAD Thread, PDEVICE_OBJECT DeviceObject);
void IoSetHardErrorOrVerifyDevice(PIRP Irp, PDEVICE_OBJECT DeviceObject);
PFILE_OBJECT IoCreateStreamFileObject(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject);

// Volume verification and hard errors.
NTSTATUS IoVerifyVolume(PDEVICE_OBJECT DeviceObject, BOOLEAN AllowRawMount);
void IoRaiseHardError(PIRP Irp, PVPB Vpb, PDEVICE_OBJECT RealDeviceObject);
BOOLEAN IoRaiseInformationalHardError(NTSTATUS ErrorStatus, PUNICODE_STRING String, PKTHREAD Thread);
// The lock of every VPB's Flags, ReferenceCount and DeviceObject fields.
void IoAcquireVpbSpinLock(PKIRQL Irql);
void IoReleaseVpbSpinLock(KIRQL Irql);

// Cancellation. A cancel routine is called holding the cancel spin lock (acquired at
// Irp->CancelIrql) and releases it first; IoSetCancelRoutine swaps atomically, so whoever
// takes a routine out of an IRP owns its completion.
using PDRIVER_CANCEL = void (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void IoAcquireCancelSpinLock(PKIRQL Irql);
void IoReleaseCancelSpinLock(KIRQL Irql);
PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine);
// Marks the IRP cancelled and calls its cancel routine when it has one (TRUE then).
BOOLEAN IoCancelIrp(PIRP Irp);

// ---- MDLs over the host's flat address space -------------------------------------------
enum LOCK_OPERATION { IoReadAccess, IoWriteAccess, IoModifyAccess };
enum MM_PAGE_PRIORITY { LowPagePriority, NormalPagePriority = 16, HighPagePriority = 32 };
#define MdlMappingNoExecute 0x40000000
#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                   BOOLEAN ChargeQuota, PIRP Irp);
void IoFreeMdl(PMDL Mdl);
void IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length);
// Probes the pages against the buffers the caller registered (user mode) and locks them;
// a range outside them raises STATUS_ACCESS_VIOLATION.
void MmProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation);
void MmUnlockPages(PMDL Mdl);
void MmBuildMdlForNonPagedPool(PMDL Mdl);
PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority);
inline PVOID MmGetMdlVirtualAddress(PMDL Mdl) { return (PUCHAR)Mdl->StartVa + Mdl->ByteOffset; }
inline ULONG MmGetMdlByteCount(PMDL Mdl) { return Mdl->ByteCount; }

enum MM_SYSTEMSIZE { MmSmallSystem, MmMediumSystem, MmLargeSystem };
MM_SYSTEMSIZE MmQuerySystemSize();
// Processor caches are coherent with DMA on the machines the driver runs on: nothing to do.
inline void KeFlushIoBuffers(PMDL Mdl, BOOLEAN ReadOperation, BOOLEAN DmaOperation) {
  (void)Mdl;
  (void)ReadOperation;
  (void)DmaOperation;
}

// ---- Work items --------------------------------------------------------------------------
struct IO_WORKITEM;
using PIO_WORKITEM = IO_WORKITEM*;
using PIO_WORKITEM_ROUTINE = void (*)(PDEVICE_OBJECT DeviceObject, PVOID Context);

// A work item holds a reference on its device object while it is queued, so the device
// cannot go before the routine has run.
PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject);
void IoFreeWorkItem(PIO_WORKITEM IoWorkItem);
void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                     WORK_QUEUE_TYPE QueueType, PVOID Context);
