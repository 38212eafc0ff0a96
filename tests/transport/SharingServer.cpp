#include "tests/transport/SharingServer.h"

#include <signal.h>
#include <strings.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include <rapidjson/document.h>

#include "base/Log.h"
#include "transport/Json.h"

namespace mv::test {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Made once per test process, removed at exit.
const std::string& CertDir() {
  static const TempDir dir;
  static const bool made = std::system(("bash '" MV_SOURCE_DIR "/tools/make-test-certs.sh' '" +
                                        dir.path + "' " + kTestHost).c_str()) == 0;
  EXPECT_TRUE(made) << "making test certificates failed";
  return dir.path;
}

}  // namespace

std::string RecordedRequest::Header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  }
  return "<absent>";
}

SharingServer::SharingServer(const std::string& script, const std::string& cert) {
  const std::string certs = CertDir() + "/" + cert, port_file = dir_.path + "/port",
                    script_file = dir_.path + "/script.json", record = dir_.path + "/record.jsonl";
  std::ofstream(script_file) << script;
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives this test process
    execl(MV_PYTHON, MV_PYTHON, MV_SOURCE_DIR "/tools/sharing_server.py", "--host", "127.0.0.1", "--port", "0",
          "--cert", (certs + ".pem").c_str(), "--key", (certs + ".key").c_str(), "--script", script_file.c_str(),
          "--record", record.c_str(), "--port-file", port_file.c_str(), nullptr);
    _exit(127);
  }
  WaitUntil([&] {
    port_ = std::atoi(ReadFile(port_file).c_str());
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;  // ended: nothing left to stop
    return port_ > 0 || pid_ < 0;
  });
  EXPECT_TRUE(ok()) << "the sharing server did not start";
}

SharingServer::~SharingServer() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::unique_ptr<LongPoll> SharingServer::Client(long idle_limit_seconds) const {
  const std::string connect_to = std::string(kTestHost) + ":443:127.0.0.1:" + std::to_string(port_);
  return std::make_unique<LongPoll>(kTestHost,
                                    LongPoll::TestTransport{CertDir() + "/ca.pem", connect_to, idle_limit_seconds});
}

std::vector<RecordedRequest> SharingServer::Requests(const std::string& type) const {
  std::vector<RecordedRequest> requests;
  std::istringstream lines(ReadFile(dir_.path + "/record.jsonl"));
  for (std::string line; std::getline(lines, line);) {
    rapidjson::Document doc;
    if (!ParseJson(line, doc) || JsonStr(doc, "kind", "") != "request") continue;
    RecordedRequest request{JsonInt(doc, "conn"), JsonStr(doc, "type", ""),
                            JsonStr(doc, "target", ""), JsonStr(doc, "body", ""), {}};
    if (!type.empty() && request.type != type) continue;
    for (const auto& pair : doc["headers"].GetArray()) {
      request.headers.emplace_back(pair[0].GetString(), pair[1].GetString());
    }
    requests.push_back(std::move(request));
  }
  return requests;
}

bool SharingServer::WaitForRequests(size_t count, const std::string& type) const {
  return WaitUntil([&] { return Requests(type).size() >= count; });
}

bool WaitUntil(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string LogFolderTest::LogText() const { return ReadFile(LogFilePath()); }

std::vector<std::string> LogFolderTest::LogMessages() const {
  constexpr size_t kDateAndGap = 27;  // "YYYY-MM-DD hh:mm:ss +0000  "
  std::vector<std::string> messages;
  std::istringstream lines(LogText());
  for (std::string line; std::getline(lines, line);) messages.push_back(line.substr(kDateAndGap));
  return messages;
}

}  // namespace mv::test
