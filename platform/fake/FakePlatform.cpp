#include "platform/fake/FakePlatform.h"

#include <algorithm>
#include <cstdio>

#include "platform/KeyCodes.h"

namespace mv {
namespace {

std::string Text(const Rect& r) {
  char text[100];
  std::snprintf(text, sizeof text, "%.10g,%.10g,%.10g,%.10g", r.x, r.y, r.width, r.height);
  return text;
}

struct FakeWindow final : OverlayWindow {
  FakeWindow(FakePlatform& owner, int number) : platform(owner), id(" " + std::to_string(number)) {}
  ~FakeWindow() override { platform.Call("close" + id); }
  void SetContent(const OverlayContent& content) override {
    const Rgba& c = content.color;
    std::string line = "content" + id + " " + Text({c.red, c.green, c.blue, c.alpha}) + " fills";
    for (const Rect& fill : content.fills) line += " " + Text(fill);
    platform.Call(line);
  }
  void OrderFrontRegardless() override { platform.Call("front" + id); }
  void OrderOut() override {}  // closing hides it too
  FakePlatform& platform;
  const std::string id;
};

struct FakeTimer final : RepeatingTimer {
  explicit FakeTimer(std::function<void()>& slot) : action(slot) {}
  ~FakeTimer() override { Invalidate(); }
  void Invalidate() override { action = nullptr; }
  std::function<void()>& action;  // an element of `timers`
};

// Records what reaches the desktop; a flush with no new input since the
// last one is not worth a line.
}  // namespace

struct FakePlatform::RecordingInput final : InputBackend {
  explicit RecordingInput(FakePlatform& owner) : platform(owner) {}
  bool Permitted() override { return platform.trusted; }
  bool RequestPermission() override { return platform.trusted; }
  void PostMouse(const MouseEvent& event) override { platform.mouse_events.push_back(event); }
  void ReleaseButton(MouseButton button) override {
    platform.Call(button == MouseButton::kLeft ? "release left" : "release right");
  }
  void PostKeyboard(const KeyboardEvent& event) override { platform.keyboard_events.push_back(event); }
  void Flush() override {
    const size_t posted = platform.mouse_events.size() + platform.keyboard_events.size();
    if (posted != flushed) platform.Call("flush " + std::to_string(flushed = posted));
  }
  FakePlatform& platform;
  size_t flushed = 0;
};

FakePlatform::FakePlatform() : recorder_(std::make_unique<RecordingInput>(*this)) {
  input_.SetBackend(recorder_.get());
}

FakePlatform::~FakePlatform() = default;

int FakePlatform::RunApplication(ApplicationDelegate& delegate) {
  running_ = &delegate;
  delegate.ApplicationWillFinishLaunching();
  delegate.ApplicationDidFinishLaunching();
  // The event loop: main work, then the worker's, then the clock moves on to
  // the earliest delayed work, until termination or nothing is left.
  for (RunMainQueue(); !terminating_; RunMainQueue()) {
    RunWorkerItems();
    std::lock_guard lock(mutex_);
    if (main_queue_.empty()) break;
    now_ = std::min_element(main_queue_.begin(), main_queue_.end(),
                            [](auto& a, auto& b) { return a.first < b.first; })->first;
  }
  running_ = nullptr;
  return terminating_ ? 0 : -1;
}

int FakePlatform::RunModalAlert(const AlertSpec& alert) {
  std::string line = "alert " + (alert.title.empty() ? "" : "[" + alert.title + "] ") +
                     alert.message_text + ": " + alert.informative_text;
  if (alert.guard_stray_input) line += " (guarded)";
  for (const std::string& button : alert.buttons) line += " [" + button + "]";
  Call(line);
  if (on_alert) on_alert(alert);
  if (alert_answers.empty()) return kAlertFirstButtonReturn;
  const int answer = alert_answers.front();
  alert_answers.pop_front();
  return answer;
}

std::unique_ptr<OverlayWindow> FakePlatform::CreateOverlayWindow(const OverlayWindowSpec& spec) {
  const Rgba& c = spec.background;
  Call("window " + std::to_string(++windows_) + " " + Text(spec.frame) + " on " +
       Text({c.red, c.green, c.blue, c.alpha}) + (spec.ignores_mouse_events ? "" : " takes clicks"));
  return std::make_unique<FakeWindow>(*this, windows_);
}

std::unique_ptr<RepeatingTimer> FakePlatform::ScheduleRepeatingTimer(std::chrono::milliseconds,
                                                                     std::function<void()> action) {
  return std::make_unique<FakeTimer>(timers.emplace_back(std::move(action)));
}

HotKeyRef FakePlatform::RegisterHotKey(uint16_t key_code, uint32_t modifiers) {
  const std::optional<char> letter = keycode::LetterFor(key_code);
  if (!letter || refused_hot_key_letters.find(*letter) != std::string::npos) return 0;
  Call("hot key " + std::string(1, *letter) + " " + std::to_string(modifiers));
  return key_code + 1u;
}

void FakePlatform::RunMainQueue() {
  for (std::unique_lock lock(mutex_); !terminating_; lock.lock()) {
    const auto due = held_ ? main_queue_.begin()
                           : std::find_if(main_queue_.begin(), main_queue_.end(), [&](auto& w) { return w.first <= now_; });
    if (due == main_queue_.end() || due->first > now_) return;
    held_ = false;
    const std::function<void()> work = std::move(due->second);
    main_queue_.erase(due);
    lock.unlock();
    work();
  }
}

void FakePlatform::RunWorkerItems() {
  while (!worker_items_.empty()) {
    const std::function<void()> work = std::move(worker_items_.front());
    worker_items_.pop_front();
    work();
  }
}

}  // namespace mv
