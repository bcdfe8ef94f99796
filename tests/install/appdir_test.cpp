// The AppDir that becomes VarnholtSetup.AppImage, run as a player's machine would run it: from
// another folder, with the build's dependency prefix out of sight (an empty tmpfs over it), so
// that everything it needs comes from inside the AppDir or from the base system.
#include <SDL3/SDL.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <set>

#include "release/release.h"
#include "tests/support/process.h"
#include "tests/keys/test_key.h"
#include "tests/support/servers.h"
#include "tests/support/snapshot_pixels.h"
#include "tests/support/temp_folder.h"
#include "tools/publish.h"

namespace fs = std::filesystem;

namespace {

const fs::path builtAppDir = fs::path(VARNHOLT_BUILD_DIR) / "AppDir";

std::string readelf(const std::string& option, const fs::path& file) {
  ProcessResult result = runProcess({"readelf", option, file.string()});
  EXPECT_EQ(result.exitCode, 0) << result.output;
  return result.output;
}

// A copy of the AppDir elsewhere, and the child's view without the dependency prefix.
class MovedAppDir : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(builtAppDir / "AppRun")) << "build the appdir target";
    appDir = temp.path() / "somewhere else" / "Varnholt Setup.AppDir";
    fs::create_directories(appDir.parent_path());
    fs::copy(builtAppDir, appDir, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    options.env = {"SDL_VIDEODRIVER=offscreen", "DISPLAY", "WAYLAND_DISPLAY", "LD_LIBRARY_PATH",
                   "HOME=" + temp.path().string(), "XDG_DATA_HOME"};
    options.workingFolder = temp.path().string();
    options.timeoutSeconds = 120;
    std::error_code ec;
    if (fs::is_directory(VARNHOLT_DEPS_DIR, ec)) options.hiddenFolders = {VARNHOLT_DEPS_DIR};
  }

  TempFolder temp;
  fs::path appDir;
  ProcessOptions options;
};

}  // namespace

