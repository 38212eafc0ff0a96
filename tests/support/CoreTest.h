// A fixture for tests of the command path without a desktop: installs the
// recording fake platform and a recording server connection, and puts the
// process-wide state (gate, hot key, overlays, monitor model) back to its
// start values around each test.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "commands/QuitHotKey.h"
#include "input/InputGate.h"
#include "platform/fake/FakePlatform.h"
#include "screen/BorderOverlay.h"
#include "screen/DetectWindows.h"
#include "screen/Monitors.h"
#include "tests/support/ResetCoreState.h"
#include "transport/AgentMessage.h"
#include "transport/Json.h"

namespace mv::test {

// Records every body SendToAgent hands over.
class RecordingConnection final : public AgentConnection {
 public:
  void postBodyAsync(const std::string& body) override {
    std::lock_guard lock(mutex_);
    bodies_.push_back(body);
  }
  std::vector<std::string> bodies() const {
    std::lock_guard lock(mutex_);
    return bodies_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> bodies_;
};

class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetCurrentPlatform(&platform);
    SetAgentConnection(&connection);
    SetDisplays({{0, 0, 1440, 900}});
  }

  void TearDown() override { ResetCoreState(); }

  // Sets the fake's displays and re-reads them into the monitor model.
  void SetDisplays(std::vector<Rect> displays) {
    platform.displays = std::move(displays);
    Monitors* monitors = GetMonitors();
    monitors->selected = 0;
    monitors->Enumerate();
  }

  // Parses `batch_json` and runs it through the dispatcher.
  void Dispatch(const std::string& batch_json);

  // Runs one command payload given as JSON text.
  void Command(const std::string& payload_json) {
    Dispatch(R"({"messages":[{"payload":)" + payload_json + "}]}");
  }

  // The payloads sent so far, each as compact JSON text (envelope checked).
  std::vector<std::string> SentPayloads() const;

  // Opens the gate as a successful "initcheck" would.
  void OpenGate() { g_is_accepting_input = true; }

  FakePlatform platform;
  RecordingConnection connection;
};

}  // namespace mv::test
