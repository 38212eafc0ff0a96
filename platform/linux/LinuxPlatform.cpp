#include "platform/linux/LinuxPlatform.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "platform/linux/QtCompositor.h"
#include "platform/linux/QtMainQueue.h"
#include "platform/linux/QtOpenUrlService.h"
#include "platform/linux/QtOverlayWindow.h"
#include "platform/linux/QtStatusIndicator.h"
#include "platform/linux/X11Desktop.h"
#include "platform/KeyCodes.h"
#include "platform/RemoteInput.h"
#include "platform/wayland/PortalGlobalShortcuts.h"
#include "platform/wayland/PortalInput.h"
#include "platform/wayland/QtScreens.h"

// Resources of a static library are registered by hand; the macro must be
// used outside any namespace.
static void InitPlatformResources() { Q_INIT_RESOURCE(resources); }

namespace mv {
namespace {

constexpr std::string_view kLaunchUrlPrefix = "morrowvanenativehost://";
constexpr int kAlertIconSize = 64;
// The hot key bound through the desktop's GlobalShortcuts portal; the X
// grabs count up from 1.
constexpr HotKeyRef kPortalHotKey = HotKeyRef{1} << 63;
// How long an "initcheck" waits for the desktop to bind one letter: GNOME
// asks the user in a dialog first.
constexpr std::chrono::seconds kShortcutBindTimeout{60};

QString FromUtf8(const std::string& text) {
  // Invalid sequences become U+FFFD; they never break the dialog.
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A dialog's text as shown: laying out megabytes of text would hold the
// program for minutes, so a long text is cut, marked with an ellipsis.
QString DisplayText(const std::string& text) {
  constexpr qsizetype kMaxShown = 64 * 1024;
  constexpr size_t kMaxBytes = 4 * kMaxShown;  // UTF-8 for at least kMaxShown characters
  QString shown = FromUtf8(text.substr(0, kMaxBytes));
  // Bidirectional controls would reorder what the user reads: each shows as
  // a replacement character instead.
  for (QChar& c : shown) {
    const char16_t u = c.unicode();
    if (u == 0x061C || u == 0x200E || u == 0x200F || (u >= 0x202A && u <= 0x202E) ||
        (u >= 0x2066 && u <= 0x2069)) {
      c = QChar(QChar::ReplacementCharacter);
    }
  }
  if (shown.size() <= kMaxShown && text.size() <= kMaxBytes) return shown;
  qsizetype cut = std::min(shown.size(), kMaxShown);
  if (shown.at(cut - 1).isHighSurrogate()) --cut;
  shown.truncate(cut);
  return shown + QChar(0x2026);
}

// Eats the keys and clicks meant for `dialog` during its first second on
// screen: a Return typed into another window must not answer it.
class StrayInputGuard final : public QObject {
 public:
  explicit StrayInputGuard(QWidget* dialog) : dialog_(dialog) {
    for (QAbstractButton* button : dialog_->findChildren<QAbstractButton*>()) {
      button->setEnabled(false);
    }
    qApp->installEventFilter(this);
  }
  ~StrayInputGuard() override { qApp->removeEventFilter(this); }
  // From the first time the dialog is on screen.
  void Shown() {
    if (shown_.isValid()) return;
    shown_.start();
    QTimer::singleShot(kGuardMs, dialog_, [dialog = dialog_] {
      for (QAbstractButton* button : dialog->findChildren<QAbstractButton*>()) {
        button->setEnabled(true);
      }
    });
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == dialog_ && event->type() == QEvent::Show) Shown();
    switch (event->type()) {
      case QEvent::KeyPress:
      case QEvent::KeyRelease:
      case QEvent::ShortcutOverride:
      case QEvent::Shortcut:
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
        break;
      default:
        return false;
    }
    auto* widget = qobject_cast<QWidget*>(watched);
    const bool ours = widget && (widget == dialog_ || dialog_->isAncestorOf(widget));
    return ours && (!shown_.isValid() || shown_.elapsed() < kGuardMs);
  }

 private:
  static constexpr int kGuardMs = 1000;
  QWidget* dialog_;
  QElapsedTimer shown_;
};

class QtRepeatingTimer final : public RepeatingTimer {
 public:
  explicit QtRepeatingTimer(QTimer* timer) : timer_(timer) {}
  ~QtRepeatingTimer() override { delete timer_.data(); }
  void Invalidate() override {
    if (timer_) timer_->stop();
  }