TEST_F(MovedAppDir, HoldsWhatTheAppImageFormatAndThePlayerNeed) {
  for (const char* file : {"AppRun", "varnholt-setup.desktop", "varnholt-setup.png", "usr/bin/varnholt-setup",
                           "usr/share/varnholt-setup/logo.png", "usr/share/varnholt-setup/LiberationSans-Regular.ttf",
                           "usr/share/varnholt-setup/Fontin-Bold.otf"}) {
    EXPECT_TRUE(fs::is_regular_file(appDir / file)) << file;
  }
  EXPECT_EQ(fs::read_symlink(appDir / ".DirIcon"), "varnholt-setup.png");
  std::ifstream desktop(appDir / "varnholt-setup.desktop");
  std::string text((std::istreambuf_iterator<char>(desktop)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("\nExec=varnholt-setup\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nIcon=varnholt-setup\n"), std::string::npos) << text;

  // The libraries outside the base system are inside; the base system's are not.
  std::set<std::string> libraries;
  for (const fs::directory_entry& entry : fs::directory_iterator(appDir / "usr/lib")) {
    if (entry.is_symlink()) libraries.insert(entry.path().filename().string());
  }
  EXPECT_EQ(libraries, (std::set<std::string>{"libSDL3.so.0", "libSDL3_image.so.0", "libSDL3_ttf.so.0",
                                              "libsodium.so.23", "librsync.so.2", "libb2.so.1", "libgomp.so.1"}));

  // Every binary is stripped, and looks for libraries only beside itself.
  std::vector<fs::path> binaries = {appDir / "usr/bin/varnholt-setup"};
  for (const fs::directory_entry& entry : fs::directory_iterator(appDir / "usr/lib")) {
    if (!entry.is_symlink()) binaries.push_back(entry.path());
  }
  for (const fs::path& binary : binaries) {
    SCOPED_TRACE(binary.filename().string());
    EXPECT_EQ(readelf("-S", binary).find(".symtab"), std::string::npos);
    std::string dynamic = readelf("-d", binary);
    for (const char* tag : {"(RUNPATH)", "(RPATH)"}) {
      size_t at = dynamic.find(tag);
      if (at == std::string::npos) continue;
      std::string line = dynamic.substr(at, dynamic.find('\n', at) - at);
      EXPECT_NE(line.find("[$ORIGIN/../lib]"), std::string::npos) << line;
    }
  }
  EXPECT_NE(readelf("-d", appDir / "usr/bin/varnholt-setup").find("Library runpath: [$ORIGIN/../lib]"),
            std::string::npos);
}

TEST_F(MovedAppDir, DrawsAndInstallsWithoutTheBuildsPrefix) {
  const fs::path image = temp.path() / "snap.bmp";
  ProcessResult snap = runProcess({(appDir / "AppRun").string(), "--snap", image.string(), "--dir",
                                   (temp.path() / "game").string()},
                                  options);
  ASSERT_EQ(snap.exitCode, 0) << snap.output;
  SurfaceHandle snapshot(SDL_LoadBMP(image.c_str()));
  ASSERT_TRUE(snapshot) << SDL_GetError();
  // The logo and the headline: the bundled SDL3_image and SDL3_ttf found the assets.
  EXPECT_GT(drawnPixels(snapshot.get(), 22, 122), 1000);
  EXPECT_GT(drawnPixels(snapshot.get(), 154, 174), 100);

  // A signed release over TLS, checked with the bundled libsodium.
  const fs::path www = temp.path() / "www";
  const fs::path gameFolder = temp.path() / "release";
  fs::create_directories(gameFolder / "bin");
  std::ofstream(gameFolder / "bin/game.sh") << "#!/bin/sh\n";
  fs::permissions(gameFolder / "bin/game.sh", fs::perms(0755));
  std::ofstream(gameFolder / "data.pak") << std::string(100000, 'd');
  SigningSeed seed;
  std::string error;
  ASSERT_TRUE(loadSeed(testSeedFile, seed, error)) << error;
  ASSERT_TRUE(publishRelease(gameFolder, "1.0", "bin/game.sh", seed, www / "linux", error)) << error;
  fs::permissions(temp.path(), fs::perms(0755));
  NginxServer server(www);

  ProcessOptions quiet = options;
  quiet.trustedCa = testCertificates().caCertificate.string();
  const fs::path install = temp.path() / "installed";
  const fs::path log = temp.path() / "quiet.log";
  ProcessResult run = runProcess({(appDir / "AppRun").string(), "--quiet", "--no-register", "--dir",
                                  install.string(), "--source", server.httpsUrl() + "linux/", "--log", log.string()},
                                 quiet);
  std::ifstream logText(log);
  std::string logged((std::istreambuf_iterator<char>(logText)), std::istreambuf_iterator<char>());
  ASSERT_EQ(run.exitCode, 0) << run.output << logged;
  EXPECT_NE(logged.find("installed 1.0\n"), std::string::npos) << logged;
  EXPECT_EQ(fs::file_size(install / "data.pak"), 100000u);
}

TEST(AppImageScript, HandsTheAppDirToAppimagetoolOrSaysWhereToGetIt) {
  TempFolder temp;
  const fs::path tools = temp.path() / "tools";
  fs::create_directories(tools);
  const std::string script = std::string(VARNHOLT_SOURCE_DIR) + "/scripts/appimage";
  const fs::path output = temp.path() / "VarnholtSetup.AppImage";
  // Without appimagetool on PATH (cmake and the shell's tools only).
  const std::string basePath = "PATH=" + fs::path(CMAKE_COMMAND_PATH).parent_path().string() + ":/usr/bin:/bin";
  ProcessOptions options;
  options.env = {basePath, "ARCH"};
  ProcessResult missing = runProcess({script, VARNHOLT_BUILD_DIR, output.string()}, options);
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.output.find("appimagetool is not on PATH"), std::string::npos) << missing.output;
  EXPECT_NE(missing.output.find("https://github.com/AppImage/appimagetool/releases"), std::string::npos);
  EXPECT_FALSE(fs::exists(output));

  // A stand-in appimagetool records what it was given.
  std::ofstream(tools / "appimagetool") << "#!/bin/sh\necho \"$ARCH $1\" > \"$2\"\n";
  fs::permissions(tools / "appimagetool", fs::perms(0755));
  options.env = {"PATH=" + tools.string() + ":" + basePath.substr(5), "ARCH"};
  ProcessResult made = runProcess({script, VARNHOLT_BUILD_DIR, output.string()}, options);
  ASSERT_EQ(made.exitCode, 0) << made.output;
  std::ifstream in(output);
  std::string arch, appDir;
  in >> arch >> appDir;
  EXPECT_EQ(arch, runProcess({"uname", "-m"}).output.substr(0, arch.size()));
  EXPECT_FALSE(arch.empty());
  EXPECT_EQ(fs::canonical(appDir), fs::canonical(builtAppDir));
}
