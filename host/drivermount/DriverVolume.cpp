#include "DriverVolume.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Failure.h"
#include "GptScan.h"
#include "QdrlProcs.h"
#include "hostkernel/FrontEnd.h"

struct DriverVolume::Open {
  HANDLE handle;
  bool direct;        // opened without intermediate buffering: reads in whole sectors
  uint64_t size = 0;  // of a file: whole-sector reads may bring bytes past its end
};

namespace {

constexpr char16_t DISK_NAME[] = u"\\Device\\Harddisk0\\DR0";
constexpr char16_t PARTITION_NAME[] = u"\\Device\\HarddiskVolume1";
constexpr char16_t CDROM_NAME[] = u"\\Device\\CdRom0";
// Reads without intermediate buffering go in whole sectors; this covers disks' 512-byte
// and 4096-byte sectors and CD-ROMs' 2048-byte ones.
constexpr uint64_t DIRECT_ALIGNMENT = 4096;
// One directory query's buffer: a few hundred entries.
constexpr ULONG LISTING_BUFFER = 64 * 1024;
constexpr ULONG SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Windows counts 100-nanosecond units from 1601.
constexpr uint64_t UNIX_EPOCH_IN_WINDOWS_TIME = 116444736000000000ull;

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", unsigned(status));
  return text;
}

int ErrnoOf(NTSTATUS status) {
  switch (status) {
    case STATUS_OBJECT_NAME_NOT_FOUND:
    case STATUS_OBJECT_PATH_NOT_FOUND:
    case STATUS_NO_SUCH_FILE:
    case STATUS_OBJECT_NAME_INVALID:  // a name Windows cannot take: no such file for it
      return ENOENT;
    case STATUS_NOT_A_DIRECTORY: return ENOTDIR;
    case STATUS_FILE_IS_A_DIRECTORY: return EISDIR;
    case STATUS_ACCESS_DENIED: return EACCES;
    case STATUS_MEDIA_WRITE_PROTECTED: return EROFS;
    case STATUS_SHARING_VIOLATION: return EBUSY;
    case STATUS_INSUFFICIENT_RESOURCES: return ENOMEM;
    case STATUS_UNMAPPABLE_CHARACTER: return EILSEQ;
    case STATUS_INVALID_DEVICE_REQUEST: return EOPNOTSUPP;
    default: return EIO;
  }
}

// UTF-8 to UTF-16; false on a malformed sequence.
bool Utf16Of(const std::string& text, std::u16string* out) {
  for (size_t i = 0; i < text.size();) {
    const auto lead = uint8_t(text[i]);
    const int extra = lead < 0x80 ? 0 : (lead >> 5) == 0x6 ? 1 : (lead >> 4) == 0xE ? 2 : (lead >> 3) == 0x1E ? 3 : -1;
    if (extra < 0 || text.size() - i <= size_t(extra)) return false;
    uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra; k++) {
      const auto next = uint8_t(text[i + size_t(k)]);
      if ((next & 0xC0) != 0x80) return false;
      code = code << 6 | (next & 0x3F);
    }
    static constexpr uint32_t SMALLEST[] = {0, 0x80, 0x800, 0x10000};
    if (code < SMALLEST[extra] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return false;
    if (code >= 0x10000) {
      out->push_back(char16_t(0xD800 + ((code - 0x10000) >> 10)));
      out->push_back(char16_t(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      out->push_back(char16_t(code));
    }
    i += size_t(extra) + 1;
  }
  return true;
}

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf8Of(const char16_t* text, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; i++) {
    uint32_t code = text[i];
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (code >= 0xD800 && code < 0xE000) {
      code = 0xFFFD;
    }
    if (code < 0x80) {
      out += char(code);
    } else if (code < 0x800) {
      out += char(0xC0 | code >> 6);
      out += char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += char(0xE0 | code >> 12);
      out += char(0x80 | (code >> 6 & 0x3F));
      out += char(0x80 | (code & 0x3F));
    } else {
      out += char(0xF0 | code >> 18);
      out += char(0x80 | (code >> 12 & 0x3F));
      out += char(0x80 | (code >> 6 & 0x3F));
      out += char(0x80 | (code & 0x3F));
    }
  }
  return out;
}

uint64_t UnixNanoseconds(LARGE_INTEGER windowsTime) {
  const auto units = uint64_t(windowsTime.QuadPart);
  return units < UNIX_EPOCH_IN_WINDOWS_TIME ? 0 : (units - UNIX_EPOCH_IN_WINDOWS_TIME) * 100;
}

std::map<uint32_t, uint64_t> PoolByTag() {
  std::map<uint32_t, uint64_t> usage;
  for (const HkTagUsage& tag : HkPoolUsage()) usage[tag.Tag] = tag.LiveAllocations;
  return usage;
}

// The volume's window of a disk image: its APFS partition when it has a partition table.
GptPartition VolumeWindow(const std::string& image) {
  struct stat st {};
  if (stat(image.c_str(), &st) != 0) throw ReadFailure(ExitCode::CannotOpen, errno, "cannot open " + image);
  std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(image.c_str(), "rb"), std::fclose);
  if (file == nullptr) throw ReadFailure(ExitCode::CannotOpen, errno, "cannot open " + image);
  const DiskReader read = [&](uint64_t offset, uint8_t* buffer, uint64_t count) {
    return fseeko(file.get(), off_t(offset), SEEK_SET) == 0 && std::fread(buffer, 1, count, file.get()) == count;
  };
  GptPartition partition{0, uint64_t(st.st_size), 0};
  std::string error;
  if (FindApfsPartition(read, uint64_t(st.st_size), &partition, &error) == GptResult::Error) {
    throw ReadFailure(ExitCode::NotApfs, EINVAL, image + ": " + error);
  }
  return partition;
}

