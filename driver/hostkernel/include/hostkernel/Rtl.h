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
