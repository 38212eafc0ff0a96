// The Qt platform on a private Xvfb, observed from separate X clients: overlay
// pixels read back from the root window, dialogs answered with xdotool, the
// clipboard read with xclip.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <filesystem>
#include <future>

#include "platform/KeyCodes.h"
#include "platform/linux/LinuxPlatform.h"
#include "tests/platform/XvfbFixture.h"

// Xlib last: its macros clash with gtest's and Qt's names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace mv::test {
namespace {

using namespace std::chrono_literals;
using Points = std::vector<std::pair<int, int>>;
constexpr uint32_t kBlue = 0x0000FF, kOrange = 0xFF7C00, kRed = 0xFF0000, kGreen = 0x00FF00;

// A window at a frame in global display space (y down from MAIN's top, which
// is 1080 high) with `fill` as its background, or else a border of four
// 4-pixel edges in half-transparent orange (drawn solid without a compositor).
struct Overlay {
  double x, y, width, height;
  std::optional<Rgba> fill;
  std::optional<Rgba> border = Rgba{1.0, 124.0 / 255.0, 0.0, 0.5};
};

struct ScriptDelegate final : ApplicationDelegate {
  void ApplicationWillFinishLaunching() override {}
  void ApplicationDidFinishLaunching() override { launched(); }
  void ApplicationWillTerminate() override {}
  std::function<void()> launched;
};

class QtPlatformTest : public XvfbFixture {
 protected:
  void SetUp() override {
    XvfbFixture::SetUp();
    if (HasFatalFailure()) return;
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);  // no single-instance service
    folder_ = "/tmp/qt_platform_test" + DisplayName();  // the log lands here
    setenv("XDG_STATE_HOME", folder_.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
    if (scale_ != 1) setenv("QT_SCALE_FACTOR", std::to_string(scale_).c_str(), 1);
    std::string error;
    platform_ = CreateLinuxPlatform(argc_, argv_, &error);
    ASSERT_TRUE(platform_) << error;
    SetCurrentPlatform(platform_.get());
    display_ = XOpenDisplay(DisplayName().c_str());
    ASSERT_NE(display_, nullptr);
  }
  void TearDown() override {
    if (display_) XCloseDisplay(display_);
    SetCurrentPlatform(nullptr);
    platform_.reset();
    if (!folder_.empty()) std::filesystem::remove_all(folder_);
    XvfbFixture::TearDown();
  }

  // Runs the application; `script` runs on a worker thread once launching has
  // finished, and the application ends when it returns.
  void RunApp(std::function<void()> script) {
    ScriptDelegate delegate;
    delegate.launched = [&] {
      platform_->RunOnWorkerThread([&] {
        script();
        platform_->PostToMain([this] { platform_->Terminate(); });
      });
    };
    EXPECT_EQ(platform_->RunApplication(delegate), 0);
  }

  // Runs `work` through the main queue (`gui_loop`: as a plain queued call on
  // the GUI thread, which a dialog's nested loop runs too) and waits for it.
  template <typename F>
  auto OnMain(F work, bool gui_loop = false) {
    auto task = std::make_shared<std::packaged_task<decltype(work())()>>(std::move(work));
    auto future = task->get_future();
    if (gui_loop) QMetaObject::invokeMethod(qApp, [task] { (*task)(); }, Qt::QueuedConnection);
    else platform_->PostToMain([task] { (*task)(); });
    if (future.wait_for(10s) != std::future_status::ready) _exit(3);  // stalled: fail, never hang
    return future.get();
  }

  uint32_t Pixel(int x, int y) {
    XImage* image = XGetImage(display_, DefaultRootWindow(display_), x, y, 1, 1, AllPlanes, ZPixmap);
    if (image == nullptr) return 0xFFFFFFFFu;
    const uint32_t value = static_cast<uint32_t>(XGetPixel(image, 0, 0)) & 0xFFFFFFu;
    XDestroyImage(image);
    return value;
  }

  // Whether each point shows `rgb`, after waiting for the first to.
  void ExpectPixels(const Points& points, uint32_t rgb, const std::string& row) {
    WaitFor([&] { return Pixel(points[0].first, points[0].second) == rgb; });
    for (auto [x, y] : points) EXPECT_EQ(Pixel(x, y), rgb) << row << ": " << x << "," << y;
  }

