// A large update killed with SIGKILL at twenty moments drawn from a fixed seed, each followed
// by a normal run. Whatever the killed run had done (downloading, placing files, making
// links, deleting leftovers, recording), the normal run must leave exactly the new release
// plus the player's own files: no file of the older release, no staging entry, nothing lost.
// The runs go back and forth between two releases, so that each one is the update of the other.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "tests/engine/release_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned randomSeed = 20261209;
constexpr int killCount = 20;

std::string randomContent(std::mt19937& random, size_t size) {
  std::string text(size, '\0');
  for (char& c : text) c = char('a' + random() % 26);
  return text;
}

// Two releases of about 1,600 files and 25 MB each, differing in most ways a release can
// differ from the one before it.
void makeReleases(TestRelease& a, TestRelease& b) {
  std::mt19937 random(randomSeed);
  for (int i = 0; i < 2000; ++i) {
    const std::string path = "data/d" + std::to_string(i % 40) + "/f" + std::to_string(i) + ".dat";
    const std::string content = randomContent(random, 256 + random() % 4096);
    const bool executable = i % 7 == 0;  // its mode must be right after any kill too
    switch (i % 5) {
      case 0: a.files.push_back({path, content, executable}); break;  // only in a
      case 1: b.files.push_back({path, content, executable}); break;  // only in b
      case 2:  // the same
        a.files.push_back({path, content, executable});
        b.files.push_back({path, content, executable});
        break;
      default:  // changed
        a.files.push_back({path, content, executable});
        b.files.push_back({path, content + "!", executable});
        break;
    }
  }
  for (int i = 0; i < 3; ++i) {
    const std::string content = randomContent(random, 6000000);
    a.files.push_back({"big/pack" + std::to_string(i) + ".pak", content});
    b.files.push_back({"big/pack" + std::to_string(i) + ".pak", i == 0 ? content : content + "2"});
  }
  a.files.push_back({"bin/game", "#!/bin/sh\necho a\n", true});
  b.files.push_back({"bin/game", "#!/bin/sh\necho b\n", true});
  a.files.push_back({"lib/libz.so.1", "z one"});
  b.files.push_back({"lib/libz.so.2", "z two"});
  a.links = {{"lib/libz.so", "libz.so.1"}};
  b.links = {{"lib/libz.so", "libz.so.2"}, {"bin/libz.so", "../lib/libz.so.2"}};
  // A file that becomes a folder, and a folder that becomes a file.
  a.files.push_back({"data/turn", "a file in a"});
  b.files.push_back({"data/turn/inside", "a file in b"});
  a.files.push_back({"data/back/inside", "a file in a"});
  b.files.push_back({"data/back", "a file in b"});
  a.version = "a";
  b.version = "b";
}

std::set<std::string> foldersOf(const TestRelease& game) {
  std::set<std::string> folders;
  auto add = [&](const std::string& path) {
    for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
      folders.insert(path.substr(0, slash));
    }
  };
  for (const GameFile& file : game.files) add(file.path);
  for (const GameLink& link : game.links) add(link.path);
  return folders;
}

const std::map<std::string, std::string> playerFiles = {
    {"saves/slot1.sav", "the player's save"},
    {"data/d3/notes.txt", "the player's notes, in a folder of the release"},
    {"data/turn.txt", "a name close to one of the release's"},
};

class KillAtScale : public InstallFixture {
 protected:
  // Exactly the release and the player's files; folders that only the other release needed
  // may stay behind empty.
  void expectExactly(const TestRelease& game, const std::string& channel, const std::set<std::string>& spareFolders) {
    const TreeSnapshot expected = expectedAfterInstall(game, channel, playerFiles);
    TreeSnapshot actual = contents(true);
    for (auto it = actual.begin(); it != actual.end();) {
      if (it->second == "dir" && !expected.count(it->first) && spareFolders.count(it->first)) {
        it = actual.erase(it);
      } else {
        ++it;
      }
    }
    EXPECT_TRUE(sameTree(expected, actual));
  }
};

TEST_F(KillAtScale, SlowKilledAtTwentyMomentsThenRunAgain) {
  TestRelease a, b;
  makeReleases(a, b);
  publish(a, "a");
  publish(b, "b");
  std::set<std::string> spareFolders = foldersOf(a);
  spareFolders.merge(foldersOf(b));

  SetupRun result = runQuiet(source("a"));
  ASSERT_EQ(result.exitCode, 0) << result.output << log();
  writePlayerFiles(playerFiles);
  expectExactly(a, "a", spareFolders);

  // How long an uninterrupted update takes, and when its commit ("Installing...") begins: half
  // of the kills fall anywhere in the update, the other half in the short commit (counted from
  // the moment the killed run logs "Installing...").
  std::filesystem::remove(logPath);
  const Clock::time_point start = Clock::now();
  const int timedPid = startQuiet(source("b"));
  ASSERT_GT(timedPid, 0);
  double commitSeconds = -1;
  while (log().find("installed b") == std::string::npos &&
         Clock::now() - start < std::chrono::seconds(120)) {
    if (commitSeconds < 0 && log().find("Installing...") != std::string::npos) {
      commitSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const double updateSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  const ProcessResult timed = waitProcess(timedPid);
  ASSERT_EQ(timed.exitCode, 0) << log();
  ASSERT_GE(commitSeconds, 0) << log();
  expectExactly(b, "b", spareFolders);

  std::mt19937 random(randomSeed);
  std::uniform_real_distribution<double> anywhere(0.0, updateSeconds);
  std::uniform_real_distribution<double> inCommit(0.0, updateSeconds - commitSeconds);
  std::map<std::string, int> killedAfter;  // by the last line the killed run logged
  for (int kill = 0; kill < killCount && !HasFailure(); ++kill) {
    const bool toA = kill % 2 == 0;
    const bool duringCommit = kill % 4 >= 2;
    const double after = duringCommit ? inCommit(random) : anywhere(random);
    SCOPED_TRACE("kill " + std::to_string(kill) + " after " + std::to_string(after) + " s of the update to " +
                 (toA ? "a" : "b") + (duringCommit ? ", counted from its commit" : "") +
                 " (an uninterrupted update took " + std::to_string(updateSeconds) + " s)");
    std::filesystem::remove(logPath);
    const int pid = startQuiet(source(toA ? "a" : "b"));
    ASSERT_GT(pid, 0);
    if (duringCommit) {
      const Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
      while (log().find("Installing...") == std::string::npos && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(after));
    ::kill(pid, SIGKILL);
    waitProcess(pid);
    ++killedAfter[lastLogLine().substr(0, 40)];

    result = runQuiet(source(toA ? "a" : "b"));
    ASSERT_EQ(result.exitCode, 0) << result.output << log();
    expectExactly(toA ? a : b, toA ? "a" : "b", spareFolders);
  }
  std::cout << "An uninterrupted update took " << updateSeconds << " s, its commit began after " << commitSeconds
            << " s; the killed runs had last logged:\n";
  for (const auto& [line, count] : killedAfter) std::cout << "  " << count << " x \"" << line << "\"\n";
}

}  // namespace
