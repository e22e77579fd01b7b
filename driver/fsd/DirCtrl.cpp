// Directory control: listings of a directory in the directory-information classes, with
// search expressions, resumption and restart, and change-notification requests, which
// stay pending until their handle is cleaned up or they are cancelled (the volume never
// changes under this driver).
#include "QdrlProcs.h"

#define BugCheckFileId QDRL_BUG_CHECK_DIRCTRL

namespace {

// Entries of these kinds are never listed, as create never opens them: files stored
// compressed, symbolic links (reparse points) and sockets (system).
constexpr ULONG UnlistedKinds = FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_SYSTEM;

// The engine's state of one listing request: its own clones of the volume's spare trees,
// so that no listing shares engine state with another request, the search, its cursor and
// the record each entry is read into.
struct LISTING {
  BTree OmapTree;
  BTree FsTree;
  DirSearch* Search;
  BTreeCursor* Cursor;
  FileInfo Info;
};

// Where one request's entries go.
struct LISTING_OUTPUT {
  PUCHAR Buffer;
  ULONG Length;
  FILE_INFORMATION_CLASS Class;
  ULONG FixedPart;
  ULONG Offset;      // where the next entry goes
  ULONG LastOffset;  // the entry placed last
  ULONG_PTR Information;
  ULONG Placed;
};

ULONG Align8(ULONG Value) { return (Value + 7) & ~7u; }

// The size of a class's record without its name; 0 for a class not served.
ULONG FixedPartOf(FILE_INFORMATION_CLASS Class) {
  switch (Class) {
    case FileDirectoryInformation:
      return FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName);
    case FileFullDirectoryInformation:
      return FIELD_OFFSET(FILE_FULL_DIR_INFORMATION, FileName);
    case FileBothDirectoryInformation:
      return FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileName);
    case FileNamesInformation:
      return FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName);
    case FileIdBothDirectoryInformation:
      return FIELD_OFFSET(FILE_ID_BOTH_DIR_INFORMATION, FileName);
    case FileIdFullDirectoryInformation:
      return FIELD_OFFSET(FILE_ID_FULL_DIR_INFORMATION, FileName);
    default:
      return 0;
  }
}

void DropExpression(PCCB Ccb) {
  if (FlagOn(Ccb->Flags, CCB_TEMPLATE_ALLOCATED)) ExFreePool(Ccb->Template.Buffer);
  Ccb->Template = UNICODE_STRING{};
  Ccb->TemplateHasWildcards = FALSE;
  ClearFlag(Ccb->Flags, CCB_MATCH_ALL | CCB_TEMPLATE_ALLOCATED);
}

// Gives the handle the expression FileName (everything when absent, empty or "*"),
// upcased on a case-insensitive volume.
void SetExpression(PCCB Ccb, PVCB Vcb, PUNICODE_STRING FileName) {
  if (FileName == nullptr || FileName->Length == 0 || FileName->Buffer == nullptr ||
      (FileName->Length == sizeof(WCHAR) && FileName->Buffer[0] == u'*')) {
    Ccb->TemplateHasWildcards = TRUE;
    SetFlag(Ccb->Flags, CCB_MATCH_ALL);
    return;
  }
  Ccb->TemplateHasWildcards = FsRtlDoesNameContainWildCards(FileName);
  Ccb->Template.Buffer =
      (PWCHAR)ExAllocatePoolWithTag(PagedPool | POOL_RAISE_IF_ALLOCATION_FAILURE, FileName->Length, TAG_NAME_BUFFER);
  RtlCopyMemory(Ccb->Template.Buffer, FileName->Buffer, FileName->Length);
  Ccb->Template.Length = Ccb->Template.MaximumLength = FileName->Length;
  SetFlag(Ccb->Flags, CCB_TEMPLATE_ALLOCATED);
  if (FlagOn(Vcb->State, VCB_CASE_INSENSITIVE)) RtlUpcaseUnicodeString(&Ccb->Template, &Ccb->Template, FALSE);
}

