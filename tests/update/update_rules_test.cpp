#include "update/UpdateRules.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace qdrl {
namespace {

ProductVersion V(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  return {a, b, c, d};
}

TEST(UpdateOffer, ComparesVersionNumbersNotParts) {
  EXPECT_FALSE(OffersUpdate(V(1, 0, 2, 0), V(1, 0, 2, 0), std::nullopt));
  EXPECT_TRUE(OffersUpdate(V(1, 0, 2, 0), V(1, 0, 3, 0), std::nullopt));
  EXPECT_TRUE(OffersUpdate(V(1, 0, 9, 9), V(1, 1, 0, 0), std::nullopt));   // 1100 > 1099
  EXPECT_TRUE(OffersUpdate(V(1, 0, 9, 9), V(1, 0, 10, 0), std::nullopt));  // 1100 > 1099
  EXPECT_FALSE(OffersUpdate(V(1, 1, 0, 0), V(1, 0, 10, 0), std::nullopt)); // both 1100
  EXPECT_FALSE(OffersUpdate(V(1, 0, 10, 0), V(1, 1, 0, 0), std::nullopt));
  EXPECT_FALSE(OffersUpdate(V(1, 0, 3, 0), V(1, 0, 2, 9), std::nullopt));  // older
}

TEST(UpdateOffer, SkippedVersionOnlyHidesItself) {
  EXPECT_FALSE(OffersUpdate(V(1, 0, 2, 0), V(1, 0, 3, 0), V(1, 0, 3, 0)));
  EXPECT_TRUE(OffersUpdate(V(1, 0, 2, 0), V(1, 0, 4, 0), V(1, 0, 3, 0)));
  // Equal VersionNumber but other parts: a different version, not the skipped one.
  EXPECT_TRUE(OffersUpdate(V(1, 0, 2, 0), V(1, 0, 10, 0), V(1, 1, 0, 0)));
  // An older or equal offer stays hidden whatever was skipped.
  EXPECT_FALSE(OffersUpdate(V(1, 0, 2, 0), V(1, 0, 1, 0), V(0, 0, 0, 0)));
}

TEST(DownloadProgress, MovesOnlyWhileTheFinalBodyOfKnownSizeArrives) {
  EXPECT_EQ(ProgressPosition(4, 200, 1000, 0), 0);
  EXPECT_EQ(ProgressPosition(4, 200, 1000, 999), 99);  // truncated, not rounded
  EXPECT_EQ(ProgressPosition(4, 200, 1000, 1000), 100);
  EXPECT_EQ(ProgressPosition(4, 200, 3, 1), 33);
  EXPECT_EQ(ProgressPosition(4, 200, std::int64_t{5} << 40, std::int64_t{1} << 40), 20);
  EXPECT_EQ(ProgressPosition(4, 302, 1000, 500), std::nullopt);  // a redirect's body
  EXPECT_EQ(ProgressPosition(4, 200, -1, 500), std::nullopt);    // no Content-Length
  EXPECT_EQ(ProgressPosition(4, 200, 0, 0), std::nullopt);
  EXPECT_EQ(ProgressPosition(2, 200, 1000, 500), std::nullopt);  // connecting
}

TEST(InstallerFile, NameIsDirectoryAumHexTokenAndExtension) {
  const std::uint8_t token[] = {0xBE, 0xEF, 0x00, 0x0A};
  EXPECT_EQ(InstallerFileName(L"C:\\temp\\", token, L"exe"), L"C:\\temp\\AUMBEEF000A.exe");
  EXPECT_EQ(InstallerFileName(L"", {}, L"msi"), L"AUM.msi");
}

TEST(DownloadOutcome, CancelWinsThenTheFetchDecides) {
  EXPECT_EQ(StepAfterDownload(true, true), DownloadStep::kClose);
  EXPECT_EQ(StepAfterDownload(true, false), DownloadStep::kClose);
  EXPECT_EQ(StepAfterDownload(false, true), DownloadStep::kValidateAndRun);
  EXPECT_EQ(StepAfterDownload(false, false), DownloadStep::kReportFailure);
}

TEST(SystemMessage, TrimmedAndEndedWithAFullStop) {
  EXPECT_EQ(TidySystemMessage(L"Access is denied.\r\n"), L"Access is denied.");
  EXPECT_EQ(TidySystemMessage(L" \tThe file is in use\r\n"), L"The file is in use.");
  EXPECT_EQ(TidySystemMessage(L"two\r\nlines \r\n"), L"two\r\nlines.");
  EXPECT_EQ(TidySystemMessage(L" \r\n"), L".");
}

}  // namespace
}  // namespace qdrl
