// The file-system run-time library's status helpers and fast-I/O entries.
#include "HostInternal.h"

BOOLEAN FsRtlIsNtstatusExpected(NTSTATUS Exception) {
  switch (Exception) {
    case STATUS_DATATYPE_MISALIGNMENT:
    case STATUS_ACCESS_VIOLATION:
    case STATUS_ILLEGAL_INSTRUCTION:
    case (NTSTATUS)0xC00000AA:  // STATUS_INSTRUCTION_MISALIGNMENT
      return FALSE;
    default:
      return TRUE;
  }
}

NTSTATUS FsRtlNormalizeNtstatus(NTSTATUS Exception, NTSTATUS GenericStatus) {
  return FsRtlIsNtstatusExpected(Exception) ? Exception : GenericStatus;
}

BOOLEAN FsRtlIsTotalDeviceFailure(NTSTATUS Status) {
  return !(NT_SUCCESS(Status) || Status == STATUS_CRC_ERROR || Status == STATUS_DEVICE_DATA_ERROR);
}

// No cache maps exist yet, so the copy and MDL paths can never serve a request here.
BOOLEAN FsRtlCopyRead(PFILE_OBJECT, PLARGE_INTEGER, ULONG, BOOLEAN, ULONG, PVOID, PIO_STATUS_BLOCK,
                      PDEVICE_OBJECT) {
  return FALSE;
}
BOOLEAN FsRtlCopyWrite(PFILE_OBJECT, PLARGE_INTEGER, ULONG, BOOLEAN, ULONG, PVOID, PIO_STATUS_BLOCK,
                       PDEVICE_OBJECT) {
  return FALSE;
}
BOOLEAN FsRtlMdlReadDev(PFILE_OBJECT, PLARGE_INTEGER, ULONG, ULONG, PMDL*, PIO_STATUS_BLOCK, PDEVICE_OBJECT) {
  return FALSE;
}
BOOLEAN FsRtlMdlReadCompleteDev(PFILE_OBJECT, PMDL, PDEVICE_OBJECT) { return FALSE; }
BOOLEAN FsRtlPrepareMdlWriteDev(PFILE_OBJECT, PLARGE_INTEGER, ULONG, ULONG, PMDL*, PIO_STATUS_BLOCK,
                                PDEVICE_OBJECT) {
  return FALSE;
}
BOOLEAN FsRtlMdlWriteCompleteDev(PFILE_OBJECT, PLARGE_INTEGER, PMDL, PDEVICE_OBJECT) { return FALSE; }

void FsRtlTeardownPerStreamContexts(PFSRTL_ADVANCED_FCB_HEADER AdvancedHeader) {
  if (AdvancedHeader->FilterContexts.Flink == nullptr || !IsListEmpty(&AdvancedHeader->FilterContexts))
    hk::Violation("FsRtlTeardownPerStreamContexts on a header without set-up filter contexts");
}

void FsRtlNotifyInitializeSync(PNOTIFY_SYNC* NotifySync) {
  auto* Mutex = (PFAST_MUTEX)ExAllocatePoolWithTag(NonPagedPoolNx | POOL_RAISE_IF_ALLOCATION_FAILURE,
                                                   sizeof(FAST_MUTEX), PoolTag("FSNS"));
  ExInitializeFastMutex(Mutex);
  *NotifySync = Mutex;
}

void FsRtlNotifyUninitializeSync(PNOTIFY_SYNC* NotifySync) {
  if (*NotifySync != nullptr) ExFreePoolWithTag(*NotifySync, PoolTag("FSNS"));
  *NotifySync = nullptr;
}
