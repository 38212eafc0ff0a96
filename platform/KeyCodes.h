// Virtual key codes of the command protocol: physical key positions of an
// ANSI keyboard. Desktops map them to their own key identifiers.
#pragma once

#include <cstdint>
#include <optional>

namespace mv::keycode {

inline constexpr uint16_t kReturn = 36;
inline constexpr uint16_t kTab = 48;
inline constexpr uint16_t kSpace = 49;
inline constexpr uint16_t kDelete = 51;  // deletes to the left (Backspace)
inline constexpr uint16_t kEscape = 53;
inline constexpr uint16_t kForwardDelete = 117;
inline constexpr uint16_t kLeftArrow = 123;
inline constexpr uint16_t kRightArrow = 124;
inline constexpr uint16_t kDownArrow = 125;
inline constexpr uint16_t kUpArrow = 126;

// Key code of the letter key 'A'..'Z' (upper case); nothing for any other.
constexpr std::optional<uint16_t> ForLetter(char letter) {
  constexpr uint16_t kLetters[26] = {
      0,  11, 8,  2,  14, 3,  5,  4,  34, 38, 40, 37, 46,  // A..M
      45, 31, 35, 12, 15, 1,  17, 32, 9,  13, 7,  16, 6,   // N..Z
  };
  if (letter < 'A' || letter > 'Z') return std::nullopt;
  return kLetters[letter - 'A'];
}

// The letter whose key has this code; nothing when it is not a letter key.
constexpr std::optional<char> LetterFor(uint16_t code) {
  for (char c = 'A'; c <= 'Z'; ++c) {
    if (ForLetter(c) == code) return c;
  }
  return std::nullopt;
}

}  // namespace mv::keycode
