#include "engine/contained.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

struct ContainedCase {
  const char* relativePath;
  bool inside;
  std::string reason;
};

class ParentInside : public ::testing::Test {
 protected:
  void SetUp() override {
    install = temp.path() / "game";
    outside = temp.path() / "elsewhere";
    fs::create_directories(install / "data" / "maps");
    fs::create_directories(outside);
    fs::create_directory_symlink(".", install / "here");          // a folder that is the install folder
    fs::create_directory_symlink("data", install / "dat");        // a folder inside
    fs::create_directory_symlink(outside, install / "out");       // absolute, leads out
    fs::create_directory_symlink("..", install / "data" / "up");  // back to the install folder
    fs::create_directory_symlink("../..", install / "data" / "upup");  // leads out
    fs::create_symlink(temp.path() / "missing", install / "dangling");
    fs::create_symlink("loop", install / "loop");
    std::ofstream(install / "plain") << "x";
  }
  TempFolder temp;
  fs::path install;
  fs::path outside;
};

TEST_F(ParentInside, JudgesTheRealLocationOfTheParentFolder) {
  const ContainedCase cases[] = {
      {"game", true, ""},
      {"a/b/c", true, ""},                // folders that do not exist yet
      {"data/maps/x", true, ""},
      {"a/b/", true, ""},                 // a trailing slash names the entry "a/b"
      {"here/x", true, ""},
      {"here/here/data/x", true, ""},
      {"dat/maps/x", true, ""},
      {"data/up/x", true, ""},
      {"out", true, ""},                  // the link itself lies inside; only what is behind it is out
      {"out/x", false, "it would land outside the install folder"},
      {"out/new/deeper/x", false, "it would land outside the install folder"},
      {"data/upup/x", false, "it would land outside the install folder"},
      {"here/data/upup/game/x", true, ""},  // out and back in again is inside
      {"dat/maps/new/deeper/x", true, ""},  // below a link, through folders known and new
      {"data/up/out/x", false, "it would land outside the install folder"},
      {"data/up/dat/up/here/x", true, ""},
      {"dangling/x", true, ""},           // nothing can be made behind a link to nothing
      {"dangling/x/y", true, ""},
      {"plain/x", true, ""},              // a file on the way: the step itself fails
      {"plain/x/y", true, ""},
      {"loop/x/y", false, std::make_error_code(std::errc::too_many_symbolic_link_levels).message()},
  };
  ContainmentCache cache(install);
  for (int round = 0; round < 2; ++round) {
    for (const ContainedCase& c : cases) {
      std::string reason;
      EXPECT_EQ(parentInside(install, c.relativePath, reason), c.inside) << c.relativePath;
      EXPECT_EQ(reason, c.reason) << c.relativePath;
      std::string cachedReason;
      EXPECT_EQ(cache.parentInside(c.relativePath, cachedReason), c.inside) << c.relativePath << ", round " << round;
      EXPECT_EQ(cachedReason, c.reason) << c.relativePath << ", round " << round;
    }
  }
}

TEST_F(ParentInside, ALoopOfLinksGivesTheSystemsMessage) {
  std::string reason;
  EXPECT_FALSE(parentInside(install, "loop/x", reason));
  EXPECT_EQ(reason, std::make_error_code(std::errc::too_many_symbolic_link_levels).message());
}

TEST_F(ParentInside, APathTheSystemWouldRefuseIsNotResolved) {
  std::string deep;
  while (deep.size() < (1u << 20)) deep += "d/";  // half a million folders
  std::string reason;
  EXPECT_FALSE(parentInside(install, deep + "x", reason));
  EXPECT_EQ(reason, "File name too long");
  ContainmentCache cache(install);
  reason.clear();
  EXPECT_FALSE(cache.parentInside(deep + "x", reason));
  EXPECT_EQ(reason, "File name too long");
}

TEST_F(ParentInside, AnInstallFolderReachedThroughALinkStillCountsAsInside) {
  fs::create_directory_symlink(install, temp.path() / "alias");
  std::string reason;
  EXPECT_TRUE(parentInside(temp.path() / "alias", "data/x", reason));
  EXPECT_TRUE(parentInside(temp.path() / "alias", "here/x", reason));
  EXPECT_FALSE(parentInside(temp.path() / "alias", "out/x", reason));
  EXPECT_TRUE(parentInside(temp.path() / "not-made-yet" / "", "a/x", reason));
}

TEST_F(ParentInside, AFolderBesideWithTheSamePrefixIsOutside) {
  // "game2" starts with the text "game" but is another folder.
  fs::create_directories(temp.path() / "game2");
  fs::create_directory_symlink(temp.path() / "game2", install / "twin");
  std::string reason;
  EXPECT_FALSE(parentInside(install, "twin/x", reason));
  EXPECT_EQ(reason, "it would land outside the install folder");
}

// A link is judged by where the kernel takes it, not by its text: "l/.." with l a link to "."
// climbs out of the install folder although its text stays at depth 0.
TEST_F(ParentInside, ALinkLeadsWhereTheKernelTakesIt) {
  fs::create_directory_symlink(".", install / "l");
  fs::create_directory_symlink("l/..", install / "up");               // the text stays inside
  fs::create_directory_symlink("here/l/data/..", install / "back");   // through links, back to the install folder
  fs::create_directory_symlink("../l/..", install / "data" / "twice");
  fs::create_directory_symlink("up/game", install / "again");         // out through a link, and back in by name
  fs::create_symlink("not-there/..", install / "unmade");            // nothing stands there yet: taken as written
  fs::create_symlink("not-there/../..", install / "unmade-up");
  const ContainedCase cases[] = {
      {"l", true, ""},
      {"up", false, "it would land outside the install folder"},
      {"back", true, ""},
      {"data/twice", false, "it would land outside the install folder"},
      {"again", true, ""},
      {"out", false, "it would land outside the install folder"},
      {"dat", true, ""},
      {"data/up", true, ""},
      {"data/upup", false, "it would land outside the install folder"},
      {"dangling", false, "it would land outside the install folder"},  // absolute, to a name outside
      {"unmade", true, ""},
      {"unmade-up", false, "it would land outside the install folder"},
      {"plain", true, ""},
      {"new/x", true, ""},
      {"loop", false, std::make_error_code(std::errc::too_many_symbolic_link_levels).message()},
      {"staged", false, "it would lead to a name the setup program keeps for itself"},
      {"record", false, "it would lead to a name the setup program keeps for itself"},
      {"data/staged-entry", false, "it would lead to a name the setup program keeps for itself"},
      {"data/beside", true, ""},
  };
  fs::create_directories(install / ".staging");
  fs::create_directory_symlink(".staging", install / "staged");
  fs::create_symlink("here/install.manifest", install / "record");
  fs::create_symlink("../l/.staging/abc", install / "data" / "staged-entry");
  fs::create_symlink("../.staging2", install / "data" / "beside");
  for (const ContainedCase& c : cases) {
    std::string reason;
    EXPECT_EQ(leadsInside(install, c.relativePath, reason), c.inside) << c.relativePath;
    EXPECT_EQ(reason, c.reason) << c.relativePath;
  }
  // Only the kernel's own resolution tells: where a link leads out, the real path lies outside.
  EXPECT_EQ(fs::canonical(install / "up"), fs::canonical(temp.path()));
  EXPECT_EQ(fs::canonical(install / "data" / "twice"), fs::canonical(temp.path()));
}

}  // namespace
