#include "app/options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>

#include "release/release.h"
#include "tests/support/process.h"
#include "tests/support/scoped_state.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

const std::string defaultSource = "https://releases.varnholt.test/linux/";

struct OptionCase {
  std::vector<std::string> args;
  Options expected;  // installDir relative to the case's folder when not absolute
  RunMode mode;
};

}  // namespace

TEST(Options, MatchingRules) {
  TempFolder home;
  ScopedEnv homeEnv("HOME", home.path().string());
  ScopedEnv xdg("XDG_DATA_HOME", std::nullopt);
  ScopedCwd cwd(home.path());
  const fs::path def = home.path() / ".local/share/varnholt";
  const fs::path cwdPath = fs::current_path();

  auto opts = [&](auto edit) { Options o; o.installDir = def; o.source = defaultSource; edit(o); return o; };
  std::vector<OptionCase> cases = {
      {{}, opts([](Options&) {}), RunMode::Window},
      {{"--update", "--repair", "--no-register"},
       opts([](Options& o) { o.update = o.repair = o.noRegister = true; }), RunMode::Window},
      {{"--QUIET", "--quiet=1", "--updated", "stray", "-q"}, opts([](Options&) {}), RunMode::Window},
      {{"--source", "--quiet"}, opts([](Options& o) { o.source = "--quiet/"; }), RunMode::Window},
      {{"--quiet", "--source"}, opts([](Options& o) { o.quiet = true; }), RunMode::Quiet},
      {{"--source", ""}, opts([](Options& o) { o.source = ""; }), RunMode::Window},
      {{"--source", "http://a/x"}, opts([](Options& o) { o.source = "http://a/x/"; }), RunMode::Window},
      {{"--source", "http://a/x/"}, opts([](Options& o) { o.source = "http://a/x/"; }), RunMode::Window},
      {{"--source", "http://a/", "--source", "http://b"}, opts([](Options& o) { o.source = "http://b/"; }),
       RunMode::Window},
      {{"--dir", ""}, opts([](Options&) {}), RunMode::Window},
      {{"--dir", "games/./v/../w"}, opts([&](Options& o) { o.installDir = cwdPath / "games/w"; }), RunMode::Window},
      {{"--dir", "/a/b/../c/./d/"}, opts([](Options& o) { o.installDir = "/a/c/d/"; }), RunMode::Window},
      {{"--dir", "/x", "--dir", "/y"}, opts([](Options& o) { o.installDir = "/y"; }), RunMode::Window},
      {{"--snap", "s.bmp", "--log", "l.txt"},
       opts([](Options& o) { o.snapshotPath = "s.bmp"; o.logPath = "l.txt"; }), RunMode::Snapshot},
      {{"--log"}, opts([](Options&) {}), RunMode::Window},
      {{"--uninstall", "--snap", "s.bmp"},
       opts([](Options& o) { o.uninstall = true; o.snapshotPath = "s.bmp"; }), RunMode::Uninstall},
      {{"--quiet", "--snap", "s.bmp"},
       opts([](Options& o) { o.quiet = true; o.snapshotPath = "s.bmp"; }), RunMode::Quiet},
      {{"--uninstall", "--quiet"}, opts([](Options& o) { o.uninstall = o.quiet = true; }), RunMode::Uninstall},
      {{"--uninstall", "--version"}, opts([](Options& o) { o.uninstall = o.version = true; }), RunMode::Version},
      {{"--source", "--version"}, opts([](Options& o) { o.source = "--version/"; }), RunMode::Window},
      {{"--VERSION", "-v", "--version=1"}, opts([](Options&) {}), RunMode::Window},
  };
  for (const OptionCase& c : cases) {
    std::string label;
    for (const std::string& a : c.args) label += "[" + a + "]";
    SCOPED_TRACE(label);
    Options o = startupOptions(c.args);
    EXPECT_EQ(o.source, c.expected.source);
    EXPECT_EQ(o.installDir, c.expected.installDir);
    EXPECT_EQ(o.update, c.expected.update);
    EXPECT_EQ(o.repair, c.expected.repair);
    EXPECT_EQ(o.uninstall, c.expected.uninstall);
    EXPECT_EQ(o.quiet, c.expected.quiet);
    EXPECT_EQ(o.noRegister, c.expected.noRegister);
    EXPECT_EQ(o.snapshotPath, c.expected.snapshotPath);
    EXPECT_EQ(o.logPath, c.expected.logPath);
    EXPECT_EQ(o.version, c.expected.version);
    EXPECT_EQ(chooseRunMode(o), c.mode);
  }
}

