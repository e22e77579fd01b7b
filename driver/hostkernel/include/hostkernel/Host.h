// The host's side of the stand-in: what tests and hosts use to start the emulated
// system, load a driver, inject faults, step the work queue, check for leaks and make
// storage devices. Drivers never include this header.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <ntifs.h>

// ---- System lifetime -----------------------------------------------------------------------
// Loads a driver: makes its driver object and runs its entry point in a system thread,
// as the I/O manager does. Returns the entry point's status; *DriverObject is set when it
// succeeds.
NTSTATUS HkLoadDriver(PDRIVER_INITIALIZE Entry, const char16_t* Name, PDRIVER_OBJECT* DriverObject);

// Runs Body in a system thread of the system process and waits for it.
void HkRunInSystemThread(const std::function<void()>& Body);

// Waits until the work queues are empty and idle. Call before checking for leaks.
void HkWaitForWorkQueueIdle();

// The stand-in's wait watchdog: a blocking wait longer than this stops the system.
void HkSetWaitWatchdog(unsigned Milliseconds);

// Called with the bug check's code and parameters just before the system ends (the host
// process exits); lets a host print or save them.
using HkBugCheckHook = void (*)(ULONG Code, const ULONG_PTR Parameters[4]);
void HkSetBugCheckHook(HkBugCheckHook Hook);

// What MmQuerySystemSize answers (large unless a test says otherwise).
void HkSetSystemSize(MM_SYSTEMSIZE Size);

// User buffers: the caller's memory that a user-mode probe accepts, writable or not. The
// front end registers the buffers of each request itself; tests registering their own
// must unregister them.
void HkRegisterUserBuffer(PVOID Buffer, SIZE_T Length, bool Writable);
void HkUnregisterUserBuffer(PVOID Buffer);

// Mapped files: a user view of FileObject's stream as data (writable or not) or as an
// executable image, as a process mapping the file makes one; the view keeps the file
// object referenced until it is unmapped. Making the section synchronises with the file
// system as the memory manager does: the file is acquired for section creation (the
// PreAcquireForSectionSynchronization callback of the driver that owns the file's device,
// else its fast-I/O AcquireFileForNtCreateSection, else the header's Resource exclusive)
// and released once the section is made. Null, with the acquisition's failure in *Status,
// when the file system refuses.
struct MAPPED_VIEW;
using HkMappedView = MAPPED_VIEW*;
HkMappedView HkMapSection(PFILE_OBJECT FileObject, bool Image, bool Writable, NTSTATUS* Status = nullptr);
void HkUnmapSection(HkMappedView View);

// While on, IoGetStackLimits tells the calling thread that its kernel stack is all but
// used up, as deep recursion into a file system would leave it.
void HkShortenKernelStack(bool On);

// The views of a stream resident in the cache (0 when it is not cached).
size_t HkCachedViews(PSECTION_OBJECT_POINTERS SectionObjectPointer);

// ---- Pool ------------------------------------------------------------------------------------
struct HkTagUsage {
  ULONG Tag;
  uint64_t LiveAllocations;
  uint64_t LiveBytes;
};
// Live allocations per tag, lookaside lists' cached entries not counted.
std::vector<HkTagUsage> HkPoolUsage();
uint64_t HkPoolLiveAllocations();
// A human-readable leak report: one line per tag with live allocations, or empty.
std::string HkPoolLeakReport();
std::string HkTagName(ULONG Tag);

// Fails the Nth allocation from now (1 = the next one).
void HkFailAllocationNumber(uint64_t N);
// Fails every allocation with this tag until cleared with HkClearAllocationFaults.
void HkFailAllocationsOfTag(ULONG Tag);
void HkClearAllocationFaults();

// The system's time zone as Windows keeps it: UTC = local time + Bias, in 100-ns units
// (0, UTC, until set).
void HkSetTimeZoneBias(LONGLONG Bias);

// Kernel calls that a test can make fail once, the Nth call from now.
enum class HkCall { IoCreateDevice, IoAllocateWorkItem, FsRtlRegisterFileSystemFilterCallbacks,
                    KeExpandKernelStack };
void HkFailCall(HkCall Call, NTSTATUS Status, unsigned Nth = 1);
void HkClearCallFaults();

// ---- Objects ---------------------------------------------------------------------------------
// Live references on an object the stand-in knows (device, file object or token), or -1.
LONG HkObjectReferenceCount(PVOID Object);
// Device and file objects still alive.
size_t HkLiveFileObjects();
size_t HkLiveDeviceObjects();
// Tokens still alive, the callers' token among them once it has been used.
size_t HkLiveTokens();
PDEVICE_OBJECT HkFindDevice(const char16_t* Name);
// The file systems registered, in the order the I/O manager would offer them a mount.
std::vector<PDEVICE_OBJECT> HkRegisteredFileSystems();

// ---- Work queue --------------------------------------------------------------------------------
// In step mode queued items wait until HkWorkQueueStep releases one to a worker.
void HkWorkQueueStepMode(bool On);
// Releases the oldest held item; false when none is held.
bool HkWorkQueueStep();
size_t HkWorkQueueHeldItems();
// Workers of the critical queue that are running an item now.
size_t HkWorkQueueBusyWorkers();
size_t HkWorkQueueWorkerCount();

