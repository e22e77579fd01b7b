// The memory manager's part: MDLs over the host's flat address space, where a system
// address is the buffer's own address and probing checks user buffers against the ones
// the front end registered for the request in flight; the system size; kernel stacks; and
// the sections of mapped files.
#include <pthread.h>

#include <vector>

#include "Sections.h"

namespace {

const ULONG MdlTag = PoolTag("Mdl ");

struct UserRange {
  PUCHAR Start;
  SIZE_T Length;
  bool Writable;
};

std::mutex& RangeLock() {
  static std::mutex& Lock = *new std::mutex;
  return Lock;
}

std::vector<UserRange>& Ranges() {
  static std::vector<UserRange>& List = *new std::vector<UserRange>;
  return List;
}

MM_SYSTEMSIZE SystemSize = MmLargeSystem;

ULONG PagesSpanned(PVOID Address, SIZE_T Length) {
  ULONG_PTR Start = (ULONG_PTR)Address & ~(ULONG_PTR)(PAGE_SIZE - 1);
  ULONG_PTR End = (ULONG_PTR)Address + Length;
  return (ULONG)((End - Start + PAGE_SIZE - 1) >> PAGE_SHIFT);
}

}  // namespace

void HkRegisterUserBuffer(PVOID Buffer, SIZE_T Length, bool Writable) {
  std::lock_guard<std::mutex> Lock(RangeLock());
  Ranges().push_back({(PUCHAR)Buffer, Length, Writable});
}

void HkUnregisterUserBuffer(PVOID Buffer) {
  std::lock_guard<std::mutex> Lock(RangeLock());
  auto& List = Ranges();
  for (auto It = List.begin(); It != List.end(); ++It)
    if (It->Start == Buffer) {
      List.erase(It);
      return;
    }
}

bool hk::UserRangeAccessible(PVOID Address, SIZE_T Length, bool Write) {
  if (hk::CurrentThread()->Process != &hk::UserProcess) return false;
  std::lock_guard<std::mutex> Lock(RangeLock());
  auto* Start = (PUCHAR)Address;
  for (const UserRange& Range : Ranges())
    if (Start >= Range.Start && Length <= Range.Length && Start - Range.Start <= (ptrdiff_t)(Range.Length - Length))
      return Range.Writable || !Write;
  return false;
}

void HkSetSystemSize(MM_SYSTEMSIZE Size) { SystemSize = Size; }
MM_SYSTEMSIZE MmQuerySystemSize() { return SystemSize; }

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN, PIRP Irp) {
  ULONG Pages = PagesSpanned(VirtualAddress, Length);
  SIZE_T Size = sizeof(MDL) + Pages * sizeof(ULONG_PTR);
  auto* Mdl = (PMDL)ExAllocatePoolWithTag(NonPagedPoolNx, Size, MdlTag);
  if (!Mdl) return nullptr;
  std::memset(Mdl, 0, sizeof(MDL));
  Mdl->Size = (CSHORT)Size;
  Mdl->StartVa = (PVOID)((ULONG_PTR)VirtualAddress & ~(ULONG_PTR)(PAGE_SIZE - 1));
  Mdl->ByteOffset = (ULONG)((ULONG_PTR)VirtualAddress & (PAGE_SIZE - 1));
  Mdl->ByteCount = Length;
  if (Irp) {
    if (!SecondaryBuffer) {
      Irp->MdlAddress = Mdl;
    } else {
      PMDL* Tail = &Irp->MdlAddress;
      while (*Tail) Tail = &(*Tail)->Next;
      *Tail = Mdl;
    }
  }
  return Mdl;
}

void IoFreeMdl(PMDL Mdl) {
  if ((Mdl->MdlFlags & MDL_PAGES_LOCKED) && !(Mdl->MdlFlags & MDL_PARTIAL))
    hk::Violation("IoFreeMdl on MDL %p whose pages are still locked", (void*)Mdl);
  ExFreePoolWithTag(Mdl, MdlTag);
}

void MmProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
  if (Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL))
    hk::Violation("MmProbeAndLockPages on MDL %p that is locked, partial or describes nonpaged pool",
                  (void*)Mdl);
  bool Write = Operation != IoReadAccess;
  if (AccessMode == UserMode && !hk::UserRangeAccessible(MmGetMdlVirtualAddress(Mdl), Mdl->ByteCount, Write))
    ExRaiseStatus(STATUS_ACCESS_VIOLATION);
  Mdl->MdlFlags |= MDL_PAGES_LOCKED | (Write ? MDL_WRITE_OPERATION : 0);
  Mdl->Process = AccessMode == UserMode ? PsGetCurrentProcess() : nullptr;
}

void MmUnlockPages(PMDL Mdl) {
  if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED)) hk::Violation("MmUnlockPages on MDL %p that is not locked", (void*)Mdl);
  Mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_WRITE_OPERATION);
  Mdl->MappedSystemVa = nullptr;
}

void MmBuildMdlForNonPagedPool(PMDL Mdl) {
  Mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
  Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
}

PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG) {
  if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARENT_MAPPED_SYSTEM_VA))
    return Mdl->MappedSystemVa;
  if (!(Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_PARTIAL)))
    hk::Violation("mapping MDL %p whose pages are not locked", (void*)Mdl);
  Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
  Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return Mdl->MappedSystemVa;
}

void IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
  auto* SourceStart = (PUCHAR)MmGetMdlVirtualAddress(SourceMdl);
  auto* Start = (PUCHAR)VirtualAddress;
  if (Start < SourceStart || Start > SourceStart + SourceMdl->ByteCount)
    hk::Violation("partial MDL outside its source MDL");
  ULONG Offset = (ULONG)(Start - SourceStart);
  if (Length == 0) Length = SourceMdl->ByteCount - Offset;
  if (Length > SourceMdl->ByteCount - Offset) hk::Violation("partial MDL runs past its source MDL");
  TargetMdl->StartVa = (PVOID)((ULONG_PTR)Start & ~(ULONG_PTR)(PAGE_SIZE - 1));
  TargetMdl->ByteOffset = (ULONG)((ULONG_PTR)Start & (PAGE_SIZE - 1));
  TargetMdl->ByteCount = Length;
  TargetMdl->Process = SourceMdl->Process;
  TargetMdl->MdlFlags = MDL_PARTIAL | (SourceMdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_WRITE_OPERATION));
  if (SourceMdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
    TargetMdl->MdlFlags |= MDL_PARENT_MAPPED_SYSTEM_VA;
    TargetMdl->MappedSystemVa = (PUCHAR)SourceMdl->MappedSystemVa + Offset;
  }
}

// ---- Sections ------------------------------------------------------------------------------
// A stream has at most one data and one image section, found through its section object
// pointers. A data section lives while the cache holds it or a user view maps it; an image
// section while a user view maps it. Each view holds a reference on the file object it was
// made through, as a mapped file keeps its file object open.

namespace {

const ULONG SectionTag = PoolTag("MmSt");

struct SECTION {
  LONG UserViews;
  LONG WritableViews;
  bool HeldByCache;
};

std::mutex& SectionLock() {
  static std::mutex& Lock = *new std::mutex;
  return Lock;
}

SECTION* NewSection() {
  auto* Section = (SECTION*)ExAllocatePoolWithTag(NonPagedPoolNx | POOL_RAISE_IF_ALLOCATION_FAILURE, sizeof(SECTION),
                                                  SectionTag);
  *Section = SECTION{0, 0, false};
  return Section;
}

// Removes the section at Slot once nothing keeps it.
void DropSectionIfUnused(PVOID* Slot) {
  auto* Section = (SECTION*)*Slot;
  if (Section == nullptr || Section->UserViews != 0 || Section->HeldByCache) return;
  ExFreePoolWithTag(Section, SectionTag);
  *Slot = nullptr;
}

}  // namespace

