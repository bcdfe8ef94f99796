#include "release/block_index.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include <sodium.h>

namespace {

std::string randomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xff);
  return bytes;
}

// An anonymous file holding bytes, read from its start.
struct MemoryFile {
  int fd;
  explicit MemoryFile(const std::string& bytes) : fd(memfd_create("block-index-test", MFD_CLOEXEC)) {
    size_t done = 0;
    while (fd >= 0 && done < bytes.size()) {
      const ssize_t count = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (count <= 0) break;
      done += static_cast<size_t>(count);
    }
    if (fd >= 0) ::lseek(fd, 0, SEEK_SET);
  }
  ~MemoryFile() {
    if (fd >= 0) ::close(fd);
  }
};

std::string indexOf(const std::string& bytes, uint32_t blockSize = 4096, uint32_t strongWidth = 8) {
  MemoryFile file(bytes);
  std::string index;
  std::string error;
  EXPECT_TRUE(makeBlockIndex(file.fd, blockSize, strongWidth, index, error)) << error;
  return index;
}

TEST(BlockIndex, HeaderAndSumsAreLaidOutAsDocumented) {
  const std::string bytes = randomBytes(3 * 4096 + 100, 1);
  const std::string index = indexOf(bytes, 4096, 12);
  ASSERT_EQ(index.size(), 26u + 4 * (4 + 12));
  EXPECT_EQ(index.substr(0, 8), "VHBLKIDX");
  EXPECT_EQ(index.substr(8, 4), std::string("\0\0\0\1", 4));
  EXPECT_EQ(index.substr(12, 8), std::string("\0\0\0\0\0\0\x30\x64", 8));  // 12388 bytes
  EXPECT_EQ(index.substr(20, 4), std::string("\0\0\x10\0", 4));
  EXPECT_EQ(index[24], 4);
  EXPECT_EQ(index[25], 12);
  // Each strong sum is the start of the block's BLAKE2b-256, the short last block included.
  for (size_t block = 0; block < 4; ++block) {
    const std::string content = bytes.substr(block * 4096, 4096);
    unsigned char digest[32];
    crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(content.data()), content.size(),
                       nullptr, 0);
    EXPECT_EQ(index.substr(26 + block * 16 + 4, 12), std::string(reinterpret_cast<char*>(digest), 12)) << block;
  }
  BlockIndexLayout layout;
  ASSERT_TRUE(parseBlockIndex(index, bytes.size(), layout));
  EXPECT_EQ(layout.fileSize, bytes.size());
  EXPECT_EQ(layout.blockSize, 4096u);
  EXPECT_EQ(layout.strongWidth, 12u);
}

TEST(BlockIndex, RefusesUnsupportedLayouts) {
  MemoryFile file(randomBytes(10000, 2));
  std::string index;
  std::string error;
  for (auto [blockSize, strongWidth] : std::vector<std::pair<uint32_t, uint32_t>>{
           {2048, 8}, {6144, 8}, {2097152, 8}, {4096, 7}, {4096, 17}}) {
    EXPECT_FALSE(makeBlockIndex(file.fd, blockSize, strongWidth, index, error)) << blockSize << " " << strongWidth;
  }
}

TEST(BlockIndex, ParsingIsStrict) {
  const std::string bytes = randomBytes(20000, 3);
  const std::string good = indexOf(bytes);
  BlockIndexLayout layout;
  ASSERT_TRUE(parseBlockIndex(good, bytes.size(), layout));

  auto with = [&good](size_t at, std::string replacement) {
    std::string changed = good;
    changed.replace(at, replacement.size(), replacement);
    return changed;
  };
  struct Case {
    const char* name;
    std::string index;
    uint64_t expectedSize;
  };
  const std::vector<Case> cases = {
      {"empty", "", bytes.size()},
      {"header only", good.substr(0, 26), bytes.size()},
      {"one byte short", good.substr(0, good.size() - 1), bytes.size()},
      {"one byte more", good + "x", bytes.size()},
      {"other magic", with(0, "VHBLKIDY"), bytes.size()},
      {"version 2", with(8, std::string("\0\0\0\2", 4)), bytes.size()},
      {"another file's size", good, bytes.size() + 1},
      {"size of another file", with(12, std::string("\0\0\0\0\0\0\x4e\x21", 8)), bytes.size()},
      {"block size not a power of two", with(20, std::string("\0\0\x30\0", 4)), bytes.size()},
      {"block size too small", with(20, std::string("\0\0\x08\0", 4)), bytes.size()},
      {"block size too large", with(20, std::string("\0\x20\0\0", 4)), bytes.size()},
      {"block size zero", with(20, std::string("\0\0\0\0", 4)), bytes.size()},
      {"weak width 2", with(24, std::string("\2", 1)), bytes.size()},
      {"strong width 7", with(25, std::string("\7", 1)), bytes.size()},
      {"strong width 200", with(25, std::string("\xc8", 1)), bytes.size()},
      // A larger block size would need fewer sums than the body holds.
      {"block size that fits fewer sums", with(20, std::string("\0\0\x20\0", 4)), bytes.size()},
      // 2^64 - 1 bytes are 2^52 blocks of 4096: no sums would mean a count that wrapped round.
      {"largest size without sums", with(12, std::string(8, '\xff')).substr(0, 26), UINT64_MAX},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(parseBlockIndex(c.index, c.expectedSize, layout)) << c.name;
  }
}

