// Share access and the security checks on open.
#include "hostkernel/Security.h"

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "HostInternal.h"

namespace {

// Records the file object's access and share mode; TRUE when the access is counted.
BOOLEAN RecordAccess(ACCESS_MASK DesiredAccess, ULONG DesiredShareAccess, PFILE_OBJECT FileObject) {
  FileObject->ReadAccess = (DesiredAccess & (FILE_EXECUTE | FILE_READ_DATA)) != 0;
  FileObject->WriteAccess = (DesiredAccess & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
  FileObject->DeleteAccess = (DesiredAccess & DELETE) != 0;
  if (!FileObject->ReadAccess && !FileObject->WriteAccess && !FileObject->DeleteAccess) return FALSE;
  FileObject->SharedRead = (DesiredShareAccess & FILE_SHARE_READ) != 0;
  FileObject->SharedWrite = (DesiredShareAccess & FILE_SHARE_WRITE) != 0;
  FileObject->SharedDelete = (DesiredShareAccess & FILE_SHARE_DELETE) != 0;
  return TRUE;
}

BOOLEAN HasCountedAccess(PFILE_OBJECT FileObject) {
  return FileObject->ReadAccess || FileObject->WriteAccess || FileObject->DeleteAccess;
}

// Adds (Sign 1) or removes (Sign -1) the file object's recorded open.
void CountOpen(PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess, int Sign) {
  ShareAccess->OpenCount += Sign;
  ShareAccess->Readers += Sign * FileObject->ReadAccess;
  ShareAccess->Writers += Sign * FileObject->WriteAccess;
  ShareAccess->Deleters += Sign * FileObject->DeleteAccess;
  ShareAccess->SharedRead += Sign * FileObject->SharedRead;
  ShareAccess->SharedWrite += Sign * FileObject->SharedWrite;
  ShareAccess->SharedDelete += Sign * FileObject->SharedDelete;
}

}  // namespace

NTSTATUS IoCheckShareAccess(ACCESS_MASK DesiredAccess, ULONG DesiredShareAccess, PFILE_OBJECT FileObject,
                            PSHARE_ACCESS ShareAccess, BOOLEAN Update) {
  if (!RecordAccess(DesiredAccess, DesiredShareAccess, FileObject)) return STATUS_SUCCESS;
  ULONG Openers = ShareAccess->OpenCount;
  bool DeniedByOthers = (FileObject->ReadAccess && ShareAccess->SharedRead < Openers) ||
                        (FileObject->WriteAccess && ShareAccess->SharedWrite < Openers) ||
                        (FileObject->DeleteAccess && ShareAccess->SharedDelete < Openers);
  bool DeniesOthers = (ShareAccess->Readers != 0 && !FileObject->SharedRead) ||
                      (ShareAccess->Writers != 0 && !FileObject->SharedWrite) ||
                      (ShareAccess->Deleters != 0 && !FileObject->SharedDelete);
  if (DeniedByOthers || DeniesOthers) return STATUS_SHARING_VIOLATION;
  if (Update) CountOpen(FileObject, ShareAccess, 1);
  return STATUS_SUCCESS;
}

void IoSetShareAccess(ACCESS_MASK DesiredAccess, ULONG DesiredShareAccess, PFILE_OBJECT FileObject,
                      PSHARE_ACCESS ShareAccess) {
  *ShareAccess = SHARE_ACCESS{};
  if (RecordAccess(DesiredAccess, DesiredShareAccess, FileObject)) CountOpen(FileObject, ShareAccess, 1);
}

void IoUpdateShareAccess(PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess) {
  if (HasCountedAccess(FileObject)) CountOpen(FileObject, ShareAccess, 1);
}

void IoRemoveShareAccess(PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess) {
  if (HasCountedAccess(FileObject)) CountOpen(FileObject, ShareAccess, -1);
}

// ---- SIDs -----------------------------------------------------------------------------------

namespace {

// A SID with room for Count sub-authorities, laid out as SID is.
template <int Count>
struct FixedSid {
  UCHAR Revision;
  UCHAR SubAuthorityCount;
  SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
  ULONG SubAuthority[Count];
};

constexpr SID_IDENTIFIER_AUTHORITY WorldAuthority{{0, 0, 0, 0, 0, 1}};
constexpr SID_IDENTIFIER_AUTHORITY NtAuthority{{0, 0, 0, 0, 0, 5}};

FixedSid<1> WorldSid{SID_REVISION, 1, WorldAuthority, {0}};
FixedSid<1> LocalSystemSid{SID_REVISION, 1, NtAuthority, {18}};
FixedSid<2> AdministratorsSid{SID_REVISION, 2, NtAuthority, {32, 544}};
FixedSid<2> UsersSid{SID_REVISION, 2, NtAuthority, {32, 545}};
FixedSid<1> AuthenticatedUsersSid{SID_REVISION, 1, NtAuthority, {11}};
// The one local account the front end's callers log on with.
FixedSid<5> CallerUserSid{SID_REVISION, 5, NtAuthority, {21, 1111, 2222, 3333, 1001}};

SE_EXPORTS Exports{&WorldSid, &LocalSystemSid, &AdministratorsSid, &UsersSid, &AuthenticatedUsersSid};

}  // namespace

PSE_EXPORTS SeExports = &Exports;

BOOLEAN RtlValidSid(PSID Sid) {
  auto* Id = (const SID*)Sid;
  return Id != nullptr && Id->Revision == SID_REVISION && Id->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES;
}

ULONG RtlLengthSid(PSID Sid) {
  return (ULONG)(sizeof(SID) - sizeof(ULONG) + ((const SID*)Sid)->SubAuthorityCount * sizeof(ULONG));
}

BOOLEAN RtlEqualSid(PSID Sid1, PSID Sid2) {
  ULONG Length = RtlLengthSid(Sid1);
  return Length == RtlLengthSid(Sid2) && std::memcmp(Sid1, Sid2, Length) == 0;
}

// ---- Tokens and privileges ---------------------------------------------------------------------

namespace {

const ULONG TokenTag = PoolTag("Toke");
constexpr ULONG MaxTokenSids = 16;

struct TokenSid {
  ULONG Attributes;
  alignas(4) UCHAR Sid[SECURITY_MAX_SID_SIZE];
};

// The stand-in's token: its user SID (entry 0) and groups, and the privileges it holds
// enabled, a bit per privilege value. Filtered tokens are pool allocations freed by the
// object manager with their last reference; the callers' token lives as long as the host.
struct Token {
  CSHORT Type;
  ULONG SidCount;
  TokenSid Sids[MaxTokenSids];
  ULONG64 EnabledPrivileges;
};

std::atomic<bool> StartupApplicationsComplete{true};

void CopySid(TokenSid* To, PSID Sid, ULONG Attributes) {
  if (!RtlValidSid(Sid)) hk::Violation("invalid SID %p given for a token", Sid);
  To->Attributes = Attributes;
  std::memcpy(To->Sid, Sid, RtlLengthSid(Sid));
}

const ULONG DefaultGroupAttributes = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;

void SetGroups(Token* Holder, const std::vector<SID_AND_ATTRIBUTES>& Groups) {
  if (Groups.size() + 1 > MaxTokenSids) hk::Violation("a token of %zu groups; the stand-in holds at most %u", Groups.size(), MaxTokenSids - 1);
  Holder->SidCount = 1;
  for (const SID_AND_ATTRIBUTES& Group : Groups) CopySid(&Holder->Sids[Holder->SidCount++], Group.Sid, Group.Attributes);
}

// The callers' token, an object of the object manager from its first use on: a standard
// user in Everyone, Authenticated Users and Users, without privileges.
Token& Caller() {
  static Token& Record = *[] {
    auto* Made = new Token{};
    Made->Type = HK_TOKEN_OBJECT_TYPE;
    CopySid(&Made->Sids[0], &CallerUserSid, 0);
    SetGroups(Made, {{&WorldSid, DefaultGroupAttributes}, {&AuthenticatedUsersSid, DefaultGroupAttributes},
                     {&UsersSid, DefaultGroupAttributes}});
    hk::RegisterObject(Made, 1);
    return Made;
  }();
  return Record;
}

const Token* TokenOf(PACCESS_TOKEN Object, const char* Routine) {
  auto* Found = (const Token*)Object;
  if (Found == nullptr || Found->Type != HK_TOKEN_OBJECT_TYPE)
    hk::Violation("%s given %p, which is not a token", Routine, Object);
  return Found;
}

BOOLEAN HoldsPrivilege(const Token* Holder, LUID Privilege) {
  return Privilege.HighPart == 0 && Privilege.LowPart < 64 &&
         (Holder->EnabledPrivileges & (1ull << Privilege.LowPart)) != 0;
}

PACCESS_TOKEN EffectiveToken(PSECURITY_SUBJECT_CONTEXT SubjectContext) {
  return SubjectContext->ClientToken ? SubjectContext->ClientToken : SubjectContext->PrimaryToken;
}

GENERIC_MAPPING FileGenericMapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};

}  // namespace

