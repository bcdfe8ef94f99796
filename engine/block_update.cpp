// Staging a large file by its changed blocks. Runs on the apply's thread before the downloads
// of whole files start, one file at a time, with the run's transfer engine to itself.
#include "engine/block_update.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/status_board.h"
#include "download/download.h"
#include "download/helper_thread.h"
#include "engine/contained.h"
#include "engine/update_plan.h"
#include "release/block_index.h"
#include "release/file_guards.h"

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
// Blocks asked for before the scan ends, which the seed may yet hold, cost at most this share
// of the file's size.
constexpr uint64_t earlyBudgetShare = 32;
// Found blocks are copied at most this much at a time, between looks at the cancel flag.
constexpr uint64_t copyPiece = 16777216;
// Found runs waiting to be copied, at most: 256 MiB of the runs of a few mebibytes that the scan
// reports, fewer bytes only for a seed of short runs.
constexpr size_t longestCopyList = 64;

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

// Starts writing length bytes at offset to the disk, without waiting. Renaming the part file over
// the installed one first writes back whatever of it is still in memory (ext4 does so for files
// replaced by a rename), which stalled the commit for as long; begun while the scan goes on, that
// work is done while the digest catches up. Only advice: a file system without it loses nothing.
void startWriteBack(int fd, uint64_t offset, uint64_t length) {
  (void)::sync_file_range(fd, static_cast<off64_t>(offset), static_cast<off64_t>(length), SYNC_FILE_RANGE_WRITE);
}

// BLAKE2b-256 of the part file, taken while it is being filled: a second thread reads back each
// stretch once every byte before it has been written, so that the digest is ready soon after the
// last range arrives instead of needing a pass of its own. Each byte must be written once, before
// it is marked written: what is hashed is then what lies in the file.
class PartDigest {
 public:
  PartDigest(int fd, uint64_t size, const std::atomic<bool>& cancel) : fd_(fd), size_(size), cancel_(cancel) {}
  PartDigest(const PartDigest&) = delete;
  PartDigest& operator=(const PartDigest&) = delete;
  ~PartDigest() { stop(); }

  // Without a thread to spare, finish reads the whole file itself.
  void start() { threaded_ = startHelperThread(thread_, [this] { follow(); }); }

  // length bytes at offset are written.
  void written(uint64_t offset, uint64_t length) {
    if (length == 0) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      uint64_t end = offset + length;
      // Joined with the stretches it touches, so that the list stays short.
      auto next = ready_.lower_bound(offset);
      if (next != ready_.begin() && std::prev(next)->second == offset) {
        --next;
        offset = next->first;
        next = ready_.erase(next);
      }
      if (next != ready_.end() && next->first == end) {
        end = next->second;
        ready_.erase(next);
      }
      if (offset == prefix_) {
        prefix_ = end;
      } else {
        ready_[offset] = end;
      }
    }
    moved_.notify_one();
  }

  // The digest once every byte is written and read back; "" when a stretch is missing, the file
  // cannot be read or the run was cancelled.
  std::string finish() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finishing_ = true;
    }
    if (threaded_) {
      moved_.notify_one();
      thread_.join();
      threaded_ = false;
    } else {
      follow();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_ || hashed_ != size_) return "";
    return finishDigest(digest_);
  }

 private:
  void stop() {
    if (!threaded_) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    moved_.notify_one();
    thread_.join();
    threaded_ = false;
  }

  void follow() {
    std::unique_ptr<char[]> buffer(new char[copyBufferSize]);
    uint64_t hashed = 0;
    bool failed = false;
    for (;;) {
      uint64_t prefix;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        // Woken by every write; waits with a timeout so that a cancel is seen without one.
        while (prefix_ == hashed && !finishing_ && !stopping_ && !cancel_.load()) {
          moved_.wait_for(lock, std::chrono::milliseconds(pollSliceMs));
        }
        prefix = prefix_;
        if (stopping_ || (finishing_ && prefix == hashed)) break;
      }
      if (cancel_.load()) break;
      while (hashed < prefix && !failed) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(prefix - hashed, copyBufferSize));
        const ssize_t count = ::pread(fd_, buffer.get(), want, static_cast<off_t>(hashed));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
          failed = true;
          break;
        }
        digest_.add(buffer.get(), static_cast<size_t>(count));
        hashed += static_cast<uint64_t>(count);
        if (cancel_.load()) break;
      }
      if (failed || cancel_.load()) break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    hashed_ = hashed;
    failed_ = failed || cancel_.load();
  }

  const int fd_;
  const uint64_t size_;
  const std::atomic<bool>& cancel_;
  std::thread thread_;
  bool threaded_ = false;
  std::mutex mutex_;
  std::condition_variable moved_;
  uint64_t prefix_ = 0;                 // every byte before it is written
  std::map<uint64_t, uint64_t> ready_;  // written stretches past the prefix: start to end
  bool finishing_ = false;
  bool stopping_ = false;
  // Owned by the thread that follows until it ends.
  DigestStream digest_;
  uint64_t hashed_ = 0;
  bool failed_ = false;
};

