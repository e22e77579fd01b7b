// Black-box cross-check: Debian's sleuthkit (fls, icat, istat) and libfsapfs-utils
// (fsapfsinfo), written by others, must see in the writer's images the tree, sizes, link
// targets, attributes and bytes the manifest asked for. Skipped without the tools.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>

#include "IndependentReader.h"
#include "ImageWriter.h"
#include "NameHash.h"
#include "PeerMount.h"
#include "SleuthKit.h"
#include "TestImages.h"

namespace apfsw::testing {
namespace {

struct Expected {
  EntryKind kind;
  uint64_t inode = 0;
  const Entry* entry = nullptr;
  bool sharesHash = false;  // another name in the same directory has the same hash
};

bool SharesHashWithSibling(const Entry& dir, const Entry& e) {
  return std::count_if(dir.children.begin(), dir.children.end(), [&](const Entry& sibling) {
           return NameHash(sibling.name, false) == NameHash(e.name, false);
         }) > 1;
}

// Every path of a volume's spec with what readers must report for it.
void Collect(const Entry& dir, const std::string& prefix, size_t volume, const WriteResult& result,
             std::map<std::string, Expected>& out) {
  for (const Entry& e : dir.children) {
    const std::string path = prefix.empty() ? e.name : prefix + "/" + e.name;
    Expected x{e.kind, 0, &e, SharesHashWithSibling(dir, e)};
    if (e.kind == EntryKind::HardLink) {
      x.inode = result.File(volume, e.target).inode;
      x.kind = EntryKind::Regular;
    } else {
      x.inode = result.File(volume, path).inode;
    }
    out[path] = x;
    if (e.kind == EntryKind::Directory) Collect(e, path, volume, result, out);
  }
}

char NameTypeOf(EntryKind kind) {
  switch (kind) {
    case EntryKind::Directory: return 'd';
    case EntryKind::Symlink: return 'l';
    case EntryKind::Fifo: return 'p';
    case EntryKind::CharDevice: return 'c';
    case EntryKind::BlockDevice: return 'b';
    case EntryKind::Socket: return 's';
    default: return 'r';
  }
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

class CrossCheck : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TempFolder();
    spec_ = new ContainerSpec(OneVolume(MixedEntries()));
    spec_->volumes[0].nodeEntryCap = 4;  // a tree of several levels
    VolumeSpec sensitive;
    sensitive.name = "Sensitive";
    sensitive.role = VolumeRole::Data;
    sensitive.caseInsensitive = false;
    sensitive.nodeEntryCap = 6;
    Entry many = Directory("many", {});
    for (int i = 0; i < 300; ++i) many.children.push_back(TextFile("n" + std::to_string(i), std::to_string(i * i)));
    sensitive.root.children = {TextFile("Readme", "upper"), TextFile("readme", "lower"), many};
    spec_->volumes.push_back(sensitive);
    result_ = new WriteResult(WriteImage(*spec_, Image()));
  }
  static void TearDownTestSuite() {
    delete result_;
    delete spec_;
    delete folder_;
  }
  void SetUp() override {
    if (!ToolInstalled("fls") || !ToolInstalled("icat") || !ToolInstalled("istat") || !ToolInstalled("fsapfsinfo"))
      GTEST_SKIP() << "sleuthkit (fls, icat, istat) or libfsapfs-utils (fsapfsinfo) not installed; "
                      "scripts/setup.sh installs them";
  }

  static std::string Image() { return folder_->Path("cross.apfs"); }
  // Runs a sleuthkit tool on one volume: options go before the image, operands after.
  static std::string Tsk(const std::string& tool, size_t volume, const std::string& options,
                         const std::string& operands = "") {
    return RunCommand(tool + " -P apfs -B " + std::to_string(result_->volumes[volume].superblockAddress) + " " +
                      options + " " + Image() + " " + operands + " 2>&1");
  }
  static std::map<std::string, Expected> ExpectedPaths(size_t volume) {
    std::map<std::string, Expected> paths;
    Collect(spec_->volumes[volume].root, "", volume, *result_, paths);
    return paths;
  }

