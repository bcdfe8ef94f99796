// The update check: fetch and verify the latest manifest, then work out from the installed
// record and the disk which files must be downloaded and whether a link must be made. It
// reads and hashes files but changes nothing on disk.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "app/status_board.h"
#include "download/download.h"
#include "download/helper_thread.h"
#include "engine/compare.h"
#include "engine/contained.h"
#include "engine/path_table.h"
#include "engine/update_plan.h"
#include "release/file_guards.h"
#include "release/release.h"

namespace fs = std::filesystem;

namespace {

constexpr int manifestAttempts = 3;
constexpr uint64_t progressEveryFiles = 16;

// Recorded hash by path; a path listed twice keeps its later hash. The hashes are those of
// the installed release, which the check does not change after reading it.
using RecordedHashes = PathTable<const std::string*>;

RecordedHashes recordedHashes(const StatusBoard& board) {
  if (!board.valid) return RecordedHashes();
  const Release& installed = installedRelease(board);
  RecordedHashes hashes(installed.files.size());
  for (const ReleaseFile& file : installed.files) hashes.set(file.path, &file.hash);
  return hashes;
}

// Status queries folder by folder: the files of a release come folder by folder, so the folder
// is walked to once, not once per file (a game of 20,000 files in a deep install folder).
class FolderStatus {
 public:
  explicit FolderStatus(std::string installFolder) : installFolder_(std::move(installFolder)) {}

