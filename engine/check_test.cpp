// The plan from the disk: which files are needed, which links, the progress cadence and the
// "needed: " line. The manifest download in front of it is tested end to end (tests/engine).
#include <gtest/gtest.h>

#include <filesystem>

#include "app/session.h"
#include "engine/compare.h"
#include "engine/update_plan.h"
#include "tests/engine/release_fixture.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

class CompareWithDisk : public ::testing::Test {
 protected:
  void SetUp() override { resetBoard(install(), temp.path() / "log"); }
  void TearDown() override { closeLog(); }

  fs::path install() const { return temp.path() / "game"; }
  std::vector<std::string> log() {
    closeLog();
    return linesOf(readText(temp.path() / "log"));
  }
  void record(const TestRelease& release) { writeText(install() / "install.manifest", signedManifest(release)); }

  TempFolder temp;
};

TestRelease filesOfSizes(size_t count) {
  TestRelease release;
  for (size_t i = 1; i <= count; ++i) release.files.push_back({"f" + std::to_string(i), std::string(i, 'x')});
  return release;
}

TEST_F(CompareWithDisk, PublishesProgressAfterTheFirstFileAndEverySixteenthAfterIt) {
  struct Case {
    size_t files;
    size_t lastPublishedIndex;
  };
  for (Case c : {Case{1, 0}, Case{16, 0}, Case{17, 16}, Case{32, 16}, Case{33, 32}}) {
    resetBoard(install(), temp.path() / "log");
    board.latest = releaseRecord(filesOfSizes(c.files));
    std::string error;
    ASSERT_TRUE(compareWithDisk(board, error)) << error;
    // Sizes are 1, 2, 3, ... so the progress tells which file was the last one published.
    const double total = double(c.files * (c.files + 1) / 2);
    const double done = double((c.lastPublishedIndex + 1) * (c.lastPublishedIndex + 2) / 2);
    std::lock_guard<std::mutex> lock(board.mutex);
    EXPECT_EQ(board.detail, "Checking files...") << c.files;
    EXPECT_DOUBLE_EQ(board.progress, done / total) << c.files;
    EXPECT_EQ(board.headline, "") << "the headline is the check's own";
  }
}

TEST_F(CompareWithDisk, AReleaseWithoutFilesPublishesNoProgress) {
  board.latest.version = "1.0";
  setProgress(board, "before", 0.25);
  std::string error;
  ASSERT_TRUE(compareWithDisk(board, error));
  EXPECT_TRUE(board.neededFiles.empty());
  EXPECT_EQ(board.neededBytes, 0u);
  std::lock_guard<std::mutex> lock(board.mutex);
  EXPECT_EQ(board.detail, "before");
  EXPECT_EQ(board.progress, 0.25);
}

// What the installed record says of "data/f".
enum class Record {
  none,                 // there is no record
  latestHash,           // it lists data/f with the latest hash
  latestHashLaterLine,  // it lists data/f twice, the later line with the latest hash
  otherHashLaterLine,   // it lists data/f twice, the later line with another hash
  latestManifest,       // it is the very manifest the check verified
};

// One file "data/f" of the latest release, and what stands at its place.
struct FileCase {
  const char* name;
  void (*prepare)(const fs::path& install, const fs::path& outside);
  Record record;
  bool repair;
  bool needed;
};

const std::string latestContent = "new!!";  // 5 bytes
const std::string otherContent = "old??";   // 5 bytes, other digest

