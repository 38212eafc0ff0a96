// The quit hot key: Control+Alt+Shift+letter stops remote input at once.
#pragma once

namespace mv {

// Registers the first free letter of "ECQXABCDEFGHIJKLMNOPQRSTUVWXYZ" and
// answers it; answers the registered letter again without registering
// anew; 0 when no letter could be had.
char TryRegisterQuitHotkey();
void UnregisterQuitHotkey();
// A press: tells the server {"cmd":"hot key pressed"} and closes the gate.
void OnQuitHotKeyPressed();

}  // namespace mv
