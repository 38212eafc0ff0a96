// Remote input through the RemoteDesktop portal, as the program's input
// backend on a Wayland session.
#pragma once

#include <functional>
#include <memory>

#include "platform/RemoteInput.h"
#include "platform/wayland/PortalRemoteDesktop.h"

namespace mv {

class PortalInput final : public InputBackend {
 public:
  // `primary_origin`: where the primary monitor lies in the compositor's
  // layout, which the portal's points are in.
  PortalInput(std::unique_ptr<PortalRemoteDesktop> portal, std::function<Rect()> primary_origin)
      : portal_(std::move(portal)), primary_origin_(std::move(primary_origin)) {}

  bool Permitted() override { return portal_->IsStarted(); }
  bool RequestPermission() override {
    portal_->Start();
    return portal_->IsStarted();
  }
  bool PermissionDeclined() override { return portal_->Declined(); }
  void PostMouse(const MouseEvent& event) override {
    const Rect primary = primary_origin_();
    portal_->PostMouse(event, event.x + primary.x, event.y + primary.y);
  }
  void ReleaseButton(MouseButton button) override { portal_->ReleaseButton(button); }
  void PostKeyboard(const KeyboardEvent& event) override { portal_->PostKeyboard(event); }
  // Each portal call returns once the portal has it.
  void Flush() override {}

 private:
  std::unique_ptr<PortalRemoteDesktop> portal_;
  std::function<Rect()> primary_origin_;
};

}  // namespace mv
