#include "platform/StateFile.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace mv {
namespace {

// Creates every missing folder of `path` with mode 0700, as the XDG base
// directory convention asks for the state home.
void MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return;
    if (slash == std::string::npos) return;
  }
}

// The path of state file `name`; empty for a name that would leave the folder.
std::string StatePath(const std::string& name, std::string* problem) {
  const std::string folder = StateFolder();
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    *problem = "not a file name: " + name;
    return {};
  }
  if (folder.empty()) *problem = "no state folder (neither XDG_STATE_HOME nor a home folder)";
  return folder.empty() ? folder : folder + "/" + name;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

std::string StateFolder() {
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/') {
    return std::string(state) + "/MorrowvaneHelper";
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    const passwd* pw = getpwuid(getuid());
    home = pw ? pw->pw_dir : nullptr;
  }
  if (home == nullptr || home[0] == '\0') return {};
  return std::string(home) + "/.local/state/MorrowvaneHelper";
}

int OpenPrivateFile(const std::string& path, int flags, std::string* problem) {
  flags |= O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = open(path.c_str(), flags & ~O_CREAT);
  if (fd < 0 && errno == ENOENT && (flags & O_CREAT)) {
    MakeFolders(path.substr(0, path.rfind('/')));
    fd = open(path.c_str(), flags, 0600);
  }
  if (fd < 0) {
    // A missing file or folder is not worth a word.
    if (errno != ENOENT && errno != ENOTDIR) *problem = std::strerror(errno);
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    *problem = "not a regular file of this user";
  } else if ((st.st_mode & 07777) != 0600 && fchmod(fd, 0600) != 0) {
    *problem = std::strerror(errno);
  } else {
    return fd;
  }
  close(fd);
  return -1;
}

std::optional<std::string> ReadStateFile(const std::string& name, size_t max_bytes,
                                         std::string* problem) {
  std::string ignored;
  if (problem == nullptr) problem = &ignored;
  problem->clear();
  const std::string path = StatePath(name, problem);
  if (path.empty()) return std::nullopt;
  const int fd = OpenPrivateFile(path, O_RDONLY, problem);
  if (fd < 0) return std::nullopt;
  std::string contents;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) *problem = std::strerror(errno);
    if (n <= 0) break;
    contents.append(buffer, static_cast<size_t>(n));
    if (contents.size() > max_bytes) {
      *problem = "larger than " + std::to_string(max_bytes) + " bytes";
      break;
    }
  }
  close(fd);
  if (!problem->empty()) return std::nullopt;
  return contents;
}

bool WriteStateFile(const std::string& name, std::string_view contents, std::string* problem) {
  std::string ignored;
  if (problem == nullptr) problem = &ignored;
  problem->clear();
  const std::string path = StatePath(name, problem);
  if (path.empty()) return false;
  const std::string folder = path.substr(0, path.rfind('/'));
  MakeFolders(folder);
  // mkstemp makes the file 0600 and never opens an existing path.
  std::string temporary = folder + "/." + name + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    *problem = std::strerror(errno);
    return false;
  }
  const bool written = WriteAll(fd, contents) && fsync(fd) == 0;
  if (!written) *problem = std::strerror(errno);
  if (close(fd) != 0 && written) *problem = std::strerror(errno);
  if (problem->empty() && rename(temporary.c_str(), path.c_str()) != 0) {
    *problem = std::strerror(errno);
  }
  if (!problem->empty()) {
    unlink(temporary.c_str());
    return false;
  }
  // The rename itself lasts only once the folder is on disk.
  if (const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

bool RemoveStateFile(const std::string& name) {
  std::string problem;
  const std::string path = StatePath(name, &problem);
  return !path.empty() && (unlink(path.c_str()) == 0 || errno == ENOENT);
}

}  // namespace mv
