// The windowless run from end to end: the real program against nginx on loopback, a first
// install, a run with nothing to do, an update, and a repair. Each checks the tree, the
// state files, the staging folder, the menu entries and the log line by line.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "app/options.h"
#include "tests/engine/release_fixture.h"
#include "tests/support/servers.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

TestRelease firstRelease() {
  TestRelease release;
  release.version = "1.0.22b";
  release.files = {{"bin/game", "#!/bin/sh\necho varnholt\n", true},
                   {"data/base pak/levels.dat", std::string(300000, 'L')},
                   {"data/intro.txt", "Welcome to Varnholt.\n"},
                   {"data/copy of intro.txt", "Welcome to Varnholt.\n"},
                   {"lib/libaudio.so.2", "audio 2"},
                   {"lib/libold.so", "old library"}};
  release.links = {{"lib/libaudio.so", "libaudio.so.2"}, {"bin/libaudio.so.2", "../lib/libaudio.so.2"}};
  return release;
}

TestRelease secondRelease() {
  TestRelease release = firstRelease();
  release.version = "1.1.0";
  release.files[2].content = "Welcome back to Varnholt.\n";  // changed
  release.files.erase(release.files.begin() + 5);             // lib/libold.so removed
  release.files.push_back({"lib/libaudio.so.3", "audio 3"});  // added
  release.links[0].target = "libaudio.so.3";                   // retargeted
  return release;
}

class QuietRun : public ::testing::Test {
 protected:
  fs::path install() const { return sandbox.path() / "game"; }
  fs::path linuxFolder() const { return serverRoot.path() / "linux"; }
  fs::path applications() const { return sandbox.path() / "data" / "applications"; }

  // The tree after an install of release: its files and links and the state files.
  TreeSnapshot installedTree(const TestRelease& release, const std::string& source) const {
    TreeSnapshot tree = releaseTree(release);
    tree["install.manifest"] = describeFile(readText(linuxFolder() / "latest.manifest"), 0644);
    tree["install.source"] = describeFile(source + "\n", 0644);
    return tree;
  }
  void expectMenuEntries(const std::string& game) const {
    EXPECT_EQ(linesOf(readText(applications() / "varnholt.desktop")), gameMenuEntry(install(), game));
    EXPECT_EQ(linesOf(readText(applications() / "varnholt-update.desktop")), updateMenuEntry(install()));
  }
  std::vector<std::string> fileRequests() const {
    std::vector<std::string> files;
    for (const std::string& path : server.requestedPaths()) {
      if (path != "/linux/latest.manifest") files.push_back(path);
    }
    std::sort(files.begin(), files.end());
    return files;
  }
  static std::vector<std::string> requestsFor(std::vector<std::string> contents) {
    std::vector<std::string> paths;
    for (const std::string& content : contents) paths.push_back("/linux/files/" + contentDigest(content));
    std::sort(paths.begin(), paths.end());
    return paths;
  }

  TempFolder sandbox;
  TempFolder serverRoot;
  NginxServer server{serverRoot.path()};
};

TEST_F(QuietRun, InstallsOverHttpsThenFindsNothingToDo) {
  const TestRelease release = firstRelease();
  const std::string manifest = publishTestRelease(linuxFolder(), release);
  const std::string source = server.httpsUrl() + "linux/";
  ProcessOptions https;
  https.trustedCa = testCertificates().caCertificate.string();

  // Given without its final "/": the program adds it.
  SetupRun first = runSetup(sandbox.path(), {"--quiet", "--dir", install().string(), "--source",
                                             server.httpsUrl() + "linux"}, https);
  ASSERT_EQ(first.exitCode, 0) << first.output;
  EXPECT_EQ(first.log, (std::vector<std::string>{"Looking for the newest version...",
                                                 "latest: 1.0.22b, 6 files, 2 links",
                                                 "needed: 6 files, 300084 bytes, links",
                                                 "Installing...",
                                                 "menu entry varnholt.desktop: written",
                                                 "menu entry varnholt-update.desktop: written",
                                                 "installed 1.0.22b"}));
  EXPECT_EQ(snapshotTree(install()), installedTree(release, source));
  EXPECT_EQ(readText(install() / "install.manifest"), manifest);
  EXPECT_EQ(readText(install() / "install.source"), source + "\n");
  expectMenuEntries("bin/game");
  // The two copies of the intro share one download.
  EXPECT_EQ(fileRequests(), requestsFor({"#!/bin/sh\necho varnholt\n", std::string(300000, 'L'),
                                         "Welcome to Varnholt.\n", "audio 2", "old library"}));

  // Again, without --source: "install.source" names the server.
  fs::remove_all(applications());
  SetupRun second = runSetup(sandbox.path(), {"--quiet", "--dir", install().string()}, https);
  ASSERT_EQ(second.exitCode, 0) << second.output;
  EXPECT_EQ(second.log, (std::vector<std::string>{"Looking for the newest version...",
                                                  "latest: 1.0.22b, 6 files, 2 links",
                                                  "needed: 0 files, 0 bytes",
                                                  "menu entry varnholt.desktop: written",
                                                  "menu entry varnholt-update.desktop: written"}));
  EXPECT_EQ(snapshotTree(install()), installedTree(release, source));
  expectMenuEntries("bin/game");
  EXPECT_EQ(server.requestedPaths().size(), 1u + 5u + 1u) << "one more manifest, no file";
}

