#include "platform/linux/X11HotKeys.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/KeyCodes.h"
#include "platform/linux/X11ErrorTrap.h"
#include "platform/linux/X11Keyboard.h"

namespace mv {
namespace {

unsigned NumLockMask(Display* display) {
  XModifierKeymap* modmap = XGetModifierMapping(display);
  unsigned mask = ModifierMaskOf(modmap, XKeysymToKeycode(display, XK_Num_Lock));
  if (modmap) XFreeModifiermap(modmap);
  return mask;
}

// The slave keyboards other than XTest's, through which this program and
// test tools post: the keyboards a user's fingers are on.
std::set<int> RealKeyboards(Display* display) {
  std::set<int> result;
  int count = 0;
  XIDeviceInfo* devices = XIQueryDevice(display, XIAllDevices, &count);
  for (int i = 0; i < count; ++i) {
    if (devices[i].use == XISlaveKeyboard &&
        std::string_view(devices[i].name).find("XTEST") == std::string_view::npos) {
      result.insert(devices[i].deviceid);
    }
  }
  if (devices) XIFreeDeviceInfo(devices);
  return result;
}

}  // namespace

struct X11HotKeys::State {
  struct Grab {
    KeyCode keycode;
    unsigned modifiers;
  };

  State(Display* d, int wake, std::function<void()> press)
      : display(d), wake_fd(wake), on_press(std::move(press)) {}
  ~State() {
    stopping = true;
    Wake();
    if (watcher.joinable()) watcher.join();
    for (const auto& [ref, grab] : grabs) Ungrab(grab);
    if (modmap) XFreeModifiermap(modmap);
    if (raw_display) XCloseDisplay(raw_display);
    XCloseDisplay(display);
    close(wake_fd);
  }

  // The grab itself and the variants with Caps Lock and Num Lock on, which
  // X treats as different combinations.
  std::vector<unsigned> Variants(unsigned modifiers) const {
    std::vector<unsigned> result = {modifiers, modifiers | LockMask};
    unsigned num_lock = NumLockMask(display);
    if (num_lock != 0 && num_lock != LockMask) {
      result.push_back(modifiers | num_lock);
      result.push_back(modifiers | num_lock | LockMask);
    }
    return result;
  }

  void Ungrab(const Grab& grab) {
    X11ErrorTrap trap(display);
    for (unsigned modifiers : Variants(grab.modifiers)) {
      XUngrabKey(display, grab.keycode, modifiers, DefaultRootWindow(display));
    }
  }

