#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "app/options.h"
#include "desktop/desktop.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

void writePlain(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// A small tmpfs, mounted in a mount namespace private to this test process (so nothing
// outside sees it, and it vanishes with the process even if the test dies).
class SmallTmpfs {
 public:
  SmallTmpfs(const fs::path& at, const char* size) : at_(at) {
    fs::create_directories(at);
    if (unshare(CLONE_NEWNS) != 0) { error_ = std::string("unshare: ") + std::strerror(errno); return; }
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      error_ = std::string("private mounts: ") + std::strerror(errno);
      return;
    }
    std::string options = std::string("size=") + size;
    if (mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      error_ = std::string("mount: ") + std::strerror(errno);
      return;
    }
    mounted_ = true;
  }
  ~SmallTmpfs() {
    if (mounted_) umount2(at_.c_str(), MNT_DETACH);
  }
  const std::string& error() const { return error_; }

 private:
  fs::path at_;
  bool mounted_ = false;
  std::string error_;
};

// Writes zeros until the file system has no block left.
void fillUp(const fs::path& filler) {
  FILE* file = std::fopen(filler.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  setvbuf(file, nullptr, _IONBF, 0);
  std::string block(1024, '\0');
  while (std::fwrite(block.data(), 1, block.size(), file) == block.size()) {}
  std::fclose(file);
}

}  // namespace

TEST(AtomicWrite, ReplacesTheTargetWithExactlyTheContent) {
  struct Case {
    const char* name;
    bool targetExists;
    std::string content;
  };
  const std::vector<Case> cases = {
      {"over a longer file", true, "short"},
      {"new file", false, "varnholt-release 1\r\nversion 2\n"},
      {"empty content", true, ""},
      {"binary bytes", false, std::string("a\0b\r\n\xff", 6)},
  };
  TempFolder temp;
  mode_t oldMask = umask(022);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path folder = temp.path() / c.name;
    fs::create_directory(folder);
    fs::path target = folder / "install.manifest";
    if (c.targetExists) {
      writePlain(target, "an older and much longer content of the target file\n");
      fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
    }
    ASSERT_TRUE(writeFileAtomically(target, c.content));
    EXPECT_EQ(readFile(target), c.content);
    // Only the target is left, with the mode of a new file (the old one's is not kept).
    EXPECT_EQ(namesIn(folder), std::vector<std::string>{"install.manifest"});
    EXPECT_EQ(fs::status(target).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  }
  umask(oldMask);
}

TEST(AtomicWrite, MissingFolderCreatesNothing) {
  TempFolder temp;
  EXPECT_FALSE(writeFileAtomically(temp.path() / "missing" / "install.source", "x\n"));
  EXPECT_TRUE(namesIn(temp.path()).empty());
}

TEST(AtomicWrite, StaleTemporaryFileIsReusedAndGoesWithTheRename) {
  TempFolder temp;
  fs::path target = temp.path() / "varnholt.desktop";
  writePlain(temp.path() / "varnholt.desktop.tmp", std::string(10000, 'x'));
  ASSERT_TRUE(writeFileAtomically(target, "[Desktop Entry]\n"));
  EXPECT_EQ(readFile(target), "[Desktop Entry]\n");
  EXPECT_EQ(namesIn(temp.path()), std::vector<std::string>{"varnholt.desktop"});
}

TEST(AtomicWrite, FailedRenameKeepsTargetAndCompleteTemporaryFile) {
  TempFolder temp;
  fs::path target = temp.path() / "install.manifest";
  fs::create_directories(target / "occupied");  // a folder with content cannot be renamed over
  EXPECT_FALSE(writeFileAtomically(target, "new"));
  EXPECT_TRUE(fs::is_directory(target / "occupied"));
  EXPECT_EQ(readFile(temp.path() / "install.manifest.tmp"), "new");
}

// On a full disk the bytes of a small file sit in the stream's buffer until the close, which
// is where the failure shows; a larger one fails while it is written. Either way the target
// keeps its old content and no partial temporary file takes space.
TEST(AtomicWrite, FullDiskLeavesTargetUnchanged) {
  TempFolder temp;
  fs::path disk = temp.path() / "disk";
  SmallTmpfs tmpfs(disk, "64k");
  ASSERT_EQ(tmpfs.error(), "");
  fs::path target = disk / "install.manifest";
  const std::string old = "varnholt-release 1\nversion 1\n";
  ASSERT_TRUE(writeFileAtomically(target, old));
  fillUp(disk / "filler");

  for (size_t size : {size_t(1000), size_t(200000)}) {
    SCOPED_TRACE(size);
    EXPECT_FALSE(writeFileAtomically(target, std::string(size, 'n')));
    EXPECT_EQ(readFile(target), old);
    EXPECT_FALSE(fs::exists(disk / "install.manifest.tmp"));
  }

  // Once there is room again the same write goes through.
  fs::remove(disk / "filler");
  EXPECT_TRUE(writeFileAtomically(target, std::string(1000, 'n')));
  EXPECT_EQ(readFile(target), std::string(1000, 'n'));
}

// A link planted at the temporary name (by anyone who can write to the folder, such as the
// applications folder) is replaced, not written through.
TEST(AtomicWrite, ALinkAtTheTemporaryNameIsNotFollowed) {
  TempFolder folder;
  const fs::path target = folder.path() / "varnholt.desktop";
  const fs::path elsewhere = folder.path() / "elsewhere";
  writePlain(elsewhere, "not the program's");
  fs::create_symlink(elsewhere, folder.path() / "varnholt.desktop.tmp");
  fs::create_symlink(folder.path() / "missing", folder.path() / "other.tmp");
  ASSERT_TRUE(writeFileAtomically(target, "[Desktop Entry]\n"));
  ASSERT_TRUE(writeFileAtomically(folder.path() / "other", "x"));
  std::ifstream in(elsewhere, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "not the program's");
  EXPECT_FALSE(fs::exists(fs::symlink_status(folder.path() / "missing")));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target)));
  EXPECT_EQ(namesIn(folder.path()), (std::vector<std::string>{"elsewhere", "other", "varnholt.desktop"}));
}
