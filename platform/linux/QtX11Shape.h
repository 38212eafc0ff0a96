// Window shapes in X pixels, and stacking. QWidget::setMask works in logical pixels, which
// cannot name every X pixel when the device pixel ratio is not 1; the X Shape
// extension on the native window can.
#pragma once

#include <QRect>
#include <QWidget>

#include <vector>

namespace mv {

// Sets the bounding shape of `widget`'s native window to `rects`, in X pixels
// relative to the window's top-left. No rectangles: nothing of the window
// shows.
void SetBoundingShape(QWidget* widget, const std::vector<QRect>& rects);

// Raises `widget`'s native window above its siblings at once. (QWidget::raise
// leaves the request in Qt's buffer until something else flushes it, which a
// timer tick alone does not do.)
void RaiseNow(QWidget* widget);

}  // namespace mv
