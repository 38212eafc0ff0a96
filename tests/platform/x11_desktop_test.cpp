// The X11 desktop on a real Xvfb, observed from other X clients: a separate
// Xlib connection, xdotool and the x11_probe window.
#include "tests/platform/ChildProcess.h"
#include "tests/platform/XvfbFixture.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <poll.h>
#include <signal.h>

#include <atomic>
#include <functional>
#include <sstream>
#include <thread>

#include "platform/KeyCodes.h"
#include "platform/linux/X11Desktop.h"

// libXrandr keeps 32 bytes per display when the server lacks RandR and never
// frees them; that is the library's, not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libXrandr.so\n"; }

namespace mv::test {
namespace {

using std::chrono::milliseconds;
constexpr milliseconds kPatience(5000);

struct KeyLine {
  unsigned keycode = 0;
  unsigned long keysym = 0;
  unsigned state = 0;
  std::string text;  // UTF-8
};

std::string FromHex(const std::string& hex) {
  std::string bytes;
  if (hex == "-") return bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

std::optional<KeyLine> ParseKey(const std::string& line) {
  std::istringstream in(line);
  std::string word, hex_text;
  KeyLine key;
  in >> word >> key.keycode >> std::hex >> key.keysym >> key.state >> hex_text;
  if (word != "key" || !in) return std::nullopt;
  key.text = FromHex(hex_text);
  return key;
}

KeyboardEvent Chord(uint16_t key_code, uint64_t flags, bool down) {
  return {.key_code = key_code, .key_down = down, .has_flags = true, .flags = flags};
}

KeyboardEvent Text(std::u16string units, bool down) {
  return {.key_code = 0, .key_down = down, .units = std::move(units)};
}

MouseEvent Mouse(MouseEventType type, double x, double y) {
  return {.type = type,
          .x = x,
          .y = y,
          .button = type == MouseEventType::kRightMouseDown || type == MouseEventType::kRightMouseUp
                        ? MouseButton::kRight
                        : MouseButton::kLeft};
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

  // What the program does at the end of each batch and before each reply:
  // every observation below starts with it.
  void Flush() {
    if (desktop_) desktop_->FlushInput();
  }

  std::pair<int, int> Pointer() {
    Flush();
    Window root, child;
    int root_x = 0, root_y = 0, x, y;
    unsigned mask;
    XQueryPointer(observer_, DefaultRootWindow(observer_), &root, &child, &root_x, &root_y, &x,
                  &y, &mask);
    return {root_x, root_y};
  }

  unsigned ModifierState() {
    Flush();
    Window root, child;
    int root_x, root_y, x, y;
    unsigned mask = 0;
    XQueryPointer(observer_, DefaultRootWindow(observer_), &root, &child, &root_x, &root_y, &x,
                  &y, &mask);
    return mask;
  }

  void StartProbe() {
    probe_ = ChildProcess::Start({MV_X11_PROBE}, DisplayName());
    ASSERT_TRUE(probe_);
    ASSERT_EQ(probe_->ReadLine(kPatience), "ready");
  }

  // The probe's lines up to and including the first that `last` accepts.
  std::vector<std::string> ReadUntil(const std::function<bool(const std::string&)>& last) {
    Flush();
    std::vector<std::string> lines;
    while (auto line = probe_->ReadLine(kPatience)) {
      lines.push_back(*line);
      if (last(*line)) return lines;
    }
    ADD_FAILURE() << "the probe did not report the expected event; it saw "
                  << ::testing::PrintToString(lines);
    return lines;
  }

  // Lines of button presses and releases only.
  std::vector<std::string> Buttons(const std::vector<std::string>& lines) {
    std::vector<std::string> result;
    for (const auto& l : lines) {
      if (l.starts_with("press") || l.starts_with("release")) result.push_back(l);
    }
    return result;
  }

  // Posts each piece as a key down and key up of typed text, then Return as
  // an end mark; answers the text the probe received before the mark.
  std::string TypeAndCollect(const std::vector<std::u16string>& pieces) {
    for (const auto& piece : pieces) {
      desktop_->PostKeyboard(Text(piece, true));
      desktop_->PostKeyboard(Text(piece, false));
    }
    desktop_->PostKeyboard(Chord(keycode::kReturn, 0, true));
    desktop_->PostKeyboard(Chord(keycode::kReturn, 0, false));
    std::string text;
    for (const auto& line : ReadUntil([](const std::string& l) {
           auto key = ParseKey(l);
           return key && key->keysym == XK_Return;
         })) {
      auto key = ParseKey(line);
      if (key && key->keysym != XK_Return) text += key->text;
    }
    return text;
  }

  // Posts a chord and answers the probe's report of its non-modifier key.
  KeyLine ChordSeen(uint16_t key_code, uint64_t flags) {
    desktop_->PostKeyboard(Chord(key_code, flags, true));
    desktop_->PostKeyboard(Chord(key_code, flags, false));
    auto lines = ReadUntil([](const std::string& l) {
      auto key = ParseKey(l);
      return key && !IsModifierKey(key->keysym);
    });
    return ParseKey(lines.back()).value_or(KeyLine{});
  }

  static bool IsModifierKey(unsigned long keysym) {
    return (keysym >= XK_Shift_L && keysym <= XK_Hyper_R) || keysym == XK_ISO_Level3_Shift;
  }

  std::vector<KeySym> KeyboardMapping() {
    Flush();
    int min_keycode, max_keycode, per_keycode;
    XDisplayKeycodes(observer_, &min_keycode, &max_keycode);
    KeySym* map = XGetKeyboardMapping(observer_, static_cast<KeyCode>(min_keycode),
                                      max_keycode - min_keycode + 1, &per_keycode);
    std::vector<KeySym> result(map, map + (max_keycode - min_keycode + 1) * per_keycode);
    XFree(map);
    return result;
  }

  bool KeyIsDown(KeySym keysym) {
    Flush();
    char keys[32];
    XQueryKeymap(observer_, keys);
    KeyCode key = XKeysymToKeycode(observer_, keysym);
    return key != 0 && (keys[key / 8] & (1 << (key % 8)));
  }

  std::unique_ptr<X11Desktop> desktop_;
  Display* observer_ = nullptr;
  std::unique_ptr<ChildProcess> probe_;
};

// Displays -----------------------------------------------------------------

TEST_F(X11DesktopTest, MonitorsArePrimaryFirstInGlobalSpace) {
  std::vector<Rect> expected = {{0, 0, 1920, 1080}, {-1280, 0, 1280, 1024}, {1920, 0, 1280, 1024}};
  EXPECT_EQ(desktop_->MonitorBounds(), expected);
  EXPECT_EQ(desktop_->PrimaryMonitorRoot(), (Rect{1280, 0, 1920, 1080}));
}

TEST_F(X11DesktopTest, MonitorsFollowALayoutChange) {
  desktop_->PostMouse(Mouse(MouseEventType::kMouseMoved, 10, 10));
  EXPECT_EQ(Pointer(), std::make_pair(kMainRootX + 10, 10));
  ASSERT_EQ(Server().Run("xrandr --delmonitor LEFT --delmonitor MAIN"), 0);
  ASSERT_EQ(Server().Run("xrandr --setmonitor '*MAIN' 1920/508x1080/286+0+0 screen"), 0);
  std::vector<Rect> expected = {{0, 0, 1920, 1080}, {3200, 0, 1280, 1024}};
  EXPECT_EQ(desktop_->MonitorBounds(), expected);
  // Moves convert with the new layout, also without a new enumeration.
  desktop_->PostMouse(Mouse(MouseEventType::kMouseMoved, 10, 10));
  EXPECT_EQ(Pointer(), std::make_pair(10, 10));
}

class X11DesktopSingleScreenTest : public X11DesktopTest {
  XvfbOptions Options() const override { return {.three_monitors = false}; }
};

TEST_F(X11DesktopSingleScreenTest, TheWholeScreenIsTheOnlyMonitor) {
  std::vector<Rect> expected = {{0, 0, kScreenWidth, kScreenHeight}};
  EXPECT_EQ(desktop_->MonitorBounds(), expected);
  EXPECT_EQ(desktop_->PrimaryMonitorRoot(), expected[0]);
}

class X11DesktopWithoutRandRTest : public X11DesktopTest {
  XvfbOptions Options() const override {
    return {.three_monitors = false, .extra_arguments = {"-extension", "RANDR"}};
  }
};

TEST_F(X11DesktopWithoutRandRTest, TheWholeScreenIsTheOnlyMonitor) {
  std::vector<Rect> expected = {{0, 0, kScreenWidth, kScreenHeight}};
  EXPECT_EQ(desktop_->MonitorBounds(), expected);
  desktop_->PostMouse(Mouse(MouseEventType::kMouseMoved, 4000, 1400));
  EXPECT_EQ(Pointer(), std::make_pair(4000, 1400));
}

TEST(X11DesktopOpenTest, AMissingDisplayIsAnErrorNotACrash) {
  std::string error;
  auto desktop = X11Desktop::Open(":65000", &error);
  EXPECT_EQ(desktop, nullptr);
  EXPECT_NE(error.find(":65000"), std::string::npos) << error;
}

// Mouse ---------------------------------------------------------------------

TEST_F(X11DesktopTest, MovesLandAtTheRootPositionOfTheGlobalPoint) {
  desktop_->PostMouse(Mouse(MouseEventType::kMouseMoved, 100, 200));
  EXPECT_EQ(Pointer(), std::make_pair(kMainRootX + 100, 200));
  desktop_->PostMouse(Mouse(MouseEventType::kMouseMoved, -640, 500));  // on LEFT
  EXPECT_EQ(Pointer(), std::make_pair(640, 500));
  desktop_->PostMouse(Mouse(MouseEventType::kLeftMouseDragged, 2020, 30));  // on RIGHT
  EXPECT_EQ(Pointer(), std::make_pair(3300, 30));
  desktop_->PostMouse(Mouse(MouseEventType::kMouseMoved, 0, 0));
  EXPECT_EQ(Pointer(), std::make_pair(kMainRootX, 0));
  // Points off the root window stay at its edge instead of wrapping around
  // the 16-bit coordinates of the protocol.
  desktop_->PostMouse(Mouse(MouseEventType::kMouseMoved, 66000, 70000));
  EXPECT_EQ(Pointer(), std::make_pair(kScreenWidth - 1, kScreenHeight - 1));
  desktop_->PostMouse(Mouse(MouseEventType::kMouseMoved, -40000, -1e12));
  EXPECT_EQ(Pointer(), std::make_pair(0, 0));
}

TEST_F(X11DesktopTest, LeftAndRightClicksReachTheWindowUnderThePoint) {
  ASSERT_NO_FATAL_FAILURE(StartProbe());
  desktop_->PostMouse(Mouse(MouseEventType::kMouseMoved, 10, 20));
  desktop_->PostMouse(Mouse(MouseEventType::kLeftMouseDown, 10, 20));
  desktop_->PostMouse(Mouse(MouseEventType::kLeftMouseUp, 10, 20));
  desktop_->PostMouse(Mouse(MouseEventType::kMouseMoved, -100, 300));
  desktop_->PostMouse(Mouse(MouseEventType::kRightMouseDown, -100, 300));
  desktop_->PostMouse(Mouse(MouseEventType::kRightMouseUp, -100, 300));
  auto lines = ReadUntil([](const std::string& l) { return l.starts_with("release 3"); });
  std::vector<std::string> expected = {"press 1 1290 20 0", "release 1 1290 20 100",
                                       "press 3 1180 300 0", "release 3 1180 300 400"};
  EXPECT_EQ(Buttons(lines), expected);
  // The pointer reached the point before the press.
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "motion 1290 20 0");
}

TEST_F(X11DesktopTest, ADoubleClickIsTwoPairsBackToBack) {
  ASSERT_NO_FATAL_FAILURE(StartProbe());
  desktop_->PostMouse(Mouse(MouseEventType::kMouseMoved, 500, 500));
  for (int i = 0; i < 2; ++i) {
    desktop_->PostMouse(Mouse(MouseEventType::kLeftMouseDown, 500, 500));
    desktop_->PostMouse(Mouse(MouseEventType::kLeftMouseUp, 500, 500));
  }
  int releases = 0;
  auto lines = ReadUntil([&](const std::string& l) {
    return l.starts_with("release 1") && ++releases == 2;
  });
  std::vector<std::string> expected = {"press 1 1780 500 0", "release 1 1780 500 100",
                                       "press 1 1780 500 0", "release 1 1780 500 100"};
  EXPECT_EQ(Buttons(lines), expected);
  for (const auto& l : lines) EXPECT_FALSE(l.starts_with("motion") && l != "motion 1780 500 0") << l;
}

TEST_F(X11DesktopTest, ADragMovesWithTheLeftButtonHeld) {
  ASSERT_NO_FATAL_FAILURE(StartProbe());
  desktop_->PostMouse(Mouse(MouseEventType::kLeftMouseDown, 100, 100));
  desktop_->PostMouse(Mouse(MouseEventType::kLeftMouseDragged, 150, 120));
  desktop_->PostMouse(Mouse(MouseEventType::kLeftMouseDragged, 300, 200));
  desktop_->PostMouse(Mouse(MouseEventType::kLeftMouseUp, 300, 200));
  auto lines = ReadUntil([](const std::string& l) { return l.starts_with("release 1"); });
  std::vector<std::string> expected = {"motion 1380 100 0", "press 1 1380 100 0",
                                       "motion 1430 120 100", "motion 1580 200 100",
                                       "release 1 1580 200 100"};
  EXPECT_EQ(lines, expected);
}

// Typed text ------------------------------------------------------------------

TEST_F(X11DesktopTest, AsciiTextArrivesExactly) {
  ASSERT_NO_FATAL_FAILURE(StartProbe());
  EXPECT_EQ(TypeAndCollect({u"Hello, W", u"orld! 12", u"3 ~{}\"'"}), "Hello, World! 123 ~{}\"'");
}

TEST_F(X11DesktopTest, CharactersOffTheLayoutArriveExactly) {
  ASSERT_NO_FATAL_FAILURE(StartProbe());
  EXPECT_EQ(TypeAndCollect({u"aé€😀"}), "aé€😀");
  EXPECT_EQ(TypeAndCollect({u"привет", u"Ωmega"}), "приветΩmega");
  EXPECT_EQ(TypeAndCollect({u"ÀÉÑßàÿ", u"ΩωЖж"}), "ÀÉÑßàÿΩωЖж");
}

TEST_F(X11DesktopTest, ManyDistinctCharactersRotateThroughTheSpareKeysAlsoForAStalledReceiver) {
  ASSERT_NO_FATAL_FAILURE(StartProbe());
  // More distinct characters than the layout's empty keycodes have levels
  // (19 on Xvfb, two levels each), with repeats, in pieces of eight units.
  const std::string expected =
      "あいうえおかきくけこさしすせそたちつてとなにぬねのはひふへほまみむめもやゆよらりるれろわをん"
      "あかさたなはまやらわ";
  std::u16string text = u"あいうえおかきくけこさしすせそたちつてとなにぬねのはひふへほまみむめもやゆよらりるれろわをん"
                        u"あかさたなはまやらわ";
  std::vector<std::u16string> pieces;
  for (size_t i = 0; i < text.size(); i += 8) pieces.push_back(text.substr(i, 8));
  EXPECT_EQ(TypeAndCollect(pieces), expected);
  // A receiver that reads nothing for 300 ms while the keys are rebound
  // still gets every character as it was typed.
  ASSERT_EQ(kill(probe_->Pid(), SIGSTOP), 0);
  std::thread resume([pid = probe_->Pid()] {
    std::this_thread::sleep_for(milliseconds(300));
    kill(pid, SIGCONT);
  });
  const std::string stalled = TypeAndCollect(pieces);
  resume.join();
  EXPECT_EQ(stalled, expected);
}

TEST_F(X11DesktopTest, KeyUpOfTextTypesNothingMoreAndALoneSurrogateIsDropped) {
  ASSERT_NO_FATAL_FAILURE(StartProbe());
  std::u16string lone_high = u"ab";
  lone_high += static_cast<char16_t>(0xD83D);
  EXPECT_EQ(TypeAndCollect({u"x", lone_high}), "xab");
}

TEST_F(X11DesktopTest, TextIgnoresModifiersTheLocalUserHolds) {
  ASSERT_NO_FATAL_FAILURE(StartProbe());
  ASSERT_EQ(Server().Run("xdotool keydown Shift_L"), 0);
  ASSERT_TRUE(KeyIsDown(XK_Shift_L));
  desktop_->PostKeyboard(Text(u"ab", true));
  std::string text;
  for (const auto& line : ReadUntil([](const std::string& l) {
         auto key = ParseKey(l);
         return key && key->keysym == 'b';
       })) {
    auto key = ParseKey(line);
    if (key && !IsModifierKey(key->keysym)) {
      text += key->text;
      EXPECT_EQ(key->state & ShiftMask, 0u) << line;
    }
  }
  EXPECT_EQ(text, "ab");
  EXPECT_TRUE(KeyIsDown(XK_Shift_L)) << "the user's Shift is held again afterwards";
  Server().Run("xdotool keyup Shift_L");
}

TEST_F(X11DesktopTest, TextArrivesExactlyWithCapsLockOn) {
  ASSERT_NO_FATAL_FAILURE(StartProbe());
  ASSERT_EQ(Server().Run("xdotool key Caps_Lock"), 0);
  ASSERT_TRUE(ModifierState() & LockMask);
  EXPECT_EQ(TypeAndCollect({u"aB é", u"Éжπ"}), "aB éÉжπ");
  EXPECT_TRUE(ModifierState() & LockMask) << "Caps Lock is on again afterwards";
}

TEST_F(X11DesktopTest, TheKeymapIsRestoredWhenTheDesktopCloses) {
  const std::vector<KeySym> before = KeyboardMapping();
  ASSERT_NO_FATAL_FAILURE(StartProbe());
  EXPECT_EQ(TypeAndCollect({u"Ωжπ"}), "Ωжπ");
  EXPECT_NE(KeyboardMapping(), before) << "the characters were typed through spare keycodes";
  desktop_.reset();
  EXPECT_EQ(KeyboardMapping(), before);
}

// The same through a Qt line edit.
class X11DesktopQtTest : public X11DesktopTest {
 protected:
  void StartQtProbe() {
    probe_ = ChildProcess::Start({MV_X11_QT_PROBE, "-platform", "xcb"}, DisplayName());
    ASSERT_TRUE(probe_);
    ASSERT_EQ(probe_->ReadLine(kPatience * 2), "ready");
  }

