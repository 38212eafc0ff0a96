// The diagnostic log: every notable event goes to the system log and is
// appended as "<date>  <message>\n" to MorrowvaneHelper.log in the user's
// state folder (${XDG_STATE_HOME:-$HOME/.local/state}/MorrowvaneHelper/).
#pragma once

#include <string>
#include <string_view>

namespace mv {

// Never fails towards the caller; a line that cannot be written to the file
// is only in the system log. Safe to call from any thread: lines never
// interleave.
void MVLogWrite(std::string_view message);

// Where MVLogWrite appends, worked out afresh from the environment; empty
// when neither XDG_STATE_HOME nor a home folder is known.
std::string LogFilePath();

// The current time as the log renders it: "YYYY-MM-DD hh:mm:ss +0000" (UTC).
std::string LogTimestamp();

}  // namespace mv
