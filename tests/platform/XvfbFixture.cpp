#include "tests/platform/XvfbFixture.h"

#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

namespace mv::test {
namespace {

constexpr int kStartTimeoutMs = 15000;

// Waits up to `timeout` for the child to end; true when it has been reaped.
bool WaitForExit(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void Stop(pid_t pid) {
  kill(pid, SIGTERM);
  if (!WaitForExit(pid, std::chrono::seconds(5))) {
    kill(pid, SIGKILL);
    WaitForExit(pid, std::chrono::seconds(5));
  }
}

}  // namespace

std::unique_ptr<Xvfb> Xvfb::Start(const XvfbOptions& options, std::string* error) {
  int fds[2];
  if (pipe(fds) != 0) {
    if (error) *error = "pipe failed";
    return nullptr;
  }
  std::vector<std::string> args = {"Xvfb", "-displayfd", std::to_string(fds[1]),
                                    "-screen", "0",
                                    std::to_string(kScreenWidth) + "x" +
                                        std::to_string(kScreenHeight) + "x24",
                                    "-noreset", "-nolisten", "tcp"};
  if (!options.xtest) {
    args.push_back("-extension");
    args.push_back("XTEST");
  }
  args.insert(args.end(), options.extra_arguments.begin(), options.extra_arguments.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    if (error) *error = "fork failed";
    return nullptr;
  }
  if (pid == 0) {
    // The server must not outlive a test process that crashes.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    close(fds[0]);
    execvp("Xvfb", argv.data());
    _exit(127);
  }
  close(fds[1]);

  // The server writes its display number once it accepts connections.
  std::string number_text;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  while (number_text.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[32];
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    number_text.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (number_text.find('\n') == std::string::npos) {
    Stop(pid);
    if (error) *error = "Xvfb did not report a display number";
    return nullptr;
  }

  std::unique_ptr<Xvfb> server(new Xvfb(pid, std::stoi(number_text)));
  if (options.three_monitors) {
    const char* commands[] = {
        "xrandr --setmonitor LEFT 1280/340x1024/270+0+0 none",
        "xrandr --setmonitor '*MAIN' 1920/508x1080/286+1280+0 screen",
        "xrandr --setmonitor RIGHT 1280/338x1024/270+3200+0 none",
    };
    for (const char* command : commands) {
      if (server->Run(command) != 0) {
        if (error) *error = std::string("failed: ") + command;
        return nullptr;
      }
    }
  }
  return server;
}

// Appended rather than concatenated: GCC 12 at -O3 flags `":" + to_string`
// with a false -Wrestrict.
Xvfb::Xvfb(pid_t pid, int number)
    : pid_(pid), number_(number), display_name_(std::string(":").append(std::to_string(number))) {}

Xvfb::~Xvfb() { Stop(pid_); }

int Xvfb::Run(const std::string& command, std::string* output, int timeout_seconds) const {
  std::string line = "DISPLAY=" + display_name_ + " timeout -k 2 " +
                     std::to_string(timeout_seconds) + " sh -c '";
  for (char c : command) {
    if (c == '\'') {
      line += "'\\''";
    } else {
      line += c;
    }
  }
  line += "' </dev/null";
  FILE* pipe = popen(line.c_str(), "r");
  if (!pipe) return -1;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    if (output) output->append(buffer, n);
  }
  int status = pclose(pipe);
  if (status < 0 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

void Xvfb::ExportDisplay() const { setenv("DISPLAY", display_name_.c_str(), 1); }

void XvfbFixture::SetUp() {
  std::string error;
  server_ = Xvfb::Start(Options(), &error);
  ASSERT_TRUE(server_) << error;
  server_->ExportDisplay();
}

void XvfbFixture::TearDown() { server_.reset(); }

}  // namespace mv::test
