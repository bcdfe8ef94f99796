// Faults from the disk and the network during a real update, end to end: the windowless
// program updates an installed release while something goes wrong. Each run must end with the
// error the program names, keep the installed release recorded, and lose nothing: no file of
// the player's, no file of the installed release except by replacing it with its newer
// version. Once the fault is gone, the next run completes the update. (tests/engine covers a
// full or read-only disk, a folder of the player's at a file's place and an unwritable record.)
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/engine/release_fixture.h"

namespace fs = std::filesystem;

namespace {

const std::string changedData(300000, 'c');  // data/c.dat, new in the second release

TestRelease firstGame() {
  TestRelease game;
  game.version = "1.0";
  game.files = {{"bin/game", "#!/bin/sh\necho one\n", true},
                {"data/a.dat", "the same in both releases"},
                {"data/b.dat", "b of the first release"},
                {"lib/libx.so.1", "libx one"}};
  game.links = {{"lib/libx.so", "libx.so.1"}};
  return game;
}

TestRelease secondGame() {
  TestRelease game;
  game.version = "2.0";
  game.files = {{"bin/game", "#!/bin/sh\necho two\n", true},
                {"data/a.dat", "the same in both releases"},
                {"data/b.dat", "b of the second release"},
                {"data/c.dat", changedData},
                {"data/maps/m1.map", "the first map"},
                {"lib/libx.so.2", "libx two"}};
  game.links = {{"lib/libx.so", "libx.so.2"}};
  return game;
}

const std::map<std::string, std::string> playerFiles = {
    {"saves/slot1.sav", "the player's save"},
    {"data/mods/mine.txt", "the player's mod"},
};

class FaultInjection : public InstallFixture {
 protected:
  // The first release installed (with the player's files beside it), the second published.
  void installFirstThenPublishSecond() {
    publish(firstGame());
    SetupRun result = runQuiet(source());
    ASSERT_EQ(result.exitCode, 0) << result.output << log();
    writePlayerFiles(playerFiles);
    firstManifest = servedManifest();
    installed = contents();
    ASSERT_TRUE(sameTree(expectedAfterInstall(firstGame(), "main", playerFiles), installed));
    publish(secondGame());
  }

  // After a fault in the commit: the first release is still recorded, the player's files are
  // untouched, and every file of the first release is there with its own or its newer content.
  void expectFirstRecordedNothingLost() {
    const TreeSnapshot now = contents();
    const TreeSnapshot second = expectedAfterInstall(secondGame(), "main", playerFiles);
    EXPECT_EQ(now.at("install.manifest"), describeFile(firstManifest, 0644));
    for (const auto& [path, content] : playerFiles) EXPECT_EQ(now.at(path), describeFile(content, 0644)) << path;
    for (const auto& [path, what] : installed) {
      if (path == "install.manifest" || path == "install.source") continue;
      auto found = now.find(path);
      auto newer = second.find(path);
      ASSERT_NE(found, now.end()) << path << " was lost";
      EXPECT_TRUE(found->second == what || (newer != second.end() && found->second == newer->second))
          << path << ": " << found->second;
    }
  }

  // With the fault gone, the next run completes the update.
  void expectNextRunCompletes() {
    SetupRun result = runQuiet(source());
    ASSERT_EQ(result.exitCode, 0) << result.output << log();
    EXPECT_EQ(lastLogLine(), "installed 2.0");
    EXPECT_TRUE(sameTree(expectedAfterInstall(secondGame(), "main", playerFiles), contents(true)));
  }

