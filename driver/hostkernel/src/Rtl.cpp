// The run-time library's conversions between UTF-8 and UTF-16, with the statuses and
// partial results Windows gives.
#include <cstring>

#include "HostInternal.h"

namespace {

constexpr uint32_t Replacement = 0xFFFD;

// Decodes one UTF-8 sequence at In (Count bytes left); sets Used. Overlong forms,
// surrogates, values above U+10FFFF and truncated sequences give -1 for the lead byte.
int32_t DecodeUtf8(const UCHAR* In, ULONG Count, ULONG* Used) {
  *Used = 1;
  UCHAR Lead = In[0];
  if (Lead < 0x80) return Lead;
  ULONG Length = Lead >= 0xF0 && Lead <= 0xF4 ? 4 : Lead >= 0xE0 ? 3 : Lead >= 0xC2 && Lead < 0xE0 ? 2 : 0;
  if (Length == 0 || Length > Count) return -1;
  uint32_t Value = Lead & (0x7F >> Length);
  for (ULONG i = 1; i < Length; ++i) {
    if ((In[i] & 0xC0) != 0x80) return -1;
    Value = Value << 6 | (In[i] & 0x3F);
  }
  static const uint32_t Least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (Value < Least[Length] || Value > 0x10FFFF || (Value >= 0xD800 && Value <= 0xDFFF)) return -1;
  *Used = Length;
  return (int32_t)Value;
}

// Decodes one UTF-16 code point at In (Count units left); unpaired surrogates give -1.
int32_t DecodeUtf16(const WCHAR* In, ULONG Count, ULONG* Used) {
  *Used = 1;
  uint32_t First = In[0];
  if (First < 0xD800 || First > 0xDFFF) return (int32_t)First;
  if (First >= 0xDC00 || Count < 2 || In[1] < 0xDC00 || In[1] > 0xDFFF) return -1;
  *Used = 2;
  return (int32_t)(0x10000 + ((First - 0xD800) << 10) + (In[1] - 0xDC00));
}

ULONG Utf8Length(uint32_t Value) { return Value < 0x80 ? 1 : Value < 0x800 ? 2 : Value < 0x10000 ? 3 : 4; }

void EncodeUtf8(uint32_t Value, UCHAR* Out) {
  ULONG Length = Utf8Length(Value);
  if (Length == 1) {
    Out[0] = (UCHAR)Value;
    return;
  }
  static const UCHAR Marks[] = {0, 0, 0xC0, 0xE0, 0xF0};
  for (ULONG i = Length - 1; i > 0; --i, Value >>= 6) Out[i] = (UCHAR)(0x80 | (Value & 0x3F));
  Out[0] = (UCHAR)(Marks[Length] | Value);
}

}  // namespace

NTSTATUS RtlUTF8ToUnicodeN(PWSTR UnicodeStringDestination, ULONG UnicodeStringMaxByteCount,
                           PULONG UnicodeStringActualByteCount, const CHAR* UTF8StringSource,
                           ULONG UTF8StringByteCount) {
  if (UTF8StringSource == nullptr) return STATUS_INVALID_PARAMETER_4;
  if (UnicodeStringActualByteCount == nullptr) return STATUS_INVALID_PARAMETER;
  NTSTATUS Status = STATUS_SUCCESS;
  ULONG Written = 0;
  auto* In = (const UCHAR*)UTF8StringSource;
  for (ULONG At = 0; At < UTF8StringByteCount;) {
    ULONG Used;
    int32_t Value = DecodeUtf8(In + At, UTF8StringByteCount - At, &Used);
    At += Used;
    if (Value < 0) {
      Value = Replacement;
      Status = STATUS_SOME_NOT_MAPPED;
    }
    ULONG Units = Value >= 0x10000 ? 2 : 1;
    if (UnicodeStringDestination != nullptr) {
      if (Written + Units * sizeof(WCHAR) > UnicodeStringMaxByteCount) {
        *UnicodeStringActualByteCount = Written;
        return STATUS_BUFFER_TOO_SMALL;
      }
      PWSTR Out = UnicodeStringDestination + Written / sizeof(WCHAR);
      if (Units == 2) {
        Out[0] = (WCHAR)(0xD800 + ((Value - 0x10000) >> 10));
        Out[1] = (WCHAR)(0xDC00 + ((Value - 0x10000) & 0x3FF));
      } else {
        Out[0] = (WCHAR)Value;
      }
    }
    Written += Units * sizeof(WCHAR);
  }
  *UnicodeStringActualByteCount = Written;
  return Status;
}

