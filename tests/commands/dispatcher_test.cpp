// The batch walk, the command table and the reply rules.
#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/Log.h"
#include "tests/support/CoreTest.h"

namespace mv::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class DispatcherTest : public CoreTest {};

TEST_F(DispatcherTest, SkipsMalformedElementsAndKeepsGoing) {
  Dispatch(R"({"messages":[1,"x",{"other":2},{"payload":{"cmd":"version"}}]})");
  EXPECT_THAT(SentPayloads(), ElementsAre(R"({"cmd":"version","result":"ok","version":"1.1"})"));
}

TEST_F(DispatcherTest, IgnoresBatchesWithoutAMessageArray) {
  for (const char* batch : {R"({"messages":[]})", R"({"messages":{}})", R"({"messages":null})",
                            R"({"other":[{"payload":{"cmd":"version"}}]})", "[1,2]", "\"x\""}) {
    Dispatch(batch);
  }
  EXPECT_THAT(SentPayloads(), IsEmpty());
}

TEST_F(DispatcherTest, PayloadThatIsNoCommandGetsTheErrorReplyWithEmptyName) {
  Dispatch(R"({"messages":[{"payload":"version"},{"payload":{}},{"payload":{"cmd":7}},{"payload":null}]})");
  const std::string error = R"({"cmd":"","result":"error","detail":"Unknown command."})";
  EXPECT_THAT(SentPayloads(), ElementsAre(error, error, error, error));
}

TEST_F(DispatcherTest, NamesMatchExactly) {
  Command(R"({"cmd":"Version"})");
  Command(R"({"cmd":"version "})");
  EXPECT_THAT(SentPayloads(),
              ElementsAre(R"({"cmd":"Version","result":"error","detail":"Unknown command."})",
                          R"({"cmd":"version ","result":"error","detail":"Unknown command."})"));
}

TEST_F(DispatcherTest, SilentCommandsSendNothing) {
  OpenGate();
  Dispatch(R"({"messages":[
    {"payload":{"cmd":"keepalive"}},
    {"payload":{"cmd":"mouseevent","x":1,"y":2}},
    {"payload":{"cmd":"keyboardchar","key":"a"}},
    {"payload":{"cmd":"keyboardevent","event":"Return"}},
    {"payload":{"cmd":"clearclipboard"}},
    {"payload":{"cmd":"showborderabs","x":0,"y":0,"w":10,"h":10}},
    {"payload":{"cmd":"showborderrel","x":0,"y":0,"w":10,"h":10}},
    {"payload":{"cmd":"hideborder"}},
    {"payload":{"cmd":"messagebox"}}]})");
  EXPECT_THAT(SentPayloads(), IsEmpty());
  EXPECT_EQ(platform.mouse_events.size(), 1u);
  EXPECT_EQ(platform.keyboard_events.size(), 4u);
  EXPECT_EQ(platform.clipboard_clears, 1);
  EXPECT_EQ(platform.alerts.size(), 1u);
}

TEST_F(DispatcherTest, RepliesAndDialogsWaitForTheInputBeforeThem) {
  OpenGate();
  std::vector<size_t> flushes_at_alert;
  platform.on_alert = [&](const AlertSpec&) { flushes_at_alert = platform.input_flushes; };
  Dispatch(R"({"messages":[
    {"payload":{"cmd":"mouseevent","x":1,"y":2,"event":"lc"}},
    {"payload":{"cmd":"keyboardchar","key":"a"}},
    {"payload":{"cmd":"version"}},
    {"payload":{"cmd":"keyboardevent","event":"Return"}},
    {"payload":{"cmd":"messagebox"}},
    {"payload":{"cmd":"mouseevent","x":3,"y":4}}]})");
  // Input commands run back to back; everything else, and the batch's end,
  // waits for what was posted before it.
  EXPECT_THAT(flushes_at_alert, ElementsAre(5u, 7u));
  EXPECT_THAT(platform.input_flushes, ElementsAre(5u, 7u, 8u));
}

TEST_F(DispatcherTest, QuitClosesTheGateHidesTheBorderAndAnswers) {
  OpenGate();
  Command(R"({"cmd":"showborderabs","x":10,"y":10,"w":100,"h":100})");
  ASSERT_TRUE(IsBorderShown());
  Command(R"({"cmd":"quit"})");
  EXPECT_FALSE(g_is_accepting_input);
  EXPECT_FALSE(IsBorderShown());
  EXPECT_THAT(SentPayloads(), ElementsAre(R"({"cmd":"quit","result":"ok"})"));
  Command(R"({"cmd":"mouseevent","x":5,"y":5,"event":"lc"})");
  EXPECT_THAT(platform.mouse_events, IsEmpty());
}

