// The input gate: remote pointer and key commands have an effect only while
// it is open. "initcheck" opens it when input may be posted; "quit" and the
// quit hot key close it. Main thread only.
#pragma once

namespace mv {

extern bool g_is_accepting_input;

// True when input is accepted, the hot key has not stopped posting since,
// and the desktop lets us post it (asked each time, and only while input is
// accepted).
bool InputGateOpen();

}  // namespace mv
