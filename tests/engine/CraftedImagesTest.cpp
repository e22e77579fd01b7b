// Crafted images: writer images with one field damaged each, covering every class of
// fault a hostile disk can carry. Each must end in a clean refusal or a walk that ends,
// never in a crash, a hang or an out-of-bounds access (this suite also runs under the
// sanitizers).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "ApfsFormat.h"
#include "ImageWriter.h"
#include "MountedImage.h"
#include "Patch.h"

namespace {

namespace fs = std::filesystem;
using apfsw::ChecksumMode;

enum class Outcome { ContainerRefused, VolumeRefused, WalkEnds };

struct Image {
  std::string path;
  apfsw::WriteResult layout;
};

using Damage = std::function<void(Image&)>;

struct Crafted {
  const char* name;
  Damage damage;
  Outcome outcome;
  const char* lost = nullptr;  // a path that no longer opens
};

std::vector<uint8_t> Le(uint64_t value, size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; i++) bytes[i] = uint8_t(value >> (8 * i));
  return bytes;
}

apfsw::ContainerSpec Spec() {
  apfsw::ContainerSpec spec;
  spec.volumes.resize(1);
  apfsw::VolumeSpec& v = spec.volumes[0];
  v.nodeEntryCap = 6;
  apfsw::Entry dir = apfsw::DirectoryEntry("dir");
  for (int i = 0; i < 20; i++) {
    apfsw::Entry f;
    f.name = "file" + std::to_string(i);
    f.size = 5000;
    f.xattrs = {{"user.tag", {1, 2, 3, 4}, false}};
    dir.children.push_back(f);
  }
  apfsw::Entry packed;
  packed.name = "packed";
  packed.size = 9000;
  packed.content = std::vector<uint8_t>(9000, 'p');
  packed.compression = apfsw::Compression::DecmpfsStream;
  v.root.children = {dir, packed};
  return spec;
}

// Patches count bytes at a record of the volume found by key.
Damage AtRecord(std::function<void(SearchKey*, const apfsw::WriteResult&)> key, bool inKey,
                size_t offset, std::vector<uint8_t> bytes) {
  return [=](Image& image) {
    MountedImage::RecordPlace place{};
    {
      MountedImage m(image.path);
      ASSERT_TRUE(m.volumeOpen);
      SearchKey k;
      key(&k, image.layout);
      ASSERT_TRUE(m.Locate(k, &place));
    }
    apfsw::PatchBytes(image.path, image.layout.blockSize, place.block,
                      (inKey ? place.keyOffset : place.valueOffset) + offset, bytes,
                      ChecksumMode::Recompute);
  };
}

void InodeOf(SearchKey* k, const apfsw::WriteResult& layout, const std::string& path) {
  SearchKeyId(k, layout.File(0, path).inode, APFS_TYPE_INODE);
}

Damage Field(const std::string& object, const std::string& field, uint64_t value) {
  return [=](Image& image) {
    apfsw::PatchField(image.path, image.layout, object, field, value, ChecksumMode::Recompute);
  };
}

Damage Superblocks(const std::string& field, uint64_t value) {
  return [=](Image& image) {
    Field("block0", field, value)(image);
    Field("superblock", field, value)(image);
  };
}

// Walks everything the volume lists, bounded; returns the entries listed.
size_t WalkAll(MountedImage& m, FsNode* directory, int depth) {
  std::vector<FileInfo> entries;
  m.List(directory, &entries);
  size_t count = entries.size();
  for (const FileInfo& e : entries) {
    FsNode* node = nullptr;
    bool notFound;
    if (!FsLookup(directory, e.name, e.nameLength, &node, nullptr, &m.fsTree, &notFound)) continue;
    std::vector<uint8_t> data;
    if (node->kind == FS_NODE_FILE && e.fileSize < (1u << 20)) m.ReadFile(node->inode, e.fileSize, &data);
    for (const XattrEntry* x = node->inode->xattrs; x != nullptr; x = x->next) {
      uint64_t length;
      bool tooSmall, absent;
      std::vector<uint8_t> value(4096);
      XattrFind(node->inode, x->buffer, x->nameLength - 1, value.data(), value.size(), &length,
                &tooSmall, &absent, &m.fsTree);
    }
    if (node->kind == FS_NODE_DIRECTORY && depth < 4) count += WalkAll(m, node, depth + 1);
    FsNodeRelease(node);
  }
  return count;
}

