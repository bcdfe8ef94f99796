// A bad disk under the windowless run: too little space, a folder in a file's place, a record
// that cannot be written, a read-only install folder, a disk that fills up during a download.
// Mounts happen in a private mount namespace of a child test process, so nothing outside it
// sees them.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <filesystem>
#include <stdexcept>

#include "tests/engine/release_fixture.h"
#include "tests/support/rerun.h"
#include "tests/support/servers.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

// A mount made for one test, undone at the end of its scope.
class TestMount {
 public:
  static TestMount tmpfs(const fs::path& at, const std::string& options) {
    fs::create_directories(at);
    if (mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) != 0) throw std::runtime_error("mount tmpfs");
    return TestMount(at);
  }
  static TestMount readOnly(const fs::path& at) {
    if (mount(at.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        mount(nullptr, at.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
      throw std::runtime_error("read-only bind mount");
    }
    return TestMount(at);
  }
  TestMount(TestMount&& other) noexcept : at_(std::move(other.at_)) { other.at_.clear(); }
  ~TestMount() {
    if (!at_.empty()) umount2(at_.c_str(), MNT_DETACH);
  }

 private:
  explicit TestMount(fs::path at) : at_(std::move(at)) {}
  fs::path at_;
};

TestRelease smallRelease() {
  TestRelease release;
  release.files = {{"bin/game", "#!/bin/sh\n", true}, {"data/a", "a"}};
  return release;
}

TestRelease largerRelease() {
  TestRelease release = smallRelease();
  release.version = "2.0";
  release.files.push_back({"data/new", "new"});
  release.files.push_back({"data/large.pak", std::string(3000000, 'P')});
  return release;
}

class DiskFault : public ::testing::Test {
 protected:
  fs::path install() const { return sandbox.path() / "game"; }
  fs::path linuxFolder() const { return serverRoot.path() / "linux"; }
  SetupRun run() {
    return runSetup(sandbox.path(), {"--quiet", "--dir", install().string(), "--source", server.httpUrl() + "linux/"});
  }
  void installSmallRelease() {
    publishTestRelease(linuxFolder(), smallRelease());
    SetupRun first = run();
    ASSERT_EQ(first.exitCode, 0) << first.output;
    publishTestRelease(linuxFolder(), largerRelease());
    installedBefore = snapshotTree(install());
  }
  void expectFailure(const SetupRun& result, const std::string& failed) {
    EXPECT_EQ(result.exitCode, 1) << result.output;
    ASSERT_FALSE(result.log.empty());
    EXPECT_EQ(result.log.back(), "failed: " + failed);
    EXPECT_EQ(withoutStaging(snapshotTree(install())), installedBefore) << "the installed release is in place";
  }

  TempFolder sandbox;
  TempFolder serverRoot;
  NginxServer server{serverRoot.path()};
  TreeSnapshot installedBefore;
};

TEST_F(DiskFault, TooLittleSpaceIsReportedBeforeAnythingIsFetched) {
  if (rerunInChild({}, true)) return;
  TestMount small = TestMount::tmpfs(install(), "size=8m");
  publishTestRelease(linuxFolder(), largerRelease());
  SetupRun result = run();
  EXPECT_EQ(result.exitCode, 1) << result.output;
  EXPECT_EQ(result.log, (std::vector<std::string>{"Looking for the newest version...", "latest: 2.0, 4 files, 0 links",
                                                  "needed: 4 files, 3000014 bytes",
                                                  "failed: Not enough free disk space: 3 MB are needed."}));
  EXPECT_TRUE(snapshotTree(install()).empty());
  EXPECT_EQ(server.requestedPaths(), std::vector<std::string>{"/linux/latest.manifest"});
}

TEST_F(DiskFault, AFolderOfThePlayersWhereAFileMustGoStopsTheUpdate) {
  installSmallRelease();
  writeText(install() / "data/new/notes.txt", "the player's notes");
  installedBefore = snapshotTree(install());
  expectFailure(run(), "Could not install data/new (Is a directory).");
  EXPECT_EQ(readText(install() / "data/new/notes.txt"), "the player's notes");
}

TEST_F(DiskFault, ARecordThatCannotBeWrittenFailsAndTheNextRunFinishes) {
  installSmallRelease();
  writeText(install() / "install.manifest.tmp/in the way", "");
  const std::string olderRecord = readText(install() / "install.manifest");
  SetupRun result = run();
  EXPECT_EQ(result.exitCode, 1) << result.output;
  EXPECT_EQ(result.log.back(), "failed: Could not record the installed version.");
  EXPECT_EQ(readText(install() / "install.manifest"), olderRecord);
  EXPECT_EQ(readText(install() / "data/new"), "new") << "the files were placed before the record";

  fs::remove_all(install() / "install.manifest.tmp");
  SetupRun again = run();
  ASSERT_EQ(again.exitCode, 0) << again.output;
  EXPECT_EQ(again.log[2], "needed: 0 files, 0 bytes");
  EXPECT_EQ(again.log.back(), "installed 2.0");
  EXPECT_EQ(readText(install() / "install.manifest"), readText(linuxFolder() / "latest.manifest"));
}

TEST_F(DiskFault, AReadOnlyInstallFolderCannotTakeTheDownload) {
  if (rerunInChild({}, true)) return;
  installSmallRelease();
  TestMount readOnly = TestMount::readOnly(install());
  expectFailure(run(), "Could not write to " + (install() / ".staging").string());
}

TEST_F(DiskFault, ADiskThatFillsDuringADownloadIsAWriteFailureAndItsPartFileGoes) {
  if (rerunInChild({}, true)) return;
  installSmallRelease();
  // The space test looks at the install folder's file system; the staging folder is smaller.
  TestMount full = TestMount::tmpfs(install() / ".staging", "size=1m");
  SetupRun result = run();
  expectFailure(result, "Could not write to " + (install() / ".staging").string());
  EXPECT_EQ(result.log.size(), 4u);
  TreeSnapshot staging = snapshotTree(install() / ".staging");
  EXPECT_EQ(staging, (TreeSnapshot{{contentDigest("new"), describeFile("new", 0644)}}))
      << "the small new file staged before the large one, and no part file";
}

TEST_F(DiskFault, AStagingFolderOnAnotherFileSystemIsCopiedFrom) {
  if (rerunInChild({}, true)) return;
  installSmallRelease();
  TestMount other = TestMount::tmpfs(install() / ".staging", "size=16m");
  SetupRun result = run();
  ASSERT_EQ(result.exitCode, 0) << result.output;
  TreeSnapshot expected = releaseTree(largerRelease());
  expected["install.manifest"] = describeFile(readText(linuxFolder() / "latest.manifest"), 0644);
  expected["install.source"] = describeFile(server.httpUrl() + "linux/\n", 0644);
  expected[".staging"] = "dir";  // the mount point stays, emptied
  EXPECT_EQ(snapshotTree(install()), expected);
}

}  // namespace
