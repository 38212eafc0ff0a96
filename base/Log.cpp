#include "base/Log.h"

#include <fcntl.h>
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
#include "platform/StateFile.h"
#include "base/Utf8.h"

namespace mv {
namespace {

constexpr std::string_view kFileName = "MorrowvaneHelper.log";

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

void ReportSkippedFileOnce(const std::string& path, const std::string& problem) {
  static std::atomic<bool> reported{false};
  if (reported.exchange(true)) return;
  std::fprintf(stderr, "morrowvane-helper: not writing the log file %s: %s\n", path.c_str(),
               problem.c_str());
}

}  // namespace

std::string LogFilePath() {
  const std::string folder = StateFolder();
  if (folder.empty()) return {};
  return folder + "/" + std::string(kFileName);
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
    // Line and paragraph separators and bidirectional controls split or
    // reorder what a reader sees.
    if (length == 3 && byte == 0xE2) {
      const auto second = static_cast<unsigned char>(kept[i + 1]);
      const auto third = static_cast<unsigned char>(kept[i + 2]);
      if ((second == 0x80 && third >= 0xA8 && third <= 0xAE) ||
          (second == 0x81 && third >= 0xA6 && third <= 0xA9)) {
        for (size_t k = 0; k < 3; ++k) AppendHex(out, static_cast<unsigned char>(kept[i + k]));
        i += 3;
        continue;
      }
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
  constexpr int kAppend = O_WRONLY | O_APPEND | O_CREAT;
  int fd = OpenPrivateFile(path, kAppend, &problem);
  struct stat st {};
  if (fd >= 0 && fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) + line.size() > kMaxLogFileBytes) {
    // The full file becomes the previous one (replacing whatever was at that
    // name, never following it) and a new one starts.
    close(fd);
    fd = -1;
    if (rename(path.c_str(), (path + ".1").c_str()) != 0) {
      problem = std::strerror(errno);
    } else {
      fd = OpenPrivateFile(path, kAppend, &problem);
    }
  }
  if (fd < 0) {
    if (!problem.empty()) ReportSkippedFileOnce(path, problem);
    return;
  }
  // One write: a short one on a regular file means the disk is full.
  (void)!write(fd, line.data(), line.size());
  close(fd);
}

}  // namespace mv
