// The seam between the helper and the desktop it runs on.
//
// Everything the helper needs from the desktop (event loop and main queue,
// alerts, overlay windows, timers, displays, input posting, the global hot
// key, the clipboard, the status icon and notifications, the input
// permission and the system log) goes through the one interface below. It
// speaks the helper's own terms: mouse event types, virtual key codes and
// modifier flags of the command protocol, and the three coordinate spaces of
// the screen code. Each desktop translates them in its own implementation;
// tests use the recording fake.
//
// Threads: PostToMain, PostToMainAfter, RunOnWorkerThread, RequestTermination,
// StopInput, InputStopped and WriteSystemLog may be called from any thread.
// Everything else is called on the main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mv {

// A rectangle in points: origin, width and height.
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

// Colour components on a 0..1 scale (sRGB). Values outside that range are
// passed through; the desktop clamps what it cannot show.
struct Rgba {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;
  friend bool operator==(const Rgba&, const Rgba&) = default;
};

enum class MouseEventType : int {
  kLeftMouseDown = 1,
  kLeftMouseUp = 2,
  kRightMouseDown = 3,
  kRightMouseUp = 4,
  kMouseMoved = 5,
  kLeftMouseDragged = 6,
};

enum class MouseButton : int { kLeft = 0, kRight = 1 };

// Modifier flags carried by keyboard events.
inline constexpr uint64_t kEventFlagShift = 0x20000;
inline constexpr uint64_t kEventFlagAlternate = 0x80000;
inline constexpr uint64_t kEventFlagCommand = 0x100000;

// Modifiers of the global hot key.
inline constexpr uint32_t kHotKeyControl = 0x1000;
inline constexpr uint32_t kHotKeyOption = 0x0800;
inline constexpr uint32_t kHotKeyShift = 0x0200;

struct KeyboardEvent {
  uint16_t key_code = 0;   // virtual key code (see KeyCodes.h)
  bool key_down = false;
  std::u16string units;    // typed text, at most 8 UTF-16 units; empty for a chord
  bool has_flags = false;  // true: the event carries exactly `flags`
  uint64_t flags = 0;
  friend bool operator==(const KeyboardEvent&, const KeyboardEvent&) = default;
};

struct MouseEvent {
  MouseEventType type = MouseEventType::kMouseMoved;
  double x = 0;  // global display space
  double y = 0;
  MouseButton button = MouseButton::kLeft;
  int64_t click_state = 0;  // 0: not set on the event
  friend bool operator==(const MouseEvent&, const MouseEvent&) = default;
};

struct AlertSpec {
  std::string message_text;
  std::string informative_text;
  std::vector<std::string> buttons;  // in order; none: the one default button
  bool use_app_icon = false;         // show the program's icon when it has one
  std::string title;                 // the window title; empty: the program's name
  // Keys and clicks of its first second on screen are ignored: a key meant
  // for another window must not answer a dialog that took the focus.
  bool guard_stray_input = false;
};

// The answer of the first alert button; the second is one more, and so on.
inline constexpr int kAlertFirstButtonReturn = 1000;

// Settings of a borderless overlay window.
struct OverlayWindowSpec {
  Rect frame;  // window-system space: bottom-left of the primary screen, y up
  bool opaque = false;
  Rgba background;  // what the window shows where its content paints nothing
  bool has_shadow = false;
  bool ignores_mouse_events = true;
  int level = 1000;                   // above ordinary, floating and menu windows
  uint32_t collection_behavior = 0;   // 0x51: every workspace, stationary, not cycled
  friend bool operator==(const OverlayWindowSpec&, const OverlayWindowSpec&) = default;
};

// A content fill: rectangles in the window's own coordinates (origin at its
// bottom-left, y up), painted in `color` replacing the pixels below, not
// blending with them. Everything else in the window is fully transparent.
struct OverlayContent {
  Rgba color;
  std::vector<Rect> fills;
  friend bool operator==(const OverlayContent&, const OverlayContent&) = default;
};

class OverlayWindow {
 public:
  virtual ~OverlayWindow() = default;  // releases the window
  virtual void SetContent(const OverlayContent& content) = 0;
  // Shows the window above the others without activating the program.
  virtual void OrderFrontRegardless() = 0;
  virtual void OrderOut() = 0;
};

class RepeatingTimer {
 public:
  virtual ~RepeatingTimer() = default;  // invalidates the timer
  virtual void Invalidate() = 0;
};

// The program's icon in the desktop's status area (system tray) while remote
// control runs, with a menu of one entry that stops remote input.
struct StatusIndicatorState {
  std::string tooltip;
  std::string stop_label;  // the menu entry
  bool stopped = false;    // shown greyed, its menu entry disabled
  friend bool operator==(const StatusIndicatorState&, const StatusIndicatorState&) = default;
};

// A button on a desktop notification; `on_chosen` runs on the main thread.
struct NotificationAction {
  std::string label;  // empty: none
  std::function<void()> on_chosen;
};

class StatusIndicator {
 public:
  virtual ~StatusIndicator() = default;  // removes the icon
  virtual void SetState(const StatusIndicatorState& state) = 0;
};

// Opaque handles of the hot key service; 0 is "none".
using HotKeyHandlerRef = uint64_t;
using HotKeyRef = uint64_t;

