// The file-system trees the writer builds, read back record by record: order, depth,
// inodes and their extended fields, directory records and their hashes, hard links,
// extents and holes, clones, attributes, compressed files, node versions, encryption.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <map>
#include <tuple>

#include "IndependentReader.h"
#include "ImageWriter.h"
#include "NameHash.h"
#include "TestImages.h"

namespace apfsw::testing {
namespace {

constexpr uint64_t kIdMask = 0x0FFFFFFFFFFFFFFFull;

uint64_t IdOf(const ImageInspector::Record& r) { return Le64(r.key.data()) & kIdMask; }
unsigned TypeOf(const ImageInspector::Record& r) { return static_cast<unsigned>(Le64(r.key.data()) >> 60); }

struct Volume {
  TempFolder folder;
  WriteResult result;
  std::unique_ptr<ImageInspector> image;
  std::map<uint64_t, std::vector<ImageInspector::Mapping>> omap;
  std::vector<ImageInspector::Record> records;
  ImageInspector::TreeShape shape;
  std::vector<uint8_t> superblock;

  std::vector<const ImageInspector::Record*> Find(uint64_t id, unsigned type) const {
    std::vector<const ImageInspector::Record*> found;
    for (const auto& r : records)
      if (IdOf(r) == id && TypeOf(r) == type) found.push_back(&r);
    return found;
  }
  const ImageInspector::Record& Inode(const std::string& path) const {
    return *Find(result.File(0, path).inode, 3).at(0);
  }
};

std::unique_ptr<Volume> WriteAndRead(const ContainerSpec& spec) {
  auto v = std::make_unique<Volume>();
  const std::string path = v->folder.Path("volume.apfs");
  v->result = WriteImage(spec, path);
  v->image = std::make_unique<ImageInspector>(path, spec.blockSize);
  const VolumeLayout& layout = v->result.volumes.at(0);
  v->superblock = v->image->Block(layout.superblockAddress);
  v->omap = v->image->ReadObjectMap(layout.omapAddress);
  v->records = v->image->WalkTree(
      v->omap.at(layout.rootTreeOid).back().address,
      [&](uint64_t oid) { return v->omap.at(oid).back().address; }, &v->shape);
  return v;
}

// Key order written down from the format, independently of the writer's comparator.
std::tuple<uint64_t, unsigned, uint64_t, std::string> SortKey(const ImageInspector::Record& r, bool hashed) {
  const char* k = reinterpret_cast<const char*>(r.key.data());
  switch (TypeOf(r)) {
    case 9:
      if (hashed) return {IdOf(r), 9, Le32(&r.key[8]) >> 10, std::string(k + 12, (Le32(&r.key[8]) & 0x3FF))};
      return {IdOf(r), 9, 0, std::string(k + 10, Le16(&r.key[8]))};
    case 4: return {IdOf(r), 4, 0, std::string(k + 10, Le16(&r.key[8]))};
    case 5:
    case 8: return {IdOf(r), TypeOf(r), Le64(&r.key[8]), ""};
    default: return {IdOf(r), TypeOf(r), 0, ""};
  }
}

// Extended fields of an inode value: type -> data.
std::map<uint8_t, std::vector<uint8_t>> Xfields(const std::vector<uint8_t>& value) {
  std::map<uint8_t, std::vector<uint8_t>> fields;
  if (value.size() <= 92) return fields;
  const uint16_t count = Le16(&value[92]);
  size_t data = 96 + 4 * count;
  for (uint16_t i = 0; i < count; ++i) {
    const uint8_t* h = &value[96 + 4 * i];
    fields[h[0]].assign(value.begin() + static_cast<std::ptrdiff_t>(data),
                        value.begin() + static_cast<std::ptrdiff_t>(data + Le16(h + 2)));
    data += (Le16(h + 2) + 7u) / 8 * 8;
  }
  return fields;
}

std::string NameOf(const ImageInspector::Record& drec, bool hashed) {
  const size_t offset = hashed ? 12 : 10;
  return std::string(reinterpret_cast<const char*>(&drec.key[offset]));
}

TEST(VolumeRecords, CappedNodesMakeADeepSortedTree) {
  ContainerSpec spec = OneVolume(MixedEntries());
  spec.volumes[0].nodeEntryCap = 3;
  const auto v = WriteAndRead(spec);
  EXPECT_GE(v->shape.depth, 3u);
  EXPECT_LE(v->shape.mostEntriesPerNode, 3u);
  EXPECT_EQ(v->shape.footerKeyCount, v->records.size());
  EXPECT_EQ(v->shape.nodes, v->result.volumes[0].treeNodes);
  for (size_t i = 1; i < v->records.size(); ++i)
    EXPECT_LT(SortKey(v->records[i - 1], true), SortKey(v->records[i], true)) << "record " << i;
  // Every node of the tree is in the object map, each with one version.
  EXPECT_EQ(v->omap.size(), v->shape.nodes);
}

TEST(VolumeRecords, RecordsArePackedWithoutPadding) {
  const auto v = WriteAndRead(OneVolume(MixedEntries()));
  const std::vector<uint8_t> root = v->image->Block(v->result.volumes[0].rootTreeAddress);
  EXPECT_EQ(Le32(&root[root.size() - 40]) & 0x40, 0x40u);  // flagged unaligned
  uint32_t keyEnd = 0, valueEnd = 0;
  for (uint32_t i = 0; i < Le32(&root[36]); ++i) {
    const uint8_t* toc = &root[56 + 8 * i];
    EXPECT_EQ(Le16(toc), keyEnd) << i;
    keyEnd += Le16(toc + 2);
    valueEnd += Le16(toc + 6);
    EXPECT_EQ(Le16(toc + 4), valueEnd) << i;
  }
  EXPECT_EQ(Le16(&root[44]), keyEnd);  // free space starts right after the last key
}

TEST(VolumeRecords, EmptyVolumeStillCountsIdsFromTheFirstUserId) {
  const auto v = WriteAndRead(OneVolume({}));
  EXPECT_EQ(Le64(&v->superblock[176]), 16u);
  // The root and the private directory, and their names under the pseudo-parent 1 with
  // the hashes the system's formatter gives them.
  ASSERT_EQ(v->records.size(), 4u);
  std::map<std::string, std::pair<uint64_t, uint32_t>> named;
  for (const auto& r : v->records)
    if (TypeOf(r) == 9 && IdOf(r) == 1) named[NameOf(r, true)] = {Le64(r.value.data()), Le32(&r.key[8])};
  EXPECT_EQ(named["root"], std::make_pair(uint64_t(2), 0xB671E405u));
  EXPECT_EQ(named["private-dir"], std::make_pair(uint64_t(3), 0xACA68C0Cu));
}

TEST(VolumeRecords, VolumeCountsAndIdsAreRecorded) {
  const auto v = WriteAndRead(OneVolume(MixedEntries()));
  uint64_t highest = 0;
  for (const auto& r : v->records) highest = std::max(highest, IdOf(r));
  EXPECT_EQ(Le64(&v->superblock[176]), highest + 1);  // next object id
  EXPECT_EQ(Le64(&v->superblock[184]), 16u);          // regular files (hard link counted once)
  EXPECT_EQ(Le64(&v->superblock[192]), 3u);           // directories
  EXPECT_EQ(Le64(&v->superblock[200]), 1u);           // symlinks
  EXPECT_EQ(Le64(&v->superblock[208]), 4u);           // devices, FIFO, socket
  EXPECT_EQ(Le64(&v->superblock[56]), 1u);            // case-insensitive
}

TEST(VolumeRecords, DirectoryRecordsCarryNameHashes) {
  for (const bool caseInsensitive : {true, false}) {
    ContainerSpec spec = OneVolume(MixedEntries());
    spec.volumes[0].caseInsensitive = caseInsensitive;
    const auto v = WriteAndRead(spec);
    EXPECT_EQ(Le64(&v->superblock[56]), caseInsensitive ? 1u : 8u);
    size_t checked = 0;
    for (const auto& r : v->records) {
      if (TypeOf(r) != 9) continue;
      const std::string name = NameOf(r, true);
      EXPECT_EQ(Le32(&r.key[8]) & 0x3FF, name.size() + 1);
      EXPECT_EQ(Le32(&r.key[8]) >> 10, NameHash(name, !caseInsensitive).value()) << name;
      ++checked;
    }
    EXPECT_EQ(checked, 26u);  // with "root" and "private-dir" under the pseudo-parent
  }
}

TEST(VolumeRecords, SensitiveVolumesWithoutNormalizationHaveUnhashedRecords) {
  ContainerSpec spec = OneVolume({TextFile("B", "1"), TextFile("a", "2"), TextFile("b", "3")});
  spec.volumes[0].caseInsensitive = false;
  spec.volumes[0].normalizationInsensitive = false;
  const auto v = WriteAndRead(spec);
  EXPECT_EQ(Le64(&v->superblock[56]), 0u);
  std::vector<std::string> names;
  for (const auto* r : v->Find(2, 9)) {
    EXPECT_EQ(Le16(&r->key[8]), r->key.size() - 10);
    names.push_back(NameOf(*r, false));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"B", "a", "b"}));
}

