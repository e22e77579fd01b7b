// Opens every real image made by Apple's tools and walks its default volume through the
// engine, comparing all it finds with the facts another reader recorded (the images
// and their facts live outside the repository; the tests skip when they are absent).
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>

#include "ApfsFormat.h"
#include "MountedImage.h"
#include "RealImageFiles.h"
#include "TestDevice.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

json Facts(const fs::path& image) {
  fs::path path = image;
  path.replace_extension(".expected.json");
  std::ifstream in(path);
  return json::parse(in);
}

using testdata::RealImages;

std::string Hex(const uint8_t* bytes, size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < count; i++) out += {digits[bytes[i] >> 4], digits[bytes[i] & 15]};
  return out;
}

std::string Sha256(const std::vector<uint8_t>& data) {
  uint8_t digest[32];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
  return Hex(digest, length);
}

struct Found {
  FileInfo info;
  std::string target;
  std::string sha256;
};

// Lists the directory and everything below it, keyed by path.
void Walk(MountedImage& m, FsNode* directory, const std::string& prefix,
          std::map<std::string, Found>* out) {
  DirSearch* search = nullptr;
  ASSERT_TRUE(DirSearchCreate(directory, &search, &m.fsTree));
  BTreeCursor* cursor = nullptr;
  for (int guard = 0; guard < 10000; guard++) {
    FileInfo info;
    Inode* inode = nullptr;
    bool notFound = false;
    if (!DirEnumNext(directory, search, &info, &inode, &notFound, &cursor, &m.fsTree)) {
      EXPECT_TRUE(notFound) << "listing " << prefix << " failed";
      break;
    }
    const std::string path = prefix + "/" + reinterpret_cast<const char*>(info.name);
    Found found{info, {}, {}};
    const uint16_t type = info.mode & S_IFMT_MASK;
    if (type == MODE_LNK) found.target = m.SymlinkTarget(inode);
    if (type == MODE_REG && !(info.bsdFlags & UF_COMPRESSED)) {
      std::vector<uint8_t> data;
      EXPECT_TRUE(m.ReadFile(inode, info.fileSize, &data)) << path;
      found.sha256 = Sha256(data);
    }
    // The name looked up again leads to the same inode.
    FsNode* node = nullptr;
    FileInfo again;
    bool missing;
    ASSERT_TRUE(FsLookup(directory, info.name, info.nameLength, &node, &again, &m.fsTree, &missing))
        << path;
    EXPECT_EQ(again.objectId, info.objectId);
    (*out)[path] = found;
    if (type == MODE_DIR) Walk(m, node, path, out);
    FsNodeRelease(node);
    InodeRelease(inode);
  }
  EXPECT_EQ(search->position, INT64_MAX) << "the end mark is set at the end of " << prefix;
  if (cursor != nullptr) {
    BTreeCursorClose(cursor);
    delete cursor;
  }
  DirSearchFree(search);
}

const char* TypeName(uint16_t mode) {
  switch (mode & S_IFMT_MASK) {
    case MODE_DIR: return "dir";
    case MODE_REG: return "file";
    case MODE_LNK: return "symlink";
    default: return "other";
  }
}

