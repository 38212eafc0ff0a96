// The Qt platform on a private Xvfb, observed from separate X clients: overlay
// pixels read back from the root window, dialogs answered with xdotool, the
// clipboard read with xclip.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/KeyCodes.h"
#include "platform/linux/LinuxPlatform.h"
#include "tests/platform/XvfbFixture.h"

// Xlib last: its macros clash with gtest's and Qt's names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace mv::test {
namespace {

using namespace std::chrono_literals;

constexpr char kAlertTitle[] = "Morrowvane Remote Control Helper";
constexpr auto kWaitLimit = 10s;

[[noreturn]] void Fatal(const std::string& what) {
  std::fprintf(stderr, "FATAL: %s\n", what.c_str());
  std::fflush(stderr);
  _exit(3);
}

// Ends the test process when a scenario does not finish: a failure, never a
// hang.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : thread_([this, limit] {
          std::unique_lock lock(mutex_);
          if (!done_cv_.wait_for(lock, limit, [this] { return done_; })) {
            Fatal("the scenario did not finish in time");
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    done_cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool done_ = false;
  std::thread thread_;
};

// A separate X client that reads the screen and maps plain windows.
class XObserver {
 public:
  explicit XObserver(const std::string& display_name)
      : display_(XOpenDisplay(display_name.c_str())) {
    if (display_ == nullptr) Fatal("observer cannot open " + display_name);
  }
  ~XObserver() { XCloseDisplay(display_); }
  XObserver(const XObserver&) = delete;
  XObserver& operator=(const XObserver&) = delete;

  // 0xRRGGBB of one root pixel (24-bit TrueColor on Xvfb).
  uint32_t Pixel(int x, int y) {
    XImage* image = XGetImage(display_, DefaultRootWindow(display_), x, y, 1, 1, AllPlanes, ZPixmap);
    if (image == nullptr) return 0xFFFFFFFFu;
    const uint32_t value = static_cast<uint32_t>(XGetPixel(image, 0, 0)) & 0xFFFFFFu;
    XDestroyImage(image);
    return value;
  }

  // Waits until the pixel shows `rgb`; false when it never does.
  bool WaitForPixel(int x, int y, uint32_t rgb) {
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (Pixel(x, y) == rgb) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  // Makes this client look like a compositing manager (EWMH: it owns the
  // selection _NET_WM_CM_S0). Nothing composites on Xvfb, so the window's
  // premultiplied ARGB pixels land on the screen as they are.
  void ClaimCompositorSelection() {
    const Window owner = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 1, 1, 0, 0, 0);
    XSetSelectionOwner(display_, XInternAtom(display_, "_NET_WM_CM_S0", False), owner, CurrentTime);
    XSync(display_, False);
  }

  // Whether `window` receives a button press within the wait limit (it must
  // have been mapped with MapSolidWindow, which asks for them).
  bool WaitForButtonPress(Window window) {
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    XEvent event;
    while (std::chrono::steady_clock::now() < deadline) {
      if (XCheckWindowEvent(display_, window, ButtonPressMask, &event)) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  // Width and height of the largest windows shown on the screen.
  std::pair<int, int> LargestShownWindow() {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    std::pair<int, int> largest{0, 0};
    XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count);
    for (unsigned i = 0; i < count; ++i) {
      XWindowAttributes a;
      if (!XGetWindowAttributes(display_, children[i], &a) || a.map_state != IsViewable) continue;
      largest = {std::max(largest.first, a.width), std::max(largest.second, a.height)};
    }
    if (children != nullptr) XFree(children);
    return largest;
  }

  // A plain solid window: "the screen below" an overlay, or a window that
  // covers one.
  Window MapSolidWindow(int x, int y, int width, int height, uint32_t rgb) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = rgb;
    const Window window = XCreateWindow(
        display_, DefaultRootWindow(display_), x, y, static_cast<unsigned>(width),
        static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
        CWOverrideRedirect | CWBackPixel, &attributes);
    XSelectInput(display_, window, ButtonPressMask);
    XMapRaised(display_, window);
    XSync(display_, False);
    return window;
  }

 private:
  Display* display_;
};

std::string Hex(uint32_t rgb) {
  char text[16];
  std::snprintf(text, sizeof text, "%06X", rgb);
  return text;
}

class ScriptDelegate final : public ApplicationDelegate {
 public:
  explicit ScriptDelegate(std::function<void()> on_launched) : on_launched_(std::move(on_launched)) {}
  void ApplicationWillFinishLaunching() override { calls.push_back("will-finish"); }
  void ApplicationDidFinishLaunching() override {
    calls.push_back("did-finish");
    if (on_launched_) on_launched_();
  }
  void ApplicationWillTerminate() override { calls.push_back("will-terminate"); }
  std::vector<std::string> calls;

 private:
  std::function<void()> on_launched_;
};

class QtPlatformTest : public XvfbFixture {
 protected:
  void SetUp() override {
    XvfbFixture::SetUp();
    if (HasFatalFailure()) return;
    // No session bus: these tests run without the single-instance service.
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
    char folder[] = "/tmp/qt_platform_test.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    setenv("XDG_STATE_HOME", folder, 1);
    setenv("XDG_RUNTIME_DIR", folder, 1);
    PrepareEnvironment();
    std::string error;
    platform_ = CreateLinuxPlatform(argc_, argv_, &error);
    ASSERT_TRUE(platform_) << error;
    SetCurrentPlatform(platform_.get());
    observer_ = std::make_unique<XObserver>(DisplayName());
  }

