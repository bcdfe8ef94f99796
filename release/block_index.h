// Block indexes: "files/<hash>.blocks" beside a large release file, so that an update can copy
// the blocks an older file already holds and fetch only the rest. The index is not signed: the
// whole file's digest decides, so the worst an index can do is cost a full download.
//
// Layout (integers big-endian):
//   0   8  "VHBLKIDX"
//   8   4  version, 1
//   12  8  the file's size
//   20  4  block size: a power of two from 4096 to 1048576
//   24  1  weak sum width: 4 (Rabin-Karp rolling sum)
//   25  1  strong sum width: 8 to 16 (the first bytes of the block's BLAKE2b-256)
//   26     per block, in file order: weak sum, then strong sum; the last block may be short
// The length is fixed by these fields; an index of any other length is malformed.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

struct BlockIndexLayout {
  uint64_t fileSize = 0;
  uint32_t blockSize = 0;
  uint32_t strongWidth = 0;
};

constexpr size_t blockIndexHeaderSize = 26;
constexpr uint32_t blockIndexWeakWidth = 4;
constexpr uint32_t smallestIndexBlock = 4096;
constexpr uint32_t largestIndexBlock = 1048576;
constexpr uint32_t narrowestStrongSum = 8;
constexpr uint32_t widestStrongSum = 16;
// What the publisher writes unless told otherwise, and from which size on.
constexpr uint32_t defaultIndexBlock = 8192;
constexpr uint32_t defaultStrongSum = 8;
constexpr uint64_t blockIndexThreshold = 1048576;

// The number of blocks of a file of fileSize, the short last one included; exact up to the
// largest size.
constexpr uint64_t blockCount(uint64_t fileSize, uint32_t blockSize) {
  return fileSize / blockSize + (fileSize % blockSize != 0 ? 1 : 0);
}
// The exact length of an index with this layout.
uint64_t blockIndexLength(const BlockIndexLayout& layout);
// The longest index a file of fileSize may have: the bound on what fetching one costs.
uint64_t blockIndexLimit(uint64_t fileSize);

// The index of the file open at fd (read from where it stands to its end, once).
[[nodiscard]] bool makeBlockIndex(int fd, uint32_t blockSize, uint32_t strongWidth, std::string& index,
                                  std::string& error);

// The same for a file that arrives a piece at a time.
class BlockIndexWriter {
 public:
  // False for an unsupported layout.
  [[nodiscard]] bool begin(uint32_t blockSize, uint32_t strongWidth, std::string& error);
  [[nodiscard]] bool add(const char* data, size_t length, std::string& error);
  [[nodiscard]] bool finish(std::string& index, std::string& error);
  BlockIndexWriter() = default;
  BlockIndexWriter(const BlockIndexWriter&) = delete;
  BlockIndexWriter& operator=(const BlockIndexWriter&) = delete;
  ~BlockIndexWriter();

 private:
  bool run(const char* data, size_t length, bool last, std::string& error);

  void* job_ = nullptr;  // rs_job_t
  uint32_t blockSize_ = 0;
  uint32_t strongWidth_ = 0;
  uint64_t fileSize_ = 0;
  std::string sums_;
};

// Checks the fields in order and the length; false for anything malformed or for an index of a
// file whose size is not expectedSize.
[[nodiscard]] bool parseBlockIndex(std::string_view index, uint64_t expectedSize, BlockIndexLayout& layout);

// A run of the indexed file that the seed holds: length bytes at fileOffset equal the seed's
// bytes at seedOffset (as far as the sums tell).
struct BlockMatch {
  uint64_t seedOffset = 0;
  uint64_t fileOffset = 0;
  uint64_t length = 0;
};

// Reads the seed at seedFd once from its start and reports every run of indexed blocks found in
// it, at any byte offset, in seed order; a long run in pieces of a few mebibytes, one after
// the other. index must have passed parseBlockIndex. onMatch returning false, or a set stop
// flag, ends the scan (false, error "stopped").
[[nodiscard]] bool findBlocks(std::string_view index, int seedFd,
                              const std::function<bool(const BlockMatch&)>& onMatch,
                              const std::atomic<bool>* stop, std::string& error);
