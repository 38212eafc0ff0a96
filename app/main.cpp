// morrowvane-helper: started by the browser with a launch URL, it lets the
// remote side of a screen-sharing session drive this desktop's pointer and
// keyboard once the user has agreed.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "app/AppDelegate.h"
#include "base/Log.h"
#include "commands/ControlStatus.h"
#include "platform/Platform.h"
#include "platform/linux/LinuxPlatform.h"
#include "screen/BorderOverlay.h"
#include "screen/DetectWindows.h"
#include "transport/LongPoll.h"

namespace {

constexpr char kHelpText[] =
    "Usage: morrowvane-helper [morrowvanenativehost://<server>/<session>]\n"
    "       morrowvane-helper --version | --help\n"
    "\n"
    "Morrowvane Remote Control Helper lets the remote participant of a browser\n"
    "screen-sharing session control this desktop's mouse and keyboard, after you\n"
    "have agreed in a dialog. Your browser starts it through the\n"
    "morrowvanenativehost: link of the sharing page; one instance runs per desktop\n"
    "session, and a later launch hands its link to the running one.\n"
    "\n"
    "Press Control+Alt+Shift with the letter the session announces to stop remote\n"
    "input at once.\n";

// Turns SIGINT and SIGTERM into an orderly termination on the main thread,
// also while a dialog is open; a second one ends the program at once, even
// in the middle of that termination. The signals are blocked in every
// thread and taken by sigwait here, so no code runs in a signal handler.
class SignalWatcher {
 public:
  SignalWatcher() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    // Before any other thread exists, so that they all inherit the mask.
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    thread_ = std::thread([this] { Watch(); });
  }
  ~SignalWatcher() { Stop(); }
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

  // From here on a signal asks the platform to terminate.
  void Arm(mv::Platform* platform) { platform_ = platform; }
  // Ends the watcher; later signals stay blocked until the process exits.
  void Stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
  }

 private:
  void Watch() {
    bool asked = false;
    for (;;) {
      int signal = 0;
      if (sigwait(&signals_, &signal) != 0) continue;
      if (stopping_) return;
      if (asked) std::_Exit(128 + signal);
      if (mv::Platform* platform = platform_.load()) {
        // Input stops here and now; the teardown follows on the main thread.
        platform->StopInput();
        platform->RequestTermination();
        asked = true;
      }
    }
  }

  sigset_t signals_;
  std::atomic<bool> stopping_{false};
  std::atomic<mv::Platform*> platform_{nullptr};
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("morrowvane-helper %s\n", MV_VERSION);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kHelpText, stdout);
    return 0;
  }

  SignalWatcher signal_watcher;
  // The delegate outlives the platform: the platform joins the worker thread
  // that runs the delegate's poll loop when it is destroyed.
  mv::AppDelegate delegate([](const std::string& server) -> std::shared_ptr<mv::SessionClient> {
    return std::make_shared<mv::LongPoll>(server);
  });

  mv::SetDiagnosticLog([](std::string_view line) { mv::MVLogWrite(line); });
  std::string error;
  std::unique_ptr<mv::Platform> platform = mv::CreateLinuxPlatform(argc, argv, &error);
  if (!platform) {
    std::fprintf(stderr, "morrowvane-helper: %s\n", error.c_str());
    mv::MVLogWrite("MorrowvaneHelper: cannot start: " + error);
    return 1;
  }
  mv::SetCurrentPlatform(platform.get());
  signal_watcher.Arm(platform.get());
  const int status = platform->RunApplication(delegate);
  signal_watcher.Stop();  // it must not reach the platform once that is gone
  // The overlays are the desktop's windows: they go before the desktop does.
  mv::HideBorderWindow();
  mv::HideDetectWindows();
  mv::ShowControlEnded();
  // The workers have ended; dropping the client ends its reply thread, which
  // logs through the platform. Nothing uses the platform after this.
  delegate.setLongPoll(nullptr);
  mv::SetCurrentPlatform(nullptr);
  platform.reset();
  return status;
}