void HkSetCallerPrivileges(const std::vector<ULONG>& Privileges) {
  Token& Holder = Caller();
  Holder.EnabledPrivileges = 0;
  for (ULONG Privilege : Privileges) Holder.EnabledPrivileges |= 1ull << Privilege;
}

void HkSetCallerGroups(const std::vector<SID_AND_ATTRIBUTES>& Groups) { SetGroups(&Caller(), Groups); }

PACCESS_TOKEN HkCallerToken() { return &Caller(); }

NTSTATUS SeFilterToken(PACCESS_TOKEN ExistingToken, ULONG Flags, PTOKEN_GROUPS SidsToDisable,
                       PTOKEN_PRIVILEGES PrivilegesToDelete, PTOKEN_GROUPS RestrictedSids,
                       PACCESS_TOKEN* FilteredToken) {
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL) hk::Violation("SeFilterToken at IRQL %u", KeGetCurrentIrql());
  const Token* Existing = TokenOf(ExistingToken, "SeFilterToken");
  if (Flags & ~(ULONG)DISABLE_MAX_PRIVILEGE) hk::Violation("SeFilterToken flags 0x%x are not modelled", (unsigned)Flags);
  if (RestrictedSids != nullptr) hk::Violation("SeFilterToken's restricting SIDs are not modelled");
  auto* Filtered = (Token*)ExAllocatePoolWithTag(PagedPool, sizeof(Token), TokenTag);
  if (Filtered == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  *Filtered = *Existing;
  for (ULONG Index = 0; SidsToDisable != nullptr && Index < SidsToDisable->GroupCount; Index++)
    for (ULONG At = 0; At < Filtered->SidCount; At++) {
      TokenSid& Held = Filtered->Sids[At];
      if (!RtlEqualSid(Held.Sid, SidsToDisable->Groups[Index].Sid)) continue;
      Held.Attributes = (Held.Attributes | SE_GROUP_USE_FOR_DENY_ONLY) & ~(SE_GROUP_ENABLED | SE_GROUP_ENABLED_BY_DEFAULT);
    }
  if (Flags & DISABLE_MAX_PRIVILEGE) {
    Filtered->EnabledPrivileges &= 1ull << SE_CHANGE_NOTIFY_PRIVILEGE;
  } else if (PrivilegesToDelete != nullptr) {
    for (ULONG Index = 0; Index < PrivilegesToDelete->PrivilegeCount; Index++) {
      LUID Privilege = PrivilegesToDelete->Privileges[Index].Luid;
      if (Privilege.HighPart == 0 && Privilege.LowPart < 64) Filtered->EnabledPrivileges &= ~(1ull << Privilege.LowPart);
    }
  }
  hk::RegisterObject(Filtered, 1);
  *FilteredToken = Filtered;
  return STATUS_SUCCESS;
}

