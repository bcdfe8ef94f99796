// Feeds a block index through what the installer does with one: the fetch bound
// (blockIndexLimit of the manifest's size), parseBlockIndex against that size, the seed scan
// (findBlocks) over an old file, and the missing ranges (missingRanges) left to fetch.
// An accepted index must have exactly the length its header implies and fit the fetch bound;
// every match must lie inside the seed and the file, on block bounds, in seed order; with the
// genuine index every match must hold the file's bytes; the ranges must be in order, inside the
// file, no longer than allowed, and cover every block not found.
//
// Input: one byte of flags, then (unless bit 0 is set) eight bytes of the manifest's size,
// big-endian, then the index.
//   bit 0: the manifest's size is the one the index states (as for a sound server)
//   bits 1-3: which old file is scanned (see seedVariants)
//
// The file behind the genuine index is made here: 64-byte pieces, piece k being the BLAKE2b-512
// of k as eight little-endian bytes, cut to genuineSize. fuzz/corpus/block_index holds inputs
// made from the index that `varnholt-release publish` writes for that file.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sodium.h>

#include "engine/block_update.h"
#include "release/block_index.h"

namespace {

constexpr size_t genuineSize = 1048576 + 1000;  // a short last block
// What the installer joins and splits ranges by.
constexpr uint64_t joinGap = 32768;
constexpr uint64_t maxRange = 4194304;

std::string genuineFile;
std::string genuineIndex;

struct Seed {
  std::string bytes;
  int fd = -1;
};
std::vector<Seed> seeds;

void fail(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "block index: %s %s\n", what, detail.c_str());
  std::abort();
}

uint64_t readBigEndian(const uint8_t* bytes, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value = (value << 8) | bytes[i];
  return value;
}

int memoryFile(const std::string& bytes) {
  const int fd = memfd_create("block-index-fuzz", MFD_CLOEXEC);
  if (fd < 0) fail("memfd_create failed");
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t count = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (count <= 0) fail("could not fill a seed");
    done += static_cast<size_t>(count);
  }
  return fd;
}

