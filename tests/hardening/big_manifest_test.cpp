// Manifests far larger than any real release, signed with the right key, so that only their
// size is wrong: a hundred thousand lines, and a single line of one mebibyte. Each run must end
// in bounded time with the error the program names and leave the installed release as it was.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/engine/release_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string content = "one small file";

TestRelease smallGame() {
  TestRelease game;
  game.files = {{"bin/game", "#!/bin/sh\n", true}, {"data/a.dat", "a"}};
  return game;
}

std::string header() { return "varnholt-release 1\nversion 9.9\nprotocol 1\ngame f/0\n"; }

std::string fileLine(const std::string& path) { return "file " + contentDigest(content) + " " + std::to_string(content.size()) + " " + path + "\n"; }

std::string manyLines(size_t lines, const std::string& lastLine) {
  std::string text = header();
  for (size_t i = 0; i + 5 < lines; ++i) text += fileLine("f/" + std::to_string(i));
  return text + lastLine;
}

class BigManifest : public InstallFixture {
 protected:
  void SetUp() override {
    InstallFixture::SetUp();
    publish(smallGame());
    SetupRun result = runQuiet(source());
    ASSERT_EQ(result.exitCode, 0) << result.output << log();
    installed = contents();
  }

  // Publishes text, runs the program and checks the error and that nothing changed.
  void expectFailure(const std::string& text, const std::string& error, int withinSeconds) {
    publishManifest(text, {content});
    const Clock::time_point start = Clock::now();
    SetupRun result = runQuiet(source());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
    EXPECT_EQ(result.exitCode, 1) << result.output.substr(0, 2000);
    const std::string last = lastLogLine();
    EXPECT_TRUE(last == "failed: " + error) << last.substr(0, 300) << " (" << last.size() << " bytes)";
    EXPECT_LE(seconds, withinSeconds);
    EXPECT_TRUE(sameTree(installed, contents()));
  }

  TreeSnapshot installed;
};

TEST_F(BigManifest, HundredThousandLinesEndingOutsideTheFolder) {
  std::string text = manyLines(100000, fileLine("../outside"));
  ASSERT_LT(text.size(), 8388608u);
  expectFailure(text, "a file's path leaves the install folder: ../outside", 30);
}

TEST_F(BigManifest, LargerThanTheManifestLimit) {
  std::string text = manyLines(110000, fileLine("f/last"));
  ASSERT_GT(text.size(), 8388608u);
  expectFailure(text, "Could not reach the Varnholt server: stopped", 30);
}

TEST_F(BigManifest, OneMebibyteFileName) {
  const std::string path(1 << 20, 'n');
  expectFailure(header() + fileLine(path), "Could not install " + path + " (File name too long).", 60);
}

TEST_F(BigManifest, OneMebibyteOfFolders) {
  std::string path;
  while (path.size() < (1u << 20)) path += "d/";
  path += "x";
  expectFailure(header() + fileLine(path), "Could not install " + path + " (File name too long).", 60);
}

}  // namespace
