// Displays and overlays where the program has no X display (a Wayland
// session without Xwayland): Qt's screens give the compositor's layout, and
// overlays are not shown, since Wayland lets no client place a window.
#pragma once

#include <memory>
#include <vector>

#include "platform/Platform.h"

namespace mv {

// The primary screen in the compositor's layout; empty when there is none.
Rect PrimaryQtScreen();
// Every screen in global display space, the primary first.
std::vector<Rect> QtScreenBounds();
// An overlay that shows nothing; logs once why.
std::unique_ptr<OverlayWindow> SkippedOverlayWindow();

}  // namespace mv