const FileCase fileCases[] = {
    {"missing", [](const fs::path&, const fs::path&) {}, Record::none, false, true},
    {"right content, not recorded: hashed",
     [](const fs::path& i, const fs::path&) { writeText(i / "data/f", latestContent); }, Record::none, false, false},
    {"same size, other content, not recorded",
     [](const fs::path& i, const fs::path&) { writeText(i / "data/f", otherContent); }, Record::none, false, true},
    {"same size, other content, recorded: trusted",
     [](const fs::path& i, const fs::path&) { writeText(i / "data/f", otherContent); }, Record::latestHash, false, false},
    {"same size, other content, recorded, --repair",
     [](const fs::path& i, const fs::path&) { writeText(i / "data/f", otherContent); }, Record::latestHash, true, true},
    {"right content, recorded, --repair",
     [](const fs::path& i, const fs::path&) { writeText(i / "data/f", latestContent); }, Record::latestHash, true, false},
    {"other size, recorded",
     [](const fs::path& i, const fs::path&) { writeText(i / "data/f", "new!!!"); }, Record::latestHash, false, true},
    {"a folder",
     [](const fs::path& i, const fs::path&) { fs::create_directories(i / "data/f"); }, Record::none, false, true},
    {"a link to nothing",
     [](const fs::path& i, const fs::path&) {
       fs::create_directories(i / "data");
       fs::create_symlink("gone", i / "data/f");
     },
     Record::none, false, true},
    {"a link to a file with the right content",
     [](const fs::path& i, const fs::path&) {
       writeText(i / "data/real", latestContent);
       fs::create_symlink("real", i / "data/f");
     },
     Record::none, false, false},
    {"the right file, but behind a folder link that leads out",
     [](const fs::path& i, const fs::path& o) {
       writeText(o / "f", latestContent);
       fs::create_directories(i);
       fs::create_directory_symlink(o, i / "data");
     },
     Record::latestHash, false, true},
    {"same size, other content, recorded twice, the later line with the latest hash: trusted",
     [](const fs::path& i, const fs::path&) { writeText(i / "data/f", otherContent); },
     Record::latestHashLaterLine, false, false},
    {"same size, other content, recorded twice, the later line with another hash",
     [](const fs::path& i, const fs::path&) { writeText(i / "data/f", otherContent); },
     Record::otherHashLaterLine, false, true},
    {"same size, other content, the record is the latest manifest: trusted",
     [](const fs::path& i, const fs::path&) { writeText(i / "data/f", otherContent); },
     Record::latestManifest, false, false},
    {"same size, other content, the record is the latest manifest, --repair",
     [](const fs::path& i, const fs::path&) { writeText(i / "data/f", otherContent); },
     Record::latestManifest, true, true},
};

TEST_F(CompareWithDisk, AFileIsPresentOnlyWithTheRightSizeAndARecordedOrComputedDigest) {
  TestRelease latest;
  latest.files = {{"data/f", latestContent}, {"other", "12345678901234567890"}};
  for (const FileCase& c : fileCases) {
    TempFolder sandbox;
    const fs::path dir = sandbox.path() / "game";
    resetBoard(dir, temp.path() / "log");
    board.latest = releaseRecord(latest);
    board.options.repair = c.repair;
    c.prepare(dir, sandbox.path());
    board.manifestText = signedManifest(latest);
    TestRelease installed = latest;
    installed.files.pop_back();  // "other" is not recorded and not on disk
    if (c.record == Record::latestHashLaterLine) installed.files.insert(installed.files.begin(), {"data/f", otherContent});
    if (c.record == Record::otherHashLaterLine) installed.files.push_back({"data/f", otherContent});
    if (c.record == Record::latestManifest) writeText(dir / "install.manifest", board.manifestText);
    if (c.record != Record::none && c.record != Record::latestManifest) {
      writeText(dir / "install.manifest", signedManifest(installed));
    }
    std::string error;
    ASSERT_TRUE(compareWithDisk(board, error)) << c.name;
    const std::vector<uint64_t> expected = c.needed ? std::vector<uint64_t>{0, 1} : std::vector<uint64_t>{1};
    EXPECT_EQ(board.neededFiles, expected) << c.name;
    EXPECT_EQ(board.neededBytes, (c.needed ? 5u : 0u) + 20u) << c.name;
    EXPECT_EQ(board.valid, c.record != Record::none) << c.name;
  }
}

