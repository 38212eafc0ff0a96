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
#include "platform/RemoteInput.h"

namespace mv {

class FakePlatform final : public Platform {
 public:
  FakePlatform();
  ~FakePlatform() override;
  int RunApplication(ApplicationDelegate& delegate) override;
  void SetOpenURLHandler(std::function<void(const std::string&)> handler) override { open_url_ = handler; }
  std::vector<std::string> ProcessArguments() override { return arguments; }
  void ActivateIgnoringOtherApps() override { Call("activate"); }
  void Terminate() override {
    Call("terminate");
    if (running_ == nullptr || terminating_) return;
    terminating_ = true;
    input_.Stop().Seal();
    running_->ApplicationWillTerminate();
  }
  bool Terminating() override { return terminating_; }
  void RequestTermination() override { PostToMain([this] { Terminate(); }); }
  void PostToMain(std::function<void()> work) override { PostToMainAfter({}, std::move(work)); }
  // Held work keeps every other item back until it has run.
  void ContinueOnMain(std::chrono::nanoseconds delay, std::function<void()> work) override {
    std::lock_guard lock(mutex_);
    main_queue_.emplace(main_queue_.begin(), now_ + delay, std::move(work));
    held_ = true;
  }
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
  // Through the stop and the record of what is held, to a recording backend.
  void PostMouseEvent(const MouseEvent& event) override { input_.PostMouse(event); }
  void PostKeyboardEvent(const KeyboardEvent& event) override { input_.PostKeyboard(event); }
  void FlushInput() override { input_.Flush(); }
  void StopInput() override { input_.Stop().Stop(); }
  bool InputStopped() override { return input_.Stop().Stopped(); }
  void ResumeInput() override { input_.Stop().Resume(); }
  HotKeyHandlerRef InstallHotKeyHandler(std::function<void()> on_press) override {
    hot_key_handlers.emplace_back(++handler_refs_, std::move(on_press));
    return handler_refs_;
  }
  void RemoveHotKeyHandler(HotKeyHandlerRef ref) override {
    std::erase_if(hot_key_handlers, [&](auto& entry) { return entry.first == ref; });
  }
  HotKeyRef RegisterHotKey(uint16_t key_code, uint32_t modifiers) override;
  void UnregisterHotKey(HotKeyRef) override { Call("unregister hot key"); }
  char HotKeyLetter(HotKeyRef) override { return rebound_letter; }
  void ClearClipboard() override { Call("clear clipboard"); }
  // No status area: the status reaches the user through notifications.
  std::unique_ptr<StatusIndicator> CreateStatusIndicator(const StatusIndicatorState&, std::function<void()>) override {
    return nullptr;
  }
  void ShowNotification(const std::string& summary, const std::string&, NotificationAction action) override {
    Call("notify " + summary + (action.label.empty() ? "" : " [" + action.label + "]"));
    notification_action = std::move(action.on_chosen);
  }
  bool IsAccessibilityTrusted() override { return trusted; }
  bool PromptAccessibility() override { Call("prompt"); return trusted; }
  bool AccessibilityDeclined() override { return declined; }
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
  // As the desktop's thread does: stops input; the handlers run on the
  // main queue, once however many presses came before they ran.
  void PressHotKey() {
    if (!input_.Stop().Press()) return;
    PostToMain([this] {
      if (!input_.Stop().TakePress()) return;
      input_.Flush();
      for (const auto& [ref, handler] : std::vector(hot_key_handlers)) handler();
    });
  }
  void DeliverOpenURL(const std::string& url) { open_url_(url); }
  std::vector<std::string> SystemLogLines() { std::lock_guard lock(mutex_); return system_log_; }

  std::vector<std::string> arguments{"morrowvane-helper"};
  std::vector<Rect> displays;
  bool trusted = true;
  bool declined = false;
  std::string refused_hot_key_letters;
  char rebound_letter = 0;  // the user's choice in the desktop's settings
  std::function<void(const AlertSpec&)> on_alert;  // runs while the alert is "open"
  std::deque<int> alert_answers;  // the next alerts' answers; none left: the first button

  std::vector<std::string> calls;
  std::vector<MouseEvent> mouse_events;
  std::vector<KeyboardEvent> keyboard_events;
  std::deque<std::function<void()>> timers;  // empty once invalidated
  std::vector<std::pair<HotKeyHandlerRef, std::function<void()>>> hot_key_handlers;
  std::function<void()> notification_action;  // of the last notification

 private:
  std::mutex mutex_;
  std::vector<std::pair<std::chrono::nanoseconds, std::function<void()>>> main_queue_;  // (due, work)
  std::deque<std::function<void()>> worker_items_;
  std::vector<std::string> system_log_;
  std::chrono::nanoseconds now_{0};
  std::function<void(const std::string&)> open_url_;
  ApplicationDelegate* running_ = nullptr;
  bool terminating_ = false;
  bool held_ = false;  // the first item of the main queue holds the others back
  struct RecordingInput;
  std::unique_ptr<RecordingInput> recorder_;
  RemoteInput input_;
  int windows_ = 0;
  HotKeyHandlerRef handler_refs_ = 0;
};

}  // namespace mv
