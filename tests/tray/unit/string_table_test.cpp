// The program ends at once when a string-table entry it loads is missing, so every
// identifier it loads must be in the resource script's string table.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <string>

#include "update/ErrorNumber.h"

namespace qdrl {
namespace {

std::set<int> NumberedStringTableEntries() {
  std::ifstream script(QUADREL_TRAY_RESOURCE_SCRIPT);
  EXPECT_TRUE(script.good()) << QUADREL_TRAY_RESOURCE_SCRIPT;
  std::set<int> ids;
  const std::regex entry(R"(^\s*(\d+),\s*")");
  std::string line;
  bool inStringTable = false;
  while (std::getline(script, line)) {
    if (line.starts_with("STRINGTABLE")) inStringTable = true;
    std::smatch match;
    if (inStringTable && std::regex_search(line, match, entry)) ids.insert(std::stoi(match[1]));
  }
  return ids;
}

TEST(TrayStringTable, HoldsEveryErrorText) {
  const auto ids = NumberedStringTableEntries();
  EXPECT_TRUE(ids.contains(499));
  for (const auto& category : ErrorCategories()) {
    for (auto id : category.ids) EXPECT_TRUE(ids.contains(id)) << "missing entry " << id;
  }
}

TEST(TrayStringTable, HoldsTheNoticeAndUpdateTexts) {
  const auto ids = NumberedStringTableEntries();
  for (int id : {395, 397, 398, 400, 405, 406, 407, 408, 409, 412}) {
    EXPECT_TRUE(ids.contains(id)) << "missing entry " << id;
  }
}

}  // namespace
}  // namespace qdrl
