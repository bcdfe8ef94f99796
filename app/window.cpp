// The setup window: one fixed 560 x 380 layout redrawn from a copy of the status board on every
// frame (nothing retained between frames), the main loop with its event handling, the close
// request, the primary button's actions, and snapshot mode. Everything here runs on the main
// thread, which alone touches SDL video and message boxes.
#include <SDL3/SDL.h>
#include <SDL3_image/SDL_image.h>
#include <SDL3_ttf/SDL_ttf.h>
#include <curl/curl.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>

#include "app/modes.h"
#include "app/session.h"
#include "app/window_layout.h"
#include "download/download.h"

namespace {

struct SurfaceFree {
  void operator()(SDL_Surface* surface) const { SDL_DestroySurface(surface); }
};
struct TextureFree {
  void operator()(SDL_Texture* texture) const { SDL_DestroyTexture(texture); }
};
struct FontClose {
  void operator()(TTF_Font* font) const { TTF_CloseFont(font); }
};
using SurfacePtr = std::unique_ptr<SDL_Surface, SurfaceFree>;
using TexturePtr = std::unique_ptr<SDL_Texture, TextureFree>;
using FontPtr = std::unique_ptr<TTF_Font, FontClose>;

using Colour = LayoutColour;

constexpr Uint32 frameWaitMilliseconds = 33;
constexpr char windowTitle[] = "Varnholt Setup";

struct Button {
  SDL_FRect rect{};
  std::string label;  // empty: hidden and not clickable
  bool hovered = false;
};

// The window thread's state, outside the board.
struct Window {
  SDL_Window* window = nullptr;
  SDL_Renderer* renderer = nullptr;
  float scale = 1.0f;
  FontPtr titleFont;
  FontPtr detailFont;
  FontPtr footerFont;
  TexturePtr logo;
  Button primary;
  Button secondary;
  bool quitRequested = false;
  bool onWayland = false;
  Uint64 settlingSince = 0;  // when the window appeared or last changed display
  int frameRedraws = 0;      // of the decoration, since then
};

// The program's own folder, then "setup" below it, then the installed prefix's share folder;
// the bare name (the working folder) when none has the file.
std::filesystem::path findAsset(const std::string& name) {
  const char* base = SDL_GetBasePath();
  if (!base) return name;
  const std::filesystem::path own(base);
  for (const std::filesystem::path& folder : {own, own / "setup", own / ".." / "share" / "varnholt-setup"}) {
    std::error_code ec;
    std::filesystem::path candidate = folder / name;
    if (std::filesystem::exists(candidate, ec)) return candidate;
  }
  return name;
}

void setColour(SDL_Renderer* renderer, Colour colour) {
  SDL_SetRenderDrawColor(renderer, colour.r, colour.g, colour.b, 255);
}

void fillRect(SDL_Renderer* renderer, Colour colour, SDL_FRect rect) {
  setColour(renderer, colour);
  SDL_RenderFillRect(renderer, &rect);
}

// Text wrapped to the column [x, x + width], each line centred in it, its top at y.
void drawText(const Window& w, TTF_Font* font, const std::string& text, Colour colour, float x, float y,
              float width) {
  if (text.empty() || !font) return;
  const SDL_Color fg{colour.r, colour.g, colour.b, 255};
  SurfacePtr surface(TTF_RenderText_Blended_Wrapped(font, text.c_str(), 0, fg, static_cast<int>(width * w.scale)));
  if (!surface) return;
  TexturePtr texture(SDL_CreateTextureFromSurface(w.renderer, surface.get()));
  if (!texture) return;
  const float textWidth = surface->w / w.scale;
  const float textHeight = surface->h / w.scale;
  // Whole pixels keep the glyphs sharp: a texture at a half-pixel offset would be filtered.
  const float left = SDL_floorf((x + (width - textWidth) * 0.5f) * w.scale) / w.scale;
  const float top = SDL_floorf(y * w.scale) / w.scale;
  const SDL_FRect target{left, top, textWidth, textHeight};
  SDL_RenderTexture(w.renderer, texture.get(), nullptr, &target);
}

void drawButton(const Window& w, const Button& button, bool isPrimary) {
  const Colour fill = isPrimary ? (button.hovered ? palette.primaryHoverFill : palette.primaryFill)
                                : (button.hovered ? palette.secondaryHoverFill : palette.secondaryFill);
  fillRect(w.renderer, fill, button.rect);
  setColour(w.renderer, isPrimary ? palette.primaryBorder : palette.secondaryBorder);
  SDL_RenderRect(w.renderer, &button.rect);
  drawText(w, w.titleFont.get(), button.label, isPrimary ? palette.primaryText : palette.secondaryText, button.rect.x,
           button.rect.y + (button.rect.h - layout.buttonLabelHeight) * 0.5f, button.rect.w);
}

void drawFrame(Window& w) {
  std::string headline, detail, footer, primaryLabel, secondaryLabel;
  double progress;
  {
    std::lock_guard<std::mutex> lock(board.mutex);
    headline = board.headline;
    detail = board.detail;
    footer = board.footer;
    progress = board.progress;
    primaryLabel = board.primaryLabel;
    secondaryLabel = board.secondaryLabel;
  }

  fillRect(w.renderer, palette.background, {0, 0, static_cast<float>(layout.width), static_cast<float>(layout.height)});

  float y = layout.logoTop;
  float logoWidth = 0, logoHeight = 0;
  if (w.logo && SDL_GetTextureSize(w.logo.get(), &logoWidth, &logoHeight)) {
    const float drawnHeight =
        logoWidth <= 1 ? layout.logoWidth * logoHeight : layout.logoWidth * logoHeight / logoWidth;
    const SDL_FRect target{layout.logoLeft, layout.logoTop, layout.logoWidth, drawnHeight};
    SDL_RenderTexture(w.renderer, w.logo.get(), nullptr, &target);
    y = layout.logoTop + drawnHeight + layout.logoGap;
  }
  fillRect(w.renderer, palette.divider, {layout.dividerLeft, y, layout.dividerWidth, 1});

  y += layout.headlineBelowDivider;
  drawText(w, w.titleFont.get(), headline, palette.headline, layout.textLeft, y, layout.textWidth);
  y += layout.detailBelowHeadline;
  drawText(w, w.detailFont.get(), detail, palette.detail, layout.textLeft, y, layout.textWidth);
  y += layout.barBelowDetail;
  if (progress >= 0) {
    fillRect(w.renderer, palette.track, {layout.barLeft, y, layout.barWidth, layout.barHeight});
    const float fillWidth = progress > 1 ? layout.barWidth : static_cast<float>(layout.barWidth * progress);
    fillRect(w.renderer, palette.fill, {layout.barLeft, y, fillWidth, layout.barHeight});
  }
  drawText(w, w.footerFont.get(), footer, palette.footer, layout.textLeft, y + layout.footerBelowBar, layout.textWidth);

  const auto toRect = [](const LayoutRect& r) { return SDL_FRect{r.x, r.y, r.w, r.h}; };
  w.primary.rect = toRect(layout.primaryButton);
  w.primary.label = primaryLabel;
  w.secondary.rect = toRect(layout.secondaryButton);
  w.secondary.label = secondaryLabel;
  if (!w.secondary.label.empty()) drawButton(w, w.secondary, false);
  if (!w.primary.label.empty()) drawButton(w, w.primary, true);
}

// Both edges belong to the button; a hidden button is never hit.
bool isOnButton(const Button& button, float x, float y) {
  return !button.label.empty() && button.rect.x <= x && x <= button.rect.x + button.rect.w &&
         button.rect.y <= y && y <= button.rect.y + button.rect.h;
}

Screen currentScreen() {
  std::lock_guard<std::mutex> lock(board.mutex);
  return board.screen;
}

// Closing stops a running download only if the user confirms; what has finished is kept.
void requestClose(Window& w) {
  if (currentScreen() == Screen::Downloading) {
    const SDL_MessageBoxButtonData buttons[] = {
        {SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT, 1, "Stop"},
        {SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT, 0, "Keep going"},
    };
    const SDL_MessageBoxData box{SDL_MESSAGEBOX_INFORMATION,
                                 w.window,
                                 "Varnholt",
                                 "Stop the download? What has finished is kept for next time.",
                                 SDL_arraysize(buttons),
                                 buttons,
                                 nullptr};
    int chosen = 0;
    if (!SDL_ShowMessageBox(&box, &chosen)) {
      // Without a box (on Wayland SDL needs zenity for one) the player could never stop the
      // download from here. Stopping loses nothing: finished files stay staged.
      logLine(std::string("The stop question could not be shown (") + SDL_GetError() + "); stopping.");
    } else if (chosen != 1) {
      return;
    }
  }
  board.cancel = true;
  w.quitRequested = true;
}

void pressPrimary(Window& w) {
  switch (currentScreen()) {
    case Screen::Offer:
      startApply();
      break;
    case Screen::UpToDate:
    case Screen::Done:
      if (launchGame(false)) {
        w.quitRequested = true;
      } else {
        SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_WARNING, "Varnholt", "The game could not be started.", w.window);
      }
      break;
    case Screen::Failed:
      startCheck();
      break;
    case Screen::Checking:
    case Screen::Downloading:
      break;
  }
}

