// The application delegate over the recording fake platform and a scripted
// session client: launch paths, consent, handshake, poll loop and teardown.
#include "app/AppDelegate.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/KeyCodes.h"
#include "platform/fake/FakePlatform.h"
#include "transport/AgentMessage.h"
#include "transport/Json.h"

namespace mv {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kGoodUrl[] = "morrowvanenativehost://test.morrowvane.com/abc123";
constexpr char kOtherGoodUrl[] = "morrowvanenativehost://eu.morrowvane.com/fed42";
constexpr char kOffListUrl[] = "morrowvanenativehost://evil.example/abc123";

// A session client that answers from a script and records what it was asked.
class ScriptedClient final : public SessionClient {
 public:
  struct PollAnswer {
    int code;
    std::string batch;
  };

  explicit ScriptedClient(FakePlatform& platform) : platform_(platform) {}

  bool initSession(const std::string& session_id) override {
    events.push_back("initSession " + session_id);
    return handshake_ok;
  }
  int poll(PollBatch* batch) override {
    events.push_back("poll");
    if (before_poll) before_poll(poll_count);
    ++poll_count;
    if (answers.empty()) return kPollClosed;
    PollAnswer answer = answers.front();
    answers.pop_front();
    if (answer.code == kPollBatch && batch) {
      batch->text = answer.batch;
      ParseJson(answer.batch, batch->doc);
    }
    return answer.code;
  }
  void close() override {
    events.push_back("close");
    for (const auto& hot_key : platform_.hot_keys) {
      if (hot_key.registered) hot_key_registered_at_close = true;
    }
  }
  void abortRequests() override { events.push_back("abort"); }
  void postBodyAsync(const std::string& body) override { posted.push_back(body); }

  bool handshake_ok = true;
  std::deque<PollAnswer> answers;  // none left: the server closed
  std::function<void(int)> before_poll;
  std::vector<std::string> events;
  std::vector<std::string> posted;
  int poll_count = 0;
  bool hot_key_registered_at_close = false;

 private:
  FakePlatform& platform_;
};

std::string Batch(const std::vector<std::string>& payloads) {
  std::string text = R"({"messages":[)";
  for (size_t i = 0; i < payloads.size(); ++i) {
    if (i > 0) text += ",";
    text += R"({"payload":)" + payloads[i] + "}";
  }
  return text + "]}";
}

std::string MessageBox(const std::string& caption) {
  return R"({"cmd":"messagebox","caption":")" + caption + R"(","text":"t"})";
}

constexpr char kVersionReply[] =
    R"({"message":"nh_to_agent","payload":{"cmd":"version","result":"ok","version":"1.1"}})";

class AppDelegateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Keep the log file out of the user's home.
    state_dir_ = std::filesystem::temp_directory_path() /
                 ("mv-app-test-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(state_dir_);
    setenv("XDG_STATE_HOME", state_dir_.c_str(), 1);
    SetCurrentPlatform(&platform_);
    client_ = std::make_shared<ScriptedClient>(platform_);
    delegate_ = std::make_unique<AppDelegate>([this](const std::string& server) {
      clients_made_for_.push_back(server);
      return client_;
    });
  }
  void TearDown() override {
    delegate_.reset();
    SetAgentConnection(nullptr);
    SetCurrentPlatform(nullptr);
    std::filesystem::remove_all(state_dir_);
  }

