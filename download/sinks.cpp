// The two transfer sinks and the size text shown for every byte count on the screen.
#include "download/download.h"

#include <algorithm>
#include <cstdio>

#include "app/status_board.h"

namespace {

// Writes the size text into buffer (at least 32 bytes); returns its length.
int formatSize(char* buffer, size_t capacity, uint64_t bytes) {
  if (bytes > 999999999) return std::snprintf(buffer, capacity, "%.2f GB", static_cast<double>(bytes) / 1e9);
  return std::snprintf(buffer, capacity, "%.0f MB", std::max(static_cast<double>(bytes) / 1e6, 1.0));
}

}  // namespace

std::string sizeText(uint64_t bytes) {
  char buffer[32];
  int length = formatSize(buffer, sizeof buffer, bytes);
  return std::string(buffer, static_cast<size_t>(std::max(length, 0)));
}

bool ManifestSink::operator()(const char* data, size_t length) const {
  // Room for the largest text up front, so that a manifest of megabytes is never copied as it
  // grows; the pages it does not fill are never touched.
  if (text.capacity() < manifestLimit) text.reserve(manifestLimit + length);
  text.append(data, length);
  // The chunk that reaches the limit stays in the text; the fetch then ends as "stopped".
  return text.size() < manifestLimit;
}

bool FileSink::operator()(const char* data, size_t length) const {
  if (board.cancel.load()) return false;
  // The part file hashes the bytes received, not the bytes stored: a write that did not reach
  // the disk would go unnoticed by the hash check, so it ends the transfer here.
  if (!partFile.write(data, length)) {
    writeFailed = true;
    return false;
  }
  receivedBytes += length;

  uint64_t shown = doneBytes + receivedBytes;
  if (progress) {
    progress->inFlight += length;
    shown = std::max(progress->shown, doneBytes + progress->inFlight);
    progress->shown = shown;
  }
  showDownloadProgress(board, shown, total);
  return receivedBytes <= file.size;
}

void showDownloadProgress(StatusBoard& board, uint64_t shown, uint64_t total) {
  char detail[80];
  int used = formatSize(detail, sizeof detail, shown);
  used += std::snprintf(detail + used, sizeof detail - used, " of ");
  used += formatSize(detail + used, sizeof detail - used, total);
  double fraction = total == 0 ? 1.0 : static_cast<double>(shown) / static_cast<double>(total);
  // Reused from chunk to chunk, so that a long download allocates nothing per chunk.
  thread_local std::string detailText;
  detailText.assign(detail, static_cast<size_t>(used));
  setProgress(board, detailText, fraction);
}
