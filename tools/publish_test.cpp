#include "tools/publish.h"
#include "tests/keys/test_key.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "release/block_index.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_files.h"

namespace fs = std::filesystem;

namespace {


std::set<std::string> namesIn(const fs::path& folder) {
  std::set<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

class Publishing : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(loadSeed(testSeedFile, seed, error)) << error;
    ASSERT_TRUE(decodeHex(testPublicKeyHex, publicKey));
    game = root.path() / "game";
    tree = root.path() / "tree";
    writeText(game / "bin/game", "game program", fs::perms(0755));
    writeText(game / "data/base pak/levels.dat", "levels");
    writeText(game / "data/copy.dat", "levels");  // same content: stored once
    writeText(game / "lib/libaudio.so.2", "audio", fs::perms(0700));
    fs::create_symlink("libaudio.so.2", game / "lib/libaudio.so");
    fs::create_symlink("../lib/libaudio.so.2", game / "bin/libaudio.so.2");
    fs::create_directories(game / "empty");  // folders are not listed
  }

  bool publish(const std::string& version, std::string& error, const std::string& gamePath = "bin/game") {
    return publishRelease(game, version, gamePath, seed, tree, error);
  }

  TempFolder root;
  fs::path game;
  fs::path tree;
  SigningSeed seed;
  PublicKey publicKey;
};

TEST_F(Publishing, WritesAPredictableSignedTree) {
  std::string error;
  ASSERT_TRUE(publish("1.2", error)) << error;
  const std::string expected =
      "varnholt-release 1\n"
      "version 1.2\n"
      "protocol 1\n"
      "game bin/game\n"
      "exec " + digestOf("game program") + " 12 bin/game\n"
      "file " + digestOf("levels") + " 6 data/base pak/levels.dat\n"
      "file " + digestOf("levels") + " 6 data/copy.dat\n"
      "exec " + digestOf("audio") + " 5 lib/libaudio.so.2\n"
      "link ../lib/libaudio.so.2\tbin/libaudio.so.2\n"
      "link libaudio.so.2\tlib/libaudio.so\n";
  std::string manifest = readText(tree / "latest.manifest");
  EXPECT_EQ(manifest, signManifest(expected, seed));

  Release release;
  ASSERT_TRUE(verifyRelease(manifest, publicKey, release, error)) << error;
  EXPECT_EQ(namesIn(tree), (std::set<std::string>{"files", "latest.manifest", "manifests"}));
  EXPECT_EQ(readText(tree / "manifests/1.2.manifest"), manifest);
  EXPECT_EQ(namesIn(tree / "files"),
            (std::set<std::string>{digestOf("game program"), digestOf("levels"), digestOf("audio")}));
  EXPECT_EQ(readText(tree / "files" / digestOf("game program")), "game program");
  // The server's workers run as another user: everything must be readable by all.
  EXPECT_EQ(fs::status(tree / "files" / digestOf("audio")).permissions(), fs::perms(0644));
  EXPECT_EQ(fs::status(tree / "latest.manifest").permissions(), fs::perms(0644));

  std::vector<std::string> problems;
  ASSERT_TRUE(verifyTree(tree, publicKey, release, problems, error)) << error;
  EXPECT_TRUE(problems.empty());
}

