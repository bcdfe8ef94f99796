// Symbolic links that lead out of the install folder, made by the release itself, by an older
// release, or by the player: the real program never creates, changes or removes anything
// outside the install folder through them. Each case runs a sequence of releases against one
// install folder and compares the folders around it before and after.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "tests/engine/release_fixture.h"
#include "tests/support/servers.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

struct Step {
  TestRelease release;
  int exitCode;
  std::string lastLogLine;
};

struct EscapeCase {
  const char* name;
  std::function<void(const fs::path& install, const fs::path& outside)> prepare;  // the player's doing
  std::vector<Step> steps;
};

const std::string gameScript = "#!/bin/sh\n";

TestRelease release(const std::string& version, std::vector<GameFile> files, std::vector<GameLink> links) {
  files.insert(files.begin(), {"bin/game", gameScript, true});
  return TestRelease{version, "bin/game", files, links};
}

std::vector<EscapeCase> escapeCases() {
  const std::string outsideFailure = " (it would land outside the install folder).";
  return {
      {"a link behind this release's own link",
       nullptr,
       // Each target stays inside by its text; the kernel takes "l/.." up through l.
       {{release("1.0", {}, {{"l", "."}, {"up", "l/.."}}), 1, "failed: Could not link up" + outsideFailure},
        {release("2.0", {}, {{"l", "."}}), 0, "installed 2.0"}}},
      {"a link into the staging folder",
       nullptr,
       // Files placed through it would land among the staged downloads.
       {{release("1.0", {}, {{"s", ".staging"}}), 1,
         "failed: Could not link s (it would lead to a name the setup program keeps for itself)."}}},
      {"a link turned outward by a later link of the same release",
       nullptr,
       // d/a is made while d/b does not exist yet; once d/b leads to d, d/a leads above the
       // install folder.
       {{release("1.0", {}, {{"d/a", "b/../.."}, {"d/b", "."}}), 1, "failed: Could not link d/a" + outsideFailure}}},
      {"a file behind this release's own links",
       nullptr,
       // The file is placed first, in a real folder, which the links then replace; the link
       // that leads out is not made.
       {{release("1.0", {{"d/up/precious.txt", "the release's"}}, {{"d", "."}, {"d/up", ".."}}), 1,
         "failed: Could not link d/up" + outsideFailure},
        {release("2.0", {}, {{"d", "."}}), 0, "installed 2.0"}}},
      {"a link behind this release's own links",
       nullptr,
       {{release("1.0", {}, {{"d", "."}, {"d/up", ".."}, {"d/up/precious.txt", "gotcha"}}), 1,
         "failed: Could not link d/up" + outsideFailure}}},
      {"a file behind an older release's links",
       // Left by an older program that judged links by their text alone.
       [](const fs::path& install, const fs::path&) {
         placeRelease(install, release("1.0", {}, {{"d", "."}, {"d/up", ".."}}));
       },
       {{release("2.0", {{"d/up/other/new.txt", "new"}}, {{"d", "."}, {"d/up", ".."}}), 1,
         "failed: Could not install d/up/other/new.txt" + outsideFailure},
        // A release that no longer has the link: the older release's link goes first, and the
        // file lands inside, in a real folder.
        {release("3.0", {{"d/up/other/new.txt", "new"}}, {{"d", "."}}), 0, "installed 3.0"}}},
      {"a file listed with a trailing slash at the place of a link that leads out",
       // The older release's folder x became a link to a folder outside that holds a file of
       // the older release's name.
       [](const fs::path& install, const fs::path& outside) {
         placeRelease(install, release("1.0", {{"x/default.cfg", "defaults"}}, {}));
         fs::remove_all(install / "x");
         fs::create_directory_symlink(outside, install / "x");
       },
       // "x/" names the file x: the link at x goes, not what lies behind it.
       {{release("2.0", {{"x/", "a file named x"}}, {}), 0, "installed 2.0"},
        {release("2.0", {{"x/", "a file named x"}}, {}), 0, "needed: 0 files, 0 bytes"}}},
      {"a file behind the player's link",
       [](const fs::path& install, const fs::path& outside) {
         fs::create_directories(install);
         fs::create_directory_symlink(outside, install / "saves");
       },
       {{release("1.0", {{"saves/default.cfg", "defaults"}}, {}), 1,
         "failed: Could not install saves/default.cfg" + outsideFailure}}},
      {"a link of the release to the player's link",
       [](const fs::path& install, const fs::path& outside) {
         fs::create_directories(install);
         fs::create_directory_symlink(outside, install / "b");
       },
       {{release("1.0", {{"a/default.cfg", "defaults"}}, {{"a", "b"}}), 1, "failed: Could not link a" + outsideFailure}}},
  };
}

