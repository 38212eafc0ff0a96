// The Xvfb fixture itself: a reachable server with the three-monitor layout,
// XTEST only when asked for, and gone once stopped.
// gtest before Xlib: Xlib's None and Bool macros break gtest's headers.
#include "tests/platform/XvfbFixture.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <string>
#include <vector>

namespace mv::test {
namespace {

struct Monitor {
  std::string name;
  bool primary;
  int x, y, width, height;
};

std::vector<Monitor> ListMonitors(Display* display) {
  std::vector<Monitor> result;
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
  for (int i = 0; i < count; ++i) {
    char* name = XGetAtomName(display, monitors[i].name);
    result.push_back({name, monitors[i].primary != 0, monitors[i].x, monitors[i].y,
                      monitors[i].width, monitors[i].height});
    XFree(name);
  }
  if (monitors) XRRFreeMonitors(monitors);
  return result;
}

bool HasExtension(Display* display, const char* name) {
  int opcode, event, error;
  return XQueryExtension(display, name, &opcode, &event, &error) != 0;
}

TEST(XvfbTest, ThreeMonitorsWithMainPrimaryAndXTest) {
  std::string error;
  auto server = Xvfb::Start({}, &error);
  ASSERT_TRUE(server) << error;
  Display* display = XOpenDisplay(server->DisplayName().c_str());
  ASSERT_NE(display, nullptr);
  EXPECT_EQ(DisplayWidth(display, 0), kScreenWidth);
  EXPECT_EQ(DisplayHeight(display, 0), kScreenHeight);
  auto monitors = ListMonitors(display);
  ASSERT_EQ(monitors.size(), 3u);
  int primaries = 0;
  for (const auto& m : monitors) {
    if (m.name == "MAIN") {
      EXPECT_TRUE(m.primary);
      EXPECT_EQ(m.x, kMainRootX);
      EXPECT_EQ(m.width, 1920);
      EXPECT_EQ(m.height, 1080);
    } else if (m.name == "LEFT") {
      EXPECT_EQ(m.x, 0);
    } else {
      EXPECT_EQ(m.name, "RIGHT");
      EXPECT_EQ(m.x, 3200);
    }
    primaries += m.primary;
  }
  EXPECT_EQ(primaries, 1);
  EXPECT_TRUE(HasExtension(display, "XTEST"));
  XCloseDisplay(display);
}

TEST(XvfbTest, WithoutXTestAndSingleMonitor) {
  std::string error;
  auto server = Xvfb::Start({.xtest = false, .three_monitors = false}, &error);
  ASSERT_TRUE(server) << error;
  Display* display = XOpenDisplay(server->DisplayName().c_str());
  ASSERT_NE(display, nullptr);
  EXPECT_FALSE(HasExtension(display, "XTEST"));
  auto monitors = ListMonitors(display);
  ASSERT_EQ(monitors.size(), 1u);
  EXPECT_EQ(monitors[0].width, kScreenWidth);
  XCloseDisplay(display);
}

TEST(XvfbTest, ServersRunSideBySideAndStop) {
  std::string error;
  auto first = Xvfb::Start({.three_monitors = false}, &error);
  ASSERT_TRUE(first) << error;
  auto second = Xvfb::Start({.three_monitors = false}, &error);
  ASSERT_TRUE(second) << error;
  EXPECT_NE(first->DisplayName(), second->DisplayName());
  std::string output;
  EXPECT_EQ(second->Run("echo $DISPLAY", &output), 0);
  EXPECT_EQ(output, second->DisplayName() + "\n");

  const std::string name = first->DisplayName();
  first.reset();
  Display* display = XOpenDisplay(name.c_str());
  EXPECT_EQ(display, nullptr);
  if (display) XCloseDisplay(display);
}

class FixtureExportsDisplay : public XvfbFixture {};

TEST_F(FixtureExportsDisplay, DisplayVariableNamesTheServer) {
  const char* value = getenv("DISPLAY");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(std::string(value), DisplayName());
  Display* display = XOpenDisplay(nullptr);
  ASSERT_NE(display, nullptr);
  XCloseDisplay(display);
}

}  // namespace
}  // namespace mv::test