// What a worker asked for (unattended runs with --update).
void takePendingAction(Window& w) {
  const PendingAction action = pendingAction.exchange(PendingAction::None);
  // Once the user has asked to close, nothing new is started.
  if (w.quitRequested) return;
  switch (action) {
    case PendingAction::StartApply:
      startApply();
      break;
    case PendingAction::LaunchUpdated:
      if (launchGame(true)) w.quitRequested = true;
      break;
    case PendingAction::None:
      break;
  }
}

void handleEvent(Window& w, const SDL_Event& event) {
  switch (event.type) {
    case SDL_EVENT_QUIT:
    case SDL_EVENT_WINDOW_CLOSE_REQUESTED:
      requestClose(w);
      break;
    case SDL_EVENT_WINDOW_DISPLAY_CHANGED:
    case SDL_EVENT_WINDOW_DISPLAY_SCALE_CHANGED:
      w.settlingSince = SDL_GetTicks();
      w.frameRedraws = 0;
      break;
    case SDL_EVENT_MOUSE_MOTION:
      w.primary.hovered = isOnButton(w.primary, event.motion.x, event.motion.y);
      w.secondary.hovered = isOnButton(w.secondary, event.motion.x, event.motion.y);
      break;
    case SDL_EVENT_MOUSE_BUTTON_UP:
      if (isOnButton(w.primary, event.button.x, event.button.y)) {
        pressPrimary(w);
      } else if (isOnButton(w.secondary, event.button.x, event.button.y)) {
        requestClose(w);
      }
      break;
    case SDL_EVENT_KEY_DOWN:
      if (event.key.key == SDLK_RETURN || event.key.key == SDLK_KP_ENTER) {
        if (!w.primary.label.empty()) pressPrimary(w);
      } else if (event.key.key == SDLK_ESCAPE) {
        requestClose(w);
      }
      break;
    default:
      break;
  }
}

