#include "platform/linux/QtOverlayWindow.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>

#include <algorithm>
#include <cmath>

#include "platform/linux/QtX11Shape.h"

namespace mv {
namespace {

double Clamp01(double value) { return std::clamp(value, 0.0, 1.0); }

QColor ToQColor(const Rgba& colour, bool force_opaque) {
  return QColor::fromRgbF(static_cast<float>(Clamp01(colour.red)),
                          static_cast<float>(Clamp01(colour.green)),
                          static_cast<float>(Clamp01(colour.blue)),
                          force_opaque ? 1.0f : static_cast<float>(Clamp01(colour.alpha)));
}

// The screen whose native (X pixel) area holds `point`; Qt keeps a screen's
// top-left the same in logical and native pixels and scales from there.
QScreen* ScreenAtNative(QPoint point) {
  for (QScreen* screen : QGuiApplication::screens()) {
    const QRect logical = screen->geometry();
    const qreal ratio = screen->devicePixelRatio();
    const QRect native(logical.topLeft(), QSize(qRound(logical.width() * ratio),
                                                qRound(logical.height() * ratio)));
    if (native.contains(point)) return screen;
  }
  return QGuiApplication::primaryScreen();
}

}  // namespace

RootRect WindowSystemFrameToRoot(const Rect& frame, const Rect& primary_root) {
  // Window-system y runs up from the primary monitor's bottom edge; global
  // space runs down from its top; root space is global moved by the primary
  // monitor's root origin.
  const double global_top = primary_root.height - frame.y - frame.height;
  const double left = primary_root.x + frame.x;
  const double top = primary_root.y + global_top;
  const long x0 = std::lround(left);
  const long y0 = std::lround(top);
  const long x1 = std::lround(left + frame.width);
  const long y1 = std::lround(top + frame.height);
  return RootRect{static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0),
                  static_cast<int>(y1 - y0)};
}

QtOverlayWidget::QtOverlayWidget(const OverlayWindowSpec& spec, const RootRect& root,
                                 std::function<bool()> composited)
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::X11BypassWindowManagerHint | Qt::Tool |
                           Qt::WindowDoesNotAcceptFocus |
                           (spec.ignores_mouse_events ? Qt::WindowTransparentForInput
                                                      : Qt::WindowFlags())),
      spec_(spec),
      root_(root),
      composited_(std::move(composited)) {
  setAttribute(Qt::WA_ShowWithoutActivating);
  setAttribute(Qt::WA_X11DoNotAcceptFocus);
  if (!spec_.opaque) setAttribute(Qt::WA_TranslucentBackground);
  setFocusPolicy(Qt::NoFocus);
  opaque_colours_ = !composited_();
  Place();
  ApplyShape();
}

void QtOverlayWidget::Place() {
  // Qt places windows in logical pixels; with a device pixel ratio above 1
  // the X pixels are divided by it, relative to the screen's top-left.
  QScreen* screen = ScreenAtNative(QPoint(root_.x + root_.width / 2, root_.y + root_.height / 2));
  const QPoint origin = screen ? screen->geometry().topLeft() : QPoint();
  const qreal ratio = screen ? screen->devicePixelRatio() : 1.0;
  const double left = origin.x() + (root_.x - origin.x()) / ratio;
  const double top = origin.y() + (root_.y - origin.y()) / ratio;
  const double right = origin.x() + (root_.x + root_.width - origin.x()) / ratio;
  const double bottom = origin.y() + (root_.y + root_.height - origin.y()) / ratio;
  const QRect logical(QPoint(static_cast<int>(std::floor(left)), static_cast<int>(std::floor(top))),
                      QPoint(static_cast<int>(std::ceil(right)) - 1,
                             static_cast<int>(std::ceil(bottom)) - 1));
  ratio_ = ratio;
  // What rounding to whole logical pixels moved the window by.
  offset_ = QPointF(left - logical.left(), top - logical.top());
  setGeometry(logical);
}

QRectF QtOverlayWidget::ToLogical(const Rect& fill) const {
  // Fills are in X pixels from the window's bottom-left, y up.
  const double top_px = root_.height - fill.y - fill.height;
  return QRectF(offset_.x() + fill.x / ratio_, offset_.y() + top_px / ratio_,
                fill.width / ratio_, fill.height / ratio_);
}

QRect QtOverlayWidget::ToDevice(const Rect& fill) const {
  // The window may start before the root rectangle when its origin fell
  // between two logical pixels; the device offset makes up for it.
  const int left = static_cast<int>(std::lround(offset_.x() * ratio_));
  const int top = static_cast<int>(std::lround(offset_.y() * ratio_));
  const long x0 = std::lround(fill.x);
  const long x1 = std::lround(fill.x + fill.width);
  const long y0 = std::lround(root_.height - fill.y - fill.height);
  const long y1 = std::lround(root_.height - fill.y);
  return QRect(QPoint(left + static_cast<int>(x0), top + static_cast<int>(y0)),
               QPoint(left + static_cast<int>(x1) - 1, top + static_cast<int>(y1) - 1));
}

void QtOverlayWidget::ApplyShape() {
  // The window is shaped to exactly the X pixels it should cover: all of its
  // rectangle, or only the fills when its background is clear, so that the
  // rest shows the screen below even without a compositor.
  const bool masked = !spec_.opaque && spec_.background.alpha <= 0;
  const QRect whole = ToDevice(Rect{0, 0, static_cast<double>(root_.width),
                                    static_cast<double>(root_.height)});
  std::vector<QRect> shape;
  if (!masked) {
    shape.push_back(whole);
  } else if (has_content_) {
    for (const Rect& fill : content_.fills) {
      const QRect device = ToDevice(fill).intersected(whole);
      if (!device.isEmpty()) shape.push_back(device);
    }
  }
  if (ordered_front_ && !shape.empty()) {
    SetBoundingShape(this, shape);
    show();
    raise();
  } else {
    hide();
  }
}

void QtOverlayWidget::SetContent(const OverlayContent& content) {
  content_ = content;
  has_content_ = true;
  opaque_colours_ = !composited_();
  ApplyShape();
  update();
}

void QtOverlayWidget::OrderFront() {
  ordered_front_ = true;
  ApplyShape();
}

void QtOverlayWidget::OrderOut() {
  ordered_front_ = false;
  hide();
}

void QtOverlayWidget::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setCompositionMode(QPainter::CompositionMode_Source);
  painter.fillRect(rect(), ToQColor(spec_.background, spec_.opaque));
  if (!has_content_) return;
  const QColor colour = ToQColor(content_.color, spec_.opaque || opaque_colours_);
  for (const Rect& fill : content_.fills) painter.fillRect(ToLogical(fill), colour);
}

QtOverlayWindow::~QtOverlayWindow() { delete widget_.data(); }

void QtOverlayWindow::SetContent(const OverlayContent& content) {
  if (widget_) widget_->SetContent(content);
}

void QtOverlayWindow::OrderFrontRegardless() {
  if (widget_) widget_->OrderFront();
}

void QtOverlayWindow::OrderOut() {
  if (widget_) widget_->OrderOut();
}

}  // namespace mv