  std::string firstManifest;
  TreeSnapshot installed;
};

TEST_F(FaultInjection, RecordReplacedByFolder) {
  installFirstThenPublishSecond();
  // A folder of the player's at the record's name: the record cannot be written, and the
  // folder and what it holds stay.
  fs::remove(installDir / "install.manifest");
  writePlayerFiles({{"install.manifest/notes.txt", "the player's notes"}});

  SetupRun result = runQuiet(source());
  EXPECT_EQ(result.exitCode, 1) << result.output;
  EXPECT_EQ(lastLogLine(), "failed: Could not record the installed version.");
  const TreeSnapshot now = contents();
  EXPECT_EQ(now.at("install.manifest"), "dir");
  EXPECT_EQ(now.at("install.manifest/notes.txt"), describeFile("the player's notes", 0644));
  for (const auto& [path, content] : playerFiles) EXPECT_EQ(now.at(path), describeFile(content, 0644)) << path;
  // Without a record nothing counts as the older release's, so nothing was deleted.
  EXPECT_EQ(now.at("lib/libx.so.1"), installed.at("lib/libx.so.1"));

  fs::remove_all(installDir / "install.manifest");
  SetupRun next = runQuiet(source());
  ASSERT_EQ(next.exitCode, 0) << next.output << log();
  EXPECT_EQ(lastLogLine(), "installed 2.0");
  // The first release's library is not the second's, but with no record it cannot be told
  // from a file of the player's: it stays.
  TreeSnapshot expected = expectedAfterInstall(secondGame(), "main", playerFiles);
  expected["lib/libx.so.1"] = installed.at("lib/libx.so.1");
  EXPECT_TRUE(sameTree(expected, contents(true)));
}

TEST_F(FaultInjection, FileAtAFoldersPlace) {
  installFirstThenPublishSecond();
  // A file of the player's where the second release needs the folder "data/maps".
  writePlayerFiles({{"data/maps", "the player's file"}});

  SetupRun result = runQuiet(source());
  EXPECT_EQ(result.exitCode, 1) << result.output;
  EXPECT_EQ(lastLogLine(), "failed: Could not install data/maps/m1.map (Not a directory).");
  expectFirstRecordedNothingLost();
  EXPECT_EQ(contents().at("data/maps"), describeFile("the player's file", 0644));

  fs::remove(installDir / "data/maps");
  size_t requestsBefore = server().requestedPaths().size();
  expectNextRunCompletes();
  // The files staged before the fault were kept and are not fetched again.
  std::vector<std::string> requests = server().requestedPaths();
  EXPECT_EQ(std::vector<std::string>(requests.begin() + requestsBefore, requests.end()),
            std::vector<std::string>{"/main/linux/latest.manifest"});
}

struct ServerFault {
  const char* name;
  const char* path;       // below the tree's root; "FILE" stands for the changed data file
  const char* behaviour;  // JSON for the misbehaving server; "SELF" stands for the path
  const char* error;
};

class ServerFaults : public FaultInjection, public testing::WithParamInterface<ServerFault> {};

TEST_P(ServerFaults, FailsAndKeepsTheInstalledRelease) {
  const ServerFault& fault = GetParam();
  installFirstThenPublishSecond();
  MisbehavingServer misbehaving(www);
  const std::string changed = "/main/linux/files/" + contentDigest(changedData);
  std::string path = fault.path;
  if (path == "FILE") path = changed;
  std::string behaviour = fault.behaviour;
  if (size_t self = behaviour.find("SELF"); self != std::string::npos) behaviour.replace(self, 4, path);
  misbehaving.set(path, behaviour);
  const std::string from = misbehaving.url() + "main/linux/";

  SetupRun result = runQuiet(from);
  EXPECT_EQ(result.exitCode, 1) << result.output;
  EXPECT_EQ(lastLogLine(), std::string("failed: ") + fault.error);
  // Nothing outside the staging folder changed; the source in use was not recorded.
  EXPECT_TRUE(sameTree(installed, contents()));

  misbehaving.clear(path);
  result = runQuiet(source());
  ASSERT_EQ(result.exitCode, 0) << result.output << log();
  EXPECT_TRUE(sameTree(expectedAfterInstall(secondGame(), "main", playerFiles), contents(true)));
}

INSTANTIATE_TEST_SUITE_P(
    FaultInjection, ServerFaults,
    testing::Values(
        ServerFault{"ConnectionClosedMidFile", "FILE", R"({"cutAfter": 100000})",
                    "The download failed: could not reach the server (Transferred a partial file)"},
        ServerFault{"FileRedirectsForever", "FILE", R"({"redirect": "SELF"})",
                    "The download failed: could not reach the server (Number of redirects hit maximum amount)"},
        ServerFault{"ManifestRedirectsForever", "/main/linux/latest.manifest", R"({"redirect": "SELF"})",
                    "Could not reach the Varnholt server: could not reach the server (Number of redirects hit "
                    "maximum amount)"}),
    [](const testing::TestParamInfo<ServerFault>& info) { return std::string(info.param.name); });

}  // namespace
