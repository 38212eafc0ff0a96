#include "commands/ControlStatus.h"

#include <memory>
#include <string>

#include "base/Log.h"
#include "commands/QuitHotKey.h"
#include "platform/Platform.h"

namespace mv {
namespace {

constexpr char kActiveBody[] =
    "The remote side of your screen-sharing session can use your mouse and keyboard.";
constexpr char kStopped[] = "Remote control stopped";
constexpr char kStoppedBody[] =
    "The remote side can no longer use your mouse and keyboard until the session asks again.";
constexpr char kEnded[] = "Remote control ended";
constexpr char kEndedBody[] = "The screen-sharing session has closed its remote control.";

struct ControlState {
  std::unique_ptr<StatusIndicator> indicator;
  bool allowed = false;
  bool ever_allowed = false;
  // Without a status area, "allowed" is announced the first time and after
  // each stop by the user, never for a server's own quit and initcheck: a
  // server cannot make notifications pile up.
  bool announce_next_allow = true;
};

ControlState& State() {
  static ControlState state;
  return state;
}

std::string ActiveText(char letter) {
  if (letter == 0) return "Remote control active — no stop key could be registered";
  return "Remote control active — stop with " + QuitHotKeyName(letter);
}

void OnStopChosen() {
  MVLogWrite("MorrowvaneHelper: \"Stop remote control\" chosen in the status icon");
  OnQuitHotKeyPressed();
}

}  // namespace

void ShowControlAllowed(char letter) {
  ControlState& state = State();
  Platform& platform = *CurrentPlatform();
  const StatusIndicatorState shown{ActiveText(letter), kStopRemoteControlLabel, false};
  state.allowed = true;
  state.ever_allowed = true;
  if (state.indicator) {
    state.indicator->SetState(shown);
  } else {
    state.indicator = platform.CreateStatusIndicator(shown, OnStopChosen);
  }
  if (!state.indicator && state.announce_next_allow) {
    platform.ShowNotification(shown.tooltip, kActiveBody);
  }
  state.announce_next_allow = false;
}

void ShowControlStopped(StopSource source) {
  ControlState& state = State();
  if (!state.allowed) return;
  state.allowed = false;
  if (state.indicator) state.indicator->SetState({kStopped, kStopRemoteControlLabel, true});
  if (source == StopSource::kUser) {
    CurrentPlatform()->ShowNotification(kStopped, kStoppedBody);
    state.announce_next_allow = true;
  }
}

void ShowControlEnded() {
  ControlState& state = State();
  const bool announce = state.ever_allowed && !state.indicator;
  state = ControlState{};
  if (announce) CurrentPlatform()->ShowNotification(kEnded, kEndedBody);
}

}  // namespace mv
