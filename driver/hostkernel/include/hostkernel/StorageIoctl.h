// Records of the storage device controls a file system sends to the device under a
// volume, with Windows' layouts.
#pragma once

#include "hostkernel/NtDef.h"
#include "hostkernel/Io.h"

enum PARTITION_STYLE : ULONG { PARTITION_STYLE_MBR = 0, PARTITION_STYLE_GPT = 1, PARTITION_STYLE_RAW = 2 };

struct PARTITION_INFORMATION_MBR {
  UCHAR PartitionType;
  BOOLEAN BootIndicator;
  BOOLEAN RecognizedPartition;
  ULONG HiddenSectors;
  GUID PartitionId;
};

struct PARTITION_INFORMATION_GPT {
  GUID PartitionType;
  GUID PartitionId;
  ULONG64 Attributes;
  WCHAR Name[36];
};

struct PARTITION_INFORMATION_EX {
  PARTITION_STYLE PartitionStyle;
  LARGE_INTEGER StartingOffset;
  LARGE_INTEGER PartitionLength;
  ULONG PartitionNumber;
  BOOLEAN RewritePartition;
  BOOLEAN IsServicePartition;
  union {
    PARTITION_INFORMATION_MBR Mbr;
    PARTITION_INFORMATION_GPT Gpt;
  };
};
static_assert(offsetof(PARTITION_INFORMATION_EX, PartitionLength) == 16);
static_assert(offsetof(PARTITION_INFORMATION_EX, Mbr) == 32 && sizeof(PARTITION_INFORMATION_EX) == 144);

enum MEDIA_TYPE : ULONG { Unknown = 0, RemovableMedia = 11, FixedMedia = 12 };

struct DISK_GEOMETRY {
  LARGE_INTEGER Cylinders;
  MEDIA_TYPE MediaType;
  ULONG TracksPerCylinder;
  ULONG SectorsPerTrack;
  ULONG BytesPerSector;
};
static_assert(sizeof(DISK_GEOMETRY) == 24);

struct TRACK_DATA {
  UCHAR Reserved;
  UCHAR Control : 4;
  UCHAR Adr : 4;
  UCHAR TrackNumber;
  UCHAR Reserved1;
  UCHAR Address[4];
};
static_assert(sizeof(TRACK_DATA) == 8);

#define MAXIMUM_NUMBER_TRACKS 100
struct CDROM_TOC {
  UCHAR Length[2];
  UCHAR FirstTrack;
  UCHAR LastTrack;
  TRACK_DATA TrackData[MAXIMUM_NUMBER_TRACKS];
};
static_assert(sizeof(CDROM_TOC) == 804);

struct STORAGE_HOTPLUG_INFO {
  ULONG Size;
  BOOLEAN MediaRemovable;
  BOOLEAN MediaHotplug;
  BOOLEAN DeviceHotplug;
  BOOLEAN WriteCacheEnableOverride;
};
static_assert(sizeof(STORAGE_HOTPLUG_INFO) == 8);

struct DRIVE_LAYOUT_INFORMATION_MBR {
  ULONG Signature;
  ULONG CheckSum;
};

struct DRIVE_LAYOUT_INFORMATION_GPT {
  GUID DiskId;
  LARGE_INTEGER StartingUsableOffset;
  LARGE_INTEGER UsableLength;
  ULONG MaxPartitionCount;
};

struct DRIVE_LAYOUT_INFORMATION_EX {
  ULONG PartitionStyle;
  ULONG PartitionCount;
  union {
    DRIVE_LAYOUT_INFORMATION_MBR Mbr;
    DRIVE_LAYOUT_INFORMATION_GPT Gpt;
  };
  PARTITION_INFORMATION_EX PartitionEntry[1];
};
using PDRIVE_LAYOUT_INFORMATION_EX = DRIVE_LAYOUT_INFORMATION_EX*;
static_assert(offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) == 48);

// Reads the partition table of the medium in DeviceObject. A GUID partition table gives
// PARTITION_STYLE_GPT with its used entries in table order; any other medium
// PARTITION_STYLE_MBR without entries. The caller frees the layout with ExFreePool.
NTSTATUS IoReadPartitionTableEx(PDEVICE_OBJECT DeviceObject, PDRIVE_LAYOUT_INFORMATION_EX* DriveLayout);