  // A plain blue override-redirect window that asks for button presses.
  Window MapBlueWindow(int x, int y, unsigned width, unsigned height) {
    XSetWindowAttributes attributes{.background_pixel = kBlue, .override_redirect = True};
    const Window window = XCreateWindow(display_, DefaultRootWindow(display_), x, y, width, height, 0, CopyFromParent,
                                        InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XSelectInput(display_, window, ButtonPressMask);
    XMapRaised(display_, window);
    XSync(display_, False);
    return window;
  }

  std::unique_ptr<OverlayWindow> Show(const Overlay& o) {
    return OnMain([&] {
      auto window = platform_->CreateOverlayWindow(
          {.frame = {o.x, 1080 - o.y - o.height, o.width, o.height}, .opaque = bool(o.fill), .background = o.fill.value_or(Rgba{0, 0, 0, 0})});
      if (!o.fill) window->SetContent({*o.border, {{0, o.height - 4, o.width, 4}, {0, 0, o.width, 4},
                                                   {0, 0, 4, o.height}, {o.width - 4, 0, 4, o.height}}});
      window->OrderFrontRegardless();
      return window;
    });
  }

  int scale_ = 1;
  int argc_ = 1;
  char arg0_[32] = "qt_platform_test";
  char* argv_[2] = {arg0_, nullptr};
  std::string folder_;
  std::unique_ptr<Platform> platform_;
  Display* display_ = nullptr;
};

TEST_F(QtPlatformTest, BorderPassesClicksTakesNoFocusAndStaysOnTop) {
  // Global (100, 100) on MAIN is root (1380, 100).
  const Window below = MapBlueWindow(1360, 80, 140, 140);
  ASSERT_EQ(Shell("xdotool windowfocus --sync " + std::to_string(below)), 0);
  RunApp([&] {
    auto window = Show({100, 100, 100, 100});
    ExpectPixels({{1381, 150}}, kOrange, "shown");
    std::string focus;
    EXPECT_EQ(Shell("xdotool getwindowfocus", &focus), 0);
    EXPECT_EQ(focus, std::to_string(below) + "\n");
    for (const char* point : {"1381 150", "1430 150"}) {
      ASSERT_EQ(Shell(std::string("xdotool mousemove ") + point + " click 1"), 0);
      XEvent event;
      EXPECT_TRUE(WaitFor([&] { return XCheckWindowEvent(display_, below, ButtonPressMask, &event); }))
          << "the click at " << point << " did not pass";
    }
    // A window mapped later covers it until new content raises it again.
    const struct { const char* name; std::function<void()> step; uint32_t rgb; } steps[] = {
        {"covered", [&] { MapBlueWindow(1360, 80, 140, 140); }, kBlue},
        {"new content", [&] { OnMain([&] { window->SetContent({{1, 0, 0, 0.5}, {{0, 0, 4, 100}}}); }); }, kRed},
        {"ordered out", [&] { OnMain([&] { window->OrderOut(); }); }, kBlue},
        {"shown again", [&] { OnMain([&] { window->OrderFrontRegardless(); }); }, kRed},
        {"released", [&] { OnMain([&] { window.reset(); }); }, kBlue}};
    for (const auto& s : steps) {
      s.step();
      ExpectPixels({{1381, 150}}, s.rgb, s.name);
    }
  });
}

// At Qt scale factors 1 and 2 (an odd X pixel then falls between two
// logical pixels).
class QtFramesTest : public QtPlatformTest, public ::testing::WithParamInterface<int> {
 protected:
  QtFramesTest() { scale_ = GetParam(); }
};

TEST_P(QtFramesTest, FramesLandOnTheirRootPixelsAndStayWithinTheScreen) {
  // Global x is root x minus 1280: LEFT starts at -1280, RIGHT at 1920.
  struct Row { const char* name; Overlay overlay; uint32_t rgb; int x, y; } rows[] = {
      {"LEFT", {-1000, 200, 60, 40, Rgba{1, 0, 0, 1}}, kRed, 280, 200},
      {"RIGHT below MAIN", {2000, 900, 60, 40, Rgba{1, 0, 0, 1}}, kRed, 3280, 900},
      {"across MAIN and RIGHT", {1850, 1030, 60, 40, Rgba{1, 0, 0, 1}}, kRed, 3130, 1030},
      {"clamped colour", {640, 270, 640, 540, Rgba{0.0, 1.5, -0.2, 1.0}}, kGreen, 1920, 270},
      {"border on odd pixels", {101, 101, 100, 100}, kOrange, 1381, 101},
      {"huge, left strip", {-100, 100, 6000, 3000}, kOrange, 1181, 500},
      {"huge, top strip", {100, 100, 32767, 32767}, kOrange, 2000, 101},
      {"int max", {100, 100, 2147483647, 2147483647}, kOrange, 1381, 500},
      {"int min", {-2147483647, 100, 2147483647, 2147483647}, kOrange, 1278, 500}};
  MapBlueWindow(0, 0, kScreenWidth, kScreenHeight);
  RunApp([&] {
    for (const Row& r : rows) {
      auto window = Show(r.overlay);
      const int right = r.x + int(r.overlay.width) - 1, bottom = r.y + int(r.overlay.height) - 1;
      const int mx = (r.x + right) / 2, my = (r.y + bottom) / 2;
      Points in = {{r.x, r.y}, {right, bottom}, {mx, my}}, out = {{mx, my}, {r.x + 4, my}, {mx, bottom - 4}};
      if (r.overlay.fill) out.clear();
      if (!r.overlay.fill) in.back() = {r.x + 3, my}, in.push_back({mx, bottom - 3});
      out.insert(out.end(), {{r.x - 1, r.y}, {r.x, r.y - 1}, {right + 1, bottom}, {right, bottom + 1}});
      // A huge border's window could never be allocated unclamped; only its strip at (x, y) is looked at.
      if (r.overlay.width > 1000) in.resize(1), out.clear();
      ExpectPixels(in, r.rgb, r.name);
      if (!out.empty()) ExpectPixels(out, kBlue, r.name);  // the inside first: it is shaped away after the paint
      OnMain([&] { window.reset(); });
      ExpectPixels({{r.x, r.y}}, kBlue, r.name);
    }
  });
}

INSTANTIATE_TEST_SUITE_P(Scale, QtFramesTest, ::testing::Values(1, 2));

TEST_F(QtPlatformTest, AnAlertHoldsBackTheQueueAndItsTimersButNotTheHotKey) {
  ASSERT_EQ(Shell("printf held | xclip -selection clipboard -i >/dev/null 2>&1"), 0);
  // Written by work items on the main thread, read from the GUI loop.
  std::vector<std::string> order;
  auto recorded = [&] { return OnMain([&] { return order; }, true); };
  std::atomic<int> ticks{0}, presses{0};
  std::unique_ptr<RepeatingTimer> timer;
  RunApp([&] {
    EXPECT_TRUE(OnMain([&] { return platform_->IsAccessibilityTrusted(); }));
    OnMain([&] { platform_->ClearClipboard(); });
    EXPECT_TRUE(WaitFor([&] { return Shell("xclip -selection clipboard -o >/dev/null 2>&1") != 0; }))
        << "the clipboard still serves content";
    OnMain([&] {
      platform_->InstallHotKeyHandler([&] { ++presses; });
      EXPECT_NE(platform_->RegisterHotKey(*keycode::ForLetter('E'), kHotKeyControl | kHotKeyOption | kHotKeyShift), 0u);
      timer = platform_->ScheduleRepeatingTimer(20ms, [&] { ++ticks; });
    });
    EXPECT_TRUE(WaitFor([&] { return ticks >= 2; }));
    platform_->PostToMain([&] {
      order.push_back("alert");
      const int answer = platform_->RunModalAlert(
          AlertSpec{"Pick", "text <h1>Big</h1><a href=\"file:///\">open</a>", {"Alpha", "Beta", "Gamma"}, true});
      order.push_back("answer " + std::to_string(answer));
    });
    platform_->PostToMain([&] { order.push_back("second"); });
    ASSERT_TRUE(WaitFor([&] { return Shell("xdotool search --onlyvisible --name 'Morrowvane Remote Control Helper'") == 0; }));
    platform_->PostToMainAfter(10ms, [&] { order.push_back("delayed"); });
    const int ticks_before = ticks;
    ASSERT_EQ(Shell("xdotool key ctrl+alt+shift+e"), 0);
    EXPECT_TRUE(WaitFor([&] { return presses == 1; })) << "the hot key did not arrive under the alert";
    // The dialog's own loop runs queued calls; the queue still holds back.
    std::this_thread::sleep_for(100ms);
    const std::string shown = OnMain([] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || box->defaultButton() == nullptr) return std::string("no dialog or no default");
      QString seen = "default " + box->defaultButton()->text();
      for (const QLabel* label : box->findChildren<QLabel*>()) {
        if (label->text().startsWith("text")) seen += (label->textFormat() == Qt::PlainText ? ", plain " : ", rich ") + label->text();
      }
      return seen.toStdString();
    }, true);
    EXPECT_EQ(shown, "default Alpha, plain text <h1>Big</h1><a href=\"file:///\">open</a>");
    EXPECT_EQ(recorded(), std::vector<std::string>{"alert"});
    EXPECT_EQ(ticks, ticks_before) << "the timer fired under the alert";
    ASSERT_EQ(Shell("xdotool key Escape"), 0);  // answers the last button
    EXPECT_TRUE(WaitFor([&] { return recorded().size() == 4; }));
    EXPECT_EQ(recorded(), (std::vector<std::string>{"alert", "answer 1002", "second", "delayed"}));
    EXPECT_TRUE(WaitFor([&] { return ticks >= ticks_before + 2; })) << "the timer did not resume";
    OnMain([&] { timer.reset(); });
  });
}

}  // namespace
}  // namespace mv::test
