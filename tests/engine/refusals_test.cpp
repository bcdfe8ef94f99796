// What the windowless run refuses and how it fails: manifests that are not the publisher's,
// a missing manifest, files served wrongly. Every failure exits 1 with its one "failed: " line
// and leaves the installed release recorded and in place; the next run reuses what was
// verified.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/engine/release_fixture.h"
#include "tests/support/servers.h"
#include "tests/support/temp_folder.h"
#include "tools/publish.h"

namespace fs = std::filesystem;

namespace {

TestRelease installedRelease() {
  TestRelease release;
  release.files = {{"bin/game", "#!/bin/sh\n", true}, {"data/a", "first a"}, {"data/b", "first b"}};
  release.links = {{"game", "bin/game"}};
  return release;
}

TestRelease newerRelease() {
  TestRelease release;
  release.version = "2.0";
  release.files = {{"bin/game", "#!/bin/sh\n", true},
                   {"data/a", "second a, longer"},
                   {"data/b", "second b, longer"},
                   {"data/c", "second c, the one served wrongly"}};
  release.links = {{"game", "bin/game"}};
  return release;
}

class Refusal : public ::testing::Test {
 protected:
  void SetUp() override {
    publishTestRelease(linuxFolder(), installedRelease());
    SetupRun first = run();
    ASSERT_EQ(first.exitCode, 0) << first.output;
    installedBefore = snapshotTree(install());
  }

  fs::path install() const { return sandbox.path() / "game"; }
  fs::path linuxFolder() const { return serverRoot.path() / "linux"; }
  std::string filePath(const std::string& content) const { return "/linux/files/" + contentDigest(content); }
  SetupRun run() {
    return runSetup(sandbox.path(), {"--quiet", "--dir", install().string(), "--source", server.url() + "linux/"});
  }
  void expectFailure(const SetupRun& result, const std::string& failed, const std::string& name) {
    EXPECT_EQ(result.exitCode, 1) << name << result.output;
    ASSERT_FALSE(result.log.empty()) << name;
    EXPECT_EQ(result.log.back(), "failed: " + failed) << name;
    EXPECT_EQ(withoutStaging(snapshotTree(install())), installedBefore) << name;
  }

  TempFolder sandbox;
  TempFolder serverRoot;
  MisbehavingServer server{serverRoot.path()};
  TreeSnapshot installedBefore;
};

TEST_F(Refusal, ManifestsThatAreNotThePublishersAreRefusedBeforeAnythingIsFetched) {
  SigningSeed otherSeed;
  for (unsigned char& byte : otherSeed) byte = 7;
  const std::string newer = manifestText(releaseRecord(newerRelease()));
  TestRelease leaving = newerRelease();
  leaving.files.push_back({"../outside", "escape"});
  TestRelease intoStaging = newerRelease();
  intoStaging.links.push_back({".staging/" + contentDigest("second a, longer") + ".copy", "x"});
  TestRelease overRecord = newerRelease();
  overRecord.files.push_back({"install.manifest", "not the record"});

  struct Case {
    const char* name;
    std::string manifest;
    std::string failed;
  };
  const Case cases[] = {
      {"signed by another key", signManifest(newer, otherSeed),
       "the release's signature does not match: it was not published by Varnholt"},
      {"not signed", newer, "the release is not signed"},
      {"signed, with a path that leaves the folder", signedManifest(leaving),
       "a file's path leaves the install folder: ../outside"},
      {"signed, with a link in the staging folder", signedManifest(intoStaging),
       "a link's path is one the setup program keeps for itself: .staging/" + contentDigest("second a, longer") +
           ".copy"},
      {"signed, with a file in the record's place", signedManifest(overRecord),
       "a file's path is one the setup program keeps for itself: install.manifest"},
  };
  for (const Case& c : cases) {
    writeText(linuxFolder() / "latest.manifest", c.manifest);
    const size_t requestsBefore = server.requests().size();
    SetupRun result = run();
    expectFailure(result, c.failed, c.name);
    EXPECT_EQ(result.log, (std::vector<std::string>{"Looking for the newest version...", "failed: " + c.failed}))
        << c.name;
    EXPECT_EQ(server.requests().size(), requestsBefore + 1) << c.name << ": the manifest only";
  }
}

TEST_F(Refusal, AMissingManifestIsAskedForThreeTimes) {
  fs::remove(linuxFolder() / "latest.manifest");
  const size_t before = server.requestCount("/linux/latest.manifest");
  SetupRun result = run();
  expectFailure(result,
                "Could not reach the Varnholt server: the server answered 404 for " + server.url() +
                    "linux/latest.manifest",
                "404");
  EXPECT_EQ(server.requestCount("/linux/latest.manifest"), before + 3);
}

TEST_F(Refusal, FilesServedWronglyFailAfterThreeAttemptsAndVerifiedOnesAreReusedNextTime) {
  const TestRelease newer = newerRelease();
  publishTestRelease(linuxFolder(), newer);
  const std::string wrongPath = filePath("second c, the one served wrongly");
  struct Case {
    const char* behaviour;
    std::string failed;
  };
  const Case cases[] = {
      {R"({"transform": "wrong-bytes"})", "The download failed: a file did not match the release: data/c"},
      {R"({"transform": "one-byte-long"})", "The download failed: a file did not match the release: data/c"},
      {R"({"transform": "one-byte-short"})", "The download failed: a file did not match the release: data/c"},
      {R"({"status": 500})", "The download failed: the server answered 500 for " + server.url() + wrongPath.substr(1)},
  };
  for (const Case& c : cases) {
    server.set(wrongPath, c.behaviour);
    SetupRun result = run();
    expectFailure(result, c.failed, c.behaviour);
    EXPECT_EQ(result.log, (std::vector<std::string>{"Looking for the newest version...", "latest: 2.0, 4 files, 1 links",
                                                    "needed: 3 files, 64 bytes", "failed: " + c.failed}))
        << c.behaviour;
  }
  // a and b were fetched once, in the first run, and reused by the three after it.
  EXPECT_EQ(server.requestCount(filePath("second a, longer")), 1u);
  EXPECT_EQ(server.requestCount(filePath("second b, longer")), 1u);
  EXPECT_EQ(server.requestCount(wrongPath), 12u);

  server.clear(wrongPath);
  SetupRun fixed = run();
  ASSERT_EQ(fixed.exitCode, 0) << fixed.output;
  EXPECT_EQ(server.requestCount(filePath("second a, longer")), 1u);
  EXPECT_EQ(server.requestCount(filePath("second b, longer")), 1u);
  EXPECT_EQ(server.requestCount(wrongPath), 13u);
  TreeSnapshot expected = releaseTree(newer);
  expected["install.manifest"] = describeFile(readText(linuxFolder() / "latest.manifest"), 0644);
  expected["install.source"] = describeFile(server.url() + "linux/\n", 0644);
  EXPECT_EQ(snapshotTree(install()), expected);
}

}  // namespace
