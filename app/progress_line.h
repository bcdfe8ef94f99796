// The line a windowless run shows on a terminal while it downloads, rewritten in place.
#pragma once

#include <cstdint>
#include <string>

// "12 MB of 812 MB, 4.1 MB/s, 3:15 left" after seconds of downloading; the rate and the time
// left wait for the first bytes.
std::string progressLine(uint64_t doneBytes, uint64_t neededBytes, double seconds);

// Shows progressLine on standard error, at most five times a second, each over the last; the
// rate counts from the object's construction. finish ends the line.
class TerminalProgress {
 public:
  TerminalProgress();
  void show(uint64_t doneBytes, uint64_t neededBytes);
  void finish();

 private:
  double started_;
  double lastShown_ = -1;
  bool shown_ = false;
};
