#include "ImageWriter.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "BTreeBuilder.h"
#include "Object.h"
#include "OnDisk.h"
#include "SpaceManager.h"
#include "TreeSinks.h"
#include "VolumeWriter.h"
#include "WriteContext.h"

namespace apfsw {

namespace {

constexpr uint32_t kEphemeralMinBlockCount = 8;
constexpr uint32_t kMaxFileSystemEphemeralStructs = 4;
constexpr uint32_t kEphemeralInfoVersion = 1;
constexpr uint64_t kMinimumBlocks = 4096;

// Counts nodes without writing them: used to size the checkpoint areas before the
// ephemeral trees' contents are known.
class CountingSink : public NodeSink {
 public:
  NodePlacement Place(uint16_t, bool) override { return {++count, 0, count}; }
  void Emit(const NodePlacement&, std::vector<uint8_t>&, std::span<const TreeRecord>, uint16_t) override {}
  uint64_t count = 0;
};

TreeShape FreeQueueShape(const ContainerSpec& spec, uint64_t xid) {
  TreeShape shape;
  shape.blockSize = spec.blockSize;
  shape.subtype = TYPE_SPACEMAN_FREE_QUEUE;
  shape.storage = OBJ_EPHEMERAL;
  shape.treeFlags = BTREE_EPHEMERAL | BTREE_ALLOW_GHOSTS;
  shape.fixedSize = true;
  shape.keySize = 16;
  shape.leafValueSize = 8;
  shape.entryCap = spec.freeQueueEntryCap;
  shape.xid = xid;
  return shape;
}

// Free-queue records: (block, transaction freed in) -> run length.
struct FreeQueueRecords {
  std::vector<uint8_t> bytes;
  std::vector<TreeRecord> records;
};

FreeQueueRecords MakeFreeQueueRecords(uint64_t firstBlock, uint64_t count, uint64_t xid) {
  FreeQueueRecords q;
  q.bytes.assign(count * 24, 0);
  for (uint64_t i = 0; i < count; ++i) {
    uint8_t* key = q.bytes.data() + 24 * i;
    Put64(key, firstBlock + i);
    Put64(key + 8, xid);
    Put64(key + 16, 1);
    q.records.push_back({key, 16, key + 16, 8});
  }
  return q;
}

uint64_t EstimateEntryBlocks(const Entry& e, uint32_t bs, uint64_t& entries) {
  ++entries;
  uint64_t blocks = DivRoundUp(e.size, bs) + 1;
  if (e.extentBlocks != 0) blocks += DivRoundUp(e.size, uint64_t(bs) * e.extentBlocks);
  for (const XattrSpec& x : e.xattrs) blocks += DivRoundUp(x.value.size(), bs);
  for (const Entry& child : e.children) blocks += EstimateEntryBlocks(child, bs, entries);
  return blocks;
}

// Enough blocks for the contents, generously: the image is sparse, so room costs nothing.
uint64_t EstimateBlockCount(const ContainerSpec& spec, uint64_t fixedEnd) {
  const uint32_t bs = spec.blockSize;
  uint64_t blocks = std::max({fixedEnd, spec.allocationStart, OID_RESERVED_COUNT});
  for (const VolumeSpec& v : spec.volumes) {
    uint64_t entries = 0;
    blocks += EstimateEntryBlocks(v.root, bs, entries);
    const uint64_t perNode = v.nodeEntryCap != 0 ? std::max<uint64_t>(1, v.nodeEntryCap / 2) : bs / 512;
    blocks += (entries * 6 / perNode + 16) * v.nodeVersions * 2 + 64;
  }
  blocks += spec.freeQueueEntries;
  return std::max(kMinimumBlocks, blocks + blocks / 4 + 1024);
}

void Validate(const ContainerSpec& spec) {
  const uint32_t bs = spec.blockSize;
  if (bs < 4096 || bs > 65536 || (bs & (bs - 1)) != 0)
    throw std::runtime_error("block size must be a power of two from 4096 to 65536");
  if (spec.volumes.empty() || spec.volumes.size() > NX_MAX_FILE_SYSTEMS)
    throw std::runtime_error("a container holds 1 to 100 volumes");
  const CheckpointSpec& c = spec.checkpoints;
  if (c.count == 0) throw std::runtime_error("at least one checkpoint");
  if (c.block0 >= static_cast<int32_t>(c.count)) throw std::runtime_error("block0 names no checkpoint");
  if (c.mapBlocks == 0) throw std::runtime_error("a checkpoint has at least one map block");
}

class ContainerBuilder {
 public:
  ContainerBuilder(const ContainerSpec& spec, const std::string& path)
      : spec_(spec), bs_(spec.blockSize), image_(path, spec.blockSize) {}
  WriteResult Build();

