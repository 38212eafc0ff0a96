// The Qt platform on a private Xvfb, observed from separate X clients: overlay
// pixels read back from the root window, dialogs answered with xdotool, the
// clipboard read with xclip.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <unistd.h>

#include <algorithm>
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
constexpr uint32_t kBlue = 0x0000FF, kOrange = 0xFF7C00, kRed = 0xFF0000, kGreen = 0x00FF00;
constexpr Rgba kOrangeHalf{1.0, 124.0 / 255.0, 0.0, 0.5};

// A window's frame from global display space (y down from MAIN's top, which
// is 1080 high) into window-system space (y up), with its four 4-pixel edges.
OverlayWindowSpec Spec(double x, double y, double width, double height, bool opaque = false,
                       Rgba background = {0, 0, 0, 0}) {
  return {.frame = {x, 1080 - y - height, width, height}, .opaque = opaque, .background = background};
}
OverlayContent Border(Rgba colour, double width, double height) {
  return {colour, {{0, height - 4, width, 4}, {0, 0, width, 4}, {0, 0, 4, height}, {width - 4, 0, 4, height}}};
}

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
    delegate.launched = [this, script = std::move(script)] {
      platform_->RunOnWorkerThread([this, script] {
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
  void ExpectPixels(const std::vector<std::pair<int, int>>& points, uint32_t rgb, const std::string& row) {
    WaitFor([&] { return Pixel(points[0].first, points[0].second) == rgb; });
    for (auto [x, y] : points) EXPECT_EQ(Pixel(x, y), rgb) << row << ": " << x << "," << y;
  }

  // A plain override-redirect window that asks for button presses.
  Window MapSolidWindow(int x, int y, unsigned width, unsigned height, uint32_t rgb) {
    XSetWindowAttributes attributes{.background_pixel = rgb, .override_redirect = True};
    const Window window = XCreateWindow(display_, DefaultRootWindow(display_), x, y, width, height, 0, CopyFromParent,
                                        InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XSelectInput(display_, window, ButtonPressMask);
    XMapRaised(display_, window);
    XSync(display_, False);
    return window;
  }

  std::unique_ptr<OverlayWindow> Show(const OverlayWindowSpec& spec, std::optional<OverlayContent> content) {
    return OnMain([&] {
      auto window = platform_->CreateOverlayWindow(spec);
      if (content) window->SetContent(*content);
      window->OrderFrontRegardless();
      return window;
    });
  }

  int argc_ = 1;
  char arg0_[32] = "qt_platform_test";
  char* argv_[2] = {arg0_, nullptr};
  std::string folder_;
  std::unique_ptr<Platform> platform_;
  Display* display_ = nullptr;
};

TEST_F(QtPlatformTest, BorderShowsOnlyItsFramePassesClicksTakesNoFocusAndStaysOnTop) {
  // Global (100, 100) on MAIN is root (1380, 100).
  const Window below = MapSolidWindow(1360, 80, 140, 140, kBlue);
  ASSERT_EQ(Run("xdotool windowfocus --sync " + std::to_string(below)), 0);
  const std::vector<std::pair<int, int>> frame = {{1380, 150}, {1380, 100}, {1383, 150}, {1479, 150},
                                                  {1430, 103}, {1430, 196}, {1479, 199}};
  const std::vector<std::pair<int, int>> inside_and_out = {{1430, 150}, {1384, 150}, {1475, 150}, {1430, 104},
                                                           {1430, 195}, {1379, 150}, {1480, 150}, {1430, 99}};
  RunApp([&] {
    auto window = Show(Spec(100, 100, 100, 100), Border(kOrangeHalf, 100, 100));
    // Without a compositor the half-transparent colour is drawn solid.
    ExpectPixels(frame, kOrange, "frame");
    ExpectPixels(inside_and_out, kBlue, "inside and outside");
    std::string focus;
    EXPECT_EQ(Run("xdotool getwindowfocus", &focus), 0);
    EXPECT_EQ(focus, std::to_string(below) + "\n");
    for (const char* point : {"1381 150", "1430 150"}) {
      ASSERT_EQ(Run(std::string("xdotool mousemove ") + point + " click 1"), 0);
      XEvent event;
      EXPECT_TRUE(WaitFor([&] { return XCheckWindowEvent(display_, below, ButtonPressMask, &event); }))
          << "the click at " << point << " did not pass";
    }
    // A window mapped later covers it until new content raises it again.
    MapSolidWindow(1360, 80, 140, 140, kBlue);
    ExpectPixels({{1381, 150}}, kBlue, "covered");
    OnMain([&] { window->SetContent(Border({1, 0, 0, 0.5}, 100, 100)); });
    ExpectPixels({{1381, 150}}, kRed, "new colour");
    OnMain([&] { window->OrderOut(); });
    ExpectPixels({{1381, 150}}, kBlue, "ordered out");
    OnMain([&] { window->OrderFrontRegardless(); });
    ExpectPixels({{1381, 150}}, kRed, "shown again");
    OnMain([&] { window.reset(); });
    ExpectPixels({{1381, 150}}, kBlue, "released");

    // With a compositing manager (the owner of _NET_WM_CM_S0) the alpha is
    // kept: nothing composites on Xvfb, so premultiplied pixels land as they are.
    XSetSelectionOwner(display_, XInternAtom(display_, "_NET_WM_CM_S0", False), below, CurrentTime);
    XSync(display_, False);
    window = Show(Spec(100, 100, 100, 100), Border(kOrangeHalf, 100, 100));
    const auto half_orange = [&](int x, int y) {
      const uint32_t rgb = Pixel(x, y);
      const uint32_t red = rgb >> 16, green = (rgb >> 8) & 0xFF;
      return red >= 126 && red <= 129 && green >= 60 && green <= 64 && (rgb & 0xFF) == 0;
    };
    EXPECT_TRUE(WaitFor([&] { return half_orange(1380, 150); })) << std::hex << Pixel(1380, 150);
    EXPECT_TRUE(half_orange(1479, 199)) << std::hex << Pixel(1479, 199);
    EXPECT_EQ(Pixel(1430, 150), kBlue) << "the inside is not shaped away";
    OnMain([&] { window.reset(); });
  });
}

TEST_F(QtPlatformTest, FramesLandOnTheirRootPixelsAndStayWithinTheScreen) {
  // Global x is root x minus 1280: LEFT starts at -1280, RIGHT at 1920.
  // The pixels expected; no width: a huge border, (x, y) on its strip.
  struct Row { const char* name; OverlayWindowSpec spec; uint32_t rgb; int x, y, width, height; };
  const Rgba red{1, 0, 0, 1};
  const Row rows[] = {
      {"LEFT", Spec(-1000, 200, 60, 40, true, red), kRed, 280, 200, 60, 40},
      {"RIGHT below MAIN", Spec(2000, 900, 60, 40, true, red), kRed, 3280, 900, 60, 40},
      {"across MAIN and RIGHT", Spec(1850, 1030, 60, 40, true, red), kRed, 3130, 1030, 60, 40},
      {"clamped colour", Spec(640, 270, 640, 540, true, {0.0, 1.5, -0.2, 1.0}), kGreen, 1920, 270, 640, 540},
      {"huge, left strip", Spec(-100, 100, 6000, 3000), kOrange, 1181, 500, 0, 0},
      {"huge, top strip", Spec(100, 100, 32767, 32767), kOrange, 2000, 101, 0, 0},
      {"int max", Spec(100, 100, 2147483647, 2147483647), kOrange, 1381, 500, 0, 0},
      {"int min", Spec(-2147483647, 100, 2147483647, 2147483647), kOrange, 1278, 500, 0, 0},
  };
  MapSolidWindow(0, 0, kScreenWidth, kScreenHeight, kBlue);
  RunApp([&] {
    for (const Row& r : rows) {
      const Rect& f = r.spec.frame;
      auto window = Show(r.spec, r.width ? std::nullopt : std::optional(Border(kOrangeHalf, f.width, f.height)));
      if (r.width) {
        const int right = r.x + r.width - 1, bottom = r.y + r.height - 1;
        ExpectPixels({{r.x, r.y}, {right, bottom}, {(r.x + right) / 2, (r.y + bottom) / 2}}, r.rgb, r.name);
        ExpectPixels({{r.x - 1, r.y}, {r.x, r.y - 1}, {right + 1, bottom}, {right, bottom + 1}}, kBlue, r.name);
      } else {
        ExpectPixels({{r.x, r.y}}, r.rgb, r.name);  // its window could never be allocated unclamped
      }
      OnMain([&] { window.reset(); });
      ExpectPixels({{r.x, r.y}}, kBlue, r.name);
    }
  });
}

class QtPlatformScaledTest : public QtPlatformTest {
 protected:
  void SetUp() override {
    setenv("QT_SCALE_FACTOR", "2", 1);
    QtPlatformTest::SetUp();
    unsetenv("QT_SCALE_FACTOR");
  }
};

TEST_F(QtPlatformScaledTest, WithTwoDevicePixelsPerPointFramesStillCoverTheirXPixels) {
  MapSolidWindow(1360, 80, 160, 160, kBlue);
  RunApp([&] {
    EXPECT_EQ(OnMain([] { return qApp->devicePixelRatio(); }), 2.0);
    // Odd X pixels fall between two logical pixels.
    auto window = Show(Spec(101, 101, 100, 100), Border(kOrangeHalf, 100, 100));
    ExpectPixels({{1381, 151}, {1384, 151}, {1480, 200}, {1431, 101}, {1431, 104}}, kOrange, "2x frame");
    ExpectPixels({{1385, 151}, {1380, 151}, {1481, 151}, {1431, 196}, {1431, 201}, {1431, 100}}, kBlue, "2x outside");
    OnMain([&] { window.reset(); });
  });
}

TEST_F(QtPlatformTest, AnAlertHoldsBackTheQueueAndItsTimersButNotTheHotKey) {
  ASSERT_EQ(Run("printf held | xclip -selection clipboard -i >/dev/null 2>&1"), 0);
  // Written by work items on the main thread, read from the GUI loop.
  std::vector<std::string> order;
  auto record = [&](const std::string& what) { order.push_back(what); };
  auto recorded = [&] { return OnMain([&] { return order; }, true); };
  std::atomic<int> ticks{0}, presses{0};
  std::atomic<bool> off_main{false};
  std::unique_ptr<RepeatingTimer> timer;
  RunApp([&] {
    EXPECT_EQ(OnMain([&] { return platform_->ActiveDisplayBounds(); }).front(), (Rect{0, 0, 1920, 1080}));
    EXPECT_TRUE(OnMain([&] { return platform_->IsAccessibilityTrusted(); }));
    OnMain([&] { platform_->ClearClipboard(); });
    EXPECT_TRUE(WaitFor([&] { return Run("xclip -selection clipboard -o >/dev/null 2>&1") != 0; }))
        << "the clipboard still serves content";

    OnMain([&] {
      platform_->InstallHotKeyHandler([&] { ++presses; });
      EXPECT_NE(platform_->RegisterHotKey(*keycode::ForLetter('E'), kHotKeyControl | kHotKeyOption | kHotKeyShift), 0u);
      timer = platform_->ScheduleRepeatingTimer(20ms, [&, main = std::this_thread::get_id()] {
        off_main = off_main || std::this_thread::get_id() != main;
        ++ticks;
      });
    });
    EXPECT_TRUE(WaitFor([&] { return ticks >= 2; }));
    platform_->PostToMain([&] {
      record("alert");
      const int answer = platform_->RunModalAlert(
          AlertSpec{"Pick", "text <h1>Big</h1><a href=\"file:///\">open</a>", {"Alpha", "Beta", "Gamma"}, true});
      record("answer " + std::to_string(answer));
    });
    platform_->PostToMain([&] { record("second"); });
    ASSERT_TRUE(WaitFor([&] { return Run("xdotool search --onlyvisible --name 'Morrowvane Remote Control Helper'") == 0; }));
    platform_->PostToMainAfter(10ms, [&] { record("delayed"); });
    const int ticks_before = ticks;
    ASSERT_EQ(Run("xdotool key ctrl+alt+shift+e"), 0);
    EXPECT_TRUE(WaitFor([&] { return presses == 1; })) << "the hot key did not arrive under the alert";
    // The dialog's own loop runs queued calls; the queue still holds back.
    std::this_thread::sleep_for(100ms);
    const std::string shown = OnMain([] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || box->defaultButton() == nullptr) return std::string("no dialog or no default");
      auto buttons = box->buttons();
      std::sort(buttons.begin(), buttons.end(), [](auto* l, auto* r) { return l->x() < r->x(); });
      QString seen = box->iconPixmap().isNull() ? "no icon" : "icon";
      for (auto* button : buttons) seen += " " + button->text();
      seen += ", default " + box->defaultButton()->text();
      for (const QLabel* label : box->findChildren<QLabel*>()) {
        if (!label->text().startsWith("text")) continue;
        seen += label->textFormat() == Qt::PlainText && !label->openExternalLinks() ? ", plain " : ", rich ";
        seen += label->text();
      }
      return seen.toStdString();
    }, true);
    EXPECT_EQ(shown, "icon Alpha Beta Gamma, default Alpha, plain text <h1>Big</h1><a href=\"file:///\">open</a>");
    EXPECT_EQ(recorded(), std::vector<std::string>{"alert"});
    EXPECT_EQ(ticks, ticks_before) << "the timer fired under the alert";
    ASSERT_EQ(Run("xdotool key Escape"), 0);  // answers the last button
    EXPECT_TRUE(WaitFor([&] { return recorded().size() == 4; }));
    EXPECT_EQ(recorded(), (std::vector<std::string>{"alert", "answer 1002", "second", "delayed"}));
    EXPECT_TRUE(WaitFor([&] { return ticks >= ticks_before + 2; })) << "the timer did not resume";
    OnMain([&] { timer.reset(); });
  });
  EXPECT_FALSE(off_main) << "the timer ticked off the main thread";
}

}  // namespace
}  // namespace mv::test
