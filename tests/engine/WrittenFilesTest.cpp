// Files, names, directories, extents and attributes written by our image writer, read
// back through lookups, listings and extent lookups.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "ApfsFormat.h"
#include "ImageWriter.h"
#include "MountedImage.h"
#include "NameHash.h"
#include "Patch.h"

namespace {

namespace fs = std::filesystem;
using apfsw::Entry;
using apfsw::EntryKind;

Entry File(const std::string& name, uint64_t size = 10) {
  Entry e;
  e.name = name;
  e.size = size;
  return e;
}

Entry Of(EntryKind kind, const std::string& name) {
  Entry e;
  e.name = name;
  e.kind = kind;
  return e;
}

Entry Dir(const std::string& name, std::vector<Entry> children = {}) {
  Entry e = apfsw::DirectoryEntry(name);
  e.children = std::move(children);
  return e;
}

// Writes a one-volume image of the given root entries and opens it.
struct Volume : ::testing::Test {
  fs::path dir;
  std::string path;
  apfsw::WriteResult layout;
  apfsw::ContainerSpec spec;
  std::unique_ptr<MountedImage> m;

  void SetUp() override {
    dir = fs::temp_directory_path() / ("quadrel-files-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
    path = (dir / "image.img").string();
    spec.volumes.resize(1);
    spec.volumes[0].name = "Files";
  }
  void TearDown() override {
    m.reset();
    fs::remove_all(dir);
  }
  apfsw::VolumeSpec& V() { return spec.volumes[0]; }
  void Open(std::vector<Entry> children) {
    V().root.children = std::move(children);
    layout = apfsw::WriteImage(spec, path);
    m = std::make_unique<MountedImage>(path);
    ASSERT_TRUE(m->volumeOpen);
  }
  // FileInfo of a path, or nothing.
  std::optional<FileInfo> Stat(const std::string& p) {
    const size_t slash = p.rfind('/');
    FsNode* parent = m->Lookup(slash == std::string::npos ? "" : p.substr(0, slash));
    if (parent == nullptr) return std::nullopt;
    const std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
    FsNode* node = nullptr;
    FileInfo info;
    bool notFound = false;
    const bool found = FsLookup(parent, reinterpret_cast<const uint8_t*>(name.data()),
                                uint32_t(name.size()), &node, &info, &m->fsTree, &notFound);
    EXPECT_TRUE(found || notFound) << "a lookup of " << p << " failed with an error";
    FsNodeRelease(node);
    FsNodeRelease(parent);
    if (!found) return std::nullopt;
    return info;
  }
  std::vector<uint8_t> Contents(const std::string& p, uint64_t size) {
    FsNode* node = m->Lookup(p);
    EXPECT_NE(node, nullptr) << p;
    std::vector<uint8_t> data;
    if (node != nullptr) {
      EXPECT_TRUE(m->ReadFile(node->inode, size, &data)) << p;
    }
    FsNodeRelease(node);
    return data;
  }
  std::vector<std::string> Names(const std::string& p) {
    FsNode* node = m->Lookup(p);
    std::vector<FileInfo> entries;
    EXPECT_TRUE(node != nullptr && m->List(node, &entries));
    FsNodeRelease(node);
    std::vector<std::string> names;
    for (const FileInfo& e : entries) names.emplace_back(reinterpret_cast<const char*>(e.name));
    return names;
  }
};

TEST_F(Volume, CaseInsensitiveLookupsFoldCaseAndSensitiveOnesDoNot) {
  for (bool insensitive : {true, false}) {
    SCOPED_TRACE(insensitive);
    V().caseInsensitive = insensitive;
    Open({File("ReadMe.TXT"), File("stra\xC3\x9F" "e"), File("\xC3\x89t\xC3\xA9")});
    EXPECT_TRUE(Stat("ReadMe.TXT"));
    EXPECT_EQ(Stat("readme.txt").has_value(), insensitive);
    EXPECT_EQ(Stat("STRA\xC3\x9F" "E").has_value(), insensitive);
    EXPECT_FALSE(Stat("STRASSE")) << "names compare without expanding sharp s";
    EXPECT_EQ(Stat("\xC3\xA9T\xC3\x89").has_value(), insensitive);
  }
}

TEST_F(Volume, NamesOfEveryKindAreFoundAsStored) {
  const std::string longest(255, 'n');
  const std::vector<std::string> names = {
      "plain", "caf\xC3\xA9", "cafe\xCC\x81" "2", "\xED\x95\x9C\xEA\xB8\x80",  // Hangul
      "\xF0\x9F\x98\x80 smile", "with space", longest, "\xCF\x91\xCE\xB8"};
  std::vector<Entry> files;
  for (const std::string& n : names) files.push_back(File(n));
  Open(files);
  for (const std::string& n : names) EXPECT_TRUE(Stat(n)) << n;
  EXPECT_FALSE(Stat("cafe\xCC\x81")) << "a decomposed request does not find a precomposed name";
  EXPECT_FALSE(Stat("caf\xC3\xA9" "2"));
  for (const std::string& bad : {std::string("."), std::string(".."), std::string(""),
                                 std::string(256, 'n'), std::string("a\xC0\xAF")}) {
    EXPECT_FALSE(Stat(bad)) << bad;
  }
  std::vector<std::string> listed = Names("");
  std::sort(listed.begin(), listed.end());
  std::vector<std::string> expected = names;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed, expected);
}

TEST_F(Volume, NamesSharingAHashAreAllFound) {
  V().nodeEntryCap = 3;  // so the colliding records straddle leaves
  const std::vector<std::string> colliding = apfsw::FindHashCollisions("anchor", false, 6, "c");
  ASSERT_EQ(colliding.size(), 6u);
  std::vector<Entry> files = {File("anchor")};
  for (const std::string& n : colliding) files.push_back(File(n, n.size()));
  for (int i = 0; i < 12; i++) files.push_back(File("filler" + std::to_string(i)));
  Open(files);
  uint32_t anchorHash;
  ASSERT_TRUE(NameHash(reinterpret_cast<const uint8_t*>("anchor"), 6, false, &anchorHash));
  for (const std::string& n : colliding) {
    uint32_t hash;
    ASSERT_TRUE(NameHash(reinterpret_cast<const uint8_t*>(n.data()), uint32_t(n.size()), false, &hash));
    EXPECT_EQ(hash, anchorHash) << n;
    const auto info = Stat(n);
    ASSERT_TRUE(info) << n;
    EXPECT_EQ(info->fileSize, n.size());
  }
  EXPECT_TRUE(Stat("anchor"));
  EXPECT_FALSE(Stat(colliding[0] + "x"));
}

TEST_F(Volume, EveryFileTypeHasItsAttributesAndDeviceNumbers) {
  Entry chr = Of(EntryKind::CharDevice, "tty");
  chr.rdev = 0x05000001;  // major 5, minor 1
  Entry blk = Of(EntryKind::BlockDevice, "disk");
  blk.rdev = 0x01123456;
  Entry link = Of(EntryKind::Symlink, "link");
  link.target = "dir/file";
  Open({Dir("dir", {File("file", 5000)}), File("regular", 3), link, Of(EntryKind::Fifo, "fifo"),
        Of(EntryKind::Socket, "socket"), chr, blk});
  const auto attributes = [&](const char* p) { return Stat(p)->attributes & 0xFFFF; };
  EXPECT_EQ(attributes("dir"), 0x10u);
  EXPECT_EQ(attributes("regular"), 0u);
  EXPECT_EQ(attributes("link"), 0x400u);
  EXPECT_EQ(attributes("fifo"), 0x4u);
  EXPECT_EQ(attributes("socket"), 0x4u);
  EXPECT_EQ(attributes("tty"), 0x4u);
  EXPECT_EQ(Stat("dir")->attributes & 0x01000000u, 0x01000000u) << "child count valid";
  EXPECT_EQ(Stat("dir")->childCount, 1u);
  EXPECT_EQ(Stat("regular")->attributes & 0x88000000u, 0x88000000u);
  EXPECT_EQ(Stat("tty")->deviceNumber, (0x00000001u) | (5u << 8));
  EXPECT_EQ(Stat("disk")->deviceNumber, ((0x01123456u & 0xFFFFFF00u) << 12) | (1u << 8) | 0x56u);
  EXPECT_EQ(Stat("regular")->deviceNumber, 0u);
  EXPECT_EQ(Stat("link")->fileSize, 9u) << "the target and its zero";
  FsNode* node = m->Lookup("link");
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(m->SymlinkTarget(node->inode), "dir/file");
  FsNodeRelease(node);
}

TEST_F(Volume, HardLinksShareOneInode) {
  Entry link = Of(EntryKind::HardLink, "second");
  link.target = "dir/first";
  Open({Dir("dir", {File("first", 6000)}), link});
  const auto first = Stat("dir/first");
  const auto second = Stat("second");
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->objectId, second->objectId);
  EXPECT_EQ(first->linkCount, 2);
  EXPECT_EQ(Contents("second", 6000), Contents("dir/first", 6000));
}

