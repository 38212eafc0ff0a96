// The parts of the portal clients that need no desktop: how the desktops
// describe triggers, where their screen-cast streams lie, which errors end
// a session.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"

namespace mv::portal {

// The letter of a trigger the desktop describes as Control+Alt+Shift+letter,
// in KDE's words ("Ctrl+Alt+Shift+E") or GNOME's ("Press <Shift><Control><Alt>e"),
// modifiers in any order; one of several triggers joined by commas will do.
// 0 for anything else, a translated description included.
char ControlAltShiftLetter(std::string_view description);

struct StreamGeometry {
  Rect rect;  // x and y count only with a position
  bool has_position = false;  // KDE sends none before Plasma 6.6
};

// Where each stream lies in the compositor's layout, given its monitors
// (the primary first). Streams with a position keep it; without one a lone
// stream is the primary monitor, and several are matched to the remaining
// monitors by size, in order. Empty, with `problem` set, when two monitors
// could be one stream's.
std::optional<std::vector<Rect>> PlaceStreams(const std::vector<StreamGeometry>& streams,
                                              const std::vector<Rect>& monitors,
                                              std::string* problem);

// Whether KDE Plasma holds a pointer moving by relative motion at the edges
// between monitors: from Plasma 6.1 its edge and corner barriers take an
// unknown part of a motion that crosses one, and are on unless the settings
// turn both off. `kwinrc` holds the texts of KWin's settings files, the
// system's first and the user's last; `session_version` is KDE_SESSION_VERSION.
bool KdeHoldsPointerAtEdges(std::string_view desktop, std::string_view session_version,
                            const std::vector<std::string>& kwinrc);

// Whether a failed Notify call means that the session is gone (closed,
// its portal gone or no longer answering), not that one event was refused.
bool SessionGone(std::string_view error_name, std::string_view message);

}  // namespace mv::portal