// Copies the found blocks from the seed into the part file on a thread of its own, so that the
// scan does not wait for the copies: where the kernel must find memory for every new page of the
// part file, copying costs as much as the scan and the digest.
class SpanCopier {
 public:
  SpanCopier(int seedFd, int partFd, PartDigest& digest, const std::atomic<bool>& cancel)
      : seedFd_(seedFd), partFd_(partFd), digest_(digest), cancel_(cancel) {}
  SpanCopier(const SpanCopier&) = delete;
  SpanCopier& operator=(const SpanCopier&) = delete;
  // A fill given up copies nothing more.
  ~SpanCopier() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      waiting_.clear();
    }
    stop();
  }

  // Without a thread to spare, add copies at once.
  void start() { threaded_ = startHelperThread(thread_, [this] { follow(); }); }

  // length bytes of the seed at seedOffset belong at fileOffset of the part file.
  void add(uint64_t seedOffset, uint64_t fileOffset, uint64_t length) {
    if (!threaded_) {
      if (!failed_.load() && !copy({seedOffset, fileOffset, length})) failed_.store(true);
      return;
    }
    {
      std::unique_lock<std::mutex> lock(mutex_);
      // A seed of many short runs must not grow the list without bound: the scan waits.
      while (waiting_.size() >= longestCopyList && !failed_.load() && !cancel_.load()) {
        taken_.wait_for(lock, std::chrono::milliseconds(pollSliceMs));
      }
      waiting_.push_back({seedOffset, fileOffset, length});
    }
    moved_.notify_one();
  }

  // Waits for every span added; false when one could not be copied or the run was cancelled.
  bool finish() {
    stop();
    return !failed_.load() && !cancel_.load();
  }

  bool failed() const { return failed_.load(); }
  // Bytes in the part file so far; never fewer than before.
  uint64_t copied() const { return copied_.load(); }

 private:
  struct Span {
    uint64_t seedOffset;
    uint64_t fileOffset;
    uint64_t length;
  };

  void stop() {
    if (!threaded_) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finishing_ = true;
    }
    moved_.notify_one();
    thread_.join();
    threaded_ = false;
  }

  void follow() {
    for (;;) {
      Span span;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        // Waits with a timeout so that a cancel is seen without a wake-up.
        while (waiting_.empty() && !finishing_ && !cancel_.load()) {
          moved_.wait_for(lock, std::chrono::milliseconds(pollSliceMs));
        }
        if (waiting_.empty() || cancel_.load() || failed_.load()) break;
        span = waiting_.front();
        waiting_.pop_front();
      }
      taken_.notify_one();
      if (!copy(span)) failed_.store(true);
    }
  }

  // In pieces, so that a cancel is seen soon and the digest can follow.
  bool copy(const Span& span) {
    for (uint64_t done = 0; done < span.length; done += copyPiece) {
      if (cancel_.load()) return false;
      const uint64_t length = std::min<uint64_t>(copyPiece, span.length - done);
      if (!copyBytes(seedFd_, span.seedOffset + done, partFd_, span.fileOffset + done, length)) return false;
      startWriteBack(partFd_, span.fileOffset + done, length);
      digest_.written(span.fileOffset + done, length);
      copied_.fetch_add(length);
    }
    return true;
  }

  const int seedFd_;
  const int partFd_;
  PartDigest& digest_;
  const std::atomic<bool>& cancel_;
  std::thread thread_;
  bool threaded_ = false;
  std::mutex mutex_;
  std::condition_variable moved_;
  std::condition_variable taken_;
  std::deque<Span> waiting_;
  bool finishing_ = false;
  std::atomic<bool> failed_{false};
  std::atomic<uint64_t> copied_{0};
};

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

