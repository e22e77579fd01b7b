// The front end: an in-process I/O manager's system services for tests and hosts. Each
// call builds and sends IRPs as Windows does: synchronous handles wait for a pending
// request, asynchronous ones return STATUS_PENDING and signal the caller's event; a
// storage device is offered to the registered file systems on first access; an open
// that answers STATUS_REPARSE with IO_REMOUNT is sent again. Event handles are KEVENT
// pointers in this stand-in. The caller's buffers count as user memory for the
// duration of the call.
#pragma once

#include "hostkernel/Host.h"

struct OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
};
using POBJECT_ATTRIBUTES = OBJECT_ATTRIBUTES*;
#define OBJ_CASE_INSENSITIVE 0x00000040
#define FILE_USE_FILE_POINTER_POSITION (-2)

inline OBJECT_ATTRIBUTES HkObjectAttributes(PUNICODE_STRING Name, ULONG Attributes = OBJ_CASE_INSENSITIVE,
                                            HANDLE Root = nullptr) {
  return OBJECT_ATTRIBUTES{sizeof(OBJECT_ATTRIBUTES), Root, Name, Attributes, nullptr, nullptr};
}

NTSTATUS NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                      ULONG EaLength);
enum CREATE_FILE_TYPE { CreateFileTypeNone, CreateFileTypeNamedPipe, CreateFileTypeMailslot };
#define IO_FORCE_ACCESS_CHECK 0x0001     // becomes SL_FORCE_ACCESS_CHECK
#define IO_OPEN_TARGET_DIRECTORY 0x0004  // becomes SL_OPEN_TARGET_DIRECTORY
// NtCreateFile with Options: IO_FORCE_ACCESS_CHECK and IO_OPEN_TARGET_DIRECTORY only.
NTSTATUS IoCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG Disposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength,
                      CREATE_FILE_TYPE CreateFileType, PVOID InternalParameters, ULONG Options);
NTSTATUS NtClose(HANDLE Handle);
NTSTATUS NtReadFile(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                    PULONG Key);
NTSTATUS NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine, PVOID ApcContext,
                               PIO_STATUS_BLOCK IoStatusBlock, ULONG IoControlCode, PVOID InputBuffer,
                               ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength);
NTSTATUS NtFsControlFile(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine, PVOID ApcContext,
                         PIO_STATUS_BLOCK IoStatusBlock, ULONG FsControlCode, PVOID InputBuffer,
                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength);
NTSTATUS NtQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                ULONG Length, FILE_INFORMATION_CLASS FileInformationClass);
NTSTATUS NtQueryVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FsInformation,
                                      ULONG Length, FS_INFORMATION_CLASS FsInformationClass);
NTSTATUS NtFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock);
NTSTATUS NtSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                              ULONG Length, FILE_INFORMATION_CLASS FileInformationClass);
NTSTATUS NtSetVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FsInformation,
                                    ULONG Length, FS_INFORMATION_CLASS FsInformationClass);
NTSTATUS NtQueryDirectoryFile(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine, PVOID ApcContext,
                              PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation, ULONG Length,
                              FILE_INFORMATION_CLASS FileInformationClass, BOOLEAN ReturnSingleEntry,
                              PUNICODE_STRING FileName, BOOLEAN RestartScan);
NTSTATUS NtNotifyChangeDirectoryFile(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine, PVOID ApcContext,
                                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                     ULONG CompletionFilter, BOOLEAN WatchTree);
NTSTATUS NtLockFile(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER ByteOffset, PLARGE_INTEGER Length, ULONG Key,
                    BOOLEAN FailImmediately, BOOLEAN ExclusiveLock);
NTSTATUS NtUnlockFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER ByteOffset,
                      PLARGE_INTEGER Length, ULONG Key);
// Cancels the requests the calling thread sent on the file that are still pending.
NTSTATUS NtCancelIoFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock);

// The file object behind a handle, or null.
PFILE_OBJECT HkFileObjectOf(HANDLE Handle);

// Test scaffolding for volumes made without a mount: a handle to a new file object on
// Device (through its VPB when mounted) carrying the given contexts, as if a create had
// succeeded; HkDropHandle removes such a handle and deletes the file object without
// sending cleanup or close, leaving the contexts to the test.
HANDLE HkInsertHandle(PDEVICE_OBJECT Device, PVOID FsContext, PVOID FsContext2, ULONG Flags);
void HkDropHandle(HANDLE Handle);
