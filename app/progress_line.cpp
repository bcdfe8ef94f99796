#include "app/progress_line.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "download/download.h"

namespace {

double monotonicSeconds() {
  timespec now{};
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void writeAllToStderr(const std::string& text) {
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written <= 0) return;  // a terminal that went away: nothing more to show
    data += written;
    left -= static_cast<size_t>(written);
  }
}

}  // namespace

std::string progressLine(uint64_t doneBytes, uint64_t neededBytes, double seconds) {
  std::string line = sizeText(doneBytes) + " of " + sizeText(neededBytes);
  if (doneBytes == 0 || seconds <= 0) return line;
  const double rate = static_cast<double>(doneBytes) / seconds;
  char text[64];
  std::snprintf(text, sizeof text, ", %.1f MB/s", rate / 1e6);
  line += text;
  const uint64_t left = neededBytes > doneBytes ? neededBytes - doneBytes : 0;
  const uint64_t secondsLeft = static_cast<uint64_t>(static_cast<double>(left) / rate + 0.5);
  if (secondsLeft >= 3600) {
    std::snprintf(text, sizeof text, ", %llu:%02llu:%02llu left", static_cast<unsigned long long>(secondsLeft / 3600),
                  static_cast<unsigned long long>(secondsLeft / 60 % 60),
                  static_cast<unsigned long long>(secondsLeft % 60));
  } else {
    std::snprintf(text, sizeof text, ", %llu:%02llu left", static_cast<unsigned long long>(secondsLeft / 60),
                  static_cast<unsigned long long>(secondsLeft % 60));
  }
  return line + text;
}

TerminalProgress::TerminalProgress() : started_(monotonicSeconds()) {}

void TerminalProgress::show(uint64_t doneBytes, uint64_t neededBytes) {
  const double now = monotonicSeconds();
  if (shown_ && now - lastShown_ < 0.2 && doneBytes < neededBytes) return;
  lastShown_ = now;
  shown_ = true;
  // Back to the start of the line, the new text, and the rest of the old one erased.
  writeAllToStderr("\r" + progressLine(doneBytes, neededBytes, now - started_) + "\x1b[K");
}

void TerminalProgress::finish() {
  if (shown_) writeAllToStderr("\n");
  shown_ = false;
}