TEST_F(Publishing, StoresEachContentOnceAndKeepsOlderContent) {
  std::string error;
  ASSERT_TRUE(publish("1.0", error)) << error;
  fs::path stored = tree / "files" / digestOf("levels");
  struct stat before = {};
  ASSERT_EQ(stat(stored.c_str(), &before), 0);

  writeText(game / "bin/game", "game program 2", fs::perms(0755));
  ASSERT_TRUE(publish("1.1", error)) << error;
  struct stat after = {};
  ASSERT_EQ(stat(stored.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  // Clients part way through the older release still find its files.
  EXPECT_TRUE(fs::exists(tree / "files" / digestOf("game program")));
  EXPECT_TRUE(fs::exists(tree / "files" / digestOf("game program 2")));
  Release release;
  ASSERT_TRUE(verifyRelease(readText(tree / "latest.manifest"), publicKey, release, error));
  EXPECT_EQ(release.version, "1.1");

  // A stored file of the wrong size (a broken earlier copy) is replaced.
  writeText(tree / "files" / digestOf("audio"), "aud");
  ASSERT_TRUE(publish("1.2", error)) << error;
  EXPECT_EQ(readText(tree / "files" / digestOf("audio")), "audio");
}

TEST_F(Publishing, RefusesWhatAReleaseCannotHoldAndKeepsTheLastManifest) {
  std::string error;
  ASSERT_TRUE(publish("1.0", error)) << error;
  const std::string published = readText(tree / "latest.manifest");
  const std::string g = game.string();
  struct Case {
    std::string expected;
    std::function<void()> change;
    std::string version = "2.0";
    std::string gamePath = "bin/game";
    std::function<void()> undo = [] {};
  };
  const std::vector<Case> cases = {
      {"the link bin/up points to ../../outside, outside the game folder",
       [&] { fs::create_symlink("../../outside", game / "bin/up"); }, "2.0", "bin/game",
       [&] { fs::remove(game / "bin/up"); }},
      // Each target stays inside by its text; followed on disk, "l/.." climbs out through l.
      {"the link m points to l/.., outside the game folder",
       [&] { fs::create_symlink(".", game / "l"); fs::create_symlink("l/..", game / "m"); }, "2.0", "bin/game",
       [&] { fs::remove(game / "l"); fs::remove(game / "m"); }},
      {"the link bin/z points to ../l/../x, outside the game folder",
       [&] { fs::create_symlink(".", game / "l"); fs::create_symlink("../l/../x", game / "bin/z"); }, "2.0",
       "bin/game", [&] { fs::remove(game / "l"); fs::remove(game / "bin/z"); }},
      {"the setup program would refuse this manifest (a file's path is one the setup program keeps for itself: "
       "install.source)",
       [&] { writeText(game / "install.source", "x"); }, "2.0", "bin/game", [&] { fs::remove(game / "install.source"); }},
      {"the setup program would refuse this manifest (a file's path is one the setup program keeps for itself: "
       ".staging/x)",
       [&] { writeText(game / ".staging/x", "x"); }, "2.0", "bin/game", [&] { fs::remove_all(game / ".staging"); }},
      {"the link abs points to /etc/passwd, an absolute path; links in a release are relative",
       [&] { fs::create_symlink("/etc/passwd", game / "abs"); }, "2.0", "bin/game", [&] { fs::remove(game / "abs"); }},
      {"the path a:b cannot be part of a release (it holds ':' or '\\')",
       [&] { writeText(game / "a:b", "x"); }, "2.0", "bin/game", [&] { fs::remove(game / "a:b"); }},
      {"the path data/back\\slash cannot be part of a release (it holds ':' or '\\')",
       [&] { writeText(game / "data/back\\slash", "x"); }, "2.0", "bin/game",
       [&] { fs::remove(game / "data/back\\slash"); }},
      {"the path line\nbreak holds a line break; a release cannot list it",
       [&] { writeText(game / "line\nbreak", "x"); }, "2.0", "bin/game", [&] { fs::remove(game / "line\nbreak"); }},
      {"the link tab points to a name with a TAB or line break; a release cannot list it",
       [&] { fs::create_symlink("a\tb", game / "tab"); }, "2.0", "bin/game", [&] { fs::remove(game / "tab"); }},
      {"the path pipe is neither a file, a folder nor a symbolic link",
       [&] { ASSERT_EQ(mkfifo((game / "pipe").c_str(), 0644), 0); }, "2.0", "bin/game",
       [&] { fs::remove(game / "pipe"); }},
      {"the game path bin/nothing is not a file of the game folder", [] {}, "2.0", "bin/nothing"},
      {"the game path data/copy.dat is not an executable file (chmod +x it)", [] {}, "2.0", "data/copy.dat"},
      {"the game path bin/run is not an executable file (chmod +x it)",
       [&] { fs::create_symlink("../data/copy.dat", game / "bin/run"); }, "2.0", "bin/run",
       [&] { fs::remove(game / "bin/run"); }},
      {"the file notes/key.txt holds the signing seed; it must never be published",
       [&] { writeText(game / "notes/key.txt", readText(testSeedFile)); }, "2.0", "bin/game",
       [&] { fs::remove_all(game / "notes"); }},
      {"the file raw.bin holds the signing seed; it must never be published",
       [&] { writeText(game / "raw.bin", std::string(reinterpret_cast<const char*>(seed.data()), seed.size())); }, "2.0",
       "bin/game", [&] { fs::remove(game / "raw.bin"); }},
      // Every bad path at once, in path order, not one per run.
      {"3 problems in the game folder " + g + ":\n"
       "  the game path data/copy.dat is not an executable file (chmod +x it)\n"
       "  the link bin/up points to ../../outside, outside the game folder\n"
       "  the path a:b cannot be part of a release (it holds ':' or '\\')",
       [&] {
         fs::create_symlink("../../outside", game / "bin/up");
         writeText(game / "a:b", "x");
       },
       "2.0", "data/copy.dat",
       [&] {
         fs::remove(game / "bin/up");
         fs::remove(game / "a:b");
       }},
      {"the version 2/0 holds a '/'; it names the file manifests/<version>.manifest", [] {}, "2/0"},
      {"the game path ../game is not a plain path inside the game folder", [] {}, "2.0", "../game"},
      {"the game path  is not a plain path inside the game folder", [] {}, "2.0", ""},
      {"the version must be one line of text and not empty", [] {}, ""},
      {"the version must be one line of text and not empty", [] {}, "2.0\nfile x"},
      {"the game folder " + g + " holds no files",
       [&] { fs::rename(game, root.path() / "full"); fs::create_directories(game / "only/folders"); }, "2.0",
       "bin/game", [&] { fs::remove_all(game); fs::rename(root.path() / "full", game); }},
      {"the game folder " + g + " is not a folder", [&] { fs::rename(game, root.path() / "away"); }, "2.0",
       "bin/game", [&] { fs::rename(root.path() / "away", game); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    c.change();
    error.clear();
    EXPECT_FALSE(publish(c.version, error, c.gamePath));
    EXPECT_EQ(error, c.expected);
    c.undo();
    EXPECT_EQ(readText(tree / "latest.manifest"), published);
    EXPECT_EQ(namesIn(tree), (std::set<std::string>{"files", "latest.manifest", "manifests"}));
    EXPECT_EQ(namesIn(tree / "manifests"), (std::set<std::string>{"1.0.manifest"}));
  }
  // Nothing was left broken: the folder publishes again.
  EXPECT_TRUE(publish("2.0", error)) << error;
}

TEST_F(Publishing, RefusesATreeInsideTheGameFolder) {
  std::string error;
  EXPECT_FALSE(publishRelease(game, "1.0", "bin/game", seed, game / "data/tree", error));
  EXPECT_EQ(error, "the release tree " + (game / "data/tree").string() + " lies inside the game folder " +
                       game.string());
  EXPECT_FALSE(fs::exists(game / "data/tree"));
  EXPECT_FALSE(publishRelease(game, "1.0", "bin/game", seed, game, error));
  EXPECT_TRUE(publishRelease(game, "1.0", "bin/game", seed, root.path() / "game-tree", error)) << error;
}

TEST_F(Publishing, KeepsTheSeedAndOtherKeysOut) {
  std::string error;
  PublishOutcome outcome;
  PublishOptions options;
  options.seedFile = game / "varnholt-release.seed";
  writeText(options.seedFile, readText(testSeedFile), fs::perms(0600));
  EXPECT_FALSE(publishRelease(game, "1.0", "bin/game", seed, tree, options, outcome, error));
  EXPECT_EQ(error, "the seed file " + options.seedFile.string() + " lies inside the game folder " + game.string() +
                       "; it would be published to every player");
  EXPECT_FALSE(fs::exists(tree));
  fs::remove(options.seedFile);
  options.seedFile = root.path() / "keys/../game/data/../seed";  // the same place, spelled otherwise
  EXPECT_FALSE(publishRelease(game, "1.0", "bin/game", seed, tree, options, outcome, error));
  options.seedFile = root.path() / "release.seed";
  ASSERT_TRUE(publishRelease(game, "1.0", "bin/game", seed, tree, options, outcome, error)) << error;
  const std::string published = readText(tree / "latest.manifest");

  // Another seed over a tree that this one signed: refused unless forced.
  SigningSeed otherSeed{7};
  writeText(game / "bin/game", "game program 2", fs::perms(0755));
  EXPECT_FALSE(publishRelease(game, "1.1", "bin/game", otherSeed, tree, options, outcome, error));
  EXPECT_EQ(error, (tree / "latest.manifest").string() + " does not verify with this seed's public key " +
                       publicKeyHex(otherSeed) +
                       " (the release's signature does not match: it was not published by Varnholt); check the "
                       "seed, or give --force to replace that release");
  EXPECT_EQ(readText(tree / "latest.manifest"), published);
  EXPECT_FALSE(fs::exists(tree / "manifests/1.1.manifest"));

  options.force = true;
  ASSERT_TRUE(publishRelease(game, "1.1", "bin/game", otherSeed, tree, options, outcome, error)) << error;
  EXPECT_EQ(outcome.warnings.front(),
            "replacing " + (tree / "latest.manifest").string() +
                ", which does not verify with this seed (the release's signature does not match: it was not "
                "published by Varnholt)");
  PublicKey otherKey = publicKeyFromSeed(otherSeed);
  Release release;
  EXPECT_TRUE(verifyRelease(readText(tree / "latest.manifest"), otherKey, release, error)) << error;
}

TEST_F(Publishing, WarnsAboutVersionsHiddenFilesAndTheMenuEntriesFiles) {
  std::string error;
  ASSERT_TRUE(publish("1.10", error)) << error;
  struct Case {
    std::string name;
    std::string version;
    std::function<void()> change;
    std::vector<std::string> expected;
  };
  const std::string appImage =
      "the game folder has no VarnholtSetup.AppImage; the \"Update Varnholt\" menu entry starts it";
  const std::string icon = "the game folder has no assets/images/icon/app-icon-256.png; both menu entries show it";
  const std::vector<Case> cases = {
      {"the same release again", "1.10", [] {}, {appImage, icon}},
      {"the same numbers", "1.10.0-b", [] {}, {appImage, icon, "version 1.10.0-b is not newer than 1.10, the tree's current release"}},
      {"an older version", "1.9", [] {}, {appImage, icon, "version 1.9 is not newer than 1.10.0-b, the tree's current release"}},
      {"the current version, other content", "1.9", [&] { writeText(game / "data/new.dat", "new"); },
       {appImage, icon, "version 1.9 was published before with other content"}},
      {"an earlier version, other content", "1.10", [&] { writeText(game / "data/new.dat", "newer"); },
       {appImage, icon, "version 1.10 was published before with other content"}},
      {"hidden entries, once each, and the two files in place", "1.11",
       [&] {
         writeText(game / ".git/config", "x");
         writeText(game / ".git/objects/ab", "x");
         writeText(game / "data/.env", "SECRET=1");
         writeText(game / "VarnholtSetup.AppImage", "x", fs::perms(0755));
         writeText(game / "assets/images/icon/app-icon-256.png", "png");
       },
       {".git is hidden and is published with the game; --exclude .git leaves it out",
        "data/.env is hidden and is published with the game; --exclude .env leaves it out"}},
      {"a newer version", "1.12", [] {}, {".git is hidden and is published with the game; --exclude .git leaves it out",
        "data/.env is hidden and is published with the game; --exclude .env leaves it out"}},
  };
  PublishOptions options;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.change();
    PublishOutcome outcome;
    ASSERT_TRUE(publishRelease(game, c.version, "bin/game", seed, tree, options, outcome, error)) << error;
    EXPECT_EQ(outcome.warnings, c.expected);
  }
}

TEST_F(Publishing, DryRunWritesNothingAndExcludesLeaveFilesOut) {
  writeText(game / ".git/HEAD", "ref");
  writeText(game / "data/debug.pdb", "symbols");
  writeText(game / "data/keep/debug.pdb", "symbols 2");
  writeText(game / "lib/notes.txt", "notes");
  PublishOptions options;
  options.dryRun = true;
  options.excludes = {".git", "*.pdb", "lib/*.txt"};
  PublishOutcome outcome;
  std::string error;
  ASSERT_TRUE(publishRelease(game, "1.0", "bin/game", seed, tree, options, outcome, error)) << error;
  EXPECT_FALSE(fs::exists(tree));
  std::vector<std::string> paths;
  for (const ReleaseFile& file : outcome.release.files) paths.push_back(file.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"bin/game", "data/base pak/levels.dat", "data/copy.dat",
                                             "lib/libaudio.so.2"}));
  EXPECT_EQ(outcome.release.files[0].hash, digestOf("game program"));
  EXPECT_EQ(outcome.release.links.size(), 2u);

  // The same options without the dry run publish exactly what was listed.
  options.dryRun = false;
  PublishOutcome published;
  ASSERT_TRUE(publishRelease(game, "1.0", "bin/game", seed, tree, options, published, error)) << error;
  Release release;
  ASSERT_TRUE(verifyRelease(readText(tree / "latest.manifest"), publicKey, release, error)) << error;
  EXPECT_EQ(manifestText(release), manifestText(outcome.release));

  // A pattern that leaves out the game itself is no way round the checks.
  options.excludes = {"bin"};
  EXPECT_FALSE(publishRelease(game, "1.1", "bin/game", seed, tree, options, outcome, error));
  EXPECT_EQ(error, "the game path bin/game is not a file of the game folder");
}

TEST_F(Publishing, PruneKeepsWhatTheNewestReleasesName) {
  std::string error;
  const std::vector<std::string> versions = {"1.9", "1.10", "1.11"};
  for (const std::string& version : versions) {
    writeText(game / "bin/game", "game program " + version, fs::perms(0755));
    ASSERT_TRUE(publish(version, error)) << error;
  }
  writeText(game / "bin/game", "beta", fs::perms(0755));
  ASSERT_TRUE(publish("1.8-rollback", error)) << error;  // older number, yet the live release

  struct Case {
    size_t keep;
    std::vector<std::string> kept;
    std::vector<std::string> dropped;
    std::vector<std::string> unused;
  };
  auto file = [](const std::string& content) { return "files/" + digestOf(content); };
  std::vector<std::string> allOld = {file("game program 1.10"), file("game program 1.11"), file("game program 1.9")};
  std::sort(allOld.begin(), allOld.end());
  std::vector<std::string> but111 = {file("game program 1.10"), file("game program 1.9")};
  std::sort(but111.begin(), but111.end());
  const std::vector<Case> cases = {
      {0, {"1.8-rollback"}, {"manifests/1.10.manifest", "manifests/1.11.manifest", "manifests/1.9.manifest"}, allOld},
      {1, {"1.8-rollback", "1.11"}, {"manifests/1.10.manifest", "manifests/1.9.manifest"}, but111},
      {4, {"1.8-rollback", "1.11", "1.10", "1.9"}, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keep);
    PruneResult result;
    ASSERT_TRUE(pruneTree(tree, c.keep, false, result, error)) << error;
    EXPECT_EQ(result.keptVersions, c.kept);
    EXPECT_EQ(result.droppedManifests, c.dropped);
    EXPECT_EQ(result.unusedFiles, c.unused);
  }
  PruneResult result;
  ASSERT_TRUE(pruneTree(tree, 1, true, result, error)) << error;
  EXPECT_EQ(result.unusedBytes, std::string("game program 1.10game program 1.9").size());
  EXPECT_EQ(namesIn(tree / "manifests"), (std::set<std::string>{"1.11.manifest", "1.8-rollback.manifest"}));
  for (const std::string& name : but111) EXPECT_FALSE(fs::exists(tree / name));
  // What is left is sound, and both kept releases are whole.
  std::vector<std::string> problems;
  Release release;
  ASSERT_TRUE(verifyTree(tree, publicKey, release, problems, error)) << error;
  EXPECT_TRUE(problems.empty());
  EXPECT_TRUE(fs::exists(tree / file("game program 1.11")));

  // A manifest that does not parse stops the prune before anything goes.
  writeText(tree / "manifests/broken.manifest", "not a manifest");
  EXPECT_FALSE(pruneTree(tree, 0, true, result, error));
  EXPECT_EQ(error, "manifests/broken.manifest does not parse (not a Varnholt release); nothing was removed");
  EXPECT_TRUE(fs::exists(tree / "manifests/1.11.manifest"));
}

TEST(Versions, CompareByTheirNumericParts) {
  struct Case {
    std::string a, b;
    int order;
  };
  const std::vector<Case> cases = {
      {"1.10", "1.9", 1}, {"1.9", "1.10", -1}, {"2.0", "2.0", 0},       {"2", "2.0.0", 0},
      {"1.0.22b", "1.0.22", 0}, {"2.0-beta3", "2.0-beta2", 1}, {"v3", "2.99", 1}, {"beta", "alpha", 0},
      {"99999999999999999999999", "1", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.a + " vs " + c.b);
    int order = compareVersions(c.a, c.b);
    EXPECT_EQ((order > 0) - (order < 0), c.order);
  }
}

TEST_F(Publishing, VerifyFindsMissingAndDamagedFiles) {
  std::string error;
  ASSERT_TRUE(publish("1.0", error)) << error;
  fs::remove(tree / "files" / digestOf("game program"));
  writeText(tree / "files" / digestOf("levels"), "LEVELS");  // same size, other bytes
  writeText(tree / "files" / digestOf("audio"), "audio!");
  Release release;
  std::vector<std::string> problems;
  ASSERT_TRUE(verifyTree(tree, publicKey, release, problems, error)) << error;
  EXPECT_EQ(problems, (std::vector<std::string>{
                          "missing: bin/game (files/" + digestOf("game program") + ")",
                          "wrong digest: data/base pak/levels.dat (files/" + digestOf("levels") + ")",
                          "wrong digest: data/copy.dat (files/" + digestOf("levels") + ")",
                          "wrong size: lib/libaudio.so.2 (6 bytes, expected 5)",
                      }));

  SigningSeed otherSeed{1};
  PublicKey otherKey = publicKeyFromSeed(otherSeed);
  EXPECT_FALSE(verifyTree(tree, otherKey, release, problems, error));
  EXPECT_EQ(error, "the release's signature does not match: it was not published by Varnholt");

  EXPECT_FALSE(verifyTree(root.path() / "nowhere", publicKey, release, problems, error));
  EXPECT_EQ(error, "could not read " + (root.path() / "nowhere/latest.manifest").string() +
                       " (No such file or directory)");
}

TEST_F(Publishing, LargeFilesGetABlockIndexThatVerifyAndPruneKnow) {
  std::string large(1048576, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>((i * 2654435761u) >> 13);
  const std::string justBelow = large.substr(1);
  writeText(game / "data/large.pak", large);
  writeText(game / "data/below.pak", justBelow);
  std::string error;
  ASSERT_TRUE(publish("1.0", error)) << error;
  const fs::path index = tree / "files" / (digestOf(large) + ".blocks");
  ASSERT_TRUE(fs::is_regular_file(index));
  EXPECT_FALSE(fs::exists(tree / "files" / (digestOf(justBelow) + ".blocks")));
  const std::string published = readText(index);
  BlockIndexLayout layout;
  ASSERT_TRUE(parseBlockIndex(published, large.size(), layout));
  EXPECT_EQ(layout.blockSize, defaultIndexBlock);
  EXPECT_EQ(layout.strongWidth, defaultStrongSum);
  EXPECT_EQ((fs::status(index).permissions() & fs::perms::all), fs::perms(0644));

  Release release;
  std::vector<std::string> problems;
  ASSERT_TRUE(verifyTree(tree, publicKey, release, problems, error)) << error;
  EXPECT_TRUE(problems.empty()) << problems.front();
  PruneResult pruned;
  ASSERT_TRUE(pruneTree(tree, 0, false, pruned, error)) << error;
  EXPECT_TRUE(pruned.unusedFiles.empty()) << pruned.unusedFiles.front();

  std::string flipped = published;
  flipped[published.size() - 3] ^= 1;
  struct Case {
    const char* name;
    std::function<void()> damage;
    std::string problem;
  };
  const std::string where = "data/large.pak (files/" + digestOf(large) + ".blocks)";
  const std::vector<Case> cases = {
      {"missing", [&] { fs::remove(index); }, "missing index: " + where},
      {"a sum that is not the file's", [&] { writeText(index, flipped); }, "wrong index: " + where},
      {"cut short", [&] { writeText(index, published.substr(0, 100)); }, "wrong index: " + where},
      {"a folder", [&] { fs::remove(index); fs::create_directory(index); }, "missing index: " + where},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.damage();
    ASSERT_TRUE(verifyTree(tree, publicKey, release, problems, error)) << error;
    EXPECT_EQ(problems, std::vector<std::string>{c.problem});
    fs::remove_all(index);
    writeText(index, published);
  }

  // Publishing again writes a sound index where a malformed one stands; a newer file's index
  // goes beside the older one, which a prune removes with the older file.
  writeText(index, "not an index");
  ASSERT_TRUE(publish("1.0.1", error)) << error;
  EXPECT_EQ(readText(index), published);
  large[5000] ^= 1;
  writeText(game / "data/large.pak", large);
  ASSERT_TRUE(publish("1.1", error)) << error;
  EXPECT_TRUE(fs::is_regular_file(tree / "files" / (digestOf(large) + ".blocks")));
  ASSERT_TRUE(pruneTree(tree, 0, true, pruned, error)) << error;
  EXPECT_FALSE(fs::exists(index));
  EXPECT_TRUE(fs::is_regular_file(tree / "files" / (digestOf(large) + ".blocks")));
}

TEST(SeedFiles, LoadOnlySixtyFourHexDigits) {
  TempFolder folder;
  const std::string digits = "9f0e444c69f77a49bd0be89db92c38fe713e0963165cca12faf5712d7657120f";
  struct Case {
    std::string content;
    bool ok;
  };
  const std::vector<Case> cases = {
      {digits + "\n", true},        {digits, true},           {"9F0E444C69F77A49BD0BE89DB92C38FE713E0963165CCA12FAF5712D7657120F\n", true},
      {digits + "\r\n", false},     {digits + "\n\n", false}, {digits.substr(1) + "\n", false},
      {digits + "0\n", false},      {" " + digits, false},    {"", false},
      {digits.substr(0, 63) + "g\n", false},
  };
  fs::path file = folder.path() / "seed";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    writeText(file, c.content, fs::perms(0600));
    SigningSeed seed;
    std::string error;
    ASSERT_EQ(loadSeed(file, seed, error), c.ok) << error;
    if (c.ok) {
      EXPECT_EQ(publicKeyHex(seed), testPublicKeyHex);
    } else {
      EXPECT_EQ(error, "the seed file " + file.string() + " does not hold 64 hex digits");
    }
  }
  SigningSeed seed;
  std::string error;
  EXPECT_FALSE(loadSeed(folder.path() / "missing", seed, error));
  EXPECT_EQ(error, "could not read the seed file " + (folder.path() / "missing").string() +
                       " (No such file or directory)");
}

TEST(SeedFiles, CreatesANewPrivateSeedAndNeverOverwrites) {
  TempFolder folder;
  fs::path file = folder.path() / "release.seed";
  SigningSeed seed;
  std::string error;
  ASSERT_TRUE(createSeed(file, seed, error)) << error;
  EXPECT_EQ(fs::status(file).permissions(), fs::perms(0600));
  std::string content = readText(file);
  ASSERT_EQ(content.size(), 65u);
  EXPECT_EQ(content.back(), '\n');
  SigningSeed loaded;
  ASSERT_TRUE(loadSeed(file, loaded, error)) << error;
  EXPECT_EQ(publicKeyHex(loaded), publicKeyHex(seed));

  SigningSeed second;
  EXPECT_FALSE(createSeed(file, second, error));
  EXPECT_EQ(error, "the seed file " + file.string() + " already exists; it was left as it was");
  EXPECT_EQ(readText(file), content);
  EXPECT_FALSE(createSeed(folder.path() / "no/such/folder/seed", second, error));
  EXPECT_EQ(error, "could not create the seed file " + (folder.path() / "no/such/folder/seed").string() +
                       " (No such file or directory)");
}

}  // namespace
