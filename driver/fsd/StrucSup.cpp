// Allocation and release of request contexts.
#include "QdrlProcs.h"

#define BugCheckFileId QDRL_BUG_CHECK_SUPPORT

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

namespace {

// After an acquisition: requests on handles already cleaned up are refused, and the
// resource goes back before the refusal leaves.
BOOLEAN CheckAfterAcquiring(PIRP_CONTEXT IrpContext, PERESOURCE Resource) {
  SEH_TRY {
    CheckFileObjectOpen(IrpContext);
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    ExReleaseResourceLite(Resource);
    SEH_RETHROW();
  } SEH_END;
  return TRUE;
}

BOOLEAN MayWait(PIRP_CONTEXT IrpContext) { return BooleanFlagOn(IrpContext->Flags, IRPCTX_WAIT); }

}  // namespace

// Each lock helper returns FALSE instead of blocking when the request may not wait.
BOOLEAN AcquireVcbShared(PIRP_CONTEXT IrpContext, PVCB Vcb) {
  if (!ExAcquireResourceSharedLite(&Vcb->Resource, MayWait(IrpContext))) return FALSE;
  return CheckAfterAcquiring(IrpContext, &Vcb->Resource);
}

BOOLEAN AcquireVcbExclusive(PIRP_CONTEXT IrpContext, PVCB Vcb, BOOLEAN NoFileCheck) {
  if (!ExAcquireResourceExclusiveLite(&Vcb->Resource, MayWait(IrpContext))) return FALSE;
  return NoFileCheck || CheckAfterAcquiring(IrpContext, &Vcb->Resource);
}

BOOLEAN AcquireFcbExclusive(PIRP_CONTEXT IrpContext, PFCB Fcb) {
  if (!ExAcquireResourceExclusiveLite(Fcb->Header.Resource, MayWait(IrpContext))) return FALSE;
  return CheckAfterAcquiring(IrpContext, Fcb->Header.Resource);
}

BOOLEAN AcquireFcbShared(PIRP_CONTEXT IrpContext, PFCB Fcb) {
  if (!ExAcquireResourceSharedLite(Fcb->Header.Resource, MayWait(IrpContext))) return FALSE;
  return CheckAfterAcquiring(IrpContext, Fcb->Header.Resource);
}

// Shared, but behind any exclusive waiter, and never waiting.
BOOLEAN AcquireFcbSharedStarveExclusive(PIRP_CONTEXT IrpContext, PFCB Fcb) {
  if (!ExAcquireSharedWaitForExclusive(Fcb->Header.Resource, FALSE)) return FALSE;
  return CheckAfterAcquiring(IrpContext, Fcb->Header.Resource);
}

// The whole volume: its resource, then every Fcb children first, the root last.
void AcquireVolume(PIRP_CONTEXT IrpContext, PVCB Vcb) {
  AcquireVcbExclusive(IrpContext, Vcb, TRUE);
  for (PFCB Fcb = NextFcbPostOrder(IrpContext, nullptr, Vcb->RootFcb); Fcb != nullptr;
       Fcb = NextFcbPostOrder(IrpContext, Fcb, Vcb->RootFcb))
    ExAcquireResourceExclusiveLite(Fcb->Header.Resource, TRUE);
}

