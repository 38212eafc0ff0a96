#include "platform/linux/X11Desktop.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <optional>

#include "platform/KeyCodes.h"
#include "platform/linux/X11ErrorTrap.h"
#include "platform/linux/X11HotKeys.h"
#include "platform/linux/X11Keyboard.h"

namespace mv {
namespace {

// The monitors in root coordinates, the primary one first.
std::vector<Rect> RootMonitors(Display* display) {
  std::vector<Rect> result;
  int event_base = 0, error_base = 0, major = 0, minor = 0;
  // Monitors arrived with RandR 1.5; older servers count as one screen.
  if (XRRQueryExtension(display, &event_base, &error_base) &&
      XRRQueryVersion(display, &major, &minor) && (major > 1 || (major == 1 && minor >= 5))) {
    int count = 0;
    XRRMonitorInfo* monitors =
        XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
    for (int i = 0; i < count; ++i) {
      Rect rect{static_cast<double>(monitors[i].x), static_cast<double>(monitors[i].y),
                static_cast<double>(monitors[i].width), static_cast<double>(monitors[i].height)};
      if (monitors[i].primary) {
        result.insert(result.begin(), rect);
      } else {
        result.push_back(rect);
      }
    }
    if (monitors) XRRFreeMonitors(monitors);
  }
  if (result.empty()) {
    int screen = DefaultScreen(display);
    result.push_back({0, 0, static_cast<double>(DisplayWidth(display, screen)),
                      static_cast<double>(DisplayHeight(display, screen))});
  }
  return result;
}

int ToPixel(double value) {
  return static_cast<int>(std::lround(std::clamp(value, -1e6, 1e6)));
}

bool PointerIsAt(Display* display, int x, int y) {
  Window root, child;
  int root_x, root_y, window_x, window_y;
  unsigned mask;
  return XQueryPointer(display, DefaultRootWindow(display), &root, &child, &root_x, &root_y,
                       &window_x, &window_y, &mask) &&
         root_x == x && root_y == y;
}

}  // namespace

struct X11Desktop::State {
  explicit State(Display* d) : display(d) {}
  ~State() {
    hot_keys.reset();  // its thread calls into this state
    keyboard.reset();
    XCloseDisplay(display);
  }

  // On the hot key thread: posting stops before the handler runs.
  void OnPress() {
    std::lock_guard lock(press_mutex);
    if (on_press) ++unhandled_presses;
    input_stopped = true;
    if (on_press) on_press();
  }

  Display* display;
  // A server's extensions are fixed for its lifetime: asked once, so that
  // posting an event costs no extra round trip.
  bool xtest = false;
  // The primary monitor's root position as last enumerated: global points
  // convert with the same origin the monitor list was made with.
  std::optional<Rect> primary_root;
  std::atomic<bool> input_stopped{false};
  std::atomic<int> unhandled_presses{0};
  std::mutex press_mutex;
  std::function<void()> on_press;  // guarded by press_mutex
  std::unique_ptr<X11Keyboard> keyboard;
  std::unique_ptr<X11HotKeys> hot_keys;
};

std::unique_ptr<X11Desktop> X11Desktop::Open(const char* display_name, std::string* error) {
  Display* display = XOpenDisplay(display_name);
  if (!display) {
    if (error) *error = std::string("cannot open display ") + XDisplayName(display_name);
    return nullptr;
  }
  auto state = std::make_unique<State>(display);
  int opcode = 0, event = 0, error_base = 0;
  state->xtest = XQueryExtension(display, "XTEST", &opcode, &event, &error_base);
  state->keyboard = std::make_unique<X11Keyboard>(display, &state->input_stopped);
  state->hot_keys = X11HotKeys::Open(display_name, [s = state.get()] { s->OnPress(); });
  if (!state->hot_keys) {
    if (error) *error = std::string("cannot open display ") + XDisplayName(display_name);
    return nullptr;
  }
  return std::unique_ptr<X11Desktop>(new X11Desktop(std::move(state)));
}

X11Desktop::X11Desktop(std::unique_ptr<State> state) : state_(std::move(state)) {}

X11Desktop::~X11Desktop() = default;

int X11Desktop::ConnectionFd() const { return ConnectionNumber(state_->display); }

void X11Desktop::ProcessPendingEvents() {
  Display* display = state_->display;
  while (XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == MappingNotify) XRefreshKeyboardMapping(&event.xmapping);
  }
}