  // A request on the connection from the main thread may have read events
  // into Xlib's queue, where the watcher's poll() does not see them.
  void Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wake_fd, &one, sizeof one);
  }

  // Raw key events of every device and changes of the device list, on a
  // connection of their own: while a grab of ours is active the server
  // gives the grabbing client no raw events, and the modifiers let go
  // meanwhile would stay held here. Without XInput 2.2, the grab alone.
  void WatchRawKeys(const char* display_name) {
    int opcode = 0, event = 0, error = 0, major = 2, minor = 2;
    raw_display = XOpenDisplay(display_name);
    if (!raw_display || !XQueryExtension(raw_display, "XInputExtension", &opcode, &event, &error) ||
        XIQueryVersion(raw_display, &major, &minor) != Success) {
      if (raw_display) XCloseDisplay(raw_display);
      raw_display = nullptr;
      return;
    }
    xi_opcode = opcode;
    unsigned char raw_bits[XIMaskLen(XI_LASTEVENT)] = {};
    unsigned char hierarchy_bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(raw_bits, XI_RawKeyPress);
    XISetMask(raw_bits, XI_RawKeyRelease);
    XISetMask(hierarchy_bits, XI_HierarchyChanged);
    XIEventMask masks[2] = {{XIAllMasterDevices, sizeof raw_bits, raw_bits},
                            {XIAllDevices, sizeof hierarchy_bits, hierarchy_bits}};
    XISelectEvents(raw_display, DefaultRootWindow(raw_display), masks, 2);
    keyboards = RealKeyboards(raw_display);
    modmap = XGetModifierMapping(raw_display);
  }

  // The modifier bits the real keyboards hold.
  unsigned PhysicalModifiers() const {
    unsigned mask = 0;
    for (const auto& [device, keys] : down) {
      for (KeyCode key : keys) mask |= ModifierMaskOf(modmap, key);
    }
    return mask;
  }

  void NoteHeldModifiers() {
    const unsigned held_mask = PhysicalModifiers();
    holds_modifiers = std::any_of(grabs.begin(), grabs.end(), [&](const auto& g) {
      return (held_mask & g.second.modifiers) != 0;
    });
  }

  // Whether a press of `key` at server time `time` is new: the grab and the
  // raw events each report a physical press, with the same time.
  bool FirstReport(KeyCode key, Time time) {
    if (std::find(reported.begin(), reported.end(), std::make_pair(key, time)) != reported.end()) {
      return false;
    }
    reported[next_report++ % reported.size()] = {key, time};
    return true;
  }

  // Whether a raw event is a new physical press of a grabbed combination:
  // its key goes down on a real keyboard (a repeat is not new) while the
  // real keyboards hold the combination's modifiers, whatever the server's
  // modifier state says.
  bool IsNewRawPress(XGenericEventCookie& cookie) {
    if (cookie.evtype == XI_HierarchyChanged) {
      keyboards = RealKeyboards(raw_display);
      std::erase_if(down, [&](const auto& entry) { return !keyboards.contains(entry.first); });
      NoteHeldModifiers();
      return false;
    }
    const auto* raw = static_cast<const XIRawEvent*>(cookie.data);
    if (!keyboards.contains(raw->sourceid)) return false;
    const auto key = static_cast<KeyCode>(raw->detail);
    bool press = false;
    if (cookie.evtype == XI_RawKeyRelease) {
      down[raw->sourceid].erase(key);
    } else if (cookie.evtype == XI_RawKeyPress && down[raw->sourceid].insert(key).second) {
      const unsigned held_mask = PhysicalModifiers();
      press = std::any_of(grabs.begin(), grabs.end(), [&](const auto& g) {
        return g.second.keycode == key && (held_mask & g.second.modifiers) == g.second.modifiers;
      }) && FirstReport(key, raw->time);
    }
    NoteHeldModifiers();
    return press;
  }

  bool IsNewRawEventPress(XEvent& event) {
    if (event.type == MappingNotify) {
      if (event.xmapping.request == MappingModifier) {
        if (modmap) XFreeModifiermap(modmap);
        modmap = XGetModifierMapping(raw_display);
      }
      return false;
    }
    if (event.type != GenericEvent || event.xcookie.extension != xi_opcode ||
        !XGetEventData(raw_display, &event.xcookie)) {
      return false;
    }
    const bool press = IsNewRawPress(event.xcookie);
    XFreeEventData(raw_display, &event.xcookie);
    return press;
  }

  // Whether `event` is a new press of a grabbed combination. Held down, the
  // combination repeats as presses without releases between them (detectable
  // auto-repeat), which are not new.
  bool IsNewPress(XEvent& event) {
    if (event.type == MappingNotify) {
      XRefreshKeyboardMapping(&event.xmapping);
      return false;
    }
    if (event.type == KeyRelease) {
      held.erase(event.xkey.keycode);
      return false;
    }
    if (event.type != KeyPress) return false;
    const unsigned ignored = LockMask | NumLockMask(display);
    const unsigned modifiers = event.xkey.state & 0xff & ~ignored;
    const bool ours = std::any_of(grabs.begin(), grabs.end(), [&](const auto& g) {
      return g.second.keycode == event.xkey.keycode && g.second.modifiers == modifiers;
    });
    return ours && held.insert(event.xkey.keycode).second &&
           FirstReport(event.xkey.keycode, event.xkey.time);
  }

  // The raw events read so far; under mutex. Answers the new presses.
  int TakeRawEvents() {
    int presses = 0;
    while (raw_display && XPending(raw_display) > 0) {
      XEvent event;
      XNextEvent(raw_display, &event);
      if (IsNewRawEventPress(event)) ++presses;
    }
    return presses;
  }

  void Watch() {
    for (;;) {
      int presses = 0;
      {
        std::lock_guard lock(mutex);
        if (stopping) return;
        while (XPending(display) > 0) {
          XEvent event;
          XNextEvent(display, &event);
          if (IsNewPress(event)) ++presses;
        }
        presses += TakeRawEvents() + std::exchange(unreported, 0);
      }
      for (; presses > 0; --presses) on_press();
      pollfd fds[3] = {{ConnectionNumber(display), POLLIN, 0}, {wake_fd, POLLIN, 0},
                       {raw_display ? ConnectionNumber(raw_display) : -1, POLLIN, 0}};
      if (poll(fds, 3, -1) < 0 && errno != EINTR) return;
      if (fds[1].revents & POLLIN) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = read(wake_fd, &count, sizeof count);
      }
    }
  }

  Display* display;
  const int wake_fd;
  const std::function<void()> on_press;
  // The main thread grabs and ungrabs on the connection the watcher reads.
  std::mutex mutex;
  std::map<HotKeyRef, Grab> grabs;  // guarded by mutex
  std::set<KeyCode> held;           // grabbed keys down now; watcher only
  // XInput 2, read and written under mutex: the real keyboards, the keys
  // each holds, the presses counted last.
  Display* raw_display = nullptr;  // none: the grab alone
  int xi_opcode = -1;
  XModifierKeymap* modmap = nullptr;
  std::set<int> keyboards;
  std::map<int, std::set<KeyCode>> down;
  std::array<std::pair<KeyCode, Time>, 8> reported{};
  size_t next_report = 0;
  std::atomic<bool> holds_modifiers{false};
  int unreported = 0;  // presses read on the main thread, for the watcher
  HotKeyRef next_ref = 1;
  std::atomic<bool> stopping{false};
  std::thread watcher;
};

