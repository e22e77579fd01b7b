#include "crash/ReportFormat.h"

#include <gtest/gtest.h>

#include <cwctype>

namespace qdrl {
namespace {

CrashIdentity SampleCrash() {
  CrashIdentity crash;
  crash.fileVersion = {1, 0, 2, 0};
  crash.recordedFileName = L"qdrlgui.exe";
  crash.fileIdentity = 0x0A1B2C3D;
  crash.crashAddress = 0x00007FF6123456ABull;
  crash.exceptionCode = 0xC0000005;
  crash.machineId = 0x1234ABCD;
  crash.time = {2026, 3, 7, 4, 5, 9};
  return crash;
}

TEST(CrashReportName, CarriesVersionFileIdentityAddressCodeMachineAndTime) {
  EXPECT_EQ(ReportFileName(SampleCrash()),
            L"1020_qdrlgui.exe_x64_0A1B2C3D_00007FF6123456AB_C0000005_1234ABCD_20260307040509.txt");
}

TEST(CrashReportName, PadsSmallNumbersAndAZeroCrashAddressToTheirFullWidth) {
  CrashIdentity crash = SampleCrash();
  crash.fileIdentity = 0x1F;
  crash.crashAddress = 0;
  crash.exceptionCode = 0x80000003;
  crash.machineId = 7;
  crash.time = {2031, 12, 31, 23, 59, 58};
  EXPECT_EQ(ReportFileName(crash),
            L"1020_qdrlgui.exe_x64_0000001F_0000000000000000_80000003_00000007_20311231235958.txt");
}

TEST(CrashReportName, RunsMultiDigitVersionPartsTogether) {
  CrashIdentity crash = SampleCrash();
  crash.fileVersion = {2, 10, 0, 345};
  EXPECT_EQ(ReportFileName(crash).substr(0, 9), L"2100345_q");
}

TEST(CrashReportLines, HeadGivesTimeProgramExceptionAndOsVersion) {
  const ReportOsVersion os{10, 0, 14394, 2, L"Service Pack 1"};
  const auto lines = ReportHeadLines(SampleCrash(), os);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], L"07-Mar-26 04:05:09");
  EXPECT_EQ(lines[1], L"qdrlgui.exe x64 1020 0A1B2C3D internal error (7FF6123456AB/C0000005)");
  EXPECT_EQ(lines[2],
            L"OS Info: MajorVersion[10] MinorVersion[0] Build[14394] Platform[2] "
            L"CSDVersion[Service Pack 1]");
}

TEST(CrashReportLines, ZeroCrashAddressReadsAsZeroInTheProgramLine) {
  CrashIdentity crash = SampleCrash();
  crash.crashAddress = 0;
  crash.time = {2027, 12, 25, 0, 0, 0};
  const auto lines = ReportHeadLines(crash, {});
  EXPECT_EQ(lines[0], L"25-Dec-27 00:00:00");
  EXPECT_EQ(lines[1], L"qdrlgui.exe x64 1020 0A1B2C3D internal error (0/C0000005)");
  EXPECT_EQ(lines[2], L"OS Info: MajorVersion[0] MinorVersion[0] Build[0] Platform[0] CSDVersion[]");
}

TEST(CrashReportLines, EveryMonthHasItsAbbreviation) {
  const wchar_t* const expected[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                     L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
  CrashIdentity crash = SampleCrash();
  for (unsigned month = 1; month <= 12; ++month) {
    crash.time.month = month;
    EXPECT_EQ(ReportHeadLines(crash, {})[0].substr(3, 3), expected[month - 1]) << month;
  }
}

TEST(CrashReportLines, ModuleLineHasBothVersionsBaseAndSize) {
  ReportModule module;
  module.path = L"C:\\windows\\system32\\KERNEL32.dll";
  module.versions = ReportModule::Versions{{10, 0, 19041, 1}, {6, 2, 9200, 16384}};
  module.base = 0x7FFB12340000ull;
  module.size = 0xC2000;
  EXPECT_EQ(ModuleLine(module),
            L"C:\\windows\\system32\\KERNEL32.dll Product Version = 10.0.19041.1  "
            L"File Version = 6.2.9200.16384 Base=00007FFB12340000 Size=000C2000");
}

TEST(CrashReportLines, ModuleWithoutFixedVersionInformationIsItsPathAlone) {
  ReportModule module;
  module.path = L"C:\\qdrl\\plain.dll";
  module.base = 0x180000000ull;
  module.size = 0x1000;
  EXPECT_EQ(ModuleLine(module), L"C:\\qdrl\\plain.dll");
}

TEST(CrashReportLines, FrameLineHasAddressesLogicalAddressAndModule) {
  const StackFrame inImage{0x140001234ull, 0x22FE40ull, 1, 0x234, L"C:\\qdrl\\qdrlgui.exe"};
  EXPECT_EQ(FrameLine(inImage), L"0000000140001234  000000000022FE40  0001:00000234 C:\\qdrl\\qdrlgui.exe");
  const StackFrame outside{0, 0x22FE40ull, 0, 0, L""};
  EXPECT_EQ(FrameLine(outside), L"0000000000000000  000000000022FE40  0000:00000000 ");
}

TEST(CrashReportLines, LongPathsAreNotCutShort) {
  ReportModule module;
  module.path = L"C:\\" + std::wstring(400, L'x') + L".dll";
  module.versions = ReportModule::Versions{};
  const std::wstring line = ModuleLine(module);
  EXPECT_EQ(line.substr(0, module.path.size()), module.path);
  EXPECT_EQ(line.substr(line.size() - 13), L"Size=00000000");
}

TEST(CrashReportBytes, StartWithTheByteOrderMarkAndEndEachLineWithCrLf) {
  const std::vector<std::wstring> lines{L"Ab", L"", L"\u00e9"};
  const std::vector<std::uint8_t> expected{0xFF, 0xFE, 'A', 0, 'b', 0, '\r', 0, '\n', 0,
                                           '\r', 0,   '\n', 0, 0xE9, 0, '\r', 0, '\n', 0};
  EXPECT_EQ(EncodeReport(lines), expected);
}

TEST(CrashReportBytes, CharactersBeyondTheBasicPlaneBecomeSurrogatePairs) {
  const std::vector<std::wstring> lines{std::wstring(1, static_cast<wchar_t>(0x1F600))};
  if (sizeof(wchar_t) == 2) GTEST_SKIP() << "wchar_t already holds UTF-16 units";
  const std::vector<std::uint8_t> expected{0xFF, 0xFE, 0x3D, 0xD8, 0x00, 0xDE, '\r', 0, '\n', 0};
  EXPECT_EQ(EncodeReport(lines), expected);
}

bool SameIgnoringCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return true;
}

