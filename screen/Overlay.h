// Settings shared by the overlay windows (border and identification).
#pragma once

#include "platform/Platform.h"

namespace mv {

// Borderless, shadowless, click-through, above ordinary windows (level 1000)
// and on every workspace (0x51: all spaces, stationary, not cycled).
inline OverlayWindowSpec OverlaySpec(const Rect& frame, bool opaque, const Rgba& background) {
  return {
      .frame = frame,
      .opaque = opaque,
      .background = background,
      .has_shadow = false,
      .ignores_mouse_events = true,
      .level = 1000,
      .collection_behavior = 0x51,
  };
}

}  // namespace mv
