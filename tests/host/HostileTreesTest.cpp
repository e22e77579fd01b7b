// The quadrel command on images whose file-system tree no B-tree can be, whose nodes fail
// their checksum, or whose extents lead past the container: each command ends with the
// corrupt status and says so, instead of running on, listing nothing, answering "no such
// file" or printing zeros or other data.
#include <gtest/gtest.h>

#include "HostTestSupport.h"
#include "HostileTrees.h"

namespace {

using namespace hosttest;

void ExpectCorrupt(const std::vector<std::string>& args) {
  const Result r = Quadrel(args);
  EXPECT_EQ(r.status, 5) << args[0] << " " << args.back() << ": " << r.err;
  EXPECT_NE(r.err.find("corrupt"), std::string::npos) << r.err;
}

// Listings of the root, and the stat of a file whose path crosses the damage.
void ExpectWalksCorrupt(const fs::path& image, const std::string& lost) {
  const std::string path = image.string();
  ExpectCorrupt({"ls", "-R", path});
  ExpectCorrupt({"ls", path, "/"});
  ExpectCorrupt({"stat", path, lost});
}

TEST(HostileTrees, TreesThatCannotBeEndWithACorruptError) {
  struct Case {
    const char* name;
    hostile::TocChange change;
  };
  for (const Case& c : {Case{"index entries naming one child", hostile::ShareFirstChild},
                        Case{"index nodes of equal keys", hostile::RepeatFirstEntry},
                        Case{"children outside their range", hostile::SwapFirstChildren}}) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const fs::path image = dir / "image.img";
    const apfsw::WriteResult layout = apfsw::WriteImage(hostile::ManyFiles(), image.string());
    ASSERT_EQ(Quadrel({"stat", image.string(), "/file0"}).status, 0);
    hostile::DamageIndexNodes(image.string(), layout, c.change);
    // The damage is to the first children of index nodes, on the first file's path.
    ExpectWalksCorrupt(image, "/file0");
  }
}

TEST(HostileTrees, ANodeWhoseChecksumFailsIsReportedCorrupt) {
  ScratchDir dir;
  const fs::path image = dir / "image.img";
  const apfsw::WriteResult layout = apfsw::WriteImage(hostile::ManyFiles(), image.string());
  SearchKey key;
  SearchKeyId(&key, layout.File(0, "file39").inode, APFS_TYPE_INODE);
  uint64_t leaf;
  {
    hostile::OpenedVolume volume(image.string());
    leaf = volume.Locate(key).block;
  }
  apfsw::PatchBytes(image.string(), layout.blockSize, leaf, layout.blockSize / 2, {0x5A},
                    apfsw::ChecksumMode::Stale);
  ExpectWalksCorrupt(image, "/file39");
}

TEST(HostileTrees, CatOfExtentsPastTheContainerOrBehindAGapIsCorrupt) {
  ScratchDir dir;
  apfsw::ContainerSpec spec = hostile::ManyFiles(1);
  spec.volumes[0].root.children.push_back(hostile::GappedFile("gapped"));
  const fs::path image = dir / "image.img";
  const apfsw::WriteResult layout = apfsw::WriteImage(spec, image.string());
  ASSERT_EQ(Quadrel({"cat", image.string(), "/gapped"}).out.size(), 16384u);
  // 2^51 blocks of 4 KiB lie at byte 2^63: once a negative offset, read as a hole.
  hostile::ChangeExtent(image.string(), layout, "file0", 0, 8, uint64_t(1) << 51);
  ExpectCorrupt({"cat", image.string(), "/file0"});
  hostile::GapBeforeDamagedExtent(image.string(), layout, "gapped");
  ExpectCorrupt({"cat", image.string(), "/gapped"});
}

}  // namespace
