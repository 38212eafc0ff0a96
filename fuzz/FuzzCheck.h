// What the fuzz targets share: a check that ends the run loudly (so libFuzzer
// and the replay both count it as a finding) and a private state folder, so
// that the log lines the code under test writes stay out of the user's.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace mv::fuzz {

[[noreturn]] inline void CheckFailed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, condition);
  std::abort();
}

#define MV_FUZZ_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::mv::fuzz::CheckFailed(#condition, __FILE__, __LINE__))

// Points XDG_STATE_HOME at a fresh temporary folder (once per process) and
// removes the log file in it every few thousand calls, so a long run does not
// fill the disk. The folder goes when the process ends normally.
void UsePrivateLogFolder();

}  // namespace mv::fuzz
