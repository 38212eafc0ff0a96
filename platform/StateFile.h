// Private state files of the program: a few small files in the user's state
// folder that only this user can read, kept safe from a hostile path (a
// symlink, a FIFO, another user's file) left where they belong.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace mv {

// ${XDG_STATE_HOME:-$HOME/.local/state}/MorrowvaneHelper (a relative
// XDG_STATE_HOME is ignored, as XDG says); empty when unknown.
std::string StateFolder();

// A private state file in that folder: no symlink followed (O_NOFOLLOW),
// non-blocking open (a FIFO never blocks), only a regular file owned by this
// user; nothing when missing or refused (the reason in *problem, which stays
// empty when the file is just missing); at most max_bytes, a larger file is
// refused.
std::optional<std::string> ReadStateFile(const std::string& name, size_t max_bytes,
                                         std::string* problem = nullptr);

// Replaced atomically (temporary file in the same folder, fsync, rename),
// mode 0600, missing folders made 0700.
bool WriteStateFile(const std::string& name, std::string_view contents,
                    std::string* problem = nullptr);

// True when the file is gone afterwards (also when it never existed).
bool RemoveStateFile(const std::string& name);

// The one open of every private file: `flags` plus O_NOFOLLOW, O_NONBLOCK
// and O_CLOEXEC; with O_CREAT, missing folders are made 0700 and the file
// 0600. Only a regular file of this user is kept, a looser mode is mended.
// A descriptor, or -1 with the reason in *problem (empty when the file or
// its folder is just missing).
int OpenPrivateFile(const std::string& path, int flags, std::string* problem);

}  // namespace mv
