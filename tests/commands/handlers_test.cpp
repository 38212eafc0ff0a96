// The initial check, the quit hot key and the commands over monitors,
// borders, keys and the clipboard.
#include <gmock/gmock.h>

#include "commands/ControlStatus.h"
#include "platform/KeyCodes.h"
#include "tests/support/CoreTest.h"

namespace mv::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kPermissionError[] =
    "Morrowvane Helper needs Accessibility permission. Open System Settings > Privacy & "
    "Security > Accessibility, enable Morrowvane Helper, then try again.";

class InitCheckTest : public CoreTest {};

TEST_F(InitCheckTest, RegistersEAndOpensTheGate) {
  Command(R"({"cmd":"initcheck"})");
  EXPECT_THAT(SentPayloads(),
              ElementsAre(R"({"cmd":"initcheck","version":"1.6","result":"ok","hotkey":"E"})"));
  EXPECT_TRUE(g_is_accepting_input);
  ASSERT_EQ(platform.hot_keys.size(), 1u);
  EXPECT_EQ(platform.hot_keys[0].key_code, *keycode::ForLetter('E'));
  EXPECT_EQ(platform.hot_keys[0].modifiers, 0x1A00u);
  EXPECT_EQ(platform.hot_key_handlers.size(), 1u);
}

TEST_F(InitCheckTest, SecondCheckReportsTheSameLetterWithoutRegisteringAgain) {
  Command(R"({"cmd":"initcheck"})");
  Command(R"({"cmd":"initcheck"})");
  const std::string ok = R"({"cmd":"initcheck","version":"1.6","result":"ok","hotkey":"E"})";
  EXPECT_THAT(SentPayloads(), ElementsAre(ok, ok));
  EXPECT_EQ(platform.hot_keys.size(), 1u);
  EXPECT_EQ(platform.hot_key_handlers.size(), 1u);
}

TEST_F(InitCheckTest, TakesTheFirstFreeLetterInOrder) {
  platform.refused_hot_key_letters = {'E'};
  Command(R"({"cmd":"initcheck"})");
  EXPECT_THAT(SentPayloads(),
              ElementsAre(R"({"cmd":"initcheck","version":"1.6","result":"ok","hotkey":"C"})"));

  UnregisterQuitHotkey();
  platform.refused_hot_key_letters = {'E', 'C', 'Q', 'X'};
  EXPECT_EQ(TryRegisterQuitHotkey(), 'A');
  // The first check was refused E; this one E, C, Q and X before A.
  const std::vector<uint16_t> expected_refusals = {
      *keycode::ForLetter('E'), *keycode::ForLetter('E'), *keycode::ForLetter('C'),
      *keycode::ForLetter('Q'), *keycode::ForLetter('X')};
  EXPECT_EQ(platform.refused_hot_key_codes, expected_refusals);
}

TEST_F(InitCheckTest, NoFreeLetterStillOpensTheGateAndRemovesTheHandler) {
  for (char c = 'A'; c <= 'Z'; ++c) platform.refused_hot_key_letters.insert(c);
  Command(R"({"cmd":"initcheck"})");
  EXPECT_THAT(SentPayloads(),
              ElementsAre(R"({"cmd":"initcheck","version":"1.6","result":"error","error":"Unable to register hot key"})"));
  EXPECT_TRUE(g_is_accepting_input);
  EXPECT_THAT(platform.hot_key_handlers, IsEmpty());
  EXPECT_EQ(platform.refused_hot_key_codes.size(), 30u);

  // The next check tries again from the start.
  platform.refused_hot_key_letters.clear();
  EXPECT_EQ(TryRegisterQuitHotkey(), 'E');
}