// Patches bytes of the directory record name in "dir", at offset in its key or value.
Damage AtDrec(const std::string& name, bool inKey, size_t offset, std::function<std::vector<uint8_t>(uint32_t hash)> bytes) {
  return [=](Image& image) {
    MountedImage::RecordPlace place{};
    uint32_t hash = 0;
    {
      MountedImage m(image.path);
      ASSERT_TRUE(m.volumeOpen);
      const auto* nameBytes = reinterpret_cast<const uint8_t*>(name.data());
      ASSERT_TRUE(NameHash(nameBytes, uint32_t(name.size()), false, &hash));
      SearchKey k;
      SearchKeyDrec(&k, image.layout.File(0, "dir").inode, hash, nameBytes, uint32_t(name.size()), false);
      ASSERT_TRUE(m.Locate(k, &place));
    }
    apfsw::PatchBytes(image.path, image.layout.blockSize, place.block,
                      (inKey ? place.keyOffset : place.valueOffset) + offset, bytes(hash), ChecksumMode::Recompute);
  };
}

// Rewrites the name length of a directory record in "dir", keeping its hash.
Damage DrecNameLength(const std::string& name, uint32_t length) {
  return AtDrec(name, true, 8, [=](uint32_t hash) { return Le(length | hash << 10, 4); });
}

// Points the child id that the index node at depth (0: the root) follows towards the
// inode record of path at the index node at depth target: a cycle in the tree.
Damage TreeCycle(const std::string& path, size_t depth, size_t target) {
  return [=](Image& image) {
    std::vector<MountedImage::IndexStep> steps;
    {
      MountedImage m(image.path);
      ASSERT_TRUE(m.volumeOpen);
      SearchKey k;
      InodeOf(&k, image.layout, path);
      ASSERT_TRUE(m.Descent(k, &steps));
    }
    ASSERT_GT(steps.size(), std::max(depth, target)) << "the tree is not deep enough";
    apfsw::PatchBytes(image.path, image.layout.blockSize, steps[depth].place.block, steps[depth].place.valueOffset,
                      Le(steps[target].oid, 8), ChecksumMode::Recompute);
  };
}

// Turns the first attribute record of an inode into a second inode record.
Damage DuplicateInode(const std::string& path) {
  return [=](Image& image) {
    const uint64_t inode = image.layout.File(0, path).inode;
    AtRecord([=](SearchKey* k, const auto&) { SearchKeyId(k, inode, APFS_TYPE_XATTR); }, true, 0,
             Le(uint64_t(APFS_TYPE_INODE) << 60 | inode, 8))(image);
  };
}

// Every superblock of the ring becomes a checkpoint-map block: a walk with no end of its own.
void RingOfMapBlocks(Image& image) {
  for (const apfsw::ObjectLocation& object : image.layout.objects) {
    if (object.name.rfind("checkpoint[", 0) == 0 && object.name.find(".superblock") != std::string::npos) {
      Field(object.name, "@24:4", OBJECT_TYPE_CHECKPOINT_MAP)(image);
    }
  }
}

