// SPDX-License-Identifier: MIT
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "cfe/cfe_007_verify.h"

namespace {

const auto& table = cfe_007_verify::_child_map;

TEST(LayoutTable, HoldsEveryGroupAndEntryOfTheLayout) {
  size_t entries = 0;
  for (const auto& group : table) entries += group.second.size();
  EXPECT_EQ(table.size(), 34u);
  EXPECT_EQ(entries, 124u);
}

// The checker finds an entry by the first name that matches, so a name
// may stand only once in a list; every bound must be reachable.
TEST(LayoutTable, ListsHaveDistinctNamesAndSaneBounds) {
  for (const auto& group : table) {
    std::set<std::string> seen;
    ASSERT_FALSE(group.second.empty()) << group.first;
    for (const cfe_007_verify::child& entry : group.second) {
      EXPECT_TRUE(seen.insert(entry.name).second) << group.first << "/" << entry.name;
      EXPECT_GE(entry.max, 1u) << group.first << "/" << entry.name;
      EXPECT_LE(entry.min, entry.max) << group.first << "/" << entry.name;
    }
  }
}

TEST(LayoutTable, KeepsTheLayoutOrderAndBounds) {
  struct Expected {
    const char* group;
    size_t index;
    const char* name;
    uint32_t min;
    uint32_t max;
  };
  const Expected cases[] = {
      {"infCFe", 0, "versaoDadosEnt", 1, 1}, {"infCFe", 5, "det", 1, 500},
      {"infCFe", 8, "infAdic", 0, 1},        {"det", 0, "nItem", 1, 1},
      {"prod", 12, "obsFiscoDet", 0, 10},    {"pgto", 0, "MP", 1, 10},
      {"ISSQN", 5, "cNatOp", 1, 1},          {"emit", 4, "indRatISSQN", 1, 1},
      {"COFINSST", 3, "vAliqProd", 0, 1},    {"total", 1, "vCFeLei12741", 0, 1},
  };
  for (const Expected& e : cases) {
    const auto group = table.find(e.group);
    ASSERT_NE(group, table.end()) << e.group;
    ASSERT_LT(e.index, group->second.size()) << e.group;
    const cfe_007_verify::child& entry = group->second[e.index];
    EXPECT_EQ(entry.name, e.name) << e.group;
    EXPECT_EQ(entry.min, e.min) << e.group << "/" << e.name;
    EXPECT_EQ(entry.max, e.max) << e.group << "/" << e.name;
  }
  // Leaves are no groups.
  for (const char* leaf : {"CNPJ", "xProd", "MP", "CST", "nItem"}) {
    EXPECT_EQ(table.count(leaf), 0u) << leaf;
  }
}

}  // namespace
