// The batch walk, the command table, the reply rules, the initial check and
// the quit hot key: each row a batch, the replies it must send and what the
// platform must have recorded.
#include <gmock/gmock.h>

#include "platform/KeyCodes.h"
#include "tests/support/CoreTest.h"

namespace mv::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using P = FakePlatform&;

struct Row {
  const char* name;
  std::function<void(P)> prep;
  std::vector<std::string> batches;
  std::vector<std::string> replies;
  std::function<void(P)> check;
};

std::string B(std::initializer_list<const char*> payloads) {
  std::string text = R"({"messages":[)";
  for (const char* p : payloads) text += std::string(text.back() == '[' ? "" : ",") + R"({"payload":)" + p + "}";
  return text + "]}";
}
void Displays(P p, std::vector<Rect> displays, size_t selected = 0) {
  p.displays = std::move(displays);
  GetMonitors()->Enumerate();
  GetMonitors()->selected = selected;
}
void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }
const auto kOpen = [](P) { g_is_accepting_input = true; };
const auto kTwo = [](P p) { Displays(p, {{0, 0, 1440, 900}, {1440, -180, 1920, 1080}}); };
constexpr char kOkE[] = R"({"cmd":"initcheck","version":"1.6","result":"ok","hotkey":"E"})";
const std::string kUnknown = R"({"cmd":"","result":"error","detail":"Unknown command."})";

