// The desktop on a private Xvfb, observed from other X clients: a separate
// Xlib connection, xdotool, xmodmap and the x11_probe window. The X11 desktop
// is tested on its own, the Qt platform around it: overlay pixels read back
// from the root window, dialogs answered with xdotool.
//
// Each test has its own Xvfb, which picks a free display number (-displayfd)
// so that parallel tests never collide, and keeps the pointer and the monitor
// layout while clients come and go (-noreset). Its monitors on the 4480x1440
// screen, in root coordinates: LEFT 1280x1024 at (0,0), MAIN 1920x1080 at
// (1280,0) bound to the output "screen" and primary, RIGHT 1280x1024 at
// (3200,0). In global display space (root minus MAIN's origin) LEFT starts at
// x = -1280 and RIGHT at x = 1920.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>

#include "base/Utf8.h"
#include "platform/KeyCodes.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/X11Desktop.h"

// Xlib last: its macros clash with gtest's and Qt's names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

namespace mv::test {
namespace {

using namespace std::chrono_literals;
using T = MouseEventType;
constexpr uint32_t kBlue = 0x0000FF, kOrange = 0xFF7C00, kRed = 0xFF0000, kGreen = 0x00FF00;
constexpr uint32_t kHotKey = kHotKeyControl | kHotKeyOption | kHotKeyShift;

// Waits up to ten seconds until `done` holds; false when it never does.
template <typename F>
bool WaitFor(F done) {
  for (const auto deadline = std::chrono::steady_clock::now() + 10s; !done(); std::this_thread::sleep_for(10ms)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (qApp) QCoreApplication::processEvents();  // on the GUI thread: its loop runs meanwhile
  }
  return true;
}

// Runs a shell command (quoting with double quotes only), bounded to ten
// seconds, and answers its standard output; the test fails when the command
// does.
std::string Shell(const std::string& command) {
  FILE* pipe = popen(("timeout -k 2 10 sh -c '" + command + "' </dev/null").c_str(), "re");
  std::string output;
  char buffer[4096];
  for (size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  EXPECT_TRUE(pipe && pclose(pipe) == 0) << command;
  return output;
}

// The private Xvfb, exported as DISPLAY, and a connection to it.
class XvfbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The shell's pid is the server's once it execs; the server reports its
    // display number on standard output when it accepts connections.
    server_ = popen(("echo $$; exec setpriv --pdeathsig KILL Xvfb -displayfd 1 -screen 0 4480x1440x24 -noreset "
                     "-nolisten tcp" + std::string(with_xtest_ ? "" : " -extension XTEST")).c_str(), "re");
    int number = -1;
    ASSERT_TRUE(server_ && fscanf(server_, "%d %d", &server_pid_, &number) == 2) << "Xvfb did not start";
    setenv("DISPLAY", std::string(":").append(std::to_string(number)).c_str(), 1);
    for (const char* command : {"xrandr --setmonitor LEFT 1280/340x1024/270+0+0 none",
                                "xrandr --setmonitor \"*MAIN\" 1920/508x1080/286+1280+0 screen",
                                "xrandr --setmonitor RIGHT 1280/338x1024/270+3200+0 none"}) Shell(command);
    ASSERT_NE(observer_ = XOpenDisplay(nullptr), nullptr);
    // The program's private state files go to a folder of the test's own.
    char folder[] = "/tmp/mv-state-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    setenv("XDG_STATE_HOME", (state_home_ = folder).c_str(), 1);
  }
  void TearDown() override {
    if (!state_home_.empty()) Shell("rm -r " + state_home_);
    if (observer_) XCloseDisplay(observer_);
    if (server_pid_ > 0) kill(server_pid_, SIGKILL);
    if (server_) pclose(server_);
  }