const std::vector<Crafted>& Cases() {
  static const std::vector<Crafted> cases = {
      {"every ring block a map block", RingOfMapBlocks, Outcome::ContainerRefused},
      {"ring of length 0", Superblocks("nx_xp_desc_blocks", 0), Outcome::ContainerRefused},
      {"ring index out of range", Superblocks("nx_xp_desc_index", 1u << 20), Outcome::ContainerRefused},
      {"checkpoint length 0", Superblocks("nx_xp_desc_len", 0), Outcome::ContainerRefused},
      {"block size 0", Superblocks("@36:4", 0), Outcome::ContainerRefused},
      {"block size 512", Superblocks("@36:4", 512), Outcome::ContainerRefused},
      {"block size 3000", Superblocks("@36:4", 3000), Outcome::ContainerRefused},
      {"block size 2^26", Superblocks("@36:4", 1u << 26), Outcome::ContainerRefused},
      {"block count 0", Superblocks("@40:8", 0), Outcome::ContainerRefused},
      {"map count beyond the block", Field("checkpoint[2].map[0]", "@36:4", 5000),
       Outcome::ContainerRefused},
      {"map block with a stale checksum", [](Image& image) {
         apfsw::PatchField(image.path, image.layout, "checkpoint[2].map[0]", "@32:4", 7,
                           ChecksumMode::Stale);
       }, Outcome::ContainerRefused},
      {"object map beyond the container", Superblocks("nx_omap_oid", 1ull << 50),
       Outcome::ContainerRefused},
      {"volume object map beyond the container", Field("volume[0].superblock", "apfs_omap_oid", 1ull << 40),
       Outcome::VolumeRefused},
      {"root node table beyond the node", [](Image& image) {
         const uint64_t root = image.layout.volumes[0].rootTreeAddress;
         apfsw::PatchBytes(image.path, image.layout.blockSize, root, BTN_TABLE_SPACE_LEN,
                           Le(0xFFFF, 2), ChecksumMode::Recompute);
       }, Outcome::VolumeRefused},
      {"root node level mismatch", [](Image& image) {
         const uint64_t root = image.layout.volumes[0].rootTreeAddress;
         apfsw::PatchBytes(image.path, image.layout.blockSize, root, BTN_LEVEL, Le(9, 2),
                           ChecksumMode::Recompute);
       }, Outcome::VolumeRefused},
      {"inode with too many extended fields",
       AtRecord([](SearchKey* k, const auto& l) { InodeOf(k, l, "dir/file3"); }, false,
                INODE_XFIELDS, Le(200, 2)), Outcome::WalkEnds, "dir/file3"},
      {"extended field longer than its record",
       AtRecord([](SearchKey* k, const auto& l) { InodeOf(k, l, "dir/file4"); }, false,
                INODE_XFIELDS + 4 + 2, Le(0xFFF0, 2)), Outcome::WalkEnds, "dir/file4"},
      {"inode key shorter than its kind",
       AtRecord([](SearchKey* k, const auto& l) { InodeOf(k, l, "dir/file5"); }, true, 0,
                Le(uint64_t(APFS_TYPE_DIR_REC) << 60 | 16, 8)), Outcome::WalkEnds, "dir/file5"},
      {"xattr name past its key",
       AtRecord([](SearchKey* k, const auto& l) {
         SearchKeyId(k, l.File(0, "dir/file6").inode, APFS_TYPE_XATTR);
       }, true, XATTR_KEY_NAME_LEN, Le(0x7FFF, 2)), Outcome::WalkEnds, "dir/file6"},
      {"xattr data past its value",
       AtRecord([](SearchKey* k, const auto& l) {
         SearchKeyId(k, l.File(0, "dir/file7").inode, APFS_TYPE_XATTR);
       }, false, XATTR_VAL_LEN, Le(0xFFFF, 2)), Outcome::WalkEnds, "dir/file7"},
      {"compressed header of 2^40 bytes",
       AtRecord([](SearchKey* k, const auto& l) {
         SearchKeyId(k, l.File(0, "packed").inode, APFS_TYPE_XATTR);
       }, false, XATTR_VAL_DATA + 8, Le(1ull << 40, 8)), Outcome::WalkEnds},
      {"attribute stream with id 0",
       AtRecord([](SearchKey* k, const auto& l) {
         SearchKeyId(k, l.File(0, "packed").inode, APFS_TYPE_XATTR);
       }, false, XATTR_VAL_DATA, Le(0, 8)), Outcome::WalkEnds},
      {"extent beyond the container",
       AtRecord([](SearchKey* k, const auto& l) {
         SearchKeyIdOffset(k, l.File(0, "dir/file8").streamId, APFS_TYPE_FILE_EXTENT, 0);
       }, false, 8, Le(1ull << 60, 8)), Outcome::WalkEnds},
      {"extent length overflowing",
       AtRecord([](SearchKey* k, const auto& l) {
         SearchKeyIdOffset(k, l.File(0, "dir/file9").streamId, APFS_TYPE_FILE_EXTENT, 0);
       }, false, 0, Le(J_FILE_EXTENT_LEN_MASK, 8)), Outcome::WalkEnds},
      {"duplicate inode record", DuplicateInode("dir/file10"), Outcome::WalkEnds, "dir/file10"},
      {"directory record naming no inode",
       AtDrec("file13", false, 0, [](uint32_t) { return Le(0x0FFFFFFFFFFFFF0ull, 8); }), Outcome::WalkEnds,
       "dir/file13"},
      {"tree child naming its own node", TreeCycle("dir/file9", 0, 0), Outcome::WalkEnds, "dir/file9"},
      {"tree child naming the root", TreeCycle("dir/file15", 1, 0), Outcome::WalkEnds, "dir/file15"},
      {"directory record name length 0", DrecNameLength("file11", 0), Outcome::WalkEnds},
      {"directory record name length 1023", DrecNameLength("file12", 1023), Outcome::WalkEnds},
  };
  return cases;
}

