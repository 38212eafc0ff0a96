// Conversions between ratio, global display and window-system space, and the
// border window.
#include <gmock/gmock.h>

#include <limits>

#include "tests/support/CoreTest.h"

namespace mv::test {
namespace {

using ::testing::ElementsAre;
constexpr int32_t kMax = std::numeric_limits<int32_t>::max(), kMin = std::numeric_limits<int32_t>::min();

struct Xywh {
  int32_t x, y, w, h;
  friend bool operator==(const Xywh&, const Xywh&) = default;
  friend std::ostream& operator<<(std::ostream& os, const Xywh& r) {
    return os << r.x << "," << r.y << "," << r.w << "," << r.h;
  }
};

class ScreenTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    SetDisplays({{0, 0, 1440, 900}, {1440, -180, 1920, 1080}});
    GetMonitors()->selected = 1;
  }
  Xywh ToAbsolute(Xywh r) {
    GetMonitors()->ScreenRelativeXYWHToAbsolute(r.x, r.y, r.w, r.h);
    return r;
  }
  Xywh ToRelative(Xywh r) {
    GetMonitors()->AbsoluteScreenXYWHToScreenRelative(r.x, r.y, r.w, r.h);
    return r;
  }
};

TEST_F(ScreenTest, ConversionsRoundSaturateAndPickTheMonitorUnderThePoint) {
  const Monitors* m = GetMonitors();
  EXPECT_EQ(m->YFromRatio(100), -178);   // 1.648 rounds to 2
  EXPECT_EQ(m->YFromRatio(65535), 900);  // 1079.98 rounds to 1080
  EXPECT_EQ(ToAbsolute({16384, 16384, 32768, 32768}), (Xywh{1920, 90, 960, 540}));
  EXPECT_EQ(*m->union_rect, (Rect{0, -180, 3360, 1080}));
  SetDisplays({{0, 0, 100, 100}, {100, 0, 100, 100}, {50, 0, 100, 100}});
  EXPECT_EQ(ToRelative({100, 0, 0, 0}).x, 0);                          // the second's left edge
  EXPECT_EQ(ToRelative({60, 50, 0, 0}), (Xywh{39322, 32768, 0, 0}));  // the first, not the third
  SetDisplays({{-10.7, 0.9, 2, 2}});
  EXPECT_EQ(m->XFromRatio(16384), -10 + 1);   // trunc(-10.7) + round(0.5)
  EXPECT_EQ(m->XFromRatio(-16384), -10 - 1);  // round(-0.5) = -1
  EXPECT_EQ(m->YFromRatio(0), 0);
  SetDisplays({{0, 0, 100000, 1}});
  EXPECT_EQ(m->XFromRatio(kMax), kMax);
  EXPECT_EQ(m->XFromRatio(kMin), kMin);
  SetDisplays({{0, 0, 1, 1}});
  EXPECT_EQ(ToRelative({0, 0, kMax, kMin}), (Xywh{0, 0, 65536, kMin}));
  SetDisplays({});
  EXPECT_EQ(m->XFromRatio(1234), 1234);
  EXPECT_EQ(ToRelative({1, 2, 3, 4}), (Xywh{0, 0, 0, 0}));
  EXPECT_EQ(CGGlobalRectToAppKit({5, 7, 20, 30}), (Rect{5, -7, 20, 30}));
}

TEST_F(ScreenTest, BorderFrameColourCycleAndLifetime) {
  const Rgba orange{1.0, 124.0 / 255.0, 0.0, 0.5}, red{1.0, 0.0, 0.0, 0.5};
  ShowBorderWindow({1440, -180, 100, 100});
  const auto& first = *platform.LiveWindows().at(0);
  EXPECT_EQ(first.spec.frame, (Rect{1440, 900 + 180 - 100, 100, 100}));  // flipped about 900
  EXPECT_TRUE(first.spec.ignores_mouse_events);
  EXPECT_EQ(first.spec.background.alpha, 0);
  // Top, bottom, left, right; the inside stays transparent.
  EXPECT_THAT(first.contents.at(0).fills,
              ElementsAre(Rect{0, 96, 100, 4}, Rect{0, 0, 100, 4}, Rect{0, 0, 4, 100}, Rect{96, 0, 4, 100}));
  platform.FireTimers();
  platform.FireTimers();
  ASSERT_EQ(first.contents.size(), 3u);
  EXPECT_EQ(first.contents[0].color, orange);
  EXPECT_EQ(first.contents[1].color, red);
  EXPECT_EQ(first.contents[2].color, orange);
  ShowBorderWindow({10, 20, 50, 60});  // replaces the window, restarts at orange
  EXPECT_TRUE(first.released);
  platform.FireTimers();
  const auto live = platform.LiveWindows();
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(first.contents.size(), 3u);
  EXPECT_EQ(live[0]->contents.front().color, orange);
  EXPECT_EQ(live[0]->contents.back().color, red);
  HideBorderWindow();
  HideBorderWindow();
  EXPECT_TRUE(platform.LiveWindows().empty());
  EXPECT_FALSE(platform.timers[1]->valid);
}

}  // namespace
}  // namespace mv::test
