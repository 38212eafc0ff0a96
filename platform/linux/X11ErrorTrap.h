// Scoped capture of X protocol errors on one connection.
#pragma once

#include <X11/Xlib.h>

namespace mv {

// Xlib's default error handler ends the process, and a refused grab is only
// reported as an error. While a trap lives, errors of its display are
// recorded instead; errors of other displays go to the handler that was
// installed before. Handlers are process-wide, so traps are for the main
// thread only; they nest.
class X11ErrorTrap {
 public:
  explicit X11ErrorTrap(Display* display);
  ~X11ErrorTrap();  // syncs, then puts the previous handler back
  X11ErrorTrap(const X11ErrorTrap&) = delete;
  X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;

  // Waits until the server has handled every request sent so far; answers
  // the code of the first error since construction or the last Sync (0 when
  // none) and clears it.
  int Sync();

 private:
  static int Handle(Display* display, XErrorEvent* event);
  Display* display_;
  XErrorHandler previous_;
  X11ErrorTrap* outer_;
  int first_error_ = 0;
};

}  // namespace mv
