// Base types of the kernel interface with the widths they have on 64-bit Windows,
// whatever the host's own widths (on Linux `long` is 64-bit, Windows' LONG is not),
// the list and string records, and the small inline helpers drivers take for granted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

using VOID = void;
using PVOID = void*;
using CHAR = char;
using UCHAR = uint8_t;
using PUCHAR = UCHAR*;
using SHORT = int16_t;
using USHORT = uint16_t;
using PUSHORT = USHORT*;
using LONG = int32_t;
using PLONG = LONG*;
using ULONG = uint32_t;
using PULONG = ULONG*;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using LONG64 = int64_t;
using ULONG64 = uint64_t;
using LONG_PTR = intptr_t;
using ULONG_PTR = uintptr_t;
using PULONG_PTR = ULONG_PTR*;
using SIZE_T = size_t;
using PSIZE_T = SIZE_T*;
using BOOLEAN = UCHAR;
using PBOOLEAN = BOOLEAN*;
using WCHAR = char16_t;
using PWCHAR = WCHAR*;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using PCHAR = CHAR*;
using PSTR = CHAR*;
using PCSTR = const CHAR*;
using NTSTATUS = LONG;
using PNTSTATUS = NTSTATUS*;
using KIRQL = UCHAR;
using PKIRQL = KIRQL*;
using KPRIORITY = LONG;
using CCHAR = char;
using CSHORT = int16_t;
using HANDLE = void*;
using PHANDLE = HANDLE*;
using ACCESS_MASK = ULONG;
using PACCESS_MASK = ACCESS_MASK*;
using KPROCESSOR_MODE = CCHAR;
using LOGICAL = ULONG;

static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "Windows LONG is 32-bit");
static_assert(sizeof(WCHAR) == 2, "Windows WCHAR is 16-bit");
static_assert(sizeof(PVOID) == 8, "the stand-in models 64-bit Windows");

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL nullptr
#endif

#define IN
#define OUT
#define OPTIONAL
#define NTAPI
#define FASTCALL
#define DECLSPEC_NOINLINE __attribute__((noinline))
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define PAGED_CODE() ((void)0)

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define FlagOn(F, SF) ((F) & (SF))
#define BooleanFlagOn(F, SF) ((BOOLEAN)(((F) & (SF)) != 0))
#define SetFlag(F, SF) ((F) |= (SF))
#define ClearFlag(F, SF) ((F) &= ~(SF))

#define Add2Ptr(P, I) ((PVOID)((PUCHAR)(P) + (I)))
#define PtrOffset(B, O) ((ULONG)((ULONG_PTR)(O) - (ULONG_PTR)(B)))
// Records with a file-system header are not standard-layout for C++, so the field's
// offset is measured on a record placed at a nominal aligned address instead of taken
// with offsetof.
#define CONTAINING_RECORD(address, type, field) \
  ((type*)((PCHAR)(address) - ((ULONG_PTR)&((type*)(ULONG_PTR)0x1000)->field - 0x1000)))
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define ARGUMENT_PRESENT(ArgumentPointer) ((CHAR*)((ULONG_PTR)(ArgumentPointer)) != (CHAR*)NULL)
#define ALIGN_UP_BY(Length, Alignment) (((ULONG_PTR)(Length) + (Alignment) - 1) & ~((ULONG_PTR)(Alignment) - 1))
#define ALIGN_DOWN_BY(Length, Alignment) ((ULONG_PTR)(Length) & ~((ULONG_PTR)(Alignment) - 1))
#define RtlZeroMemory(Destination, Length) std::memset((Destination), 0, (Length))
#define RtlCopyMemory(Destination, Source, Length) std::memcpy((Destination), (Source), (Length))
#define RtlEqualMemory(Destination, Source, Length) (std::memcmp((Destination), (Source), (Length)) == 0)
#define RtlMoveMemory(Destination, Source, Length) std::memmove((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) std::memset((Destination), (Fill), (Length))
#define Min(a, b) (((a) < (b)) ? (a) : (b))
#define Max(a, b) (((a) > (b)) ? (a) : (b))

union LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

union ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } u;
  ULONGLONG QuadPart;
};
using PULARGE_INTEGER = ULARGE_INTEGER*;

struct LIST_ENTRY {
  LIST_ENTRY* Flink;
  LIST_ENTRY* Blink;
};
using PLIST_ENTRY = LIST_ENTRY*;

struct SINGLE_LIST_ENTRY {
  SINGLE_LIST_ENTRY* Next;
};
using PSINGLE_LIST_ENTRY = SINGLE_LIST_ENTRY*;

inline void InitializeListHead(PLIST_ENTRY Head) { Head->Flink = Head->Blink = Head; }
inline BOOLEAN IsListEmpty(const LIST_ENTRY* Head) { return Head->Flink == Head; }

inline BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
  PLIST_ENTRY Next = Entry->Flink;
  PLIST_ENTRY Prev = Entry->Blink;
  Prev->Flink = Next;
  Next->Blink = Prev;
  return Next == Prev;
}

inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY Head) {
  PLIST_ENTRY Entry = Head->Flink;
  RemoveEntryList(Entry);
  return Entry;
}

inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY Head) {
  PLIST_ENTRY Entry = Head->Blink;
  RemoveEntryList(Entry);
  return Entry;
}

inline void InsertTailList(PLIST_ENTRY Head, PLIST_ENTRY Entry) {
  PLIST_ENTRY Prev = Head->Blink;
  Entry->Flink = Head;
  Entry->Blink = Prev;
  Prev->Flink = Entry;
  Head->Blink = Entry;
}

inline void InsertHeadList(PLIST_ENTRY Head, PLIST_ENTRY Entry) {
  PLIST_ENTRY Next = Head->Flink;
  Entry->Flink = Next;
  Entry->Blink = Head;
  Next->Blink = Entry;
  Head->Flink = Entry;
}

struct UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;
static_assert(sizeof(UNICODE_STRING) == 16 && offsetof(UNICODE_STRING, Buffer) == 8);

struct STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
};
using ANSI_STRING = STRING;
using PSTRING = STRING*;

// A UNICODE_STRING over a literal: RTL_CONSTANT_STRING(u"\\qdrl").
#define RTL_CONSTANT_STRING(s) \
  UNICODE_STRING { (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), (PWSTR)(s) }

struct GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
};

// Windows' access rights and the generic mapping record that the I/O manager checks.
#define DELETE 0x00010000
#define READ_CONTROL 0x00020000
#define WRITE_DAC 0x00040000
#define WRITE_OWNER 0x00080000
#define SYNCHRONIZE 0x00100000
#define ACCESS_SYSTEM_SECURITY 0x01000000
#define MAXIMUM_ALLOWED 0x02000000
#define GENERIC_ALL 0x10000000
#define GENERIC_EXECUTE 0x20000000
#define GENERIC_WRITE 0x40000000
#define GENERIC_READ 0x80000000

#define FILE_READ_DATA 0x0001
#define FILE_LIST_DIRECTORY 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_ADD_FILE 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_ADD_SUBDIRECTORY 0x0004
#define FILE_READ_EA 0x0008
#define FILE_WRITE_EA 0x0010
#define FILE_EXECUTE 0x0020
#define FILE_TRAVERSE 0x0020
#define FILE_DELETE_CHILD 0x0040
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_WRITE_ATTRIBUTES 0x0100

#define KernelMode 0
#define UserMode 1