// Fills the part file while the seed is scanned: the blocks found are copied as the scan finds
// them, and the missing blocks before them in the file are mostly fetched meanwhile, so that the
// part file fills from its start and its digest can follow. A block is written once, by
// whichever comes first; a block found after it was asked for is not copied.
class BlockFiller {
 public:
  BlockFiller(const StatusBoard& board, const ReleaseFile& file, int seedFd, int partFd, PartDigest& digest,
              const std::function<void(uint64_t)>& progress)
      : board_(board),
        file_(file),
        seedFd_(seedFd),
        partFd_(partFd),
        digest_(digest),
        progress_(progress),
        copier_(seedFd, partFd, digest, board.cancel) {}
  BlockFiller(const BlockFiller&) = delete;
  BlockFiller& operator=(const BlockFiller&) = delete;
  // The sinks of the fetches point here.
  ~BlockFiller() { transfers().stopAll(); }

  // False when cancelled, when the seed holds no block, or on any failure.
  bool fill(const std::string& index, bool& cancelled);

 private:
  enum class Owner : uint8_t { None, Copied, Fetched };

  void copySpan(const BlockMatch& match, uint64_t first, uint64_t end);
  // Asks for every block before endBlock that nothing has claimed yet.
  void queueMissing(uint64_t endBlock);
  // The same before a run just found, while the scan goes on, when the stretch since the last
  // blocks asked for is short: what lies before a found run and was not found is most likely
  // new, but the seed may still hold it further on, and then it costs those bytes. The budget
  // bounds that cost; a long stretch waits for the end of the scan.
  void queueMissingEarly(uint64_t endBlock);
  // Starts what waits while there is room and drives the fetches for up to waitMs; false when
  // a fetch failed.
  bool pump(int waitMs);
  bool startRange(RangeFetch& fetch, const ByteRange& range);
  // Writes what a range brought for its own blocks; the copied blocks a range spans to join its
  // neighbours are in the file already and must not be written twice.
  bool writeFetched(const char* data, size_t length, uint64_t offset);
  // A few times per mebibyte rather than for every block.
  void report() {
    const uint64_t done = copier_.copied() + fetched_;
    if (done < reported_ + 1048576 && done != file_.size) return;
    reported_ = done;
    progress_(reported_);
  }

  const StatusBoard& board_;
  const ReleaseFile& file_;
  const int seedFd_;
  const int partFd_;
  PartDigest& digest_;
  const std::function<void(uint64_t)>& progress_;
  BlockIndexLayout layout_;
  std::vector<Owner> owner_;
  uint64_t claimedBelow_ = 0;  // every block before it is copied or asked for
  uint64_t earlyBudget_ = 0;   // bytes that may still be asked for before the scan ends
  std::deque<ByteRange> waiting_;
  std::vector<RangeFetch> fetches_ = std::vector<RangeFetch>(rangesInFlight);
  uint64_t copyQueued_ = 0;
  uint64_t fetched_ = 0;
  uint64_t reported_ = 0;
  SpanCopier copier_;  // last: its thread ends before the rest goes
};

