// The pieces of the quadrel command that need no image: options, paths and formats.
#include <gtest/gtest.h>

#include "Commands.h"
#include "EntryName.h"

namespace {

Options Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "quadrel");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  return ParseOptions(int(argv.size()), argv.data());
}

ExitCode UsageFailure(const std::vector<std::string>& args) {
  try {
    CheckOptions(Parse(args));
  } catch (const ReadFailure& failure) {
    return failure.code();
  }
  return ExitCode::Ok;
}

TEST(CommandParts, OptionsMayComeAnywhereAndCombine) {
  const Options o = Parse({"-lR", "ls", "img", "--volume", "3", "-a", "dir", "--json"});
  EXPECT_EQ(o.command, "ls");
  EXPECT_EQ(o.operands, (std::vector<std::string>{"img", "dir"}));
  EXPECT_EQ(o.volume, 3);
  EXPECT_TRUE(o.longFormat && o.recursive && o.all && o.json);
  const Options m = Parse({"mount", "--volume=1", "-f", "-o", "allow_other", "img", "mnt"});
  EXPECT_EQ(m.volume, 1);
  EXPECT_TRUE(m.foreground);
  EXPECT_EQ(m.mountOptions, std::vector<std::string>{"allow_other"});
  EXPECT_EQ(Parse({"cat", "img", "--", "-odd-name"}).operands, (std::vector<std::string>{"img", "-odd-name"}));
}

TEST(CommandParts, CommandsRefuseWhatIsNotTheirs) {
  EXPECT_EQ(UsageFailure({"ls", "img"}), ExitCode::Ok);
  EXPECT_EQ(UsageFailure({"get", "img", "/a"}), ExitCode::Usage);
  EXPECT_EQ(UsageFailure({"xattr", "img", "/a", "n", "extra"}), ExitCode::Usage);
  EXPECT_EQ(UsageFailure({"mount", "-l", "img", "mnt"}), ExitCode::Usage);
  EXPECT_EQ(UsageFailure({"ls", "-f", "img"}), ExitCode::Usage);
  EXPECT_EQ(UsageFailure({"info", "--json", "img"}), ExitCode::Ok);
  EXPECT_THROW(Parse({"ls", "--volume", "100", "img"}), ReadFailure);
  EXPECT_THROW(Parse({"ls", "--volume"}), ReadFailure);
  EXPECT_THROW(Parse({"ls", "-x", "img"}), ReadFailure);
}

TEST(CommandParts, VolumePathsResolveDotsLexically) {
  EXPECT_EQ(VolumePath(""), "/");
  EXPECT_EQ(VolumePath("/"), "/");
  EXPECT_EQ(VolumePath("a//b/"), "/a/b");
  EXPECT_EQ(VolumePath("./a/../b/./c"), "/b/c");
  EXPECT_EQ(VolumePath("/../.."), "/");
}

TEST(CommandParts, ModesAndTimesReadAsLsAndStatPrintThem) {
  EXPECT_EQ(ModeString(0100644), "-rw-r--r--");
  EXPECT_EQ(ModeString(040755), "drwxr-xr-x");
  EXPECT_EQ(ModeString(0120777), "lrwxrwxrwx");
  EXPECT_EQ(ModeString(0104755), "-rwsr-xr-x");
  EXPECT_EQ(ModeString(041777), "drwxrwxrwt");
  EXPECT_EQ(ModeString(010600), "prw-------");
  EXPECT_EQ(ModeString(0140755), "srwxr-xr-x");
  EXPECT_EQ(TimeString(0), "1970-01-01 00:00:00.000000000 UTC");
  EXPECT_EQ(TimeString(1558306852537085527ull), "2019-05-19 23:00:52.537085527 UTC");
}

TEST(CommandParts, StoredNamesThatCannotBePathComponentsAndHowTheyAreShown) {
  for (const std::string& bad : {std::string(), std::string("."), std::string(".."), std::string("a/b"),
                                std::string("/"), std::string("a\0b", 3), std::string(1, '\0')}) {
    EXPECT_FALSE(IsPathComponent(bad)) << PrintableName(bad);
  }
  for (const char* good : {"...", ".a", "a.", "caf\u00e9", "a\\b", " ", "-"}) EXPECT_TRUE(IsPathComponent(good)) << good;
  // Control characters, quotes, backslashes and bytes of invalid UTF-8 are escaped; other
  // characters stay as they are.
  EXPECT_EQ(PrintableName(std::string("a\0\n\x7f\"\\", 6)), R"("a\x00\x0a\x7f\"\\")");
  EXPECT_EQ(PrintableName("caf\u00e9 \xff \xc2\x85 \xe6\x97"), "\"caf\u00e9 \\xff \\xc2\\x85 \\xe6\\x97\"");
  EXPECT_EQ(PrintableName(""), "\"\"");
}

TEST(CommandParts, EveryCommandHasItsOwnHelp) {
  for (const char* command : {"info", "ls", "stat", "cat", "xattr", "get", "mount"}) {
    EXPECT_EQ(HelpText(command).rfind(std::string("usage: quadrel ") + command, 0), 0u);
  }
  EXPECT_NE(HelpText("").find("Exit status"), std::string::npos);
}

}  // namespace
