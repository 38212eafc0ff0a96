// Monitor identification: a solid coloured window in the middle of each
// monitor, so that the user's monitors can be told apart.
#pragma once

#include <array>
#include <cstdint>

namespace mv {

struct RgbComponents {
  int32_t red;
  int32_t green;
  int32_t blue;
};

// One colour per monitor position; monitors after the twelfth get no window.
inline constexpr std::array<RgbComponents, 12> kMonitorColors{{
    {255, 124, 0},   {255, 169, 0},  {255, 211, 0},   {255, 251, 0},
    {166, 249, 0},   {0, 122, 170},  {228, 229, 246}, {4, 50, 255},
    {123, 45, 215},  {124, 35, 170}, {170, 31, 120},  {255, 38, 0},
}};

// Replaces the windows shown before. With `same_color`, every window takes
// (red, green, blue) on a 0..255 scale; otherwise each its kMonitorColors row.
void ShowDetectWindows(bool same_color, int32_t red, int32_t green, int32_t blue);
void HideDetectWindows();

}  // namespace mv
