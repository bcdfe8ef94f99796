// The download client: one HTTP(S) GET through libcurl's easy interface, the locations on the
// release server, the two transfer sinks and the size texts. Everything runs on the thread
// that calls fetchUrl (the worker, or the main thread in a windowless run); one fetch at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "release/release.h"

struct StatusBoard;

// One chunk of a response body; false stops the transfer.
using ByteSink = std::function<bool(const char* data, size_t length)>;

// One GET of url; true only when the transfer completed, the sink took every chunk and the
// final status was 200. On failure error holds a lower-case reason.
bool fetchUrl(const std::string& url, const ByteSink& sink, std::string& error, bool noCache);

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

// Streams one release file to its part file while hashing it and publishing progress.
struct FileSink {
  StatusBoard& board;
  uint64_t total;
  FILE* partFile;
  DigestStream& digest;
  uint64_t& receivedBytes;
  uint64_t& doneBytes;
  const ReleaseFile& file;
  bool& writeFailed;  // set when a write to the part file failed; the transfer then stops
  bool operator()(const char* data, size_t length) const;
};

// "%.2f GB" above 999,999,999 bytes, else "%.0f MB" of at least 1.
std::string sizeText(uint64_t bytes);
