// A private Xvfb server for tests that need a real X display.
//
// Each server picks a free display number itself (-displayfd), so test
// processes running in parallel never collide, and is started with -noreset
// so that the pointer, the clipboard and the monitor layout survive clients
// coming and going. The server is killed with the test process at the latest.
//
// The three-monitor layout on the 4480x1440 screen, in root coordinates:
// LEFT 1280x1024 at (0,0), MAIN 1920x1080 at (1280,0) bound to the output
// "screen" and primary, RIGHT 1280x1024 at (3200,0). In global display space
// (root minus MAIN's origin) LEFT starts at x = -1280 and RIGHT at x = 1920.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>

namespace mv::test {

inline constexpr int kScreenWidth = 4480;
inline constexpr int kScreenHeight = 1440;

// Waits up to ten seconds until `done` holds; false when it never does.
template <typename F>
bool WaitFor(F done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// One server per test, its name exported as DISPLAY; the test fails at
// set-up when it does not start. Override WithXTest() for a server without it.
class XvfbFixture : public ::testing::Test {
 protected:
  virtual bool WithXTest() const { return true; }
  void SetUp() override;
  void TearDown() override;
  const std::string& DisplayName() const { return display_name_; }

  // Runs a shell command on this display, bounded to ten seconds; answers its
  // exit status and, when `output` is given, its standard output.
  int Run(const std::string& command, std::string* output = nullptr) const;

 private:
  pid_t pid_ = -1;
  std::string display_name_;
};

}  // namespace mv::test
