// Snapshots through the quadrel command: info lists them as Sleuth Kit does, every
// reading command reads a snapshot's tree with --snapshot, and a damaged snapshot fails
// alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "HostTestSupport.h"
#include "ImageWriter.h"
#include "Patch.h"
#include "SnapshotScenario.h"

namespace {

using namespace hosttest;
using nlohmann::json;
namespace sc = snapshot_scenario;

struct SnapshotImage {
  ScratchDir dir;
  std::string image = (dir / "snapshots.img").string();
  apfsw::ContainerSpec spec = sc::Spec();
  apfsw::WriteResult layout;
  SnapshotImage() { layout = apfsw::WriteImage(spec, image); }
};

// The --snapshot arguments that choose a state; none for the live tree.
std::vector<std::string> Choose(const sc::State& state) {
  if (state.snapshot.empty()) return {};
  return {"--snapshot", state.snapshot};
}

std::vector<std::string> With(std::vector<std::string> head, const std::vector<std::string>& more) {
  head.insert(head.end(), more.begin(), more.end());
  return head;
}

// Every path ls -R lists, without the leading "/".
std::vector<std::string> ListedPaths(const std::string& image, const std::vector<std::string>& choose) {
  const Result r = Quadrel(With({"ls", "-R", "--json", image}, choose));
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> paths;
  if (r.status != 0) return paths;
  const json listing = json::parse(r.out);
  for (const json& e : listing["entries"]) paths.push_back(e["path"].get<std::string>().substr(1));
  std::sort(paths.begin(), paths.end());
  return paths;
}

// What ls, stat, cat, xattr and get show of one state: exactly its files.
void ExpectStateThroughTheCommand(const std::string& image, const sc::State& state,
                                  const std::vector<std::string>& choose, const fs::path& scratch) {
  std::vector<std::string> expected = state.directories;
  for (const sc::File& f : state.files) expected.push_back(f.path);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ListedPaths(image, choose), expected);
  const fs::path dest = scratch / "extracted";
  fs::remove_all(dest);
  const Result got = Quadrel(With({"get", image, "/", dest.string()}, choose));
  EXPECT_EQ(got.status, 0) << got.err;
  for (const sc::File& f : state.files) {
    SCOPED_TRACE(f.path);
    const Result cat = Quadrel(With({"cat", image, "/" + f.path}, choose));
    EXPECT_EQ(cat.status, 0) << cat.err;
    EXPECT_EQ(cat.out, f.content);
    const Result stat = Quadrel(With({"stat", "--json", image, "/" + f.path}, choose));
    ASSERT_EQ(stat.status, 0) << stat.err;
    EXPECT_EQ(json::parse(stat.out)["size"], f.content.size());
    EXPECT_EQ(ReadFile(dest / f.path), f.content);
    const Result names = Quadrel(With({"xattr", image, "/" + f.path}, choose));
    EXPECT_EQ(names.status, 0) << names.err;
    for (const auto& [name, value] : f.xattrs) {
      EXPECT_NE(names.out.find(name), std::string::npos) << names.out;
      const Result x = Quadrel(With({"xattr", image, "/" + f.path, name}, choose));
      EXPECT_EQ(x.out, value) << x.err;
    }
    if (f.xattrs.empty()) {
      EXPECT_EQ(names.out.find("user.tag"), std::string::npos) << names.out;
    }
  }
}

TEST(SnapshotCommand, InfoListsEachSnapshotWithItsTransactionTimeAndUuid) {
  SnapshotImage w;
  const Result text = Quadrel({"info", w.image});
  ASSERT_EQ(text.status, 0) << text.err;
  const Result r = Quadrel({"info", "--json", w.image});
  ASSERT_EQ(r.status, 0) << r.err;
  const json document = json::parse(r.out);
  const json& listed = document["volumes"][0]["snapshots"];
  const auto& written = w.layout.volumes[0].snapshots;
  ASSERT_EQ(listed.size(), written.size());
  const std::string uuids[] = {"11111111-1111-1111-1111-111111111111", "22222222-2222-2222-2222-222222222222"};
  for (size_t k = 0; k < written.size(); ++k) {
    SCOPED_TRACE(written[k].name);
    EXPECT_EQ(listed[k]["name"], written[k].name);
    EXPECT_EQ(listed[k]["xid"], written[k].xid);
    EXPECT_EQ(listed[k]["uuid"], uuids[k]);
    EXPECT_EQ(listed[k]["damaged"], false);
    EXPECT_NE(text.out.find("snapshot \"" + written[k].name + "\"  transaction " + std::to_string(written[k].xid)),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("UUID " + uuids[k]), std::string::npos) << text.out;
  }
  EXPECT_LT(listed[0]["created"].get<uint64_t>(), listed[1]["created"].get<uint64_t>());
}

TEST(SnapshotCommand, EveryCommandReadsTheChosenSnapshotAndTheLiveTreeStaysAsItIs) {
  SnapshotImage w;
  for (const sc::State& state : sc::States()) {
    SCOPED_TRACE(state.snapshot.empty() ? "live" : state.snapshot);
    ExpectStateThroughTheCommand(w.image, state, Choose(state), w.dir.path());
  }
  // A transaction number chooses the same snapshot as its name.
  const sc::State second = sc::States()[1];
  ExpectStateThroughTheCommand(w.image, second,
                               {"--snapshot", std::to_string(w.layout.volumes[0].snapshots[1].xid)},
                               w.dir.path());
}

