// SIGKILL at several points of a large install and of a large update, each followed by a
// normal run: the folder always ends as the latest release, and nothing of the player's is
// lost. The staging folder and the record written last make this so; these tests show it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "tests/engine/release_fixture.h"
#include "tests/support/servers.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

constexpr int smallFiles = 1500;

std::string numbered(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "%04d", i);
  return name;
}

// About 14 MB in 1500 small files and four larger ones.
TestRelease largeRelease() {
  TestRelease release;
  release.files.push_back({"bin/game", "#!/bin/sh\necho 1\n", true});
  for (int i = 0; i < smallFiles; ++i) {
    release.files.push_back({"data/" + numbered(i / 100) + "/" + numbered(i), std::string(1000 + i, 'a' + i % 26)});
  }
  for (int i = 0; i < 4; ++i) release.files.push_back({"paks/" + numbered(i) + ".pak", std::string(3000000, 'A' + i)});
  release.links = {{"game", "bin/game"}, {"paks/current.pak", "0000.pak"}};
  return release;
}

// Half the small files changed, a fifth removed, two hundred added, a large file and a link
// changed, a file turned into a folder.
TestRelease largeUpdate() {
  TestRelease release;
  release.version = "2.0";
  release.files.push_back({"bin/game", "#!/bin/sh\necho 2\n", true});
  for (int i = 0; i < smallFiles; ++i) {
    if (i % 5 == 4) continue;
    std::string content(1000 + i, 'a' + i % 26);
    if (i % 2 == 0) content += " changed";
    release.files.push_back({"data/" + numbered(i / 100) + "/" + numbered(i), content});
  }
  for (int i = 0; i < 200; ++i) release.files.push_back({"new/" + numbered(i), "new file " + numbered(i)});
  release.files.push_back({"data/0000/0004/now a folder", "was a file"});
  for (int i = 0; i < 4; ++i) {
    release.files.push_back({"paks/" + numbered(i) + ".pak", std::string(3000000, i == 3 ? 'Z' : 'A' + i)});
  }
  release.links = {{"game", "bin/game"}, {"paks/current.pak", "0003.pak"}};
  return release;
}

class Interruption : public ::testing::Test {
 protected:
  fs::path linuxFolder() const { return serverRoot.path() / "linux"; }
  std::string source() const { return server.httpUrl() + "linux/"; }
  std::vector<std::string> arguments(const fs::path& install) const {
    return {"--quiet", "--dir", install.string(), "--source", source()};
  }