class CraftedImage : public ::testing::TestWithParam<size_t> {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("quadrel-crafted-" + std::to_string(::getpid()) + "-" + std::to_string(GetParam()));
    fs::create_directories(dir);
    image.path = (dir / "image.img").string();
    image.layout = apfsw::WriteImage(Spec(), image.path);
    Cases()[GetParam()].damage(image);
  }
  void TearDown() override { fs::remove_all(dir); }

  fs::path dir;
  Image image;
};

TEST_P(CraftedImage, EndsCleanly) {
  const Crafted& c = Cases()[GetParam()];
  SCOPED_TRACE(c.name);
  {
    MountedImage m(image.path);
    switch (c.outcome) {
      case Outcome::ContainerRefused:
        EXPECT_FALSE(m.containerOpen);
        break;
      case Outcome::VolumeRefused:
        EXPECT_TRUE(m.containerOpen);
        EXPECT_FALSE(m.volumeOpen);
        break;
      case Outcome::WalkEnds:
        ASSERT_TRUE(m.volumeOpen);
        // A damaged entry ends its listing with an error; what came before it stands.
        EXPECT_GT(WalkAll(m, m.volume.root, 0), 0u);
        if (c.lost != nullptr) {
          EXPECT_EQ(m.Lookup(c.lost), nullptr) << c.lost;
        }
        break;
    }
  }
}

// Opening and walking a crafted image returns within seconds and without holding more
// than a few megabytes, whatever lengths and counts the image claims. Measured in a child
// process, outside the sanitizers (whose shadow memory would dominate the figure).
TEST_P(CraftedImage, ReturnsWithinBoundedMemory) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "memory is measured in the build without sanitizers";
#else
  constexpr long kLimitKiB = 64 * 1024;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);  // a walk that does not return is killed, and the test fails
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    {
      MountedImage m(image.path);
      if (m.volumeOpen) WalkAll(m, m.volume.root, 0);
    }
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    _exit(after.ru_maxrss - before.ru_maxrss < kLimitKiB ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the walk did not return (signal " << WTERMSIG(status) << ")";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the walk held more than 64 MiB";
#endif
}

INSTANTIATE_TEST_SUITE_P(Faults, CraftedImage, ::testing::Range<size_t>(0, Cases().size()),
                         [](const auto& info) {
                           std::string name = Cases()[info.param].name;
                           for (char& ch : name) ch = std::isalnum(uint8_t(ch)) ? ch : '_';
                           return name;
                         });

}  // namespace
