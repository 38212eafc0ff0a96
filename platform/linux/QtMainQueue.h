// The main queue: a serial first-in first-out queue of work items on the GUI
// thread.
//
// Qt runs queued calls from inside nested event loops too, so a modal dialog
// shown by one work item would otherwise let the next items run underneath
// it. The queue keeps its own "running" mark: while an item runs, nothing
// else from the queue starts, and the queue resumes when that item returns.
// Items posted while a dialog runs outside any work item do run.
#pragma once

#include <QObject>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>

namespace mv {

class QtMainQueue final : public QObject {
 public:
  // Lives on the thread that creates it, which must be the GUI thread.
  QtMainQueue();
  ~QtMainQueue() override;

  // Both may be called from any thread.
  void Post(std::function<void()> work);
  void PostAfter(std::chrono::nanoseconds delay, std::function<void()> work);
  // Ahead of every queued item, after the events already waiting and after
  // `delay`, which holds every other item back too.
  void PostFirst(std::chrono::nanoseconds delay, std::function<void()> work);

  // Stops running items for good (the program is ending).
  void Stop();

 private:
  void SchedulePump();
  void Pump();

  std::mutex mutex_;
  std::deque<std::function<void()>> items_;  // guarded by mutex_
  std::atomic<bool> pump_scheduled_{false};
  bool running_ = false;                     // GUI thread only
  bool held_ = false;                        // GUI thread only
  bool stopped_ = false;                     // GUI thread only
};

}  // namespace mv
