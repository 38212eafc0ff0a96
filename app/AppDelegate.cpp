#include "app/AppDelegate.h"

#include <chrono>
#include <utility>
#include <vector>

#include <rapidjson/document.h>

#include "input/Accessibility.h"
#include "app/LaunchUrl.h"
#include "base/Log.h"
#include "commands/ControlStatus.h"
#include "commands/Dispatcher.h"
#include "commands/QuitHotKey.h"
#include "transport/AgentMessage.h"

namespace mv {
namespace {

constexpr std::chrono::nanoseconds kBareLaunchGracePeriod{500'000'000};
constexpr const char* kAlertMessageText = "Morrowvane Remote Control Helper";
constexpr const char* kBareLaunchText =
    "Morrowvane Helper is installed. It launches automatically from your browser when you "
    "start remote control.";
constexpr const char* kConsentText =
    "Do you want to enable remote control in your current screen sharing session?";
// How long a batch runs before the event loop serves the user's controls
// (the status icon's menu, D-Bus, signals) and the batch goes on.
constexpr std::chrono::milliseconds kBatchSlice{20};
constexpr std::chrono::milliseconds kReplyDrainPause{50};

}  // namespace

AppDelegate::AppDelegate(ClientFactory make_client, size_t max_pending_batch_bytes)
    : make_client_(std::move(make_client)), max_pending_batch_bytes_(max_pending_batch_bytes) {}

AppDelegate::~AppDelegate() {
  // SendToAgent must not reach a client that is gone.
  if (_longPoll) SetAgentConnection(nullptr);
}

void AppDelegate::ApplicationWillFinishLaunching() {
  CurrentPlatform()->SetOpenURLHandler([this](const std::string& url) { handleGetURLEvent(url); });
}

void AppDelegate::ApplicationDidFinishLaunching() {
  _didFinishLaunching = true;
  if (!_server.empty()) {
    startSession();
    return;
  }
  for (const std::string& argument : CurrentPlatform()->ProcessArguments()) {
    if (argument.starts_with(kLaunchUrlPrefix)) {
      MVLogWrite("MorrowvaneHelper: URL from argv: " + argument);
      parseAndValidateURL(argument);
      break;
    }
  }
  if (!_server.empty()) {
    startSession();
    return;
  }
  CurrentPlatform()->PostToMainAfter(kBareLaunchGracePeriod, [this] {
    if (!_started && !terminating_) showBareLaunchInfoAndQuit();
  });
}

void AppDelegate::handleGetURLEvent(const std::string& url) {
  MVLogWrite("MorrowvaneHelper: GetURL event: " + url);
  if (!parseAndValidateURL(url)) {
    // Any web page can fire a link: it must not end a session the user
    // agreed to.
    if (_consented) {
      MVLogWrite("MorrowvaneHelper: URL rejected; the running session goes on");
      return;
    }
    MVLogWrite("MorrowvaneHelper: URL rejected, terminating");
    requestTermination();
    return;
  }
  if (_didFinishLaunching) startSession();
}

bool AppDelegate::parseAndValidateURL(const std::string& url) {
  std::optional<LaunchTarget> target = parseLaunchURL(url);
  if (!target) return false;
  // The user answers for the link the consent alert was shown for: a later
  // one, which any web page or local program can fire, must not take over
  // that consent or the running session.
  if (_started) {
    MVLogWrite("MorrowvaneHelper: session already started; ignoring server=" + target->server +
               " sessionId=" + target->session_id);
    return true;
  }
  _server = std::move(target->server);
  _sessionId = std::move(target->session_id);
  MVLogWrite("MorrowvaneHelper: parsed server=" + _server + " sessionId=" + _sessionId);
  return true;
}

bool AppDelegate::serverAllowed(std::string_view host) { return mv::serverAllowed(host); }

void AppDelegate::startSession() {
  if (_started) return;
  _started = true;

  Platform* platform = CurrentPlatform();
  platform->ActivateIgnoringOtherApps();
  AlertSpec consent;
  consent.message_text = kAlertMessageText;
  consent.informative_text = std::string(kConsentText) + "\n\nServer: " + _server;
  consent.buttons = {"Yes", "No"};
  consent.use_app_icon = true;
  consent.guard_stray_input = true;
  const int response = platform->RunModalAlert(consent);
  // A refused open-URL event may have ended the program while the alert was
  // open; nothing may start then.
  if (terminating_) return;
  if (response != kAlertFirstButtonReturn) {
    MVLogWrite("MorrowvaneHelper: user declined remote control, terminating");
    requestTermination();
    return;
  }
  MVLogWrite("MorrowvaneHelper: user granted; connecting to " + _server);
  _consented = true;
  SetControllingServer(_server);

  if (!IsAccessibilityTrusted()) {
    MVLogWrite("MorrowvaneHelper: Accessibility not yet granted; prompting now");
    PromptAccessibilityIfNeeded();
    OpenAccessibilitySettings();
  }

  setLongPoll(make_client_(_server));
  platform->RunOnWorkerThread([this, session_id = _sessionId] { runHandshake(session_id); });
}

void AppDelegate::runHandshake(const std::string& session_id) {
  const bool ok = longPoll()->initSession(session_id);
  if (terminating_) return;
  if (!ok) {
    MVLogWrite("MorrowvaneHelper: initSession failed (no token); terminating");
    CurrentPlatform()->PostToMain([this] { requestTermination(); });
    return;
  }
  MVLogWrite("MorrowvaneHelper: initSession ok; entering poll loop");
  runPollLoop();
}

void AppDelegate::runPollLoop() {
  int code = kPollNothing;
  for (;;) {
    {
      std::unique_lock lock(pending_mutex_);
      pending_drained_.wait(lock, [this] {
        return pending_batch_bytes_ <= max_pending_batch_bytes_ || terminating_;
      });
      if (terminating_) return;
    }
    const std::shared_ptr<SessionClient> client = longPoll();
    auto batch = std::make_shared<PollBatch>();
    code = client->poll(batch.get());
    // Teardown has begun (and may have cut this poll short): the process is
    // ending, so neither the batch nor the poll's end is worth reporting.
    if (terminating_) return;
    if (code == kPollNothing) continue;
    if (code != kPollBatch) break;
    // Its parsed document holds several times its text.
    const size_t bytes = batch->text.capacity() + batch->doc.GetAllocator().Capacity();
    {
      std::lock_guard lock(pending_mutex_);
      pending_batch_bytes_ += bytes;
    }
    CurrentPlatform()->PostToMain(
        [this, bytes, batch = std::move(batch)] { runBatch(batch, 0, bytes); });
  }
  const char* reason = code == kPollError                   ? "error answer"
                       : longPoll()->lastPollTransportFailed() ? "transport failed"
                                                             : "server closed the session";
  MVLogWrite(std::string("MorrowvaneHelper: session ended: ") + reason);
  MVLogWrite("MorrowvaneHelper: poll loop ending (result=" + std::to_string(code) +
             "); terminating");
  CurrentPlatform()->PostToMain([this] { requestTermination(); });
}

void AppDelegate::runBatch(const std::shared_ptr<PollBatch>& batch, size_t first, size_t bytes) {
  if (terminating_) {
    batchDone(bytes);
    return;
  }
  // While the replies are past their cap (polling waits then too), the batch
  // waits for them to drain, a pause at a time.
  const std::shared_ptr<SessionClient> client = longPoll();
  const bool backed_up = client && client->repliesBackedUp();
  const std::optional<size_t> next =
      backed_up ? first
                : DispatchMultiInput(batch->doc, first, std::chrono::steady_clock::now() + kBatchSlice);
  if (!next) {
    batchDone(bytes);
    return;
  }
  // Ahead of later batches, once the loop has served what waits.
  CurrentPlatform()->ContinueOnMain(backed_up ? kReplyDrainPause : std::chrono::milliseconds(0),
                                    [this, batch, at = *next, bytes] { runBatch(batch, at, bytes); });
}

void AppDelegate::batchDone(size_t bytes) {
  {
    std::lock_guard lock(pending_mutex_);
    pending_batch_bytes_ -= bytes;
  }
  pending_drained_.notify_one();
}

void AppDelegate::showBareLaunchInfoAndQuit() {
  AlertSpec info;
  info.message_text = kAlertMessageText;
  info.informative_text = kBareLaunchText;
  info.use_app_icon = true;
  CurrentPlatform()->RunModalAlert(info);
  requestTermination();
}

void AppDelegate::ApplicationWillTerminate() {
  terminating_ = true;
  {
    // A worker between its check of the flag and its wait sees it now.
    std::lock_guard lock(pending_mutex_);
  }
  pending_drained_.notify_all();
  UnregisterQuitHotkey();
  ShowControlEnded();
  if (const std::shared_ptr<SessionClient> client = longPoll()) {
    client->close();
    // A poll blocked on the worker would otherwise hold the process until the
    // server answers or the idle limit ends it.
    client->abortRequests();
  }
}

void AppDelegate::setLongPoll(std::shared_ptr<SessionClient> client) {
  _longPoll = std::move(client);
  SetAgentConnection(_longPoll.get());
}

void AppDelegate::requestTermination() { CurrentPlatform()->Terminate(); }

}  // namespace mv
