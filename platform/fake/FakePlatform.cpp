#include "platform/fake/FakePlatform.h"

#include <algorithm>

#include "platform/KeyCodes.h"

namespace mv {
namespace {

class FakeWindow final : public OverlayWindow {
 public:
  explicit FakeWindow(std::shared_ptr<FakePlatform::WindowRecord> record)
      : record_(std::move(record)) {}
  ~FakeWindow() override {
    record_->released = true;
    record_->on_screen = false;
  }
  void SetContent(const OverlayContent& content) override { record_->contents.push_back(content); }
  void OrderFrontRegardless() override { record_->on_screen = true; }
  void OrderOut() override { record_->on_screen = false; }

 private:
  std::shared_ptr<FakePlatform::WindowRecord> record_;
};

class FakeTimer final : public RepeatingTimer {
 public:
  explicit FakeTimer(std::shared_ptr<FakePlatform::TimerRecord> record)
      : record_(std::move(record)) {}
  ~FakeTimer() override { Invalidate(); }
  void Invalidate() override { record_->valid = false; }

 private:
  std::shared_ptr<FakePlatform::TimerRecord> record_;
};

}  // namespace

FakePlatform::FakePlatform() = default;
FakePlatform::~FakePlatform() = default;

int FakePlatform::RunApplication(ApplicationDelegate& delegate) {
  running_delegate_ = &delegate;
  delegate.ApplicationWillFinishLaunching();
  delegate.ApplicationDidFinishLaunching();
  // Plays the event loop: main work first, then the worker's, then the
  // earliest delayed work, until the program terminates or nothing is left.
  while (!terminating_) {
    RunMainQueue();
    if (terminating_) break;
    if (!worker_items_.empty()) {
      RunWorkerItems();
      continue;
    }
    std::unique_lock lock(queue_mutex_);
    if (delayed_.empty()) break;
    const auto next = std::min_element(delayed_.begin(), delayed_.end(),
                                       [](auto& a, auto& b) { return a.due < b.due; });
    const auto wait = next->due - now_;
    lock.unlock();
    AdvanceTime(wait);
  }
  running_delegate_ = nullptr;
  return terminating_ ? 0 : -1;
}

void FakePlatform::SetOpenURLHandler(std::function<void(const std::string&)> handler) {
  open_url_handler_ = std::move(handler);
}

void FakePlatform::Terminate() {
  ++terminate_requests;
  if (running_delegate_ == nullptr || terminating_) return;
  terminating_ = true;
  input_stopped = true;
  running_delegate_->ApplicationWillTerminate();
}

void FakePlatform::PostToMain(std::function<void()> work) {
  std::lock_guard lock(queue_mutex_);
  main_queue_.push_back(std::move(work));
}

void FakePlatform::PostToMainAfter(std::chrono::nanoseconds delay, std::function<void()> work) {
  std::lock_guard lock(queue_mutex_);
  delayed_.push_back({now_ + delay, std::move(work)});
}

void FakePlatform::RunOnWorkerThread(std::function<void()> work) {
  std::lock_guard lock(queue_mutex_);
  worker_items_.push_back(std::move(work));
}

int FakePlatform::RunModalAlert(const AlertSpec& alert) {
  alerts.push_back(alert);
  if (on_alert) on_alert(alert);
  if (alert_answers.empty()) return kAlertFirstButtonReturn;
  const int answer = alert_answers.front();
  alert_answers.pop_front();
  return answer;
}

std::unique_ptr<OverlayWindow> FakePlatform::CreateOverlayWindow(const OverlayWindowSpec& spec) {
  auto record = std::make_shared<WindowRecord>();
  record->spec = spec;
  windows.push_back(record);
  return std::make_unique<FakeWindow>(record);
}

std::unique_ptr<RepeatingTimer> FakePlatform::ScheduleRepeatingTimer(
    std::chrono::milliseconds, std::function<void()> action) {
  auto record = std::make_shared<TimerRecord>();
  record->action = std::move(action);
  timers.push_back(record);
  return std::make_unique<FakeTimer>(record);
}

HotKeyHandlerRef FakePlatform::InstallHotKeyHandler(std::function<void()> on_press) {
  const HotKeyHandlerRef ref = next_ref_++;
  hot_key_handlers.emplace_back(ref, std::move(on_press));
  return ref;
}

void FakePlatform::RemoveHotKeyHandler(HotKeyHandlerRef handler) {
  std::erase_if(hot_key_handlers, [&](auto& entry) { return entry.first == handler; });
}

HotKeyRef FakePlatform::RegisterHotKey(uint16_t key_code, uint32_t modifiers) {
  const std::optional<char> letter = keycode::LetterFor(key_code);
  if (!letter || refused_hot_key_letters.contains(*letter)) {
    refused_hot_key_codes.push_back(key_code);
    return 0;
  }
  const HotKeyRef ref = next_ref_++;
  hot_keys.push_back({key_code, modifiers, ref, true});
  return ref;
}

void FakePlatform::UnregisterHotKey(HotKeyRef hot_key) {
  for (auto& record : hot_keys) {
    if (record.ref == hot_key) record.registered = false;
  }
}

void FakePlatform::WriteSystemLog(std::string_view message) {
  std::lock_guard lock(log_mutex_);
  system_log_.emplace_back(message);
}

void FakePlatform::RunMainQueue() {
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard lock(queue_mutex_);
      auto due = std::find_if(delayed_.begin(), delayed_.end(),
                              [&](auto& d) { return d.due <= now_; });
      if (due != delayed_.end()) {
        main_queue_.push_back(std::move(due->work));
        delayed_.erase(due);
      }
      if (main_queue_.empty()) return;
      work = std::move(main_queue_.front());
      main_queue_.pop_front();
    }
    work();
    if (terminating_) return;
  }
}

void FakePlatform::AdvanceTime(std::chrono::nanoseconds by) {
  {
    std::lock_guard lock(queue_mutex_);
    now_ += by;
  }
  RunMainQueue();
}

void FakePlatform::FireTimers() {
  const auto snapshot = timers;  // an action may schedule a new timer
  for (auto& timer : snapshot) {
    if (timer->valid) timer->action();
  }
}

void FakePlatform::RunWorkerItems() {
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard lock(queue_mutex_);
      if (worker_items_.empty()) return;
      work = std::move(worker_items_.front());
      worker_items_.pop_front();
    }
    work();
  }
}

void FakePlatform::PressHotKey() {
  input_stopped = true;
  const auto handlers = hot_key_handlers;
  for (auto& [ref, handler] : handlers) handler();
}

void FakePlatform::DeliverOpenURL(const std::string& url) {
  if (open_url_handler_) open_url_handler_(url);
}

std::vector<std::shared_ptr<FakePlatform::WindowRecord>> FakePlatform::LiveWindows() const {
  std::vector<std::shared_ptr<WindowRecord>> live;
  for (auto& w : windows) {
    if (!w->released) live.push_back(w);
  }
  return live;
}

size_t FakePlatform::PendingMainWork() const {
  std::lock_guard lock(queue_mutex_);
  return main_queue_.size() + delayed_.size();
}

std::vector<std::string> FakePlatform::SystemLogLines() const {
  std::lock_guard lock(log_mutex_);
  return system_log_;
}

}  // namespace mv
