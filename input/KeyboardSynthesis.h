// Remote keyboard input: typed text and named keys or editing shortcuts.
#pragma once

#include <string>

namespace mv {

// Types `text` (UTF-8; up to its first NUL) whatever the keyboard layout. At
// most 8 UTF-16 units go out per call; the rest is dropped.
void SynthKeyboardChar(const std::string& text);

// Presses the named key or chord ("Return", "Copy", "SelectLongLeft", ...)
// with exactly its modifiers. Unknown names post nothing.
void SynthKeyboardEvent(const std::string& name);

}  // namespace mv
