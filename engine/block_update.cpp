// Staging a large file by its changed blocks. Runs on the apply's thread before the downloads
// of whole files start, one file at a time, with the run's transfer engine to itself.
#include "engine/block_update.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>

#include "app/status_board.h"
#include "download/download.h"
#include "engine/contained.h"
#include "engine/update_plan.h"
#include "release/block_index.h"

namespace fs = std::filesystem;

namespace {

// Found blocks this close together are fetched with the gap between them: one request
// instead of two costs at most this many bytes.
constexpr uint64_t rangeJoinGap = 32768;
// Long ranges are split so that several requests share the work on a slow link.
constexpr uint64_t longestRange = 4194304;
constexpr size_t rangesInFlight = 8;
constexpr int pollSliceMs = 20;
constexpr size_t copyBufferSize = 262144;
// Found blocks are copied at most this much at a time, between looks at the cancel flag.
constexpr uint64_t copyPiece = 16777216;

struct FdClosed {
  int fd = -1;
  ~FdClosed() {
    if (fd >= 0) ::close(fd);
  }
};

bool writeAllAt(int fd, const char* data, size_t length, uint64_t offset) {
  while (length > 0) {
    const ssize_t written = ::pwrite(fd, data, length, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    length -= static_cast<size_t>(written);
    offset += static_cast<uint64_t>(written);
  }
  return true;
}

// Copies length bytes of from at fromOffset to to at toOffset; in the kernel where it can.
bool copyBytes(int from, uint64_t fromOffset, int to, uint64_t toOffset, uint64_t length) {
  while (length > 0) {
    loff_t in = static_cast<loff_t>(fromOffset);
    loff_t out = static_cast<loff_t>(toOffset);
    const ssize_t copied = ::copy_file_range(from, &in, to, &out, static_cast<size_t>(length), 0);
    if (copied < 0 && errno == EINTR) continue;
    if (copied <= 0) break;  // not here (another file system, an old kernel): by hand below
    fromOffset += static_cast<uint64_t>(copied);
    toOffset += static_cast<uint64_t>(copied);
    length -= static_cast<uint64_t>(copied);
  }
  if (length == 0) return true;
  std::unique_ptr<char[]> buffer(new char[copyBufferSize]);
  while (length > 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(length, copyBufferSize));
    const ssize_t count = ::pread(from, buffer.get(), want, static_cast<off_t>(fromOffset));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    if (!writeAllAt(to, buffer.get(), static_cast<size_t>(count), toOffset)) return false;
    fromOffset += static_cast<uint64_t>(count);
    toOffset += static_cast<uint64_t>(count);
    length -= static_cast<uint64_t>(count);
  }
  return true;
}

// BLAKE2b-256 of the whole file open at fd, or "" when it cannot be read.
std::string digestOf(int fd) {
  std::unique_ptr<char[]> buffer(new char[copyBufferSize]);
  DigestStream digest;
  uint64_t offset = 0;
  for (;;) {
    const ssize_t count = ::pread(fd, buffer.get(), copyBufferSize, static_cast<off_t>(offset));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return "";
    if (count == 0) break;
    digest.add(buffer.get(), static_cast<size_t>(count));
    offset += static_cast<uint64_t>(count);
  }
  return finishDigest(digest);
}

const ReleaseFile* installedEntryAt(const StatusBoard& board, const std::string& path) {
  if (!board.valid) return nullptr;
  const Release& installed = installedRelease(board);
  // The last entry of a path is the one the record means.
  for (auto it = installed.files.rbegin(); it != installed.files.rend(); ++it) {
    if (it->path == path) return &*it;
  }
  return nullptr;
}

// The installed file at file's path, when it is the installed release's (a regular file of the
// recorded size, reached without leaving the install folder); -1 otherwise.
int openSeed(const StatusBoard& board, const ReleaseFile& file) {
  const ReleaseFile* installed = installedEntryAt(board, file.path);
  if (!installed) return -1;
  const fs::path& installDir = board.options.installDir;
  std::string reason;
  if (!parentInside(installDir, file.path, reason)) return -1;
  const int fd = ::open(installedEntry(installDir, file.path).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat status = {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
      static_cast<uint64_t>(status.st_size) != installed->size) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// files/<hash>.blocks, when it arrives whole and fits the file; "" otherwise.
std::string fetchIndex(const StatusBoard& board, const ReleaseFile& file) {
  const uint64_t limit = blockIndexLimit(file.size);
  std::string index;
  auto sink = [&index, limit](const char* data, size_t length) {
    if (index.size() + length > limit) return false;
    index.append(data, length);
    return true;
  };
  std::string error;
  if (!fetchUrl(fileUrl(board.options.source, file.hash) + ".blocks", sink, error, false, &board.cancel)) return "";
  BlockIndexLayout layout;
  if (!parseBlockIndex(index, file.size, layout)) return "";
  return index;
}

// One range request in flight.
struct RangeFetch {
  ByteRange range;
  uint64_t received = 0;
  bool refused = false;  // the server sent the whole file, or more than the range
  bool writeFailed = false;
  bool busy = false;
};

class BlockFiller {
 public:
  BlockFiller(const StatusBoard& board, const ReleaseFile& file, int partFd,
              const std::function<void(uint64_t)>& progress)
      : board_(board), file_(file), partFd_(partFd), progress_(progress) {}

  // Copies the blocks the seed holds; false when cancelled or the part file cannot be written.
  bool copyFound(const std::string& index, int seedFd, bool& cancelled);
  bool anyFound() const { return copied_ > 0; }
  // Fetches every missing range; false on any failure.
  bool fetchMissing(bool& cancelled);

 private:
  bool startRange(RangeFetch& fetch, const ByteRange& range);
  // A few times per mebibyte rather than for every block.
  void report() {
    if (copied_ + fetched_ < reported_ + 1048576 && copied_ + fetched_ != file_.size) return;
    reported_ = copied_ + fetched_;
    progress_(reported_);
  }

  const StatusBoard& board_;
  const ReleaseFile& file_;
  const int partFd_;
  const std::function<void(uint64_t)>& progress_;
  BlockIndexLayout layout_;
  std::vector<bool> found_;
  uint64_t copied_ = 0;
  uint64_t fetched_ = 0;
  uint64_t reported_ = 0;
};

bool BlockFiller::copyFound(const std::string& index, int seedFd, bool& cancelled) {
  if (!parseBlockIndex(index, file_.size, layout_)) return false;
  const uint64_t blockSize = layout_.blockSize;
  found_.assign(static_cast<size_t>(blockCount(file_.size, layout_.blockSize)), false);
  bool writeFailed = false;
  // Copies the blocks [first, end) of the match, all of them not yet found, in pieces so that
  // a cancel and the progress need not wait for a long run.
  auto copySpan = [&](const BlockMatch& match, uint64_t first, uint64_t end) {
    const uint64_t spanStart = first * blockSize;
    const uint64_t spanEnd = std::min<uint64_t>(end * blockSize, file_.size);
    for (uint64_t at = spanStart; at < spanEnd; at += copyPiece) {
      if (board_.cancel.load()) return false;
      const uint64_t length = std::min<uint64_t>(copyPiece, spanEnd - at);
      if (!copyBytes(seedFd, match.seedOffset + (at - match.fileOffset), partFd_, at, length)) {
        writeFailed = true;
        return false;
      }
      copied_ += length;
      report();
    }
    for (uint64_t block = first; block < end; ++block) found_[block] = true;
    return true;
  };
  auto onMatch = [&](const BlockMatch& match) {
    // Whole blocks only: a run starts at a block's first byte and ends at a block's end or the
    // file's. Neighbouring blocks not found before are copied together.
    const uint64_t first = (match.fileOffset + blockSize - 1) / blockSize;
    uint64_t spanFirst = first;
    uint64_t block = first;
    for (; block < found_.size(); ++block) {
      const uint64_t start = block * blockSize;
      const uint64_t length = std::min<uint64_t>(blockSize, file_.size - start);
      if (start + length > match.fileOffset + match.length) break;
      if (!found_[block]) continue;
      if (spanFirst < block && !copySpan(match, spanFirst, block)) return false;
      spanFirst = block + 1;
    }
    if (spanFirst < block && !copySpan(match, spanFirst, block)) return false;
    return !board_.cancel.load();
  };
  std::string error;
  if (findBlocks(index, seedFd, onMatch, &board_.cancel, error)) return true;
  cancelled = board_.cancel.load() && !writeFailed;
  return false;
}

bool BlockFiller::startRange(RangeFetch& fetch, const ByteRange& range) {
  fetch = RangeFetch{};
  fetch.range = range;
  fetch.busy = true;
  TransferRequest request;
  request.url = fileUrl(board_.options.source, file_.hash);
  request.resumeFrom = range.offset;
  request.rangeEnd = range.offset + range.length;
  request.successBodyOnly = true;
  request.restart = [&fetch] { fetch.refused = true; };
  request.sink = [this, &fetch](const char* data, size_t length) {
    if (board_.cancel.load() || fetch.refused) return false;
    if (length > fetch.range.length - fetch.received) {
      fetch.refused = true;
      return false;
    }
    if (!writeAllAt(partFd_, data, length, fetch.range.offset + fetch.received)) {
      fetch.writeFailed = true;
      return false;
    }
    fetch.received += length;
    fetched_ += length;
    report();
    return true;
  };
  std::string error;
  return transfers().start(reinterpret_cast<uintptr_t>(&fetch), std::move(request), error);
}

bool BlockFiller::fetchMissing(bool& cancelled) {
  const std::vector<ByteRange> ranges = missingRanges(found_, layout_.blockSize, file_.size, rangeJoinGap, longestRange);
  TransferEngine& engine = transfers();
  engine.stopAll();
  std::vector<RangeFetch> fetches(rangesInFlight);
  size_t next = 0;
  bool failed = false;
  while (!failed) {
    if (board_.cancel.load()) {
      cancelled = true;
      break;
    }
    for (RangeFetch& fetch : fetches) {
      if (next == ranges.size()) break;
      if (fetch.busy) continue;
      if (!startRange(fetch, ranges[next++])) {
        failed = true;
        break;
      }
    }
    if (engine.running() == 0) break;
    for (const TransferDone& outcome : engine.wait(pollSliceMs)) {
      for (RangeFetch& fetch : fetches) {
        if (!fetch.busy || reinterpret_cast<uintptr_t>(&fetch) != outcome.tag) continue;
        fetch.busy = false;
        if (!outcome.ok || fetch.refused || fetch.writeFailed || fetch.received != fetch.range.length) failed = true;
      }
    }
  }
  engine.stopAll();
  return !failed && !cancelled && next == ranges.size();
}

}  // namespace

std::vector<ByteRange> missingRanges(const std::vector<bool>& found, uint32_t blockSize, uint64_t fileSize,
                                     uint64_t joinGap, uint64_t maxRange) {
  std::vector<ByteRange> joined;
  for (size_t block = 0; block < found.size(); ++block) {
    if (found[block]) continue;
    const uint64_t start = static_cast<uint64_t>(block) * blockSize;
    if (start >= fileSize) break;
    const uint64_t end = std::min<uint64_t>(start + blockSize, fileSize);
    if (!joined.empty() && start - (joined.back().offset + joined.back().length) <= joinGap) {
      joined.back().length = end - joined.back().offset;
    } else {
      joined.push_back({start, end - start});
    }
  }
  std::vector<ByteRange> ranges;
  for (const ByteRange& range : joined) {
    for (uint64_t at = 0; at < range.length; at += maxRange) {
      ranges.push_back({range.offset + at, std::min(maxRange, range.length - at)});
    }
  }
  return ranges;
}

bool blockUpdateCandidate(const StatusBoard& board, const ReleaseFile& file) {
  return file.size >= blockIndexThreshold && installedEntryAt(board, file.path) != nullptr;
}

BlockUpdate updateByBlocks(const StatusBoard& board, const ReleaseFile& file, const fs::path& part,
                           const std::function<void(uint64_t)>& progress) {
  const std::string index = fetchIndex(board, file);
  if (board.cancel.load()) return BlockUpdate::Cancelled;
  if (index.empty()) return BlockUpdate::FullDownload;
  FdClosed seed{openSeed(board, file)};
  // Else what an interrupted run left of this file: kept open, it outlives its name.
  if (seed.fd < 0) seed.fd = ::open(part.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  struct stat seedStatus = {};
  if (seed.fd < 0 || ::fstat(seed.fd, &seedStatus) != 0 || !S_ISREG(seedStatus.st_mode)) {
    return BlockUpdate::FullDownload;
  }

  // A new file at the part file's name, never written through a link planted there.
  if (::unlink(part.c_str()) != 0 && errno != ENOENT) return BlockUpdate::FullDownload;
  FdClosed partFile{::open(part.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666)};
  if (partFile.fd < 0) return BlockUpdate::FullDownload;
  bool kept = false;
  struct RemovedUnlessKept {
    const fs::path& path;
    const bool& kept;
    ~RemovedUnlessKept() {
      if (!kept) (void)::unlink(path.c_str());
    }
  } removed{part, kept};
  if (::ftruncate(partFile.fd, static_cast<off_t>(file.size)) != 0) return BlockUpdate::FullDownload;

  BlockFiller filler(board, file, partFile.fd, progress);
  bool cancelled = false;
  if (!filler.copyFound(index, seed.fd, cancelled) || !filler.anyFound()) {
    return cancelled ? BlockUpdate::Cancelled : BlockUpdate::FullDownload;
  }
  if (!filler.fetchMissing(cancelled)) return cancelled ? BlockUpdate::Cancelled : BlockUpdate::FullDownload;

  // Judged as a downloaded file is: every byte, against the signed manifest.
  struct stat status = {};
  if (::fstat(partFile.fd, &status) != 0 || static_cast<uint64_t>(status.st_size) != file.size) {
    return BlockUpdate::FullDownload;
  }
  if (digestOf(partFile.fd) != file.hash) return BlockUpdate::FullDownload;
  kept = true;
  return BlockUpdate::Staged;
}
