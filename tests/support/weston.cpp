#include "tests/support/weston.h"

#include <SDL3_image/SDL_image.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "tests/support/net.h"

namespace fs = std::filesystem;

namespace {

const char* const socketName = "wayland-test";

std::string readWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

WestonDesktop::WestonDesktop(int scale) : runtimeFolder_(work_.path() / "runtime") {
  // Wayland clients refuse a runtime folder that others may enter.
  fs::create_directories(runtimeFolder_);
  fs::permissions(runtimeFolder_, fs::perms::owner_all, fs::perm_options::replace);
  const fs::path log = work_.path() / "weston.log";
  ProcessOptions options;
  options.env = {"XDG_RUNTIME_DIR=" + runtimeFolder_.string(), "WAYLAND_DISPLAY", "DISPLAY"};
  pid_ = startProcess({"weston", "--backend=headless-backend.so", "--use-pixman", std::string("--socket=") + socketName,
                       "--width=1024", "--height=768", "--scale=" + std::to_string(scale), "--idle-time=0",
                       "--debug"},
                      options, log.string());
  // weston listens once its socket is there.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline && processRunning(pid_)) {
    std::error_code ec;
    if (fs::is_socket(runtimeFolder_ / socketName, ec)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stopProcess(pid_);
  throw std::runtime_error("weston did not start: " + readWhole(log));
}

WestonDesktop::~WestonDesktop() { stopProcess(pid_); }

std::vector<std::string> WestonDesktop::clientEnvironment() const {
  return {"XDG_RUNTIME_DIR=" + runtimeFolder_.string(), std::string("WAYLAND_DISPLAY=") + socketName,
          "SDL_VIDEODRIVER=wayland", "DISPLAY"};
}

WestonImage WestonDesktop::screenshot(std::string& error) const {
  // The screenshooter names its file after the time; a fresh folder holds only this one.
  static std::atomic<int> counter{0};
  const fs::path folder = work_.path() / ("shot-" + std::to_string(++counter));
  fs::create_directories(folder);
  ProcessOptions options;
  options.env = clientEnvironment();
  options.workingFolder = folder.string();
  options.timeoutSeconds = 30;
  const ProcessResult result = runProcess({"weston-screenshooter"}, options);
  if (result.exitCode != 0) {
    error = "weston-screenshooter failed: " + result.output;
    return nullptr;
  }
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    WestonImage image(IMG_Load(entry.path().c_str()));
    if (!image) {
      error = "cannot load " + entry.path().string() + ": " + SDL_GetError();
      return nullptr;
    }
    // One pixel format for every reader.
    WestonImage converted(SDL_ConvertSurface(image.get(), SDL_PIXELFORMAT_RGB24));
    if (!converted) error = SDL_GetError();
    return converted;
  }
  error = "weston-screenshooter wrote no file: " + result.output;
  return nullptr;
}
