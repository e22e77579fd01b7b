// The driver's routines and global data, and the small helpers every source file uses.
#pragma once

#include "QdrlStruc.h"
#include "ApfsProcs.h"

// ---- Global data (Data.cpp) ------------------------------------------------------------------
extern GLOBAL_DATA GlobalData;
extern ULONG MaxDelayedCloses;
extern FAST_MUTEX CloseQueueMutex;
extern NPAGED_LOOKASIDE_LIST IrpContextLookaside;
extern NPAGED_LOOKASIDE_LIST NonPagedFcbLookaside;
extern NPAGED_LOOKASIDE_LIST ResourceLookaside;
extern FAST_IO_DISPATCH QdrlFastIoDispatch;

// ---- Entry point (Init.cpp) --------------------------------------------------------------------
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// ---- Bug checks and raising (ExcpSup.cpp) ------------------------------------------------------
// The driver's own stop code, "QZVK" in memory order; parameter 1 names the site as
// (source unit << 16) | line.
#define QDRL_BUG_CHECK_CODE 0x4B565A51
#define QDRL_BUG_CHECK_CREATE 0x2
#define QDRL_BUG_CHECK_CLEANUP 0x3
#define QDRL_BUG_CHECK_CLOSE 0x4
#define QDRL_BUG_CHECK_READ 0x5
#define QDRL_BUG_CHECK_FILEINFO 0x7
#define QDRL_BUG_CHECK_VOLINFO 0x9
#define QDRL_BUG_CHECK_DIRCTRL 0xA
#define QDRL_BUG_CHECK_FSCTRL 0xB
#define QDRL_BUG_CHECK_DEVCTRL 0xC
#define QDRL_BUG_CHECK_LOCKCTRL 0xE
#define QDRL_BUG_CHECK_SUPPORT 0x10
#define QDRL_BUG_CHECK_FASTIO 0x11

// Each source file defines BugCheckFileId as its unit before using QdrlBugCheck.
#define QdrlBugCheck(P2, P3, P4) \
  KeBugCheckEx(QDRL_BUG_CHECK_CODE, ((ULONG_PTR)BugCheckFileId << 16) | __LINE__, (ULONG_PTR)(P2), \
               (ULONG_PTR)(P3), (ULONG_PTR)(P4))

[[noreturn]] void RaiseStatus(PIRP_CONTEXT IrpContext, NTSTATUS Status);
[[noreturn]] void RaiseStatusNormalized(PIRP_CONTEXT IrpContext, NTSTATUS Status);
LONG ExceptionFilter(PIRP_CONTEXT IrpContext, PEXCEPTION_POINTERS ExceptionPointers);
NTSTATUS ProcessException(PIRP_CONTEXT IrpContext, PIRP Irp, NTSTATUS ExceptionCode);
// The Ccb of a file object, which must be one (else the bug check, attributed to Unit).
PCCB DecodeCcb(PFILE_OBJECT FileObject, ULONG Unit, ULONG Line);

// ---- Verification (VerfySup.cpp) -----------------------------------------------------------------
BOOLEAN IsMediaStatus(NTSTATUS Status);
void CheckVcbUsable(PIRP_CONTEXT IrpContext, PVCB Vcb);
void CheckVerifyForCreate(PIRP_CONTEXT IrpContext, PVCB Vcb);
void CheckFcbUsable(PIRP_CONTEXT IrpContext, PFCB Fcb);
NTSTATUS VerifyRealDevice(PIRP_CONTEXT IrpContext, PIRP Irp, PDEVICE_OBJECT Device);
void CheckFileObjectOpen(PIRP_CONTEXT IrpContext);
void PopUpFileCorrupt(PIRP_CONTEXT IrpContext, PFCB Fcb);

// ---- Request contexts and completion (StrucSup.cpp, Dispatch.cpp) --------------------------------
PIRP_CONTEXT AllocateIrpContext(PIRP Irp, BOOLEAN Wait);
void FreeIrpContext(PIRP_CONTEXT IrpContext);
void CompleteRequest(PIRP_CONTEXT IrpContext, PIRP Irp, NTSTATUS Status);
BOOLEAN SetTopLevelIfNone(PIRP Irp);
BOOLEAN IsControlDevice(PDEVICE_OBJECT DeviceObject);
// The dispatch shape of every Fsd routine but create's.
NTSTATUS DispatchRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN Wait);
// Completes a create, cleanup or close on a control device with success.
NTSTATUS CompleteControlDeviceOpen(PIRP Irp);
// The common routine of the IRP context's major function.
NTSTATUS CommonDispatch(PIRP_CONTEXT IrpContext, PIRP Irp);

