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
