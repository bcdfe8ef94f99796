// One run per install folder: a second copy of the program on a folder that a first copy is
// working on fails at once and leaves the first copy's work alone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "app/session.h"
#include "engine/update_plan.h"
#include "tests/engine/release_fixture.h"
#include "tests/support/servers.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

const std::string anotherCopy = "Another copy of Varnholt Setup is running for this folder.";

TestRelease gameRelease(const std::string& version, const std::string& world) {
  TestRelease release;
  release.version = version;
  release.files = {{"bin/game", "#!/bin/sh\n", true}, {"data/world.pak", world}};
  return release;
}

// Waits, up to a generous limit, until test holds.
template <typename Test>
bool awaitCondition(Test test) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!test()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Two real processes: the first stalls in the middle of a download from a slow server; the
// second, started on the same folder, fails in every mode, and the first one's part file stays
// as it was.
TEST(OneRun, ASecondCopyOnTheSameFolderFailsAndTouchesNothing) {
  TempFolder sandbox;
  TempFolder serverRoot;
  MisbehavingServer server(serverRoot.path());
  const fs::path install = sandbox.path() / "game";
  const std::string source = server.url() + "linux/";
  publishTestRelease(serverRoot.path() / "linux", gameRelease("1.0", "first world"));
  ASSERT_EQ(runSetup(sandbox.path(), {"--quiet", "--no-register", "--dir", install.string(), "--source", source}).exitCode, 0);

  const TestRelease newer = gameRelease("2.0", std::string(256 * 1024, 'w'));
  publishTestRelease(serverRoot.path() / "linux", newer);
  const std::string hash = contentDigest(newer.files[1].content);
  server.set("/linux/files/" + hash, R"({"stallAfter": 1000})");
  ProcessOptions options;
  options.env = setupEnvironment(sandbox.path());
  const int first = startProcess({VARNHOLT_SETUP_PATH, "--quiet", "--no-register", "--dir", install.string(), "--source",
                                  source, "--log", (sandbox.path() / "first.log").string()},
                                 options, (sandbox.path() / "first.out").string());
  const fs::path part = install / ".staging" / (hash + ".part");
  // The part file is open and the server has sent what it will send.
  const bool stalled = awaitCondition([&] {
    std::error_code ec;
    return server.requestCount("/linux/files/" + hash) == 1 && fs::exists(part, ec);
  });
  if (!stalled) kill(first, SIGKILL);
  ASSERT_TRUE(stalled) << "the first copy never reached its download";

  struct Case {
    std::vector<std::string> arguments;
    std::vector<std::string> log;
  };
  const Case cases[] = {
      {{"--quiet", "--no-register"}, {"Looking for the newest version...", "failed: " + anotherCopy}},
      {{"--quiet", "--repair"}, {"Looking for the newest version...", "failed: " + anotherCopy}},
      {{"--uninstall", "--quiet"}, {"uninstall failed: " + anotherCopy}},
  };
  const TreeSnapshot before = snapshotTree(install);
  for (const Case& c : cases) {
    std::vector<std::string> arguments = c.arguments;
    arguments.insert(arguments.end(), {"--dir", install.string(), "--source", source});
    const SetupRun second = runSetup(sandbox.path(), arguments);
    EXPECT_EQ(second.exitCode, 1) << c.arguments[0] << second.output;
    EXPECT_EQ(second.log, c.log) << c.arguments[0];
    EXPECT_EQ(snapshotTree(install), before) << c.arguments[0];
  }
  EXPECT_TRUE(fs::exists(part));

  // The first copy ends (here by a kill); its lock goes with it, and the next run finishes.
  kill(first, SIGKILL);
  waitProcess(first);
  server.clear("/linux/files/" + hash);
  const SetupRun next = runSetup(sandbox.path(), {"--quiet", "--no-register", "--dir", install.string(), "--source", source});
  EXPECT_EQ(next.exitCode, 0) << next.output;
  EXPECT_EQ(withoutStaging(snapshotTree(install)), withoutStaging([&] {
              TreeSnapshot tree = releaseTree(newer);
              tree["install.manifest"] = describeFile(signedManifest(newer), 0644);
              tree["install.source"] = describeFile(source + "\n", 0644);
              return tree;
            }()));
}

// The window's check, with the folder held by another process, ends on the failed screen.
TEST(OneRun, TheWindowShowsAFailedScreenWhenAnotherCopyHoldsTheFolder) {
  TempFolder temp;
  const fs::path install = temp.path() / "game";
  fs::create_directories(install);
  resetBoard(install, temp.path() / "log");
  letGoOfInstallFolder();
  // Another open description of the folder stands for the other copy: flock locks conflict
  // between them as between processes.
  const int other = ::open(install.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  runCheckJob();
  {
    std::lock_guard<std::mutex> lock(board.mutex);
    EXPECT_EQ(board.screen, Screen::Failed);
    EXPECT_EQ(board.headline, "Could not check for the newest version.");
    EXPECT_EQ(board.detail, anotherCopy);
  }
  ::close(other);
  // Once the other copy is gone, TRY AGAIN gets past the lock (to the unreachable server).
  runCheckJob();
  {
    std::lock_guard<std::mutex> lock(board.mutex);
    EXPECT_EQ(board.screen, Screen::Failed);
    EXPECT_NE(board.detail, anotherCopy);
  }
  letGoOfInstallFolder();
  closeLog();
}

}  // namespace
