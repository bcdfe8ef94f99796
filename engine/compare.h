// The parts of the update check that work on the disk alone, apart from the download of the
// manifest, so that the plan can be worked out (and tested) from a release already in hand.
#pragma once

#include <string>

// Reads the installed record and compares board.latest with the install folder: fills the
// plan (neededFiles, neededBytes, linksNeeded), publishes the progress and logs "needed: ".
// Fails only with "Cancelled.".
bool compareWithDisk(std::string& error);

// readInstalledState, for a check that has put the verified manifest into board.manifestText
// and board.latest: a record that is that very text is not parsed a second time.
void readInstalledStateAgainstLatest();

// True when "install.manifest", as the check just read it, held exactly board.manifestText:
// the folder is recorded as the latest release. A plan with nothing to fetch still needs a commit when it is not, for
// example after a run that was stopped after placing every file but before recording them.
bool recordIsCurrent();

// Records the source in use: "install.source" holds it, or is gone for the default source.
// Writes only when the file says otherwise (a run stopped between the two records).
void recordSource();
