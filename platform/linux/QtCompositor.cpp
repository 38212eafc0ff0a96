#include "platform/linux/QtCompositor.h"

#include <QGuiApplication>

#include <cstdio>

// Xlib last: its macros clash with Qt's names.
#include <X11/Xlib.h>

namespace mv {

bool CompositorRunning() {
  // A compositing manager owns the selection _NET_WM_CM_S<screen> (EWMH).
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  Display* display = x11 ? x11->display() : nullptr;
  if (display == nullptr) return false;
  char name[32];
  std::snprintf(name, sizeof name, "_NET_WM_CM_S%d", DefaultScreen(display));
  const Atom selection = XInternAtom(display, name, False);
  return XGetSelectionOwner(display, selection) != 0;
}

}  // namespace mv
