// Uninstall runs as the real program on hand-made installs: files, links, state files, menu
// entries and a player's own files, in temp folders that stand in for the home.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/options.h"
#include "tests/support/process.h"
#include "tests/support/servers.h"
#include "tests/support/temp_folder.h"
#include "tests/keys/test_key.h"
#include "tests/support/test_files.h"
#include "tools/publish.h"

namespace fs = std::filesystem;

namespace {

using Tree = std::map<std::string, std::string>;

const std::string someHash(64, 'a');
const std::string someSignature = "signature " + std::string(128, '0');

// Everything below a folder, links not followed: "d" for a folder, "l:" + target for a link,
// "f:" + content for a file.
Tree snapshot(const fs::path& folder) {
  Tree tree;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(folder, ec))) return tree;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
    std::string name = it->path().lexically_relative(folder).string();
    if (it->is_symlink()) tree[name] = "l:" + fs::read_symlink(it->path()).string();
    else if (it->is_directory()) tree[name] = "d";
    else tree[name] = "f:" + readFile(it->path());
  }
  return tree;
}

struct Link {
  std::string target, path;
};

std::string manifestText(const std::vector<std::string>& files, const std::vector<Link>& links,
                         const std::string& signatureLine = someSignature) {
  std::string text = "varnholt-release 1\nversion 1.4.0\nprotocol 1\ngame " + files.front() + "\n";
  for (const std::string& f : files) text += "file " + someHash + " 9 " + f + "\n";
  for (const Link& l : links) text += "link " + l.target + "\t" + l.path + "\n";
  return text + signatureLine + "\n";
}

// Lays out a release as the installer leaves it: its files and links, and the state files.
void install(const fs::path& dir, const std::vector<std::string>& files, const std::vector<Link>& links,
             const std::string& manifest) {
  for (const std::string& f : files) writeText(dir / f, "installed " + f);
  for (const Link& l : links) {
    fs::create_directories((dir / l.path).parent_path());
    fs::create_symlink(l.target, dir / l.path);
  }
  writeText(dir / "install.manifest", manifest);
  writeText(dir / "install.source", "https://mirror.example/linux/\n");
  writeText(dir / "install.dir", "");
}

const std::vector<std::string> releaseFiles = {"bin/game", "a/b/c", "a/d", "data/levels.pak"};
const std::vector<Link> releaseLinks = {{"game", "bin/start"}};

// A home with the two menu entries and one entry of another program, and the install folder.
class Uninstall : public testing::Test {
 protected:
  Uninstall() {
    applications = temp.path() / "data" / "applications";
    writeText(applications / "varnholt.desktop", "[Desktop Entry]\n");
    writeText(applications / "varnholt-update.desktop", "[Desktop Entry]\n");
    writeText(applications / "other.desktop", "[Desktop Entry]\nName=Other\n");
    fs::create_directories(temp.path() / "home");
  }

  std::vector<std::string> environment() const {
    return {"HOME=" + (temp.path() / "home").string(), "XDG_DATA_HOME=" + (temp.path() / "data").string(),
            "USERPROFILE", "DISPLAY", "WAYLAND_DISPLAY"};
  }

  // Runs "--uninstall [--quiet] --dir <dir> --log <log>"; the log's text goes to log.
  ProcessResult run(bool quiet = true, std::vector<std::string> env = {}) {
    std::vector<std::string> argv = {VARNHOLT_SETUP_PATH, "--uninstall", "--dir", dir.string(), "--log",
                                     (temp.path() / "log.txt").string()};
    if (quiet) argv.insert(argv.begin() + 2, "--quiet");
    ProcessOptions options;
    options.env = environment();
    options.env.insert(options.env.end(), env.begin(), env.end());
    options.timeoutSeconds = 60;
    ProcessResult result = runProcess(argv, options);
    log = readFile(temp.path() / "log.txt");
    return result;
  }

  TempFolder temp;
  fs::path dir = temp.path() / "Games" / "varnholt";
  fs::path applications;
  std::string log;
};

const Tree otherEntryOnly = {{"other.desktop", "f:[Desktop Entry]\nName=Other\n"}};

}  // namespace

