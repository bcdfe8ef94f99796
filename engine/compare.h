// The parts of the update check that work on the disk alone, apart from the download of the
// manifest, so that the plan can be worked out (and tested) from a release already in hand.
#pragma once

#include <string>
#include <thread>

#include "release/release.h"

// Reads the installed record and compares board.latest with the install folder: fills the
// plan (neededFiles, neededBytes, linksNeeded), publishes the progress and logs "needed: ".
// Fails only with "Cancelled.".
bool compareWithDisk(std::string& error);

// readInstalledState, for a check that has put the verified manifest into board.manifestText
// and board.latest: a record that is that very text is not parsed a second time.
void readInstalledStateAgainstLatest();

// For a check that has the manifest's text in board.manifestText but has yet to verify and
// parse it: a record that is not that very text is read and parsed meanwhile, on a second
// thread, and the next readInstalledStateAgainstLatest takes the result. Parsing a record of
// tens of thousands of files takes as long as parsing the manifest. Lives on the check's stack.
class RecordReadAhead {
 public:
  explicit RecordReadAhead(bool onASecondThread = true);
  ~RecordReadAhead();
  RecordReadAhead(const RecordReadAhead&) = delete;
  RecordReadAhead& operator=(const RecordReadAhead&) = delete;

 private:
  friend void readInstalledStateAgainstLatest();
  bool readAsLatest_ = false;
  bool valid_ = false;
  Release installed_;
  std::thread thread_;
};

// True when "install.manifest", as the check just read it, held exactly board.manifestText:
// the folder is recorded as the latest release. A plan with nothing to fetch still needs a commit when it is not, for
// example after a run that was stopped after placing every file but before recording them.
bool recordIsCurrent();
