// The apply transaction, first phase: every needed file is downloaded into ".staging" under
// the name of its hash and kept only when its size and digest match the release. Several
// files are in flight at once, started in manifest order; each has up to three attempts, and
// an attempt cut off part way continues from the bytes already in its part file. Nothing
// outside the staging folder changes here; the commit (commit.cpp) follows.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdint>
#include <memory>
#include <set>
#include <vector>
#include <string>
#include <system_error>

#include "app/status_board.h"
#include "download/download.h"
#include "engine/block_update.h"
#include "engine/update_plan.h"
#include "release/file_guards.h"
#include "release/files.h"
#include "release/release.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t spaceMargin = 67108864;  // 64 MiB on top of the download
constexpr int fileAttempts = 3;
// Files downloaded at once, as many as curl --parallel keeps: on HTTP/1.1 each has a connection
// of its own, and eight windows grow to fill a link of 50 ms sooner than four. Each holds one
// part file's buffers and one receive buffer (1.5 MiB in all), so memory stays flat.
constexpr size_t filesInFlight = 8;
constexpr int pollSliceMs = 20;  // how long a cancel may wait while nothing arrives

bool enoughSpace(const StatusBoard& board, const fs::path& installDir) {
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

// Adds the first length bytes of path to digest; false when they cannot all be read.
bool digestPrefix(const fs::path& path, uint64_t length, DigestStream& digest) {
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  uint64_t count = 0;
  return file.isOpen() && digestAll(file.get(), digest, count, length) && count == length;
}

// The length of a regular file at path, or 0 when there is none.
uint64_t partLength(const fs::path& path) {
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(path, ec);
  if (ec || !fs::is_regular_file(status)) return 0;
  const uintmax_t size = fs::file_size(path, ec);
  return ec ? 0 : static_cast<uint64_t>(size);
}

// One file to stage, in manifest order (files of the same content appear once).
struct FileJob {
  const ReleaseFile* file = nullptr;
  int attempt = 0;
  bool continuable = false;  // the part file holds the start of the file, as far as it goes
  bool staged = false;       // staged by its changed blocks before the downloads began
  std::string error;
};

// A download in flight: one attempt at one job.
struct Slot {
  size_t job = 0;
  bool busy = false;
  PartFile partFile;
  DigestStream digest;
  uint64_t receivedBytes = 0;
  bool writeFailed = false;
};

class StagedDownload {
 public:
  StagedDownload(StatusBoard& board, std::vector<FileJob> jobs, const ApplyContext& context)
      : board_(board), jobs_(std::move(jobs)), slots_(filesInFlight), watcher_(context.downloadWatcher) {}

  bool run(std::string& error);

 private:
  void stageByBlocks();
  void report(uint64_t bytes);
  enum class Step { Running, Staged, Failed };
  Step startAttempt(Slot& slot);
  Step finishAttempt(Slot& slot, const TransferDone& outcome);
  Step keep(Slot& slot);
  void fail(size_t job, const std::string& error);
  Slot* freeSlot() {
    for (Slot& slot : slots_) {
      if (!slot.busy) return &slot;
    }
    return nullptr;
  }
  void release(Slot& slot) {
    progress_.inFlight -= slot.receivedBytes;
    slot.receivedBytes = 0;
    slot.busy = false;
  }

  StatusBoard& board_;
  std::vector<FileJob> jobs_;
  std::vector<Slot> slots_;
  const std::function<void(uint64_t, uint64_t)>& watcher_;  // the caller's, alive for the whole apply
  const fs::path staging_ = stagingFolder(board_);
  uint64_t doneBytes_ = 0;
  DownloadProgress progress_;
  size_t failedJob_ = SIZE_MAX;  // the first job in manifest order that could not be staged
  std::string failure_;
};

void StagedDownload::fail(size_t job, const std::string& error) {
  if (job >= failedJob_) return;
  failedJob_ = job;
  failure_ = error;
  // Files after it are given up; those before it go on, as one of them could fail first.
  for (Slot& slot : slots_) {
    if (!slot.busy || slot.job < job) continue;
    transfers().stop(reinterpret_cast<uintptr_t>(&slot));
    (void)slot.partFile.close();
    release(slot);
  }
}

// Opens the part file (continuing the bytes it holds where they can be used) and starts the
// transfer. Staged when the part file already holds the whole file.
StagedDownload::Step StagedDownload::startAttempt(Slot& slot) {
  FileJob& job = jobs_[slot.job];
  const ReleaseFile& file = *job.file;
  const fs::path part = staging_ / (file.hash + ".part");
  ++job.attempt;
  job.error.clear();
  slot.digest = DigestStream();
  slot.receivedBytes = 0;
  slot.writeFailed = false;

  uint64_t have = job.continuable ? partLength(part) : 0;
  if (have > file.size || (have > 0 && !digestPrefix(part, have, slot.digest))) {
    have = 0;
    slot.digest = DigestStream();
  }
  if (have == file.size) {
    // All of it arrived before: kept when it is right, else fetched from its first byte.
    DigestStream whole = slot.digest;
    if (finishDigest(whole) == file.hash) {
      slot.busy = true;
      return keep(slot);
    }
    have = 0;
    slot.digest = DigestStream();
  }
  bool opened;
  if (have > 0) {
    opened = slot.partFile.openToContinue(part, have, &slot.digest);
  } else {
    opened = slot.partFile.open(part, file.size, &slot.digest);
  }
  if (!opened) {
    fail(slot.job, "Could not write to " + staging_.string());
    return Step::Failed;
  }
  slot.busy = true;
  slot.receivedBytes = have;
  progress_.inFlight += have;

  TransferRequest request;
  request.url = fileUrl(board_.options.source, file.hash);
  request.resumeFrom = have;
  request.successBodyOnly = true;
  request.sink = FileSink{board_, board_.neededBytes, slot.partFile, slot.receivedBytes, doneBytes_,
                          file, slot.writeFailed, &progress_};
  request.restart = [this, &slot] {
    // The server sent the whole file instead of the rest: start again from its first byte.
    if (!slot.partFile.restart()) slot.writeFailed = true;
    slot.digest = DigestStream();
    progress_.inFlight -= slot.receivedBytes;
    slot.receivedBytes = 0;
  };
  std::string error;
  if (!transfers().start(reinterpret_cast<uintptr_t>(&slot), std::move(request), error)) {
    TransferDone failed;
    failed.error = error;
    return finishAttempt(slot, failed);
  }
  return Step::Running;
}

StagedDownload::Step StagedDownload::finishAttempt(Slot& slot, const TransferDone& outcome) {
  FileJob& job = jobs_[slot.job];
  const ReleaseFile& file = *job.file;
  const fs::path part = staging_ / (file.hash + ".part");
  if (!slot.partFile.close()) slot.writeFailed = true;
  if (slot.writeFailed) {
    // A full disk: the same write would fail again. The partial file goes, to free the space.
    std::error_code ec;
    fs::remove(part, ec);
    release(slot);
    fail(slot.job, "Could not write to " + staging_.string());
    return Step::Failed;
  }
  bool succeeded = false;
  job.continuable = false;
  if (slot.receivedBytes > file.size) {
    job.error = "a file did not match the release: " + file.path;
  } else if (outcome.ok) {
    if (slot.receivedBytes == file.size && finishDigest(slot.digest) == file.hash) succeeded = true;
    else job.error = "a file did not match the release: " + file.path;
  } else {
    job.error = outcome.stopped ? "stopped" : outcome.error;
    // Bytes of a transfer that broke off are the start of the file: the next attempt asks
    // for the rest.
    job.continuable = outcome.cutOff;
  }
  if (succeeded) return keep(slot);
  release(slot);
  if (board_.cancel) return Step::Failed;
  if (job.attempt < fileAttempts) return startAttempt(slot);
  fail(slot.job, "The download failed: " + job.error);
  return Step::Failed;
}

StagedDownload::Step StagedDownload::keep(Slot& slot) {
  const ReleaseFile& file = *jobs_[slot.job].file;
  std::error_code ec;
  fs::rename(staging_ / (file.hash + ".part"), staging_ / file.hash, ec);
  progress_.inFlight -= slot.receivedBytes;
  slot.receivedBytes = 0;
  slot.busy = false;
  if (ec) {
    fail(slot.job, "Could not keep a downloaded file.");
    return Step::Failed;
  }
  doneBytes_ += file.size;
  return Step::Staged;
}

// Shows bytes done, never fewer than shown before, on the board and to the caller's watcher.
void StagedDownload::report(uint64_t bytes) {
  progress_.shown = std::max(progress_.shown, bytes);
  showDownloadProgress(board_, progress_.shown, board_.neededBytes);
  if (watcher_) watcher_(progress_.shown, board_.neededBytes);
}

// Large files whose older version is installed go first, one at a time, by their changed
// blocks; whatever is not staged this way is downloaded whole below.
void StagedDownload::stageByBlocks() {
  uint64_t staged = 0;
  for (FileJob& job : jobs_) {
    if (board_.cancel) return;
    const ReleaseFile& file = *job.file;
    std::error_code ec;
    if (!blockUpdateCandidate(board_, file) || fs::exists(fs::symlink_status(staging_ / file.hash, ec))) continue;
    auto show = [&](uint64_t bytes) { report(staged + bytes); };
    if (updateByBlocks(board_, file, staging_ / (file.hash + ".part"), show) != BlockUpdate::Staged) continue;
    fs::rename(staging_ / (file.hash + ".part"), staging_ / file.hash, ec);
    if (ec) continue;
    job.staged = true;
    staged += file.size;
  }
}

bool StagedDownload::run(std::string& error) {
  TransferEngine& engine = transfers();
  engine.stopAll();
  stageByBlocks();
  size_t next = 0;
  for (;;) {
    if (board_.cancel) break;
    // New files start in manifest order while there is room and nothing has failed.
    while (next < jobs_.size() && failedJob_ == SIZE_MAX && !board_.cancel) {
      const FileJob& job = jobs_[next];
      Slot* slot = freeSlot();
      if (!slot) break;
      slot->job = next++;
      if (job.staged || stagedEntryValid(staging_ / job.file->hash, job.file->hash)) {
        doneBytes_ += job.file->size;
        continue;
      }
      // A part file that an earlier run left holds the start of the file, as far as it goes.
      jobs_[slot->job].continuable = true;
      (void)startAttempt(*slot);
    }
    if (engine.running() == 0 && (next == jobs_.size() || failedJob_ != SIZE_MAX)) break;
    for (const TransferDone& outcome : engine.wait(pollSliceMs)) {
      for (Slot& slot : slots_) {
        if (!slot.busy || reinterpret_cast<uintptr_t>(&slot) != outcome.tag) continue;
        (void)finishAttempt(slot, outcome);
        break;
      }
    }
    // The sinks show every chunk on the board; the watcher hears at least once a slice.
    if (watcher_) report(doneBytes_ + progress_.inFlight);
  }
  engine.stopAll();
  for (Slot& slot : slots_) {
    if (slot.busy) (void)slot.partFile.close();
  }
  if (board_.cancel) {
    error = "Cancelled.";
    return false;
  }
  if (failedJob_ != SIZE_MAX) {
    error = failure_;
    return false;
  }
  return true;
}

}  // namespace