TEST_F(Volume, ClonesReadTheirDataStreamUnderItsOwnId) {
  Entry clone = File("clone", 20000);
  clone.cloneOf = "original";
  Open({File("original", 20000), clone});
  const apfsw::FileLocation& c = layout.File(0, "clone");
  EXPECT_NE(c.streamId, c.inode);
  const std::vector<uint8_t> expected = apfsw::ExpectedContents(V().root.children[0], layout.File(0, "original").inode);
  EXPECT_EQ(Contents("clone", 20000), expected);
}

TEST_F(Volume, ExtentsAreFoundOffsetByOffset) {
  Entry two = File("two", 12288);
  two.extentBlocks = 2;  // 8192 bytes, then 4096
  Entry many = File("many", 4096 * 2500);
  many.extentBlocks = 1;
  Entry holes = File("holes", 4096 * 6);
  holes.layout = {{4096, false}, {8192, true}, {4096, false}};  // the rest is a sparse tail
  Entry gap = File("gap", 4096 * 4);
  gap.layout = {{4096, false}, {4096, true}, {8192, false}};
  Open({two, many, holes, gap});

  FsNode* node = m->Lookup("two");
  ASSERT_NE(node, nullptr);
  uint64_t phys, length;
  ASSERT_TRUE(FileExtentLookup(node->inode, 0, &phys, &length, &m->fsTree));
  EXPECT_EQ(length, 8192u);
  EXPECT_EQ(phys, layout.File(0, "two").extents[0].physicalBlock * 4096);
  EXPECT_FALSE(FileExtentLookup(node->inode, 4096, &phys, &length, &m->fsTree))
      << "no extent starts inside the first";
  ASSERT_TRUE(FileExtentLookup(node->inode, 8192, &phys, &length, &m->fsTree));
  EXPECT_EQ(length, 4096u);
  EXPECT_FALSE(FileExtentLookup(node->inode, 12288, &phys, &length, &m->fsTree));
  FsNodeRelease(node);

  for (const char* name : {"many", "holes"}) {
    const Entry& spec = name == std::string("many") ? many : holes;
    EXPECT_EQ(Contents(name, spec.size), apfsw::ExpectedContents(spec, layout.File(0, name).inode))
        << name;
  }
  node = m->Lookup("holes");
  ASSERT_TRUE(FileExtentLookup(node->inode, 4096, &phys, &length, &m->fsTree));
  EXPECT_EQ(phys, 0u) << "a hole";
  EXPECT_EQ(length, 8192u);
  ASSERT_TRUE(FileExtentLookup(node->inode, 16384, &phys, &length, &m->fsTree));
  EXPECT_EQ(phys, 0u) << "the sparse tail, recorded by no extent";
  EXPECT_EQ(length, 8192u);
  FsNodeRelease(node);
}