struct MAPPED_VIEW {
  PFILE_OBJECT FileObject;
  bool Image;
  bool Writable;
};

void hk::HoldDataSectionForCache(PSECTION_OBJECT_POINTERS Pointers) {
  std::lock_guard<std::mutex> Lock(SectionLock());
  if (Pointers->DataSectionObject == nullptr) Pointers->DataSectionObject = NewSection();
  ((SECTION*)Pointers->DataSectionObject)->HeldByCache = true;
}

void hk::ReleaseDataSectionForCache(PSECTION_OBJECT_POINTERS Pointers) {
  std::lock_guard<std::mutex> Lock(SectionLock());
  if (Pointers->DataSectionObject == nullptr) return;
  ((SECTION*)Pointers->DataSectionObject)->HeldByCache = false;
  DropSectionIfUnused(&Pointers->DataSectionObject);
}

bool hk::DataSectionHasUserViews(PSECTION_OBJECT_POINTERS Pointers) {
  std::lock_guard<std::mutex> Lock(SectionLock());
  auto* Section = (SECTION*)Pointers->DataSectionObject;
  return Section != nullptr && Section->UserViews != 0;
}

// ---- Section synchronisation with the file system ---------------------------------------------
// Making a section holds the file against changes of size and of cached state: the file
// system's filter callback acquires it (or, without one, its fast-I/O entry or the memory
// manager itself through the header's Resource), and it is released once the section is
// made. A callback answers STATUS_FSFILTER_OP_COMPLETED_SUCCESSFULLY, or for a section
// being created STATUS_FILE_LOCKED_WITH_ONLY_READERS / _WITH_WRITERS, when it acquired the
// file itself; STATUS_SUCCESS leaves the acquisition to what follows it; any other status
// refuses the section.

