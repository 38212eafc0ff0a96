// The quit hot key: Control+Alt+Shift+letter stops remote input at once.
#pragma once

#include <string>

namespace mv {

// Registers the first free letter of "ECQXABCDEFGHIJKLMNOPQRSTUVWXYZ" and
// answers it; answers the registered letter again without registering
// anew; 0 when no letter could be had.
char TryRegisterQuitHotkey();
void UnregisterQuitHotkey();
// A press: tells the server {"cmd":"hot key pressed"}, closes the gate and
// shows the user that remote input stopped.
void OnQuitHotKeyPressed();
// "Control+Alt+Shift+E" for 'E'.
std::string QuitHotKeyName(char letter);

}  // namespace mv
