// The X11 desktop on a real Xvfb, observed from other X clients: a separate
// Xlib connection, xdotool and the x11_probe window.
#include "tests/platform/XvfbFixture.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>

#include "base/Utf8.h"
#include "platform/KeyCodes.h"
#include "platform/linux/X11Desktop.h"

namespace mv::test {
namespace {

using T = MouseEventType;

KeyboardEvent Chord(uint16_t key_code, uint64_t flags, bool down = true) {
  return {.key_code = key_code, .key_down = down, .has_flags = true, .flags = flags};
}

MouseEvent Mouse(T type, double x, double y) {
  return {.type = type, .x = x, .y = y,
          .button = type == T::kRightMouseDown || type == T::kRightMouseUp ? MouseButton::kRight : MouseButton::kLeft};
}

class X11DesktopTest : public XvfbFixture {
 protected:
  void SetUp() override {
    XvfbFixture::SetUp();
    if (HasFatalFailure()) return;
    std::string error;
    desktop_ = X11Desktop::Open(DisplayName().c_str(), &error);
    ASSERT_TRUE(desktop_) << error;
    observer_ = XOpenDisplay(DisplayName().c_str());
    ASSERT_NE(observer_, nullptr);
  }
  void TearDown() override {
    desktop_.reset();
    if (observer_) XCloseDisplay(observer_);
    if (probe_ > 0 && kill(probe_, SIGKILL) == 0) waitpid(probe_, nullptr, 0);
    close(probe_in_);
    close(probe_out_);
    XvfbFixture::TearDown();
  }

  // The x11_probe window; it ends when `probe_in_` closes.
  void StartProbe() {
    int in[2], out[2];
    ASSERT_TRUE(pipe2(in, O_CLOEXEC) == 0 && pipe2(out, O_CLOEXEC) == 0);
    if ((probe_ = fork()) == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      execl(MV_X11_PROBE, MV_X11_PROBE, nullptr);
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    probe_in_ = in[1];
    probe_out_ = out[0];
    ASSERT_EQ(ProbeLine(), "ready");
  }
  std::string ProbeLine() {
    std::string line;
    pollfd p{probe_out_, POLLIN, 0};
    for (char c = 0; poll(&p, 1, 5000) > 0 && read(probe_out_, &c, 1) == 1 && c != '\n';) line += c;
    return line;
  }

  // Every observation starts with what the program does before each reply.
  std::pair<int, int> Pointer(unsigned* modifiers = nullptr) {
    desktop_->FlushInput();
    Window w;
    int x = 0, y = 0, i;
    unsigned state = 0;
    XQueryPointer(observer_, DefaultRootWindow(observer_), &w, &w, &x, &y, &i, &i, &state);
    if (modifiers) *modifiers = state;
    return {x, y};
  }

  std::string KeyboardMapping() {
    if (desktop_) desktop_->FlushInput();
    std::string map;
    EXPECT_EQ(Shell("xmodmap -pke", &map), 0);
    return map;
  }

  // The next key press the probe reports past modifiers, motions and
  // releases: its keysym, state and text (UTF-8); keysym 0 when none came.
  std::tuple<unsigned long, unsigned, std::string> NextKey() {
    desktop_->FlushInput();
    for (std::string line = ProbeLine(); !line.empty(); line = ProbeLine()) {
      unsigned long keysym = 0;
      unsigned state = 0;
      char hex[256] = "";
      if (sscanf(line.c_str(), "key %*u %lx %x %255s", &keysym, &state, hex) != 3 ||
          (keysym >= XK_Shift_L && keysym <= XK_Hyper_R) || keysym == XK_ISO_Level3_Shift) {
        continue;
      }
      std::string text;
      for (size_t i = 0; hex[0] != '-' && hex[i] && hex[i + 1]; i += 2) text += char(std::stoi({hex + i, 2}, nullptr, 16));
      return {keysym, state, text};
    }
    return {0, 0, ""};
  }

  // Whether another client's grab of Control+Alt+Shift+letter with `extra`
  // modifiers is granted.
  bool OtherClientGrabs(char letter, unsigned extra) {
    static bool refused;
    refused = false;
    auto previous = XSetErrorHandler([](Display*, XErrorEvent* e) { return int(refused = e->error_code == BadAccess); });
    XGrabKey(observer_, XKeysymToKeycode(observer_, XK_a + (letter - 'A')), ControlMask | Mod1Mask | ShiftMask | extra,
             DefaultRootWindow(observer_), False, GrabModeAsync, GrabModeAsync);
    XSync(observer_, False);
    XSetErrorHandler(previous);
    return !refused;
  }

  std::unique_ptr<X11Desktop> desktop_;
  Display* observer_ = nullptr;
  pid_t probe_ = -1;
  int probe_in_ = -1, probe_out_ = -1;
};

TEST_F(X11DesktopTest, PointerFollowsTheMonitorsStaysOnTheScreenAndClicksWhereItIs) {
  ASSERT_NO_FATAL_FAILURE(StartProbe());
  for (const auto& [type, x, y] : std::vector<std::tuple<T, double, double>>{
           {T::kMouseMoved, 10, 20}, {T::kLeftMouseDown, 10, 20}, {T::kLeftMouseUp, 10, 20},
           {T::kRightMouseDown, -100, 300}, {T::kRightMouseUp, -100, 300},
           {T::kLeftMouseDown, 500, 500}, {T::kLeftMouseUp, 500, 500}, {T::kLeftMouseDown, 500, 500},
           {T::kLeftMouseUp, 500, 500}, {T::kLeftMouseDown, 500, 500}, {T::kLeftMouseDragged, 550, 520},
           {T::kLeftMouseUp, 550, 520}}) {
    desktop_->PostMouse(Mouse(type, x, y));
  }
  desktop_->FlushInput();
  std::vector<std::string> lines;
  for (int i = 0; i < 14; ++i) lines.push_back(ProbeLine());
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "motion 1290 20 0", "press 1 1290 20 0", "release 1 1290 20 100",
                       "motion 1180 300 0", "press 3 1180 300 0", "release 3 1180 300 400",
                       "motion 1780 500 0", "press 1 1780 500 0", "release 1 1780 500 100",
                       "press 1 1780 500 0", "release 1 1780 500 100",
                       "press 1 1780 500 0", "motion 1830 520 100", "release 1 1830 520 100"}));

