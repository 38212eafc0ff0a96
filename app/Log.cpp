#include "app/Log.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "platform/Platform.h"

namespace mv {
namespace {

constexpr std::string_view kFolderName = "MorrowvaneHelper";
constexpr std::string_view kFileName = "MorrowvaneHelper.log";

std::string StateHome() {
  // XDG: a relative XDG_STATE_HOME is invalid and must be ignored.
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/') return state;
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    const passwd* pw = getpwuid(getuid());
    home = pw ? pw->pw_dir : nullptr;
  }
  if (home == nullptr || home[0] == '\0') return {};
  return std::string(home) + "/.local/state";
}

// Creates every missing folder of `path` with mode 0700, as the XDG base
// directory convention asks for the state home.
void MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return;
    if (slash == std::string::npos) return;
  }
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::mutex& FileMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

std::string LogFilePath() {
  const std::string state = StateHome();
  if (state.empty()) return {};
  return state + "/" + std::string(kFolderName) + "/" + std::string(kFileName);
}

std::string LogTimestamp() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[40];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &utc);
  return std::string(text, n);
}

void MVLogWrite(std::string_view message) {
  if (Platform* platform = CurrentPlatform()) platform->WriteSystemLog(message);

  const std::string path = LogFilePath();
  if (path.empty()) return;
  std::string line = LogTimestamp();
  line.append("  ").append(message).append("\n");

  std::lock_guard lock(FileMutex());
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    MakeFolders(path.substr(0, path.rfind('/')));
    fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  }
  if (fd < 0) return;
  WriteAll(fd, line);
  close(fd);
}

}  // namespace mv
