// The X error handler on a real X server: a wake-up event to a window that is gone is dropped,
// any other error reaches the handler that was there before.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "app/modes.h"
#include "tests/window/window_session.h"

// Last: Xlib's macros (None, Bool, Status) clash with names in the headers above.
#include <X11/Xlib.h>
#include <X11/Xproto.h>

namespace {

std::vector<std::pair<int, int>> seenErrors;  // error code, request code

int recordError(Display*, XErrorEvent* error) {
  seenErrors.emplace_back(error->error_code, error->request_code);
  return 0;
}

}  // namespace

TEST(X11Errors, AWakeupToAClosedWindowIsDroppedOtherErrorsPassOn) {
  VirtualDisplay server;
  Display* display = XOpenDisplay(server.name().c_str());
  ASSERT_NE(display, nullptr);
  const Window closed = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 10, 10, 0, 0, 0);
  XDestroyWindow(display, closed);
  XSync(display, False);

  seenErrors.clear();
  XSetErrorHandler(recordError);
  tolerateWakeupsToClosedWindows();

  XClientMessageEvent wakeup{};
  wakeup.type = ClientMessage;
  wakeup.window = closed;
  wakeup.format = 8;
  XSendEvent(display, closed, False, NoEventMask, reinterpret_cast<XEvent*>(&wakeup));
  XSync(display, False);
  EXPECT_TRUE(seenErrors.empty());

  XMapWindow(display, closed);
  XSync(display, False);
  const std::vector<std::pair<int, int>> mapError = {{BadWindow, X_MapWindow}};
  EXPECT_EQ(seenErrors, mapError);

  XSetErrorHandler(nullptr);
  XCloseDisplay(display);
}
