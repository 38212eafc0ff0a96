#include "commands/ControlStatus.h"

#include <chrono>
#include <memory>
#include <optional>
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
constexpr char kAskAgainCaption[] = "Morrowvane Remote Control Helper";
constexpr char kAskAgainText[] =
    "The remote participant asks to control your pointer and keyboard again.";
constexpr std::chrono::seconds kQuietAfterRefusal{30};

struct ControlState {
  std::unique_ptr<StatusIndicator> indicator;
  bool allowed = false;
  bool ever_allowed = false;
  // Without a status area, "allowed" is announced the first time and after
  // each stop by the user, never for a server's own quit and initcheck: a
  // server cannot make notifications pile up.
  bool announce_next_allow = true;
  std::string server;
  bool user_stopped = false;  // until the user allows input again
  std::optional<std::chrono::steady_clock::time_point> refused_at;
};

ControlState& State() {
  static ControlState state;
  return state;
}

std::string ActiveText(char letter) {
  if (letter == 0) return "Remote control active — no stop key could be registered";
  return "Remote control active — stop with " + QuitHotKeyName(letter);
}

void StopChosen(const char* where) {
  // At once, ahead of the notice: input may be on its way.
  CurrentPlatform()->StopInput();
  CurrentPlatform()->FlushInput();
  MVLogWrite(std::string("MorrowvaneHelper: \"Stop remote control\" chosen in the ") + where);
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
    state.indicator =
        platform.CreateStatusIndicator(shown, [] { StopChosen("status icon"); });
  }
  // Without a status area the notification is the user's stop at hand.
  if (!state.indicator && state.announce_next_allow) {
    platform.ShowNotification(shown.tooltip, kActiveBody,
                              {kStopRemoteControlLabel, [] { StopChosen("notification"); }});
  }
  state.announce_next_allow = false;
}

void ShowControlStopped(StopSource source) {
  ControlState& state = State();
  if (!state.allowed) return;
  state.allowed = false;
  if (state.indicator) state.indicator->SetState({kStopped, kStopRemoteControlLabel, true});
  if (source == StopSource::kUser) {
    CurrentPlatform()->ShowNotification(kStopped, kStoppedBody, {});
    state.announce_next_allow = true;
  }
}

void ShowControlEnded() {
  ControlState& state = State();
  const bool announce = state.ever_allowed && !state.indicator;
  state = ControlState{};
  if (announce) CurrentPlatform()->ShowNotification(kEnded, kEndedBody, {});
}

void SetControllingServer(const std::string& server) { State().server = server; }

void NoteUserStop() { State().user_stopped = true; }

bool UserAllowsInput(bool desktop_declined) {
  ControlState& stop = State();
  if (!stop.user_stopped && !desktop_declined) return true;
  const auto now = std::chrono::steady_clock::now();
  if (stop.refused_at && now - *stop.refused_at < kQuietAfterRefusal) return false;
  MVLogWrite("MorrowvaneHelper: asking the user to allow remote control again");
  Platform& platform = *CurrentPlatform();
  platform.ActivateIgnoringOtherApps();
  const int answer = platform.RunModalAlert({.message_text = kAskAgainCaption,
                                             .informative_text = std::string(kAskAgainText) +
                                                                 "\n\nServer: " + stop.server,
                                             .buttons = {"Yes", "No"},
                                             .use_app_icon = true,
                                             .guard_stray_input = true});
  if (answer != kAlertFirstButtonReturn) {
    stop.refused_at = std::chrono::steady_clock::now();
    MVLogWrite("MorrowvaneHelper: user refused remote control again");
    return false;
  }
  stop.user_stopped = false;
  stop.refused_at.reset();
  MVLogWrite("MorrowvaneHelper: user allowed remote control again");
  return true;
}

}  // namespace mv
