// Remote pointer input: moves, clicks, double clicks, right clicks, drags.
#pragma once

#include <cstdint>
#include <string>

namespace mv {

// With `mode` "screen", x and y are ratios of the selected monitor; any other
// mode means global display coordinates. `event` is one of "dragstart",
// "dragstop", "move", "lc", "dbllc", "rc"; anything else is a bare move.
// Does nothing while the input gate is closed or input may not be posted.
void SynthMouseEvent(int32_t x, int32_t y, const std::string& mode, const std::string& event);

}  // namespace mv
