// Updates of large files by their changed blocks, against real servers on loopback: the
// misbehaving server (which records every Range header) for what is fetched and for servers
// that get ranges wrong, nginx for the real thing, and a kill of the real program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "app/session.h"
#include "download/download.h"
#include "engine/update_plan.h"
#include "release/block_index.h"
#include "tests/engine/release_fixture.h"
#include "tests/support/rerun.h"
#include "tests/support/servers.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t oldSize = 2097152;
constexpr uint64_t block = defaultIndexBlock;

std::string randomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xff);
  return bytes;
}

TestRelease gameWith(const std::string& pak, const std::string& version) {
  TestRelease release;
  release.version = version;
  release.files = {{"bin/game", "#!/bin/sh\n", true}, {"data/pak.dat", pak}};
  return release;
}

std::string indexOf(const fs::path& file, uint32_t blockSize = defaultIndexBlock) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  std::string index;
  std::string error;
  EXPECT_TRUE(makeBlockIndex(fd, blockSize, defaultStrongSum, index, error)) << error;
  ::close(fd);
  return index;
}

// The release as publishing lays it out: files, their block indexes, the manifest.
void publishWithIndexes(const fs::path& linuxFolder, const TestRelease& release,
                        uint32_t blockSize = defaultIndexBlock) {
  publishTestRelease(linuxFolder, release);
  for (const GameFile& file : release.files) {
    if (file.content.size() < blockIndexThreshold) continue;
    const fs::path stored = linuxFolder / "files" / contentDigest(file.content);
    writeText(fs::path(stored.string() + ".blocks"), indexOf(stored, blockSize));
  }
}

struct Asked {
  size_t wholeFiles = 0;   // GETs without a Range header
  size_t ranges = 0;
  uint64_t rangeBytes = 0;
};

Asked askedFor(const MisbehavingServer& server, const std::string& path) {
  Asked asked;
  for (const RecordedRequest& request : server.requests()) {
    if (request.path != path) continue;
    if (!request.hasHeader("Range")) {
      ++asked.wholeFiles;
      continue;
    }
    ++asked.ranges;
    unsigned long long first = 0;
    unsigned long long last = 0;
    if (std::sscanf(request.header("Range").c_str(), "bytes=%llu-%llu", &first, &last) == 2) {
      asked.rangeBytes += last + 1 - first;
    }
  }
  return asked;
}

bool holdsPartFiles(const fs::path& folder) {
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder, ec); !ec && it != fs::recursive_directory_iterator(); ++it) {
    if (it->path().extension() == ".part") return true;
  }
  return false;
}

class ChangedBlocks : public ::testing::Test {
 protected:
  // Installs oldPak's release in folder, serves newPak's from serverFolder through server, and
  // updates in this process. True when the update succeeded with the new file in place.
  void update(const fs::path& folder, const std::string& source, const std::string& oldPak,
              const std::string& newPak, const std::function<void()>& beforeUpdate = {}) {
    placeRelease(folder, gameWith(oldPak, "1.0"));
    if (beforeUpdate) beforeUpdate();
    resetBoard(folder, sandbox.path() / "log");
    board.options.source = source;
    std::string error;
    ASSERT_TRUE(checkForUpdate(board, error)) << error;
    ASSERT_EQ(board.neededFiles.size(), 1u);
    uint64_t lastShown = 0;
    bool ranBack = false;
    ApplyContext watched;
    watched.downloadWatcher = [&](uint64_t done, uint64_t needed) {
      ranBack = ranBack || done < lastShown || done > needed;
      lastShown = done;
    };
    ASSERT_TRUE(applyUpdate(board, error, watched)) << error;
    closeLog();
    EXPECT_FALSE(ranBack);
    EXPECT_EQ(lastShown, newPak.size());  // the bar ends at the whole size, copied or fetched
    EXPECT_EQ(fileDigest(folder / "data/pak.dat"), contentDigest(newPak));
    EXPECT_FALSE(holdsPartFiles(folder));
  }

  TempFolder sandbox;
};