TEST_F(Uninstall, RemovesWhatTheReleaseInstalledAndKeepsThePlayersFiles) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> change;  // what the player did to the folder
    std::vector<Link> links;
    std::string signatureLine;
    Tree left;  // what stays in the install folder; empty: the folder itself is gone
  };
  const std::vector<Case> cases = {
      {"only the release", [](const fs::path&) {}, releaseLinks, someSignature, {}},
      {"a player's folder and file",
       [](const fs::path& d) {
         writeText(d / "saves" / "hero.sav", "level 12");
         writeText(d / "settings.ini", "volume=3");
       },
       releaseLinks, someSignature,
       {{"saves", "d"}, {"saves/hero.sav", "f:level 12"}, {"settings.ini", "f:volume=3"}}},
      {"a player's file in a folder of the release",
       [](const fs::path& d) { writeText(d / "a" / "b" / "notes.txt", "n"); },
       releaseLinks, someSignature,
       {{"a", "d"}, {"a/b", "d"}, {"a/b/notes.txt", "f:n"}}},
      {"files the player already deleted",
       [](const fs::path& d) {
         fs::remove(d / "a" / "d");
         fs::remove(d / "bin" / "game");
       },
       releaseLinks, someSignature, {}},
      {"links go, their targets stay",
       [](const fs::path& d) { writeText(d / "saves" / "hero.sav", "level 12"); },
       {{"game", "bin/start"}, {"../saves/hero.sav", "lib/hero"}, {"saves", "saveslink"}}, someSignature,
       {{"saves", "d"}, {"saves/hero.sav", "f:level 12"}}},
      {"a signature that does not match", [](const fs::path&) {}, releaseLinks,
       "signature " + std::string(128, 'f'), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    install(dir, releaseFiles, c.links, manifestText(releaseFiles, c.links, c.signatureLine));
    writeText(applications / "varnholt.desktop", "[Desktop Entry]\n");
    writeText(applications / "varnholt-update.desktop", "[Desktop Entry]\n");
    c.change(dir);

    ProcessResult result = run();
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(log, "uninstalled\n");
    EXPECT_EQ(snapshot(dir), c.left);
    EXPECT_EQ(fs::exists(dir), !c.left.empty());
    EXPECT_EQ(snapshot(applications), otherEntryOnly);
    fs::remove_all(dir);
  }
}

TEST_F(Uninstall, MenuEntriesGoFromTheHomeWhenNoDataFolderIsSet) {
  fs::path homeApplications = temp.path() / "home" / ".local" / "share" / "applications";
  writeText(homeApplications / "varnholt.desktop", "[Desktop Entry]\n");
  writeText(homeApplications / "varnholt-update.desktop", "[Desktop Entry]\n");
  install(dir, releaseFiles, releaseLinks, manifestText(releaseFiles, releaseLinks));
  ProcessResult result = run(true, {"XDG_DATA_HOME="});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_TRUE(snapshot(homeApplications).empty());
  EXPECT_EQ(snapshot(applications).size(), 3u);  // the other data folder is not looked at
}

TEST_F(Uninstall, WithoutAValidInstalledManifestNothingIsRemoved) {
  const std::vector<std::pair<const char*, std::optional<std::string>>> cases = {
      {"no manifest", std::nullopt},
      {"empty manifest", ""},
      {"not a manifest", "hello\n"},
      {"incomplete manifest", "varnholt-release 1\nversion 1\n" + someSignature + "\n"},
  };
  for (const auto& [name, manifest] : cases) {
    SCOPED_TRACE(name);
    fs::remove_all(dir);
    install(dir, releaseFiles, releaseLinks, manifest.value_or(""));
    if (!manifest) fs::remove(dir / "install.manifest");
    const Tree before = snapshot(dir), entriesBefore = snapshot(applications);

    ProcessResult result = run();
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(log, "uninstall failed: Varnholt is not installed here.\n");
    EXPECT_EQ(snapshot(dir), before);
    EXPECT_EQ(snapshot(applications), entriesBefore);
  }
}