// ---- Posting (WorkQue.cpp, FspDisp.cpp) ------------------------------------------------------------
NTSTATUS PostRequest(PIRP_CONTEXT IrpContext, PIRP Irp);
void PrepareToPost(PVOID Context, PIRP Irp);
void QueueToWorker(PIRP_CONTEXT IrpContext, PIRP Irp);
void OplockPostComplete(PVOID Context, PIRP Irp);
PIRP_CONTEXT TakeOverflowEntry(PVCB Vcb);
void WorkerDispatch(PVOID Context);

// ---- Volumes, files and handles (StrucSup.cpp) ------------------------------------------------------
#define TAG_FCB PoolTag("QvxF")
#define TAG_FULL_NAME PoolTag("Qvxn")
#define TAG_NAME_BUFFER PoolTag("Qvxc")
#define TAG_BLOCK PoolTag("QvxB")
#define TAG_RUNS PoolTag("QvxR")
#define TAG_CCB PoolTag("QvxC")
#define TAG_VPB PoolTag("Qvxv")
// The engine's records a volume holds (Container, VolumeHandle, BTree) and its partition
// window are allocated with this tag; DeleteVcb frees them.
#define TAG_ENGINE_RECORD PoolTag("QvxA")
PCCB AllocateCcb(PIRP_CONTEXT IrpContext, OPEN_KIND OpenKind);
void FreeCcb(PCCB Ccb);
void InitializeVcb(PIRP_CONTEXT IrpContext, PVCB Vcb, PDEVICE_OBJECT TargetDevice, PVPB Vpb);
void DeleteVcb(PIRP_CONTEXT IrpContext, PVCB Vcb);
PFCB NextFcbPostOrder(PIRP_CONTEXT IrpContext, PFCB Current, PFCB Start);
BOOLEAN AcquireVcbExclusive(PIRP_CONTEXT IrpContext, PVCB Vcb, BOOLEAN NoFileCheck);
BOOLEAN AcquireFcbExclusive(PIRP_CONTEXT IrpContext, PFCB Fcb);
BOOLEAN AcquireFcbShared(PIRP_CONTEXT IrpContext, PFCB Fcb);
BOOLEAN AcquireFcbSharedStarveExclusive(PIRP_CONTEXT IrpContext, PFCB Fcb);
void AcquireVolume(PIRP_CONTEXT IrpContext, PVCB Vcb);
void ReleaseVolume(PIRP_CONTEXT IrpContext, PVCB Vcb);
PERESOURCE AllocateResource();
void FreeResource(PERESOURCE Resource);
PFCB CreateRootFcb(PIRP_CONTEXT IrpContext, PVCB Vcb);
PFCB CreateDirectoryFcb(PIRP_CONTEXT IrpContext, PVCB Vcb, PFCB Parent, FsNode* Node, const FileInfo* Info);
PFCB CreateFileFcb(PIRP_CONTEXT IrpContext, PVCB Vcb, PFCB Parent, FsNode* Node, const FileInfo* Info,
                   BOOLEAN SharedPagingResource);
void DeleteFcb(PIRP_CONTEXT IrpContext, PFCB* Fcb);
ULONG BuildRunMap(PIRP_CONTEXT IrpContext, PVCB Vcb, FsNode* Node, ULONG64 FileSize, PFILE_RUN* Runs);
BOOLEAN AcquireVcbShared(PIRP_CONTEXT IrpContext, PVCB Vcb);
void RecheckFcb(PIRP_CONTEXT IrpContext, PFCB Fcb);
void SetFcbCondition(PIRP_CONTEXT IrpContext, PFCB Fcb, FCB_CONDITION Condition, BOOLEAN Recursive);
void BuildFullName(PIRP_CONTEXT IrpContext, PFCB Fcb);
void AppendFullName(PIRP_CONTEXT IrpContext, PFCB Fcb, PCUNICODE_STRING LastComponent);
PFCB NextFcb(PIRP_CONTEXT IrpContext, PFCB Current, PFCB Start);
PFCB InsertName(PIRP_CONTEXT IrpContext, PRTL_SPLAY_LINKS* Root, PNAME_LINK Link);
PFCB FindChildFcb(PIRP_CONTEXT IrpContext, PFCB Parent, const UCHAR* Utf8, ULONG ByteCount);
void RemoveNames(PIRP_CONTEXT IrpContext, PFCB Fcb);