namespace {

// ntifs.h's operation codes and wdm.h's page protections.
constexpr UCHAR AcquireForSectionSynchronization = (UCHAR)-1;  // FS_FILTER_ACQUIRE_FOR_SECTION_SYNCHRONIZATION
constexpr UCHAR ReleaseForSectionSynchronization = (UCHAR)-2;  // FS_FILTER_RELEASE_FOR_SECTION_SYNCHRONIZATION
constexpr ULONG PageReadOnly = 0x02;
constexpr ULONG PageReadWrite = 0x04;
constexpr ULONG PageExecute = 0x10;

using PFAST_IO_ACQUIRE_FILE = void (*)(PFILE_OBJECT FileObject);
using PFAST_IO_RELEASE_FILE = void (*)(PFILE_OBJECT FileObject);

struct SectionSync {
  PFILE_OBJECT FileObject;
  PDEVICE_OBJECT Device;  // the file system's device the file is opened on
  FS_FILTER_CALLBACKS Callbacks;
  bool HasCallbacks;
};

FS_FILTER_CALLBACK_DATA CallbackData(const SectionSync& Sync, UCHAR Operation) {
  FS_FILTER_CALLBACK_DATA Data{};
  Data.SizeOfFsFilterCallbackData = sizeof(FS_FILTER_CALLBACK_DATA);
  Data.Operation = Operation;
  Data.DeviceObject = Sync.Device;
  Data.FileObject = Sync.FileObject;
  return Data;
}

PERESOURCE HeaderResource(PFILE_OBJECT FileObject) {
  auto* Header = (FSRTL_COMMON_FCB_HEADER*)FileObject->FsContext;
  return Header != nullptr ? Header->Resource : nullptr;
}

// Acquires the file for creating a section of PageProtection.
NTSTATUS AcquireToCreateMappedSection(const SectionSync& Sync, ULONG PageProtection) {
  FS_FILTER_CALLBACK_DATA Data = CallbackData(Sync, AcquireForSectionSynchronization);
  Data.Parameters.AcquireForSectionSynchronization.SyncType = SyncTypeCreateSection;
  Data.Parameters.AcquireForSectionSynchronization.PageProtection = PageProtection;
  NTSTATUS Status = STATUS_SUCCESS;
  PVOID CompletionContext = nullptr;
  if (Sync.HasCallbacks && Sync.Callbacks.PreAcquireForSectionSynchronization != nullptr)
    Status = Sync.Callbacks.PreAcquireForSectionSynchronization(&Data, &CompletionContext);
  if (Status == STATUS_SUCCESS) {
    PFAST_IO_DISPATCH FastIo = Sync.Device->DriverObject->FastIoDispatch;
    if (FastIo != nullptr && FastIo->AcquireFileForNtCreateSection != nullptr)
      ((PFAST_IO_ACQUIRE_FILE)FastIo->AcquireFileForNtCreateSection)(Sync.FileObject);
    else if (PERESOURCE Resource = HeaderResource(Sync.FileObject))
      ExAcquireResourceExclusiveLite(Resource, TRUE);
  } else if (Status == STATUS_FSFILTER_OP_COMPLETED_SUCCESSFULLY || Status == STATUS_FILE_LOCKED_WITH_ONLY_READERS ||
             Status == STATUS_FILE_LOCKED_WITH_WRITERS) {
    Status = STATUS_SUCCESS;
  } else if (NT_SUCCESS(Status)) {
    hk::Violation("PreAcquireForSectionSynchronization answered 0x%08X, which is no answer it may give",
                  (unsigned)Status);
  }
  if (Sync.HasCallbacks && Sync.Callbacks.PostAcquireForSectionSynchronization != nullptr)
    Sync.Callbacks.PostAcquireForSectionSynchronization(&Data, Status, CompletionContext);
  return Status;
}

// Releases what AcquireToCreateMappedSection acquired.
void ReleaseFromSectionCreation(const SectionSync& Sync) {
  FS_FILTER_CALLBACK_DATA Data = CallbackData(Sync, ReleaseForSectionSynchronization);
  NTSTATUS Status = STATUS_SUCCESS;
  PVOID CompletionContext = nullptr;
  if (Sync.HasCallbacks && Sync.Callbacks.PreReleaseForSectionSynchronization != nullptr)
    Status = Sync.Callbacks.PreReleaseForSectionSynchronization(&Data, &CompletionContext);
  // A release cannot fail: any answer but "done" leaves it to what follows.
  if (Status != STATUS_FSFILTER_OP_COMPLETED_SUCCESSFULLY) {
    PFAST_IO_DISPATCH FastIo = Sync.Device->DriverObject->FastIoDispatch;
    if (FastIo != nullptr && FastIo->ReleaseFileForNtCreateSection != nullptr)
      ((PFAST_IO_RELEASE_FILE)FastIo->ReleaseFileForNtCreateSection)(Sync.FileObject);
    else if (PERESOURCE Resource = HeaderResource(Sync.FileObject))
      ExReleaseResourceLite(Resource);
  }
  if (Sync.HasCallbacks && Sync.Callbacks.PostReleaseForSectionSynchronization != nullptr)
    Sync.Callbacks.PostReleaseForSectionSynchronization(&Data, STATUS_SUCCESS, CompletionContext);
}

}  // namespace

