// The installed-state record: "install.manifest" of the install folder, read back without a
// signature check (it was verified before it was stored).
#include <string>

#include "app/status_board.h"
#include "engine/compare.h"
#include "engine/update_plan.h"

void readInstalledState() {
  std::string ignored;
  const std::string text = readFile(board.options.installDir / "install.manifest");
  board.valid = parseRelease(text, board.installed, ignored);
}

void readInstalledStateAgainstLatest() {
  const std::string text = readFile(board.options.installDir / "install.manifest");
  if (!board.manifestText.empty() && text == board.manifestText) {
    // The manifest the check has just verified and parsed: the same text gives the same release.
    board.installed = board.latest;
    board.valid = true;
    return;
  }
  std::string ignored;
  board.valid = parseRelease(text, board.installed, ignored);
}

bool recordIsCurrent() {
  return board.valid && readFile(board.options.installDir / "install.manifest") == board.manifestText;
}