  void TearDown() override {
    observer_.reset();
    SetCurrentPlatform(nullptr);
    platform_.reset();
    if (!folder_.empty()) std::filesystem::remove_all(folder_);
    XvfbFixture::TearDown();
  }

  virtual void PrepareEnvironment() {}

  // Runs the application. `script` runs on a worker thread once launching has
  // finished and ends the application when it returns; `on_launched` runs on
  // the main thread right after the script has started.
  std::vector<std::string> Run(std::function<void()> script,
                               std::function<void()> on_launched = {}) {
    Watchdog watchdog(60s);
    Platform* platform = platform_.get();
    ScriptDelegate delegate([platform, script = std::move(script), on_launched = std::move(on_launched)] {
      platform->RunOnWorkerThread([platform, script] {
        script();
        platform->PostToMain([platform] { platform->Terminate(); });
      });
      if (on_launched) on_launched();
    });
    EXPECT_EQ(platform_->RunApplication(delegate), 0);
    return delegate.calls;
  }

  // Runs `work` through the main queue and waits for it.
  template <typename F>
  auto OnMain(F work) {
    using Result = decltype(work());
    auto promise = std::make_shared<std::promise<Result>>();
    std::future<Result> future = promise->get_future();
    platform_->PostToMain([promise, work = std::move(work)]() mutable {
      if constexpr (std::is_void_v<Result>) {
        work();
        promise->set_value();
      } else {
        promise->set_value(work());
      }
    });
    if (future.wait_for(kWaitLimit) != std::future_status::ready) Fatal("main queue stalled");
    return future.get();
  }

  // Runs `work` as a plain queued call on the GUI thread, which dialogs'
  // nested event loops also run; waits for it.
  template <typename F>
  auto OnGuiLoop(F work) {
    using Result = decltype(work());
    auto promise = std::make_shared<std::promise<Result>>();
    std::future<Result> future = promise->get_future();
    QMetaObject::invokeMethod(
        qApp,
        [promise, work = std::move(work)]() mutable {
          if constexpr (std::is_void_v<Result>) {
            work();
            promise->set_value();
          } else {
            promise->set_value(work());
          }
        },
        Qt::QueuedConnection);
    if (future.wait_for(kWaitLimit) != std::future_status::ready) Fatal("GUI loop stalled");
    return future.get();
  }

