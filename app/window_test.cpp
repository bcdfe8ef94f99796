// Snapshot mode under SDL's offscreen video driver: the real program draws its demonstration
// screen and saves it; the test reads the image back pixel by pixel.
#include <SDL3/SDL.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/window_layout.h"
#include "tests/support/process.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

struct Rgb {
  int r, g, b;
  bool operator==(const Rgb&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Rgb& c) {
  return out << "(" << c.r << ", " << c.g << ", " << c.b << ")";
}

constexpr Rgb rgbOf(LayoutColour colour) { return {colour.r, colour.g, colour.b}; }

constexpr Rgb background = rgbOf(palette.background);
constexpr Rgb divider = rgbOf(palette.divider);
constexpr Rgb track = rgbOf(palette.track);
constexpr Rgb fill = rgbOf(palette.fill);
constexpr Rgb primaryFill = rgbOf(palette.primaryFill);
constexpr Rgb primaryBorder = rgbOf(palette.primaryBorder);
constexpr Rgb secondaryFill = rgbOf(palette.secondaryFill);
constexpr Rgb secondaryBorder = rgbOf(palette.secondaryBorder);

struct SurfaceFree {
  void operator()(SDL_Surface* surface) const { SDL_DestroySurface(surface); }
};
using SurfacePtr = std::unique_ptr<SDL_Surface, SurfaceFree>;

Rgb pixel(SDL_Surface* image, int x, int y) {
  Uint8 r = 0, g = 0, b = 0, a = 0;
  EXPECT_TRUE(SDL_ReadSurfacePixel(image, x, y, &r, &g, &b, &a)) << x << "," << y;
  return {r, g, b};
}

const fs::path buildDir = VARNHOLT_BUILD_DIR;
const char* const assetNames[] = {"logo.png", "LiberationSans-Regular.ttf", "Fontin-Bold.otf"};

void copyInto(const fs::path& from, const fs::path& folder) {
  fs::create_directories(folder);
  fs::copy_file(from, folder / from.filename(), fs::copy_options::overwrite_existing);
}

struct SnapshotRun {
  ProcessResult result;
  SurfacePtr image;
};

// Runs program with the offscreen driver and the install folder, home and working folder in
// the test's temp folder; loads the image if one was written.
SnapshotRun runSnapshot(const fs::path& program, const fs::path& temp, std::vector<std::string> extra = {},
                        const fs::path& workingFolder = {}) {
  fs::create_directories(temp / "home");
  std::vector<std::string> argv = {program.string(), "--snap", (temp / "snap.bmp").string(), "--dir",
                                   (temp / "game").string()};
  argv.insert(argv.end(), extra.begin(), extra.end());
  ProcessOptions options;
  options.env = {"SDL_VIDEODRIVER=offscreen", "DISPLAY", "WAYLAND_DISPLAY", "HOME=" + (temp / "home").string(),
                 "XDG_DATA_HOME"};
#if defined(__SANITIZE_THREAD__)
  // Mesa's OpenGL rasteriser (llvmpipe) runs threads of its own that synchronise in ways
  // ThreadSanitizer cannot see; without them only the program's own threads are checked.
  options.env.push_back("LP_NUM_THREADS=0");
#endif
  options.workingFolder = (workingFolder.empty() ? temp / "home" : workingFolder).string();
  options.timeoutSeconds = 60;
  SnapshotRun run;
  run.result = runProcess(argv, options);
  if (fs::exists(temp / "snap.bmp")) run.image.reset(SDL_LoadBMP((temp / "snap.bmp").c_str()));
  return run;
}

// Every element of the demonstration screen whose place depends on where the divider lies:
// each probe is a pixel just inside or just outside an edge of the window's layout.
void expectDemonstrationScreen(SDL_Surface* image, int dividerY) {
  ASSERT_EQ(image->w, layout.width);
  ASSERT_EQ(image->h, layout.height);
  const int right = layout.width - 1;
  const int bottom = layout.height - 1;
  const int dividerLeft = static_cast<int>(layout.dividerLeft);
  const int dividerEnd = static_cast<int>(layout.dividerLeft + layout.dividerWidth);  // first pixel after
  // Progress 0.38: the bar below the divider, filled 176 of 464 units.
  const int barY = dividerY + static_cast<int>(layout.headlineBelowDivider + layout.detailBelowHeadline +
                                               layout.barBelowDetail);
  const int barLeft = static_cast<int>(layout.barLeft);
  const int barEnd = static_cast<int>(layout.barLeft + layout.barWidth);
  const int barBottom = barY + static_cast<int>(layout.barHeight) - 1;
  const int fillEnd = barLeft + static_cast<int>(layout.barWidth * 0.38);  // first track pixel
  struct Edges {
    int left, top, right, bottom;  // the outermost pixels
  };
  const auto edges = [](const LayoutRect& r) {
    return Edges{static_cast<int>(r.x), static_cast<int>(r.y), static_cast<int>(r.x + r.w) - 1,
                 static_cast<int>(r.y + r.h) - 1};
  };
  const Edges primary = edges(layout.primaryButton);
  const Edges secondary = edges(layout.secondaryButton);
  const int primaryMiddle = (primary.top + primary.bottom) / 2;
  const int secondaryMiddle = (secondary.top + secondary.bottom) / 2;

  struct Probe {
    const char* what;
    int x, y;
    Rgb colour;
  };
  const std::vector<Probe> probes = {
      {"top left corner", 2, 2, background},
      {"bottom right corner", right - 2, bottom - 2, background},
      {"left of the divider", dividerLeft - 1, dividerY, background},
      {"divider's first pixel", dividerLeft, dividerY, divider},
      {"divider's last pixel", dividerEnd - 1, dividerY, divider},
      {"right of the divider", dividerEnd, dividerY, background},
      {"above the divider", dividerLeft + 20, dividerY - 1, background},
      {"below the divider", dividerLeft + 20, dividerY + 1, background},
      {"left of the bar", barLeft - 1, barY + 5, background},
      {"bar's first filled pixel", barLeft, barY, fill},
      {"bar's last filled pixel", fillEnd - 1, barBottom, fill},
      {"bar's track after the fill", fillEnd + 1, barY + 5, track},
      {"bar's last pixel", barEnd - 1, barBottom, track},
      {"right of the bar", barEnd, barY + 5, background},
      {"above the bar", barLeft + 52, barY - 1, background},
      {"below the bar", barLeft + 52, barBottom + 1, background},
      // The buttons, not hovered: a one-unit border around the fill.
      {"primary's left border", primary.left, primaryMiddle, primaryBorder},
      {"primary's right border", primary.right, primaryMiddle, primaryBorder},
      {"primary's top border", primary.left + 14, primary.top, primaryBorder},
      {"primary's bottom border", primary.left + 14, primary.bottom, primaryBorder},
      {"primary's fill, top left", primary.left + 4, primary.top + 4, primaryFill},
      {"primary's fill, bottom right", primary.right - 5, primary.bottom - 5, primaryFill},
      {"right of the primary button", primary.right + 1, primaryMiddle, background},
      {"secondary's left border", secondary.left, secondaryMiddle, secondaryBorder},
      {"secondary's right border", secondary.right, secondaryMiddle, secondaryBorder},
      {"secondary's top border", secondary.left + 76, secondary.top, secondaryBorder},
      {"secondary's fill, top left", secondary.left + 4, secondary.top + 4, secondaryFill},
      {"secondary's fill, bottom right", secondary.right - 3, secondary.bottom - 5, secondaryFill},
      {"between the buttons", (secondary.right + primary.left) / 2, secondaryMiddle, background},
  };
  for (const Probe& probe : probes) {
    EXPECT_EQ(pixel(image, probe.x, probe.y), probe.colour) << probe.what << " at " << probe.x << "," << probe.y;
  }
}

// Counts the pixels of a region that differ from the background.
int drawnPixels(SDL_Surface* image, int x0, int y0, int x1, int y1) {
  int count = 0;
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) count += pixel(image, x, y) == background ? 0 : 1;
  }
  return count;
}

}  // namespace