TEST(VolumeRecords, InodesHoldExtendedFieldsOrNone) {
  std::vector<Entry> entries = MixedEntries();
  entries[0].extraXfields = {{0x7F, 0x10, {1, 2, 3}}, {0x02, 0x00, {9, 9, 9, 9, 9, 9, 9, 9, 9}}};
  Entry bare = TextFile("bare", "");
  bare.bareInode = true;
  entries.push_back(bare);
  const auto v = WriteAndRead(OneVolume(entries));
  const auto hello = Xfields(v->Inode("hello.txt").value);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(hello.at(4).data())), "hello.txt");
  ASSERT_EQ(hello.at(8).size(), 40u);
  EXPECT_EQ(Le64(hello.at(8).data()), 14u);   // size
  EXPECT_EQ(Le64(&hello.at(8)[8]), 4096u);    // allocated
  EXPECT_EQ(hello.at(0x7F), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(hello.at(0x02).size(), 9u);
  EXPECT_EQ(v->Inode("bare").value.size(), 92u);
  const auto tty = Xfields(v->Inode("tty").value);
  EXPECT_EQ(Le32(tty.at(14).data()), 4u << 24 | 1);
  EXPECT_EQ(Le16(&v->Inode("tty").value[80]), 0x2000 | 0644);
  const auto& old = v->Inode("old.txt").value;
  EXPECT_EQ(static_cast<int64_t>(Le64(&old[16])), -315619200000000000);
  EXPECT_EQ(static_cast<int64_t>(Le64(&old[40])), -315619197000000000);
}

