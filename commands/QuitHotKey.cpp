#include "commands/QuitHotKey.h"

#include <string_view>

#include <rapidjson/document.h>

#include "base/Log.h"
#include "commands/ControlStatus.h"
#include "input/InputGate.h"
#include "platform/KeyCodes.h"
#include "platform/Platform.h"
#include "transport/AgentMessage.h"
#include "transport/Json.h"

namespace mv {
namespace {

// E, C, Q and X first, then the whole alphabet (trying those four again).
constexpr std::string_view kCandidateLetters = "ECQXABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr uint32_t kModifiers = kHotKeyControl | kHotKeyOption | kHotKeyShift;

char g_registered_letter = 0;
HotKeyRef g_hotkey_ref = 0;
HotKeyHandlerRef g_handler_ref = 0;

void HotKeyHandler() {
  MVLogWrite("MorrowvaneHelper: quit hot key pressed");
  OnQuitHotKeyPressed();
}

}  // namespace

char TryRegisterQuitHotkey() {
  Platform& platform = *CurrentPlatform();
  if (g_registered_letter != 0) {
    // The user may have chosen another letter in the desktop's settings.
    const char now = platform.HotKeyLetter(g_hotkey_ref);
    if (now != 0 && now != g_registered_letter) {
      g_registered_letter = now;
      MVLogWrite("MorrowvaneHelper: quit hot key now: " + QuitHotKeyName(now));
    }
    return g_registered_letter;
  }
  // Kept without a letter too: the desktop ending its remote session is
  // reported the same way.
  if (g_handler_ref == 0) g_handler_ref = platform.InstallHotKeyHandler(HotKeyHandler);
  for (char letter : kCandidateLetters) {
    const std::optional<uint16_t> key_code = keycode::ForLetter(letter);
    if (!key_code) continue;
    const HotKeyRef ref = platform.RegisterHotKey(*key_code, kModifiers);
    if (ref != 0) {
      g_hotkey_ref = ref;
      g_registered_letter = letter;
      MVLogWrite("MorrowvaneHelper: quit hot key registered: " + QuitHotKeyName(letter));
      return letter;
    }
  }
  MVLogWrite("MorrowvaneHelper: no quit hot key could be registered");
  return 0;
}

void UnregisterQuitHotkey() {
  Platform& platform = *CurrentPlatform();
  if (g_hotkey_ref != 0) platform.UnregisterHotKey(g_hotkey_ref);
  g_hotkey_ref = 0;
  if (g_handler_ref != 0) platform.RemoveHotKeyHandler(g_handler_ref);
  g_handler_ref = 0;
  g_registered_letter = 0;
}

void OnQuitHotKeyPressed() {
  rapidjson::Document notice;
  notice.SetObject();
  AddString(notice, "cmd", "hot key pressed");
  SendToAgent(notice);
  g_is_accepting_input = false;
  NoteUserStop();
  ShowControlStopped(StopSource::kUser);
}

std::string QuitHotKeyName(char letter) { return std::string("Control+Alt+Shift+") + letter; }

}  // namespace mv