TEST_F(Volume, ExtendedAttributesEmbeddedAndAsStreams) {
  Entry file = File("tagged", 100);
  std::vector<uint8_t> big(10000);
  for (size_t i = 0; i < big.size(); i++) big[i] = uint8_t(i * 7);
  file.xattrs = {{"user.small", {'h', 'i'}, false}, {"user.big", big, true}};
  for (int i = 0; i < 40; i++) file.xattrs.push_back({"user.n" + std::to_string(i), {uint8_t(i)}, false});
  Entry fork = File("forked", 4);
  fork.xattrs = {{"com.apple.ResourceFork", {'r', 's', 'r', 'c'}, true}};
  Open({file, fork});
  FsNode* node = m->Lookup("tagged");
  ASSERT_NE(node, nullptr);
  auto find = [&](const std::string& name, uint64_t bufferLength, std::vector<uint8_t>* out,
                  bool* tooSmall, bool* notFound) {
    uint64_t length = 0;
    out->assign(bufferLength, 0);
    const bool ok = XattrFind(node->inode, reinterpret_cast<const uint8_t*>(name.data()),
                              uint32_t(name.size()), out->data(), bufferLength, &length, tooSmall,
                              notFound, &m->fsTree);
    out->resize(std::min<uint64_t>(length, bufferLength));
    return ok ? length : UINT64_MAX;
  };
  std::vector<uint8_t> value;
  bool tooSmall, notFound;
  EXPECT_EQ(find("user.small", 16, &value, &tooSmall, &notFound), 2u);
  EXPECT_EQ(value, (std::vector<uint8_t>{'h', 'i'}));
  EXPECT_EQ(find("user.big", 20000, &value, &tooSmall, &notFound), big.size());
  EXPECT_EQ(value, big) << "read through the attribute's own stream";
  EXPECT_EQ(find("user.big", 4, &value, &tooSmall, &notFound), UINT64_MAX);
  EXPECT_TRUE(tooSmall);
  EXPECT_EQ(find("user.n39", 4, &value, &tooSmall, &notFound), 1u);
  EXPECT_EQ(find("user.smal", 4, &value, &tooSmall, &notFound), UINT64_MAX);
  EXPECT_TRUE(notFound);
  EXPECT_TRUE(Stat("tagged")->attributes & 0x20000000u);
  EXPECT_FALSE(Stat("forked")->attributes & 0x20000000u) << "a resource fork alone";
  FsNodeRelease(node);
}

