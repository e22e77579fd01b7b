// The quadrel command as users run it: bad input of every kind gets a clear message and
// its documented exit status; JSON output and extraction keep what the volume holds.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <set>

#include "HostTestSupport.h"
#include "HostileNames.h"

namespace {

using namespace hosttest;
using nlohmann::json;

void ExpectFailure(const Result& r, int status, const std::string& message) {
  EXPECT_EQ(r.status, status) << r.err;
  EXPECT_NE(r.err.find(message), std::string::npos) << "stderr: " << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
}

std::string Sample() { return SampleImage().string(); }

TEST(Command, BadCommandLinesAreUsageErrors) {
  ExpectFailure(Quadrel({}), 2, "no command given");
  ExpectFailure(Quadrel({"frobnicate", Sample()}), 2, "unknown command \"frobnicate\"");
  ExpectFailure(Quadrel({"ls", "--frob", Sample()}), 2, "unknown option --frob");
  ExpectFailure(Quadrel({"stat", Sample()}), 2, "stat: missing operand");
  ExpectFailure(Quadrel({"cat", "--json", Sample(), "/README.txt"}), 2, "cat has no --json output");
  ExpectFailure(Quadrel({"ls", "--volume", "x", Sample()}), 2, "--volume takes a volume index");
  ExpectFailure(Quadrel({"stat", "-R", Sample(), "/"}), 2, "-l, -R and -a belong to ls");
}

TEST(Command, HelpIsOfferedForEveryCommand) {
  for (const std::string command : {"info", "ls", "stat", "cat", "xattr", "get", "mount"}) {
    const Result r = Quadrel({command, "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: quadrel " + command, 0), 0u) << r.out;
  }
  const Result general = Quadrel({"--help"});
  EXPECT_EQ(general.status, 0);
  EXPECT_NE(general.out.find("Exit status:"), std::string::npos);
}

TEST(Command, ImagesThatAreNotApfsAreNamedAsSuch) {
  ScratchDir dir;
  ExpectFailure(Quadrel({"info", (dir / "missing.img").string()}), 3, "cannot open image");
  std::ofstream(dir / "empty.img").close();
  ExpectFailure(Quadrel({"info", (dir / "empty.img").string()}), 4, "not an APFS container");
  std::string noise(1 << 16, '\0');
  std::mt19937 random(1);
  for (char& c : noise) c = char(random());
  std::ofstream(dir / "noise.img", std::ios::binary) << noise;
  ExpectFailure(Quadrel({"ls", (dir / "noise.img").string()}), 4, "not an APFS container");
  ExpectFailure(Quadrel({"info", dir.path().string()}), 3, "cannot open image");
}

TEST(Command, DamagedImagesAreReportedCorrupt) {
  ScratchDir dir;
  const std::string sample = ReadFile(SampleImage());
  // Only block 0: everything it points at reads as zeros.
  std::ofstream(dir / "head.img", std::ios::binary) << sample.substr(0, 4096);
  ExpectFailure(Quadrel({"info", (dir / "head.img").string()}), 5, "corrupt: container");
  // A flipped byte inside block 0 breaks its checksum.
  std::string flipped = sample.substr(0, 1 << 20);
  flipped[200] ^= 0x55;
  std::ofstream(dir / "flipped.img", std::ios::binary) << flipped;
  const Result r = Quadrel({"ls", "-R", (dir / "flipped.img").string()});
  EXPECT_TRUE(r.status == 0 || r.status == 5) << r.err;
  if (r.status == 5) {
    EXPECT_NE(r.err.find("corrupt: "), std::string::npos) << r.err;
  }
  // Cut short after the metadata: listings work or fail cleanly, never crash.
  for (size_t cut : {size_t(16384), size_t(65536), size_t(262144), size_t(1 << 20)}) {
    std::ofstream(dir / "cut.img", std::ios::binary | std::ios::trunc) << sample.substr(0, cut);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"ls", "-lRa", (dir / "cut.img").string()},
          std::vector<std::string>{"cat", (dir / "cut.img").string(), "/large.bin"}}) {
      const Result cutResult = Quadrel(args);
      EXPECT_LT(cutResult.status, 10) << cut << ": " << cutResult.err;
      if (cutResult.status != 0) {
        EXPECT_FALSE(cutResult.err.empty()) << cut;
      }
    }
  }
}

