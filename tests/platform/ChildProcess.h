// A helper process for tests: its standard output read line by line with
// bounded waits, its standard input held open until it is stopped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mv::test {

class ChildProcess {
 public:
  // Nothing when the program cannot be started. `display` becomes DISPLAY.
  static std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& argv,
                                             const std::string& display);
  ~ChildProcess();  // closes its input, then ends it (SIGKILL after a grace period)
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line of its output without the newline; nothing when none came
  // within `timeout` or the output ended.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  pid_t Pid() const { return pid_; }

 private:
  ChildProcess(pid_t pid, int input, int output) : pid_(pid), input_(input), output_(output) {}
  pid_t pid_;
  int input_;
  int output_;
  std::string buffered_;
};

}  // namespace mv::test