NTSTATUS RtlUnicodeToUTF8N(PCHAR UTF8StringDestination, ULONG UTF8StringMaxByteCount,
                           PULONG UTF8StringActualByteCount, const WCHAR* UnicodeStringSource,
                           ULONG UnicodeStringByteCount) {
  if (UnicodeStringSource == nullptr) return STATUS_INVALID_PARAMETER_4;
  if (UTF8StringActualByteCount == nullptr) return STATUS_INVALID_PARAMETER;
  if (UTF8StringDestination != nullptr && UnicodeStringByteCount % sizeof(WCHAR) != 0)
    return STATUS_INVALID_PARAMETER_5;
  NTSTATUS Status = STATUS_SUCCESS;
  ULONG Written = 0;
  ULONG Count = UnicodeStringByteCount / sizeof(WCHAR);
  for (ULONG At = 0; At < Count;) {
    ULONG Used;
    int32_t Value = DecodeUtf16(UnicodeStringSource + At, Count - At, &Used);
    At += Used;
    if (Value < 0) {
      Value = Replacement;
      Status = STATUS_SOME_NOT_MAPPED;
    }
    ULONG Length = Utf8Length((uint32_t)Value);
    if (UTF8StringDestination != nullptr) {
      if (Written + Length > UTF8StringMaxByteCount) {
        *UTF8StringActualByteCount = Written;
        return STATUS_BUFFER_TOO_SMALL;
      }
      EncodeUtf8((uint32_t)Value, (UCHAR*)UTF8StringDestination + Written);
    }
    Written += Length;
  }
  *UTF8StringActualByteCount = Written;
  return Status;
}

// ---- Splay trees ----------------------------------------------------------------------------

namespace {

// Turns X's parent into X's child, keeping the order.
void Rotate(PRTL_SPLAY_LINKS X) {
  PRTL_SPLAY_LINKS P = X->Parent;
  PRTL_SPLAY_LINKS Above = P->Parent;
  if (P->LeftChild == X) {
    P->LeftChild = X->RightChild;
    if (X->RightChild) X->RightChild->Parent = P;
    X->RightChild = P;
  } else {
    P->RightChild = X->LeftChild;
    if (X->LeftChild) X->LeftChild->Parent = P;
    X->LeftChild = P;
  }
  P->Parent = X;
  if (Above == P) {
    X->Parent = X;
  } else {
    X->Parent = Above;
    if (Above->LeftChild == P) Above->LeftChild = X;
    else Above->RightChild = X;
  }
}

}  // namespace

PRTL_SPLAY_LINKS RtlSplay(PRTL_SPLAY_LINKS Links) {
  while (!RtlIsRoot(Links)) {
    PRTL_SPLAY_LINKS P = Links->Parent;
    if (RtlIsRoot(P)) {
      Rotate(Links);
    } else if ((P->Parent->LeftChild == P) == (P->LeftChild == Links)) {
      Rotate(P);
      Rotate(Links);
    } else {
      Rotate(Links);
      Rotate(Links);
    }
  }
  return Links;
}

PRTL_SPLAY_LINKS RtlDelete(PRTL_SPLAY_LINKS Links) {
  RtlSplay(Links);
  PRTL_SPLAY_LINKS Left = Links->LeftChild;
  PRTL_SPLAY_LINKS Right = Links->RightChild;
  RtlInitializeSplayLinks(Links);
  if (Left == nullptr) {
    if (Right) Right->Parent = Right;
    return Right;
  }
  // The greatest of the left part becomes the root, with the right part beside it.
  Left->Parent = Left;
  PRTL_SPLAY_LINKS Greatest = Left;
  while (Greatest->RightChild) Greatest = Greatest->RightChild;
  RtlSplay(Greatest);
  Greatest->RightChild = Right;
  if (Right) Right->Parent = Greatest;
  return Greatest;
}
