// The byte-range lock package. A lock belongs to a file object and a process; exclusive
// locks keep every other owner out of their range, shared ones only writers. Lock
// requests that cannot be granted now either fail at once or, as IRPs, wait until an
// unlock lets them through.
#pragma once

#include "hostkernel/NtDef.h"
#include "hostkernel/NtStatus.h"
#include "hostkernel/Io.h"

struct FILE_LOCK_INFO {
  LARGE_INTEGER StartingByte;
  LARGE_INTEGER Length;
  BOOLEAN ExclusiveLock;
  ULONG Key;
  PFILE_OBJECT FileObject;
  PVOID ProcessId;
  LARGE_INTEGER EndingByte;
};
using PFILE_LOCK_INFO = FILE_LOCK_INFO*;

using PCOMPLETE_LOCK_IRP_ROUTINE = NTSTATUS (*)(PVOID Context, PIRP Irp);
using PUNLOCK_ROUTINE = void (*)(PVOID Context, PFILE_LOCK_INFO FileLockInfo);

struct FILE_LOCK {
  PCOMPLETE_LOCK_IRP_ROUTINE CompleteLockIrpRoutine;
  PUNLOCK_ROUTINE UnlockRoutine;
  BOOLEAN FastIoIsQuestionable;
  BOOLEAN SpareC[3];
  PVOID LockInformation;
  FILE_LOCK_INFO LastReturnedLockInfo;
  PVOID LastReturnedLock;
  LONG volatile LockRequestsInProgress;
};
using PFILE_LOCK = FILE_LOCK*;

void FsRtlInitializeFileLock(PFILE_LOCK FileLock, PCOMPLETE_LOCK_IRP_ROUTINE CompleteLockIrpRoutine,
                             PUNLOCK_ROUTINE UnlockRoutine);
// Frees every lock and completes every waiting lock request with STATUS_RANGE_NOT_LOCKED.
void FsRtlUninitializeFileLock(PFILE_LOCK FileLock);
PFILE_LOCK FsRtlAllocateFileLock(PCOMPLETE_LOCK_IRP_ROUTINE CompleteLockIrpRoutine, PUNLOCK_ROUTINE UnlockRoutine);
void FsRtlFreeFileLock(PFILE_LOCK FileLock);

// Serves an IRP_MJ_LOCK_CONTROL request and completes it (a waiting lock later).
NTSTATUS FsRtlProcessFileLock(PFILE_LOCK FileLock, PIRP Irp, PVOID Context);

// Takes a lock. Without an IRP a lock that would have to wait is not taken and FALSE
// asks for the request as an IRP; otherwise TRUE with the result in Iosb (STATUS_PENDING
// for an IRP left waiting).
BOOLEAN FsRtlPrivateLock(PFILE_LOCK FileLock, PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                         PLARGE_INTEGER Length, PEPROCESS ProcessId, ULONG Key, BOOLEAN FailImmediately,
                         BOOLEAN ExclusiveLock, PIO_STATUS_BLOCK Iosb, PIRP Irp, PVOID Context,
                         BOOLEAN AlreadySynchronized);
inline BOOLEAN FsRtlFastLock(PFILE_LOCK FileLock, PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                             PLARGE_INTEGER Length, PEPROCESS ProcessId, ULONG Key, BOOLEAN FailImmediately,
                             BOOLEAN ExclusiveLock, PIO_STATUS_BLOCK Iosb, PVOID Context,
                             BOOLEAN AlreadySynchronized) {
  return FsRtlPrivateLock(FileLock, FileObject, FileOffset, Length, ProcessId, Key, FailImmediately,
                          ExclusiveLock, Iosb, nullptr, Context, AlreadySynchronized);
}

// Unlocks: exactly one range, or every lock of the file object and process (with the key).
// STATUS_RANGE_NOT_LOCKED when nothing matched a single unlock.
NTSTATUS FsRtlFastUnlockSingle(PFILE_LOCK FileLock, PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                               PLARGE_INTEGER Length, PEPROCESS ProcessId, ULONG Key, PVOID Context,
                               BOOLEAN AlreadySynchronized);
NTSTATUS FsRtlFastUnlockAll(PFILE_LOCK FileLock, PFILE_OBJECT FileObject, PEPROCESS ProcessId, PVOID Context);
NTSTATUS FsRtlFastUnlockAllByKey(PFILE_LOCK FileLock, PFILE_OBJECT FileObject, PEPROCESS ProcessId, ULONG Key,
                                 PVOID Context);

// Whether the read of Irp (or of the given range) meets no other owner's exclusive lock.
BOOLEAN FsRtlCheckLockForReadAccess(PFILE_LOCK FileLock, PIRP Irp);
BOOLEAN FsRtlFastCheckLockForRead(PFILE_LOCK FileLock, PLARGE_INTEGER StartingByte, PLARGE_INTEGER Length,
                                  ULONG Key, PFILE_OBJECT FileObject, PVOID ProcessId);
// Whether the write of Irp meets no other owner's lock at all.
BOOLEAN FsRtlCheckLockForWriteAccess(PFILE_LOCK FileLock, PIRP Irp);

BOOLEAN FsRtlAreThereCurrentFileLocks(PFILE_LOCK FileLock);
BOOLEAN FsRtlAreThereWaitingFileLocks(PFILE_LOCK FileLock);
// TRUE when no lock lies below AllocationSize, so that a shared oplock may be granted.
BOOLEAN FsRtlCheckLockForOplockRequest(PFILE_LOCK FileLock, PLARGE_INTEGER AllocationSize);