std::unique_ptr<X11HotKeys> X11HotKeys::Open(const char* display_name,
                                             std::function<void()> on_press) {
  Display* display = XOpenDisplay(display_name);
  if (!display) return nullptr;
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    XCloseDisplay(display);
    return nullptr;
  }
  // Without it (a server without XKB) a held combination repeats as
  // release and press pairs, each one a press.
  XkbSetDetectableAutoRepeat(display, True, nullptr);
  auto state = std::make_unique<State>(display, wake, std::move(on_press));
  state->WatchRawKeys(display_name);
  state->watcher = std::thread([s = state.get()] { s->Watch(); });
  return std::unique_ptr<X11HotKeys>(new X11HotKeys(std::move(state)));
}

X11HotKeys::X11HotKeys(std::unique_ptr<State> state) : state_(std::move(state)) {}

X11HotKeys::~X11HotKeys() = default;

HotKeyRef X11HotKeys::Grab(uint16_t key_code, uint32_t modifiers) {
  auto letter = keycode::LetterFor(key_code);
  if (!letter) return 0;
  std::lock_guard lock(state_->mutex);
  Display* display = state_->display;
  KeyCode key = XKeysymToKeycode(display, XK_a + (*letter - 'A'));
  if (key == 0) return 0;
  unsigned mask = 0;
  if (modifiers & kHotKeyControl) mask |= ControlMask;
  if (modifiers & kHotKeyOption) mask |= Mod1Mask;
  if (modifiers & kHotKeyShift) mask |= ShiftMask;

  const State::Grab grab{key, mask};
  HotKeyRef ref = 0;
  {
    X11ErrorTrap trap(display);
    for (unsigned variant : state_->Variants(mask)) {
      XGrabKey(display, key, variant, DefaultRootWindow(display), False, GrabModeAsync,
               GrabModeAsync);
    }
    if (trap.Sync() != 0) {
      // Another client holds (some of) it: release the variants we did get.
      state_->Ungrab(grab);
    } else {
      ref = state_->next_ref++;
      state_->grabs.emplace(ref, grab);
      state_->NoteHeldModifiers();
    }
  }
  state_->Wake();
  return ref;
}

void X11HotKeys::Ungrab(HotKeyRef ref) {
  std::lock_guard lock(state_->mutex);
  auto it = state_->grabs.find(ref);
  if (it == state_->grabs.end()) return;
  state_->Ungrab(it->second);
  state_->grabs.erase(it);
  state_->NoteHeldModifiers();
  state_->Wake();
}

bool X11HotKeys::UserHoldsModifiers(bool now) {
  if (!now || !state_->raw_display) return state_->holds_modifiers;
  std::lock_guard lock(state_->mutex);
  // Every raw event of a key the server has taken before this round trip is
  // read after it.
  XSync(state_->raw_display, False);
  if (int presses = state_->TakeRawEvents()) {
    state_->unreported += presses;
    state_->Wake();
  }
  return state_->holds_modifiers;
}

}  // namespace mv