TEST(VolumeRecords, HardLinksHaveSiblingLinksAndMaps) {
  const auto v = WriteAndRead(OneVolume(MixedEntries()));
  const uint64_t inode = v->result.File(0, "hello.txt").inode;
  EXPECT_EQ(Le32(&v->Inode("hello.txt").value[56]), 2u);
  const auto links = v->Find(inode, 5);
  ASSERT_EQ(links.size(), 2u);
  std::vector<std::string> names;
  for (const auto* link : links) {
    names.push_back(reinterpret_cast<const char*>(&link->value[10]));
    const auto maps = v->Find(Le64(&link->key[8]), 12);
    ASSERT_EQ(maps.size(), 1u);
    EXPECT_EQ(Le64(maps[0]->value.data()), inode);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"again.txt", "hello.txt"}));
  size_t drecs = 0;
  for (const auto& r : v->records)
    if (TypeOf(r) == 9 && Le64(r.value.data()) == inode) {
      ++drecs;
      EXPECT_EQ(r.value.size(), 18u + 4 + 4 + 8);  // with the sibling-id field
    }
  EXPECT_EQ(drecs, 2u);
}

TEST(VolumeRecords, ExtentsHolesAndSparseTails) {
  std::vector<Entry> entries = MixedEntries();
  Entry tail = PatternFile("tail.bin", 1 << 20);
  tail.layout = {{8192, false}};
  entries.push_back(tail);
  const auto v = WriteAndRead(OneVolume(entries));
  const auto sparse = v->Find(v->result.File(0, "sparse.bin").inode, 8);  // in offset order
  ASSERT_EQ(sparse.size(), 3u);
  EXPECT_EQ(Le64(&sparse[1]->key[8]), 4096u);
  EXPECT_EQ(Le64(&sparse[1]->value[8]), 0u);  // the hole
  EXPECT_EQ(Le64(sparse[1]->value.data()) & 0x00FFFFFFFFFFFFFFull, 8192u);
  EXPECT_NE(Le64(&sparse[0]->value[8]), 0u);
  EXPECT_EQ(Le64(&sparse[2]->key[8]), 12288u);
  EXPECT_NE(Le64(&sparse[2]->value[8]), 0u);
  const auto sparseFields = Xfields(v->Inode("sparse.bin").value);
  EXPECT_EQ(Le64(sparseFields.at(13).data()), 8192u);
  const auto tailExtents = v->Find(v->result.File(0, "tail.bin").inode, 8);
  ASSERT_EQ(tailExtents.size(), 1u);
  EXPECT_EQ(Le64(Xfields(v->Inode("tail.bin").value).at(8).data()), 1u << 20);
  EXPECT_EQ(Le64(Xfields(v->Inode("tail.bin").value).at(13).data()), (1u << 20) - 8192);
  // Stamped contents at the recorded place.
  const std::vector<uint8_t> block = v->image->Block(Le64(&tailExtents[0]->value[8]) + 1);
  std::vector<uint8_t> expected(4096);
  PatternBytes(v->result.File(0, "tail.bin").inode, 4096, expected.data(), expected.size());
  EXPECT_EQ(block, expected);
}

