// The cache manager and the memory manager's sections for mapped files.
//
// A stream's cached data lives in its shared cache map, hung off the stream's section
// object pointers; each file object that reads through the cache has a private cache map.
// Data is kept in views of CC_VIEW_SIZE bytes; a view that is not resident is read whole
// (up to the page holding the end of file) by one paging read sent to the file system
// (IRP_PAGING_IO | IRP_NOCACHE) through the file object the cache was set up with. That
// file object stays referenced until the shared cache map is torn down, which happens in a
// worker some time after the last private cache map goes.
//
// At most CC_RESIDENT_VIEWS views are resident across all streams: entering one more lets
// go of the least recently used view that no MDL describes, as the cache lets go of views
// it is not using, so a stream read whole costs the cache's bound, not the stream's size.
#pragma once

#include "hostkernel/NtDef.h"

#define CC_VIEW_SIZE 0x10000
#define CC_RESIDENT_VIEWS 512

struct CC_FILE_SIZES {
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER FileSize;
  LARGE_INTEGER ValidDataLength;
};
using PCC_FILE_SIZES = CC_FILE_SIZES*;

// Signalled when the shared cache map a CcUninitializeCacheMap let go of is torn down.
struct CACHE_UNINITIALIZE_EVENT {
  CACHE_UNINITIALIZE_EVENT* Next;
  KEVENT Event;
};
using PCACHE_UNINITIALIZE_EVENT = CACHE_UNINITIALIZE_EVENT*;

// Sets up caching for FileObject (nothing when it already has a private cache map);
// Callbacks and LazyWriteContext are those of the stream's first set-up. Raises
// STATUS_INSUFFICIENT_RESOURCES when pool runs out.
void CcInitializeCacheMap(PFILE_OBJECT FileObject, PCC_FILE_SIZES FileSizes, BOOLEAN PinAccess,
                          PCACHE_MANAGER_CALLBACKS Callbacks, PVOID LazyWriteContext);
// Drops FileObject's private cache map. With TruncateSize, the stream's cached data from
// that offset on is dropped too. The shared cache map goes in a worker once no private
// cache map is left; UninitializeEvent is signalled then, or at once
// when there is no shared cache map or other file objects keep it, or when the stream is
// cached again before the teardown.
// Returns TRUE when the file object had a private cache map.
BOOLEAN CcUninitializeCacheMap(PFILE_OBJECT FileObject, PLARGE_INTEGER TruncateSize,
                               PCACHE_UNINITIALIZE_EVENT UninitializeEvent);
// Drops the cached views of [FileOffset, FileOffset + Length) (FileOffset null: the whole
// stream; Length 0: to its end). FALSE, dropping nothing, when one of them is in use (an
// MDL read not completed) or user views map the data section. With
// UninitializeCacheMaps every private cache map of the stream is dropped first.
BOOLEAN CcPurgeCacheSection(PSECTION_OBJECT_POINTERS SectionObjectPointer, PLARGE_INTEGER FileOffset,
                            ULONG Length, BOOLEAN UninitializeCacheMaps);
// Waits until the cache's work queued before the call is done: teardowns of shared cache
// maps, with the file object references they let go of, and read-aheads with the
// teardowns they leave. At PASSIVE_LEVEL, holding no resource that work may need.
NTSTATUS CcWaitForCurrentLazyWriterActivity();
// New sizes for a cached stream; cached data past a smaller file size is dropped.
void CcSetFileSizes(PFILE_OBJECT FileObject, PCC_FILE_SIZES FileSizes);
// Writes the range's dirty data back. Nothing in this cache is ever dirtied (no stream is
// written through it), so this answers success with no bytes written.
void CcFlushCache(PSECTION_OBJECT_POINTERS SectionObjectPointer, PLARGE_INTEGER FileOffset, ULONG Length,
                  PIO_STATUS_BLOCK IoStatus);
void CcSetReadAheadGranularity(PFILE_OBJECT FileObject, ULONG Granularity);

// Copies Length bytes at FileOffset (within the file size) from the cache to Buffer. Views
// not resident are read first when Wait; without Wait they make the call answer FALSE,
// having copied nothing. A failed paging read raises its status.
BOOLEAN CcCopyRead(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait,
                   PVOID Buffer, PIO_STATUS_BLOCK IoStatus);
BOOLEAN CcCopyReadEx(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait,
                     PVOID Buffer, PIO_STATUS_BLOCK IoStatus, PETHREAD IoIssuerThread);
// Makes the range resident and describes it by a chain of locked MDLs over the cache's
// own pages, which stay in use until CcMdlReadComplete. Always waits.
void CcMdlRead(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, PMDL* MdlChain,
               PIO_STATUS_BLOCK IoStatus);
void CcMdlReadComplete(PFILE_OBJECT FileObject, PMDL MdlChain);
// The stream is never written through the cache, so no MDL write can have been prepared:
// both are rule violations when called.
void CcMdlWriteComplete(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, PMDL MdlChain);
void CcMdlWriteAbort(PFILE_OBJECT FileObject, PMDL MdlChain);

// The file object the stream's cache reads through, or null when it is not cached.
PFILE_OBJECT CcGetFileObjectFromSectionPtrs(PSECTION_OBJECT_POINTERS SectionObjectPointer);
inline BOOLEAN CcIsFileCached(PFILE_OBJECT FileObject) {
  return FileObject->SectionObjectPointer != nullptr && FileObject->SectionObjectPointer->SharedCacheMap != nullptr;
}

// ---- Sections -------------------------------------------------------------------------------
// A stream's data section exists while it is cached or mapped by a user view; its image
// section while a user view maps it as an executable image (made with HkMapSection).
enum MMFLUSH_TYPE { MmFlushForDelete, MmFlushForWrite };
// TRUE when no image section is left: none existed, or it had no user view and is removed.
BOOLEAN MmFlushImageSection(PSECTION_OBJECT_POINTERS SectionObjectPointer, MMFLUSH_TYPE FlushType);
// FALSE when a user view maps the stream (image or data) and so holds its pages.
BOOLEAN MmCanFileBeTruncated(PSECTION_OBJECT_POINTERS SectionPointer, PLARGE_INTEGER NewFileSize);
// The number of user views mapping the data section writable.
ULONG MmDoesFileHaveUserWritableReferences(PSECTION_OBJECT_POINTERS SectionPointer);
