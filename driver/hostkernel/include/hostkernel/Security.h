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

// ---- Security identifiers -----------------------------------------------------------------
// SIDs in Windows' layout: revision, sub-authority count, the 48-bit identifier authority
// and the sub-authorities.
using PSID = PVOID;

struct SID_IDENTIFIER_AUTHORITY {
  UCHAR Value[6];
};

struct SID {
  UCHAR Revision;
  UCHAR SubAuthorityCount;
  SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
  ULONG SubAuthority[1];
};
static_assert(sizeof(SID) == 12);

#define SID_REVISION 1
#define SID_MAX_SUB_AUTHORITIES 15
#define SECURITY_MAX_SID_SIZE (sizeof(SID) - sizeof(ULONG) + SID_MAX_SUB_AUTHORITIES * sizeof(ULONG))

BOOLEAN RtlValidSid(PSID Sid);
// Bytes of a valid SID.
ULONG RtlLengthSid(PSID Sid);
BOOLEAN RtlEqualSid(PSID Sid1, PSID Sid2);

// The system's well-known SIDs. Windows' record also carries privilege LUIDs and more
// SIDs; the stand-in's holds only these members, so its layout is not Windows'.
struct SE_EXPORTS {
  PSID SeWorldSid;               // S-1-1-0, Everyone
  PSID SeLocalSystemSid;         // S-1-5-18
  PSID SeAliasAdminsSid;         // S-1-5-32-544, Administrators
  PSID SeAliasUsersSid;          // S-1-5-32-545, Users
  PSID SeAuthenticatedUsersSid;  // S-1-5-11
};
using PSE_EXPORTS = SE_EXPORTS*;
extern PSE_EXPORTS SeExports;

// ---- Tokens ----------------------------------------------------------------------------------
// A token holds its user SID, its groups (each a SID with SE_GROUP_* attributes) and its
// privileges. An enabled group counts for allow and deny entries alike; a deny-only group
// (SE_GROUP_USE_FOR_DENY_ONLY) only for deny entries; the user SID counts as enabled
// unless it is deny-only. The stand-in's tokens are its own records behind PACCESS_TOKEN,
// objects of its object manager (released with ObDereferenceObject). Tests choose the
// caller's token through Host.h's HkSetCallerPrivileges and HkSetCallerGroups.
using PACCESS_TOKEN = PVOID;

// The type code the stand-in's token records begin with, as its I/O objects begin with
// theirs; its object manager tells tokens apart by it.
#define HK_TOKEN_OBJECT_TYPE 0x7E01

#define SE_GROUP_MANDATORY 0x00000001
#define SE_GROUP_ENABLED_BY_DEFAULT 0x00000002
#define SE_GROUP_ENABLED 0x00000004
#define SE_GROUP_OWNER 0x00000008
#define SE_GROUP_USE_FOR_DENY_ONLY 0x00000010

struct SID_AND_ATTRIBUTES {
  PSID Sid;
  ULONG Attributes;
};

struct TOKEN_GROUPS {
  ULONG GroupCount;
  SID_AND_ATTRIBUTES Groups[1];
};
using PTOKEN_GROUPS = TOKEN_GROUPS*;

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
#define SE_TAKE_OWNERSHIP_PRIVILEGE 9
#define SE_MANAGE_VOLUME_PRIVILEGE 28

inline LUID RtlConvertLongToLuid(LONG Long) { return LUID{(ULONG)Long, Long < 0 ? -1 : 0}; }

struct TOKEN_PRIVILEGES {
  ULONG PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[1];
};
using PTOKEN_PRIVILEGES = TOKEN_PRIVILEGES*;

#define DISABLE_MAX_PRIVILEGE 0x1
#define SANDBOX_INERT 0x2
#define SE_CHANGE_NOTIFY_PRIVILEGE 23

// A restricted copy of ExistingToken (a new token object, released with
// ObDereferenceObject): each of its SIDs listed in SidsToDisable becomes deny-only
// (SE_GROUP_USE_FOR_DENY_ONLY on, SE_GROUP_ENABLED and SE_GROUP_ENABLED_BY_DEFAULT off;
// SIDs the token does not hold are ignored); the privileges listed in PrivilegesToDelete
// are gone, or every one but SE_CHANGE_NOTIFY_PRIVILEGE under DISABLE_MAX_PRIVILEGE.
// STATUS_INSUFFICIENT_RESOURCES when the pool fails. Restricting SIDs and flags other than
// DISABLE_MAX_PRIVILEGE are not modelled: asking for them stops the system.
NTSTATUS SeFilterToken(PACCESS_TOKEN ExistingToken, ULONG Flags, PTOKEN_GROUPS SidsToDisable,
                       PTOKEN_PRIVILEGES PrivilegesToDelete, PTOKEN_GROUPS RestrictedSids,
                       PACCESS_TOKEN* FilteredToken);

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

