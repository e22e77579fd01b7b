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

// Converts Name into Utf8, whose Buffer then holds Length bytes of UTF-8 and a terminating
// zero byte, in a pool buffer (tag "Qvxc") when the one it held was too small. Characters
// without a UTF-8 form (unpaired surrogates) fail the request with
// STATUS_UNMAPPABLE_CHARACTER unless AllowUnmapped, which keeps them as U+FFFD.
void NameToUtf8(PIRP_CONTEXT IrpContext, PCUNICODE_STRING Name, PUNICODE_STRING Utf8, BOOLEAN AllowUnmapped) {
  ULONG Size = 0;
  NTSTATUS Status = RtlUnicodeToUTF8N(nullptr, 0, &Size, Name->Buffer, Name->Length);
  if (Status == STATUS_SOME_NOT_MAPPED && !AllowUnmapped) Status = STATUS_UNMAPPABLE_CHARACTER;
  if (!NT_SUCCESS(Status)) RaiseStatusNormalized(IrpContext, Status);
  if (Size + 1 > 0xFFFF) RaiseStatus(IrpContext, STATUS_OBJECT_NAME_INVALID);
  EnsureNameBuffer(Utf8, Size + 1);
  ULONG Written = 0;
  RtlUnicodeToUTF8N((PCHAR)Utf8->Buffer, Size, &Written, Name->Buffer, Name->Length);
  Utf8->Length = (USHORT)Written;
  ((PCHAR)Utf8->Buffer)[Written] = 0;
}

namespace {

BOOLEAN IsOnCurrentStack(const void* Address) {
  ULONG_PTR Low = 0, High = 0;
  IoGetStackLimits(&Low, &High);
  return (ULONG_PTR)Address >= Low && (ULONG_PTR)Address < High;
}

}  // namespace

// Callers start a name in a buffer of their own frame and let it grow into pool: only a
// pool buffer is freed.
void FreeNameBuffer(PUNICODE_STRING Name) {
  if (Name->Buffer != nullptr && !IsOnCurrentStack(Name->Buffer)) ExFreePoolWithTag(Name->Buffer, TAG_NAME_BUFFER);
  Name->Buffer = nullptr;
  Name->Length = Name->MaximumLength = 0;
}

// Builds the name-tree key of ByteCount bytes of UTF-8: each code point as the engine
// compares it (folded on a case-insensitive volume) as a 32-bit value, then the UTF-8
// length, which the engine's comparison also requires to match. Pool buffer, tag "Qvxc".
void BuildNameKey(PIRP_CONTEXT IrpContext, const UCHAR* Utf8, ULONG ByteCount, BOOLEAN CaseInsensitive,
                  PUNICODE_STRING Key) {
  if (ByteCount > FsMaxNameLength()) RaiseStatus(IrpContext, STATUS_OBJECT_NAME_INVALID);
  EnsureNameBuffer(Key, (ByteCount + 1) * sizeof(ULONG));
  auto* Out = (ULONG*)Key->Buffer;
  ULONG Count = 0;
  const UCHAR* End = Utf8 + ByteCount;
  for (const UCHAR* Cursor = Utf8; Cursor < End;) {
    UCHAR Lead = *Cursor++;
    int32_t Point = Lead < 0x80 ? Lead : Utf8Decode(Lead, &Cursor, End);
    if (Point < 0) RaiseStatus(IrpContext, STATUS_OBJECT_NAME_INVALID);
    Out[Count++] = CaseInsensitive ? FoldCase((uint32_t)Point) : (ULONG)Point;
  }
  Out[Count++] = ByteCount;
  Key->Length = (USHORT)(Count * sizeof(ULONG));
}

// Orders two keys by their bytes: the first differing byte decides, else the shorter key
// is the lesser.
LONG CompareNameKeys(PCUNICODE_STRING A, PCUNICODE_STRING B) {
  USHORT Shorter = A->Length < B->Length ? A->Length : B->Length;
  int Order = std::memcmp(A->Buffer, B->Buffer, Shorter);
  if (Order != 0) return Order < 0 ? -1 : 1;
  return A->Length == B->Length ? 0 : (A->Length < B->Length ? -1 : 1);
}