TEST_F(Volume, CompressedFilesReportTheirUncompressedSize) {
  std::vector<Entry> files;
  for (auto compression : {apfsw::Compression::DecmpfsEmbedded, apfsw::Compression::DecmpfsStream,
                           apfsw::Compression::ResourceFork}) {
    for (bool recorded : {true, false}) {
      Entry e = File("c" + std::to_string(int(compression)) + (recorded ? "r" : "h"), 70000);
      e.content = std::vector<uint8_t>(70000, 'q');  // compresses small enough to embed
      e.compression = compression;
      e.recordUncompressedSize = recorded;
      files.push_back(e);
    }
  }
  Entry shortHeader = File("short", 0);
  shortHeader.bsdFlags = UF_COMPRESSED;
  shortHeader.xattrs = {{"com.apple.decmpfs", std::vector<uint8_t>(15, 0x66), false}};
  Entry badMagic = File("badmagic", 0);
  badMagic.bsdFlags = UF_COMPRESSED;
  std::vector<uint8_t> header(16, 0);
  header[8] = 0x10;  // an uncompressed size of 16, behind the wrong magic
  badMagic.xattrs = {{"com.apple.decmpfs", header, false}};
  files.push_back(shortHeader);
  files.push_back(badMagic);
  Open(files);
  for (size_t i = 0; i < 6; i++) {
    const auto info = Stat(files[i].name);
    ASSERT_TRUE(info) << files[i].name;
    EXPECT_EQ(info->fileSize, 70000u) << files[i].name;
    EXPECT_TRUE(info->attributes & 0x800);
  }
  EXPECT_EQ(Stat("short")->fileSize, 0u);
  FsNode* node = m->Lookup("badmagic");
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(InodeLogicalSize(node->inode, &m->fsTree), 0u);
  EXPECT_FALSE(DecmpfsLoad(node->inode, &m->fsTree)) << "a wrong magic keeps failing";
  FsNodeRelease(node);
}