TEST(CrashAddress, IsTheInnermostFrameOfTheOwnModule) {
  const std::vector<StackFrame> frames{
      {0x7FFB00001000ull, 0, 1, 0x1000, L"C:\\windows\\system32\\ntdll.dll"},
      {0x140002000ull, 0, 1, 0x1000, L"C:\\QDRL\\QDRLGUI.EXE"},
      {0x140003000ull, 0, 1, 0x2000, L"C:\\qdrl\\qdrlgui.exe"},
  };
  EXPECT_EQ(ChooseCrashAddress(frames, L"C:\\qdrl\\qdrlgui.exe", SameIgnoringCase), 0x140002000ull);
}

TEST(CrashAddress, IsZeroWhenNoFrameLiesInTheOwnModule) {
  const std::vector<StackFrame> frames{
      {0, 0, 0, 0, L""},
      {0x7FFB00001000ull, 0, 1, 0x1000, L"C:\\windows\\system32\\kernel32.dll"},
      {0x140001000ull, 0, 1, 0x1000, L"C:\\other\\qdrlgui.exe"},
  };
  EXPECT_EQ(ChooseCrashAddress(frames, L"C:\\qdrl\\qdrlgui.exe", SameIgnoringCase), 0u);
  EXPECT_EQ(ChooseCrashAddress({}, L"C:\\qdrl\\qdrlgui.exe", SameIgnoringCase), 0u);
}

TEST(CrashFileIdentity, FoldsTheDigestWithTheOneAtATimeHash) {
  // MD5 of the empty input (RFC 1321) and of "abc", folded by an independent
  // implementation of the one-at-a-time hash.
  const Md5Digest empty{0xd4, 0x1d, 0x8c, 0xd9, 0x8f, 0x00, 0xb2, 0x04,
                        0xe9, 0x80, 0x09, 0x98, 0xec, 0xf8, 0x42, 0x7e};
  const Md5Digest abc{0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                      0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
  EXPECT_EQ(FoldFileIdentity(empty), 0xE41D3530u);
  EXPECT_EQ(FoldFileIdentity(abc), 0xD7C5AC01u);
  EXPECT_EQ(FoldFileIdentity(Md5Digest{}), 0u);
}

TEST(CrashLogicalAddress, SectionNumbersCountFromOne) {
  const std::vector<SectionRange> sections{{0x1000, 0x800, 0xA00}, {0x2000, 0x300, 0x200}};
  const auto first = FindSection(sections, 0x1010);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->section, 1u);
  EXPECT_EQ(first->offset, 0x10u);
  const auto second = FindSection(sections, 0x2000);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->section, 2u);
  EXPECT_EQ(second->offset, 0u);
}

TEST(CrashLogicalAddress, RangeReachesTheLargerSizeInclusively) {
  // The raw size is larger in the first section, the virtual size in the second.
  const std::vector<SectionRange> sections{{0x1000, 0x800, 0xA00}, {0x3000, 0x300, 0x200}};
  EXPECT_EQ(FindSection(sections, 0x1A00)->offset, 0xA00u);
  EXPECT_FALSE(FindSection(sections, 0x1A01));
  EXPECT_EQ(FindSection(sections, 0x3300)->section, 2u);
  EXPECT_FALSE(FindSection(sections, 0x3301));
}

TEST(CrashLogicalAddress, HeadersAndGapsBelongToNoSection) {
  const std::vector<SectionRange> sections{{0x1000, 0x200, 0x200}};
  EXPECT_FALSE(FindSection(sections, 0));
  EXPECT_FALSE(FindSection(sections, 0xFFF));
  EXPECT_FALSE(FindSection({}, 0x1000));
  // Offsets beyond 32 bits never wrap into a section.
  EXPECT_FALSE(FindSection(sections, 0x100001000ull));
}

TEST(CrashLogicalAddress, OverlappingRangesGoToTheFirstSection) {
  const std::vector<SectionRange> sections{{0x1000, 0x1000, 0x1200}, {0x2000, 0x100, 0x100}};
  EXPECT_EQ(FindSection(sections, 0x2100)->section, 1u);
}

}  // namespace
}  // namespace qdrl
