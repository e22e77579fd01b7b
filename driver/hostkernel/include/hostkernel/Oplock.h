// The opportunistic-lock package: per-stream oplock state that a file system keeps in its
// FCB header and hands to these calls. The package owns the IRPs it is given: grants stay
// pending until broken, and requests that must wait for a break are either held (with the
// caller's completion routine) or block the calling thread until the break is acknowledged.
#pragma once

#include "hostkernel/NtDef.h"
#include "hostkernel/NtStatus.h"
#include "hostkernel/Io.h"

using OPLOCK = PVOID;
using POPLOCK = PVOID*;

// Called when a request the package held may go on (IoStatus.Status tells whether it
// should), and before the package holds one (so that the caller can prepare to post it).
using POPLOCK_WAIT_COMPLETE_ROUTINE = void (*)(PVOID Context, PIRP Irp);
using POPLOCK_FS_PREPOST_IRP = void (*)(PVOID Context, PIRP Irp);

// FsRtlCheckOplockEx flags.
#define OPLOCK_FLAG_COMPLETE_IF_OPLOCKED 0x00000001
#define OPLOCK_FLAG_OPLOCK_KEY_CHECK_ONLY 0x00000002
#define OPLOCK_FLAG_BACK_OUT_ATOMIC_OPLOCK 0x00000004
#define OPLOCK_FLAG_IGNORE_OPLOCK_KEYS 0x00000008

// FsRtlOplockFsctrlEx flags.
#define OPLOCK_FSCTRL_FLAG_ALL_KEYS_MATCH 0x00000001

// Caching levels of FSCTL_REQUEST_OPLOCK.
#define OPLOCK_LEVEL_CACHE_READ 0x00000001
#define OPLOCK_LEVEL_CACHE_HANDLE 0x00000002
#define OPLOCK_LEVEL_CACHE_WRITE 0x00000004

#define REQUEST_OPLOCK_INPUT_FLAG_REQUEST 0x00000001
#define REQUEST_OPLOCK_INPUT_FLAG_ACK 0x00000002
#define REQUEST_OPLOCK_INPUT_FLAG_COMPLETE_ACK_ON_CLOSE 0x00000004
#define REQUEST_OPLOCK_CURRENT_VERSION 1
#define REQUEST_OPLOCK_OUTPUT_FLAG_ACK_REQUIRED 0x00000001
#define REQUEST_OPLOCK_OUTPUT_FLAG_MODES_PROVIDED 0x00000002

struct REQUEST_OPLOCK_INPUT_BUFFER {
  USHORT StructureVersion;
  USHORT StructureLength;
  ULONG RequestedOplockLevel;
  ULONG Flags;
};
using PREQUEST_OPLOCK_INPUT_BUFFER = REQUEST_OPLOCK_INPUT_BUFFER*;
static_assert(sizeof(REQUEST_OPLOCK_INPUT_BUFFER) == 12);

struct REQUEST_OPLOCK_OUTPUT_BUFFER {
  USHORT StructureVersion;
  USHORT StructureLength;
  ULONG OriginalOplockLevel;
  ULONG NewOplockLevel;
  ULONG Flags;
  ACCESS_MASK AccessMode;
  USHORT ShareMode;
};
using PREQUEST_OPLOCK_OUTPUT_BUFFER = REQUEST_OPLOCK_OUTPUT_BUFFER*;
static_assert(sizeof(REQUEST_OPLOCK_OUTPUT_BUFFER) == 24);

// What a completed legacy grant reports in IoStatus.Information.
#define FILE_OPLOCK_BROKEN_TO_LEVEL_2 0x00000007
#define FILE_OPLOCK_BROKEN_TO_NONE 0x00000008
#define FILE_OPBATCH_BREAK_UNDERWAY 0x00000009

void FsRtlInitializeOplock(POPLOCK Oplock);
// Ends every grant still pending (broken to none) and lets every held request go on.
void FsRtlUninitializeOplock(POPLOCK Oplock);

// Grant and acknowledgement requests (the oplock FSCTLs, or a create asking for an
// atomic oplock). OpenCount is what the file system counts against the grant: the
// handles open for an exclusive request, non-zero for a shared one that byte-range locks
// forbid. Returns STATUS_PENDING for a grant (the IRP stays with the package) and the
// completion status otherwise; the IRP is completed in both cases except for a create.
NTSTATUS FsRtlOplockFsctrl(POPLOCK Oplock, PIRP Irp, ULONG OpenCount);
NTSTATUS FsRtlOplockFsctrlEx(POPLOCK Oplock, PIRP Irp, ULONG OpenCount, ULONG Flags);

// Breaks what the operation of Irp conflicts with. STATUS_SUCCESS: go on now (after a wait
// on this thread when no CompletionRoutine was given); STATUS_PENDING: the package holds
// the IRP and calls CompletionRoutine when it may go on; STATUS_OPLOCK_BREAK_IN_PROGRESS:
// a create asked to complete if oplocked.
NTSTATUS FsRtlCheckOplock(POPLOCK Oplock, PIRP Irp, PVOID Context,
                          POPLOCK_WAIT_COMPLETE_ROUTINE CompletionRoutine,
                          POPLOCK_FS_PREPOST_IRP PostIrpRoutine);
NTSTATUS FsRtlCheckOplockEx(POPLOCK Oplock, PIRP Irp, ULONG Flags, PVOID Context,
                            POPLOCK_WAIT_COMPLETE_ROUTINE CompletionRoutine,
                            POPLOCK_FS_PREPOST_IRP PostIrpRoutine);
// Breaks the handle caching of other handles' oplocks (a create met a sharing violation).
NTSTATUS FsRtlOplockBreakH(POPLOCK Oplock, PIRP Irp, ULONG Flags, PVOID Context,
                           POPLOCK_WAIT_COMPLETE_ROUTINE CompletionRoutine,
                           POPLOCK_FS_PREPOST_IRP PostIrpRoutine);

// FALSE while shared oplocks exist or a break is in progress: reads, locks and writes must
// then come as IRPs.
BOOLEAN FsRtlOplockIsFastIoPossible(POPLOCK Oplock);
// TRUE while a batch or filter oplock is held or being broken.
BOOLEAN FsRtlCurrentBatchOplock(POPLOCK Oplock);
// TRUE for an oplock FSCTL that asks for a shared (read-only caching) oplock.
BOOLEAN FsRtlOplockIsSharedRequest(PIRP Irp);
