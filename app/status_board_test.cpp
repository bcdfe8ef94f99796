#include "app/session.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/support/temp_folder.h"

namespace {

// Opens a log in a temp folder for the test and closes it at the end.
class ScopedLog {
 public:
  ScopedLog() : path_(folder_.path() / "run.log") { openLog(path_); }
  ~ScopedLog() { closeLog(); }
  std::string text() const { return readFile(path_); }
  const std::filesystem::path& path() const { return path_; }

 private:
  TempFolder folder_;
  std::filesystem::path path_;
};

struct Screenful {
  std::string headline, detail, primary, secondary;
  double progress;
  Screen screen;
};

Screenful copyBoard() {
  std::lock_guard<std::mutex> lock(board.mutex);
  return {board.headline, board.detail, board.primaryLabel, board.secondaryLabel, board.progress, board.screen};
}

}  // namespace

TEST(StatusBoard, StartsEmpty) {
  Screenful s = copyBoard();
  EXPECT_EQ(s.headline, "");
  EXPECT_EQ(s.progress, -1.0);
  EXPECT_EQ(s.screen, Screen::Checking);
  EXPECT_EQ(pendingAction.load(), PendingAction::None);
  EXPECT_FALSE(worker.joinable());
}

TEST(StatusBoard, StatusLinesAndProgress) {
  ScopedLog log;
  setStatus("Looking for the newest version...", "", -1.0);
  setProgress(board, "Checking files...", 0.5);
  Screenful s = copyBoard();
  EXPECT_EQ(s.headline, "Looking for the newest version...");
  EXPECT_EQ(s.detail, "Checking files...");
  EXPECT_EQ(s.progress, 0.5);
  setStatus("Could not check for the newest version.", "the server answered 404 for x", -1.0);
  setButtons("TRY AGAIN", "CLOSE");
  logLine("failed: reason");
  s = copyBoard();
  EXPECT_EQ(s.primary, "TRY AGAIN");
  EXPECT_EQ(s.secondary, "CLOSE");
  EXPECT_EQ(log.text(),
            "Looking for the newest version...\n"
            "Could not check for the newest version. - the server answered 404 for x\n"
            "failed: reason\n");
}

TEST(StatusBoard, NoLogFileWithoutLogOption) {
  TempFolder folder;
  openLog("");
  EXPECT_EQ(board.logFile, nullptr);
  setStatus("Installing...", "", 1.0);  // dropped silently
  logLine("installed 1.0");
  // A log that cannot be opened leaves logging off as well.
  openLog(folder.path() / "missing-folder" / "run.log");
  EXPECT_EQ(board.logFile, nullptr);
  logLine("dropped");
  EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
}

TEST(StatusBoard, LogTruncatesAnEarlierFile) {
  TempFolder folder;
  std::filesystem::path path = folder.path() / "run.log";
  { FILE* f = std::fopen(path.c_str(), "w"); std::fputs("old text\n", f); std::fclose(f); }
  openLog(path);
  logLine("new");
  closeLog();
  EXPECT_EQ(readFile(path), "new\n");
}

// A worker publishing while the window thread copies: every copy is one consistent screen,
// and the log holds whole lines only. Run under ThreadSanitizer too.
TEST(StatusBoard, TwoThreads) {
  ScopedLog log;
  constexpr int rounds = 2000;
  std::thread workerThread([] {
    for (int i = 0; i < rounds; ++i) {
      std::string n = std::to_string(i);
      setStatus("headline " + n, "detail " + n, i);
      setProgress(board, "detail " + n, i);
      setButtons("primary " + n, "secondary " + n);
    }
  });
  for (int i = 0; i < rounds; ++i) {
    logLine("window " + std::to_string(i));
    Screenful s = copyBoard();
    if (s.headline.rfind("headline ", 0) != 0) continue;  // the worker has not published yet
    std::string n = s.headline.substr(9);
    EXPECT_EQ(s.detail, "detail " + n);
    EXPECT_EQ(s.progress, std::stod(n));
  }
  workerThread.join();
  std::string text = log.text();
  size_t lines = 0, start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1, ++lines) {
    std::string line = text.substr(start, end - start);
    EXPECT_TRUE(line.rfind("headline ", 0) == 0 || line.rfind("window ", 0) == 0) << line;
  }
  EXPECT_EQ(lines, 2u * rounds);
}

TEST(StatusBoard, StartApplyPublishesTheDownloadScreen) {
  TempFolder install;
  ScopedLog log;
  board.options.installDir = install.path();
  board.options.source = "http://127.0.0.1:9/";  // nothing listens: the apply fails quickly
  board.latest = Release();
  board.latest.version = "2.0";
  board.neededFiles = {0};
  board.latest.files.push_back({std::string(64, 'a'), 1, "bin/game", true});
  board.neededBytes = 1;
  startApply();
  {
    // The screen and the labels were set before the worker started.
    std::lock_guard<std::mutex> lock(board.mutex);
    EXPECT_TRUE(board.screen == Screen::Downloading || board.screen == Screen::Failed);
  }
  worker.join();
  EXPECT_EQ(log.text().substr(0, log.text().find('\n')), "Downloading Varnholt 2.0...");
  Screenful s = copyBoard();
  EXPECT_EQ(s.screen, Screen::Failed);
  EXPECT_EQ(s.headline, "The install did not finish.");
  EXPECT_EQ(s.primary, "TRY AGAIN");
  EXPECT_EQ(s.secondary, "CLOSE");
}