  EXPECT_EQ(desktop_->MonitorBounds(),
            (std::vector<Rect>{{0, 0, 1920, 1080}, {-1280, 0, 1280, 1024}, {1920, 0, 1280, 1024}}));
  EXPECT_EQ(desktop_->PrimaryMonitorRoot(), (Rect{1280, 0, 1920, 1080}));
  // Far-off points stay at the screen's edge instead of wrapping around the
  // protocol's 16-bit coordinates.
  const struct { double x, y; int root_x, root_y; } moves[] = {
      {100, 200, 1380, 200}, {-640, 500, 640, 500}, {2020, 30, 3300, 30},
      {66000, 70000, kScreenWidth - 1, kScreenHeight - 1}, {-40000, -1e12, 0, 0}};
  for (const auto& m : moves) {
    desktop_->PostMouse(Mouse(T::kMouseMoved, m.x, m.y));
    EXPECT_EQ(Pointer(), std::make_pair(m.root_x, m.root_y)) << m.x << "," << m.y;
  }
  ASSERT_EQ(Shell("xrandr --delmonitor LEFT --delmonitor MAIN --setmonitor '*MAIN' 1920/508x1080/286+0+0 screen"), 0);
  EXPECT_EQ(desktop_->MonitorBounds(), (std::vector<Rect>{{0, 0, 1920, 1080}, {3200, 0, 1280, 1024}}));
  desktop_->PostMouse(Mouse(T::kMouseMoved, 10, 10));
  EXPECT_EQ(Pointer(), std::make_pair(10, 10));
}