  void Post(const std::vector<KeyboardEvent>& presses) {
    for (KeyboardEvent event : presses) {
      desktop_->PostKeyboard(event);
      event.key_down = false;
      desktop_->PostKeyboard(event);
    }
  }

  // Return, then the line edit's content as it reports it.
  std::string LineEditText() {
    Post({Chord(keycode::kReturn, 0, true)});
    auto lines = ReadUntil([](const std::string& l) { return l.starts_with("text "); });
    return lines.empty() ? std::string() : FromHex(lines.back().substr(5));
  }
};

TEST_F(X11DesktopQtTest, ALineEditReceivesExactlyTheText) {
  ASSERT_NO_FATAL_FAILURE(StartQtProbe());
  Post({Text(u"Hello, W", true), Text(u"orld! 1~", true)});
  EXPECT_EQ(LineEditText(), "Hello, World! 1~");
  Post({Text(u"aé€😀", true), Text(u"привет", true), Text(u"ÀÉΩж", true)});
  EXPECT_EQ(LineEditText(), "aé€😀приветÀÉΩж");
}

TEST_F(X11DesktopQtTest, ChordsEditLikeTheirShortcuts) {
  ASSERT_NO_FATAL_FAILURE(StartQtProbe());
  const uint64_t select_long = kEventFlagShift | kEventFlagAlternate;
  // Shift+Control+Left selects the last word, typing replaces it.
  Post({Text(u"hello wo", true), Text(u"rld", true),
        Chord(keycode::kLeftArrow, select_long, true), Text(u"thére", true)});
  EXPECT_EQ(LineEditText(), "hello thére");
  // Select all, copy, paste twice at the end; Backspace deletes one.
  Post({Text(u"ab", true), Chord(*keycode::ForLetter('A'), kEventFlagCommand, true),
        Chord(*keycode::ForLetter('C'), kEventFlagCommand, true),
        Chord(keycode::kRightArrow, 0, true),
        Chord(*keycode::ForLetter('V'), kEventFlagCommand, true),
        Chord(*keycode::ForLetter('V'), kEventFlagCommand, true),
        Chord(keycode::kDelete, 0, true)});
  EXPECT_EQ(LineEditText(), "ababa");
}

// Chords ----------------------------------------------------------------------

TEST_F(X11DesktopTest, ChordsCarryExactlyTheirModifiers) {
  ASSERT_NO_FATAL_FAILURE(StartProbe());
  const unsigned mods = ShiftMask | ControlMask | Mod1Mask | Mod4Mask;

  KeyLine copy = ChordSeen(*keycode::ForLetter('C'), kEventFlagCommand);
  EXPECT_EQ(copy.keysym, static_cast<unsigned long>(XK_c));
  EXPECT_EQ(copy.state & mods, static_cast<unsigned>(ControlMask));

  KeyLine select = ChordSeen(keycode::kLeftArrow, kEventFlagShift | kEventFlagAlternate);
  EXPECT_EQ(select.keysym, static_cast<unsigned long>(XK_Left));
  EXPECT_EQ(select.state & mods, static_cast<unsigned>(ShiftMask | ControlMask));

  KeyLine up = ChordSeen(keycode::kUpArrow, kEventFlagAlternate);
  EXPECT_EQ(up.keysym, static_cast<unsigned long>(XK_Up));
  EXPECT_EQ(up.state & mods, static_cast<unsigned>(ControlMask));

  KeyLine backspace = ChordSeen(keycode::kDelete, 0);
  EXPECT_EQ(backspace.keysym, static_cast<unsigned long>(XK_BackSpace));
  EXPECT_EQ(backspace.state & mods, 0u);

  KeyLine forward = ChordSeen(keycode::kForwardDelete, 0);
  EXPECT_EQ(forward.keysym, static_cast<unsigned long>(XK_Delete));
}

TEST_F(X11DesktopTest, KeyUpsHaveNothingLeftToPost) {
  ASSERT_NO_FATAL_FAILURE(StartProbe());
  desktop_->PostKeyboard(Chord(*keycode::ForLetter('C'), kEventFlagCommand, false));
  desktop_->PostKeyboard(Text(u"zé", false));
  KeyLine next = ChordSeen(keycode::kEscape, 0);
  EXPECT_EQ(next.keysym, static_cast<unsigned long>(XK_Escape));
}

TEST_F(X11DesktopTest, AChordReleasesTheUsersModifiersAndHoldsThemAgainAfter) {
  ASSERT_NO_FATAL_FAILURE(StartProbe());
  ASSERT_EQ(Server().Run("xdotool keydown Shift_L keydown Alt_L"), 0);
  KeyLine copy = ChordSeen(*keycode::ForLetter('C'), kEventFlagCommand);
  EXPECT_EQ(copy.keysym, static_cast<unsigned long>(XK_c));
  EXPECT_EQ(copy.state & (ShiftMask | ControlMask | Mod1Mask), static_cast<unsigned>(ControlMask));
  EXPECT_TRUE(KeyIsDown(XK_Shift_L));
  EXPECT_TRUE(KeyIsDown(XK_Alt_L));
  EXPECT_FALSE(KeyIsDown(XK_Control_L));
  Server().Run("xdotool keyup Alt_L keyup Shift_L");
}

TEST_F(X11DesktopTest, CopyPressesTheKeyThatTypesCOnTheActiveLayout) {
  ASSERT_EQ(Server().Run("setxkbmap -layout us -variant dvorak"), 0);
  ASSERT_NO_FATAL_FAILURE(StartProbe());
  KeyLine copy = ChordSeen(*keycode::ForLetter('C'), kEventFlagCommand);
  EXPECT_EQ(copy.keysym, static_cast<unsigned long>(XK_c));
  EXPECT_EQ(copy.state & (ShiftMask | ControlMask), static_cast<unsigned>(ControlMask));
  // On Dvorak that key is not the one in the C position of a QWERTY board.
  EXPECT_NE(copy.keycode, 54u);
}

// Hot key ---------------------------------------------------------------------

constexpr uint32_t kHotKeyModifiers = kHotKeyControl | kHotKeyOption | kHotKeyShift;

class X11HotKeyTest : public X11DesktopTest {
 protected:
  // Another client's grab of Control+Alt+Shift+letter with `extra` modifiers;
  // answers whether the server granted it.
  bool OtherClientGrabs(char letter, unsigned extra) {
    KeyCode key = XKeysymToKeycode(observer_, XK_a + (letter - 'A'));
    refused_ = false;
    auto previous = XSetErrorHandler([](Display*, XErrorEvent* e) {
      if (e->error_code == BadAccess) refused_ = true;
      return 0;
    });
    XGrabKey(observer_, key, ControlMask | Mod1Mask | ShiftMask | extra,
             DefaultRootWindow(observer_), False, GrabModeAsync, GrabModeAsync);
    XSync(observer_, False);
    XSetErrorHandler(previous);
    return !refused_;
  }