  // Lines written through the log, in order.
  std::vector<std::string> Log() const { return platform_.SystemLogLines(); }
  bool Logged(const std::string& line) const {
    const auto lines = Log();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  std::vector<std::string> AlertCaptions() const {
    std::vector<std::string> captions;
    for (const auto& alert : platform_.alerts) captions.push_back(alert.message_text);
    return captions;
  }

  std::filesystem::path state_dir_;
  FakePlatform platform_;
  std::shared_ptr<ScriptedClient> client_;
  std::vector<std::string> clients_made_for_;
  std::unique_ptr<AppDelegate> delegate_;
};

TEST_F(AppDelegateTest, FullSessionFromArgumentLogsInOrderAndDispatchesBatches) {
  platform_.arguments = {"morrowvane-helper", kGoodUrl};
  client_->answers = {{kPollNothing, ""},
                      {kPollBatch, Batch({R"({"cmd":"version"})"})},
                      {kPollNothing, ""},
                      {kPollBatch, Batch({R"({"cmd":"keepalive"})", R"({"cmd":"version"})"})}};

  EXPECT_EQ(platform_.RunApplication(*delegate_), 0);

  EXPECT_THAT(Log(), ElementsAre(
      std::string("MorrowvaneHelper: URL from argv: ") + kGoodUrl,
      "MorrowvaneHelper: parsed server=test.morrowvane.com sessionId=abc123",
      "MorrowvaneHelper: user granted; connecting to test.morrowvane.com",
      "MorrowvaneHelper: initSession ok; entering poll loop",
      "MorrowvaneHelper: session ended: server closed the session",
      "MorrowvaneHelper: poll loop ending (result=3); terminating",
      "MorrowvaneHelper: dispatch cmd=version",
      "MorrowvaneHelper: dispatch cmd=version"));
  EXPECT_THAT(clients_made_for_, ElementsAre("test.morrowvane.com"));
  EXPECT_THAT(client_->posted, ElementsAre(kVersionReply, kVersionReply));
  // Code 1 is polled again at once; the fifth poll finds the server closed.
  EXPECT_EQ(client_->poll_count, 5);
  EXPECT_THAT(client_->events,
              ElementsAre("initSession abc123", "poll", "poll", "poll", "poll", "poll", "close",
                          "abort"));
  EXPECT_EQ(delegate_->longPoll(), client_);
  EXPECT_TRUE(IsLongPolling());
}

TEST_F(AppDelegateTest, ConsentAlertComesAfterActivationWithYesFirst) {
  platform_.arguments = {"morrowvane-helper", kGoodUrl};
  int activations_at_alert = -1;
  platform_.on_alert = [&](const AlertSpec&) { activations_at_alert = platform_.activations; };

  platform_.RunApplication(*delegate_);

  ASSERT_EQ(platform_.alerts.size(), 1u);
  const AlertSpec& consent = platform_.alerts[0];
  EXPECT_EQ(consent.message_text, "Morrowvane Remote Control Helper");
  EXPECT_EQ(consent.informative_text,
            "Do you want to enable remote control in your current screen sharing session?");
  EXPECT_THAT(consent.buttons, ElementsAre("Yes", "No"));
  EXPECT_TRUE(consent.use_app_icon);
  EXPECT_EQ(activations_at_alert, 1);
}

TEST_F(AppDelegateTest, DeclinedConsentCreatesNoClientAndTerminates) {
  platform_.arguments = {"morrowvane-helper", kGoodUrl};
  platform_.alert_answers = {kAlertFirstButtonReturn + 1};

  EXPECT_EQ(platform_.RunApplication(*delegate_), 0);

  EXPECT_EQ(Log().back(), "MorrowvaneHelper: user declined remote control, terminating");
  EXPECT_FALSE(Logged("MorrowvaneHelper: user granted; connecting to test.morrowvane.com"));
  EXPECT_THAT(clients_made_for_, IsEmpty());
  EXPECT_THAT(client_->events, IsEmpty());
  EXPECT_EQ(delegate_->longPoll(), nullptr);
  EXPECT_FALSE(IsLongPolling());
  EXPECT_EQ(platform_.terminate_requests, 1);
}

TEST_F(AppDelegateTest, MissingPermissionPromptsAndOpensSettingsButSessionGoesOn) {
  platform_.arguments = {"morrowvane-helper", kGoodUrl};
  platform_.trusted = false;

  platform_.RunApplication(*delegate_);

  const auto lines = Log();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[2], "MorrowvaneHelper: user granted; connecting to test.morrowvane.com");
  EXPECT_EQ(lines[3], "MorrowvaneHelper: Accessibility not yet granted; prompting now");
  EXPECT_EQ(lines[4], "MorrowvaneHelper: initSession ok; entering poll loop");
  EXPECT_EQ(platform_.prompts, 1);
  EXPECT_EQ(platform_.settings_opened, 1);
  EXPECT_THAT(clients_made_for_, ElementsAre("test.morrowvane.com"));
}