TEST_F(InitCheckTest, WithoutPermissionPromptsAndKeepsTheGateClosed) {
  platform.trusted = false;
  Command(R"({"cmd":"initcheck"})");
  const auto sent = SentPayloads();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], std::string(R"({"cmd":"initcheck","version":"1.6","result":"error","error":")") +
                         kPermissionError + "\"}");
  EXPECT_EQ(std::string(kPermissionError).size(), 150u);
  EXPECT_EQ(platform.prompts, 1);
  EXPECT_EQ(platform.settings_opened, 1);
  EXPECT_FALSE(g_is_accepting_input);
  EXPECT_THAT(platform.hot_keys, IsEmpty());
  Command(R"({"cmd":"mouseevent","x":1,"y":1,"event":"lc"})");
  EXPECT_THAT(platform.mouse_events, IsEmpty());
}

class QuitHotKeyTest : public CoreTest {};

TEST_F(QuitHotKeyTest, PressSendsTheNoticeAndClosesTheGateEachTime) {
  Command(R"({"cmd":"initcheck"})");
  Command(R"({"cmd":"showborderabs","x":0,"y":0,"w":50,"h":50})");
  platform.PressHotKey();
  EXPECT_FALSE(g_is_accepting_input);
  EXPECT_TRUE(IsBorderShown());  // the hot key leaves the border up
  Command(R"({"cmd":"keyboardchar","key":"a"})");
  EXPECT_THAT(platform.keyboard_events, IsEmpty());
  platform.PressHotKey();

  auto sent = SentPayloads();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1], R"({"cmd":"hot key pressed"})");
  EXPECT_EQ(sent[2], R"({"cmd":"hot key pressed"})");

  // A later check opens the gate again with the same letter.
  Command(R"({"cmd":"initcheck"})");
  EXPECT_TRUE(g_is_accepting_input);
  Command(R"({"cmd":"keyboardchar","key":"a"})");
  EXPECT_EQ(platform.keyboard_events.size(), 2u);
  EXPECT_EQ(SentPayloads().back(), R"({"cmd":"initcheck","version":"1.6","result":"ok","hotkey":"E"})");
}

TEST_F(QuitHotKeyTest, UnregisterReleasesEverythingAndTheNextRegistrationStartsAfresh) {
  EXPECT_EQ(TryRegisterQuitHotkey(), 'E');
  UnregisterQuitHotkey();
  EXPECT_FALSE(platform.hot_keys[0].registered);
  EXPECT_THAT(platform.hot_key_handlers, IsEmpty());
  UnregisterQuitHotkey();  // nothing registered: harmless
  EXPECT_EQ(TryRegisterQuitHotkey(), 'E');
  EXPECT_EQ(platform.hot_keys.size(), 2u);
}

TEST_F(QuitHotKeyTest, WithoutConnectionTheGateClosesAnyway) {
  TryRegisterQuitHotkey();
  OpenGate();
  SetAgentConnection(nullptr);
  platform.PressHotKey();
  EXPECT_FALSE(g_is_accepting_input);
  EXPECT_THAT(connection.bodies(), IsEmpty());
}

TEST_F(QuitHotKeyTest, WithoutAStatusAreaTheServerCannotMakeNotificationsPileUp) {
  platform.has_status_area = false;
  for (int i = 0; i < 3; ++i) {
    Command(R"({"cmd":"initcheck"})");
    Command(R"({"cmd":"quit"})");
  }
  Command(R"({"cmd":"initcheck"})");
  platform.PressHotKey();
  Command(R"({"cmd":"initcheck"})");
  ShowControlEnded();
  std::vector<std::string> summaries;
  for (const auto& [summary, body] : platform.notifications) summaries.push_back(summary);
  const std::string active = "Remote control active — stop with Control+Alt+Shift+E";
  EXPECT_THAT(summaries, ElementsAre(active, "Remote control stopped", active,
                                     "Remote control ended"));
}

class MonitorCommandsTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    SetDisplays({{0, 0, 1440, 900}, {1440, -180, 1920, 1080}});
  }
};

TEST_F(MonitorCommandsTest, SelectMonitorRoutesRatioPointerInput) {
  OpenGate();
  Command(R"({"cmd":"selectmonitor","index":1})");
  Command(R"({"cmd":"mouseevent","x":32768,"y":32768,"mode":"screen","event":"move"})");
  ASSERT_EQ(platform.mouse_events.size(), 1u);
  EXPECT_EQ(platform.mouse_events[0].x, 2400);
  EXPECT_EQ(platform.mouse_events[0].y, 360);
  EXPECT_THAT(SentPayloads(), ElementsAre(R"({"cmd":"selectmonitor","result":"ok"})"));
}