TEST(BlockIndex, LimitBoundsEveryAcceptedIndex) {
  const uint64_t gibibyte = 1073741824;
  EXPECT_EQ(blockIndexLimit(gibibyte), 26u + 262144u * 20u);
  EXPECT_EQ(blockIndexLength({gibibyte, defaultIndexBlock, defaultStrongSum}), 26u + 131072u * 12u);
  EXPECT_LE(blockIndexLength({gibibyte, defaultIndexBlock, defaultStrongSum}), blockIndexLimit(gibibyte));
  // Block counts near the largest size do not wrap round.
  EXPECT_EQ(blockCount(UINT64_MAX, 4096), uint64_t{1} << 52);
  EXPECT_EQ(blockCount(UINT64_MAX - 4094, 4096), uint64_t{1} << 52);  // one byte in the last block
  EXPECT_EQ(blockCount(UINT64_MAX - 4095, 4096), (uint64_t{1} << 52) - 1);  // whole blocks only
  EXPECT_EQ(blockIndexLimit(UINT64_MAX), 26u + (uint64_t{1} << 52) * 20u);
}

// Runs the search of newBytes' blocks in seed; every reported run must really hold the same bytes.
std::vector<BlockMatch> matchesOf(const std::string& newBytes, const std::string& seed, uint64_t& covered) {
  const std::string index = indexOf(newBytes);
  MemoryFile seedFile(seed);
  std::vector<BlockMatch> matches;
  std::string error;
  EXPECT_TRUE(findBlocks(index, seedFile.fd, [&](const BlockMatch& m) {
    matches.push_back(m);
    return true;
  }, nullptr, error)) << error;
  std::vector<bool> filled(newBytes.size(), false);
  covered = 0;
  for (const BlockMatch& m : matches) {
    EXPECT_LE(m.fileOffset + m.length, newBytes.size());
    EXPECT_LE(m.seedOffset + m.length, seed.size());
    EXPECT_EQ(seed.compare(m.seedOffset, m.length, newBytes, m.fileOffset, m.length), 0)
        << m.seedOffset << " -> " << m.fileOffset << " +" << m.length;
    for (uint64_t i = m.fileOffset; i < m.fileOffset + m.length && i < newBytes.size(); ++i) {
      if (!filled[i]) ++covered;
      filled[i] = true;
    }
  }
  return matches;
}

TEST(BlockIndex, FindsTheBlocksAnOldFileHolds) {
  const size_t block = 4096;
  const std::string old = randomBytes(64 * block + 1000, 4);
  std::string scattered = old;
  for (size_t at : {3 * block + 10, 20 * block + 4000, 50 * block}) scattered[at] ^= 0x5a;
  struct Case {
    const char* name;
    std::string newBytes;
    uint64_t leastCovered;  // bytes of the new file that must be found
    uint64_t mostCovered;
  };
  const std::vector<Case> cases = {
      {"the same file", old, old.size(), old.size()},
      {"scattered blocks changed", scattered, old.size() - 3 * block, old.size() - 3 * block},
      {"insertion near the start", old.substr(0, 100) + randomBytes(777, 5) + old.substr(100),
       old.size() - 2 * block, old.size() + 777},
      {"appended data", old + randomBytes(3 * block, 6), old.size() - block, old.size()},
      {"truncation", old.substr(0, 40 * block + 17), 40 * block, 40 * block + 17},
      {"nothing shared", randomBytes(old.size(), 7), 0, 0},
      {"a seed of another size", old.substr(5 * block, 30 * block), 30 * block, 30 * block},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint64_t covered = 0;
    matchesOf(c.newBytes, old, covered);
    EXPECT_GE(covered, c.leastCovered);
    EXPECT_LE(covered, c.mostCovered);
  }
}

TEST(BlockIndex, SearchStopsWhenAsked) {
  const std::string bytes = randomBytes(40 * 4096, 8);
  const std::string index = indexOf(bytes);
  MemoryFile seed(bytes);
  std::string error;
  int calls = 0;
  EXPECT_FALSE(findBlocks(index, seed.fd, [&](const BlockMatch&) { return ++calls < 1; }, nullptr, error));
  EXPECT_EQ(error, "stopped");
  EXPECT_EQ(calls, 1);

  MemoryFile again(bytes);
  std::atomic<bool> stop = true;
  EXPECT_FALSE(findBlocks(index, again.fd, [](const BlockMatch&) { return true; }, &stop, error));
  EXPECT_EQ(error, "stopped");
}

}  // namespace
