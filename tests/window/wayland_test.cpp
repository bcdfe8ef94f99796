// The setup window on a Wayland desktop (weston, headless) with SDL's Wayland driver, at pixel
// densities 1 and 2: it opens with window decorations, draws its layout pixel for pixel, installs
// and starts the game, and stops a download when no question can be shown.
#include <SDL3_image/SDL_image.h>
#include <SDL3_ttf/SDL_ttf.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/engine/release_fixture.h"
#include "tests/support/process.h"
#include "tests/support/servers.h"
#include "tests/support/temp_folder.h"
#include "tests/support/weston.h"
#include "tests/window/window_session.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

constexpr Rgb background = rgbOf(palette.background);
constexpr Rgb divider = rgbOf(palette.divider);
constexpr Rgb headlineColour = rgbOf(palette.headline);
constexpr Rgb primaryBorder = rgbOf(palette.primaryBorder);
constexpr Rgb secondaryFill = rgbOf(palette.secondaryFill);
constexpr Rgb secondaryBorder = rgbOf(palette.secondaryBorder);
// Where the divider lies with the 660 x 200 logo, in window units.
constexpr int dividerY = 136;

// Where the window's content starts on the screen, in pixels, and its pixel density.
struct Placement {
  int x = -1, y = -1, scale = 1;
  bool found() const { return x >= 0; }
};

// The window is found by its divider: a run of 480 units in the divider's colour.
Placement findWindow(SDL_Surface* screen, int scale) {
  const int run = 480 * scale;
  for (int y = 0; y < screen->h; ++y) {
    int length = 0;
    for (int x = 0; x < screen->w; ++x) {
      length = pixelAt(screen, x, y) == divider ? length + 1 : 0;
      if (length == run) return {x + 1 - run - 40 * scale, y - dividerY * scale, scale};
    }
  }
  return {};
}

// Every pixel of the window unit (ux, uy) has the colour.
::testing::AssertionResult unitIs(SDL_Surface* screen, const Placement& at, int ux, int uy, Rgb colour) {
  for (int dy = 0; dy < at.scale; ++dy) {
    for (int dx = 0; dx < at.scale; ++dx) {
      const Rgb seen = pixelAt(screen, at.x + ux * at.scale + dx, at.y + uy * at.scale + dy);
      if (!(seen == colour)) {
        return ::testing::AssertionFailure() << "unit (" << ux << ", " << uy << ") pixel (" << dx << ", " << dy
                                             << ") is " << seen << ", not " << colour;
      }
    }
  }
  return ::testing::AssertionSuccess();
}

// The offer screen's fixed parts: background, divider, both buttons with their borders.
void expectOfferLayout(SDL_Surface* screen, const Placement& at) {
  EXPECT_TRUE(unitIs(screen, at, 0, 0, background));
  EXPECT_TRUE(unitIs(screen, at, 559, 379, background));
  EXPECT_TRUE(unitIs(screen, at, 39, dividerY, background));
  EXPECT_TRUE(unitIs(screen, at, 40, dividerY, divider));
  EXPECT_TRUE(unitIs(screen, at, 519, dividerY, divider));
  EXPECT_TRUE(unitIs(screen, at, 520, dividerY, background));
  EXPECT_TRUE(unitIs(screen, at, 60, dividerY - 1, background));
  EXPECT_TRUE(unitIs(screen, at, 60, dividerY + 1, background));
  // No progress bar on the offer.
  EXPECT_TRUE(unitIs(screen, at, 100, dividerY + 104, background));
  EXPECT_TRUE(unitIs(screen, at, 386, 340, primaryBorder));
  EXPECT_TRUE(unitIs(screen, at, 535, 340, primaryBorder));
  EXPECT_TRUE(unitIs(screen, at, 400, 316, primaryBorder));
  EXPECT_TRUE(unitIs(screen, at, 400, 355, primaryBorder));
  EXPECT_TRUE(unitIs(screen, at, 390, 320, primaryFill));
  EXPECT_TRUE(unitIs(screen, at, 530, 350, primaryFill));
  EXPECT_TRUE(unitIs(screen, at, 536, 340, background));
  EXPECT_TRUE(unitIs(screen, at, 385, 340, background));
  EXPECT_TRUE(unitIs(screen, at, 224, 340, secondaryBorder));
  EXPECT_TRUE(unitIs(screen, at, 373, 340, secondaryBorder));
  EXPECT_TRUE(unitIs(screen, at, 300, 316, secondaryBorder));
  EXPECT_TRUE(unitIs(screen, at, 228, 320, secondaryFill));
  EXPECT_TRUE(unitIs(screen, at, 370, 350, secondaryFill));
  EXPECT_TRUE(unitIs(screen, at, 380, 340, background));
}

