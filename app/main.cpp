// Entry point: start-up, then exactly one run mode.
#include <curl/curl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/modes.h"
#include "app/options.h"
#include "app/session.h"
#include "release/release.h"

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  // libsodium is deliberately not initialised: the program uses only BLAKE2b, the ed25519
  // group operations and hex decoding, which need no set-up and no random numbers, and
  // sodium_init would switch BLAKE2b to a vectorised code path that hashes at about half the
  // speed of the portable one on the AMD processors we measured (bench/digest).

  board.options = startupOptions(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  const RunMode mode = chooseRunMode(board.options);
  if (mode == RunMode::Version) {  // before the log: printing the version touches no file
    std::fputs(versionText(releasePublicKey).c_str(), stdout);
    return 0;
  }
  openLog(board.options.logPath);
  if (hasControlCharacter(board.options.installDir)) {
    std::fprintf(stderr, "%s\n", controlCharacterRefusal);
    logLine(controlCharacterRefusal);
    closeLog();
    return 1;
  }

  switch (mode) {
    case RunMode::Version: return 0;  // printed above
    case RunMode::Uninstall: return uninstallMain();
    case RunMode::Quiet: return quietMain();
    case RunMode::Window:
    case RunMode::Snapshot: return windowMain();
  }
  return 1;
}
