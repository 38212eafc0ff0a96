#include "platform/linux/QtX11Shape.h"

#include <QGuiApplication>

// Xlib last: its macros clash with Qt's names.
#include <X11/Xlib.h>
#include <X11/extensions/shape.h>

namespace mv {

namespace {

Display* QtDisplay() {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 ? x11->display() : nullptr;
}

}  // namespace

void SetBoundingShape(QWidget* widget, const std::vector<QRect>& rects) {
  Display* display = QtDisplay();
  if (display == nullptr) return;
  std::vector<XRectangle> shape;
  shape.reserve(rects.size());
  for (const QRect& rect : rects) {
    if (rect.isEmpty()) continue;
    shape.push_back(XRectangle{static_cast<short>(rect.x()), static_cast<short>(rect.y()),
                               static_cast<unsigned short>(rect.width()),
                               static_cast<unsigned short>(rect.height())});
  }
  XShapeCombineRectangles(display, static_cast<::Window>(widget->winId()), ShapeBounding, 0, 0,
                          shape.data(), static_cast<int>(shape.size()), ShapeSet, Unsorted);
  XFlush(display);
}

void RaiseNow(QWidget* widget) {
  Display* display = QtDisplay();
  if (display == nullptr) return;
  XRaiseWindow(display, static_cast<::Window>(widget->winId()));
  XFlush(display);
}

}  // namespace mv