// Sends a file-system control to the volume handle and waits for it.
NTSTATUS VolumeControl(HANDLE volume, ULONG code) {
  IO_STATUS_BLOCK iosb{};
  return NtFsControlFile(volume, nullptr, nullptr, nullptr, &iosb, code, nullptr, 0, nullptr, 0);
}

}  // namespace

DriverVolume::DriverVolume(const std::string& image, bool cdrom) {
  PDRIVER_OBJECT driver = nullptr;
  const NTSTATUS loaded = HkLoadDriver(DriverEntry, u"\\FileSystem\\qdrl", &driver);
  if (!NT_SUCCESS(loaded)) {
    throw ReadFailure(ExitCode::MountFailed, EIO, "the driver did not load: status " + StatusText(loaded));
  }
  if (cdrom) {
    PDEVICE_OBJECT cdrom = HkCreateCdRom(image, CDROM_NAME);
    if (cdrom == nullptr) throw ReadFailure(ExitCode::CannotOpen, EIO, "cannot open " + image);
    storage_.push_back(cdrom);
    device_ = CDROM_NAME;
  } else {
    const GptPartition window = VolumeWindow(image);
    PDEVICE_OBJECT disk = HkCreateDisk(image, DISK_NAME);
    if (disk == nullptr) throw ReadFailure(ExitCode::CannotOpen, EIO, "cannot open " + image);
    storage_.push_back(disk);
    storage_.push_back(HkCreatePartition(disk, PARTITION_NAME, window.offset, window.length));
    device_ = PARTITION_NAME;
  }
  poolBefore_ = PoolByTag();
  // The mounting user manages the volume: its handle may lock and dismount it.
  HkSetCallerPrivileges({SE_MANAGE_VOLUME_PRIVILEGE});
  UNICODE_STRING name{USHORT(device_.size() * 2), USHORT(device_.size() * 2), PWSTR(device_.data())};
  OBJECT_ATTRIBUTES attributes = HkObjectAttributes(&name);
  IO_STATUS_BLOCK iosb{};
  const NTSTATUS opened = NtCreateFile(&volume_, GENERIC_READ | SYNCHRONIZE, &attributes, &iosb, nullptr, 0,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                                       nullptr, 0);
  if (!NT_SUCCESS(opened)) {
    throw ReadFailure(ExitCode::MountFailed, EIO,
                      "the driver did not open the volume of " + image + ": status " + StatusText(opened));
  }
}

int DriverVolume::OpenPath(const std::string& path, uint32_t access, uint32_t options, Open** open) {
  std::u16string name = device_;
  std::u16string relative;
  if (!Utf16Of(path, &relative)) return ENOENT;
  for (char16_t& c : relative) c = c == u'/' ? u'\\' : c;
  name += relative;
  UNICODE_STRING unicode{USHORT(name.size() * 2), USHORT(name.size() * 2), PWSTR(name.data())};
  if (name.size() * 2 > 0xFFFF) return ENAMETOOLONG;
  OBJECT_ATTRIBUTES attributes = HkObjectAttributes(&unicode);
  IO_STATUS_BLOCK iosb{};
  HANDLE handle = nullptr;
  const NTSTATUS status =
      NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &iosb, nullptr, 0, SHARE_ALL, FILE_OPEN, options, nullptr, 0);
  if (!NT_SUCCESS(status)) return ErrnoOf(status);
  *open = new Open{handle, (options & FILE_NO_INTERMEDIATE_BUFFERING) != 0};
  std::lock_guard<std::mutex> guard(openLock_);
  opens_.insert(*open);
  return 0;
}

