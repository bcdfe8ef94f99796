// The apply transaction, first phase: every needed file is downloaded into ".staging" under
// the name of its hash and kept only when its size and digest match the release. Nothing
// outside the staging folder changes here; the commit (commit.cpp) follows.
#include <cstdint>
#include <set>
#include <string>
#include <system_error>

#include "app/status_board.h"
#include "download/download.h"
#include "engine/update_plan.h"
#include "release/release.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t spaceMargin = 67108864;  // 64 MiB on top of the download
constexpr int fileAttempts = 3;

bool enoughSpace(const fs::path& installDir) {
  std::error_code ec;
  const fs::space_info space = fs::space(installDir, ec);
  if (ec) return true;  // unknown: go on without the test
  return space.available >= board.neededBytes && space.available - board.neededBytes >= spaceMargin;
}

// The staging folder is the program's own: a link at its name (left by a release or planted)
// would send downloads elsewhere, so it goes.
void prepareStagingFolder(const fs::path& staging) {
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(staging, ec))) fs::remove(staging, ec);
  fs::create_directories(staging, ec);
}

bool stagedEntryValid(const fs::path& entry, const std::string& hash) {
  std::error_code ec;
  return fs::is_regular_file(fs::symlink_status(entry, ec)) && fileDigest(entry) == hash;
}

// Downloads one file into its part file, up to three attempts, and keeps it as the staging
// entry named by its hash.
bool downloadFile(const ReleaseFile& file, uint64_t& doneBytes, PartFile& partFile, std::string& error) {
  const fs::path staging = stagingFolder();
  const fs::path part = staging / (file.hash + ".part");
  bool succeeded = false;
  for (int attempt = 1; attempt <= fileAttempts && !succeeded; ++attempt) {
    if (board.cancel) {
      error = "Cancelled.";
      return false;
    }
    // Whatever stands at the part file's name goes first: a link planted there is not followed.
    std::error_code ec;
    fs::remove(part, ec);
    if (!partFile.open(part, file.size)) {
      error = "Could not write to " + staging.string();
      return false;
    }
    DigestStream digest;
    uint64_t receivedBytes = 0;
    bool writeFailed = false;
    error.clear();
    const FileSink sink{board, board.neededBytes, partFile, digest, receivedBytes, doneBytes, file, writeFailed};
    const bool fetched = fetchUrl(fileUrl(board.options.source, file.hash), sink, error, false);
    if (!partFile.close()) writeFailed = true;
    if (writeFailed) {
      // A full disk: the same write would fail again. The partial file goes, to free the space.
      std::error_code ec;
      fs::remove(part, ec);
      error = "Could not write to " + staging.string();
      return false;
    }
    if (receivedBytes > file.size) {
      error = "a file did not match the release: " + file.path;
    } else if (fetched) {
      if (receivedBytes == file.size && finishDigest(digest) == file.hash) succeeded = true;
      else error = "a file did not match the release: " + file.path;
    }
  }
  if (board.cancel) {
    error = "Cancelled.";
    return false;
  }
  if (!succeeded) {
    error = "The download failed: " + error;
    return false;
  }
  std::error_code ec;
  fs::rename(part, staging / file.hash, ec);
  if (ec) {
    error = "Could not keep a downloaded file.";
    return false;
  }
  doneBytes += file.size;
  return true;
}

}  // namespace

fs::path stagingFolder() { return board.options.installDir / ".staging"; }

bool applyUpdate(std::string& error) {
  const fs::path& installDir = board.options.installDir;
  std::error_code ec;
  fs::create_directories(installDir, ec);
  if (ec) {
    error = "Could not create " + installDir.string() + ": " + ec.message();
    return false;
  }
  // A first install: the folder exists only now.
  if (!holdInstallFolder(error)) return false;
  if (!enoughSpace(installDir)) {
    error = "Not enough free disk space: " + sizeText(board.neededBytes) + " are needed.";
    return false;
  }
  const fs::path staging = stagingFolder();
  prepareStagingFolder(staging);

  PartFile partFile;
  std::set<std::string> stagedHashes;
  uint64_t doneBytes = 0;
  for (uint64_t index : board.neededFiles) {
    const ReleaseFile& file = board.latest.files[index];
    if (stagedHashes.count(file.hash)) continue;  // same content, already staged in this call
    if (stagedEntryValid(staging / file.hash, file.hash)) {
      stagedHashes.insert(file.hash);
      doneBytes += file.size;
      continue;
    }
    if (!downloadFile(file, doneBytes, partFile, error)) return false;
    stagedHashes.insert(file.hash);
  }
  return commitUpdate(error);
}
