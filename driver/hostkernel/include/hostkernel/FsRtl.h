// The file-system run-time library and the cache manager's interface records, as far as
// the driver uses them so far.
#pragma once

#include "hostkernel/Io.h"

// Top-level IRP markers: values below FSRTL_MAX_TOP_LEVEL_IRP_FLAG stored as the
// thread's top-level IRP say who is at the top instead of naming an IRP.
#define FSRTL_FSP_TOP_LEVEL_IRP ((PIRP)0x01)
#define FSRTL_CACHE_TOP_LEVEL_IRP ((PIRP)0x02)
#define FSRTL_MOD_WRITE_TOP_LEVEL_IRP ((PIRP)0x03)
#define FSRTL_FAST_IO_TOP_LEVEL_IRP ((PIRP)0x04)
#define FSRTL_MAX_TOP_LEVEL_IRP_FLAG ((PIRP)0xFFFF)

// TRUE for the statuses a file system may let an exception carry to its handler; FALSE
// for the processor's own exceptions (access violations, misalignment and the like).
BOOLEAN FsRtlIsNtstatusExpected(NTSTATUS Exception);
// Exception if it is expected, else GenericStatus.
NTSTATUS FsRtlNormalizeNtstatus(NTSTATUS Exception, NTSTATUS GenericStatus);
BOOLEAN FsRtlIsTotalDeviceFailure(NTSTATUS Status);
// Tells the system that a dismount of the volume on DeviceObject ended with Status.
void FsRtlDismountComplete(PDEVICE_OBJECT DeviceObject, NTSTATUS Status);

// ---- Common file-control-block headers ---------------------------------------------------
#define FSRTL_FLAG_ADVANCED_HEADER 0x40
#define FSRTL_FLAG2_SUPPORTS_FILTER_CONTEXTS 0x02
#define FSRTL_FCB_HEADER_V3 0x03

enum FAST_IO_POSSIBLE { FastIoIsNotPossible = 0, FastIoIsPossible, FastIoIsQuestionable };

struct FSRTL_COMMON_FCB_HEADER {
  CSHORT NodeTypeCode;
  CSHORT NodeByteSize;
  UCHAR Flags;
  UCHAR IsFastIoPossible;
  UCHAR Flags2;
  UCHAR Version;
  PERESOURCE Resource;
  PERESOURCE PagingIoResource;
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER FileSize;
  LARGE_INTEGER ValidDataLength;
};
static_assert(sizeof(FSRTL_COMMON_FCB_HEADER) == 0x30);

struct FSRTL_ADVANCED_FCB_HEADER : FSRTL_COMMON_FCB_HEADER {
  PFAST_MUTEX FastMutex;
  LIST_ENTRY FilterContexts;
  PVOID PushLock;
  PVOID* FileContextSupportPointer;
  PVOID Oplock;
  PVOID ReservedContext;
};
using PFSRTL_ADVANCED_FCB_HEADER = FSRTL_ADVANCED_FCB_HEADER*;
static_assert(sizeof(FSRTL_ADVANCED_FCB_HEADER) == 0x68);

// ---- File-system filter callbacks --------------------------------------------------------
// Why a section is wanted, told to the section-synchronisation callbacks.
enum FS_FILTER_SECTION_SYNC_TYPE { SyncTypeOther = 0, SyncTypeCreateSection };

// The parameters of a filter callback: a section synchronisation's own, or the others'
// as untyped arguments.
union FS_FILTER_PARAMETERS {
  struct {
    FS_FILTER_SECTION_SYNC_TYPE SyncType;
    ULONG PageProtection;
    PVOID OutputInformation;
    ULONG Flags;
    ULONG AllocationAttributes;
  } AcquireForSectionSynchronization;
  struct {
    PVOID Argument1;
    PVOID Argument2;
    PVOID Argument3;
    PVOID Argument4;
    PVOID Argument5;
  } Others;
};
static_assert(sizeof(FS_FILTER_PARAMETERS) == 0x28);

struct FS_FILTER_CALLBACK_DATA {
  ULONG SizeOfFsFilterCallbackData;
  UCHAR Operation;
  UCHAR Reserved;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  FS_FILTER_PARAMETERS Parameters;
};
using PFS_FILTER_CALLBACK_DATA = FS_FILTER_CALLBACK_DATA*;
using PFS_FILTER_CALLBACK = NTSTATUS (*)(PFS_FILTER_CALLBACK_DATA Data, PVOID* CompletionContext);
using PFS_FILTER_COMPLETION_CALLBACK = void (*)(PFS_FILTER_CALLBACK_DATA Data,
                                                NTSTATUS OperationStatus, PVOID CompletionContext);

struct FS_FILTER_CALLBACKS {
  ULONG SizeOfFsFilterCallbacks;
  ULONG Reserved;
  PFS_FILTER_CALLBACK PreAcquireForSectionSynchronization;
  PFS_FILTER_COMPLETION_CALLBACK PostAcquireForSectionSynchronization;
  PFS_FILTER_CALLBACK PreReleaseForSectionSynchronization;
  PFS_FILTER_COMPLETION_CALLBACK PostReleaseForSectionSynchronization;
  PFS_FILTER_CALLBACK PreAcquireForCcFlush;
  PFS_FILTER_COMPLETION_CALLBACK PostAcquireForCcFlush;
  PFS_FILTER_CALLBACK PreReleaseForCcFlush;
  PFS_FILTER_COMPLETION_CALLBACK PostReleaseForCcFlush;
  PFS_FILTER_CALLBACK PreAcquireForModifiedPageWriter;
  PFS_FILTER_COMPLETION_CALLBACK PostAcquireForModifiedPageWriter;
  PFS_FILTER_CALLBACK PreReleaseForModifiedPageWriter;
  PFS_FILTER_COMPLETION_CALLBACK PostReleaseForModifiedPageWriter;
};
using PFS_FILTER_CALLBACKS = FS_FILTER_CALLBACKS*;
static_assert(sizeof(FS_FILTER_CALLBACKS) == 0x68);