// Wrapped lines are centred within the rendered text, which drawText centres in its column.
FontPtr openFont(const std::string& name, float pointSize) {
  FontPtr font(TTF_OpenFont(findAsset(name).c_str(), pointSize));
  if (font) TTF_SetFontWrapAlignment(font.get(), TTF_HORIZONTAL_ALIGN_CENTER);
  return font;
}

// Text and rectangles need no GPU. The software renderer drawing straight into the window
// starts without loading OpenGL (Mesa's rasteriser and its compiler where there is no GPU), with
// a fifth of the memory and a fraction of the processor time, at start and while idle. Video
// drivers without a window framebuffer of their own cannot take it: there SDL's own choice of
// renderer is used, at once on Wayland (a failed first window costs a third of a second there),
// after a failed attempt elsewhere. Environment variables of the same names still choose.
bool createWindowAndRenderer(Window& w) {
  const char* driver = SDL_GetCurrentVideoDriver();
  if (!driver || SDL_strcmp(driver, "wayland") != 0) {
    SDL_SetHint(SDL_HINT_RENDER_DRIVER, "software");
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    if (SDL_CreateWindowAndRenderer(windowTitle, layout.width, layout.height, SDL_WINDOW_HIGH_PIXEL_DENSITY,
                                    &w.window, &w.renderer)) {
      return true;
    }
    SDL_ResetHint(SDL_HINT_RENDER_DRIVER);
    SDL_ResetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION);
  }
  return SDL_CreateWindowAndRenderer(windowTitle, layout.width, layout.height, SDL_WINDOW_HIGH_PIXEL_DENSITY,
                                     &w.window, &w.renderer);
}