// ---- Security descriptors and the access check ------------------------------------------------

namespace {

std::mutex& DescriptorLock() {
  static std::mutex& Lock = *new std::mutex;
  return Lock;
}

// The descriptors tests gave devices, each kept as long as the host.
std::map<PDEVICE_OBJECT, std::vector<UCHAR>>& DeviceDescriptors() {
  static auto& Kept = *new std::map<PDEVICE_OBJECT, std::vector<UCHAR>>;
  return Kept;
}

// What a device's descriptor is when nobody set one.
const std::vector<UCHAR>& DefaultDeviceDescriptor() {
  static const std::vector<UCHAR>& Bytes = *new std::vector<UCHAR>(HkSecurityDescriptor(
      {{true, &LocalSystemSid, GENERIC_ALL}, {true, &AdministratorsSid, GENERIC_ALL}}));
  return Bytes;
}

// How the token holds Sid: 0 when it does not, else the entry's attributes with the user
// SID counted as enabled unless it is deny-only.
ULONG SidInToken(const Token* Holder, PSID Sid) {
  for (ULONG At = 0; At < Holder->SidCount; At++) {
    const TokenSid& Held = Holder->Sids[At];
    if (!RtlEqualSid((PSID)Held.Sid, Sid)) continue;
    ULONG Attributes = Held.Attributes;
    if (At == 0 && !(Attributes & SE_GROUP_USE_FOR_DENY_ONLY)) Attributes |= SE_GROUP_ENABLED;
    return Attributes;
  }
  return 0;
}

struct DaclVerdict {
  ACCESS_MASK Allowed;  // rights an allow entry granted before a deny entry refused them
  ACCESS_MASK Denied;   // rights a deny entry refused before an allow entry granted them
};

// Walks the DACL's entries in order; Wanted narrows the walk to the rights still wanted
// (all rights for MAXIMUM_ALLOWED).
DaclVerdict WalkDacl(const UCHAR* Descriptor, ULONG DaclOffset, const Token* Holder, ACCESS_MASK Wanted) {
  auto* Dacl = (const ACL*)(Descriptor + DaclOffset);
  if (Dacl->AclRevision != ACL_REVISION && Dacl->AclRevision != ACL_REVISION_DS)
    hk::Violation("DACL of revision %u", Dacl->AclRevision);
  DaclVerdict Verdict{0, 0};
  const UCHAR* Entry = (const UCHAR*)(Dacl + 1);
  for (USHORT Index = 0; Index < Dacl->AceCount; Index++) {
    auto* Ace = (const ACCESS_ALLOWED_ACE*)Entry;
    Entry += Ace->Header.AceSize;
    if (Ace->Header.AceFlags & INHERIT_ONLY_ACE) continue;
    if (Ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE && Ace->Header.AceType != ACCESS_DENIED_ACE_TYPE)
      hk::Violation("access check over an entry of type %u, which the stand-in does not model", Ace->Header.AceType);
    ULONG Held = SidInToken(Holder, (PSID)&Ace->SidStart);
    ACCESS_MASK Undecided = Wanted & ~(Verdict.Allowed | Verdict.Denied);
    if (Ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && (Held & SE_GROUP_ENABLED))
      Verdict.Allowed |= Ace->Mask & Undecided;
    if (Ace->Header.AceType == ACCESS_DENIED_ACE_TYPE && (Held & (SE_GROUP_ENABLED | SE_GROUP_USE_FOR_DENY_ONLY)))
      Verdict.Denied |= Ace->Mask & Undecided;
  }
  return Verdict;
}

BOOLEAN Refuse(NTSTATUS Status, PACCESS_MASK GrantedAccess, PNTSTATUS AccessStatus) {
  *GrantedAccess = 0;
  *AccessStatus = Status;
  return FALSE;
}

BOOLEAN Grant(ACCESS_MASK Rights, PACCESS_MASK GrantedAccess, PNTSTATUS AccessStatus) {
  *GrantedAccess = Rights;
  *AccessStatus = STATUS_SUCCESS;
  return TRUE;
}

}  // namespace

