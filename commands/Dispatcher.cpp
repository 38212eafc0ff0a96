#include "commands/Dispatcher.h"

#include <string>
#include <string_view>
#include <unordered_map>

#include "base/Log.h"
#include "commands/ControlStatus.h"
#include "commands/Handlers.h"
#include "input/InputGate.h"
#include "input/KeyboardSynthesis.h"
#include "input/MouseSynthesis.h"
#include "platform/Platform.h"
#include "screen/BorderOverlay.h"
#include "transport/AgentMessage.h"
#include "transport/Json.h"

namespace mv {
namespace {

using Action = void (*)(const rapidjson::Value& payload, rapidjson::Document& reply);

struct Command {
  Action action;
  bool sends_reply;
  // Input commands (and keepalive, which does nothing) run back to back;
  // any other command first waits until the input before it has taken
  // effect, so that its reply, window or dialog comes after it.
  bool runs_with_input = false;
};

void CmdVersion(const rapidjson::Value&, rapidjson::Document& reply) {
  AddString(reply, "result", "ok");
  AddString(reply, "version", "1.1");
}

void CmdKeepAlive(const rapidjson::Value&, rapidjson::Document&) {}

void CmdMouseEvent(const rapidjson::Value& payload, rapidjson::Document&) {
  SynthMouseEvent(JsonInt(payload, "x"), JsonInt(payload, "y"), JsonStr(payload, "mode", ""),
                  JsonStr(payload, "event", ""));
}

void CmdKeyboardChar(const rapidjson::Value& payload, rapidjson::Document&) {
  SynthKeyboardChar(JsonStr(payload, "key", ""));
}

// Holds back the rest of the batch, and every later batch, until dismissed.
void CmdMessageBox(const rapidjson::Value& payload, rapidjson::Document&) {
  // Titled as the server's, so that it cannot pass for a question of the program.
  CurrentPlatform()->RunModalAlert(
      {.message_text = JsonStr(payload, "caption", ""),
       .informative_text = JsonStr(payload, "text", ""),
       .title = "Message from the remote participant \u2014 Morrowvane Remote Control Helper"});
}

void CmdQuit(const rapidjson::Value&, rapidjson::Document& reply) {
  g_is_accepting_input = false;
  ShowControlStopped(StopSource::kServer);
  HideBorderWindow();
  AddString(reply, "result", "ok");
}

void CmdClearClipboard(const rapidjson::Value&, rapidjson::Document&) { ClearClipboard(); }

void CmdHideBorder(const rapidjson::Value&, rapidjson::Document&) { HideBorderWindow(); }

const std::unordered_map<std::string_view, Command>& CommandTable() {
  static const std::unordered_map<std::string_view, Command> kTable{
      {"version", {CmdVersion, true}},
      {"keepalive", {CmdKeepAlive, false, true}},
      {"mouseevent", {CmdMouseEvent, false, true}},
      {"keyboardchar", {CmdKeyboardChar, false, true}},
      {"keyboardevent", {CmdKeyboardEvent, false, true}},
      {"messagebox", {CmdMessageBox, false}},
      {"quit", {CmdQuit, true}},
      {"clearclipboard", {CmdClearClipboard, false}},
      {"initcheck", {CmdInitCheck, true}},
      {"predetectmonitors", {CmdPreDetectMonitors, true}},
      {"detectmonitors", {CmdDetectMonitors, true}},
      {"enddetectmonitors", {CmdEndDetectMonitors, true}},
      {"selectmonitor", {CmdSelectMonitor, true}},
      {"translatexywh", {CmdTranslateXywh, true}},
      {"showborderabs", {CmdShowBorderAbs, false}},
      {"showborderrel", {CmdShowBorderRel, false}},
      {"hideborder", {CmdHideBorder, false}},
  };
  return kTable;
}

// The frequent commands stay out of the log.
bool IsQuiet(std::string_view name) {
  return name == "keepalive" || name == "mouseevent" || name == "keyboardchar" ||
         name == "keyboardevent";
}

}  // namespace

void DispatchMultiInput(const rapidjson::Document& batch) {
  DispatchMultiInput(batch, 0, std::chrono::steady_clock::time_point::max());
}

std::optional<size_t> DispatchMultiInput(const rapidjson::Document& batch, size_t first,
                                         std::chrono::steady_clock::time_point until) {
  if (!batch.IsObject()) return std::nullopt;
  const auto messages = batch.FindMember("messages");
  if (messages == batch.MemberEnd() || !messages->value.IsArray()) return std::nullopt;
  const auto& elements = messages->value.GetArray();
  for (size_t i = first; i < elements.Size();) {
    // Termination may begin inside a command (a message box runs the event
    // loop); the rest of the batch must not run after the teardown.
    if (CurrentPlatform()->Terminating()) return std::nullopt;
    const rapidjson::Value& element = elements[static_cast<rapidjson::SizeType>(i++)];
    if (element.IsObject()) {
      const auto payload = element.FindMember("payload");
      if (payload != element.MemberEnd()) DispatchInputDoc(payload->value);
    }
    if (i < elements.Size() && std::chrono::steady_clock::now() >= until) {
      CurrentPlatform()->FlushInput();
      return i;
    }
  }
  CurrentPlatform()->FlushInput();
  return std::nullopt;
}

void DispatchInputDoc(const rapidjson::Value& payload) {
  rapidjson::Document reply;
  reply.SetObject();
  const std::string name = JsonStr(payload, "cmd", "");
  if (!IsQuiet(name)) MVLogWrite("MorrowvaneHelper: dispatch cmd=" + name);
  AddString(reply, "cmd", name);

  const auto& table = CommandTable();
  const auto row = table.find(name);
  const Command command = row != table.end() ? row->second : Command{CmdUnknown, true};
  if (!command.runs_with_input) CurrentPlatform()->FlushInput();
  command.action(payload, reply);
  if (command.sends_reply) SendToAgent(reply);
}

}  // namespace mv