// ---- Security descriptors and the access check ------------------------------------------------
// Descriptors in Windows' self-relative layout: the header, then (at the offsets it gives)
// the owner and group SIDs and the ACLs. A DACL holds allow and deny entries, each a mask
// and a SID, checked in order. A descriptor without a DACL (SE_DACL_PRESENT clear, or set
// with a null DACL) protects nothing; an empty DACL grants nothing.
#define SECURITY_DESCRIPTOR_REVISION 1
#define SE_OWNER_DEFAULTED 0x0001
#define SE_GROUP_DEFAULTED 0x0002
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_DEFAULTED 0x0008
#define SE_SACL_PRESENT 0x0010
#define SE_SELF_RELATIVE 0x8000

using SECURITY_DESCRIPTOR_CONTROL = USHORT;

struct SECURITY_DESCRIPTOR_RELATIVE {
  UCHAR Revision;
  UCHAR Sbz1;
  SECURITY_DESCRIPTOR_CONTROL Control;
  ULONG Owner;  // offsets from the descriptor's start, 0 when absent
  ULONG Group;
  ULONG Sacl;
  ULONG Dacl;
};
static_assert(sizeof(SECURITY_DESCRIPTOR_RELATIVE) == 20);

#define ACL_REVISION 2
#define ACL_REVISION_DS 4

struct ACL {
  UCHAR AclRevision;
  UCHAR Sbz1;
  USHORT AclSize;
  USHORT AceCount;
  USHORT Sbz2;
};
using PACL = ACL*;

#define ACCESS_ALLOWED_ACE_TYPE 0x0
#define ACCESS_DENIED_ACE_TYPE 0x1
#define INHERIT_ONLY_ACE 0x08

struct ACE_HEADER {
  UCHAR AceType;
  UCHAR AceFlags;
  USHORT AceSize;
};

// The layout of allow and deny entries alike: the SID starts at SidStart.
struct ACCESS_ALLOWED_ACE {
  ACE_HEADER Header;
  ACCESS_MASK Mask;
  ULONG SidStart;
};
using ACCESS_DENIED_ACE = ACCESS_ALLOWED_ACE;

// Whether the subject may have DesiredAccess (its generic rights mapped through
// GenericMapping) to an object that SecurityDescriptor protects, beyond what was
// PreviouslyGrantedAccess. Kernel-mode checks grant everything. Otherwise the DACL's
// entries are taken in order against the subject's token (the client token when it
// impersonates, else the primary token): an allow entry grants its rights still wanted to
// the token's enabled SIDs; a deny entry refuses the check when it names an enabled or
// deny-only SID of the token and a right still wanted. Rights left wanted after the last
// entry refuse it too. MAXIMUM_ALLOWED asks for every right the DACL grants and denies
// only when that is none (or misses a right also asked for by name). A refusal answers
// FALSE with *AccessStatus STATUS_ACCESS_DENIED (STATUS_PRIVILEGE_NOT_HELD for
// ACCESS_SYSTEM_SECURITY without the security privilege) and *GrantedAccess 0; a grant
// answers TRUE with the rights granted (previous ones included). *Privileges, when asked
// for, is always null: rights granted by privilege (ACCESS_SYSTEM_SECURITY, WRITE_OWNER
// through the take-ownership privilege), owner rights, absolute descriptors and entry
// types other than allow and deny are not modelled and stop the system.
//
// The stand-in's device objects have no descriptor unless a test gives them one (Host.h's
// HkSetDeviceSecurity). A null SecurityDescriptor stands for the stand-in's default device
// descriptor: System and Administrators all access, nobody else anything, so that an
// ordinary caller is refused.
BOOLEAN SeAccessCheck(PSECURITY_DESCRIPTOR SecurityDescriptor, PSECURITY_SUBJECT_CONTEXT SubjectSecurityContext,
                      BOOLEAN SubjectContextLocked, ACCESS_MASK DesiredAccess, ACCESS_MASK PreviouslyGrantedAccess,
                      PPRIVILEGE_SET* Privileges, PGENERIC_MAPPING GenericMapping, KPROCESSOR_MODE AccessMode,
                      PACCESS_MASK GrantedAccess, PNTSTATUS AccessStatus);

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
