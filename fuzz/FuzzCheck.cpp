#include "fuzz/FuzzCheck.h"

#include <filesystem>
#include <string>

#include "app/Log.h"

namespace mv::fuzz {
namespace {

struct PrivateFolder {
  std::filesystem::path path;

  PrivateFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mv-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    path = pattern;
    setenv("XDG_STATE_HOME", path.c_str(), 1);
  }
  ~PrivateFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

}  // namespace

void UsePrivateLogFolder() {
  static PrivateFolder folder;
  static unsigned calls = 0;
  if (++calls % 4096 == 0) {
    std::error_code ignored;
    std::filesystem::remove(LogFilePath(), ignored);
  }
}

}  // namespace mv::fuzz