TEST_F(QuietRun, WithNoRegisterAndNothingToDoOnlyTheCheckIsLogged) {
  const TestRelease release = firstRelease();
  publishTestRelease(linuxFolder(), release);
  const std::string source = server.httpUrl() + "linux/";
  SetupRun first = runSetup(sandbox.path(), {"--quiet", "--no-register", "--dir", install().string(), "--source", source});
  ASSERT_EQ(first.exitCode, 0) << first.output;
  EXPECT_EQ(first.log.back(), "installed 1.0.22b");
  EXPECT_EQ(std::count(first.log.begin(), first.log.end(), "menu entry varnholt.desktop: written"), 0);
  SetupRun second = runSetup(sandbox.path(), {"--quiet", "--no-register", "--dir", install().string(), "--source", source});
  ASSERT_EQ(second.exitCode, 0) << second.output;
  EXPECT_EQ(second.log, (std::vector<std::string>{"Looking for the newest version...",
                                                  "latest: 1.0.22b, 6 files, 2 links",
                                                  "needed: 0 files, 0 bytes"}));
  EXPECT_FALSE(fs::exists(applications()));
}

// A run with nothing to do changes no state file, even when --source names another server
// than the one recorded.
TEST_F(QuietRun, NothingToDoKeepsTheRecordedSourceWhateverSourceIsGiven) {
  const TestRelease release = firstRelease();
  publishTestRelease(linuxFolder(), release);
  const std::string source = server.httpUrl() + "linux/";
  ASSERT_EQ(runSetup(sandbox.path(), {"--quiet", "--no-register", "--dir", install().string(), "--source", source}).exitCode, 0);
  const TreeSnapshot installed = snapshotTree(install());
  // The same release, from another address of the same server.
  const std::string other = server.httpUrl() + "linux//";
  SetupRun second = runSetup(sandbox.path(), {"--quiet", "--no-register", "--dir", install().string(), "--source", other});
  ASSERT_EQ(second.exitCode, 0) << second.output;
  EXPECT_EQ(second.log.back(), "needed: 0 files, 0 bytes");
  EXPECT_EQ(readText(install() / "install.source"), source + "\n");
  EXPECT_EQ(snapshotTree(install()), installed);
}

TEST_F(QuietRun, UpdatesOnlyWhatChangedAndKeepsThePlayersFiles) {
  const std::string source = server.httpUrl() + "linux/";
  publishTestRelease(linuxFolder(), firstRelease());
  ASSERT_EQ(runSetup(sandbox.path(), {"--quiet", "--dir", install().string(), "--source", source}).exitCode, 0);
  writeText(install() / "saves/slot1.sav", "the player's save");
  writeText(install() / "lib/mod.so", "the player's mod");
  const size_t requestsBefore = server.requestedPaths().size();

  const TestRelease release = secondRelease();
  const std::string manifest = publishTestRelease(linuxFolder(), release);
  SetupRun update = runSetup(sandbox.path(), {"--quiet", "--dir", install().string(), "--source", source});
  ASSERT_EQ(update.exitCode, 0) << update.output;
  EXPECT_EQ(update.log, (std::vector<std::string>{"Looking for the newest version...",
                                                  "latest: 1.1.0, 6 files, 2 links",
                                                  "needed: 2 files, 33 bytes, links",
                                                  "Installing...",
                                                  "menu entry varnholt.desktop: written",
                                                  "menu entry varnholt-update.desktop: written",
                                                  "installed 1.1.0"}));
  TreeSnapshot expected = installedTree(release, source);
  addFile(expected, "saves/slot1.sav", "the player's save");
  addFile(expected, "lib/mod.so", "the player's mod");
  EXPECT_EQ(snapshotTree(install()), expected);
  EXPECT_EQ(readText(install() / "install.manifest"), manifest);
  expectMenuEntries("bin/game");
  const std::vector<std::string> all = server.requestedPaths();
  std::vector<std::string> files(all.begin() + requestsBefore + 1, all.end());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, requestsFor({"Welcome back to Varnholt.\n", "audio 3"}));
}

