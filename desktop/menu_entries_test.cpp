#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/options.h"
#include "app/session.h"
#include "desktop/desktop.h"
#include "tests/support/process.h"
#include "tests/support/scoped_state.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

void touch(const fs::path& path) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << "#!/bin/sh\n";
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Reads an Exec value the way a desktop does: first the key file's string escapes, then the
// quoting rules of the Exec key, then the field codes (of which only "%%" may appear here).
// Anything those rules do not allow makes it fail.
bool parseExec(const std::string& value, std::vector<std::string>& argv) {
  std::string unescaped;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\n' || value[i] == '\r') return false;  // a raw line break ends the line
    if (value[i] != '\\') { unescaped += value[i]; continue; }
    if (++i == value.size()) return false;
    switch (value[i]) {
      case 's': unescaped += ' '; break;
      case 'n': unescaped += '\n'; break;
      case 't': unescaped += '\t'; break;
      case 'r': unescaped += '\r'; break;
      case '\\': unescaped += '\\'; break;
      default: return false;
    }
  }

  argv.clear();
  std::string argument;
  bool inArgument = false;
  const std::string_view reserved = "\t\n\"'\\><~|&;$*?#()`";
  for (size_t i = 0; i < unescaped.size(); ++i) {
    char c = unescaped[i];
    if (c == ' ') {
      if (inArgument) argv.push_back(argument);
      argument.clear();
      inArgument = false;
      continue;
    }
    inArgument = true;
    if (c != '"') {
      if (reserved.find(c) != std::string_view::npos) return false;  // needs quoting
      argument += c;
      continue;
    }
    for (++i;; ++i) {
      if (i == unescaped.size()) return false;  // no closing quote
      char q = unescaped[i];
      if (q == '"') break;
      if (q == '`' || q == '$') return false;  // must carry a backslash inside quotes
      if (q == '\\') {
        if (++i == unescaped.size()) return false;
        q = unescaped[i];
        if (q != '"' && q != '`' && q != '$' && q != '\\') return false;
      }
      argument += q;
    }
  }
  if (inArgument) argv.push_back(argument);

  for (std::string& a : argv) {
    std::string expanded;
    for (size_t i = 0; i < a.size(); ++i) {
      if (a[i] != '%') { expanded += a[i]; continue; }
      if (i + 1 == a.size() || a[i + 1] != '%') return false;  // a field code
      expanded += '%';
      ++i;
    }
    a = expanded;
  }
  return true;
}

// The value of a key in an entry's text ("" when the key is missing).
std::string valueOf(const std::string& entry, const std::string& key) {
  for (const std::string& line : linesOf(entry)) {
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  }
  return "";
}

// A home, an install folder and a log in a temp folder; HOME points at the home, XDG_DATA_HOME
// and USERPROFILE are unset, and the fusermount probe looks at a folder of the test's own.
class MenuEntries : public testing::Test {
 protected:
  MenuEntries()
      : home_("HOME", (temp.path() / "home").string()),
        xdg_("XDG_DATA_HOME", std::nullopt),
        profile_("USERPROFILE", std::nullopt) {
    fs::create_directories(temp.path() / "home");
    fs::create_directories(fuse());
    installDir = temp.path() / "Games" / "varnholt";
    board.options = Options();
    board.options.installDir = installDir;
    board.latest = Release();
    board.installed = Release();
    board.latest.game = "bin/varnholt";
    fusermounts = {fuse() / "usr-bin-fusermount3", fuse() / "bin-fusermount3",
                   fuse() / "usr-bin-fusermount", fuse() / "bin-fusermount"};
    openLog(temp.path() / "log.txt");
  }
  ~MenuEntries() override {
    closeLog();
    board.options = Options();
    board.latest = Release();
    board.installed = Release();
  }

  fs::path fuse() const { return temp.path() / "fuse"; }
  fs::path applications() const { return temp.path() / "home" / ".local" / "share" / "applications"; }
  std::string log() { closeLog(); std::string text = readFile(temp.path() / "log.txt"); openLog(temp.path() / "log.txt"); return text; }
  std::string gameEntry() const { return readFile(applications() / "varnholt.desktop"); }
  std::string updateEntry() const { return readFile(applications() / "varnholt-update.desktop"); }

  TempFolder temp;
  fs::path installDir;
  std::vector<fs::path> fusermounts;  // in the test's own folder

 private:
  ScopedEnv home_, xdg_, profile_;
};

}  // namespace

TEST_F(MenuEntries, BothEntriesHoldExactlyTheirNineLines) {
  touch(fusermounts.back());
  registerMenuEntries(board, fusermounts);
  const std::string dir = installDir.string();
  const std::string tail = "Path=" + dir + "\n"
                           "Icon=" + dir + "/assets/images/icon/app-icon-256.png\n"
                           "Terminal=false\n"
                           "Categories=Game;RolePlaying;\n";
  EXPECT_EQ(gameEntry(), "[Desktop Entry]\n"
                         "Type=Application\n"
                         "Name=Varnholt\n"
                         "Comment=A Norse action RPG\n"
                         "Exec=\"" + dir + "/bin/varnholt\"\n" + tail);
  EXPECT_EQ(updateEntry(), "[Desktop Entry]\n"
                           "Type=Application\n"
                           "Name=Update Varnholt\n"
                           "Comment=Look for a new version of Varnholt\n"
                           "Exec=\"" + dir + "/VarnholtSetup.AppImage\"\n" + tail);
  EXPECT_EQ(log(), "menu entry varnholt.desktop: written\nmenu entry varnholt-update.desktop: written\n");
  EXPECT_EQ(namesIn(applications()), (std::vector<std::string>{"varnholt-update.desktop", "varnholt.desktop"}));
}

