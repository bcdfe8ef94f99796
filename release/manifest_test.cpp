#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "release/release.h"
#include "tests/support/temp_folder.h"

namespace {

const std::string hashA = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
const std::string hashB = "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100";

// A complete manifest with extra lines at the end.
std::string manifestWith(const std::string& extra) {
  return "varnholt-release 1\nversion 1.0\ngame bin/game\nexec " + hashA + " 5 bin/game\n" + extra;
}

// parseReleaseFile on text written to a file: the same answer, error and release as
// parseRelease on the text itself.
void expectSameFromFile(const std::string& text) {
  TempFolder folder;
  const std::filesystem::path path = folder.path() / "install.manifest";
  std::ofstream(path, std::ios::binary) << text;
  Release whole, pieces;
  std::string wholeError, piecesError;
  const bool wholeResult = parseRelease(text, whole, wholeError);
  EXPECT_EQ(parseReleaseFile(path, pieces, piecesError), wholeResult);
  EXPECT_EQ(piecesError, wholeError);
  EXPECT_TRUE(pieces == whole);
}

TEST(ManifestParser, ReadsTheExampleRelease) {
  const std::string text =
      "varnholt-release 1\n"
      "version 1.0.22b\n"
      "protocol 1\n"
      "game bin/game\n"
      "exec 00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff 734 bin/game\n"
      "file ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100 98 data/base pak/levels.dat\n"
      "file 0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef 12 lib/libaudio.so.2\n"
      "link libaudio.so.2\tlib/libaudio.so\n"
      "link ../lib/libaudio.so.2\tbin/libaudio.so.2\n"
      "signature 0f1e2d3c4b5a69780f1e2d3c4b5a69780f1e2d3c4b5a69780f1e2d3c4b5a69780f1e2d3c4b5a6978"
      "0f1e2d3c4b5a69780f1e2d3c4b5a69780f1e2d3c4b5a6978\n";
  Release release;
  std::string error = "untouched";
  ASSERT_TRUE(parseRelease(text, release, error)) << error;
  EXPECT_EQ(error, "untouched");
  EXPECT_EQ(release.version, "1.0.22b");
  EXPECT_EQ(release.protocol, 1);
  EXPECT_EQ(release.game, "bin/game");
  ASSERT_EQ(release.files.size(), 3u);
  EXPECT_EQ(release.files[0].hash, hashA);
  EXPECT_EQ(release.files[0].size, 734u);
  EXPECT_EQ(release.files[0].path, "bin/game");
  EXPECT_TRUE(release.files[0].executable);
  EXPECT_EQ(release.files[1].path, "data/base pak/levels.dat");
  EXPECT_EQ(release.files[1].size, 98u);
  EXPECT_FALSE(release.files[1].executable);
  EXPECT_EQ(release.files[2].path, "lib/libaudio.so.2");
  ASSERT_EQ(release.links.size(), 2u);
  EXPECT_EQ(release.links[0].target, "libaudio.so.2");
  EXPECT_EQ(release.links[0].path, "lib/libaudio.so");
  EXPECT_EQ(release.links[1].target, "../lib/libaudio.so.2");
  EXPECT_EQ(release.links[1].path, "bin/libaudio.so.2");
  EXPECT_EQ(totalSize(release), 734u + 98u + 12u);
}

TEST(ManifestParser, RefusesWithTheMessageOfTheFirstProblem) {
  struct Case {
    std::string text;
    std::string error;
  };
  const std::string h63 = hashA.substr(0, 63);
  const std::vector<Case> cases = {
      {"", "not a Varnholt release"},
      {"varnholt-release 1\r\nversion 1.0\r\ngame g\r\n", "not a Varnholt release"},
      {"varnholt-release 2\n", "not a Varnholt release"},
      {"varnholt-release 1 \n", "not a Varnholt release"},
      {" varnholt-release 1\n", "not a Varnholt release"},
      {"\nvarnholt-release 1\n", "not a Varnholt release"},
      {"varnholt-release 1", "the release is incomplete"},
      {"varnholt-release 1\nsignature 00\n", "the release is incomplete"},
      {"varnholt-release 1\ngame bin/game\nexec " + hashA + " 5 bin/game\n", "the release is incomplete"},
      {"varnholt-release 1\nversion 1.0\nexec " + hashA + " 5 bin/game\n", "the release is incomplete"},
      {"varnholt-release 1\nversion 1.0\ngame bin/game\n", "the release is incomplete"},
      {manifestWith("version\n"), "the release is incomplete"},
      {manifestWith("game ../game\n"), "the release is incomplete"},
      {manifestWith("game /bin/game\n"), "the release is incomplete"},
      {manifestWith(" \n"), "unknown line: "},
      {manifestWith(" version 1.0\n"), "unknown line: "},
      {manifestWith("Version 1.0\n"), "unknown line: Version"},
      {manifestWith("\tversion 1.0\n"), "unknown line: \tversion"},
      {manifestWith("version\t1.0\n"), "unknown line: version\t1.0"},
      {manifestWith("bogus"), "unknown line: bogus"},
      {manifestWith("\r\n"), "unknown line: \r"},
      {manifestWith("file\n"), "a file line is malformed"},
      {manifestWith("file \n"), "a file line is malformed"},
      {manifestWith("file " + hashA + "\n"), "a file line is malformed"},
      {manifestWith("file " + hashA + " \n"), "a file line is malformed"},
      {manifestWith("exec " + hashA + " 98\n"), "a file line is malformed"},
      {manifestWith("file " + h63 + " 98 data/x\n"), "a file's hash is malformed: data/x"},
      {manifestWith("file " + hashA + "0 98 data/x\n"), "a file's hash is malformed: data/x"},
      {manifestWith("file " + h63 + "g 98 data/x\n"), "a file's hash is malformed: data/x"},
      {manifestWith("file  98 data/x\n"), "a file's hash is malformed: data/x"},
      {manifestWith("file " + hashA + " 98 /abs\n"), "a file's path leaves the install folder: /abs"},
      {manifestWith("file " + hashA + " 98 \\x\n"), "a file's path leaves the install folder: \\x"},
      {manifestWith("file " + hashA + " 98 a\\b\n"), "a file's path leaves the install folder: a\\b"},
      {manifestWith("file " + hashA + " 98 C:x\n"), "a file's path leaves the install folder: C:x"},
      {manifestWith("file " + hashA + " 98 a//b\n"), "a file's path leaves the install folder: a//b"},
      {manifestWith("file " + hashA + " 98 ./a\n"), "a file's path leaves the install folder: ./a"},
      {manifestWith("file " + hashA + " 98 a/./b\n"), "a file's path leaves the install folder: a/./b"},
      {manifestWith("file " + hashA + " 98 a/../b\n"), "a file's path leaves the install folder: a/../b"},
      {manifestWith("file " + hashA + " 98 ..\n"), "a file's path leaves the install folder: .."},
      {manifestWith("file " + hashA + " 98 \n"), "a file's path leaves the install folder: "},
      {manifestWith("link\n"), "a link line is malformed"},
      {manifestWith("link \n"), "a link line is malformed"},
      {manifestWith("link lib/x bin/x\n"), "a link line is malformed"},
      {manifestWith("link ../../y\tbin/x\n"), "a link leaves the install folder: bin/x"},
      {manifestWith("link a/../../b\td\n"), "a link leaves the install folder: d"},
      {manifestWith("link ..\tgame.sh\n"), "a link leaves the install folder: game.sh"},
      {manifestWith("link y\t../x\n"), "a link leaves the install folder: ../x"},
      {manifestWith("link y\ta//b\n"), "a link leaves the install folder: a//b"},
      {manifestWith("link \tbin/x\n"), "a link leaves the install folder: bin/x"},
      {manifestWith("link /etc/passwd\tbin/x\n"), "a link leaves the install folder: bin/x"},
      {manifestWith("link C:x\tbin/x\n"), "a link leaves the install folder: bin/x"},
      {manifestWith("link ..\\..\\x\tbin/x\n"), "a link leaves the install folder: bin/x"},
      {manifestWith("link y\t\n"), "a link leaves the install folder: "},
      // Names the setup program keeps for itself, the names themselves and what lies under them.
      {manifestWith("file " + hashA + " 98 .staging/" + hashA + ".copy\n"),
       "a file's path is one the setup program keeps for itself: .staging/" + hashA + ".copy"},
      {manifestWith("file " + hashA + " 98 .staging/\n"),
       "a file's path is one the setup program keeps for itself: .staging/"},
      {manifestWith("exec " + hashA + " 98 install.manifest\n"),
       "a file's path is one the setup program keeps for itself: install.manifest"},
      {manifestWith("file " + hashA + " 98 install.source/x\n"),
       "a file's path is one the setup program keeps for itself: install.source/x"},
      {manifestWith("file " + hashA + " 98 install.manifest.tmp\n"),
       "a file's path is one the setup program keeps for itself: install.manifest.tmp"},
      {manifestWith("link x\tinstall.source.tmp\n"),
       "a link's path is one the setup program keeps for itself: install.source.tmp"},
      {manifestWith("link ../x\t.staging/" + hashA + "\n"),
       "a link's path is one the setup program keeps for itself: .staging/" + hashA},
      // The first problem wins; nothing after it is read.
      {manifestWith("bogus\nfile " + h63 + " 1 x\n"), "unknown line: bogus"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Release release;
    std::string error;
    EXPECT_FALSE(parseRelease(c.text, release, error));
    EXPECT_EQ(error, c.error);
    expectSameFromFile(c.text);
  }
}

// The file is read in pieces of 64 KiB: lines cut by the end of a piece, a line longer than a
// piece, and problems before, across and after a cut.
TEST(ManifestParser, ReadsAFileInPiecesAsItsWholeText) {
  std::string many;
  for (int i = 0; many.size() < 3 * 65536; ++i) {
    many += (i % 7 ? "file " : "exec ") + (i % 2 ? hashA : hashB) + " " + std::to_string(i) +
            " data/folder " + std::to_string(i % 13) + "/file" + std::to_string(i) + ".dat\n";
  }
  const std::string longPath = "data/" + std::string(150000, 'p') + "/end";
  const std::vector<std::string> texts = {
      manifestWith(many),
      manifestWith(many + "link ../y\tbin/x\nsignature 00\nanything at all\n"),
      manifestWith(many.substr(0, many.size() - 1)),                  // no LF at the end
      manifestWith(many.substr(0, 70000) + "\n"),                    // a line cut short
      manifestWith(many.substr(0, 100000) + "bogus\n" + many),       // refused after a cut
      manifestWith("file " + hashA + " 9 " + longPath + "\n" + many),  // a line over pieces
      manifestWith("file " + hashA + " 9 " + longPath),                // the same, last
      manifestWith(many + "file " + hashA + " 9 /" + longPath + "\n"),
      manifestWith(std::string(200000, '\n')),                        // empty lines only
      "varnholt-release 1\r\n" + many,
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.substr(0, 120));
    expectSameFromFile(text);
  }
}

TEST(ManifestParser, AFileThatCannotBeReadIsAnEmptyText) {
  TempFolder folder;
  for (const std::filesystem::path& path : {folder.path() / "missing", folder.path()}) {
    SCOPED_TRACE(path);
    Release release;
    release.version = "old";
    std::string error;
    EXPECT_FALSE(parseReleaseFile(path, release, error));
    EXPECT_EQ(error, "not a Varnholt release");
    EXPECT_TRUE(release == Release());
  }
}

TEST(ManifestParser, AcceptsTheLinesTheFormatAllows) {
  struct Case {
    std::string extra;
    std::string lastPath;  // path of the last file or link entry
  };
  const std::vector<Case> cases = {
      {"file " + hashA + " 98 a/b/\n", "a/b/"},
      {"file " + hashA + " 98 data/base pak/levels.dat\n", "data/base pak/levels.dat"},
      {"file " + hashA + "  98 data/x\n", "98 data/x"},
      {"file " + hashA + " 98 data/x\t\n", "data/x\t"},
      {"file " + hashA + " 98 data/x\r\n", "data/x\r"},
      {"file " + hashA.substr(0, 32) + "AABBCCDDEEFF00112233445566778899 1 upper\n", "upper"},
      {"link ../y\tbin/x\n", "bin/x"},
      {"link a/../../b\tc/d\n", "c/d"},
      {"link ./.././/y\tbin/x\n", "bin/x"},
      {"link ../y\tbin/x\tz\n", "bin/x\tz"},  // the path is all after the first TAB
      // Only the names in the install folder itself are the setup program's.
      {"file " + hashA + " 98 data/.staging\n", "data/.staging"},
      {"file " + hashA + " 98 .staging2/x\n", ".staging2/x"},
      {"file " + hashA + " 98 install.manifest.old\n", "install.manifest.old"},
      {"link .staging\tdata/install.source\n", "data/install.source"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extra);
    Release release;
    std::string error;
    ASSERT_TRUE(parseRelease(manifestWith(c.extra), release, error)) << error;
    if (c.extra.rfind("link", 0) == 0) {
      ASSERT_EQ(release.links.size(), 1u);
      EXPECT_EQ(release.links[0].path, c.lastPath);
    } else {
      ASSERT_EQ(release.files.size(), 2u);
      EXPECT_EQ(release.files[1].path, c.lastPath);
    }
  }
}

TEST(ManifestParser, KeepsValuesAsWritten) {
  Release release;
  std::string error;
  const std::string upper = "00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff";
  ASSERT_TRUE(parseRelease(
      "varnholt-release 1\n\n\nversion 0.9\ngame bin/game\r\nversion 1.0 beta \r\n\n"
      "file " + upper + " 7 a\nfile " + hashB + " 8 a\nexec " + hashA + " 9 bin/game\r\n"
      "signature whatever\nbogus line never read\nfile short 1 /abs",
      release, error))
      << error;
  EXPECT_EQ(release.version, "1.0 beta \r");
  EXPECT_EQ(release.game, "bin/game\r");
  ASSERT_EQ(release.files.size(), 3u);
  EXPECT_EQ(release.files[0].hash, upper);
  EXPECT_EQ(release.files[0].path, "a");
  EXPECT_EQ(release.files[1].path, "a");
  EXPECT_EQ(release.files[2].path, "bin/game\r");
  EXPECT_TRUE(release.files[2].executable);
  EXPECT_EQ(totalSize(release), 24u);
}

TEST(ManifestParser, ReadsNumbersAsTheCLibraryDoes) {
  struct Case {
    std::string text;
    int32_t protocol;
  };
  const std::vector<Case> protocols = {
      {"abc", 0},       {"", 0},          {" 42", 42},       {"\t+7x", 7},
      {"-7", -7},       {"12abc", 12},    {"2147483647", 2147483647},
      {"4294967297", 1},                    // strtol's 64-bit result, kept to 32 bits
      {"2147483648", INT32_MIN},
      {"99999999999999999999", -1},         // LONG_MAX, kept to 32 bits
      {"-99999999999999999999", 0},         // LONG_MIN, kept to 32 bits
  };
  for (const Case& c : protocols) {
    SCOPED_TRACE(c.text);
    Release release;
    std::string error;
    ASSERT_TRUE(parseRelease(manifestWith("protocol " + c.text + "\n"), release, error)) << error;
    EXPECT_EQ(release.protocol, c.protocol);
  }
  Release noValue;
  std::string error;
  ASSERT_TRUE(parseRelease(manifestWith("protocol 3\nprotocol\n"), noValue, error));
  EXPECT_EQ(noValue.protocol, 0);

  struct SizeCase {
    std::string text;
    uint64_t size;
  };
  const std::vector<SizeCase> sizes = {
      {"abc", 0},
      {"+5", 5},
      {"12kB", 12},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", UINT64_MAX},
      {"-1", UINT64_MAX},
      {"007", 7},
  };
  for (const SizeCase& c : sizes) {
    SCOPED_TRACE(c.text);
    Release release;
    ASSERT_TRUE(parseRelease(manifestWith("file " + hashB + " " + c.text + " data/x\n"), release, error)) << error;
    ASSERT_EQ(release.files.size(), 2u);
    EXPECT_EQ(release.files[1].size, c.size);
  }
}

TEST(ManifestParser, StartsFromAnEmptyRecordAndKeepsWhatCameBeforeAFailure) {
  Release release;
  release.version = "old";
  release.links.push_back(ReleaseLink{"t", "p"});
  std::string error;
  EXPECT_FALSE(parseRelease("varnholt-release 1\nversion 2.0\nprotocol 5\nbogus\nversion 3.0\n", release, error));
  EXPECT_EQ(error, "unknown line: bogus");
  EXPECT_EQ(release.version, "2.0");
  EXPECT_EQ(release.protocol, 5);
  EXPECT_TRUE(release.links.empty());
  EXPECT_TRUE(release.files.empty());

  EXPECT_FALSE(parseRelease("", release, error));
  EXPECT_EQ(release.version, "");
  EXPECT_EQ(release.protocol, 0);
}

TEST(SafePaths, FollowTheFileAndLinkRules) {
  struct PathCase {
    std::string path;
    bool safe;
  };
  const std::vector<PathCase> paths = {
      {"a", true},          {"a/b/", true},      {"data/base pak/levels.dat", true},
      {"...", true},        {".hidden", true},   {"a..b/c", true},
      {"", false},          {"/abs", false},     {"\\x", false},
      {"a\\b", false},      {"C:x", false},      {"a:", false},
      {"a//b", false},      {"./a", false},      {"a/./b", false},
      {"a/../b", false},    {"..", false},       {".", false},
      {"/", false},         {"a//", false},      {"a/.", false},
      {"a/..", false},      {"a/./", false},     {"a/../", false},
  };
  for (const PathCase& c : paths) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(isSafePath(c.path), c.safe);
  }

