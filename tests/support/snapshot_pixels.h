// Reading the program's drawn images in tests: a surface guard and a count of drawn pixels.
#pragma once

#include <SDL3/SDL.h>

#include <memory>

struct SurfaceFree {
  void operator()(SDL_Surface* surface) const { SDL_DestroySurface(surface); }
};
using SurfaceHandle = std::unique_ptr<SDL_Surface, SurfaceFree>;

// Counts the pixels in rows y0 to y1 (exclusive) that differ from the window's background colour.
inline int drawnPixels(SDL_Surface* image, int y0, int y1) {
  int count = 0;
  for (int y = y0; y < y1; ++y) {
    for (int x = 0; x < image->w; ++x) {
      Uint8 r, g, b, a;
      if (SDL_ReadSurfacePixel(image, x, y, &r, &g, &b, &a) && (r != 11 || g != 13 || b != 16)) ++count;
    }
  }
  return count;
}