  // ::stat of installFolder/relativePath, following links.
  bool status(const std::string& relativePath, struct stat& st) {
    const size_t slash = relativePath.rfind('/');
    const std::string_view folder =
        slash == std::string::npos ? std::string_view() : std::string_view(relativePath).substr(0, slash);
    if (!opened_ || folder != folder_) {
      folderFd_.reset();  // before the next open, so that the walk never holds two
      std::string path = installFolder_;
      if (!folder.empty()) {
        path += '/';
        path += folder;
      }
      folderFd_.reset(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
      folder_ = folder;
      opened_ = true;
    }
    const char* name = relativePath.c_str() + (slash == std::string::npos ? 0 : slash + 1);
    return folderFd_.isOpen() && ::fstatat(folderFd_.get(), name, &st, 0) == 0;
  }

 private:
  std::string installFolder_;
  std::string folder_;
  FileDescriptor folderFd_;
  bool opened_ = false;
};

// Size of the regular file at installFolder/relativePath, links followed; -1 for anything else.
int64_t regularFileSize(FolderStatus& folders, const std::string& relativePath) {
  struct stat st;
  // "x/" names the file x: the trailing "/" must not make the query follow a link at x.
  const bool trailingSlash = !relativePath.empty() && relativePath.back() == '/';
  const bool found = trailingSlash ? folders.status(installedEntry({}, relativePath).string(), st)
                                   : folders.status(relativePath, st);
  if (!found || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

// The status queries are most of a check with nothing to do, and they wait on the kernel one
// by one. For a large release a second thread queries the second half of the files while the
// check works through the first half.
class SizesAhead {
 public:
  static constexpr size_t fromFiles = 256;  // below this a thread costs more than it saves

  SizesAhead(std::string installFolder, const std::vector<ReleaseFile>& files)
      : files_(files), first_(files.size() >= fromFiles ? files.size() / 2 : files.size()), ready_(first_) {
    if (first_ == files.size()) return;
    sizes_.resize(files.size() - first_);
    // No thread to spare: the check queries every file itself.
    if (!startHelperThread(thread_, [this, folder = std::move(installFolder)] { run(folder); })) return;
  }
  ~SizesAhead() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  SizesAhead(const SizesAhead&) = delete;
  SizesAhead& operator=(const SizesAhead&) = delete;

  // What regularFileSize gave for files[index], once the second thread has got there.
  bool sizeOf(size_t index, int64_t& size) const {
    if (index < first_ || index >= ready_.load(std::memory_order_acquire)) return false;
    size = sizes_[index - first_];
    return true;
  }

 private:
  void run(const std::string& installFolder) {
    FolderStatus folders(installFolder);
    for (size_t i = first_; i < files_.size() && !stop_.load(std::memory_order_relaxed); ++i) {
      sizes_[i - first_] = regularFileSize(folders, files_[i].path);
      ready_.store(i + 1, std::memory_order_release);
    }
  }

  const std::vector<ReleaseFile>& files_;
  const size_t first_;
  std::vector<int64_t> sizes_;
  std::atomic<size_t> ready_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The needed bytes with one more file: a size no file system can hold (beyond the largest file
// offset) or a sum past 2^64 stays at the largest count, so that the free-space test refuses
// it rather than a wrapped sum passing as a few bytes.
uint64_t addedNeed(uint64_t needed, uint64_t size) {
  constexpr uint64_t largest = UINT64_MAX;
  constexpr uint64_t largestFile = static_cast<uint64_t>(INT64_MAX);
  if (size > largestFile || size > largest - needed) return largest;
  return needed + size;
}

bool filePresent(const std::string& installFolder, ContainmentCache& containment, FolderStatus& folders,
                 const SizesAhead& ahead, uint64_t index, const ReleaseFile& file,
                 const RecordedHashes& recorded, bool repair) {
  // A file reached through a link that leads out of the install folder is not the game's.
  std::string reason;
  if (!containment.parentInside(file.path, reason)) return false;
  // One status query, following links, gives both the type and the size.
  int64_t size;
  if (!ahead.sizeOf(index, size)) size = regularFileSize(folders, file.path);
  if (size < 0 || static_cast<uint64_t>(size) != file.size) return false;
  const std::string* const* recordedHash = recorded.find(file.path);
  if (!repair && recordedHash && **recordedHash == file.hash) return true;
  return fileDigest(installedEntry(installFolder, file.path)) == file.hash;
}

bool linkInPlace(const fs::path& installDir, ContainmentCache& containment, const ReleaseLink& link) {
  std::string reason;
  if (!containment.parentInside(link.path, reason)) return false;
  const fs::path path = installedEntry(installDir, link.path);
  std::error_code ec;
  if (!fs::is_symlink(fs::symlink_status(path, ec))) return false;
  const fs::path target = fs::read_symlink(path, ec);
  // A link that leads out of the install folder is not the game's: the commit takes it away.
  return !ec && target.string() == link.target && leadsInside(installDir, link.path, reason);
}

}  // namespace

bool compareWithDisk(StatusBoard& board, std::string& error, RecordReadAhead* readAhead) {
  const fs::path& installDir = board.options.installDir;
  std::optional<RecordReadAhead> readHere;
  if (!readAhead) readAhead = &readHere.emplace(board, false);
  readAhead->finish();
  const RecordedHashes recorded = recordedHashes(board);
  ContainmentCache containment(installDir);  // the check changes nothing on disk
  const std::string installFolder = installDir.string();
  FolderStatus folders(installFolder);
  const std::vector<ReleaseFile>& files = board.latest.files;
  const SizesAhead ahead(installFolder, files);

  board.neededFiles.clear();
  board.neededBytes = 0;
  const uint64_t total = totalSize(board.latest);
  uint64_t done = 0;
  for (uint64_t i = 0; i < files.size(); ++i) {
    if (board.cancel) {
      error = "Cancelled.";
      return false;
    }
    const ReleaseFile& file = files[i];
    if (!filePresent(installFolder, containment, folders, ahead, i, file, recorded, board.options.repair)) {
      board.neededFiles.push_back(i);
      board.neededBytes = addedNeed(board.neededBytes, file.size);
    }
    done += file.size;
    if (i % progressEveryFiles == 0) {
      setProgress(board, "Checking files...", total == 0 ? 0.0 : double(done) / double(total));
    }
  }

  board.linksNeeded = false;
  for (const ReleaseLink& link : board.latest.links) {
    if (!linkInPlace(installDir, containment, link)) {
      board.linksNeeded = true;
      break;
    }
  }

  logLine(board, "needed: " + std::to_string(board.neededFiles.size()) + " files, " +
          std::to_string(board.neededBytes) + " bytes" + (board.linksNeeded ? ", links" : ""));
  return true;
}

bool checkForUpdate(StatusBoard& board, std::string& error) {
  setStatus(board, "Looking for the newest version...", "", -1.0);
  if (!holdInstallFolder(board.options.installDir, error)) return false;

  PublicKey publicKey;
  if (!decodeHex(releasePublicKey, publicKey)) {
    error = "this installer has no release key";
    return false;
  }

  // The error text is not emptied between attempts: the fetch keeps an earlier reason when
  // the sink stopped the transfer.
  bool fetched = false;
  for (int attempt = 1; attempt <= manifestAttempts && !fetched && !board.cancel; ++attempt) {
    board.manifestText.clear();
    fetched = fetchUrl(manifestUrl(board.options.source), ManifestSink{board.manifestText}, error, true,
                       &board.cancel);
  }
  // A cancel ends the fetch at once, even while the server sends nothing.
  if (!fetched && board.cancel) {
    error = "Cancelled.";
    return false;
  }
  if (!fetched) {
    error = "Could not reach the Varnholt server: " + error;
    return false;
  }

  RecordReadAhead record(board);
  if (!verifyRelease(board.manifestText, publicKey, board.latest, error)) return false;
  logLine(board, "latest: " + board.latest.version + ", " + std::to_string(board.latest.files.size()) +
          " files, " + std::to_string(board.latest.links.size()) + " links");

  return compareWithDisk(board, error, &record);
}
