// Allocation and release of request contexts.
#include "QdrlProcs.h"

// Returns a new IrpContext for Irp. A request other than create, close or cleanup that
// reaches a control device with a file object raises STATUS_INVALID_DEVICE_REQUEST before
// anything is allocated; an exhausted lookaside list raises too.
PIRP_CONTEXT AllocateIrpContext(PIRP Irp, BOOLEAN Wait) {
  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT FileObject = IrpSp->FileObject;
  BOOLEAN ControlDevice = IsControlDevice(IrpSp->DeviceObject);

  if (ControlDevice && FileObject != nullptr && IrpSp->MajorFunction != IRP_MJ_CREATE &&
      IrpSp->MajorFunction != IRP_MJ_CLOSE && IrpSp->MajorFunction != IRP_MJ_CLEANUP)
    ExRaiseStatus(STATUS_INVALID_DEVICE_REQUEST);

  auto* IrpContext = (PIRP_CONTEXT)ExAllocateFromNPagedLookasideList(&IrpContextLookaside);
  RtlZeroMemory(IrpContext, sizeof(IRP_CONTEXT));
  IrpContext->NodeTypeCode = NODE_TYPE_IRP_CONTEXT;
  IrpContext->NodeByteSize = sizeof(IRP_CONTEXT);
  IrpContext->Irp = Irp;
  IrpContext->MajorFunction = IrpSp->MajorFunction;
  IrpContext->MinorFunction = IrpSp->MinorFunction;

  if (FileObject != nullptr) {
    // Only volume devices carry a Vcb as their extension.
    if (!ControlDevice) IrpContext->Vcb = (PVCB)IrpSp->DeviceObject->DeviceExtension;
    IrpContext->RealDevice = FileObject->DeviceObject;
  } else if (IrpSp->MajorFunction == IRP_MJ_FILE_SYSTEM_CONTROL && IrpSp->Parameters.MountVolume.Vpb) {
    // Mount and verify name the volume through the VPB in their parameters.
    IrpContext->RealDevice = IrpSp->Parameters.MountVolume.Vpb->RealDevice;
  }

  if (Wait) SetFlag(IrpContext->Flags, IRPCTX_WAIT);
  if (IoGetTopLevelIrp() != Irp) SetFlag(IrpContext->Flags, IRPCTX_NOT_TOP_LEVEL);
  return IrpContext;
}

// Returns IrpContext to its lookaside list, with the pool I/O context it owns (a context
// on a caller's stack is the caller's).
void FreeIrpContext(PIRP_CONTEXT IrpContext) {
  PIO_CONTEXT IoContext = IrpContext->IoContext;
  if (IoContext != nullptr && !FlagOn(IrpContext->Flags, IRPCTX_STACK_IO_CONTEXT)) {
    if (IoContext->ZeroMdl != nullptr) IoFreeMdl(IoContext->ZeroMdl);
    ExFreePoolWithTag(IoContext, TAG_IO_CONTEXT);
  }
  ExFreeToNPagedLookasideList(&IrpContextLookaside, IrpContext);
}

// Takes the volume's resource shared (FALSE when the request may not wait for it) and
// refuses requests on handles already cleaned up.
BOOLEAN AcquireVcbShared(PIRP_CONTEXT IrpContext, PVCB Vcb) {
  if (!ExAcquireResourceSharedLite(&Vcb->Resource, BooleanFlagOn(IrpContext->Flags, IRPCTX_WAIT))) return FALSE;
  SEH_TRY {
    CheckFileObjectOpen(IrpContext);
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    ExReleaseResourceLite(&Vcb->Resource);
    SEH_RETHROW();
  } SEH_END;
  return TRUE;
}

namespace {

BOOLEAN IsDirectoryFcb(PFCB Fcb) { return FlagOn(Fcb->State, FCB_DIRECTORY | FCB_ROOT) != 0; }

PFCB FcbOfParentLinks(PLIST_ENTRY Links) { return CONTAINING_RECORD(Links, FCB, ParentLinks); }

FsNode* NodeOf(PFCB Fcb) { return IsDirectoryFcb(Fcb) ? Fcb->Directory.DirNode : Fcb->File.FileNode; }

}  // namespace