struct FontClose {
  void operator()(TTF_Font* font) const { TTF_CloseFont(font); }
};

// How many pixels of the headline differ (by more than rounding) from the headline rendered
// here at the title font's size for the density, placed where the window centres it. Text
// rendered at density 1 and scaled up matches this only at density 1.
int headlineMismatches(SDL_Surface* screen, const Placement& at, const std::string& headline) {
  EXPECT_TRUE(TTF_Init());
  int mismatches = -1;
  {
    std::unique_ptr<TTF_Font, FontClose> font(
        TTF_OpenFont(VARNHOLT_BUILD_DIR "/Fontin-Bold.otf", 15.0f * static_cast<float>(at.scale)));
    if (font) {
      TTF_SetFontWrapAlignment(font.get(), TTF_HORIZONTAL_ALIGN_CENTER);
      const SDL_Color colour{230, 225, 211, 255};
      WestonImage text(TTF_RenderText_Blended_Wrapped(font.get(), headline.c_str(), 0, colour, 496 * at.scale));
      if (text) {
        mismatches = 0;
        const float scale = static_cast<float>(at.scale);
        const float widthUnits = static_cast<float>(text->w) / scale;
        const int left = static_cast<int>(std::floor((32 + (496 - widthUnits) * 0.5f) * scale));
        const int top = (dividerY + 18) * at.scale;
        for (int y = 0; y < text->h; ++y) {
          for (int x = 0; x < text->w; ++x) {
            Uint8 r, g, b, a;
            if (!SDL_ReadSurfacePixel(text.get(), x, y, &r, &g, &b, &a)) return -1;
            const auto over = [a](int fg, int bg) { return (fg * a + bg * (255 - a)) / 255.0; };
            const Rgb seen = pixelAt(screen, at.x + left + x, at.y + top + y);
            const bool close = std::abs(seen.r - over(headlineColour.r, background.r)) <= 3 &&
                               std::abs(seen.g - over(headlineColour.g, background.g)) <= 3 &&
                               std::abs(seen.b - over(headlineColour.b, background.b)) <= 3;
            mismatches += close ? 0 : 1;
          }
        }
      }
    }
  }
  TTF_Quit();
  return mismatches;
}

// How many rows right above the window's content are one colour across its width, other than
// the window's background, with text in them (the title); 0 if there is no such bar.
int titleBarRows(SDL_Surface* screen, const Placement& at) {
  const Rgb bar = pixelAt(screen, at.x, at.y - 1);
  if (bar == background) return 0;
  int rows = 0;
  int textPixels = 0;
  for (int y = at.y - 1; y >= 0; --y) {
    int others = 0;
    for (int x = at.x; x < at.x + 560 * at.scale; ++x) others += pixelAt(screen, x, y) == bar ? 0 : 1;
    // Above the bar lies the desktop or a shadow: mostly other colours.
    if (others > 280 * at.scale) break;
    textPixels += others;
    ++rows;
  }
  return textPixels > 0 ? rows : 0;
}

// The row right above the content has one colour over the content's whole width: the frame was
// drawn for the window's present size.
bool decorationSpansContent(SDL_Surface* screen, const Placement& at) {
  return pixelAt(screen, at.x, at.y - 1) == pixelAt(screen, at.x + 560 * at.scale - 1, at.y - 1);
}

bool mapsLibrary(int pid, const std::string& name) {
  return readText("/proc/" + std::to_string(pid) + "/maps").find(name) != std::string::npos;
}

class WaylandWindow : public testing::Test {
 protected:
  void SetUp() override {
    root = fs::canonical(temp.path());
    installDir = root / "install";
    home = root / "home";
    logPath = root / "setup.log";
    record = root / "game-record";
    fs::create_directories(home);
  }

