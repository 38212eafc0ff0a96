// The scripted sharing server (tools/sharing_server.py) as a child process on
// 127.0.0.1, reached by the client as kTestHost with verification on, and a
// fixture giving each test its own diagnostic log folder.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "transport/LongPoll.h"

namespace mv::test {

inline constexpr const char* kTestHost = "test.morrowvane.com";

// A fresh folder, removed with everything in it when the object goes.
struct TempDir {
  TempDir() { path.resize(mkdtemp(path.data()) ? path.size() : 0); }
  ~TempDir() { std::filesystem::remove_all(path, ignored); }
  std::string path = (std::filesystem::temp_directory_path() / "mv-transport-XXXXXX").string();
  std::error_code ignored;
};

// One request as the server recorded it.
struct RecordedRequest {
  int conn = 0;
  std::string type;  // handshake, poll, post, other
  std::string target;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // The first header named `name` (case-insensitive), or "<absent>".
  std::string Header(const std::string& name) const;
};

class SharingServer {
 public:
  // `script` is JSON text; `cert` a pair made by tools/make-test-certs.sh.
  explicit SharingServer(const std::string& script = "{}", const std::string& cert = "server");
  ~SharingServer();
  bool ok() const { return port_ > 0; }
  std::unique_ptr<LongPoll> Client(long idle_limit_seconds = 30) const;
  // Every recorded request, or those of `type`.
  std::vector<RecordedRequest> Requests(const std::string& type = "") const;
  // Waits (bounded) for at least `count` requests of `type`.
  bool WaitForRequests(size_t count, const std::string& type) const;

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// Polls `condition` for up to 20 s; answers the last result.
bool WaitUntil(const std::function<bool()>& condition);

class LogFolderTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("XDG_STATE_HOME", state_home_.path.c_str(), 1); }
  // The log file's messages without their dates, in order.
  std::vector<std::string> LogMessages() const;
  std::string LogText() const;
  // A client of `server` holding a session.
  std::unique_ptr<LongPoll> Session(const SharingServer& server, long idle_limit_seconds = 30) {
    EXPECT_TRUE(server.ok());
    auto client = server.Client(idle_limit_seconds);
    EXPECT_TRUE(client->initSession("0123abcd"));
    return client;
  }

 private:
  TempDir state_home_;
};

}  // namespace mv::test