// The listing's engine state, positioned at StartIndex; any failure raises
// STATUS_UNEXPECTED_IO_ERROR with nothing left allocated.
LISTING* OpenListing(PIRP_CONTEXT IrpContext, PFCB Fcb, ULONG StartIndex) {
  PVCB Vcb = Fcb->Vcb;
  auto* Listing =
      (LISTING*)ExAllocatePoolWithTag(PagedPool | POOL_RAISE_IF_ALLOCATION_FAILURE, sizeof(LISTING), TAG_ENGINE_RECORD);
  RtlZeroMemory(Listing, sizeof(LISTING));
  BTreeInit(&Listing->OmapTree, Vcb->Container);
  BTreeInit(&Listing->FsTree, Vcb->Container);
  if (!BTreeClone(&Listing->OmapTree, Vcb->SpareOmapTree, nullptr) ||
      !BTreeClone(&Listing->FsTree, Vcb->SpareFsTree, &Listing->OmapTree) ||
      !DirSearchCreate(Fcb->Directory.DirNode, &Listing->Search, &Listing->FsTree)) {
    BTreeRelease(&Listing->FsTree);
    BTreeRelease(&Listing->OmapTree);
    ExFreePoolWithTag(Listing, TAG_ENGINE_RECORD);
    RaiseStatus(IrpContext, STATUS_UNEXPECTED_IO_ERROR);
  }
  DirSearchSetPosition(Listing->Search, StartIndex);
  return Listing;
}

void CloseListing(LISTING* Listing) {
  if (Listing->Cursor != nullptr) {
    BTreeCursorClose(Listing->Cursor);
    delete Listing->Cursor;
  }
  DirSearchFree(Listing->Search);
  BTreeRelease(&Listing->FsTree);
  BTreeRelease(&Listing->OmapTree);
  ExFreePoolWithTag(Listing, TAG_ENGINE_RECORD);
}

// The next entry of the directory into Listing->Info: FALSE at the end of the directory;
// any other engine failure raises STATUS_UNEXPECTED_IO_ERROR rather than passing for it.
BOOLEAN NextEntry(PIRP_CONTEXT IrpContext, PFCB Fcb, LISTING* Listing) {
  bool NotFound = false;
  if (DirEnumNext(Fcb->Directory.DirNode, Listing->Search, &Listing->Info, nullptr, &NotFound, &Listing->Cursor,
                  &Listing->FsTree))
    return TRUE;
  if (!NotFound) RaiseStatus(IrpContext, STATUS_UNEXPECTED_IO_ERROR);
  return FALSE;
}

// Whether the entry's UTF-8 name converts to UTF-16 without replacement characters.
BOOLEAN IsNameConvertible(const FileInfo& Info) {
  ULONG Size = 0;
  return RtlUTF8ToUnicodeN(nullptr, 0, &Size, (const CHAR*)Info.name, Info.nameLength) == STATUS_SUCCESS;
}

BOOLEAN MatchesExpression(PCCB Ccb, PVCB Vcb, PUNICODE_STRING Name, PUNICODE_STRING Upcased) {
  if (FlagOn(Ccb->Flags, CCB_MATCH_ALL)) return TRUE;
  PUNICODE_STRING Compared = Name;
  if (FlagOn(Vcb->State, VCB_CASE_INSENSITIVE)) {
    EnsureNameBuffer(Upcased, Name->Length + sizeof(WCHAR));
    RtlUpcaseUnicodeString(Upcased, Name, FALSE);
    Compared = Upcased;
  }
  if (Ccb->TemplateHasWildcards) return FsRtlIsNameInExpression(&Ccb->Template, Compared, FALSE, nullptr);
  return Ccb->Template.Length == Compared->Length && FsRtlAreNamesEqual(&Ccb->Template, Compared, FALSE, nullptr);
}

