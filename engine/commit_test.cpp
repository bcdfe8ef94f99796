// The commit: staged files into place, links, leftovers, the record. Each test plans a release
// against a folder prepared on disk, stages what the plan needs and commits it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "app/session.h"
#include "engine/compare.h"
#include "engine/update_plan.h"
#include "tests/engine/release_fixture.h"
#include "tests/support/rerun.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

class Commit : public ::testing::Test {
 protected:
  void SetUp() override {
    resetBoard(install(), temp.path() / "log");
    board.options.source = defaultBaseUrl();  // no "install.source" unless a test wants one
    fs::create_directories(outside());
    writeText(outside() / "keep.txt", "the player's, outside");
  }
  void TearDown() override { closeLog(); }

  fs::path install() const { return temp.path() / "game"; }
  fs::path outside() const { return temp.path() / "outside"; }

  bool plan(const TestRelease& latest, std::string& error) {
    board.latest = releaseRecord(latest);
    board.manifestText = signedManifest(latest);
    return compareWithDisk(board, error);
  }
  bool stageAndCommit(const TestRelease& latest, std::string& error, const ApplyContext& context = {}) {
    for (uint64_t i : board.neededFiles) stageContent(install(), latest.files[i].content);
    return commitUpdate(board, error, context);
  }
  bool update(const TestRelease& latest, std::string& error, const ApplyContext& context = {}) {
    return plan(latest, error) && stageAndCommit(latest, error, context);
  }

  // The tree of a folder that holds latest and nothing else (but the record).
  TreeSnapshot installedTree(const TestRelease& latest) {
    TreeSnapshot tree = releaseTree(latest);
    tree["install.manifest"] = describeFile(signedManifest(latest), 0644);
    return tree;
  }
  std::vector<std::string> log() {
    closeLog();
    return linesOf(readText(temp.path() / "log"));
  }

  TempFolder temp;
};

TestRelease sampleRelease() {
  TestRelease release;
  release.files = {{"bin/game", "#!/bin/sh\necho game\n", true},
                   {"data/base pak/levels.dat", "levels"},
                   {"lib/libaudio.so.2", "audio"}};
  release.links = {{"lib/libaudio.so", "libaudio.so.2"}, {"bin/libaudio.so.2", "../lib/libaudio.so.2"}};
  return release;
}

TEST_F(Commit, PlacesFilesWithTheirModesMakesTheLinksAndRecordsTheRelease) {
  const TestRelease latest = sampleRelease();
  writeText(install() / "install.source", "http://old.example/linux/\n");
  std::string error;
  ASSERT_TRUE(update(latest, error)) << error;
  EXPECT_EQ(snapshotTree(install()), installedTree(latest));  // no staging folder, no install.source
  EXPECT_EQ(readText(install() / "install.manifest"), board.manifestText);
  EXPECT_TRUE(board.valid);
  EXPECT_EQ(board.installed.version, "1.0");
  EXPECT_EQ(board.installed.files.size(), 3u);
  EXPECT_EQ(log(), (std::vector<std::string>{"needed: 3 files, 31 bytes, links", "Installing...", "installed 1.0"}));
}

TEST_F(Commit, RecordsAnotherSourceWithALineFeed) {
  board.options.source = "http://mirror.example/linux/";
  std::string error;
  ASSERT_TRUE(update(sampleRelease(), error)) << error;
  EXPECT_EQ(readText(install() / "install.source"), "http://mirror.example/linux/\n");
}

TEST_F(Commit, SameContentAtTwoPlacesIsMovedOnceAndCopiedOnceEachWithItsOwnMode) {
  TestRelease latest;
  latest.files = {{"tools/run", "same bytes", true}, {"docs/run.txt", "same bytes", false}};
  std::string error;
  ASSERT_TRUE(update(latest, error)) << error;
  EXPECT_EQ(snapshotTree(install()), installedTree(latest));
}

// The same path listed twice with the same content: as first written, the second entry deleted
// the file the first had just placed and then failed to copy it onto itself.
TEST_F(Commit, TheSameFileListedTwiceStaysInPlace) {
  TestRelease latest;
  latest.files = {{"data/f", "content"}, {"data/f", "content"}};
  std::string error;
  ASSERT_TRUE(update(latest, error)) << error;
  EXPECT_EQ(board.neededFiles.size(), 2u);
  EXPECT_EQ(readText(install() / "data/f"), "content");
}

