#include "platform/linux/QtOverlayWindow.h"

#include <QApplication>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>

#include <algorithm>
#include <cmath>

#include "platform/linux/QtX11Shape.h"

namespace mv {
namespace {

using namespace std::chrono_literals;

constexpr auto kRaiseInterval = 500ms;

double Clamp01(double value) { return std::clamp(value, 0.0, 1.0); }

QColor ToQColor(const Rgba& colour, bool force_opaque) {
  return QColor::fromRgbF(static_cast<float>(Clamp01(colour.red)),
                          static_cast<float>(Clamp01(colour.green)),
                          static_cast<float>(Clamp01(colour.blue)),
                          force_opaque ? 1.0f : static_cast<float>(Clamp01(colour.alpha)));
}

// A screen's area in native (X) pixels; Qt keeps a screen's top-left the same
// in logical and native pixels and scales from there.
QRect NativeGeometry(const QScreen* screen) {
  const QRect logical = screen->geometry();
  const qreal ratio = screen->devicePixelRatio();
  return QRect(logical.topLeft(),
               QSize(qRound(logical.width() * ratio), qRound(logical.height() * ratio)));
}

// The screen whose native area holds `point`.
QScreen* ScreenAtNative(QPoint point) {
  for (QScreen* screen : QGuiApplication::screens()) {
    if (NativeGeometry(screen).contains(point)) return screen;
  }
  return QGuiApplication::primaryScreen();
}

// Root pixels as far as any rectangle can reach, kept well inside 64 bits.
constexpr double kFarPixels = 1e15;

int64_t RoundPixel(double value) { return std::llround(std::clamp(value, -kFarPixels, kFarPixels)); }

// The part of `root` that lies on the bounding box of the monitors.
QRect ShownPart(const RootRect& root) {
  QRect desktop;
  for (const QScreen* screen : QGuiApplication::screens()) desktop |= NativeGeometry(screen);
  const int64_t left = std::max<int64_t>(root.x, desktop.left());
  const int64_t top = std::max<int64_t>(root.y, desktop.top());
  const int64_t right = std::min<int64_t>(root.x + root.width, desktop.left() + desktop.width());
  const int64_t bottom = std::min<int64_t>(root.y + root.height, desktop.top() + desktop.height());
  if (right <= left || bottom <= top) return QRect();
  return QRect(static_cast<int>(left), static_cast<int>(top), static_cast<int>(right - left),
               static_cast<int>(bottom - top));
}

}  // namespace

RootRect WindowSystemFrameToRoot(const Rect& frame, const Rect& primary_root) {
  // Window-system y runs up from the primary monitor's bottom edge; global
  // space runs down from its top; root space is global moved by the primary
  // monitor's root origin.
  const double global_top = primary_root.height - frame.y - frame.height;
  const double left = primary_root.x + frame.x;
  const double top = primary_root.y + global_top;
  const int64_t x0 = RoundPixel(left);
  const int64_t y0 = RoundPixel(top);
  const int64_t x1 = RoundPixel(left + frame.width);
  const int64_t y1 = RoundPixel(top + frame.height);
  return RootRect{x0, y0, x1 - x0, y1 - y0};
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
      shown_(ShownPart(root)),
      composited_(std::move(composited)) {
  setAttribute(Qt::WA_ShowWithoutActivating);
  setAttribute(Qt::WA_X11DoNotAcceptFocus);
  if (!spec_.opaque) setAttribute(Qt::WA_TranslucentBackground);
  setFocusPolicy(Qt::NoFocus);
  opaque_colours_ = !composited_();
  // Override-redirect windows are kept on top by no one: a window mapped
  // later would hide this one for good. The program's own dialog, while one
  // is open, stays readable above it.
  raise_timer_.setInterval(kRaiseInterval);
  connect(&raise_timer_, &QTimer::timeout, this, [this] {
    if (QApplication::activeModalWidget() == nullptr) RaiseNow(this);
  });
  Place();
  ApplyShape();
}

void QtOverlayWidget::Place() {
  if (shown_.isEmpty()) return;
  // Qt places windows in logical pixels; with a device pixel ratio above 1
  // the X pixels are divided by it, relative to the screen's top-left.
  QScreen* screen = ScreenAtNative(shown_.center());
  const QPoint origin = screen ? screen->geometry().topLeft() : QPoint();
  const qreal ratio = screen ? screen->devicePixelRatio() : 1.0;
  const double left = origin.x() + (shown_.x() - origin.x()) / ratio;
  const double top = origin.y() + (shown_.y() - origin.y()) / ratio;
  const double right = origin.x() + (shown_.x() + shown_.width() - origin.x()) / ratio;
  const double bottom = origin.y() + (shown_.y() + shown_.height() - origin.y()) / ratio;
  const QRect logical(QPoint(static_cast<int>(std::floor(left)), static_cast<int>(std::floor(top))),
                      QPoint(static_cast<int>(std::ceil(right)) - 1,
                             static_cast<int>(std::ceil(bottom)) - 1));
  ratio_ = ratio;
  // What rounding to whole logical pixels moved the window by.
  offset_ = QPointF(left - logical.left(), top - logical.top());
  setGeometry(logical);
}

QRectF QtOverlayWidget::ToLogical(const Rect& fill) const {
  // Fills are in X pixels from the root rectangle's bottom-left, y up.
  const double top_px = static_cast<double>(root_.height) - fill.y - fill.height;
  const double shown_left = static_cast<double>(shown_.x() - root_.x);
  const double shown_top = static_cast<double>(shown_.y() - root_.y);
  const QRectF logical(offset_.x() + (fill.x - shown_left) / ratio_,
                       offset_.y() + (top_px - shown_top) / ratio_, fill.width / ratio_,
                       fill.height / ratio_);
  return logical.intersected(QRectF(rect()));
}

QRect QtOverlayWidget::ToDevice(const Rect& fill) const {
  // The window may start before the shown part when its origin fell between
  // two logical pixels; the device offset makes up for it.
  const int64_t left = std::lround(offset_.x() * ratio_);
  const int64_t top = std::lround(offset_.y() * ratio_);
  const int64_t dx = shown_.x() - root_.x;
  const int64_t dy = shown_.y() - root_.y;
  const auto clamp_x = [&](int64_t x) { return std::clamp<int64_t>(x - dx, 0, shown_.width()); };
  const auto clamp_y = [&](int64_t y) { return std::clamp<int64_t>(y - dy, 0, shown_.height()); };
  const int64_t x0 = clamp_x(RoundPixel(fill.x));
  const int64_t x1 = clamp_x(RoundPixel(fill.x + fill.width));
  const int64_t y0 = clamp_y(RoundPixel(static_cast<double>(root_.height) - fill.y - fill.height));
  const int64_t y1 = clamp_y(RoundPixel(static_cast<double>(root_.height) - fill.y));
  if (x1 <= x0 || y1 <= y0) return QRect();
  return QRect(static_cast<int>(left + x0), static_cast<int>(top + y0),
               static_cast<int>(x1 - x0), static_cast<int>(y1 - y0));
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
    if (!whole.isEmpty()) shape.push_back(whole);
  } else if (has_content_) {
    for (const Rect& fill : content_.fills) {
      const QRect device = ToDevice(fill);
      if (!device.isEmpty()) shape.push_back(device);
    }
  }
  if (ordered_front_ && !shape.empty()) {
    SetBoundingShape(this, shape);
    show();
    raise();
    raise_timer_.start();
  } else {
    raise_timer_.stop();
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
  raise_timer_.stop();
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
