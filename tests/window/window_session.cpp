#include "tests/window/window_session.h"

#include <SDL3_image/SDL_image.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/net.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

std::string readWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

VirtualDisplay::VirtualDisplay() {
  // -displayfd: Xvfb takes the first free display number and writes it to standard output
  // once it accepts clients, so parallel tests never race for a number.
  // -noreset: by default the server starts afresh whenever its last client leaves, and a client
  // connecting meanwhile (the program, while xwininfo's probe ends) is refused.
  const fs::path out = work_.path() / "xvfb.out";
  pid_ = startProcess(
      {"Xvfb", "-displayfd", "1", "-noreset", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, {}, out.string());
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < deadline) {
    // Standard error shares the file: the number is the line made of digits only.
    std::istringstream lines(readWhole(out));
    for (std::string line; std::getline(lines, line);) {
      if (!lines.eof() && !line.empty() && line.find_first_not_of("0123456789") == std::string::npos) {
        name_ = ":" + line;
        return;
      }
    }
    if (!processRunning(pid_)) break;
    sleepMs(10);
  }
  stopProcess(pid_);
  throw std::runtime_error("Xvfb did not start: " + readWhole(out));
}

VirtualDisplay::~VirtualDisplay() { stopProcess(pid_); }

ProcessResult VirtualDisplay::run(const std::vector<std::string>& argv) const {
  ProcessOptions options;
  options.env = {"DISPLAY=" + name_};
  options.timeoutSeconds = 30;
  return runProcess(argv, options);
}

std::string VirtualDisplay::findWindow(const std::string& title) const {
  // SDL's message boxes carry their title as a property of type "UTF-8", which xdotool's name
  // search does not see; xwininfo lists every window with its name.
  const std::string quoted = " \"" + title + "\": ";
  std::istringstream tree(run({"xwininfo", "-root", "-tree"}).output);
  for (std::string line; std::getline(tree, line);) {
    const size_t id = line.find("0x");
    const size_t end = id == std::string::npos ? id : line.find(' ', id);
    if (end == std::string::npos || line.compare(end, quoted.size(), quoted) != 0) continue;
    const std::string windowId = line.substr(id, end - id);
    if (run({"xwininfo", "-id", windowId}).output.find("Map State: IsViewable") != std::string::npos) {
      return windowId;
    }
  }
  return "";
}

bool VirtualDisplay::hasWindow(const std::string& title) const { return !findWindow(title).empty(); }

std::string VirtualDisplay::waitForWindow(const std::string& title, int timeoutMs) const {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    std::string id = findWindow(title);
    if (!id.empty()) return id;
    sleepMs(50);
  } while (Clock::now() < deadline);
  return "";
}

bool VirtualDisplay::waitForNoWindow(const std::string& title, int timeoutMs) const {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    if (!hasWindow(title)) return true;
    sleepMs(50);
  } while (Clock::now() < deadline);
  return false;
}

std::ostream& operator<<(std::ostream& out, const Rgb& colour) {
  return out << "(" << colour.r << ", " << colour.g << ", " << colour.b << ")";
}

Rgb pixelAt(SDL_Surface* image, int x, int y) {
  Uint8 r = 0, g = 0, b = 0, a = 0;
  if (!image || !SDL_ReadSurfacePixel(image, x, y, &r, &g, &b, &a)) return {-1, -1, -1};
  return {r, g, b};
}

