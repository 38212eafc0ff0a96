#include "platform/linux/QtMainQueue.h"

#include <QMetaObject>
#include <QTimer>

namespace mv {

QtMainQueue::QtMainQueue() = default;
QtMainQueue::~QtMainQueue() = default;

void QtMainQueue::Post(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(work));
  }
  SchedulePump();
}

void QtMainQueue::PostFirst(std::chrono::nanoseconds delay, std::function<void()> work) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(delay);
  auto post = [this, work = std::move(work)]() mutable {
    held_ = false;
    {
      std::lock_guard lock(mutex_);
      items_.push_front(std::move(work));
    }
    SchedulePump();
  };
  if (ms.count() <= 0) {
    post();
    return;
  }
  held_ = true;
  QTimer::singleShot(ms, Qt::PreciseTimer, this, std::move(post));
}

void QtMainQueue::PostAfter(std::chrono::nanoseconds delay, std::function<void()> work) {
  // Whole milliseconds, rounded up so the item never runs early.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(delay);
  QMetaObject::invokeMethod(
      this,
      [this, ms, work = std::move(work)]() mutable {
        QTimer::singleShot(ms, Qt::PreciseTimer, this,
                           [this, work = std::move(work)]() mutable { Post(std::move(work)); });
      },
      Qt::QueuedConnection);
}

void QtMainQueue::Stop() { stopped_ = true; }

void QtMainQueue::SchedulePump() {
  // One pump waits at a time: each one runs a single item, so that the event
  // loop serves everything else between items. A pump that finds the queue
  // busy or empty does nothing, and the running item schedules the next one.
  if (pump_scheduled_.exchange(true)) return;
  QMetaObject::invokeMethod(this, [this] { Pump(); }, Qt::QueuedConnection);
}

void QtMainQueue::Pump() {
  pump_scheduled_ = false;
  if (running_ || stopped_ || held_) return;
  std::function<void()> work;
  bool more = false;
  {
    std::lock_guard lock(mutex_);
    if (items_.empty()) return;
    work = std::move(items_.front());
    items_.pop_front();
  }
  running_ = true;
  work();
  running_ = false;
  {
    std::lock_guard lock(mutex_);
    more = !items_.empty();
  }
  if (more) SchedulePump();
}

}  // namespace mv
