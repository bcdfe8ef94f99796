#include "tools/publish.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

const std::string testSeedFile = std::string(VARNHOLT_SOURCE_DIR) + "/tests/keys/test-release.seed";
const std::string testPublicKeyHex = "c008b814a7d269a1fa3c6528b19201a24d797912db9996ff02a1ff356e45552b";

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
    ASSERT_TRUE(decodeHex(testPublicKeyHex, publicKey, 32));
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
  unsigned char seed[32];
  unsigned char publicKey[32];
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
  EXPECT_EQ(namesIn(tree), (std::set<std::string>{"files", "latest.manifest"}));
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
    EXPECT_EQ(namesIn(tree), (std::set<std::string>{"files", "latest.manifest"}));
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

  unsigned char otherKey[32];
  unsigned char otherSeed[32] = {1};
  publicKeyFromSeed(otherSeed, otherKey);
  EXPECT_FALSE(verifyTree(tree, otherKey, release, problems, error));
  EXPECT_EQ(error, "the release's signature does not match: it was not published by Varnholt");

  EXPECT_FALSE(verifyTree(root.path() / "nowhere", publicKey, release, problems, error));
  EXPECT_EQ(error, "could not read " + (root.path() / "nowhere/latest.manifest").string() +
                       " (No such file or directory)");
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
    unsigned char seed[32];
    std::string error;
    ASSERT_EQ(loadSeed(file, seed, error), c.ok) << error;
    if (c.ok) {
      EXPECT_EQ(publicKeyHex(seed), testPublicKeyHex);
    } else {
      EXPECT_EQ(error, "the seed file " + file.string() + " does not hold 64 hex digits");
    }
  }
  unsigned char seed[32];
  std::string error;
  EXPECT_FALSE(loadSeed(folder.path() / "missing", seed, error));
  EXPECT_EQ(error, "could not read the seed file " + (folder.path() / "missing").string() +
                       " (No such file or directory)");
}

TEST(SeedFiles, CreatesANewPrivateSeedAndNeverOverwrites) {
  TempFolder folder;
  fs::path file = folder.path() / "release.seed";
  unsigned char seed[32];
  std::string error;
  ASSERT_TRUE(createSeed(file, seed, error)) << error;
  EXPECT_EQ(fs::status(file).permissions(), fs::perms(0600));
  std::string content = readText(file);
  ASSERT_EQ(content.size(), 65u);
  EXPECT_EQ(content.back(), '\n');
  unsigned char loaded[32];
  ASSERT_TRUE(loadSeed(file, loaded, error)) << error;
  EXPECT_EQ(publicKeyHex(loaded), publicKeyHex(seed));

  unsigned char second[32];
  EXPECT_FALSE(createSeed(file, second, error));
  EXPECT_EQ(error, "the seed file " + file.string() + " already exists; it was left as it was");
  EXPECT_EQ(readText(file), content);
  EXPECT_FALSE(createSeed(folder.path() / "no/such/folder/seed", second, error));
  EXPECT_EQ(error, "could not create the seed file " + (folder.path() / "no/such/folder/seed").string() +
                       " (No such file or directory)");
}

}  // namespace
