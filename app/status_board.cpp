#include "app/status_board.h"

StatusBoard board;
std::atomic<PendingAction> pendingAction{PendingAction::None};
std::thread worker;

const std::string& gameProgram(const StatusBoard& board) {
  return board.latest.game.empty() ? board.installed.game : board.latest.game;
}

void setStatus(StatusBoard& board, const std::string& headline, const std::string& detail, double progress) {
  {
    std::lock_guard<std::mutex> lock(board.mutex);
    board.headline = headline;
    board.detail = detail;
    board.progress = progress;
  }
  logLine(board, detail.empty() ? headline : headline + " - " + detail);
}

void setStatus(const std::string& headline, const std::string& detail, double progress) {
  setStatus(board, headline, detail, progress);
}

void setProgress(StatusBoard& board, const std::string& detail, double progress) {
  std::lock_guard<std::mutex> lock(board.mutex);
  board.detail = detail;
  board.progress = progress;
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

void logLine(const StatusBoard& board, const std::string& text) {
  if (!board.logFile) return;
  // One formatted write per line, so lines of two threads never mix within a line.
  std::fprintf(board.logFile, "%s\n", text.c_str());
  std::fflush(board.logFile);
}

void openLog(const std::filesystem::path& path) {
  if (path.empty()) return;
  board.logFile = std::fopen(path.c_str(), "w");
}

void closeLog() {
  if (!board.logFile) return;
  std::fclose(board.logFile);
  board.logFile = nullptr;
}