TEST_F(Commit, TheSameFileUnderAnotherNameThroughALinkStaysInPlace) {
  // "d" leads to the install folder itself, so "d/f" is "f".
  TestRelease older;
  older.files = {{"x", "x"}};
  older.links = {{"d", "."}};
  placeRelease(install(), older);
  TestRelease latest;
  latest.files = {{"f", "content"}, {"d/f", "content"}};
  latest.links = {{"d", "."}};
  std::string error;
  ASSERT_TRUE(update(latest, error)) << error;
  EXPECT_EQ(readText(install() / "f"), "content");
}

// A release that turns a file of the installed release into a folder, or a folder into a
// file: as first written the new file could never be placed, so the update never completed.
TEST_F(Commit, TheInstalledReleasesFilesMakeWayForFoldersAndTheirFoldersForFiles) {
  TestRelease older;
  older.files = {{"a", "file a"}, {"b/c", "file b/c"}, {"b/d/e", "file b/d/e"}, {"keep", "k"}};
  older.links = {{"l", "a"}, {"m/n", "../keep"}};
  placeRelease(install(), older);
  TestRelease latest;
  latest.version = "2.0";
  latest.files = {{"a/x", "now a folder"}, {"b", "now a file"}, {"keep", "k"}, {"l/y", "link now a folder"},
                  {"m", "folder of links now a file"}};
  std::string error;
  ASSERT_TRUE(update(latest, error)) << error;
  EXPECT_EQ(snapshotTree(install()), installedTree(latest));
}

TEST_F(Commit, APlayersFileInTheWayStillFails) {
  struct Case {
    const char* name;
    void (*playerFile)(const fs::path& install);
    TestRelease latest;
    const char* error;
  };
  TestRelease older;
  older.files = {{"b/c", "file b/c"}, {"keep", "k"}};
  const Case cases[] = {
      {"a save in the folder that must become a file",
       [](const fs::path& i) { writeText(i / "b/save.dat", "mine"); },
       TestRelease{"2.0", "b", {{"b", "file"}, {"keep", "k"}}, {}},
       "Could not install b (Is a directory)."},
      {"a file of the player's where a folder must go",
       [](const fs::path& i) { writeText(i / "notes", "mine"); },
       TestRelease{"2.0", "keep", {{"notes/x", "file"}, {"keep", "k"}}, {}},
       "Could not install notes/x (Not a directory)."},
  };
  for (const Case& c : cases) {
    TempFolder sandbox;
    const fs::path dir = sandbox.path() / "game";
    resetBoard(dir, temp.path() / "log");
    board.options.source = defaultBaseUrl();
    placeRelease(dir, older);
    c.playerFile(dir);
    const TreeSnapshot before = snapshotTree(dir);
    board.latest = releaseRecord(c.latest);
    board.manifestText = signedManifest(c.latest);
    std::string error;
    ASSERT_TRUE(compareWithDisk(board, error));
    for (uint64_t i : board.neededFiles) stageContent(dir, c.latest.files[i].content);
    EXPECT_FALSE(commitUpdate(board, error)) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
    TreeSnapshot after = snapshotTree(dir);
    for (auto it = after.begin(); it != after.end();) it = it->first.rfind(".staging", 0) == 0 ? after.erase(it) : std::next(it);
    EXPECT_EQ(after, before) << c.name << ": nothing of the player's or the installed release changed";
  }
}

TEST_F(Commit, ALinkAtAFilesPlaceIsReplacedNotWrittenThrough) {
  fs::create_directories(install() / "data");
  fs::create_symlink(outside() / "keep.txt", install() / "data/f");
  TestRelease latest;
  latest.files = {{"data/f", "game data"}};
  std::string error;
  ASSERT_TRUE(update(latest, error)) << error;
  EXPECT_EQ(snapshotTree(install()), installedTree(latest));
  EXPECT_EQ(readText(outside() / "keep.txt"), "the player's, outside");
}

