// The X11 desktop on a real Xvfb, observed from other X clients: a separate
// Xlib connection, xdotool and the x11_probe window.
#include "tests/platform/XvfbFixture.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "platform/KeyCodes.h"
#include "platform/linux/X11Desktop.h"

namespace mv::test {
namespace {

constexpr uint32_t kHotKey = kHotKeyControl | kHotKeyOption | kHotKeyShift;

// The x11_probe window (DISPLAY is already set), its output read line by line
// with bounded waits.
struct Probe {
  Probe() {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    char* argv[] = {const_cast<char*>(MV_X11_PROBE), nullptr};
    if (posix_spawn(&pid, MV_X11_PROBE, &actions, nullptr, argv, environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    input = in[1];  // held open: the probe ends when it closes
    output = out[0];
  }
  ~Probe() {
    close(input);
    close(output);
    if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
  }

  std::optional<std::string> ReadLine() {
    std::string line;
    pollfd p{output, POLLIN, 0};
    for (char c = 0; poll(&p, 1, 5000) > 0 && read(output, &c, 1) == 1;) {
      if (c == '\n') return line;
      line += c;
    }
    return std::nullopt;
  }

  pid_t pid = -1;
  int input = -1, output = -1;
};

struct KeyLine {
  unsigned keycode = 0, state = 0;
  unsigned long keysym = 0;
  std::string text;  // UTF-8
};

// A probe line "key KEYCODE KEYSYM STATE TEXT", or nothing.
std::optional<KeyLine> ParseKey(const std::string& line) {
  KeyLine key;
  char hex[256] = "";
  if (std::sscanf(line.c_str(), "key %u %lx %x %255s", &key.keycode, &key.keysym, &key.state, hex) != 4) return {};
  for (size_t i = 0; hex[0] != '-' && hex[i] && hex[i + 1]; i += 2) {
    key.text += static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16));
  }
  return key;
}

KeyboardEvent Chord(uint16_t key_code, uint64_t flags, bool down = true) {
  return {.key_code = key_code, .key_down = down, .has_flags = true, .flags = flags};
}

KeyboardEvent Text(std::u16string units, bool down = true) {
  return {.key_code = 0, .key_down = down, .units = std::move(units)};
}

MouseEvent Mouse(MouseEventType type, double x, double y) {
  const bool right = type == MouseEventType::kRightMouseDown || type == MouseEventType::kRightMouseUp;
  return {.type = type, .x = x, .y = y, .button = right ? MouseButton::kRight : MouseButton::kLeft};
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
    XvfbFixture::TearDown();
  }

  // Every observation starts with what the program does before each reply.
  std::pair<int, int> Pointer(unsigned* modifiers = nullptr) {
    if (desktop_) desktop_->FlushInput();
    Window root, child;
    int root_x = 0, root_y = 0, x, y;
    unsigned state = 0;
    XQueryPointer(observer_, DefaultRootWindow(observer_), &root, &child, &root_x, &root_y, &x, &y, &state);
    if (modifiers) *modifiers = state;
    return {root_x, root_y};
  }

  std::string KeyboardMapping() {
    if (desktop_) desktop_->FlushInput();
    std::string map;
    EXPECT_EQ(Run("xmodmap -pke", &map), 0);
    return map;
  }

  void StartProbe() {
    probe_ = std::make_unique<Probe>();
    ASSERT_GT(probe_->pid, 0);
    ASSERT_EQ(probe_->ReadLine(), "ready");
  }

  // The next key press the probe reports, past modifiers, motions and releases.
  std::optional<KeyLine> NextKey() {
    desktop_->FlushInput();
    while (auto line = probe_->ReadLine()) {
      auto key = ParseKey(*line);
      if (key && !(key->keysym >= XK_Shift_L && key->keysym <= XK_Hyper_R) && key->keysym != XK_ISO_Level3_Shift) {
        return key;
      }
    }
    ADD_FAILURE() << "the probe reported no further key";
    return std::nullopt;
  }