TEST_F(CompareWithDisk, ALinkIsInPlaceOnlyWhenItIsALinkWithTheExactTarget) {
  struct LinkCase {
    const char* name;
    void (*prepare)(const fs::path& install, const fs::path& outside);
    bool needed;
  };
  const LinkCase cases[] = {
      {"missing", [](const fs::path&, const fs::path&) {}, true},
      {"right", [](const fs::path& i, const fs::path&) { fs::create_symlink("../data/a.so.2", i / "lib/a.so"); },
       false},
      {"another target",
       [](const fs::path& i, const fs::path&) { fs::create_symlink("../data/a.so.3", i / "lib/a.so"); }, true},
      {"the same place written otherwise",
       [](const fs::path& i, const fs::path&) { fs::create_symlink("../data//a.so.2", i / "lib/a.so"); }, true},
      {"a regular file", [](const fs::path& i, const fs::path&) { writeText(i / "lib/a.so", "x"); }, true},
      {"right, but in a folder reached through a link that leads out",
       [](const fs::path& i, const fs::path& o) {
         fs::create_directories(o / "lib");
         fs::create_symlink("../data/a.so.2", o / "lib/a.so");
         fs::remove(i / "lib");
         fs::create_directory_symlink(o / "lib", i / "lib");
       },
       true},
  };
  TestRelease latest;
  latest.files = {{"data/a.so.2", "library"}};
  latest.links = {{"lib/a.so", "../data/a.so.2"}};
  for (const LinkCase& c : cases) {
    TempFolder sandbox;
    const fs::path dir = sandbox.path() / "game";
    resetBoard(dir, temp.path() / "log");
    board.latest = releaseRecord(latest);
    writeText(dir / "data/a.so.2", "library");
    fs::create_directories(dir / "lib");
    c.prepare(dir, sandbox.path());
    std::string error;
    ASSERT_TRUE(compareWithDisk(board, error)) << c.name;
    EXPECT_EQ(board.linksNeeded, c.needed) << c.name;
    EXPECT_TRUE(board.neededFiles.empty()) << c.name;
  }

  // A target is compared as the exact text stored, also where it holds an empty component.
  TestRelease doubled = latest;
  doubled.links = {{"lib/a.so", "../data//a.so.2"}};
  resetBoard(install(), temp.path() / "log");
  board.latest = releaseRecord(doubled);
  writeText(install() / "data/a.so.2", "library");
  fs::create_directories(install() / "lib");
  fs::create_symlink("../data//a.so.2", install() / "lib/a.so");
  std::string error;
  ASSERT_TRUE(compareWithDisk(board, error));
  EXPECT_FALSE(board.linksNeeded);

  // No link at all in the release: nothing to make.
  resetBoard(install(), temp.path() / "log");
  board.latest = releaseRecord(TestRelease{"1.0", "a", {{"a", "x"}}, {}});
  writeText(install() / "a", "x");
  ASSERT_TRUE(compareWithDisk(board, error));
  EXPECT_FALSE(board.linksNeeded);
}

TEST_F(CompareWithDisk, LogsTheNeededFilesBytesAndLinks) {
  TestRelease latest;
  latest.files = {{"a", "0123456789"}, {"b", "present"}, {"c", "01234567890123456789"}};
  latest.links = {{"l", "b"}};
  board.latest = releaseRecord(latest);
  writeText(install() / "b", "present");
  std::string error;
  ASSERT_TRUE(compareWithDisk(board, error)) << error;
  EXPECT_EQ(board.neededFiles, (std::vector<uint64_t>{0, 2}));
  EXPECT_EQ(log(), (std::vector<std::string>{"needed: 2 files, 30 bytes, links"}));
}

TEST_F(CompareWithDisk, NothingNeededLogsNoLinks) {
  TestRelease latest;
  latest.files = {{"a", "x"}};
  latest.links = {{"l", "a"}};
  board.latest = releaseRecord(latest);
  writeText(install() / "a", "x");
  fs::create_symlink("a", install() / "l");
  std::string error;
  ASSERT_TRUE(compareWithDisk(board, error));
  EXPECT_EQ(log(), (std::vector<std::string>{"needed: 0 files, 0 bytes"}));
}

TEST_F(CompareWithDisk, ACancelStopsBeforeTheFirstFile) {
  board.latest = releaseRecord(filesOfSizes(3));
  board.cancel = true;
  std::string error;
  EXPECT_FALSE(compareWithDisk(board, error));
  EXPECT_EQ(error, "Cancelled.");
  EXPECT_TRUE(board.neededFiles.empty());
  EXPECT_TRUE(log().empty());
}