TEST_F(AppDelegateTest, GrantedPermissionNeitherPromptsNorLogs) {
  platform_.arguments = {"morrowvane-helper", kGoodUrl};
  platform_.RunApplication(*delegate_);
  EXPECT_EQ(platform_.prompts, 0);
  EXPECT_EQ(platform_.settings_opened, 0);
  EXPECT_FALSE(Logged("MorrowvaneHelper: Accessibility not yet granted; prompting now"));
}

TEST_F(AppDelegateTest, FailedHandshakeTerminatesWithoutPolling) {
  platform_.arguments = {"morrowvane-helper", kGoodUrl};
  client_->handshake_ok = false;

  EXPECT_EQ(platform_.RunApplication(*delegate_), 0);

  EXPECT_EQ(Log().back(), "MorrowvaneHelper: initSession failed (no token); terminating");
  EXPECT_FALSE(Logged("MorrowvaneHelper: initSession ok; entering poll loop"));
  EXPECT_THAT(client_->events, ElementsAre("initSession abc123", "close", "abort"));
  EXPECT_EQ(platform_.terminate_requests, 1);
}

TEST_F(AppDelegateTest, PollErrorCodeEndsTheLoopWithThatCode) {
  platform_.arguments = {"morrowvane-helper", kGoodUrl};
  client_->answers = {{kPollNothing, ""}, {kPollError, ""}, {kPollBatch, Batch({})}};

  EXPECT_EQ(platform_.RunApplication(*delegate_), 0);

  EXPECT_EQ(Log().back(), "MorrowvaneHelper: poll loop ending (result=2); terminating");
  EXPECT_EQ(client_->poll_count, 2);
  EXPECT_EQ(platform_.terminate_requests, 1);
}

TEST_F(AppDelegateTest, BatchesRunInArrivalOrderAndMessageBoxHoldsBackTheRest) {
  platform_.arguments = {"morrowvane-helper", kGoodUrl};
  client_->answers = {{kPollBatch, Batch({MessageBox("first"), R"({"cmd":"version"})"})},
                      {kPollBatch, Batch({MessageBox("second")})}};
  std::vector<size_t> replies_at_alert;
  platform_.on_alert = [&](const AlertSpec&) { replies_at_alert.push_back(client_->posted.size()); };

  platform_.RunApplication(*delegate_);

  EXPECT_THAT(AlertCaptions(), ElementsAre("Morrowvane Remote Control Helper", "first", "second"));
  // The version reply of the first batch is sent only after its message box
  // closed, and before the second batch's box opens.
  EXPECT_THAT(replies_at_alert, ElementsAre(0u, 0u, 1u));
}

TEST_F(AppDelegateTest, PollingPausesWhileTooMuchBatchTextWaitsForTheMainThread) {
  // A cap one batch exceeds: each poll waits until the batch before it has run.
  delegate_ = std::make_unique<AppDelegate>([this](const std::string&) { return client_; }, 1);
  platform_.arguments = {"morrowvane-helper", kGoodUrl};
  client_->answers.assign(3, {kPollBatch, Batch({R"({"cmd":"version"})"})});
  std::vector<size_t> waiting_at_poll;
  client_->before_poll = [&](int) { waiting_at_poll.push_back(platform_.PendingMainWork()); };
  delegate_->ApplicationWillFinishLaunching();
  delegate_->ApplicationDidFinishLaunching();
  // The worker on a thread of its own, the main queue served now and then.
  std::atomic<bool> done{false};
  std::thread worker([&] { platform_.RunWorkerItems(); done = true; });
  for (; !done; std::this_thread::sleep_for(std::chrono::milliseconds(1))) platform_.RunMainQueue();
  worker.join();
  platform_.RunMainQueue();
  EXPECT_THAT(waiting_at_poll, ElementsAre(0u, 0u, 0u, 0u));
  EXPECT_THAT(client_->posted, ElementsAre(kVersionReply, kVersionReply, kVersionReply));
}