  // Types each piece (key down, key up), then Return as an end mark; answers
  // the text that arrived before the mark.
  std::string TypeAndCollect(const std::vector<std::u16string>& pieces) {
    for (const auto& piece : pieces) {
      desktop_->PostKeyboard(Text(piece));
      desktop_->PostKeyboard(Text(piece, false));
    }
    desktop_->PostKeyboard(Chord(keycode::kReturn, 0));
    desktop_->PostKeyboard(Chord(keycode::kReturn, 0, false));
    std::string text;
    for (auto key = NextKey(); key && key->keysym != XK_Return; key = NextKey()) text += key->text;
    return text;
  }

  KeyLine ChordSeen(uint16_t key_code, uint64_t flags) {
    desktop_->PostKeyboard(Chord(key_code, flags));
    desktop_->PostKeyboard(Chord(key_code, flags, false));
    return NextKey().value_or(KeyLine{});
  }

  // Whether another client's grab of Control+Alt+Shift+letter with `extra`
  // modifiers is granted.
  bool OtherClientGrabs(char letter, unsigned extra) {
    refused_ = false;
    auto previous = XSetErrorHandler([](Display*, XErrorEvent* e) {
      if (e->error_code == BadAccess) refused_ = true;
      return 0;
    });
    XGrabKey(observer_, XKeysymToKeycode(observer_, XK_a + (letter - 'A')),
             ControlMask | Mod1Mask | ShiftMask | extra, DefaultRootWindow(observer_), False,
             GrabModeAsync, GrabModeAsync);
    XSync(observer_, False);
    XSetErrorHandler(previous);
    return !refused_;
  }

  std::unique_ptr<X11Desktop> desktop_;
  Display* observer_ = nullptr;
  std::unique_ptr<Probe> probe_;
  static inline bool refused_ = false;
};

TEST_F(X11DesktopTest, MonitorsAndPointerFollowTheLayoutAndStayOnTheScreen) {
  EXPECT_EQ(desktop_->MonitorBounds(),
            (std::vector<Rect>{{0, 0, 1920, 1080}, {-1280, 0, 1280, 1024}, {1920, 0, 1280, 1024}}));
  EXPECT_EQ(desktop_->PrimaryMonitorRoot(), (Rect{1280, 0, 1920, 1080}));
  // Global points to root pixels; far-off points stay at the screen's edge
  // instead of wrapping around the protocol's 16-bit coordinates.
  const struct { double x, y; int root_x, root_y; } moves[] = {
      {100, 200, 1380, 200}, {-640, 500, 640, 500}, {2020, 30, 3300, 30},
      {66000, 70000, kScreenWidth - 1, kScreenHeight - 1}, {-40000, -1e12, 0, 0}};
  for (const auto& m : moves) {
    desktop_->PostMouse(Mouse(MouseEventType::kMouseMoved, m.x, m.y));
    EXPECT_EQ(Pointer(), std::make_pair(m.root_x, m.root_y)) << m.x << "," << m.y;
  }
  ASSERT_EQ(Run("xrandr --delmonitor LEFT --delmonitor MAIN"), 0);
  ASSERT_EQ(Run("xrandr --setmonitor '*MAIN' 1920/508x1080/286+0+0 screen"), 0);
  EXPECT_EQ(desktop_->MonitorBounds(), (std::vector<Rect>{{0, 0, 1920, 1080}, {3200, 0, 1280, 1024}}));
  desktop_->PostMouse(Mouse(MouseEventType::kMouseMoved, 10, 10));
  EXPECT_EQ(Pointer(), std::make_pair(10, 10));
}

TEST_F(X11DesktopTest, ClicksDoubleClicksAndDragsReachTheWindowUnderThePoint) {
  ASSERT_NO_FATAL_FAILURE(StartProbe());
  using T = MouseEventType;
  for (const auto& [type, x, y] : std::vector<std::tuple<T, double, double>>{
           {T::kMouseMoved, 10, 20}, {T::kLeftMouseDown, 10, 20}, {T::kLeftMouseUp, 10, 20},
           {T::kRightMouseDown, -100, 300}, {T::kRightMouseUp, -100, 300},
           {T::kLeftMouseDown, 500, 500}, {T::kLeftMouseUp, 500, 500},
           {T::kLeftMouseDown, 500, 500}, {T::kLeftMouseUp, 500, 500}, {T::kLeftMouseDown, 500, 500},
           {T::kLeftMouseDragged, 550, 520}, {T::kLeftMouseUp, 550, 520}}) {
    desktop_->PostMouse(Mouse(type, x, y));
  }
  desktop_->FlushInput();
  std::vector<std::string> lines;
  for (int i = 0; i < 14; ++i) lines.push_back(probe_->ReadLine().value_or("(nothing)"));
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "motion 1290 20 0", "press 1 1290 20 0", "release 1 1290 20 100",
                       "motion 1180 300 0", "press 3 1180 300 0", "release 3 1180 300 400",
                       "motion 1780 500 0", "press 1 1780 500 0", "release 1 1780 500 100",
                       "press 1 1780 500 0", "release 1 1780 500 100",
                       "press 1 1780 500 0", "motion 1830 520 100", "release 1 1830 520 100"}));
}

