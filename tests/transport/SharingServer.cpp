#include "tests/transport/SharingServer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <rapidjson/document.h>

#include "app/Log.h"
#include "transport/Json.h"

namespace mv::test {
namespace {

using namespace std::chrono_literals;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool Lower(std::string a, std::string b) {
  auto lower = [](std::string& s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  };
  lower(a);
  lower(b);
  return a == b;
}

// Runs the child with stdout and stderr appended to `log`; it gets SIGTERM
// should this test process die first.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& log) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(127);
  const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (fd >= 0) {
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
  }
  execv(args[0], args.data());
  _exit(127);
}

// Waits for the child (bounded); kills it when it does not end in time.
void Reap(pid_t pid) {
  for (auto deadline = std::chrono::steady_clock::now() + 10s;
       std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(10ms)) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

struct Certificates {
  TempDir dir;
  Certificates() {
    const std::string command = "bash '" MV_SOURCE_DIR "/tools/make-test-certs.sh' '" + dir.path() +
                                "' " + kTestHost;
    if (std::system(command.c_str()) != 0) ADD_FAILURE() << "making test certificates failed";
  }
};

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "mv-transport-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

const std::string& CertDir() {
  static Certificates certificates;
  return certificates.dir.path();
}

std::string RecordedRequest::Header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (Lower(key, name)) return value;
  }
  return "<absent>";
}

SharingServer::SharingServer(const std::string& script, const std::string& cert) {
  const std::string& certs = CertDir();
  const std::string script_path = dir_.path() + "/script.json";
  const std::string port_path = dir_.path() + "/port";
  std::ofstream(script_path) << script;
  pid_ = Spawn({MV_PYTHON, MV_SOURCE_DIR "/tools/sharing_server.py", "--host", "127.0.0.1", "--port",
                "0", "--cert", certs + "/" + cert + ".pem", "--key", certs + "/" + cert + ".key",
                "--script", script_path, "--record", dir_.path() + "/record.jsonl", "--port-file",
                port_path},
               dir_.path() + "/server.log");
  if (pid_ < 0) return;
  WaitUntil([&] {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return true;
    }
    port_ = std::atoi(ReadFile(port_path).c_str());
    return port_ > 0;
  });
  if (!ok()) ADD_FAILURE() << "the sharing server did not start:\n" << Output();
}

SharingServer::~SharingServer() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  Reap(pid_);
}

LongPoll::TestTransport SharingServer::Transport(long idle_limit_seconds) const {
  return {CertDir() + "/ca.pem",
          std::string(kTestHost) + ":443:127.0.0.1:" + std::to_string(port_),
          idle_limit_seconds};
}

std::unique_ptr<LongPoll> SharingServer::Client(long idle_limit_seconds) const {
  return std::make_unique<LongPoll>(kTestHost, Transport(idle_limit_seconds));
}

std::vector<RecordedRequest> SharingServer::Requests() const {
  std::vector<RecordedRequest> requests;
  std::istringstream lines(ReadFile(dir_.path() + "/record.jsonl"));
  for (std::string line; std::getline(lines, line);) {
    rapidjson::Document doc;
    if (!ParseJson(line, doc) || JsonStr(doc, "kind", "") != "request") continue;
    RecordedRequest request;
    request.conn = JsonInt(doc, "conn");
    request.type = JsonStr(doc, "type", "");
    request.method = JsonStr(doc, "method", "");
    request.target = JsonStr(doc, "target", "");
    request.body = JsonStr(doc, "body", "");
    request.body_size = JsonInt(doc, "body_size");
    for (const auto& pair : doc["headers"].GetArray()) {
      request.headers.emplace_back(pair[0].GetString(), pair[1].GetString());
    }
    requests.push_back(std::move(request));
  }
  return requests;
}

std::vector<RecordedRequest> SharingServer::Requests(const std::string& type) const {
  std::vector<RecordedRequest> matching;
  for (RecordedRequest& request : Requests()) {
    if (request.type == type) matching.push_back(std::move(request));
  }
  return matching;
}

int SharingServer::TlsHandshakes(bool succeeded) const {
  int count = 0;
  std::istringstream lines(ReadFile(dir_.path() + "/record.jsonl"));
  for (std::string line; std::getline(lines, line);) {
    rapidjson::Document doc;
    if (ParseJson(line, doc) && JsonStr(doc, "kind", "") == "connection" &&
        (JsonStr(doc, "tls", "") == "ok") == succeeded) {
      ++count;
    }
  }
  return count;
}

bool SharingServer::WaitForRequests(size_t count, const std::string& type) const {
  return WaitUntil([&] { return (type.empty() ? Requests() : Requests(type)).size() >= count; });
}

std::string SharingServer::Output() const { return ReadFile(dir_.path() + "/server.log"); }

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

std::string JsonQuoted(const std::string& text) {
  return ToJsonString(rapidjson::Value(rapidjson::StringRef(text.data(), text.size())));
}

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 0xF]);
  }
  return out;
}

int UnusedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

void LogFolderTest::SetUp() {
  state_home_ = std::make_unique<TempDir>();
  if (const char* saved = std::getenv("XDG_STATE_HOME")) {
    saved_ = saved;
    had_saved_ = true;
  }
  setenv("XDG_STATE_HOME", state_home_->path().c_str(), 1);
}

void LogFolderTest::TearDown() {
  if (had_saved_) {
    setenv("XDG_STATE_HOME", saved_.c_str(), 1);
  } else {
    unsetenv("XDG_STATE_HOME");
  }
  state_home_.reset();
}

std::string LogFolderTest::LogText() const { return ReadFile(LogFilePath()); }

std::vector<std::string> LogFolderTest::LogMessages() const {
  // Each line: "YYYY-MM-DD hh:mm:ss +0000  message".
  constexpr size_t kDateAndGap = 27;
  std::vector<std::string> messages;
  std::istringstream lines(LogText());
  for (std::string line; std::getline(lines, line);) {
    messages.push_back(line.size() >= kDateAndGap ? line.substr(kDateAndGap) : line);
  }
  return messages;
}

}  // namespace mv::test