  bool with_xtest_ = true;  // false (set in a derived constructor): a server without XTEST
  std::string state_home_;
  Display* observer_ = nullptr;
  FILE* server_ = nullptr;
  pid_t server_pid_ = -1;
};

class X11DesktopTest : public XvfbTest {
 protected:
  // The desktop under test and the probe window (x11_probe, unless a derived
  // constructor sets another), which ends when its standard input
  // (`probe_in_`) closes.
  void SetUp() override {
    XvfbTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(desktop_ = X11Desktop::Open(nullptr, &input_.Stop().Flag(), nullptr));
    input_.SetBackend(desktop_.get());
    int in[2], out[2];
    ASSERT_TRUE(pipe2(in, O_CLOEXEC) == 0 && pipe2(out, O_CLOEXEC) == 0);
    if ((probe_pid_ = fork()) == 0) {
      dup2(in[0], STDIN_FILENO), dup2(out[1], STDOUT_FILENO);
      setenv("QT_QPA_PLATFORM", "xcb", 1);
      execl(probe_, probe_, nullptr);
      _exit(127);
    }
    close(in[0]), close(out[1]);
    probe_in_ = in[1], probe_out_ = out[0];
    ASSERT_GT(probe_pid_, 0);
    ASSERT_EQ(ProbeLine(), "ready");
  }
  void TearDown() override {
    input_.SetBackend(nullptr);
    desktop_.reset();
    if (probe_pid_ > 0 && kill(probe_pid_, SIGKILL) == 0) waitpid(probe_pid_, nullptr, 0);
    close(probe_in_), close(probe_out_);
    XvfbTest::TearDown();
  }

  // Every observation starts with what the program does before each reply.
  std::string ProbeLine() {
    desktop_->Flush();
    std::string line;
    pollfd p{probe_out_, POLLIN, 0};
    for (char c = 0; poll(&p, 1, 5000) > 0 && read(probe_out_, &c, 1) == 1 && c != '\n';) line += c;
    return line;
  }

  // Every observation starts with what the program does before each reply.
  std::pair<int, int> Pointer(unsigned* modifiers = nullptr) {
    desktop_->Flush();
    Window w;
    int x = 0, y = 0, i;
    unsigned state = 0;
    XQueryPointer(observer_, DefaultRootWindow(observer_), &w, &w, &x, &y, &i, &i, &state);
    if (modifiers) *modifiers = state;
    return {x, y};
  }

  // The next key press x11_probe reports past modifiers, motions and
  // releases: keysym, state and text (UTF-8); keysym 0 when none came.
  std::tuple<unsigned long, unsigned, std::string> NextKey() {
    unsigned long keysym = 0;
    unsigned state = 0;
    char hex[256] = "";
    for (std::string line; !(line = ProbeLine()).empty();) {
      if (sscanf(line.c_str(), "key %*u %lx %x %255s", &keysym, &state, hex) != 3 || IsModifierKey(keysym)) continue;
      return {keysym, state, FromHex(hex)};
    }
    return {0, 0, ""};
  }

  // The text of the key presses the probe reports (x11_probe's lines and the
  // Qt probe's both end in it) up to a Return.
  std::string TextUpToReturn() {
    std::string text;
    for (std::string line; !(line = ProbeLine()).empty();) {
      if (line.rfind("key ", 0) != 0) continue;
      const std::string key = FromHex(line.substr(line.rfind(' ') + 1));
      if (key == "\r") break;
      text += key;
    }
    return text;
  }

  static std::string FromHex(const std::string& hex) {
    std::string text;
    for (size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2) text += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    return text;
  }

