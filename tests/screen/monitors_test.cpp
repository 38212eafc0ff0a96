// Conversions between ratio, global display and window-system space.
#include <gmock/gmock.h>

#include <limits>

#include "tests/support/CoreTest.h"

namespace mv::test {
namespace {

class MonitorsTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    SetDisplays({{0, 0, 1440, 900}, {1440, -180, 1920, 1080}});
    GetMonitors()->selected = 1;
  }
  struct Xywh {
    int32_t x, y, w, h;
    friend bool operator==(const Xywh&, const Xywh&) = default;
    friend std::ostream& operator<<(std::ostream& os, const Xywh& r) {
      return os << r.x << "," << r.y << "," << r.w << "," << r.h;
    }
  };
  Xywh ToAbsolute(Xywh r) {
    GetMonitors()->ScreenRelativeXYWHToAbsolute(r.x, r.y, r.w, r.h);
    return r;
  }
  Xywh ToRelative(Xywh r) {
    GetMonitors()->AbsoluteScreenXYWHToScreenRelative(r.x, r.y, r.w, r.h);
    return r;
  }
};

TEST_F(MonitorsTest, WorkedExampleFromRatio) {
  const Monitors* m = GetMonitors();
  EXPECT_EQ(m->XFromRatio(0), 1440);
  EXPECT_EQ(m->XFromRatio(32768), 2400);
  EXPECT_EQ(m->XFromRatio(65536), 3360);  // one past the last column
  EXPECT_EQ(m->YFromRatio(0), -180);
  EXPECT_EQ(m->YFromRatio(100), -178);    // 1.648 rounds to 2
  EXPECT_EQ(m->YFromRatio(65535), 900);   // 1079.98 rounds to 1080
  EXPECT_EQ(ToAbsolute({16384, 16384, 32768, 32768}), (Xywh{1920, 90, 960, 540}));
}

TEST_F(MonitorsTest, WorkedExampleToRatio) {
  EXPECT_EQ(ToRelative({2400, 360, 960, 2000}), (Xywh{32768, 32768, 32768, 65536}));
  EXPECT_EQ(ToRelative({1440, 0, 10, 10}), (Xywh{0, 10923, 341, 607}));
  EXPECT_EQ(ToRelative({5000, 0, 1, 1}), (Xywh{0, 0, 0, 0}));
  EXPECT_EQ(ToRelative({0, 0, -720, 1}), (Xywh{0, 0, -32768, 73}));  // no lower bound
}

TEST_F(MonitorsTest, SharedEdgeBelongsToTheRightMonitorAndOverlapsGoToTheFirst) {
  SetDisplays({{0, 0, 100, 100}, {100, 0, 100, 100}, {50, 0, 100, 100}});
  EXPECT_EQ(ToRelative({100, 0, 0, 0}).x, 0);      // second monitor, its left edge
  EXPECT_EQ(ToRelative({99, 0, 0, 0}).x, 64881);   // first monitor
  EXPECT_EQ(ToRelative({60, 50, 0, 0}), (Xywh{39322, 32768, 0, 0}));  // first, not the third
}

TEST_F(MonitorsTest, RoundsHalvesAwayFromZeroAndTruncatesOrigins) {
  SetDisplays({{-10.7, 0.9, 2, 2}});
  const Monitors* m = GetMonitors();
  EXPECT_EQ(m->XFromRatio(16384), -10 + 1);   // trunc(-10.7) + round(0.5)
  EXPECT_EQ(m->XFromRatio(-16384), -10 - 1);  // round(-0.5) = -1
  EXPECT_EQ(m->YFromRatio(0), 0);             // trunc(0.9)
}

TEST_F(MonitorsTest, ResultsOutOfRangeSaturate) {
  SetDisplays({{0, 0, 100000, 1}});
  const Monitors* m = GetMonitors();
  EXPECT_EQ(m->XFromRatio(std::numeric_limits<int32_t>::max()), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(m->XFromRatio(std::numeric_limits<int32_t>::min()), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(ToAbsolute({0, 0, std::numeric_limits<int32_t>::min(), 0}).w,
            std::numeric_limits<int32_t>::min());
  SetDisplays({{0, 0, 1, 1}});
  EXPECT_EQ(ToRelative({0, 0, std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::min()}),
            (Xywh{0, 0, 65536, std::numeric_limits<int32_t>::min()}));
}

TEST_F(MonitorsTest, WithoutDisplaysRatiosPassThroughAndTranslationGivesZeros) {
  SetDisplays({});
  const Monitors* m = GetMonitors();
  EXPECT_EQ(m->XFromRatio(1234), 1234);
  EXPECT_EQ(m->YFromRatio(-5), -5);
  EXPECT_EQ(ToAbsolute({1, 2, 3, 4}), (Xywh{1, 2, 3, 4}));
  EXPECT_EQ(ToRelative({1, 2, 3, 4}), (Xywh{0, 0, 0, 0}));
  EXPECT_FALSE(m->union_rect.has_value());
  EXPECT_EQ(m->selected, 0u);
}

TEST_F(MonitorsTest, EnumerateBuildsTheUnionAndResetsAnOutOfRangeSelection) {
  const Monitors* m = GetMonitors();
  ASSERT_TRUE(m->union_rect.has_value());
  EXPECT_EQ(*m->union_rect, (Rect{0, -180, 3360, 1080}));
  platform.displays = {{0, 0, 10, 10}};
  GetMonitors()->Enumerate();
  EXPECT_EQ(m->selected, 0u);
}

TEST_F(MonitorsTest, FlipsAboutThePrimaryScreenHeight) {
  platform.primary_screen_height = 900;
  EXPECT_EQ(CGGlobalRectToAppKit({100, 50, 200, 100}), (Rect{100, 750, 200, 100}));
  EXPECT_EQ(CGGlobalRectToAppKit({1440, -180, 1920, 1080}), (Rect{1440, 0, 1920, 1080}));
  platform.primary_screen_height.reset();
  platform.displays.clear();
  EXPECT_EQ(CGGlobalRectToAppKit({5, 7, 20, 30}), (Rect{5, -7, 20, 30}));
}

}  // namespace
}  // namespace mv::test
