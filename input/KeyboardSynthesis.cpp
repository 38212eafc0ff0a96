#include "input/KeyboardSynthesis.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "input/InputGate.h"
#include "platform/KeyCodes.h"
#include "platform/Platform.h"
#include "base/Utf8.h"

namespace mv {
namespace {

constexpr size_t kMaxUnits = 8;

struct NHKeyChord {
  uint16_t keyCode;
  uint64_t flags;
};

const std::unordered_map<std::string, NHKeyChord>& KeyMap() {
  namespace kc = keycode;
  constexpr uint64_t kCmd = kEventFlagCommand;
  constexpr uint64_t kOpt = kEventFlagAlternate;
  constexpr uint64_t kShift = kEventFlagShift;
  const auto letter = [](char c) { return *kc::ForLetter(c); };
  static const std::unordered_map<std::string, NHKeyChord> kMap{
      {"Return", {kc::kReturn, 0}},
      {"Up", {kc::kUpArrow, 0}},
      {"Down", {kc::kDownArrow, 0}},
      {"Left", {kc::kLeftArrow, 0}},
      {"Right", {kc::kRightArrow, 0}},
      {"Tab", {kc::kTab, 0}},
      {"Space", {kc::kSpace, 0}},
      {"Backspace", {kc::kDelete, 0}},
      {"Delete", {kc::kForwardDelete, 0}},
      {"Escape", {kc::kEscape, 0}},
      {"Copy", {letter('C'), kCmd}},
      {"Paste", {letter('V'), kCmd}},
      {"Cut", {letter('X'), kCmd}},
      {"SelectAll", {letter('A'), kCmd}},
      {"Bold", {letter('B'), kCmd}},
      {"Italic", {letter('I'), kCmd}},
      {"Underline", {letter('U'), kCmd}},
      {"Undo", {letter('Z'), kCmd}},
      {"Find", {letter('F'), kCmd}},
      {"SelectLongLeft", {kc::kLeftArrow, kShift | kOpt}},
      {"SelectLongRight", {kc::kRightArrow, kShift | kOpt}},
      {"SelectLongUp", {kc::kUpArrow, kShift | kOpt}},
      {"SelectLongDown", {kc::kDownArrow, kShift | kOpt}},
      {"MoveCursorLongLeft", {kc::kLeftArrow, kOpt}},
      {"MoveCursorLongRight", {kc::kRightArrow, kOpt}},
      {"MoveCursorLongUp", {kc::kUpArrow, kOpt}},
      {"MoveCursorLongDown", {kc::kDownArrow, kOpt}},
      {"SelectShortLeft", {kc::kLeftArrow, kShift}},
      {"SelectShortRight", {kc::kRightArrow, kShift}},
      {"SelectShortUp", {kc::kUpArrow, kShift}},
      {"SelectShortDown", {kc::kDownArrow, kShift}},
  };
  return kMap;
}

}  // namespace

void SynthKeyboardChar(const std::string& text) {
  if (!InputGateOpen()) return;
  const std::string_view bytes = std::string_view(text).substr(0, text.find('\0'));
  std::u16string units = Utf8ToUtf16(bytes).value_or(u"");
  if (units.empty()) return;
  units.resize(std::min(units.size(), kMaxUnits));

  Platform& platform = *CurrentPlatform();
  platform.PostKeyboardEvent({.key_code = 0, .key_down = true, .units = units});
  platform.PostKeyboardEvent({.key_code = 0, .key_down = false, .units = units});
}

void SynthKeyboardEvent(const std::string& name) {
  if (!InputGateOpen()) return;
  const auto& map = KeyMap();
  const auto entry = map.find(name);
  if (entry == map.end()) return;

  const NHKeyChord chord = entry->second;
  Platform& platform = *CurrentPlatform();
  for (bool down : {true, false}) {
    platform.PostKeyboardEvent(
        {.key_code = chord.keyCode, .key_down = down, .has_flags = true, .flags = chord.flags});
  }
}

}  // namespace mv
