// The border window: geometry, frame strips, colour cycle and lifetime.
#include <gmock/gmock.h>

#include "tests/support/CoreTest.h"

namespace mv::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const Rgba kOrange{1.0, 124.0 / 255.0, 0.0, 0.5};
const Rgba kRed{1.0, 0.0, 0.0, 0.5};

class BorderTest : public CoreTest {};

TEST_F(BorderTest, ShowsAClickThroughWindowWithAFourPointFrame) {
  ShowBorderWindow({100, 50, 100, 100});
  const auto live = platform.LiveWindows();
  ASSERT_EQ(live.size(), 1u);
  const auto& w = *live[0];
  EXPECT_EQ(w.spec.frame, (Rect{100, 900 - 50 - 100, 100, 100}));
  EXPECT_FALSE(w.spec.opaque);
  EXPECT_EQ(w.spec.background.alpha, 0);
  EXPECT_TRUE(w.spec.ignores_mouse_events);
  EXPECT_FALSE(w.spec.has_shadow);
  EXPECT_EQ(w.spec.level, 1000);
  EXPECT_EQ(w.spec.collection_behavior, 0x51u);
  EXPECT_TRUE(w.on_screen);
  ASSERT_EQ(w.contents.size(), 1u);
  EXPECT_EQ(w.contents[0].color, kOrange);
  // Top, bottom, left, right, in the view's own bottom-left coordinates; the
  // 92 x 92 inside stays transparent.
  EXPECT_THAT(w.contents[0].fills, ElementsAre(Rect{0, 96, 100, 4}, Rect{0, 0, 100, 4},
                                               Rect{0, 0, 4, 100}, Rect{96, 0, 4, 100}));
}

TEST_F(BorderTest, ColourAlternatesOnEachTickStartingOrange) {
  ShowBorderWindow({0, 0, 40, 30});
  ASSERT_EQ(platform.timers.size(), 1u);
  EXPECT_EQ(platform.timers[0]->interval, std::chrono::milliseconds(1000));
  platform.FireTimers();
  platform.FireTimers();
  platform.FireTimers();
  const auto& contents = platform.LiveWindows()[0]->contents;
  ASSERT_EQ(contents.size(), 4u);
  EXPECT_EQ(contents[0].color, kOrange);
  EXPECT_EQ(contents[1].color, kRed);
  EXPECT_EQ(contents[2].color, kOrange);
  EXPECT_EQ(contents[3].color, kRed);
}

TEST_F(BorderTest, ShowingAgainReplacesTheWindowAndRestartsAtOrange) {
  ShowBorderWindow({0, 0, 40, 30});
  platform.FireTimers();
  ShowBorderWindow({10, 20, 50, 60});
  EXPECT_TRUE(platform.windows[0]->released);
  EXPECT_FALSE(platform.timers[0]->valid);
  const auto live = platform.LiveWindows();
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0]->spec.frame, (Rect{10, 900 - 20 - 60, 50, 60}));
  EXPECT_EQ(live[0]->contents.back().color, kOrange);
  platform.FireTimers();  // only the new timer ticks
  EXPECT_EQ(live[0]->contents.size(), 2u);
  EXPECT_EQ(live[0]->contents.back().color, kRed);
}

TEST_F(BorderTest, HidingRemovesWindowAndTimerAndIsHarmlessTwice) {
  HideBorderWindow();
  ShowBorderWindow({0, 0, 40, 30});
  HideBorderWindow();
  HideBorderWindow();
  EXPECT_THAT(platform.LiveWindows(), IsEmpty());
  EXPECT_FALSE(platform.timers[0]->valid);
  EXPECT_FALSE(IsBorderShown());
  platform.FireTimers();
  EXPECT_EQ(platform.windows[0]->contents.size(), 1u);
}

TEST_F(BorderTest, SecondaryMonitorAboveThePrimaryLandsInWindowSpace) {
  SetDisplays({{0, 0, 1440, 900}, {0, -1080, 1920, 1080}});
  ShowBorderWindow({0, -1080, 1920, 1080});
  EXPECT_EQ(platform.LiveWindows()[0]->spec.frame, (Rect{0, 900, 1920, 1080}));
}

}  // namespace
}  // namespace mv::test
