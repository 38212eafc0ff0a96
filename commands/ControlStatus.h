// What the sharing user sees of remote control on their own desktop: an icon
// in the status area while the remote side may use the pointer and keyboard,
// greyed while input is stopped, with a menu entry that stops it like the
// quit hot key; desktop notifications where there is no status area, and
// whenever the user stops input. Main thread only.
#pragma once

#include <string>

namespace mv {

inline constexpr char kStopRemoteControlLabel[] = "Stop remote control";

enum class StopSource { kUser, kServer };

// An "initcheck" opened the input gate; `letter`: the quit hot key's letter,
// 0 when none could be registered.
void ShowControlAllowed(char letter);
// The gate closed: by the user (hot key or menu) or by the server ("quit").
void ShowControlStopped(StopSource source);
// The session is over: the icon goes, and with it all the state here.
void ShowControlEnded();

// The server the session talks to, named when the user is asked again.
void SetControllingServer(const std::string& server);
// The user stopped remote input (hot key, status icon, notification, the
// desktop ending its remote session): it stays stopped until they allow it
// again.
void NoteUserStop();
// Whether remote input may start again: true unless the user stopped it and
// does not allow it again now. Asks in a dialog, one at a time, and after a
// refusal not again for 30 seconds.
bool UserAllowsInput(bool desktop_declined);

}  // namespace mv
