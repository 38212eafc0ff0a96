// Runs a fuzz target over saved inputs without libFuzzer, so that every build
// replays the regression inputs and seeds. Arguments are folders (every file
// inside) or files. A failed check aborts; no input at all fails too, since
// then nothing was checked.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

size_t Replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) std::fprintf(stderr, "cannot read %s\n", file.c_str()), std::exit(1);
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::fprintf(stderr, "running %s (%zu bytes)\n", file.c_str(), bytes.size());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  size_t count = 0;
  std::error_code ignored;  // a file is no folder
  for (int i = 1; i < argc; ++i) {
    if (!std::filesystem::is_directory(argv[i])) count += Replay(argv[i]);
    for (const auto& entry : std::filesystem::directory_iterator(argv[i], ignored)) count += Replay(entry.path());
  }
  std::fprintf(stderr, "%zu inputs ran\n", count);
  return count > 0 ? 0 : 1;
}