  // Waits until a dialog of the program is visible, seen from xdotool.
  bool WaitForAlert() {
    const std::string search =
        std::string("xdotool search --onlyvisible --name '") + kAlertTitle + "'";
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (Server().Run(search) == 0) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  // Presses `key` through XTEST; an open dialog of the program has the
  // keyboard focus.
  void AnswerAlert(const std::string& key) {
    const std::string command = "xdotool key " + key;
    EXPECT_EQ(Server().Run(command), 0) << command;
  }

  std::unique_ptr<OverlayWindow> CreateOverlay(const OverlayWindowSpec& spec) {
    return OnMain([this, spec] { return platform_->CreateOverlayWindow(spec); });
  }

  int argc_ = 1;
  char arg0_[32] = "qt_platform_test";
  char* argv_[2] = {arg0_, nullptr};
  std::string folder_;
  std::unique_ptr<Platform> platform_;
  std::unique_ptr<XObserver> observer_;
};

// Window-system frame of a rectangle in global display space on this layout:
// the primary monitor MAIN is 1080 pixels high.
Rect WindowSystemFrame(double x, double y, double width, double height) {
  return Rect{x, 1080 - y - height, width, height};
}

// Four 4-pixel strips along the edges of a window, in its own coordinates
// (origin bottom-left, y up).
std::vector<Rect> BorderFills(double width, double height) {
  return {{0, height - 4, width, 4}, {0, 0, width, 4}, {0, 0, 4, height}, {width - 4, 0, 4, height}};
}

constexpr uint32_t kBlue = 0x0000FF;
constexpr uint32_t kOrange = 0xFF7C00;
constexpr uint32_t kRed = 0xFF0000;
constexpr Rgba kOrangeHalf{1.0, 124.0 / 255.0, 0.0, 0.5};
constexpr Rgba kRedHalf{1.0, 0.0, 0.0, 0.5};

OverlayWindowSpec BorderSpec(const Rect& frame) {
  OverlayWindowSpec spec;
  spec.frame = frame;
  spec.opaque = false;
  spec.background = Rgba{0, 0, 0, 0};
  return spec;
}

// --- Overlays ---

TEST_F(QtPlatformTest, BorderShowsItsFrameAndTheScreenInside) {
  // Global (100, 100) on MAIN is root (1380, 100).
  observer_->MapSolidWindow(1360, 80, 140, 140, kBlue);
  Run([&] {
    auto window = CreateOverlay(BorderSpec(WindowSystemFrame(100, 100, 100, 100)));
    OnMain([&] {
      window->SetContent(OverlayContent{kOrangeHalf, BorderFills(100, 100)});
      window->OrderFrontRegardless();
    });
    // Without a compositor the half-transparent colour is drawn solid.
    ASSERT_TRUE(observer_->WaitForPixel(1380, 150, kOrange)) << Hex(observer_->Pixel(1380, 150));
    for (auto [x, y] : std::vector<std::pair<int, int>>{
             {1380, 100}, {1383, 150}, {1479, 150}, {1476, 150}, {1430, 100}, {1430, 103},
             {1430, 199}, {1430, 196}, {1479, 199}}) {
      EXPECT_EQ(Hex(observer_->Pixel(x, y)), Hex(kOrange)) << x << "," << y;
    }
    // Inside and just outside: the window below, untouched.
    for (auto [x, y] : std::vector<std::pair<int, int>>{
             {1384, 150}, {1430, 150}, {1475, 150}, {1430, 104}, {1430, 195},
             {1379, 150}, {1480, 150}, {1430, 99}, {1430, 200}}) {
      EXPECT_EQ(Hex(observer_->Pixel(x, y)), Hex(kBlue)) << x << "," << y;
    }
    OnMain([&] { window.reset(); });
    EXPECT_TRUE(observer_->WaitForPixel(1380, 150, kBlue)) << "released window still shown";
  });
}

TEST_F(QtPlatformTest, ClicksPassThroughAndShowingTakesNoFocus) {
  const Window below = observer_->MapSolidWindow(1360, 80, 140, 140, kBlue);
  ASSERT_EQ(Server().Run("xdotool windowfocus --sync " + std::to_string(below)), 0);
  Run([&] {
    auto window = CreateOverlay(BorderSpec(WindowSystemFrame(100, 100, 100, 100)));
    OnMain([&] {
      window->SetContent(OverlayContent{kOrangeHalf, BorderFills(100, 100)});
      window->OrderFrontRegardless();
    });
    ASSERT_TRUE(observer_->WaitForPixel(1381, 150, kOrange));
    std::string focus;
    ASSERT_EQ(Server().Run("xdotool getwindowfocus", &focus), 0);
    EXPECT_EQ(focus, std::to_string(below) + "\n");
    // On the frame itself, then inside it.
    ASSERT_EQ(Server().Run("xdotool mousemove 1381 150 click 1"), 0);
    EXPECT_TRUE(observer_->WaitForButtonPress(below)) << "the click on the frame did not pass";
    ASSERT_EQ(Server().Run("xdotool mousemove 1430 150 click 1"), 0);
    EXPECT_TRUE(observer_->WaitForButtonPress(below)) << "the click inside did not pass";
    OnMain([&] { window.reset(); });
  });
}

TEST_F(QtPlatformTest, WithACompositorTheFrameKeepsItsAlpha) {
  observer_->MapSolidWindow(1360, 80, 140, 140, kBlue);
  observer_->ClaimCompositorSelection();
  Run([&] {
    auto window = CreateOverlay(BorderSpec(WindowSystemFrame(100, 100, 100, 100)));
    OnMain([&] {
      window->SetContent(OverlayContent{kOrangeHalf, BorderFills(100, 100)});
      window->OrderFrontRegardless();
    });
    // Half of (255, 124, 0), premultiplied by alpha 0.5, rounded either way.
    const auto half_orange = [&](uint32_t rgb) {
      const int red = static_cast<int>(rgb >> 16), green = static_cast<int>((rgb >> 8) & 0xFF);
      return red >= 126 && red <= 129 && green >= 60 && green <= 64 && (rgb & 0xFF) == 0;
    };
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (!half_orange(observer_->Pixel(1380, 150)) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(half_orange(observer_->Pixel(1380, 150))) << Hex(observer_->Pixel(1380, 150));
    EXPECT_TRUE(half_orange(observer_->Pixel(1479, 199))) << Hex(observer_->Pixel(1479, 199));
    EXPECT_EQ(Hex(observer_->Pixel(1430, 150)), Hex(kBlue)) << "the inside is not shaped away";
    OnMain([&] { window.reset(); });
  });
}

TEST_F(QtPlatformTest, NewContentChangesTheColourAndOrderOutHides) {
  observer_->MapSolidWindow(1360, 80, 140, 140, kBlue);
  Run([&] {
    auto window = CreateOverlay(BorderSpec(WindowSystemFrame(100, 100, 100, 100)));
    OnMain([&] {
      window->SetContent(OverlayContent{kOrangeHalf, BorderFills(100, 100)});
      window->OrderFrontRegardless();
    });
    ASSERT_TRUE(observer_->WaitForPixel(1381, 150, kOrange));
    OnMain([&] { window->SetContent(OverlayContent{kRedHalf, BorderFills(100, 100)}); });
    EXPECT_TRUE(observer_->WaitForPixel(1381, 150, kRed)) << Hex(observer_->Pixel(1381, 150));
    EXPECT_EQ(Hex(observer_->Pixel(1430, 150)), Hex(kBlue));
    OnMain([&] { window->OrderOut(); });
    EXPECT_TRUE(observer_->WaitForPixel(1381, 150, kBlue)) << Hex(observer_->Pixel(1381, 150));
    OnMain([&] { window->OrderFrontRegardless(); });
    EXPECT_TRUE(observer_->WaitForPixel(1381, 150, kRed)) << "not shown again";
    OnMain([&] { window.reset(); });
  });
}

TEST_F(QtPlatformTest, NewContentRaisesTheWindowAboveOnesMappedLater) {
  Run([&] {
    auto window = CreateOverlay(BorderSpec(WindowSystemFrame(100, 100, 100, 100)));
    OnMain([&] {
      window->SetContent(OverlayContent{kOrangeHalf, BorderFills(100, 100)});
      window->OrderFrontRegardless();
    });
    ASSERT_TRUE(observer_->WaitForPixel(1381, 150, kOrange));
    // Another override-redirect window mapped later covers the overlay ...
    observer_->MapSolidWindow(1360, 80, 140, 140, kBlue);
    ASSERT_TRUE(observer_->WaitForPixel(1381, 150, kBlue));
    // ... until the next colour tick raises it again.
    OnMain([&] { window->SetContent(OverlayContent{kRedHalf, BorderFills(100, 100)}); });
    EXPECT_TRUE(observer_->WaitForPixel(1381, 150, kRed)) << Hex(observer_->Pixel(1381, 150));
    OnMain([&] { window.reset(); });
  });
}

TEST_F(QtPlatformTest, HugeBorderWindowsCoverNoMoreThanTheScreen) {
  // Each rectangle's visible strip, seen at one root pixel of the 4480 x 1440 screen.
  struct Case {
    Rect global;
    int x, y;
  };
  const std::vector<Case> cases = {
      {{-100, 100, 6000, 3000}, 1181, 500},                  // left strip
      {{100, 100, 32767, 32767}, 2000, 101},                 // top strip
      {{100, 100, 2147483647, 2147483647}, 1381, 500},       // left strip
      {{-2147483647, 100, 2147483647, 2147483647}, 1278, 500},  // right strip, ending at x 0
  };
  observer_->MapSolidWindow(0, 0, 4480, 1440, kBlue);
  Run([&] {
    for (const Case& c : cases) {
      const Rect& g = c.global;
      auto window = CreateOverlay(BorderSpec(WindowSystemFrame(g.x, g.y, g.width, g.height)));
      OnMain([&] {
        window->SetContent(OverlayContent{kOrangeHalf, BorderFills(g.width, g.height)});
        window->OrderFrontRegardless();
      });
      ASSERT_TRUE(observer_->WaitForPixel(c.x, c.y, kOrange)) << c.x << "," << c.y;
      const auto [width, height] = observer_->LargestShownWindow();
      EXPECT_LE(width, 4480) << g.width;
      EXPECT_LE(height, 1440) << g.height;
      OnMain([&] { window.reset(); });
      ASSERT_TRUE(observer_->WaitForPixel(c.x, c.y, kBlue));
    }
  });
}

TEST_F(QtPlatformTest, OpaqueWindowIsFilledWithItsColourClampedAndStaysOnTop) {
  Run([&] {
    OverlayWindowSpec spec;
    spec.frame = WindowSystemFrame(640, 270, 640, 540);  // centred on MAIN
    spec.opaque = true;
    spec.background = Rgba{0.0, 1.5, -0.2, 1.0};         // clamps to pure green
    auto window = CreateOverlay(spec);
    OnMain([&] { window->OrderFrontRegardless(); });
    ASSERT_TRUE(observer_->WaitForPixel(1280 + 640, 270, 0x00FF00)) << Hex(observer_->Pixel(1920, 270));
    for (auto [x, y] : std::vector<std::pair<int, int>>{{1920, 540}, {2559, 809}, {2240, 500}}) {
      EXPECT_EQ(Hex(observer_->Pixel(x, y)), "00FF00") << x << "," << y;
    }
    EXPECT_NE(Hex(observer_->Pixel(1919, 540)), "00FF00");
    EXPECT_NE(Hex(observer_->Pixel(2560, 540)), "00FF00");
    EXPECT_NE(Hex(observer_->Pixel(1920, 269)), "00FF00");
    EXPECT_NE(Hex(observer_->Pixel(1920, 810)), "00FF00");
    // A window mapped later covers it only until the overlay raises itself again.
    observer_->MapSolidWindow(1900, 250, 100, 100, kBlue);
    EXPECT_TRUE(observer_->WaitForPixel(1920, 270, 0x00FF00)) << Hex(observer_->Pixel(1920, 270));
    OnMain([&] { window.reset(); });
  });
}

TEST_F(QtPlatformTest, FramesOnEveryMonitorLandOnTheirRootPixels) {
  // Global x is root x minus 1280: LEFT starts at -1280, RIGHT at 1920.
  struct Case {
    Rect global;
    int root_x, root_y;
  };
  const std::vector<Case> cases = {
      {{-1000, 200, 60, 40}, 280, 200},   // LEFT, negative global x
      {{2000, 900, 60, 40}, 3280, 900},   // RIGHT, below MAIN's bottom edge
      {{1850, 1030, 60, 40}, 3130, 1030}, // across MAIN and RIGHT
  };
  Run([&] {
    for (const Case& c : cases) {
      OverlayWindowSpec spec;
      spec.frame = WindowSystemFrame(c.global.x, c.global.y, c.global.width, c.global.height);
      spec.opaque = true;
      spec.background = Rgba{1, 0, 0, 1};
      auto window = CreateOverlay(spec);
      OnMain([&] { window->OrderFrontRegardless(); });
      ASSERT_TRUE(observer_->WaitForPixel(c.root_x, c.root_y, kRed))
          << c.root_x << "," << c.root_y << " is " << Hex(observer_->Pixel(c.root_x, c.root_y));
      EXPECT_EQ(Hex(observer_->Pixel(c.root_x + 59, c.root_y + 39)), Hex(kRed));
      EXPECT_NE(Hex(observer_->Pixel(c.root_x - 1, c.root_y)), Hex(kRed));
      EXPECT_NE(Hex(observer_->Pixel(c.root_x, c.root_y - 1)), Hex(kRed));
      EXPECT_NE(Hex(observer_->Pixel(c.root_x + 60, c.root_y + 39)), Hex(kRed));
      EXPECT_NE(Hex(observer_->Pixel(c.root_x + 59, c.root_y + 40)), Hex(kRed));
      OnMain([&] { window.reset(); });
      ASSERT_TRUE(observer_->WaitForPixel(c.root_x, c.root_y, observer_->Pixel(c.root_x - 1, c.root_y)));
    }
  });
}

class QtPlatformScaledTest : public QtPlatformTest {
 protected:
  void PrepareEnvironment() override { setenv("QT_SCALE_FACTOR", "2", 1); }
  void TearDown() override {
    QtPlatformTest::TearDown();
    unsetenv("QT_SCALE_FACTOR");
  }
};

TEST_F(QtPlatformScaledTest, WithTwoDevicePixelsPerPointFramesStillCoverTheirXPixels) {
  observer_->MapSolidWindow(1360, 80, 160, 160, kBlue);
  Run([&] {
    EXPECT_EQ(OnMain([] { return qApp->devicePixelRatio(); }), 2.0);
    // Even and odd X pixels: odd ones fall between two logical pixels.
    for (int d : {0, 1}) {
      const int left = 1380 + d, top = 100 + d;
      auto window = CreateOverlay(BorderSpec(WindowSystemFrame(100 + d, 100 + d, 100, 100)));
      OnMain([&] {
        window->SetContent(OverlayContent{kOrangeHalf, BorderFills(100, 100)});
        window->OrderFrontRegardless();
      });
      ASSERT_TRUE(observer_->WaitForPixel(left, top + 50, kOrange)) << Hex(observer_->Pixel(left, top + 50));
      for (auto [x, y] : std::vector<std::pair<int, int>>{
               {left + 3, top + 50}, {left + 99, top + 99}, {left + 50, top}, {left + 50, top + 3}}) {
        EXPECT_EQ(Hex(observer_->Pixel(x, y)), Hex(kOrange)) << "offset " << d << ": " << x << "," << y;
      }
      for (auto [x, y] : std::vector<std::pair<int, int>>{
               {left + 4, top + 50}, {left - 1, top + 50}, {left + 100, top + 50},
               {left + 50, top + 95}, {left + 50, top + 100}, {left + 50, top - 1}, {left - 1, top - 1}}) {
        EXPECT_EQ(Hex(observer_->Pixel(x, y)), Hex(kBlue)) << "offset " << d << ": " << x << "," << y;
      }
      OnMain([&] { window.reset(); });
      ASSERT_TRUE(observer_->WaitForPixel(left, top + 50, kBlue));
    }
  });
}

TEST_F(QtPlatformScaledTest, WithTwoDevicePixelsPerPointOpaqueWindowsCoverExactlyTheirXPixels) {
  observer_->MapSolidWindow(1360, 80, 160, 160, kBlue);
  Run([&] {
    OverlayWindowSpec spec;
    spec.frame = WindowSystemFrame(101, 101, 51, 51);
    spec.opaque = true;
    spec.background = Rgba{1, 0, 0, 1};
    auto window = CreateOverlay(spec);
    OnMain([&] { window->OrderFrontRegardless(); });
    ASSERT_TRUE(observer_->WaitForPixel(1381, 101, kRed)) << Hex(observer_->Pixel(1381, 101));
    EXPECT_EQ(Hex(observer_->Pixel(1431, 151)), Hex(kRed));
    EXPECT_EQ(Hex(observer_->Pixel(1380, 101)), Hex(kBlue));
    EXPECT_EQ(Hex(observer_->Pixel(1381, 100)), Hex(kBlue));
    EXPECT_EQ(Hex(observer_->Pixel(1432, 151)), Hex(kBlue));
    EXPECT_EQ(Hex(observer_->Pixel(1431, 152)), Hex(kBlue));
    OnMain([&] { window.reset(); });
  });
}

// --- Application, main queue and alerts ---

TEST_F(QtPlatformTest, LifecycleCallbacksComeInOrderAndArgumentsAreKept) {
  const auto calls = Run([] {});
  EXPECT_EQ(calls, (std::vector<std::string>{"will-finish", "did-finish", "will-terminate"}));
  EXPECT_EQ(platform_->ProcessArguments(), std::vector<std::string>{"qt_platform_test"});
}

TEST_F(QtPlatformTest, AlertInAWorkItemHoldsBackLaterItemsUntilAnswered) {
  std::mutex mutex;
  std::vector<std::string> order;
  auto record = [&](const std::string& what) {
    std::lock_guard lock(mutex);
    order.push_back(what);
  };
  auto recorded = [&] {
    std::lock_guard lock(mutex);
    return order;
  };
  Run([&] {
    platform_->PostToMain([&] {
      record("alert");
      const int answer = platform_->RunModalAlert(AlertSpec{"Allow?", "Details", {"Yes", "No"}, true});
      record("answer " + std::to_string(answer));
    });
    platform_->PostToMain([&] { record("second"); });
    ASSERT_TRUE(WaitForAlert());
    // The dialog's loop runs queued calls; the queue still holds back.
    OnGuiLoop([] {});
    OnGuiLoop([] {});
    EXPECT_EQ(recorded(), std::vector<std::string>{"alert"});
    platform_->PostToMain([&] { record("third"); });
    OnGuiLoop([] {});
    EXPECT_EQ(recorded(), std::vector<std::string>{"alert"});
    AnswerAlert("Return");
    OnMain([] {});
    EXPECT_EQ(recorded(), (std::vector<std::string>{"alert", "answer 1000", "second", "third"}));
  });
}

TEST_F(QtPlatformTest, EscapeAnswersTheLastButton) {
  std::atomic<int> answer{0};
  Run([&] {
    platform_->PostToMain([&] {
      answer = platform_->RunModalAlert(AlertSpec{"Pick", "", {"One", "Two", "Three"}, false});
    });
    ASSERT_TRUE(WaitForAlert());
    AnswerAlert("Escape");
    OnMain([] {});
  });
  EXPECT_EQ(answer.load(), 1002);
}

TEST_F(QtPlatformTest, ButtonsAreShownInTheGivenOrderFirstIsDefault) {
  std::atomic<int> answer{0};
  Run([&] {
    platform_->PostToMain([&] {
      answer = platform_->RunModalAlert(AlertSpec{"Pick", "", {"Alpha", "Beta", "Gamma"}, true});
    });
    ASSERT_TRUE(WaitForAlert());
    const auto layout = OnGuiLoop([] {
      std::vector<std::pair<int, std::string>> seen;
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) return seen;
      for (QAbstractButton* button : box->buttons()) {
        seen.emplace_back(button->mapToGlobal(QPoint(0, 0)).x(), button->text().toStdString());
      }
      std::sort(seen.begin(), seen.end());
      seen.emplace_back(box->iconPixmap().isNull() ? 0 : 1, "icon");
      seen.emplace_back(0, box->defaultButton() ? box->defaultButton()->text().toStdString() : "");
      return seen;
    });
    ASSERT_EQ(layout.size(), 5u);
    EXPECT_EQ(layout[0].second, "Alpha");
    EXPECT_EQ(layout[1].second, "Beta");
    EXPECT_EQ(layout[2].second, "Gamma");
    EXPECT_EQ(layout[3].first, 1) << "the program's icon is missing";
    EXPECT_EQ(layout[4].second, "Alpha");
    AnswerAlert("Return");
    OnMain([] {});
  });
  EXPECT_EQ(answer.load(), 1000);
}

TEST_F(QtPlatformTest, AlertWithoutButtonsShowsItsTextsPlainCutAndToleratesBadUtf8) {
  std::atomic<int> answer{0};
  std::string shown;
  Run([&] {
    platform_->PostToMain([&] {
      answer = platform_->RunModalAlert(AlertSpec{"caption \xff\xfe end" + std::string(100000, 'x'),
                                                  "text \xc3<h1>Big</h1><a href=\"file:///\">open</a>",
                                                  {},
                                                  false});
    });
    ASSERT_TRUE(WaitForAlert());
    shown = OnGuiLoop([] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || box->buttons().size() != 1) return std::string("no single button");
      // The caption is cut for display; markup in either text stays text.
      std::string seen = box->buttons().front()->text().remove('&').toStdString() + "|" +
                         box->text().left(14).toStdString() + "|" +
                         std::to_string(box->text().size()) + "|" + box->text().right(2).toStdString();
      for (const QLabel* label : box->findChildren<QLabel*>()) {
        if (!label->text().startsWith("text")) continue;
        seen += "|" + label->text().toStdString();
        if (label->textFormat() != Qt::PlainText || label->openExternalLinks()) seen += " as rich text";
      }
      return seen;
    });
    AnswerAlert("Return");
    OnMain([] {});
  });
  EXPECT_EQ(answer.load(), 1000);
  EXPECT_EQ(shown, "OK|caption \xef\xbf\xbd\xef\xbf\xbd end|65537|x\xe2\x80\xa6|text \xef\xbf\xbd<h1>Big</h1>"
                  "<a href=\"file:///\">open</a>");
}

