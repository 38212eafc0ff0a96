// Typed text units and the named-key table.
#include <gmock/gmock.h>

#include "input/KeyboardSynthesis.h"
#include "platform/KeyCodes.h"
#include "tests/support/CoreTest.h"

namespace mv::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

KeyboardEvent Text(bool down, std::u16string units) {
  return {.key_code = 0, .key_down = down, .units = std::move(units)};
}
KeyboardEvent Chord(bool down, uint16_t code, uint64_t flags) {
  return {.key_code = code, .key_down = down, .has_flags = true, .flags = flags};
}

class KeyboardTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    OpenGate();
  }
};

TEST_F(KeyboardTest, TextTravelsAsUtf16UnitsCutAtEight) {
  SynthKeyboardChar("\xC3\xA9");                   // é: one unit
  SynthKeyboardChar("\xF0\x9F\x98\x80");           // 😀: a surrogate pair, whole
  SynthKeyboardChar("abcdefghi");                  // the ninth is lost
  SynthKeyboardChar("abcdefg\xF0\x9F\x98\x80");    // cut inside the pair
  EXPECT_THAT(platform.keyboard_events,
              ElementsAre(Text(true, u"é"), Text(false, u"é"),
                          Text(true, u"\U0001F600"), Text(false, u"\U0001F600"),
                          Text(true, u"abcdefgh"), Text(false, u"abcdefgh"),
                          Text(true, u"abcdefg\xD83D"), Text(false, u"abcdefg\xD83D")));
}

TEST_F(KeyboardTest, EmptyInvalidOrNulLeadingTextPostsNothing) {
  SynthKeyboardChar("");
  SynthKeyboardChar(std::string("\0abc", 4));
  SynthKeyboardChar("\xFF");
  SynthKeyboardChar("\xC0\xAF");          // overlong '/'
  SynthKeyboardChar("\xED\xA0\x80");      // an encoded surrogate
  EXPECT_THAT(platform.keyboard_events, IsEmpty());
  SynthKeyboardChar(std::string("ab\0cd", 5));
  EXPECT_THAT(platform.keyboard_events, ElementsAre(Text(true, u"ab"), Text(false, u"ab")));
}

TEST_F(KeyboardTest, NamedKeysCarryExactlyTheirFlags) {
  SynthKeyboardEvent("Copy");
  SynthKeyboardEvent("Left");
  SynthKeyboardEvent("SelectLongUp");
  SynthKeyboardEvent("MoveCursorLongRight");
  SynthKeyboardEvent("Backspace");
  SynthKeyboardEvent("Delete");
  const uint16_t c = *keycode::ForLetter('C');
  EXPECT_EQ(c, 8);
  EXPECT_THAT(platform.keyboard_events,
              ElementsAre(Chord(true, c, 0x100000), Chord(false, c, 0x100000),
                          Chord(true, 123, 0), Chord(false, 123, 0),
                          Chord(true, 126, 0xA0000), Chord(false, 126, 0xA0000),
                          Chord(true, 124, 0x80000), Chord(false, 124, 0x80000),
                          Chord(true, 51, 0), Chord(false, 51, 0),
                          Chord(true, 117, 0), Chord(false, 117, 0)));
}

TEST_F(KeyboardTest, TableHasTheThirtyOneNamesAndNothingElse) {
  const std::vector<std::pair<const char*, std::pair<uint16_t, uint64_t>>> table = {
      {"Return", {36, 0}}, {"Up", {126, 0}}, {"Down", {125, 0}}, {"Left", {123, 0}},
      {"Right", {124, 0}}, {"Tab", {48, 0}}, {"Space", {49, 0}}, {"Backspace", {51, 0}},
      {"Delete", {117, 0}}, {"Escape", {53, 0}}, {"Copy", {8, 0x100000}},
      {"Paste", {9, 0x100000}}, {"Cut", {7, 0x100000}}, {"SelectAll", {0, 0x100000}},
      {"Bold", {11, 0x100000}}, {"Italic", {34, 0x100000}}, {"Underline", {32, 0x100000}},
      {"Undo", {6, 0x100000}}, {"Find", {3, 0x100000}}, {"SelectLongLeft", {123, 0xA0000}},
      {"SelectLongRight", {124, 0xA0000}}, {"SelectLongUp", {126, 0xA0000}},
      {"SelectLongDown", {125, 0xA0000}}, {"MoveCursorLongLeft", {123, 0x80000}},
      {"MoveCursorLongRight", {124, 0x80000}}, {"MoveCursorLongUp", {126, 0x80000}},
      {"MoveCursorLongDown", {125, 0x80000}}, {"SelectShortLeft", {123, 0x20000}},
      {"SelectShortRight", {124, 0x20000}}, {"SelectShortUp", {126, 0x20000}},
      {"SelectShortDown", {125, 0x20000}},
  };
  ASSERT_EQ(table.size(), 31u);
  for (const auto& [name, chord] : table) {
    platform.keyboard_events.clear();
    SynthKeyboardEvent(name);
    EXPECT_THAT(platform.keyboard_events,
                ElementsAre(Chord(true, chord.first, chord.second), Chord(false, chord.first, chord.second)))
        << name;
  }
  platform.keyboard_events.clear();
  for (const char* name : {"copy", "Copy ", "Shift+Left", "", "Redo", "Ctrl+C"}) SynthKeyboardEvent(name);
  EXPECT_THAT(platform.keyboard_events, IsEmpty());
}

TEST_F(KeyboardTest, ClosedGateOrMissingPermissionPostsNothing) {
  g_is_accepting_input = false;
  SynthKeyboardChar("a");
  SynthKeyboardEvent("Return");
  OpenGate();
  platform.trusted = false;
  SynthKeyboardChar("a");
  SynthKeyboardEvent("Return");
  EXPECT_THAT(platform.keyboard_events, IsEmpty());
  EXPECT_EQ(platform.trust_checks, 2);
}

}  // namespace
}  // namespace mv::test
