#include "ApfsImage.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ApfsFormat.h"
#include "Failure.h"
#include "Unlock.h"

namespace {

// High bit of the descriptor-area length: the area is described by a tree, not contiguous.
constexpr uint32_t CHECKPOINT_AREA_NONCONTIGUOUS = 0x80000000;

bool HasContainerMagic(const uint8_t* block) { return Le32(block + NX_MAGIC) == NX_MAGIC_VALUE; }

std::string UuidText(const uint8_t* uuid) {
  char text[37];
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", uuid[0],
                uuid[1], uuid[2], uuid[3], uuid[4], uuid[5], uuid[6], uuid[7], uuid[8], uuid[9],
                uuid[10], uuid[11], uuid[12], uuid[13], uuid[14], uuid[15]);
  return text;
}

SnapshotSummary SummaryOf(const SnapshotEntry& entry) {
  SnapshotSummary s;
  s.entry = entry;
  s.xid = entry.xid;
  s.damaged = entry.damaged;
  s.name.assign(reinterpret_cast<const char*>(entry.name), entry.nameLength);
  s.createNs = entry.createTime;
  s.changeNs = entry.changeTime;
  if (entry.hasUuid) s.uuid = UuidText(entry.uuid);
  return s;
}

}  // namespace

std::string RoleName(uint16_t role) {
  struct Named {
    uint16_t value;
    const char* name;
  };
  static const Named roles[] = {
      {0, "none"},       {0x1, "system"},     {0x2, "user"},  {0x4, "recovery"},
      {0x8, "vm"},       {0x10, "preboot"},   {0x20, "installer"}, {0x40, "data"},
      {0x80, "baseband"}, {0xC0, "update"},
  };
  for (const Named& r : roles) {
    if (r.value == role) return r.name;
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", role);
  return text;
}

std::string RefusalText(const Volume& slot) {
  switch (slot.unsupported ? slot.refusal : VOLUME_READABLE) {
    case VOLUME_UNHASHED_NAMES:
      return "case- and normalisation-sensitive volume (names stored without hashes): not supported";
    case VOLUME_INDEX_TOO_HIGH:
      return "volume in slot " + std::to_string(slot.index) + ": only slots 0 to " +
             std::to_string(MAX_ID_VOLUMES - 1) + " can be read: not supported";
    case VOLUME_SEALED:
      return "sealed system volume: not supported";
    case VOLUME_CRYPTO_IN_PROGRESS:
      return "encryption or decryption in progress: not supported";
    case VOLUME_READABLE:
      break;
  }
  return "";
}

ApfsImage::ApfsImage(const std::string& path) : path_(path) {
  ContainerInit(&container_);
  try {
    OpenContainer();
    OpenSlots();
  } catch (...) {
    // The destructor does not run for a half-built object; what the engine read so far
    // is freed here.
    Release();
    throw;
  }
}

ApfsImage::~ApfsImage() { Release(); }

void ApfsImage::Release() {
  for (auto& slot : slots_) {
    if (slot == nullptr) continue;
    BTreeRelease(&slot->fs);
    BTreeRelease(&slot->omap);
  }
  slots_.clear();
  ContainerClose(&container_);
}

void ApfsImage::OpenContainer() {
  struct stat st {};
  if (stat(path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    throw ReadFailure(ExitCode::CannotOpen, EISDIR, "cannot open image: " + path_ + ": is a directory");
  }
  std::string error;
  ImageOpenOptions options;
  // Carved images declare a container longer than the file; the rest reads as zeros.
  options.zeroExtend = true;
  image_ = OpenImage(path_, options, &error);
  if (image_ == nullptr) throw ReadFailure(ExitCode::CannotOpen, EIO, "cannot open image: " + error);
  uint8_t first[MIN_BLOCK_SIZE] = {};
  if (image_->length() < NX_BLOCK_COUNT + 8 ||
      !DeviceRead(image_->device(), 0, first, std::min<uint64_t>(sizeof first, image_->length())) ||
      !HasContainerMagic(first)) {
    throw ReadFailure(ExitCode::NotApfs, EINVAL, "not an APFS container: " + path_);
  }
  if (image_->length() < sizeof first) {
    throw Corrupt("container superblock (block 0): the image is shorter than one block");
  }
  container_.crypto = OpenSslCrypto();
  if (!ContainerOpen(&container_, first, image_->device())) {
    if (container_.fusion) {
      throw ReadFailure(ExitCode::Unsupported, EOPNOTSUPP,
                        "Fusion container (it spans a second device): not supported: " + path_);
    }
    if (!BlockSizeSupported(Le32(first + NX_BLOCK_SIZE))) {
      throw Corrupt("container superblock (block 0): unsupported block size " +
                    std::to_string(Le32(first + NX_BLOCK_SIZE)));
    }
    if (!ObjectVerify(first, MIN_BLOCK_SIZE) && Le32(first + NX_BLOCK_SIZE) == MIN_BLOCK_SIZE) {
      throw Corrupt("container superblock (block 0): checksum mismatch");
    }
    throw Corrupt("container: no checkpoint whose superblock, checkpoint map and object map "
                  "can be read (truncated or damaged image)");
  }
  summary_.layout = image_->layout() == ImageLayout::GptPartition ? "gpt" : "bare";
  summary_.partitionOffset = image_->partitionOffset();
  summary_.blockSize = ContainerBlockSize(&container_);
  summary_.blockCount = ContainerBlockCount(&container_);
  summary_.freeBlocks = ContainerFreeBlocks(&container_);
  summary_.xid = ContainerXid(&container_);
  summary_.checkpoints = CountCheckpoints();
  summary_.defaultVolume = ContainerDefaultVolume(&container_);
}

// Counts the valid container superblocks in the checkpoint descriptor ring. Only blocks
// the image file stores are read, so a ring claimed to be billions of blocks long costs
// what the file holds, not what the superblock says.
uint32_t ApfsImage::CountCheckpoints() {
  const uint32_t areaBlocks = Le32(container_.latest + NX_XP_DESC_BLOCKS);
  if (areaBlocks & CHECKPOINT_AREA_NONCONTIGUOUS) return 0;
  const uint64_t base = Le64(container_.latest + NX_XP_DESC_BASE);
  const uint64_t end = base + areaBlocks;
  std::vector<uint8_t> block(container_.blockSize);
  uint32_t count = 0;
  for (uint64_t address = StoredBlockFrom(base, end); address < end;
       address = StoredBlockFrom(address + 1, end)) {
    if (ReadAtBlock(&container_, address, block.data(), block.size(), CONTAINER_INDEX) &&
        NxSuperblockCheck(&container_, block.data())) {
      count++;
    }
  }
  return count;
}

// The first block from address on, below end, that the image file holds data for; end
// when there is none. Blocks past the end of the file (a carved image served with zeros)
// or in a hole of a sparse file were never written and are passed over without reading.
uint64_t ApfsImage::StoredBlockFrom(uint64_t address, uint64_t end) const {
  const uint64_t blockSize = container_.blockSize;
  uint64_t fileOffset;
  if (address >= end || !image_->FileRange(address * blockSize, blockSize, &fileOffset)) return end;
  const off_t data = lseek(image_->fileDescriptor(), off_t(fileOffset), SEEK_DATA);
  // ENXIO: no data from here to the end of the file. Other errors (a file system that
  // cannot tell) leave the block to be read.
  if (data < 0) return errno == ENXIO ? end : address;
  const uint64_t skipped = (uint64_t(data) - fileOffset) / blockSize;
  return skipped < end - address ? address + skipped : end;
}

bool ApfsImage::slotInUse(uint32_t index) const {
  return index < container_.volumeCount && Le64(container_.latest + NX_FS_OID + 8 * index) != 0;
}

void ApfsImage::OpenSlots() {
  slots_.resize(container_.volumeCount);
  for (uint32_t i = 0; i < container_.volumeCount; i++) {
    if (!slotInUse(i)) continue;
    slots_[i] = std::make_unique<TreePair>();
    BTreeInit(&slots_[i]->omap, &container_);
    BTreeInit(&slots_[i]->fs, &container_);
    // A slot that fails keeps its encrypted and unsupported flags for the caller.
    VolumeSlotOpen(&container_, i, VolumePassword(), &slots_[i]->omap, &slots_[i]->fs);
  }
}

TreePair* ApfsImage::slotTrees(uint32_t index) {
  return index < slots_.size() ? slots_[index].get() : nullptr;
}

std::vector<VolumeSummary> ApfsImage::volumes() {
  std::vector<VolumeSummary> out;
  for (uint32_t i = 0; i < container_.volumeCount; i++) {
    if (!slotInUse(i)) continue;
    const Volume& slot = container_.volumes[i];
    VolumeSummary v;
    v.index = i;
    v.isDefault = i == summary_.defaultVolume;
    v.encrypted = slot.encrypted;
    v.encryption = EncryptionState(slot);
    v.usable = slot.open && VolumeUsable(&slot);
    v.unsupported = RefusalText(slot);
    if (slot.superblock != nullptr) {
      const char* name = reinterpret_cast<const char*>(slot.superblock + APFS_VOLNAME);
      v.name.assign(name, strnlen(name, APFS_VOLNAME_LEN));
      v.role = RoleName(Le16(slot.superblock + APFS_ROLE));
      v.caseSensitive = VolumeIsCaseSensitive(&slot);
    }
    out.push_back(v);
  }
  return out;
}

std::vector<SnapshotSummary> ApfsImage::snapshots(uint32_t index) {
  const std::string what = "volume " + std::to_string(index) + ": snapshot list unreadable";
  uint32_t count = 0;
  if (!SnapshotList(&container_, index, nullptr, 0, &count)) throw Corrupt(what);
  std::vector<SnapshotEntry> entries(count);
  if (count != 0 && !SnapshotList(&container_, index, entries.data(), count, &count)) throw Corrupt(what);
  std::vector<SnapshotSummary> out;
  for (uint32_t i = 0; i < count && i < entries.size(); i++) out.push_back(SummaryOf(entries[i]));
  return out;
}