TEST_F(QtPlatformTest, WorkItemsRunWhileAnAlertRunsOutsideTheQueue) {
  std::atomic<int> answer{0};
  std::atomic<bool> ran_during_alert{false};
  Run(
      [&] {
        ASSERT_TRUE(WaitForAlert());
        // Runs while the alert is still open: nothing has answered it yet.
        OnMain([&] { ran_during_alert = (answer.load() == 0); });
        AnswerAlert("Return");
        OnMain([] {});
      },
      [&] {
        platform_->ActivateIgnoringOtherApps();
        answer = platform_->RunModalAlert(AlertSpec{"Consent", "", {"Yes", "No"}, true});
      });
  EXPECT_TRUE(ran_during_alert.load());
  EXPECT_EQ(answer.load(), 1000);
}

TEST_F(QtPlatformTest, DelayedItemsLandOnTheSameQueueInDueOrder) {
  std::mutex mutex;
  std::vector<std::string> order;
  auto record = [&](const char* what) {
    return [&, what] {
      std::lock_guard lock(mutex);
      order.push_back(what);
    };
  };
  std::promise<void> all_done;
  Run([&] {
    platform_->PostToMainAfter(300ms, record("after 300 ms"));
    platform_->PostToMainAfter(50ms, record("after 50 ms"));
    platform_->PostToMain(record("now"));
    platform_->PostToMainAfter(600ms, [&] {
      record("after 600 ms")();
      all_done.set_value();
    });
    ASSERT_EQ(all_done.get_future().wait_for(kWaitLimit), std::future_status::ready);
  });
  EXPECT_EQ(order, (std::vector<std::string>{"now", "after 50 ms", "after 300 ms", "after 600 ms"}));
}

