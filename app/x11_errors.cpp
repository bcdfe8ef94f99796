// SDL wakes its own event wait by sending an X event to the window over a second connection.
// When the window is destroyed just after such a wake-up (the player closes it while the X
// server is busy), the server answers that event with BadWindow. Nothing reads the second
// connection until SDL closes it on shutdown, and Xlib's default handler then ends the process
// with exit code 1 after everything went well. The handler here drops exactly that error and
// hands every other error to the handler it replaces.
#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <dlfcn.h>

#include "app/modes.h"

namespace {

using ErrorHandler = int (*)(Display*, XErrorEvent*);
using SetErrorHandler = ErrorHandler (*)(ErrorHandler);

ErrorHandler replacedHandler = nullptr;

int dropWakeupsToClosedWindows(Display* display, XErrorEvent* error) {
  if (error->error_code == BadWindow && error->request_code == X_SendEvent) return 0;
  return replacedHandler ? replacedHandler(display, error) : 0;
}

}  // namespace

void tolerateWakeupsToClosedWindows() {
  // SDL loads Xlib itself when it uses X; without it there is nothing to guard.
  void* xlib = dlopen("libX11.so.6", RTLD_NOW | RTLD_NOLOAD);
  if (!xlib) return;
  auto setErrorHandler = reinterpret_cast<SetErrorHandler>(dlsym(xlib, "XSetErrorHandler"));
  if (setErrorHandler) {
    const ErrorHandler previous = setErrorHandler(dropWakeupsToClosedWindows);
    if (previous != dropWakeupsToClosedWindows) replacedHandler = previous;
  }
  dlclose(xlib);  // gives back only the reference taken above
}
