// Puts the process-wide state of the command path (overlays, quit hot key, status icon,
// input gate, server connection, platform) back to its start values, before
// the platform it refers to goes away. Shared by the test fixture and the
// batch fuzzer.
#pragma once

#include "commands/ControlStatus.h"
#include "commands/QuitHotKey.h"
#include "input/InputGate.h"
#include "platform/Platform.h"
#include "screen/BorderOverlay.h"
#include "screen/DetectWindows.h"
#include "transport/AgentMessage.h"

namespace mv::test {

inline void ResetCoreState() {
  HideBorderWindow();
  HideDetectWindows();
  UnregisterQuitHotkey();
  ShowControlEnded();
  g_is_accepting_input = false;
  SetAgentConnection(nullptr);
  SetCurrentPlatform(nullptr);
}

}  // namespace mv::test
