// Several files in flight on reused connections, against real servers on loopback: nginx over
// plain HTTP/1.1 and over HTTPS with HTTP/2 behind a proxy that adds a 50 ms round trip, and
// the misbehaving server for cuts, stalls, trickles and failures.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "app/session.h"
#include "download/download.h"
#include "engine/update_plan.h"
#include "tests/engine/release_fixture.h"
#include "tests/support/delaying_proxy.h"
#include "tests/support/rerun.h"
#include "tests/support/servers.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

int portOf(const std::string& url) {
  size_t colon = url.rfind(':');
  return std::atoi(url.c_str() + colon + 1);
}

std::string withPort(const std::string& url, int port) {
  size_t colon = url.rfind(':');
  size_t slash = url.find('/', colon);
  return url.substr(0, colon + 1) + std::to_string(port) + url.substr(slash);
}

TestRelease manySmallFiles(int count) {
  TestRelease release;
  release.files.push_back({"bin/game", "#!/bin/sh\n", true});
  for (int i = 0; i < count; ++i) {
    release.files.push_back({"data/" + std::to_string(i), std::string(16384, static_cast<char>('a' + i % 26)) +
                                                              std::to_string(i)});
  }
  return release;
}

// The most requests that reached nginx within 25 ms, half the round trip: one after the other,
// each would come a whole round trip after the previous one.
size_t mostWithinHalfARoundTrip(const std::vector<ServedRequest>& served) {
  size_t most = 0;
  for (const ServedRequest& a : served) {
    size_t near = 0;
    for (const ServedRequest& b : served) {
      if (b.start >= a.start && b.start < a.start + 0.025) ++near;
    }
    most = std::max(most, near);
  }
  return most;
}

std::string fileHash(const TestRelease& release, const std::string& path) {
  for (const GameFile& file : release.files) {
    if (file.path == path) return contentDigest(file.content);
  }
  return "";
}

class ParallelDownload : public ::testing::Test {
 protected:
  fs::path install() const { return sandbox.path() / "game"; }
  fs::path staging() const { return install() / ".staging"; }

  TempFolder sandbox;
  TempFolder serverRoot;
};

TEST_F(ParallelDownload, FilesOverlapOnAFewReusedConnectionsBehindA50MsRoundTrip) {
  ProcessOptions https;
  https.trustedCa = testCertificates().caCertificate.string();
  if (rerunInChild(https)) return;

  const TestRelease release = manySmallFiles(40);
  publishTestRelease(serverRoot.path() / "linux", release);
  NginxServer server(serverRoot.path());
  struct Case {
    const char* name;
    std::string url;
    const char* protocol;
    size_t mostConnections;  // the check and the apply together
  };
  const std::vector<Case> cases = {
      {"plain HTTP/1.1", server.httpUrl(), "HTTP/1.1", TransferEngine::connectionsPerHost},
      {"HTTPS with HTTP/2", server.httpsUrl(), "HTTP/2.0", 1},
  };
  for (const Case& c : cases) {
    const size_t servedBefore = server.servedRequests().size();
    DelayingProxy proxy(portOf(c.url), 25);
    const fs::path folder = sandbox.path() / c.name;
    resetBoard(folder, sandbox.path() / "log");
    board.options.source = withPort(c.url, proxy.port()) + "linux/";
    std::string error;
    const auto start = Clock::now();
    ASSERT_TRUE(checkForUpdate(board, error)) << c.name << ": " << error;
    ASSERT_TRUE(applyUpdate(board, error)) << c.name << ": " << error;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    closeLog();
    EXPECT_EQ(withoutStaging(snapshotTree(folder)).size(), snapshotTree(folder).size()) << c.name;
    EXPECT_EQ(fileDigest(folder / "data/7"), fileHash(release, "data/7")) << c.name;

    std::vector<ServedRequest> served = server.servedRequests();
    served.erase(served.begin(), served.begin() + static_cast<long>(servedBefore));
    ASSERT_EQ(served.size(), release.files.size() + 1) << c.name;
    for (const ServedRequest& request : served) EXPECT_EQ(request.protocol, c.protocol) << c.name;
    EXPECT_LE(proxy.acceptedConnections(), c.mostConnections) << c.name;
    EXPECT_GE(mostWithinHalfARoundTrip(served), 4u) << c.name;
    // One after the other, 41 requests cost at least 41 round trips (2 s) on top of the
    // handshakes; in flight together they take a fraction of that.
    EXPECT_LT(seconds, 1.5) << c.name;
  }
}

