#include "platform/linux/X11ErrorTrap.h"

namespace mv {
namespace {
X11ErrorTrap* g_innermost = nullptr;
}  // namespace

X11ErrorTrap::X11ErrorTrap(Display* display)
    : display_(display), previous_(XSetErrorHandler(&X11ErrorTrap::Handle)),
      outer_(g_innermost) {
  g_innermost = this;
}

X11ErrorTrap::~X11ErrorTrap() {
  XSync(display_, False);
  g_innermost = outer_;
  XSetErrorHandler(previous_);
}

int X11ErrorTrap::Sync() {
  XSync(display_, False);
  int code = first_error_;
  first_error_ = 0;
  return code;
}

int X11ErrorTrap::Handle(Display* display, XErrorEvent* event) {
  for (X11ErrorTrap* trap = g_innermost; trap; trap = trap->outer_) {
    if (trap->display_ == display) {
      if (trap->first_error_ == 0) trap->first_error_ = event->error_code;
      return 0;
    }
  }
  // Not ours: the handler from before the outermost trap decides.
  X11ErrorTrap* outermost = g_innermost;
  while (outermost && outermost->outer_) outermost = outermost->outer_;
  XErrorHandler previous = outermost ? outermost->previous_ : nullptr;
  return previous ? previous(display, event) : 0;
}

}  // namespace mv