std::vector<UCHAR> HkSecurityDescriptor(const std::vector<HkAce>& Aces, bool DaclPresent) {
  std::vector<UCHAR> Bytes(sizeof(SECURITY_DESCRIPTOR_RELATIVE), 0);
  SECURITY_DESCRIPTOR_RELATIVE Header{SECURITY_DESCRIPTOR_REVISION, 0, SE_SELF_RELATIVE, 0, 0, 0, 0};
  if (DaclPresent) {
    Header.Control |= SE_DACL_PRESENT;
    Header.Dacl = (ULONG)Bytes.size();
    ACL Dacl{ACL_REVISION, 0, (USHORT)sizeof(ACL), (USHORT)Aces.size(), 0};
    std::vector<UCHAR> Entries;
    for (const HkAce& Ace : Aces) {
      ACCESS_MASK Mask = Ace.Mask;
      RtlMapGenericMask(&Mask, &FileGenericMapping);
      ULONG SidLength = RtlLengthSid(Ace.Sid);
      ACCESS_ALLOWED_ACE Fixed{{(UCHAR)(Ace.Allow ? ACCESS_ALLOWED_ACE_TYPE : ACCESS_DENIED_ACE_TYPE), 0,
                               (USHORT)(offsetof(ACCESS_ALLOWED_ACE, SidStart) + SidLength)}, Mask, 0};
      size_t At = Entries.size();
      Entries.resize(At + Fixed.Header.AceSize);
      std::memcpy(&Entries[At], &Fixed, offsetof(ACCESS_ALLOWED_ACE, SidStart));
      std::memcpy(&Entries[At + offsetof(ACCESS_ALLOWED_ACE, SidStart)], Ace.Sid, SidLength);
    }
    Dacl.AclSize = (USHORT)(sizeof(ACL) + Entries.size());
    Bytes.resize(Bytes.size() + sizeof(ACL));
    std::memcpy(&Bytes[Header.Dacl], &Dacl, sizeof(ACL));
    Bytes.insert(Bytes.end(), Entries.begin(), Entries.end());
  }
  std::memcpy(Bytes.data(), &Header, sizeof(Header));
  return Bytes;
}

