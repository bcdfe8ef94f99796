// The publisher's tool as a publisher runs it: a child process with its output and exit code.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "release/release.h"
#include "tests/support/process.h"
#include "tests/keys/test_key.h"
#include "tests/support/servers.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_files.h"
#include "tools/publish.h"

namespace fs = std::filesystem;

namespace {


ProcessResult runTool(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {VARNHOLT_RELEASE_TOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessOptions options;
  options.timeoutSeconds = 60;
  return runProcess(argv, options);
}

// The test seed as a publisher keeps it: a private copy (a checkout gives every file mode 0644).
std::string privateSeed(const TempFolder& folder) {
  fs::path copy = folder.path() / "private.seed";
  writeText(copy, readText(testSeedFile), fs::perms(0600));
  return copy.string();
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
  SigningSeed seed;
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

  ProcessResult published =
      runTool({"publish", game.string(), "1.0", "varnholt", privateSeed(folder), tree.string()});
  ASSERT_EQ(published.exitCode, 0) << published.output;
  EXPECT_EQ(published.output,
            "varnholt-release: warning: the game folder has no VarnholtSetup.AppImage; the \"Update Varnholt\" menu "
            "entry starts it\n"
            "varnholt-release: warning: the game folder has no assets/images/icon/app-icon-256.png; both menu "
            "entries show it\n"
            "signed with public key " + testPublicKeyHex + "\n"
            "published 1.0: 2 files, 1 links, 26 bytes\n");
  SigningSeed seed;
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
  const std::string seedFile = privateSeed(folder);
  ProcessResult escaping = runTool({"publish", game.string(), "1.0", "varnholt", seedFile, tree.string()});
  EXPECT_EQ(escaping.exitCode, 1);
  EXPECT_EQ(escaping.output, "varnholt-release: the link escape points to ../../etc/passwd, outside the game folder\n");
  EXPECT_FALSE(fs::exists(tree / "latest.manifest"));

  fs::remove(game / "escape");
  writeText(game / "C:drive", "x");
  ProcessResult unsafe = runTool({"publish", game.string(), "1.0", "varnholt", seedFile, tree.string()});
  EXPECT_EQ(unsafe.exitCode, 1);
  EXPECT_EQ(unsafe.output, "varnholt-release: the path C:drive cannot be part of a release (it holds ':' or '\\')\n");
  EXPECT_FALSE(fs::exists(tree / "latest.manifest"));

  ProcessResult noSeed = runTool({"publish", game.string(), "1.0", "varnholt", (folder.path() / "none").string(),
                                  tree.string()});
  EXPECT_EQ(noSeed.exitCode, 1);
  EXPECT_EQ(noSeed.output, "varnholt-release: could not read the seed file " + (folder.path() / "none").string() +
                               " (No such file or directory)\n");
}

TEST(ReleaseTool, PubkeyPrintsTheSeedsPublicKeyAndWarnsAboutAnOpenSeedFile) {
  TempFolder folder;
  const std::string seedFile = privateSeed(folder);
  struct Case {
    fs::perms mode;
    std::string warning;
  };
  const std::string openWarning = "varnholt-release: warning: the seed file " + seedFile +
                                  " can be read by other users (mode 0%o); make it private: chmod 600 " + seedFile + "\n";
  auto warningFor = [&](unsigned mode) {
    char text[512];
    std::snprintf(text, sizeof text, openWarning.c_str(), mode);
    return std::string(text);
  };
  for (unsigned mode : {0600u, 0400u, 0640u, 0604u, 0644u}) {
    SCOPED_TRACE(mode);
    fs::permissions(seedFile, fs::perms(mode));
    ProcessResult result = runTool({"pubkey", seedFile});
    EXPECT_EQ(result.exitCode, 0);
    std::string expected = (mode & 044) ? warningFor(mode) : "";
    EXPECT_EQ(result.output, expected + testPublicKeyHex + "\n");
  }
  // A public key given as a seed is a seed of another key: the printed key shows the mix-up.
  writeText(folder.path() / "public.key", testPublicKeyHex + "\n", fs::perms(0600));
  ProcessResult mixedUp = runTool({"pubkey", (folder.path() / "public.key").string()});
  EXPECT_EQ(mixedUp.exitCode, 0);
  EXPECT_NE(mixedUp.output, testPublicKeyHex + "\n");
  ProcessResult missing = runTool({"pubkey", (folder.path() / "none").string()});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.output, "varnholt-release: could not read the seed file " + (folder.path() / "none").string() +
                                " (No such file or directory)\n");
}

TEST(ReleaseTool, DryRunExcludeAndPruneOnASmallTree) {
  TempFolder folder;
  const std::string seedFile = privateSeed(folder);
  fs::path game = folder.path() / "game";
  fs::path tree = folder.path() / "tree";
  writeText(game / "varnholt", "game 1", fs::perms(0755));
  writeText(game / "VarnholtSetup.AppImage", "setup", fs::perms(0755));
  writeText(game / "assets/images/icon/app-icon-256.png", "icon");
  writeText(game / ".git/HEAD", "ref");
  writeText(game / ".env", "TOKEN=x");
  fs::create_symlink("varnholt", game / "start");

  ProcessResult dry = runTool({"publish", game.string(), "1.0", "varnholt", seedFile, tree.string(), "--dry-run",
                               "--exclude", ".git"});
  EXPECT_EQ(dry.exitCode, 0);
  EXPECT_EQ(dry.output,
            "varnholt-release: warning: .env is hidden and is published with the game; --exclude .env leaves it out\n"
            "file .env (7 bytes)\n"
            "exec VarnholtSetup.AppImage (5 bytes)\n"
            "file assets/images/icon/app-icon-256.png (4 bytes)\n"
            "exec varnholt (6 bytes)\n"
            "link start -> varnholt\n"
            "signed with public key " + testPublicKeyHex + "\n"
            "would publish 1.0: 4 files, 1 links, 22 bytes (dry run: nothing written)\n");
  EXPECT_FALSE(fs::exists(tree));

  for (const std::string version : {"1.0", "1.1", "1.2"}) {
    writeText(game / "varnholt", "game " + version, fs::perms(0755));
    ProcessResult published = runTool({"publish", "--exclude", ".git", game.string(), version, "varnholt", seedFile,
                                       tree.string(), "--exclude", ".env"});
    ASSERT_EQ(published.exitCode, 0) << published.output;
    EXPECT_EQ(published.output, "signed with public key " + testPublicKeyHex + "\npublished " + version +
                                    ": 3 files, 1 links, 17 bytes\n");
  }
  const std::string old = "files/" + digestOf("game 1.0");
  ProcessResult listed = runTool({"prune", tree.string(), "--keep", "1"});
  EXPECT_EQ(listed.exitCode, 0);
  EXPECT_EQ(listed.output, "unused manifests/1.0.manifest\nunused " + old +
                               "\nwould remove 1 manifests and 1 files (8 bytes); kept 1.2, 1.1 (--delete removes them)\n");
  EXPECT_TRUE(fs::exists(tree / old));
  ProcessResult removed = runTool({"prune", tree.string(), "--delete", "--keep", "1"});
  EXPECT_EQ(removed.exitCode, 0);
  EXPECT_EQ(removed.output, "removed manifests/1.0.manifest\nremoved " + old +
                                "\nremoved 1 manifests and 1 files (8 bytes); kept 1.2, 1.1\n");
  EXPECT_FALSE(fs::exists(tree / old));
  EXPECT_EQ(runTool({"verify", tree.string(), testPublicKeyHex}).output, "verified 1.2: 3 files, 1 links\n");
  ProcessResult badKeep = runTool({"prune", tree.string(), "--keep", "-1"});
  EXPECT_EQ(badKeep.exitCode, 1);
  EXPECT_EQ(badKeep.output, "varnholt-release: --keep takes a number of releases, not -1\n");
}

// A live server checked through the setup program's own download code, over TLS with the test CA.
TEST(ReleaseTool, VerifyChecksAServerOverHttps) {
  TempFolder folder;
  fs::path game = folder.path() / "game";
  fs::path www = folder.path() / "www";
  writeText(game / "varnholt", "game", fs::perms(0755));
  writeText(game / "data/a.dat", "aaaa");
  writeText(game / "data/b.dat", "bbbb");
  writeText(game / "data/c.dat", "cccc");
  writeText(game / "data/same.dat", "aaaa");
  ASSERT_EQ(runTool({"publish", game.string(), "1.0", "varnholt", privateSeed(folder), (www / "linux").string()})
                .exitCode,
            0);
  fs::permissions(folder.path(), fs::perms(0755));
  NginxServer server(www);
  const std::string url = server.httpsUrl() + "linux";  // the final "/" is added

  ProcessOptions options;
  options.trustedCa = testCertificates().caCertificate.string();
  options.timeoutSeconds = 60;
  auto verify = [&](const std::string& where, const std::string& key) {
    return runProcess({VARNHOLT_RELEASE_TOOL_PATH, "verify", where, key}, options);
  };
  ProcessResult sound = verify(url, testPublicKeyHex);
  EXPECT_EQ(sound.exitCode, 0) << sound.output;
  EXPECT_EQ(sound.output, "verified 1.0: 5 files, 0 links\n");

  const fs::path files = www / "linux/files";
  fs::remove(files / digestOf("aaaa"));
  writeText(files / digestOf("bbbb"), "BBBB");
  writeText(files / digestOf("cccc"), "ccccc");
  ProcessResult damaged = verify(url + "/", testPublicKeyHex);
  EXPECT_EQ(damaged.exitCode, 1);
  const std::string missing = "files/" + digestOf("aaaa") + ": the server answered 404 for " + url + "/files/" +
                              digestOf("aaaa");
  EXPECT_EQ(damaged.output, "missing: data/a.dat (" + missing + ")\n"
                            "wrong digest: data/b.dat (files/" + digestOf("bbbb") + ")\n"
                            "wrong size: data/c.dat (5 bytes, expected 4)\n"
                            "missing: data/same.dat (" + missing + ")\n"
                            "varnholt-release: 4 problems in " + url + "/\n");

  ProcessResult otherKey = verify(url, std::string(63, '0') + "1");
  EXPECT_EQ(otherKey.exitCode, 1);
  EXPECT_EQ(otherKey.output,
            "varnholt-release: the release's signature does not match: it was not published by Varnholt\n");
  ProcessResult noTree = verify(server.httpsUrl() + "beta/", testPublicKeyHex);
  EXPECT_EQ(noTree.exitCode, 1);
  EXPECT_EQ(noTree.output, "varnholt-release: could not fetch " + server.httpsUrl() +
                               "beta/latest.manifest (the server answered 404 for " + server.httpsUrl() +
                               "beta/latest.manifest)\n");
  // Without the test CA the server is not trusted, as for a player.
  ProcessResult untrusted = runProcess({VARNHOLT_RELEASE_TOOL_PATH, "verify", url, testPublicKeyHex});
  EXPECT_EQ(untrusted.exitCode, 1);
  EXPECT_EQ(untrusted.output.rfind("varnholt-release: could not fetch " + url + "/latest.manifest (could not reach", 0),
            0u)
      << untrusted.output;
}

TEST(ReleaseTool, VerifyChecksBlockIndexesOnAServer) {
  TempFolder folder;
  fs::path game = folder.path() / "game";
  fs::path www = folder.path() / "www";
  std::string large(1572864, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>((i * 2654435761u) >> 11);
  writeText(game / "varnholt", "game", fs::perms(0755));
  writeText(game / "data/large.pak", large);
  ASSERT_EQ(runTool({"publish", game.string(), "1.0", "varnholt", privateSeed(folder), (www / "linux").string()})
                .exitCode,
            0);
  fs::permissions(folder.path(), fs::perms(0755));
  NginxServer server(www);
  const std::string url = server.httpsUrl() + "linux/";
  ProcessOptions options;
  options.trustedCa = testCertificates().caCertificate.string();
  options.timeoutSeconds = 60;
  auto verify = [&] { return runProcess({VARNHOLT_RELEASE_TOOL_PATH, "verify", url, testPublicKeyHex}, options); };
  ProcessResult sound = verify();
  EXPECT_EQ(sound.exitCode, 0) << sound.output;
  EXPECT_EQ(sound.output, "verified 1.0: 2 files, 0 links\n");

  const fs::path index = www / "linux/files" / (digestOf(large) + ".blocks");
  const std::string published = readText(index);
  std::string flipped = published;
  flipped[40] ^= 1;
  writeText(index, flipped);
  ProcessResult wrong = verify();
  EXPECT_EQ(wrong.exitCode, 1);
  EXPECT_EQ(wrong.output, "wrong index: data/large.pak (files/" + digestOf(large) + ".blocks)\n"
                          "varnholt-release: 1 problem in " + url + "\n");
  fs::remove(index);
  ProcessResult missing = verify();
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.output, "missing index: data/large.pak (files/" + digestOf(large) +
                                ".blocks: the server answered 404 for " + url + "files/" + digestOf(large) +
                                ".blocks)\nvarnholt-release: 1 problem in " + url + "\n");
}

// A tool copied away from its build or install folder has no server check beside it.
TEST(ReleaseTool, VerifyOfAServerNamesTheMissingServerCheck) {
  TempFolder folder;
  const fs::path tool = folder.path() / "varnholt-release";
  fs::copy_file(VARNHOLT_RELEASE_TOOL_PATH, tool);
  ProcessOptions options;
  options.timeoutSeconds = 60;
  ProcessResult result =
      runProcess({tool.string(), "verify", "https://releases.varnholt.test/linux/", testPublicKeyHex}, options);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.output, "varnholt-release: checking a server needs " +
                               (folder.path() / "varnholt-server-check").string() +
                               ", which is missing; install it beside varnholt-release\n");
  // Publishing and checking a tree on disk need no sibling.
  const fs::path game = folder.path() / "game";
  const fs::path tree = folder.path() / "tree";
  writeText(game / "varnholt", "game", fs::perms(0755));
  ASSERT_EQ(runProcess({tool.string(), "publish", game.string(), "1.0", "varnholt", privateSeed(folder), tree.string()},
                       options)
                .exitCode,
            0);
  ProcessResult verified = runProcess({tool.string(), "verify", tree.string(), testPublicKeyHex}, options);
  EXPECT_EQ(verified.exitCode, 0);
  EXPECT_EQ(verified.output, "verified 1.0: 1 files, 0 links\n");
}

TEST(ReleaseTool, UsageAndArguments) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"keygen"}, {"keygen", "a", "b"}, {"publish", "a", "b", "c", "d"}, {"publish", "a", "b", "c", "d", "e", "--fast"},
           {"publish", "a", "b", "c", "d", "e", "--exclude"}, {"pubkey"}, {"verify", "tree"}, {"prune", "tree"},
           {"prune", "tree", "--keep"}, {"sign", "x"}}) {
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