TEST_F(ChangedBlocks, OnlyTheBlocksTheInstalledFileLacksAreFetched) {
  const std::string old = randomBytes(oldSize, 1);
  std::string scattered = old;
  for (size_t at : {size_t{3000}, size_t{700000}, size_t{1500000}}) scattered[at] ^= 0x5a;
  // Every block found apart from the others: more runs than may wait to be copied at a time.
  // The missing first block is asked for while the scan goes on, with the blocks before the
  // last ones found, which the seed holds further on; that costs at most 1/32 of the file.
  std::string reversed;
  for (size_t at = oldSize; at > 0; at -= block) reversed += old.substr(at - block, block);
  reversed[100] ^= 0x5a;
  struct Case {
    const char* name;
    std::string newPak;
    size_t wholeFiles;
    uint64_t mostRangeBytes;
    std::function<void(const fs::path&)> beforeUpdate;
    uint32_t blockSize = block;
  };
  const std::vector<Case> cases = {
      {"scattered blocks changed", scattered, 0, 3 * block, {}},
      {"an insertion near the start", old.substr(0, 100) + randomBytes(1000, 2) + old.substr(100), 0, block, {}},
      {"appended data", old + randomBytes(100000, 3), 0, 100000 + block, {}},
      {"truncation", old.substr(0, 1572864 + 17), 0, 17, {}},
      {"the blocks in reverse order", reversed, 0, oldSize / 32, {}},
      {"a seed that shares nothing", randomBytes(oldSize, 4), 1, 0, {}},
      // A link to a copy outside the install folder is not the installed file.
      {"a link at the installed file's path", scattered, 1, 0,
       [&old](const fs::path& folder) {
         writeText(folder.parent_path() / "outside.dat", old);
         fs::remove(folder / "data/pak.dat");
         fs::create_symlink(folder.parent_path() / "outside.dat", folder / "data/pak.dat");
       }},
      // The installed file is gone; what an interrupted run left of the new one stands in.
      {"a leftover part file", scattered, 0, oldSize - 1048576,
       [&scattered](const fs::path& folder) {
         fs::remove(folder / "data/pak.dat");
         writeText(folder / ".staging" / (contentDigest(scattered) + ".part"), scattered.substr(0, 1048576));
       }},
      // The installed file is not the installed release's: never taken as a seed.
      {"a seed of another size", scattered, 1, 0,
       [&old](const fs::path& folder) { writeText(folder / "data/pak.dat", old + "player's byte"); }},
      // Blocks larger than what is copied at a time, found off their bounds in the seed; the
      // short last block follows the one before it there.
      {"mebibyte blocks after an insertion", randomBytes(1000, 10) + old, 0, largestIndexBlock, {},
       largestIndexBlock},
      {"mebibyte blocks with appended data", old + randomBytes(100000, 11), 0, 100000, {}, largestIndexBlock},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path tree = sandbox.path() / c.name / "server";
    publishWithIndexes(tree / "linux", gameWith(c.newPak, "2.0"), c.blockSize);
    MisbehavingServer server(tree);
    const std::string path = "/linux/files/" + contentDigest(c.newPak);
    server.set(path, R"({"ranges": true})");
    const fs::path folder = sandbox.path() / c.name / "game";
    update(folder, server.url() + "linux/", old, c.newPak, [&] {
      if (c.beforeUpdate) c.beforeUpdate(folder);
    });
    const Asked asked = askedFor(server, path);
    EXPECT_EQ(asked.wholeFiles, c.wholeFiles);
    EXPECT_LE(asked.rangeBytes, c.mostRangeBytes);
    if (c.wholeFiles == 0) {
      EXPECT_GE(asked.ranges, 1u);
    }
  }
}