void DriverVolume::Close(Open* open) {
  {
    std::lock_guard<std::mutex> guard(openLock_);
    opens_.erase(open);
  }
  NtClose(open->handle);
  delete open;
}

int DriverVolume::Stat(const std::string& path, DriverAttributes* out) {
  Open* open = nullptr;
  if (const int error = OpenPath(path, FILE_READ_ATTRIBUTES, FILE_SYNCHRONOUS_IO_NONALERT, &open)) return error;
  FILE_NETWORK_OPEN_INFORMATION times{};
  FILE_INTERNAL_INFORMATION internal{};
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status = NtQueryInformationFile(open->handle, &iosb, &times, sizeof times, FileNetworkOpenInformation);
  if (NT_SUCCESS(status)) {
    status = NtQueryInformationFile(open->handle, &iosb, &internal, sizeof internal, FileInternalInformation);
  }
  Close(open);
  if (!NT_SUCCESS(status)) return ErrnoOf(status);
  out->fileId = uint64_t(internal.IndexNumber.QuadPart);
  out->directory = (times.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  out->size = uint64_t(times.EndOfFile.QuadPart);
  out->allocated = uint64_t(times.AllocationSize.QuadPart);
  out->accessNs = UnixNanoseconds(times.LastAccessTime);
  out->modifyNs = UnixNanoseconds(times.LastWriteTime);
  out->changeNs = UnixNanoseconds(times.ChangeTime);
  return 0;
}

int DriverVolume::OpenDirectory(const std::string& path, Open** directory) {
  return OpenPath(path, FILE_LIST_DIRECTORY, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, directory);
}

int DriverVolume::NextEntries(Open* directory, std::vector<DriverListed>* entries) {
  auto buffer = std::make_unique<LONGLONG[]>(LISTING_BUFFER / sizeof(LONGLONG));
  IO_STATUS_BLOCK iosb{};
  const NTSTATUS status = NtQueryDirectoryFile(directory->handle, nullptr, nullptr, nullptr, &iosb, buffer.get(),
                                               LISTING_BUFFER, FileIdBothDirectoryInformation, FALSE, nullptr, FALSE);
  if (status == STATUS_NO_MORE_FILES || status == STATUS_NO_SUCH_FILE) return 0;
  if (!NT_SUCCESS(status)) return ErrnoOf(status);
  const auto* bytes = reinterpret_cast<const uint8_t*>(buffer.get());
  for (size_t offset = 0;;) {
    const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFORMATION*>(bytes + offset);
    DriverListed listed;
    listed.name = Utf8Of(reinterpret_cast<const char16_t*>(entry->FileName), entry->FileNameLength / 2);
    listed.attributes.fileId = uint64_t(entry->FileId.QuadPart);
    listed.attributes.directory = (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    listed.attributes.size = uint64_t(entry->EndOfFile.QuadPart);
    listed.attributes.allocated = uint64_t(entry->AllocationSize.QuadPart);
    listed.attributes.accessNs = UnixNanoseconds(entry->LastAccessTime);
    listed.attributes.modifyNs = UnixNanoseconds(entry->LastWriteTime);
    listed.attributes.changeNs = UnixNanoseconds(entry->ChangeTime);
    entries->push_back(std::move(listed));
    if (entry->NextEntryOffset == 0) break;
    offset += entry->NextEntryOffset;
  }
  return 0;
}

int DriverVolume::OpenFile(const std::string& path, bool direct, Open** file) {
  // Without FILE_SYNCHRONOUS_IO_NONALERT the handle is asynchronous: reads of several
  // threads on it run at once, each waiting on its own event. FILE_RANDOM_ACCESS keeps
  // the cache from reading ahead: FUSE's kernel side reads ahead itself and sends those
  // reads on other threads at once, so the cache's read-ahead would read the same views
  // again, on a thread of its own competing for the same cores.
  const ULONG options = FILE_NON_DIRECTORY_FILE | FILE_RANDOM_ACCESS | (direct ? FILE_NO_INTERMEDIATE_BUFFERING : 0);
  if (const int error = OpenPath(path, FILE_READ_DATA | FILE_READ_ATTRIBUTES, options, file)) return error;
  FILE_STANDARD_INFORMATION standard{};
  IO_STATUS_BLOCK iosb{};
  const NTSTATUS status =
      NtQueryInformationFile((*file)->handle, &iosb, &standard, sizeof standard, FileStandardInformation);
  if (!NT_SUCCESS(status)) {
    Close(*file);
    return ErrnoOf(status);
  }
  (*file)->size = uint64_t(standard.EndOfFile.QuadPart);
  return 0;
}

int DriverVolume::Read(Open* file, uint64_t offset, char* buffer, size_t length, size_t* got) {
  *got = 0;
  if (offset >= file->size || length == 0) return 0;
  length = size_t(std::min<uint64_t>(length, file->size - offset));
  // Without intermediate buffering the driver reads whole sectors into memory aligned
  // for the device: the request is widened and the wanted bytes copied out.
  const uint64_t start = file->direct ? offset / DIRECT_ALIGNMENT * DIRECT_ALIGNMENT : offset;
  const uint64_t skip = offset - start;
  const uint64_t span = file->direct ? (skip + length + DIRECT_ALIGNMENT - 1) / DIRECT_ALIGNMENT * DIRECT_ALIGNMENT : length;
  if (span > 0xFFFFFFFFu) return EINVAL;
  std::unique_ptr<char, decltype(&std::free)> bounce(
      file->direct ? static_cast<char*>(std::aligned_alloc(DIRECT_ALIGNMENT, span)) : nullptr, std::free);
  if (file->direct && bounce == nullptr) return ENOMEM;
  char* target = file->direct ? bounce.get() : buffer;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  LARGE_INTEGER at;
  at.QuadPart = LONGLONG(start);
  NTSTATUS status = NtReadFile(file->handle, &done, nullptr, nullptr, &iosb, target, ULONG(span), &at, nullptr);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, UserMode, FALSE, nullptr);
    status = iosb.Status;
  }
  if (status == STATUS_END_OF_FILE) return 0;
  if (!NT_SUCCESS(status)) return ErrnoOf(status);
  const uint64_t read = uint64_t(iosb.Information);
  if (read <= skip) return 0;
  *got = size_t(std::min<uint64_t>(read - skip, length));
  if (file->direct) std::memcpy(buffer, target + skip, *got);
  return 0;
}