  const char* probe_ = MV_X11_PROBE;
  RemoteInput input_;
  std::unique_ptr<X11Desktop> desktop_;
  int probe_pid_ = -1, probe_in_ = -1, probe_out_ = -1;
};

TEST_F(X11DesktopTest, PointerFollowsTheMonitorsStaysOnTheScreenAndClicksWhereItIs) {
  for (const auto& [type, x, y] : std::vector<std::tuple<T, double, double>>{
           {T::kMouseMoved, 10, 20}, {T::kLeftMouseDown, 10, 20}, {T::kLeftMouseUp, 10, 20},
           {T::kRightMouseDown, -100, 300}, {T::kRightMouseUp, -100, 300}, {T::kLeftMouseDown, 500, 500},
           {T::kLeftMouseUp, 500, 500}, {T::kLeftMouseDown, 500, 500}, {T::kLeftMouseUp, 500, 500},
           {T::kLeftMouseDown, 500, 500}, {T::kLeftMouseDragged, 550, 520}, {T::kLeftMouseUp, 550, 520}}) {
    desktop_->PostMouse({type, x, y});
  }
  std::vector<std::string> lines(14);
  for (auto& line : lines) line = ProbeLine();
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "motion 1290 20 0", "press 1 1290 20 0", "release 1 1290 20 100",
                       "motion 1180 300 0", "press 3 1180 300 0", "release 3 1180 300 400",
                       "motion 1780 500 0", "press 1 1780 500 0", "release 1 1780 500 100", "press 1 1780 500 0",
                       "release 1 1780 500 100", "press 1 1780 500 0", "motion 1830 520 100", "release 1 1830 520 100"}));

  EXPECT_EQ(desktop_->MonitorBounds(),
            (std::vector<Rect>{{0, 0, 1920, 1080}, {-1280, 0, 1280, 1024}, {1920, 0, 1280, 1024}}));
  EXPECT_EQ(desktop_->PrimaryMonitorRoot(), (Rect{1280, 0, 1920, 1080}));
  // Far-off points stay at the screen's edge instead of wrapping around the
  // protocol's 16-bit coordinates.
  const struct { double x, y; int root_x, root_y; } moves[] = {
      {100, 200, 1380, 200}, {-640, 500, 640, 500}, {2020, 30, 3300, 30}, {66000, 70000, 4479, 1439}, {-4e4, -1e12, 0, 0}};
  for (const auto& m : moves) {
    desktop_->PostMouse({T::kMouseMoved, m.x, m.y});
    EXPECT_EQ(Pointer(), std::make_pair(m.root_x, m.root_y)) << m.x << "," << m.y;
  }
  Shell("xrandr --delmonitor LEFT --delmonitor MAIN --setmonitor \"*MAIN\" 1920/508x1080/286+0+0 screen");
  EXPECT_EQ(desktop_->MonitorBounds(), (std::vector<Rect>{{0, 0, 1920, 1080}, {3200, 0, 1280, 1024}}));
  desktop_->PostMouse({T::kMouseMoved, 10, 10});
  EXPECT_EQ(Pointer(), std::make_pair(10, 10));
}

// More distinct characters than the spare keycodes have levels (four each on
// Xvfb's layout, which has a level-three key), with repeats.
const std::string kMany = "あいうえおかきくけこさしすせそたちつてとなにぬねのはひふへほまみむめもやゆよらりるれろわをん"
                          "αβγδεζηθικλμνξοπρστυφχψωΑΒΓΔΕΖΗΘΙΚΛΜΝΞΟΠΡΣΤΥΦΧΨΩあかさたなはまやらわαΩ";

// Text in keyboardchar's pieces of 8 UTF-16 units (no surrogates here).
std::vector<std::u16string> Pieces(const std::string& text) {
  std::vector<std::u16string> pieces;
  for (std::u16string all = *Utf8ToUtf16(text); !all.empty(); all.erase(0, 8)) pieces.push_back(all.substr(0, 8));
  return pieces;
}

// Receivers that translate keys with Xlib (x11_probe) and with xkbcommon (a
// Qt window).
struct X11TypingTest : X11DesktopTest, ::testing::WithParamInterface<const char*> {
  X11TypingTest() { probe_ = GetParam(); }
};

TEST_P(X11TypingTest, TextArrivesExactlyAndTheKeymapIsRestoredAtClose) {
  const std::string before = Shell("xmodmap -pke");
  const std::vector<std::u16string> many_pieces = Pieces(kMany);
  // A receiver that reads nothing for a while as the keys are rebound.
  const std::string stall = "p=" + std::to_string(probe_pid_) + "; kill -STOP $p; (sleep 0.3; kill -CONT $p) >/dev/null 2>&1 &";
  const struct { const char* row; std::vector<std::u16string> pieces; std::string expected; std::string before = "true"; } rows[] = {
      {"ascii", {u"Hello, W", u"orld! 12", u"3 ~{}\"'"}, "Hello, World! 123 ~{}\"'"},
      {"off the layout", {u"aé€😀", u"привет", u"ÀÉÑßàÿ", u"ΩωЖж"}, "aé€😀приветÀÉÑßàÿΩωЖж"},
      {"lone surrogate", {u"x", u"ab\xD83D"}, "xab"},
      {"many distinct", many_pieces, kMany},
      {"stalled receiver", many_pieces, kMany, stall},
      {"two levels without a level-three key", many_pieces, kMany, "xmodmap -e \"clear mod5\""},
      {"Caps Lock on, Shift held", {u"aB é", u"Éжπ"}, "aB éÉжπ", "xdotool key Caps_Lock keydown Shift_L"}};
  for (const auto& row : rows) {
    Shell(row.before);
    for (const auto& piece : row.pieces) desktop_->PostKeyboard({.key_code = 0, .key_down = true, .units = piece});
    desktop_->PostKeyboard({.key_code = keycode::kReturn, .key_down = true, .has_flags = true});  // the end mark
    EXPECT_EQ(TextUpToReturn(), row.expected) << row.row;
  }
  unsigned modifiers = 0;
  Pointer(&modifiers);
  EXPECT_EQ(modifiers & (LockMask | ShiftMask), unsigned{LockMask | ShiftMask}) << "the user's Caps Lock and Shift";
  EXPECT_NE(Shell("xdotool keyup Shift_L key Caps_Lock; xmodmap -pke"), before) << "typed through spare keycodes";
  desktop_.reset();
  EXPECT_EQ(Shell("xmodmap -pke"), before);
}