TEST_F(X11DesktopTest, TextArrivesExactlyAndTheKeymapIsRestoredAtClose) {
  const std::string before = KeyboardMapping();
  ASSERT_NO_FATAL_FAILURE(StartProbe());
  // More distinct characters than the spare keycodes have levels, with repeats.
  const std::string kana = "あいうえおかきくけこさしすせそたちつてとなにぬねのはひふへほまみむめもやゆよらりるれろわをんあかさたなはまやらわ";
  std::vector<std::u16string> kana_pieces;
  for (size_t i = 0; i < kana.size(); i += 8 * 3) kana_pieces.push_back(*Utf8ToUtf16(kana.substr(i, 8 * 3)));
  // `stalled`: a receiver that reads nothing for a while as the keys are rebound.
  const struct { const char* row; std::vector<std::u16string> pieces; std::string expected;
                 const char* before = "true"; bool stalled = false; } rows[] = {
      {"ascii", {u"Hello, W", u"orld! 12", u"3 ~{}\"'"}, "Hello, World! 123 ~{}\"'"},
      {"off the layout", {u"aé€😀", u"привет", u"ÀÉÑßàÿ", u"ΩωЖж"}, "aé€😀приветÀÉÑßàÿΩωЖж"},
      {"lone surrogate", {u"x", u"ab\xD83D"}, "xab"},
      {"many distinct", kana_pieces, kana},
      {"stalled receiver", kana_pieces, kana, "true", true},
      {"Caps Lock on, Shift held", {u"aB é", u"Éжπ"}, "aB éÉжπ", "xdotool key Caps_Lock keydown Shift_L"}};
  for (const auto& row : rows) {
    ASSERT_EQ(Shell(row.before), 0) << row.row;
    if (row.stalled) kill(probe_, SIGSTOP);
    std::thread resume([&] {
      if (!row.stalled) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      kill(probe_, SIGCONT);
    });
    for (const auto& piece : row.pieces) desktop_->PostKeyboard({.key_code = 0, .key_down = true, .units = piece});
    desktop_->PostKeyboard(Chord(keycode::kReturn, 0));  // the end mark
    std::string text;
    for (auto key = NextKey(); std::get<0>(key) && std::get<0>(key) != XK_Return; key = NextKey()) text += std::get<2>(key);
    EXPECT_EQ(text, row.expected) << row.row;
    resume.join();
  }
  EXPECT_NE(KeyboardMapping(), before) << "the characters were typed through spare keycodes";
  unsigned modifiers = 0;
  Pointer(&modifiers);
  EXPECT_EQ(modifiers & (LockMask | ShiftMask), unsigned{LockMask | ShiftMask}) << "the user's Caps Lock and Shift";
  Shell("xdotool keyup Shift_L key Caps_Lock");

  desktop_.reset();
  EXPECT_EQ(KeyboardMapping(), before);
}

TEST_F(X11DesktopTest, ChordsCarryExactlyTheirModifiersOnTheActiveLayout) {
  ASSERT_NO_FATAL_FAILURE(StartProbe());
  const uint16_t c = *keycode::ForLetter('C');
  // Key ups have nothing left to post.
  desktop_->PostKeyboard(Chord(c, kEventFlagCommand, false));
  desktop_->PostKeyboard({.key_code = 0, .key_down = false, .units = u"zé"});
  // Modifiers the user holds are let go for a chord and held again after it;
  // on Dvorak, copy presses the key that types c there, not QWERTY's C.
  const struct { const char* row; uint16_t key; uint64_t flags; unsigned long keysym; unsigned state;
                 const char* before = "true"; bool shift_held = false; } rows[] = {
      {"copy", c, kEventFlagCommand, XK_c, ControlMask},
      {"select word", keycode::kLeftArrow, kEventFlagShift | kEventFlagAlternate, XK_Left, ShiftMask | ControlMask},
      {"word up", keycode::kUpArrow, kEventFlagAlternate, XK_Up, ControlMask},
      {"backspace", keycode::kDelete, 0, XK_BackSpace, 0},
      {"delete", keycode::kForwardDelete, 0, XK_Delete, 0},
      {"escape", keycode::kEscape, 0, XK_Escape, 0},
      {"user holds Shift+Alt", c, kEventFlagCommand, XK_c, ControlMask, "xdotool keydown Shift_L keydown Alt_L", true},
      {"dvorak", c, kEventFlagCommand, XK_c, ControlMask, "xdotool keyup Alt_L keyup Shift_L && setxkbmap us dvorak"}};
  for (const auto& row : rows) {
    ASSERT_EQ(Shell(row.before), 0) << row.row;
    desktop_->PostKeyboard(Chord(row.key, row.flags));
    const auto [keysym, state, text] = NextKey();
    EXPECT_EQ(keysym, row.keysym) << row.row;
    EXPECT_EQ(state & (ShiftMask | ControlMask | Mod1Mask | Mod4Mask), row.state) << row.row;
    unsigned modifiers = 0;
    Pointer(&modifiers);
    EXPECT_EQ(modifiers & (ShiftMask | ControlMask), row.shift_held ? unsigned{ShiftMask} : 0u) << row.row;
  }
}