// Callbacks of the application's lifecycle, on the main thread.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual void ApplicationWillFinishLaunching() = 0;
  virtual void ApplicationDidFinishLaunching() = 0;
  virtual void ApplicationWillTerminate() = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Application. RunApplication runs the event loop as an accessory program
  // (no taskbar entry, no main window) and returns the exit status, once
  // every worker thread has ended.
  virtual int RunApplication(ApplicationDelegate& delegate) = 0;
  // Each open-URL event reaches `handler` on the main thread, also before
  // launching has finished.
  virtual void SetOpenURLHandler(std::function<void(const std::string&)> handler) = 0;
  virtual std::vector<std::string> ProcessArguments() = 0;
  virtual void ActivateIgnoringOtherApps() = 0;
  // Runs ApplicationWillTerminate on the main thread, then ends the program.
  // Input posting stops for good first.
  virtual void Terminate() = 0;
  // True once Terminate has begun: nothing more should be started.
  virtual bool Terminating() = 0;
  // Any thread: Terminate on the main thread soon, also while a modal alert
  // holds the main queue (the alert then closes).
  virtual void RequestTermination() = 0;

  // Main queue: serial, first in first out, on the main thread. A modal alert
  // shown by a work item holds back every later work item until it closes.
  virtual void PostToMain(std::function<void()> work) = 0;
  virtual void PostToMainAfter(std::chrono::nanoseconds delay, std::function<void()> work) = 0;
  // Main thread: runs `work` after `delay`, before every other queued item
  // (they wait meanwhile), once the event loop has served what waits (input,
  // D-Bus, timers). A long job goes on this way without keeping the loop
  // from the user's controls.
  virtual void ContinueOnMain(std::chrono::nanoseconds delay, std::function<void()> work) = 0;
  // Runs `work` on a thread other than the main thread; it may block there.
  virtual void RunOnWorkerThread(std::function<void()> work) = 0;

  // Modal alert; answers kAlertFirstButtonReturn + index of the button.
  virtual int RunModalAlert(const AlertSpec& alert) = 0;

  virtual std::unique_ptr<OverlayWindow> CreateOverlayWindow(const OverlayWindowSpec& spec) = 0;
  // Fires on the main thread; not while a modal alert runs.
  virtual std::unique_ptr<RepeatingTimer> ScheduleRepeatingTimer(
      std::chrono::milliseconds interval, std::function<void()> action) = 0;

  // Displays: bounds of the active displays in global display space (origin
  // at the top-left of the main display, y down), main display first.
  virtual std::vector<Rect> ActiveDisplayBounds() = 0;
  // Height of the primary screen's frame; nothing when there is no screen.
  virtual std::optional<double> PrimaryScreenHeight() = 0;

  // Input, delivered in posting order. Every stop by the user (a hot key
  // press, the desktop ending its remote session, StopInput) stops posting
  // the moment it happens, before any handler runs on the main thread; from
  // then on only the releases of the buttons the remote side held go out.
  // Posting may return before the events took effect; FlushInput waits
  // until everything posted so far has.
  virtual void PostMouseEvent(const MouseEvent& event) = 0;
  virtual void PostKeyboardEvent(const KeyboardEvent& event) = 0;
  virtual void FlushInput() = 0;
  virtual void StopInput() = 0;
  virtual bool InputStopped() = 0;
  // Lets posting go on, once the handlers of every press so far have run;
  // never once terminating.
  virtual void ResumeInput() = 0;

  // Global hot key. The handlers also run when the desktop ends its remote
  // session (the user stopped it there), whether or not a key is registered.
  virtual HotKeyHandlerRef InstallHotKeyHandler(std::function<void()> on_press) = 0;
  virtual void RemoveHotKeyHandler(HotKeyHandlerRef handler) = 0;
  // Answers 0 when the combination cannot be had.
  virtual HotKeyRef RegisterHotKey(uint16_t key_code, uint32_t modifiers) = 0;
  virtual void UnregisterHotKey(HotKeyRef hot_key) = 0;
  // The letter of Control+Alt+Shift+letter that now presses `hot_key`, where
  // the user can choose other keys in the desktop's settings; 0 where the
  // desktop describes no such letter.
  virtual char HotKeyLetter(HotKeyRef hot_key) = 0;

  virtual void ClearClipboard() = 0;

  // Nothing when the desktop has no status area. `on_stop` runs on the main
  // thread when the user picks the stop entry.
  virtual std::unique_ptr<StatusIndicator> CreateStatusIndicator(
      const StatusIndicatorState& state, std::function<void()> on_stop) = 0;
  // A desktop notification, shown without waiting for the user; dropped
  // when the desktop has no notification service.
  virtual void ShowNotification(const std::string& summary, const std::string& body,
                                NotificationAction action) = 0;

  // Permission to post input; answers the desktop's current state without
  // asking it more than once per connection.
  virtual bool IsAccessibilityTrusted() = 0;
  // May ask the user; returns at once with the current answer.
  virtual bool PromptAccessibility() = 0;
  // True when the user turned down the desktop's own question the last time.
  virtual bool AccessibilityDeclined() = 0;
  virtual void OpenAccessibilitySettings() = 0;

  virtual void WriteSystemLog(std::string_view message) = 0;
};

// The platform of this process; installed once by the program (or a test)
// before anything else runs.
Platform* CurrentPlatform();
void SetCurrentPlatform(Platform* platform);

// Where the desktop layer reports what it could not do (no session bus, no
// portal): the program points it at its log before the platform starts;
// until then the lines go to standard error.
void SetDiagnosticLog(std::function<void(std::string_view)> log);
void LogDiagnostic(std::string_view message);

}  // namespace mv
