// Staging a large file by its changed blocks: the installed copy of the file at the same path
// (the seed; else the part file an interrupted run left for the same file) is searched for
// the blocks listed in the file's block index on the server; the
// blocks found are copied into the part file and only the rest is fetched with range requests.
// The part file is then judged like a downloaded one: size, then digest. Anything short of a
// sound file leaves the file to the full download.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

#include "release/release.h"

struct StatusBoard;

struct ByteRange {
  uint64_t offset = 0;
  uint64_t length = 0;
  bool operator==(const ByteRange&) const = default;
};

// The byte ranges of a file of fileSize that the blocks found (one flag per block of blockSize)
// leave missing, in file order. Missing blocks next to each other make one range, and so do
// ranges with at most joinGap found bytes between them; no range is longer than maxRange.
std::vector<ByteRange> missingRanges(const std::vector<bool>& found, uint32_t blockSize, uint64_t fileSize,
                                     uint64_t joinGap, uint64_t maxRange);

enum class BlockUpdate {
  Staged,        // <hash>.part holds the file, size and digest checked
  FullDownload,  // no seed, no usable index, a server ignoring ranges, a mismatch: fetch it whole
  Cancelled,
};

// Whether file may be updated by blocks at all: large enough, and the installed release lists
// a file at its path.
bool blockUpdateCandidate(const StatusBoard& board, const ReleaseFile& file);

// Tries to fill part (the file's part file in the staging folder) for file. progress is called
// with the bytes copied and fetched so far for this file (never fewer than before).
BlockUpdate updateByBlocks(const StatusBoard& board, const ReleaseFile& file, const std::filesystem::path& part,
                           const std::function<void(uint64_t bytesDone)>& progress);