INSTANTIATE_TEST_SUITE_P(Receivers, X11TypingTest, ::testing::Values(MV_X11_PROBE, MV_QT_PROBE),
                         [](const auto& param) { return param.index == 0 ? "Xlib" : "xkbcommon"; });

TEST_F(X11DesktopTest, ChordsCarryExactlyTheirModifiersOnTheActiveLayout) {
  const uint16_t c = *keycode::ForLetter('C');
  // Key ups have nothing left to post.
  desktop_->PostKeyboard({.key_code = c, .key_down = false, .has_flags = true, .flags = kEventFlagCommand});
  desktop_->PostKeyboard({.key_code = 0, .key_down = false, .units = u"zé"});
  // Modifiers the user holds are let go for a chord and held again after it;
  // on Dvorak, copy presses the key that types c there, not QWERTY's C.
  const struct { const char* row; uint16_t key; uint64_t flags; unsigned long keysym; unsigned state;
                 const char* before = "true"; bool shift_held = false; } rows[] = {
      {"copy", c, kEventFlagCommand, XK_c, ControlMask},
      {"select word", keycode::kLeftArrow, kEventFlagShift | kEventFlagAlternate, XK_Left, ShiftMask | ControlMask},
      {"backspace", keycode::kDelete, 0, XK_BackSpace, 0},
      {"delete", keycode::kForwardDelete, 0, XK_Delete, 0},
      {"escape", keycode::kEscape, 0, XK_Escape, 0},
      {"user holds Shift+Alt", c, kEventFlagCommand, XK_c, ControlMask, "xdotool keydown Shift_L keydown Alt_L", true},
      {"dvorak", c, kEventFlagCommand, XK_c, ControlMask, "xdotool keyup Alt_L keyup Shift_L && setxkbmap us dvorak"}};
  for (const auto& row : rows) {
    Shell(row.before);
    desktop_->PostKeyboard({.key_code = row.key, .key_down = true, .has_flags = true, .flags = row.flags});
    const auto [keysym, state, text] = NextKey();
    EXPECT_EQ(keysym, row.keysym) << row.row;
    EXPECT_EQ(state & (ShiftMask | ControlMask | Mod1Mask | Mod4Mask), row.state) << row.row;
    unsigned modifiers = 0;
    Pointer(&modifiers);
    EXPECT_EQ(modifiers & (ShiftMask | ControlMask), row.shift_held ? unsigned{ShiftMask} : 0u) << row.row;
  }
}

TEST_F(X11DesktopTest, HotKeyIsGrabbedAndReportedOncePerPress) {
  const std::atomic<bool> running{false};
  const auto other = X11Desktop::Open(nullptr, &running, nullptr);  // another program's
  ASSERT_NE(other->GrabHotKey(*keycode::ForLetter('E'), kHotKey), 0u);
  EXPECT_EQ(desktop_->GrabHotKey(*keycode::ForLetter('E'), kHotKey), 0u) << "held elsewhere";
  std::atomic<int> presses{0};
  desktop_->SetHotKeyPressHandler([&] { ++presses; });
  ASSERT_NE(desktop_->GrabHotKey(*keycode::ForLetter('R'), kHotKey), 0u);

  int total = 0;
  for (const auto& [keys, count] : std::vector<std::pair<std::string, int>>{
           {"key ctrl+alt+shift+r", 1},
           {"key Caps_Lock key ctrl+alt+shift+r key Caps_Lock", 1},
           {"key Num_Lock key ctrl+alt+shift+r key Num_Lock", 1},
           {"key ctrl+alt+r key ctrl+alt+shift+e", 0},
           {"keydown ctrl+alt+shift+r sleep 1.5 keyup ctrl+alt+shift+r", 1}}) {  // held: it repeats
    // A last press of its own marks the end of what `keys` caused.
    Shell("xdotool " + keys + " key ctrl+alt+shift+r");
    WaitFor([&] { return presses >= count + 1; });
    EXPECT_EQ(presses, count + 1) << keys;
    total += presses.exchange(0);
  }

  input_.SetBackend(nullptr);
  desktop_.reset();
  EXPECT_NE(other->GrabHotKey(*keycode::ForLetter('R'), kHotKey), 0u) << "closing frees the grab";
}

