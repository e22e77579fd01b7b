// The driver's in-memory records: the global data, the request context, the volume
// and handle records and the per-transfer I/O context. Every record starts with a
// 16-bit node type code and a 16-bit size.
#pragma once

#include <ntifs.h>

#include "ApfsStruc.h"

struct FCB;
using PFCB = FCB*;

// ---- Node type codes ----------------------------------------------------------------------
using NODE_TYPE_CODE = USHORT;
using NODE_BYTE_SIZE = USHORT;

#define NODE_TYPE_CCB ((NODE_TYPE_CODE)0x0AA0)
#define NODE_TYPE_FCB ((NODE_TYPE_CODE)0x0AA1)
#define NODE_TYPE_VCB ((NODE_TYPE_CODE)0x0AA2)
#define NODE_TYPE_IRP_CONTEXT ((NODE_TYPE_CODE)0x0AA3)
#define NODE_TYPE_GLOBAL_DATA ((NODE_TYPE_CODE)0x0AA4)

struct VCB;
using PVCB = VCB*;
struct PARTITION;

#define NodeType(P) ((P) == nullptr ? 0 : *((NODE_TYPE_CODE*)(P)))

// ---- Pool tags --------------------------------------------------------------------------------
#define TAG_IRP_CONTEXT PoolTag("QvxI")
#define TAG_NONPAGED_FCB PoolTag("QvxN")
#define TAG_FCB_RESOURCE PoolTag("QvxE")
#define TAG_IO_CONTEXT PoolTag("QvxX")

// ---- Global data ------------------------------------------------------------------------------
struct GLOBAL_DATA {
  NODE_TYPE_CODE NodeTypeCode;
  NODE_BYTE_SIZE NodeByteSize;
  // Serialises mount, verify, dismount, shutdown and every change to VcbList.
  ERESOURCE Resource;
  PDRIVER_OBJECT DriverObject;
  PDEVICE_OBJECT DiskFsDevice;
  PDEVICE_OBJECT CdRomFsDevice;
  LIST_ENTRY VcbList;
  CACHE_MANAGER_CALLBACKS CacheCallbacks;
  // The process the entry point ran in; closes from it never wait.
  PEPROCESS SystemProcess;
  BOOLEAN CloseWorkerActive;
  BOOLEAN ShutdownStarted;
  BOOLEAN AsyncCloseHigh;
  BOOLEAN DelayedCloseHigh;
  ULONG AsyncCloseCount;
  LIST_ENTRY AsyncCloseList;
  ULONG DelayedCloseCount;
  LIST_ENTRY DelayedCloseList;
  PIO_WORKITEM CloseWorkItem;
};
using PGLOBAL_DATA = GLOBAL_DATA*;

// ---- Request context --------------------------------------------------------------------------
struct IO_CONTEXT;
using PIO_CONTEXT = IO_CONTEXT*;

struct IRP_CONTEXT {
  NODE_TYPE_CODE NodeTypeCode;
  NODE_BYTE_SIZE NodeByteSize;
  ULONG Flags;
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  // Used when the request is posted; its links also chain the request into a volume's
  // overflow queue.
  WORK_QUEUE_ITEM WorkItem;
  PIRP Irp;
  // The status the driver raised, or the one the exception filter accepted; 0 when none.
  NTSTATUS ExceptionStatus;
  PIO_CONTEXT IoContext;
  PVCB Vcb;
  PDEVICE_OBJECT RealDevice;
};
using PIRP_CONTEXT = IRP_CONTEXT*;

#define IRPCTX_WAIT 0x01
#define IRPCTX_NOT_TOP_LEVEL 0x02
#define IRPCTX_NO_POPUPS 0x04
#define IRPCTX_VERIFY_READ 0x08
#define IRPCTX_STACK_IO_CONTEXT 0x10
#define IRPCTX_OVERRIDE_VERIFY 0x20
// Run in the stack-overflow thread while the posting thread holds the Fcb's resource the
// read needs on its behalf.
#define IRPCTX_STACK_OVERFLOW 0x40