TEST(Escape, NothingOutsideTheInstallFolderIsCreatedChangedOrRemoved) {
  for (const EscapeCase& c : escapeCases()) {
    TempFolder sandbox;
    TempFolder serverRoot;
    NginxServer server(serverRoot.path());
    const fs::path games = sandbox.path() / "games";
    const fs::path install = games / "game";
    const fs::path outside = sandbox.path() / "outside";
    writeText(games / "precious.txt", "the player's, beside the install folder");
    writeText(games / "other/new.txt", "another game's");
    writeText(outside / "default.cfg", "defaults");  // even the right content outside is not the game's
    if (c.prepare) c.prepare(install, outside);
    auto surroundings = [&] {
      TreeSnapshot tree = snapshotTree(sandbox.path());
      for (auto it = tree.begin(); it != tree.end();) {
        const bool ours = it->first == "games/game" || it->first.rfind("games/game/", 0) == 0 || it->first.rfind("data", 0) == 0 ||
                          it->first == "setup.log";
        it = ours ? tree.erase(it) : std::next(it);
      }
      return tree;
    };
    const TreeSnapshot before = surroundings();

    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      publishTestRelease(serverRoot.path() / "linux", step.release);
      SetupRun run = runSetup(sandbox.path(), {"--quiet", "--no-register", "--dir", install.string(), "--source",
                                               server.httpUrl() + "linux/"});
      const std::string where = std::string(c.name) + ", step " + std::to_string(i + 1);
      EXPECT_EQ(run.exitCode, step.exitCode) << where << "\n" << run.output;
      ASSERT_FALSE(run.log.empty()) << where;
      EXPECT_EQ(run.log.back(), step.lastLogLine) << where;
      EXPECT_EQ(surroundings(), before) << where;
    }
  }
}

TEST(Escape, TheCheckDoesNotCountAFileBehindALinkThatLeadsOut) {
  TempFolder sandbox;
  TempFolder serverRoot;
  NginxServer server(serverRoot.path());
  const fs::path install = sandbox.path() / "game";
  const TestRelease latest = release("1.0", {{"saves/default.cfg", "defaults"}}, {});
  publishTestRelease(serverRoot.path() / "linux", latest);
  ASSERT_EQ(runSetup(sandbox.path(), {"--quiet", "--dir", install.string(), "--source", server.httpUrl() + "linux/"})
                .exitCode,
            0);
  // The player moves the folder out and leaves a link; the file behind it is right, but not
  // in the install folder.
  fs::rename(install / "saves", sandbox.path() / "saves");
  fs::create_directory_symlink(sandbox.path() / "saves", install / "saves");
  SetupRun run = runSetup(sandbox.path(), {"--quiet", "--dir", install.string(), "--source", server.httpUrl() + "linux/"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.log, (std::vector<std::string>{
                         "Looking for the newest version...", "latest: 1.0, 2 files, 0 links", "needed: 1 files, 8 bytes",
                         "Installing...",
                         "failed: Could not install saves/default.cfg (it would land outside the install folder)."}));
  EXPECT_EQ(readText(sandbox.path() / "saves/default.cfg"), "defaults");
}

}  // namespace
