// Every real image made by Apple's tools, read through the quadrel command and compared
// with the facts an independent reader recorded beside it. Skips when they are absent.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>

#include "HostTestSupport.h"

namespace {

using namespace hosttest;
using nlohmann::json;

json Facts(const fs::path& image) {
  fs::path path = image;
  path.replace_extension(".expected.json");
  return json::parse(ReadFile(path));
}

// The recorded facts name every type but files, directories and symlinks "other".
std::string RecordedType(const std::string& ours) {
  return ours == "file" || ours == "dir" || ours == "symlink" ? ours : "other";
}

std::map<std::string, json> ListedEntries(const fs::path& image) {
  const Result r = Quadrel({"ls", "-R", "-a", "--json", image.string()});
  EXPECT_EQ(r.status, 0) << r.err;
  std::map<std::string, json> entries;
  if (r.status == 0) {
    const json listing = json::parse(r.out);
    for (const json& e : listing["entries"]) entries[e["path"]] = e;
  }
  return entries;
}

void CompareEntry(const json& recorded, const json& listed) {
  EXPECT_EQ(RecordedType(listed["type"]), recorded["type"]);
  for (const char* key : {"inode", "mode", "uid", "gid", "nlink", "children", "symlink_target"}) {
    if (recorded.contains(key)) {
      EXPECT_EQ(listed[key], recorded[key]) << key;
    }
  }
  if (recorded["type"] == "file") {
    EXPECT_EQ(listed["size"], recorded["size"]);
    EXPECT_EQ(listed["compressed"], recorded["compressed"]);
    EXPECT_EQ(listed["sparse"], recorded["sparse"]);
  }
  std::vector<std::string> shown, expected;
  for (const json& x : listed["xattrs"]) shown.push_back(x["name"]);
  for (const json& x : recorded.value("xattrs", json::array())) {
    // A compressed file's resource fork holds its compressed bytes: it is left out as the
    // header is.
    const bool compressedForm = recorded.value("compressed", false) && x["name"] == "com.apple.ResourceFork";
    if (!x.value("hidden_by_macos", false) && !compressedForm) expected.push_back(x["name"]);
  }
  EXPECT_EQ(shown, expected);
}

TEST(Conformance, ListingsMatchTheRecordedFacts) {
  const auto images = RealImages();
  if (images.empty()) GTEST_SKIP() << "no real APFS images in " << QUADREL_TESTDATA_DIR;
  size_t compared = 0;
  for (const fs::path& image : images) {
    SCOPED_TRACE(image.filename().string());
    const json facts = Facts(image);
    if (facts["volumes"].empty()) {
      const Result r = Quadrel({"ls", image.string()});
      EXPECT_EQ(r.status, 5) << "the object map lies outside this carve: " << r.err;
      EXPECT_NE(r.err.find("corrupt: container"), std::string::npos) << r.err;
      continue;
    }
    const std::map<std::string, json> listed = ListedEntries(image);
    size_t expected = 0;
    for (const json& recorded : facts["volumes"][0]["entries"]) {
      if (recorded["path"] == "/") continue;
      expected++;
      SCOPED_TRACE(recorded["path"].get<std::string>());
      const auto found = listed.find(recorded["path"]);
      ASSERT_NE(found, listed.end()) << "not listed";
      CompareEntry(recorded, found->second);
    }
    EXPECT_EQ(listed.size(), expected);
    compared += expected;
  }
  EXPECT_GT(compared, 50u);
}

TEST(Conformance, InfoMatchesTheRecordedContainer) {
  const auto images = RealImages();
  if (images.empty()) GTEST_SKIP() << "no real APFS images in " << QUADREL_TESTDATA_DIR;
  for (const fs::path& image : images) {
    SCOPED_TRACE(image.filename().string());
    const json facts = Facts(image);
    if (facts["volumes"].empty()) continue;
    const Result r = Quadrel({"info", "--json", image.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const json info = json::parse(r.out);
    const json& c = facts["container"];
    EXPECT_EQ(info["container"]["block_size"], c["block_size"]);
    EXPECT_EQ(info["container"]["block_count"], c["block_count"]);
    EXPECT_EQ(info["container"]["free_blocks"], c["free_blocks"]);
    EXPECT_EQ(info["container"]["xid"], c["xid"]);
    EXPECT_EQ(info["container"]["checkpoints"], c["raw_superblock"]["checkpoint_superblocks"].size());
    EXPECT_EQ(info["container"]["layout"], facts["layout"] == "gpt-disk" ? "gpt" : "bare");
    const json& v = facts["volumes"][0];
    ASSERT_EQ(info["volumes"].size(), 1u);
    EXPECT_EQ(info["volumes"][0]["name"], v["name"]);
    EXPECT_EQ(info["volumes"][0]["case_sensitive"], v["case_sensitive"]);
    EXPECT_EQ(info["volumes"][0]["encrypted"], v["encrypted"]);
    EXPECT_EQ(info["volumes"][0]["default"], true);
  }
}

TEST(Conformance, ExtractedTreesHoldTheRecordedBytes) {
  const auto images = RealImages();
  if (images.empty()) GTEST_SKIP() << "no real APFS images in " << QUADREL_TESTDATA_DIR;
  size_t files = 0;
  for (const fs::path& image : images) {
    SCOPED_TRACE(image.filename().string());
    const json facts = Facts(image);
    if (facts["volumes"].empty()) continue;
    ScratchDir dir;
    const fs::path dest = dir / "tree";
    const Result r = Quadrel({"get", image.string(), "/", dest.string()});
    for (const json& e : facts["volumes"][0]["entries"]) {
      const std::string path = e["path"];
      if (path == "/") continue;
      SCOPED_TRACE(path);
      const fs::path copy = dest / path.substr(1);
      if (e["type"] == "symlink") {
        EXPECT_EQ(fs::read_symlink(copy).string(), e["symlink_target"].get<std::string>());
      } else if (e["type"] == "dir") {
        EXPECT_TRUE(fs::is_directory(copy));
      } else if (e["type"] == "file") {
        EXPECT_EQ(FileSha256(copy), e["sha256"].get<std::string>());
        files++;
      }
      for (const json& x : e.value("xattrs", json::array())) {
        if (x.value("hidden_by_macos", false)) continue;
        const Result value = Quadrel({"xattr", image.string(), path, x["name"]});
        EXPECT_EQ(Sha256(value.out), x["sha256"].get<std::string>()) << x["name"];
      }
    }
    EXPECT_EQ(r.status, 0) << r.err;
  }
  EXPECT_GT(files, 30u);
}

}  // namespace
