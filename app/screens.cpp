// The two worker starters and the two worker bodies: which screen follows a check or an apply,
// with its texts and labels.
// Each publishes the screen first, then the texts, then the labels: the window shows a button
// only once everything it acts on is in place.
#include "app/session.h"
#include "download/download.h"
#include "engine/update_plan.h"

void runCheckJob() {
  std::string error;
  if (!checkForUpdate(board, error)) {
    setScreen(Screen::Failed);
    setStatus("Could not check for the newest version.", error, -1.0);
    setButtons("TRY AGAIN", "CLOSE");
    return;
  }
  const std::string& version = board.latest.version;
  // Every file in place but the record naming another release (an update stopped just before
  // recording it) still needs the commit, as in the windowless run: offer it.
  if (nothingToDo(board)) {
    setScreen(Screen::UpToDate);
    setStatus("Varnholt " + version + " is installed and up to date.", "", -1.0);
    setButtons("PLAY", "CLOSE");
    if (board.options.update) pendingAction = PendingAction::LaunchUpdated;
    return;
  }
  setScreen(Screen::Offer);
  std::string headline = board.valid ? "Varnholt " + version + " is out."
                                     : "Install Varnholt " + version + "?";
  std::string detail = sizeText(board.neededBytes) + " to download";
  detail += board.valid ? " (" + std::to_string(board.neededFiles.size()) + " files)." : ".";
  setStatus(headline, detail, -1.0);
  setButtons(board.valid ? "UPDATE" : "INSTALL", "CLOSE");
  if (board.options.update) pendingAction = PendingAction::StartApply;
}

void runApplyJob() {
  std::string error;
  if (applyUpdate(board, error)) {
    setScreen(Screen::Done);
    // Without menu entries there is no menu to point to.
    setStatus("Varnholt " + board.latest.version + " is installed.",
              board.options.noRegister ? "Run this again any time to update."
                                       : "It is in your applications menu. Run this again any time to update.",
              1.0);
    setButtons("PLAY", "CLOSE");
    if (board.options.update) pendingAction = PendingAction::LaunchUpdated;
    return;
  }
  setScreen(Screen::Failed);
  setStatus(board.cancel ? "Cancelled." : "The install did not finish.", error, -1.0);
  setButtons("TRY AGAIN", "CLOSE");
}

void startCheck() {
  if (worker.joinable()) worker.join();
  board.cancel = false;
  setScreen(Screen::Checking);
  setButtons("", "CLOSE");
  worker = std::thread(runCheckJob);
}

void startApply() {
  if (worker.joinable()) worker.join();
  board.cancel = false;
  setScreen(Screen::Downloading);
  setButtons("", "CANCEL");
  setStatus("Downloading Varnholt " + board.latest.version + "...", "", 0.0);
  worker = std::thread(runApplyJob);
}