// ---- Names (NameSup.cpp) ----------------------------------------------------------------------------
void Utf8ToName(PIRP_CONTEXT IrpContext, const UCHAR* Utf8, ULONG ByteCount, PUNICODE_STRING Name,
                BOOLEAN AllowUnmapped);
void EnsureNameBuffer(PUNICODE_STRING Name, ULONG Size);
void BuildNameKey(PIRP_CONTEXT IrpContext, const UCHAR* Utf8, ULONG ByteCount, BOOLEAN CaseInsensitive,
                  PUNICODE_STRING Key);
LONG CompareNameKeys(PCUNICODE_STRING A, PCUNICODE_STRING B);
void FreeNameBuffer(PUNICODE_STRING Name);
void NameToUtf8(PIRP_CONTEXT IrpContext, PCUNICODE_STRING Name, PUNICODE_STRING Utf8, BOOLEAN AllowUnmapped);

// ---- Disk I/O support (DevSup.cpp) ------------------------------------------------------------------
#define TAG_BOUNCE PoolTag("QvxO")
void LockUserBuffer(PIRP_CONTEXT IrpContext, PIRP Irp, LOCK_OPERATION Operation, ULONG Length);
// The partition window: byte reads relative to the partition, refused outside it.
void InitializePartition(PPARTITION Partition, PVCB Vcb, ULONG64 Offset, ULONG64 Length);
NTSTATUS ReadPartition(PPARTITION Partition, ULONG64 Offset, PVOID Buffer, ULONG64 ByteCount);
NTSTATUS ReadDisk(PVCB Vcb, PVOID Buffer, ULONG64 Offset, ULONG ByteCount);
NTSTATUS ReadSectorsSync(PVCB Vcb, PVOID Buffer, ULONG64 Offset, ULONG ByteCount);
NTSTATUS SendDeviceIoControl(ULONG IoControlCode, PDEVICE_OBJECT Device, PVOID InputBuffer, ULONG InputLength,
                             PVOID OutputBuffer, ULONG OutputLength, BOOLEAN OverrideVerify,
                             PIO_STATUS_BLOCK IoStatus);
BOOLEAN IsDataCdRom(PDEVICE_OBJECT Device);
// The run of Fcb's map holding FileOffset: where that offset lies on the partition (0 for a
// hole) and the bytes from it to the run's end, at most ByteCount.
void LookupRun(PFCB Fcb, ULONG64 FileOffset, ULONG ByteCount, ULONG64* DiskOffset, PULONG Length);

// ---- Non-cached transfers (DevIoSup.cpp) -----------------------------------------------------------
#define TAG_IO_RUNS PoolTag("Fati")
PVOID MapUserBuffer(PIRP_CONTEXT IrpContext, PIRP Irp);
NTSTATUS ReadNonCached(PIRP_CONTEXT IrpContext, PIRP Irp, PFCB Fcb, ULONG64 FileOffset, ULONG ByteCount,
                       ULONG UserByteCount);
NTSTATUS ReadNonCachedUnaligned(PIRP_CONTEXT IrpContext, PIRP Irp, PFCB Fcb, ULONG64 FileOffset, ULONG ByteCount);
void ReadRunsAsync(PIRP_CONTEXT IrpContext, PVCB Vcb, PIRP MasterIrp, ULONG RunCount, PIO_RUN IoRuns);
void ReadRunAsync(PIRP_CONTEXT IrpContext, PVCB Vcb, ULONG64 DiskOffset, ULONG ByteCount, PIRP Irp,
                  BOOLEAN ToVolumeDevice);