  // A release whose game records its arguments (one a line) and working folder, and the extra
  // files given.
  void publish(std::vector<GameFile> extraFiles = {}) {
    TestRelease release;
    release.files = {{"bin/game",
                      "#!/bin/sh\n{ for a in \"$0\" \"$@\"; do echo \"$a\"; done; pwd -P; } > '" + record.string() +
                          ".tmp'\nmv '" + record.string() + ".tmp' '" + record.string() + "'\n",
                      true}};
    release.files.insert(release.files.end(), extraFiles.begin(), extraFiles.end());
    publishTestRelease(root / "www/linux", release);
  }

  // The program on desktop with its log, HOME in the test's folder and the extra environment.
  int start(const WestonDesktop& desktop, const std::string& serverUrl, std::vector<std::string> more = {},
            std::vector<std::string> env = {}) {
    std::vector<std::string> argv = {VARNHOLT_SETUP_PATH, "--log", logPath.string(), "--dir", installDir.string(),
                                     "--source", serverUrl + "linux/"};
    argv.insert(argv.end(), more.begin(), more.end());
    ProcessOptions options;
    options.env = desktop.clientEnvironment();
    options.env.insert(options.env.end(), {"HOME=" + home.string(), "XDG_DATA_HOME"});
    options.env.insert(options.env.end(), env.begin(), env.end());
#if defined(__SANITIZE_THREAD__)
    // Mesa's OpenGL rasteriser (llvmpipe) runs threads of its own that synchronise in ways
    // ThreadSanitizer cannot see; without them only the program's own threads are checked.
    options.env.push_back("LP_NUM_THREADS=0");
#endif
    // The client's side of the Wayland conversation, kept with the run's files when a test
    // fails: the order of the decoration's configure, enter and buffer-scale events is what
    // explains a frame drawn at the wrong density.
    options.env.push_back("WAYLAND_DEBUG=client");
    options.workingFolder = home.string();
    ++starts;
    return startProcess(argv, options, outputPath().string());
  }
  // One file for each start, so that a later start keeps the earlier one's output.
  fs::path outputPath() const { return root / ("setup-" + std::to_string(starts) + ".output"); }

  // The program's own output, without the protocol trace.
  std::string programOutput() const {
    std::string kept;
    for (const std::string& line : linesOf(readText(outputPath()))) {
      const bool traced = line.starts_with("[") && line.find('@') != std::string::npos;
      if (!traced) kept += line + "\n";
    }
    return kept;
  }

  bool waitForLogLine(const std::string& line, int timeoutMs = 30000) const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
      const std::vector<std::string> lines = linesOf(readText(logPath));
      if (std::find(lines.begin(), lines.end(), line) != lines.end()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (Clock::now() < deadline);
    return false;
  }

  // Waits up to timeoutMs for the program to end; its exit code, or -1.
  static int waitForExit(int pid, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (Clock::now() < deadline);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }

