// The application delegate over the recording fake platform and a scripted
// session client: launch paths, consent, handshake, poll loop and teardown.
#include "app/AppDelegate.h"

#include <gmock/gmock.h>

#include <atomic>
#include <deque>
#include <filesystem>
#include <thread>

#include "platform/fake/FakePlatform.h"
#include "transport/AgentMessage.h"
#include "transport/Json.h"

namespace mv {
namespace {

using ::testing::ElementsAre;
using Events = std::vector<std::string>;

constexpr char kGoodUrl[] = "morrowvanenativehost://test.morrowvane.com/abc123";
constexpr char kOtherGoodUrl[] = "morrowvanenativehost://eu.morrowvane.com/fed42";
constexpr char kOffListUrl[] = "morrowvanenativehost://evil.example/abc123";
constexpr char kConsent[] = "Morrowvane Remote Control Helper";
constexpr char kVersionReply[] =
    R"({"message":"nh_to_agent","payload":{"cmd":"version","result":"ok","version":"1.1"}})";
const Events kOnePoll = {"initSession abc123", "poll", "close", "abort"};

// A session client that answers from a script and records what it was asked.
class ScriptedClient final : public SessionClient {
 public:
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
    auto [code, text] = answers.front();
    answers.pop_front();
    if (code == kPollBatch) {
      batch->text = text;
      ParseJson(text, batch->doc);
    }
    return code;
  }
  void close() override {
    events.push_back("close");
    for (const auto& hot_key : platform_.hot_keys) hot_key_registered_at_close |= hot_key.registered;
  }
  void abortRequests() override { events.push_back("abort"); }
  void postBodyAsync(const std::string& body) override { posted.push_back(body); }

  bool handshake_ok = true;
  std::deque<std::pair<int, std::string>> answers;  // none left: the server closed
  std::function<void(int)> before_poll;
  Events events, posted;
  int poll_count = 0;
  bool hot_key_registered_at_close = false;