// ---- Storage devices over image files ----------------------------------------------------------
struct HkIoRecord {
  UCHAR MajorFunction;
  ULONG IoControlCode;  // for device controls
  uint64_t Offset;
  ULONG Length;
  NTSTATUS Status;
  PETHREAD Thread;
};

struct HkStorageOptions {
  ULONG SectorSize = 512;
  bool Removable = false;
  // The drive geometry reports 0 bytes per sector, as a broken device may.
  bool ZeroSectorGeometry = false;
};

// A disk device over an image file (never written). Name like u"\\Device\\Harddisk0\\DR0".
PDEVICE_OBJECT HkCreateDisk(const std::string& ImagePath, const char16_t* Name,
                            const HkStorageOptions& Options = {});
// A partition device: an offset window of a disk device's image.
PDEVICE_OBJECT HkCreatePartition(PDEVICE_OBJECT Disk, const char16_t* Name, uint64_t Offset,
                                 uint64_t Length);
// A CD-ROM device over an image file; DataTrack decides the table of contents' control bit.
PDEVICE_OBJECT HkCreateCdRom(const std::string& ImagePath, const char16_t* Name, bool DataTrack = true);
// Deletes a storage device made above (its VPB and the device go when unreferenced).
void HkDeleteStorage(PDEVICE_OBJECT Device);
// Offers a storage device to the registered file systems as its first open does, unless a
// volume is mounted on it; the status of the mount.
NTSTATUS HkMount(PDEVICE_OBJECT Device);

// Media changes: a swap puts a new image in the drive; an eject leaves it empty. Both bump
// the media change count and set DO_VERIFY_VOLUME when a volume is mounted.
void HkSwapMedia(PDEVICE_OBJECT Device, const std::string& ImagePath);
void HkEjectMedia(PDEVICE_OBJECT Device);
// Fails the Nth read from now with Status.
void HkFailRead(PDEVICE_OBJECT Device, NTSTATUS Status, unsigned Nth = 1);
// Fails every plug-and-play request of MinorFunction reaching Device with Status, as a
// lower driver refusing it does; STATUS_SUCCESS lets them succeed again.
void HkFailPnp(PDEVICE_OBJECT Device, UCHAR MinorFunction, NTSTATUS Status);
// Write requests that reached any storage device in this process, refused as they all are.
uint64_t HkWritesSeen();
// While closed, every read, write and device control reaching the device waits at the
// gate; HkPassGate lets the Count oldest waiting (or next arriving) requests through.
void HkCloseGate(PDEVICE_OBJECT Device);
void HkOpenGate(PDEVICE_OBJECT Device);
void HkPassGate(PDEVICE_OBJECT Device, size_t Count);
size_t HkRequestsAtGate(PDEVICE_OBJECT Device);
// Every request the device saw, in order.
std::vector<HkIoRecord> HkIoLog(PDEVICE_OBJECT Device);
// Blocks until Count requests in all (passed or waiting) have reached the device's gate.
void HkWaitForGateArrivals(PDEVICE_OBJECT Device, uint64_t Count);

// ---- Verification and hard errors -----------------------------------------------------------
// A pop-up the system would have shown: a request's hard error (its device and the IRP's
// status) or an informational one (its status and text).
struct HkHardError {
  NTSTATUS Status;
  PDEVICE_OBJECT Device;  // null for informational pop-ups
  std::u16string Text;
  bool Informational;
};
std::vector<HkHardError> HkHardErrors();
void HkClearHardErrors();
// Volume verifications IoVerifyVolume sent, and the status each returned.
std::vector<NTSTATUS> HkVerifications();

// ---- Callers' security ----------------------------------------------------------------------
// The privileges enabled in the token of the front end's callers (privilege values such as
// SE_SECURITY_PRIVILEGE); none by default, as for a standard user.
void HkSetCallerPrivileges(const std::vector<ULONG>& Privileges);
// The groups in that token, each a SID (copied) with its SE_GROUP_* attributes: by default
// Everyone, Authenticated Users and Users, mandatory and enabled, as for a standard user.
// The token's user SID is the one local account's. At most 15 groups.
void HkSetCallerGroups(const std::vector<SID_AND_ATTRIBUTES>& Groups);
PACCESS_TOKEN HkCallerToken();

// An entry of a discretionary ACL: allow or deny Mask (generic rights mapped as for files)
// to Sid.
struct HkAce {
  bool Allow;
  PSID Sid;
  ACCESS_MASK Mask;
};
// A self-relative security descriptor without owner, group or SACL whose DACL holds Aces
// in order; without a DACL at all when DaclPresent is false.
std::vector<UCHAR> HkSecurityDescriptor(const std::vector<HkAce>& Aces, bool DaclPresent = true);
// Gives Device such a descriptor (kept by the stand-in) in place of the default one of
// devices (see SeAccessCheck).
void HkSetDeviceSecurity(PDEVICE_OBJECT Device, const std::vector<HkAce>& Aces);
// What FsRtlAreVolumeStartupApplicationsComplete answers (TRUE by default).
void HkSetVolumeStartupApplicationsComplete(bool Complete);