  // Presses arrive on the desktop's own hot key thread.
  bool WaitForPresses(const std::atomic<int>& presses, int count) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (presses < count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return presses >= count;
  }

  static inline bool refused_ = false;
};

TEST_F(X11HotKeyTest, TheFirstFreeLetterIsGrabbed) {
  EXPECT_NE(desktop_->GrabHotKey(*keycode::ForLetter('E'), kHotKeyModifiers), 0u);
  EXPECT_FALSE(OtherClientGrabs('E', 0));
  EXPECT_FALSE(OtherClientGrabs('E', LockMask));
  EXPECT_FALSE(OtherClientGrabs('E', Mod2Mask));  // Num Lock
}

TEST_F(X11HotKeyTest, ALetterHeldByAnotherClientIsRefusedWithoutLeftovers) {
  ASSERT_TRUE(OtherClientGrabs('E', 0));
  EXPECT_EQ(desktop_->GrabHotKey(*keycode::ForLetter('E'), kHotKeyModifiers), 0u);
  // The variants that were granted before the refusal were given back.
  EXPECT_TRUE(OtherClientGrabs('E', LockMask));
  EXPECT_TRUE(OtherClientGrabs('E', Mod2Mask));
  EXPECT_NE(desktop_->GrabHotKey(*keycode::ForLetter('C'), kHotKeyModifiers), 0u);
}

TEST_F(X11HotKeyTest, APressReachesTheHandlerAlsoWithCapsLock) {
  std::atomic<int> presses{0};
  desktop_->SetHotKeyPressHandler([&] { ++presses; });
  ASSERT_NE(desktop_->GrabHotKey(*keycode::ForLetter('E'), kHotKeyModifiers), 0u);
  ASSERT_EQ(Server().Run("xdotool key ctrl+alt+shift+e"), 0);
  EXPECT_TRUE(WaitForPresses(presses, 1));
  ASSERT_EQ(Server().Run("xdotool key Caps_Lock key ctrl+alt+shift+e key Caps_Lock"), 0);
  EXPECT_TRUE(WaitForPresses(presses, 2));
  // Other combinations are not ours.
  ASSERT_EQ(Server().Run("xdotool key ctrl+alt+e key ctrl+alt+shift+r"), 0);
  ASSERT_EQ(Server().Run("xdotool key ctrl+alt+shift+e"), 0);
  EXPECT_TRUE(WaitForPresses(presses, 3));
  EXPECT_EQ(presses, 3);
  // Held down, the combination repeats: still one press.
  ASSERT_EQ(Server().Run("xdotool keydown ctrl+alt+shift+e sleep 1.5 keyup ctrl+alt+shift+e "
                         "key ctrl+alt+shift+e"),
            0);
  EXPECT_TRUE(WaitForPresses(presses, 5));
  EXPECT_EQ(presses, 5);
  // The first press stopped input posting; it goes on only once every press
  // has been handled.
  const auto before = Pointer();
  desktop_->PostMouse(Mouse(MouseEventType::kMouseMoved, 10, 10));
  EXPECT_EQ(Pointer(), before);
  desktop_->ResumeInput();
  EXPECT_TRUE(desktop_->InputStopped());
  for (int i = 0; i < 5; ++i) desktop_->PressHandled();
  desktop_->ResumeInput();
  EXPECT_FALSE(desktop_->InputStopped());
}

TEST_F(X11HotKeyTest, UngrabbingFreesEveryVariant) {
  HotKeyRef ref = desktop_->GrabHotKey(*keycode::ForLetter('Q'), kHotKeyModifiers);
  ASSERT_NE(ref, 0u);
  desktop_->UngrabHotKey(ref);
  EXPECT_TRUE(OtherClientGrabs('Q', 0));
  EXPECT_TRUE(OtherClientGrabs('Q', LockMask));
  EXPECT_TRUE(OtherClientGrabs('Q', Mod2Mask | LockMask));
}

TEST_F(X11HotKeyTest, ClosingTheDesktopFreesItsGrabs) {
  ASSERT_NE(desktop_->GrabHotKey(*keycode::ForLetter('X'), kHotKeyModifiers), 0u);
  desktop_.reset();
  EXPECT_TRUE(OtherClientGrabs('X', 0));
}

// Permission ------------------------------------------------------------------

TEST_F(X11DesktopTest, XTestIsPresent) { EXPECT_TRUE(desktop_->HasXTest()); }

class X11DesktopWithoutXTestTest : public X11DesktopTest {
  XvfbOptions Options() const override { return {.xtest = false}; }
};

TEST_F(X11DesktopWithoutXTestTest, NoXTestMeansNoPermissionAndNoInput) {
  EXPECT_FALSE(desktop_->HasXTest());
  const auto before = Pointer();
  desktop_->PostMouse(Mouse(MouseEventType::kMouseMoved, 10, 10));
  desktop_->PostMouse(Mouse(MouseEventType::kLeftMouseDown, 10, 10));
  desktop_->PostKeyboard(Text(u"é", true));
  desktop_->PostKeyboard(Chord(keycode::kReturn, 0, true));
  EXPECT_EQ(Pointer(), before);
  // The rest of the desktop still works.
  EXPECT_EQ(desktop_->MonitorBounds().size(), 3u);
  EXPECT_NE(desktop_->GrabHotKey(*keycode::ForLetter('E'), kHotKeyModifiers), 0u);
}

}  // namespace
}  // namespace mv::test
