#include "input/InputGate.h"

#include "app/Accessibility.h"

namespace mv {

bool g_is_accepting_input = false;

bool InputGateOpen() { return g_is_accepting_input && IsAccessibilityTrusted(); }

}  // namespace mv
