// The run-time library's name helpers: upcasing, wildcard matching and path dissection.
#pragma once

#include "hostkernel/NtDef.h"
#include "hostkernel/NtStatus.h"

// ---- Upcasing ------------------------------------------------------------------------------
// The simple upper-case mapping of a UTF-16 code unit (surrogates and characters without
// an upper case map to themselves; no character grows, so lengths never change).
WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
// Upcases Source into Destination. AllocateDestinationString: the destination buffer is
// allocated from paged pool (free it with RtlFreeUnicodeString); otherwise a destination
// shorter than Source gets STATUS_BUFFER_OVERFLOW and nothing. Destination may be Source.
NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                BOOLEAN AllocateDestinationString);
// Frees a buffer RtlUpcaseUnicodeString allocated and empties the string.
void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);

// ---- Wildcards -----------------------------------------------------------------------------
// The DOS wildcards the I/O manager's callers translate "*", "?" and "." into:
// DOS_STAR matches any run of characters that does not hold the name's last period;
// DOS_QM matches one character, or nothing at a period or at the end of the name (and so
// does every DOS_QM right after it); DOS_DOT matches a period, or nothing at the end.
#define DOS_STAR (u'<')
#define DOS_QM (u'>')
#define DOS_DOT (u'"')

inline BOOLEAN FsRtlIsUnicodeCharacterWild(WCHAR C) {
  return C == u'*' || C == u'?' || C == DOS_STAR || C == DOS_QM || C == DOS_DOT;
}
// TRUE when the last component of Name (after its last backslash) holds a wildcard.
BOOLEAN FsRtlDoesNameContainWildCards(PUNICODE_STRING Name);
// TRUE when Name matches the pattern Expression ("*", "?" and the DOS forms above; any
// other character matches itself). IgnoreCase compares Name upcased (through UpcaseTable,
// 65,536 entries, when given) and requires an upcased Expression.
BOOLEAN FsRtlIsNameInExpression(PUNICODE_STRING Expression, PUNICODE_STRING Name,
                                BOOLEAN IgnoreCase, PWCHAR UpcaseTable);
// TRUE when both names have the same length and characters (both upcased first with
// IgnoreCase, through UpcaseTable when given).
BOOLEAN FsRtlAreNamesEqual(PCUNICODE_STRING ConstantNameA, PCUNICODE_STRING ConstantNameB,
                           BOOLEAN IgnoreCase, const WCHAR* UpcaseTable);

// ---- Paths ---------------------------------------------------------------------------------
// Splits Path into its first component (after one leading backslash, up to the next
// backslash) and the rest after that backslash. Both results point into Path's buffer;
// either is empty (Length 0, no buffer) when there is nothing for it. The rest keeps any
// further backslash, so "a\\\\b" leaves "\\b" for the caller to refuse.
void FsRtlDissectName(UNICODE_STRING Path, PUNICODE_STRING FirstName, PUNICODE_STRING RemainingName);