void ReleaseVolume(PIRP_CONTEXT IrpContext, PVCB Vcb) {
  for (PFCB Fcb = NextFcbPostOrder(IrpContext, nullptr, Vcb->RootFcb); Fcb != nullptr;
       Fcb = NextFcbPostOrder(IrpContext, Fcb, Vcb->RootFcb))
    ExReleaseResourceLite(Fcb->Header.Resource);
  ExReleaseResourceLite(&Vcb->Resource);
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

// The post-order successor of Current within the subtree of Start (children before their
// parent, Start last); with Current null, the deepest first descendant of Start.
PFCB NextFcbPostOrder(PIRP_CONTEXT IrpContext, PFCB Current, PFCB Start) {
  UNREFERENCED_PARAMETER(IrpContext);
  PFCB Fcb;
  if (Current == nullptr) {
    if (Start == nullptr) return nullptr;
    Fcb = Start;
  } else {
    if (Current == Start) return nullptr;
    PFCB Parent = Current->Parent;
    if (Current->ParentLinks.Flink == &Parent->Directory.ChildList) return Parent;
    Fcb = FcbOfParentLinks(Current->ParentLinks.Flink);
  }
  while (IsDirectoryFcb(Fcb) && !IsListEmpty(&Fcb->Directory.ChildList))
    Fcb = FcbOfParentLinks(Fcb->Directory.ChildList.Flink);
  return Fcb;
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

namespace {

// The longest path a name string holds, in bytes of whole characters.
constexpr ULONG MaxFullNameLength = 0xFFFE;

}  // namespace

// Fills Fcb's path from the volume root, on disk spelling, reusing the nearest ancestor's
// path when one is known. A path too long for a name string (a file opened relative to a
// deep directory) fails the request with STATUS_NAME_TOO_LONG.
void BuildFullName(PIRP_CONTEXT IrpContext, PFCB Fcb) {
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
  if (Prefix + Length > MaxFullNameLength) RaiseStatus(IrpContext, STATUS_NAME_TOO_LONG);
  auto* Buffer = (PWCHAR)ExAllocatePoolWithTag(PagedPool | POOL_RAISE_IF_ALLOCATION_FAILURE, Prefix + Length, TAG_FULL_NAME);
  if (Known) RtlCopyMemory(Buffer, Known->FullName.Buffer, Prefix);
  ULONG End = Prefix + Length;
  for (PFCB Walk = Fcb; Walk != Known && Walk->Parent != nullptr; Walk = Walk->Parent) {
    End -= Walk->ExactName.Length;
    RtlCopyMemory((PUCHAR)Buffer + End, Walk->ExactName.Buffer, Walk->ExactName.Length);
    End -= sizeof(WCHAR);
    *(PWCHAR)((PUCHAR)Buffer + End) = u'\\';
  }
  Fcb->FullName.Buffer = Buffer;
  Fcb->FullName.Length = Fcb->FullName.MaximumLength = (USHORT)(Prefix + Length);
}

// Gives a newly opened Fcb its path: the parent's, then the last component as the caller
// spelled it. Left for BuildFullName to make from the disk spelling when the parent's path
// is not known, when the path would not fit a name string, or when pool is short: the open
// this names has succeeded and must not fail for it.
void AppendFullName(PIRP_CONTEXT IrpContext, PFCB Fcb, PCUNICODE_STRING LastComponent) {
  UNREFERENCED_PARAMETER(IrpContext);
  PFCB Parent = Fcb->Parent;
  if (Fcb->FullName.Length != 0 || Parent == nullptr) return;
  BOOLEAN UnderRoot = FlagOn(Parent->State, FCB_ROOT);
  if (!UnderRoot && Parent->FullName.Length == 0) return;
  ULONG Prefix = UnderRoot ? 0 : Parent->FullName.Length;
  ULONG Length = Prefix + sizeof(WCHAR) + LastComponent->Length;
  if (Length > MaxFullNameLength) return;
  auto* Buffer = (PWCHAR)ExAllocatePoolWithTag(PagedPool, Length, TAG_FULL_NAME);
  if (Buffer == nullptr) return;
  RtlCopyMemory(Buffer, Parent->FullName.Buffer, Prefix);
  Buffer[Prefix / sizeof(WCHAR)] = u'\\';
  RtlCopyMemory(Buffer + Prefix / sizeof(WCHAR) + 1, LastComponent->Buffer, LastComponent->Length);
  Fcb->FullName.Buffer = Buffer;
  Fcb->FullName.Length = Fcb->FullName.MaximumLength = (USHORT)Length;
}

// ---- File control blocks --------------------------------------------------------------------------

namespace {

const WCHAR RootNameText[] = u"\\";

void FreeRuns(PFCB Fcb) {
  if (Fcb->File.Runs != nullptr) ExFreePoolWithTag(Fcb->File.Runs, TAG_RUNS);
  Fcb->File.Runs = nullptr;
  Fcb->File.RunCount = 0;
}

// Whether Length bytes at DiskOffset lie inside the partition window.
BOOLEAN InsidePartition(PPARTITION Partition, ULONG64 DiskOffset, ULONG64 Length) {
  return DiskOffset <= Partition->Length && Length <= Partition->Length - DiskOffset;
}

// Appends Run to the map, growing it a page at a time.
void AppendRun(PFILE_RUN* Runs, ULONG* Count, ULONG* Capacity, const FILE_RUN& Run) {
  if (*Count == *Capacity) {
    ULONG Grown = *Capacity + PAGE_SIZE / sizeof(FILE_RUN);
    auto* Larger = (PFILE_RUN)ExAllocatePoolWithTag(PagedPool | POOL_RAISE_IF_ALLOCATION_FAILURE,
                                                    Grown * sizeof(FILE_RUN), TAG_RUNS);
    if (*Runs != nullptr) {
      RtlCopyMemory(Larger, *Runs, *Count * sizeof(FILE_RUN));
      ExFreePoolWithTag(*Runs, TAG_RUNS);
    }
    *Runs = Larger;
    *Capacity = Grown;
  }
  (*Runs)[(*Count)++] = Run;
}

// Sets up what every Fcb has: zeroed record, resident part, header, resources.
PFCB AllocateFcb(PVCB Vcb, ULONG State, POOL_TYPE Pool) {
  auto* Fcb = (PFCB)ExAllocatePoolWithTag(Pool | POOL_RAISE_IF_ALLOCATION_FAILURE, sizeof(FCB), TAG_FCB);
  RtlZeroMemory(Fcb, sizeof(FCB));
  Fcb->NonPaged = (PNON_PAGED_FCB)ExAllocateFromNPagedLookasideList(&NonPagedFcbLookaside);
  RtlZeroMemory(Fcb->NonPaged, sizeof(NON_PAGED_FCB));
  Fcb->Header.NodeTypeCode = NODE_TYPE_FCB;
  Fcb->Header.NodeByteSize = sizeof(FCB);
  Fcb->Vcb = Vcb;
  Fcb->State = State;
  Fcb->Condition = FcbGood;
  InitializeListHead(&Fcb->ParentLinks);
  ExInitializeFastMutex(&Fcb->NonPaged->HeaderMutex);
  FsRtlSetupAdvancedFcbHeader(&Fcb->Header, &Fcb->NonPaged->HeaderMutex);
  FsRtlInitializeOplock(&Fcb->Header.Oplock);
  return Fcb;
}

void CopyTimes(PFCB Fcb, const FileInfo* Info) {
  Fcb->CreationTime.QuadPart = Info->creationTime;
  Fcb->LastAccessTime.QuadPart = Info->lastAccessTime;
  Fcb->LastWriteTime.QuadPart = Info->lastWriteTime;
}

// Takes back what CreateChildFcb had done when an exception passes through it.
void UndoChildFcb(PIRP_CONTEXT IrpContext, PFCB Fcb, FsNode* Node) {
  if (!IsListEmpty(&Fcb->ParentLinks)) RemoveEntryList(&Fcb->ParentLinks);
  RemoveNames(IrpContext, Fcb);
  FreeNameBuffer(&Fcb->ExactName);
  FreeNameBuffer(&Fcb->NameLink.Key);
  if (FlagOn(Fcb->State, FCB_FILE)) {
    FreeRuns(Fcb);
    FsRtlUninitializeFileLock(&Fcb->File.FileLock);
  }
  FsRtlUninitializeOplock(&Fcb->Header.Oplock);
  if (Fcb->Header.PagingIoResource != nullptr && Fcb->Header.PagingIoResource != Fcb->Header.Resource)
    FreeResource(Fcb->Header.PagingIoResource);
  if (Fcb->Header.Resource != nullptr) FreeResource(Fcb->Header.Resource);
  if (Node != nullptr) FsNodeRelease(Node);
  ExFreeToNPagedLookasideList(&NonPagedFcbLookaside, Fcb->NonPaged);
  ExFreePoolWithTag(Fcb, TAG_FCB);
}

// A directory's or file's Fcb under Parent, owning one use of Node.
PFCB CreateChildFcb(PIRP_CONTEXT IrpContext, PVCB Vcb, PFCB Parent, FsNode* Node, const FileInfo* Info,
                    ULONG State, BOOLEAN SharedPagingResource) {
  PFCB Fcb = AllocateFcb(Vcb, State, PagedPool);
  PFCB Live = nullptr;
  Node->useCount++;
  SEH_TRY {
    if (State == FCB_DIRECTORY) {
      Fcb->Directory.DirNode = Node;
      InitializeListHead(&Fcb->Directory.ChildList);
    } else {
      Fcb->File.FileNode = Node;
    }
    Fcb->Header.Resource = AllocateResource();
    Fcb->Header.PagingIoResource = SharedPagingResource ? Fcb->Header.Resource : AllocateResource();
    Fcb->Attributes = State == FCB_DIRECTORY ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_READONLY;
    CopyTimes(Fcb, Info);
    if (State == FCB_FILE) {
      Fcb->Header.AllocationSize.QuadPart = Fcb->Header.FileSize.QuadPart = (LONGLONG)Info->fileSize;
      Fcb->Header.ValidDataLength.QuadPart = 0x7FFFFFFFFFFFFFFF;
      Fcb->File.RunCount = BuildRunMap(IrpContext, Vcb, Node, Info->fileSize, &Fcb->File.Runs);
      Fcb->Header.IsFastIoPossible = FastIoIsPossible;
      FsRtlInitializeFileLock(&Fcb->File.FileLock, nullptr, nullptr);
    }
    Utf8ToName(IrpContext, Info->name, Info->nameLength, &Fcb->ExactName, FALSE);
    Fcb->FileId = Info->objectId;
    Fcb->Parent = Parent;
    BuildNameKey(IrpContext, Info->name, Info->nameLength, BooleanFlagOn(Vcb->State, VCB_CASE_INSENSITIVE),
                 &Fcb->NameLink.Key);
    Fcb->NameLink.Fcb = Fcb;
    Live = InsertName(IrpContext, &Parent->Directory.NameTree, &Fcb->NameLink);
    // Another file under a name the engine cannot tell from this one's: the directory
    // is damaged.
    if (Live != nullptr && Live->FileId != Fcb->FileId) RaiseStatus(IrpContext, STATUS_FILE_CORRUPT_ERROR);
    if (Live == nullptr) {
      SetFlag(Fcb->State, FCB_IN_NAME_TREE);
      // Directories first among the children: walks meet them before files.
      if (State == FCB_DIRECTORY) InsertHeadList(&Parent->Directory.ChildList, &Fcb->ParentLinks);
      else InsertTailList(&Parent->Directory.ChildList, &Fcb->ParentLinks);
    }
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    UndoChildFcb(IrpContext, Fcb, Node);
    SEH_RETHROW();
  } SEH_END;
  // The file has a live Fcb already, met under another spelling of its name: that one
  // serves.
  if (Live != nullptr) {
    UndoChildFcb(IrpContext, Fcb, Node);
    return Live;
  }
  return Fcb;
}

}  // namespace

// An initialised executive resource from the driver's list.
PERESOURCE AllocateResource() {
  auto* Resource = (PERESOURCE)ExAllocateFromNPagedLookasideList(&ResourceLookaside);
  ExInitializeResourceLite(Resource);
  return Resource;
}

void FreeResource(PERESOURCE Resource) {
  ExDeleteResourceLite(Resource);
  ExFreeToNPagedLookasideList(&ResourceLookaside, Resource);
}

// The volume's root directory Fcb; a second one is a broken driver.
PFCB CreateRootFcb(PIRP_CONTEXT IrpContext, PVCB Vcb) {
  UNREFERENCED_PARAMETER(IrpContext);
  if (Vcb->RootFcb != nullptr) QdrlBugCheck(Vcb->RootFcb, 0, 0);
  PFCB Fcb = AllocateFcb(Vcb, FCB_ROOT, NonPagedPoolNx);
  Fcb->Directory.DirNode = Vcb->Volume->root;
  InitializeListHead(&Fcb->Directory.ChildList);
  Fcb->Header.Resource = AllocateResource();
  Fcb->Header.PagingIoResource = AllocateResource();
  Fcb->ExactName.Buffer = Fcb->FullName.Buffer = (PWCHAR)RootNameText;
  Fcb->ExactName.Length = Fcb->FullName.Length = sizeof(WCHAR);
  Fcb->ExactName.MaximumLength = Fcb->FullName.MaximumLength = sizeof(RootNameText);
  Fcb->Attributes = FILE_ATTRIBUTE_DIRECTORY;
  Fcb->FileId = 2;
  Vcb->RootFcb = Fcb;
  return Fcb;
}

PFCB CreateDirectoryFcb(PIRP_CONTEXT IrpContext, PVCB Vcb, PFCB Parent, FsNode* Node, const FileInfo* Info) {
  return CreateChildFcb(IrpContext, Vcb, Parent, Node, Info, FCB_DIRECTORY, FALSE);
}

PFCB CreateFileFcb(PIRP_CONTEXT IrpContext, PVCB Vcb, PFCB Parent, FsNode* Node, const FileInfo* Info,
                   BOOLEAN SharedPagingResource) {
  return CreateChildFcb(IrpContext, Vcb, Parent, Node, Info, FCB_FILE, SharedPagingResource);
}

// Frees *Fcb and everything it owns and nulls the caller's pointer. An Fcb with open
// handles, or a record that is not an Fcb, means a broken driver.
void DeleteFcb(PIRP_CONTEXT IrpContext, PFCB* FcbSlot) {
  PFCB Fcb = *FcbSlot;
  if (Fcb->OpenCount != 0) QdrlBugCheck(Fcb, Fcb->OpenCount, 0);
  if (Fcb->Header.NodeTypeCode != NODE_TYPE_FCB) QdrlBugCheck(Fcb, Fcb->Header.NodeTypeCode, 0);
  if (FlagOn(Fcb->State, FCB_FILE)) FsRtlUninitializeFileLock(&Fcb->File.FileLock);
  FsRtlUninitializeOplock(&Fcb->Header.Oplock);
  FsRtlTeardownPerStreamContexts(&Fcb->Header);
  BOOLEAN Root = FlagOn(Fcb->State, FCB_ROOT);
  if (!Root) {
    RemoveEntryList(&Fcb->ParentLinks);
    RemoveNames(IrpContext, Fcb);
    FreeNameBuffer(&Fcb->ExactName);
    FreeNameBuffer(&Fcb->NameLink.Key);
    if (Fcb->FullName.Buffer != nullptr) ExFreePoolWithTag(Fcb->FullName.Buffer, TAG_FULL_NAME);
    FsNodeRelease(NodeOf(Fcb));
  } else {
    Fcb->Vcb->RootFcb = nullptr;
  }
  if (Fcb->Header.PagingIoResource != Fcb->Header.Resource) FreeResource(Fcb->Header.PagingIoResource);
  FreeResource(Fcb->Header.Resource);
  ExFreeToNPagedLookasideList(&NonPagedFcbLookaside, Fcb->NonPaged);
  Fcb->Header.NodeTypeCode = 0;
  if (FlagOn(Fcb->State, FCB_FILE)) FreeRuns(Fcb);
  ExFreePoolWithTag(Fcb, TAG_FCB);
  *FcbSlot = nullptr;
}

// Builds the run map of a file of FileSize bytes from its extents and returns the run
// count. The last extent keeps its whole length, so that reads rounded up to sectors
// beyond the size still find it. A stretch no extent records is a hole; an extent the engine cannot read, or one
// that lies outside the partition, fails the open: with the device's status when a read
// failed, else STATUS_FILE_CORRUPT_ERROR.
ULONG BuildRunMap(PIRP_CONTEXT IrpContext, PVCB Vcb, FsNode* Node, ULONG64 FileSize, PFILE_RUN* Runs) {
  PFILE_RUN Map = nullptr;
  ULONG Count = 0, Capacity = 0;
  PPARTITION Partition = Vcb->Partition;
  SEH_TRY {
    for (ULONG64 Offset = 0; Offset < FileSize;) {
      uint64_t DiskOffset = 0, Length = 0;
      Partition->LastError = STATUS_SUCCESS;
      if (!FileExtentLookup(Node->inode, Offset, &DiskOffset, &Length, Vcb->FsTree) || Length == 0) {
        RaiseStatus(IrpContext, NT_SUCCESS(Partition->LastError) ? STATUS_FILE_CORRUPT_ERROR : Partition->LastError);
      }
      if (DiskOffset != 0 && !InsidePartition(Partition, DiskOffset, Length))
        RaiseStatus(IrpContext, STATUS_FILE_CORRUPT_ERROR);
      AppendRun(&Map, &Count, &Capacity, FILE_RUN{Offset, DiskOffset, Length});
      Offset += Length;
    }
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    if (Map != nullptr) ExFreePoolWithTag(Map, TAG_RUNS);
    SEH_RETHROW();
  } SEH_END;
  *Runs = Map;
  return Count;
}

// ---- Name trees ------------------------------------------------------------------------------------

namespace {

PNAME_LINK NameLinkOf(PRTL_SPLAY_LINKS Links) { return CONTAINING_RECORD(Links, NAME_LINK, Links); }

}  // namespace

// Hangs Link into the tree at *Root by its key. A stale Fcb met under the same key is
// made bad and taken out first; a good one is returned, and Link is not inserted: the
// caller decides between the two.
PFCB InsertName(PIRP_CONTEXT IrpContext, PRTL_SPLAY_LINKS* Root, PNAME_LINK Link) {
  for (;;) {
    RtlInitializeSplayLinks(&Link->Links);
    if (*Root == nullptr) {
      *Root = &Link->Links;
      return nullptr;
    }
    PRTL_SPLAY_LINKS Node = *Root;
    for (;;) {
      PNAME_LINK Other = NameLinkOf(Node);
      LONG Order = CompareNameKeys(&Link->Key, &Other->Key);
      if (Order == 0) break;
      PRTL_SPLAY_LINKS Next = Order < 0 ? RtlLeftChild(Node) : RtlRightChild(Node);
      if (Next == nullptr) {
        if (Order < 0) RtlInsertAsLeftChild(Node, &Link->Links);
        else RtlInsertAsRightChild(Node, &Link->Links);
        return nullptr;
      }
      Node = Next;
    }
    PFCB Stale = NameLinkOf(Node)->Fcb;
    if (Stale->Condition == FcbGood) return Stale;
    SetFcbCondition(IrpContext, Stale, FcbBad, FALSE);
    if (FlagOn(Stale->State, FCB_FILE)) Stale->Header.IsFastIoPossible = FastIoIsNotPossible;
    RemoveNames(IrpContext, Stale);
  }
}

// The child of Parent whose name the engine would match with ByteCount bytes of UTF-8, or
// null. A hit is splayed to the root.
PFCB FindChildFcb(PIRP_CONTEXT IrpContext, PFCB Parent, const UCHAR* Utf8, ULONG ByteCount) {
  UNICODE_STRING Key{};
  BuildNameKey(IrpContext, Utf8, ByteCount, BooleanFlagOn(Parent->Vcb->State, VCB_CASE_INSENSITIVE), &Key);
  PRTL_SPLAY_LINKS Node = Parent->Directory.NameTree;
  while (Node != nullptr) {
    LONG Order = CompareNameKeys(&Key, &NameLinkOf(Node)->Key);
    if (Order == 0) break;
    Node = Order < 0 ? RtlLeftChild(Node) : RtlRightChild(Node);
  }
  FreeNameBuffer(&Key);
  if (Node == nullptr) return nullptr;
  Parent->Directory.NameTree = RtlSplay(Node);
  return NameLinkOf(Node)->Fcb;
}

// Takes Fcb out of its parent's name tree.
void RemoveNames(PIRP_CONTEXT IrpContext, PFCB Fcb) {
  UNREFERENCED_PARAMETER(IrpContext);
  if (!FlagOn(Fcb->State, FCB_IN_NAME_TREE)) return;
  Fcb->Parent->Directory.NameTree = RtlDelete(&Fcb->NameLink.Links);
  ClearFlag(Fcb->State, FCB_IN_NAME_TREE);
}

// ---- Handles and volumes ---------------------------------------------------------------------------

// A zeroed Ccb of OpenKind.
PCCB AllocateCcb(PIRP_CONTEXT IrpContext, OPEN_KIND OpenKind) {
  UNREFERENCED_PARAMETER(IrpContext);
  auto* Ccb = (PCCB)ExAllocatePoolWithTag(PagedPool | POOL_RAISE_IF_ALLOCATION_FAILURE, sizeof(CCB), TAG_CCB);
  RtlZeroMemory(Ccb, sizeof(CCB));
  Ccb->NodeTypeCode = NODE_TYPE_CCB;
  Ccb->NodeByteSize = sizeof(CCB);
  Ccb->OpenKind = OpenKind;
  return Ccb;
}

void FreeCcb(PCCB Ccb) {
  if (FlagOn(Ccb->Flags, CCB_TEMPLATE_ALLOCATED)) ExFreePool(Ccb->Template.Buffer);
  ExFreePoolWithTag(Ccb, TAG_CCB);
}

namespace {

// Whether the medium under TargetDevice can be taken out.
BOOLEAN IsRemovable(PDEVICE_OBJECT TargetDevice, PDEVICE_OBJECT RealDevice) {
  STORAGE_HOTPLUG_INFO Hotplug{};
  NTSTATUS Status = SendDeviceIoControl(IOCTL_STORAGE_GET_HOTPLUG_INFO, TargetDevice, nullptr, 0, &Hotplug,
                                        sizeof(Hotplug), TRUE, nullptr);
  return (NT_SUCCESS(Status) && Hotplug.MediaRemovable) || FlagOn(RealDevice->Characteristics, FILE_REMOVABLE_MEDIA);
}

// Gives the volume its stream file object, with a stream Ccb and the counts it adds.
void CreateStreamFile(PIRP_CONTEXT IrpContext, PVCB Vcb) {
  Vcb->StreamFile = IoCreateStreamFileObject(nullptr, Vcb->RealDevice);
  PCCB Ccb = AllocateCcb(IrpContext, StreamOpen);
  Ccb->Target = Vcb;
  PFILE_OBJECT Stream = Vcb->StreamFile;
  Stream->FsContext = Vcb;
  Stream->FsContext2 = Ccb;
  Stream->Vpb = Vcb->Vpb;
  Stream->ReadAccess = Stream->WriteAccess = Stream->DeleteAccess = TRUE;
  InterlockedIncrement(&Vcb->StreamOpenCount);
  InterlockedIncrement(&Vcb->StreamResidualCount);
}

// Takes the stream file object back: its Ccb and counts here, its VPB reference with the
// object itself.
void DeleteStreamFile(PVCB Vcb) {
  PFILE_OBJECT Stream = Vcb->StreamFile;
  if (Stream == nullptr) return;
  if (Stream->FsContext2 != nullptr) {
    FreeCcb((PCCB)Stream->FsContext2);
    InterlockedDecrement(&Vcb->StreamOpenCount);
    InterlockedDecrement(&Vcb->StreamResidualCount);
  }
  Stream->FsContext = Stream->FsContext2 = nullptr;
  Vcb->StreamFile = nullptr;
  ObDereferenceObject(Stream);
}

// Everything InitializeVcb may have set up, taken back in reverse. Nothing there can fail
// before the target's reference and the resource are in place.
void UndoInitializeVcb(PVCB Vcb) {
  if (Vcb->SpareVpb != nullptr) ExFreePoolWithTag(Vcb->SpareVpb, TAG_VPB);
  FsRtlNotifyUninitializeSync(&Vcb->NotifySync);
  DeleteStreamFile(Vcb);
  ExDeleteResourceLite(&Vcb->Resource);
  ObDereferenceObject(Vcb->TargetDevice);
  ExAcquireResourceExclusiveLite(&GlobalData.Resource, TRUE);
  RemoveEntryList(&Vcb->VcbLinks);
  ExReleaseResourceLite(&GlobalData.Resource);
}

void FreeEngineRecord(PVOID Record) {
  if (Record != nullptr) ExFreePoolWithTag(Record, TAG_ENGINE_RECORD);
}

void ReleaseTree(BTree* Tree) {
  if (Tree == nullptr) return;
  BTreeRelease(Tree);
  FreeEngineRecord(Tree);
}

}  // namespace

// Sets up the volume record in a volume device's extension for TargetDevice and Vpb;
// mount fills in the rest. On failure everything done here is taken back.
void InitializeVcb(PIRP_CONTEXT IrpContext, PVCB Vcb, PDEVICE_OBJECT TargetDevice, PVPB Vpb) {
  RtlZeroMemory(Vcb, sizeof(VCB));
  Vcb->Header.NodeTypeCode = NODE_TYPE_VCB;
  Vcb->Header.NodeByteSize = sizeof(VCB);
  ExAcquireResourceExclusiveLite(&GlobalData.Resource, TRUE);
  InsertTailList(&GlobalData.VcbList, &Vcb->VcbLinks);
  ExReleaseResourceLite(&GlobalData.Resource);
  SEH_TRY {
    ObReferenceObject(TargetDevice);
    Vcb->TargetDevice = TargetDevice;
    Vcb->Vpb = Vpb;
    Vcb->RealDevice = Vpb->RealDevice;
    if (IsRemovable(TargetDevice, Vcb->RealDevice)) SetFlag(Vcb->State, VCB_REMOVABLE_MEDIA);
    Vcb->Condition = VcbGood;
    ExInitializeResourceLite(&Vcb->Resource);
    CreateStreamFile(IrpContext, Vcb);
    InitializeListHead(&Vcb->NotifyList);
    FsRtlNotifyInitializeSync(&Vcb->NotifySync);
    Vcb->SpareVpb = (PVPB)ExAllocatePoolWithTag(NonPagedPoolNx | POOL_RAISE_IF_ALLOCATION_FAILURE, sizeof(VPB), TAG_VPB);
    RtlZeroMemory(Vcb->SpareVpb, sizeof(VPB));
    InitializeListHead(&Vcb->AsyncCloseList);
    InitializeListHead(&Vcb->DelayedCloseList);
    InitializeListHead(&Vcb->OverflowQueue);
    KeInitializeSpinLock(&Vcb->OverflowSpinLock);
    ExInitializeFastMutex(&Vcb->HeaderMutex);
    FsRtlSetupAdvancedFcbHeader(&Vcb->Header, &Vcb->HeaderMutex);
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    UndoInitializeVcb(Vcb);
    SEH_RETHROW();
  } SEH_END;
}

// Frees everything the volume record holds, its Fcbs children first and the engine's
// records, and zeroes it. A volume with open handles means a broken driver.
void DeleteVcb(PIRP_CONTEXT IrpContext, PVCB Vcb) {
  if (IrpContext != nullptr && IrpContext->Vcb == Vcb) IrpContext->Vcb = nullptr;
  // After a swap the volume owns the VPB the I/O manager made, whose tag is not ours; so it
  // does once the device went on with another VPB (a medium change verified as another
  // volume).
  if (FlagOn(Vcb->State, VCB_VPB_SWAPPED) || Vcb->Vpb->RealDevice->Vpb != Vcb->Vpb) ExFreePool(Vcb->Vpb);
  if (Vcb->VolumeOpenCount != 0 || Vcb->OpenCount != 0) QdrlBugCheck(Vcb, Vcb->VolumeOpenCount, Vcb->OpenCount);
  PFCB Fcb = NextFcbPostOrder(IrpContext, nullptr, Vcb->RootFcb);
  while (Fcb != nullptr) {
    PFCB Next = NextFcbPostOrder(IrpContext, Fcb, Vcb->RootFcb);
    DeleteFcb(IrpContext, &Fcb);
    Fcb = Next;
  }
  ReleaseTree(Vcb->FsTree);
  ReleaseTree(Vcb->OmapTree);
  ReleaseTree(Vcb->SpareFsTree);
  ReleaseTree(Vcb->SpareOmapTree);
  if (Vcb->Volume != nullptr) VolumeHandleRelease(Vcb->Volume);
  FreeEngineRecord(Vcb->Volume);
  if (Vcb->Container != nullptr) ContainerClose(Vcb->Container);
  FreeEngineRecord(Vcb->Container);
  FreeEngineRecord(Vcb->Partition);
  UndoInitializeVcb(Vcb);
  RtlZeroMemory(Vcb, sizeof(VCB));
}
