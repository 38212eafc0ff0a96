#include "commands/Handlers.h"

#include <string>

#include "input/Accessibility.h"
#include "commands/ControlStatus.h"
#include "commands/QuitHotKey.h"
#include "input/InputGate.h"
#include "input/KeyboardSynthesis.h"
#include "platform/Platform.h"
#include "screen/BorderOverlay.h"
#include "screen/DetectWindows.h"
#include "screen/Monitors.h"
#include "transport/Json.h"

namespace mv {
namespace {

// "initcheck" reports its own version; the "version" command answers "1.1".
constexpr char kInitCheckVersion[] = "1.6";
constexpr char kPermissionError[] =
    "Morrowvane Helper needs Accessibility permission. Open System Settings > Privacy & "
    "Security > Accessibility, enable Morrowvane Helper, then try again.";

void AddOk(rapidjson::Document& reply) { AddString(reply, "result", "ok"); }

struct Xywh {
  int32_t x, y, w, h;
};

Xywh ReadXywh(const rapidjson::Value& payload) {
  return {JsonInt(payload, "x"), JsonInt(payload, "y"), JsonInt(payload, "w"),
          JsonInt(payload, "h")};
}

}  // namespace

void CmdKeyboardEvent(const rapidjson::Value& payload, rapidjson::Document&) {
  SynthKeyboardEvent(JsonStr(payload, "event", ""));
}

void CmdInitCheck(const rapidjson::Value&, rapidjson::Document& reply) {
  AddString(reply, "version", kInitCheckVersion);
  // After the user's stop only the user opens the gate again; after they
  // cancelled the desktop's own dialog, it is shown again only if they say so.
  if (!UserAllowsInput(CurrentPlatform()->AccessibilityDeclined())) {
    AddString(reply, "result", "error");
    AddString(reply, "error", kPermissionError);
    return;
  }
  if (IsAccessibilityTrusted()) {
    const char letter = TryRegisterQuitHotkey();
    if (letter != 0) {
      AddOk(reply);
      AddString(reply, "hotkey", std::string(1, letter));
    } else {
      AddString(reply, "result", "error");
      AddString(reply, "error", "Unable to register hot key");
    }
    g_is_accepting_input = true;
    CurrentPlatform()->ResumeInput();
    ShowControlAllowed(letter);
  } else {
    PromptAccessibilityIfNeeded();
    OpenAccessibilitySettings();
    AddString(reply, "result", "error");
    AddString(reply, "error", kPermissionError);
  }
}

void CmdPreDetectMonitors(const rapidjson::Value& payload, rapidjson::Document& reply) {
  ShowDetectWindows(true, JsonInt(payload, "red"), JsonInt(payload, "green"),
                    JsonInt(payload, "blue"));
  AddOk(reply);
}

void CmdDetectMonitors(const rapidjson::Value&, rapidjson::Document& reply) {
  ShowDetectWindows(false, 0, 0, 0);
  AddOk(reply);
}

void CmdEndDetectMonitors(const rapidjson::Value&, rapidjson::Document& reply) {
  HideDetectWindows();
  AddOk(reply);
}

void CmdSelectMonitor(const rapidjson::Value& payload, rapidjson::Document& reply) {
  const int32_t index = JsonInt(payload, "index");
  Monitors* monitors = GetMonitors();
  const bool in_range = index >= 0 && static_cast<size_t>(index) < monitors->monitors.size();
  monitors->selected = in_range ? static_cast<size_t>(index) : 0;
  AddOk(reply);
}

void CmdTranslateXywh(const rapidjson::Value& payload, rapidjson::Document& reply) {
  Xywh r = ReadXywh(payload);
  GetMonitors()->AbsoluteScreenXYWHToScreenRelative(r.x, r.y, r.w, r.h);
  AddInt(reply, "x", r.x);
  AddInt(reply, "y", r.y);
  AddInt(reply, "w", r.w);
  AddInt(reply, "h", r.h);
  AddOk(reply);
}

void CmdShowBorderAbs(const rapidjson::Value& payload, rapidjson::Document&) {
  if (!payload.IsObject()) return;
  const Xywh r = ReadXywh(payload);
  if (r.w == 0 || r.h == 0) return;
  ShowBorderWindow({double(r.x), double(r.y), double(r.w), double(r.h)});
}

void CmdShowBorderRel(const rapidjson::Value& payload, rapidjson::Document&) {
  if (!payload.IsObject()) return;
  Xywh r = ReadXywh(payload);
  if (r.w == 0 || r.h == 0) return;
  GetMonitors()->ScreenRelativeXYWHToAbsolute(r.x, r.y, r.w, r.h);
  ShowBorderWindow({double(r.x), double(r.y), double(r.w), double(r.h)});
}

void CmdUnknown(const rapidjson::Value&, rapidjson::Document& reply) {
  AddString(reply, "result", "error");
  AddString(reply, "detail", "Unknown command.");
}

void ClearClipboard() { CurrentPlatform()->ClearClipboard(); }

}  // namespace mv