// Writes the entry's record at Entry (the fixed part, zeroed first, and Copied bytes of
// Name after it).
void WriteEntry(const LISTING_OUTPUT& Output, PUCHAR Entry, const FileInfo& Info, ULONG FileIndex,
                PCUNICODE_STRING Name, ULONG Copied) {
  RtlZeroMemory(Entry, Output.FixedPart);
  if (Output.Class == FileNamesInformation) {
    auto* Names = (FILE_NAMES_INFORMATION*)Entry;
    Names->FileIndex = FileIndex;
    Names->FileNameLength = Name->Length;
  } else {
    // Every other class starts with the directory class's fields.
    auto* Record = (FILE_DIRECTORY_INFORMATION*)Entry;
    const BOOLEAN IsDirectory = FlagOn(Info.attributes, FILE_ATTRIBUTE_DIRECTORY);
    Record->FileIndex = FileIndex;
    Record->CreationTime.QuadPart = Info.creationTime;
    Record->LastAccessTime.QuadPart = Info.lastAccessTime;
    Record->LastWriteTime.QuadPart = Info.lastWriteTime;
    Record->ChangeTime.QuadPart = Info.changeTime;
    Record->EndOfFile.QuadPart = (LONGLONG)Info.fileSize;
    Record->AllocationSize.QuadPart = IsDirectory ? 0 : (LONGLONG)Info.allocationSize;
    Record->FileAttributes = IsDirectory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_READONLY;
    Record->FileNameLength = Name->Length;
    if (Output.Class == FileIdBothDirectoryInformation)
      ((FILE_ID_BOTH_DIR_INFORMATION*)Entry)->FileId.QuadPart = (LONGLONG)Info.objectId;
    if (Output.Class == FileIdFullDirectoryInformation)
      ((FILE_ID_FULL_DIR_INFORMATION*)Entry)->FileId.QuadPart = (LONGLONG)Info.objectId;
  }
  RtlCopyMemory(Entry + Output.FixedPart, Name->Buffer, Copied);
}

// Places the entry at Output.Offset with as much of its name as the buffer holds, links
// it from the previous entry and returns the name bytes copied.
ULONG PlaceEntry(LISTING_OUTPUT* Output, const FileInfo& Info, ULONG FileIndex, PCUNICODE_STRING Name) {
  const ULONG Room = Output->Length - Output->Offset - Output->FixedPart;
  const ULONG Copied = Name->Length < Room ? Name->Length : Room;
  WriteEntry(*Output, Output->Buffer + Output->Offset, Info, FileIndex, Name, Copied);
  *(PULONG)(Output->Buffer + Output->LastOffset) = Output->Offset - Output->LastOffset;
  Output->Information = Align8((ULONG)Output->Information) + Output->FixedPart + Copied;
  Output->Placed++;
  return Copied;
}

// Whether another entry with a name of NameLength bytes fits after those placed.
BOOLEAN Fits(const LISTING_OUTPUT& Output, ULONG NameLength) {
  if (Output.Placed == 0) return TRUE;
  return Output.Offset <= Output.Length && Output.Length - Output.Offset >= Output.FixedPart + NameLength;
}

// The handle's enumeration state: the template, and whether this is its first query.
struct QUERY {
  PFCB Fcb;
  PCCB Ccb;
  ULONG StartIndex;
  BOOLEAN InitialQuery;
  BOOLEAN ReturnSingleEntry;
};

