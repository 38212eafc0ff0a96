// A private Xvfb server for tests that need a real X display.
//
// Each server picks a free display number itself (-displayfd), so test
// processes running in parallel never collide, and is started with -noreset
// so that the pointer, the clipboard and the monitor layout survive clients
// coming and going. The server is killed with the test process at the latest.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace mv::test {

struct XvfbOptions {
  bool xtest = true;           // false: start with -extension XTEST
  bool three_monitors = true;  // the LEFT, MAIN (primary), RIGHT layout below
  std::vector<std::string> extra_arguments;  // more Xvfb options, e.g. {"-extension", "RANDR"}
};

// The three-monitor layout on the 4480x1440 screen, in root coordinates:
// LEFT 1280x1024 at (0,0), MAIN 1920x1080 at (1280,0) bound to the output
// "screen" and primary, RIGHT 1280x1024 at (3200,0). In global display space
// (root minus MAIN's origin) LEFT starts at x = -1280 and RIGHT at x = 1920.
inline constexpr int kScreenWidth = 4480;
inline constexpr int kScreenHeight = 1440;
inline constexpr int kMainRootX = 1280;

class Xvfb {
 public:
  // Nothing (and a message in *error) when the server did not come up.
  static std::unique_ptr<Xvfb> Start(const XvfbOptions& options, std::string* error);
  ~Xvfb();  // stops the server
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  const std::string& DisplayName() const { return display_name_; }  // ":N"
  int DisplayNumber() const { return number_; }

  // Runs a shell command with DISPLAY set to this server, bounded to
  // `timeout_seconds`; answers its exit status and, when `output` is given,
  // its standard output.
  int Run(const std::string& command, std::string* output = nullptr,
          int timeout_seconds = 10) const;

  // Sets DISPLAY in this process's environment to this server.
  void ExportDisplay() const;

 private:
  Xvfb(pid_t pid, int number);
  pid_t pid_;
  int number_;
  std::string display_name_;
};

// One server per test; the test fails at set-up when it does not start.
// Override Options() in a derived fixture for another configuration.
class XvfbFixture : public ::testing::Test {
 protected:
  virtual XvfbOptions Options() const { return {}; }
  void SetUp() override;
  void TearDown() override;
  Xvfb& Server() { return *server_; }
  const std::string& DisplayName() const { return server_->DisplayName(); }

 private:
  std::unique_ptr<Xvfb> server_;
};

}  // namespace mv::test