TEST(VolumeRecords, ThousandsOfExtentsSpanSeveralLeaves) {
  Entry file = PatternFile("many-extents.bin", 3000 * 4096);
  file.extentBlocks = 1;
  const auto v = WriteAndRead(OneVolume({file}));
  const uint64_t inode = v->result.File(0, "many-extents.bin").inode;
  const auto extents = v->Find(inode, 8);
  ASSERT_EQ(extents.size(), 3000u);
  EXPECT_GT(extents.back()->leaf, extents.front()->leaf);
  for (size_t i = 1; i < extents.size(); ++i) {
    EXPECT_EQ(Le64(&extents[i]->key[8]), i * 4096);
    EXPECT_GT(Le64(&extents[i]->value[8]), Le64(&extents[i - 1]->value[8]) + 1);  // never adjacent
  }
}

TEST(VolumeRecords, ClonesShareBlocksUnderTheirOwnStream) {
  const auto v = WriteAndRead(OneVolume(MixedEntries()));
  const auto& clone = v->Inode("clone.bin").value;
  const uint64_t cloneInode = v->result.File(0, "clone.bin").inode;
  const uint64_t stream = Le64(&clone[8]);
  EXPECT_NE(stream, cloneInode);
  const auto cloneExtents = v->Find(stream, 8);
  const auto sourceExtents = v->Find(v->result.File(0, "fragmented.bin").inode, 8);
  ASSERT_EQ(cloneExtents.size(), sourceExtents.size());
  for (size_t i = 0; i < cloneExtents.size(); ++i) EXPECT_EQ(cloneExtents[i]->value, sourceExtents[i]->value);
  EXPECT_EQ(v->Find(stream, 6).size(), 1u);  // its own data-stream record
  EXPECT_EQ(Le64(&clone[48]) & 0x410, 0x410u);  // was cloned, was ever cloned
  EXPECT_EQ(Le64(&v->Inode("fragmented.bin").value[48]) & 0x410, 0x400u);
}