TEST_F(ChangedBlocks, AnythingShortOfASoundFileEndsInAFullDownloadWithoutAnError) {
  const std::string old = randomBytes(oldSize, 5);
  std::string newPak = old;
  newPak[1000000] ^= 1;
  const std::string path = "/linux/files/" + contentDigest(newPak);
  struct Case {
    const char* name;
    std::string fileBehaviour;
    std::string indexBehaviour;  // "" serves the published index
    bool rangesAsked;
  };
  const std::vector<Case> cases = {
      {"a server that ignores ranges", "{}", "", true},
      {"a range cut off", R"({"ranges": true, "cutRanges": 1000})", "", true},
      {"less than the range", R"({"ranges": true, "shortRanges": 1000})", "", true},
      // The index of the old file: every block seems to be there, and the digest tells.
      {"an index that lies", R"({"ranges": true})", R"({"file": "lying.blocks"})", false},
      {"no index", R"({"ranges": true})", R"({"status": 404})", false},
      {"a malformed index", R"({"ranges": true})", R"({"body": "VHBLKIDX and nothing else"})", false},
      {"an index longer than any of this file", R"({"ranges": true})",
       R"({"size": )" + std::to_string(blockIndexLimit(newPak.size()) + 1) + "}", false},
      {"an index error page", R"({"ranges": true})", R"({"status": 500})", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path tree = sandbox.path() / c.name / "server";
    publishWithIndexes(tree / "linux", gameWith(newPak, "2.0"));
    {
      // The lying index: the old file's sums under the new file's size.
      const fs::path oldFile = sandbox.path() / c.name / "old.dat";
      writeText(oldFile, old);
      writeText(tree / "lying.blocks", indexOf(oldFile));
    }
    MisbehavingServer server(tree);
    server.set(path, c.fileBehaviour);
    if (!c.indexBehaviour.empty()) server.set(path + ".blocks", c.indexBehaviour);
    update(sandbox.path() / c.name / "game", server.url() + "linux/", old, newPak);
    const Asked asked = askedFor(server, path);
    EXPECT_EQ(asked.wholeFiles, 1u);
    EXPECT_EQ(asked.ranges >= 1, c.rangesAsked);
    EXPECT_EQ(server.requestCount(path + ".blocks"), 1u);
  }
}

// The digest is taken as the part file fills, so a byte must never change after it is written:
// a range that spans found blocks to join its neighbours brings them again, and what it brings
// for them is dropped. A server that sends other bytes there changes nothing.
TEST_F(ChangedBlocks, RangesNeverOverwriteTheBlocksCopiedFromTheSeed) {
  const std::string old = randomBytes(oldSize, 12);
  // A new head too long to be asked for while the scan goes on: the ranges are planned at its
  // end, and the one for blocks 64 to 67 spans the two found between them.
  std::string newPak = randomBytes(64 * block, 13) + old.substr(64 * block);
  newPak[64 * block + 100] ^= 1;
  newPak[67 * block + 100] ^= 1;
  std::string forged = newPak;
  for (size_t at = 65 * block; at < 67 * block; ++at) forged[at] ^= 0x33;
  const fs::path tree = sandbox.path() / "server";
  publishWithIndexes(tree / "linux", gameWith(newPak, "2.0"));
  writeText(tree / "forged.dat", forged);
  MisbehavingServer server(tree);
  const std::string path = "/linux/files/" + contentDigest(newPak);
  server.set(path, R"({"ranges": true, "file": "forged.dat"})");
  update(sandbox.path() / "game", server.url() + "linux/", old, newPak);
  const Asked asked = askedFor(server, path);
  EXPECT_EQ(asked.wholeFiles, 0u);
  EXPECT_EQ(asked.rangeBytes, 68 * block);  // the forged blocks were asked for, and dropped
}

TEST_F(ChangedBlocks, NginxServesTheRangesAndAFirstInstallFromTheSameTreeTakesWholeFiles) {
  ProcessOptions https;
  https.trustedCa = testCertificates().caCertificate.string();
  if (rerunInChild(https)) return;
  const std::string old = randomBytes(oldSize, 6);
  const std::string newPak = old.substr(0, 500000) + randomBytes(20000, 7) + old.substr(500000);
  TempFolder serverRoot;
  publishWithIndexes(serverRoot.path() / "linux", gameWith(newPak, "2.0"));
  NginxServer server(serverRoot.path());
  const std::string indexPath = "/linux/files/" + contentDigest(newPak) + ".blocks";
  for (const std::string& url : {server.httpUrl(), server.httpsUrl()}) {
    SCOPED_TRACE(url);
    update(sandbox.path() / url.substr(0, 5) / "update", url + "linux/", old, newPak);
    std::vector<std::string> paths = server.requestedPaths();
    EXPECT_NE(std::find(paths.begin(), paths.end(), indexPath), paths.end());

    // No installed release: nothing to build on, the files come whole, the index is not asked for.
    const fs::path fresh = sandbox.path() / url.substr(0, 5) / "fresh";
    resetBoard(fresh, sandbox.path() / "log");
    board.options.source = url + "linux/";
    const size_t before = server.requestedPaths().size();
    std::string error;
    ASSERT_TRUE(checkForUpdate(board, error)) << error;
    ASSERT_TRUE(applyUpdate(board, error)) << error;
    closeLog();
    EXPECT_EQ(fileDigest(fresh / "data/pak.dat"), contentDigest(newPak));
    paths = server.requestedPaths();
    EXPECT_EQ(std::count(paths.begin() + static_cast<long>(before), paths.end(), indexPath), 0);
  }
}

TEST_F(ChangedBlocks, ACancelWhileRangesAreInFlightEndsTheRunAtOnce) {
  const std::string old = randomBytes(oldSize, 9);
  std::string newPak = old;
  newPak[5000] ^= 1;
  const fs::path tree = sandbox.path() / "server";
  publishWithIndexes(tree / "linux", gameWith(newPak, "2.0"));
  MisbehavingServer server(tree);
  const std::string path = "/linux/files/" + contentDigest(newPak);
  server.set(path, R"({"ranges": true, "stallAfter": 10})");
  const fs::path folder = sandbox.path() / "game";
  placeRelease(folder, gameWith(old, "1.0"));
  resetBoard(folder, sandbox.path() / "log");
  board.options.source = server.url() + "linux/";
  std::string error;
  ASSERT_TRUE(checkForUpdate(board, error)) << error;
  bool result = true;
  std::thread worker([&] { result = applyUpdate(board, error); });
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (askedFor(server, path).ranges == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const auto cancelled = Clock::now();
  board.cancel = true;
  worker.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - cancelled).count();
  closeLog();
  board.cancel = false;
  EXPECT_FALSE(result);
  EXPECT_EQ(error, "Cancelled.");
  EXPECT_LT(seconds, 1.0);  // the transfers are polled every 20 ms
  EXPECT_EQ(askedFor(server, path).wholeFiles, 0u);
  EXPECT_EQ(fileDigest(folder / "data/pak.dat"), contentDigest(old));
}

TEST_F(ChangedBlocks, AKillWhileRangesAreInFlightIsFollowedByAConsistentRun) {
  const std::string old = randomBytes(oldSize, 8);
  std::string newPak = old;
  for (size_t at = 0; at < newPak.size(); at += 300000) newPak[at] ^= 1;
  const fs::path tree = sandbox.path() / "server";
  publishWithIndexes(tree / "linux", gameWith(newPak, "2.0"));
  MisbehavingServer server(tree);
  const std::string path = "/linux/files/" + contentDigest(newPak);
  server.set(path, R"({"ranges": true, "stallAfter": 100})");
  const fs::path folder = sandbox.path() / "game";
  placeRelease(folder, gameWith(old, "1.0"));

  const std::vector<std::string> arguments = {"--quiet", "--no-register", "--dir", folder.string(),
                                              "--source", server.url() + "linux/"};
  const int pid = startSetup(sandbox.path(), arguments);
  // Seven changed blocks far apart: seven ranges, all in flight at once and all stalled, so
  // that none of the killed run's requests arrives after the count below.
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (askedFor(server, path).ranges < 7 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(askedFor(server, path).ranges, 7u);
  kill(pid, SIGKILL);
  EXPECT_EQ(waitProcess(pid).signal, SIGKILL);
  // The game is untouched: the update was still in the staging folder.
  EXPECT_EQ(fileDigest(folder / "data/pak.dat"), contentDigest(old));

  server.set(path, R"({"ranges": true})");
  const Asked before = askedFor(server, path);
  SetupRun again = runSetup(sandbox.path(), arguments);
  ASSERT_EQ(again.exitCode, 0) << again.output;
  EXPECT_EQ(fileDigest(folder / "data/pak.dat"), contentDigest(newPak));
  EXPECT_FALSE(holdsPartFiles(folder));
  const Asked after = askedFor(server, path);
  EXPECT_EQ(after.wholeFiles, before.wholeFiles);
  EXPECT_EQ(after.rangeBytes - before.rangeBytes, 7 * block);
}

}  // namespace