TEST_F(MonitorCommandsTest, OutOfRangeOrMissingIndexSelectsTheMainDisplay) {
  for (const char* cmd : {R"({"cmd":"selectmonitor","index":7})", R"({"cmd":"selectmonitor","index":-1})",
                          R"({"cmd":"selectmonitor","index":1.0})", R"({"cmd":"selectmonitor"})",
                          R"({"cmd":"selectmonitor","index":2})"}) {
    GetMonitors()->selected = 1;
    Command(cmd);
    EXPECT_EQ(GetMonitors()->selected, 0u) << cmd;
  }
}

TEST_F(MonitorCommandsTest, TranslateUsesTheMonitorUnderThePointNotTheSelectedOne) {
  GetMonitors()->selected = 0;
  Command(R"({"cmd":"translatexywh","x":2400,"y":360,"w":960,"h":2000})");
  Command(R"({"cmd":"translatexywh","x":1440,"y":0,"w":10,"h":10})");
  Command(R"({"cmd":"translatexywh","x":5000,"y":0,"w":1,"h":1})");
  Command(R"({"cmd":"translatexywh","x":"720","y":450.5})");
  EXPECT_THAT(SentPayloads(),
              ElementsAre(R"({"cmd":"translatexywh","x":32768,"y":32768,"w":32768,"h":65536,"result":"ok"})",
                          R"({"cmd":"translatexywh","x":0,"y":10923,"w":341,"h":607,"result":"ok"})",
                          R"({"cmd":"translatexywh","x":0,"y":0,"w":0,"h":0,"result":"ok"})",
                          R"({"cmd":"translatexywh","x":0,"y":0,"w":0,"h":0,"result":"ok"})"));
  EXPECT_EQ(GetMonitors()->selected, 0u);
}

TEST_F(MonitorCommandsTest, HugeWidthSaturatesInsteadOfOverflowing) {
  SetDisplays({{0, 0, 1, 1}});
  Command(R"({"cmd":"translatexywh","x":0,"y":0,"w":2147483647,"h":-2147483648})");
  EXPECT_THAT(SentPayloads(),
              ElementsAre(R"({"cmd":"translatexywh","x":0,"y":0,"w":65536,"h":-2147483648,"result":"ok"})"));
}

TEST_F(MonitorCommandsTest, DetectWindowsUseTheTableColoursAndAreReplaced) {
  SetDisplays({{0, 0, 1920, 1080}, {1920, 0, 1366, 768}, {-1280, 0, 1280, 1024}});
  Command(R"({"cmd":"predetectmonitors","red":0,"green":255,"blue":0})");
  Command(R"({"cmd":"detectmonitors"})");
  const auto live = platform.LiveWindows();
  ASSERT_EQ(live.size(), 3u);
  EXPECT_EQ(platform.windows.size(), 6u);
  for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(platform.windows[i]->released);
  EXPECT_EQ(platform.windows[0]->spec.background, (Rgba{0, 1, 0, 1}));

  const Rgba row1{255 / 255.0, 169 / 255.0, 0, 1};
  EXPECT_EQ(live[0]->spec.background, (Rgba{1, 124 / 255.0, 0, 1}));
  EXPECT_EQ(live[1]->spec.background, row1);
  EXPECT_EQ(live[2]->spec.background, (Rgba{1, 211 / 255.0, 0, 1}));
  // Centred, a third as wide and half as high; flipped about the main
  // display's height (1080) into window-system space.
  EXPECT_EQ(live[0]->spec.frame, (Rect{640, 270, 640, 540}));
  EXPECT_DOUBLE_EQ(live[1]->spec.frame.width, 1366.0 / 3);
  EXPECT_EQ(live[2]->spec.frame, (Rect{-1280 + (1280 - 1280.0 / 3) / 2, 1080 - 256 - 512, 1280.0 / 3, 512}));
  for (auto& w : live) {
    EXPECT_TRUE(w->on_screen);
    EXPECT_TRUE(w->spec.opaque);
    EXPECT_TRUE(w->spec.ignores_mouse_events);
    EXPECT_EQ(w->spec.level, 1000);
    EXPECT_EQ(w->spec.collection_behavior, 0x51u);
  }

  Command(R"({"cmd":"enddetectmonitors"})");
  Command(R"({"cmd":"enddetectmonitors"})");
  EXPECT_THAT(platform.LiveWindows(), IsEmpty());
  EXPECT_THAT(SentPayloads(), ElementsAre(R"({"cmd":"predetectmonitors","result":"ok"})",
                                          R"({"cmd":"detectmonitors","result":"ok"})",
                                          R"({"cmd":"enddetectmonitors","result":"ok"})",
                                          R"({"cmd":"enddetectmonitors","result":"ok"})"));
}