TEST_F(MenuEntries, ApplicationsFolderFollowsTheEnvironment) {
  struct Case {
    const char* name;
    std::optional<std::string> xdg, home, profile;
    fs::path expected;  // relative to the temp folder
  };
  const std::string t = temp.path().string();
  const std::vector<Case> cases = {
      {"XDG_DATA_HOME set", t + "/xdg", t + "/home", std::nullopt, "xdg/applications"},
      {"XDG_DATA_HOME empty", "", t + "/home", std::nullopt, "home/.local/share/applications"},
      {"XDG_DATA_HOME unset", std::nullopt, t + "/home", std::nullopt, "home/.local/share/applications"},
      {"USERPROFILE only", std::nullopt, std::nullopt, t + "/profile", "profile/.local/share/applications"},
      {"no home at all", std::nullopt, std::nullopt, std::nullopt, "cwd/.local/share/applications"},
  };
  fs::create_directories(temp.path() / "cwd");
  ScopedCwd cwd(temp.path() / "cwd");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedEnv xdg("XDG_DATA_HOME", c.xdg), home("HOME", c.home), profile("USERPROFILE", c.profile);
    registerMenuEntries(board, fusermounts);
    fs::path expected = temp.path() / c.expected;
    EXPECT_EQ(namesIn(expected), (std::vector<std::string>{"varnholt-update.desktop", "varnholt.desktop"}));
    EXPECT_EQ(valueOf(readFile(expected / "varnholt.desktop"), "Exec"), "\"" + installDir.string() + "/bin/varnholt\"");
    fs::remove_all(expected);
  }
}

TEST_F(MenuEntries, UpdateEntryRunsWithoutFuseOnlyWhenNoFusermountIsFound) {
  EXPECT_EQ(fusermounts.size(), 4u);
  struct Case {
    const char* name;
    std::function<void(const std::vector<fs::path>&)> prepare;
    bool found;
  };
  const std::vector<Case> cases = {
      {"none of the four", [](const auto&) {}, false},
      {"only the last, a file", [](const auto& c) { touch(c[3]); }, true},
      {"only the first, a file", [](const auto& c) { touch(c[0]); }, true},
      {"a dangling link", [&](const auto& c) { fs::create_symlink(fuse() / "gone", c[2]); }, false},
      {"a link to a file", [&](const auto& c) { touch(fuse() / "real"); fs::create_symlink(fuse() / "real", c[1]); }, true},
      {"a folder", [](const auto& c) { fs::create_directory(c[3]); }, true},
  };
  const std::string appImage = "\"" + (installDir / "VarnholtSetup.AppImage").string() + "\"";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(fuse());
    fs::create_directories(fuse());
    c.prepare(fusermounts);
    EXPECT_EQ(hasFusermount(fusermounts), c.found);
    registerMenuEntries(board, fusermounts);
    EXPECT_EQ(valueOf(updateEntry(), "Exec"), c.found ? appImage : appImage + " --appimage-extract-and-run");
    // The game's entry never carries the option.
    EXPECT_EQ(valueOf(gameEntry(), "Exec"), "\"" + installDir.string() + "/bin/varnholt\"");
  }
}

TEST(MenuEntryProbe, LooksForTheFourFuseMountProgramsInOrder) {
  EXPECT_EQ(fusermountCandidates, (std::vector<fs::path>{"/usr/bin/fusermount3", "/bin/fusermount3",
                                                         "/usr/bin/fusermount", "/bin/fusermount"}));
}

TEST_F(MenuEntries, SpacesInTheInstallFolderAreQuotedInExecOnly) {
  installDir = temp.path() / "My Games" / "var nholt";
  board.options.installDir = installDir;
  registerMenuEntries(board, fusermounts);
  const std::string dir = installDir.string();
  EXPECT_EQ(valueOf(gameEntry(), "Exec"), "\"" + dir + "/bin/varnholt\"");
  EXPECT_EQ(valueOf(gameEntry(), "Path"), dir);
  EXPECT_EQ(valueOf(gameEntry(), "Icon"), dir + "/assets/images/icon/app-icon-256.png");
  std::vector<std::string> argv;
  ASSERT_TRUE(parseExec(valueOf(updateEntry(), "Exec"), argv));
  EXPECT_EQ(argv, (std::vector<std::string>{dir + "/VarnholtSetup.AppImage", "--appimage-extract-and-run"}));
}

