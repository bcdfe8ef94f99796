#include "download/download.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <stdexcept>

#include "tests/support/net.h"
#include "tests/support/servers.h"
#include "tests/support/temp_folder.h"

namespace {

struct Received {
  std::string body;
  size_t chunks = 0;
};

ByteSink collectInto(Received& received) {
  return [&received](const char* data, size_t length) {
    received.body.append(data, length);
    ++received.chunks;
    return true;
  };
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// The bytes the misbehaving server generates for "size": the letters a-z over and over.
std::string letters(size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text += static_cast<char>('a' + i % 26);
  return text;
}

const std::string fileBytes = "the bytes of one release file\n";

}  // namespace

TEST(DownloadLocations, AreTheSourceFollowedByTheFixedNames) {
  EXPECT_EQ(manifestUrl("https://releases.example/linux/"), "https://releases.example/linux/latest.manifest");
  EXPECT_EQ(fileUrl("https://releases.example/linux/", "AB12cd"), "https://releases.example/linux/files/AB12cd");
  EXPECT_EQ(manifestUrl(""), "latest.manifest");
  EXPECT_EQ(fileUrl("", "ab12"), "files/ab12");
}

TEST(CaBundle, TheFirstExistingCandidateIsChosen) {
  TempFolder folder;
  const std::filesystem::path& dir = folder.path();
  writeFile(dir / "present.pem", "certificates");
  writeFile(dir / "other.pem", "certificates");
  std::filesystem::create_directory(dir / "folder");
  std::filesystem::create_symlink(dir / "nothing", dir / "dangling.pem");
  std::filesystem::create_symlink(dir / "present.pem", dir / "link.pem");

  struct Case {
    const char* name;
    std::vector<std::filesystem::path> candidates;
    std::filesystem::path chosen;
  };
  const std::vector<Case> cases = {
      {"first missing, second present", {dir / "missing.pem", dir / "present.pem"}, dir / "present.pem"},
      {"first present wins", {dir / "other.pem", dir / "present.pem"}, dir / "other.pem"},
      {"none present", {dir / "missing.pem", dir / "missing2.pem"}, {}},
      {"a directory counts", {dir / "missing.pem", dir / "folder", dir / "present.pem"}, dir / "folder"},
      {"a dangling link does not count", {dir / "dangling.pem", dir / "present.pem"}, dir / "present.pem"},
      {"a link to a file counts", {dir / "link.pem"}, dir / "link.pem"},
      {"a path below a file is absent", {dir / "present.pem" / "x", dir / "other.pem"}, dir / "other.pem"},
      {"no candidates", {}, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(chooseCaBundle(c.candidates), c.chosen) << c.name;

  EXPECT_EQ(caBundleCandidates,
            (std::vector<std::filesystem::path>{"/etc/ssl/certs/ca-certificates.crt", "/etc/pki/tls/certs/ca-bundle.crt",
                                                "/etc/ssl/ca-bundle.pem",
                                                "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",
                                                "/etc/ssl/cert.pem"}));
}

TEST(FetchUrl, AnswersAgainstARealServer) {
  TempFolder root;
  writeFile(root.path() / "linux/files/good", fileBytes);
  writeFile(root.path() / "linux/files/target", fileBytes);
  MisbehavingServer server(root.path());
  server.set("/empty", R"({"body": ""})");
  server.set("/error500", R"({"status": 500})");
  server.set("/partial", R"({"status": 206, "body": "the", "headers": {"Content-Range": "bytes 0-2/30"}})");
  server.set("/not-modified", R"({"status": 304, "body": ""})");
  server.set("/cut", R"({"size": 100000, "cutAfter": 1000})");
  server.set("/r301", R"({"status": 301, "redirect": "/r302"})");
  server.set("/r302", R"({"status": 302, "redirect": "/r307"})");
  server.set("/r307", R"({"status": 307, "redirect": "/r308"})");
  server.set("/r308", R"({"status": 308, "redirect": "/linux/files/target"})");
  server.set("/to-missing", R"({"redirect": "/linux/files/missing"})");
  server.set("/loop", R"({"redirect": "/loop"})");
  const std::string errorPage404 = "<html><head><title>404</title></head><body><h1>Error 404</h1></body></html>\n";
  const std::string errorPage500 = "<html><head><title>500</title></head><body><h1>Error 500</h1></body></html>\n";
  const std::string refused = "http://127.0.0.1:" + std::to_string(freeLoopbackPort()) + "/latest.manifest";

  struct Case {
    std::string url;
    bool ok;
    std::string error;
    std::string body;
  };
  auto at = [&](const std::string& path) { return server.url() + path; };
  const std::vector<Case> cases = {
      {at("linux/files/good"), true, "", fileBytes},
      {at("r301"), true, "", fileBytes},
      {at("linux/files/missing"), false, "the server answered 404 for " + at("linux/files/missing"), errorPage404},
      {at("to-missing"), false, "the server answered 404 for " + at("to-missing"), errorPage404},
      {at("error500"), false, "the server answered 500 for " + at("error500"), errorPage500},
      {at("partial"), false, "the server answered 206 for " + at("partial"), "the"},
      {at("not-modified"), false, "the server answered 304 for " + at("not-modified"), ""},
      {at("cut"), false, "could not reach the server (Transferred a partial file)", letters(1000)},
      {at("loop"), false, "could not reach the server (Number of redirects hit maximum amount)", ""},
      {refused, false, "could not reach the server (Couldn't connect to server)", ""},
      // Debian 12's libcurl 7.88 words this code so; newer releases say "Could not resolve hostname".
      {"http://no-such-host.invalid/latest.manifest", false, "could not reach the server (Couldn't resolve host name)", ""},
  };
  for (const Case& c : cases) {
    Received received;
    std::string error;
    EXPECT_EQ(fetchUrl(c.url, collectInto(received), error, false), c.ok) << c.url;
    EXPECT_EQ(error, c.error) << c.url;
    if (c.url.find("/loop") == std::string::npos) {
      EXPECT_EQ(received.body, c.body) << c.url;
    }
  }
  // Every hop of the chain was asked once; the loop was given up after 30 redirects.
  for (const char* hop : {"/r301", "/r302", "/r307", "/r308"}) EXPECT_EQ(server.requestCount(hop), 1u) << hop;
  EXPECT_EQ(server.requestCount("/loop"), 31u);
}

TEST(FetchUrl, AnEmptyBodyNeverReachesTheSink) {
  MisbehavingServer server;
  server.set("/empty", R"({"body": ""})");
  Received received;
  std::string error;
  EXPECT_TRUE(fetchUrl(server.url() + "empty", collectInto(received), error, false));
  EXPECT_EQ(received.chunks, 0u);
  EXPECT_EQ(error, "");
}

TEST(FetchUrl, SendsTheUserAgentAndNoCacheOnlyWhenAsked) {
  MisbehavingServer server;
  server.set("/latest.manifest", R"({"body": "manifest"})");
  server.set("/files/ab12", R"({"body": "file"})");
  Received received;
  std::string error;
  ASSERT_TRUE(fetchUrl(server.url() + "latest.manifest", collectInto(received), error, true)) << error;
  ASSERT_TRUE(fetchUrl(server.url() + "files/ab12", collectInto(received), error, false)) << error;

  std::vector<RecordedRequest> requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].path, "/latest.manifest");
  EXPECT_EQ(requests[0].header("User-Agent"), "VarnholtSetup/1");
  EXPECT_EQ(requests[0].header("Cache-Control"), "no-cache");
  EXPECT_EQ(requests[1].path, "/files/ab12");
  // A file request carries only what the library always sends: no cache header, no
  // compression, no byte range.
  std::set<std::string> names;
  for (const auto& header : requests[1].headers) names.insert(header.first);
  EXPECT_EQ(names, (std::set<std::string>{"Host", "User-Agent", "Accept"}));
  EXPECT_EQ(requests[1].header("User-Agent"), "VarnholtSetup/1");
  EXPECT_EQ(requests[1].header("Accept"), "*/*");
}

TEST(FetchUrl, ASinkThatRefusesStopsTheTransfer) {
  MisbehavingServer server;
  server.set("/big", R"({"size": 1000000})");
  struct Case {
    std::string earlierError;
    std::string error;
  };
  for (const Case& c : {Case{"", "stopped"}, Case{"Cancelled.", "Cancelled."}}) {
    size_t calls = 0;
    std::string error = c.earlierError;
    EXPECT_FALSE(fetchUrl(
        server.url() + "big",
        [&calls](const char*, size_t) {
          ++calls;
          return false;
        },
        error, false));
    EXPECT_EQ(calls, 1u);
    EXPECT_EQ(error, c.error);
  }
}

TEST(FetchUrl, ASinkThatThrowsEndsTheTransferAsAFailure) {
  MisbehavingServer server;
  server.set("/big", R"({"size": 1000000})");
  std::string error;
  EXPECT_FALSE(fetchUrl(
      server.url() + "big", [](const char*, size_t) -> bool { throw std::runtime_error("no room"); }, error, false));
  EXPECT_EQ(error, "stopped");
  // The next transfer runs as usual.
  Received received;
  EXPECT_TRUE(fetchUrl(server.url() + "big", collectInto(received), error, false)) << error;
  EXPECT_EQ(received.body.size(), 1000000u);
}

TEST(FetchUrl, ErrorIsLeftAloneOnSuccess) {
  MisbehavingServer server;
  server.set("/ok", R"({"body": "ok"})");
  Received received;
  std::string error = "an earlier reason";
  EXPECT_TRUE(fetchUrl(server.url() + "ok", collectInto(received), error, false));
  EXPECT_EQ(error, "an earlier reason");
}

TEST(FetchUrl, SlowAStalledBodyEndsByTheLowSpeedRule) {
  MisbehavingServer server;
  server.set("/stall", R"({"size": 1000, "stallAfter": 5})");
  Received received;
  std::string error;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(fetchUrl(server.url() + "stall", collectInto(received), error, false));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(error, "could not reach the server (Timeout was reached)");
  EXPECT_EQ(received.body, "abcde");
  EXPECT_GE(seconds, 59.0);
  EXPECT_LT(seconds, 90.0);
}