fs::path stagingFolder(const StatusBoard& board) { return board.options.installDir / ".staging"; }

bool applyUpdate(StatusBoard& board, std::string& error, const ApplyContext& context) {
  const fs::path& installDir = board.options.installDir;
  std::error_code ec;
  fs::create_directories(installDir, ec);
  if (ec) {
    error = "Could not create " + installDir.string() + ": " + ec.message();
    return false;
  }
  // A first install: the folder exists only now.
  if (!holdInstallFolder(installDir, error)) return false;
  if (!enoughSpace(board, installDir)) {
    error = "Not enough free disk space: " + sizeText(board.neededBytes) + " are needed.";
    return false;
  }
  const fs::path staging = stagingFolder(board);
  prepareStagingFolder(staging);

  // Files of the same content are fetched once, in the order of their first appearance.
  std::set<std::string> listed;
  std::vector<FileJob> jobs;
  for (uint64_t index : board.neededFiles) {
    const ReleaseFile& file = board.latest.files[index];
    if (!listed.insert(file.hash).second) continue;
    FileJob job;
    job.file = &file;
    jobs.push_back(job);
  }
  if (!jobs.empty()) {
    StagedDownload download(board, std::move(jobs), context);
    if (!download.run(error)) return false;
  }
  return commitUpdate(board, error, context);
}