// The pre-order successor of Current within the subtree of Start: its first child, else
// the next sibling of it or of its nearest ancestor below Start; null at the end.
PFCB NextFcb(PIRP_CONTEXT IrpContext, PFCB Current, PFCB Start) {
  UNREFERENCED_PARAMETER(IrpContext);
  if (IsDirectoryFcb(Current) && !IsListEmpty(&Current->Directory.ChildList))
    return FcbOfParentLinks(Current->Directory.ChildList.Flink);
  for (PFCB Fcb = Current; Fcb != Start && Fcb->Parent != nullptr; Fcb = Fcb->Parent) {
    if (Fcb->ParentLinks.Flink != &Fcb->Parent->Directory.ChildList) return FcbOfParentLinks(Fcb->ParentLinks.Flink);
  }
  return nullptr;
}

// Sets Fcb's condition and what it allows of fast I/O; a bad or doubtful directory passes
// its condition to everything below it when Recursive.
void SetFcbCondition(PIRP_CONTEXT IrpContext, PFCB Fcb, FCB_CONDITION Condition, BOOLEAN Recursive) {
  Fcb->Condition = Condition;
  if (FlagOn(Fcb->State, FCB_FILE))
    Fcb->Header.IsFastIoPossible = (UCHAR)(Condition == FcbGood ? FastIoIsQuestionable : FastIoIsNotPossible);
  if (Condition == FcbGood || !Recursive || !IsDirectoryFcb(Fcb)) return;
  for (PFCB Below = NextFcb(IrpContext, Fcb, Fcb); Below != nullptr; Below = NextFcb(IrpContext, Below, Fcb)) {
    Below->Condition = Condition;
    Below->Header.IsFastIoPossible = FastIoIsNotPossible;
  }
}

// Decides whether Fcb still describes what is on the medium: its inode record is read
// again from the block it came from and compared with the copy kept since the open.
void RecheckFcb(PIRP_CONTEXT IrpContext, PFCB Fcb) {
  if (FlagOn(Fcb->State, FCB_ROOT)) {
    SetFcbCondition(IrpContext, Fcb, FcbGood, FALSE);
    return;
  }
  PVCB Vcb = Fcb->Vcb;
  const Inode* Record = NodeOf(Fcb)->inode;
  ULONG BlockSize = Vcb->Container->blockSize;
  auto* Block = (PUCHAR)ExAllocatePoolWithTag(PagedPool | POOL_RAISE_IF_ALLOCATION_FAILURE, BlockSize, TAG_BLOCK);
  // The record must lie inside its block and be as long as the copy.
  BOOLEAN Same = (ULONG)Record->recordOffset + Record->recordLength <= BlockSize &&
                 Record->recordLength <= Record->valueLength && Record->recordBlock >> (64 - Vcb->Container->blockShift) == 0 &&
                 NT_SUCCESS(ReadPartition(Vcb->Partition, Record->recordBlock << Vcb->Container->blockShift, Block, BlockSize)) &&
                 RtlEqualMemory(Block + Record->recordOffset, Record->value, Record->recordLength);
  ExFreePoolWithTag(Block, TAG_BLOCK);
  SetFcbCondition(IrpContext, Fcb, Same ? FcbGood : FcbBad, FALSE);
}

// Fills Fcb's path from the volume root, on disk spelling, reusing the nearest ancestor's
// path when one is known.
void BuildFullName(PIRP_CONTEXT IrpContext, PFCB Fcb) {
  UNREFERENCED_PARAMETER(IrpContext);
  if (Fcb->FullName.Length != 0) return;
  ULONG Length = 0;
  PFCB Known = nullptr;
  for (PFCB Walk = Fcb; Walk->Parent != nullptr; Walk = Walk->Parent) {
    if (Walk != Fcb && Walk->FullName.Length != 0 && !FlagOn(Walk->State, FCB_ROOT)) {
      Known = Walk;
      break;
    }
    Length += Walk->ExactName.Length + sizeof(WCHAR);
  }
  ULONG Prefix = Known ? Known->FullName.Length : 0;
  auto* Buffer = (PWCHAR)ExAllocatePoolWithTag(PagedPool | POOL_RAISE_IF_ALLOCATION_FAILURE, Prefix + Length, TAG_FULL_NAME);
  if (Known) RtlCopyMemory(Buffer, Known->FullName.Buffer, Prefix);
  ULONG End = Prefix + Length;
  for (PFCB Walk = Fcb; Walk != Known && Walk->Parent != nullptr; Walk = Walk->Parent) {
    End -= Walk->ExactName.Length;
    RtlCopyMemory((PUCHAR)Buffer + End, Walk->ExactName.Buffer, Walk->ExactName.Length);
    End -= sizeof(WCHAR);
    *(PWCHAR)((PUCHAR)Buffer + End) = L'\\';
  }
  Fcb->FullName.Buffer = Buffer;
  Fcb->FullName.Length = Fcb->FullName.MaximumLength = (USHORT)(Prefix + Length);
}