TEST(SnapshotCommand, UnknownSnapshotsAndMisplacedOptionsAreClearErrors) {
  SnapshotImage w;
  for (const std::string& wanted : {std::string("no such"), std::string("999"), std::string("f\xC3\xB8r")}) {
    const Result r = Quadrel({"ls", "--snapshot", wanted, w.image});
    EXPECT_EQ(r.status, 6) << r.err;
    EXPECT_NE(r.err.find("no such snapshot: " + wanted), std::string::npos) << r.err;
  }
  const Result info = Quadrel({"info", "--snapshot", sc::kSecond, w.image});
  EXPECT_EQ(info.status, 2);
  EXPECT_NE(info.err.find("--snapshot belongs to"), std::string::npos) << info.err;
  const Result empty = Quadrel({"ls", "--snapshot=", w.image});
  EXPECT_EQ(empty.status, 2) << empty.err;
}

TEST(SnapshotCommand, ADamagedSnapshotSuperblockFailsThatSnapshotOnly) {
  SnapshotImage w;
  apfsw::PatchField(w.image, w.layout, "volume[0].snapshot[0].superblock", "@100:1", 0x5A,
                    apfsw::ChecksumMode::Stale);
  const Result r = Quadrel({"ls", "--snapshot", sc::kFirst, w.image});
  EXPECT_EQ(r.status, 5) << r.err;
  EXPECT_NE(r.err.find("snapshot '" + sc::kFirst + "'"), std::string::npos) << r.err;
  const Result info = Quadrel({"info", "--json", w.image});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_EQ(json::parse(info.out)["volumes"][0]["snapshots"].size(), 2u);
  const std::vector<sc::State> states = sc::States();
  ExpectStateThroughTheCommand(w.image, states[1], Choose(states[1]), w.dir.path());
  ExpectStateThroughTheCommand(w.image, states[2], {}, w.dir.path());
}

// Sleuth Kit's fsstat lists a volume's snapshots as "[XID] TIME NAME".
std::vector<std::pair<uint64_t, std::string>> SleuthKitSnapshots(const std::string& image, uint64_t superblock) {
  const Result r = RunProgram({"fsstat", "-P", "apfs", "-B", std::to_string(superblock), image});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::pair<uint64_t, std::string>> out;
  std::istringstream lines(r.out);
  std::string line;
  bool inSection = false;
  const std::regex entry(R"(^\[(\d+)\] \S+ \S+ \(UTC\) (.*?) ?$)");
  while (std::getline(lines, line)) {
    if (line == "Snapshots") inSection = true;
    std::smatch m;
    if (inSection && std::regex_match(line, m, entry)) out.emplace_back(std::stoull(m[1]), m[2]);
  }
  return out;
}

std::vector<std::pair<uint64_t, std::string>> QuadrelSnapshots(const std::string& image, size_t volume) {
  const Result r = Quadrel({"info", "--json", image});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::pair<uint64_t, std::string>> out;
  if (r.status != 0) return out;
  const json document = json::parse(r.out);
  for (const json& s : document["volumes"][volume]["snapshots"]) {
    out.emplace_back(s["xid"].get<uint64_t>(), s["name"].get<std::string>());
  }
  return out;
}

bool HaveSleuthKit() { return RunProgram({"sh", "-c", "command -v fsstat"}).status == 0; }

TEST(SnapshotCommand, SnapshotsAreListedAsSleuthKitListsThem) {
  if (!HaveSleuthKit()) GTEST_SKIP() << "fsstat (Debian package sleuthkit) is not installed";
  SnapshotImage w;
  const auto quadrel = QuadrelSnapshots(w.image, 0);
  EXPECT_EQ(quadrel.size(), 2u);
  EXPECT_EQ(quadrel, SleuthKitSnapshots(w.image, w.layout.volumes[0].superblockAddress));
}

TEST(SnapshotCommand, RealImagesListTheSnapshotsTheirRecordsAndSleuthKitGive) {
  const std::vector<fs::path> images = RealImages();
  if (images.empty()) GTEST_SKIP() << "no real APFS images in " << QUADREL_TESTDATA_DIR;
  for (const fs::path& image : images) {
    SCOPED_TRACE(image.filename().string());
    fs::path facts = image;
    facts.replace_extension(".expected.json");
    const json expected = json::parse(ReadFile(facts));
    const auto& volumes = expected["volumes"];
    for (size_t v = 0; v < volumes.size(); ++v) {
      const auto listed = QuadrelSnapshots(image.string(), v);
      EXPECT_EQ(listed.size(), volumes[v]["raw_superblock"]["num_snapshots"].get<uint64_t>());
      if (HaveSleuthKit() && volumes[v].contains("apsb_block") && image.string().find(".gpt.") == std::string::npos) {
        EXPECT_EQ(listed, SleuthKitSnapshots(image.string(), volumes[v]["apsb_block"].get<uint64_t>()));
      }
    }
  }
}

}  // namespace
