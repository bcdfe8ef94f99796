// What the block size of an index costs and saves, on one pair of files: for each block size,
// the index's length (with 8- and 16-byte strong sums), the time to make it, the time to scan
// the old file for the new file's blocks, and the bytes an update would fetch (the index plus
// the missing ranges, joined as the setup program joins them).
//
// usage: block-sizes OLD NEW [BLOCK_SIZE...]   (default 4096 8192 16384 65536)
// bench/block_sizes makes the files and runs it.
#include <fcntl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/block_update.h"
#include "release/block_index.h"

namespace {

// The setup program's joining of missing ranges (engine/block_update.cpp).
constexpr uint64_t rangeJoinGap = 32768;
constexpr uint64_t longestRange = 4194304;

struct Clock {
  double wall = 0;
  double cpu = 0;
};

Clock now() {
  timespec t = {};
  clock_gettime(CLOCK_MONOTONIC, &t);
  rusage usage = {};
  getrusage(RUSAGE_SELF, &usage);
  return {static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9,
          static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6};
}

struct FdClosed {
  int fd = -1;
  ~FdClosed() {
    if (fd >= 0) ::close(fd);
  }
};

bool measure(const char* oldPath, const char* newPath, uint32_t blockSize) {
  FdClosed newFile{::open(newPath, O_RDONLY | O_CLOEXEC)};
  FdClosed oldFile{::open(oldPath, O_RDONLY | O_CLOEXEC)};
  if (newFile.fd < 0 || oldFile.fd < 0) {
    std::fprintf(stderr, "block-sizes: cannot open the files\n");
    return false;
  }
  std::string index;
  std::string error;
  const Clock beforeIndex = now();
  if (!makeBlockIndex(newFile.fd, blockSize, defaultStrongSum, index, error)) {
    std::fprintf(stderr, "block-sizes: %s\n", error.c_str());
    return false;
  }
  const Clock afterIndex = now();
  BlockIndexLayout layout;
  const uint64_t newSize = static_cast<uint64_t>(::lseek(newFile.fd, 0, SEEK_END));
  if (!parseBlockIndex(index, newSize, layout)) {
    std::fprintf(stderr, "block-sizes: the index does not parse\n");
    return false;
  }
  std::vector<bool> found(static_cast<size_t>(blockCount(newSize, blockSize)), false);
  auto onMatch = [&](const BlockMatch& match) {
    for (uint64_t block = (match.fileOffset + blockSize - 1) / blockSize; block < found.size(); ++block) {
      const uint64_t start = block * blockSize;
      if (start + std::min<uint64_t>(blockSize, newSize - start) > match.fileOffset + match.length) break;
      found[block] = true;
    }
    return true;
  };
  const Clock beforeScan = now();
  if (!findBlocks(index, oldFile.fd, onMatch, nullptr, error)) {
    std::fprintf(stderr, "block-sizes: %s\n", error.c_str());
    return false;
  }
  const Clock afterScan = now();
  uint64_t ranged = 0;
  const std::vector<ByteRange> ranges = missingRanges(found, blockSize, newSize, rangeJoinGap, longestRange);
  for (const ByteRange& range : ranges) ranged += range.length;
  const uint64_t wideIndex = blockIndexLength({newSize, blockSize, widestStrongSum});
  std::printf("%6u KiB %12zu %12llu %9.2f %9.2f %9.2f %9.2f %14llu %8zu\n", blockSize / 1024, index.size(),
              static_cast<unsigned long long>(wideIndex), afterIndex.wall - beforeIndex.wall,
              afterIndex.cpu - beforeIndex.cpu, afterScan.wall - beforeScan.wall, afterScan.cpu - beforeScan.cpu,
              static_cast<unsigned long long>(index.size() + ranged), ranges.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: block-sizes OLD NEW [BLOCK_SIZE...]\n");
    return 2;
  }
  std::vector<uint32_t> sizes;
  for (int i = 3; i < argc; ++i) sizes.push_back(static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 10)));
  if (sizes.empty()) sizes = {4096, 8192, 16384, 65536};
  std::printf("%10s %12s %12s %9s %9s %9s %9s %14s %8s\n", "block", "index (8 B)", "index (16 B)", "index s",
              "index cpu", "scan s", "scan cpu", "fetched bytes", "ranges");
  for (uint32_t size : sizes) {
    if (!measure(argv[1], argv[2], size)) return 1;
  }
  return 0;
}
