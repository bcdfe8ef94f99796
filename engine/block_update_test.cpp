#include "engine/block_update.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Blocks as a picture: '#' found, '.' missing.
std::vector<bool> blocks(const std::string& picture) {
  std::vector<bool> found;
  for (char c : picture) found.push_back(c == '#');
  return found;
}

TEST(MissingRanges, JoinNeighboursAndSmallGapsAndSplitLongRuns) {
  struct Case {
    const char* name;
    std::string picture;
    uint64_t fileSize;
    uint64_t joinGap;
    uint64_t maxRange;
    std::vector<ByteRange> expected;
  };
  const std::vector<Case> cases = {
      {"everything found", "####", 400, 0, 1000, {}},
      {"nothing found", "....", 400, 0, 1000, {{0, 400}}},
      {"neighbours make one range", "#..#", 400, 0, 1000, {{100, 200}}},
      {"the short last block", "##.", 250, 0, 1000, {{200, 50}}},
      {"a gap wider than the join", "#.##.", 500, 100, 1000, {{100, 100}, {400, 100}}},
      {"a gap within the join", "#.#.#", 500, 100, 1000, {{100, 300}}},
      {"long runs are split", ".....", 500, 0, 200, {{0, 200}, {200, 200}, {400, 100}}},
      {"split after joining", "..#..", 500, 100, 300, {{0, 300}, {300, 200}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(missingRanges(blocks(c.picture), 100, c.fileSize, c.joinGap, c.maxRange), c.expected) << c.name;
  }
}

}  // namespace
