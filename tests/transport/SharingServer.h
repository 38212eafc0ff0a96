// Test support for the long-poll client: the scripted sharing server
// (tools/sharing_server.py) as a child process on 127.0.0.1 with an ephemeral
// port, certificates made once per test process, and readers for the
// server's record and the diagnostic log.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "transport/LongPoll.h"

namespace mv::test {

inline constexpr const char* kTestHost = "test.morrowvane.com";

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Folder holding the certificates of tools/make-test-certs.sh (made on first
// use, removed at exit): ca.pem, server.*, wronghost.*, rogue-ca.pem, rogue.*.
const std::string& CertDir();

// One request as the server recorded it.
struct RecordedRequest {
  int conn = 0;
  std::string type;    // handshake, poll, post, other
  std::string method;
  std::string target;  // path and query as sent
  std::string body;
  long body_size = 0;
  std::vector<std::pair<std::string, std::string>> headers;

  // The value of the first header named `name` (case-insensitive), or
  // "<absent>".
  std::string Header(const std::string& name) const;
};

class SharingServer {
 public:
  // Starts the server with `script` (JSON text) and the certificate pair
  // `cert` ("server", "wronghost" or "rogue" from CertDir()). Check ok().
  explicit SharingServer(const std::string& script = "{}", const std::string& cert = "server");
  ~SharingServer();  // SIGTERM, then a bounded wait
  SharingServer(const SharingServer&) = delete;
  SharingServer& operator=(const SharingServer&) = delete;

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }

  // What a client under test needs to reach this server as kTestHost with
  // verification on against the test CA.
  LongPoll::TestTransport Transport(long idle_limit_seconds = 30) const;
  std::unique_ptr<LongPoll> Client(long idle_limit_seconds = 30) const;

  std::vector<RecordedRequest> Requests() const;
  std::vector<RecordedRequest> Requests(const std::string& type) const;
  int TlsHandshakes(bool succeeded = true) const;
  // Waits (bounded) until at least `count` requests of `type` ("" for any)
  // are recorded.
  bool WaitForRequests(size_t count, const std::string& type = "") const;

  // The server's stderr, for failure messages.
  std::string Output() const;

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// Polls `condition` until it holds or `limit` passes; answers the last result.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(20));

// A JSON string literal holding `text` (for building scripts).
std::string JsonQuoted(const std::string& text);
// `bytes` as lower-case hexadecimal (the script's "body_hex").
std::string Hex(const std::string& bytes);

// A port on 127.0.0.1 where nothing listens (bound once, then released).
int UnusedPort();

// Gives each test its own diagnostic log folder (XDG_STATE_HOME).
class LogFolderTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The messages of the log file, without their dates, in order.
  std::vector<std::string> LogMessages() const;
  // The raw log file content.
  std::string LogText() const;

 private:
  std::unique_ptr<TempDir> state_home_;
  std::string saved_;
  bool had_saved_ = false;
};

}  // namespace mv::test
