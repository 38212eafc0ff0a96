#include "screen/BorderOverlay.h"

#include <chrono>
#include <memory>

#include "screen/Monitors.h"
#include "screen/Overlay.h"

namespace mv {
namespace {

constexpr double kFrameThickness = 4;
constexpr std::chrono::milliseconds kColorPeriod{1000};
constexpr Rgba kEvenColor{1.0, 124.0 / 255.0, 0.0, 0.5};  // orange
constexpr Rgba kOddColor{1.0, 0.0, 0.0, 0.5};             // red

// Declared in the order they must die: the view draws into the window.
std::unique_ptr<OverlayWindow> g_border_window;
std::unique_ptr<MVBorderView> g_border_view;
std::unique_ptr<RepeatingTimer> g_border_timer;
int32_t g_color_counter = 0;

void UpdateBorderColor() {
  if (!g_border_view) return;
  const int32_t step = g_color_counter++;
  g_border_view->setBorderColor(step % 2 == 0 ? kEvenColor : kOddColor);
  g_border_view->setNeedsDisplay();
}

void DropBorderWindow() {
  g_border_window->OrderOut();
  g_border_view.reset();
  g_border_window.reset();
}

}  // namespace

MVBorderView::MVBorderView(const Rect& frame, OverlayWindow& window)
    : _bounds{0, 0, frame.width, frame.height}, _window(window) {}

void MVBorderView::drawRect() {
  const double w = _bounds.width;
  const double h = _bounds.height;
  const double bx = _bounds.x;
  const double by = _bounds.y;
  const double t = kFrameThickness;
  _window.SetContent({_borderColor,
                      {
                          {0, by + h - t, w, t},  // top
                          {0, 0, w, t},           // bottom
                          {0, 0, t, h},           // left
                          {bx + w - t, 0, t, h},  // right
                      }});
}

void ShowBorderWindow(const Rect& rect) {
  g_border_timer.reset();
  if (g_border_window) DropBorderWindow();

  const Rect frame = CGGlobalRectToAppKit(rect);
  Platform& platform = *CurrentPlatform();
  g_border_window = platform.CreateOverlayWindow(OverlaySpec(frame, false, {0, 0, 0, 0}));
  g_border_view = std::make_unique<MVBorderView>(frame, *g_border_window);
  g_border_view->setBorderColor(kEvenColor);

  g_color_counter = 0;
  UpdateBorderColor();
  g_border_window->OrderFrontRegardless();
  g_border_timer = platform.ScheduleRepeatingTimer(kColorPeriod, UpdateBorderColor);
}

void HideBorderWindow() {
  g_border_timer.reset();
  if (g_border_window) DropBorderWindow();
}

bool IsBorderShown() { return g_border_window != nullptr; }

}  // namespace mv
