#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <sodium.h>

#include "release/release.h"
#include "tests/support/rerun.h"
#include "tests/support/temp_folder.h"

namespace {

constexpr size_t mebibyte = 1024 * 1024;

std::string randomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xff);
  return bytes;
}

void writeBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  ASSERT_TRUE(out.good());
}

// The lines a shell command prints.
std::vector<std::string> linesOf(const std::string& command) {
  std::vector<std::string> lines;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return {"popen failed"};
  char line[4096];
  while (std::fgets(line, sizeof line, pipe)) {
    std::string text = line;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    lines.push_back(text);
  }
  int status = pclose(pipe);
  if (status != 0) lines.push_back("exit status " + std::to_string(status) + " from " + command);
  return lines;
}

std::string pythonProgram() {
  std::error_code ec;
  return std::filesystem::exists("/usr/bin/python3", ec) ? "/usr/bin/python3" : "python3";
}

std::string digestOfBytes(const std::string& bytes) {
  DigestStream stream;
  stream.add(bytes.data(), bytes.size());
  return finishDigest(stream);
}

TEST(FileDigest, KnownAnswers) {
  EXPECT_EQ(digestOfBytes(""), "0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8");
  EXPECT_EQ(digestOfBytes("abc"), "bddd813c634239723171ef3fee98579b94964e3bb1cb3e427262c8c068d52319");
}

// The programs leave libsodium uninitialised, so BLAKE2b runs its portable code; sodium_init
// switches it to the vectorised one. Both must give b2sum's and Python's digests. The
// initialised path runs in a child process, so that every other test keeps the shipped one.
class FileDigestPath : public testing::TestWithParam<bool> {};

TEST_P(FileDigestPath, AgreesWithB2sumAndPythonAcrossBufferBoundaries) {
  const bool initialised = GetParam();
  if (initialised) {
    if (rerunInChild()) return;
    ASSERT_GE(sodium_init(), 0);
  }
  TempFolder folder;
  const std::vector<size_t> sizes = {0, 1, mebibyte - 1, mebibyte, mebibyte + 1, 2 * mebibyte + mebibyte / 2};
  std::vector<std::string> digests;
  std::string fileArguments;
  for (size_t size : sizes) {
    SCOPED_TRACE(size);
    std::filesystem::path file = folder.path() / ("data-" + std::to_string(size));
    std::string bytes = randomBytes(size, static_cast<unsigned>(size));
    writeBytes(file, bytes);
    std::string digest = fileDigest(file);
    ASSERT_EQ(digest.size(), 64u);
    EXPECT_EQ(digest.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(digest, digestOfBytes(bytes));
    digests.push_back(digest);
    fileArguments += " '" + file.string() + "'";
  }
  std::vector<std::string> fromB2sum = linesOf("b2sum -l 256" + fileArguments);
  std::vector<std::string> fromPython = linesOf(
      pythonProgram() + " -c 'import hashlib, sys\n"
      "for name in sys.argv[1:]: print(hashlib.blake2b(open(name, \"rb\").read(), digest_size=32).hexdigest())'" +
      fileArguments);
  ASSERT_EQ(fromB2sum.size(), sizes.size()) << fromB2sum.back();
  ASSERT_EQ(fromPython.size(), sizes.size()) << fromPython.back();
  for (size_t i = 0; i < sizes.size(); ++i) {
    SCOPED_TRACE(sizes[i]);
    EXPECT_EQ(fromB2sum[i], digests[i] + "  " + (folder.path() / ("data-" + std::to_string(sizes[i]))).string());
    EXPECT_EQ(fromPython[i], digests[i]);
  }
}

INSTANTIATE_TEST_SUITE_P(Shipped, FileDigestPath, testing::Values(false));
INSTANTIATE_TEST_SUITE_P(Initialised, FileDigestPath, testing::Values(true));

TEST(FileDigest, StreamsInAnyChunkSizesMatchTheFile) {
  TempFolder folder;
  const std::string bytes = randomBytes(2 * mebibyte + 12345, 99);
  std::filesystem::path file = folder.path() / "whole";
  writeBytes(file, bytes);
  const std::string expected = fileDigest(file);
  ASSERT_EQ(expected.size(), 64u);
  const std::vector<std::vector<size_t>> patterns = {
      {1}, {7}, {127, 0, 3}, {4093}, {65537}, {mebibyte + 3}, {mebibyte, 1}, {bytes.size()}};
  for (const std::vector<size_t>& pattern : patterns) {
    SCOPED_TRACE(pattern.front());
    DigestStream stream;
    size_t at = 0;
    for (size_t step = 0; at < bytes.size(); ++step) {
      size_t length = std::min(pattern[step % pattern.size()], bytes.size() - at);
      stream.add(bytes.data() + at, length);
      at += length;
    }
    EXPECT_EQ(finishDigest(stream), expected);
  }
}

TEST(FileDigest, GivesEmptyTextForWhatCannotBeRead) {
  TempFolder folder;
  EXPECT_EQ(fileDigest(folder.path() / "missing"), "");
  EXPECT_EQ(fileDigest(folder.path()), "");  // a folder opens but does not read
  // Neither a FIFO without a writer (whose open would wait) nor an endless device is a file.
  ASSERT_EQ(mkfifo((folder.path() / "fifo").c_str(), 0644), 0);
  EXPECT_EQ(fileDigest(folder.path() / "fifo"), "");
  EXPECT_EQ(fileDigest("/dev/zero"), "");
  EXPECT_EQ(fileDigest("/dev/null"), "");
  std::filesystem::create_symlink("missing", folder.path() / "dangling");
  EXPECT_EQ(fileDigest(folder.path() / "dangling"), "");
  // Reading /proc/self/mem at offset 0 fails with EIO: a read error, not the end of the file.
  EXPECT_EQ(fileDigest("/proc/self/mem"), "");
}

}  // namespace