// A desktop reading the Exec line back must get the very path, whatever characters the
// install folder's name holds.
TEST_F(MenuEntries, ExecLinesReadBackAsTheInstallPaths) {
  const std::vector<std::string> names = {
      "plain",
      "two  spaces",
      "say \"hi\"",
      "it's",
      "$HOME and ${X}",
      "back`tick`",
      "back\\slash\\\\double",
      "100% sure %f %%",
      "tab\there",
      "line\nbreak\rreturn",
      "all \"`$\\% of it\\",
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    installDir = temp.path() / name;
    board.options.installDir = installDir;
    registerMenuEntries(board, fusermounts);
    std::vector<std::string> argv;
    ASSERT_TRUE(parseExec(valueOf(gameEntry(), "Exec"), argv)) << valueOf(gameEntry(), "Exec");
    EXPECT_EQ(argv, std::vector<std::string>{(installDir / "bin" / "varnholt").string()});
    ASSERT_TRUE(parseExec(valueOf(updateEntry(), "Exec"), argv)) << valueOf(updateEntry(), "Exec");
    EXPECT_EQ(argv, (std::vector<std::string>{(installDir / "VarnholtSetup.AppImage").string(),
                                              "--appimage-extract-and-run"}));
  }
}

TEST_F(MenuEntries, ReservedCharactersAreEscapedInExecAndOnlyBackslashesInPathAndIcon) {
  installDir = "/games/a\"b$c`d\\e%f";
  board.options.installDir = installDir;
  registerMenuEntries(board, fusermounts);
  // '"', '$' and '`' take a backslash, which the key file's escaping doubles; a backslash
  // becomes four; '%' becomes "%%".
  EXPECT_EQ(valueOf(gameEntry(), "Exec"), "\"/games/a\\\\\"b\\\\$c\\\\`d\\\\\\\\e%%f/bin/varnholt\"");
  EXPECT_EQ(valueOf(gameEntry(), "Path"), "/games/a\"b$c`d\\\\e%f");
  EXPECT_EQ(valueOf(gameEntry(), "Icon"), "/games/a\"b$c`d\\\\e%f/assets/images/icon/app-icon-256.png");
}

// Whatever the install folder's name holds, each entry keeps its nine lines and passes the
// desktop's own validator; a line break in a name cannot add a key (a second Exec line).
TEST_F(MenuEntries, EntriesKeepTheirKeysAndPassTheValidator) {
  const std::vector<std::string> names = {
      "plain", "two  spaces", "say \"hi\"", "$HOME `x`", "back\\slash", "100% sure",
      "line\nExec=sh -c evil\rreturn", "tab\there",
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    installDir = temp.path() / name;
    board.options.installDir = installDir;
    registerMenuEntries(board, fusermounts);
    for (const fs::path& entry : {applications() / "varnholt.desktop", applications() / "varnholt-update.desktop"}) {
      const std::vector<std::string> lines = linesOf(readFile(entry));
      ASSERT_EQ(lines.size(), 9u);
      EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("Exec=", 0) == 0; }), 1);
      const ProcessResult validated = runProcess({"desktop-file-validate", entry.string()});
      EXPECT_EQ(validated.exitCode, 0) << validated.output;
      EXPECT_EQ(validated.output, "");
    }
    EXPECT_EQ(valueOf(gameEntry(), "Path").find('\n'), std::string::npos);
  }
}

TEST_F(MenuEntries, ApplicationsFolderThatCannotBeMadeLogsTwoEntriesNotWritten) {
  fs::create_directories(applications().parent_path());
  std::ofstream(applications()) << "a file where the folder belongs";
  registerMenuEntries(board, fusermounts);
  EXPECT_EQ(log(), "menu entry varnholt.desktop: not written\nmenu entry varnholt-update.desktop: not written\n");
  EXPECT_EQ(readFile(applications()), "a file where the folder belongs");
  EXPECT_EQ(namesIn(applications().parent_path()), std::vector<std::string>{"applications"});
}

TEST_F(MenuEntries, WritingTwiceGivesTheSameFiles) {
  registerMenuEntries(board, fusermounts);
  const std::string game = gameEntry(), update = updateEntry();
  ASSERT_FALSE(game.empty());
  registerMenuEntries(board, fusermounts);
  EXPECT_EQ(gameEntry(), game);
  EXPECT_EQ(updateEntry(), update);
  EXPECT_EQ(namesIn(applications()), (std::vector<std::string>{"varnholt-update.desktop", "varnholt.desktop"}));
  EXPECT_EQ(linesOf(log()).size(), 4u);
}

TEST_F(MenuEntries, GamePathComesFromTheLatestReleaseElseTheInstalledOne) {
  struct Case {
    std::string latest, installed, expected;
  };
  for (const Case& c : std::vector<Case>{{"bin/new", "bin/old", "bin/new"},
                                         {"", "bin/old", "bin/old"},
                                         {"game.sh", "", "game.sh"}}) {
    SCOPED_TRACE(c.expected);
    board.latest.game = c.latest;
    board.installed.game = c.installed;
    registerMenuEntries(board, fusermounts);
    EXPECT_EQ(valueOf(gameEntry(), "Exec"), "\"" + (installDir / c.expected).string() + "\"");
  }
}