TEST_F(ParallelDownload, TheErrorIsThatOfTheFirstFileInManifestOrderThatFailed) {
  TestRelease release = manySmallFiles(6);
  release.files[2].content = std::string(3000000, 'x');
  publishTestRelease(serverRoot.path() / "linux", release);
  MisbehavingServer server(serverRoot.path());
  // The earlier file fails slowly (three whole wrong downloads), the later one at once.
  server.set("/linux/files/" + fileHash(release, "data/1"), R"({"transform": "wrong-bytes"})");
  fs::remove(serverRoot.path() / "linux/files" / fileHash(release, "data/3"));

  resetBoard(install(), sandbox.path() / "log");
  board.options.source = server.url() + "linux/";
  std::string error;
  ASSERT_TRUE(checkForUpdate(board, error)) << error;
  EXPECT_FALSE(applyUpdate(board, error));
  closeLog();
  EXPECT_EQ(error, "The download failed: a file did not match the release: data/1");
  EXPECT_EQ(server.requestCount("/linux/files/" + fileHash(release, "data/1")), 3u);
  // Files completed before the failure stay staged for the next run.
  EXPECT_EQ(fileDigest(staging() / fileHash(release, "bin/game")), fileHash(release, "bin/game"));
  EXPECT_EQ(fileDigest(staging() / fileHash(release, "data/0")), fileHash(release, "data/0"));
}

TEST_F(ParallelDownload, ACutOffFileContinuesWhereItBrokeOffOrStartsAgain) {
  TestRelease release;
  release.files = {{"bin/game", std::string(200000, 'g') + "end", true}};
  publishTestRelease(serverRoot.path() / "linux", release);
  const std::string path = "/linux/files/" + fileHash(release, "bin/game");
  struct Case {
    const char* name;
    const char* behaviour;
    std::string secondRange;
  };
  const std::vector<Case> cases = {
      {"ranges honoured", R"({"cutFirst": 70000, "ranges": true})", "bytes=70000-"},
      {"ranges ignored", R"({"cutFirst": 70000})", "bytes=70000-"},
  };
  for (const Case& c : cases) {
    MisbehavingServer server(serverRoot.path());
    server.set(path, c.behaviour);
    const fs::path folder = sandbox.path() / c.name;
    resetBoard(folder, sandbox.path() / "log");
    board.options.source = server.url() + "linux/";
    std::string error;
    ASSERT_TRUE(checkForUpdate(board, error)) << c.name << ": " << error;
    ASSERT_TRUE(applyUpdate(board, error)) << c.name << ": " << error;
    closeLog();
    EXPECT_EQ(fileDigest(folder / "bin/game"), fileHash(release, "bin/game")) << c.name;
    std::vector<RecordedRequest> requests;
    for (const RecordedRequest& request : server.requests()) {
      if (request.path == path) requests.push_back(request);
    }
    ASSERT_EQ(requests.size(), 2u) << c.name;
    EXPECT_FALSE(requests[0].hasHeader("Range")) << c.name;
    EXPECT_EQ(requests[1].header("Range"), c.secondRange) << c.name;
  }
}

