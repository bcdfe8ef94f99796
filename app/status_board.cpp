#include "app/status_board.h"

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

void setProgress(StatusBoard& board, const std::string& detail, double progress) {
  std::lock_guard<std::mutex> lock(board.mutex);
  board.detail = detail;
  board.progress = progress;
}

void logLine(const StatusBoard& board, const std::string& text) {
  if (!board.logFile) return;
  // One formatted write per line, so lines of two threads never mix within a line.
  std::fprintf(board.logFile.get(), "%s\n", text.c_str());
  std::fflush(board.logFile.get());
}
