// The windowless run: the update check and, when there is work, the apply transaction, on
// the main thread. It reports only through the log and the exit code.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "app/modes.h"
#include "app/progress_line.h"
#include "app/session.h"
#include "desktop/desktop.h"
#include "engine/update_plan.h"

int quietMain() {
  std::string error;
  bool succeeded = checkForUpdate(board, error);
  if (succeeded) {
    // A commit deletes the older release's leftovers and records the latest one.
    if (nothingToDo(board)) {
      // A staging folder left by a run stopped after it recorded the release holds nothing
      // that is still needed.
      std::error_code ec;
      std::filesystem::remove_all(stagingFolder(board), ec);
      if (!board.options.noRegister) registerMenuEntries(board);
    } else {
      // On a terminal, one line shows how the download goes; nothing anywhere else.
      TerminalProgress terminal;
      ApplyContext context;
      if (isatty(STDERR_FILENO)) {
        context.downloadWatcher = [&terminal](uint64_t done, uint64_t needed) { terminal.show(done, needed); };
      }
      succeeded = applyUpdate(board, error, context);
      terminal.finish();
    }
  }
  if (!succeeded) logLine("failed: " + error);
  closeLog();
  return succeeded ? 0 : 1;
}