  static TempFolder* folder_;
  static ContainerSpec* spec_;
  static WriteResult* result_;
};

TempFolder* CrossCheck::folder_ = nullptr;
ContainerSpec* CrossCheck::spec_ = nullptr;
WriteResult* CrossCheck::result_ = nullptr;

TEST_F(CrossCheck, SleuthkitListsTheSameTree) {
  for (size_t volume = 0; volume < 2; ++volume) {
    const auto listed = ParseFls(Tsk("fls", volume, "-r -p"));
    const auto expected = ExpectedPaths(volume);
    EXPECT_EQ(listed.size(), expected.size()) << "volume " << volume;
    for (const auto& [path, x] : expected) {
      const auto found = listed.find(path);
      ASSERT_NE(found, listed.end()) << path;
      EXPECT_EQ(found->second.first, NameTypeOf(x.kind)) << path;
      EXPECT_EQ(found->second.second, x.inode) << path;
    }
  }
}

TEST_F(CrossCheck, SleuthkitReadsEveryFilesBytes) {
  for (size_t volume = 0; volume < 2; ++volume)
    for (const auto& [path, x] : ExpectedPaths(volume)) {
      // Of the many small files only every 50th: each read starts a process.
      const bool sampled = path.rfind("many/", 0) != 0 || x.inode % 50 == 0;
      if (x.entry->kind != EntryKind::Regular || !sampled) continue;
      const Entry& source = x.entry->cloneOf.empty() ? *x.entry : *ExpectedPaths(volume).at(x.entry->cloneOf).entry;
      const uint64_t sourceInode = x.entry->cloneOf.empty() ? x.inode : result_->File(volume, x.entry->cloneOf).inode;
      const std::vector<uint8_t> read = Bytes(Tsk("icat", volume, "", std::to_string(x.inode)));
      const std::vector<uint8_t> expected = ExpectedContents(source, sourceInode);
      EXPECT_TRUE(read == expected) << path << ": read " << read.size() << " bytes, expected " << expected.size();
    }
}

// Entries fsapfsmount (libfsapfs 20201107) itself does not show right, each checked by
// the other readers: names with Hangul syllables (it does not decompose them when it
// looks a name up), decmpfs attributes stored as streams, and files of several names
// (in this image it shows hello.txt as a symbolic link and reads its other name short,
// while it reads a small image with the same links right).
bool FsapfsmountLimit(const std::string& path, const Expected& x) {
  const bool hangul = path.find("\xED\x95\x9C") != std::string::npos;
  const bool linked = path == "hello.txt" || x.entry->kind == EntryKind::HardLink;
  return hangul || linked || x.entry->compression == Compression::DecmpfsStream;
}

// fsapfsmount mounts each volume: the tree, each entry's kind, each file's size and bytes.
TEST_F(CrossCheck, FsapfsmountShowsEveryVolumesTreeAndBytes) {
  if (!PeerMount::Installed() || ::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "fsapfsmount or FUSE missing";
  for (size_t volume = 0; volume < 2; ++volume) {
    SCOPED_TRACE(volume);
    PeerMount peer(Image(), folder_->Path("peer" + std::to_string(volume)), int(volume) + 1);
    ASSERT_TRUE(peer.ok()) << "fsapfsmount did not mount volume " << volume;
    const auto expected = ExpectedPaths(volume);
    size_t shown = 0;
    for (const auto& found : std::filesystem::recursive_directory_iterator(peer.path())) {
      ++shown;
      const std::string path = std::filesystem::relative(found.path(), peer.path()).string();
      SCOPED_TRACE(path);
      ASSERT_TRUE(expected.count(path));
      const Expected& x = expected.at(path);
      if (FsapfsmountLimit(path, x)) continue;
      const auto status = found.symlink_status();
      EXPECT_EQ(NameTypeOf(x.kind), status.type() == std::filesystem::file_type::directory ? 'd'
                                    : status.type() == std::filesystem::file_type::symlink ? 'l'
                                    : status.type() == std::filesystem::file_type::fifo    ? 'p'
                                    : status.type() == std::filesystem::file_type::character ? 'c'
                                    : status.type() == std::filesystem::file_type::block   ? 'b'
                                    : status.type() == std::filesystem::file_type::socket  ? 's'
                                                                                          : 'r');
      if (x.kind != EntryKind::Regular || (path.rfind("many/", 0) == 0 && x.inode % 50 != 0)) continue;
      const Entry& source = x.entry->cloneOf.empty() ? *x.entry : *expected.at(x.entry->cloneOf).entry;
      const uint64_t sourceInode = x.entry->cloneOf.empty() ? x.inode : result_->File(volume, x.entry->cloneOf).inode;
      const std::string read = RunCommand("cat " + Quote(found.path().string()) + " 2>&1");
      EXPECT_TRUE(Bytes(read) == ExpectedContents(source, sourceInode)) << "read " << read.size() << " bytes";
    }
    EXPECT_EQ(shown, expected.size());
  }
}

TEST_F(CrossCheck, SleuthkitReportsSizesLinksAndLinkTargets) {
  for (const auto& [path, x] : ExpectedPaths(0)) {
    const std::string stat = Tsk("istat", 0, "", std::to_string(x.inode));
    // Sleuthkit reports compressed files with size 0 (it reads their bytes all the same).
    if (x.entry->kind == EntryKind::Regular && x.entry->cloneOf.empty() && x.entry->compression == Compression::None) {
      EXPECT_NE(stat.find("Size:\t" + std::to_string(x.entry->size) + "\n"), std::string::npos) << path << stat;
    }
    if (x.entry->kind == EntryKind::Symlink) {
      EXPECT_NE(stat.find("Symbolic link to:\t" + x.entry->target + "\n"), std::string::npos) << path;
    }
  }
  const std::string linked = Tsk("istat", 0, "", std::to_string(result_->File(0, "hello.txt").inode));
  EXPECT_NE(linked.find("Number of Links: 2"), std::string::npos) << linked;
}

// Older versions of every tree node stay in the object map; the reader must take the
// newest. (libfsapfs-utils 20201107 does not: it may land on an older version.)
TEST_F(CrossCheck, SleuthkitTakesTheNewestVersionOfEachNode) {
  ContainerSpec spec = OneVolume(MixedEntries());
  spec.volumes[0].nodeEntryCap = 3;
  spec.volumes[0].nodeVersions = 3;
  const std::string image = folder_->Path("versions.apfs");
  const WriteResult result = WriteImage(spec, image);
  const std::string listing = RunCommand("fls -P apfs -B " + std::to_string(result.volumes[0].superblockAddress) +
                                         " -r -p " + image + " 2>&1");
  std::map<std::string, Expected> expected;
  Collect(spec.volumes[0].root, "", 0, result, expected);
  EXPECT_EQ(ParseFls(listing).size(), expected.size()) << listing;
}

// LZVN-compressed files as the writer lays them out, inline and in the resource fork
// (chunks compressed and chunks stored behind the marker), read by both other readers.
// Neither decodes the writer's LZFSE (Sleuth Kit does not know the kind; libfsapfs
// reads a few bytes of error), so LZFSE is checked against the shared vectors instead.
TEST_F(CrossCheck, OtherReadersDecodeLzvnFiles) {
  std::vector<Entry> files = {PatternFile("inline", 3000), PatternFile("fork", 150000), PatternFile("stored", 70000)};
  for (Entry& e : files) {
    e.codec = Codec::Lzvn;
    e.compression = e.name == "inline" ? Compression::DecmpfsEmbedded : Compression::ResourceFork;
  }
  files.back().storeChunks = true;
  const ContainerSpec spec = OneVolume(files);
  const std::string image = folder_->Path("lzvn.apfs");
  const WriteResult result = WriteImage(spec, image);
  const bool peer = PeerMount::Installed() && ::access("/dev/fuse", R_OK | W_OK) == 0;
  std::optional<PeerMount> mounted;
  if (peer) mounted.emplace(image, folder_->Path("lzvn-peer"), 1);
  for (const Entry& e : files) {
    SCOPED_TRACE(e.name);
    const uint64_t inode = result.File(0, e.name).inode;
    const std::vector<uint8_t> expected = ExpectedContents(e, inode);
    const std::string read = RunCommand("icat -P apfs -B " + std::to_string(result.volumes[0].superblockAddress) + " " +
                                        image + " " + std::to_string(inode) + " 2>&1");
    EXPECT_TRUE(Bytes(read) == expected) << "Sleuth Kit read " << read.size() << " bytes";
    if (mounted && mounted->ok()) {
      EXPECT_TRUE(Bytes(RunCommand("cat " + Quote((mounted->path() / e.name).string()) + " 2>&1")) == expected);
    }
  }
}

TEST_F(CrossCheck, SleuthkitReadsEmbeddedAndStreamAttributes) {
  const uint64_t inode = result_->File(0, "attributes.txt").inode;
  const std::string stat = Tsk("istat", 0, "", std::to_string(inode));
  std::map<std::string, std::string> attributeIds;
  std::istringstream lines(stat);
  for (std::string line; std::getline(lines, line);) {
    const size_t open = line.find("ExATTR ("), name = line.find("Name: ");
    if (open == std::string::npos || name == std::string::npos) continue;
    const size_t close = line.find(')', open);
    attributeIds[line.substr(name + 6, line.find(' ', name + 6) - name - 6)] = line.substr(open + 8, close - open - 8);
  }
  ASSERT_EQ(attributeIds.size(), 2u) << stat;
  for (const XattrSpec& x : ExpectedPaths(0).at("attributes.txt").entry->xattrs) {
    ASSERT_TRUE(attributeIds.count(x.name)) << x.name;
    EXPECT_EQ(Bytes(Tsk("icat", 0, "", std::to_string(inode) + "-" + attributeIds[x.name])), x.value) << x.name;
  }
}

TEST_F(CrossCheck, LibfsapfsListsTheSameTreeInEveryVolume) {
  const std::string hierarchy = RunCommand("fsapfsinfo -H " + Image() + " 2>&1");
  std::set<std::string> listed;
  std::istringstream lines(hierarchy);
  for (std::string line; std::getline(lines, line);) listed.insert(line);
  for (size_t volume = 0; volume < 2; ++volume)
    for (const auto& [path, x] : ExpectedPaths(volume)) {
      bool found = false;
      for (const std::string& line : listed)
        found = found || (line.size() > path.size() + 1 && line.compare(line.size() - path.size() - 1, std::string::npos, "/" + path) == 0);
      EXPECT_TRUE(found) << path;
    }
  const std::string info = RunCommand("fsapfsinfo " + Image() + " 2>&1");
  EXPECT_NE(info.find("Number of volumes\t\t: 2"), std::string::npos) << info;
  EXPECT_NE(info.find("Name\t\t\t\t: Sensitive"), std::string::npos) << info;
}

TEST_F(CrossCheck, LibfsapfsReportsSizesAndLinkTargets) {
  for (const auto& [path, x] : ExpectedPaths(0)) {
    if (x.entry->kind != EntryKind::Regular && x.entry->kind != EntryKind::Symlink) continue;
    if (x.entry->compression != Compression::None || !x.entry->cloneOf.empty()) continue;
    // libfsapfs-utils 20201107 looks names up by hash without decomposing Hangul
    // syllables, and does not look past the leaf where a run of equal hashes starts, so
    // it cannot find such names by path (it lists them all the same).
    if (path.find("\xED\x95\x9C") != std::string::npos || x.sharesHash) continue;
    const std::string info = RunCommand("fsapfsinfo -f 1 -F " + Quote("/" + path) + " " + Image() + " 2>&1");
    const std::string wanted = x.entry->kind == EntryKind::Symlink
                                   ? "Symbolic link target\t: " + x.entry->target + "\n"
                                   : "Size\t\t\t: " + std::to_string(x.entry->size) + "\n";
    EXPECT_NE(info.find(wanted), std::string::npos) << path << info;
  }
}

// A container over 4 GiB whose metadata and data lie above block 2^20.
TEST_F(CrossCheck, SleuthkitReadsALargeSparseContainer) {
  ContainerSpec spec = OneVolume({PatternFile("high.bin", 70000), TextFile("note.txt", "high up\n")});
  spec.allocationStart = (1u << 20) + 3;
  const std::string image = folder_->Path("large.apfs");
  const WriteResult result = WriteImage(spec, image);
  ASSERT_GT(result.volumes[0].superblockAddress, 1u << 20);
  const std::string tsk = " -P apfs -B " + std::to_string(result.volumes[0].superblockAddress) + " " + image;
  const auto listed = ParseFls(RunCommand("fls -r -p" + tsk + " 2>&1"));
  ASSERT_EQ(listed.size(), 2u);
  const uint64_t inode = result.File(0, "high.bin").inode;
  EXPECT_EQ(listed.at("high.bin").second, inode);
  EXPECT_TRUE(Bytes(RunCommand("icat" + tsk + " " + std::to_string(inode))) ==
              ExpectedContents(spec.volumes[0].root.children[0], inode));
}

// A host tree through quadrel-mkimage: sleuthkit must list it and read back its bytes.
TEST_F(CrossCheck, HostTreeThroughMkimage) {
  TempFolder host;
  const std::string root = host.Path("tree");
  ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((root + "/docs").c_str(), 0755), 0);
  std::ofstream(root + "/docs/readme.txt") << "read me\n";
  std::string data(10000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + 7);
  std::ofstream(root + "/data.bin", std::ios::binary) << data;
  ASSERT_EQ(::symlink("docs/readme.txt", (root + "/to-readme").c_str()), 0);
  ASSERT_EQ(::link((root + "/data.bin").c_str(), (root + "/docs/same.bin").c_str()), 0);
  const std::string image = host.Path("host.apfs");
  int code = -1;
  const std::string output = RunCommand(std::string(QUADREL_MKIMAGE) + " --tree " + root + " --layout " +
                                            host.Path("layout.json") + " " + image + " 2>&1", &code);
  ASSERT_EQ(code, 0) << output;
  std::ifstream in(host.Path("layout.json"));
  const nlohmann::json layout = nlohmann::json::parse(in);
  const std::string tsk = " -P apfs -B " + std::to_string(layout["volumes"][0]["superblockAddress"].get<uint64_t>()) + " " + image;
  const auto listed = ParseFls(RunCommand("fls -r -p" + tsk + " 2>&1"));
  ASSERT_EQ(listed.size(), 5u);
  EXPECT_EQ(listed.at("to-readme").first, 'l');
  EXPECT_EQ(listed.at("docs/same.bin").second, listed.at("data.bin").second);
  EXPECT_EQ(RunCommand("icat" + tsk + " " + std::to_string(listed.at("docs/readme.txt").second)), "read me\n");
  EXPECT_TRUE(RunCommand("icat" + tsk + " " + std::to_string(listed.at("docs/same.bin").second)) == data);
  EXPECT_NE(RunCommand("istat" + tsk + " " + std::to_string(listed.at("to-readme").second)).find("Symbolic link to:\tdocs/readme.txt"),
            std::string::npos);
}

}  // namespace
}  // namespace apfsw::testing