TEST_F(CompareWithDisk, ReadsTheInstalledRecordAndKnowsWhetherItIsTheLatest) {
  TestRelease older;
  older.files = {{"a", "1"}};
  TestRelease latest = older;
  latest.version = "2.0";
  board.manifestText = signedManifest(latest);
  board.latest = releaseRecord(latest);

  std::string error;
  ASSERT_TRUE(compareWithDisk(board, error));
  EXPECT_FALSE(board.valid);
  EXPECT_FALSE(recordIsCurrent(board));

  record(older);
  ASSERT_TRUE(compareWithDisk(board, error));
  EXPECT_TRUE(board.valid);
  EXPECT_EQ(board.installed.version, "1.0");
  EXPECT_FALSE(recordIsCurrent(board));

  writeText(install() / "install.manifest", board.manifestText);
  ASSERT_TRUE(compareWithDisk(board, error));
  EXPECT_TRUE(recordIsCurrent(board));

  writeText(install() / "install.manifest", "varnholt-release 1\nversion 3\n");  // incomplete
  ASSERT_TRUE(compareWithDisk(board, error));
  EXPECT_FALSE(board.valid);
}

}  // namespace

TEST_F(CompareWithDisk, OnlyARecordOfExactlyTheLatestTextIsTheLatestRelease) {
  // Long enough that the record is compared in several pieces.
  const TestRelease latest = filesOfSizes(2600);
  board.manifestText = signedManifest(latest);
  board.latest = releaseRecord(latest);
  ASSERT_GT(board.manifestText.size(), 3 * 65536u);
  std::string lateByteChanged = board.manifestText;
  const size_t late = lateByteChanged.rfind("\nfile ") + 10;  // a hex digit of the last file's hash
  lateByteChanged[late] = lateByteChanged[late] == 'a' ? 'b' : 'a';

  const struct {
    const char* name;
    std::string record;
    bool latest;
  } cases[] = {
      {"the same text", board.manifestText, true},
      {"a hash digit changed in the last piece", lateByteChanged, false},
      {"one byte more", board.manifestText + "\n", false},
      {"one byte less", board.manifestText.substr(0, board.manifestText.size() - 1), false},
  };
  for (const auto& c : cases) {
    writeText(install() / "install.manifest", c.record);
    std::string error;
    ASSERT_TRUE(compareWithDisk(board, error)) << c.name;
    EXPECT_TRUE(board.valid) << c.name;
    EXPECT_EQ(recordIsCurrent(board), c.latest) << c.name;
    EXPECT_EQ(installedRelease(board).files.size(), 2600u) << c.name;
  }

  fs::remove(install() / "install.manifest");
  fs::create_directory(install() / "install.manifest");
  std::string error;
  ASSERT_TRUE(compareWithDisk(board, error));
  EXPECT_FALSE(board.valid);
  EXPECT_FALSE(recordIsCurrent(board));
}

TEST_F(CompareWithDisk, ALargeReleaseIsJudgedFileByFileAsASmallOne) {
  // Large enough for the status queries to be shared with a second thread.
  TestRelease latest;
  for (int i = 0; i < 900; ++i) {
    latest.files.push_back({"d" + std::to_string(i / 100) + "/f" + std::to_string(i), "content " + std::to_string(i)});
  }
  record(latest);
  std::vector<uint64_t> expected;
  for (uint64_t i = 0; i < latest.files.size(); ++i) {
    const GameFile& file = latest.files[i];
    if (i % 7 == 3) {
      expected.push_back(i);  // missing
    } else if (i % 11 == 5) {
      writeText(install() / file.path, file.content + "!");  // another size
      expected.push_back(i);
    } else if (i % 13 == 6) {
      fs::create_directories(install() / file.path);  // a folder in its place
      expected.push_back(i);
    } else {
      writeText(install() / file.path, file.content);
    }
  }
  board.latest = releaseRecord(latest);
  std::string error;
  ASSERT_TRUE(compareWithDisk(board, error));
  EXPECT_EQ(board.neededFiles, expected);
}
