// The platform of Linux X11 desktops: Qt for the event loop, dialogs, overlay
// windows and timers; a private Xlib connection for input, displays and the
// hot key.
#pragma once

#include <memory>
#include <string>

#include "platform/Platform.h"

namespace mv {

// Creates the Qt application and opens the X display. Nothing, with a message
// in *error, when there is no display server.
std::unique_ptr<Platform> CreateLinuxPlatform(int& argc, char** argv, std::string* error);

}  // namespace mv