 private:
  void PlanCheckpoints();
  struct Ephemeral {
    std::string name;
    uint64_t oid;
    uint32_t type;
    uint32_t subtype;
    std::vector<uint8_t> bytes;
  };
  std::vector<Ephemeral> EphemeralObjects(const SpacemanObject& spaceman,
                                          const std::vector<EphemeralSink::Node>& queueNodes) const;
  void WriteCheckpoints(WriteContext& context, const std::vector<Ephemeral>& ephemerals);
  std::vector<uint8_t> MapBlock(uint64_t address, uint64_t xid, bool last,
                                const std::vector<std::vector<uint8_t>>& entries) const;
  std::vector<uint8_t> ContainerSuperblock(uint64_t xid, uint32_t descIndex, uint32_t dataIndex) const;
  std::vector<uint8_t> Reaper(uint64_t oid, uint64_t xid) const;
  uint64_t WriteKeybag(WriteContext& context);
  uint64_t WriteEncryptedKeybag(WriteContext& context, const std::vector<KeybagEntry>& entries);
  std::vector<uint8_t> Uuid() const;
  bool SoftwareCrypto() const;

  const ContainerSpec& spec_;
  uint32_t bs_;
  ImageFile image_;
  WriteResult result_;
  uint64_t xid_ = 0;
  uint32_t ephemeralCount_ = 0;   // ephemeral objects of each checkpoint
  uint32_t mapBlocks_ = 0;
  uint32_t descBlocks_ = 0, dataBlocks_ = 0;
  uint64_t descBase_ = 1, dataBase_ = 0;
  uint64_t blockCount_ = 0;
  uint64_t spacemanOid_ = 0, reaperOid_ = 0, omapAddress_ = 0, nextOid_ = 0;
  BlockRange keybag_;
  std::vector<uint64_t> volumeOids_;
};

void ContainerBuilder::PlanCheckpoints() {
  const CheckpointSpec& c = spec_.checkpoints;
  uint32_t maxVersions = 1;
  for (const VolumeSpec& v : spec_.volumes) maxVersions = std::max(maxVersions, v.nodeVersions);
  xid_ = spec_.xid != 0 ? spec_.xid : 16 + c.count + maxVersions;
  if (xid_ < c.count + 1) throw std::runtime_error("xid too small for the checkpoints");

  CountingSink counter;
  const FreeQueueRecords probe = MakeFreeQueueRecords(0, spec_.freeQueueEntries, 0);
  BuildTree(probe.records, FreeQueueShape(spec_, xid_), counter);
  // Space manager, reaper, the internal pool's empty free queue, the main free queue.
  ephemeralCount_ = 3 + static_cast<uint32_t>(counter.count);
  const uint32_t perMapBlock = static_cast<uint32_t>((bs_ - CPM_HEADER_SIZE) / CPM_ENTRY_SIZE);
  mapBlocks_ = std::max(c.mapBlocks, static_cast<uint32_t>(DivRoundUp(ephemeralCount_, perMapBlock)));
  const uint32_t length = mapBlocks_ + 1;
  descBlocks_ = c.ringBlocks != 0 ? c.ringBlocks : std::max<uint32_t>(8, 2 * c.count * length);
  if (descBlocks_ < length) throw std::runtime_error("checkpoint ring shorter than one checkpoint");
  if (c.firstIndex >= descBlocks_) throw std::runtime_error("checkpoint firstIndex beyond the ring");
  dataBlocks_ = std::max<uint32_t>(16, ephemeralCount_ * (c.count + 1));
  dataBase_ = descBase_ + descBlocks_;
}

std::vector<uint8_t> ContainerBuilder::Reaper(uint64_t oid, uint64_t xid) const {
  constexpr size_t kStateBufferOffset = 112;
  std::vector<uint8_t> block(bs_, 0);
  SetObjectHeader(block.data(), oid, xid, TYPE_NX_REAPER | OBJ_EPHEMERAL, 0);
  Put64(block.data() + 32, 1);  // next reap id
  Put32(block.data() + 64, NR_BHM_FLAG);
  Put32(block.data() + 108, static_cast<uint32_t>(bs_ - kStateBufferOffset));
  return block;
}

uint64_t ContainerBuilder::WriteKeybag(WriteContext& context) {
  const uint64_t address = context.allocator.Allocate(1);
  std::vector<uint8_t> block(bs_, 0);
  SetObjectHeader(block.data(), address, xid_, TYPE_CONTAINER_KEYBAG | OBJ_PHYSICAL, 0);
  Put16(block.data() + 32, 2);   // keybag version, no keys
  Put32(block.data() + 36, 16);  // bytes of the (empty) key list and its header
  SealObject(block.data(), block.size());
  image_.WriteBlock(address, block);
  context.Note("keybag", address, address, TYPE_CONTAINER_KEYBAG | OBJ_PHYSICAL);
  return address;
}

// The keybag of a container with encrypted volumes: their keys and where their own
// keybags are, encrypted with the container's UUID.
uint64_t ContainerBuilder::WriteEncryptedKeybag(WriteContext& context, const std::vector<KeybagEntry>& entries) {
  const uint64_t address = context.allocator.Allocate(1);
  image_.WriteBlock(address, KeybagBlock(bs_, address, xid_, TYPE_CONTAINER_KEYBAG, Uuid(), entries));
  context.Note("keybag", address, 0, TYPE_CONTAINER_KEYBAG);
  return address;
}

// Whether some volume is encrypted with a password, its keys in the container's keybag.
bool ContainerBuilder::SoftwareCrypto() const {
  return std::any_of(result_.volumes.begin(), result_.volumes.end(),
                     [](const VolumeLayout& v) { return !v.keybagEntries.empty(); });
}

std::vector<uint8_t> ContainerBuilder::Uuid() const { return spec_.uuid ? *spec_.uuid : SeededUuid(spec_.seed, 0); }

std::vector<uint8_t> ContainerBuilder::ContainerSuperblock(uint64_t xid, uint32_t descIndex,
                                                           uint32_t dataIndex) const {
  std::vector<uint8_t> block(bs_, 0);
  uint8_t* b = block.data();
  SetObjectHeader(b, OID_NX_SUPERBLOCK, xid, TYPE_NX_SUPERBLOCK | OBJ_EPHEMERAL, 0);
  Put32(b + nx::MAGIC, NX_MAGIC);
  Put32(b + nx::BLOCK_SIZE, bs_);
  Put64(b + nx::BLOCK_COUNT, blockCount_);
  Put64(b + nx::INCOMPAT, NX_INCOMPAT_VERSION2 | (spec_.fusion ? NX_INCOMPAT_FUSION : 0));
  std::memcpy(b + nx::UUID, Uuid().data(), 16);
  if (spec_.fusion) std::memcpy(b + nx::FUSION_UUID, SeededUuid(spec_.seed, 1).data(), 16);
  Put64(b + nx::NEXT_OID, nextOid_);
  Put64(b + nx::NEXT_XID, xid + 1);
  Put32(b + nx::XP_DESC_BLOCKS, descBlocks_);
  Put32(b + nx::XP_DATA_BLOCKS, dataBlocks_);
  Put64(b + nx::XP_DESC_BASE, descBase_);
  Put64(b + nx::XP_DATA_BASE, dataBase_);
  Put32(b + nx::XP_DESC_NEXT, (descIndex + mapBlocks_ + 1) % descBlocks_);
  Put32(b + nx::XP_DATA_NEXT, (dataIndex + ephemeralCount_) % dataBlocks_);
  Put32(b + nx::XP_DESC_INDEX, descIndex);
  Put32(b + nx::XP_DESC_LEN, mapBlocks_ + 1);
  Put32(b + nx::XP_DATA_INDEX, dataIndex);
  Put32(b + nx::XP_DATA_LEN, ephemeralCount_);
  Put64(b + nx::SPACEMAN_OID, spacemanOid_);
  Put64(b + nx::OMAP_OID, omapAddress_);
  Put64(b + nx::REAPER_OID, reaperOid_);
  const uint64_t bySize = DivRoundUp(blockCount_ * bs_, NX_CONTAINER_SIZE_PER_VOLUME);
  const uint64_t maxVolumes = std::clamp<uint64_t>(bySize, spec_.volumes.size(), NX_MAX_FILE_SYSTEMS);
  Put32(b + nx::MAX_FILE_SYSTEMS, static_cast<uint32_t>(maxVolumes));
  for (size_t i = 0; i < volumeOids_.size(); ++i) Put64(b + nx::FS_OID + 8 * i, volumeOids_[i]);
  if (SoftwareCrypto()) Put64(b + nx::FLAGS, NX_CRYPTO_SW);
  Put64(b + nx::KEYLOCKER, keybag_.start);
  Put64(b + nx::KEYLOCKER + 8, keybag_.count);
  Put64(b + nx::EPHEMERAL_INFO, uint64_t(kEphemeralMinBlockCount) << 32 |
                                    kMaxFileSystemEphemeralStructs << 16 | kEphemeralInfoVersion);
  SealObject(b, block.size());
  return block;
}



std::vector<ContainerBuilder::Ephemeral> ContainerBuilder::EphemeralObjects(
    const SpacemanObject& spaceman, const std::vector<EphemeralSink::Node>& queueNodes) const {
  std::vector<Ephemeral> objects;
  objects.push_back({"spaceman", spacemanOid_, TYPE_SPACEMAN | OBJ_EPHEMERAL, 0, spaceman.block});
  objects.push_back({"reaper", reaperOid_, TYPE_NX_REAPER | OBJ_EPHEMERAL, 0, Reaper(reaperOid_, xid_)});
  for (size_t i = 0; i < queueNodes.size(); ++i)
    objects.push_back({"freequeue.node[" + std::to_string(i) + "]", queueNodes[i].oid,
                       Get32(queueNodes[i].bytes.data() + 24), TYPE_SPACEMAN_FREE_QUEUE,
                       queueNodes[i].bytes});
  return objects;
}

std::vector<uint8_t> ContainerBuilder::MapBlock(uint64_t address, uint64_t xid, bool last,
                                                const std::vector<std::vector<uint8_t>>& entries) const {
  std::vector<uint8_t> block(bs_, 0);
  SetObjectHeader(block.data(), address, xid, TYPE_CHECKPOINT_MAP | OBJ_PHYSICAL, 0);
  Put32(block.data() + 32, last ? CHECKPOINT_MAP_LAST : 0);
  Put32(block.data() + 36, static_cast<uint32_t>(entries.size()));
  for (size_t i = 0; i < entries.size(); ++i)
    std::memcpy(block.data() + CPM_HEADER_SIZE + i * CPM_ENTRY_SIZE, entries[i].data(), CPM_ENTRY_SIZE);
  SealObject(block.data(), block.size());
  return block;
}

void ContainerBuilder::WriteCheckpoints(WriteContext& context, const std::vector<Ephemeral>& ephemerals) {
  const CheckpointSpec& c = spec_.checkpoints;
  const uint32_t length = mapBlocks_ + 1;
  const uint32_t block0Checkpoint = c.block0 < 0 ? c.count - 1 : static_cast<uint32_t>(c.block0);
  std::vector<int64_t> ringOwner(descBlocks_, -1);
  std::vector<uint8_t> block0;
  const size_t perMapBlock = DivRoundUp(ephemerals.size(), mapBlocks_);
  for (uint32_t k = 0; k < c.count; ++k) {
    const uint64_t xid = xid_ - (c.count - 1 - k);
    const uint32_t descIndex = static_cast<uint32_t>((uint64_t(c.firstIndex) + uint64_t(k) * length) % descBlocks_);
    const uint32_t dataIndex = static_cast<uint32_t>((uint64_t(k) * ephemeralCount_) % dataBlocks_);
    const std::string prefix = "checkpoint[" + std::to_string(k) + "]";
    const bool newest = k + 1 == c.count;
    std::vector<std::vector<uint8_t>> entries;
    for (size_t j = 0; j < ephemerals.size(); ++j) {
      const Ephemeral& e = ephemerals[j];
      const uint64_t address = dataBase_ + (dataIndex + j) % dataBlocks_;
      std::vector<uint8_t> bytes = e.bytes;
      Put64(bytes.data() + 16, xid);
      SealObject(bytes.data(), bytes.size());
      image_.WriteBlock(address, bytes);
      if (newest) context.Note(e.name, address, e.oid, e.type);
      std::vector<uint8_t> entry(CPM_ENTRY_SIZE, 0);
      Put32(entry.data(), e.type);
      Put32(entry.data() + 4, e.subtype);
      Put32(entry.data() + 8, bs_);
      Put64(entry.data() + 24, e.oid);
      Put64(entry.data() + 32, address);
      entries.push_back(std::move(entry));
    }
    for (uint32_t m = 0; m < mapBlocks_; ++m) {
      const uint32_t slot = (descIndex + m) % descBlocks_;
      const size_t first = std::min(entries.size(), m * perMapBlock);
      const size_t end = std::min(entries.size(), first + perMapBlock);
      const std::vector<std::vector<uint8_t>> part(entries.begin() + first, entries.begin() + end);
      image_.WriteBlock(descBase_ + slot, MapBlock(descBase_ + slot, xid, m + 1 == mapBlocks_, part));
      ringOwner[slot] = k;
      context.Note(prefix + ".map[" + std::to_string(m) + "]", descBase_ + slot, descBase_ + slot,
                   TYPE_CHECKPOINT_MAP | OBJ_PHYSICAL);
    }
    const uint32_t superSlot = (descIndex + mapBlocks_) % descBlocks_;
    const std::vector<uint8_t> superblock = ContainerSuperblock(xid, descIndex, dataIndex);
    image_.WriteBlock(descBase_ + superSlot, superblock);
    ringOwner[superSlot] = k;
    context.Note(prefix + ".superblock", descBase_ + superSlot, OID_NX_SUPERBLOCK,
                 TYPE_NX_SUPERBLOCK | OBJ_EPHEMERAL);
    if (newest) context.Note("superblock", descBase_ + superSlot, OID_NX_SUPERBLOCK,
                             TYPE_NX_SUPERBLOCK | OBJ_EPHEMERAL);
    if (k == block0Checkpoint) block0 = superblock;
  }
  const uint32_t block0Start = static_cast<uint32_t>((uint64_t(c.firstIndex) + uint64_t(block0Checkpoint) * length) % descBlocks_);
  for (uint32_t i = 0; i < length; ++i)
    if (ringOwner[(block0Start + i) % descBlocks_] != block0Checkpoint)
      throw std::runtime_error("the checkpoint copied to block 0 was overwritten in the ring");
  image_.WriteBlock(0, block0);
  context.Note("block0", 0, OID_NX_SUPERBLOCK, TYPE_NX_SUPERBLOCK | OBJ_EPHEMERAL);
}

WriteResult ContainerBuilder::Build() {
  Validate(spec_);
  PlanCheckpoints();
  const uint64_t fixedEnd = dataBase_ + dataBlocks_;
  blockCount_ = spec_.blockCount != 0 ? spec_.blockCount : EstimateBlockCount(spec_, fixedEnd);
  if (blockCount_ > 0xFFFFFFFFull) throw std::runtime_error("more than 2^32 - 1 blocks");
  const SpacemanGeometry geometry = PlanSpaceman(bs_, blockCount_, fixedEnd);
  // Physical objects get ids equal to their addresses, and ids below the reserved count
  // are not for objects of the trees: metadata and data start above them.
  const uint64_t firstFree = std::max({geometry.End(), spec_.allocationStart, OID_RESERVED_COUNT});
  if (firstFree >= blockCount_) throw std::runtime_error("blockCount too small for the fixed areas");
  BlockAllocator allocator(blockCount_, firstFree);
  allocator.Reserve(0, 1);
  allocator.Reserve(descBase_, descBlocks_);
  allocator.Reserve(dataBase_, dataBlocks_);
  allocator.Reserve(geometry.ipBitmapBase, geometry.End() - geometry.ipBitmapBase);
  WriteContext context{image_, allocator, bs_, xid_, spec_.seed, spec_.baseTime, OID_RESERVED_COUNT,
                       result_.objects};
  spacemanOid_ = context.NewOid();
  reaperOid_ = context.NewOid();

  std::vector<OmapEntry> volumeMappings;
  for (size_t i = 0; i < spec_.volumes.size(); ++i) {
    VolumeLayout layout = WriteVolume(context, spec_.volumes[i], static_cast<uint32_t>(i), spec_.omapEntryCap);
    volumeOids_.push_back(layout.superblockOid);
    volumeMappings.push_back({layout.superblockOid, xid_, 0, layout.superblockAddress});
    result_.volumes.push_back(std::move(layout));
  }
  omapAddress_ = WriteObjectMap(context, volumeMappings, spec_.omapEntryCap, OMAP_MANUALLY_MANAGED,
                                "container.omap");
  std::vector<KeybagEntry> keys;
  for (const VolumeLayout& volume : result_.volumes)
    keys.insert(keys.end(), volume.keybagEntries.begin(), volume.keybagEntries.end());
  if (SoftwareCrypto()) {
    keybag_ = {WriteEncryptedKeybag(context, keys), 1};
  } else if (spec_.keybag) {
    keybag_ = {WriteKeybag(context), 1};
  }

  // Blocks freed in the previous transaction, waiting on the main free queue.
  const uint64_t freedFirst = spec_.freeQueueEntries ? allocator.Allocate(spec_.freeQueueEntries) : 0;
  const FreeQueueRecords freed = MakeFreeQueueRecords(freedFirst, spec_.freeQueueEntries, xid_ - 1);
  EphemeralSink queueSink(context);
  const BuiltTree ipQueue = BuildTree({}, FreeQueueShape(spec_, xid_), queueSink);
  const BuiltTree mainQueue = BuildTree(freed.records, FreeQueueShape(spec_, xid_), queueSink);
  const FreeQueueState queues[2] = {
      {ipQueue.root.oid, 0, 0, 1},
      {mainQueue.root.oid, spec_.freeQueueEntries, spec_.freeQueueEntries ? xid_ - 1 : 0,
       static_cast<uint16_t>(std::max<uint64_t>(mainQueue.nodeCount, 1))}};
  const SpacemanObject spaceman = WriteSpaceman(context, geometry, allocator.UsedRanges(), spacemanOid_, queues);
  nextOid_ = context.nextOid;
  WriteCheckpoints(context, EphemeralObjects(spaceman, queueSink.Nodes()));
  image_.Finish(blockCount_);

  result_.blockSize = bs_;
  result_.blockCount = blockCount_;
  result_.xid = xid_;
  result_.freeBlocks = spaceman.freeBlocks;
  return std::move(result_);
}

}  // namespace

WriteResult WriteImage(const ContainerSpec& spec, const std::string& imagePath) {
  return ContainerBuilder(spec, imagePath).Build();
}

const ObjectLocation& WriteResult::Object(const std::string& name) const {
  for (const ObjectLocation& o : objects)
    if (o.name == name) return o;
  throw std::runtime_error("no object named " + name);
}

const FileLocation& WriteResult::File(size_t volume, const std::string& path) const {
  for (const FileLocation& f : volumes.at(volume).files)
    if (f.path == path) return f;
  throw std::runtime_error("no file " + path);
}

uint64_t MixSeed(uint64_t seed, uint64_t salt) {
  uint64_t z = seed * 0x9E3779B97F4A7C15ull + salt + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::vector<uint8_t> SeededUuid(uint64_t seed, uint64_t salt) {
  std::vector<uint8_t> uuid(16);
  Put64(uuid.data(), MixSeed(seed, 2 * salt));
  Put64(uuid.data() + 8, MixSeed(seed, 2 * salt + 1));
  uuid[6] = static_cast<uint8_t>((uuid[6] & 0x0F) | 0x40);  // version 4 layout
  uuid[8] = static_cast<uint8_t>((uuid[8] & 0x3F) | 0x80);
  return uuid;
}

}  // namespace apfsw