  // Starts the program, waits until condition holds, waits delay more and kills it. False when
  // the program ended before the condition held.
  bool killWhen(const fs::path& sandbox, const fs::path& install, const std::function<bool()>& condition,
                std::chrono::milliseconds delay) {
    std::vector<std::string> withLog = arguments(install);
    withLog.insert(withLog.end(), {"--log", (sandbox / "setup.log").string()});
    const int pid = startSetup(sandbox, withLog);
    bool held = false;
    for (;;) {
      if (condition()) {
        held = true;
        break;
      }
      int status;
      if (waitpid(pid, &status, WNOHANG) == pid) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    std::this_thread::sleep_for(delay);
    kill(pid, SIGKILL);
    ProcessResult ended = waitProcess(pid);
    EXPECT_EQ(ended.signal, SIGKILL) << "the program was killed, it did not end by itself";
    return held;
  }

  static size_t stagedEntries(const fs::path& install) {
    std::error_code ec;
    size_t count = 0;
    for (auto it = fs::directory_iterator(install / ".staging", ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
      ++count;
    }
    return count;
  }
  static bool logHas(const fs::path& sandbox, const std::string& line) {
    const std::vector<std::string> log = linesOf(readText(sandbox / "setup.log"));
    return std::find(log.begin(), log.end(), line) != log.end();
  }

  // A normal run after the kill ends with exactly expected in the folder.
  void expectFinishedBy(const fs::path& sandbox, const fs::path& install, const TreeSnapshot& expected,
                        const std::string& when) {
    SetupRun rerun = runSetup(sandbox, arguments(install));
    ASSERT_EQ(rerun.exitCode, 0) << when << "\n" << rerun.output;
    EXPECT_EQ(snapshotTree(install), expected) << when;
  }

  TreeSnapshot installedTree(const TestRelease& release, const TreeSnapshot& playersFiles = {}) const {
    TreeSnapshot tree = releaseTree(release);
    tree["install.manifest"] = describeFile(signedManifest(release), 0644);
    tree["install.source"] = describeFile(source() + "\n", 0644);
    tree.insert(playersFiles.begin(), playersFiles.end());
    return tree;
  }

  TempFolder serverRoot;
  NginxServer server{serverRoot.path()};
};

TEST_F(Interruption, SlowKilledFirstInstallsAreFinishedByTheNextRun) {
  const TestRelease release = largeRelease();
  publishTestRelease(linuxFolder(), release);
  const TreeSnapshot expected = installedTree(release);

  {  // During the download, with half the files staged.
    TempFolder sandbox;
    const fs::path install = sandbox.path() / "game";
    ASSERT_TRUE(killWhen(sandbox.path(), install, [&] { return stagedEntries(install) >= smallFiles / 2; },
                         std::chrono::milliseconds(0)));
    EXPECT_FALSE(logHas(sandbox.path(), "Installing..."));
    // Several files are in flight at once: the complete entries count, and so does a part file
    // that the kill caught after its last byte was written but before it got its name.
    size_t verified = 0;
    size_t wholePartFiles = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(install / ".staging")) {
      if (entry.path().extension() != ".part") {
        ++verified;
      } else if (contentDigest(readText(entry.path())) == entry.path().stem().string()) {
        ++wholePartFiles;
      }
    }
    EXPECT_GE(verified, size_t(smallFiles / 2 - 10));
    const size_t requestsBefore = server.requestedPaths().size();
    expectFinishedBy(sandbox.path(), install, expected, "killed during the download");
    // The manifest, and every file but those already whole, which were reused.
    EXPECT_EQ(server.requestedPaths().size() - requestsBefore,
              1 + release.files.size() - verified - wholePartFiles);
  }
  for (int delay : {0, 5, 20}) {  // During the commit.
    TempFolder sandbox;
    const fs::path install = sandbox.path() / "game";
    ASSERT_TRUE(killWhen(sandbox.path(), install, [&] { return logHas(sandbox.path(), "Installing..."); },
                         std::chrono::milliseconds(delay)));
    EXPECT_FALSE(logHas(sandbox.path(), "installed 1.0")) << delay;
    expectFinishedBy(sandbox.path(), install, expected, "killed " + std::to_string(delay) + " ms into the commit");
  }
}

TEST_F(Interruption, SlowKilledUpdatesAreFinishedByTheNextRunAndKeepThePlayersFiles) {
  // One install of the older release, copied for every case.
  TempFolder original;
  const fs::path originalInstall = original.path() / "game";
  publishTestRelease(linuxFolder(), largeRelease());
  ASSERT_EQ(runSetup(original.path(), arguments(originalInstall)).exitCode, 0);
  TreeSnapshot playersFiles;
  for (const char* path : {"saves/slot1.sav", "data/0003/mod.cfg", "new/readme of mine.txt"}) {
    writeText(originalInstall / path, std::string("the player's ") + path);
    addFile(playersFiles, path, std::string("the player's ") + path);
  }
  const TestRelease update = largeUpdate();
  publishTestRelease(linuxFolder(), update);
  const TreeSnapshot expected = installedTree(update, playersFiles);

  auto freshCopy = [&](const fs::path& sandbox) {
    fs::copy(originalInstall, sandbox / "game", fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    return sandbox / "game";
  };

  {  // During the download.
    TempFolder sandbox;
    const fs::path install = freshCopy(sandbox.path());
    ASSERT_TRUE(killWhen(sandbox.path(), install, [&] { return stagedEntries(install) >= 400; },
                         std::chrono::milliseconds(0)));
    EXPECT_FALSE(logHas(sandbox.path(), "Installing..."));
    expectFinishedBy(sandbox.path(), install, expected, "killed during the download");
  }
  for (int delay : {0, 5, 15}) {  // During the commit.
    TempFolder sandbox;
    const fs::path install = freshCopy(sandbox.path());
    ASSERT_TRUE(killWhen(sandbox.path(), install, [&] { return logHas(sandbox.path(), "Installing..."); },
                         std::chrono::milliseconds(delay)));
    EXPECT_FALSE(logHas(sandbox.path(), "installed 2.0")) << delay;
    expectFinishedBy(sandbox.path(), install, expected, "killed " + std::to_string(delay) + " ms into the commit");
  }
  {  // Twice: during the commit, then during the commit of the run that finishes it.
    TempFolder sandbox;
    const fs::path install = freshCopy(sandbox.path());
    ASSERT_TRUE(killWhen(sandbox.path(), install, [&] { return logHas(sandbox.path(), "Installing..."); },
                         std::chrono::milliseconds(3)));
    ASSERT_TRUE(killWhen(sandbox.path(), install, [&] { return logHas(sandbox.path(), "Installing..."); },
                         std::chrono::milliseconds(1)));
    expectFinishedBy(sandbox.path(), install, expected, "killed in two commits");
  }
}

}  // namespace
