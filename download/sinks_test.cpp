#include "download/download.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "app/session.h"
#include "tests/support/rerun.h"
#include "tests/support/servers.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_files.h"

namespace {

std::string letters(size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text += static_cast<char>('a' + i % 26);
  return text;
}

std::string readWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// One attempt at one file, as the apply step sets it up.
struct Attempt {
  ReleaseFile file;
  uint64_t total = 0;
  uint64_t doneBytes = 0;
  uint64_t receivedBytes = 0;
  bool writeFailed = false;
  DigestStream digest;
  PartFile partFile;
  bool opened;

  Attempt(const std::filesystem::path& partPath, uint64_t size) : opened(partFile.open(partPath, 0, &digest)) {
    file.size = size;
    file.path = "bin/varnholt";
  }
  FileSink sink() { return FileSink{board, total, partFile, receivedBytes, doneBytes, file, writeFailed}; }
};

// Leaves the process-wide status board as it found it.
struct BoardReset {
  ~BoardReset() {
    board.cancel = false;
    setProgress(board, "", -1.0);
  }
};

uint64_t peakResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6));
  }
  return 0;
}

}  // namespace

TEST(SizeText, RoundsToDecimalMegabytesOrGigabytes) {
  const std::vector<std::pair<uint64_t, std::string>> cases = {
      {0, "1 MB"},
      {499999, "1 MB"},
      {1500000, "2 MB"},
      {2500000, "2 MB"},
      {812000000, "812 MB"},
      {999999999, "1000 MB"},
      {1000000000, "1.00 GB"},
      {1234567890, "1.23 GB"},
      {UINT64_MAX, "18446744073.71 GB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(sizeText(bytes), text) << bytes;
}

TEST(ManifestSink, TakesUpTo8388607BytesAndStopsAt8388608) {
  MisbehavingServer server;
  server.set("/just-fits", R"({"size": 8388607})");
  server.set("/at-limit", R"({"size": 8388608})");
  server.set("/far-over", R"({"size": 20000000})");

  std::string text = "left from an earlier attempt";
  text.clear();
  std::string error;
  EXPECT_TRUE(fetchUrl(server.url() + "just-fits", ManifestSink{text}, error, true)) << error;
  EXPECT_EQ(text.size(), 8388607u);
  EXPECT_TRUE(text == letters(8388607));

  for (const char* path : {"at-limit", "far-over"}) {
    text.clear();
    error.clear();
    EXPECT_FALSE(fetchUrl(server.url() + path, ManifestSink{text}, error, true));
    EXPECT_EQ(error, "stopped") << path;
    // The chunk that reached the limit is kept; nothing after it is taken.
    EXPECT_GE(text.size(), manifestLimit) << path;
    EXPECT_LT(text.size(), manifestLimit + 1048576) << path;
  }
}

TEST(FileSink, WritesHashesCountsAndShowsProgressPerChunk) {
  BoardReset reset;
  const std::string body = letters(3000000);
  MisbehavingServer server;
  server.set("/files/abc", R"({"size": 3000000})");
  TempFolder folder;
  Attempt attempt(folder.path() / "abc.part", body.size());
  attempt.total = 5000000;
  attempt.doneBytes = 1000000;

  std::vector<std::string> details;
  std::vector<double> fractions;
  FileSink sink = attempt.sink();
  std::string error;
  ASSERT_TRUE(fetchUrl(
      server.url() + "files/abc",
      [&](const char* data, size_t length) {
        bool goOn = sink(data, length);
        std::lock_guard<std::mutex> lock(board.mutex);
        details.push_back(board.detail);
        fractions.push_back(board.progress);
        return goOn;
      },
      error, false))
      << error;
  EXPECT_TRUE(attempt.partFile.close());

  EXPECT_EQ(attempt.receivedBytes, body.size());
  EXPECT_FALSE(attempt.writeFailed);
  EXPECT_TRUE(readWhole(folder.path() / "abc.part") == body);
  EXPECT_EQ(finishDigest(attempt.digest), digestOf(body));
  // Progress moved with every chunk, from the bytes done before to the end of this file.
  ASSERT_GT(details.size(), 1u);
  EXPECT_EQ(details.front(), "1 MB of 5 MB");
  EXPECT_EQ(details.back(), "4 MB of 5 MB");
  EXPECT_DOUBLE_EQ(fractions.back(), 0.8);
  for (size_t i = 1; i < fractions.size(); ++i) EXPECT_GT(fractions[i], fractions[i - 1]);
}

TEST(FileSink, ProgressIsWholeWhenNothingIsNeededAndIsNotClamped) {
  BoardReset reset;
  TempFolder folder;
  Attempt attempt(folder.path() / "x.part", 10);
  attempt.total = 0;
  EXPECT_TRUE(attempt.sink()("12345", 5));
  {
    std::lock_guard<std::mutex> lock(board.mutex);
    EXPECT_EQ(board.detail, "1 MB of 1 MB");
    EXPECT_EQ(board.progress, 1.0);
  }
  attempt.total = 4;
  EXPECT_TRUE(attempt.sink()("12345", 5));
  std::lock_guard<std::mutex> lock(board.mutex);
  EXPECT_DOUBLE_EQ(board.progress, 2.5);
}

TEST(FileSink, StopsAtTheChunkThatCrossesTheDeclaredSize) {
  BoardReset reset;
  TempFolder root;
  const std::string body = letters(200000);
  std::filesystem::create_directories(root.path() / "files");
  std::ofstream(root.path() / "files/abc", std::ios::binary) << body;
  MisbehavingServer server(root.path());
  server.set("/files/abc", R"({"transform": "one-byte-long"})");
  TempFolder folder;
  Attempt attempt(folder.path() / "abc.part", body.size());
  attempt.total = body.size();

  std::string error;
  EXPECT_FALSE(fetchUrl(server.url() + "files/abc", attempt.sink(), error, false));
  EXPECT_TRUE(attempt.partFile.close());
  EXPECT_EQ(error, "stopped");
  EXPECT_EQ(attempt.receivedBytes, body.size() + 1);
  EXPECT_TRUE(readWhole(folder.path() / "abc.part") == body + "!");
  EXPECT_FALSE(attempt.writeFailed);
}

TEST(FileSink, TheCancelFlagEndsTheTransferAtTheNextChunkWithoutTouchingThePartFile) {
  BoardReset reset;
  MisbehavingServer server;
  server.set("/files/abc", R"({"size": 5000000})");
  TempFolder folder;
  Attempt attempt(folder.path() / "abc.part", 5000000);
  attempt.total = 5000000;
  FileSink sink = attempt.sink();
  std::string receivedBeforeCancel;
  std::string progressBeforeCancel;
  size_t calls = 0;

  std::string error;
  EXPECT_FALSE(fetchUrl(
      server.url() + "files/abc",
      [&](const char* data, size_t length) {
        ++calls;
        bool goOn = sink(data, length);
        if (calls == 2) {
          // The window thread asks to stop while the second chunk is being handled.
          std::thread([] { board.cancel = true; }).join();
          receivedBeforeCancel = letters(attempt.receivedBytes);
          std::lock_guard<std::mutex> lock(board.mutex);
          progressBeforeCancel = board.detail;
        }
        return goOn;
      },
      error, false));
  EXPECT_TRUE(attempt.partFile.close());
  EXPECT_EQ(error, "stopped");
  EXPECT_EQ(calls, 3u);
  EXPECT_TRUE(readWhole(folder.path() / "abc.part") == receivedBeforeCancel);
  EXPECT_EQ(finishDigest(attempt.digest), digestOf(receivedBeforeCancel));
  EXPECT_FALSE(attempt.writeFailed);
  std::lock_guard<std::mutex> lock(board.mutex);
  EXPECT_EQ(board.detail, progressBeforeCancel);
}

TEST(FileSink, AFullDiskSetsWriteFailedAndStopsTheTransfer) {
  // A 1 MiB tmpfs, mounted in a mount namespace of the child's own.
  if (rerunInChild({}, true)) return;
  BoardReset reset;
  TempFolder folder;
  const std::filesystem::path small = folder.path() / "small";
  TmpfsMount disk(small, "1m");
  ASSERT_TRUE(disk.mounted()) << disk.error();

  MisbehavingServer server;
  server.set("/files/abc", R"({"size": 16000000})");
  uint64_t receivedBytes = 0;
  {
    Attempt attempt(small / "abc.part", 16000000);
    ASSERT_TRUE(attempt.opened);
    attempt.total = 16000000;
    std::string error;
    EXPECT_FALSE(fetchUrl(server.url() + "files/abc", attempt.sink(), error, false));
    EXPECT_EQ(error, "stopped");
    EXPECT_TRUE(attempt.writeFailed);
    EXPECT_FALSE(attempt.partFile.close());
    receivedBytes = attempt.receivedBytes;
  }
  // The transfer ended soon after the disk filled up, not at the end of the file: at most the
  // part file's buffers and one chunk of the library later.
  EXPECT_LE(receivedBytes, 1048576u + PartFile::bufferCount * PartFile::bufferSize + 524288u);
  EXPECT_GT(receivedBytes, 0u);
}

TEST(FileSink, SlowATwoGibFileStreamsThroughWithFlatMemory) {
  // A fresh process, so that its peak resident memory tells what this download needed; a mount
  // namespace of its own for the part file's tmpfs.
  if (rerunInChild({}, true)) return;
  BoardReset reset;
  const uint64_t size = 2147483648;
  TempFolder root;
  std::filesystem::create_directories(root.path() / "files");
  std::ofstream(root.path() / "files/small") << "warm up";
  {
    std::ofstream(root.path() / "files/zeros");
  }
  std::filesystem::resize_file(root.path() / "files/zeros", size);  // sparse: no disk used
  NginxServer server(root.path());

  // The first transfer loads what the library needs once per process.
  std::string warmUp, error;
  ASSERT_TRUE(fetchUrl(server.httpUrl() + "files/small", ManifestSink{warmUp}, error, false)) << error;
  uint64_t before = peakResidentKiB();

  // Written to a tmpfs, whose pages are not the process's: what is measured is the client's
  // memory, and no disk is filled.
  TmpfsMount memoryDisk(root.path() / "staging", "2100m");
  ASSERT_TRUE(memoryDisk.mounted()) << memoryDisk.error();
  Attempt attempt(root.path() / "staging/zeros.part", size);
  ASSERT_TRUE(attempt.opened);
  attempt.total = size;
  ASSERT_TRUE(fetchUrl(server.httpUrl() + "files/zeros", attempt.sink(), error, false)) << error;
  uint64_t after = peakResidentKiB();
  EXPECT_TRUE(attempt.partFile.close());

  EXPECT_EQ(attempt.receivedBytes, size);
  EXPECT_FALSE(attempt.writeFailed);
  EXPECT_EQ(finishDigest(attempt.digest), "f0bf53876150cab4b366e9f3480d5c1a71e45a64ef9b7c9bdc150f1699d41fe8");
  EXPECT_LT(after - before, 4096u) << "peak resident memory rose from " << before << " KiB to " << after << " KiB";
  std::printf("peak resident memory: %llu KiB before, %llu KiB after\n", static_cast<unsigned long long>(before),
              static_cast<unsigned long long>(after));
  std::lock_guard<std::mutex> lock(board.mutex);
  EXPECT_EQ(board.detail, "2.15 GB of 2.15 GB");
}