 private:
  QPointer<QTimer> timer_;
};

class LinuxPlatform final : public Platform {
 public:
  LinuxPlatform(std::vector<std::string> arguments, std::unique_ptr<RemoteInput> input,
                std::unique_ptr<X11Desktop> desktop, std::unique_ptr<QApplication> app,
                bool wayland_session);
  ~LinuxPlatform() override;

  int RunApplication(ApplicationDelegate& delegate) override;
  void SetOpenURLHandler(std::function<void(const std::string&)> handler) override;
  std::vector<std::string> ProcessArguments() override { return arguments_; }
  void ActivateIgnoringOtherApps() override { activate_next_alert_ = true; }
  void Terminate() override;
  bool Terminating() override { return terminating_; }
  void RequestTermination() override;

  void PostToMain(std::function<void()> work) override { queue_->Post(std::move(work)); }
  void PostToMainAfter(std::chrono::nanoseconds delay, std::function<void()> work) override {
    queue_->PostAfter(delay, std::move(work));
  }
  void ContinueOnMain(std::chrono::nanoseconds delay, std::function<void()> work) override {
    queue_->PostFirst(delay, std::move(work));
  }
  void RunOnWorkerThread(std::function<void()> work) override;

  int RunModalAlert(const AlertSpec& alert) override;

  std::unique_ptr<OverlayWindow> CreateOverlayWindow(const OverlayWindowSpec& spec) override;
  std::unique_ptr<RepeatingTimer> ScheduleRepeatingTimer(std::chrono::milliseconds interval,
                                                         std::function<void()> action) override;

  std::vector<Rect> ActiveDisplayBounds() override {
    return desktop_ ? desktop_->MonitorBounds() : QtScreenBounds();
  }
  std::optional<double> PrimaryScreenHeight() override;

  void PostMouseEvent(const MouseEvent& event) override { input_->PostMouse(event); }
  void PostKeyboardEvent(const KeyboardEvent& event) override { input_->PostKeyboard(event); }
  void FlushInput() override { input_->Flush(); }
  void StopInput() override { input_->Stop().Stop(); }
  bool InputStopped() override { return input_->Stop().Stopped(); }
  void ResumeInput() override {
    if (!terminating_) input_->Stop().Resume();
  }

  HotKeyHandlerRef InstallHotKeyHandler(std::function<void()> on_press) override;
  void RemoveHotKeyHandler(HotKeyHandlerRef handler) override { hot_key_handlers_.erase(handler); }
  HotKeyRef RegisterHotKey(uint16_t key_code, uint32_t modifiers) override;
  char HotKeyLetter(HotKeyRef hot_key) override {
    return hot_key == kPortalHotKey && shortcuts_ ? shortcuts_->Letter() : 0;
  }
  void UnregisterHotKey(HotKeyRef hot_key) override {
    if (hot_key == kPortalHotKey) {
      shortcuts_->Unbind();
    } else if (desktop_) {
      desktop_->UngrabHotKey(hot_key);
    }
  }

  // The text last selected (pasted with the middle button) is as readable
  // as the clipboard, where the desktop has that selection.
  void ClearClipboard() override {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear(QClipboard::Clipboard);
    if (clipboard->supportsSelection()) clipboard->clear(QClipboard::Selection);
  }

