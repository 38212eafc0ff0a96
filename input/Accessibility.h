// The permission to post input on the user's desktop.
#pragma once

namespace mv {

// The desktop's current answer, without a round trip to it per call; never
// shows anything.
bool IsAccessibilityTrusted();
// Lets the desktop ask the user; returns at once with the current answer.
bool PromptAccessibilityIfNeeded();
// Opens the desktop's settings for the permission, where it has any.
void OpenAccessibilitySettings();

}  // namespace mv
