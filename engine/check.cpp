// The update check: fetch and verify the latest manifest, then work out from the installed
// record and the disk which files must be downloaded and whether a link must be made. It
// reads and hashes files but changes nothing on disk.
#include <cstdint>
#include <map>
#include <string>
#include <system_error>

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

// Recorded hash by path; a path listed twice keeps its later hash.
std::map<std::string, std::string> recordedHashes() {
  std::map<std::string, std::string> hashes;
  if (!board.valid) return hashes;
  for (const ReleaseFile& file : board.installed.files) hashes[file.path] = file.hash;
  return hashes;
}

bool filePresent(const fs::path& installDir, ContainmentCache& containment, const ReleaseFile& file,
                 const std::map<std::string, std::string>& recorded, bool repair) {
  // A file reached through a link that leads out of the install folder is not the game's.
  if (!containment.parentInside(file.path)) return false;
  const fs::path path = installDir / file.path;
  std::error_code ec;
  if (!fs::is_regular_file(fs::status(path, ec))) return false;
  const uintmax_t size = fs::file_size(path, ec);
  if (ec || size != file.size) return false;
  auto recordedHash = recorded.find(file.path);
  if (!repair && recordedHash != recorded.end() && recordedHash->second == file.hash) return true;
  return fileDigest(path) == file.hash;
}

bool linkInPlace(const fs::path& installDir, ContainmentCache& containment, const ReleaseLink& link) {
  if (!containment.parentInside(link.path)) return false;
  const fs::path path = installDir / link.path;
  std::error_code ec;
  if (!fs::is_symlink(fs::symlink_status(path, ec))) return false;
  const fs::path target = fs::read_symlink(path, ec);
  return !ec && target.string() == link.target;
}

}  // namespace

bool compareWithDisk(std::string& error) {
  const fs::path& installDir = board.options.installDir;
  readInstalledState();
  const std::map<std::string, std::string> recorded = recordedHashes();
  ContainmentCache containment(installDir);  // the check changes nothing on disk

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
    if (!filePresent(installDir, containment, file, recorded, board.options.repair)) {
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
