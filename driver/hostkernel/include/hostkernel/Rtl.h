// The run-time library's string conversions between UTF-8 and UTF-16.
#pragma once

#include "hostkernel/NtDef.h"
#include "hostkernel/NtStatus.h"

// Both convert as much as fits: invalid input becomes U+FFFD (STATUS_SOME_NOT_MAPPED); a
// null destination asks only for the size the whole output needs; a destination too small
// gets what fits and STATUS_BUFFER_TOO_SMALL.
NTSTATUS RtlUTF8ToUnicodeN(PWSTR UnicodeStringDestination, ULONG UnicodeStringMaxByteCount,
                           PULONG UnicodeStringActualByteCount, const CHAR* UTF8StringSource,
                           ULONG UTF8StringByteCount);
NTSTATUS RtlUnicodeToUTF8N(PCHAR UTF8StringDestination, ULONG UTF8StringMaxByteCount,
                           PULONG UTF8StringActualByteCount, const WCHAR* UnicodeStringSource,
                           ULONG UnicodeStringByteCount);

// ---- Splay trees ---------------------------------------------------------------------------
// Links of an intrusive splay tree; a root is its own parent.
struct RTL_SPLAY_LINKS {
  RTL_SPLAY_LINKS* Parent;
  RTL_SPLAY_LINKS* LeftChild;
  RTL_SPLAY_LINKS* RightChild;
};
using PRTL_SPLAY_LINKS = RTL_SPLAY_LINKS*;

inline void RtlInitializeSplayLinks(PRTL_SPLAY_LINKS Links) {
  Links->Parent = Links;
  Links->LeftChild = Links->RightChild = nullptr;
}
inline PRTL_SPLAY_LINKS RtlParent(PRTL_SPLAY_LINKS Links) { return Links->Parent; }
inline PRTL_SPLAY_LINKS RtlLeftChild(PRTL_SPLAY_LINKS Links) { return Links->LeftChild; }
inline PRTL_SPLAY_LINKS RtlRightChild(PRTL_SPLAY_LINKS Links) { return Links->RightChild; }
inline BOOLEAN RtlIsRoot(PRTL_SPLAY_LINKS Links) { return Links->Parent == Links; }
inline void RtlInsertAsLeftChild(PRTL_SPLAY_LINKS Parent, PRTL_SPLAY_LINKS Child) {
  Parent->LeftChild = Child;
  Child->Parent = Parent;
}
inline void RtlInsertAsRightChild(PRTL_SPLAY_LINKS Parent, PRTL_SPLAY_LINKS Child) {
  Parent->RightChild = Child;
  Child->Parent = Parent;
}
// Rotates Links to the root of its tree and returns it.
PRTL_SPLAY_LINKS RtlSplay(PRTL_SPLAY_LINKS Links);
// Takes Links out of its tree and returns the tree's new root (null when it was alone).
PRTL_SPLAY_LINKS RtlDelete(PRTL_SPLAY_LINKS Links);
