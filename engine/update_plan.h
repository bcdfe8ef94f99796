// The update engine: the installed-state record, the update check that turns the latest
// manifest into a plan, and the apply transaction (staged download, then commit). The plan
// and the installed state live in the status board that the caller hands to each of them.
// These run on the worker thread, or on the main thread in the windowless run; one at a time.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "release/release.h"

struct StatusBoard;

// The installed release as the last check read it (meaningful while board.valid): when the
// record held exactly the manifest that check verified, that is board.latest itself, and
// board.installed is not filled with a copy of a release of perhaps tens of thousands of files.
const Release& installedRelease(const StatusBoard& board);

// Locks the install folder for this process, if it exists, so that no second copy works on it
// at the same time; true when this process holds it (or there is no folder yet). False with
// anotherCopyRunning when another process holds it. Held until letGoOfInstallFolder or the end
// of the process.
[[nodiscard]] bool holdInstallFolder(const std::filesystem::path& installDir, std::string& error);
void letGoOfInstallFolder();
extern const char* const anotherCopyRunning;

// Fetches and verifies the latest manifest and works out what is needed.
bool checkForUpdate(StatusBoard& board, std::string& error);

// True after a check when the install is current: no file and no link needed, and the record
// names the latest release. Every file and link in place but the record naming another release
// (a run stopped just before recording) still needs the commit.
[[nodiscard]] bool nothingToDo(const StatusBoard& board);

// What the caller of one apply hands to it, the way a build is handed its disk interface.
struct ApplyContext {
  // When set, called while the download runs, a few times a second, with the bytes done (never
  // fewer than before within one apply) and the bytes needed.
  std::function<void(uint64_t doneBytes, uint64_t neededBytes)> downloadWatcher;
  // How the commit sets the mode of a file it places; tests make it fail as a file system that
  // cannot hold the mode does.
  int (*fileModeCall)(int folderFd, const char* path, mode_t mode, int flags) = ::fchmodat;
};

// Downloads what the plan needs into ".staging", then commits it.
bool applyUpdate(StatusBoard& board, std::string& error, const ApplyContext& context = {});

// The second phase of applyUpdate: every needed file lies verified in the staging folder.
bool commitUpdate(StatusBoard& board, std::string& error, const ApplyContext& context = {});

std::filesystem::path stagingFolder(const StatusBoard& board);

