// Pointer sequences, the drag flag, typed text, named keys and the input gate.
#include <gmock/gmock.h>

#include "input/KeyboardSynthesis.h"
#include "input/MouseSynthesis.h"
#include "tests/support/CoreTest.h"

namespace mv::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using T = MouseEventType;
constexpr auto L = MouseButton::kLeft;

KeyboardEvent Text(bool down, std::u16string units) { return {.key_code = 0, .key_down = down, .units = std::move(units)}; }
KeyboardEvent Chord(bool down, uint16_t code, uint64_t flags) {
  return {.key_code = code, .key_down = down, .has_flags = true, .flags = flags};
}

class InputTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    SetDisplays({{0, 0, 1440, 900}, {1440, -180, 1920, 1080}});
    OpenGate();
  }
  void TearDown() override {
    SynthMouseEvent(0, 0, "", "dragstop");  // the drag flag outlives the test
    CoreTest::TearDown();
  }
};

TEST_F(InputTest, PointerSequencesAndDrag) {
  GetMonitors()->selected = 1;
  SynthMouseEvent(32768, 32768, "screen", "dbllc");
  SynthMouseEvent(10, 20, "Screen", "rc");
  SynthMouseEvent(5, 6, "", "LC");
  SynthMouseEvent(1, 1, "", "dragstart");
  SynthMouseEvent(2, 2, "", "move");
  g_is_accepting_input = false;  // a closed gate keeps the drag flag
  SynthMouseEvent(2, 2, "", "dragstop");
  OpenGate();
  SynthMouseEvent(3, 3, "", "lc");
  SynthMouseEvent(5, 5, "", "dragstop");
  SynthMouseEvent(6, 6, "", "move");
  EXPECT_THAT(platform.mouse_events,
              ElementsAre(MouseEvent{T::kMouseMoved, 2400, 360, L, 0}, MouseEvent{T::kLeftMouseDown, 2400, 360, L, 1},
                          MouseEvent{T::kLeftMouseUp, 2400, 360, L, 1}, MouseEvent{T::kLeftMouseDown, 2400, 360, L, 2},
                          MouseEvent{T::kLeftMouseUp, 2400, 360, L, 2}, MouseEvent{T::kMouseMoved, 10, 20, L, 0},
                          MouseEvent{T::kRightMouseDown, 10, 20, MouseButton::kRight, 1},
                          MouseEvent{T::kRightMouseUp, 10, 20, MouseButton::kRight, 1},
                          MouseEvent{T::kMouseMoved, 5, 6, L, 0}, MouseEvent{T::kLeftMouseDown, 1, 1, L, 1},
                          MouseEvent{T::kLeftMouseDragged, 2, 2, L, 0}, MouseEvent{T::kMouseMoved, 3, 3, L, 0},
                          MouseEvent{T::kLeftMouseDown, 3, 3, L, 1}, MouseEvent{T::kLeftMouseUp, 3, 3, L, 1},
                          MouseEvent{T::kLeftMouseUp, 5, 5, L, 1}, MouseEvent{T::kMouseMoved, 6, 6, L, 0}));
}

TEST_F(InputTest, TextUnitsAndNamedKeys) {
  for (const char* bad : {"", "\xFF", "\xC0\xAF", "\xED\xA0\x80"}) SynthKeyboardChar(bad);
  for (const char* bad : {"", "copy", "Copy ", "Shift+Left", "Redo"}) SynthKeyboardEvent(bad);
  SynthKeyboardChar(std::string("\0abc", 4));
  EXPECT_THAT(platform.keyboard_events, IsEmpty());
  SynthKeyboardChar("\xF0\x9F\x98\x80");         // a surrogate pair, whole
  SynthKeyboardChar("abcdefg\xF0\x9F\x98\x80");  // cut at eight units
  SynthKeyboardChar(std::string("ab\0cd", 5));
  SynthKeyboardEvent("Copy");
  SynthKeyboardEvent("SelectLongUp");
  SynthKeyboardEvent("MoveCursorLongRight");
  SynthKeyboardEvent("Delete");
  EXPECT_THAT(platform.keyboard_events,
              ElementsAre(Text(true, u"\U0001F600"), Text(false, u"\U0001F600"), Text(true, u"abcdefg\xD83D"),
                          Text(false, u"abcdefg\xD83D"), Text(true, u"ab"), Text(false, u"ab"),
                          Chord(true, 8, 0x100000), Chord(false, 8, 0x100000), Chord(true, 126, 0xA0000),
                          Chord(false, 126, 0xA0000), Chord(true, 124, 0x80000), Chord(false, 124, 0x80000),
                          Chord(true, 117, 0), Chord(false, 117, 0)));
}

TEST_F(InputTest, ClosedGateOrMissingPermissionPostsNothing) {
  g_is_accepting_input = false;
  SynthKeyboardChar("a");
  SynthKeyboardEvent("Return");
  SynthMouseEvent(1, 1, "", "lc");
  EXPECT_EQ(platform.trust_checks, 0);  // no question while the gate is closed
  OpenGate();
  platform.trusted = false;
  SynthKeyboardChar("a");
  SynthMouseEvent(1, 1, "", "lc");
  EXPECT_THAT(platform.keyboard_events, IsEmpty());
  EXPECT_THAT(platform.mouse_events, IsEmpty());
  EXPECT_EQ(platform.trust_checks, 2);
}

}  // namespace
}  // namespace mv::test
