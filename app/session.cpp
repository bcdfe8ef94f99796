#include "app/session.h"

#include <cstdio>
#include <mutex>

StatusBoard board;
std::atomic<PendingAction> pendingAction{PendingAction::None};
std::thread worker;

void setStatus(const std::string& headline, const std::string& detail, double progress) {
  setStatus(board, headline, detail, progress);
}

void setButtons(const std::string& primary, const std::string& secondary) {
  std::lock_guard<std::mutex> lock(board.mutex);
  board.primaryLabel = primary;
  board.secondaryLabel = secondary;
}

void setScreen(Screen screen) {
  std::lock_guard<std::mutex> lock(board.mutex);
  board.screen = screen;
}

void logLine(const std::string& text) { logLine(board, text); }

void openLog(const std::filesystem::path& path) {
  if (path.empty()) return;
  board.logFile.reset(std::fopen(path.c_str(), "w"));
}

void closeLog() { board.logFile.reset(); }
