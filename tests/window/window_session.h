// The setup window on a real X server for the tests: Xvfb on a free display, the program
// started on it, and the window driven with xdotool and photographed with ImageMagick's import,
// as a user would drive it. Also a release server that sends slowly (nginx with limit_rate),
// so that a download lasts long enough to be interrupted.
#pragma once

#include <SDL3/SDL.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/window_layout.h"
#include "tests/support/process.h"
#include "tests/support/temp_folder.h"

// Xvfb on a display number it picks itself; stopped with its scope.
class VirtualDisplay {
 public:
  VirtualDisplay();
  ~VirtualDisplay();
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;
  const std::string& name() const { return name_; }  // ":N"
  // An X client tool (xdotool, import, xwininfo) run against this display.
  ProcessResult run(const std::vector<std::string>& argv) const;
  // The id of the first window titled exactly title, waiting up to timeoutMs; "" if none came.
  std::string waitForWindow(const std::string& title, int timeoutMs = 10000) const;
  // True once no window titled exactly title is left, waiting up to timeoutMs.
  bool waitForNoWindow(const std::string& title, int timeoutMs = 10000) const;
  bool hasWindow(const std::string& title) const;
  // The id of a visible window titled exactly title, or "".
  std::string findWindow(const std::string& title) const;

 private:
  TempFolder work_;
  int pid_ = -1;
  std::string name_;
};

struct SurfaceFree {
  void operator()(SDL_Surface* surface) const { SDL_DestroySurface(surface); }
};
using SurfacePtr = std::unique_ptr<SDL_Surface, SurfaceFree>;

struct Rgb {
  int r = 0, g = 0, b = 0;
  bool operator==(const Rgb&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Rgb& colour);
Rgb pixelAt(SDL_Surface* image, int x, int y);
constexpr Rgb rgbOf(LayoutColour colour) { return {colour.r, colour.g, colour.b}; }

// The primary button's fill, plain and under the pointer, and a point of it clear of its label
// (window units).
constexpr Rgb primaryFill = rgbOf(palette.primaryFill);
constexpr Rgb primaryHoverFill = rgbOf(palette.primaryHoverFill);
constexpr int primaryFillX = 390, primaryFillY = 320;

// The real setup program with its own window on a display, its log read back line by line.
class SetupWindow {
 public:
  // Starts the program with DISPLAY set, HOME in home, --log logPath and arguments.
  SetupWindow(const VirtualDisplay& display, const std::filesystem::path& home,
              const std::filesystem::path& logPath, const std::vector<std::string>& arguments);
  ~SetupWindow();  // kills the program if it still runs
  SetupWindow(const SetupWindow&) = delete;
  SetupWindow& operator=(const SetupWindow&) = delete;

  std::vector<std::string> logLines() const;
  // What the program wrote to standard output and standard error so far.
  std::string output() const;
  // Waits until the log holds the line (exactly) at least count times.
  bool waitForLogLine(const std::string& line, int timeoutMs = 30000, size_t count = 1) const;
  // The main window's id, found once.
  const std::string& windowId();
  // A click (and release) of a mouse button at window coordinates; the pointer stays there.
  void click(float x, float y, int button = 1);
  void movePointer(float x, float y);
  // A key press sent to the main window.
  void pressKey(const std::string& key);
  // Takes screenshots (at picture) until the primary button is drawn, up to timeoutMs. The log
  // tells a screen's texts before the next frame draws its button, and Return or a click that
  // comes before the button is ignored, as a player's would be.
  bool waitForPrimaryButton(const std::filesystem::path& picture, int timeoutMs = 30000);
  // Asks the window to close as a window manager's close button does.
  void closeByWindowManager();
  // Answers the message box titled "Varnholt" with a key; false if no box came.
  bool answerMessageBox(const std::string& key);
  // The window as it looks now, saved as PNG at path and loaded.
  SurfacePtr screenshot(const std::filesystem::path& path);
  // Waits up to timeoutMs for the program to end; true with the exit code if it did.
  bool waitForExit(int timeoutMs, int& exitCode);
  bool running() const;

 private:
  const VirtualDisplay& display_;
  std::filesystem::path logPath_;
  std::filesystem::path outputPath_;
  int pid_ = -1;
  bool reaped_ = false;
  std::string windowId_;
};

// nginx over plain HTTP serving root at "/", sending each response at about bytesPerSecond.
class ThrottledServer {
 public:
  ThrottledServer(const std::filesystem::path& root, int bytesPerSecond);
  ~ThrottledServer();
  ThrottledServer(const ThrottledServer&) = delete;
  ThrottledServer& operator=(const ThrottledServer&) = delete;
  std::string url() const;  // "http://127.0.0.1:<port>/"

 private:
  TempFolder work_;
  int pid_ = -1;
  int port_ = 0;
};
