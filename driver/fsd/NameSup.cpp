// Names crossing between Windows (UTF-16) and the engine (UTF-8).
#include "QdrlProcs.h"

// Converts ByteCount bytes of UTF-8 into Name, a zero-terminated pool buffer (tag
// "Qvxc") replacing any buffer Name held. Sequences that are not UTF-8 fail the request
// with STATUS_UNMAPPABLE_CHARACTER unless AllowUnmapped, which keeps them as U+FFFD.
void Utf8ToName(PIRP_CONTEXT IrpContext, const UCHAR* Utf8, ULONG ByteCount, PUNICODE_STRING Name,
                BOOLEAN AllowUnmapped) {
  ULONG Size = 0;
  NTSTATUS Status = RtlUTF8ToUnicodeN(nullptr, 0, &Size, (const CHAR*)Utf8, ByteCount);
  if (Status == STATUS_SOME_NOT_MAPPED && !AllowUnmapped) Status = STATUS_UNMAPPABLE_CHARACTER;
  if (!NT_SUCCESS(Status)) RaiseStatusNormalized(IrpContext, Status);
  if (Size + sizeof(WCHAR) > 0xFFFF) RaiseStatus(IrpContext, STATUS_OBJECT_NAME_INVALID);
  EnsureNameBuffer(Name, Size + sizeof(WCHAR));
  ULONG Written = 0;
  RtlUTF8ToUnicodeN(Name->Buffer, Size, &Written, (const CHAR*)Utf8, ByteCount);
  Name->Length = (USHORT)Written;
  Name->Buffer[Written / sizeof(WCHAR)] = 0;
}

// Gives Name a pool buffer of at least Size bytes; what it held is not kept.
void EnsureNameBuffer(PUNICODE_STRING Name, ULONG Size) {
  if (Name->MaximumLength >= Size) return;
  FreeNameBuffer(Name);
  Name->Buffer = (PWCHAR)ExAllocatePoolWithTag(PagedPool | POOL_RAISE_IF_ALLOCATION_FAILURE, Size, TAG_NAME_BUFFER);
  Name->MaximumLength = (USHORT)Size;
}

void FreeNameBuffer(PUNICODE_STRING Name) {
  if (Name->Buffer != nullptr) ExFreePoolWithTag(Name->Buffer, TAG_NAME_BUFFER);
  Name->Buffer = nullptr;
  Name->Length = Name->MaximumLength = 0;
}