TEST(Command, MissingPathsVolumesAndContents) {
  ExpectFailure(Quadrel({"stat", Sample(), "/nothing/here"}), 7, "no such file: /nothing");
  ExpectFailure(Quadrel({"ls", Sample(), "/README.txt/x"}), 7, "not a directory: /README.txt/x");
  ExpectFailure(Quadrel({"cat", Sample(), "/Documents"}), 7, "is a directory: /Documents");
  EXPECT_EQ(Quadrel({"cat", Sample(), "/compressed.txt"}).out, SAMPLE_COMPRESSED_TEXT);
  ExpectFailure(Quadrel({"ls", "--volume", "3", Sample()}), 6, "no such volume: 3");
  ExpectFailure(Quadrel({"xattr", Sample(), "/README.txt", "absent"}), 7, "no such attribute: absent");
  ScratchDir dir;
  WriteImage(R"({"volumes": [{"name": "locked", "encrypted": true, "entries": [{"name": "a", "text": "x"}]}]})",
             dir / "encrypted.img");
  // The writer's encrypted volumes have no keybag: keys that only hardware holds.
  ExpectFailure(Quadrel({"ls", (dir / "encrypted.img").string()}), 6,
                "volume 0: encrypted by hardware: cannot be unlocked here");
  const Result info = Quadrel({"info", "--json", (dir / "encrypted.img").string()});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_TRUE(json::parse(info.out)["volumes"][0]["encrypted"].get<bool>());
  EXPECT_EQ(json::parse(info.out)["volumes"][0]["encryption"], "locked: encrypted by hardware");
}

TEST(Command, CatAndXattrWriteTheStoredBytes) {
  const Result cat = Quadrel({"cat", Sample(), "/Ünïcødé/café.txt"});
  EXPECT_EQ(cat.status, 0);
  EXPECT_EQ(cat.out, "un café, s'il vous plaît\n");
  const Result list = Quadrel({"xattr", Sample(), "/Documents/notes.md"});
  EXPECT_EQ(list.out, "com.example.reviewed\t10\ncom.example.thumbnail\t3000\nuser.colour\t4\n");
  EXPECT_EQ(Quadrel({"xattr", Sample(), "/Documents/notes.md", "user.colour"}).out, "blue");
}

TEST(Command, OutputThatCannotBeWrittenIsReported) {
  const Result r = RunProgram({"sh", "-c", std::string(QUADREL_BINARY) + " cat '" + Sample() + "' /large.bin > /dev/full"});
  EXPECT_EQ(r.status, 9);
  EXPECT_NE(r.err.find("cannot write the output"), std::string::npos) << r.err;
}

TEST(Command, JsonListingsFollowTheDocumentedSchema) {
  const Result r = Quadrel({"ls", "-R", "-a", "--json", Sample()});
  ASSERT_EQ(r.status, 0) << r.err;
  const json listing = json::parse(r.out);
  EXPECT_EQ(listing["schema"], 1);
  EXPECT_EQ(listing["path"], "/");
  std::map<std::string, json> byPath;
  std::vector<std::string> order;
  for (const json& e : listing["entries"]) {
    order.push_back(e["path"]);
    byPath[e["path"]] = e;
  }
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  const json& notes = byPath.at("/Documents/notes.md");
  EXPECT_EQ(notes["type"], "file");
  EXPECT_EQ(notes["nlink"], 2);
  EXPECT_EQ(notes["inode"], byPath.at("/notes-hardlink.md")["inode"]);
  EXPECT_EQ(notes["xattrs"].size(), 3u);
  EXPECT_EQ(byPath.at("/link-to-notes")["symlink_target"], "Documents/notes.md");
  EXPECT_EQ(byPath.at("/fifo")["type"], "fifo");
  EXPECT_EQ(byPath.at("/sparse.bin")["size"], 1048576);
  EXPECT_EQ(byPath.at("/compressed.txt")["compressed"], true);
  EXPECT_EQ(byPath.at("/Documents/Reports/2026/private.txt")["mode"], "0600");
  EXPECT_EQ(byPath.at("/Documents/Reports/2026/private.txt")["uid"], 501);
  EXPECT_EQ(byPath.at("/Documents")["children"], 2);
  for (const char* key : {"created", "modified", "changed", "accessed"}) {
    EXPECT_TRUE(notes["times"][key].is_number_unsigned()) << key;
  }
  const Result stat = Quadrel({"stat", "--json", Sample(), "Documents/notes.md"});
  ASSERT_EQ(stat.status, 0);
  const json one = json::parse(stat.out);
  EXPECT_EQ(one["path"], "/Documents/notes.md");
  EXPECT_EQ(one["times"], notes["times"]);
  // Without -a, names beginning with a dot stay hidden; without -R only one level shows.
  const json top = json::parse(Quadrel({"ls", "--json", Sample()}).out);
  for (const json& e : top["entries"]) EXPECT_EQ(e["path"].get<std::string>().find('/', 1), std::string::npos);
}