  std::unique_ptr<StatusIndicator> CreateStatusIndicator(const StatusIndicatorState& state,
                                                         std::function<void()> on_stop) override {
    return CreateQtStatusIndicator(state, std::move(on_stop));
  }
  void ShowNotification(const std::string& summary, const std::string& body,
                        NotificationAction action) override {
    notifications_->Notify(FromUtf8(summary), FromUtf8(body), std::move(action));
  }

  // The input backend's permission; neither XTest nor the portal has a
  // settings page to open.
  bool IsAccessibilityTrusted() override { return input_->Backend()->Permitted(); }
  bool PromptAccessibility() override { return input_->Backend()->RequestPermission(); }
  bool AccessibilityDeclined() override { return input_->Backend()->PermissionDeclined(); }
  void OpenAccessibilitySettings() override {}

  void WriteSystemLog(std::string_view message) override;

 private:
  void DeliverOpenURL(const std::string& url);
  // Any thread: a press of the hot key, or the desktop ending its session.
  void Press();
  void HandlePress();
  void JoinWorkers();
  // In root coordinates; the compositor's layout without an X display.
  Rect PrimaryRoot() { return desktop_ ? desktop_->PrimaryMonitorRoot() : PrimaryQtScreen(); }

  std::vector<std::string> arguments_;
  std::unique_ptr<X11Desktop> desktop_;  // none on Wayland without Xwayland
  // Input on a Wayland session; XTest would only reach Xwayland's clients.
  std::unique_ptr<PortalInput> portal_;
  // The stop and what is held, over the portal or the X display; goes
  // before both, releasing what is held through them.
  std::unique_ptr<RemoteInput> input_;
  std::unique_ptr<QApplication> app_;
  // The quit hot key where the desktop's portal offers global shortcuts.
  std::unique_ptr<PortalGlobalShortcuts> shortcuts_;
  std::unique_ptr<QtNotifications> notifications_;
  // Parent of the timers and the connections below; goes before the app.
  std::unique_ptr<QObject> owner_;
  std::unique_ptr<QtMainQueue> queue_;
  std::unique_ptr<QSocketNotifier> x_notifier_;
  std::unique_ptr<QtOpenUrlService> url_service_;
  std::vector<QPointer<QtOverlayWidget>> widgets_;

  ApplicationDelegate* delegate_ = nullptr;
  std::function<void(const std::string&)> open_url_handler_;
  std::vector<std::string> pending_urls_;  // arrived before a handler was set
  bool terminating_ = false;
  bool activate_next_alert_ = false;
  int open_alerts_ = 0;
  std::map<HotKeyHandlerRef, std::function<void()>> hot_key_handlers_;
  HotKeyHandlerRef next_hot_key_handler_ = 1;

  std::mutex workers_mutex_;
  std::vector<std::thread> workers_;  // guarded by workers_mutex_
};

LinuxPlatform::LinuxPlatform(std::vector<std::string> arguments,
                             std::unique_ptr<RemoteInput> input,
                             std::unique_ptr<X11Desktop> desktop,
                             std::unique_ptr<QApplication> app, bool wayland_session)
    : arguments_(std::move(arguments)),
      desktop_(std::move(desktop)),
      input_(std::move(input)),
      app_(std::move(app)),
      notifications_(std::make_unique<QtNotifications>()),
      owner_(std::make_unique<QObject>()),
      queue_(std::make_unique<QtMainQueue>()) {
  // The user ending the session at the desktop stops remote input as the
  // quit hot key does.
  if (wayland_session) {
    portal_ = std::make_unique<PortalInput>(
        std::make_unique<PortalRemoteDesktop>([this] { Press(); },
                                              [this] { return InputStopped(); }),
        [this] { return PrimaryRoot(); });
    input_->SetBackend(portal_.get());
    shortcuts_ = std::make_unique<PortalGlobalShortcuts>([this] { Press(); });
  } else {
    input_->SetBackend(desktop_.get());
  }
  if (!desktop_) return;
  desktop_->SetHotKeyPressHandler([this] { Press(); });
  // Keymap changes arrive on the private X connection, also while a dialog
  // runs its own event loop. Xlib may have read events into its queue
  // during other requests without the socket becoming readable again, so
  // the queue is also drained each time the loop is about to wait.
  x_notifier_ = std::make_unique<QSocketNotifier>(desktop_->ConnectionFd(), QSocketNotifier::Read);
  QObject::connect(x_notifier_.get(), &QSocketNotifier::activated, owner_.get(),
                   [this] { desktop_->ProcessPendingEvents(); });
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) {
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, owner_.get(),
                     [this] { desktop_->ProcessPendingEvents(); });
  }
}

