// The status board shared by the window thread and the one worker thread: the screen texts,
// the update plan and the stop request, with the operations that change the texts and write
// the log. The board is handed to whoever works on it; the process's one board and its worker
// are app/'s (app/session.h). setStatus, setProgress and logLine may be called from any thread.
// The mutex is held only to copy or assign.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/options.h"
#include "release/file_guards.h"
#include "release/release.h"

enum class Screen : int32_t { Checking = 0, Offer = 1, UpToDate = 2, Downloading = 3, Done = 4, Failed = 5 };

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
  FileStream logFile;
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

// The game's program, relative to the install folder: the latest release's, else the
// installed one's.
const std::string& gameProgram(const StatusBoard& board);

void setStatus(StatusBoard& board, const std::string& headline, const std::string& detail, double progress);
void setProgress(StatusBoard& board, const std::string& detail, double progress);
void logLine(const StatusBoard& board, const std::string& text);