TEST(VolumeRecords, ExtentReferenceTreeCountsSharedBlocks) {
  const auto v = WriteAndRead(OneVolume(MixedEntries()));
  const auto references = v->image->WalkPhysicalTree(Le64(&v->superblock[144]));
  std::map<uint64_t, const ImageInspector::Record*> byBlock;
  for (const auto& r : references) {
    EXPECT_EQ(TypeOf(r), 2u);
    ASSERT_EQ(r.value.size(), 20u);
    byBlock[IdOf(r)] = &r;
  }
  const FileLocation& fragmented = v->result.File(0, "fragmented.bin");
  for (const ExtentLocation& e : fragmented.extents) {
    ASSERT_TRUE(byBlock.count(e.physicalBlock));
    const auto& value = byBlock[e.physicalBlock]->value;
    EXPECT_EQ(Le64(value.data()) & 0x0FFFFFFFFFFFFFFFull, e.length / 4096);
    EXPECT_EQ(Le64(&value[8]), fragmented.streamId);
    EXPECT_EQ(Le32(&value[16]), 2u);  // the clone shares every run
  }
  const FileLocation& large = v->result.File(0, "large.bin");
  EXPECT_EQ(Le32(&byBlock.at(large.extents.at(0).physicalBlock)->value[16]), 1u);
}

TEST(VolumeRecords, EmbeddedAndStreamAttributes) {
  const auto v = WriteAndRead(OneVolume(MixedEntries()));
  const auto xattrs = v->Find(v->result.File(0, "attributes.txt").inode, 4);
  ASSERT_EQ(xattrs.size(), 2u);
  const auto& small = *xattrs[0];
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&small.key[10])), "user.small");
  EXPECT_EQ(Le16(small.value.data()), 2u);
  EXPECT_EQ(std::string(small.value.begin() + 4, small.value.end()), "ok");
  const auto& stream = *xattrs[1];
  EXPECT_EQ(Le16(stream.value.data()), 1u);
  const uint64_t streamId = Le64(&stream.value[4]);
  EXPECT_EQ(Le64(&stream.value[12]), 6000u);
  const auto extents = v->Find(streamId, 8);
  ASSERT_EQ(extents.size(), 1u);
  EXPECT_EQ(v->image->Block(Le64(&extents[0]->value[8])), std::vector<uint8_t>(4096, 0x5A));
  const auto symlink = v->Find(v->result.File(0, "docs/up").inode, 4);
  ASSERT_EQ(symlink.size(), 1u);
  EXPECT_EQ(Le16(symlink[0]->value.data()), 6u);  // embedded, owned by the file system
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&symlink[0]->value[4])), "../hello.txt");
}

std::vector<uint8_t> Inflate(const uint8_t* data, size_t size, size_t expected) {
  std::vector<uint8_t> out(expected);
  uLongf length = expected;
  EXPECT_EQ(uncompress(out.data(), &length, data, size), Z_OK);
  out.resize(length);
  return out;
}

