// Runs a fuzz target over saved inputs without libFuzzer, so that every build
// replays the regression inputs and seeds: every file in the folders given. A
// failed check aborts; no input at all fails too, since then nothing was
// checked.
#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz/FuzzCheck.h"

int main(int argc, char** argv) {
  size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string bytes{std::istreambuf_iterator<char>(in), {}};
      std::fprintf(stderr, "running %s (%zu bytes)\n", entry.path().c_str(), bytes.size());
      count += LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) == 0;
    }
  }
  return count > 0 ? 0 : 1;
}