TEST(RealVolumes, ContainersOpenAtTheirNewestCheckpoint) {
  const auto images = RealImages();
  if (images.empty()) GTEST_SKIP() << "no real APFS images in " << QUADREL_TESTDATA_DIR;
  for (const fs::path& path : images) {
    SCOPED_TRACE(path.filename().string());
    const json facts = Facts(path);
    MountedImage m(path.string());
    ASSERT_NE(m.image, nullptr);
    if (facts["volumes"].empty()) {
      EXPECT_FALSE(m.volumeOpen) << "the object map lies outside this carve";
      continue;
    }
    ASSERT_TRUE(m.containerOpen);
    const json& c = facts["container"];
    EXPECT_EQ(ContainerBlockSize(&m.container), c["block_size"].get<uint32_t>());
    EXPECT_EQ(ContainerBlockCount(&m.container), c["block_count"].get<uint64_t>());
    EXPECT_EQ(ContainerXid(&m.container), c["xid"].get<uint64_t>());
    EXPECT_EQ(ContainerFreeBlocks(&m.container), c["free_blocks"].get<uint64_t>());
    EXPECT_EQ(m.container.latestAddress,
              c["raw_superblock"]["latest_checkpoint"]["block"].get<uint64_t>());
    ASSERT_TRUE(m.volumeOpen);
    const json& v = facts["volumes"][0];
    Volume* volume = ContainerVolume(&m.container, m.index);
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(reinterpret_cast<const char*>(volume->superblock + APFS_VOLNAME),
              v["name"].get<std::string>());
    EXPECT_EQ(VolumeIsCaseSensitive(volume), v["case_sensitive"].get<bool>());
    EXPECT_EQ(volume->superblockAddress, v["apsb_block"].get<uint64_t>());
    EXPECT_TRUE(VolumeUsable(volume));
  }
}

TEST(RealVolumes, WalkingTheDefaultVolumeFindsEveryRecordedEntry) {
  const auto images = RealImages();
  if (images.empty()) GTEST_SKIP() << "no real APFS images in " << QUADREL_TESTDATA_DIR;
  size_t compared = 0;
  for (const fs::path& path : images) {
    SCOPED_TRACE(path.filename().string());
    const json facts = Facts(path);
    if (facts["volumes"].empty()) continue;
    MountedImage m(path.string());
    ASSERT_TRUE(m.volumeOpen);
    std::map<std::string, Found> found;
    Walk(m, m.volume.root, "", &found);
    size_t expected = 0;
    for (const json& e : facts["volumes"][0]["entries"]) {
      const std::string p = e["path"];
      if (p == "/") continue;
      expected++;
      SCOPED_TRACE(p);
      auto it = found.find(p);
      ASSERT_NE(it, found.end()) << "not listed";
      const Found& f = it->second;
      EXPECT_EQ(TypeName(f.info.mode), e["type"].get<std::string>());
      EXPECT_EQ(f.info.objectId & OBJ_ID_MASK, e["inode"].get<uint64_t>());
      EXPECT_EQ(f.info.mode & 07777, std::stoul(e["mode"].get<std::string>(), nullptr, 8));
      EXPECT_EQ(f.info.owner, e["uid"].get<uint32_t>());
      EXPECT_EQ(f.info.group, e["gid"].get<uint32_t>());
      if (e["type"] == "dir") {
        EXPECT_EQ(f.info.childCount, e["children"].get<uint32_t>());
        EXPECT_TRUE(f.info.attributes & 0x10);
      }
      if (e["type"] == "file") {
        EXPECT_EQ(f.info.fileSize, e["size"].get<uint64_t>());
        EXPECT_EQ(bool(f.info.attributes & 0x800), e["compressed"].get<bool>());
        if (!e["compressed"].get<bool>()) {
          EXPECT_EQ(f.sha256, e["sha256"].get<std::string>());
        }
      }
      if (e["type"] == "symlink") {
        const std::string target = e["symlink_target"];
        EXPECT_EQ(f.target, target);
        EXPECT_EQ(f.info.fileSize, target.size() + 1);
        EXPECT_TRUE(f.info.attributes & 0x400);
      }
      const bool userXattrs = e.contains("xattrs") &&
          std::any_of(e["xattrs"].begin(), e["xattrs"].end(), [](const json& x) {
            return x["name"] != "com.apple.fs.symlink" && x["name"] != "com.apple.ResourceFork";
          });
      EXPECT_EQ(bool(f.info.attributes & 0x20000000), userXattrs);
    }
    EXPECT_EQ(found.size(), expected);
    compared += expected;
  }
  EXPECT_GT(compared, 50u);
}

}  // namespace