LinuxPlatform::~LinuxPlatform() {
  // They reach owner_ from other threads.
  shortcuts_.reset();
  if (desktop_) desktop_->SetHotKeyPressHandler(nullptr);
  JoinWorkers();
  // They speak to the desktop through the application: before it goes.
  input_.reset();
  portal_.reset();
  url_service_.reset();
  for (const QPointer<QtOverlayWidget>& widget : widgets_) delete widget.data();
  x_notifier_.reset();
  queue_.reset();
  owner_.reset();
}

void LinuxPlatform::JoinWorkers() {
  // Joined outside the lock: a worker may itself start another one.
  for (;;) {
    std::vector<std::thread> workers;
    {
      std::lock_guard lock(workers_mutex_);
      workers.swap(workers_);
    }
    if (workers.empty()) return;
    for (std::thread& worker : workers) worker.join();
  }
}

int LinuxPlatform::RunApplication(ApplicationDelegate& delegate) {
  terminating_ = false;
  std::optional<std::string> url;
  for (const std::string& argument : arguments_) {
    if (argument.starts_with(kLaunchUrlPrefix)) {
      url = argument;
      break;
    }
  }
  url_service_ = std::make_unique<QtOpenUrlService>(
      [this](const std::string& text) { DeliverOpenURL(text); });
  if (url_service_->Start(url) == QtOpenUrlService::Outcome::kForwarded) {
    url_service_.reset();
    return 0;
  }

  delegate_ = &delegate;
  delegate.ApplicationWillFinishLaunching();
  QMetaObject::invokeMethod(
      owner_.get(),
      [this] {
        if (!terminating_ && delegate_) delegate_->ApplicationDidFinishLaunching();
      },
      Qt::QueuedConnection);
  if (!terminating_) QApplication::exec();
  // Teardown has ended their blocking requests.
  JoinWorkers();
  delegate_ = nullptr;
  url_service_.reset();
  return 0;
}

void LinuxPlatform::SetOpenURLHandler(std::function<void(const std::string&)> handler) {
  open_url_handler_ = std::move(handler);
  if (!open_url_handler_) return;
  for (std::string& url : std::exchange(pending_urls_, {})) open_url_handler_(url);
}

void LinuxPlatform::DeliverOpenURL(const std::string& url) {
  if (terminating_) return;
  if (open_url_handler_) {
    open_url_handler_(url);
  } else {
    pending_urls_.push_back(url);
  }
}

void LinuxPlatform::Terminate() {
  if (terminating_) return;
  terminating_ = true;
  input_->Stop().Seal();
  input_->Flush();
  // A browser launch from now on becomes the running instance itself
  // instead of handing its link to this one.
  if (url_service_) url_service_->Release();
  queue_->Stop();
  if (delegate_) delegate_->ApplicationWillTerminate();
  // Ends every running event loop, the nested ones of open dialogs too.
  QCoreApplication::exit(0);
}

void LinuxPlatform::RequestTermination() {
  // A queued call, not the main queue: it also runs while a dialog holds
  // the queue.
  QMetaObject::invokeMethod(owner_.get(), [this] { Terminate(); }, Qt::QueuedConnection);
}

void LinuxPlatform::RunOnWorkerThread(std::function<void()> work) {
  std::lock_guard lock(workers_mutex_);
  workers_.emplace_back(std::move(work));
}

