// Entry point: start-up, then exactly one run mode.
#include <curl/curl.h>
#include <sodium.h>

#include <string>
#include <vector>

#include "app/modes.h"
#include "app/status_board.h"

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  if (sodium_init() < 0) return 1;

  board.options = startupOptions(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  openLog(board.options.logPath);

  switch (chooseRunMode(board.options)) {
    case RunMode::Uninstall: return uninstallMain();
    case RunMode::Quiet: return quietMain();
    case RunMode::Window:
    case RunMode::Snapshot: return windowMain();
  }
  return 1;
}
