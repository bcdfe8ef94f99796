// The parts of the update check that work on the disk alone, apart from the download of the
// manifest, so that the plan can be worked out (and tested) from a release already in hand.
#pragma once

#include <string>
#include <thread>

#include "release/release.h"

struct StatusBoard;

// The reading of "install.manifest" for a check that has the manifest's text in
// board.manifestText: a record that is that very text is not parsed a second time, and one that
// is not is read and parsed meanwhile, on a second thread, while the check verifies and parses
// the manifest (a record of tens of thousands of files takes as long as the manifest).
class RecordReadAhead {
 public:
  explicit RecordReadAhead(StatusBoard& board, bool onASecondThread = true);
  ~RecordReadAhead();
  RecordReadAhead(const RecordReadAhead&) = delete;
  RecordReadAhead& operator=(const RecordReadAhead&) = delete;

  // Once board.latest holds the verified manifest: waits for the reading and puts the installed
  // state into board.installed and board.valid.
  void finish();

 private:
  bool readAsLatest_ = false;
  bool valid_ = false;
  Release installed_;
  std::thread thread_;
  StatusBoard& board_;
};

// Reads the installed record (through readAhead, begun by the check, or here and now without
// one) and compares board.latest with the install folder: fills the plan (neededFiles,
// neededBytes, linksNeeded), publishes the progress and logs "needed: ". Fails only with
// "Cancelled.".
bool compareWithDisk(StatusBoard& board, std::string& error, RecordReadAhead* readAhead = nullptr);

// True when "install.manifest", as the check just read it, held exactly board.manifestText:
// the folder is recorded as the latest release. A plan with nothing to fetch still needs a commit when it is not, for
// example after a run that was stopped after placing every file but before recording them.
bool recordIsCurrent(const StatusBoard& board);
