// The diagnostic log: every notable event goes to the system log and is
// appended as "<date>  <message>\n" to MorrowvaneHelper.log in the user's
// state folder (${XDG_STATE_HOME:-$HOME/.local/state}/MorrowvaneHelper/).
// A file that would grow past kMaxLogFileBytes becomes MorrowvaneHelper.log.1
// (the one before goes) and a new file starts, so the log never holds more
// than twice that.
#pragma once

#include <string>
#include <string_view>

namespace mv {

// Never fails towards the caller; a line that cannot be written to the file
// is only in the system log. Safe to call from any thread: lines never
// interleave. Messages carry text from the server and from URLs, so they go
// through LogSafeText first.
void MVLogWrite(std::string_view message);

inline constexpr size_t kMaxLogFileBytes = 10 * 1024 * 1024;

// Longer messages are cut (on a character boundary) and marked as cut.
inline constexpr size_t kMaxLoggedBytes = 4096;

// `message` as one honest log line: cut to kMaxLoggedBytes, control
// characters written as \n, \r, \t or \xNN; bytes that are not UTF-8, line and
// paragraph separators and bidirectional controls as \xNN, so that no text can
// break a line, forge one or reorder what a reader sees.
std::string LogSafeText(std::string_view message);

// Where MVLogWrite appends, worked out afresh from the environment; empty
// when neither XDG_STATE_HOME nor a home folder is known.
std::string LogFilePath();

// The current time as the log renders it: "YYYY-MM-DD hh:mm:ss +0000" (UTC).
std::string LogTimestamp();

}  // namespace mv