int LinuxPlatform::RunModalAlert(const AlertSpec& alert) {
  const int last_answer =
      kAlertFirstButtonReturn + (alert.buttons.empty() ? 0 : static_cast<int>(alert.buttons.size()) - 1);
  // Once the program is ending no dialog is shown; the answer is the one
  // Escape would give.
  if (terminating_) return last_answer;

  QMessageBox box;
  box.setWindowTitle(alert.title.empty() ? QGuiApplication::applicationDisplayName()
                                          : DisplayText(alert.title));
  box.setText(DisplayText(alert.message_text));
  box.setInformativeText(DisplayText(alert.informative_text));
  // Texts from the server are shown as they are: markup is not rendered and
  // no link can open anything. QMessageBox makes its informative label
  // rich-text aware with links opening, so every label is set here.
  box.setTextFormat(Qt::PlainText);
  for (QLabel* label : box.findChildren<QLabel*>()) {
    label->setTextFormat(Qt::PlainText);
    label->setOpenExternalLinks(false);
  }
  if (alert.use_app_icon) {
    const QPixmap icon = AppIconPixmap(kAlertIconSize, box.devicePixelRatioF());
    if (!icon.isNull()) box.setIconPixmap(icon);
  }
  std::vector<QAbstractButton*> buttons;
  if (alert.buttons.empty()) {
    buttons.push_back(box.addButton(QMessageBox::Ok));
  } else {
    // One role for all keeps them in the given order.
    for (const std::string& title : alert.buttons) {
      buttons.push_back(box.addButton(FromUtf8(title), QMessageBox::ActionRole));
    }
  }
  box.setDefaultButton(static_cast<QPushButton*>(buttons.front()));
  box.setEscapeButton(buttons.back());
  std::optional<StrayInputGuard> guard;
  if (alert.guard_stray_input) guard.emplace(&box);

  if (std::exchange(activate_next_alert_, false)) {
    box.show();
    box.raise();
    box.activateWindow();
  }
  ++open_alerts_;
  box.exec();
  --open_alerts_;

  for (size_t i = 0; i < buttons.size(); ++i) {
    if (box.clickedButton() == buttons[i]) return kAlertFirstButtonReturn + static_cast<int>(i);
  }
  return last_answer;
}

std::unique_ptr<OverlayWindow> LinuxPlatform::CreateOverlayWindow(const OverlayWindowSpec& spec) {
  if (!desktop_) return SkippedOverlayWindow();
  std::erase_if(widgets_, [](const QPointer<QtOverlayWidget>& widget) { return widget.isNull(); });
  const RootRect root = WindowSystemFrameToRoot(spec.frame, desktop_->PrimaryMonitorRoot());
  auto* widget = new QtOverlayWidget(spec, root, &CompositorRunning);
  widgets_.emplace_back(widget);
  return std::make_unique<QtOverlayWindow>(widget);
}

std::unique_ptr<RepeatingTimer> LinuxPlatform::ScheduleRepeatingTimer(
    std::chrono::milliseconds interval, std::function<void()> action) {
  auto* timer = new QTimer(owner_.get());
  timer->setInterval(interval);
  // A modal alert holds the program's state still: ticks that fall while one
  // is open are skipped.
  QObject::connect(timer, &QTimer::timeout, owner_.get(), [this, action = std::move(action)] {
    if (open_alerts_ == 0) action();
  });
  timer->start();
  return std::make_unique<QtRepeatingTimer>(timer);
}

std::optional<double> LinuxPlatform::PrimaryScreenHeight() {
  const Rect primary = PrimaryRoot();
  if (primary.width <= 0 || primary.height <= 0) return std::nullopt;
  return primary.height;
}

HotKeyHandlerRef LinuxPlatform::InstallHotKeyHandler(std::function<void()> on_press) {
  const HotKeyHandlerRef ref = next_hot_key_handler_++;
  hot_key_handlers_.emplace(ref, std::move(on_press));
  return ref;
}

