// What the fuzz targets share: the entry point libFuzzer and the replay call,
// a check that ends the run loudly (so both count it as a finding), and a way
// to keep the log lines the code under test writes out of the user's log file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

#define MV_FUZZ_CHECK(c) \
  ((c) ? void() : (std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", __FILE__, __LINE__, #c), std::abort()))

namespace mv::fuzz {

// No log file can be made under /dev/null: the log says so once, on stderr,
// and goes on, so a long run neither fills the disk nor touches the user's.
inline void DiscardLogFile() {
  static const bool discarded = setenv("XDG_STATE_HOME", "/dev/null", 1) == 0;
  MV_FUZZ_CHECK(discarded);
}

}  // namespace mv::fuzz