TEST(Options, InstallSourceFirstLine) {
  TempFolder dir;
  struct Case { std::optional<std::string> content; std::string source; };
  std::vector<Case> cases = {
      {std::nullopt, defaultSource},
      {"", defaultSource},
      {"https://mirror.test/v\r\nignored\n", "https://mirror.test/v/"},
      {"https://mirror.test/v/\n", "https://mirror.test/v/"},
      {"https://mirror.test/cr\rx", "https://mirror.test/cr/"},
      {"\nhttps://later.test/\n", defaultSource},
      {"\r\nhttps://later.test/\n", defaultSource},
      {"no-newline", "no-newline/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content.value_or("<missing>"));
    fs::remove(dir.path() / "install.source");
    if (c.content) std::ofstream(dir.path() / "install.source", std::ios::binary) << *c.content;
    EXPECT_EQ(startupOptions({"--dir", dir.path().string()}).source, c.source);
    // A given --source wins, even an empty one, and the file is not read.
    EXPECT_EQ(startupOptions({"--dir", dir.path().string(), "--source", ""}).source, "");
    EXPECT_EQ(startupOptions({"--dir", dir.path().string(), "--source"}).source, c.source);
  }
}

TEST(Options, HomeAndDataFolders) {
  TempFolder cwdFolder;
  ScopedCwd cwd(cwdFolder.path());
  const fs::path here = fs::current_path();
  struct Case {
    std::optional<std::string> home, profile, xdg;
    fs::path homeFolder, dataFolder;
  };
  std::vector<Case> cases = {
      {"/h", "/p", "/x", "/h", "/x"},
      {"/h", std::nullopt, std::nullopt, "/h", "/h/.local/share"},
      {"/h", std::nullopt, "", "/h", "/h/.local/share"},
      {"", "/p", std::nullopt, "", ".local/share"},
      {std::nullopt, "/p", std::nullopt, "/p", "/p/.local/share"},
      {std::nullopt, std::nullopt, std::nullopt, here, here / ".local/share"},
      {std::nullopt, std::nullopt, "/x", here, "/x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dataFolder.string());
    ScopedEnv h("HOME", c.home), p("USERPROFILE", c.profile), x("XDG_DATA_HOME", c.xdg);
    EXPECT_EQ(homeFolder(), c.homeFolder);
    EXPECT_EQ(dataFolder(), c.dataFolder);
  }
  // Neither HOME nor USERPROFILE: the default install folder lies below the working folder.
  ScopedEnv h("HOME", std::nullopt), p("USERPROFILE", std::nullopt), x("XDG_DATA_HOME", std::nullopt);
  EXPECT_EQ(startupOptions({}).installDir, here / ".local/share/varnholt");
  ScopedEnv x2("XDG_DATA_HOME", "/data");
  EXPECT_EQ(startupOptions({}).installDir, fs::path("/data/varnholt"));
}

TEST(Options, ReadFile) {
  TempFolder dir;
  std::string bytes("a\0b\r\n\xff", 6);
  std::ofstream(dir.path() / "f", std::ios::binary) << bytes;
  EXPECT_EQ(readFile(dir.path() / "f"), bytes);
  EXPECT_EQ(readFile(dir.path() / "missing"), "");
  EXPECT_EQ(readFile(dir.path()), "");
}

TEST(Options, VersionNamesTheServerAndTheKeyOfTheBuild) {
  struct Case {
    const char* key;
    std::string keyLine;
  };
  const char* built = releasePublicKey;
  const std::vector<Case> cases = {
      {built, "release key: " + std::string(built).substr(0, 16) + "...\n"},
      {"", "release key: none (this build installs nothing)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(versionText(c.key), "Varnholt Setup " VARNHOLT_SETUP_VERSION "\nrelease server: " + defaultSource + "\n" + c.keyLine);
  }
  ProcessResult run = runProcess({VARNHOLT_SETUP_PATH, "--dir", "--version", "--version", "--quiet"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output, versionText(releasePublicKey));
}

TEST(Options, InstallFoldersWithControlCharactersAreTold) {
  const struct {
    std::string path;
    bool refused;
  } cases[] = {
      {"/home/p/games/varnholt", false},
      {"/home/p/my games/~varnholt$%\"`\\", false},
      {"/home/p/spiele/\xc3\xa4", false},  // UTF-8 bytes above 0x7F
      {"/home/p/a\nExec=x", true},
      {"/home/p/a\rb", true},
      {"/home/p/a\tb", true},
      {"/home/p/a\x01", true},
      {"/home/p/a\x1f", true},
      {"/home/p/a\x7f", true},
  };
  for (const auto& c : cases) EXPECT_EQ(hasControlCharacter(c.path), c.refused) << c.path;
}