TEST(Snapshot, DrawsTheDemonstrationScreenWithTheLogo) {
  TempFolder temp;
  SnapshotRun run = runSnapshot(VARNHOLT_SETUP_PATH, temp.path(), {"--log", (temp.path() / "log").string()});
  ASSERT_EQ(run.result.exitCode, 0) << run.result.output;
  ASSERT_TRUE(run.image) << SDL_GetError();
  // A 660 x 200 logo is drawn 330 x 100 units at (115, 22); the divider lies 14 units below.
  expectDemonstrationScreen(run.image.get(), 136);
  EXPECT_GT(drawnPixels(run.image.get(), 115, 22, 445, 122), 2000);
  EXPECT_EQ(drawnPixels(run.image.get(), 0, 0, 114, 135), 0);
  EXPECT_EQ(drawnPixels(run.image.get(), 446, 0, 560, 135), 0);
  // The headline, detail and footer texts lie in their rows.
  EXPECT_GT(drawnPixels(run.image.get(), 32, 154, 528, 174), 100);
  EXPECT_GT(drawnPixels(run.image.get(), 32, 200, 528, 214), 50);
  EXPECT_GT(drawnPixels(run.image.get(), 32, 264, 528, 277), 50);
  // Snapshot mode writes no log line.
  std::ifstream log(temp.path() / "log");
  EXPECT_TRUE(log.good());
  EXPECT_EQ(log.peek(), std::ifstream::traits_type::eof());
}