// ---- Volume -------------------------------------------------------------------------------------
enum VCB_CONDITION : ULONG { VcbGood = 1, VcbNotMounted = 2, VcbBad = 3 };

#define VCB_LOCKED 0x001
#define VCB_DISMOUNT_IN_PROGRESS 0x002
#define VCB_SHUTDOWN 0x004
#define VCB_CASE_INSENSITIVE 0x008
#define VCB_VPB_SWAPPED 0x010
#define VCB_REMOVABLE_MEDIA 0x020
#define VCB_DISMOUNTED 0x080
#define VCB_FCB_DELETED 0x100
#define VCB_DIRTY 0x200
// A create is purging the volume: closes arriving meanwhile are deferred.
#define VCB_CREATE_PURGING 0x400
#define VCB_CLOSE_IN_PROGRESS 0x800

// The device extension of a volume device.
struct VCB {
  FSRTL_ADVANCED_FCB_HEADER Header;
  ERESOURCE Resource;
  LIST_ENTRY VcbLinks;
  PVPB Vpb;
  ULONG State;
  VCB_CONDITION Condition;
  ULONG OpenCount;
  LIST_ENTRY NotifyList;
  PNOTIFY_SYNC NotifySync;
  PDEVICE_OBJECT VolumeDevice;
  // The device the volume reads from; referenced while the Vcb lives.
  PDEVICE_OBJECT TargetDevice;
  PFCB RootFcb;
  PARTITION* Partition;
  struct Container* Container;
  struct VolumeHandle* Volume;
  BTree* OmapTree;
  BTree* FsTree;
  BTree* SpareOmapTree;
  BTree* SpareFsTree;
  ULONG MediaChangeCount;
  ULONG64 FreeBlocks;
  PFILE_OBJECT StreamFile;
  LONG StreamOpenCount;
  LONG StreamResidualCount;
  ULONG VolumeOpenCount;
  SHARE_ACCESS VolumeShareAccess;
  PVPB SpareVpb;
  PDEVICE_OBJECT RealDevice;
  PKTHREAD VerifyThread;
  PFILE_OBJECT LockFileObject;
  ULONG SectorSize;
  LIST_ENTRY AsyncCloseList;
  LIST_ENTRY DelayedCloseList;
  FAST_MUTEX HeaderMutex;
  // Posting: requests of this volume handed to workers and not finished, and the ones
  // waiting beyond three, in arrival order; all under OverflowSpinLock.
  ULONG PostedRequestCount;
  ULONG OverflowCount;
  LIST_ENTRY OverflowQueue;
  KSPIN_LOCK OverflowSpinLock;
  // Directory entries left out of listings because their names are not UTF-8 (counted
  // each time a listing passes one).
  LONG UnlistableNameCount;
};

// ---- Files and directories ---------------------------------------------------------------------
enum FCB_CONDITION : ULONG { FcbGood = 1, FcbBad = 2, FcbNeedsRecheck = 3 };

#define FCB_FILE 0x01
#define FCB_DIRECTORY 0x02
#define FCB_ROOT 0x04
#define FCB_DELAY_CLOSE 0x08
#define FCB_IN_NAME_TREE 0x10

// One stretch of a file's data: where it lies in the partition, or a hole (DiskOffset 0)
// that reads as zeros. A file's runs cover it from 0 to its size in file-offset order.
struct FILE_RUN {
  ULONG64 FileOffset;
  ULONG64 DiskOffset;
  ULONG64 Length;
};
static_assert(sizeof(FILE_RUN) == 24);
using PFILE_RUN = FILE_RUN*;

struct NON_PAGED_FCB;
using PNON_PAGED_FCB = NON_PAGED_FCB*;

// An Fcb's entry in its parent's name tree. The key is the name as the engine compares
// names on the volume (code points, folded on a case-insensitive volume), so that the tree
// finds exactly the Fcb of the file a lookup of the same name would find.
struct NAME_LINK {
  FCB* Fcb;
  UNICODE_STRING Key;
  RTL_SPLAY_LINKS Links;
};
using PNAME_LINK = NAME_LINK*;

