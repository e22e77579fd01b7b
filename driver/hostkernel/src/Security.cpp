// Share access and the security checks on open.
#include "hostkernel/Security.h"

#include <atomic>
#include <vector>

#include "hostkernel/Host.h"
#include "hostkernel/NtStatus.h"

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

// ---- Subjects and privileges ----------------------------------------------------------------

namespace {

// The stand-in's token: the privileges it holds enabled, as a bit per privilege value.
struct Token {
  ULONG64 EnabledPrivileges;
};

Token CallerToken{};
std::atomic<bool> StartupApplicationsComplete{true};

BOOLEAN HoldsPrivilege(const Token* Holder, LUID Privilege) {
  return Privilege.HighPart == 0 && Privilege.LowPart < 64 &&
         (Holder->EnabledPrivileges & (1ull << Privilege.LowPart)) != 0;
}

const Token* EffectiveToken(PSECURITY_SUBJECT_CONTEXT SubjectContext) {
  return (const Token*)(SubjectContext->ClientToken ? SubjectContext->ClientToken : SubjectContext->PrimaryToken);
}

GENERIC_MAPPING FileGenericMapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};

}  // namespace

void HkSetCallerPrivileges(const std::vector<ULONG>& Privileges) {
  CallerToken.EnabledPrivileges = 0;
  for (ULONG Privilege : Privileges) CallerToken.EnabledPrivileges |= 1ull << Privilege;
}

PACCESS_TOKEN HkCallerToken() { return &CallerToken; }

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

BOOLEAN SeSinglePrivilegeCheck(LUID PrivilegeValue, KPROCESSOR_MODE PreviousMode) {
  return PreviousMode == KernelMode || HoldsPrivilege(&CallerToken, PrivilegeValue);
}

BOOLEAN SePrivilegeCheck(PPRIVILEGE_SET RequiredPrivileges, PSECURITY_SUBJECT_CONTEXT SubjectContext,
                         KPROCESSOR_MODE AccessMode) {
  if (AccessMode == KernelMode) return TRUE;
  const Token* Holder = EffectiveToken(SubjectContext);
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

// The stand-in's tokens do not change while in use, so a locked subject context reads the
// same as an unlocked one.
void SeLockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext) { UNREFERENCED_PARAMETER(SubjectContext); }
void SeUnlockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext) { UNREFERENCED_PARAMETER(SubjectContext); }