TEST_F(Commit, AFolderAtALinksPlaceGoesOnlyWhenNothingInItIsThePlayers) {
  TestRelease older;
  older.files = {{"lib/a.so", "a"}, {"lib/sub/b.so", "b"}};
  placeRelease(install(), older);
  TestRelease latest;
  latest.version = "2.0";
  latest.files = {{"lib64/a.so", "a"}, {"lib64/sub/b.so", "b"}};
  latest.links = {{"lib", "lib64"}};

  writeText(install() / "lib/sub/mod.so", "the player's mod");
  std::string error;
  ASSERT_TRUE(plan(latest, error));
  EXPECT_FALSE(stageAndCommit(latest, error));
  EXPECT_EQ(error, "Could not link lib (File exists).");
  EXPECT_EQ(readText(install() / "lib/sub/mod.so"), "the player's mod");
  EXPECT_EQ(readText(install() / "install.manifest"), signedManifest(older));

  fs::remove(install() / "lib/sub/mod.so");
  ASSERT_TRUE(update(latest, error)) << error;
  EXPECT_EQ(snapshotTree(install()), installedTree(latest));
}

TEST_F(Commit, ALinkThatIsAlreadyRightIsNotMadeAgain) {
  TestRelease release = sampleRelease();
  placeRelease(install(), release);
  struct stat before;
  ASSERT_EQ(lstat((install() / "lib/libaudio.so").c_str(), &before), 0);
  fs::remove(install() / "bin/libaudio.so.2");
  release.version = "1.1";
  std::string error;
  ASSERT_TRUE(update(release, error)) << error;
  EXPECT_TRUE(board.linksNeeded);
  struct stat after;
  ASSERT_EQ(lstat((install() / "lib/libaudio.so").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(snapshotTree(install()), installedTree(release));
}

TEST_F(Commit, LeftoversOfTheInstalledReleaseGoTheirFoldersAndThePlayersFilesStay) {
  TestRelease older;
  older.files = {{"a", "a"}, {"old/b", "b"}, {"old/deeper/c", "c"}};
  older.links = {{"old/l", "../a"}};
  placeRelease(install(), older);
  writeText(install() / "saves/slot1", "the player's save");
  TestRelease latest;
  latest.version = "2.0";
  latest.files = {{"a", "a"}, {"new/c", "c"}};
  std::string error;
  ASSERT_TRUE(update(latest, error)) << error;
  TreeSnapshot expected = installedTree(latest);
  expected["old"] = "dir";
  expected["old/deeper"] = "dir";
  addFile(expected, "saves/slot1", "the player's save");
  EXPECT_EQ(snapshotTree(install()), expected);
}

TEST_F(Commit, WithoutAValidRecordNothingIsDeleted) {
  writeText(install() / "b", "was it ours?");
  writeText(install() / "install.manifest", "not a manifest");
  TestRelease latest;
  latest.files = {{"a", "a"}};
  std::string error;
  ASSERT_TRUE(update(latest, error)) << error;
  TreeSnapshot expected = installedTree(latest);
  addFile(expected, "b", "was it ours?");
  EXPECT_EQ(snapshotTree(install()), expected);
}

// A leftover whose path now runs through a link that this release made names something else
// than the file the older release had there (that one went with its folder): as first written,
// deleting it deleted the latest release's own file, or a player's file, behind the link.
TEST_F(Commit, ALeftoverBehindANewLinkIsNotDeleted) {
  TestRelease older;
  older.files = {{"lib/a.so", "a"}, {"lib/b.so", "b"}, {"lib/c.so", "c"}};
  placeRelease(install(), older);
  writeText(install() / "lib64/c.so", "the player's own c.so");
  TestRelease latest;
  latest.version = "2.0";
  latest.files = {{"lib64/a.so", "a"}, {"lib64/b.so", "b"}};
  latest.links = {{"lib", "lib64"}};
  std::string error;
  ASSERT_TRUE(update(latest, error)) << error;
  TreeSnapshot expected = installedTree(latest);
  addFile(expected, "lib64/c.so", "the player's own c.so");
  EXPECT_EQ(snapshotTree(install()), expected);
}

TEST_F(Commit, ALeftoverThatIsTheLatestReleasesFileUnderAnotherNameIsNotDeleted) {
  // "d" leads to the install folder itself in both releases: the older "d/a" is the latest "a".
  TestRelease older;
  older.files = {{"d/a", "a"}};
  older.links = {{"d", "."}};
  fs::create_directories(install());
  fs::create_directory_symlink(".", install() / "d");
  writeText(install() / "d/a", "a");
  writeText(install() / "install.manifest", signedManifest(older));
  TestRelease latest;
  latest.version = "2.0";
  latest.files = {{"a", "a"}};
  latest.links = {{"d", "."}};
  std::string error;
  ASSERT_TRUE(update(latest, error)) << error;
  EXPECT_EQ(snapshotTree(install()), installedTree(latest));
}

TEST_F(Commit, ARecordThatCannotBeWrittenFailsAndKeepsTheStagingFolder) {
  fs::create_directories(install() / "install.manifest/in the way");
  board.options.source = "http://mirror.example/linux/";
  TestRelease latest;
  latest.files = {{"a", "a"}};
  std::string error;
  EXPECT_FALSE(update(latest, error));
  EXPECT_EQ(error, "Could not record the installed version.");
  EXPECT_EQ(readText(install() / "a"), "a");
  // The source is recorded before the release: the older record, still in place, makes the
  // next run finish the update, with the source it needs already recorded.
  EXPECT_EQ(readText(install() / "install.source"), "http://mirror.example/linux/\n");
  EXPECT_TRUE(fs::is_directory(install() / ".staging"));
  EXPECT_FALSE(board.valid);
}

// Replaced files are freed behind the commit. On a full disk the room of the older game files
// is what the record needs, and the record gets it.
TEST_F(Commit, ARecordThatFitsOnlyInTheRoomOfTheReplacedFilesIsWritten) {
  if (rerunInChild({}, true)) return;
  TmpfsMount disk(install(), "1m");
  ASSERT_TRUE(disk.mounted()) << disk.error();
  TestRelease older;
  older.files = {{"bin/game", "game", true}, {"data/world.pak", std::string(400 * 1024, 'a')}};
  TestRelease latest = older;
  latest.version = "2.0";
  latest.files[1].content = std::string(400 * 1024, 'b');
  std::string error;
  ASSERT_TRUE(update(older, error)) << error;
  ASSERT_TRUE(plan(latest, error)) << error;
  for (uint64_t i : board.neededFiles) stageContent(install(), latest.files[i].content);
  // A file of the player's takes up the rest of the disk.
  const int filler = ::open((install() / "saves.dat").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(filler, 0);
  const std::string block(4096, 's');
  while (::write(filler, block.data(), block.size()) > 0) {
  }
  ::close(filler);

  ASSERT_TRUE(commitUpdate(board, error)) << error;
  EXPECT_EQ(readText(install() / "install.manifest"), board.manifestText);
  EXPECT_EQ(readText(install() / "data/world.pak"), latest.files[1].content);
  EXPECT_FALSE(fs::exists(install() / ".staging"));
}

TEST_F(Commit, ALinkAtAStateFilesTemporaryNameDoesNotCarryTheRecordOutside) {
  fs::create_directories(install());
  fs::create_symlink(outside() / "written", install() / "install.manifest.tmp");
  fs::create_symlink(outside() / "source", install() / "install.source.tmp");
  board.options.source = "http://mirror.example/linux/";
  TestRelease latest;
  latest.files = {{"a", "a"}};
  std::string error;
  ASSERT_TRUE(update(latest, error)) << error;
  EXPECT_EQ(readText(install() / "install.manifest"), board.manifestText);
  EXPECT_EQ(readText(install() / "install.source"), "http://mirror.example/linux/\n");
  EXPECT_FALSE(fs::exists(fs::symlink_status(outside() / "written")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(outside() / "source")));
}

// Links that lead out of the install folder, made by the player, by an older release, or
// planted after the check: nothing is placed, linked or deleted behind them.
TEST_F(Commit, NothingLandsBehindALinkThatLeadsOut) {
  TestRelease older;
  older.files = {{"mods/m", "older mod"}, {"a", "a"}};
  older.links = {{"d", "."}, {"d/up", ".."}};  // "d/up" is "up", which is the folder above
  placeRelease(install(), older);
  fs::remove_all(install() / "mods");
  fs::create_directory_symlink(outside(), install() / "mods");  // the player's
  writeText(outside() / "m", "the player's m");
  const TreeSnapshot outsideBefore = snapshotTree(temp.path() / "outside");

  struct Case {
    const char* name;
    TestRelease latest;
    const char* error;
  };
  const Case cases[] = {
      {"a file through the older release's links",
       {"2.0", "a", {{"a", "a"}, {"d/up/outside/x", "x"}}, {{"d", "."}, {"d/up", ".."}}},
       "Could not install d/up/outside/x (it would land outside the install folder)."},
      {"a file through the player's link",
       {"2.0", "a", {{"a", "a"}, {"mods/x", "x"}}, {{"d", "."}, {"d/up", ".."}}},
       "Could not install mods/x (it would land outside the install folder)."},
      {"a link through the player's link",
       {"2.0", "a", {{"a", "a"}}, {{"d", "."}, {"d/up", ".."}, {"mods/l", "x"}}},
       "Could not link mods/l (it would land outside the install folder)."},
      {"a link through this release's own links",
       {"2.0", "a", {{"a", "a"}}, {{"d", "."}, {"d/up", ".."}, {"d/up/outside/l", "x"}}},
       "Could not link d/up/outside/l (it would land outside the install folder)."},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(update(c.latest, error)) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
    EXPECT_EQ(snapshotTree(temp.path() / "outside"), outsideBefore) << c.name;
  }

  // A release without "mods/m": the leftover lies behind the player's link and stays. Nor has
  // it "d/up", which, followed through "d", leads out and would not be made.
  TestRelease latest{"2.0", "a", {{"a", "a"}}, {{"d", "."}}};
  std::string error;
  ASSERT_TRUE(update(latest, error)) << error;
  EXPECT_EQ(snapshotTree(temp.path() / "outside"), outsideBefore);
  EXPECT_EQ(readText(install() / "install.manifest"), signedManifest(latest));
}

TEST_F(Commit, ALinkPlantedBetweenTheCheckAndTheCommitIsNotFollowed) {
  TestRelease latest;
  latest.files = {{"a", "a"}, {"saves/defaults.cfg", "defaults"}};
  std::string error;
  ASSERT_TRUE(plan(latest, error));
  fs::create_directories(install());
  fs::create_directory_symlink(outside(), install() / "saves");
  EXPECT_FALSE(stageAndCommit(latest, error));
  EXPECT_EQ(error, "Could not install saves/defaults.cfg (it would land outside the install folder).");
  EXPECT_FALSE(fs::exists(outside() / "defaults.cfg"));
}

// A link planted by anyone at the name of the copy made for a second file of the same content
// is not followed: the copy is a new file at that very name.
TEST_F(Commit, ALinkPlantedAtTheCopysNameIsNotFollowed) {
  TestRelease latest;
  latest.files = {{"tools/run", "same bytes", true}, {"docs/run.txt", "same bytes", false}};
  fs::create_directories(install() / ".staging");
  fs::create_symlink(outside() / "planted", install() / ".staging" / (contentDigest("same bytes") + ".copy"));
  std::string error;
  ASSERT_TRUE(update(latest, error)) << error;
  EXPECT_EQ(snapshotTree(install()), installedTree(latest));
  EXPECT_FALSE(fs::exists(fs::symlink_status(outside() / "planted")));
}

// A folder of the game on another file system than the staging folder: both the first file of
// a content and its copy cross over by copying.
TEST_F(Commit, FilesCrossToAFolderOnAnotherFileSystem) {
  if (rerunInChild({}, true)) return;
  TmpfsMount disk(install() / "data", "1m");
  ASSERT_TRUE(disk.mounted()) << disk.error();
  TestRelease latest;
  latest.files = {{"data/a", "same bytes", true}, {"data/b", "same bytes"}, {"c", "same bytes"}};
  std::string error;
  ASSERT_TRUE(update(latest, error)) << error;
  EXPECT_EQ(snapshotTree(install()), installedTree(latest));
}

// FAT and exFAT refuse a mode they cannot hold with EPERM; the file is placed all the same.
TEST_F(Commit, AModeTheFileSystemRefusesIsNotReported) {
  ApplyContext refusingModes;
  refusingModes.fileModeCall = [](int, const char*, mode_t, int) {
    errno = EPERM;
    return -1;
  };
  TestRelease latest;
  latest.files = {{"bin/game", "game", true}, {"data/a", "same bytes", true}, {"data/b", "same bytes"}};
  std::string error;
  ASSERT_TRUE(update(latest, error, refusingModes)) << error;
  for (const GameFile& file : latest.files) EXPECT_EQ(readText(install() / file.path), file.content) << file.path;
  EXPECT_EQ(readText(install() / "install.manifest"), board.manifestText);
}

}  // namespace