void BlockFiller::copySpan(const BlockMatch& match, uint64_t first, uint64_t end) {
  const uint64_t blockSize = layout_.blockSize;
  const uint64_t spanStart = first * blockSize;
  const uint64_t spanEnd = std::min<uint64_t>(end * blockSize, file_.size);
  for (uint64_t block = first; block < end; ++block) owner_[block] = Owner::Copied;
  copier_.add(match.seedOffset + (spanStart - match.fileOffset), spanStart, spanEnd - spanStart);
  copyQueued_ += spanEnd - spanStart;
  report();
}

void BlockFiller::queueMissing(uint64_t endBlock) {
  endBlock = std::min<uint64_t>(endBlock, owner_.size());
  if (endBlock <= claimedBelow_) return;
  const uint64_t blockSize = layout_.blockSize;
  const uint64_t start = claimedBelow_ * blockSize;
  std::vector<bool> claimed;
  claimed.reserve(static_cast<size_t>(endBlock - claimedBelow_));
  for (uint64_t block = claimedBelow_; block < endBlock; ++block) {
    claimed.push_back(owner_[block] != Owner::None);
    if (owner_[block] == Owner::None) owner_[block] = Owner::Fetched;
  }
  const uint64_t length = std::min<uint64_t>(endBlock * blockSize, file_.size) - start;
  for (const ByteRange& range : missingRanges(claimed, layout_.blockSize, length, rangeJoinGap, longestRange)) {
    waiting_.push_back({start + range.offset, range.length});
  }
  claimedBelow_ = endBlock;
}

void BlockFiller::queueMissingEarly(uint64_t endBlock) {
  endBlock = std::min<uint64_t>(endBlock, owner_.size());
  if (endBlock <= claimedBelow_ || (endBlock - claimedBelow_) * layout_.blockSize > earlyBudget_) return;
  uint64_t asked = 0;
  for (uint64_t block = claimedBelow_; block < endBlock; ++block) {
    if (owner_[block] == Owner::None) asked += layout_.blockSize;
  }
  earlyBudget_ -= std::min(asked, earlyBudget_);
  queueMissing(endBlock);
}

bool BlockFiller::fill(const std::string& index, bool& cancelled) {
  if (!parseBlockIndex(index, file_.size, layout_)) return false;
  const uint64_t blockSize = layout_.blockSize;
  owner_.assign(static_cast<size_t>(blockCount(file_.size, layout_.blockSize)), Owner::None);
  earlyBudget_ = file_.size / earlyBudgetShare;
  transfers().stopAll();
  copier_.start();
  bool failed = false;
  auto onMatch = [&](const BlockMatch& match) {
    // Whole blocks only: a run starts at a block's first byte and ends at a block's end or the
    // file's. Neighbouring blocks not claimed before are copied together.
    const uint64_t first = (match.fileOffset + blockSize - 1) / blockSize;
    uint64_t spanFirst = first;
    uint64_t block = first;
    for (; block < owner_.size(); ++block) {
      const uint64_t start = block * blockSize;
      const uint64_t length = std::min<uint64_t>(blockSize, file_.size - start);
      if (start + length > match.fileOffset + match.length) break;
      if (owner_[block] == Owner::None) continue;
      if (spanFirst < block) copySpan(match, spanFirst, block);
      spanFirst = block + 1;
    }
    if (spanFirst < block) copySpan(match, spanFirst, block);
    queueMissingEarly(first);
    if (copier_.failed() || !pump(0)) failed = true;
    return !failed && !board_.cancel.load();
  };
  std::string error;
  if (!findBlocks(index, seedFd_, onMatch, &board_.cancel, error)) {
    cancelled = board_.cancel.load();
    return false;
  }
  if (copyQueued_ == 0) return false;
  queueMissing(owner_.size());
  while (!waiting_.empty() || transfers().running() > 0) {
    if (board_.cancel.load()) {
      cancelled = true;
      return false;
    }
    if (copier_.failed() || !pump(pollSliceMs)) return false;
  }
  if (!copier_.finish()) {
    cancelled = board_.cancel.load();
    return false;
  }
  report();
  return true;
}

