// A recording fake of the platform seam for tests without a desktop.
//
// Every call with an effect is appended to `calls` as a line of text (input
// events go to their own lists, which the fuzzer and the benchmark read
// cheaply); alerts answer with their first button; the main queue, delayed
// work, timers and worker items run only when a test or RunApplication says so.
#pragma once

#include <deque>
#include <mutex>

#include "platform/Platform.h"

namespace mv {

class FakePlatform final : public Platform {
 public:
  int RunApplication(ApplicationDelegate& delegate) override;
  void SetOpenURLHandler(std::function<void(const std::string&)> handler) override { open_url_ = handler; }
  std::vector<std::string> ProcessArguments() override { return arguments; }
  void ActivateIgnoringOtherApps() override { Call("activate"); }
  void Terminate() override {
    Call("terminate");
    if (running_ == nullptr || terminating_) return;
    terminating_ = input_stopped = true;
    running_->ApplicationWillTerminate();
  }
  bool Terminating() override { return terminating_; }
  void RequestTermination() override { PostToMain([this] { Terminate(); }); }
  void PostToMain(std::function<void()> work) override { PostToMainAfter({}, std::move(work)); }
  void PostToMainAfter(std::chrono::nanoseconds delay, std::function<void()> work) override {
    std::lock_guard lock(mutex_);
    main_queue_.emplace_back(now_ + delay, std::move(work));
  }
  // Unguarded: the program submits work on its main thread, before a test runs it.
  void RunOnWorkerThread(std::function<void()> work) override { worker_items_.push_back(std::move(work)); }
  int RunModalAlert(const AlertSpec& alert) override;
  std::unique_ptr<OverlayWindow> CreateOverlayWindow(const OverlayWindowSpec& spec) override;
  std::unique_ptr<RepeatingTimer> ScheduleRepeatingTimer(std::chrono::milliseconds, std::function<void()>) override;
  std::vector<Rect> ActiveDisplayBounds() override { return displays; }
  std::optional<double> PrimaryScreenHeight() override {
    return displays.empty() ? std::nullopt : std::optional(displays[0].height);
  }
  // Recorded even while stopped: the program must not post then.
  void PostMouseEvent(const MouseEvent& event) override { mouse_events.push_back(event); }
  void PostKeyboardEvent(const KeyboardEvent& event) override { keyboard_events.push_back(event); }
  // A flush with no new input since the last one is not worth a line.
  void FlushInput() override {
    const size_t posted = mouse_events.size() + keyboard_events.size();
    if (posted != flushed_) Call("flush " + std::to_string(flushed_ = posted));
  }
  bool InputStopped() override { return input_stopped; }
  void ResumeInput() override { input_stopped = terminating_; }
  HotKeyHandlerRef InstallHotKeyHandler(std::function<void()> on_press) override {
    hot_key_handlers.emplace_back(++handler_refs_, std::move(on_press));
    return handler_refs_;
  }
  void RemoveHotKeyHandler(HotKeyHandlerRef ref) override {
    std::erase_if(hot_key_handlers, [&](auto& entry) { return entry.first == ref; });
  }
  HotKeyRef RegisterHotKey(uint16_t key_code, uint32_t modifiers) override;
  void UnregisterHotKey(HotKeyRef) override { Call("unregister hot key"); }
  void ClearClipboard() override { Call("clear clipboard"); }
  // No status area: the status reaches the user through notifications.
  std::unique_ptr<StatusIndicator> CreateStatusIndicator(const StatusIndicatorState&, std::function<void()>) override {
    return nullptr;
  }
  void ShowNotification(const std::string&, const std::string&) override {}
  bool IsAccessibilityTrusted() override { return trusted; }
  bool PromptAccessibility() override { Call("prompt"); return trusted; }
  void OpenAccessibilitySettings() override { Call("settings"); }
  void WriteSystemLog(std::string_view text) override { std::lock_guard lock(mutex_); system_log_.emplace_back(text); }

  // Appends one line to `calls` (from any thread).
  void Call(const std::string& line) { std::lock_guard lock(mutex_); calls.push_back(line); }
  // Runs main-queue work that is due until none is left or termination began.
  void RunMainQueue();
  // Runs the worker items submitted so far, in order, on the calling thread.
  void RunWorkerItems();
  // Runs every live timer's action once (an action may schedule a timer).
  void FireTimers() {
    for (size_t i = 0; i < timers.size(); ++i) if (timers[i]) timers[i]();
  }
  // Stops input, then calls every installed handler, as the desktop does.
  void PressHotKey() {
    input_stopped = true;
    for (const auto& [ref, handler] : std::vector(hot_key_handlers)) handler();
  }
  void DeliverOpenURL(const std::string& url) { open_url_(url); }
  std::vector<std::string> SystemLogLines() { std::lock_guard lock(mutex_); return system_log_; }

  std::vector<std::string> arguments{"morrowvane-helper"};
  std::vector<Rect> displays;
  bool trusted = true;
  bool input_stopped = false;
  std::string refused_hot_key_letters;
  std::function<void(const AlertSpec&)> on_alert;  // runs while the alert is "open"

  std::vector<std::string> calls;
  std::vector<MouseEvent> mouse_events;
  std::vector<KeyboardEvent> keyboard_events;
  std::deque<std::function<void()>> timers;  // empty once invalidated
  std::vector<std::pair<HotKeyHandlerRef, std::function<void()>>> hot_key_handlers;

 private:
  std::mutex mutex_;
  std::vector<std::pair<std::chrono::nanoseconds, std::function<void()>>> main_queue_;  // (due, work)
  std::deque<std::function<void()>> worker_items_;
  std::vector<std::string> system_log_;
  std::chrono::nanoseconds now_{0};
  std::function<void(const std::string&)> open_url_;
  ApplicationDelegate* running_ = nullptr;
  bool terminating_ = false;
  size_t flushed_ = 0;
  int windows_ = 0;
  HotKeyHandlerRef handler_refs_ = 0;
};

}  // namespace mv