TEST_F(AppDelegateTest, TeardownReleasesAWorkerPausedBehindWaitingBatches) {
  delegate_ = std::make_unique<AppDelegate>([this](const std::string&) { return client_; }, 1);
  platform_.arguments = {"morrowvane-helper", kGoodUrl};
  client_->answers.assign(2, {kPollBatch, Batch({R"({"cmd":"version"})"})});
  delegate_->ApplicationWillFinishLaunching();
  delegate_->ApplicationDidFinishLaunching();
  std::thread worker([&] { platform_.RunWorkerItems(); });
  while (platform_.PendingMainWork() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  delegate_->ApplicationWillTerminate();  // the first batch never runs
  worker.join();
  EXPECT_THAT(client_->events, ElementsAre("initSession abc123", "poll", "close", "abort"));
}

TEST_F(AppDelegateTest, UnparsableBatchIsSkippedAndTheNextOneRuns) {
  platform_.arguments = {"morrowvane-helper", kGoodUrl};
  client_->answers = {{kPollBatch, R"({"messages":[{"payload":{"cmd":"version"}})"},
                      {kPollBatch, "\xEF\xBB\xBF" + Batch({R"({"cmd":"version"})"})}};

  platform_.RunApplication(*delegate_);

  EXPECT_THAT(client_->posted, ElementsAre(kVersionReply));
  EXPECT_EQ(Log().back(), "MorrowvaneHelper: dispatch cmd=version");
}

TEST_F(AppDelegateTest, TeardownUnregistersTheHotKeyBeforeClosing) {
  platform_.arguments = {"morrowvane-helper", kGoodUrl};
  client_->answers = {{kPollBatch, Batch({R"({"cmd":"initcheck"})"})}};

  platform_.RunApplication(*delegate_);

  ASSERT_EQ(platform_.hot_keys.size(), 1u);
  EXPECT_FALSE(platform_.hot_keys[0].registered);
  EXPECT_FALSE(client_->hot_key_registered_at_close);
  EXPECT_EQ(client_->events.back(), "abort");
  EXPECT_EQ(client_->events[client_->events.size() - 2], "close");
}

TEST_F(AppDelegateTest, StartSessionTwiceShowsOneConsentAlert) {
  platform_.arguments = {"morrowvane-helper", kGoodUrl};
  delegate_->ApplicationWillFinishLaunching();
  delegate_->ApplicationDidFinishLaunching();
  delegate_->startSession();

  EXPECT_TRUE(delegate_->started());
  EXPECT_EQ(platform_.alerts.size(), 1u);
  EXPECT_THAT(clients_made_for_, ElementsAre("test.morrowvane.com"));
}

TEST_F(AppDelegateTest, OpenUrlBeforeLaunchFinishedStartsTheSessionWithoutScanningArguments) {
  platform_.arguments = {"morrowvane-helper", kOtherGoodUrl};
  delegate_->ApplicationWillFinishLaunching();
  platform_.DeliverOpenURL(kGoodUrl);
  EXPECT_FALSE(delegate_->started());
  EXPECT_EQ(delegate_->server(), "test.morrowvane.com");

  delegate_->ApplicationDidFinishLaunching();

  EXPECT_TRUE(delegate_->started());
  EXPECT_THAT(Log(), ElementsAre(std::string("MorrowvaneHelper: GetURL event: ") + kGoodUrl,
                                 "MorrowvaneHelper: parsed server=test.morrowvane.com sessionId=abc123",
                                 "MorrowvaneHelper: user granted; connecting to test.morrowvane.com"));
  EXPECT_THAT(clients_made_for_, ElementsAre("test.morrowvane.com"));
}

// The second link arrives while the consent alert is open (true) or once
// the session runs (false).
class AcceptedUrlLaterTest : public AppDelegateTest, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(Moments, AcceptedUrlLaterTest, ::testing::Bool());

TEST_P(AcceptedUrlLaterTest, ChangesNothingAndIsLogged) {
  const bool during_consent = GetParam();
  platform_.arguments = {"morrowvane-helper", kGoodUrl};
  if (during_consent) {
    platform_.on_alert = [&](const AlertSpec&) { platform_.DeliverOpenURL(kOtherGoodUrl); };
  }
  delegate_->ApplicationWillFinishLaunching();
  delegate_->ApplicationDidFinishLaunching();
  if (!during_consent) platform_.DeliverOpenURL(kOtherGoodUrl);
  platform_.RunWorkerItems();

  EXPECT_EQ(delegate_->server(), "test.morrowvane.com");
  EXPECT_EQ(delegate_->sessionId(), "abc123");
  EXPECT_EQ(platform_.alerts.size(), 1u);
  EXPECT_THAT(clients_made_for_, ElementsAre("test.morrowvane.com"));
  ASSERT_FALSE(client_->events.empty());
  EXPECT_EQ(client_->events[0], "initSession abc123");
  EXPECT_EQ(platform_.terminate_requests, 0);
  EXPECT_TRUE(Logged("MorrowvaneHelper: session already started; ignoring "
                     "server=eu.morrowvane.com sessionId=fed42"));
}

TEST_F(AppDelegateTest, RefusedUrlEventTerminatesAtOnce) {
  delegate_->ApplicationWillFinishLaunching();
  delegate_->ApplicationDidFinishLaunching();
  platform_.DeliverOpenURL("morrowvanenativehost://test.morrowvane.com/XYZ");

  EXPECT_EQ(platform_.terminate_requests, 1);
  EXPECT_THAT(Log(), ElementsAre("MorrowvaneHelper: GetURL event: "
                                 "morrowvanenativehost://test.morrowvane.com/XYZ",
                                 "MorrowvaneHelper: URL rejected, terminating"));
  EXPECT_TRUE(delegate_->server().empty());
}

TEST_F(AppDelegateTest, OffListUrlEventIsLoggedAndTerminatesTheRunningSession) {
  platform_.arguments = {"morrowvane-helper", kGoodUrl};
  client_->before_poll = [&](int count) {
    if (count == 1) platform_.DeliverOpenURL(kOffListUrl);
  };
  client_->answers = {{kPollBatch, Batch({R"({"cmd":"version"})"})},
                      {kPollBatch, Batch({R"({"cmd":"version"})"})}};

  EXPECT_EQ(platform_.RunApplication(*delegate_), 0);

  const auto lines = Log();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "MorrowvaneHelper: server not allowed: evil.example");
  EXPECT_EQ(lines.back(), "MorrowvaneHelper: URL rejected, terminating");
  // The refusal came while the second poll was blocked: that poll's batch is
  // not dispatched and the loop ends without another line or request.
  EXPECT_TRUE(client_->posted.empty());
  EXPECT_EQ(client_->poll_count, 2);
  EXPECT_EQ(delegate_->server(), "test.morrowvane.com");
  EXPECT_THAT(client_->events, ElementsAre("initSession abc123", "poll", "poll", "close", "abort"));
}