bool BlockFiller::pump(int waitMs) {
  TransferEngine& engine = transfers();
  for (RangeFetch& fetch : fetches_) {
    if (waiting_.empty()) break;
    if (fetch.busy) continue;
    if (!startRange(fetch, waiting_.front())) return false;
    waiting_.pop_front();
  }
  if (engine.running() == 0) return true;
  bool failed = false;
  for (const TransferDone& outcome : engine.wait(waitMs)) {
    for (RangeFetch& fetch : fetches_) {
      if (!fetch.busy || reinterpret_cast<uintptr_t>(&fetch) != outcome.tag) continue;
      fetch.busy = false;
      if (!outcome.ok || fetch.refused || fetch.writeFailed || fetch.received != fetch.range.length) failed = true;
    }
  }
  return !failed;
}

bool BlockFiller::writeFetched(const char* data, size_t length, uint64_t offset) {
  const uint64_t blockSize = layout_.blockSize;
  const uint64_t end = offset + length;
  uint64_t at = offset;
  while (at < end) {
    // The stretch from at up to the next block whose owner differs from at's.
    const bool own = owner_[static_cast<size_t>(at / blockSize)] == Owner::Fetched;
    uint64_t stretchEnd = (at / blockSize + 1) * blockSize;
    while (stretchEnd < end && (owner_[static_cast<size_t>(stretchEnd / blockSize)] == Owner::Fetched) == own) {
      stretchEnd += blockSize;
    }
    stretchEnd = std::min(stretchEnd, end);
    if (own) {
      if (!writeAllAt(partFd_, data + (at - offset), static_cast<size_t>(stretchEnd - at), at)) return false;
      digest_.written(at, stretchEnd - at);
      fetched_ += stretchEnd - at;
    }
    at = stretchEnd;
  }
  return true;
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
    if (!writeFetched(data, length, fetch.range.offset + fetch.received)) {
      fetch.writeFailed = true;
      return false;
    }
    fetch.received += length;
    report();
    return true;
  };
  std::string error;
  return transfers().start(reinterpret_cast<uintptr_t>(&fetch), std::move(request), error);
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
  FileDescriptor seed(openSeed(board, file));
  // Else what an interrupted run left of this file: kept open, it outlives its name.
  if (!seed.isOpen()) seed.reset(::open(part.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat seedStatus = {};
  if (!seed.isOpen() || ::fstat(seed.get(), &seedStatus) != 0 || !S_ISREG(seedStatus.st_mode)) {
    return BlockUpdate::FullDownload;
  }

  // A new file at the part file's name, never written through a link planted there.
  if (::unlink(part.c_str()) != 0 && errno != ENOENT) return BlockUpdate::FullDownload;
  FileDescriptor partFile(::open(part.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!partFile.isOpen()) return BlockUpdate::FullDownload;
  bool kept = false;
  struct RemovedUnlessKept {
    const fs::path& path;
    const bool& kept;
    ~RemovedUnlessKept() {
      if (!kept) (void)::unlink(path.c_str());
    }
  } removed{part, kept};
  if (::ftruncate(partFile.get(), static_cast<off_t>(file.size)) != 0) return BlockUpdate::FullDownload;

  PartDigest digest(partFile.get(), file.size, board.cancel);
  digest.start();
  BlockFiller filler(board, file, seed.get(), partFile.get(), digest, progress);
  bool cancelled = false;
  if (!filler.fill(index, cancelled)) return cancelled ? BlockUpdate::Cancelled : BlockUpdate::FullDownload;

  // Judged as a downloaded file is: every byte, against the signed manifest.
  struct stat status = {};
  if (::fstat(partFile.get(), &status) != 0 || static_cast<uint64_t>(status.st_size) != file.size) {
    return BlockUpdate::FullDownload;
  }
  if (digest.finish() != file.hash) return BlockUpdate::FullDownload;
  kept = true;
  return BlockUpdate::Staged;
}