 private:
  FakePlatform& platform_;
};

std::string Batch(const std::vector<std::string>& payloads) {
  std::string text = R"({"messages":[)";
  for (const auto& p : payloads) text += (text.back() == '[' ? R"({"payload":)" : R"(,{"payload":)") + p + "}";
  return text + "]}";
}
const std::string kVersion = Batch({R"({"cmd":"version"})"});
std::string Box(const std::string& caption) { return R"({"cmd":"messagebox","caption":")" + caption + R"("})"; }

// One launch: the arguments, what the client and platform are scripted to do,
// and what must come of it.
struct Scenario {
  const char* name;
  std::vector<std::string> args;
  std::function<void(FakePlatform&, ScriptedClient&)> script;
  std::string last_log;  // empty: nothing logged
  Events events;
  size_t replies;
  Events alerts;
  std::function<void(FakePlatform&, ScriptedClient&)> check;
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

const Scenario kScenarios[] = {
    {"ArgumentSessionDispatchesBatchesInOrder", {kGoodUrl},
     [](FakePlatform&, ScriptedClient& c) {
       c.answers = {{kPollNothing, ""}, {kPollBatch, kVersion}, {kPollNothing, ""},
                    {kPollBatch, Batch({R"({"cmd":"keepalive"})", R"({"cmd":"version"})"})}};
     },
     "MorrowvaneHelper: dispatch cmd=version",
     {"initSession abc123", "poll", "poll", "poll", "poll", "poll", "close", "abort"}, 2, {kConsent},
     [](FakePlatform& p, ScriptedClient& c) {
       EXPECT_THAT(p.alerts[0].buttons, ElementsAre("Yes", "No"));
       EXPECT_EQ(c.posted, Events(2, kVersionReply));
       EXPECT_EQ(p.activations, 1);
       EXPECT_EQ(p.prompts, 0);
     }},
    {"OpenUrlWithinTheGracePeriodWithoutPermissionPromptsAndGoesOn", {},
     [](FakePlatform& p, ScriptedClient&) {
       p.trusted = false;
       p.PostToMainAfter(std::chrono::milliseconds(200), [&p] { p.DeliverOpenURL(kGoodUrl); });
     },
     "MorrowvaneHelper: poll loop ending (result=3); terminating", kOnePoll, 0, {kConsent},
     [](FakePlatform& p, ScriptedClient&) {
       EXPECT_EQ(p.SystemLogLines().at(3), "MorrowvaneHelper: Accessibility not yet granted; prompting now");
       EXPECT_EQ(p.prompts, 1);
       EXPECT_EQ(p.settings_opened, 1);
     }},
    {"BareLaunchShowsTheInformationAlert", {}, nullptr, "", {}, 0, {kConsent},
     [](FakePlatform& p, ScriptedClient&) { EXPECT_TRUE(p.alerts[0].buttons.empty()); }},
    {"RefusedArgumentLeadsToTheBareAlert", {"morrowvanenativehost://test.morrowvane.com/", kGoodUrl}, nullptr,
     "MorrowvaneHelper: URL from argv: morrowvanenativehost://test.morrowvane.com/", {}, 0, {kConsent},
     [](FakePlatform& p, ScriptedClient&) { EXPECT_TRUE(p.alerts[0].buttons.empty()); }},
    {"DeclinedConsentMakesNoRequest", {kGoodUrl},
     [](FakePlatform& p, ScriptedClient&) { p.alert_answers = {kAlertFirstButtonReturn + 1}; },
     "MorrowvaneHelper: user declined remote control, terminating", {}, 0, {kConsent}, nullptr},
    {"FailedHandshakeEndsWithoutPolling", {kGoodUrl}, [](FakePlatform&, ScriptedClient& c) { c.handshake_ok = false; },
     "MorrowvaneHelper: initSession failed (no token); terminating", {"initSession abc123", "close", "abort"}, 0,
     {kConsent}, nullptr},
    {"PollErrorEndsTheLoop", {kGoodUrl},
     [](FakePlatform&, ScriptedClient& c) { c.answers = {{kPollNothing, ""}, {kPollError, ""}, {kPollBatch, kVersion}}; },
     "MorrowvaneHelper: poll loop ending (result=2); terminating", {"initSession abc123", "poll", "poll", "close", "abort"},
     0, {kConsent}, nullptr},
    {"UnparsableBatchIsSkipped", {kGoodUrl},
     [](FakePlatform&, ScriptedClient& c) {
       c.answers = {{kPollBatch, R"({"messages":[{"payload":{"cmd":"version"}})"}, {kPollBatch, "\xEF\xBB\xBF" + kVersion}};
     },
     "MorrowvaneHelper: dispatch cmd=version", {"initSession abc123", "poll", "poll", "poll", "close", "abort"}, 1,
     {kConsent}, nullptr},
    {"MessageBoxHoldsBackItsBatchAndTheNext", {kGoodUrl},
     [](FakePlatform& p, ScriptedClient& c) {
       c.answers = {{kPollBatch, Batch({Box("first"), R"({"cmd":"version"})"})}, {kPollBatch, Batch({Box("second")})}};
       p.on_alert = [&](const AlertSpec& a) {
         if (a.message_text == "second") { EXPECT_EQ(c.posted.size(), 1u); }
       };
     },
     "MorrowvaneHelper: dispatch cmd=messagebox", {"initSession abc123", "poll", "poll", "poll", "close", "abort"}, 1,
     {kConsent, "first", "second"},
     [](FakePlatform& p, ScriptedClient&) { EXPECT_EQ(p.SystemLogLines().end()[-3], "MorrowvaneHelper: dispatch cmd=messagebox"); }},
    {"RefusedUrlUnderAMessageBoxEndsTheSessionAndTheBatch", {kGoodUrl},
     [](FakePlatform& p, ScriptedClient& c) {
       c.answers = {{kPollBatch, Batch({Box("box"), R"({"cmd":"version"})"})}};
       p.on_alert = [&p](const AlertSpec& a) { if (a.message_text == "box") p.DeliverOpenURL(kOffListUrl); };
     },
     "MorrowvaneHelper: URL rejected, terminating", {"initSession abc123", "poll", "poll", "close", "abort"}, 0,
     {kConsent, "box"}, nullptr},
    {"RefusedUrlDuringConsentStartsNothing", {kGoodUrl},
     [](FakePlatform& p, ScriptedClient&) { p.on_alert = [&p](const AlertSpec&) { p.DeliverOpenURL(kOffListUrl); }; },
     "MorrowvaneHelper: URL rejected, terminating", {}, 0, {kConsent}, nullptr},
    {"SecondLinkDuringConsentKeepsTheConsentedTarget", {kGoodUrl},
     [](FakePlatform& p, ScriptedClient&) { p.on_alert = [&p](const AlertSpec&) { p.DeliverOpenURL(kOtherGoodUrl); }; },
     "MorrowvaneHelper: poll loop ending (result=3); terminating", kOnePoll, 0, {kConsent},
     [](FakePlatform& p, ScriptedClient&) {
       EXPECT_EQ(p.SystemLogLines().at(3),
                 "MorrowvaneHelper: session already started; ignoring server=eu.morrowvane.com sessionId=fed42");
     }},
    {"TeardownUnregistersTheHotKeyBeforeClosing", {kGoodUrl},
     [](FakePlatform&, ScriptedClient& c) { c.answers = {{kPollBatch, Batch({R"({"cmd":"initcheck"})"})}}; },
     "MorrowvaneHelper: quit hot key registered: Control+Alt+Shift+E", {"initSession abc123", "poll", "poll", "close", "abort"}, 1,
     {kConsent},
     [](FakePlatform& p, ScriptedClient& c) {
       EXPECT_FALSE(p.hot_keys.at(0).registered);
       EXPECT_FALSE(c.hot_key_registered_at_close);
     }},
};

class AppDelegateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Keep the log file out of the user's home.
    state_dir_ = std::filesystem::temp_directory_path() / ("mv-app-test-" + std::to_string(::getpid()));
    setenv("XDG_STATE_HOME", state_dir_.c_str(), 1);
    SetCurrentPlatform(&platform_);
  }
  void TearDown() override {
    delegate_.reset();
    SetAgentConnection(nullptr);
    SetCurrentPlatform(nullptr);
    std::filesystem::remove_all(state_dir_);
  }
  void MakeDelegate(size_t cap = 0) {
    auto factory = [this](const std::string& server) {
      clients_made_for_.push_back(server);
      return client_;
    };
    delegate_ = cap ? std::make_unique<AppDelegate>(factory, cap) : std::make_unique<AppDelegate>(factory);
  }

