// A batch text from the server, parsed and run through the dispatcher on the
// recording fake platform. The first byte also picks the conditions: bit 0
// opens the input gate, bit 1 grants the input permission, bit 2 presses the
// quit hot key afterwards; the size picks a monitor layout. A batch starting
// with "{" thus runs with the gate open and the permission granted; a leading
// blank or byte-order mark picks other conditions. Checked: at most one reply
// per command (plus the hot-key notice), each a whole envelope whose payload
// starts with "cmd"; nothing is typed or clicked without the permission; key
// events come in matching down/up pairs of at most 8 units; pointer positions
// are finite; every log line is one line.
#include <cmath>
#include <vector>

#include "commands/Dispatcher.h"
#include "fuzz/FuzzCheck.h"
#include "platform/fake/FakePlatform.h"
#include "screen/Monitors.h"
#include "tests/support/ResetCoreState.h"
#include "transport/Json.h"

namespace {

using namespace mv;

struct CollectingConnection final : AgentConnection {
  void postBodyAsync(const std::string& body) override { bodies.push_back(body); }
  std::vector<std::string> bodies;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<std::vector<Rect>> kLayouts{
      {{0, 0, 1440, 900}}, {{0, 0, 1920, 1080}, {-1280, 180, 1280, 1024}},
      {{0, 0, 2560, 1440}, {2560, -200, 1080, 1920}, {-1024, 0, 1024, 768}}};
  fuzz::DiscardLogFile();
  const uint8_t conditions = size > 0 ? data[0] : 0;
  FakePlatform platform;
  platform.trusted = (conditions & 2) != 0;
  platform.displays = kLayouts[size % kLayouts.size()];
  CollectingConnection connection;
  SetCurrentPlatform(&platform);
  SetAgentConnection(&connection);
  const struct Reset { ~Reset() { test::ResetCoreState(); } } reset;
  GetMonitors()->selected = 0;
  GetMonitors()->Enumerate();
  g_is_accepting_input = (conditions & 1) != 0;
  rapidjson::Document batch;
  if (!ParseJson(std::string(reinterpret_cast<const char*>(data), size), batch)) return 0;
  DispatchMultiInput(batch);
  platform.FireTimers();
  platform.RunMainQueue();
  const bool press = (conditions & 4) != 0 && !platform.hot_key_handlers.empty();
  if (press) {
    platform.PressHotKey();
    platform.RunMainQueue();
    MV_FUZZ_CHECK(!g_is_accepting_input);
  }

  size_t commands = 0;
  if (batch.IsObject() && batch.HasMember("messages") && batch["messages"].IsArray()) {
    for (const auto& m : batch["messages"].GetArray()) commands += m.IsObject() && m.HasMember("payload");
  }
  MV_FUZZ_CHECK(connection.bodies.size() <= commands + press);
  for (const std::string& body : connection.bodies) {
    rapidjson::Document envelope;
    MV_FUZZ_CHECK(ParseJson(body, envelope) && envelope.IsObject() && envelope.HasMember("payload"));
    const rapidjson::Value& payload = envelope["payload"];
    MV_FUZZ_CHECK(payload.IsObject() && payload.MemberCount() > 0 && payload.MemberBegin()->name == "cmd" &&
                  payload.MemberBegin()->value.IsString() &&
                  body == R"({"message":"nh_to_agent","payload":)" + ToJsonString(payload) + "}");
  }
  const auto& keys = platform.keyboard_events;
  MV_FUZZ_CHECK(keys.size() % 2 == 0 && (platform.trusted || (keys.empty() && platform.mouse_events.empty())));
  for (size_t i = 0; i + 1 < keys.size(); i += 2) {
    KeyboardEvent up = keys[i];
    up.key_down = false;
    MV_FUZZ_CHECK(keys[i].key_down && keys[i + 1] == up && keys[i].units.size() <= 8);
  }
  for (const MouseEvent& e : platform.mouse_events) MV_FUZZ_CHECK(std::isfinite(e.x) && std::isfinite(e.y));
  for (const std::string& line : platform.SystemLogLines()) {
    MV_FUZZ_CHECK(line.starts_with("MorrowvaneHelper: ") && line.find_first_of("\r\n") == std::string::npos);
  }
  return 0;
}
