// The download client: one HTTP(S) GET through libcurl's easy interface, the locations on the
// release server, the two transfer sinks, the part file they write and the size texts.
// Everything runs on the thread that calls fetchUrl (the worker, or the main thread in a
// windowless run), one fetch at a time; only the part file's own writer thread runs beside it.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "release/release.h"

struct StatusBoard;

// One chunk of a response body; false stops the transfer.
using ByteSink = std::function<bool(const char* data, size_t length)>;

// One GET of url; true only when the transfer completed, the sink took every chunk and the
// final status was 200. On failure error holds a lower-case reason. A set stop flag ends the
// transfer within a fraction of a second, even while the server sends nothing ("stopped").
bool fetchUrl(const std::string& url, const ByteSink& sink, std::string& error, bool noCache,
              const std::atomic<bool>* stop = nullptr);

// One GET among the several that the run's transfer engine keeps in flight.
struct TransferRequest {
  std::string url;
  bool noCache = false;
  // Above 0: only the bytes from here on are asked for ("Range: bytes=N-"). A 206 answer that
  // starts there continues them; a 200 answer brings the whole file, and restart is called
  // before its first byte reaches the sink.
  uint64_t resumeFrom = 0;
  // Above 0: only the bytes before this one are asked for as well ("Range: bytes=N-M", M one
  // less), from resumeFrom on, which may then be 0. The answer is judged as above.
  uint64_t rangeEnd = 0;
  // True: an answer other than 200 (or the asked-for 206) ends the transfer before its body
  // reaches the sink, so an error page never lands in a file.
  bool successBodyOnly = false;
  ByteSink sink;
  std::function<void()> restart;
};

struct TransferDone {
  uint64_t tag = 0;
  bool ok = false;       // completed, every chunk taken, final status 200 (or the asked-for 206)
  bool stopped = false;  // the sink refused a chunk (or threw); error is then empty
  bool cutOff = false;   // the connection failed part way: what arrived may be continued
  std::string error;     // the lower-case reason otherwise
};

// The transfers of the run on libcurl's multi interface: connections, TLS sessions and DNS
// answers are kept from one transfer to the next (the check's manifest and the apply's files
// share them), HTTP/2 is used where the server offers it with several streams on one
// connection, and a few connections per host otherwise. One thread at a time drives it.
class TransferEngine {
 public:
  static constexpr size_t connectionsPerHost = 8;

  TransferEngine() = default;
  TransferEngine(const TransferEngine&) = delete;
  TransferEngine& operator=(const TransferEngine&) = delete;
  ~TransferEngine();

  // Starts a GET identified by tag; false with error when the library would not take it.
  [[nodiscard]] bool start(uint64_t tag, TransferRequest request, std::string& error);
  // Ends the transfer of tag without a result.
  void stop(uint64_t tag);
  void stopAll();
  size_t running() const { return transfers_.size(); }
  // Drives the transfers for at most maxWaitMs, returning those that ended meanwhile.
  std::vector<TransferDone> wait(int maxWaitMs);
  // Releases the connections; the next start opens new ones.
  void close();

  struct Transfer;

 private:
  bool open(std::string& error);
  void collect(std::vector<TransferDone>& done);

  void* multi_ = nullptr;  // CURLM
  void* share_ = nullptr;  // CURLSH
  std::vector<std::unique_ptr<Transfer>> transfers_;
};

// The run's one engine; closeTransfers must come before curl_global_cleanup.
TransferEngine& transfers();
void closeTransfers();

// The CA bundle files probed in order; the first that exists is used.
extern const std::vector<std::filesystem::path> caBundleCandidates;
std::filesystem::path chooseCaBundle(const std::vector<std::filesystem::path>& candidates);

std::string manifestUrl(const std::string& source);
std::string fileUrl(const std::string& source, const std::string& hash);

constexpr size_t manifestLimit = 8388608;

// Gathers the manifest in memory; stops once the text reaches manifestLimit bytes.
struct ManifestSink {
  std::string& text;
  bool operator()(const char* data, size_t length) const;
};

// The part file of one download attempt after another, written behind the caller: write copies
// the bytes into one of two buffers, and a thread of the object's own hashes and hands full
// buffers to the kernel while the caller receives the next chunk (hashing on the receiving
// thread made a fast download wait for the processor). A file that fits in one buffer is
// hashed and written by close on the caller's thread. A failed write is reported by the next
// write or by close. One caller thread at a time; the object is reused from file to file.
class PartFile {
 public:
  static constexpr size_t bufferSize = 524288;
  static constexpr size_t bufferCount = 2;

  PartFile() = default;
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;
  ~PartFile();

  // Makes a new, empty file at path: whatever stands at the name (an older part file, a link,
  // a second name of another file) goes first, and the file is created there exclusively, so no
  // write can land elsewhere. expectedSize, when known and small, sets its room aside up front.
  // With a digest, every byte written until close is added to it in order; the caller reads it
  // only after close.
  bool open(const std::filesystem::path& path, uint64_t expectedSize = 0, DigestStream* digest = nullptr);
  // Opens an existing file to add to its first length bytes (anything after them goes); only a
  // regular file of one name, never through a link. The digest as for open.
  bool openToContinue(const std::filesystem::path& path, uint64_t length, DigestStream* digest = nullptr);
  // Empties the file before anything was written since open.
  bool restart();
  // False once any write to this file has failed.
  bool write(const char* data, size_t length);
  // Writes what is left and closes; false when any write or the close failed, or when the file
  // does not hold exactly the bytes it was given.
  bool close();

 private:
  char* bufferAt(size_t index) { return buffers_.get() + index * bufferSize; }
  bool handOver();
  void writeQueued();
  bool writeOut(int fd, DigestStream* digest, const char* data, size_t length);

  int fd_ = -1;
  DigestStream* digest_ = nullptr;  // set by open; read by the writer only while a buffer is queued
  uint64_t accepted_ = 0;  // bytes given to write since open
  std::unique_ptr<char[]> buffers_;  // bufferCount buffers, allocated by the first write
  std::array<size_t, bufferCount> used_{};
  size_t filling_ = 0;  // the buffer the caller fills; the queued ones come before it
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t queued_ = 0;
  std::atomic<bool> failed_ = false;
  bool stopping_ = false;
  std::thread writer_;  // started by the first full buffer, kept for the next files
  bool noWriter_ = false;  // the system had no thread to spare: every buffer is written in place
};

// The bytes received by every attempt in flight, so that the progress adds them up; shown
// only grows, so the bar never runs back within one run.
struct DownloadProgress {
  uint64_t inFlight = 0;
  uint64_t shown = 0;
};

// Streams one release file to its part file while hashing it and publishing progress.
struct FileSink {
  StatusBoard& board;
  uint64_t total;
  PartFile& partFile;  // hashes what it is given, when opened with a digest
  uint64_t& receivedBytes;
  uint64_t& doneBytes;
  const ReleaseFile& file;
  bool& writeFailed;  // set when a write to the part file failed; the transfer then stops
  DownloadProgress* progress = nullptr;  // several files at once: shows doneBytes + inFlight
  bool operator()(const char* data, size_t length) const;
};

// Shows "<shown> of <total>" (in sizeText's units) and the fraction on the status board.
void showDownloadProgress(StatusBoard& board, uint64_t shown, uint64_t total);

// "%.2f GB" above 999,999,999 bytes, else "%.0f MB" of at least 1.
std::string sizeText(uint64_t bytes);