TEST_F(QtPlatformTest, DelayedItemWaitsForARunningAlert) {
  std::mutex mutex;
  std::vector<std::string> order;
  auto record = [&](const std::string& what) {
    std::lock_guard lock(mutex);
    order.push_back(what);
  };
  Run([&] {
    platform_->PostToMain([&] {
      platform_->PostToMainAfter(10ms, [&] { record("delayed"); });
      platform_->RunModalAlert(AlertSpec{"Wait", "", {}, false});
      record("alert closed");
    });
    ASSERT_TRUE(WaitForAlert());
    std::this_thread::sleep_for(100ms);  // the delay has passed by now
    OnGuiLoop([] {});
    AnswerAlert("Return");
    OnMain([] {});
  });
  EXPECT_EQ(order, (std::vector<std::string>{"alert closed", "delayed"}));
}

TEST_F(QtPlatformTest, TimerTicksOnTheMainThreadButNotWhileAnAlertIsOpen) {
  std::atomic<int> ticks{0};
  std::atomic<bool> off_main{false};
  std::unique_ptr<RepeatingTimer> timer;
  auto wait_for_ticks = [&](int count) {
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (ticks.load() < count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
    return ticks.load() >= count;
  };
  Run([&] {
    const std::thread::id main_thread = OnMain([] { return std::this_thread::get_id(); });
    OnMain([&] {
      timer = platform_->ScheduleRepeatingTimer(20ms, [&, main_thread] {
        if (std::this_thread::get_id() != main_thread) off_main = true;
        ++ticks;
      });
    });
    ASSERT_TRUE(wait_for_ticks(2));
    platform_->PostToMain([&] { platform_->RunModalAlert(AlertSpec{"Hold", "", {}, false}); });
    ASSERT_TRUE(WaitForAlert());
    const int before = ticks.load();
    std::this_thread::sleep_for(200ms);  // ten intervals
    OnGuiLoop([] {});
    EXPECT_EQ(ticks.load(), before) << "the timer fired under the alert";
    AnswerAlert("Return");
    EXPECT_TRUE(wait_for_ticks(before + 2)) << "the timer did not resume";
    OnMain([&] { timer->Invalidate(); });
    const int after_invalidate = OnMain([&] { return ticks.load(); });
    std::this_thread::sleep_for(100ms);
    OnMain([] {});
    EXPECT_EQ(ticks.load(), after_invalidate) << "an invalidated timer fired";
    OnMain([&] { timer.reset(); });
  });
  EXPECT_FALSE(off_main.load());
}

TEST_F(QtPlatformTest, TerminateDuringAnAlertClosesItAndEndsTheLoop) {
  std::atomic<int> answer{0};
  std::atomic<bool> after_terminate_item{false};
  const auto calls = Run([&] {
    platform_->PostToMain([&] {
      answer = platform_->RunModalAlert(AlertSpec{"Consent", "", {"Yes", "No"}, false});
    });
    platform_->PostToMain([&] { after_terminate_item = true; });
    ASSERT_TRUE(WaitForAlert());
    // As a refused open-URL event would: from the dialog's own loop.
    OnGuiLoop([&] { platform_->Terminate(); });
  });
  EXPECT_EQ(answer.load(), 1001) << "a terminated alert answers as Escape would";
  EXPECT_FALSE(after_terminate_item.load());
  EXPECT_EQ(calls, (std::vector<std::string>{"will-finish", "did-finish", "will-terminate"}));
}

// --- Hot key, clipboard, permission, displays ---

TEST_F(QtPlatformTest, HotKeyPressReachesTheHandlerAlsoUnderAnAlert) {
  std::atomic<int> presses{0};
  auto wait_for_presses = [&](int count) {
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (presses.load() < count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
    return presses.load() >= count;
  };
  Run([&] {
    const HotKeyRef ref = OnMain([&] {
      platform_->InstallHotKeyHandler([&] { ++presses; });
      return platform_->RegisterHotKey(*keycode::ForLetter('E'),
                                       kHotKeyControl | kHotKeyOption | kHotKeyShift);
    });
    ASSERT_NE(ref, 0u);
    ASSERT_EQ(Server().Run("xdotool key ctrl+alt+shift+e"), 0);
    EXPECT_TRUE(wait_for_presses(1));
    platform_->PostToMain([&] { platform_->RunModalAlert(AlertSpec{"Hold", "", {}, false}); });
    ASSERT_TRUE(WaitForAlert());
    ASSERT_EQ(Server().Run("xdotool key ctrl+alt+shift+e"), 0);
    EXPECT_TRUE(wait_for_presses(2)) << "the press did not arrive under the alert";
    AnswerAlert("Return");
    OnMain([&] { platform_->UnregisterHotKey(ref); });
  });
}

TEST_F(QtPlatformTest, ClearClipboardEndsAnotherProgramsContent) {
  ASSERT_EQ(Server().Run("printf held | xclip -selection clipboard -i >/dev/null 2>&1"), 0);
  std::string content;
  ASSERT_EQ(Server().Run("xclip -selection clipboard -o", &content), 0);
  ASSERT_EQ(content, "held");
  Run([&] {
    OnMain([&] { platform_->ClearClipboard(); });
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    int status = 0;
    while ((status = Server().Run("xclip -selection clipboard -o >/dev/null 2>&1")) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_NE(status, 0) << "the clipboard still serves content";
  });
}

TEST_F(QtPlatformTest, DisplaysAndPermissionComeFromTheXServer) {
  Run([&] {
    const auto displays = OnMain([&] { return platform_->ActiveDisplayBounds(); });
    ASSERT_EQ(displays.size(), 3u);
    EXPECT_EQ(displays[0], (Rect{0, 0, 1920, 1080}));
    EXPECT_EQ(OnMain([&] { return platform_->PrimaryScreenHeight(); }), std::optional<double>(1080));
    EXPECT_TRUE(OnMain([&] { return platform_->IsAccessibilityTrusted(); }));
    EXPECT_TRUE(OnMain([&] { return platform_->PromptAccessibility(); }));
  });
}

class QtPlatformNoXTestTest : public QtPlatformTest {
 protected:
  XvfbOptions Options() const override { return XvfbOptions{.xtest = false}; }
};

TEST_F(QtPlatformNoXTestTest, WithoutXTestInputIsNotTrusted) {
  Run([&] {
    EXPECT_FALSE(OnMain([&] { return platform_->IsAccessibilityTrusted(); }));
    EXPECT_FALSE(OnMain([&] { return platform_->PromptAccessibility(); }));
  });
}

TEST_F(QtPlatformTest, NoSessionBusIsLoggedOnce) {
  Run([] {});
  const std::string log_path = folder_ + "/MorrowvaneHelper/MorrowvaneHelper.log";
  FILE* file = std::fopen(log_path.c_str(), "r");
  ASSERT_NE(file, nullptr) << log_path;
  std::string text;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, file)) text += buffer;
  std::fclose(file);
  const std::string line =
      "MorrowvaneHelper: no session bus; running without single-instance forwarding";
  const size_t first = text.find(line);
  EXPECT_NE(first, std::string::npos) << text;
  EXPECT_EQ(text.find(line, first + 1), std::string::npos) << text;
}

TEST(QtPlatformNoDisplayTest, UnsetDisplayAnswersNothingWithAMessage) {
  const char* saved = std::getenv("DISPLAY");
  const std::string saved_display = saved ? saved : "";
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");  // without either there is nowhere to show a dialog
  int argc = 1;
  char arg0[] = "qt_platform_test";
  char* argv[] = {arg0, nullptr};
  std::string error;
  auto platform = CreateLinuxPlatform(argc, argv, &error);
  if (saved) setenv("DISPLAY", saved_display.c_str(), 1);
  EXPECT_EQ(platform, nullptr);
  EXPECT_EQ(error, "no display (neither DISPLAY nor WAYLAND_DISPLAY is set)");
}

TEST(QtPlatformNoDisplayTest, NoDisplayAnswersNothingWithAMessage) {
  const char* saved = std::getenv("DISPLAY");
  const std::string saved_display = saved ? saved : "";
  setenv("DISPLAY", ":9873", 1);  // nothing listens there
  int argc = 1;
  char arg0[] = "qt_platform_test";
  char* argv[] = {arg0, nullptr};
  std::string error;
  auto platform = CreateLinuxPlatform(argc, argv, &error);
  if (saved) {
    setenv("DISPLAY", saved_display.c_str(), 1);
  } else {
    unsetenv("DISPLAY");
  }
  EXPECT_EQ(platform, nullptr);
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace mv::test