TEST_F(X11DesktopTest, AStopLetsGoOfWhatTheRemoteHoldsWhereThePointerIsAndPostsNothingElse) {
  input_.PostMouse({T::kLeftMouseDown, 100, 100});
  input_.PostMouse({T::kRightMouseDown, 100, 100});
  input_.Flush();
  Shell("xdotool mousemove 200 300");  // the user moves on
  ASSERT_TRUE(input_.Stop().Press());
  EXPECT_FALSE(input_.Stop().Press()) << "one press waits at a time";
  input_.PostMouse({T::kMouseMoved, 10, 10});
  input_.PostMouse({T::kLeftMouseUp, 10, 10});
  input_.PostKeyboard({.key_code = 0, .key_down = true, .units = u"a"});
  input_.Stop().Resume();
  EXPECT_TRUE(input_.Stop().Stopped()) << "until the press is handled";
  input_.Flush();
  unsigned buttons = 0;
  EXPECT_EQ(Pointer(&buttons), std::make_pair(200, 300));
  EXPECT_EQ(buttons & (Button1Mask | Button3Mask), 0u);
  ASSERT_TRUE(input_.Stop().TakePress());
  input_.Stop().Resume();
  input_.PostMouse({T::kMouseMoved, 20, 20});  // the end mark
  std::vector<std::string> lines(5);
  for (auto& line : lines) line = ProbeLine();
  EXPECT_EQ(lines, (std::vector<std::string>{"motion 1380 100 0", "press 1 1380 100 0", "press 3 1380 100 100",
                                             "motion 200 300 500", "release 1 200 300 500"}));
  EXPECT_EQ(ProbeLine(), "release 3 200 300 400");
  EXPECT_EQ(ProbeLine(), "motion 1300 20 0");
}

TEST_F(X11DesktopTest, BindingsLeftByACrashAreUndoneAtTheNextStart) {
  input_.SetBackend(nullptr);
  desktop_.reset();
  const std::string before = Shell("xmodmap -pke");
  const auto records = [&] { return Shell("ls -A " + state_home_ + "/MorrowvaneHelper 2>/dev/null; true"); };
  if (const pid_t crashed = fork(); crashed == 0) {
    const std::atomic<bool> go_on{false};
    const auto desktop = X11Desktop::Open(nullptr, &go_on, nullptr);
    for (const auto& piece : Pieces(kMany + "€")) desktop->PostKeyboard({.key_code = 0, .key_down = true, .units = piece});
    desktop->Flush();
    raise(SIGKILL);
  } else {
    ASSERT_GT(crashed, 0);
    waitpid(crashed, nullptr, 0);
  }
  // One of the keys the crashed run bound is bound anew by someone else: no
  // longer the program's to undo.
  const std::string left = Shell("xmodmap -pke");
  int other = 0;
  ASSERT_EQ(sscanf(left.c_str() + left.rfind("keycode", left.find("EuroSign")), "keycode %d", &other), 1);
  Shell("xmodmap -e \"keycode " + std::to_string(other) + " = Greek_alpha\"");
  EXPECT_NE(records(), "");
  desktop_ = X11Desktop::Open(nullptr, &input_.Stop().Flag(), nullptr);
  EXPECT_EQ(records(), "");
  EXPECT_NE(Shell("xmodmap -pke | grep \"keycode *" + std::to_string(other) + " = Greek_alpha\""), "");
  EXPECT_EQ(Shell("xmodmap -e \"keycode " + std::to_string(other) + " = \"; xmodmap -pke"), before);
  desktop_->PostKeyboard({.key_code = 0, .key_down = true, .units = u"ж"});
  desktop_->Flush();
  EXPECT_NE(records(), "");
  desktop_.reset();
  EXPECT_EQ(records(), "") << "removed at a normal end";
}

