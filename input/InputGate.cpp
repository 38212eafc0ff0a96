#include "input/InputGate.h"

#include "input/Accessibility.h"
#include "platform/Platform.h"

namespace mv {

bool g_is_accepting_input = false;

bool InputGateOpen() {
  return g_is_accepting_input && !CurrentPlatform()->InputStopped() && IsAccessibilityTrusted();
}

}  // namespace mv
