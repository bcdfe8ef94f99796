// The installed-state record: "install.manifest" of the install folder, read back without a
// signature check (it was verified before it was stored).
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "app/status_board.h"
#include "engine/compare.h"
#include "download/helper_thread.h"
#include "engine/update_plan.h"
#include "release/file_guards.h"

namespace {

// True when the regular file at path holds exactly text. Compared piece by piece: the usual
// answer, a record that is the manifest just fetched, then needs no second text of megabytes.
bool holdsExactly(const std::filesystem::path& path, std::string_view text) {
  FileStream file(std::fopen(path.c_str(), "rb"));
  struct stat st;
  if (!file || ::fstat(fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<uint64_t>(st.st_size) != text.size()) {
    return false;
  }
  char buffer[65536];
  size_t offset = 0;
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    if (got > text.size() - offset || std::memcmp(buffer, text.data() + offset, got) != 0) return false;
    offset += got;
  }
  return !std::ferror(file.get()) && offset == text.size();
}

}  // namespace

RecordReadAhead::RecordReadAhead(StatusBoard& board, bool onASecondThread) : board_(board) {
  const std::filesystem::path record = board.options.installDir / "install.manifest";
  readAsLatest_ = !board.manifestText.empty() && holdsExactly(record, board.manifestText);
  if (!readAsLatest_) {
    auto read = [this, record] {
      std::string ignored;
      valid_ = parseReleaseFile(record, installed_, ignored);
    };
    if (!onASecondThread || !startHelperThread(thread_, read)) read();
  }
}

RecordReadAhead::~RecordReadAhead() {
  if (thread_.joinable()) thread_.join();
}

void RecordReadAhead::finish() {
  if (thread_.joinable()) thread_.join();
  board_.recordReadAsLatest = readAsLatest_;
  if (readAsLatest_) {
    // The manifest the check has just verified and parsed: the same text gives the same
    // release, which installedRelease() then hands out instead of a copy.
    board_.installed = Release();
    board_.valid = true;
    return;
  }
  board_.installed = std::move(installed_);
  board_.valid = valid_;
}

bool recordIsCurrent(const StatusBoard& board) {
  return board.valid && board.recordReadAsLatest;
}

const Release& installedRelease(const StatusBoard& board) {
  // Once a commit has filled board.installed, it holds the latest release too.
  return board.recordReadAsLatest ? board.latest : board.installed;
}

bool nothingToDo(const StatusBoard& board) {
  return board.neededFiles.empty() && !board.linksNeeded && recordIsCurrent(board);
}
