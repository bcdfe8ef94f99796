// A Wayland desktop for the tests: weston with its headless back end and the pixman renderer
// (without it the headless output draws nothing), in a runtime folder of its own, so that
// parallel tests never share a socket. Screenshots come from weston-screenshooter, which needs
// weston's --debug.
#pragma once

#include <SDL3/SDL.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_folder.h"

struct WestonSurfaceFree {
  void operator()(SDL_Surface* surface) const { SDL_DestroySurface(surface); }
};
using WestonImage = std::unique_ptr<SDL_Surface, WestonSurfaceFree>;

class WestonDesktop {
 public:
  // A 1024 x 768 output at the given pixel density; throws if weston does not come up.
  explicit WestonDesktop(int scale = 1);
  ~WestonDesktop();
  WestonDesktop(const WestonDesktop&) = delete;
  WestonDesktop& operator=(const WestonDesktop&) = delete;

  // Environment entries (ProcessOptions::env) that make a client use this desktop with SDL's
  // Wayland driver and no X server.
  std::vector<std::string> clientEnvironment() const;
  // The whole output as it looks now, or null (the reason in error).
  WestonImage screenshot(std::string& error) const;

 private:
  TempFolder work_;
  std::filesystem::path runtimeFolder_;
  int pid_ = -1;
};