// Lists entries from Query.StartIndex into Output and returns the status. Where the
// handle's next query continues goes to *NextEntryIndex, which stays as it was when the
// end came before any entry was placed (and when anything raises).
NTSTATUS ListEntries(PIRP_CONTEXT IrpContext, const QUERY& Query, LISTING_OUTPUT* Output, PULONG NextEntryIndex) {
  PVCB Vcb = Query.Fcb->Vcb;
  LISTING* Listing = OpenListing(IrpContext, Query.Fcb, Query.StartIndex);
  UNICODE_STRING Name{};
  UNICODE_STRING Upcased{};
  SEH_FINALLY {
    FreeNameBuffer(&Upcased);
    FreeNameBuffer(&Name);
    CloseListing(Listing);
  };
  ULONG Candidate = Query.StartIndex;
  NTSTATUS Status = STATUS_SUCCESS;
  while (!(Query.ReturnSingleEntry && Output->Placed != 0)) {
    if (!NextEntry(IrpContext, Query.Fcb, Listing)) {
      if (Output->Placed != 0) break;
      return Query.InitialQuery ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES;
    }
    const FileInfo& Info = Listing->Info;
    const ULONG Index = (ULONG)Listing->Search->lastReturned;
    if (FlagOn(Info.attributes, UnlistedKinds)) continue;
    // One unconvertible name must not hide the entries after it.
    if (!IsNameConvertible(Info)) {
      InterlockedIncrement(&Vcb->UnlistableNameCount);
      continue;
    }
    Utf8ToName(IrpContext, Info.name, Info.nameLength, &Name, FALSE);
    if (!MatchesExpression(Query.Ccb, Vcb, &Name, &Upcased)) continue;
    if (!Fits(*Output, Name.Length)) break;
    const ULONG Copied = PlaceEntry(Output, Info, Index, &Name);
    if (Copied < Name.Length) {
      // The entry comes again, whole, with the next query.
      Status = STATUS_BUFFER_OVERFLOW;
      break;
    }
    Output->LastOffset = Output->Offset;
    Output->Offset += Align8(Output->FixedPart + Copied);
    Candidate = Index + 1;
  }
  *NextEntryIndex = Candidate;
  return Status;
}

// Sets up the handle's expression on its first query and on a restart with a name, under
// the exclusive resource, which it then converts to shared.
void PrepareExpression(PCCB Ccb, PFCB Fcb, PIO_STACK_LOCATION IrpSp, QUERY* Query) {
  const BOOLEAN Restart = FlagOn(IrpSp->Flags, SL_RESTART_SCAN);
  PUNICODE_STRING FileName = IrpSp->Parameters.QueryDirectory.FileName;
  // Another query may have set the expression while this one waited for the resource.
  if (!Restart && Query->InitialQuery && (Ccb->Template.Buffer != nullptr || FlagOn(Ccb->Flags, CCB_MATCH_ALL))) {
    Query->InitialQuery = FALSE;
    ExConvertExclusiveToSharedLite(Fcb->Header.Resource);
    return;
  }
  const BOOLEAN NewName = Restart && FileName != nullptr && FileName->Length != 0;
  if (!Query->InitialQuery && !NewName) return;
  if (Restart) DropExpression(Ccb);
  SetExpression(Ccb, Fcb->Vcb, FileName);
  ExConvertExclusiveToSharedLite(Fcb->Header.Resource);
}

ULONG StartIndexOf(PCCB Ccb, PIO_STACK_LOCATION IrpSp) {
  if (FlagOn(IrpSp->Flags, SL_INDEX_SPECIFIED)) return IrpSp->Parameters.QueryDirectory.FileIndex + 1;
  if (FlagOn(IrpSp->Flags, SL_RESTART_SCAN)) {
    Ccb->NextEntryIndex = 0;
    return 0;
  }
  return Ccb->NextEntryIndex;
}

