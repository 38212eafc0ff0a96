#include "input/MouseSynthesis.h"

#include "input/InputGate.h"
#include "platform/Platform.h"
#include "screen/Monitors.h"

namespace mv {
namespace {

bool g_left_button_down = false;

struct Point {
  double x;
  double y;
};

void PostMouse(MouseEventType type, Point p, MouseButton button, int64_t click_state) {
  CurrentPlatform()->PostMouseEvent({type, p.x, p.y, button, click_state});
}

void PostMove(Point p) { PostMouse(MouseEventType::kMouseMoved, p, MouseButton::kLeft, 0); }

void PostClick(Point p, MouseEventType down, MouseEventType up, MouseButton button,
               int64_t click_state) {
  PostMouse(down, p, button, click_state);
  PostMouse(up, p, button, click_state);
}

}  // namespace

void SynthMouseEvent(int32_t x, int32_t y, const std::string& mode, const std::string& event) {
  if (!InputGateOpen()) return;

  const Monitors* monitors = GetMonitors();
  if (mode == "screen") {
    x = monitors->XFromRatio(x);
    y = monitors->YFromRatio(y);
  }
  const Point p{static_cast<double>(x), static_cast<double>(y)};
  using T = MouseEventType;

  if (event == "dragstart") {
    g_left_button_down = true;
    PostMouse(T::kLeftMouseDown, p, MouseButton::kLeft, 1);
  } else if (event == "dragstop") {
    PostMouse(T::kLeftMouseUp, p, MouseButton::kLeft, 1);
    g_left_button_down = false;
  } else if (event == "move") {
    PostMouse(g_left_button_down ? T::kLeftMouseDragged : T::kMouseMoved, p, MouseButton::kLeft, 0);
  } else if (event == "lc") {
    PostMove(p);
    PostClick(p, T::kLeftMouseDown, T::kLeftMouseUp, MouseButton::kLeft, 1);
  } else if (event == "dbllc") {
    PostMove(p);
    PostClick(p, T::kLeftMouseDown, T::kLeftMouseUp, MouseButton::kLeft, 1);
    PostClick(p, T::kLeftMouseDown, T::kLeftMouseUp, MouseButton::kLeft, 2);
  } else if (event == "rc") {
    PostMove(p);
    PostClick(p, T::kRightMouseDown, T::kRightMouseUp, MouseButton::kRight, 1);
  } else {
    PostMove(p);
  }
}

}  // namespace mv
