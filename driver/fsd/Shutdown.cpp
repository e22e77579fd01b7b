// Shutdown: every good volume tells its device the system is going down, once; then the
// file system leaves, so that nothing is mounted afterwards.
#include "QdrlProcs.h"

namespace {

// Sends IRP_MJ_SHUTDOWN to Target and waits for it.
void ShutdownTarget(PDEVICE_OBJECT Target) {
  KEVENT Event;
  IO_STATUS_BLOCK Iosb;
  KeInitializeEvent(&Event, NotificationEvent, FALSE);
  PIRP Irp = IoBuildSynchronousFsdRequest(IRP_MJ_SHUTDOWN, Target, nullptr, 0, nullptr, &Event, &Iosb);
  if (Irp != nullptr && NT_SUCCESS(IoCallDriver(Target, Irp)))
    KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, nullptr);
}

void ShutdownVolumes(PIRP_CONTEXT IrpContext) {
  PLIST_ENTRY Next;
  for (PLIST_ENTRY Link = GlobalData.VcbList.Flink; Link != &GlobalData.VcbList; Link = Next) {
    Next = Link->Flink;
    PVCB Vcb = CONTAINING_RECORD(Link, VCB, VcbLinks);
    if (FlagOn(Vcb->State, VCB_SHUTDOWN) || Vcb->Condition != VcbGood) continue;
    // Closes held back for quick re-opens would otherwise keep their Fcbs past the end.
    // They run before the volume is acquired: a close deleting an Fcb must find its
    // resource free.
    RunDeferredCloses(Vcb);
    AcquireVolume(IrpContext, Vcb);
    ShutdownTarget(Vcb->TargetDevice);
    SetFlag(Vcb->State, VCB_SHUTDOWN);
    if (!TryDismountVcb(IrpContext, Vcb, FALSE)) ReleaseVolume(IrpContext, Vcb);
  }
}

void RemoveControlDevice(PDEVICE_OBJECT Device) {
  IoUnregisterFileSystem(Device);
  IoDeleteDevice(Device);
}

}  // namespace

NTSTATUS FsdShutdown(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, TRUE);
}

// A second shutdown request finds the file system gone already and does nothing: its
// control devices must not be unregistered and deleted twice.
NTSTATUS CommonShutdown(PIRP_CONTEXT IrpContext, PIRP Irp) {
  SetFlag(IrpContext->Flags, IRPCTX_NO_POPUPS);
  ExAcquireResourceExclusiveLite(&GlobalData.Resource, TRUE);
  BOOLEAN First = !GlobalData.ShutdownStarted;
  GlobalData.ShutdownStarted = TRUE;
  if (First) ShutdownVolumes(IrpContext);
  ExReleaseResourceLite(&GlobalData.Resource);
  if (First) {
    RemoveControlDevice(GlobalData.DiskFsDevice);
    RemoveControlDevice(GlobalData.CdRomFsDevice);
  }
  CompleteRequest(IrpContext, Irp, STATUS_SUCCESS);
  return STATUS_SUCCESS;
}
