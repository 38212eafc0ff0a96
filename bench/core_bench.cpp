// The command path without a desktop: batches of 100 commands, parsed and
// dispatched on the recording fake platform with the input gate open and a
// connection that drops every reply, beside RapidJSON's bare parse of the
// same texts. bench/run.sh turns the figures into the README table.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "commands/Dispatcher.h"
#include "input/InputGate.h"
#include "platform/fake/FakePlatform.h"
#include "screen/Monitors.h"
#include "transport/AgentMessage.h"
#include "transport/Json.h"

namespace mv::bench {
namespace {

constexpr int kCommandsPerBatch = 100;
constexpr int kBatchTexts = 16;

class DiscardingConnection final : public AgentConnection {
 public:
  void postBodyAsync(const std::string&) override {}
};

// What a batch holds.
enum class Mix {
  kSession,  // a session's stream: pointer and keys, a few keep-alives, one
             // "translatexywh" and one "version" (the two logged commands)
  kQuiet,    // the same with those two replaced by keep-alives: nothing logged
  kLogged,   // only "version": each logged and answered
};

rapidjson::Value Payload(rapidjson::Document& doc, const char* cmd) {
  rapidjson::Value payload(rapidjson::kObjectType);
  payload.AddMember("cmd", rapidjson::StringRef(cmd), doc.GetAllocator());
  return payload;
}

void Add(rapidjson::Value& payload, rapidjson::Document& doc, const char* key, int value) {
  payload.AddMember(rapidjson::StringRef(key), value, doc.GetAllocator());
}

void Add(rapidjson::Value& payload, rapidjson::Document& doc, const char* key, const char* value) {
  payload.AddMember(rapidjson::StringRef(key), rapidjson::StringRef(value), doc.GetAllocator());
}

rapidjson::Value Mouse(rapidjson::Document& doc, std::mt19937& random, const char* event,
                       bool ratio) {
  rapidjson::Value payload = Payload(doc, "mouseevent");
  std::uniform_int_distribution<int> coordinate(0, ratio ? 65536 : 1900);
  Add(payload, doc, "x", coordinate(random));
  Add(payload, doc, "y", coordinate(random));
  if (ratio) Add(payload, doc, "mode", "screen");
  Add(payload, doc, "event", event);
  return payload;
}

// One batch text of kCommandsPerBatch commands in a shuffled order.
std::string MakeBatch(Mix mix, unsigned seed) {
  std::mt19937 random(seed);
  rapidjson::Document doc;
  std::vector<rapidjson::Value> payloads;
  if (mix == Mix::kLogged) {
    for (int i = 0; i < kCommandsPerBatch; ++i) payloads.push_back(Payload(doc, "version"));
  } else {
    static const char* const kTyped[] = {"a", "e", "t", "o", " ", "H", "\u00e9", "\u20ac", "1", "."};
    static const char* const kKeys[] = {"Return", "Backspace", "SelectLongLeft", "Copy", "Paste"};
    for (int i = 0; i < 50; ++i) payloads.push_back(Mouse(doc, random, "move", true));
    for (int i = 0; i < 10; ++i) payloads.push_back(Mouse(doc, random, "move", false));
    for (int i = 0; i < 4; ++i) payloads.push_back(Mouse(doc, random, "lc", true));
    for (const char* event : {"dbllc", "dbllc", "rc", "rc", "dragstart", "dragstop"}) {
      payloads.push_back(Mouse(doc, random, event, false));
    }
    for (int i = 0; i < 20; ++i) {
      rapidjson::Value payload = Payload(doc, "keyboardchar");
      Add(payload, doc, "key", kTyped[i % std::size(kTyped)]);
      payloads.push_back(std::move(payload));
    }
    for (const char* key : kKeys) {
      rapidjson::Value payload = Payload(doc, "keyboardevent");
      Add(payload, doc, "event", key);
      payloads.push_back(std::move(payload));
    }
    const int keepalives = mix == Mix::kQuiet ? 5 : 3;
    for (int i = 0; i < keepalives; ++i) payloads.push_back(Payload(doc, "keepalive"));
    if (mix == Mix::kSession) {
      rapidjson::Value translate = Payload(doc, "translatexywh");
      for (const char* key : {"x", "y", "w", "h"}) Add(translate, doc, key, 100 + 10 * seed);
      payloads.push_back(std::move(translate));
      payloads.push_back(Payload(doc, "version"));
    }
    std::shuffle(payloads.begin(), payloads.end(), random);
  }

  rapidjson::Value messages(rapidjson::kArrayType);
  for (rapidjson::Value& payload : payloads) {
    rapidjson::Value element(rapidjson::kObjectType);
    element.AddMember("payload", payload, doc.GetAllocator());
    messages.PushBack(element, doc.GetAllocator());
  }
  doc.SetObject();
  doc.AddMember("messages", messages, doc.GetAllocator());
  return ToJsonString(doc);
}

const std::vector<std::string>& Batches(Mix mix) {
  static const auto make = [](Mix m) {
    std::vector<std::string> texts;
    for (unsigned seed = 0; seed < kBatchTexts; ++seed) texts.push_back(MakeBatch(m, seed));
    return texts;
  };
  static const std::vector<std::string> session = make(Mix::kSession);
  static const std::vector<std::string> quiet = make(Mix::kQuiet);
  static const std::vector<std::string> logged = make(Mix::kLogged);
  return mix == Mix::kSession ? session : mix == Mix::kQuiet ? quiet : logged;
}

void SetRates(benchmark::State& state, const std::vector<std::string>& texts) {
  size_t bytes = 0;
  for (const std::string& text : texts) bytes += text.size();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes / texts.size()));
  state.counters["commands_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kCommandsPerBatch, benchmark::Counter::kIsRate);
}

// The whole path: the text parsed as the session controller does, then the
// batch walked and every command run on the fake platform.
void BM_ParseAndDispatch(benchmark::State& state, Mix mix) {
  FakePlatform platform;
  platform.displays = {{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}};
  DiscardingConnection connection;
  SetCurrentPlatform(&platform);
  SetAgentConnection(&connection);
  Monitors* monitors = GetMonitors();
  monitors->selected = 0;
  monitors->Enumerate();
  g_is_accepting_input = true;

  const std::vector<std::string>& texts = Batches(mix);
  size_t next = 0;
  for (auto _ : state) {
    rapidjson::Document batch;
    if (!ParseJson(texts[next], batch)) {
      state.SkipWithError("batch did not parse");
      break;
    }
    DispatchMultiInput(batch);
    // The fake records every event; keep only this batch's.
    platform.mouse_events.clear();
    platform.keyboard_events.clear();
    next = (next + 1) % texts.size();
  }
  SetRates(state, texts);

  g_is_accepting_input = false;
  SetAgentConnection(nullptr);
  SetCurrentPlatform(nullptr);
}

// RapidJSON alone: the same texts into a fresh document, nothing else.
template <unsigned kFlags>
void BareParse(benchmark::State& state, Mix mix) {
  const std::vector<std::string>& texts = Batches(mix);
  size_t next = 0;
  for (auto _ : state) {
    rapidjson::Document doc;
    doc.Parse<kFlags>(texts[next].data(), texts[next].size());
    benchmark::DoNotOptimize(doc.HasParseError());
    next = (next + 1) % texts.size();
  }
  SetRates(state, texts);
}

// With the flag the program parses with, and with the library's defaults.
void BM_BareParseIterative(benchmark::State& state, Mix mix) {
  BareParse<rapidjson::kParseIterativeFlag>(state, mix);
}
void BM_BareParseDefault(benchmark::State& state, Mix mix) {
  BareParse<rapidjson::kParseDefaultFlags>(state, mix);
}

BENCHMARK_CAPTURE(BM_ParseAndDispatch, session, Mix::kSession);
BENCHMARK_CAPTURE(BM_BareParseIterative, session, Mix::kSession);
BENCHMARK_CAPTURE(BM_BareParseDefault, session, Mix::kSession);
BENCHMARK_CAPTURE(BM_ParseAndDispatch, quiet, Mix::kQuiet);
BENCHMARK_CAPTURE(BM_BareParseIterative, quiet, Mix::kQuiet);
BENCHMARK_CAPTURE(BM_ParseAndDispatch, logged, Mix::kLogged);
BENCHMARK_CAPTURE(BM_BareParseIterative, logged, Mix::kLogged);

}  // namespace
}  // namespace mv::bench

// The logged commands append to the log file: keep it in a private folder.
int main(int argc, char** argv) {
  std::string folder = (std::filesystem::temp_directory_path() / "mv-bench-XXXXXX").string();
  if (mkdtemp(folder.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  setenv("XDG_STATE_HOME", folder.c_str(), 1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(folder);
  return 0;
}