void ReadBlockSync(PIRP_CONTEXT IrpContext, PVCB Vcb, PVOID Buffer, ULONG64 DiskOffset, ULONG ByteCount, PIRP Irp);
void WaitForIo(PIRP_CONTEXT IrpContext);
NTSTATUS RunsAsyncComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS RunsSyncComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS RunAsyncComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS RunSyncComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS SignalEventComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// ---- Create (Create.cpp) ----------------------------------------------------------------------------
NTSTATUS CommonCreate(PIRP_CONTEXT IrpContext, PIRP Irp);
NTSTATUS OpenVolume(PIRP_CONTEXT IrpContext, PFILE_OBJECT FileObject, PVCB Vcb, PACCESS_MASK DesiredAccess,
                    ULONG ShareAccess, ULONG Disposition);
NTSTATUS OpenRootDirectory(PIRP_CONTEXT IrpContext, PFILE_OBJECT FileObject, PVCB Vcb, PACCESS_MASK DesiredAccess,
                           ULONG ShareAccess, ULONG Disposition);
NTSTATUS OpenExistingDirectory(PIRP_CONTEXT IrpContext, BOOLEAN CompleteIfOplocked, PFILE_OBJECT FileObject,
                               PVCB Vcb, PFCB Fcb, PACCESS_MASK DesiredAccess, ULONG ShareAccess,
                               ULONG Disposition, BOOLEAN NoEaKnowledge, BOOLEAN OpenRequiringOplock,
                               PBOOLEAN OplockPosted);
// *Fcb is nulled when a failed open deleted the Fcb it left without opens.
NTSTATUS OpenExistingFile(PIRP_CONTEXT IrpContext, BOOLEAN CompleteIfOplocked, PACCESS_STATE AccessState,
                          BOOLEAN ForceAccessCheck, PFILE_OBJECT FileObject, PVCB Vcb, PFCB* Fcb,
                          PACCESS_MASK DesiredAccess, ULONG ShareAccess, PVOID EaBuffer, ULONG FileAttributes,
                          ULONG Disposition, BOOLEAN NoEaKnowledge, BOOLEAN OpenRequiringOplock,
                          PBOOLEAN OplockPosted);
NTSTATUS OpenNewDirectoryFcb(PIRP_CONTEXT IrpContext, PFILE_OBJECT FileObject, PVCB Vcb, PFCB* Fcb, PFCB Parent,
                             FsNode* Node, const FileInfo* Info, PACCESS_MASK DesiredAccess, ULONG ShareAccess,
                             ULONG Disposition, BOOLEAN NoEaKnowledge, BOOLEAN OpenRequiringOplock);
NTSTATUS OpenNewFileFcb(PIRP_CONTEXT IrpContext, PACCESS_STATE AccessState, BOOLEAN ForceAccessCheck,
                        PFILE_OBJECT FileObject, PVCB Vcb, PFCB* Fcb, PFCB Parent, FsNode* Node,
                        const FileInfo* Info, PACCESS_MASK DesiredAccess, ULONG ShareAccess, PVOID EaBuffer,
                        ULONG FileAttributes, ULONG Disposition, BOOLEAN NoEaKnowledge,
                        BOOLEAN OpenRequiringOplock);
NTSTATUS CheckShareAccess(PIRP_CONTEXT IrpContext, PFILE_OBJECT FileObject, PFCB Fcb, PACCESS_MASK DesiredAccess,
                          ULONG ShareAccess);
NTSTATUS CheckSecurityPrivilege(PIRP_CONTEXT IrpContext);
BOOLEAN HasManageVolumePrivilege(PACCESS_STATE AccessState, KPROCESSOR_MODE AccessMode);
NTSTATUS CheckVolumeAccess(PIRP_CONTEXT IrpContext, PDEVICE_OBJECT RealDevice, PACCESS_STATE AccessState,
                           KPROCESSOR_MODE AccessMode);

// ---- Device control (DevCtrl.cpp) ---------------------------------------------------------------------
NTSTATUS CommonDeviceControl(PIRP_CONTEXT IrpContext, PIRP Irp);

