#include "BusyFlag.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace qdrl {
namespace {

TEST(TrayBusyScope, TakesAFreeFlagAndClearsItAtTheEnd) {
  std::uint8_t flag = 0;
  {
    BusyScope scope(flag);
    EXPECT_TRUE(scope.Acquired());
    EXPECT_EQ(flag, 1);
  }
  EXPECT_EQ(flag, 0);
}

TEST(TrayBusyScope, ASecondCommandWhileBusyIsRefusedAndLeavesTheFlagSet) {
  std::uint8_t flag = 0;
  BusyScope first(flag);
  {
    BusyScope second(flag);
    EXPECT_FALSE(second.Acquired());
  }
  EXPECT_EQ(flag, 1) << "the refused command must not free the open dialog's flag";
}

TEST(TrayBusyScope, ClearsTheFlagWhenTheDialogEndsByAnException) {
  std::uint8_t flag = 0;
  try {
    BusyScope scope(flag);
    throw std::runtime_error("dialog failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(flag, 0);
}

}  // namespace
}  // namespace qdrl
