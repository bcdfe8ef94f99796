// The windowless run: the update check and, when there is work, the apply transaction, on
// the main thread. It reports only through the log and the exit code.
#include <filesystem>
#include <string>
#include <system_error>

#include "app/modes.h"
#include "app/status_board.h"
#include "desktop/desktop.h"
#include "engine/compare.h"
#include "engine/update_plan.h"

int quietMain() {
  std::string error;
  bool succeeded = checkForUpdate(error);
  if (succeeded) {
    // Every file and link in place but the record naming another release (a run stopped just
    // before recording) still needs the commit: it deletes the older release's leftovers and
    // records the latest one.
    const bool nothingToDo = board.neededFiles.empty() && !board.linksNeeded && recordIsCurrent();
    if (nothingToDo) {
      // A staging folder left by a run stopped after it recorded the release holds nothing
      // that is still needed.
      std::error_code ec;
      std::filesystem::remove_all(stagingFolder(), ec);
      if (!board.options.noRegister) registerMenuEntries();
    } else {
      succeeded = applyUpdate(error);
    }
  }
  if (!succeeded) logLine("failed: " + error);
  closeLog();
  return succeeded ? 0 : 1;
}
