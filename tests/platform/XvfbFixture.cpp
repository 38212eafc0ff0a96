#include "tests/platform/XvfbFixture.h"

#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace mv::test {

void XvfbFixture::SetUp() {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::vector<std::string> args = {"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                                   "4480x1440x24", "-noreset", "-nolisten", "tcp"};
  if (!WithXTest()) args.insert(args.end(), {"-extension", "XTEST"});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // The server must not outlive a test process that crashes.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    close(fds[0]);
    execvp("Xvfb", argv.data());
    _exit(127);
  }
  close(fds[1]);
  // The server writes its display number once it accepts connections.
  std::string number;
  char c = 0;
  pollfd p{fds[0], POLLIN, 0};
  while (c != '\n' && poll(&p, 1, 15000) > 0 && read(fds[0], &c, 1) == 1) number += c;
  close(fds[0]);
  ASSERT_EQ(c, '\n') << "Xvfb did not report a display number";
  display_name_ = std::string(":").append(number, 0, number.size() - 1);  // GCC 12 -O3 flags ":" + s (-Wrestrict)
  setenv("DISPLAY", display_name_.c_str(), 1);
  for (const char* command : {"xrandr --setmonitor LEFT 1280/340x1024/270+0+0 none",
                              "xrandr --setmonitor '*MAIN' 1920/508x1080/286+1280+0 screen",
                              "xrandr --setmonitor RIGHT 1280/338x1024/270+3200+0 none"}) {
    ASSERT_EQ(Run(command), 0) << command;
  }
}

void XvfbFixture::TearDown() {
  if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
}

int XvfbFixture::Run(const std::string& command, std::string* output) const {
  std::string line = "timeout -k 2 10 sh -c '";
  for (char c : command) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
  FILE* pipe = popen((line + "' </dev/null").c_str(), "r");
  if (!pipe) return -1;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    if (output) output->append(buffer, n);
  }
  const int status = pclose(pipe);
  return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace mv::test
