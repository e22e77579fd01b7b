// The change-notification package: directory-change requests a file system keeps pending
// on a notify list until they are cancelled or their handle is cleaned up, and the volume
// events reported to the plug-and-play notification of a volume's handles.
#pragma once

#include "hostkernel/FsRtl.h"

#define FILE_NOTIFY_CHANGE_FILE_NAME 0x00000001
#define FILE_NOTIFY_CHANGE_DIR_NAME 0x00000002
#define FILE_NOTIFY_CHANGE_ATTRIBUTES 0x00000004
#define FILE_NOTIFY_CHANGE_SIZE 0x00000008
#define FILE_NOTIFY_CHANGE_LAST_WRITE 0x00000010
#define FILE_NOTIFY_CHANGE_LAST_ACCESS 0x00000020
#define FILE_NOTIFY_CHANGE_CREATION 0x00000040
#define FILE_NOTIFY_CHANGE_EA 0x00000080
#define FILE_NOTIFY_CHANGE_SECURITY 0x00000100
#define FILE_NOTIFY_VALID_MASK 0x00000FFF

struct SECURITY_SUBJECT_CONTEXT;
using PCHECK_FOR_TRAVERSE_ACCESS = BOOLEAN (*)(PVOID NotifyContext, PVOID TargetContext,
                                               SECURITY_SUBJECT_CONTEXT* SubjectContext);

// Queues NotifyIrp (pending, cancellable) on the notify record of FsContext in NotifyList,
// making the record on the first request of that handle. A request of a handle already
// cleaned up completes at once with STATUS_NOTIFY_CLEANUP, a cancelled one with
// STATUS_CANCELLED. Without NotifyIrp nothing happens. Nothing on the host ever reports
// a change, so the request waits for FsRtlNotifyCleanup or cancellation.
void FsRtlNotifyFullChangeDirectory(PNOTIFY_SYNC NotifySync, PLIST_ENTRY NotifyList, PVOID FsContext,
                                    PSTRING FullDirectoryName, BOOLEAN WatchTree, BOOLEAN IgnoreBuffer,
                                    ULONG CompletionFilter, PIRP NotifyIrp,
                                    PCHECK_FOR_TRAVERSE_ACCESS TraverseCallback,
                                    SECURITY_SUBJECT_CONTEXT* SubjectContext);
// Removes the notify record of FsContext and completes its pending requests with
// STATUS_NOTIFY_CLEANUP.
void FsRtlNotifyCleanup(PNOTIFY_SYNC NotifySync, PLIST_ENTRY NotifyList, PVOID FsContext);

// Volume events a file system reports for a volume handle's file object.
#define FSRTL_VOLUME_DISMOUNT 1
#define FSRTL_VOLUME_DISMOUNT_FAILED 2
#define FSRTL_VOLUME_LOCK 3
#define FSRTL_VOLUME_LOCK_FAILED 4
#define FSRTL_VOLUME_UNLOCK 5
#define FSRTL_VOLUME_MOUNT 6
NTSTATUS FsRtlNotifyVolumeEvent(PFILE_OBJECT FileObject, ULONG EventCode);
// How many events of EventCode were reported so far (for tests).
ULONG HkVolumeEventCount(ULONG EventCode);