  std::filesystem::path state_dir_;
  FakePlatform platform_;
  std::shared_ptr<ScriptedClient> client_ = std::make_shared<ScriptedClient>(platform_);
  Events clients_made_for_;
  std::unique_ptr<AppDelegate> delegate_;
};

class SessionTest : public AppDelegateTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(SessionTest, Launch) {
  const Scenario& s = GetParam();
  platform_.arguments.insert(platform_.arguments.end(), s.args.begin(), s.args.end());
  if (s.script) s.script(platform_, *client_);
  std::vector<std::string> captions;
  auto on_alert = platform_.on_alert;
  platform_.on_alert = [&](const AlertSpec& a) {
    captions.push_back(a.message_text);
    if (on_alert) on_alert(a);
  };
  MakeDelegate();
  EXPECT_EQ(platform_.RunApplication(*delegate_), 0);
  const auto log = platform_.SystemLogLines();
  EXPECT_EQ(log.empty() ? "" : log.back(), s.last_log);
  EXPECT_EQ(client_->events, s.events);
  EXPECT_EQ(client_->posted.size(), s.replies);
  EXPECT_EQ(captions, s.alerts);
  EXPECT_EQ(platform_.terminate_requests, 1);
  EXPECT_EQ(clients_made_for_, s.events.empty() ? Events{} : Events{"test.morrowvane.com"});
  if (s.check) s.check(platform_, *client_);
}
INSTANTIATE_TEST_SUITE_P(Scenarios, SessionTest, ::testing::ValuesIn(kScenarios),
                         [](const auto& row_info) { return std::string(row_info.param.name); });

TEST_F(AppDelegateTest, PollingPausesWhileTooMuchBatchTextWaitsForTheMainThread) {
  MakeDelegate(1);  // a cap one batch exceeds: each poll waits for the batch before it
  platform_.arguments.push_back(kGoodUrl);
  client_->answers.assign(3, {kPollBatch, kVersion});
  std::vector<size_t> waiting_at_poll;
  client_->before_poll = [&](int) { waiting_at_poll.push_back(platform_.PendingMainWork()); };
  delegate_->ApplicationWillFinishLaunching();
  delegate_->ApplicationDidFinishLaunching();
  std::atomic<bool> done{false};
  std::thread worker([&] { platform_.RunWorkerItems(); done = true; });
  for (; !done; std::this_thread::sleep_for(std::chrono::milliseconds(1))) platform_.RunMainQueue();
  worker.join();
  platform_.RunMainQueue();
  EXPECT_THAT(waiting_at_poll, ElementsAre(0u, 0u, 0u, 0u));
  EXPECT_EQ(client_->posted, Events(3, kVersionReply));
}

}  // namespace
}  // namespace mv
