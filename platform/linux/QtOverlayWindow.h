// Overlay windows on X11 with Qt: frameless, never focused, click-through,
// override-redirect (so on every workspace and above managed windows) and
// shaped to their content.
#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Platform.h"

namespace mv {

// Where a window lands, worked out by the platform: the window-system frame
// converted to X root pixels. A server may name a rectangle far larger than
// any screen, hence 64 bits.
struct RootRect {
  int64_t x = 0;
  int64_t y = 0;
  int64_t width = 0;
  int64_t height = 0;
};

// Converts a window-system frame (origin at the bottom-left of the primary
// monitor, y up) to X root pixels, given the primary monitor's root
// rectangle. Edges are rounded to the nearest pixel.
RootRect WindowSystemFrameToRoot(const Rect& frame, const Rect& primary_root);

class QtOverlayWidget final : public QWidget {
 public:
  // `composited` answers whether a compositing manager runs right now.
  QtOverlayWidget(const OverlayWindowSpec& spec, const RootRect& root,
                  std::function<bool()> composited);

  void SetContent(const OverlayContent& content);
  void OrderFront();
  void OrderOut();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void Place();
  void ApplyShape();
  // Fills in logical widget coordinates (top-left origin, y down), cut to
  // the window.
  QRectF ToLogical(const Rect& fill) const;
  // Fills in X pixels relative to the native window's top-left, cut to the
  // window.
  QRect ToDevice(const Rect& fill) const;

  OverlayWindowSpec spec_;
  RootRect root_;
  // The part of root_ on the monitors, in root pixels: the native window
  // covers only this, so its size (and memory) never exceeds the desktop's.
  QRect shown_;
  qreal ratio_ = 1.0;  // device pixel ratio of the window's screen
  QPointF offset_;     // the shown part's origin inside the window, in logical pixels
  QTimer raise_timer_;  // keeps the window above others mapped later
  std::function<bool()> composited_;
  OverlayContent content_;
  bool has_content_ = false;
  bool ordered_front_ = false;
  bool opaque_colours_ = true;  // no compositor: draw every colour opaque
};

// The seam's handle on one overlay. The platform deletes every widget it made
// when it goes away; a handle that outlives it then does nothing.
class QtOverlayWindow final : public OverlayWindow {
 public:
  explicit QtOverlayWindow(QtOverlayWidget* widget) : widget_(widget) {}
  ~QtOverlayWindow() override;
  void SetContent(const OverlayContent& content) override;
  void OrderFrontRegardless() override;
  void OrderOut() override;

 private:
  QPointer<QtOverlayWidget> widget_;
};

}  // namespace mv
