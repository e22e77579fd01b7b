// File and volume information classes and the records they fill, with Windows' values
// and layouts.
#pragma once

#include "hostkernel/NtDef.h"

enum FILE_INFORMATION_CLASS : ULONG {
  FileDirectoryInformation = 1,
  FileFullDirectoryInformation = 2,
  FileBothDirectoryInformation = 3,
  FileBasicInformation = 4,
  FileStandardInformation = 5,
  FileInternalInformation = 6,
  FileEaInformation = 7,
  FileAccessInformation = 8,
  FileNameInformation = 9,
  FileRenameInformation = 10,
  FileLinkInformation = 11,
  FileNamesInformation = 12,
  FileDispositionInformation = 13,
  FilePositionInformation = 14,
  FileFullEaInformation = 15,
  FileModeInformation = 16,
  FileAlignmentInformation = 17,
  FileAllInformation = 18,
  FileAllocationInformation = 19,
  FileEndOfFileInformation = 20,
  FileAlternateNameInformation = 21,
  FileStreamInformation = 22,
  FileCompressionInformation = 28,
  FileNetworkOpenInformation = 34,
  FileAttributeTagInformation = 35,
  FileIdBothDirectoryInformation = 37,
  FileIdFullDirectoryInformation = 38,
  FileValidDataLengthInformation = 39,
  FileShortNameInformation = 40,
  FileNormalizedNameInformation = 48,
  FileIdInformation = 59,
  FileMaximumInformation = 41,
};
using PFILE_INFORMATION_CLASS = FILE_INFORMATION_CLASS*;

enum FS_INFORMATION_CLASS : ULONG {
  FileFsVolumeInformation = 1,
  FileFsLabelInformation = 2,
  FileFsSizeInformation = 3,
  FileFsDeviceInformation = 4,
  FileFsAttributeInformation = 5,
  FileFsControlInformation = 6,
  FileFsFullSizeInformation = 7,
  FileFsObjectIdInformation = 8,
  FileFsDriverPathInformation = 9,
  FileFsVolumeFlagsInformation = 10,
  FileFsSectorSizeInformation = 11,
  FileFsMaximumInformation,
};
using PFS_INFORMATION_CLASS = FS_INFORMATION_CLASS*;

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400
#define FILE_ATTRIBUTE_COMPRESSED 0x00000800

struct FILE_BASIC_INFORMATION {
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  ULONG FileAttributes;
};
using PFILE_BASIC_INFORMATION = FILE_BASIC_INFORMATION*;
static_assert(sizeof(FILE_BASIC_INFORMATION) == 40);

struct FILE_STANDARD_INFORMATION {
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER EndOfFile;
  ULONG NumberOfLinks;
  BOOLEAN DeletePending;
  BOOLEAN Directory;
};
using PFILE_STANDARD_INFORMATION = FILE_STANDARD_INFORMATION*;
static_assert(sizeof(FILE_STANDARD_INFORMATION) == 24);

struct FILE_INTERNAL_INFORMATION {
  LARGE_INTEGER IndexNumber;
};
struct FILE_EA_INFORMATION {
  ULONG EaSize;
};
struct FILE_ACCESS_INFORMATION {
  ACCESS_MASK AccessFlags;
};
struct FILE_POSITION_INFORMATION {
  LARGE_INTEGER CurrentByteOffset;
};
using PFILE_POSITION_INFORMATION = FILE_POSITION_INFORMATION*;
struct FILE_MODE_INFORMATION {
  ULONG Mode;
};
struct FILE_ALIGNMENT_INFORMATION {
  ULONG AlignmentRequirement;
};
struct FILE_NAME_INFORMATION {
  ULONG FileNameLength;
  WCHAR FileName[1];
};
using PFILE_NAME_INFORMATION = FILE_NAME_INFORMATION*;

struct FILE_ALL_INFORMATION {
  FILE_BASIC_INFORMATION BasicInformation;
  FILE_STANDARD_INFORMATION StandardInformation;
  FILE_INTERNAL_INFORMATION InternalInformation;
  FILE_EA_INFORMATION EaInformation;
  FILE_ACCESS_INFORMATION AccessInformation;
  FILE_POSITION_INFORMATION PositionInformation;
  FILE_MODE_INFORMATION ModeInformation;
  FILE_ALIGNMENT_INFORMATION AlignmentInformation;
  FILE_NAME_INFORMATION NameInformation;
};
static_assert(offsetof(FILE_ALL_INFORMATION, StandardInformation) == 40);
static_assert(offsetof(FILE_ALL_INFORMATION, InternalInformation) == 64);
static_assert(offsetof(FILE_ALL_INFORMATION, EaInformation) == 72);
static_assert(offsetof(FILE_ALL_INFORMATION, PositionInformation) == 80);
static_assert(offsetof(FILE_ALL_INFORMATION, NameInformation) == 96);