TEST(VolumeRecords, CompressedFilesCarryZlibData) {
  const auto v = WriteAndRead(OneVolume(MixedEntries()));
  const auto& inlineInode = v->Inode("inline.z").value;
  EXPECT_EQ(Le32(&inlineInode[68]) & 0x20, 0x20u);
  EXPECT_EQ(Le64(&inlineInode[48]) & 0x40000, 0x40000u);
  EXPECT_EQ(Le64(&inlineInode[84]), 3000u);
  const auto decmpfs = v->Find(v->result.File(0, "inline.z").inode, 4);
  ASSERT_EQ(decmpfs.size(), 1u);
  const std::vector<uint8_t>& value = decmpfs[0]->value;
  EXPECT_EQ(Le32(&value[4]), 0x636D7066u);
  EXPECT_EQ(Le32(&value[8]), 3u);
  EXPECT_EQ(Le64(&value[12]), 3000u);
  std::vector<uint8_t> expected(3000);
  PatternBytes(v->result.File(0, "inline.z").inode, 0, expected.data(), expected.size());
  EXPECT_EQ(Inflate(&value[20], value.size() - 20, 3000), expected);

  const auto& forkInode = v->Inode("fork.z").value;
  EXPECT_EQ(Le64(&forkInode[48]) & 0x40000, 0u);  // no uncompressed size recorded
  EXPECT_EQ(Le64(&forkInode[84]), 0u);
  const auto forkXattrs = v->Find(v->result.File(0, "fork.z").inode, 4);
  ASSERT_EQ(forkXattrs.size(), 2u);
  EXPECT_EQ(Le16(forkXattrs[0]->value.data()), 1u);  // "com.apple.ResourceFork", a stream, sorts first
  EXPECT_EQ(Le32(&forkXattrs[1]->value[8]), 4u);     // the header names the resource fork
}

TEST(VolumeRecords, OlderNodeVersionsStayInTheObjectMap) {
  ContainerSpec spec = OneVolume(MixedEntries());
  spec.volumes[0].nodeEntryCap = 4;
  spec.volumes[0].nodeVersions = 3;
  const auto v = WriteAndRead(spec);
  const uint64_t xid = v->result.xid;
  for (const auto& [oid, versions] : v->omap) {
    ASSERT_EQ(versions.size(), 3u) << oid;
    EXPECT_EQ(versions[0].xid, xid - 2);
    EXPECT_EQ(versions[2].xid, xid);
    const std::vector<uint8_t> older = v->image->Block(versions[0].address);
    const std::vector<uint8_t> newest = v->image->Block(versions[2].address);
    EXPECT_EQ(Le64(&older[8]), oid);
    EXPECT_EQ(Le64(&older[16]), xid - 2);
    EXPECT_LE(Le32(&older[36]), Le32(&newest[36]));
  }
  EXPECT_GE(v->shape.depth, 3u);
}

TEST(VolumeRecords, EncryptedVolumesFlagTheirMappings) {
  ContainerSpec spec = OneVolume(MixedEntries());
  spec.volumes[0].encrypted = true;
  const auto v = WriteAndRead(spec);
  for (const auto& [oid, versions] : v->omap) EXPECT_EQ(versions.back().flags, 4u) << oid;
  EXPECT_EQ(Le64(&v->superblock[264]) & 1, 0u);
}

TEST(VolumeRecords, CollidingNamesStraddleALeafBoundary) {
  const std::vector<std::string> names = FindHashCollisions("target", false, 3, "c");
  std::vector<Entry> entries = {TextFile("target", "t")};
  for (const std::string& name : names) entries.push_back(TextFile(name, name));
  ContainerSpec spec = OneVolume(entries);
  spec.volumes[0].nodeEntryCap = 2;
  const auto v = WriteAndRead(spec);
  std::set<uint64_t> leaves;
  const uint32_t hash = NameHash("target", false).value();
  for (const auto* r : v->Find(2, 9))
    if (Le32(&r->key[8]) >> 10 == hash) leaves.insert(r->leaf);
  EXPECT_GE(leaves.size(), 2u);
}

TEST(VolumeRecords, LargeDirectory) {
  Entry big = Directory("big", {});
  for (int i = 0; i < 100000; ++i) big.children.push_back(PatternFile("entry-" + std::to_string(i), 0));
  const auto v = WriteAndRead(OneVolume({big}));
  EXPECT_EQ(Le32(&v->Inode("big").value[56]), 100000u);
  EXPECT_EQ(v->Find(v->result.File(0, "big").inode, 9).size(), 100000u);
  EXPECT_GE(v->shape.depth, 2u);
}

}  // namespace
}  // namespace apfsw::testing
