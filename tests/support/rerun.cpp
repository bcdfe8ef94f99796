#include "tests/support/rerun.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {
constexpr const char* childMarker = "VARNHOLT_TEST_CHILD";
}

bool rerunInChild(const ProcessOptions& options, bool privateMounts) {
  if (std::getenv(childMarker)) return false;
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string filter = std::string(info->test_suite_name()) + "." + info->name();
  std::error_code ec;
  std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  std::vector<std::string> argv;
  if (privateMounts) argv = {"unshare", "--mount", "--propagation", "private"};
  argv.insert(argv.end(), {self, "--gtest_filter=" + filter});
  ProcessOptions childOptions = options;
  childOptions.env.push_back(std::string(childMarker) + "=1");
  ProcessResult result = runProcess(argv, childOptions);
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_NE(result.output.find("[  PASSED  ] 1 test."), std::string::npos) << result.output;
  return true;
}
