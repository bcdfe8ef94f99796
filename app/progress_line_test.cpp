#include "app/progress_line.h"

#include <gtest/gtest.h>

TEST(ProgressLine, ShowsBytesRateAndTimeLeft) {
  struct Case {
    uint64_t done;
    uint64_t needed;
    double seconds;
    const char* line;
  };
  const Case cases[] = {
      {0, 812000000, 0.0, "1 MB of 812 MB"},
      {0, 812000000, 3.0, "1 MB of 812 MB"},
      {12000000, 812000000, 3.0, "12 MB of 812 MB, 4.0 MB/s, 3:20 left"},
      {406000000, 812000000, 10.0, "406 MB of 812 MB, 40.6 MB/s, 0:10 left"},
      {1000000, 4000000000, 1.0, "1 MB of 4.00 GB, 1.0 MB/s, 1:06:39 left"},
      {812000000, 812000000, 20.0, "812 MB of 812 MB, 40.6 MB/s, 0:00 left"},
  };
  for (const Case& c : cases) EXPECT_EQ(progressLine(c.done, c.needed, c.seconds), c.line) << c.line;
}