HotKeyRef LinuxPlatform::RegisterHotKey(uint16_t key_code, uint32_t modifiers) {
  // The desktop's shortcut service sees the keys whatever has the focus; a
  // grab on Xwayland only while an X window has it.
  const std::optional<char> letter = keycode::LetterFor(key_code);
  if (shortcuts_ && letter && modifiers == (kHotKeyControl | kHotKeyOption | kHotKeyShift) &&
      shortcuts_->Usable()) {
    if (shortcuts_->Bind(*letter, kShortcutBindTimeout)) return kPortalHotKey;
    // Taken by another program there: the next letter, through the portal.
    if (shortcuts_->Usable()) return 0;
  }
  return desktop_ ? desktop_->GrabHotKey(key_code, modifiers) : 0;
}

void LinuxPlatform::Press() {
  // Posting stops here, on whatever thread saw the press; the handlers run
  // on the main thread, also under a dialog and ahead of queued batches, once
  // for any number of presses before they ran.
  if (!input_->Stop().Press()) return;
  QMetaObject::invokeMethod(owner_.get(), [this] { HandlePress(); }, Qt::QueuedConnection);
}

void LinuxPlatform::HandlePress() {
  if (!input_->Stop().TakePress()) return;
  input_->Flush();  // lets go of what the remote side held
  // A handler may remove handlers; call the ones present at the press.
  std::vector<std::function<void()>> handlers;
  for (const auto& [ref, handler] : hot_key_handlers_) handlers.push_back(handler);
  for (const auto& handler : handlers) handler();
}

void LinuxPlatform::WriteSystemLog(std::string_view message) {
  static std::once_flag opened;
  std::call_once(opened, [] { openlog("MorrowvaneHelper", LOG_PID, LOG_USER); });
  syslog(LOG_NOTICE, "%s", std::string(message).c_str());
}

}  // namespace

std::unique_ptr<Platform> CreateLinuxPlatform(int& argc, char** argv, std::string* error) {
  std::vector<std::string> arguments(argv, argv + argc);
  const char* wayland_display = std::getenv("WAYLAND_DISPLAY");
  const char* session_type = std::getenv("XDG_SESSION_TYPE");
  const bool has_wayland_display = wayland_display && wayland_display[0] != '\0';
  const bool wayland =
      has_wayland_display || (session_type && std::string_view(session_type) == "wayland");
  // QApplication aborts without a display; ask first.
  const char* display = std::getenv("DISPLAY");
  auto input = std::make_unique<RemoteInput>();
  std::unique_ptr<X11Desktop> desktop;
  if (display && display[0] != '\0') {
    std::string open_error;
    desktop = X11Desktop::Open(nullptr, &input->Stop().Flag(), &open_error);
    if (!desktop) {
      if (error) *error = open_error.empty() ? "cannot open the X display" : open_error;
      return nullptr;
    }
    // The X display is the one this program works on, whatever session
    // type the desktop announces.
    qputenv("QT_QPA_PLATFORM", "xcb");
  } else if (has_wayland_display) {
    // No Xwayland: the dialogs still reach the user through Wayland.
    qputenv("QT_QPA_PLATFORM", "wayland");
  } else {
    if (error) *error = "no display (neither DISPLAY nor WAYLAND_DISPLAY is set)";
    return nullptr;
  }
  InitPlatformResources();
  QApplication::setApplicationName(QStringLiteral("MorrowvaneHelper"));
  QApplication::setApplicationDisplayName(QStringLiteral("Morrowvane Remote Control Helper"));
  QApplication::setDesktopFileName(QStringLiteral("com.morrowvane.Helper"));
  auto app = std::make_unique<QApplication>(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setWindowIcon(AppIcon());
  return std::make_unique<LinuxPlatform>(std::move(arguments), std::move(input),
                                         std::move(desktop), std::move(app), wayland);
}

}  // namespace mv
