// The update check: fetch and verify the latest manifest, then work out from the installed
// record and the disk which files must be downloaded and whether a link must be made. It
// reads and hashes files but changes nothing on disk.
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>

#include "app/status_board.h"
#include "download/download.h"
#include "engine/compare.h"
#include "engine/contained.h"
#include "engine/update_plan.h"
#include "release/release.h"

namespace fs = std::filesystem;

namespace {

constexpr int manifestAttempts = 3;
constexpr uint64_t progressEveryFiles = 16;

// Recorded hash by path; a path listed twice keeps its later hash. The views point into
// board.installed, which the check does not change after reading it.
using RecordedHashes = std::unordered_map<std::string_view, std::string_view>;

RecordedHashes recordedHashes() {
  RecordedHashes hashes;
  if (!board.valid) return hashes;
  hashes.reserve(board.installed.files.size());
  for (const ReleaseFile& file : board.installed.files) hashes[file.path] = file.hash;
  return hashes;
}

bool filePresent(const std::string& installFolder, ContainmentCache& containment, const ReleaseFile& file,
                 const RecordedHashes& recorded, bool repair, std::string& path) {
  // A file reached through a link that leads out of the install folder is not the game's.
  std::string reason;
  if (!containment.parentInside(file.path, reason)) return false;
  path = installFolder;
  path += '/';
  path += file.path;
  // One status query, following links, gives both the type and the size.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (static_cast<uint64_t>(st.st_size) != file.size) return false;
  auto recordedHash = recorded.find(file.path);
  if (!repair && recordedHash != recorded.end() && recordedHash->second == file.hash) return true;
  return fileDigest(path) == file.hash;
}

bool linkInPlace(const fs::path& installDir, ContainmentCache& containment, const ReleaseLink& link) {
  std::string reason;
  if (!containment.parentInside(link.path, reason)) return false;
  const fs::path path = installDir / link.path;
  std::error_code ec;
  if (!fs::is_symlink(fs::symlink_status(path, ec))) return false;
  const fs::path target = fs::read_symlink(path, ec);
  return !ec && target.string() == link.target;
}

}  // namespace

bool compareWithDisk(std::string& error) {
  const fs::path& installDir = board.options.installDir;
  readInstalledStateAgainstLatest();
  const RecordedHashes recorded = recordedHashes();
  ContainmentCache containment(installDir);  // the check changes nothing on disk
  const std::string installFolder = installDir.string();
  std::string path;  // one buffer for every file's full path

  board.neededFiles.clear();
  board.neededBytes = 0;
  const std::vector<ReleaseFile>& files = board.latest.files;
  const uint64_t total = totalSize(board.latest);
  uint64_t done = 0;
  for (uint64_t i = 0; i < files.size(); ++i) {
    if (board.cancel) {
      error = "Cancelled.";
      return false;
    }
    const ReleaseFile& file = files[i];
    if (!filePresent(installFolder, containment, file, recorded, board.options.repair, path)) {
      board.neededFiles.push_back(i);
      board.neededBytes += file.size;
    }
    done += file.size;
    if (i % progressEveryFiles == 0) {
      setProgress("Checking files...", total == 0 ? 0.0 : double(done) / double(total));
    }
  }

  board.linksNeeded = false;
  for (const ReleaseLink& link : board.latest.links) {
    if (!linkInPlace(installDir, containment, link)) {
      board.linksNeeded = true;
      break;
    }
  }

  logLine("needed: " + std::to_string(board.neededFiles.size()) + " files, " +
          std::to_string(board.neededBytes) + " bytes" + (board.linksNeeded ? ", links" : ""));
  return true;
}

bool checkForUpdate(std::string& error) {
  setStatus("Looking for the newest version...", "", -1.0);

  unsigned char publicKey[32];
  if (!decodeHex(releasePublicKey, publicKey, sizeof publicKey)) {
    error = "this installer has no release key";
    return false;
  }

  // The error text is not emptied between attempts: the fetch keeps an earlier reason when
  // the sink stopped the transfer.
  bool fetched = false;
  for (int attempt = 1; attempt <= manifestAttempts && !fetched; ++attempt) {
    board.manifestText.clear();
    fetched = fetchUrl(manifestUrl(board.options.source), ManifestSink{board.manifestText}, error, true);
  }
  if (!fetched) {
    error = "Could not reach the Varnholt server: " + error;
    return false;
  }

  if (!verifyRelease(board.manifestText, publicKey, board.latest, error)) return false;
  logLine("latest: " + board.latest.version + ", " + std::to_string(board.latest.files.size()) +
          " files, " + std::to_string(board.latest.links.size()) + " links");

  return compareWithDisk(error);
}
