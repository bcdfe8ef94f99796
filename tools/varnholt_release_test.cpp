// The publisher's tool as a publisher runs it: a child process with its output and exit code.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "release/release.h"
#include "tests/support/process.h"
#include "tests/support/temp_folder.h"
#include "tools/publish.h"

namespace fs = std::filesystem;

namespace {

const std::string testSeedFile = std::string(VARNHOLT_SOURCE_DIR) + "/tests/keys/test-release.seed";
const std::string testPublicKeyHex = "c008b814a7d269a1fa3c6528b19201a24d797912db9996ff02a1ff356e45552b";

ProcessResult runTool(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {VARNHOLT_RELEASE_TOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessOptions options;
  options.timeoutSeconds = 60;
  return runProcess(argv, options);
}

void writeText(const fs::path& path, const std::string& text, fs::perms mode = fs::perms(0644)) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
  fs::permissions(path, mode);
}

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string digestOf(const std::string& bytes) {
  DigestStream stream;
  stream.add(bytes.data(), bytes.size());
  return finishDigest(stream);
}

TEST(ReleaseTool, KeygenMakesAPrivateSeedAndPrintsOnlyThePublicKey) {
  TempFolder folder;
  std::string seedFile = (folder.path() / "release.seed").string();
  ProcessResult made = runTool({"keygen", seedFile});
  ASSERT_EQ(made.exitCode, 0) << made.output;
  ASSERT_EQ(made.output.size(), 65u) << made.output;
  EXPECT_EQ(made.output.find_first_not_of("0123456789abcdef"), 64u);
  EXPECT_EQ(made.output.back(), '\n');
  EXPECT_EQ(fs::status(seedFile).permissions(), fs::perms(0600));

  std::string seedText = readText(seedFile);
  EXPECT_EQ(made.output.find(seedText.substr(0, 64)), std::string::npos);
  unsigned char seed[32];
  std::string error;
  ASSERT_TRUE(loadSeed(seedFile, seed, error)) << error;
  EXPECT_EQ(publicKeyHex(seed) + "\n", made.output);

  ProcessResult again = runTool({"keygen", seedFile});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_EQ(again.output, "varnholt-release: the seed file " + seedFile + " already exists; it was left as it was\n");
  EXPECT_EQ(readText(seedFile), seedText);
}

TEST(ReleaseTool, PublishThenVerify) {
  TempFolder folder;
  fs::path game = folder.path() / "game";
  fs::path tree = folder.path() / "tree";
  writeText(game / "varnholt", "#!/bin/sh\necho game\n", fs::perms(0755));
  writeText(game / "data/levels.dat", "levels");
  fs::create_symlink("data/levels.dat", game / "levels");

  ProcessResult published = runTool({"publish", game.string(), "1.0", "varnholt", testSeedFile, tree.string()});
  ASSERT_EQ(published.exitCode, 0) << published.output;
  EXPECT_EQ(published.output, "published 1.0: 2 files, 1 links, 26 bytes\n");
  unsigned char seed[32];
  std::string error;
  ASSERT_TRUE(loadSeed(testSeedFile, seed, error)) << error;
  EXPECT_EQ(readText(tree / "latest.manifest"),
            signManifest("varnholt-release 1\nversion 1.0\nprotocol 1\ngame varnholt\n"
                         "file " + digestOf("levels") + " 6 data/levels.dat\n"
                         "exec " + digestOf("#!/bin/sh\necho game\n") + " 20 varnholt\n"
                         "link data/levels.dat\tlevels\n",
                         seed));

  ProcessResult verified = runTool({"verify", tree.string(), testPublicKeyHex});
  EXPECT_EQ(verified.exitCode, 0) << verified.output;
  EXPECT_EQ(verified.output, "verified 1.0: 2 files, 1 links\n");

  // Another key, and damaged files: each is named, and the run fails.
  ProcessResult otherKey = runTool({"verify", tree.string(), std::string(63, '0') + "1"});
  EXPECT_EQ(otherKey.exitCode, 1);
  EXPECT_EQ(otherKey.output,
            "varnholt-release: the release's signature does not match: it was not published by Varnholt\n");

  fs::remove(tree / "files" / digestOf("levels"));
  writeText(tree / "files" / digestOf("#!/bin/sh\necho game\n"), "#!/bin/sh\necho gone\n");
  ProcessResult damaged = runTool({"verify", tree.string(), testPublicKeyHex});
  EXPECT_EQ(damaged.exitCode, 1);
  EXPECT_EQ(damaged.output, "missing: data/levels.dat (files/" + digestOf("levels") +
                                ")\nwrong digest: varnholt (files/" + digestOf("#!/bin/sh\necho game\n") +
                                ")\nvarnholt-release: 2 problems in " + tree.string() + "\n");
}

TEST(ReleaseTool, PublishRefusesEscapingLinksAndUnsafePaths) {
  TempFolder folder;
  fs::path game = folder.path() / "game";
  fs::path tree = folder.path() / "tree";
  writeText(game / "varnholt", "game", fs::perms(0755));
  fs::create_symlink("../../etc/passwd", game / "escape");
  ProcessResult escaping = runTool({"publish", game.string(), "1.0", "varnholt", testSeedFile, tree.string()});
  EXPECT_EQ(escaping.exitCode, 1);
  EXPECT_EQ(escaping.output, "varnholt-release: the link escape points to ../../etc/passwd, outside the game folder\n");
  EXPECT_FALSE(fs::exists(tree / "latest.manifest"));

  fs::remove(game / "escape");
  writeText(game / "C:drive", "x");
  ProcessResult unsafe = runTool({"publish", game.string(), "1.0", "varnholt", testSeedFile, tree.string()});
  EXPECT_EQ(unsafe.exitCode, 1);
  EXPECT_EQ(unsafe.output, "varnholt-release: the path C:drive cannot be part of a release (it holds ':' or '\\')\n");
  EXPECT_FALSE(fs::exists(tree / "latest.manifest"));

  ProcessResult noSeed = runTool({"publish", game.string(), "1.0", "varnholt", (folder.path() / "none").string(),
                                  tree.string()});
  EXPECT_EQ(noSeed.exitCode, 1);
  EXPECT_EQ(noSeed.output, "varnholt-release: could not read the seed file " + (folder.path() / "none").string() +
                               " (No such file or directory)\n");
}

TEST(ReleaseTool, UsageAndArguments) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"keygen"}, {"keygen", "a", "b"}, {"publish", "a", "b", "c", "d"}, {"verify", "tree"}, {"sign", "x"}}) {
    ProcessResult result = runTool(args);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.output.rfind("usage: varnholt-release keygen <seed-file>\n", 0), 0u) << result.output;
  }
  ProcessResult badKey = runTool({"verify", "tree", "c008"});
  EXPECT_EQ(badKey.exitCode, 1);
  EXPECT_EQ(badKey.output, "varnholt-release: the public key must be 64 hex digits\n");

  TempFolder folder;
  writeText(folder.path() / "abc", "abc");
  ProcessResult digest = runTool({"digest", (folder.path() / "abc").string()});
  EXPECT_EQ(digest.exitCode, 0);
  EXPECT_EQ(digest.output, "bddd813c634239723171ef3fee98579b94964e3bb1cb3e427262c8c068d52319\n");
  ProcessResult unreadable = runTool({"digest", folder.path().string()});
  EXPECT_EQ(unreadable.exitCode, 1);
  EXPECT_EQ(unreadable.output, "varnholt-release: could not read " + folder.path().string() + "\n");
}

}  // namespace