TEST_F(Volume, TimesBeforeAndAfter1970) {
  Entry old = File("old");
  old.times = apfsw::Times{-1000000000, 0, 1, 1700000000123456789};
  Open({old});
  const auto info = Stat("old");
  ASSERT_TRUE(info);
  EXPECT_EQ(info->creationTime, 116444736000000000 - 10000000);
  EXPECT_EQ(info->lastWriteTime, 116444736000000000);
  EXPECT_EQ(info->changeTime, 116444736000000000);  // 1 ns rounds down
  EXPECT_EQ(info->lastAccessTime, 116444736000000000 + 17000000001234567);
}

TEST_F(Volume, InodesWithoutOrWithUnknownExtendedFieldsLoad) {
  Entry bare = File("bare", 0);
  bare.bareInode = true;
  Entry extra = File("extra", 5000);
  extra.extraXfields = {{0x77, 0, {1, 2, 3}}, {0x78, 0, std::vector<uint8_t>(20, 9)}};
  Open({bare, extra});
  EXPECT_EQ(Stat("bare")->fileSize, 0u);
  EXPECT_EQ(Stat("extra")->fileSize, 5000u);
  EXPECT_EQ(Contents("extra", 5000), apfsw::ExpectedContents(extra, layout.File(0, "extra").inode));
}

TEST_F(Volume, EmptyDirectoriesEndAtOnce) {
  Open({Dir("empty"), Dir("full", {File("x")})});
  FsNode* node = m->Lookup("empty");
  ASSERT_NE(node, nullptr);
  DirSearch* search;
  ASSERT_TRUE(DirSearchCreate(node, &search, &m->fsTree));
  BTreeCursor* cursor = nullptr;
  FileInfo info;
  bool notFound = false;
  EXPECT_FALSE(DirEnumNext(node, search, &info, nullptr, &notFound, &cursor, &m->fsTree));
  EXPECT_TRUE(notFound);
  EXPECT_EQ(search->position, INT64_MAX);
  if (cursor != nullptr) {
    BTreeCursorClose(cursor);
    delete cursor;
  }
  DirSearchFree(search);
  FsNodeRelease(node);
  EXPECT_EQ(Names("full"), std::vector<std::string>{"x"});
}

TEST_F(Volume, ListingsResumeAtAnyOrdinal) {
  constexpr int kCount = 100000;
  Entry big = Dir("big");
  for (int i = 0; i < kCount; i++) big.children.push_back(File("entry-" + std::to_string(i), 0));
  Open({big});
  FsNode* node = m->Lookup("big");
  ASSERT_NE(node, nullptr);
  std::vector<FileInfo> all;
  ASSERT_TRUE(m->List(node, &all));
  ASSERT_EQ(all.size(), size_t(kCount));
  // Each resume is a fresh request: a new cursor stepped from the directory's start.
  auto resumeAt = [&](int64_t ordinal, BTreeCursor** cursor, DirSearch* search, FileInfo* info) {
    DirSearchSetPosition(search, ordinal);
    bool notFound = false;
    const bool ok = DirEnumNext(node, search, info, nullptr, &notFound, cursor, &m->fsTree);
    EXPECT_TRUE(ok || notFound);
    return ok;
  };
  DirSearch* search;
  ASSERT_TRUE(DirSearchCreate(node, &search, &m->fsTree));
  BTreeCursor* cursor = nullptr;
  FileInfo info;
  for (int64_t ordinal : {5, 2, 0, 50000, 49999, kCount - 1}) {
    ASSERT_TRUE(resumeAt(ordinal, &cursor, search, &info)) << ordinal;
    EXPECT_STREQ(reinterpret_cast<const char*>(info.name),
                 reinterpret_cast<const char*>(all[size_t(ordinal)].name));
    EXPECT_EQ(search->lastReturned, ordinal);
    EXPECT_EQ(search->position, ordinal + 1);
  }
  EXPECT_FALSE(resumeAt(kCount, &cursor, search, &info)) << "past the end";
  EXPECT_EQ(search->position, INT64_MAX);
  EXPECT_FALSE(resumeAt(int64_t(kCount) * 3, &cursor, search, &info));
  BTreeCursorClose(cursor);
  delete cursor;
  DirSearchFree(search);
  FsNodeRelease(node);
}

}  // namespace

