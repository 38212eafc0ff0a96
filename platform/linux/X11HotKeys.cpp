#include "platform/linux/X11HotKeys.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <set>
#include <thread>
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
    return ours && held.insert(event.xkey.keycode).second;
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
      }
      for (; presses > 0; --presses) on_press();
      pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {wake_fd, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
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
  state_->Wake();
}

}  // namespace mv