TEST_F(X11DesktopTest, TextArrivesExactlyAndTheKeymapIsRestoredAtClose) {
  const std::string before = KeyboardMapping();
  ASSERT_NO_FATAL_FAILURE(StartProbe());
  // More distinct characters than the spare keycodes have levels, with repeats.
  const std::u16string kana = u"あいうえおかきくけこさしすせそたちつてとなにぬねのはひふへほまみむめもやゆよらりるれろわをん"
                              u"あかさたなはまやらわ";
  std::vector<std::u16string> kana_pieces;
  for (size_t i = 0; i < kana.size(); i += 8) kana_pieces.push_back(kana.substr(i, 8));
  const std::string kana_text =
      "あいうえおかきくけこさしすせそたちつてとなにぬねのはひふへほまみむめもやゆよらりるれろわをんあかさたなはまやらわ";
  // `stalled`: a receiver that reads nothing for a while as the keys are rebound.
  const struct { const char* row; std::vector<std::u16string> pieces; std::string expected;
                 const char* before = "true"; bool stalled = false; } rows[] = {
      {"ascii", {u"Hello, W", u"orld! 12", u"3 ~{}\"'"}, "Hello, World! 123 ~{}\"'"},
      {"off the layout", {u"aé€😀", u"привет", u"ÀÉÑßàÿ", u"ΩωЖж"}, "aé€😀приветÀÉÑßàÿΩωЖж"},
      {"lone surrogate", {u"x", u"ab\xD83D"}, "xab"},
      {"many distinct", kana_pieces, kana_text},
      {"stalled receiver", kana_pieces, kana_text, "true", true},
      {"Caps Lock on, Shift held", {u"aB é", u"Éжπ"}, "aB éÉжπ", "xdotool key Caps_Lock keydown Shift_L"}};
  for (const auto& row : rows) {
    ASSERT_EQ(Run(row.before), 0) << row.row;
    ASSERT_EQ(row.stalled ? kill(probe_->pid, SIGSTOP) : 0, 0) << row.row;
    std::thread resume([&] {
      if (!row.stalled) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      kill(probe_->pid, SIGCONT);
    });
    EXPECT_EQ(TypeAndCollect(row.pieces), row.expected) << row.row;
    resume.join();
  }
  EXPECT_NE(KeyboardMapping(), before) << "the characters were typed through spare keycodes";
  unsigned modifiers = 0;
  Pointer(&modifiers);
  EXPECT_EQ(modifiers & (LockMask | ShiftMask), unsigned{LockMask | ShiftMask}) << "the user's Caps Lock and Shift";
  Run("xdotool keyup Shift_L key Caps_Lock");

  desktop_.reset();
  EXPECT_EQ(KeyboardMapping(), before);
}