std::vector<Rect> X11Desktop::MonitorBounds() {
  std::vector<Rect> monitors = RootMonitors(state_->display);
  state_->primary_root = monitors.front();
  const double origin_x = monitors.front().x;
  const double origin_y = monitors.front().y;
  for (Rect& m : monitors) {
    m.x -= origin_x;
    m.y -= origin_y;
  }
  return monitors;
}

Rect X11Desktop::PrimaryMonitorRoot() {
  state_->primary_root = RootMonitors(state_->display).front();
  return *state_->primary_root;
}

bool X11Desktop::HasXTest() {
  int opcode = 0, event = 0, error = 0;
  return XQueryExtension(state_->display, "XTEST", &opcode, &event, &error);
}

void X11Desktop::PostMouse(const MouseEvent& event) {
  if (!state_->xtest || state_->input_stopped) return;
  Display* display = state_->display;
  const Rect primary = state_->primary_root ? *state_->primary_root : PrimaryMonitorRoot();
  const int x = ToPixel(event.x + primary.x);
  const int y = ToPixel(event.y + primary.y);
  X11ErrorTrap trap(display);
  // Button events happen where the pointer is, so it moves there first; a
  // move to where it already is would still reach clients as motion, which
  // does not belong between the halves of a click.
  const bool button = event.type != MouseEventType::kMouseMoved &&
                      event.type != MouseEventType::kLeftMouseDragged;
  if (!button || !PointerIsAt(display, x, y)) {
    XTestFakeMotionEvent(display, DefaultScreen(display), x, y, CurrentTime);
  }
  switch (event.type) {
    case MouseEventType::kLeftMouseDown:
      XTestFakeButtonEvent(display, Button1, True, CurrentTime);
      break;
    case MouseEventType::kLeftMouseUp:
      XTestFakeButtonEvent(display, Button1, False, CurrentTime);
      break;
    case MouseEventType::kRightMouseDown:
      XTestFakeButtonEvent(display, Button3, True, CurrentTime);
      break;
    case MouseEventType::kRightMouseUp:
      XTestFakeButtonEvent(display, Button3, False, CurrentTime);
      break;
    case MouseEventType::kMouseMoved:
    case MouseEventType::kLeftMouseDragged:
      break;
  }
  // The trap's end waits for the server (one round trip), so the event has
  // taken effect when this returns.
}

void X11Desktop::PostKeyboard(const KeyboardEvent& event) {
  // The whole stroke (press and release) goes out with the key down; the
  // key up that follows it has nothing left to do.
  if (!event.key_down || !state_->xtest || state_->input_stopped) return;
  if (!event.units.empty() && !event.has_flags) {
    state_->keyboard->Type(event.units);
  } else {
    state_->keyboard->Chord(event.key_code, event.has_flags ? event.flags : 0);
  }
}

HotKeyRef X11Desktop::GrabHotKey(uint16_t key_code, uint32_t modifiers) {
  return state_->hot_keys->Grab(key_code, modifiers);
}

void X11Desktop::UngrabHotKey(HotKeyRef ref) { state_->hot_keys->Ungrab(ref); }

void X11Desktop::SetHotKeyPressHandler(std::function<void()> handler) {
  std::lock_guard lock(state_->press_mutex);
  state_->on_press = std::move(handler);
}

void X11Desktop::PressHandled() { --state_->unhandled_presses; }

void X11Desktop::StopInput() { state_->input_stopped = true; }

void X11Desktop::ResumeInput() {
  // A press that came meanwhile stopped posting again; it must not be undone
  // before its handler has run.
  state_->input_stopped = false;
  if (state_->unhandled_presses > 0) state_->input_stopped = true;
}

bool X11Desktop::InputStopped() const { return state_->input_stopped; }

}  // namespace mv
