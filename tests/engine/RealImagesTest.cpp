// Checks against the real images made by Apple's tools (skipped when they are absent).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "ApfsFormat.h"
#include "ImageDevice.h"
#include "RealImageFiles.h"
#include "TestDevice.h"

namespace {

namespace fs = std::filesystem;

using testdata::RealImages;

std::string ExpectedFacts(const fs::path& image) {
  fs::path facts = image;
  facts.replace_extension(".expected.json");
  std::ifstream in(facts);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Number of superblocks with a valid checksum that the facts file lists in the ring.
size_t ListedRingSuperblocks(const std::string& facts) {
  const size_t start = facts.find("\"checkpoint_superblocks\"");
  const size_t end = facts.find(']', start);
  if (start == std::string::npos || end == std::string::npos) return 0;
  const std::string list = facts.substr(start, end - start);
  const std::regex block("\"block\"");
  return size_t(std::distance(std::sregex_iterator(list.begin(), list.end(), block),
                              std::sregex_iterator()));
}

struct OpenedImage {
  std::unique_ptr<ImageDevice> image;
  Container container{};
  Bytes latest = Bytes(4096);

  explicit OpenedImage(const fs::path& path) {
    std::string error;
    ImageOpenOptions options;
    options.zeroExtend = true;
    image = OpenImage(path, options, &error);
    EXPECT_NE(image, nullptr) << error;
    ContainerInit(&container);
    container.device = image->device();
    container.blockSize = 4096;
    container.blockShift = 12;
    PutLe64(latest.data() + OBJ_XID, UINT64_MAX);  // accept nodes of every transaction
    PutLe64(latest.data() + NX_BLOCK_COUNT, image->length() / 4096);
    container.latest = latest.data();
  }
  Bytes Block(uint64_t address) {
    Bytes block(4096);
    EXPECT_TRUE(ContainerRead(&container, address * 4096, block.data(), 4096));
    return block;
  }
};

#define SKIP_WITHOUT_REAL_IMAGES(images)                                              \
  if ((images).empty()) {                                                              \
    GTEST_SKIP() << "no real APFS images in " << QUADREL_TESTDATA_DIR << " (optional)"; \
  }

TEST(RealImages, EverySuperblockOfTheRingVerifies) {
  const auto images = RealImages();
  SKIP_WITHOUT_REAL_IMAGES(images);
  for (const fs::path& path : images) {
    SCOPED_TRACE(path.filename().string());
    OpenedImage opened(path);
    const Bytes block0 = opened.Block(0);
    ASSERT_EQ(Le32(block0.data() + NX_MAGIC), NX_MAGIC_VALUE);
    EXPECT_TRUE(ObjectVerify(block0.data(), 4096));
    const uint64_t base = Le64(block0.data() + 112);
    const uint32_t blocks = Le32(block0.data() + 104);
    size_t superblocks = 0;
    for (uint64_t i = 0; i < blocks; i++) {
      const Bytes block = opened.Block(base + i);
      if (ObjectType(block.data()) != OBJECT_TYPE_NX_SUPERBLOCK ||
          Le32(block.data() + NX_MAGIC) != NX_MAGIC_VALUE) {
        continue;
      }
      EXPECT_TRUE(ObjectVerify(block.data(), 4096)) << "ring block " << base + i;
      superblocks++;
    }
    EXPECT_EQ(superblocks, ListedRingSuperblocks(ExpectedFacts(path)));
  }
}

TEST(RealImages, AnyChangedByteOfASuperblockFailsVerification) {
  const auto images = RealImages();
  SKIP_WITHOUT_REAL_IMAGES(images);
  OpenedImage opened(images.front());
  Bytes block0 = opened.Block(0);
  ASSERT_TRUE(ObjectVerify(block0.data(), 4096));
  for (uint32_t i = 0; i < 4096; i++) {
    block0[i] ^= 0x40;
    ASSERT_FALSE(ObjectVerify(block0.data(), 4096)) << "byte " << i;
    block0[i] ^= 0x40;
  }
}

// Every directory record in the file-system tree nodes of the real images carries the
// hash Apple's implementation computed for its name: ours must agree on each.
TEST(RealImages, NameHashAgreesWithEveryStoredDirectoryRecord) {
  const auto images = RealImages();
  SKIP_WITHOUT_REAL_IMAGES(images);
  size_t checked = 0;
  for (const fs::path& path : images) {
    SCOPED_TRACE(path.filename().string());
    OpenedImage opened(path);
    const bool caseSensitive =
        ExpectedFacts(path).find("\"case_sensitive\": true") != std::string::npos;
    const uint64_t blocks = opened.image->length() / 4096;
    for (uint64_t address = 0; address < blocks; address++) {
      const Bytes raw = opened.Block(address);
      const uint16_t type = ObjectType(raw.data());
      if ((type != OBJECT_TYPE_BTREE && type != OBJECT_TYPE_BTREE_NODE) ||
          ObjectSubtype(raw.data()) != OBJECT_TYPE_FSTREE) {
        continue;
      }
      // Loading checks the node's checksum, which every node Apple's tools wrote passes.
      BlockBuffer* buffer = BlockBufferLoad(&opened.container, address, 0, CONTAINER_INDEX);
      ASSERT_NE(buffer, nullptr) << "block " << address;
      NodeView view{};
      view.buffer = buffer;
      view.bytes = buffer->data;
      if (NodeParse(&view, UINT64_MAX) && view.level == 0) {
        for (uint32_t i = 0; i < view.entryCount; i++) {
          NodeRecord r;
          ASSERT_TRUE(NodeEntry(&view, i, &r));
          if (r.keySize < 12 || (Le64(r.key) >> 60) != 9) continue;
          const uint32_t nameLength = Le32(r.key + 8) & 0x3FF;
          ASSERT_LE(12 + nameLength, r.keySize);
          uint32_t hash;
          ASSERT_TRUE(NameHash(r.key + 12, nameLength, caseSensitive, &hash));
          EXPECT_EQ(hash, Le32(r.key + 8) >> 10)
              << std::string(reinterpret_cast<const char*>(r.key + 12), nameLength - 1);
          checked++;
        }
      }
      BlockBufferRelease(buffer);
    }
  }
  EXPECT_GT(checked, 50u);
}

}  // namespace