  // Screenshots until the window shows its primary button (up to 30 s) and its decoration has
  // caught up with it (up to 5 s more): libdecor draws its frame for the window's final size in
  // a commit of its own, which a loaded machine can show a few frames after the content.
  WestonImage offerOnScreen(const WestonDesktop& desktop, int scale, Placement& at) {
    std::string error;
    int settleAttempts = 50;
    for (int attempt = 0; attempt < 300; ++attempt) {
      WestonImage screen = desktop.screenshot(error);
      if (!screen) break;
      at = findWindow(screen.get(), scale);
      if (at.found() && unitIs(screen.get(), at, 390, 320, primaryFill) &&
          (decorationSpansContent(screen.get(), at) || --settleAttempts == 0)) {
        if (const char* keep = std::getenv("VARNHOLT_SCREENSHOT_DIR")) {
          fs::create_directories(keep);
          IMG_SavePNG(screen.get(), (fs::path(keep) / ("wayland-" + std::to_string(scale) + ".png")).c_str());
        }
        return screen;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ADD_FAILURE() << "no window on the screen " << error << "\n" << programOutput();
    return nullptr;
  }

  TempFolder temp;
  fs::path root, installDir, home, logPath, record;
  int starts = 0;
};

}  // namespace

// The window opens with the Wayland driver at densities 1 and 2: decorated by libdecor, drawn
// pixel for pixel at the density, text rendered at it; and --update installs and starts the game.
TEST_F(WaylandWindow, OpensDrawsInstallsAndStartsTheGameSlow) {
  publish();
  NginxServer server(root / "www");
  for (int scale : {1, 2}) {
    SCOPED_TRACE("density " + std::to_string(scale));
    fs::remove_all(installDir);
    fs::remove(logPath);
    fs::remove(record);
    WestonDesktop desktop(scale);

    const int pid = start(desktop, server.httpUrl());
    ASSERT_TRUE(waitForLogLine("Install Varnholt 1.0? - 1 MB to download.")) << programOutput();
    Placement at;
    WestonImage screen = offerOnScreen(desktop, scale, at);
    ASSERT_TRUE(screen);
    expectOfferLayout(screen.get(), at);
    // The window is 560 x 380 units, so many pixels times the density: its content ends there.
    EXPECT_TRUE(unitIs(screen.get(), at, 559, 0, background));
    EXPECT_FALSE(pixelAt(screen.get(), at.x + 560 * scale, at.y + 190 * scale) == background);
    EXPECT_FALSE(pixelAt(screen.get(), at.x - 1, at.y + 190 * scale) == background);
    EXPECT_FALSE(pixelAt(screen.get(), at.x + 280 * scale, at.y + 380 * scale) == background);
    EXPECT_EQ(headlineMismatches(screen.get(), at, "Install Varnholt 1.0?"), 0);
    // libdecor (its cairo plugin) draws a title bar with the title right above the content.
    EXPECT_TRUE(mapsLibrary(pid, "libdecor-cairo.so")) << readText("/proc/" + std::to_string(pid) + "/maps");
    EXPECT_EQ(titleBarRows(screen.get(), at), 24 * scale);

    // Closing on the offer needs no question; SDL turns SIGTERM into a quit request.
    kill(pid, SIGTERM);
    EXPECT_EQ(waitForExit(pid, 20000), 0) << programOutput();
    EXPECT_FALSE(fs::exists(installDir / "bin/game"));

    const int unattended = start(desktop, server.httpUrl(), {"--update"});
    EXPECT_EQ(waitForExit(unattended, 30000), 0) << programOutput() << readText(logPath);
    for (int waited = 0; waited < 10000 && !fs::exists(record); waited += 20) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(readText(record), (installDir / "bin/game").string() + "\n--updated\n" + installDir.string() + "\n");
    EXPECT_EQ(linesOf(readText(logPath)).back(),
              "Varnholt 1.0 is installed. - It is in your applications menu. Run this again any time to update.");
  }
}

// Without a program to show the stop question (zenity, on Wayland), a request to close during a
// download stops it, says so in the log, and keeps what has finished.
TEST_F(WaylandWindow, CancelWithoutAQuestionBoxStopsAndKeepsTheStagedFilesSlow) {
  const std::string small(4096, 's');
  const std::string large(24 * 1000 * 1000, 'L');
  publish({{"a.dat", small}, {"b.dat", large}});
  ThrottledServer server(root / "www", 2000000);
  WestonDesktop desktop;
  const fs::path emptyPath = root / "no-programs";
  fs::create_directories(emptyPath);

  // --update starts the download without a click.
  const int pid = start(desktop, server.url(), {"--update"}, {"PATH=" + emptyPath.string()});
  ASSERT_TRUE(waitForLogLine("Downloading Varnholt 1.0...")) << programOutput();
  const fs::path staging = installDir / ".staging";
  const fs::path finished = staging / contentDigest(small);
  const fs::path part = staging / (contentDigest(large) + ".part");
  for (int waited = 0; waited < 30000 && !(fs::exists(finished) && fs::exists(part)); waited += 20) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(fs::exists(part)) << readText(logPath);

  kill(pid, SIGTERM);
  EXPECT_EQ(waitForExit(pid, 20000), 0) << programOutput();
  const std::vector<std::string> lines = linesOf(readText(logPath));
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.back(), "Cancelled. - Cancelled.");
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.rfind("The stop question could not be shown (", 0) == 0 && line.ends_with("); stopping.");
  })) << readText(logPath);
  EXPECT_EQ(readText(finished), small);
  std::error_code ec;
  const uintmax_t partSize = fs::file_size(part, ec);
  EXPECT_FALSE(ec) << ec.message();
  EXPECT_LT(partSize, large.size());
  EXPECT_FALSE(fs::exists(installDir / "install.manifest"));
  EXPECT_FALSE(fs::exists(installDir / "b.dat"));
}