TEST_F(AppDelegateTest, RefusedArgumentLeadsToTheBareAlertAfterTheGracePeriod) {
  platform_.arguments = {"morrowvane-helper", "morrowvanenativehost://test.morrowvane.com/",
                         kGoodUrl};
  delegate_->ApplicationWillFinishLaunching();
  delegate_->ApplicationDidFinishLaunching();
  platform_.RunMainQueue();
  platform_.AdvanceTime(std::chrono::milliseconds(499));
  EXPECT_TRUE(platform_.alerts.empty());

  platform_.AdvanceTime(std::chrono::milliseconds(1));

  ASSERT_EQ(platform_.alerts.size(), 1u);
  EXPECT_EQ(platform_.alerts[0].informative_text,
            "Morrowvane Helper is installed. It launches automatically from your browser when "
            "you start remote control.");
  EXPECT_TRUE(platform_.alerts[0].buttons.empty());
  EXPECT_TRUE(platform_.alerts[0].use_app_icon);
  EXPECT_EQ(platform_.activations, 0);
  EXPECT_EQ(platform_.terminate_requests, 1);
  // Only the first argument with the prefix is looked at.
  EXPECT_THAT(Log(), ElementsAre("MorrowvaneHelper: URL from argv: "
                                 "morrowvanenativehost://test.morrowvane.com/"));
  EXPECT_THAT(clients_made_for_, IsEmpty());
}