// Where the assets are found: beside the program, in "setup" below it, in the installed
// prefix's share folder, or in the working folder; without a logo the divider moves up.
TEST(Snapshot, FindsTheAssetsInEachPlaceSlow) {
  struct Case {
    const char* name;
    fs::path programFolder;  // relative to the case's folder
    fs::path assetFolder;    // relative to the case's folder; empty: no assets at all
    bool runInAssetFolder;
    int dividerY;
  };
  const std::vector<Case> cases = {
      {"beside the program", "app", "app", false, 136},
      {"setup below the program", "app", "app/setup", false, 136},
      {"installed prefix", "prefix/bin", "prefix/share/varnholt-setup", false, 136},
      {"working folder", "app", "elsewhere", true, 136},
      {"nowhere", "app", "", false, 22},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder temp;
    copyInto(VARNHOLT_SETUP_PATH, temp.path() / c.programFolder);
    if (!c.assetFolder.empty()) {
      for (const char* asset : assetNames) copyInto(buildDir / asset, temp.path() / c.assetFolder);
    }
    fs::path working = c.runInAssetFolder ? temp.path() / c.assetFolder : fs::path();
    SnapshotRun run = runSnapshot(temp.path() / c.programFolder / "varnholt-setup", temp.path(), {}, working);
    ASSERT_EQ(run.result.exitCode, 0) << run.result.output;
    ASSERT_TRUE(run.image) << SDL_GetError();
    expectDemonstrationScreen(run.image.get(), c.dividerY);
    if (c.assetFolder.empty()) {
      // Without fonts no text is drawn, and the window still works.
      EXPECT_EQ(drawnPixels(run.image.get(), 0, 0, 560, 22), 0);
      EXPECT_EQ(drawnPixels(run.image.get(), 32, 40, 528, 120), 0);
    } else {
      EXPECT_GT(drawnPixels(run.image.get(), 32, 154, 528, 174), 100);
    }
  }
}

TEST(Snapshot, OtherModesWriteNoImage) {
  const std::vector<std::vector<std::string>> modes = {
      {"--quiet", "--source", "http://127.0.0.1:1/linux/", "--no-register"},
      {"--uninstall", "--quiet"},
      {"--uninstall"},
  };
  for (const std::vector<std::string>& mode : modes) {
    SCOPED_TRACE(mode.front() + (mode.size() > 1 ? " " + mode[1] : ""));
    TempFolder temp;
    SnapshotRun run = runSnapshot(VARNHOLT_SETUP_PATH, temp.path(), mode);
    EXPECT_EQ(run.result.exitCode, 1) << run.result.output;
    EXPECT_FALSE(fs::exists(temp.path() / "snap.bmp"));
  }
}

TEST(Snapshot, UnwritableImageGivesExitCodeOne) {
  TempFolder temp;
  ProcessOptions options;
  options.env = {"SDL_VIDEODRIVER=offscreen", "HOME=" + temp.path().string(), "XDG_DATA_HOME"};
  options.timeoutSeconds = 60;
  ProcessResult result = runProcess(
      {VARNHOLT_SETUP_PATH, "--snap", (temp.path() / "missing" / "snap.bmp").string(), "--dir",
       (temp.path() / "game").string()},
      options);
  EXPECT_EQ(result.exitCode, 1) << result.output;
  EXPECT_FALSE(fs::exists(temp.path() / "missing"));
}

TEST(Window, WithoutADisplaySaysSoAndExits) {
  for (const char* snapshot : {"", "snap.bmp"}) {
    SCOPED_TRACE(snapshot);
    TempFolder temp;
    ProcessOptions options;
    options.env = {"SDL_VIDEODRIVER", "DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR",
                   "HOME=" + temp.path().string(), "XDG_DATA_HOME"};
    options.workingFolder = temp.path().string();
    options.timeoutSeconds = 60;
    std::vector<std::string> argv = {VARNHOLT_SETUP_PATH, "--dir", (temp.path() / "game").string()};
    if (*snapshot) argv.insert(argv.end(), {"--snap", snapshot});
    ProcessResult result = runProcess(argv, options);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.output.find("no window: No available video device\n"), std::string::npos) << result.output;
    EXPECT_FALSE(fs::exists(temp.path() / "snap.bmp"));
    EXPECT_FALSE(fs::exists(temp.path() / "game"));
  }
}
