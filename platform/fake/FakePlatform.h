// A recording fake of the platform seam for tests without a desktop.
//
// It records every call (posted events in order, windows with their frames
// and content, alerts, hot keys, clipboard clears, system log lines) and lets
// a test answer alerts, refuse hot key letters, set the permission and the
// displays, and run the main queue, timers and worker items by hand.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace mv {

class FakePlatform final : public Platform {
 public:
  struct WindowRecord {
    OverlayWindowSpec spec;
    std::vector<OverlayContent> contents;  // every SetContent, in order
    bool on_screen = false;
    bool released = false;
  };
  struct TimerRecord {
    std::function<void()> action;
    bool valid = true;
  };
  struct HotKeyRecord {
    uint16_t key_code = 0;
    uint32_t modifiers = 0;
    HotKeyRef ref = 0;
    bool registered = true;
  };
  struct DelayedWork {
    std::chrono::nanoseconds due;
    std::function<void()> work;
  };

  FakePlatform();
  ~FakePlatform() override;

  // --- Platform ---
  int RunApplication(ApplicationDelegate& delegate) override;
  void SetOpenURLHandler(std::function<void(const std::string&)> handler) override;
  std::vector<std::string> ProcessArguments() override { return arguments; }
  void ActivateIgnoringOtherApps() override { ++activations; }
  void Terminate() override;
  bool Terminating() override { return terminating_; }
  void RequestTermination() override {
    PostToMain([this] { Terminate(); });
  }
  void PostToMain(std::function<void()> work) override;
  void PostToMainAfter(std::chrono::nanoseconds delay, std::function<void()> work) override;
  void RunOnWorkerThread(std::function<void()> work) override;
  int RunModalAlert(const AlertSpec& alert) override;
  std::unique_ptr<OverlayWindow> CreateOverlayWindow(const OverlayWindowSpec& spec) override;
  std::unique_ptr<RepeatingTimer> ScheduleRepeatingTimer(std::chrono::milliseconds interval,
                                                         std::function<void()> action) override;
  std::vector<Rect> ActiveDisplayBounds() override { return displays; }
  std::optional<double> PrimaryScreenHeight() override {
    return displays.empty() ? std::nullopt : std::optional<double>(displays.front().height);
  }
  void PostMouseEvent(const MouseEvent& event) override {
    if (!input_stopped) mouse_events.push_back(event);
  }
  void PostKeyboardEvent(const KeyboardEvent& event) override {
    if (!input_stopped) keyboard_events.push_back(event);
  }
  bool InputStopped() override { return input_stopped; }
  void ResumeInput() override {
    if (!terminating_) input_stopped = false;
  }
  void FlushInput() override {
    input_flushes.push_back(mouse_events.size() + keyboard_events.size());
  }
  HotKeyHandlerRef InstallHotKeyHandler(std::function<void()> on_press) override;
  void RemoveHotKeyHandler(HotKeyHandlerRef handler) override;
  HotKeyRef RegisterHotKey(uint16_t key_code, uint32_t modifiers) override;
  void UnregisterHotKey(HotKeyRef hot_key) override;
  void ClearClipboard() override { ++clipboard_clears; }
  // No status area: the status reaches the user through notifications.
  std::unique_ptr<StatusIndicator> CreateStatusIndicator(const StatusIndicatorState&,
                                                         std::function<void()>) override {
    return nullptr;
  }
  void ShowNotification(const std::string&, const std::string&) override {}
  bool IsAccessibilityTrusted() override { ++trust_checks; return trusted; }
  bool PromptAccessibility() override { ++prompts; return trusted; }
  void OpenAccessibilitySettings() override { ++settings_opened; }
  void WriteSystemLog(std::string_view message) override;

  // --- Driving the fake ---
  // Runs main-queue work (and delayed work that is due) until none is left.
  void RunMainQueue();
  // Moves the fake clock on, making delayed work due.
  void AdvanceTime(std::chrono::nanoseconds by);
  // Runs the actions of every valid timer once (one tick).
  void FireTimers();
  // Runs the worker items submitted so far, in order, on the calling thread.
  void RunWorkerItems();
  // Presses the registered hot key: stops input, then calls every installed
  // handler.
  void PressHotKey();
  // Delivers an open-URL event to the installed handler.
  void DeliverOpenURL(const std::string& url);

  std::vector<std::shared_ptr<WindowRecord>> LiveWindows() const;
  std::vector<std::string> SystemLogLines() const;
  size_t PendingMainWork() const;

  // --- Settings made by the test ---
  std::vector<std::string> arguments{"morrowvane-helper"};
  std::vector<Rect> displays;
  bool trusted = true;
  std::set<char> refused_hot_key_letters;  // letters whose registration fails
  std::deque<int> alert_answers;           // next answers; none left: the first button
  bool input_stopped = false;  // posted events are then not recorded

  // --- Records ---
  std::vector<MouseEvent> mouse_events;
  std::vector<KeyboardEvent> keyboard_events;
  std::vector<size_t> input_flushes;  // input events posted so far, at each flush
  std::vector<AlertSpec> alerts;
  std::vector<std::shared_ptr<WindowRecord>> windows;  // every window ever created
  std::vector<std::shared_ptr<TimerRecord>> timers;    // every timer ever scheduled
  std::vector<HotKeyRecord> hot_keys;                  // every successful registration
  std::vector<std::pair<HotKeyHandlerRef, std::function<void()>>> hot_key_handlers;
  std::vector<uint16_t> refused_hot_key_codes;  // registrations answered with 0
  int activations = 0;
  int terminate_requests = 0;
  int clipboard_clears = 0;
  int trust_checks = 0;
  int prompts = 0;
  int settings_opened = 0;
  // Called inside RunModalAlert, before it answers: lets a test look at the
  // state while the alert is "open".
  std::function<void(const AlertSpec&)> on_alert;

 private:
  std::deque<std::function<void()>> main_queue_;
  std::vector<DelayedWork> delayed_;
  std::deque<std::function<void()>> worker_items_;
  std::chrono::nanoseconds now_{0};
  std::function<void(const std::string&)> open_url_handler_;
  ApplicationDelegate* running_delegate_ = nullptr;
  bool terminating_ = false;
  uint64_t next_ref_ = 1;
  mutable std::mutex log_mutex_;
  std::vector<std::string> system_log_;
  mutable std::mutex queue_mutex_;
};

}  // namespace mv