TEST_F(ParallelDownload, AKillWhileFilesAreInFlightIsFollowedByARunThatContinuesThem) {
  TestRelease release;
  release.files.push_back({"bin/game", "#!/bin/sh\n", true});
  for (int i = 0; i < 4; ++i) release.files.push_back({"paks/" + std::to_string(i), std::string(2000000, 'A' + i)});
  publishTestRelease(serverRoot.path() / "linux", release);
  MisbehavingServer server(serverRoot.path());
  for (int i = 0; i < 4; ++i) {
    server.set("/linux/files/" + fileHash(release, "paks/" + std::to_string(i)),
               R"({"stallAfter": 1048576, "ranges": true})");
  }
  const std::vector<std::string> arguments = {"--quiet", "--no-register", "--dir", install().string(),
                                              "--source", server.url() + "linux/"};
  const int pid = startSetup(sandbox.path(), arguments);
  // The part files are written in buffers of 512 KiB: two full ones of each file reached the
  // disk when all four part files hold 1 MiB.
  auto allStalled = [&] {
    for (int i = 0; i < 4; ++i) {
      std::error_code ec;
      const fs::path part = staging() / (fileHash(release, "paks/" + std::to_string(i)) + ".part");
      if (fs::file_size(part, ec) != 1048576 || ec) return false;
    }
    return true;
  };
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (!allStalled() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(allStalled());
  kill(pid, SIGKILL);
  EXPECT_EQ(waitProcess(pid).signal, SIGKILL);

  for (int i = 0; i < 4; ++i) server.set("/linux/files/" + fileHash(release, "paks/" + std::to_string(i)), R"({"ranges": true})");
  SetupRun again = runSetup(sandbox.path(), arguments);
  ASSERT_EQ(again.exitCode, 0) << again.output;
  TreeSnapshot expected = releaseTree(release);
  EXPECT_EQ(withoutStaging(snapshotTree(install())).count("paks/3"), 1u);
  for (const auto& [path, description] : expected) EXPECT_EQ(snapshotTree(install())[path], description) << path;
  // The second run asked only for the rest of each large file.
  for (int i = 0; i < 4; ++i) {
    const std::string path = "/linux/files/" + fileHash(release, "paks/" + std::to_string(i));
    std::vector<RecordedRequest> requests;
    for (const RecordedRequest& request : server.requests()) {
      if (request.path == path) requests.push_back(request);
    }
    ASSERT_EQ(requests.size(), 2u) << path;
    EXPECT_EQ(requests[1].header("Range"), "bytes=1048576-") << path;
  }
}

// Runs job on a thread, waits until the server has been asked for path and what it sends
// has had time to arrive, sets the cancel flag and measures until the job returns.
double secondsToCancel(MisbehavingServer& server, const std::string& path, const std::function<bool(std::string&)>& job,
                       std::string& error) {
  bool result = true;
  std::thread worker([&] { result = job(error); });
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (server.requestCount(path) == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto cancelled = Clock::now();
  board.cancel = true;
  worker.join();
  EXPECT_FALSE(result);
  return std::chrono::duration<double>(Clock::now() - cancelled).count();
}

TEST_F(ParallelDownload, ACancelEndsEveryTransferWithin200MsWhileTheServerIsSilentOrTrickles) {
  TestRelease release;
  release.files = {{"bin/game", std::string(5000, 'g'), true}, {"a", std::string(5000, 'a')}};
  publishTestRelease(serverRoot.path() / "linux", release);
  const std::vector<const char*> behaviours = {R"({"stallAfter": 10})", R"({"trickleAfter": 10})"};
  for (const char* behaviour : behaviours) {
    MisbehavingServer server(serverRoot.path());
    const std::string file = "/linux/files/" + fileHash(release, "bin/game");
    server.set(file, behaviour);
    resetBoard(install(), sandbox.path() / "log");
    board.options.source = server.url() + "linux/";
    std::string error;
    ASSERT_TRUE(checkForUpdate(board, error)) << error;
    auto apply = [](std::string& e) { return applyUpdate(board, e); };
    EXPECT_LT(secondsToCancel(server, file, apply, error), 0.2) << behaviour;
    EXPECT_EQ(error, "Cancelled.") << behaviour;

    server.set("/linux/latest.manifest", behaviour);
    resetBoard(install(), sandbox.path() / "log");
    board.options.source = server.url() + "linux/";
    auto check = [](std::string& e) { return checkForUpdate(board, e); };
    EXPECT_LT(secondsToCancel(server, "/linux/latest.manifest", check, error), 0.2) << behaviour;
    EXPECT_EQ(error, "Cancelled.") << behaviour;
    closeLog();
  }
}

TEST(RedirectScheme, AnHttpsSourceIsNotFollowedToPlainHttp) {
  ProcessOptions https;
  https.trustedCa = testCertificates().caCertificate.string();
  if (rerunInChild(https)) return;
  TempFolder root;
  NginxServer server(root.path());
  std::string error;
  EXPECT_FALSE(fetchUrl(server.httpsUrl() + ".varnholt-to-http", [](const char*, size_t) { return true; }, error, false));
  EXPECT_EQ(error, "could not reach the server (Unsupported protocol)");
  // The same redirect from plain HTTP to plain HTTP is followed.
  EXPECT_TRUE(fetchUrl(server.httpUrl() + ".varnholt-to-http", [](const char*, size_t) { return true; }, error, false) ||
              error == "the server answered 204 for " + server.httpUrl() + ".varnholt-to-http");
}

}  // namespace

namespace {

// A windowless run shows its progress line only where a person reads it: on a terminal (here a
// pseudo-terminal that script(1) gives it), and nowhere when standard error is a pipe.
TEST(TerminalProgressLine, AppearsOnATerminalOnlyAndLeavesLogAndExitCodeAlone) {
  TempFolder sandbox;
  TempFolder serverRoot;
  TestRelease release;
  release.files = {{"bin/game", "#!/bin/sh\n", true}, {"data/pak", std::string(3000000, 'p')}};
  publishTestRelease(serverRoot.path() / "linux", release);
  NginxServer server(serverRoot.path());
  struct Case {
    const char* name;
    bool terminal;
  };
  for (const Case& c : {Case{"pipe", false}, Case{"terminal", true}}) {
    const fs::path install = sandbox.path() / c.name / "game";
    const fs::path log = sandbox.path() / c.name / "setup.log";
    fs::create_directories(log.parent_path());
    std::vector<std::string> argv = {VARNHOLT_SETUP_PATH, "--quiet", "--no-register", "--dir", install.string(),
                                     "--source", server.httpUrl() + "linux/", "--log", log.string()};
    if (c.terminal) {
      std::string command;
      for (const std::string& word : argv) command += "'" + word + "' ";
      argv = {"script", "-qfec", command, "/dev/null"};
    }
    ProcessOptions options;
    options.env = setupEnvironment(sandbox.path());
    ProcessResult result = runProcess(argv, options);
    EXPECT_EQ(result.exitCode, 0) << c.name << ": " << result.output;
    const bool shown = result.output.find("3 MB of 3 MB, ") != std::string::npos &&
                       result.output.find(" MB/s, 0:00 left\x1b[K") != std::string::npos;
    EXPECT_EQ(shown, c.terminal) << c.name << ": " << result.output;
    if (!c.terminal) {
      EXPECT_EQ(result.output, "") << c.name;
    }
    const std::vector<std::string> lines = linesOf(readText(log));
    ASSERT_FALSE(lines.empty()) << c.name;
    EXPECT_EQ(lines.back(), "installed 1.0") << c.name;
  }
}

}  // namespace