namespace {

MountedImage::RecordPlace FindRecord(MountedImage& m, const SearchKey& key) {
  MountedImage::RecordPlace place{};
  EXPECT_TRUE(m.Locate(key, &place));
  return place;
}

TEST_F(Volume, AnEntryWithoutItsInodeIsSkippedAndTheListingGoesOn) {
  Open({File("a"), File("b"), File("c")});
  const uint64_t victim = layout.File(0, "b").inode;
  uint32_t hash;
  ASSERT_TRUE(NameHash(reinterpret_cast<const uint8_t*>("b"), 1, false, &hash));
  SearchKey key;
  SearchKeyDrec(&key, 2, hash, reinterpret_cast<const uint8_t*>("b"), 1, false);
  const MountedImage::RecordPlace place = FindRecord(*m, key);
  m.reset();
  // Point the directory record at an inode the volume does not hold. (Changing the
  // inode record's key instead would put its leaf out of order: a corrupt node.)
  std::vector<uint8_t> id(8);
  for (int i = 0; i < 8; i++) id[size_t(i)] = uint8_t((victim + 1000) >> (8 * i));
  apfsw::PatchBytes(path, 4096, place.block, place.valueOffset, id, apfsw::ChecksumMode::Recompute);
  m = std::make_unique<MountedImage>(path);
  ASSERT_TRUE(m->volumeOpen);
  EXPECT_EQ(Names(""), (std::vector<std::string>{"a", "c"}));
  bool notFound = false;
  EXPECT_EQ(m->Lookup("b", &notFound), nullptr);
  EXPECT_TRUE(notFound);
}

TEST_F(Volume, AnUnreadableNodeIsAnErrorNotAMissingName) {
  V().nodeEntryCap = 4;
  std::vector<Entry> files;
  for (int i = 0; i < 30; i++) files.push_back(File("f" + std::to_string(i)));
  Open(files);
  SearchKey key;
  SearchKeyId(&key, layout.File(0, "f29").inode, APFS_TYPE_INODE);
  const MountedImage::RecordPlace place = FindRecord(*m, key);
  m.reset();
  apfsw::PatchBytes(path, 4096, place.block, BTN_FLAGS, {0x08, 0}, apfsw::ChecksumMode::Recompute);
  m = std::make_unique<MountedImage>(path);
  ASSERT_TRUE(m->volumeOpen);
  FsNode* node = nullptr;
  bool notFound = true;
  EXPECT_FALSE(FsLookup(m->volume.root, reinterpret_cast<const uint8_t*>("f29"), 3, &node,
                        nullptr, &m->fsTree, &notFound));
  EXPECT_FALSE(notFound);
  std::vector<FileInfo> entries;
  EXPECT_FALSE(m->List(m->volume.root, &entries)) << "the listing reports the error";
}

TEST_F(Volume, ZeroLengthAndOutOfContainerExtentsAreRefused) {
  Open({File("data", 8192)});
  SearchKey key;
  SearchKeyIdOffset(&key, layout.File(0, "data").streamId, APFS_TYPE_FILE_EXTENT, 0);
  const MountedImage::RecordPlace place = FindRecord(*m, key);
  m.reset();
  for (const auto& [field, value] : std::vector<std::pair<size_t, uint64_t>>{
           {0, 0}, {8, uint64_t(1) << 40}, {8, UINT64_MAX}}) {
    std::vector<uint8_t> bytes(8);
    for (int i = 0; i < 8; i++) bytes[size_t(i)] = uint8_t(value >> (8 * i));
    apfsw::PatchBytes(path, 4096, place.block, place.valueOffset + field, bytes,
                      apfsw::ChecksumMode::Recompute);
    m = std::make_unique<MountedImage>(path);
    FsNode* node = m->Lookup("data");
    ASSERT_NE(node, nullptr);
    uint64_t phys, length;
    EXPECT_FALSE(FileExtentLookup(node->inode, 0, &phys, &length, &m->fsTree)) << field;
    FsNodeRelease(node);
    m.reset();
    layout = apfsw::WriteImage(spec, path);
  }
}

}  // namespace