TEST_F(X11DesktopTest, AfterAStopNothingIsPressedOrLockedAgain) {
  // Typing lets go of the user's Shift and unlocks Caps Lock; stopped
  // meanwhile, it gives neither back.
  Shell("xdotool key Caps_Lock keydown Shift_L");
  input_.PostKeyboard({.key_code = 0, .key_down = true, .units = u"ab"});
  input_.Stop().Stop();
  unsigned modifiers = 0;
  Pointer(&modifiers);
  EXPECT_EQ(modifiers & (LockMask | ShiftMask), 0u);
}

struct X11DesktopWithoutXTestTest : X11DesktopTest { X11DesktopWithoutXTestTest() { with_xtest_ = false; } };

TEST_F(X11DesktopWithoutXTestTest, NoXTestMeansNoPermissionAndNoInput) {
  EXPECT_FALSE(desktop_->Permitted());
  const auto before = Pointer();
  desktop_->PostMouse({T::kMouseMoved, 10, 10});
  desktop_->PostMouse({T::kLeftMouseDown, 10, 10});
  desktop_->PostKeyboard({.key_code = 0, .key_down = true, .units = u"é"});
  EXPECT_EQ(Pointer(), before);
}

// The Qt platform without its application loop (and so without the
// single-instance service and its log): the test thread, the GUI thread,
// runs the loop whenever it waits.
class QtPlatformTest : public XvfbTest {
 protected:
  void SetUp() override {
    XvfbTest::SetUp();
    if (HasFatalFailure()) return;
    setenv("QT_SCALE_FACTOR", std::to_string(scale_).c_str(), 1);
    ASSERT_TRUE(platform_ = CreateLinuxPlatform(argc_, argv_, nullptr));
  }
  void TearDown() override {
    platform_.reset();
    XvfbTest::TearDown();
  }

  // Whether each root pixel shows `rgb`, after waiting for the first to.
  void ExpectPixels(const std::vector<std::pair<int, int>>& points, uint32_t rgb, const std::string& row) {
    const auto pixel = [&](int x, int y) {
      XImage* image = XGetImage(observer_, DefaultRootWindow(observer_), x, y, 1, 1, AllPlanes, ZPixmap);
      const uint32_t value = image ? static_cast<uint32_t>(XGetPixel(image, 0, 0)) & 0xFFFFFFu : 0xFFFFFFFFu;
      if (image) XDestroyImage(image);
      return value;
    };
    WaitFor([&] { return pixel(points[0].first, points[0].second) == rgb; });
    for (auto [x, y] : points) EXPECT_EQ(pixel(x, y), rgb) << row << ": " << x << "," << y;
  }

