// The interactive flow on a real X server: the setup window driven with the pointer and the
// keyboard against a release server on loopback, as a player would use it. The screen shown is
// read from the log and from screenshots of the window.
//
// With VARNHOLT_SCREENSHOT_DIR set, the screenshots of the offer, downloading, done and failed
// screens are also kept there.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "release/release.h"
#include "tests/engine/release_fixture.h"
#include "tests/support/process.h"
#include "tests/keys/test_key.h"
#include "tests/support/servers.h"
#include "tests/support/temp_folder.h"
#include "tests/window/window_session.h"
#include "tools/publish.h"

namespace fs = std::filesystem;

namespace {

constexpr Rgb background = rgbOf(palette.background);
constexpr Rgb progressFill = rgbOf(palette.fill);

// Centres of the two buttons.
constexpr float primaryX = 461, primaryY = 336;
constexpr float secondaryX = 299, secondaryY = 336;
// The progress bar's row when the 660 x 200 logo is drawn (divider at 136).
constexpr int barY = 245;

const std::string installedText = "It is in your applications menu. Run this again any time to update.";

int filledWidth(SDL_Surface* image) {
  int width = 0;
  while (width < 464 && pixelAt(image, 48 + width, barY) == progressFill) ++width;
  return width;
}

// The text lines drawn between rows y0 and y1: for each, its left and right ends.
std::vector<std::pair<int, int>> textLines(SDL_Surface* image, int y0, int y1) {
  std::vector<std::pair<int, int>> lines;
  bool inLine = false;
  for (int y = y0; y < y1; ++y) {
    int left = -1, right = -1;
    for (int x = 0; x < image->w; ++x) {
      if (pixelAt(image, x, y) == background) continue;
      if (left < 0) left = x;
      right = x;
    }
    if (left < 0) {
      inLine = false;
      continue;
    }
    if (!inLine) lines.push_back({left, right});
    inLine = true;
    lines.back().first = std::min(lines.back().first, left);
    lines.back().second = std::max(lines.back().second, right);
  }
  return lines;
}

class WindowInteraction : public testing::Test {
 protected:
  void SetUp() override {
    root = fs::canonical(temp.path());
    www = root / "www";
    installDir = root / "install";
    home = root / "home";
    logPath = root / "setup.log";
    record = root / "game-record";
    fs::create_directories(www);
    fs::create_directories(home);
    std::string error;
    ASSERT_TRUE(loadSeed(testSeedFile, seed, error)) << error;
  }

  // Publishes version: a stand-in game "bin/game.sh", which writes its arguments (one a line)
  // and then its working folder to the record file, and the extra files given.
  void publish(const std::string& version, const std::map<std::string, std::string>& extraFiles = {}) {
    const fs::path folder = root / ("game-" + version);
    writeText(folder / "bin/game.sh",
               "#!/bin/sh\n{ for a in \"$0\" \"$@\"; do echo \"$a\"; done; pwd -P; } > '" + record.string() +
                   ".tmp'\nmv '" + record.string() + ".tmp' '" + record.string() + "'\n");
    fs::permissions(folder / "bin/game.sh", fs::perms(0755));
    for (const auto& [path, content] : extraFiles) writeText(folder / path, content);
    std::string error;
    ASSERT_TRUE(publishRelease(folder, version, "bin/game.sh", seed, www / "linux", error)) << error;
  }

