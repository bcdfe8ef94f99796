#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "download/download.h"
#include "tests/support/rerun.h"
#include "tests/support/temp_folder.h"

namespace {

// Distinct bytes at every offset of a file, so a piece written twice, dropped or out of order
// shows in the comparison.
std::string patterned(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

std::string readWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool writeInChunks(PartFile& partFile, const std::string& bytes, size_t chunk) {
  for (size_t offset = 0; offset < bytes.size(); offset += chunk) {
    if (!partFile.write(bytes.data() + offset, std::min(chunk, bytes.size() - offset))) return false;
  }
  return true;
}

constexpr size_t buffer = PartFile::bufferSize;
constexpr size_t allBuffers = PartFile::bufferCount * PartFile::bufferSize;

}  // namespace

TEST(PartFile, WritesEveryByteInOrderWhateverTheSizesOfFileAndChunks) {
  TempFolder folder;
  // One object for every file, as the apply step uses it: the writer thread and the buffers
  // carry over from file to file, the content never does.
  PartFile partFile;
  const std::vector<size_t> sizes = {0,          1,          buffer - 1, buffer,        buffer + 1,
                                     allBuffers, allBuffers + 3, 3 * allBuffers + 12345, 100};
  const std::vector<size_t> chunks = {1000, 65536, buffer, 3 * buffer + 7};
  unsigned seed = 0;
  for (size_t size : sizes) {
    for (size_t chunk : chunks) {
      if (size > 100000 && chunk < 65536) continue;  // a million calls add nothing
      const std::string bytes = patterned(size, ++seed);
      const std::filesystem::path path = folder.path() / ("f" + std::to_string(seed) + ".part");
      // The room set aside up front (none, the exact size, more than arrives as when a transfer
      // breaks off) never shows in the file's length.
      const uint64_t expectedSizes[] = {0, size, 2 * size + 4096};
      // Every other file is hashed as it is written out, on whichever thread writes it.
      DigestStream digest;
      ASSERT_TRUE(partFile.open(path, expectedSizes[seed % 3], seed % 2 ? &digest : nullptr));
      EXPECT_TRUE(writeInChunks(partFile, bytes, chunk)) << size << " in chunks of " << chunk;
      EXPECT_TRUE(partFile.close()) << size << " in chunks of " << chunk;
      EXPECT_TRUE(readWhole(path) == bytes) << size << " in chunks of " << chunk;
      if (seed % 2) {
        DigestStream expected;
        expected.add(bytes.data(), bytes.size());
        EXPECT_EQ(finishDigest(digest), finishDigest(expected)) << size << " in chunks of " << chunk;
      }
    }
  }
}

TEST(PartFile, OpenMakesANewFileAndNeverWritesThroughALinkAtItsName) {
  TempFolder folder;
  const std::filesystem::path part = folder.path() / "abc.part";
  const std::filesystem::path outside = folder.path() / "outside";
  struct Case {
    const char* planted;
    std::function<void()> plant;
  };
  const std::vector<Case> cases = {
      {"nothing", [] {}},
      {"an older part file", [&] { std::ofstream(part) << "left from an earlier attempt"; }},
      {"a link", [&] { std::filesystem::create_symlink(outside, part); }},
      {"a second name of another file", [&] { std::filesystem::create_hard_link(outside, part); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.planted);
    std::filesystem::remove(part);
    std::ofstream(outside) << "not the program's";
    c.plant();
    PartFile partFile;
    ASSERT_TRUE(partFile.open(part));
    EXPECT_FALSE(partFile.open(part)) << "a second file while one is open";
    EXPECT_TRUE(partFile.write("new", 3));
    ASSERT_TRUE(partFile.close());
    EXPECT_FALSE(std::filesystem::is_symlink(part));
    EXPECT_EQ(readWhole(part), "new");
    EXPECT_EQ(readWhole(outside), "not the program's");
    EXPECT_EQ(std::filesystem::hard_link_count(outside), 1u);
  }

  // A file is continued only at a name of its own.
  std::filesystem::remove(part);
  std::filesystem::create_hard_link(outside, part);
  PartFile partFile;
  EXPECT_FALSE(partFile.openToContinue(part, 3));
  std::filesystem::remove(part);
  std::filesystem::create_symlink(outside, part);
  EXPECT_FALSE(partFile.openToContinue(part, 3));
  EXPECT_EQ(readWhole(outside), "not the program's");
}

TEST(PartFile, AFullDiskFailsTheWritesOrTheCloseAndTheNextFileStartsClean) {
  // A 1 MiB tmpfs, mounted in a mount namespace of the child's own.
  if (rerunInChild({}, true)) return;
  TempFolder folder;
  const std::filesystem::path small = folder.path() / "small";
  TmpfsMount disk(small, "1m");
  ASSERT_TRUE(disk.mounted()) << disk.error();

  PartFile partFile;
  // Large: a write fails at the latest a few buffers after the disk filled up, and so does
  // every write after it.
  ASSERT_TRUE(partFile.open(small / "large.part"));
  const std::string bytes = patterned(16 * 1048576, 1);
  size_t accepted = 0;
  while (accepted < bytes.size() && partFile.write(bytes.data() + accepted, 65536)) accepted += 65536;
  EXPECT_LE(accepted, 1048576 + allBuffers + 65536);
  EXPECT_FALSE(partFile.write("x", 1));
  EXPECT_FALSE(partFile.close());
  std::filesystem::remove(small / "large.part");

  // Small: it fits in a buffer, so the error appears only when it is closed.
  std::ofstream(small / "filler", std::ios::binary) << patterned(1048576 - 8192, 2);
  ASSERT_TRUE(partFile.open(small / "small.part"));
  EXPECT_TRUE(partFile.write(bytes.data(), 100000));
  EXPECT_FALSE(partFile.close());

  // A failure belongs to its file: the same object writes the next one whole.
  const std::string next = patterned(allBuffers * 2 + 5, 3);
  ASSERT_TRUE(partFile.open(folder.path() / "next.part"));
  EXPECT_TRUE(writeInChunks(partFile, next, 100000));
  EXPECT_TRUE(partFile.close());
  EXPECT_TRUE(readWhole(folder.path() / "next.part") == next);
}
