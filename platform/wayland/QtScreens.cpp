#include "platform/wayland/QtScreens.h"

#include <QGuiApplication>
#include <QScreen>

namespace mv {
namespace {

Rect ToRect(const QRect& r) {
  return {double(r.x()), double(r.y()), double(r.width()), double(r.height())};
}

class NoOverlayWindow final : public OverlayWindow {
 public:
  void SetContent(const OverlayContent&) override {}
  void OrderFrontRegardless() override {}
  void OrderOut() override {}
};

}  // namespace

Rect PrimaryQtScreen() {
  const QScreen* primary = QGuiApplication::primaryScreen();
  return primary ? ToRect(primary->geometry()) : Rect{};
}

std::vector<Rect> QtScreenBounds() {
  const Rect primary = PrimaryQtScreen();
  std::vector<Rect> bounds;
  for (const QScreen* screen : QGuiApplication::screens()) {
    Rect r = ToRect(screen->geometry());
    r.x -= primary.x;
    r.y -= primary.y;
    if (screen == QGuiApplication::primaryScreen()) {
      bounds.insert(bounds.begin(), r);
    } else {
      bounds.push_back(r);
    }
  }
  return bounds;
}

std::unique_ptr<OverlayWindow> SkippedOverlayWindow() {
  static bool logged = false;
  if (!std::exchange(logged, true)) {
    LogDiagnostic(
        "MorrowvaneHelper: no X display: the border and identification windows are not "
        "shown (Wayland lets no program place a window)");
  }
  return std::make_unique<NoOverlayWindow>();
}

}  // namespace mv
