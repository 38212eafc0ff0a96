// What the sharing user sees of remote control on their own desktop: an icon
// in the status area while the remote side may use the pointer and keyboard,
// greyed while input is stopped, with a menu entry that stops it like the
// quit hot key; desktop notifications where there is no status area, and
// whenever the user stops input. Main thread only.
#pragma once

namespace mv {

inline constexpr char kStopRemoteControlLabel[] = "Stop remote control";

enum class StopSource { kUser, kServer };

// An "initcheck" opened the input gate; `letter`: the quit hot key's letter,
// 0 when none could be registered.
void ShowControlAllowed(char letter);
// The gate closed: by the user (hot key or menu) or by the server ("quit").
void ShowControlStopped(StopSource source);
// The session is over: the icon goes.
void ShowControlEnded();

}  // namespace mv
