// The process's one status board, which main() fills, the window's and the run modes' ways of
// writing to it, and the one worker thread with its two jobs. Only app/ and the tests reach
// these; the engine and the folders below it are handed a board. setStatus, setButtons,
// setScreen and logLine may be called from any thread; startCheck and startApply only from the
// window thread.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "app/status_board.h"

enum class PendingAction : int32_t { None = 0, StartApply = 1, LaunchUpdated = 2 };

extern StatusBoard board;
extern std::atomic<PendingAction> pendingAction;
extern std::thread worker;

void setStatus(const std::string& headline, const std::string& detail, double progress);
void setButtons(const std::string& primary, const std::string& secondary);
void setScreen(Screen screen);
void logLine(const std::string& text);
// Opens the log for writing (truncating); a log that cannot be opened leaves logging off.
void openLog(const std::filesystem::path& path);
void closeLog();

void startCheck();
void startApply();

// The two worker bodies (the screens they lead to are decided here).
void runCheckJob();
void runApplyJob();
