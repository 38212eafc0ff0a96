// A private Xvfb per test, its name exported as DISPLAY. It picks a free
// display number itself (-displayfd), so parallel tests never collide; it
// runs with -noreset so that the pointer, the clipboard and the monitor
// layout survive clients coming and going, and dies with the test process.
//
// The three-monitor layout on the 4480x1440 screen, in root coordinates:
// LEFT 1280x1024 at (0,0), MAIN 1920x1080 at (1280,0) bound to the output
// "screen" and primary, RIGHT 1280x1024 at (3200,0). In global display space
// (root minus MAIN's origin) LEFT starts at x = -1280 and RIGHT at x = 1920.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>

namespace mv::test {

inline constexpr int kScreenWidth = 4480, kScreenHeight = 1440;

// Waits up to ten seconds until `done` holds; false when it never does.
template <typename F>
bool WaitFor(F done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
  return true;
}

// Runs a shell command, bounded to ten seconds; answers its exit status and,
// when `output` is given, its standard output.
inline int Shell(const std::string& command, std::string* output = nullptr) {
  std::string line = "timeout -k 2 10 sh -c '";
  for (char c : command) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
  FILE* pipe = popen((line + "' </dev/null").c_str(), "re");
  if (!pipe) return -1;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    if (output) output->append(buffer, n);
  }
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class XvfbFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    // The shell's pid is the server's once it execs; the server reports its
    // display number on standard output when it accepts connections.
    server_ = popen(("echo $$; exec setpriv --pdeathsig KILL Xvfb -displayfd 1 -screen 0 4480x1440x24 "
                     "-noreset -nolisten tcp" + std::string(with_xtest_ ? "" : " -extension XTEST")).c_str(), "re");
    int number = -1;
    ASSERT_TRUE(server_ && fscanf(server_, "%d %d", &pid_, &number) == 2) << "Xvfb did not start";
    display_name_ = std::string(":").append(std::to_string(number));
    setenv("DISPLAY", display_name_.c_str(), 1);
    for (const char* command : {"xrandr --setmonitor LEFT 1280/340x1024/270+0+0 none",
                                "xrandr --setmonitor '*MAIN' 1920/508x1080/286+1280+0 screen",
                                "xrandr --setmonitor RIGHT 1280/338x1024/270+3200+0 none"}) {
      ASSERT_EQ(Shell(command), 0) << command;
    }
  }
  void TearDown() override {
    if (pid_ > 0) kill(pid_, SIGKILL);
    if (server_) pclose(server_);
  }
  const std::string& DisplayName() const { return display_name_; }

  bool with_xtest_ = true;  // set in a derived constructor for a server without XTEST

 private:
  FILE* server_ = nullptr;
  int pid_ = -1;
  std::string display_name_;
};

}  // namespace mv::test
