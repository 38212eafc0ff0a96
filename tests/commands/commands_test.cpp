// The command path over the recording fake: each row batches in (or a press
// of the hot key, or a tick of the timers), and out the replies, the
// platform calls in their order, then the input events posted.
#include <gtest/gtest.h>

#include <cstdio>

#include "commands/Dispatcher.h"
#include "input/InputGate.h"
#include "platform/fake/FakePlatform.h"
#include "screen/Monitors.h"
#include "tests/support/ResetCoreState.h"
#include "transport/Json.h"

namespace mv::test {
namespace {

using P = FakePlatform&;
using Lines = std::vector<std::string>;

template <class... Args>
std::string Fmt(const char* format, Args... args) {
  std::string text(std::snprintf(nullptr, 0, format, args...), '\0');
  std::snprintf(text.data(), text.size() + 1, format, args...);
  return text;
}
std::string Text(const MouseEvent& e) {
  static const char* const kTypes[] = {"", "ldown", "lup", "rdown", "rup", "move", "drag"};
  return Fmt("%s %.10g,%.10g %lld%s", kTypes[int(e.type)], e.x, e.y, static_cast<long long>(e.click_state),
             e.button == MouseButton::kRight ? " R" : "");
}
std::string Text(const KeyboardEvent& e) {
  std::string text = Fmt("%s %u", e.key_down ? "down" : "up", unsigned{e.key_code});
  if (e.has_flags) text += Fmt(" %#llx", static_cast<unsigned long long>(e.flags));
  if (e.units.empty()) return text;
  text += " '";
  for (const char16_t u : e.units) text += u > 0x20 && u < 0x7F ? std::string(1, char(u)) : Fmt("\\u%04X", unsigned{u});
  return text + "'";
}
std::string B(const Lines& payloads) {
  std::string text = R"({"messages":[)";
  for (const std::string& p : payloads) text += (text.back() == '[' ? "" : ",") + (R"({"payload":)" + p + "}");
  return text + "]}";
}
// A batch of `cmd` commands, each with one of `values` as its `field`.
std::string Each(const char* cmd, const char* field, std::initializer_list<const char*> values) {
  Lines payloads;
  for (const char* v : values) payloads.push_back(Fmt(R"({"cmd":"%s","%s":"%s"})", cmd, field, v));
  return B(payloads);
}
std::string Mouse(int32_t x, int32_t y, const char* mode = "screen", const char* event = "") {
  return Fmt(R"({"cmd":"mouseevent","x":%d,"y":%d,"mode":"%s","event":"%s"})", x, y, mode, event);
}
void Displays(P p, std::vector<Rect> displays, size_t selected = 0) {
  p.displays = std::move(displays);
  GetMonitors()->Enumerate();
  GetMonitors()->selected = selected;
}
// A payload: `cmd` and the JSON members `more`.
std::string C(const char* cmd, const std::string& more = "") {
  return Fmt(R"({"cmd":"%s"%s%s})", cmd, more.empty() ? "" : ",", more.c_str());
}
std::string Xywh(const char* cmd, int32_t x, int32_t y, int32_t w, int32_t h) {
  return C(cmd, Fmt(R"("x":%d,"y":%d,"w":%d,"h":%d)", x, y, w, h));
}
std::string Ok(const char* cmd, const std::string& more = "") {
  return C(cmd, more + (more.empty() ? "" : ",") + R"("result":"ok")");
}
std::string Unknown(const char* cmd) { return C(cmd, R"("result":"error","detail":"Unknown command.")"); }
const std::string kInitCheck = C("initcheck"), kOkE = C("initcheck", R"("version":"1.6","result":"ok","hotkey":"E")");
const std::string kActiveE = "notify Remote control active — stop with Control+Alt+Shift+E [Stop remote control]";
const std::string kNotice = C("hot key pressed"), kStopped = "notify Remote control stopped";
const std::string kAskAgain = "alert Morrowvane Remote Control Helper: The remote participant asks to control your "
                              "pointer and keyboard again.\n\nServer: test.morrowvane.com (guarded) [Yes] [No]";
const std::string kNoPermission =
    C("initcheck", R"("version":"1.6","result":"error","error":"Morrowvane Helper needs Accessibility permission. )"
                   R"(Open System Settings > Privacy & Security > Accessibility, enable Morrowvane Helper, then )"
                   R"(try again.")");
constexpr char kOrange[] = "1,0.4862745098,0,0.5", kRed[] = "1,0,0,0.5";
const std::string kFills8 = " fills 0,4,8,4 0,0,8,4 0,0,4,8 4,0,4,8";
const std::string kFills1 = " fills 0,1076,1920,4 0,0,1920,4 0,0,4,1080 1916,0,4,1080";
const std::string kFills2 = " fills 0,96,200,4 0,0,200,4 0,0,4,100 196,0,4,100";

// Every key name the protocol knows, and its chord as "code flags": a batch
// of them and, after `events`, the events they post.
std::pair<std::string, Lines> KeyNames(Lines events = {}) {
  static const std::pair<const char*, const char*> kChords[] = {
      {"Return", "36 0"}, {"Up", "126 0"}, {"Down", "125 0"}, {"Left", "123 0"}, {"Right", "124 0"}, {"Tab", "48 0"},
      {"Space", "49 0"}, {"Backspace", "51 0"}, {"Delete", "117 0"}, {"Escape", "53 0"}, {"Copy", "8 0x100000"},
      {"Paste", "9 0x100000"}, {"Cut", "7 0x100000"}, {"SelectAll", "0 0x100000"}, {"Bold", "11 0x100000"},
      {"Italic", "34 0x100000"}, {"Underline", "32 0x100000"}, {"Undo", "6 0x100000"}, {"Find", "3 0x100000"},
      {"SelectLongLeft", "123 0xa0000"}, {"SelectLongRight", "124 0xa0000"}, {"SelectLongUp", "126 0xa0000"},
      {"SelectLongDown", "125 0xa0000"}, {"MoveCursorLongLeft", "123 0x80000"}, {"MoveCursorLongRight", "124 0x80000"},
      {"MoveCursorLongUp", "126 0x80000"}, {"MoveCursorLongDown", "125 0x80000"}, {"SelectShortLeft", "123 0x20000"},
      {"SelectShortRight", "124 0x20000"}, {"SelectShortUp", "126 0x20000"}, {"SelectShortDown", "125 0x20000"}};
  Lines payloads;
  for (const auto& [name, chord] : kChords) {
    payloads.push_back(Fmt(R"({"cmd":"keyboardevent","event":"%s"})", name));
    events.insert(events.end(), {std::string("down ") + chord, std::string("up ") + chord});
  }
  return {B(payloads), events};
}

struct Row {
  const char* name;
  std::function<void(P)> prep;
  // Batches; "press": the user presses the hot key once (its handler runs
  // before the next batch); "press reported twice": one press that the
  // desktop reports twice before the handler runs; "later press": a new
  // press while input is already stopped; "tick": the timers,
  // "notification": the notification's action, "rebind L": the user binds
  // the hot key to L in the desktop's settings.
  Lines in;
  Lines out;
};

const Row kRows[] = {
    {"BatchWalkUnknownCommandsAndSilentOnes", nullptr,
     {R"({"messages":[1,"x",{"other":2},{"payload":{"cmd":"version"}}]})", R"({"messages":{}})",
      R"({"other":[{"payload":{"cmd":"version"}}]})", "[1,2]", "\"x\"",
      B({R"("version")", "{}", R"({"cmd":7})", C("Version"), C(R"(t\tq\"\u0001)"), C("x\xFF")}),
      B({C("keepalive"), Mouse(1, 2, ""), C("keyboardchar", R"("key":"a")"), C("keyboardevent", R"("event":"Return")"),
         C("keyboardevent", R"("event":5)"), C("clearclipboard"), C("hideborder"),
         C("messagebox", R"("caption":5,"text":"<b>")")})},
     {R"({"cmd":"version","result":"ok","version":"1.1"})", Unknown(""), Unknown(""), Unknown(""), Unknown("Version"),
      Unknown(R"(t\tq\"\u0001)"), "flush 5", "clear clipboard",
      "alert [Message from the remote participant \u2014 Morrowvane Remote Control Helper] : <b>", "move 1,2 0", "down 0 'a'", "up 0 'a'",
      "down 36 0", "up 36 0"}},
    // 6656: Control, Alt and Shift.
    // The user's stop (one press, even reported twice) holds until the user
    // allows input again, and a later press is told too; a server's quit
    // holds only until its initcheck.
    {"HotKeyAndQuitCloseTheGateUntilTheNextCheck", [](P) { g_is_accepting_input = false; },
     {B({kInitCheck, C("keyboardchar", R"("key":"a")"), Mouse(1, 1, "", "dragstart"), Mouse(2, 2, "", "move")}),
      "press reported twice", Each("keyboardchar", "key", {"b"}), "later press", B({kInitCheck, C("keyboardchar", R"("key":"c")")}),
      B({Xywh("showborderabs", 10, 10, 8, 8), C("quit"), Mouse(5, 5)}), B({kInitCheck, Mouse(3, 3, "", "dragstop")})},
     {"hot key E 6656", kActiveE, kOkE, "flush 4", "release left", kNotice, kStopped, kNotice, "activate", kAskAgain,
      kActiveE, kOkE, "flush 6", "window 1 10,882,8,8 on 0,0,0,0", "content 1 " + (kOrange + kFills8), "front 1",
      "close 1", Ok("quit"), kOkE, "ldown 1,1 1", "drag 2,2 0", "down 0 'a'", "up 0 'a'", "down 0 'c'", "up 0 'c'"}},
    {"RefusedAgainTheGateStaysClosedAndTheUserIsNotAskedAgainAtOnce",
     [](P p) { p.alert_answers = {kAlertFirstButtonReturn + 1}; },
     {B({kInitCheck}), "press", B({kInitCheck, C("keyboardchar", R"("key":"a")")}), B({kInitCheck, Mouse(1, 1, "", "lc")})},
     {"hot key E 6656", kActiveE, kOkE, kNotice, kStopped, "activate", kAskAgain, kNoPermission, kNoPermission}},
    {"WithoutAStatusAreaTheNotificationStopsInput", nullptr,
     {B({kInitCheck}), "notification", B({C("keyboardchar", R"("key":"a")")})}, {"hot key E 6656", kActiveE, kOkE,
      kNotice, kStopped}},
    {"AfterTheDesktopsDialogWasCancelledTheUserIsAskedFirst",
     [](P p) { p.trusted = false, p.declined = true, p.alert_answers = {kAlertFirstButtonReturn, kAlertFirstButtonReturn + 1}; },
     {B({kInitCheck}), B({kInitCheck})}, {"activate", kAskAgain, "prompt", "settings", kNoPermission, "activate", kAskAgain, kNoPermission}},
    {"InitCheckTakesTheFirstFreeLetterThenTheOneTheUserChose", [](P p) { p.refused_hot_key_letters = "E"; },
     {B({kInitCheck}), "rebind Q", B({kInitCheck})},
     {"hot key C 6656", "notify Remote control active — stop with Control+Alt+Shift+C [Stop remote control]",
      C("initcheck", R"("version":"1.6","result":"ok","hotkey":"C")"),
      C("initcheck", R"("version":"1.6","result":"ok","hotkey":"Q")")}},
    {"WithoutAFreeLetterInitCheckStillOpensTheGate",
     [](P p) { p.refused_hot_key_letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"; },
     {B({kInitCheck, C("keyboardevent", R"("event":"Tab")")})},
     {"notify Remote control active — no stop key could be registered [Stop remote control]",
      C("initcheck", R"("version":"1.6","result":"error","error":"Unable to register hot key")"), "flush 2",
      "down 48 0", "up 48 0"}},
    {"WithoutPermissionInitCheckKeepsTheGateClosed", [](P p) { p.trusted = g_is_accepting_input = false; },
     {B({kInitCheck, Mouse(1, 1, "", "lc")})}, {"prompt", "settings", kNoPermission}},
    {"PointerInputFollowsTheSelectedMonitorRoundsAndSaturates",
     [](P p) { Displays(p, {{0, 0, 1440, 900}, {1440, -180, 1920, 1080}, {-10.7, 0.9, 2, 2}, {0, 0, 100000, 1}}, 1); },
     {B({Mouse(32768, 32768, "screen", "dbllc"), Mouse(10, 20, "Screen", "rc"), Mouse(5, 6, "", "LC"),
         Mouse(1, 1, "", "dragstart"), Mouse(2, 2, "", "move"), Mouse(3, 3, "", "lc"), Mouse(5, 5, "", "dragstop"),
         Mouse(6, 6, "", "move"), C("mouseevent", R"("x":2147483648,"y":-2147483648)"),
         C("mouseevent", R"("x":10.5,"y":"10")")}),
      B({C("selectmonitor", R"("index":2)"), Mouse(16384, 16384), Mouse(-16384, 65535),
         C("selectmonitor", R"("index":3)"), Mouse(INT32_MAX, 0), Mouse(INT32_MIN, INT32_MIN),
         C("selectmonitor", R"("index":3.0)"), Mouse(32768, 32768), C("selectmonitor", R"("index":1)"),
         C("selectmonitor", R"("index":4)"), Mouse(32768, 32768)})},
     {"flush 17", Ok("selectmonitor"), "flush 19", Ok("selectmonitor"), "flush 21", Ok("selectmonitor"), "flush 22",
      Ok("selectmonitor"), Ok("selectmonitor"), "flush 23", "move 2400,360 0", "ldown 2400,360 1", "lup 2400,360 1",
      "ldown 2400,360 2", "lup 2400,360 2", "move 10,20 0", "rdown 10,20 1 R", "rup 10,20 1 R", "move 5,6 0",
      "ldown 1,1 1", "drag 2,2 0", "move 3,3 0", "ldown 3,3 1", "lup 3,3 1", "move 6,6 0",
      "move 0,-2147483648 0", "move 0,0 0", "move -9,1 0", "move -11,2 0", "move 2147483647,0 0",
      "move -2147483648,-32768 0", "move 720,450 0", "move 720,450 0"}},
    {"TypedTextIsStrictUtf8CutAtEightUnitsAndNamedKeysAreExact", nullptr,
     {Each("keyboardchar", "key", {"", "\xFF", "\xC0\xAF", "\xED\xA0\x80", "\x80", "\xC3", "\xE0\x80\x80",
                                   "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "a\xE2\x82", "\\u0000abc"}),
      Each("keyboardevent", "event", {"copy", "Copy ", "Shift+Left", "Redo"}),
      Each("keyboardchar", "key",
           {"\xF0\x9F\x98\x80", "abcdefg\xF0\x9F\x98\x80", "ab\\u0000cd", "a\xC3\xA9\xE2\x82\xAC", "\xF4\x8F\xBF\xBF"}),
      KeyNames().first},
     KeyNames({"flush 10", "flush 72", "down 0 '\\uD83D\\uDE00'", "up 0 '\\uD83D\\uDE00'", "down 0 'abcdefg\\uD83D'",
      "up 0 'abcdefg\\uD83D'", "down 0 'ab'", "up 0 'ab'", "down 0 'a\\u00E9\\u20AC'", "up 0 'a\\u00E9\\u20AC'",
      "down 0 '\\uDBFF\\uDFFF'", "up 0 '\\uDBFF\\uDFFF'"}).second},
    {"TranslateTakesTheFirstMonitorUnderThePointAndSaturates",
     [](P p) { Displays(p, {{0, 0, 100, 100}, {100, 0, 100, 100}, {50, 0, 100, 100}, {-1, -1, 1, 1}}); },
     {B({Xywh("translatexywh", 60, 50, 50, 2000), Xywh("translatexywh", 100, 0, 10, 10), C("translatexywh", R"("x":120,"y":10)"),
         Xywh("translatexywh", 5000, 0, 1, 1), C("translatexywh", R"("x":"720","y":0.5,"w":50,"h":50)"),
         Xywh("translatexywh", -1, -1, INT32_MAX, INT32_MIN)})},
     {Ok("translatexywh", R"("x":39322,"y":32768,"w":32768,"h":65536)"),
      Ok("translatexywh", R"("x":0,"y":0,"w":6554,"h":6554)"),  // the edge two monitors share: the second's
      Ok("translatexywh", R"("x":13107,"y":6554,"w":0,"h":0)"), Ok("translatexywh", R"("x":0,"y":0,"w":0,"h":0)"),
      Ok("translatexywh", R"("x":0,"y":0,"w":32768,"h":32768)"),
      Ok("translatexywh", R"("x":0,"y":0,"w":65536,"h":-2147483648)")}},
    {"DetectWindowsTakeTheTableColoursAndAreReplaced",
     [](P p) { Displays(p, {{0, 0, 1920, 1080}, {-1280, 0, 1280, 1024}}); },
     {B({C("predetectmonitors", R"("red":0,"green":255,"blue":0)"), C("detectmonitors")}),
      B({C("enddetectmonitors"), C("enddetectmonitors")})},
     {"window 1 640,270,640,540 on 0,1,0,1", "front 1", "window 2 -853.3333333,312,426.6666667,512 on 0,1,0,1",
      "front 2", Ok("predetectmonitors"), "close 1", "close 2", "window 3 640,270,640,540 on 1,0.4862745098,0,1",
      "front 3", "window 4 -853.3333333,312,426.6666667,512 on 1,0.662745098,0,1", "front 4", Ok("detectmonitors"),
      "close 3", "close 4", Ok("enddetectmonitors"), Ok("enddetectmonitors")}},
    {"BorderConvertsIgnoresEmptyRectanglesAndBlinks",
     [](P p) { Displays(p, {{0, 0, 1440, 900}, {1440, -180, 1920, 1080}}, 1); },
     {B({Xywh("showborderrel", 0, 0, 65536, 65536), Xywh("showborderabs", 0, 0, 500, 0),
         Xywh("showborderrel", 0, 0, 0, 5), C("showborderabs", R"("x":0,"y":0,"w":"500","h":500)")}),
      "tick", "tick", B({Xywh("showborderabs", 100, 50, 200, 100)}), "tick", B({C("hideborder"), C("hideborder")}),
      "tick"},
     {"window 1 1440,0,1920,1080 on 0,0,0,0", "content 1 " + (kOrange + kFills1), "front 1",
      "content 1 " + (kRed + kFills1), "content 1 " + (kOrange + kFills1), "close 1",
      "window 2 100,750,200,100 on 0,0,0,0", "content 2 " + (kOrange + kFills2), "front 2",
      "content 2 " + (kRed + kFills2), "close 2"}},
};

// Takes each reply into the call log: its payload when the envelope is exact.
struct Recorder final : AgentConnection {
  Recorder() {
    setenv("XDG_STATE_HOME", "/dev/null/state", 1);  // a folder that cannot be made: no log file
    SetCurrentPlatform(&platform);
    SetAgentConnection(this);
    Displays(platform, {{0, 0, 1440, 900}});
    g_is_accepting_input = true;
    SetControllingServer("test.morrowvane.com");
  }
  ~Recorder() override { ResetCoreState(); }
  void postBodyAsync(const std::string& body) override {
    const std::string_view head = R"({"message":"nh_to_agent","payload":)";
    const bool exact = body.starts_with(head) && body.ends_with("}");
    platform.Call(exact ? body.substr(head.size(), body.size() - head.size() - 1) : body);
  }
  FakePlatform platform;
};

TEST(CommandsTest, EachRowsBatchesGiveItsRepliesCallsAndInput) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    Recorder recorder;
    FakePlatform& platform = recorder.platform;
    if (row.prep) row.prep(platform);
    for (const std::string& in : row.in) {
      rapidjson::Document batch;
      if (in == "press" || in == "later press") {
        platform.PressHotKey();
      } else if (in == "press reported twice") {
        platform.PressHotKey();
        platform.PressHotKey();
      } else if (in == "tick") {
        platform.FireTimers();
      } else if (in == "notification") {
        platform.notification_action();
      } else if (in.starts_with("rebind ")) {
        platform.rebound_letter = in.back();
      } else {
        platform.RunMainQueue();
        EXPECT_TRUE(ParseJson(in, batch)) << in;
        DispatchMultiInput(batch);
      }
    }
    Lines out = platform.calls;
    for (const MouseEvent& e : platform.mouse_events) out.push_back(Text(e));
    for (const KeyboardEvent& e : platform.keyboard_events) out.push_back(Text(e));
    EXPECT_EQ(out, row.out);
  }
}

}  // namespace
}  // namespace mv::test