SetupWindow::SetupWindow(const VirtualDisplay& display, const fs::path& home, const fs::path& logPath,
                         const std::vector<std::string>& arguments)
    : display_(display), logPath_(logPath), outputPath_(logPath.string() + ".output") {
  std::vector<std::string> argv = {VARNHOLT_SETUP_PATH, "--log", logPath.string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  ProcessOptions options;
  options.env = {"DISPLAY=" + display.name(), "SDL_VIDEODRIVER=x11", "WAYLAND_DISPLAY", "XDG_DATA_HOME",
                 "HOME=" + home.string()};
#if defined(__SANITIZE_THREAD__)
  // Mesa's OpenGL rasteriser (llvmpipe) runs threads of its own that synchronise in ways
  // ThreadSanitizer cannot see; without them only the program's own threads are checked.
  options.env.push_back("LP_NUM_THREADS=0");
#endif
  options.workingFolder = home.string();
  pid_ = startProcess(argv, options, outputPath_.string());
}

SetupWindow::~SetupWindow() {
  if (reaped_ || pid_ <= 0) return;
  // SDL turns SIGTERM into a quit request, which a running download would answer with a box.
  kill(pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

std::string SetupWindow::output() const { return readWhole(outputPath_); }

std::vector<std::string> SetupWindow::logLines() const {
  std::vector<std::string> lines;
  std::istringstream text(readWhole(logPath_));
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

bool SetupWindow::waitForLogLine(const std::string& line, int timeoutMs, size_t count) const {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    size_t seen = 0;
    for (const std::string& logged : logLines()) seen += logged == line ? 1 : 0;
    if (seen >= count) return true;
    sleepMs(20);
  } while (Clock::now() < deadline);
  return false;
}

const std::string& SetupWindow::windowId() {
  if (windowId_.empty()) windowId_ = display_.waitForWindow("Varnholt Setup");
  if (windowId_.empty()) throw std::runtime_error("no setup window: " + readWhole(outputPath_));
  return windowId_;
}

void SetupWindow::movePointer(float x, float y) {
  display_.run({"xdotool", "mousemove", "--sync", "--window", windowId(), std::to_string(std::lround(x)),
                std::to_string(std::lround(y))});
}

void SetupWindow::click(float x, float y, int button) {
  movePointer(x, y);
  display_.run({"xdotool", "click", std::to_string(button)});
}

void SetupWindow::pressKey(const std::string& key) { display_.run({"xdotool", "key", "--window", windowId(), key}); }

void SetupWindow::closeByWindowManager() {
  display_.run({"python3", VARNHOLT_SOURCE_DIR "/tests/window/close_window.py", windowId()});
}

bool SetupWindow::answerMessageBox(const std::string& key) {
  const std::string box = display_.waitForWindow("Varnholt");
  if (box.empty()) return false;
  display_.run({"xdotool", "key", "--window", box, key});
  return display_.waitForNoWindow("Varnholt");
}

bool SetupWindow::waitForPrimaryButton(const fs::path& picture, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    SurfacePtr image = screenshot(picture);
    const Rgb fill = pixelAt(image.get(), primaryFillX, primaryFillY);
    if (fill == primaryFill || fill == primaryHoverFill) return true;
    sleepMs(100);
  } while (Clock::now() < deadline);
  return false;
}

SurfacePtr SetupWindow::screenshot(const fs::path& path) {
  display_.run({"import", "-window", windowId(), "png:" + path.string()});
  return SurfacePtr(IMG_Load(path.c_str()));
}

bool SetupWindow::running() const { return !reaped_ && processRunning(pid_); }

bool SetupWindow::waitForExit(int timeoutMs, int& exitCode) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      reaped_ = true;
      exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return true;
    }
    sleepMs(20);
  } while (Clock::now() < deadline);
  return false;
}

ThrottledServer::ThrottledServer(const fs::path& root, int bytesPerSecond) {
  const std::string w = work_.path().string();
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = freeLoopbackPort();
    std::ofstream(work_.path() / "nginx.conf")
        << "daemon off;\nworker_processes 1;\n"
        << (geteuid() == 0 ? "user root root;\n" : "") << "pid " << w << "/nginx.pid;\n"
        << "error_log " << w << "/error.log warn;\n"
        << "events { worker_connections 64; }\n"
        << "http {\n  access_log off;\n"
        << "  client_body_temp_path " << w << "/body;\n  proxy_temp_path " << w << "/proxy;\n"
        << "  fastcgi_temp_path " << w << "/fastcgi;\n  uwsgi_temp_path " << w << "/uwsgi;\n"
        << "  scgi_temp_path " << w << "/scgi;\n"
        << "  default_type application/octet-stream;\n  types {}\n  sendfile off;\n"
        << "  server {\n    listen 127.0.0.1:" << port_ << ";\n    root " << fs::absolute(root).string()
        << ";\n    limit_rate " << bytesPerSecond << ";\n  }\n}\n";
    pid_ = startProcess({"nginx", "-e", w + "/error.log", "-c", w + "/nginx.conf", "-p", w + "/"}, {},
                        w + "/nginx.out");
    if (waitForListeners(pid_, {port_})) return;
    stopProcess(pid_);
  }
  throw std::runtime_error("nginx did not start: " + readWhole(work_.path() / "error.log"));
}

ThrottledServer::~ThrottledServer() { stopProcess(pid_); }

std::string ThrottledServer::url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