struct FILE_NETWORK_OPEN_INFORMATION {
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER EndOfFile;
  ULONG FileAttributes;
};
using PFILE_NETWORK_OPEN_INFORMATION = FILE_NETWORK_OPEN_INFORMATION*;
static_assert(sizeof(FILE_NETWORK_OPEN_INFORMATION) == 56);

struct FILE_DIRECTORY_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  WCHAR FileName[1];
};
static_assert(offsetof(FILE_DIRECTORY_INFORMATION, FileName) == 64);

struct FILE_FULL_DIR_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  ULONG EaSize;
  WCHAR FileName[1];
};
static_assert(offsetof(FILE_FULL_DIR_INFORMATION, FileName) == 68);

struct FILE_BOTH_DIR_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  ULONG EaSize;
  CCHAR ShortNameLength;
  WCHAR ShortName[12];
  WCHAR FileName[1];
};
static_assert(offsetof(FILE_BOTH_DIR_INFORMATION, FileName) == 94);

struct FILE_NAMES_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  ULONG FileNameLength;
  WCHAR FileName[1];
};
static_assert(offsetof(FILE_NAMES_INFORMATION, FileName) == 12);

struct FILE_ID_BOTH_DIR_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  ULONG EaSize;
  CCHAR ShortNameLength;
  WCHAR ShortName[12];
  LARGE_INTEGER FileId;
  WCHAR FileName[1];
};
static_assert(offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileName) == 104);

struct FILE_ID_FULL_DIR_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  ULONG EaSize;
  LARGE_INTEGER FileId;
  WCHAR FileName[1];
};
static_assert(offsetof(FILE_ID_FULL_DIR_INFORMATION, FileId) == 72);
static_assert(offsetof(FILE_ID_FULL_DIR_INFORMATION, FileName) == 80);

struct FILE_FS_VOLUME_INFORMATION {
  LARGE_INTEGER VolumeCreationTime;
  ULONG VolumeSerialNumber;
  ULONG VolumeLabelLength;
  BOOLEAN SupportsObjects;
  WCHAR VolumeLabel[1];
};
static_assert(offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel) == 18);

struct FILE_FS_SIZE_INFORMATION {
  LARGE_INTEGER TotalAllocationUnits;
  LARGE_INTEGER AvailableAllocationUnits;
  ULONG SectorsPerAllocationUnit;
  ULONG BytesPerSector;
};
static_assert(sizeof(FILE_FS_SIZE_INFORMATION) == 24);

struct FILE_FS_FULL_SIZE_INFORMATION {
  LARGE_INTEGER TotalAllocationUnits;
  LARGE_INTEGER CallerAvailableAllocationUnits;
  LARGE_INTEGER ActualAvailableAllocationUnits;
  ULONG SectorsPerAllocationUnit;
  ULONG BytesPerSector;
};
static_assert(sizeof(FILE_FS_FULL_SIZE_INFORMATION) == 32);

struct FILE_FS_DEVICE_INFORMATION {
  ULONG DeviceType;
  ULONG Characteristics;
};

struct FILE_FS_ATTRIBUTE_INFORMATION {
  ULONG FileSystemAttributes;
  LONG MaximumComponentNameLength;
  ULONG FileSystemNameLength;
  WCHAR FileSystemName[1];
};
static_assert(offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName) == 12);

struct FILE_FS_SECTOR_SIZE_INFORMATION {
  ULONG LogicalBytesPerSector;
  ULONG PhysicalBytesPerSectorForAtomicity;
  ULONG PhysicalBytesPerSectorForPerformance;
  ULONG FileSystemEffectivePhysicalBytesPerSectorForAtomicity;
  ULONG Flags;
  ULONG ByteOffsetForSectorAlignment;
  ULONG ByteOffsetForPartitionAlignment;
};
using PFILE_FS_SECTOR_SIZE_INFORMATION = FILE_FS_SECTOR_SIZE_INFORMATION*;
static_assert(sizeof(FILE_FS_SECTOR_SIZE_INFORMATION) == 28);
#define SSINFO_FLAGS_ALIGNED_DEVICE 0x00000001
#define SSINFO_FLAGS_PARTITION_ALIGNED_ON_DEVICE 0x00000002

#define FILE_CASE_SENSITIVE_SEARCH 0x00000001
#define FILE_CASE_PRESERVED_NAMES 0x00000002
#define FILE_UNICODE_ON_DISK 0x00000004
#define FILE_READ_ONLY_VOLUME 0x00080000
