// What the fuzz targets share: a check that ends the run loudly (so libFuzzer
// and the replay both count it as a finding) and a private state folder, so
// that the log lines the code under test writes stay out of the user's.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/Log.h"

#define MV_FUZZ_CHECK(condition)                                                       \
  ((condition) ? static_cast<void>(0)                                                  \
               : (std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", __FILE__, __LINE__, \
                               #condition),                                            \
                  std::abort()))

namespace mv::fuzz {

// A fresh XDG_STATE_HOME, removed when the process ends normally; the log in
// it is emptied every few thousand calls, so a long run does not fill the disk.
struct PrivateLogFolder {
  std::string path = (std::filesystem::temp_directory_path() / "mv-fuzz-XXXXXX").string();
  PrivateLogFolder() { MV_FUZZ_CHECK(mkdtemp(path.data()) && setenv("XDG_STATE_HOME", path.c_str(), 1) == 0); }
  ~PrivateLogFolder() { std::filesystem::remove_all(path, ignored); }
  std::error_code ignored;
};

inline void UsePrivateLogFolder() {
  static PrivateLogFolder folder;
  static unsigned calls = 0;
  if (++calls % 4096 == 0) std::filesystem::remove(LogFilePath(), folder.ignored);
}

}  // namespace mv::fuzz