TEST(Command, GetKeepsLinksHolesTimesModesAndAttributes) {
  ScratchDir dir;
  const fs::path dest = dir / "copy";
  const Result r = Quadrel({"get", Sample(), "/", dest.string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find('\r'), std::string::npos) << "no progress bar when stderr is not a terminal";
  EXPECT_EQ(ReadFile(dest / "compressed.txt"), SAMPLE_COMPRESSED_TEXT) << "compressed files keep their bytes";

  struct stat a {}, b {};
  ASSERT_EQ(lstat((dest / "Documents/notes.md").c_str(), &a), 0);
  ASSERT_EQ(lstat((dest / "notes-hardlink.md").c_str(), &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino) << "hard links stay links";
  EXPECT_EQ(a.st_nlink, 2u);

  const json notes = json::parse(Quadrel({"stat", "--json", Sample(), "/Documents/notes.md"}).out);
  const uint64_t modified = notes["times"]["modified"];
  EXPECT_EQ(uint64_t(a.st_mtim.tv_sec) * 1000000000 + uint64_t(a.st_mtim.tv_nsec), modified);
  EXPECT_EQ(fs::read_symlink(dest / "link-to-notes"), "Documents/notes.md");
  struct stat fifo {};
  ASSERT_EQ(lstat((dest / "fifo").c_str(), &fifo), 0);
  EXPECT_TRUE(S_ISFIFO(fifo.st_mode));
  struct stat secret {};
  ASSERT_EQ(lstat((dest / "Documents/Reports/2026/private.txt").c_str(), &secret), 0);
  EXPECT_EQ(secret.st_mode & 07777, 0600u);
  if (geteuid() == 0) {
    EXPECT_EQ(secret.st_uid, 501u);
  }
  struct stat sparse {};
  ASSERT_EQ(lstat((dest / "sparse.bin").c_str(), &sparse), 0);
  EXPECT_EQ(sparse.st_size, 1048576);
  EXPECT_LT(sparse.st_blocks * 512, 1048576) << "holes stay holes";
  EXPECT_EQ(FileSha256(dest / "large.bin"), Sha256(Quadrel({"cat", Sample(), "/large.bin"}).out));

  char value[16] = {};
  const ssize_t n = getxattr((dest / "Documents/notes.md").c_str(), "user.user.colour", value, sizeof value);
  if (n < 0 && errno == ENOTSUP) GTEST_SKIP() << "the scratch folder's file system keeps no user attributes";
  EXPECT_EQ(std::string(value, size_t(std::max<ssize_t>(n, 0))), "blue");

  // The extracted tree written back keeps the attributes under their own names.
  const fs::path again = dir / "again.img";
  const Result written = RunProgram({QUADREL_MKIMAGE, "--tree", dest.string(), again.string()});
  ASSERT_EQ(written.status, 0) << written.err;
  EXPECT_EQ(Quadrel({"xattr", again.string(), "/Documents/notes.md"}).out,
            Quadrel({"xattr", Sample(), "/Documents/notes.md"}).out);
}

TEST(Command, GetOfOneFileIntoAFolderOrToANewName) {
  ScratchDir dir;
  EXPECT_EQ(Quadrel({"get", Sample(), "/README.txt", dir.path().string()}).status, 0);
  EXPECT_EQ(ReadFile(dir / "README.txt"), Quadrel({"cat", Sample(), "/README.txt"}).out);
  EXPECT_EQ(Quadrel({"get", Sample(), "/Ünïcødé/日本語.txt", (dir / "renamed.txt").string()}).status, 0);
  EXPECT_EQ(ReadFile(dir / "renamed.txt"), "こんにちは\n");
  ExpectFailure(Quadrel({"get", Sample(), "/README.txt", (dir / "renamed.txt").string()}), 9,
                "destination exists");
  EXPECT_EQ(Quadrel({"get", Sample(), "/compressed.txt", (dir / "c.txt").string()}).status, 0);
  EXPECT_EQ(ReadFile(dir / "c.txt"), SAMPLE_COMPRESSED_TEXT);
  // The volume root fills an existing directory rather than making one inside it.
  fs::create_directory(dir / "root");
  EXPECT_EQ(Quadrel({"get", Sample(), "/", (dir / "root").string()}).status, 0);
  EXPECT_TRUE(fs::is_regular_file(dir / "root/README.txt"));
  EXPECT_TRUE(fs::is_directory(dir / "root/Ünïcødé"));
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) count++;
  return count;
}

// Every hostile name of directory is reported exactly once, and no raw zero byte is printed.
void ExpectHostileNamesReported(const Result& r, const std::string& directory) {
  for (const HostileName& name : HostileNames()) {
    EXPECT_EQ(Occurrences(r.err, "directory " + directory + ": entry " + name.shown + " left out"), 1u)
        << name.shown << " in " << directory << ": " << r.err;
  }
  EXPECT_EQ(r.out.find('\0'), std::string::npos);
  EXPECT_EQ(r.err.find('\0'), std::string::npos);
}

// Every path below root, symbolic links not followed.
std::set<std::string> PathsBelow(const fs::path& root) {
  std::set<std::string> paths;
  for (const auto& entry : fs::recursive_directory_iterator(root)) paths.insert(entry.path().lexically_relative(root).string());
  return paths;
}

// Names that cannot be one path component ("", ".", "..", with '/' or a zero byte) are
// left out of listings and extraction with a message naming their directory, the rest
// of the tree goes on, and the command ends with status 1. Extraction writes nothing
// outside DEST, neither up the tree ("../../../../X") nor through a symbolic link it made
// ("link", then "link/payload").
TEST(Command, NamesThatCannotBePathComponentsAreLeftOut) {
  ScratchDir dir;
  const fs::path outside = dir / "outside";
  fs::create_directory(outside);
  const std::string image = (dir / "hostile.img").string();
  WriteHostileNamesImage(image, outside);

  const Result plain = Quadrel({"ls", "-a", image});
  EXPECT_EQ(plain.status, 1) << plain.err;
  EXPECT_EQ(plain.out, "good.txt\nlink\nsub\n");
  ExpectHostileNamesReported(plain, "/");

  const Result longForm = Quadrel({"ls", "-l", image, "/sub"});
  EXPECT_EQ(longForm.status, 1) << longForm.err;
  EXPECT_EQ(Occurrences(longForm.out, "\n"), 2u) << longForm.out;
  ExpectHostileNamesReported(longForm, "/sub");

  const Result tree = Quadrel({"ls", "-R", "-a", "--json", image});
  EXPECT_EQ(tree.status, 1) << tree.err;
  std::set<std::string> listed;
  const json treeListing = json::parse(tree.out);
  for (const json& e : treeListing["entries"]) listed.insert(e["path"].get<std::string>());
  EXPECT_EQ(listed, (std::set<std::string>{"/good.txt", "/link", "/sub", "/sub/deeper", "/sub/deeper/leaf.txt",
                                           "/sub/inner.txt"}));
  ExpectHostileNamesReported(tree, "/");
  ExpectHostileNamesReported(tree, "/sub");

  // Looking up good names in such a directory is not disturbed.
  EXPECT_EQ(Quadrel({"cat", image, "/sub/inner.txt"}).out, "inner\n");
  EXPECT_EQ(Quadrel({"stat", image, "/sub/../good.txt"}).status, 0);

  fs::create_directories(dir / "1/2/3");
  const fs::path dest = dir / "1/2/3/dest";
  const std::set<std::string> before = PathsBelow(dir.path());
  const Result get = Quadrel({"get", image, "/", dest.string()});
  EXPECT_EQ(get.status, 1) << get.err;
  ExpectHostileNamesReported(get, "/");
  ExpectHostileNamesReported(get, "/sub");
  EXPECT_EQ(PathsBelow(dest), (std::set<std::string>{"good.txt", "link", "sub", "sub/deeper", "sub/deeper/leaf.txt",
                                                     "sub/inner.txt"}));
  EXPECT_EQ(ReadFile(dest / "good.txt"), "good\n");
  EXPECT_EQ(ReadFile(dest / "sub/deeper/leaf.txt"), "leaf\n");
  EXPECT_EQ(fs::read_symlink(dest / "link"), outside);
  std::set<std::string> after = PathsBelow(dir.path());
  for (auto it = after.begin(); it != after.end();) {
    it = it->rfind("1/2/3/dest", 0) == 0 ? after.erase(it) : std::next(it);
  }
  EXPECT_EQ(after, before) << "nothing is written outside DEST";

  // A symbolic link found in an existing DEST is not followed either: the volume's
  // directory of that name is reported, and nothing lands where the link points.
  fs::create_directory(dir / "filled");
  fs::create_directory_symlink(outside, dir / "filled/sub");
  const Result filled = Quadrel({"get", image, "/", (dir / "filled").string()});
  EXPECT_EQ(filled.status, 1) << filled.err;
  EXPECT_NE(filled.err.find("cannot create directory " + (dir / "filled/sub").string()), std::string::npos) << filled.err;
  EXPECT_TRUE(fs::is_empty(outside));
  EXPECT_EQ(ReadFile(dir / "filled/good.txt"), "good\n");
}

// An entry that names a directory above it (here /a/back names the root) would make a
// recursive walk endless: it is reported and not entered again, and the rest is read.
TEST(Command, EntriesThatLeadBackUpTheTreeAreNotEnteredAgain) {
  ScratchDir dir;
  const fs::path image = dir / "loop.img";
  WriteImage(R"({"volumes": [{"name": "loop", "entries": [
                  {"name": "a", "entries": [{"name": "back", "entries": []}, {"name": "f.txt", "text": "f\n"}]}]}]})",
             image);
  hostile::PointStored(image, "back", 2);
  const std::string report = "corrupt: /a/back: names directory inode 2, which holds it; not entered again";
  const Result tree = Quadrel({"ls", "-R", image.string()});
  EXPECT_EQ(tree.status, 1) << tree.err;
  EXPECT_EQ(tree.out, "/a\n/a/back\n/a/f.txt\n");
  EXPECT_EQ(Occurrences(tree.err, report), 1u) << tree.err;

  const fs::path dest = dir / "dest";
  const Result get = Quadrel({"get", image.string(), "/", dest.string()});
  EXPECT_EQ(get.status, 1) << get.err;
  EXPECT_EQ(Occurrences(get.err, report), 1u) << get.err;
  EXPECT_EQ(PathsBelow(dest), (std::set<std::string>{"a", "a/f.txt"}));
}

// Runs quadrel with a terminal as its standard output and error; returns what it wrote.
std::string OnTerminal(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {QUADREL_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  for (std::string& a : argv) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  int terminal = -1;
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) {
    execv(pointers[0], pointers.data());
    _exit(127);
  }
  std::string written;
  char buffer[4096];
  ssize_t n;
  while (pid > 0 && (n = read(terminal, buffer, sizeof buffer)) > 0) written.append(buffer, size_t(n));
  if (terminal >= 0) close(terminal);
  if (pid > 0) waitpid(pid, nullptr, 0);
  return written;
}

TEST(Command, GetDrawsAProgressBarOnATerminal) {
  ScratchDir dir;
  const std::string shown = OnTerminal({"get", Sample(), "/large.bin", (dir / "large.bin").string()});
  EXPECT_NE(shown.find('\r'), std::string::npos) << shown;
  EXPECT_NE(shown.find("100% 4194304/4194304 bytes"), std::string::npos) << shown;
  EXPECT_EQ(fs::file_size(dir / "large.bin"), 4194304u);
}

}  // namespace
