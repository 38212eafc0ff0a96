#include "screen/DetectWindows.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "screen/Monitors.h"
#include "screen/Overlay.h"

namespace mv {
namespace {

std::vector<std::unique_ptr<OverlayWindow>> g_detect_windows;

}  // namespace

void ShowDetectWindows(bool same_color, int32_t red, int32_t green, int32_t blue) {
  HideDetectWindows();
  const std::vector<Rect>& monitors = GetMonitors()->monitors;
  const size_t count = std::min(monitors.size(), kMonitorColors.size());
  Platform& platform = *CurrentPlatform();
  for (size_t i = 0; i < count; ++i) {
    const Rect& m = monitors[i];
    const RgbComponents color = same_color ? RgbComponents{red, green, blue} : kMonitorColors[i];
    const double w = m.width / 3;
    const double h = m.height * 0.5;
    const Rect global{m.x + (m.width - w) * 0.5, m.y + (m.height - h) * 0.5, w, h};
    const Rgba background{color.red / 255.0, color.green / 255.0, color.blue / 255.0, 1.0};
    auto window = platform.CreateOverlayWindow(
        OverlaySpec(CGGlobalRectToAppKit(global), true, background));
    window->OrderFrontRegardless();
    g_detect_windows.push_back(std::move(window));
  }
}

void HideDetectWindows() {
  for (auto& window : g_detect_windows) window->OrderOut();
  g_detect_windows.clear();
}

}  // namespace mv
