// Share access and the security checks a file system makes on open.
#pragma once

#include "hostkernel/Io.h"

// ---- Share access --------------------------------------------------------------------------
// The I/O manager's bookkeeping of who has a file open for reading, writing and deleting
// and what each opener lets others do. Read access is FILE_READ_DATA or FILE_EXECUTE,
// write access FILE_WRITE_DATA or FILE_APPEND_DATA, delete access DELETE; an open asking
// for none of them is not counted and never conflicts. Each routine records the file
// object's own access and share mode in its Read/Write/DeleteAccess and Shared* fields.

// STATUS_SHARING_VIOLATION when the access conflicts with the share modes of the current
// openers, or its share mode with their access; with Update the open is then counted.
NTSTATUS IoCheckShareAccess(ACCESS_MASK DesiredAccess, ULONG DesiredShareAccess, PFILE_OBJECT FileObject,
                            PSHARE_ACCESS ShareAccess, BOOLEAN Update);
// Makes FileObject's open the only one counted (the first open of a file).
void IoSetShareAccess(ACCESS_MASK DesiredAccess, ULONG DesiredShareAccess, PFILE_OBJECT FileObject,
                      PSHARE_ACCESS ShareAccess);
// Counts FileObject's open, as recorded in it by an earlier check without update.
void IoUpdateShareAccess(PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess);
// Takes FileObject's open out of the count (its cleanup).
void IoRemoveShareAccess(PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess);

// ---- Subjects, access states and privileges ---------------------------------------------------
// A caller's token holds privileges (enabled or not) and group memberships; the stand-in's
// tokens are its own records behind PACCESS_TOKEN. Tests choose the caller's token through
// Host.h's HkSetCallerPrivileges and HkSetCallerIsAdministrator.
using PACCESS_TOKEN = PVOID;
using PSECURITY_DESCRIPTOR = PVOID;

struct LUID {
  ULONG LowPart;
  LONG HighPart;
};
using PLUID = LUID*;

struct LUID_AND_ATTRIBUTES {
  LUID Luid;
  ULONG Attributes;
};

#define SE_PRIVILEGE_ENABLED_BY_DEFAULT 0x00000001
#define SE_PRIVILEGE_ENABLED 0x00000002
#define SE_PRIVILEGE_USED_FOR_ACCESS 0x80000000
#define PRIVILEGE_SET_ALL_NECESSARY 1

#define SE_TCB_PRIVILEGE 7
#define SE_SECURITY_PRIVILEGE 8
#define SE_MANAGE_VOLUME_PRIVILEGE 28

inline LUID RtlConvertLongToLuid(LONG Long) { return LUID{(ULONG)Long, Long < 0 ? -1 : 0}; }

struct PRIVILEGE_SET {
  ULONG PrivilegeCount;
  ULONG Control;
  LUID_AND_ATTRIBUTES Privilege[1];
};
using PPRIVILEGE_SET = PRIVILEGE_SET*;

enum SECURITY_IMPERSONATION_LEVEL { SecurityAnonymous, SecurityIdentification, SecurityImpersonation,
                                    SecurityDelegation };

struct SECURITY_SUBJECT_CONTEXT {
  PACCESS_TOKEN ClientToken;
  SECURITY_IMPERSONATION_LEVEL ImpersonationLevel;
  PACCESS_TOKEN PrimaryToken;
  PVOID ProcessAuditId;
};
using PSECURITY_SUBJECT_CONTEXT = SECURITY_SUBJECT_CONTEXT*;

// What the object manager knows of an open while it is being checked: the access still to
// be granted, what was granted already, and the subject asking.
struct ACCESS_STATE {
  LUID OperationID;
  BOOLEAN SecurityEvaluated;
  BOOLEAN GenerateAudit;
  BOOLEAN GenerateOnClose;
  BOOLEAN PrivilegesAllocated;
  ULONG Flags;
  ACCESS_MASK RemainingDesiredAccess;
  ACCESS_MASK PreviouslyGrantedAccess;
  ACCESS_MASK OriginalDesiredAccess;
  SECURITY_SUBJECT_CONTEXT SubjectSecurityContext;
  PSECURITY_DESCRIPTOR SecurityDescriptor;
  PVOID AuxData;
};
using PACCESS_STATE = ACCESS_STATE*;

#define FILE_GENERIC_READ 0x00120089
#define FILE_GENERIC_WRITE 0x00120116
#define FILE_GENERIC_EXECUTE 0x001200A0
#define FILE_ALL_ACCESS 0x001F01FF

struct GENERIC_MAPPING {
  ACCESS_MASK GenericRead;
  ACCESS_MASK GenericWrite;
  ACCESS_MASK GenericExecute;
  ACCESS_MASK GenericAll;
};
using PGENERIC_MAPPING = GENERIC_MAPPING*;

// The generic rights of file objects in terms of specific ones.
PGENERIC_MAPPING IoGetFileObjectGenericMapping();
void RtlMapGenericMask(PACCESS_MASK AccessMask, const GENERIC_MAPPING* GenericMapping);

// Whether the current caller's token holds the privilege enabled. Kernel-mode callers
// hold every privilege.
BOOLEAN SeSinglePrivilegeCheck(LUID PrivilegeValue, KPROCESSOR_MODE PreviousMode);
// Whether the subject's token (its client token when impersonating, else its primary
// token) holds the set's privileges: all of them under PRIVILEGE_SET_ALL_NECESSARY, else
// any. Each privilege held gets SE_PRIVILEGE_USED_FOR_ACCESS.
BOOLEAN SePrivilegeCheck(PPRIVILEGE_SET RequiredPrivileges, PSECURITY_SUBJECT_CONTEXT SubjectContext,
                         KPROCESSOR_MODE AccessMode);
void SeLockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext);
void SeUnlockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext);

// Whether the system's start-up applications have finished (TRUE unless a test says
// otherwise through HkSetVolumeStartupApplicationsComplete).
BOOLEAN FsRtlAreVolumeStartupApplicationsComplete();