TEST_F(MonitorCommandsTest, OnlyTwelveMonitorsGetAWindowAndColoursAreNotClamped) {
  std::vector<Rect> displays;
  for (int i = 0; i < 14; ++i) displays.push_back({i * 100.0, 0, 100, 100});
  SetDisplays(displays);
  Command(R"({"cmd":"predetectmonitors","red":300,"green":-5})");
  const auto live = platform.LiveWindows();
  ASSERT_EQ(live.size(), 12u);
  EXPECT_EQ(live[11]->spec.frame.x, 1100 + (100 - 100 / 3.0) / 2);
  EXPECT_EQ(live[0]->spec.background, (Rgba{300 / 255.0, -5 / 255.0, 0, 1}));
}

TEST_F(MonitorCommandsTest, BorderCommandsConvertAndIgnoreEmptyRectangles) {
  GetMonitors()->selected = 1;
  Command(R"({"cmd":"showborderrel","x":0,"y":0,"w":65536,"h":65536})");
  ASSERT_EQ(platform.LiveWindows().size(), 1u);
  // The whole second display, (1440, -180, 1920, 1080), flipped about 900.
  EXPECT_EQ(platform.LiveWindows()[0]->spec.frame, (Rect{1440, 0, 1920, 1080}));

  Command(R"({"cmd":"showborderabs","x":0,"y":0,"w":500,"h":0})");
  Command(R"({"cmd":"showborderrel","x":0,"y":0,"w":0,"h":500})");
  Command(R"({"cmd":"showborderabs","x":0,"y":0,"w":"500","h":500})");
  EXPECT_EQ(platform.windows.size(), 1u);
  EXPECT_TRUE(IsBorderShown());

  Command(R"({"cmd":"showborderabs","x":100,"y":50,"w":200,"h":100})");
  ASSERT_EQ(platform.LiveWindows().size(), 1u);
  EXPECT_EQ(platform.LiveWindows()[0]->spec.frame, (Rect{100, 750, 200, 100}));
  EXPECT_THAT(connection.bodies(), IsEmpty());
}

class KeyAndClipboardCommandsTest : public CoreTest {};

TEST_F(KeyAndClipboardCommandsTest, KeyboardEventReadsTheEventName) {
  OpenGate();
  Command(R"({"cmd":"keyboardevent","event":"SelectLongUp"})");
  Command(R"({"cmd":"keyboardevent","event":5})");
  ASSERT_EQ(platform.keyboard_events.size(), 2u);
  EXPECT_EQ(platform.keyboard_events[0].key_code, keycode::kUpArrow);
  EXPECT_EQ(platform.keyboard_events[0].flags, 0xA0000u);
}

TEST_F(KeyAndClipboardCommandsTest, ClearClipboardClearsOnceAndSendsNothing) {
  Command(R"({"cmd":"clearclipboard"})");
  EXPECT_EQ(platform.clipboard_clears, 1);
  EXPECT_THAT(connection.bodies(), IsEmpty());
}

}  // namespace
}  // namespace mv::test
