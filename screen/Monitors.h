// The model of the user's displays and the conversions between the three
// coordinate spaces: global display space (points, origin at the top-left of
// the main display, y down), window-system space (origin at the bottom-left
// of the primary screen, y up) and ratio space (integers relative to one
// monitor: 0 at its left or top edge, 65536 at its full width or height).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/Platform.h"

namespace mv {

inline constexpr int32_t kRatioFull = 65536;

class Monitors {
 public:
  Monitors();  // enumerates

  // Rebuilds the list from the active displays; an out-of-range selected
  // index falls back to 0.
  void Enumerate();

  // Ratio of the selected monitor to global display space; a ratio is used
  // unchanged when no display is known.
  int32_t XFromRatio(int32_t ratio) const;
  int32_t YFromRatio(int32_t ratio) const;
  // Ratio rectangle of the selected monitor, in place, to global display space.
  void ScreenRelativeXYWHToAbsolute(int32_t& x, int32_t& y, int32_t& w, int32_t& h) const;
  // Global rectangle, in place, to ratios of the first monitor containing its
  // top-left corner (w and h at most 65536); all zero when none does.
  void AbsoluteScreenXYWHToScreenRelative(int32_t& x, int32_t& y, int32_t& w, int32_t& h) const;

  std::vector<Rect> monitors;       // main display first
  std::optional<Rect> union_rect;   // nothing while the list is empty
  size_t selected = 0;              // index into `monitors`
};

// The process's one model, enumerated on first use and never refreshed.
Monitors* GetMonitors();

// A global display rectangle in window-system space, flipped about the
// primary screen's height.
Rect CGGlobalRectToAppKit(const Rect& rect);

}  // namespace mv