void HkSetDeviceSecurity(PDEVICE_OBJECT Device, const std::vector<HkAce>& Aces) {
  std::lock_guard<std::mutex> Lock(DescriptorLock());
  std::vector<UCHAR>& Kept = DeviceDescriptors()[Device];
  Kept = HkSecurityDescriptor(Aces);
  Device->SecurityDescriptor = Kept.data();
}

BOOLEAN SeAccessCheck(PSECURITY_DESCRIPTOR SecurityDescriptor, PSECURITY_SUBJECT_CONTEXT SubjectSecurityContext,
                      BOOLEAN SubjectContextLocked, ACCESS_MASK DesiredAccess, ACCESS_MASK PreviouslyGrantedAccess,
                      PPRIVILEGE_SET* Privileges, PGENERIC_MAPPING GenericMapping, KPROCESSOR_MODE AccessMode,
                      PACCESS_MASK GrantedAccess, PNTSTATUS AccessStatus) {
  UNREFERENCED_PARAMETER(SubjectContextLocked);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) hk::Violation("SeAccessCheck at IRQL %u", KeGetCurrentIrql());
  if (Privileges != nullptr) *Privileges = nullptr;
  RtlMapGenericMask(&DesiredAccess, GenericMapping);
  bool Maximum = DesiredAccess & MAXIMUM_ALLOWED;
  ACCESS_MASK Named = DesiredAccess & ~(ACCESS_MASK)MAXIMUM_ALLOWED;
  if (AccessMode == KernelMode)
    return Grant(Named | PreviouslyGrantedAccess | (Maximum ? GenericMapping->GenericAll : 0), GrantedAccess,
                 AccessStatus);
  // Nothing asked for is granted only when something was granted already.
  if (DesiredAccess == 0)
    return PreviouslyGrantedAccess != 0 ? Grant(PreviouslyGrantedAccess, GrantedAccess, AccessStatus)
                                        : Refuse(STATUS_ACCESS_DENIED, GrantedAccess, AccessStatus);
  const Token* Holder = TokenOf(EffectiveToken(SubjectSecurityContext), "SeAccessCheck");
  ACCESS_MASK Wanted = Named & ~PreviouslyGrantedAccess;
  if (Wanted & ACCESS_SYSTEM_SECURITY) {
    if (!HoldsPrivilege(Holder, RtlConvertLongToLuid(SE_SECURITY_PRIVILEGE)))
      return Refuse(STATUS_PRIVILEGE_NOT_HELD, GrantedAccess, AccessStatus);
    hk::Violation("SeAccessCheck granting ACCESS_SYSTEM_SECURITY by privilege is not modelled");
  }
  if ((Wanted & WRITE_OWNER) && HoldsPrivilege(Holder, RtlConvertLongToLuid(SE_TAKE_OWNERSHIP_PRIVILEGE)))
    hk::Violation("SeAccessCheck granting WRITE_OWNER by privilege is not modelled");

  const UCHAR* Descriptor =
      SecurityDescriptor != nullptr ? (const UCHAR*)SecurityDescriptor : DefaultDeviceDescriptor().data();
  auto* Header = (const SECURITY_DESCRIPTOR_RELATIVE*)Descriptor;
  if (!(Header->Control & SE_SELF_RELATIVE)) hk::Violation("SeAccessCheck over an absolute descriptor is not modelled");
  if (Header->Owner != 0) hk::Violation("SeAccessCheck over a descriptor with an owner: owner rights are not modelled");
  if (!(Header->Control & SE_DACL_PRESENT) || Header->Dacl == 0)
    return Grant(Named | PreviouslyGrantedAccess | (Maximum ? GenericMapping->GenericAll : 0), GrantedAccess,
                 AccessStatus);

  DaclVerdict Verdict = WalkDacl(Descriptor, Header->Dacl, Holder, Maximum ? ~(ACCESS_MASK)0 : Wanted);
  if (Wanted & ~Verdict.Allowed) return Refuse(STATUS_ACCESS_DENIED, GrantedAccess, AccessStatus);
  if (Maximum && (Verdict.Allowed | PreviouslyGrantedAccess) == 0)
    return Refuse(STATUS_ACCESS_DENIED, GrantedAccess, AccessStatus);
  return Grant((Maximum ? Verdict.Allowed : Named) | PreviouslyGrantedAccess, GrantedAccess, AccessStatus);
}