TEST_F(DispatcherTest, MessageBoxHoldsBackTheRestOfTheBatch) {
  std::vector<size_t> replies_while_open;
  platform.on_alert = [&](const AlertSpec& alert) {
    replies_while_open.push_back(connection.bodies().size());
    EXPECT_EQ(alert.message_text, "Caption");
    EXPECT_EQ(alert.informative_text, "Body text");
    EXPECT_THAT(alert.buttons, IsEmpty());
    EXPECT_FALSE(alert.use_app_icon);
  };
  Dispatch(R"({"messages":[{"payload":{"cmd":"messagebox","caption":"Caption","text":"Body text"}},
                           {"payload":{"cmd":"version"}}]})");
  EXPECT_THAT(replies_while_open, ElementsAre(0u));
  EXPECT_EQ(SentPayloads().size(), 1u);
}

TEST_F(DispatcherTest, MessageBoxWithoutTextsShowsEmptyTexts) {
  Command(R"({"cmd":"messagebox","caption":5})");
  ASSERT_EQ(platform.alerts.size(), 1u);
  EXPECT_EQ(platform.alerts[0].message_text, "");
  EXPECT_EQ(platform.alerts[0].informative_text, "");
}

TEST_F(DispatcherTest, RepliesAreDroppedWithoutAConnectionButActionsRun) {
  SetAgentConnection(nullptr);
  Command(R"({"cmd":"detectmonitors"})");
  EXPECT_EQ(platform.LiveWindows().size(), 1u);
  EXPECT_THAT(connection.bodies(), IsEmpty());
}

class DispatcherLogTest : public DispatcherTest {
 protected:
  void SetUp() override {
    DispatcherTest::SetUp();
    char pattern[] = "/tmp/mv-log-XXXXXX";
    dir_ = mkdtemp(pattern);
    setenv("XDG_STATE_HOME", dir_.c_str(), 1);
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    unsetenv("XDG_STATE_HOME");
    DispatcherTest::TearDown();
  }
  // The messages of the log file's lines, without their dates.
  std::vector<std::string> LoggedMessages() {
    std::ifstream in(LogFilePath());
    std::vector<std::string> messages;
    for (std::string line; std::getline(in, line);) {
      messages.push_back(line.substr(line.find("  ") + 2));
    }
    return messages;
  }
  std::string dir_;
};

TEST_F(DispatcherLogTest, LogsEveryCommandButTheFrequentFour) {
  Dispatch(R"({"messages":[{"payload":{"cmd":"keepalive"}},{"payload":{"cmd":"mouseevent"}},
    {"payload":{"cmd":"keyboardchar"}},{"payload":{"cmd":"keyboardevent"}},
    {"payload":{"cmd":"version"}},{"payload":{}},{"payload":{"cmd":"50% %s"}}]})");
  EXPECT_THAT(LoggedMessages(), ElementsAre("MorrowvaneHelper: dispatch cmd=version",
                                            "MorrowvaneHelper: dispatch cmd=",
                                            "MorrowvaneHelper: dispatch cmd=50% %s"));
  EXPECT_THAT(platform.SystemLogLines(), ElementsAre("MorrowvaneHelper: dispatch cmd=version",
                                                     "MorrowvaneHelper: dispatch cmd=",
                                                     "MorrowvaneHelper: dispatch cmd=50% %s"));
}

TEST_F(DispatcherLogTest, ServerTextCannotForgeLogLines) {
  Command(R"({"cmd":"x\n2026-01-01 00:00:00 +0000  MorrowvaneHelper: forged\r\t\u0001\u007f"})");
  EXPECT_THAT(LoggedMessages(),
              ElementsAre("MorrowvaneHelper: dispatch cmd=x\\n2026-01-01 00:00:00 +0000  "
                          "MorrowvaneHelper: forged\\r\\t\\x01\\x7F"));
  // The reply still carries the name as received.
  EXPECT_THAT(SentPayloads(),
              ElementsAre(R"({"cmd":"x\n2026-01-01 00:00:00 +0000  MorrowvaneHelper: forged\r\t\u0001)"
                          "\x7f"
                          R"(","result":"error","detail":"Unknown command."})"));
}

}  // namespace
}  // namespace mv::test
