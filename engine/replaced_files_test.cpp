#include "engine/replaced_files.h"

#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/rerun.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

size_t openDescriptors() {
  size_t count = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

uint64_t freeBytes(const fs::path& at) {
  struct statvfs st;
  return statvfs(at.c_str(), &st) == 0 ? uint64_t(st.f_bavail) * st.f_frsize : 0;
}

void writeFile(const fs::path& path, size_t size) {
  std::ofstream(path, std::ios::binary) << std::string(size, 'v');
}

// A file replaced while held takes up its room until the holder is gone, and no longer: the
// commit writes the record after that, on a disk that may be nearly full.
TEST(ReplacedFiles, RoomOfAReplacedFileIsFreeOnceTheHolderIsGone) {
  if (rerunInChild({}, true)) return;
  TempFolder folder;
  const fs::path small = folder.path() / "small";
  TmpfsMount disk(small, "1m");
  ASSERT_TRUE(disk.mounted()) << disk.error();

  constexpr size_t oldSize = 768 * 1024;
  for (unsigned helpers : {0u, 1u, 4u}) {
    SCOPED_TRACE(helpers);
    writeFile(small / "world.pak", oldSize);
    writeFile(small / "world.pak.new", 1);
    const uint64_t freeBefore = freeBytes(small);
    {
      ReplacedFiles replaced(helpers);
      replaced.hold(small / "world.pak");
      fs::rename(small / "world.pak.new", small / "world.pak");
    }
    EXPECT_GE(freeBytes(small), freeBefore + oldSize);
    fs::remove(small / "world.pak");
  }
}

TEST(ReplacedFiles, LeavesNoDescriptorAndHoldsWithinItsLimit) {
  TempFolder folder;
  const size_t files = 3 * ReplacedFiles().limit();
  for (size_t i = 0; i < files; ++i) writeFile(folder.path() / std::to_string(i), 10);
  fs::create_symlink("nowhere", folder.path() / "dangling");

  for (unsigned helpers : {0u, 4u}) {
    SCOPED_TRACE(helpers);
    const size_t before = openDescriptors();
    size_t most = before;
    {
      ReplacedFiles replaced(helpers);
      // A missing entry and a link to nothing are not held and do no harm.
      replaced.hold(folder.path() / "missing");
      replaced.hold(folder.path() / "dangling");
      for (size_t i = 0; i < files; ++i) {
        replaced.hold(folder.path() / std::to_string(i));
        most = std::max(most, openDescriptors());
      }
      if (helpers == 0) {
        EXPECT_EQ(most, before);
      }
    }
    // Each helper may be closing one descriptor that it has already taken from the held ones.
    EXPECT_LE(most, before + ReplacedFiles().limit() + helpers);
    EXPECT_EQ(openDescriptors(), before);
  }
}

}  // namespace
