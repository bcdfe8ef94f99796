// The staged download without a server: what is reused, what is fetched again, and what the
// apply does before its first download. Downloads from real servers are tested end to end
// (tests/engine).
#include <gtest/gtest.h>

#include <filesystem>

#include "app/session.h"
#include "download/download.h"
#include "engine/compare.h"
#include "engine/update_plan.h"
#include "tests/engine/release_fixture.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

const char* const unreachable = "The download failed: could not reach the server (Couldn't connect to server)";

class StagedDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    resetBoard(install(), temp.path() / "log");
    board.options.source = defaultBaseUrl();
    latest.files = {{"bin/game", "game", true}, {"a", "same"}, {"b", "same"}, {"c", "see"}};
    board.latest = releaseRecord(latest);
    board.manifestText = signedManifest(latest);
    fs::create_directories(outside());
    writeText(outside() / "keep.txt", "the player's, outside");
  }
  void TearDown() override { closeLog(); }

  fs::path install() const { return temp.path() / "game"; }
  fs::path outside() const { return temp.path() / "outside"; }
  fs::path staging() const { return install() / ".staging"; }
  bool planAndApply(std::string& error) { return compareWithDisk(board, error) && applyUpdate(board, error); }

  TempFolder temp;
  TestRelease latest;
};

TEST_F(StagedDownload, ACancelBeforeTheFirstFileDownloadsNothing) {
  std::string error;
  ASSERT_TRUE(compareWithDisk(board, error));
  board.cancel = true;
  EXPECT_FALSE(applyUpdate(board, error));
  EXPECT_EQ(error, "Cancelled.");
  EXPECT_EQ(snapshotTree(install()), (TreeSnapshot{{".staging", "dir"}}));
}

TEST_F(StagedDownload, VerifiedStagingEntriesAreUsedWithoutAskingTheServer) {
  board.options.source = unreachableSource;
  for (const char* content : {"game", "same", "see"}) stageContent(install(), content);
  std::string error;
  ASSERT_TRUE(planAndApply(error)) << error;
  TreeSnapshot expected = releaseTree(latest);
  expected["install.manifest"] = describeFile(board.manifestText, 0644);
  expected["install.source"] = describeFile(std::string(unreachableSource) + "\n", 0644);
  EXPECT_EQ(snapshotTree(install()), expected);
}

TEST_F(StagedDownload, AStagingEntryThatIsNotAVerifiedDownloadIsFetchedAgain) {
  struct Case {
    const char* name;
    void (*prepare)(const fs::path& entry, const fs::path& outside);
  };
  const Case cases[] = {
      {"damaged", [](const fs::path& entry, const fs::path&) { writeText(entry, "gamf"); }},
      {"a link to the right content elsewhere",
       [](const fs::path& entry, const fs::path& outside) {
         writeText(outside / "elsewhere/game", "game");
         fs::create_symlink(outside / "elsewhere/game", entry);
       }},
  };
  for (const Case& c : cases) {
    TempFolder sandbox;
    const fs::path dir = sandbox.path() / "game";
    resetBoard(dir, temp.path() / "log");
    board.latest = releaseRecord(latest);
    fs::create_directories(dir / ".staging");
    c.prepare(dir / ".staging" / contentDigest("game"), sandbox.path());
    std::string error;
    EXPECT_FALSE(planAndApply(error)) << c.name;
    EXPECT_EQ(error, unreachable) << c.name;
  }
}

TEST_F(StagedDownload, AnInstallFolderThatCannotBeMadeIsReported) {
  writeText(temp.path() / "file", "a file where a folder must go");
  resetBoard(temp.path() / "file" / "game", temp.path() / "log");
  board.latest = releaseRecord(latest);
  std::string error;
  EXPECT_FALSE(planAndApply(error));
  EXPECT_EQ(error, "Could not create " + (temp.path() / "file" / "game").string() + ": Not a directory");
}

TEST_F(StagedDownload, DownloadsNeverLandBehindALinkInTheStagingFolder) {
  // A link at the staging folder's name, and one at a part file's name.
  board.options.source = unreachableSource;
  fs::create_directories(install());
  fs::create_directory_symlink(outside(), install() / ".staging");
  const TreeSnapshot outsideBefore = snapshotTree(outside());
  std::string error;
  EXPECT_FALSE(planAndApply(error));
  EXPECT_EQ(error, unreachable);
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(staging())));
  EXPECT_EQ(snapshotTree(outside()), outsideBefore);

  const fs::path part = staging() / (contentDigest("game") + ".part");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(part))) << "what the failed attempts left";
  fs::remove(part);
  fs::create_symlink(outside() / "keep.txt", part);
  EXPECT_FALSE(planAndApply(error));
  EXPECT_EQ(error, unreachable);
  EXPECT_EQ(snapshotTree(outside()), outsideBefore);
}

// Sizes that would wrap the needed-bytes sum past 2^64, or that no file system can hold, are
// refused by the free-space test before anything is downloaded.
TEST_F(StagedDownload, SizesBeyondAnyDiskAreRefusedBeforeAnyDownload) {
  board.options.source = unreachableSource;
  const uint64_t half = uint64_t(1) << 63;
  const struct {
    std::vector<uint64_t> sizes;
    uint64_t needed;
  } cases[] = {
      {{half, half, 10}, UINT64_MAX},      // wrapped, this sum would be 10 bytes
      {{half}, UINT64_MAX},                // larger than the largest file offset
      {{UINT64_MAX, 5}, UINT64_MAX},
      {{uint64_t(1) << 62, uint64_t(1) << 62}, uint64_t(1) << 63},  // large, but a true sum
  };
  for (const auto& c : cases) {
    board.latest.files.clear();
    for (size_t i = 0; i < c.sizes.size(); ++i) {
      board.latest.files.push_back({std::string(64, "0123456789abcdef"[i]), c.sizes[i], "f" + std::to_string(i), false});
    }
    std::string error;
    ASSERT_TRUE(compareWithDisk(board, error));
    EXPECT_EQ(board.neededBytes, c.needed);
    EXPECT_FALSE(applyUpdate(board, error));
    EXPECT_EQ(error, "Not enough free disk space: " + sizeText(c.needed) + " are needed.");
    EXPECT_FALSE(fs::exists(staging()));
  }
}

}  // namespace
