// A batch text from the server, parsed and run through the dispatcher on the
// recording fake platform. The first byte also picks the conditions: bit 0
// opens the input gate, bit 1 grants the input permission, bit 2 presses the
// quit hot key afterwards (when one was registered); the size picks one of
// three monitor layouts. A batch starting with "{" thus runs with the gate
// open and the permission granted; a leading blank, tab, line break or
// byte-order mark (which the parser skips) picks the other conditions. Checked after each batch: every reply is a whole
// envelope whose payload starts with "cmd", there is at most one reply per
// command (plus the hot-key notice), nothing is typed or clicked without the
// permission, key events come in matching down/up pairs of at most 8 units,
// pointer positions are finite, and every log line is one line.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "commands/Dispatcher.h"
#include "commands/QuitHotKey.h"
#include "fuzz/FuzzCheck.h"
#include "input/InputGate.h"
#include "platform/fake/FakePlatform.h"
#include "screen/BorderOverlay.h"
#include "screen/DetectWindows.h"
#include "screen/Monitors.h"
#include "tests/support/ResetCoreState.h"
#include "transport/AgentMessage.h"
#include "transport/Json.h"

namespace mv::fuzz {
namespace {

class CollectingConnection final : public AgentConnection {
 public:
  void postBodyAsync(const std::string& body) override { bodies.push_back(body); }
  std::vector<std::string> bodies;
};

const std::vector<Rect>& Layout(size_t choice) {
  static const std::vector<std::vector<Rect>> kLayouts{
      {{0, 0, 1440, 900}},
      {{0, 0, 1920, 1080}, {-1280, 180, 1280, 1024}},
      {{0, 0, 2560, 1440}, {2560, -200, 1080, 1920}, {-1024, 0, 1024, 768}},
  };
  return kLayouts[choice % kLayouts.size()];
}

struct ResetAfterInput {
  ~ResetAfterInput() { test::ResetCoreState(); }
};

// Commands the batch walk hands to the dispatcher.
size_t CountPayloads(const rapidjson::Document& batch) {
  if (!batch.IsObject()) return 0;
  const auto messages = batch.FindMember("messages");
  if (messages == batch.MemberEnd() || !messages->value.IsArray()) return 0;
  size_t count = 0;
  for (const rapidjson::Value& element : messages->value.GetArray()) {
    if (element.IsObject() && element.HasMember("payload")) ++count;
  }
  return count;
}

void CheckEnvelope(const std::string& body) {
  rapidjson::Document envelope;
  MV_FUZZ_CHECK(ParseJson(body, envelope));
  MV_FUZZ_CHECK(envelope.IsObject() && envelope.MemberCount() == 2);
  MV_FUZZ_CHECK(JsonStr(envelope, "message", "") == "nh_to_agent");
  const rapidjson::Value& root = envelope;
  const auto payload = root.FindMember("payload");
  MV_FUZZ_CHECK(payload != root.MemberEnd() && payload->value.IsObject());
  MV_FUZZ_CHECK(payload->value.MemberCount() > 0);
  const auto first = payload->value.MemberBegin();
  MV_FUZZ_CHECK(std::string_view(first->name.GetString()) == "cmd" && first->value.IsString());
  MV_FUZZ_CHECK(body == R"({"message":"nh_to_agent","payload":)" + ToJsonString(payload->value) + "}");
}

void CheckKeyPairs(const std::vector<KeyboardEvent>& events) {
  MV_FUZZ_CHECK(events.size() % 2 == 0);
  for (size_t i = 0; i < events.size(); i += 2) {
    const KeyboardEvent& down = events[i];
    const KeyboardEvent& up = events[i + 1];
    MV_FUZZ_CHECK(down.key_down && !up.key_down);
    MV_FUZZ_CHECK(down.key_code == up.key_code && down.units == up.units);
    MV_FUZZ_CHECK(down.has_flags == up.has_flags && down.flags == up.flags);
    MV_FUZZ_CHECK(down.units.size() <= 8);
  }
}

}  // namespace
}  // namespace mv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace mv;
  fuzz::UsePrivateLogFolder();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const uint8_t conditions = size > 0 ? data[0] : 0;
  const bool gate_open = (conditions & 1) != 0;
  const bool trusted = (conditions & 2) != 0;
  const bool press_hot_key = (conditions & 4) != 0;

  FakePlatform platform;
  platform.trusted = trusted;
  platform.displays = fuzz::Layout(size);
  fuzz::CollectingConnection connection;
  SetCurrentPlatform(&platform);
  SetAgentConnection(&connection);
  const fuzz::ResetAfterInput reset;
  Monitors* monitors = GetMonitors();
  monitors->selected = 0;
  monitors->Enumerate();
  g_is_accepting_input = gate_open;

  rapidjson::Document batch;
  if (!ParseJson(text, batch)) return 0;
  DispatchMultiInput(batch);
  platform.FireTimers();
  platform.RunMainQueue();
  size_t notices = 0;
  if (press_hot_key && !platform.hot_key_handlers.empty()) {
    platform.PressHotKey();
    platform.RunMainQueue();
    MV_FUZZ_CHECK(!g_is_accepting_input);
    notices = 1;
  }

  MV_FUZZ_CHECK(connection.bodies.size() <= fuzz::CountPayloads(batch) + notices);
  for (const std::string& body : connection.bodies) fuzz::CheckEnvelope(body);
  if (!trusted) {
    MV_FUZZ_CHECK(platform.mouse_events.empty());
    MV_FUZZ_CHECK(platform.keyboard_events.empty());
  }
  fuzz::CheckKeyPairs(platform.keyboard_events);
  for (const MouseEvent& event : platform.mouse_events) {
    MV_FUZZ_CHECK(std::isfinite(event.x) && std::isfinite(event.y));
  }
  for (const std::string& line : platform.SystemLogLines()) {
    MV_FUZZ_CHECK(line.starts_with("MorrowvaneHelper: "));
    MV_FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
  }
  return 0;
}