struct FCB {
  FSRTL_ADVANCED_FCB_HEADER Header;
  PNON_PAGED_FCB NonPaged;
  PVCB Vcb;
  LIST_ENTRY ParentLinks;
  FCB* Parent;
  ULONG State;
  FCB_CONDITION Condition;
  SHARE_ACCESS ShareAccess;
  ULONG OpenCount;
  ULONG UncleanCount;
  ULONG NonCachedUncleanCount;
  UNICODE_STRING ExactName;
  NAME_LINK NameLink;
  UNICODE_STRING FullName;
  UCHAR Attributes;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  ULONG64 FileId;
  union {
    struct {
      LIST_ENTRY ChildList;
      PRTL_SPLAY_LINKS NameTree;
      FsNode* DirNode;
    } Directory;
    struct {
      FsNode* FileNode;
      PFILE_RUN Runs;
      ULONG RunCount;
      // Byte-range locks, from the Fcb's creation to its deletion.
      FILE_LOCK FileLock;
    } File;
  };
};

// The part of an Fcb that must stay resident (from NonPagedFcbLookaside).
struct NON_PAGED_FCB {
  SECTION_OBJECT_POINTERS SectionObjectPointers;
  FAST_MUTEX HeaderMutex;
};

// ---- Handle ---------------------------------------------------------------------------------------
enum OPEN_KIND : ULONG { FileOpen = 1, DirectoryOpen = 2, VolumeOpen = 3, StreamOpen = 4 };

#define CCB_MATCH_ALL 0x01
#define CCB_TEMPLATE_ALLOCATED 0x02
#define CCB_DISMOUNTED_BY_HANDLE 0x04
#define CCB_MANAGE_VOLUME 0x08
#define CCB_CLOSE_QUEUED 0x10
#define CCB_ALLOW_EXTENDED_DASD 0x20

struct CLOSE_CONTEXT {
  LIST_ENTRY GlobalLinks;
  LIST_ENTRY VcbLinks;
  PVCB Vcb;
  PFCB Fcb;
  OPEN_KIND OpenKind;
};
using PCLOSE_CONTEXT = CLOSE_CONTEXT*;

struct CCB {
  NODE_TYPE_CODE NodeTypeCode;
  NODE_BYTE_SIZE NodeByteSize;
  OPEN_KIND OpenKind;
  // The Fcb for file and directory opens, the Vcb for volume and stream opens.
  PVOID Target;
  ULONG Flags;
  BOOLEAN TemplateHasWildcards;
  ULONG NextEntryIndex;
  UNICODE_STRING Template;
  CLOSE_CONTEXT CloseContext;
};
using PCCB = CCB*;

// ---- Partition window ------------------------------------------------------------------------------
// The engine's view of the volume's partition: byte offsets from its start, bounded by its
// length. The engine's record comes first, so the engine's pointer is the window's.
struct PARTITION {
  BlockDevice Engine;
  PVCB Vcb;
  ULONG64 Length;
  ULONG64 Offset;  // of the partition on the target device
  // The status of the last failed read, for callers that learn only of the engine's
  // failure; meaningful to a caller holding the volume exclusive.
  NTSTATUS LastError;
};
using PPARTITION = PARTITION*;

// ---- Non-cached transfer ------------------------------------------------------------------------------
// One disk run of a transfer split along a run map.
struct IO_RUN {
  ULONG64 DiskOffset;  // on the target device, the partition's start included
  ULONG64 FileOffset;
  ULONG BufferOffset;  // in the caller's buffer
  ULONG ByteCount;
  PIRP Irp;            // the associated IRP made for the run
};
static_assert(sizeof(IO_RUN) == 32);
using PIO_RUN = IO_RUN*;

struct IO_CONTEXT {
  ULONG Flags;
  LONG IrpCount;
  PIRP MasterIrp;
  PMDL ZeroMdl;
  union {
    KEVENT SyncEvent;
    struct {
      PERESOURCE Resource;
      ERESOURCE_THREAD ResourceThreadId;
      ULONG RequestedByteCount;
      PFILE_OBJECT FileObject;
    } Async;
  };
};
