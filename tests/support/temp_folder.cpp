#include "tests/support/temp_folder.h"

#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include <gtest/gtest.h>

namespace {

// When a test has failed and VARNHOLT_TEST_LOGS names a folder, the small files of its
// temporary folders (server logs and configurations, the program's logs, manifests) are kept
// there under the test's name, so that a failure in CI can be read after the run.
void keepIfTheTestFailed(const std::filesystem::path& folder) {
  const char* logs = std::getenv("VARNHOLT_TEST_LOGS");
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  if (!logs || !*logs || !test || !testing::Test::HasFailure()) return;
  const std::filesystem::path kept = std::filesystem::path(logs) /
                                     (std::string(test->test_suite_name()) + "." + test->name()) /
                                     folder.filename();
  constexpr std::uintmax_t largestKept = 1 << 20;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code fileEc;
    if (!it->is_regular_file(fileEc) || it->is_symlink(fileEc) || it->file_size(fileEc) > largestKept) continue;
    const std::filesystem::path target = kept / std::filesystem::relative(it->path(), folder, fileEc);
    std::filesystem::create_directories(target.parent_path(), fileEc);
    std::filesystem::copy_file(it->path(), target, std::filesystem::copy_options::overwrite_existing, fileEc);
  }
}

}  // namespace

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "varnholt-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  chmod(pattern.c_str(), 0755);
  path_ = pattern;
}

TempFolder::~TempFolder() {
  keepIfTheTestFailed(path_);
  std::error_code ec;
  // Tests may leave read-only folders behind; make them writable again before removing.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) chmod(it->path().c_str(), 0755);
  }
  std::filesystem::remove_all(path_, ec);
}

TmpfsMount::TmpfsMount(std::filesystem::path at, const std::string& size) : at_(std::move(at)) {
  std::error_code ec;
  std::filesystem::create_directories(at_, ec);
  const std::string options = "size=" + size;
  if (mount("tmpfs", at_.c_str(), "tmpfs", 0, options.c_str()) != 0) error_ = std::strerror(errno);
}

TmpfsMount::~TmpfsMount() {
  if (mounted()) umount(at_.c_str());
}