// ---- Cleanup (Cleanup.cpp) ----------------------------------------------------------------------
NTSTATUS CommonCleanup(PIRP_CONTEXT IrpContext, PIRP Irp);

// ---- Close (Close.cpp) --------------------------------------------------------------------------
NTSTATUS CloseFileObject(PVCB Vcb, PFCB Fcb, PCCB Ccb, BOOLEAN Wait, BOOLEAN TopLevel, PBOOLEAN VcbDeleted);
void QueueDeferredClose(PCLOSE_CONTEXT CloseContext, BOOLEAN Delayed);
PCLOSE_CONTEXT NextDeferredClose(PVCB Vcb, PVCB HeldVcb);
void RunDeferredCloses(PVCB Vcb);
void CloseWorker(PDEVICE_OBJECT DeviceObject, PVOID Context);

// ---- Read (Read.cpp) ----------------------------------------------------------------------------
NTSTATUS CommonRead(PIRP_CONTEXT IrpContext, PIRP Irp);
NTSTATUS PostStackOverflowRead(PIRP_CONTEXT IrpContext, PIRP Irp, PVOID FcbOrVcb);
// Completes an IRP_MN_COMPLETE_MDL read or write: the cache's MDLs go back to it.
NTSTATUS CompleteMdl(PIRP_CONTEXT IrpContext, PIRP Irp);
BOOLEAN AcquireForLazyWrite(PVOID Context, BOOLEAN Wait);
void ReleaseFromLazyWrite(PVOID Context);
BOOLEAN AcquireForReadAhead(PVOID Context, BOOLEAN Wait);
void ReleaseFromReadAhead(PVOID Context);
NTSTATUS AcquireForCcFlush(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject);
NTSTATUS ReleaseForCcFlush(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject);
NTSTATUS PreAcquireForSectionSync(PFS_FILTER_CALLBACK_DATA Data, PVOID* CompletionContext);

// ---- Write (Write.cpp) --------------------------------------------------------------------------
NTSTATUS CommonWrite(PIRP_CONTEXT IrpContext, PIRP Irp);

