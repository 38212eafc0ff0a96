#include "input/Accessibility.h"

#include "platform/Platform.h"

namespace mv {

bool IsAccessibilityTrusted() { return CurrentPlatform()->IsAccessibilityTrusted(); }

bool PromptAccessibilityIfNeeded() { return CurrentPlatform()->PromptAccessibility(); }

void OpenAccessibilitySettings() { CurrentPlatform()->OpenAccessibilitySettings(); }

}  // namespace mv