  std::vector<std::string> arguments(const std::string& serverUrl, std::vector<std::string> more = {}) const {
    std::vector<std::string> args = {"--dir", installDir.string(), "--source", serverUrl + "linux/"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }

  void installQuietly(const std::string& serverUrl) {
    ProcessOptions options;
    options.env = {"HOME=" + home.string(), "XDG_DATA_HOME"};
    ProcessResult result = runProcess(
        {VARNHOLT_SETUP_PATH, "--quiet", "--dir", installDir.string(), "--source", serverUrl + "linux/"}, options);
    ASSERT_EQ(result.exitCode, 0) << result.output;
  }

  // The game's record: its arguments and working folder, waiting for it to appear.
  std::string gameRecord(int timeoutMs = 10000) const {
    for (int waited = 0; waited < timeoutMs && !fs::exists(record); waited += 20) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return readText(record);
  }
  std::string expectedRecord(bool updated) const {
    return (installDir / "bin/game.sh").string() + "\n" + (updated ? "--updated\n" : "") + installDir.string() + "\n";
  }

  // Screenshots until the condition holds for one (up to 30 s); the last one is kept at name.
  template <typename Condition>
  SurfacePtr screenUntil(SetupWindow& window, const std::string& name, Condition condition) {
    const fs::path path = root / (name + ".png");
    SurfacePtr image;
    for (int attempt = 0; attempt < 300; ++attempt) {
      image = window.screenshot(path);
      if (image && condition(image.get())) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (const char* keep = std::getenv("VARNHOLT_SCREENSHOT_DIR")) {
      std::error_code ec;
      fs::create_directories(keep, ec);
      fs::copy_file(path, fs::path(keep) / (name + ".png"), fs::copy_options::overwrite_existing, ec);
    }
    return image;
  }
  // The primary button is drawn (its label was published after the texts in the log).
  SurfacePtr primaryShown(SetupWindow& window, const std::string& name) {
    return screenUntil(window, name, [](SDL_Surface* image) {
      Rgb fill = pixelAt(image, primaryFillX, primaryFillY);
      return fill == primaryFill || fill == primaryHoverFill;
    });
  }

  TempFolder temp;
  fs::path root, www, installDir, home, logPath, record;
  SigningSeed seed{};
  VirtualDisplay display;
};

}  // namespace

TEST_F(WindowInteraction, InstallAndPlaySlow) {
  publish("1.0", {{"data/world.pak", std::string(300000, 'w')}});
  NginxServer server(www);
  SetupWindow window(display, home, logPath, arguments(server.httpUrl()));

  ASSERT_TRUE(window.waitForLogLine("Install Varnholt 1.0? - 1 MB to download.")) << readText(logPath);
  SurfacePtr offer = primaryShown(window, "offer");
  EXPECT_EQ(pixelAt(offer.get(), primaryFillX, primaryFillY), primaryFill);
  EXPECT_EQ(offer->w, 560);
  EXPECT_EQ(offer->h, 380);

  // Hovering lightens the button; moving away restores it.
  window.movePointer(primaryX, primaryY);
  EXPECT_TRUE(screenUntil(window, "hover", [](SDL_Surface* image) {
    return pixelAt(image, primaryFillX, primaryFillY) == primaryHoverFill;
  }));
  window.movePointer(10, 10);
  EXPECT_TRUE(screenUntil(window, "unhover", [](SDL_Surface* image) {
    return pixelAt(image, primaryFillX, primaryFillY) == primaryFill;
  }));

  // A right click exactly on the button's top left corner is a click on INSTALL.
  window.click(386, 316, 3);
  window.movePointer(10, 10);
  ASSERT_TRUE(window.waitForLogLine("Varnholt 1.0 is installed. - " + installedText)) << readText(logPath);
  EXPECT_TRUE(fs::exists(installDir / "data/world.pak"));
  SurfacePtr done = primaryShown(window, "done");
  EXPECT_EQ(filledWidth(done.get()), 464);

  window.click(primaryX, primaryY);
  int exitCode = -1;
  ASSERT_TRUE(window.waitForExit(20000, exitCode));
  EXPECT_EQ(exitCode, 0) << window.output();
  EXPECT_EQ(gameRecord(), expectedRecord(false));
  EXPECT_FALSE(display.hasWindow("Varnholt Setup"));
}

// A download the user interrupts: "Keep going" keeps it running, "Stop" ends the program and
// keeps what has finished for next time.
TEST_F(WindowInteraction, CancelDuringADownloadSlow) {
  const std::string small(4096, 's');
  const std::string large(24 * 1000 * 1000, 'L');
  publish("1.0", {{"a.dat", small}, {"b.dat", large}});
  ThrottledServer server(www, 2000000);
  SetupWindow window(display, home, logPath, arguments(server.url()));

  ASSERT_TRUE(window.waitForLogLine("Install Varnholt 1.0? - 24 MB to download.", 30000)) << readText(logPath);
  primaryShown(window, "offer-slow");
  window.pressKey("Return");
  ASSERT_TRUE(window.waitForLogLine("Downloading Varnholt 1.0...")) << readText(logPath);
  // With VARNHOLT_SCREENSHOT_DIR the picture waits for a bar about a third full.
  const int wanted = std::getenv("VARNHOLT_SCREENSHOT_DIR") ? 170 : 2;
  SurfacePtr downloading =
      screenUntil(window, "downloading", [&](SDL_Surface* image) { return filledWidth(image) >= wanted; });
  ASSERT_GE(filledWidth(downloading.get()), wanted);
  EXPECT_EQ(pixelAt(downloading.get(), primaryFillX, primaryFillY), background);

  // Return does nothing while the primary button is hidden.
  const size_t linesBefore = window.logLines().size();
  window.pressKey("Return");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(display.hasWindow("Varnholt"));
  EXPECT_EQ(window.logLines().size(), linesBefore);

  // CANCEL asks first; "Keep going" (Escape) leaves the download running.
  window.click(secondaryX, secondaryY);
  ASSERT_TRUE(window.answerMessageBox("Escape"));
  const int widthAfterBox = filledWidth(window.screenshot(root / "kept.png").get());
  EXPECT_TRUE(screenUntil(window, "going-on", [&](SDL_Surface* image) { return filledWidth(image) > widthAfterBox; }));
  EXPECT_TRUE(window.running());
  EXPECT_EQ(window.logLines().size(), linesBefore);

  // Escape asks the same; "Stop" (Return) ends the program.
  window.pressKey("Escape");
  ASSERT_TRUE(window.answerMessageBox("Return"));
  int exitCode = -1;
  ASSERT_TRUE(window.waitForExit(20000, exitCode));
  EXPECT_EQ(exitCode, 0) << window.output();
  ASSERT_FALSE(window.logLines().empty());
  EXPECT_EQ(window.logLines().back(), "Cancelled. - Cancelled.");

  // The finished file stays staged under its hash, the unfinished one as its part file.
  const fs::path staging = installDir / ".staging";
  EXPECT_EQ(readText(staging / contentDigest(small)), small);
  std::error_code ec;
  const uintmax_t partSize = fs::file_size(staging / (contentDigest(large) + ".part"), ec);
  EXPECT_FALSE(ec) << ec.message();
  EXPECT_GT(partSize, 0u);
  EXPECT_LT(partSize, large.size());
  EXPECT_FALSE(fs::exists(installDir / "install.manifest"));
  EXPECT_FALSE(fs::exists(installDir / "b.dat"));
}

TEST_F(WindowInteraction, TryAgainAfterAFailedCheckRunsANewCheck) {
  NginxServer server(www);
  SetupWindow window(display, home, logPath, arguments(server.httpUrl()));

  const std::string failed = "Could not check for the newest version. - Could not reach the Varnholt server: "
                             "the server answered 404 for " + server.httpUrl() + "linux/latest.manifest";
  ASSERT_TRUE(window.waitForLogLine(failed)) << readText(logPath);
  SurfacePtr failedScreen = primaryShown(window, "failed");
  // The long detail wraps inside its column, and each line is centred in the window.
  const std::vector<std::pair<int, int>> lines = textLines(failedScreen.get(), 200, 240);
  ASSERT_EQ(lines.size(), 2u);
  for (const auto& [left, right] : lines) {
    EXPECT_GE(left, 32);
    EXPECT_LE(right, 528);
    EXPECT_NEAR(left + right, 559, 4) << left << ".." << right;
  }

  publish("1.0");
  const uintmax_t gameSize = fs::file_size(root / "game-1.0/bin/game.sh");
  window.click(primaryX, primaryY);
  ASSERT_TRUE(window.waitForLogLine("Install Varnholt 1.0? - 1 MB to download.")) << readText(logPath);
  const std::vector<std::string> expected = {"Looking for the newest version...",
                                             failed,
                                             "Looking for the newest version...",
                                             "latest: 1.0, 1 files, 0 links",
                                             "needed: 1 files, " + std::to_string(gameSize) + " bytes",
                                             "Install Varnholt 1.0? - 1 MB to download."};
  EXPECT_EQ(window.logLines(), expected);

  // Closing on the offer needs no confirmation.
  primaryShown(window, "offer-again");
  window.pressKey("Escape");
  int exitCode = -1;
  ASSERT_TRUE(window.waitForExit(20000, exitCode));
  EXPECT_EQ(exitCode, 0) << window.output();
  EXPECT_FALSE(fs::exists(installDir / "bin"));
}

// --update: an up-to-date game starts at once, a missing one is installed first; either way the
// game gets "--updated" and the window closes without a click.
TEST_F(WindowInteraction, UnattendedUpdateStartsTheGameSlow) {
  struct Case {
    const char* name;
    bool installedBefore;
    std::vector<std::string> more;
    std::string lastLine;
    bool menuEntries;
  };
  const std::vector<Case> cases = {
      {"up to date", true, {"--update"}, "Varnholt 1.0 is installed and up to date.", true},
      {"fresh install", false, {"--update"}, "Varnholt 1.0 is installed. - " + installedText, true},
      // No entries written: the done screen says nothing about the menu.
      {"fresh install without menu entries", false, {"--update", "--no-register"},
       "Varnholt 1.0 is installed. - Run this again any time to update.", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(installDir);
    fs::remove_all(home / ".local/share/applications");
    fs::remove(record);
    publish("1.0");
    NginxServer server(www);
    if (c.installedBefore) installQuietly(server.httpUrl());

    SetupWindow window(display, home, logPath, arguments(server.httpUrl(), c.more));
    int exitCode = -1;
    ASSERT_TRUE(window.waitForExit(30000, exitCode)) << readText(logPath);
    EXPECT_EQ(exitCode, 0) << window.output();
    EXPECT_EQ(gameRecord(), expectedRecord(true));
    const std::vector<std::string> lines = window.logLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), c.lastLine);
    EXPECT_EQ(fs::exists(home / ".local/share/applications/varnholt.desktop"), c.menuEntries);
  }
}

TEST_F(WindowInteraction, PlayWithoutTheGameWarnsAndStays) {
  publish("1.0");
  NginxServer server(www);
  installQuietly(server.httpUrl());
  SetupWindow window(display, home, logPath, arguments(server.httpUrl()));
  ASSERT_TRUE(window.waitForLogLine("Varnholt 1.0 is installed and up to date.")) << readText(logPath);
  primaryShown(window, "up-to-date");

  ASSERT_TRUE(fs::remove(installDir / "bin/game.sh"));
  window.click(primaryX, primaryY);
  ASSERT_TRUE(window.answerMessageBox("Return"));
  EXPECT_TRUE(window.running());
  EXPECT_TRUE(display.hasWindow("Varnholt Setup"));
  EXPECT_FALSE(fs::exists(record));

  // Closing the window on this screen needs no confirmation.
  window.closeByWindowManager();
  int exitCode = -1;
  ASSERT_TRUE(window.waitForExit(20000, exitCode));
  EXPECT_EQ(exitCode, 0) << window.output();
}

// "Stop" ends every transfer at once, also one that receives nothing or one byte a second:
// the window goes and the program ends, instead of lingering invisibly until the server gives up.
TEST_F(WindowInteraction, StopDuringASilentOrTricklingDownloadEndsTheProgramAtOnce) {
  const std::string large(2000000, 'L');
  publish("1.0", {{"b.dat", large}});
  for (const char* behaviour : {R"({"stallAfter": 1000})", R"({"trickleAfter": 1000})"}) {
    SCOPED_TRACE(behaviour);
    MisbehavingServer server(www);
    server.set("/linux/files/" + contentDigest(large), behaviour);
    SetupWindow window(display, home, logPath, arguments(server.url()));

    ASSERT_TRUE(window.waitForLogLine("Install Varnholt 1.0? - 2 MB to download.")) << readText(logPath);
    primaryShown(window, "offer-stalled");
    window.pressKey("Return");
    ASSERT_TRUE(window.waitForLogLine("Downloading Varnholt 1.0...")) << readText(logPath);
    window.pressKey("Escape");
    ASSERT_TRUE(window.answerMessageBox("Return"));
    int exitCode = -1;
    // The answer reaches the program through the X server; its transfers then end within a
    // fifth of a second.
    ASSERT_TRUE(window.waitForExit(1500, exitCode));
    EXPECT_EQ(exitCode, 0) << window.output();
    EXPECT_FALSE(display.hasWindow("Varnholt Setup"));
  }
}

// Closing the window while the check waits for a manifest that does not come (or comes one byte
// a second) ends the program at once.
TEST_F(WindowInteraction, CloseDuringASilentManifestFetchEndsTheProgramAtOnce) {
  publish("1.0", {{"b.dat", "bytes"}});
  for (const char* behaviour : {R"({"stallAfter": 10})", R"({"trickleAfter": 10})"}) {
    SCOPED_TRACE(behaviour);
    MisbehavingServer server(www);
    server.set("/linux/latest.manifest", behaviour);
    SetupWindow window(display, home, logPath, arguments(server.url()));
    ASSERT_TRUE(window.waitForLogLine("Looking for the newest version...")) << readText(logPath);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (server.requestCount("/linux/latest.manifest") == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    window.closeByWindowManager();
    int exitCode = -1;
    ASSERT_TRUE(window.waitForExit(1500, exitCode));
    EXPECT_EQ(exitCode, 0) << window.output();
  }
}

// The window manager's close button during a download asks once; "Keep going" keeps it all.
TEST_F(WindowInteraction, WindowCloseDuringADownloadAsksOnceSlow) {
  publish("1.0", {{"b.dat", std::string(24 * 1000 * 1000, 'L')}});
  ThrottledServer server(www, 2000000);
  SetupWindow window(display, home, logPath, arguments(server.url()));

  ASSERT_TRUE(window.waitForLogLine("Install Varnholt 1.0? - 24 MB to download.")) << readText(logPath);
  primaryShown(window, "offer-close");
  window.click(primaryX, primaryY);
  ASSERT_TRUE(window.waitForLogLine("Downloading Varnholt 1.0...")) << readText(logPath);

  window.closeByWindowManager();
  ASSERT_TRUE(window.answerMessageBox("Escape"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_FALSE(display.hasWindow("Varnholt"));
  EXPECT_TRUE(display.hasWindow("Varnholt Setup"));
  EXPECT_TRUE(window.running());

  window.closeByWindowManager();
  ASSERT_TRUE(window.answerMessageBox("Return"));
  int exitCode = -1;
  ASSERT_TRUE(window.waitForExit(20000, exitCode));
  EXPECT_EQ(exitCode, 0) << window.output();
  EXPECT_EQ(window.logLines().back(), "Cancelled. - Cancelled.");
}

TEST_F(WindowInteraction, UnattendedUpdateWaitsAfterAFailedCheck) {
  NginxServer server(www);
  SetupWindow window(display, home, logPath, arguments(server.httpUrl(), {"--update"}));
  ASSERT_TRUE(window.waitForLogLine("Could not check for the newest version. - Could not reach the Varnholt server: "
                                    "the server answered 404 for " + server.httpUrl() + "linux/latest.manifest"))
      << readText(logPath);
  primaryShown(window, "failed-unattended");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(window.running());
  EXPECT_EQ(window.logLines().size(), 2u);

  window.pressKey("Escape");
  int exitCode = -1;
  ASSERT_TRUE(window.waitForExit(20000, exitCode));
  EXPECT_EQ(exitCode, 0) << window.output();
  EXPECT_FALSE(fs::exists(record));
}
