#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "app/modes.h"
#include "app/session.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

// A stand-in game: records its arguments, one a line, then its working folder.
void writeStandInGame(const fs::path& path, const fs::path& record, bool executable) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << "#!/bin/sh\n"
                      << "for a in \"$0\" \"$@\"; do echo \"$a\"; done > '" << record.string() << ".tmp'\n"
                      << "pwd -P >> '" << record.string() << ".tmp'\n"
                      << "mv '" << record.string() << ".tmp' '" << record.string() << "'\n";
  chmod(path.c_str(), executable ? 0755 : 0644);
}

std::string waitForRecord(const fs::path& record) {
  for (int i = 0; i < 500 && !fs::exists(record); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::ifstream in(record);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The board's release and option members for one test, put back afterwards.
class BoardForLaunch {
 public:
  BoardForLaunch(const fs::path& installDir, const std::string& latestGame, const std::string& installedGame)
      : oldDir_(board.options.installDir), oldLatest_(board.latest.game), oldInstalled_(board.installed.game) {
    board.options.installDir = installDir;
    board.latest.game = latestGame;
    board.installed.game = installedGame;
  }
  ~BoardForLaunch() {
    board.options.installDir = oldDir_;
    board.latest.game = oldLatest_;
    board.installed.game = oldInstalled_;
  }

 private:
  fs::path oldDir_;
  std::string oldLatest_, oldInstalled_;
};

}  // namespace

TEST(LaunchGame, StartsTheGameInTheInstallFolder) {
  struct Case {
    const char* name;
    std::string latestGame, installedGame;
    bool updated;
    std::string expectedArguments;  // after the program path
  };
  const std::vector<Case> cases = {
      {"latest release's game", "bin/game.sh", "old/game.sh", false, ""},
      {"installed release's game when the latest names none", "", "bin/game.sh", false, ""},
      {"after an unattended update", "bin/game.sh", "", true, "--updated\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder temp;
    const fs::path install = fs::canonical(temp.path()) / "Varnholt Game";
    const fs::path record = temp.path() / "record";
    writeStandInGame(install / "bin/game.sh", record, true);
    BoardForLaunch setBoard(install, c.latestGame, c.installedGame);
    const fs::path before = fs::current_path();

    ASSERT_TRUE(launchGame(c.updated));
    EXPECT_EQ(fs::current_path(), before);
    EXPECT_EQ(waitForRecord(record),
              (install / "bin/game.sh").string() + "\n" + c.expectedArguments + install.string() + "\n");
  }
}

// The board's log for one test, read back afterwards.
class CapturedLog {
 public:
  explicit CapturedLog(const fs::path& path) : old_(std::move(board.logFile)) {
    board.logFile.reset(std::fopen(path.c_str(), "w"));
  }
  ~CapturedLog() { board.logFile = std::move(old_); }

 private:
  FileStream old_;
};

TEST(LaunchGame, MissingOrNonExecutableGameFailsWithItsReasonInTheLog) {
  TempFolder temp;
  const fs::path install = temp.path() / "game";
  const fs::path record = temp.path() / "record";
  writeStandInGame(install / "plain.sh", record, false);
  fs::create_directories(install / "folder");
  const fs::path before = fs::current_path();
  struct Case {
    fs::path installDir;
    std::string game;
    std::string logged;
  };
  const std::vector<Case> cases = {
      {install, "missing.sh",
       "could not start the game " + (install / "missing.sh").string() + ": No such file or directory"},
      {install, "plain.sh",
       "could not start the game " + (install / "plain.sh").string() + ": it is not executable (Permission denied)"},
      {install, "folder", "could not start the game " + (install / "folder").string() + ": it is not a file"},
      {temp.path() / "nothing", "plain.sh",
       "could not start the game " + (temp.path() / "nothing/plain.sh").string() + ": No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.game);
    const fs::path logPath = temp.path() / "launch.log";
    {
      CapturedLog log(logPath);
      BoardForLaunch setBoard(c.installDir, c.game, "");
      EXPECT_FALSE(launchGame(false));
      EXPECT_EQ(fs::current_path(), before);
    }
    std::ifstream in(logPath);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line, c.logged);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(fs::exists(record));
}
