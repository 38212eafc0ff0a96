// The blinking border: a click-through, always-on-top window framing a
// rectangle of the displays with a 4-point strip that alternates between
// half-transparent orange and red every second. At most one exists.
#pragma once

#include "platform/Platform.h"

namespace mv {

// The border window's content: a transparent view with the frame painted
// along its edges.
class MVBorderView {
 public:
  MVBorderView(const Rect& frame, OverlayWindow& window);

  // Repaints the whole view: transparent, then the four strips.
  void drawRect();
  const Rgba& borderColor() const { return _borderColor; }
  void setBorderColor(const Rgba& color) { _borderColor = color; }
  void setNeedsDisplay() { drawRect(); }

 private:
  Rect _bounds;  // origin (0, 0), the frame's size
  OverlayWindow& _window;
  Rgba _borderColor;
};

// `rect` is in global display space. Replaces a border shown before and
// restarts the colour cycle at orange.
void ShowBorderWindow(const Rect& rect);
void HideBorderWindow();

// For tests: whether a border is shown.
bool IsBorderShown();

}  // namespace mv