TEST_F(X11DesktopTest, ChordsCarryExactlyTheirModifiersOnTheActiveLayout) {
  ASSERT_NO_FATAL_FAILURE(StartProbe());
  const uint16_t c = *keycode::ForLetter('C');
  // Key ups alone have nothing left to post.
  desktop_->PostKeyboard(Chord(c, kEventFlagCommand, false));
  desktop_->PostKeyboard(Text(u"zé", false));
  // Modifiers the user holds are let go for a chord and held again after it;
  // on Dvorak, copy presses the key that types c there, not QWERTY's C (54).
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
  KeyLine seen;
  for (const auto& row : rows) {
    ASSERT_EQ(Run(row.before), 0) << row.row;
    seen = ChordSeen(row.key, row.flags);
    EXPECT_EQ(seen.keysym, row.keysym) << row.row;
    EXPECT_EQ(seen.state & (ShiftMask | ControlMask | Mod1Mask | Mod4Mask), row.state) << row.row;
    unsigned modifiers = 0;
    Pointer(&modifiers);
    EXPECT_EQ(modifiers & (ShiftMask | ControlMask), row.shift_held ? unsigned{ShiftMask} : 0u) << row.row;
  }
  EXPECT_NE(seen.keycode, 54u) << "dvorak";
}

TEST_F(X11DesktopTest, HotKeyIsGrabbedReportedOncePerPressAndStopsInput) {
  ASSERT_TRUE(OtherClientGrabs('E', 0));
  EXPECT_EQ(desktop_->GrabHotKey(*keycode::ForLetter('E'), kHotKey), 0u) << "held elsewhere";
  // The variants granted before the refusal were given back.
  EXPECT_TRUE(OtherClientGrabs('E', LockMask));
  EXPECT_TRUE(OtherClientGrabs('E', Mod2Mask));
  std::atomic<int> presses{0};
  desktop_->SetHotKeyPressHandler([&] { ++presses; });
  ASSERT_NE(desktop_->GrabHotKey(*keycode::ForLetter('R'), kHotKey), 0u);
  for (unsigned extra : {0u, unsigned{LockMask}, unsigned{Mod2Mask}}) EXPECT_FALSE(OtherClientGrabs('R', extra)) << extra;

  int total = 0;
  auto presses_after = [&](const std::string& keys, int count) {
    EXPECT_EQ(Run("xdotool " + keys), 0) << keys;
    // A last press of its own marks the end of what `keys` caused.
    EXPECT_EQ(Run("xdotool key ctrl+alt+shift+r"), 0);
    WaitFor([&] { return presses >= count + 1; });
    EXPECT_EQ(presses, count + 1) << keys;
    total += presses.exchange(0);
  };
  presses_after("key ctrl+alt+shift+r", 1);
  presses_after("key Caps_Lock key ctrl+alt+shift+r key Caps_Lock", 1);
  presses_after("key ctrl+alt+r key ctrl+alt+shift+e", 0);
  presses_after("keydown ctrl+alt+shift+r sleep 1.5 keyup ctrl+alt+shift+r", 1);  // held: it repeats

  // Input posting stays stopped until every press has been handled.
  const auto before = Pointer();
  desktop_->PostMouse(Mouse(MouseEventType::kMouseMoved, 10, 10));
  EXPECT_EQ(Pointer(), before);
  desktop_->ResumeInput();
  EXPECT_TRUE(desktop_->InputStopped());
  for (int i = 0; i < total; ++i) desktop_->PressHandled();
  desktop_->ResumeInput();
  EXPECT_FALSE(desktop_->InputStopped());
  desktop_.reset();
  EXPECT_TRUE(OtherClientGrabs('R', 0)) << "closing frees the grab";
}

class X11DesktopWithoutXTestTest : public X11DesktopTest {
  bool WithXTest() const override { return false; }
};

TEST_F(X11DesktopWithoutXTestTest, NoXTestMeansNoPermissionAndNoInput) {
  EXPECT_FALSE(desktop_->HasXTest());
  const auto before = Pointer();
  desktop_->PostMouse(Mouse(MouseEventType::kMouseMoved, 10, 10));
  desktop_->PostMouse(Mouse(MouseEventType::kLeftMouseDown, 10, 10));
  desktop_->PostKeyboard(Text(u"é"));
  EXPECT_EQ(Pointer(), before);
  EXPECT_EQ(desktop_->MonitorBounds().size(), 3u);
}

}  // namespace
}  // namespace mv::test