TEST_F(QuietRun, RepairFindsASameSizeChangeThatAPlainRunTrusts) {
  const std::string source = server.httpUrl() + "linux/";
  const TestRelease release = firstRelease();
  publishTestRelease(linuxFolder(), release);
  ASSERT_EQ(runSetup(sandbox.path(), {"--quiet", "--dir", install().string(), "--source", source}).exitCode, 0);
  writeText(install() / "data/intro.txt", "Welcome to Varnholz.\n");  // same size
  fs::permissions(install() / "bin/game", fs::perms(0700));

  SetupRun plain = runSetup(sandbox.path(), {"--quiet", "--dir", install().string(), "--source", source});
  ASSERT_EQ(plain.exitCode, 0) << plain.output;
  EXPECT_EQ(plain.log[2], "needed: 0 files, 0 bytes");
  EXPECT_EQ(readText(install() / "data/intro.txt"), "Welcome to Varnholz.\n");

  SetupRun repair = runSetup(sandbox.path(), {"--quiet", "--repair", "--dir", install().string(), "--source", source});
  ASSERT_EQ(repair.exitCode, 0) << repair.output;
  EXPECT_EQ(repair.log, (std::vector<std::string>{"Looking for the newest version...",
                                                  "latest: 1.0.22b, 6 files, 2 links",
                                                  "needed: 1 files, 21 bytes",
                                                  "Installing...",
                                                  "menu entry varnholt.desktop: written",
                                                  "menu entry varnholt-update.desktop: written",
                                                  "installed 1.0.22b"}));
  TreeSnapshot expected = installedTree(release, source);
  expected["bin/game"] = describeFile("#!/bin/sh\necho varnholt\n", 0700);  // content right: not touched
  EXPECT_EQ(snapshotTree(install()), expected);
  EXPECT_EQ(server.requestedPaths().back(), "/linux/files/" + contentDigest("Welcome to Varnholt.\n"));
}

// A run stopped after every file was placed but before the record was written leaves the
// older record. The next run has nothing to fetch; it still finishes the update: the older
// release's leftovers go and the latest release is recorded.
TEST_F(QuietRun, NothingToFetchButAnOlderRecordStillFinishesTheUpdate) {
  const std::string source = server.httpUrl() + "linux/";
  publishTestRelease(linuxFolder(), firstRelease());
  ASSERT_EQ(runSetup(sandbox.path(), {"--quiet", "--dir", install().string(), "--source", source}).exitCode, 0);
  const std::string olderRecord = readText(install() / "install.manifest");
  const TestRelease release = secondRelease();
  const std::string manifest = publishTestRelease(linuxFolder(), release);
  // What the stopped run had done: the new files and links in place, nothing else.
  writeText(install() / "data/intro.txt", "Welcome back to Varnholt.\n");
  writeText(install() / "lib/libaudio.so.3", "audio 3");
  fs::remove(install() / "lib/libaudio.so");
  fs::create_symlink("libaudio.so.3", install() / "lib/libaudio.so");

  SetupRun finish = runSetup(sandbox.path(), {"--quiet", "--dir", install().string(), "--source", source});
  ASSERT_EQ(finish.exitCode, 0) << finish.output;
  EXPECT_EQ(finish.log, (std::vector<std::string>{"Looking for the newest version...",
                                                  "latest: 1.1.0, 6 files, 2 links",
                                                  "needed: 0 files, 0 bytes",
                                                  "Installing...",
                                                  "menu entry varnholt.desktop: written",
                                                  "menu entry varnholt-update.desktop: written",
                                                  "installed 1.1.0"}));
  EXPECT_EQ(snapshotTree(install()), installedTree(release, source));
  EXPECT_EQ(readText(install() / "install.manifest"), manifest);
}

// A run stopped after it recorded the release but before it removed the staging folder
// leaves a folder nothing needs; the next run, with nothing to do, removes it.
TEST_F(QuietRun, AStagingFolderLeftAfterTheRecordGoesWithTheNextRun) {
  const std::string source = server.httpUrl() + "linux/";
  const TestRelease release = firstRelease();
  publishTestRelease(linuxFolder(), release);
  ASSERT_EQ(runSetup(sandbox.path(), {"--quiet", "--dir", install().string(), "--source", source}).exitCode, 0);
  writeText(install() / ".staging" / contentDigest("audio 2"), "audio 2");
  writeText(install() / ".staging" / (contentDigest("old library") + ".part"), "old lib");
  SetupRun again = runSetup(sandbox.path(), {"--quiet", "--dir", install().string(), "--source", source});
  ASSERT_EQ(again.exitCode, 0) << again.output;
  EXPECT_EQ(again.log[2], "needed: 0 files, 0 bytes");
  EXPECT_EQ(snapshotTree(install()), installedTree(release, source));
}

// An install folder whose name holds a line break is refused before anything is looked at or
// made, in every mode.
TEST(StartUp, AnInstallFolderWithAControlCharacterIsRefused) {
  TempFolder sandbox;
  const fs::path install = sandbox.path() / "game\nExec=sh";
  const std::string refusal =
      "The install folder's path holds a control character (such as a line break); choose another folder with --dir.";
  for (const std::vector<std::string>& mode : {std::vector<std::string>{"--quiet"}, {"--uninstall", "--quiet"}}) {
    std::vector<std::string> arguments = mode;
    arguments.insert(arguments.end(), {"--dir", install.string(), "--source", unreachableSource});
    const SetupRun run = runSetup(sandbox.path(), arguments);
    EXPECT_EQ(run.exitCode, 1) << mode[0];
    EXPECT_EQ(run.output, refusal + "\n") << mode[0];
    EXPECT_EQ(run.log, std::vector<std::string>{refusal}) << mode[0];
    EXPECT_FALSE(fs::exists(install)) << mode[0];
    EXPECT_FALSE(fs::exists(sandbox.path() / "data/applications")) << mode[0];
  }
}

}  // namespace