NTSTATUS FsRtlRegisterFileSystemFilterCallbacks(PDRIVER_OBJECT FilterDriverObject,
                                                PFS_FILTER_CALLBACKS Callbacks);

// The sector sizes of a storage device, asked of it with IOCTL_DISK_GET_DRIVE_GEOMETRY;
// the device's own status when it cannot answer.
NTSTATUS FsRtlGetSectorSizeInformation(PDEVICE_OBJECT DeviceObject,
                                       PFILE_FS_SECTOR_SIZE_INFORMATION SectorSizeInfo);

// ---- Stack overflow --------------------------------------------------------------------------
// Runs Routine (Context, Event) in a system thread with a fresh stack, for a request the
// calling thread has too little stack left to serve; the caller waits for Event.
using PFSRTL_STACK_OVERFLOW_ROUTINE = void (*)(PVOID Context, PKEVENT Event);
void FsRtlPostStackOverflow(PVOID Context, PKEVENT Event, PFSRTL_STACK_OVERFLOW_ROUTINE StackOverflowRoutine);

// ---- Fast-I/O helpers of the run-time library --------------------------------------------
// The reads copy from the cache (or describe it by MDLs) under the header's Resource held
// shared, when the file object is cached and fast I/O is possible (a questionable answer
// is put to the file system's FastIoCheckIfPossible); otherwise they answer FALSE and the
// I/O manager builds an IRP instead. No stream is written through the cache: the write
// helpers always answer FALSE.
BOOLEAN FsRtlCopyRead(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                      BOOLEAN Wait, ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus,
                      PDEVICE_OBJECT DeviceObject);
BOOLEAN FsRtlCopyWrite(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                       BOOLEAN Wait, ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus,
                       PDEVICE_OBJECT DeviceObject);
BOOLEAN FsRtlMdlReadDev(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                        ULONG LockKey, PMDL* MdlChain, PIO_STATUS_BLOCK IoStatus,
                        PDEVICE_OBJECT DeviceObject);
BOOLEAN FsRtlMdlReadCompleteDev(PFILE_OBJECT FileObject, PMDL MdlChain, PDEVICE_OBJECT DeviceObject);
BOOLEAN FsRtlPrepareMdlWriteDev(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                                ULONG LockKey, PMDL* MdlChain, PIO_STATUS_BLOCK IoStatus,
                                PDEVICE_OBJECT DeviceObject);
BOOLEAN FsRtlMdlWriteCompleteDev(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                                 PMDL MdlChain, PDEVICE_OBJECT DeviceObject);

// ---- Cache manager -------------------------------------------------------------------------
using PACQUIRE_FOR_LAZY_WRITE = BOOLEAN (*)(PVOID Context, BOOLEAN Wait);
using PRELEASE_FROM_LAZY_WRITE = void (*)(PVOID Context);
using PACQUIRE_FOR_READ_AHEAD = BOOLEAN (*)(PVOID Context, BOOLEAN Wait);
using PRELEASE_FROM_READ_AHEAD = void (*)(PVOID Context);

struct CACHE_MANAGER_CALLBACKS {
  PACQUIRE_FOR_LAZY_WRITE AcquireForLazyWrite;
  PRELEASE_FROM_LAZY_WRITE ReleaseFromLazyWrite;
  PACQUIRE_FOR_READ_AHEAD AcquireForReadAhead;
  PRELEASE_FROM_READ_AHEAD ReleaseFromReadAhead;
};
using PCACHE_MANAGER_CALLBACKS = CACHE_MANAGER_CALLBACKS*;

// ---- Advanced file-control-block headers -------------------------------------------------
// Marks the header advanced, with filter contexts, and hands it the fast mutex that guards
// them (the kernel's inline routine of the same name).
inline void FsRtlSetupAdvancedFcbHeader(PFSRTL_ADVANCED_FCB_HEADER Header, PFAST_MUTEX FastMutex) {
  Header->Flags |= FSRTL_FLAG_ADVANCED_HEADER;
  Header->Flags2 |= FSRTL_FLAG2_SUPPORTS_FILTER_CONTEXTS;
  Header->Version = FSRTL_FCB_HEADER_V3;
  InitializeListHead(&Header->FilterContexts);
  Header->FastMutex = FastMutex;
  Header->PushLock = nullptr;
  Header->FileContextSupportPointer = nullptr;
}

// Frees the filter contexts still attached to a stream; filters attach none on the host, so
// a list that is not empty means a header was never set up or was corrupted.
void FsRtlTeardownPerStreamContexts(PFSRTL_ADVANCED_FCB_HEADER AdvancedHeader);

// ---- Change notification ---------------------------------------------------------------------
using PNOTIFY_SYNC = PVOID;
// Allocates the synchroniser of a notify list (raises when pool is exhausted).
void FsRtlNotifyInitializeSync(PNOTIFY_SYNC* NotifySync);
void FsRtlNotifyUninitializeSync(PNOTIFY_SYNC* NotifySync);