int DriverVolume::Space(DriverSpace* out) {
  FILE_FS_FULL_SIZE_INFORMATION size{};
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status = NtQueryVolumeInformationFile(volume_, &iosb, &size, sizeof size, FileFsFullSizeInformation);
  if (!NT_SUCCESS(status)) return ErrnoOf(status);
  LONGLONG attributeBytes[32]{};
  auto* attributes = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION*>(attributeBytes);
  status = NtQueryVolumeInformationFile(volume_, &iosb, attributes, sizeof attributeBytes, FileFsAttributeInformation);
  if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW) return ErrnoOf(status);
  out->blockSize = uint64_t(size.SectorsPerAllocationUnit) * size.BytesPerSector;
  out->blocks = uint64_t(size.TotalAllocationUnits.QuadPart);
  out->freeBlocks = uint64_t(size.ActualAvailableAllocationUnits.QuadPart);
  out->nameMax = uint32_t(attributes->MaximumComponentNameLength);
  return 0;
}

std::string DriverVolume::Dismount() {
  std::set<Open*> left;
  {
    std::lock_guard<std::mutex> guard(openLock_);
    left.swap(opens_);
  }
  for (Open* open : left) {
    NtClose(open->handle);
    delete open;
  }
  std::string report;
  if (const NTSTATUS locked = VolumeControl(volume_, FSCTL_LOCK_VOLUME); !NT_SUCCESS(locked)) {
    report += "the volume lock failed: status " + StatusText(locked) + "\n";
  }
  if (const NTSTATUS dismounted = VolumeControl(volume_, FSCTL_DISMOUNT_VOLUME); !NT_SUCCESS(dismounted)) {
    report += "the dismount failed: status " + StatusText(dismounted) + "\n";
  }
  NtClose(volume_);
  volume_ = nullptr;
  // The storage goes too, with the VPB a dismount left on it for a later mount.
  for (auto device = storage_.rbegin(); device != storage_.rend(); ++device) {
    HkDeleteStorage(static_cast<PDEVICE_OBJECT>(*device));
  }
  storage_.clear();
  HkWaitForWorkQueueIdle();
  const std::map<uint32_t, uint64_t> after = PoolByTag();
  for (const auto& [tag, live] : after) {
    const auto before = poolBefore_.find(tag);
    const uint64_t had = before == poolBefore_.end() ? 0 : before->second;
    if (live > had) report += "pool tag " + HkTagName(tag) + ": " + std::to_string(live - had) + " allocations left\n";
  }
  if (const size_t files = HkLiveFileObjects(); files != 0) {
    report += std::to_string(files) + " file objects still alive\n";
  }
  return report;
}
