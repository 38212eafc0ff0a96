// The session controller over the recording fake, the fixture playing the
// session client and writing into the same call log: what the end-to-end
// tests cannot easily stage (links at the worst moment, a missing permission,
// the order of teardown, a poll loop held back by batches not run yet).
#include "app/AppDelegate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/fake/FakePlatform.h"
#include "transport/Json.h"

namespace mv {
namespace {

using Lines = std::vector<std::string>;
using Answers = std::deque<std::pair<int, std::string>>;  // none left: the server closed
constexpr char kUrl[] = "morrowvanenativehost://test.morrowvane.com/abc123";
constexpr char kEvilUrl[] = "morrowvanenativehost://test.morrowvane.com.evil.example/abc123";
constexpr char kCaption[] = "Morrowvane Remote Control Helper";
const std::string kConsent = kCaption + std::string(": Do you want to enable remote control in your current "
                                                    "screen sharing session? [Yes] [No]");
const std::string kVersion = R"({"messages":[{"payload":{"cmd":"version"}}]})";
const std::string kVersionPost = R"(post {"message":"nh_to_agent","payload":{"cmd":"version","result":"ok","version":"1.1"}})";

// The calls of a consented launch, then `then`.
Lines Start(const Lines& then) {
  Lines calls = {"activate", "alert " + kConsent, "client test.morrowvane.com", "initSession abc123"};
  calls.insert(calls.end(), then.begin(), then.end());
  return calls;
}

struct Row {
  const char* name;
  Answers answers;
  std::string link;     // if any, delivered while the alert with caption `link_at` is open, or
  std::string link_at;  // when that is empty, 200 ms after a launch without a link or the permission
  Lines calls;
  std::string logged;  // a line the log must hold
};
void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

const Row kRows[] = {
    {"SecondLinkDuringConsentKeepsTheConsentedTarget", {}, "morrowvanenativehost://eu.morrowvane.com/fed42", kCaption,
     Start({"poll", "terminate", "close", "abort"}),
     "MorrowvaneHelper: session already started; ignoring server=eu.morrowvane.com sessionId=fed42"},
    {"RefusedLinkDuringConsentStartsNothing", {}, kEvilUrl, kCaption, {"activate", "alert " + kConsent, "terminate"},
     "MorrowvaneHelper: URL rejected, terminating"},
    {"RefusedLinkUnderAMessageBoxEndsTheSessionAndTheBatch",
     {{kPollBatch, R"({"messages":[{"payload":{"cmd":"messagebox","caption":"box"}},{"payload":{"cmd":"version"}}]})"}},
     kEvilUrl, "box", Start({"poll", "poll", "alert box: ", "terminate", "close", "abort"}),
     "MorrowvaneHelper: URL rejected, terminating"},
    {"WithoutPermissionALinkInTheGracePeriodPromptsAndGoesOn", {}, kUrl, "",
     {"activate", "alert " + kConsent, "prompt", "settings", "client test.morrowvane.com", "initSession abc123", "poll",
      "terminate", "close", "abort"},
     "MorrowvaneHelper: session ended: server closed the session"},
    {"ErrorAnswerEndsThePollLoop", {{kPollNothing, ""}, {kPollError, ""}, {kPollBatch, kVersion}}, "", "",
     Start({"poll", "poll", "terminate", "close", "abort"}), "MorrowvaneHelper: session ended: error answer"},
    {"TeardownReleasesTheHotKeyBeforeTheCloseNoticeCanBlock",
     {{kPollBatch, R"({"messages":[{"payload":{"cmd":"initcheck"}}]})"}}, "", "",
     Start({"poll", "poll", "hot key E 6656",
            R"(post {"message":"nh_to_agent","payload":{"cmd":"initcheck","version":"1.6","result":"ok","hotkey":"E"}})",
            "terminate", "unregister hot key", "close", "abort"}),
     "MorrowvaneHelper: poll loop ending (result=3); terminating"},
};

class AppDelegateTest : public ::testing::TestWithParam<Row>, public SessionClient {
 protected:
  void SetUp() override {
    setenv("XDG_STATE_HOME", state_.c_str(), 1);  // the log stays out of the user's home
    SetCurrentPlatform(&platform_);
    platform_.arguments.push_back(kUrl);
  }
  void TearDown() override {
    delegate_.reset();
    SetCurrentPlatform(nullptr);
    std::filesystem::remove_all(state_);
  }
  void MakeDelegate(size_t cap = AppDelegate::kMaxPendingBatchBytes) {
    delegate_ = std::make_unique<AppDelegate>([this](const std::string& server) {
      platform_.Call("client " + server);
      return std::shared_ptr<SessionClient>(std::shared_ptr<void>(), this);  // not owned
    }, cap);
  }
  bool initSession(const std::string& session_id) override {
    platform_.Call("initSession " + session_id);
    return true;
  }
  int poll(PollBatch* batch) override {
    platform_.Call("poll");
    if (answers_.empty()) return kPollClosed;
    const auto [code, text] = answers_.front();
    answers_.pop_front();
    if (code == kPollBatch) {
      batch->text = text;
      ParseJson(text, batch->doc);
    }
    return code;
  }
  void close() override { platform_.Call("close"); }
  void abortRequests() override { platform_.Call("abort"); }
  void postBodyAsync(const std::string& body) override { platform_.Call("post " + body); }

  std::filesystem::path state_ = std::filesystem::temp_directory_path() / ("mv-app-" + std::to_string(getpid()));
  FakePlatform platform_;
  Answers answers_;
  std::unique_ptr<AppDelegate> delegate_;
};

TEST_P(AppDelegateTest, Launch) {
  const Row& row = GetParam();
  answers_ = row.answers;
  if (!row.link.empty() && row.link_at.empty()) {
    platform_.arguments.pop_back();
    platform_.trusted = false;
    platform_.PostToMainAfter(std::chrono::milliseconds(200), [&] { platform_.DeliverOpenURL(row.link); });
  }
  platform_.on_alert = [&](const AlertSpec& alert) {
    if (!row.link.empty() && alert.message_text == row.link_at) platform_.DeliverOpenURL(row.link);
  };
  MakeDelegate();
  EXPECT_EQ(platform_.RunApplication(*delegate_), 0);
  EXPECT_EQ(platform_.calls, row.calls);
  const Lines log = platform_.SystemLogLines();
  EXPECT_NE(std::find(log.begin(), log.end(), row.logged), log.end()) << ::testing::PrintToString(log);
}
INSTANTIATE_TEST_SUITE_P(Scenarios, AppDelegateTest, ::testing::ValuesIn(kRows),
                         [](const auto& row_info) { return std::string(row_info.param.name); });

TEST_F(AppDelegateTest, PollingWaitsWhileTooMuchBatchTextWaitsForTheMainThread) {
  MakeDelegate(1);  // every batch exceeds it: each poll waits until the batch before it ran
  answers_.assign(3, {kPollBatch, kVersion});
  delegate_->ApplicationWillFinishLaunching();
  delegate_->ApplicationDidFinishLaunching();
  std::atomic<bool> done{false};
  std::jthread worker([&] {
    platform_.RunWorkerItems();
    done = true;
  });
  while (!done) platform_.RunMainQueue();
  worker.join();
  platform_.RunMainQueue();  // the termination the end of the polls asked for
  EXPECT_EQ(platform_.calls,
            Start({"poll", kVersionPost, "poll", kVersionPost, "poll", kVersionPost, "poll", "terminate"}));
}

}  // namespace
}  // namespace mv
