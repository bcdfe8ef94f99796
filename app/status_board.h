// The process-wide status board shared by the window thread and the one worker thread, the
// operations that change the screen texts and write the log, and the two worker starters.
// setStatus, setProgress, setButtons and logLine may be called from any thread; startCheck
// and startApply only from the window thread. The mutex is held only to copy or assign.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/options.h"
#include "release/release.h"

enum class Screen : int32_t { Checking = 0, Offer = 1, UpToDate = 2, Downloading = 3, Done = 4, Failed = 5 };
enum class PendingAction : int32_t { None = 0, StartApply = 1, LaunchUpdated = 2 };

struct StatusBoard {
  Options options;
  Release latest;                      // the update plan and the installed state are
  Release installed;                   // unguarded: they change hands by the order of
  std::string manifestText;            // events (a worker writes them before it publishes
  bool valid = false;                  // its final button labels)
  bool recordReadAsLatest = false;     // the record read by the last check held exactly
                                       // manifestText: latest is the installed release too
  std::vector<uint64_t> neededFiles;
  uint64_t neededBytes = 0;
  std::atomic<bool> cancel{false};
  FILE* logFile = nullptr;
  std::mutex mutex;                    // guards headline to screen
  std::string headline;
  std::string detail;
  std::string footer;
  double progress = -1.0;
  std::string primaryLabel;
  std::string secondaryLabel;
  Screen screen = Screen::Checking;
  bool linksNeeded = false;
};

// The one board of the process, which main() fills and hands down: the engine and the
// folders below it are given a board and never reach this one.
extern StatusBoard board;

// The game's program, relative to the install folder: the latest release's, else the
// installed one's.
const std::string& gameProgram(const StatusBoard& board);
extern std::atomic<PendingAction> pendingAction;
extern std::thread worker;

// The forms without a board are the window's and the run modes' (app/), on the global board.
void setStatus(StatusBoard& board, const std::string& headline, const std::string& detail, double progress);
void setStatus(const std::string& headline, const std::string& detail, double progress);
void setProgress(StatusBoard& board, const std::string& detail, double progress);
void setButtons(const std::string& primary, const std::string& secondary);
void setScreen(Screen screen);
void logLine(const std::string& text);
void logLine(const StatusBoard& board, const std::string& text);
// Opens the log for writing (truncating); a log that cannot be opened leaves logging off.
void openLog(const std::filesystem::path& path);
void closeLog();

void startCheck();
void startApply();

// The two worker bodies (the screens they lead to are decided here).
void runCheckJob();
void runApplyJob();