HkMappedView HkMapSection(PFILE_OBJECT FileObject, bool Image, bool Writable, NTSTATUS* Status) {
  PSECTION_OBJECT_POINTERS Pointers = FileObject->SectionObjectPointer;
  if (Pointers == nullptr) hk::Violation("mapping file object %p, which has no section object pointers", (void*)FileObject);
  SectionSync Sync{FileObject, IoGetRelatedDeviceObject(FileObject), {}, false};
  Sync.HasCallbacks = hk::FileSystemFilterCallbacks(Sync.Device->DriverObject, &Sync.Callbacks);
  // The file stays acquired, with normal kernel APCs off, until the section is made.
  KeEnterCriticalRegion();
  NTSTATUS Acquired =
      AcquireToCreateMappedSection(Sync, Image ? PageExecute : Writable ? PageReadWrite : PageReadOnly);
  if (Status != nullptr) *Status = Acquired;
  if (!NT_SUCCESS(Acquired)) {
    KeLeaveCriticalRegion();
    return nullptr;
  }
  ObReferenceObject(FileObject);
  {
    std::lock_guard<std::mutex> Lock(SectionLock());
    PVOID* Slot = Image ? &Pointers->ImageSectionObject : &Pointers->DataSectionObject;
    if (*Slot == nullptr) *Slot = NewSection();
    auto* Section = (SECTION*)*Slot;
    Section->UserViews++;
    if (Writable) Section->WritableViews++;
  }
  ReleaseFromSectionCreation(Sync);
  KeLeaveCriticalRegion();
  return new MAPPED_VIEW{FileObject, Image, Writable};
}

void HkUnmapSection(HkMappedView View) {
  PFILE_OBJECT FileObject = View->FileObject;
  {
    PSECTION_OBJECT_POINTERS Pointers = FileObject->SectionObjectPointer;
    std::lock_guard<std::mutex> Lock(SectionLock());
    PVOID* Slot = View->Image ? &Pointers->ImageSectionObject : &Pointers->DataSectionObject;
    auto* Section = (SECTION*)*Slot;
    Section->UserViews--;
    if (View->Writable) Section->WritableViews--;
    DropSectionIfUnused(Slot);
  }
  delete View;
  ObDereferenceObject(FileObject);
}

// An image section without user views is removed, so nothing stops a write or delete;
// a mapped image cannot be flushed away.
BOOLEAN MmFlushImageSection(PSECTION_OBJECT_POINTERS SectionObjectPointer, MMFLUSH_TYPE) {
  std::lock_guard<std::mutex> Lock(SectionLock());
  DropSectionIfUnused(&SectionObjectPointer->ImageSectionObject);
  return SectionObjectPointer->ImageSectionObject == nullptr;
}

BOOLEAN MmCanFileBeTruncated(PSECTION_OBJECT_POINTERS SectionPointer, PLARGE_INTEGER) {
  std::lock_guard<std::mutex> Lock(SectionLock());
  for (PVOID Slot : {SectionPointer->ImageSectionObject, SectionPointer->DataSectionObject})
    if (Slot != nullptr && ((SECTION*)Slot)->UserViews != 0) return FALSE;
  return TRUE;
}

ULONG MmDoesFileHaveUserWritableReferences(PSECTION_OBJECT_POINTERS SectionPointer) {
  std::lock_guard<std::mutex> Lock(SectionLock());
  auto* Section = (SECTION*)SectionPointer->DataSectionObject;
  return Section == nullptr ? 0 : (ULONG)Section->WritableViews;
}

// ---- Kernel stacks ---------------------------------------------------------------------------
// A thread's kernel stack is its host stack.

namespace {

thread_local bool StackShortened = false;

}  // namespace

void HkShortenKernelStack(bool On) { StackShortened = On; }

void IoGetStackLimits(PULONG_PTR LowLimit, PULONG_PTR HighLimit) {
  pthread_attr_t Attributes;
  void* Base = nullptr;
  size_t Size = 0;
  if (pthread_getattr_np(pthread_self(), &Attributes) == 0) {
    pthread_attr_getstack(&Attributes, &Base, &Size);
    pthread_attr_destroy(&Attributes);
  }
  *HighLimit = (ULONG_PTR)Base + Size;
  // A shortened stack is used up to just below the caller's frame.
  *LowLimit = StackShortened ? (ULONG_PTR)__builtin_frame_address(0) : (ULONG_PTR)Base;
}