  struct LinkCase {
    std::string linkPath;
    std::string target;
    bool safe;
  };
  const std::vector<LinkCase> links = {
      {"bin/libaudio.so.2", "../lib/libaudio.so.2", true},
      {"bin/libaudio.so.2", "../../x", false},
      {"game.sh", "bin/game", true},
      {"game.sh", "../game", false},
      {"game.sh", "..", false},
      {"bin/x", "../y", true},
      {"bin/x", "../../y", false},
      {"c/d", "a/../../b", true},
      {"d", "a/../../b", false},
      {"d", "./x", true},
      {"d", "a//b/", true},
      {"a/b/c", "../..", true},
      {"a/b/c", "../../..", false},
      {"a/b/c", "../../../a/b", false},  // leaving and coming back is still leaving
      {"x", "", false},
      {"x", "/etc/passwd", false},
      {"x", "\\x", false},
      {"x", "a\\b", false},
      {"x", "C:x", false},
  };
  for (const LinkCase& c : links) {
    SCOPED_TRACE(c.linkPath + " -> " + c.target);
    EXPECT_EQ(isSafeLinkTarget(c.linkPath, c.target), c.safe);
  }
}

TEST(ManifestParser, AddsUpSizes) {
  Release release;
  EXPECT_EQ(totalSize(release), 0u);
  release.files.push_back(ReleaseFile{hashA, 5000000000ull, "a", false});
  release.files.push_back(ReleaseFile{hashA, 7, "b", true});
  EXPECT_EQ(totalSize(release), 5000000007ull);
}

}  // namespace
