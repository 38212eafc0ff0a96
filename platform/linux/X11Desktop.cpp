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

// X coordinates are 16-bit on the wire: a point off the root window would
// wrap around to a visible, wrong spot, so it is held at the nearest edge.
int ToPixel(double value, int size) {
  return static_cast<int>(std::lround(std::clamp(value, 0.0, std::max(size - 1, 0) * 1.0)));
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
  State(Display* d, const std::atomic<bool>* stop) : display(d), input_stopped(*stop), in_flight(d) {}
  ~State() {
    FlushInput();
    hot_keys.reset();  // its thread calls into this state
    keyboard.reset();
    XCloseDisplay(display);
  }

  // The first input of a batch: takes in the layout changes that arrived
  // since the last one, without a round trip.
  void BeginInput() {
    if (sending) return;
    sending.emplace(display);
    XEvent event;
    while (XCheckIfEvent(display, &event, &State::IsLayoutEvent, reinterpret_cast<XPointer>(this))) {
      TakeLayoutEvent(event);
    }
  }

  void FlushInput() {
    if (!sending) return;
    keyboard->Finish();
    sending.reset();  // waits for the server
    pointer_at.reset();
    primary_root.reset();
  }

  static Bool IsLayoutEvent(Display*, XEvent* event, XPointer self) {
    const auto* state = reinterpret_cast<const State*>(self);
    return event->type == MappingNotify ||
           (state->randr_event_base >= 0 &&
            event->type == state->randr_event_base + RRScreenChangeNotify);
  }

  void TakeLayoutEvent(XEvent& event) {
    if (event.type == MappingNotify) {
      XRefreshKeyboardMapping(&event.xmapping);
      keyboard->NoteMapping(event.xmapping);
    } else {
      XRRUpdateConfiguration(&event);  // the root size the points are held in
    }
  }

  // On the hot key thread.
  void OnPress() {
    std::lock_guard lock(press_mutex);
    if (on_press) on_press();
  }

  Display* display;
  // A server's extensions are fixed for its lifetime: asked once, so that
  // posting an event costs no extra round trip.
  bool xtest = false;
  const std::atomic<bool>& input_stopped;
  int randr_event_base = -1;  // RandR absent
  // Input sent and not yet waited for: errors it raises are caught here.
  std::optional<X11ErrorTrap> sending;
  // Where this batch last put the pointer: a click there needs no query.
  std::optional<std::pair<int, int>> pointer_at;
  // The primary monitor's root position, read once a batch: a monitor
  // layout can change without any event (monitors set by hand send none).
  std::optional<Rect> primary_root;
  X11InFlight in_flight;
  std::mutex press_mutex;
  std::function<void()> on_press;  // guarded by press_mutex
  std::unique_ptr<X11Keyboard> keyboard;
  std::unique_ptr<X11HotKeys> hot_keys;
};

std::unique_ptr<X11Desktop> X11Desktop::Open(const char* display_name,
                                             const std::atomic<bool>* stop, std::string* error) {
  Display* display = XOpenDisplay(display_name);
  if (!display) {
    if (error) *error = std::string("cannot open display ") + XDisplayName(display_name);
    return nullptr;
  }
  auto state = std::make_unique<State>(display, stop);
  int opcode = 0, event = 0, error_base = 0;
  state->xtest = XQueryExtension(display, "XTEST", &opcode, &event, &error_base);
  int randr_error = 0;
  if (XRRQueryExtension(display, &state->randr_event_base, &randr_error)) {
    XRRSelectInput(display, DefaultRootWindow(display), RRScreenChangeNotifyMask);
  } else {
    state->randr_event_base = -1;
  }
  state->keyboard = std::make_unique<X11Keyboard>(
      display, &state->input_stopped,
      [s = state.get()](bool now) { return s->hot_keys && s->hot_keys->UserHoldsModifiers(now); });
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
    if (State::IsLayoutEvent(display, &event, reinterpret_cast<XPointer>(state_.get()))) {
      state_->TakeLayoutEvent(event);
    }
  }
}

std::vector<Rect> X11Desktop::MonitorBounds() {
  std::vector<Rect> monitors = RootMonitors(state_->display);
  const double origin_x = monitors.front().x;
  const double origin_y = monitors.front().y;
  for (Rect& m : monitors) {
    m.x -= origin_x;
    m.y -= origin_y;
  }
  return monitors;
}

Rect X11Desktop::PrimaryMonitorRoot() { return RootMonitors(state_->display).front(); }

bool X11Desktop::Permitted() { return state_->xtest; }

void X11Desktop::Flush() { state_->FlushInput(); }

void X11Desktop::PostMouse(const MouseEvent& event) {
  if (!state_->xtest || state_->input_stopped) return;
  Display* display = state_->display;
  state_->BeginInput();
  state_->keyboard->Finish();  // text typed before the pointer moves
  if (!state_->primary_root) state_->primary_root = PrimaryMonitorRoot();
  const int screen = DefaultScreen(display);
  const int x = ToPixel(event.x + state_->primary_root->x, DisplayWidth(display, screen));
  const int y = ToPixel(event.y + state_->primary_root->y, DisplayHeight(display, screen));
  // Button events happen where the pointer is, so it moves there first; a
  // move to where it already is would still reach clients as motion, which
  // does not belong between the halves of a click.
  const bool button = event.type != MouseEventType::kMouseMoved &&
                      event.type != MouseEventType::kLeftMouseDragged;
  const bool there = state_->pointer_at ? *state_->pointer_at == std::make_pair(x, y)
                                        : button && PointerIsAt(display, x, y);
  if (!button || !there) {
    XTestFakeMotionEvent(display, screen, x, y, CurrentTime);
    state_->pointer_at = {x, y};
  }
  state_->in_flight.Sent(button ? 2 : 1);
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
}

void X11Desktop::ReleaseButton(MouseButton button) {
  if (!state_->xtest) return;
  state_->BeginInput();
  state_->in_flight.Sent(1);
  XTestFakeButtonEvent(state_->display, button == MouseButton::kLeft ? Button1 : Button3, False,
                       CurrentTime);
}

void X11Desktop::PostKeyboard(const KeyboardEvent& event) {
  // The whole stroke (press and release) goes out with the key down; the
  // key up that follows it has nothing left to do.
  if (!event.key_down || !state_->xtest || state_->input_stopped) return;
  state_->BeginInput();
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

}  // namespace mv
