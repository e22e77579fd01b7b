#include "update/ErrorNumber.h"

#include <gtest/gtest.h>

#include <set>

#include "update/HtError.h"

namespace qdrl {
namespace {

TEST(TrayErrorTextId, CancelledHasNoTextAndNotAvailableHasItsOwn) {
  EXPECT_FALSE(ErrorTextId(kErrorCancelled).has_value());
  EXPECT_EQ(ErrorTextId(kErrorNotAvailable), 499);
}

TEST(TrayErrorTextId, WindowsSocketsErrorsRunFrom500To540) {
  EXPECT_EQ(ErrorTextId(MakeErrorNumber(1, 1)), 500);
  EXPECT_EQ(ErrorTextId(MakeErrorNumber(1, 7)), 506);  // "Connection refused (10061)."
  EXPECT_EQ(ErrorTextId(MakeErrorNumber(1, 41)), 540);
  EXPECT_FALSE(ErrorTextId(MakeErrorNumber(1, 42)).has_value());
  EXPECT_FALSE(ErrorTextId(MakeErrorNumber(1, 0)).has_value());
}

TEST(TrayErrorTextId, SocketLayerErrorsSkip563) {
  EXPECT_EQ(ErrorTextId(MakeErrorNumber(2, 1)), 550);
  EXPECT_EQ(ErrorTextId(MakeErrorNumber(2, 13)), 562);
  EXPECT_EQ(ErrorTextId(MakeErrorNumber(2, 14)), 564);
  EXPECT_EQ(ErrorTextId(MakeErrorNumber(2, 18)), 568);
  EXPECT_FALSE(ErrorTextId(MakeErrorNumber(2, 19)).has_value());
}

TEST(TrayErrorTextId, OtherCategoriesMapToTheirRanges) {
  EXPECT_EQ(ErrorTextId(MakeErrorNumber(3, 4)), 583);
  EXPECT_EQ(ErrorTextId(MakeErrorNumber(7, 5)), 724);  // "Not Found (404)."
  EXPECT_EQ(ErrorTextId(MakeErrorNumber(7, 23)), 742);
  EXPECT_EQ(ErrorTextId(MakeErrorNumber(8, 7)), 826);
  EXPECT_EQ(ErrorTextId(MakeErrorNumber(9, 1)), 800);
  EXPECT_EQ(ErrorTextId(MakeErrorNumber(9, 5)), 804);
  EXPECT_EQ(ErrorTextId(MakeErrorNumber(10, 1)), 827);
  // The transfer texts step over the data file's.
  EXPECT_EQ(ErrorTextId(kErrorBodyTooLarge), 828);
}

TEST(TrayErrorTextId, UnknownCategoriesHaveNoText) {
  for (std::uint16_t category : {4, 5, 6, 11, 0xFFFF}) {
    EXPECT_FALSE(ErrorTextId(MakeErrorNumber(category, 1)).has_value()) << category;
  }
}

TEST(TrayErrorCategories, ListEveryTextOnce) {
  std::set<std::uint16_t> ids;
  std::size_t count = 0;
  for (const auto& category : ErrorCategories()) {
    ids.insert(category.ids.begin(), category.ids.end());
    count += category.ids.size();
  }
  EXPECT_EQ(count, 41u + 18 + 4 + 23 + 8 + 5 + 1);
  EXPECT_EQ(ids.size(), count);
  EXPECT_FALSE(ids.contains(563));
}

}  // namespace
}  // namespace qdrl