bool openWindow(Window& w) {
  // The close button sends a close request; by default SDL follows it with a quit event for
  // the last window, which would ask a second time during a download.
  SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
  if (!SDL_Init(SDL_INIT_VIDEO) || !TTF_Init() || !createWindowAndRenderer(w)) {
    std::fprintf(stderr, "no window: %s\n", SDL_GetError());
    return false;
  }
  tolerateWakeupsToClosedWindows();
  const char* driver = SDL_GetCurrentVideoDriver();
  w.onWayland = driver && SDL_strcmp(driver, "wayland") == 0;
  w.settlingSince = SDL_GetTicks();
  w.scale = SDL_max(SDL_GetWindowPixelDensity(w.window), 1.0f);
  SDL_SetRenderScale(w.renderer, w.scale, w.scale);

  w.logo.reset(IMG_LoadTexture(w.renderer, findAsset("logo.png").c_str()));
  if (w.logo) SDL_SetTextureScaleMode(w.logo.get(), SDL_SCALEMODE_LINEAR);
  w.titleFont = openFont("Fontin-Bold.otf", 15 * w.scale);
  w.detailFont = openFont("LiberationSans-Regular.ttf", 11 * w.scale);
  w.footerFont = openFont("LiberationSans-Regular.ttf", 10 * w.scale);

  std::lock_guard<std::mutex> lock(board.mutex);
  board.footer = "Installs to " + board.options.installDir.string();
  return true;
}

// Fonts go before the font library, the logo before its renderer, then SDL itself.
void closeWindow(Window& w) {
  w.titleFont.reset();
  w.detailFont.reset();
  w.footerFont.reset();
  TTF_Quit();
  w.logo.reset();
  if (w.renderer) SDL_DestroyRenderer(w.renderer);
  if (w.window) SDL_DestroyWindow(w.window);
  SDL_Quit();
}

// One fixed demonstration screen, drawn once and saved as BMP.
bool saveSnapshot(Window& w) {
  {
    std::lock_guard<std::mutex> lock(board.mutex);
    board.headline = "Install Varnholt v1.0.22b?";
    board.detail = "812 MB to download.";
    board.progress = 0.38;
    board.primaryLabel = "INSTALL";
    board.secondaryLabel = "CLOSE";
  }
  drawFrame(w);
  SurfacePtr pixels(SDL_RenderReadPixels(w.renderer, nullptr));
  return pixels && SDL_SaveBMP(pixels.get(), board.options.snapshotPath.c_str());
}

// libdecor's cairo plugin (0.1, the frame on desktops without server-side decorations) sends
// the damage of each redraw of its frame after committing it, so every redraw is shown with the
// damage of the one before. When the frame enters an output of a higher pixel density, the
// plugin redraws it there, larger than the damage it arrives with, and tells nobody: unless the
// compositor happens to repaint the whole window anyway, part of the new frame stays missing. A
// redraw at the settled density carries the full damage. Each redraw costs the plugin tens of
// milliseconds (hundreds on a busy machine), so the frame is drawn again only twice, 1 s and 3 s
// after the window appears or moves to another display.
void redrawDecorationWhileSettling(Window& w) {
  constexpr Uint64 redrawAfterMs[] = {1000, 3000};
  if (!w.onWayland || w.frameRedraws == static_cast<int>(SDL_arraysize(redrawAfterMs))) return;
  if (SDL_GetTicks() - w.settlingSince < redrawAfterMs[w.frameRedraws]) return;
  ++w.frameRedraws;
  // A change of title has the plugin draw the frame; both titles reach the compositor together,
  // so only the second is ever shown.
  (void)SDL_SetWindowTitle(w.window, (std::string(windowTitle) + " ").c_str());
  (void)SDL_SetWindowTitle(w.window, windowTitle);
}

int runMainLoop(Window& w) {
  startCheck();
  while (!w.quitRequested) {
    SDL_Event event;
    while (SDL_WaitEventTimeout(&event, frameWaitMilliseconds)) {
      handleEvent(w, event);
      if (w.quitRequested) break;
    }
    takePendingAction(w);
    redrawDecorationWhileSettling(w);
    drawFrame(w);
    SDL_RenderPresent(w.renderer);
  }
  board.cancel = true;
  // A worker in a transfer sees the stop request only when the next data arrive; the window
  // goes at once rather than standing there unanswered meanwhile.
  SDL_HideWindow(w.window);
  if (worker.joinable()) worker.join();
  return 0;
}

}  // namespace

int windowMain() {
  Window w;
  if (!openWindow(w)) return 1;
  const bool snapshot = !board.options.snapshotPath.empty();
  const int exitCode = snapshot ? (saveSnapshot(w) ? 0 : 1) : runMainLoop(w);
  closeLog();
  closeWindow(w);
  closeTransfers();
  curl_global_cleanup();
  return exitCode;
}
