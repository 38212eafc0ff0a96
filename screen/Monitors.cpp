#include "screen/Monitors.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace mv {
namespace {

// Conversions from the server's numbers may leave the 32-bit range (a huge
// ratio, a width on a tiny monitor): they saturate instead.
int32_t SaturateToInt32(double value) {
  constexpr double kMin = std::numeric_limits<int32_t>::min();
  constexpr double kMax = std::numeric_limits<int32_t>::max();
  if (std::isnan(value)) return 0;
  return static_cast<int32_t>(std::clamp(value, kMin, kMax));
}

// Halves round away from zero.
double Round(double value) { return std::round(value); }

Rect Union(const Rect& a, const Rect& b) {
  const double left = std::min(a.x, b.x);
  const double top = std::min(a.y, b.y);
  const double right = std::max(a.x + a.width, b.x + b.width);
  const double bottom = std::max(a.y + a.height, b.y + b.height);
  return {left, top, right - left, bottom - top};
}

int32_t FromRatio(double origin, double extent, int32_t ratio) {
  return SaturateToInt32(std::trunc(origin) + Round(extent * ratio / kRatioFull));
}

}  // namespace

Monitors::Monitors() { Enumerate(); }

void Monitors::Enumerate() {
  monitors.clear();
  union_rect.reset();
  for (const Rect& bounds : CurrentPlatform()->ActiveDisplayBounds()) {
    monitors.push_back(bounds);
    union_rect = union_rect ? Union(*union_rect, bounds) : bounds;
  }
  if (selected >= monitors.size()) selected = 0;
}

int32_t Monitors::XFromRatio(int32_t ratio) const {
  if (monitors.empty()) return ratio;
  const Rect& sel = monitors[selected];
  return FromRatio(sel.x, sel.width, ratio);
}

int32_t Monitors::YFromRatio(int32_t ratio) const {
  if (monitors.empty()) return ratio;
  const Rect& sel = monitors[selected];
  return FromRatio(sel.y, sel.height, ratio);
}

void Monitors::ScreenRelativeXYWHToAbsolute(int32_t& x, int32_t& y, int32_t& w,
                                            int32_t& h) const {
  if (monitors.empty()) return;
  const Rect& sel = monitors[selected];
  const int32_t ax = FromRatio(sel.x, sel.width, x);
  const int32_t ay = FromRatio(sel.y, sel.height, y);
  const int32_t aw = SaturateToInt32(Round(sel.width * w / kRatioFull));
  const int32_t ah = SaturateToInt32(Round(sel.height * h / kRatioFull));
  x = ax, y = ay, w = aw, h = ah;
}

void Monitors::AbsoluteScreenXYWHToScreenRelative(int32_t& x, int32_t& y, int32_t& w,
                                                  int32_t& h) const {
  const double px = x;
  const double py = y;
  const auto contains = [&](const Rect& m) {
    return m.x <= px && px < m.x + m.width && m.y <= py && py < m.y + m.height;
  };
  const auto found = std::find_if(monitors.begin(), monitors.end(), contains);
  if (found == monitors.end()) {
    x = y = w = h = 0;
    return;
  }
  const Rect& m = *found;
  // The cap applies before the conversion to integer, so that a width far
  // beyond the monitor cannot overflow on the way to 65536.
  const double cap = kRatioFull;
  x = SaturateToInt32(Round((px - m.x) * kRatioFull / m.width));
  y = SaturateToInt32(Round((py - m.y) * kRatioFull / m.height));
  w = SaturateToInt32(std::min(Round(w * double{kRatioFull} / m.width), cap));
  h = SaturateToInt32(std::min(Round(h * double{kRatioFull} / m.height), cap));
}

Monitors* GetMonitors() {
  static Monitors instance;
  return &instance;
}

Rect CGGlobalRectToAppKit(const Rect& rect) {
  const double height = CurrentPlatform()->PrimaryScreenHeight().value_or(rect.height);
  return {rect.x, height - rect.y - rect.height, rect.width, rect.height};
}

}  // namespace mv
