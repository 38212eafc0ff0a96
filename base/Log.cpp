#include "base/Log.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/Platform.h"
#include "base/Utf8.h"

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

// Appends `byte` as \xNN.
void AppendHex(std::string& out, unsigned char byte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0xF];
}

// Opens the log file for appending, creating it when missing. Only a regular
// file of this user is written to: a symlink, a FIFO or a stranger's file at
// the path would send the lines elsewhere or block the program.
int OpenLogFile(const std::string& path, std::string* problem) {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  int fd = open(path.c_str(), kFlags);
  if (fd < 0 && errno == ENOENT) {
    MakeFolders(path.substr(0, path.rfind('/')));
    fd = open(path.c_str(), kFlags | O_CREAT, 0600);
  }
  if (fd < 0) {
    // A missing folder that cannot be made is not worth a word.
    if (errno != ENOENT && errno != ENOTDIR) *problem = std::strerror(errno);
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    *problem = "not a regular file of this user";
  } else if ((st.st_mode & 07777) != 0600 && fchmod(fd, 0600) != 0) {
    *problem = std::strerror(errno);
  } else {
    return fd;
  }
  close(fd);
  return -1;
}

void ReportSkippedFileOnce(const std::string& path, const std::string& problem) {
  static std::atomic<bool> reported{false};
  if (reported.exchange(true)) return;
  std::fprintf(stderr, "morrowvane-helper: not writing the log file %s: %s\n", path.c_str(),
               problem.c_str());
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

std::string LogSafeText(std::string_view message) {
  std::string_view kept = message;
  if (kept.size() > kMaxLoggedBytes) {
    size_t cut = kMaxLoggedBytes;
    // Never end inside a character: its first bytes would read as invalid.
    for (size_t back = 1; back <= 3; ++back) {
      const size_t start = cut - back;
      if ((static_cast<unsigned char>(message[start]) & 0xC0) != 0x80) {
        if (start + Utf8SequenceLength(message, start) > cut) cut = start;
        break;
      }
    }
    kept = message.substr(0, cut);
  }
  std::string out;
  out.reserve(kept.size());
  for (size_t i = 0; i < kept.size();) {
    const auto byte = static_cast<unsigned char>(kept[i]);
    const size_t length = Utf8SequenceLength(kept, i);
    // C1 controls (U+0080..U+009F, NEL among them) break lines for some readers.
    if (length == 2 && byte == 0xC2 && static_cast<unsigned char>(kept[i + 1]) < 0xA0) {
      AppendHex(out, byte);
      AppendHex(out, static_cast<unsigned char>(kept[i + 1]));
      i += 2;
      continue;
    }
    if (length > 1) {
      out.append(kept.substr(i, length));
      i += length;
      continue;
    }
    if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\r') {
      out += "\\r";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (length == 0 || byte < 0x20 || byte == 0x7F) {
      AppendHex(out, byte);
    } else {
      out += static_cast<char>(byte);
    }
    ++i;
  }
  if (kept.size() < message.size()) {
    out += " [cut at " + std::to_string(kept.size()) + " of " + std::to_string(message.size()) +
           " bytes]";
  }
  return out;
}

void MVLogWrite(std::string_view raw_message) {
  const std::string message = LogSafeText(raw_message);
  if (Platform* platform = CurrentPlatform()) platform->WriteSystemLog(message);

  const std::string path = LogFilePath();
  if (path.empty()) return;
  std::string line = LogTimestamp();
  line.append("  ").append(message).append("\n");

  std::lock_guard lock(FileMutex());
  std::string problem;
  const int fd = OpenLogFile(path, &problem);
  if (fd < 0) {
    if (!problem.empty()) ReportSkippedFileOnce(path, problem);
    return;
  }
  WriteAll(fd, line);
  close(fd);
}

}  // namespace mv