const Row kRows[] = {
    {"MalformedElementsAndBatchesAreSkipped", nullptr,
     {R"({"messages":[1,"x",{"other":2},{"payload":{"cmd":"version"}}]})", R"({"messages":{}})",
      R"({"other":[{"payload":{"cmd":"version"}}]})", "[1,2]", "\"x\""},
     {R"({"cmd":"version","result":"ok","version":"1.1"})"}, nullptr},
    {"NoCommandOrInexactNameIsUnknown", nullptr,
     {B({R"("version")", "{}", R"({"cmd":7})", R"({"cmd":"Version"})"})},
     {kUnknown, kUnknown, kUnknown, R"({"cmd":"Version","result":"error","detail":"Unknown command."})"},
     [](P p) {
       EXPECT_THAT(p.SystemLogLines(), ElementsAre("MorrowvaneHelper: dispatch cmd=", "MorrowvaneHelper: dispatch cmd=",
                                                   "MorrowvaneHelper: dispatch cmd=",
                                                   "MorrowvaneHelper: dispatch cmd=Version"));
     }},
    {"SilentCommandsActAndSendNothing", kOpen,
     {B({R"({"cmd":"keepalive"})", R"({"cmd":"mouseevent","x":1,"y":2})", R"({"cmd":"keyboardchar","key":"a"})",
         R"({"cmd":"keyboardevent","event":"Return"})", R"({"cmd":"keyboardevent","event":5})",
         R"({"cmd":"clearclipboard"})", R"({"cmd":"hideborder"})", R"({"cmd":"messagebox","caption":5})"})},
     {},
     [](P p) {
       EXPECT_EQ(p.mouse_events.size(), 1u);
       EXPECT_EQ(p.keyboard_events.size(), 4u);
       EXPECT_EQ(p.clipboard_clears, 1);
       ASSERT_EQ(p.alerts.size(), 1u);
       EXPECT_EQ(p.alerts[0].message_text, "");
       EXPECT_THAT(p.SystemLogLines(), ElementsAre("MorrowvaneHelper: dispatch cmd=clearclipboard",
                                                   "MorrowvaneHelper: dispatch cmd=hideborder",
                                                   "MorrowvaneHelper: dispatch cmd=messagebox"));
     }},
    {"QuitClosesTheGateAndHidesTheBorder", kOpen,
     {B({R"({"cmd":"showborderabs","x":10,"y":10,"w":100,"h":100})", R"({"cmd":"quit"})",
         R"({"cmd":"mouseevent","x":5,"y":5,"event":"lc"})"})},
     {R"({"cmd":"quit","result":"ok"})"},
     [](P p) {
       EXPECT_FALSE(g_is_accepting_input);
       EXPECT_FALSE(IsBorderShown());
       EXPECT_THAT(p.mouse_events, IsEmpty());
     }},
    {"InitCheckRegistersEOnceAndOpensTheGate", nullptr,
     {B({R"({"cmd":"initcheck"})", R"({"cmd":"initcheck"})"})}, {kOkE, kOkE},
     [](P p) {
       EXPECT_TRUE(g_is_accepting_input);
       ASSERT_EQ(p.hot_keys.size(), 1u);
       EXPECT_EQ(p.hot_keys[0].key_code, *keycode::ForLetter('E'));
       EXPECT_EQ(p.hot_keys[0].modifiers, 0x1A00u);
       EXPECT_EQ(p.hot_key_handlers.size(), 1u);
     }},
    {"InitCheckTakesTheFirstFreeLetter", [](P p) { p.refused_hot_key_letters = {'E'}; },
     {B({R"({"cmd":"initcheck"})"})}, {R"({"cmd":"initcheck","version":"1.6","result":"ok","hotkey":"C"})"},
     nullptr},
    {"NoFreeLetterStillOpensTheGate", [](P p) { for (char c = 'A'; c <= 'Z'; ++c) p.refused_hot_key_letters.insert(c); },
     {B({R"({"cmd":"initcheck"})"})},
     {R"({"cmd":"initcheck","version":"1.6","result":"error","error":"Unable to register hot key"})"},
     [](P p) {
       EXPECT_TRUE(g_is_accepting_input);
       EXPECT_THAT(p.hot_key_handlers, IsEmpty());
       EXPECT_EQ(p.refused_hot_key_codes.size(), 30u);
     }},
    {"InitCheckWithoutPermissionKeepsTheGateClosed", [](P p) { p.trusted = false; },
     {B({R"({"cmd":"initcheck"})", R"({"cmd":"mouseevent","x":1,"y":1,"event":"lc"})"})},
     {R"({"cmd":"initcheck","version":"1.6","result":"error","error":"Morrowvane Helper needs Accessibility )"
      R"(permission. Open System Settings > Privacy & Security > Accessibility, enable Morrowvane Helper, then )"
      R"(try again."})"},
     [](P p) {
       EXPECT_FALSE(g_is_accepting_input);
       EXPECT_EQ(p.prompts, 1);
       EXPECT_EQ(p.settings_opened, 1);
       EXPECT_THAT(p.hot_keys, IsEmpty());
       EXPECT_THAT(p.mouse_events, IsEmpty());
     }},
    {"SelectMonitorRoutesRatioInputAndFallsBackToTheMain",
     [](P p) { kTwo(p); g_is_accepting_input = true; },
     {B({R"({"cmd":"selectmonitor","index":1})",
         R"({"cmd":"mouseevent","x":32768,"y":32768,"mode":"screen","event":"move"})",
         R"({"cmd":"selectmonitor","index":1.0})", R"({"cmd":"mouseevent","x":0,"y":0,"mode":"screen"})",
         R"({"cmd":"selectmonitor","index":1})", R"({"cmd":"selectmonitor","index":2})"})},
     {R"({"cmd":"selectmonitor","result":"ok"})", R"({"cmd":"selectmonitor","result":"ok"})",
      R"({"cmd":"selectmonitor","result":"ok"})", R"({"cmd":"selectmonitor","result":"ok"})"},
     [](P p) {
       ASSERT_EQ(p.mouse_events.size(), 2u);
       EXPECT_EQ(p.mouse_events[0].x, 2400);
       EXPECT_EQ(p.mouse_events[0].y, 360);
       EXPECT_EQ(p.mouse_events[1].x, 0);
       EXPECT_EQ(GetMonitors()->selected, 0u);
     }},
    {"TranslateUsesTheMonitorUnderThePoint", kTwo,
     {B({R"({"cmd":"translatexywh","x":2400,"y":360,"w":960,"h":2000})",
         R"({"cmd":"translatexywh","x":5000,"y":0,"w":1,"h":1})", R"({"cmd":"translatexywh","x":"720","y":450.5})"})},
     {R"({"cmd":"translatexywh","x":32768,"y":32768,"w":32768,"h":65536,"result":"ok"})",
      R"({"cmd":"translatexywh","x":0,"y":0,"w":0,"h":0,"result":"ok"})",
      R"({"cmd":"translatexywh","x":0,"y":0,"w":0,"h":0,"result":"ok"})"},
     [](P) { EXPECT_EQ(GetMonitors()->selected, 0u); }},
    {"DetectWindowsTakeTheTableColoursAndAreReplaced",
     [](P p) { Displays(p, {{0, 0, 1920, 1080}, {1920, 0, 1366, 768}, {-1280, 0, 1280, 1024}}); },
     {B({R"({"cmd":"predetectmonitors","red":0,"green":255,"blue":0})", R"({"cmd":"detectmonitors"})"}),
      B({R"({"cmd":"detectmonitors"})", R"({"cmd":"enddetectmonitors"})", R"({"cmd":"enddetectmonitors"})"})},
     {R"({"cmd":"predetectmonitors","result":"ok"})", R"({"cmd":"detectmonitors","result":"ok"})",
      R"({"cmd":"detectmonitors","result":"ok"})", R"({"cmd":"enddetectmonitors","result":"ok"})",
      R"({"cmd":"enddetectmonitors","result":"ok"})"},
     [](P p) {
       EXPECT_THAT(p.LiveWindows(), IsEmpty());
       ASSERT_EQ(p.windows.size(), 9u);
       const auto live = std::vector(p.windows.begin() + 3, p.windows.begin() + 6);
       EXPECT_EQ(p.windows[0]->spec.background, (Rgba{0, 1, 0, 1}));
       EXPECT_EQ(live[0]->spec.background, (Rgba{1, 124 / 255.0, 0, 1}));
       EXPECT_EQ(live[2]->spec.background, (Rgba{1, 211 / 255.0, 0, 1}));
       // Centred, a third as wide and half as high, flipped about 1080.
       EXPECT_EQ(live[0]->spec.frame, (Rect{640, 270, 640, 540}));
       EXPECT_EQ(live[2]->spec.frame, (Rect{-1280 + (1280 - 1280.0 / 3) / 2, 1080 - 256 - 512, 1280.0 / 3, 512}));
     }},
    {"BorderCommandsConvertAndIgnoreEmptyRectangles",
     [](P p) { Displays(p, {{0, 0, 1440, 900}, {1440, -180, 1920, 1080}}, 1); },
     {B({R"({"cmd":"showborderrel","x":0,"y":0,"w":65536,"h":65536})",
         R"({"cmd":"showborderabs","x":0,"y":0,"w":500,"h":0})", R"({"cmd":"showborderrel","x":0,"y":0,"w":0,"h":5})",
         R"({"cmd":"showborderabs","x":0,"y":0,"w":"500","h":500})",
         R"({"cmd":"showborderabs","x":100,"y":50,"w":200,"h":100})"})},
     {},
     [](P p) {
       ASSERT_EQ(p.windows.size(), 2u);
       EXPECT_EQ(p.windows[0]->spec.frame, (Rect{1440, 0, 1920, 1080}));
       EXPECT_EQ(p.LiveWindows().at(0)->spec.frame, (Rect{100, 750, 200, 100}));
     }},
};

