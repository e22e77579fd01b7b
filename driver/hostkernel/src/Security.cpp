// Share access and the security checks on open.
#include "hostkernel/Security.h"

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
