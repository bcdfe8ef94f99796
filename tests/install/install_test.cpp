// The installed layout: `cmake --install` into a fresh prefix gives bin/varnholt-setup,
// bin/varnholt-release beside bin/varnholt-server-check, and share/varnholt-setup/ with the logo
// and fonts; the installed program finds its assets whatever its working folder.
#include <SDL3/SDL.h>
#include <gtest/gtest.h>

#include <memory>

#include "tests/support/process.h"
#include "tests/support/snapshot_pixels.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

TEST(InstalledPrefix, FindsItsAssetsFromAnyWorkingFolder) {
  TempFolder temp;
  const fs::path prefix = temp.path() / "prefix";
  ProcessResult install = runProcess({"cmake", "--install", VARNHOLT_BUILD_DIR, "--prefix", prefix.string()});
  ASSERT_EQ(install.exitCode, 0) << install.output;
  for (const char* file : {"bin/varnholt-setup", "bin/varnholt-release", "bin/varnholt-server-check",
                           "share/varnholt-setup/logo.png",
                           "share/varnholt-setup/LiberationSans-Regular.ttf",
                           "share/varnholt-setup/Fontin-Bold.otf"}) {
    EXPECT_TRUE(fs::is_regular_file(prefix / file)) << file;
  }
  // The installed tool hands a server check to its sibling: nothing listens on port 1.
  ProcessResult check = runProcess({(prefix / "bin/varnholt-release").string(), "verify", "https://127.0.0.1:1/linux/",
                                    std::string(64, '0')});
  EXPECT_EQ(check.exitCode, 1);
  EXPECT_EQ(check.output.rfind("varnholt-release: could not fetch https://127.0.0.1:1/linux/latest.manifest (", 0), 0u)
      << check.output;

  for (const fs::path& working : {fs::path("/"), temp.path(), prefix / "bin"}) {
    SCOPED_TRACE(working.string());
    const fs::path image = temp.path() / "snap.bmp";
    fs::remove(image);
    ProcessOptions options;
    options.env = {"SDL_VIDEODRIVER=offscreen", "DISPLAY", "WAYLAND_DISPLAY",
                   "HOME=" + temp.path().string(), "XDG_DATA_HOME"};
    options.workingFolder = working.string();
    options.timeoutSeconds = 60;
    ProcessResult run = runProcess({(prefix / "bin/varnholt-setup").string(), "--snap", image.string(),
                                    "--dir", (temp.path() / "game").string()},
                                   options);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    SurfaceHandle snapshot(SDL_LoadBMP(image.c_str()));
    ASSERT_TRUE(snapshot) << SDL_GetError();
    // The logo (rows 22 to 122) and, below the divider at 136, the headline in the title font.
    EXPECT_GT(drawnPixels(snapshot.get(), 22, 122), 1000);
    Uint8 r, g, b, a;
    ASSERT_TRUE(SDL_ReadSurfacePixel(snapshot.get(), 280, 136, &r, &g, &b, &a));
    EXPECT_EQ((std::array<int, 3>{r, g, b}), (std::array<int, 3>{70, 58, 40}));
    EXPECT_GT(drawnPixels(snapshot.get(), 154, 174), 100);
  }
}