TEST_F(Uninstall, SecondRunFindsNothingInstalled) {
  install(dir, releaseFiles, releaseLinks, manifestText(releaseFiles, releaseLinks));
  writeText(dir / "saves" / "hero.sav", "level 12");
  EXPECT_EQ(run().exitCode, 0);
  EXPECT_EQ(log, "uninstalled\n");
  EXPECT_EQ(run().exitCode, 1);
  EXPECT_EQ(log, "uninstall failed: Varnholt is not installed here.\n");
  EXPECT_EQ(snapshot(dir), (Tree{{"saves", "d"}, {"saves/hero.sav", "f:level 12"}}));
}

// Without --quiet the program tries to show its box; with no display to show it on, that
// fails at once and the outcome is the same as with --quiet.
TEST_F(Uninstall, WithoutADisplayTheBoxIsSkipped) {
  install(dir, releaseFiles, releaseLinks, manifestText(releaseFiles, releaseLinks));
  auto started = std::chrono::steady_clock::now();
  ProcessResult result = run(false);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(log, "uninstalled\n");
  EXPECT_FALSE(fs::exists(dir));

  result = run(false);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(log, "uninstall failed: Varnholt is not installed here.\n");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

// A player's link inside the install folder that leads to a folder elsewhere: entries the
// manifest lists below it are not followed out of the install folder.
TEST_F(Uninstall, NeverRemovesAnythingOutsideTheInstallFolder) {
  TempFolder outside;
  writeText(outside.path() / "mods" / "x", "the player's mod");
  writeText(outside.path() / "mods" / "sub" / "y", "another");
  fs::create_directories(outside.path() / "mods" / "empty");
  const Tree outsideBefore = snapshot(outside.path());

  const std::vector<std::string> files = {"bin/game", "thatlink/x", "thatlink/sub/y", "thatlink/empty/z"};
  install(dir, {"bin/game"}, {}, manifestText(files, {}));
  fs::create_symlink(outside.path() / "mods", dir / "thatlink");

  ProcessResult result = run();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(log, "uninstalled\n");
  EXPECT_EQ(snapshot(outside.path()), outsideBefore);
  EXPECT_EQ(snapshot(dir), (Tree{{"thatlink", "l:" + (outside.path() / "mods").string()}}));
}

namespace {

// An X server of its own for one test, on a display number it picks itself.
class VirtualDisplay {
 public:
  explicit VirtualDisplay(const fs::path& folder) {
    fs::path output = folder / "xvfb.out";
    // -noreset: without it the server starts afresh whenever its last client leaves, refusing
    // a client that connects meanwhile.
    pid_ = startProcess({"Xvfb", "-displayfd", "1", "-noreset", "-screen", "0", "640x480x24", "-nolisten", "tcp"},
                        {}, output.string());
    // Xvfb writes its display number as a line of digits; its warnings share the file.
    for (int i = 0; i < 200 && name_.empty(); ++i) {
      std::string text = readFile(output);
      for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) name_ = ":" + line;
      }
      if (name_.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~VirtualDisplay() {
    kill(pid_, SIGTERM);
    waitProcess(pid_);
  }
  const std::string& name() const { return name_; }

  // The id of the first window with this exact title, waiting up to 20 seconds. (The box's
  // title is a UTF-8 property, which xwininfo reads and xdotool's name search does not.)
  std::string findWindow(const std::string& title) const {
    ProcessOptions options;
    options.env = {"DISPLAY=" + name_};
    for (int i = 0; i < 100; ++i) {
      std::string tree = runProcess({"xwininfo", "-root", "-tree"}, options).output;
      size_t at = tree.find(" \"" + title + "\": ");
      if (at != std::string::npos) {
        size_t first = tree.find_first_not_of(' ', tree.rfind('\n', at) + 1);
        return tree.substr(first, at - first);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return "";
  }
  void press(const std::string& window, const std::string& key) const {
    ProcessOptions options;
    options.env = {"DISPLAY=" + name_};
    runProcess({"xdotool", "key", "--window", window, key}, options);
  }

 private:
  int pid_ = -1;
  std::string name_;
};

}  // namespace

// On a display the box appears and the program waits for it; with --quiet it never appears.
TEST_F(Uninstall, MessageBoxesOnADisplay) {
  VirtualDisplay display(temp.path());
  ASSERT_NE(display.name(), "");
  const std::string setup = VARNHOLT_SETUP_PATH;
  const fs::path logPath = temp.path() / "log.txt";
  ProcessOptions options;
  options.env = environment();
  options.env.push_back("DISPLAY=" + display.name());

  struct Case {
    bool installed;
    int exitCode;
    std::string logText;
  };
  for (const Case& c : {Case{true, 0, "uninstalled\n"},
                        Case{false, 1, "uninstall failed: Varnholt is not installed here.\n"}}) {
    SCOPED_TRACE(c.exitCode);
    if (c.installed) install(dir, releaseFiles, releaseLinks, manifestText(releaseFiles, releaseLinks));
    int pid = startProcess({setup, "--uninstall", "--dir", dir.string(), "--log", logPath.string()}, options);
    std::string box = display.findWindow("Varnholt");
    if (box.empty()) {
      kill(pid, SIGKILL);
      waitProcess(pid);
      FAIL() << "no message box appeared";
    }
    display.press(box, "Return");
    ProcessResult result = waitProcess(pid);
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_EQ(readFile(logPath), c.logText);
  }

  // With --quiet the same runs end by themselves: a box would wait for an answer forever.
  install(dir, releaseFiles, releaseLinks, manifestText(releaseFiles, releaseLinks));
  options.timeoutSeconds = 30;
  ProcessResult result =
      runProcess({setup, "--uninstall", "--quiet", "--dir", dir.string(), "--log", logPath.string()}, options);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exitCode, 0);
  result = runProcess({setup, "--uninstall", "--quiet", "--dir", dir.string(), "--log", logPath.string()}, options);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exitCode, 1);
}

// The whole round: a windowless install from a release server, the player's own files beside
// it, then the uninstall. Only the player's files are left.
TEST_F(Uninstall, AfterAQuietInstallOnlyThePlayersFilesAreLeft) {
  TempFolder game, server;
  writeText(game.path() / "bin" / "varnholt", "#!/bin/sh\necho varnholt\n");
  fs::permissions(game.path() / "bin" / "varnholt", fs::perms::owner_exec, fs::perm_options::add);
  writeText(game.path() / "data" / "levels" / "one.dat", std::string(5000, '1'));
  writeText(game.path() / "data" / "two.dat", "two");
  writeText(game.path() / "lib" / "libaudio.so.2", "audio");
  fs::create_symlink("libaudio.so.2", game.path() / "lib" / "libaudio.so");
  writeText(game.path() / "assets" / "images" / "icon" / "app-icon-256.png", "png");
  SigningSeed seed;
  std::string error;
  ASSERT_TRUE(loadSeed(testSeedFile, seed, error)) << error;
  ASSERT_TRUE(publishRelease(game.path(), "2.0.1", "bin/varnholt", seed, server.path() / "linux", error)) << error;
  NginxServer nginx(server.path());

  ProcessOptions options;
  options.env = environment();
  options.timeoutSeconds = 120;
  ProcessResult result =
      runProcess({VARNHOLT_SETUP_PATH, "--quiet", "--source", nginx.httpUrl() + "linux/", "--dir", dir.string()},
                 options);
  ASSERT_EQ(result.exitCode, 0) << result.output;
  ASSERT_EQ(readFile(dir / "lib" / "libaudio.so"), "audio");
  ASSERT_TRUE(fs::exists(dir / "install.source"));
  ASSERT_EQ(snapshot(applications).size(), 3u);

  writeText(dir / "saves" / "hero.sav", "level 12");
  writeText(dir / "data" / "screenshot.png", "mine");
  result = run();
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_EQ(log, "uninstalled\n");
  EXPECT_EQ(snapshot(dir), (Tree{{"data", "d"}, {"data/screenshot.png", "f:mine"},
                                 {"saves", "d"}, {"saves/hero.sav", "f:level 12"}}));
  EXPECT_EQ(snapshot(applications), otherEntryOnly);
}