BOOLEAN SeSinglePrivilegeCheck(LUID PrivilegeValue, KPROCESSOR_MODE PreviousMode) {
  return PreviousMode == KernelMode || HoldsPrivilege(&Caller(), PrivilegeValue);
}

BOOLEAN SePrivilegeCheck(PPRIVILEGE_SET RequiredPrivileges, PSECURITY_SUBJECT_CONTEXT SubjectContext,
                         KPROCESSOR_MODE AccessMode) {
  if (AccessMode == KernelMode) return TRUE;
  PACCESS_TOKEN Effective = EffectiveToken(SubjectContext);
  const Token* Holder = Effective != nullptr ? TokenOf(Effective, "SePrivilegeCheck") : nullptr;
  ULONG Held = 0;
  for (ULONG Index = 0; Index < RequiredPrivileges->PrivilegeCount; Index++) {
    LUID_AND_ATTRIBUTES& Entry = RequiredPrivileges->Privilege[Index];
    if (Holder == nullptr || !HoldsPrivilege(Holder, Entry.Luid)) continue;
    Entry.Attributes |= SE_PRIVILEGE_USED_FOR_ACCESS;
    Held++;
  }
  if (RequiredPrivileges->Control & PRIVILEGE_SET_ALL_NECESSARY) return Held == RequiredPrivileges->PrivilegeCount;
  return Held != 0;
}

void HkSetVolumeStartupApplicationsComplete(bool Complete) { StartupApplicationsComplete = Complete; }

BOOLEAN FsRtlAreVolumeStartupApplicationsComplete() { return StartupApplicationsComplete; }

PGENERIC_MAPPING IoGetFileObjectGenericMapping() { return &FileGenericMapping; }

void RtlMapGenericMask(PACCESS_MASK AccessMask, const GENERIC_MAPPING* GenericMapping) {
  ACCESS_MASK Mask = *AccessMask;
  if (Mask & GENERIC_READ) Mask |= GenericMapping->GenericRead;
  if (Mask & GENERIC_WRITE) Mask |= GenericMapping->GenericWrite;
  if (Mask & GENERIC_EXECUTE) Mask |= GenericMapping->GenericExecute;
  if (Mask & GENERIC_ALL) Mask |= GenericMapping->GenericAll;
  *AccessMask = Mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

// The stand-in's tokens do not change while in use, so a locked subject context reads the
// same as an unlocked one.
void SeLockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext) { UNREFERENCED_PARAMETER(SubjectContext); }
void SeUnlockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext) { UNREFERENCED_PARAMETER(SubjectContext); }
