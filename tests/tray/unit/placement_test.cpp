#include "Placement.h"

#include <gtest/gtest.h>

namespace qdrl {
namespace {

// A work area above a 40-pixel taskbar on a 1024 x 768 screen.
constexpr ScreenRect kWorkArea{0, 0, 1024, 728};

constexpr ScreenRect Sized(std::int32_t left, std::int32_t top, std::int32_t width,
                           std::int32_t height) {
  return {left, top, left + width, top + height};
}

TEST(TrayDialogPlacement, OnlyDialogsWithoutAPlaceOfTheirOwnArePositioned) {
  constexpr std::uint32_t popupWithCaption = 0x80C80000;  // WS_POPUP | WS_CAPTION | WS_SYSMENU
  EXPECT_TRUE(NeedsPlacement(popupWithCaption | 0x80 | 0x40));  // DS_MODALFRAME | DS_SETFONT
  EXPECT_FALSE(NeedsPlacement(0x40000000 | 0x04));               // WS_CHILD | DS_CONTROL: a page
  EXPECT_FALSE(NeedsPlacement(popupWithCaption | 0x10000000));   // WS_VISIBLE
  EXPECT_FALSE(NeedsPlacement(popupWithCaption | 0x01000000));   // WS_MAXIMIZE
  EXPECT_FALSE(NeedsPlacement(popupWithCaption | 0x0800));       // DS_CENTER
  EXPECT_FALSE(NeedsPlacement(popupWithCaption | 0x1000));       // DS_CENTERMOUSE
  EXPECT_FALSE(NeedsPlacement(popupWithCaption | 0x01));         // DS_ABSALIGN
}

TEST(TrayDialogPlacement, HiddenOwnerCentersOnTheWorkArea) {
  // Every dialog's owner is a hidden dialog-parent window, so this is the usual case.
  const auto corner = PlaceDialog(Sized(0, 0, 425, 176), kWorkArea, std::nullopt, true);
  EXPECT_EQ(corner, (ScreenPoint{512 - 212, 364 - 88}));
}

TEST(TrayDialogPlacement, VisibleOwnerCentersOnTheOwner) {
  const auto owner = Sized(100, 100, 301, 201);  // centre 250, 200 (integer division)
  const auto corner = PlaceDialog(Sized(700, 500, 101, 51), kWorkArea, owner, true);
  EXPECT_EQ(corner, (ScreenPoint{250 - 50, 200 - 25}));
}

TEST(TrayDialogPlacement, CenteringUsesIntegerDivisionAlsoLeftOfTheScreen) {
  // A work area on a monitor left of the primary one: C++ division truncates.
  constexpr ScreenRect leftMonitor{-1023, 0, 0, 768};
  const auto corner = PlaceDialog(Sized(0, 0, 101, 100), leftMonitor, std::nullopt, true);
  EXPECT_EQ(corner, (ScreenPoint{-1023 / 2 - 50, 384 - 50}));
}

TEST(TrayDialogPlacement, OwnerAtTheEdgeStillKeepsTheDialogInsideTheWorkArea) {
  const auto nearRight = PlaceDialog(Sized(0, 0, 400, 200), kWorkArea, Sized(900, 650, 120, 70), true);
  EXPECT_EQ(nearRight, (ScreenPoint{1024 - 400, 728 - 200}));
  const auto nearLeft = PlaceDialog(Sized(0, 0, 400, 200), kWorkArea, Sized(-50, -30, 100, 60), true);
  EXPECT_EQ(nearLeft, (ScreenPoint{0, 0}));
}

TEST(TrayDialogPlacement, WithoutCenteringTheDialogKeepsItsPlaceInsideTheWorkArea) {
  EXPECT_EQ(PlaceDialog(Sized(30, 40, 200, 100), kWorkArea, std::nullopt, false),
            (ScreenPoint{30, 40}));
  EXPECT_EQ(PlaceDialog(Sized(900, 700, 200, 100), kWorkArea, std::nullopt, false),
            (ScreenPoint{824, 628}));
  EXPECT_EQ(PlaceDialog(Sized(-10, -5, 200, 100), kWorkArea, std::nullopt, false),
            (ScreenPoint{0, 0}));
}

TEST(TrayDialogPlacement, ADialogLargerThanTheWorkAreaKeepsItsTopLeftCornerVisible) {
  const auto corner = PlaceDialog(Sized(0, 0, 1200, 800), kWorkArea, std::nullopt, true);
  EXPECT_EQ(corner, (ScreenPoint{0, 0}));
  const auto offset = ScreenRect{100, 50, 1124, 778};
  EXPECT_EQ(PlaceDialog(Sized(0, 0, 1200, 800), offset, std::nullopt, false),
            (ScreenPoint{100, 50}));
}

}  // namespace
}  // namespace qdrl