TEST_F(X11DesktopTest, HotKeyIsGrabbedReportedOncePerPressAndStopsInput) {
  const uint32_t hot_key = kHotKeyControl | kHotKeyOption | kHotKeyShift;
  ASSERT_TRUE(OtherClientGrabs('E', 0));
  EXPECT_EQ(desktop_->GrabHotKey(*keycode::ForLetter('E'), hot_key), 0u) << "held elsewhere";
  // The variants granted before the refusal were given back.
  EXPECT_TRUE(OtherClientGrabs('E', LockMask) && OtherClientGrabs('E', Mod2Mask));
  std::atomic<int> presses{0};
  desktop_->SetHotKeyPressHandler([&] { ++presses; });
  ASSERT_NE(desktop_->GrabHotKey(*keycode::ForLetter('R'), hot_key), 0u);
  for (unsigned extra : {0u, unsigned{LockMask}, unsigned{Mod2Mask}}) EXPECT_FALSE(OtherClientGrabs('R', extra)) << extra;

  int total = 0;
  for (const auto& [keys, count] : std::vector<std::pair<std::string, int>>{
           {"key ctrl+alt+shift+r", 1},
           {"key Caps_Lock key ctrl+alt+shift+r key Caps_Lock", 1},
           {"key ctrl+alt+r key ctrl+alt+shift+e", 0},
           {"keydown ctrl+alt+shift+r sleep 1.5 keyup ctrl+alt+shift+r", 1}}) {  // held: it repeats
    // A last press of its own marks the end of what `keys` caused.
    EXPECT_EQ(Shell("xdotool " + keys + " key ctrl+alt+shift+r"), 0) << keys;
    WaitFor([&] { return presses >= count + 1; });
    EXPECT_EQ(presses, count + 1) << keys;
    total += presses.exchange(0);
  }

  // Input posting stays stopped until every press has been handled.
  const auto before = Pointer();
  desktop_->PostMouse(Mouse(T::kMouseMoved, 10, 10));
  EXPECT_EQ(Pointer(), before);
  desktop_->ResumeInput();
  EXPECT_TRUE(desktop_->InputStopped());
  for (int i = 0; i < total; ++i) desktop_->PressHandled();
  desktop_->ResumeInput();
  EXPECT_FALSE(desktop_->InputStopped());
  desktop_.reset();
  EXPECT_TRUE(OtherClientGrabs('R', 0)) << "closing frees the grab";
}

struct X11DesktopWithoutXTestTest : X11DesktopTest {
  X11DesktopWithoutXTestTest() { with_xtest_ = false; }
};

TEST_F(X11DesktopWithoutXTestTest, NoXTestMeansNoPermissionAndNoInput) {
  EXPECT_FALSE(desktop_->HasXTest());
  const auto before = Pointer();
  desktop_->PostMouse(Mouse(T::kMouseMoved, 10, 10));
  desktop_->PostMouse(Mouse(T::kLeftMouseDown, 10, 10));
  desktop_->PostKeyboard({.key_code = 0, .key_down = true, .units = u"é"});
  EXPECT_EQ(Pointer(), before);
}

}  // namespace
}  // namespace mv::test