NTSTATUS QueryDirectory(PIRP_CONTEXT IrpContext, PIRP Irp) {
  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
  PCCB Ccb = DecodeCcb(IrpSp->FileObject, BugCheckFileId, __LINE__);
  PUNICODE_STRING FileName = IrpSp->Parameters.QueryDirectory.FileName;
  Irp->IoStatus.Information = 0;
  if (Ccb->OpenKind != DirectoryOpen || (FileName != nullptr && (FileName->Length & 1) != 0)) {
    CompleteRequest(IrpContext, Irp, STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  if (!FlagOn(IrpContext->Flags, IRPCTX_WAIT)) return PostRequest(IrpContext, Irp);

  auto Fcb = (PFCB)Ccb->Target;
  QUERY Query{Fcb, Ccb, 0, !Ccb->Template.Buffer && !FlagOn(Ccb->Flags, CCB_MATCH_ALL),
              (BOOLEAN)FlagOn(IrpSp->Flags, SL_RETURN_SINGLE_ENTRY)};
  LISTING_OUTPUT Output{};
  Output.Length = IrpSp->Parameters.QueryDirectory.Length;
  Output.Class = IrpSp->Parameters.QueryDirectory.FileInformationClass;
  Output.FixedPart = FixedPartOf(Output.Class);

  NTSTATUS Status;
  if (Query.InitialQuery || FlagOn(IrpSp->Flags, SL_RESTART_SCAN))
    AcquireFcbExclusive(IrpContext, Fcb);
  else
    AcquireFcbShared(IrpContext, Fcb);
  {
    SEH_FINALLY { ExReleaseResourceLite(Fcb->Header.Resource); };
    Output.Buffer = (PUCHAR)MapUserBuffer(IrpContext, Irp);
    CheckFcbUsable(IrpContext, Fcb);
    Query.StartIndex = StartIndexOf(Ccb, IrpSp);
    PrepareExpression(Ccb, Fcb, IrpSp, &Query);
    if (Output.FixedPart == 0) {
      Status = STATUS_INVALID_INFO_CLASS;
    } else if (Output.Length < Output.FixedPart) {
      // The I/O manager refuses such a buffer before it gets here; a request built
      // otherwise gets the same answer rather than a record written past its end.
      Status = STATUS_INFO_LENGTH_MISMATCH;
    } else {
      Status = ListEntries(IrpContext, Query, &Output, &Ccb->NextEntryIndex);
      Irp->IoStatus.Information = Output.Information;
    }
  }
  CompleteRequest(IrpContext, Irp, Status);
  return Status;
}

NTSTATUS NotifyChangeDirectory(PIRP_CONTEXT IrpContext, PIRP Irp) {
  SetFlag(IrpContext->Flags, IRPCTX_WAIT);
  PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
  PCCB Ccb = DecodeCcb(IrpSp->FileObject, BugCheckFileId, __LINE__);
  if (Ccb->OpenKind != DirectoryOpen) {
    CompleteRequest(IrpContext, Irp, STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  auto Fcb = (PFCB)Ccb->Target;
  PVCB Vcb = Fcb->Vcb;
  if (!AcquireFcbExclusive(IrpContext, Fcb)) return PostRequest(IrpContext, Irp);
  {
    SEH_FINALLY { ExReleaseResourceLite(Fcb->Header.Resource); };
    CheckFcbUsable(IrpContext, Fcb);
    BuildFullName(IrpContext, Fcb);
    FsRtlNotifyFullChangeDirectory(Vcb->NotifySync, &Vcb->NotifyList, Ccb, (PSTRING)&Fcb->FullName,
                                   (BOOLEAN)FlagOn(IrpSp->Flags, SL_WATCH_TREE), FALSE,
                                   IrpSp->Parameters.NotifyDirectory.CompletionFilter, Irp, nullptr, nullptr);
  }
  FreeIrpContext(IrpContext);
  return STATUS_PENDING;
}

}  // namespace

NTSTATUS FsdDirectoryControl(PDEVICE_OBJECT VolumeDeviceObject, PIRP Irp) {
  return DispatchRequest(VolumeDeviceObject, Irp, IoIsOperationSynchronous(Irp));
}

NTSTATUS CommonDirectoryControl(PIRP_CONTEXT IrpContext, PIRP Irp) {
  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_QUERY_DIRECTORY:
      return QueryDirectory(IrpContext, Irp);
    case IRP_MN_NOTIFY_CHANGE_DIRECTORY:
      return NotifyChangeDirectory(IrpContext, Irp);
    default:
      CompleteRequest(IrpContext, Irp, STATUS_INVALID_DEVICE_REQUEST);
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

