// Lets go of the files that the commit replaces on helper threads. Whoever closes the last
// reference to a replaced file frees its blocks and its inode; on a file system that discards
// freed blocks at once, that waits for the disk, about 70 µs a file, several times the cost of
// the rename itself. Held open across the rename, a replaced file is freed by a helper instead,
// while the commit goes on with the next file. One owner thread calls the methods.
#pragma once

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "release/file_guards.h"

class ReplacedFiles {
 public:
  // helpers: the threads that let go of the files; 0 holds nothing.
  explicit ReplacedFiles(unsigned helpers = defaultHelpers());
  ~ReplacedFiles() { letGoOfAll(); }
  ReplacedFiles(const ReplacedFiles&) = delete;
  ReplacedFiles& operator=(const ReplacedFiles&) = delete;

  // Holds the entry at path, not following a link. Call it right before the entry is
  // replaced: the helpers get it at the next hold or letGoOfAll, once it has been replaced.
  // Nothing happens when it cannot be held, or when limit() files are held already: the
  // replacement then frees the file itself.
  void hold(const std::filesystem::path& path);
  // Waits until every file held so far is freed. Later holds start over.
  void letGoOfAll();
  // A small share of the descriptors the process may open, so that holding never leaves the
  // commit without one.
  size_t limit() const { return limit_; }

  static unsigned defaultHelpers();

 private:
  bool startHelpers();
  void handOverLast();
  void letGo();

  unsigned helperCount_;
  size_t limit_;
  bool started_ = false;
  std::vector<std::thread> helpers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  FileDescriptor last_;                // held, perhaps not replaced yet: no helper may close it
  std::vector<FileDescriptor> held_;  // replaced, for the helpers to close
  bool finishing_ = false;
};
