#include "Version.h"

#include <gtest/gtest.h>

namespace qdrl {
namespace {

TEST(TrayProductVersion, PartsComeFromTheHighAndLowWordsOfTheFixedInfo) {
  const auto version = ProductVersion::FromFixedInfo(0x00010002, 0x00030004);
  EXPECT_EQ(version, (ProductVersion{1, 2, 3, 4}));
}

TEST(TrayProductVersion, VersionNumberWeighsThePartsByThousandHundredAndTen) {
  EXPECT_EQ(VersionNumber({1, 0, 2, 0}), 1020u);
  EXPECT_EQ(VersionNumber({1, 1, 0, 0}), 1100u);
  EXPECT_EQ(VersionNumber({1, 0, 9, 9}), 1099u);
}

TEST(TrayProductVersion, VersionNumberLetsATwoDigitThirdPartCatchUpWithTheNextMinor) {
  EXPECT_GT(VersionNumber({1, 0, 10, 0}), VersionNumber({1, 0, 9, 9}));
  EXPECT_EQ(VersionNumber({1, 0, 10, 0}), VersionNumber({1, 1, 0, 0}));
}

TEST(TrayProductVersion, UsersSeeMajorDotMinorAndThirdRunTogether) {
  EXPECT_EQ(DisplayVersion({1, 0, 2, 0}), L"1.02");
  EXPECT_EQ(DisplayVersion({2, 3, 4, 5}), L"2.34");
}

TEST(TrayProductVersion, StoredFormIsFourLittleEndianNumbersMajorFirst) {
  const VersionBytes bytes = ToBytes({1, 0x0203, 0x04050607, 0xFFFFFFFF});
  const VersionBytes expected{1, 0, 0, 0, 3, 2, 0, 0, 7, 6, 5, 4, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(FromBytes(bytes), (ProductVersion{1, 0x0203, 0x04050607, 0xFFFFFFFF}));
}

TEST(TrayVersionResource, RequiresTheUsEnglishUtf16Translation) {
  const Translation withIt[] = {{0x0407, 1200}, {0x0409, 1200}};
  const Translation languageOnly[] = {{0x0409, 1252}};
  const Translation codePageOnly[] = {{0x0407, 1200}};
  EXPECT_TRUE(HasRequiredTranslation(withIt));
  EXPECT_FALSE(HasRequiredTranslation(languageOnly));
  EXPECT_FALSE(HasRequiredTranslation(codePageOnly));
  EXPECT_FALSE(HasRequiredTranslation({}));
}

TEST(TrayVersionResource, StringValuesAreQueriedUnderTheTranslationsHexName) {
  EXPECT_EQ(StringFileInfoPath(kRequiredTranslation, L"ProductName"),
            L"\\StringFileInfo\\040904b0\\ProductName");
  EXPECT_EQ(StringFileInfoPath({0x0407, 0x04E4}, L"OriginalFilename"),
            L"\\StringFileInfo\\040704e4\\OriginalFilename");
}

TEST(TrayModulePath, DirectoryKeepsItsLastBackslash) {
  EXPECT_EQ(ModuleDirectory(L"C:\\Program Files\\Quadrel\\qdrlgui.exe"),
            L"C:\\Program Files\\Quadrel\\");
  EXPECT_EQ(ModuleDirectory(L"qdrlgui.exe"), L"");
}

}  // namespace
}  // namespace qdrl
