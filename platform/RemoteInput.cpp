#include "platform/RemoteInput.h"

#include <optional>
#include <utility>

namespace mv {
namespace {

// The button an event presses or releases; nothing for motion.
std::optional<std::pair<MouseButton, bool>> ButtonOf(MouseEventType type) {
  switch (type) {
    case MouseEventType::kLeftMouseDown:
      return std::pair{MouseButton::kLeft, true};
    case MouseEventType::kLeftMouseUp:
      return std::pair{MouseButton::kLeft, false};
    case MouseEventType::kRightMouseDown:
      return std::pair{MouseButton::kRight, true};
    case MouseEventType::kRightMouseUp:
      return std::pair{MouseButton::kRight, false};
    case MouseEventType::kMouseMoved:
    case MouseEventType::kLeftMouseDragged:
      break;
  }
  return std::nullopt;
}

}  // namespace

bool InputStop::Press() {
  // Pending first: a Resume racing with this press then sees it.
  const bool first = !press_pending_.exchange(true);
  stopped_ = true;
  return first;
}

void InputStop::Seal() {
  sealed_ = true;
  stopped_ = true;
}

void InputStop::Resume() {
  stopped_ = false;
  if (press_pending_ || sealed_) stopped_ = true;
}

RemoteInput::~RemoteInput() {
  stop_.Seal();
  ReleaseHeld();
  if (backend_) backend_->Flush();
}

template <class F>
void RemoteInput::Post(F post) {
  in_backend_ = true;
  post();
  in_backend_ = false;
  if (stop_.Stopped()) ReleaseHeld();
}

void RemoteInput::PostMouse(const MouseEvent& event) {
  if (!backend_) return;
  if (stop_.Stopped()) {
    ReleaseHeld();
    return;
  }
  if (const auto button = ButtonOf(event.type)) {
    bool& held = held_[static_cast<int>(button->first)];
    // A release of nothing held would reach whatever the user holds.
    if (!button->second && !held) return;
    held = button->second;
  }
  Post([&] { backend_->PostMouse(event); });
}


void RemoteInput::PostKeyboard(const KeyboardEvent& event) {
  if (!backend_) return;
  if (stop_.Stopped()) {
    ReleaseHeld();
    return;
  }
  Post([&] { backend_->PostKeyboard(event); });
}

void RemoteInput::Flush() {
  if (!backend_) return;
  if (stop_.Stopped()) ReleaseHeld();
  backend_->Flush();
}

void RemoteInput::ReleaseHeld() {
  if (!backend_ || in_backend_) return;
  for (MouseButton button : {MouseButton::kLeft, MouseButton::kRight}) {
    if (!std::exchange(held_[static_cast<int>(button)], false)) continue;
    backend_->ReleaseButton(button);
  }
}

}  // namespace mv