namespace {

TEST_F(Volume, TheInodeRecordsPlaceLetsTheFrameSpotAChange) {
  Open({File("watched", 300)});
  FsNode* node = m->Lookup("watched");
  ASSERT_NE(node, nullptr);
  const Inode* inode = node->inode;
  std::vector<uint8_t> block(4096);
  ASSERT_TRUE(DeviceRead(m->image->device(), inode->recordBlock * 4096, block.data(), block.size()));
  ASSERT_LE(size_t(inode->recordOffset) + inode->recordLength, block.size());
  EXPECT_EQ(0, std::memcmp(block.data() + inode->recordOffset, inode->value, inode->recordLength));
  EXPECT_EQ(inode->recordLength, inode->valueLength);
  FsNodeRelease(node);
}

TEST_F(Volume, ASymlinkWithoutItsTargetAttributeStillLoads) {
  Entry link = Of(EntryKind::Symlink, "link");
  link.target = "somewhere";
  Open({link});
  SearchKey key;
  SearchKeyId(&key, layout.File(0, "link").inode, APFS_TYPE_XATTR);
  const MountedImage::RecordPlace place = FindRecord(*m, key);
  m.reset();
  // Rename the attribute: "com.apple.fs.symlinX".
  apfsw::PatchBytes(path, 4096, place.block, place.keyOffset + XATTR_KEY_NAME + 19, {'X'},
                    apfsw::ChecksumMode::Recompute);
  m = std::make_unique<MountedImage>(path);
  const auto info = Stat("link");
  ASSERT_TRUE(info);
  EXPECT_EQ(info->attributes & 0x400u, 0x400u);
  EXPECT_EQ(info->fileSize, 0u);
}

}  // namespace

namespace {

TEST_F(Volume, StreamMapReportsWhatIsLeftOfAHole) {
  Entry file = File("holed", 4096 * 12);
  file.layout = {{4096 * 4, true}, {4096 * 8, false}};
  Open({file});
  FsNode* node = m->Lookup("holed");
  ASSERT_NE(node, nullptr);
  const uint64_t stream = layout.File(0, "holed").streamId;
  StreamMapping mapping;
  ASSERT_TRUE(StreamMap(node->inode, stream, 2, 10, &mapping, &m->fsTree));
  EXPECT_EQ(mapping.physBlock, UINT64_MAX);
  EXPECT_EQ(mapping.blockCount, 2u) << "blocks 4 and on hold data";
  ASSERT_TRUE(StreamMap(node->inode, stream, 0, 0, &mapping, &m->fsTree));
  EXPECT_EQ(mapping.blockCount, 4u);
  ASSERT_TRUE(StreamMap(node->inode, stream, 5, 3, &mapping, &m->fsTree));
  EXPECT_EQ(mapping.physBlock, layout.File(0, "holed").extents.back().physicalBlock + 1);
  EXPECT_EQ(mapping.blockCount, 3u);
  FsNodeRelease(node);
}

}  // namespace