  // A plain blue override-redirect window that asks for button presses.
  Window MapBlueWindow(int x, int y, unsigned width, unsigned height) {
    XSetWindowAttributes attributes{.background_pixel = kBlue, .override_redirect = True};
    const Window window = XCreateWindow(observer_, DefaultRootWindow(observer_), x, y, width, height, 0, CopyFromParent,
                                        InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XSelectInput(observer_, window, ButtonPressMask);
    XMapRaised(observer_, window);
    XSync(observer_, False);
    return window;
  }

  // A window at (x, y, width, height) in global display space (y down from
  // MAIN's top, which is 1080 high) filled with `fill`, or else with a border
  // of four 4-pixel edges in half-transparent orange (drawn solid without a
  // compositor).
  std::unique_ptr<OverlayWindow> Show(const std::array<double, 4>& f, std::optional<Rgba> fill = std::nullopt) {
    const auto [x, y, w, h] = f;
    auto window = platform_->CreateOverlayWindow(
        {.frame = {x, 1080 - y - h, w, h}, .opaque = bool(fill), .background = fill.value_or(Rgba{0, 0, 0, 0})});
    if (!fill) window->SetContent({{1, 124 / 255.0, 0, 0.5}, {{0, h - 4, w, 4}, {0, 0, w, 4}, {0, 0, 4, h}, {w - 4, 0, 4, h}}});
    window->OrderFrontRegardless();
    return window;
  }

  int scale_ = 1, argc_ = 1;
  char* argv_[2] = {const_cast<char*>("platform_test"), nullptr};
  std::unique_ptr<Platform> platform_;
};

// At Qt scale factors 1 and 2 (an odd X pixel then falls between two
// logical pixels).
struct QtOverlayTest : QtPlatformTest, ::testing::WithParamInterface<int> { QtOverlayTest() { scale_ = GetParam(); } };

TEST_P(QtOverlayTest, OverlaysLandOnTheirRootPixelsStayInTheScreenPassClicksTakeNoFocusAndStayOnTop) {
  // Global x is root x minus 1280; a frame's root pixels start at (x, y).
  const struct { const char* name; std::array<double, 4> frame; std::optional<Rgba> fill; uint32_t rgb; int x, y; } rows[] = {
      {"LEFT", {-1000, 200, 60, 40}, Rgba{1, 0, 0, 1}, kRed, 280, 200},
      {"RIGHT below MAIN", {2000, 900, 60, 40}, Rgba{1, 0, 0, 1}, kRed, 3280, 900},
      {"across MAIN and RIGHT", {1850, 1030, 60, 40}, Rgba{1, 0, 0, 1}, kRed, 3130, 1030},
      {"clamped colour", {640, 270, 640, 540}, Rgba{0.0, 1.5, -0.2, 1.0}, kGreen, 1920, 270},
      {"border on odd pixels", {101, 101, 100, 100}, {}, kOrange, 1381, 101},
      {"huge, left strip", {-100, 100, 6000, 3000}, {}, kOrange, 1181, 500},
      {"huge, top strip", {100, 100, 32767, 32767}, {}, kOrange, 2000, 101},
      {"int max", {100, 100, 2147483647, 2147483647}, {}, kOrange, 1381, 500},
      {"int min", {-2147483647, 100, 2147483647, 2147483647}, {}, kOrange, 1278, 500}};
  const Window below = MapBlueWindow(0, 0, 4480, 1440);
  Shell("xdotool windowfocus --sync " + std::to_string(below));
  for (const auto& r : rows) {
    auto window = Show(r.frame, r.fill);
    if (r.frame[2] > 1000) {
      ExpectPixels({{r.x, r.y}}, r.rgb, r.name);  // its window could never be allocated unclamped
    } else {
      const int right = r.x + int(r.frame[2]) - 1, bottom = r.y + int(r.frame[3]) - 1, mx = (r.x + right) / 2, my = (r.y + bottom) / 2;
      ExpectPixels({{r.x, r.y}, {right, bottom}, r.fill ? std::pair(mx, my) : std::pair(r.x + 3, my)}, r.rgb, r.name);
      // A border's inside first: it is shaped away after the paint.
      if (!r.fill) ExpectPixels({{mx, my}, {r.x + 4, my}, {mx, bottom - 4}}, kBlue, r.name);
      ExpectPixels({{r.x - 1, r.y}, {r.x, r.y - 1}, {right + 1, bottom}, {right, bottom + 1}}, kBlue, r.name);
    }
    window.reset();
    ExpectPixels({{r.x, r.y}}, kBlue, r.name);
  }

  auto window = Show({100, 100, 100, 100});  // root (1380, 100)
  ExpectPixels({{1381, 150}}, kOrange, "shown");
  EXPECT_EQ(Shell("xdotool getwindowfocus"), std::to_string(below) + "\n");
  for (const char* point : {"1381 150", "1430 150"}) {
    Shell(std::string("xdotool mousemove ") + point + " click 1");
    XEvent event;
    EXPECT_TRUE(WaitFor([&] { return XCheckWindowEvent(observer_, below, ButtonPressMask, &event); }))
        << "the click at " << point << " did not pass";
  }
  // A window mapped later covers it until new content raises it again.
  const struct { const char* name; std::function<void()> step; uint32_t rgb; } steps[] = {
      {"covered", [&] { MapBlueWindow(1360, 80, 140, 140); }, kBlue},
      {"new content", [&] { window->SetContent({{1, 0, 0, 0.5}, {{0, 0, 4, 100}}}); }, kRed},
      {"ordered out", [&] { window->OrderOut(); }, kBlue},
      {"shown again", [&] { window->OrderFrontRegardless(); }, kRed},
      {"released", [&] { window.reset(); }, kBlue}};
  for (const auto& s : steps) {
    s.step();
    ExpectPixels({{1381, 150}}, s.rgb, s.name);
  }
}

INSTANTIATE_TEST_SUITE_P(Scale, QtOverlayTest, ::testing::Values(1, 2));

struct QtPlatformWithoutXTestTest : QtPlatformTest { QtPlatformWithoutXTestTest() { with_xtest_ = false; } };

TEST_F(QtPlatformWithoutXTestTest, NoXTestMeansNoPermissionEvenWhenAsked) {
  EXPECT_FALSE(platform_->IsAccessibilityTrusted());
  EXPECT_FALSE(platform_->PromptAccessibility());
  EXPECT_FALSE(platform_->AccessibilityDeclined());
}

TEST_F(QtPlatformTest, ClearClipboardEmptiesTheClipboardAndThePrimarySelectionForOtherClients) {
  const char* selections[] = {"clipboard", "primary"};
  const auto read = [](const std::string& selection) { return Shell("xclip -o -selection " + selection + " 2>/dev/null || true"); };
  for (const std::string selection : selections) {
    Shell("printf secret | xclip -selection " + selection + " >/dev/null 2>&1");  // stays, serving it
    ASSERT_EQ(read(selection), "secret") << selection;
  }
  platform_->ClearClipboard();
  for (const std::string selection : selections) EXPECT_TRUE(WaitFor([&] { return read(selection).empty(); })) << selection;
}

// (That an alert run by a main-queue item holds back the queue is the
// end-to-end message box case.)
TEST_F(QtPlatformTest, AnAlertHoldsBackTimersButNotTheHotKeyAndShowsServerTextPlainWithItsTitle) {
  std::atomic<int> ticks{0}, presses{0}, ticks_under_alert{-1}, answered{0};
  platform_->InstallHotKeyHandler([&] { ++presses; });
  ASSERT_NE(platform_->RegisterHotKey(*keycode::ForLetter('E'), kHotKey), 0u);
  const auto timer = platform_->ScheduleRepeatingTimer(20ms, [&] { ++ticks; });
  ASSERT_TRUE(WaitFor([&] { return ticks >= 2; }));
  std::thread user([&] {
    Shell("xdotool search --sync --onlyvisible --name \"^From afar\"");
    const int before = ticks;
    Shell("xdotool key ctrl+alt+shift+e");
    WaitFor([&] { return presses == 1; });
    std::this_thread::sleep_for(100ms);  // time for a tick to slip through
    ticks_under_alert = ticks - before;
    Shell("xdotool key Escape");  // answers the last button
    if (!WaitFor([&] { return answered == 1; })) _exit(3);  // the alert stays: fail, never hang
  });
  std::string shown, title;
  QString cut;
  QTimer::singleShot(0, [&] {  // in the dialog's own loop
    title = QApplication::activeModalWidget()->windowTitle().toStdString();
    for (QWidget* widget : QApplication::allWidgets()) {
      const auto* label = qobject_cast<QLabel*>(widget);
      if (label && label->text().startsWith("text")) shown = (label->textFormat() == Qt::PlainText ? "plain " : "rich ") + label->text().toStdString();
      if (label && label->text().startsWith("Pick")) cut = label->text();
    }
  });
  // Bidirectional controls (an override, an isolate, a mark) have no effect.
  const AlertSpec alert{"Pick" + std::string(70000, 'p'), "text <h1>Big</h1><a href=\"file:///\">open</a> \u202Eabc\u2066d\u200F", {"A", "B"}, true,
                        "From afar \u202E"};
  EXPECT_EQ(platform_->RunModalAlert(alert), 1001);
  answered = 1;
  user.join();
  EXPECT_EQ(presses, 1) << "the hot key did not arrive under the alert";
  EXPECT_EQ(ticks_under_alert, 0) << "the timer fired under the alert";
  EXPECT_EQ(shown, "plain text <h1>Big</h1><a href=\"file:///\">open</a> \uFFFDabc\uFFFDd\uFFFD");
  EXPECT_EQ(title, "From afar \uFFFD");
  EXPECT_EQ(cut, "Pick" + QString(64 * 1024 - 4, 'p') + QChar(0x2026)) << cut.size();
}

}  // namespace
}  // namespace mv::test
