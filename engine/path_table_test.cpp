#include "engine/path_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(PathTable, FindsWhatWasSetAndTheLaterValueOfAPathSetTwice) {
  const std::vector<std::string> paths = {"bin/game", "data/a", "data/b", "", "data/a"};
  PathTable<int> table(paths.size());
  for (size_t i = 0; i < paths.size(); ++i) table.set(paths[i], static_cast<int>(i));

  const struct {
    std::string path;
    int value;  // -1: not held
  } cases[] = {{"bin/game", 0}, {"data/a", 4}, {"data/b", 2}, {"", 3},
               {"data/c", -1},  {"data", -1},  {"data/a/", -1}};
  for (const auto& c : cases) {
    const int* found = table.find(c.path);
    EXPECT_EQ(table.contains(c.path), c.value >= 0) << c.path;
    if (c.value >= 0 && found) {
      EXPECT_EQ(*found, c.value) << c.path;
    }
  }
}

TEST(PathTable, GrowsPastTheExpectedCount) {
  std::vector<std::string> paths;
  for (int i = 0; i < 5000; ++i) paths.push_back("d" + std::to_string(i % 50) + "/f" + std::to_string(i));
  for (size_t expected : {size_t(0), size_t(10), paths.size()}) {
    PathTable<size_t> table(expected);
    for (size_t i = 0; i < paths.size(); ++i) table.set(paths[i], i);
    for (size_t i = 0; i < paths.size(); ++i) {
      ASSERT_TRUE(table.contains(paths[i])) << expected << " " << paths[i];
      EXPECT_EQ(*table.find(paths[i]), i);
    }
    EXPECT_FALSE(table.contains("d0/f5000")) << expected;
  }
}

TEST(PathTable, AnEmptyTableHoldsNothing) {
  const PathTable<bool> table;
  EXPECT_FALSE(table.contains("a"));
  EXPECT_FALSE(table.contains(""));
}

}  // namespace