class CommandsTest : public CoreTest, public ::testing::WithParamInterface<Row> {};

TEST_P(CommandsTest, Row) {
  const Row& row = GetParam();
  if (row.prep) row.prep(platform);
  for (const std::string& batch : row.batches) Dispatch(batch);
  EXPECT_EQ(SentPayloads(), row.replies);
  if (row.check) row.check(platform);
}
INSTANTIATE_TEST_SUITE_P(Batches, CommandsTest, ::testing::ValuesIn(kRows),
                         [](const auto& row_info) { return std::string(row_info.param.name); });

TEST_F(CoreTest, HotKeyClosesTheGateEachTimeUntilTheNextCheck) {
  Command(R"({"cmd":"initcheck"})");
  Command(R"({"cmd":"showborderabs","x":0,"y":0,"w":50,"h":50})");
  platform.PressHotKey();
  EXPECT_FALSE(g_is_accepting_input);
  EXPECT_TRUE(IsBorderShown());
  Command(R"({"cmd":"keyboardchar","key":"a"})");
  EXPECT_THAT(platform.keyboard_events, IsEmpty());
  platform.PressHotKey();
  Command(R"({"cmd":"initcheck"})");
  Command(R"({"cmd":"keyboardchar","key":"a"})");
  EXPECT_EQ(platform.keyboard_events.size(), 2u);
  EXPECT_THAT(SentPayloads(), ElementsAre(kOkE, R"({"cmd":"hot key pressed"})", R"({"cmd":"hot key pressed"})", kOkE));
}

TEST_F(CoreTest, RepliesAndDialogsWaitForTheInputAndTheBoxBeforeThem) {
  OpenGate();
  std::vector<size_t> flushes_at_alert, replies_at_alert;
  platform.on_alert = [&](const AlertSpec& alert) {
    flushes_at_alert = platform.input_flushes;
    replies_at_alert.push_back(connection.bodies().size());
    EXPECT_EQ(alert.informative_text, "Body");
  };
  Dispatch(B({R"({"cmd":"mouseevent","x":1,"y":2,"event":"lc"})", R"({"cmd":"keyboardchar","key":"a"})",
              R"({"cmd":"version"})", R"({"cmd":"keyboardevent","event":"Return"})",
              R"({"cmd":"messagebox","caption":"C","text":"Body"})", R"({"cmd":"version"})",
              R"({"cmd":"mouseevent","x":3,"y":4})"}));
  EXPECT_THAT(flushes_at_alert, ElementsAre(5u, 7u));
  EXPECT_THAT(platform.input_flushes, ElementsAre(5u, 7u, 7u, 8u));
  EXPECT_THAT(replies_at_alert, ElementsAre(1u));
  EXPECT_EQ(SentPayloads().size(), 2u);
}

}  // namespace
}  // namespace mv::test
