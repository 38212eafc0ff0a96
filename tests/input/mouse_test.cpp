// Pointer event sequences, the drag flag and the input gate.
#include <gmock/gmock.h>

#include "input/MouseSynthesis.h"
#include "tests/support/CoreTest.h"

namespace mv::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using T = MouseEventType;
constexpr auto L = MouseButton::kLeft;
constexpr auto R = MouseButton::kRight;

class MouseTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    SetDisplays({{0, 0, 1440, 900}, {1440, -180, 1920, 1080}});
    OpenGate();
  }
  void TearDown() override {
    // The drag flag lives as long as the process: leave it released.
    SynthMouseEvent(0, 0, "", "dragstop");
    CoreTest::TearDown();
  }
};

TEST_F(MouseTest, DoubleClickAtRatioOfTheSelectedMonitor) {
  GetMonitors()->selected = 1;
  SynthMouseEvent(32768, 32768, "screen", "dbllc");
  EXPECT_THAT(platform.mouse_events,
              ElementsAre(MouseEvent{T::kMouseMoved, 2400, 360, L, 0},
                          MouseEvent{T::kLeftMouseDown, 2400, 360, L, 1},
                          MouseEvent{T::kLeftMouseUp, 2400, 360, L, 1},
                          MouseEvent{T::kLeftMouseDown, 2400, 360, L, 2},
                          MouseEvent{T::kLeftMouseUp, 2400, 360, L, 2}));
}

TEST_F(MouseTest, ClicksAndMovesAtGlobalCoordinates) {
  SynthMouseEvent(-100, 50, "", "lc");
  SynthMouseEvent(10, 20, "Screen", "rc");
  SynthMouseEvent(7, 8, "absolute", "move");
  SynthMouseEvent(3, 4, "", "");
  SynthMouseEvent(5, 6, "", "LC");
  EXPECT_THAT(platform.mouse_events,
              ElementsAre(MouseEvent{T::kMouseMoved, -100, 50, L, 0},
                          MouseEvent{T::kLeftMouseDown, -100, 50, L, 1},
                          MouseEvent{T::kLeftMouseUp, -100, 50, L, 1},
                          MouseEvent{T::kMouseMoved, 10, 20, L, 0},
                          MouseEvent{T::kRightMouseDown, 10, 20, R, 1},
                          MouseEvent{T::kRightMouseUp, 10, 20, R, 1},
                          MouseEvent{T::kMouseMoved, 7, 8, L, 0},
                          MouseEvent{T::kMouseMoved, 3, 4, L, 0},
                          MouseEvent{T::kMouseMoved, 5, 6, L, 0}));
}

TEST_F(MouseTest, DragHoldsTheButtonUntilDragStop) {
  SynthMouseEvent(1, 1, "", "dragstart");
  SynthMouseEvent(2, 2, "", "move");
  SynthMouseEvent(3, 3, "", "lc");  // a click inside a drag neither ends nor restarts it
  SynthMouseEvent(4, 4, "", "move");
  SynthMouseEvent(5, 5, "", "dragstop");
  SynthMouseEvent(6, 6, "", "move");
  EXPECT_THAT(platform.mouse_events,
              ElementsAre(MouseEvent{T::kLeftMouseDown, 1, 1, L, 1},
                          MouseEvent{T::kLeftMouseDragged, 2, 2, L, 0},
                          MouseEvent{T::kMouseMoved, 3, 3, L, 0},
                          MouseEvent{T::kLeftMouseDown, 3, 3, L, 1},
                          MouseEvent{T::kLeftMouseUp, 3, 3, L, 1},
                          MouseEvent{T::kLeftMouseDragged, 4, 4, L, 0},
                          MouseEvent{T::kLeftMouseUp, 5, 5, L, 1},
                          MouseEvent{T::kMouseMoved, 6, 6, L, 0}));
}

TEST_F(MouseTest, ClosedGateKeepsTheDragFlag) {
  SynthMouseEvent(1, 1, "", "dragstart");
  g_is_accepting_input = false;
  SynthMouseEvent(2, 2, "", "dragstop");
  OpenGate();
  SynthMouseEvent(3, 3, "", "move");
  EXPECT_THAT(platform.mouse_events, ElementsAre(MouseEvent{T::kLeftMouseDown, 1, 1, L, 1},
                                                 MouseEvent{T::kLeftMouseDragged, 3, 3, L, 0}));
}

TEST_F(MouseTest, PermissionIsAskedForEachCommandWhileTheGateIsOpen) {
  platform.trusted = false;
  SynthMouseEvent(1, 1, "", "lc");
  EXPECT_THAT(platform.mouse_events, IsEmpty());
  EXPECT_EQ(platform.trust_checks, 1);
  g_is_accepting_input = false;
  SynthMouseEvent(1, 1, "", "lc");
  EXPECT_EQ(platform.trust_checks, 1);  // no question while the gate is closed
}

TEST_F(MouseTest, RatioWithoutDisplaysIsUsedAsIs) {
  SetDisplays({});
  SynthMouseEvent(32768, 100, "screen", "move");
  EXPECT_THAT(platform.mouse_events, ElementsAre(MouseEvent{T::kMouseMoved, 32768, 100, L, 0}));
}

}  // namespace
}  // namespace mv::test