TEST_F(AppDelegateTest, BareLaunchShowsOneAlertAndQuits) {
  EXPECT_EQ(platform_.RunApplication(*delegate_), 0);
  EXPECT_EQ(platform_.alerts.size(), 1u);
  EXPECT_TRUE(Log().empty());
  EXPECT_EQ(platform_.terminate_requests, 1);
}

TEST_F(AppDelegateTest, UrlEventWithinTheGracePeriodSuppressesTheBareAlert) {
  delegate_->ApplicationWillFinishLaunching();
  delegate_->ApplicationDidFinishLaunching();
  platform_.AdvanceTime(std::chrono::milliseconds(200));
  platform_.DeliverOpenURL(kGoodUrl);
  platform_.AdvanceTime(std::chrono::milliseconds(400));

  EXPECT_THAT(AlertCaptions(), ElementsAre("Morrowvane Remote Control Helper"));
  EXPECT_THAT(platform_.alerts[0].buttons, ElementsAre("Yes", "No"));
  EXPECT_THAT(clients_made_for_, ElementsAre("test.morrowvane.com"));
}

TEST_F(AppDelegateTest, RefusedUrlWhileConsentIsOpenStartsNothing) {
  platform_.arguments = {"morrowvane-helper", kGoodUrl};
  platform_.on_alert = [&](const AlertSpec&) { platform_.DeliverOpenURL(kOffListUrl); };

  EXPECT_EQ(platform_.RunApplication(*delegate_), 0);

  EXPECT_THAT(clients_made_for_, IsEmpty());
  EXPECT_EQ(Log().back(), "MorrowvaneHelper: URL rejected, terminating");
}

TEST_F(AppDelegateTest, RefusedUrlUnderAMessageBoxEndsTheBatchToo) {
  platform_.arguments = {"morrowvane-helper", kGoodUrl};
  client_->answers = {{kPollBatch, Batch({MessageBox("box"), R"({"cmd":"version"})"})}};
  platform_.on_alert = [&](const AlertSpec& alert) {
    if (alert.message_text == "box") platform_.DeliverOpenURL(kOffListUrl);
  };

  EXPECT_EQ(platform_.RunApplication(*delegate_), 0);

  EXPECT_THAT(client_->posted, IsEmpty());
  EXPECT_EQ(Log().back(), "MorrowvaneHelper: URL rejected, terminating");
}

TEST_F(AppDelegateTest, ServerAllowedFollowsTheAllowList) {
  EXPECT_TRUE(AppDelegate::serverAllowed("morrowvane.me"));
  EXPECT_TRUE(AppDelegate::serverAllowed("a.b.morrowvane.com"));
  EXPECT_FALSE(AppDelegate::serverAllowed("morrowvane.com"));
  EXPECT_FALSE(AppDelegate::serverAllowed(""));
  EXPECT_FALSE(delegate_->parseAndValidateURL("MORROWVANENATIVEHOST://test.morrowvane.com/abc"));
  EXPECT_TRUE(delegate_->parseAndValidateURL("morrowvanenativehost://x.morrowvane.com:8443/abC1"));
  EXPECT_EQ(delegate_->server(), "x.morrowvane.com");
  EXPECT_EQ(delegate_->sessionId(), "ab");
}

}  // namespace
}  // namespace mv