// Old files to scan: parts of the genuine file, shifted, cut and padded, kept small so that each
// input runs quickly.
std::vector<std::string> seedVariants() {
  const std::string& file = genuineFile;
  return {
      file.substr(0, 24576),                                        // the first blocks as they are
      std::string(100, 'x') + file.substr(3 * 8192, 20000),         // blocks at an odd offset
      file.substr(file.size() - 12000),                             // the end, short block included
      file.substr(8192, 8191),                                      // less than a block
      "",                                                           // nothing
      file.substr(0, 8192) + file.substr(0, 8192) + file.substr(500, 9000),  // a block twice
      file.substr(file.size() - 1000),                              // only the short block
      file.substr(16384, 8192) + std::string(5, '\0') + file.substr(40960, 16384),  // a gap
  };
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (sodium_init() < 0) fail("sodium_init failed");
  genuineFile.reserve(genuineSize + 64);
  for (uint64_t piece = 0; genuineFile.size() < genuineSize; ++piece) {
    unsigned char key[8];
    for (int i = 0; i < 8; ++i) key[i] = static_cast<unsigned char>(piece >> (8 * i));
    unsigned char digest[64];
    crypto_generichash(digest, sizeof digest, key, sizeof key, nullptr, 0);
    genuineFile.append(reinterpret_cast<const char*>(digest), sizeof digest);
  }
  genuineFile.resize(genuineSize);
  const int fd = memoryFile(genuineFile);
  if (::lseek(fd, 0, SEEK_SET) != 0) fail("lseek failed");
  std::string error;
  if (!makeBlockIndex(fd, defaultIndexBlock, defaultStrongSum, genuineIndex, error)) fail(error.c_str());
  ::close(fd);
  for (std::string& bytes : seedVariants()) {
    Seed seed;
    seed.fd = memoryFile(bytes);
    seed.bytes = std::move(bytes);
    seeds.push_back(std::move(seed));
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t flags = data[0];
  size_t skip = 1;
  uint64_t manifestSize = 0;
  if (!(flags & 1)) {
    if (size < 9) return 0;
    manifestSize = readBigEndian(data + 1, 8);
    skip = 9;
  } else if (size >= 1 + 20) {
    manifestSize = readBigEndian(data + 1 + 12, 8);
  }
  const std::string_view index(reinterpret_cast<const char*>(data + skip), size - skip);

  // The installer stops fetching an index longer than this.
  const uint64_t limit = blockIndexLimit(manifestSize);
  BlockIndexLayout layout;
  if (!parseBlockIndex(index, manifestSize, layout)) return 0;

  if (layout.fileSize != manifestSize) fail("accepted an index of another size");
  if (std::memcmp(index.data(), "VHBLKIDX\0\0\0\1", 12) != 0) fail("accepted another header");
  const uint64_t blockSize = layout.blockSize;
  if (blockSize < 4096 || blockSize > 1048576 || (blockSize & (blockSize - 1)) != 0) fail("odd block size");
  if (layout.strongWidth < 8 || layout.strongWidth > 16) fail("odd strong sum width");
  const unsigned __int128 blocks = (static_cast<unsigned __int128>(layout.fileSize) + blockSize - 1) / blockSize;
  const unsigned __int128 length = 26 + blocks * (4 + layout.strongWidth);
  if (length != index.size()) fail("accepted an index of the wrong length", std::to_string(index.size()));
  if (index.size() > limit) fail("accepted an index longer than the fetch bound", std::to_string(limit));

  const Seed& seed = seeds[((flags >> 1) & 7) % seeds.size()];
  if (::lseek(seed.fd, 0, SEEK_SET) != 0) fail("lseek failed");
  const bool genuine = index == genuineIndex;
  // What the installer copies: the whole blocks of each run.
  std::vector<bool> found(static_cast<size_t>(blocks), false);
  uint64_t seedEnd = 0;
  auto onMatch = [&](const BlockMatch& match) {
    if (match.length == 0) fail("an empty match");
    if (match.seedOffset < seedEnd) fail("a match out of seed order");
    if (match.seedOffset + match.length > seed.bytes.size()) fail("a match past the seed's end");
    if (match.fileOffset % blockSize != 0) fail("a match off a block's start");
    if (match.fileOffset + match.length > layout.fileSize) fail("a match past the file's end");
    if (match.length % blockSize != 0 && match.fileOffset + match.length != layout.fileSize) {
      fail("a match that ends inside a block");
    }
    if (genuine && seed.bytes.compare(match.seedOffset, match.length, genuineFile, match.fileOffset,
                                      match.length) != 0) {
      fail("a match that holds other bytes");
    }
    seedEnd = match.seedOffset + match.length;
    for (uint64_t at = match.fileOffset; at < match.fileOffset + match.length; at += blockSize) {
      found[static_cast<size_t>(at / blockSize)] = true;
    }
    return true;
  };
  std::string error;
  if (!findBlocks(index, seed.fd, onMatch, nullptr, error)) fail("the scan failed", error);

  const std::vector<ByteRange> ranges = missingRanges(found, layout.blockSize, layout.fileSize, joinGap, maxRange);
  uint64_t rangeEnd = 0;
  for (const ByteRange& range : ranges) {
    if (range.length == 0 || range.length > maxRange) fail("a range of a wrong length");
    if (range.offset < rangeEnd) fail("ranges out of order");
    if (range.offset + range.length > layout.fileSize) fail("a range past the file's end");
    rangeEnd = range.offset + range.length;
  }
  size_t next = 0;
  for (size_t block = 0; block < found.size(); ++block) {
    if (found[block]) continue;
    const uint64_t start = block * blockSize;
    const uint64_t end = std::min<uint64_t>(start + blockSize, layout.fileSize);
    while (next < ranges.size() && ranges[next].offset + ranges[next].length <= start) ++next;
    // A missing block may be split across neighbouring ranges at maxRange bounds.
    uint64_t covered = start;
    for (size_t r = next; r < ranges.size() && ranges[r].offset <= covered && covered < end; ++r) {
      covered = std::max(covered, ranges[r].offset + ranges[r].length);
    }
    if (covered < end) fail("a missing block no range covers", std::to_string(block));
  }
  return 0;
}