// ---- File information (FileInfo.cpp) ------------------------------------------------------------
NTSTATUS CommonQueryInformation(PIRP_CONTEXT IrpContext, PIRP Irp);
NTSTATUS CommonSetInformation(PIRP_CONTEXT IrpContext, PIRP Irp);
BOOLEAN FastQueryBasicInfo(PFILE_OBJECT FileObject, BOOLEAN Wait, PFILE_BASIC_INFORMATION Buffer,
                           PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
BOOLEAN FastQueryStandardInfo(PFILE_OBJECT FileObject, BOOLEAN Wait, PFILE_STANDARD_INFORMATION Buffer,
                              PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
BOOLEAN FastQueryNetworkOpenInfo(PFILE_OBJECT FileObject, BOOLEAN Wait, PFILE_NETWORK_OPEN_INFORMATION Buffer,
                                 PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);

// ---- Extended attributes (Ea.cpp) ---------------------------------------------------------------
NTSTATUS CommonQuerySetEa(PIRP_CONTEXT IrpContext, PIRP Irp);

// ---- Flush (Flush.cpp) --------------------------------------------------------------------------
NTSTATUS CommonFlushBuffers(PIRP_CONTEXT IrpContext, PIRP Irp);

// ---- Volume information (VolInfo.cpp) -----------------------------------------------------------
NTSTATUS CommonQueryVolumeInformation(PIRP_CONTEXT IrpContext, PIRP Irp);

// ---- Directory control (DirCtrl.cpp) ------------------------------------------------------------
NTSTATUS CommonDirectoryControl(PIRP_CONTEXT IrpContext, PIRP Irp);

// ---- File-system control (FsCtrl.cpp) -----------------------------------------------------------
NTSTATUS CommonFileSystemControl(PIRP_CONTEXT IrpContext, PIRP Irp);
NTSTATUS MountVolume(PIRP_CONTEXT IrpContext, PDEVICE_OBJECT TargetDevice, PVPB Vpb, PDEVICE_OBJECT FsDevice);
void ScanForDismountedVcbs(PIRP_CONTEXT IrpContext);
NTSTATUS UserFsRequest(PIRP_CONTEXT IrpContext, PIRP Irp);
NTSTATUS VerifyVolume(PIRP_CONTEXT IrpContext, PIRP Irp);

// ---- Volume lifetime: purge, lock and dismount (VolSup.cpp) -------------------------------------
BOOLEAN NoOpenHandles(PIRP_CONTEXT IrpContext, PVCB Vcb);
void PurgeFcb(PIRP_CONTEXT IrpContext, PFCB Fcb);
void PurgeVolume(PIRP_CONTEXT IrpContext, PFCB Fcb);
NTSTATUS LockVolumeInternal(PIRP_CONTEXT IrpContext, PVCB Vcb, PFILE_OBJECT FileObject);
NTSTATUS UnlockVolumeInternal(PIRP_CONTEXT IrpContext, PVCB Vcb, PFILE_OBJECT FileObject);
void ClearVolumeLock(PIRP_CONTEXT IrpContext, PVCB Vcb);
void AdjustVpbRefCount(PVCB Vcb, LONG Delta);
BOOLEAN SwapVpb(PIRP_CONTEXT IrpContext, PVCB Vcb);
BOOLEAN TryDismountVcb(PIRP_CONTEXT IrpContext, PVCB Vcb, BOOLEAN Force);
void ReleaseStreamFile(PIRP_CONTEXT IrpContext, PVCB Vcb);

// ---- Shutdown (Shutdown.cpp) --------------------------------------------------------------------
NTSTATUS CommonShutdown(PIRP_CONTEXT IrpContext, PIRP Irp);

// ---- Lock control (LockCtrl.cpp) ----------------------------------------------------------------
NTSTATUS CommonLockControl(PIRP_CONTEXT IrpContext, PIRP Irp);
// Recomputes what Fcb allows of fast I/O after an oplock or byte-range-lock change.
void UpdateFastIoState(PFCB Fcb);
BOOLEAN FastCheckIfPossible(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait,
                            ULONG LockKey, BOOLEAN CheckForReadOperation, PIO_STATUS_BLOCK IoStatus,
                            PDEVICE_OBJECT DeviceObject);
BOOLEAN FastLock(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, PLARGE_INTEGER Length, PEPROCESS ProcessId,
                 ULONG Key, BOOLEAN FailImmediately, BOOLEAN ExclusiveLock, PIO_STATUS_BLOCK IoStatus,
                 PDEVICE_OBJECT DeviceObject);
BOOLEAN FastUnlockSingle(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, PLARGE_INTEGER Length,
                         PEPROCESS ProcessId, ULONG Key, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
BOOLEAN FastUnlockAll(PFILE_OBJECT FileObject, PEPROCESS ProcessId, PIO_STATUS_BLOCK IoStatus,
                      PDEVICE_OBJECT DeviceObject);
BOOLEAN FastUnlockAllByKey(PFILE_OBJECT FileObject, PVOID ProcessId, ULONG Key, PIO_STATUS_BLOCK IoStatus,
                           PDEVICE_OBJECT DeviceObject);
// The oplock FSCTLs on a file or directory handle (Oplock.cpp).
NTSTATUS OplockRequest(PIRP_CONTEXT IrpContext, PIRP Irp);

// ---- Plug and play (Pnp.cpp) --------------------------------------------------------------------
NTSTATUS CommonPnp(PIRP_CONTEXT IrpContext, PIRP Irp);

// ---- Dispatch routines --------------------------------------------------------------------------------
NTSTATUS FsdCreate(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp);
NTSTATUS FsdCleanup(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp);
NTSTATUS FsdClose(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp);
NTSTATUS FsdRead(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp);
NTSTATUS FsdWrite(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp);
NTSTATUS FsdQueryInformation(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp);
NTSTATUS FsdSetInformation(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp);
NTSTATUS FsdQuerySetEa(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp);
NTSTATUS FsdFlushBuffers(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp);
NTSTATUS FsdQueryVolumeInformation(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp);
NTSTATUS FsdDirectoryControl(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp);
NTSTATUS FsdFileSystemControl(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp);
NTSTATUS FsdDeviceControl(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp);
NTSTATUS FsdShutdown(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp);
NTSTATUS FsdLockControl(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp);
NTSTATUS FsdPnp(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp);
