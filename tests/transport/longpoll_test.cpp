// The long-poll client against the scripted sharing server
// (tools/sharing_server.py), a child process on 127.0.0.1 that the client
// reaches by the server's name with certificate verification on.
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <set>
#include <thread>

#include "base/Log.h"
#include "transport/Json.h"
#include "transport/LongPoll.h"

namespace mv {
namespace {

using namespace std::chrono_literals;

constexpr const char* kHost = "test.morrowvane.com";

// A fresh folder, removed with everything in it when the object goes.
struct TempDir {
  std::string path = (std::filesystem::temp_directory_path() / "mv-transport-XXXXXX").string();
  TempDir() { path.resize(mkdtemp(path.data()) ? path.size() : 0); }
  ~TempDir() { std::filesystem::remove_all(path, ignored); }
  std::error_code ignored;
};

// Polls `condition` for up to a minute; answers the last result.
bool WaitUntil(const std::function<bool()>& condition) {
  for (int i = 0; i < 6000 && !condition(); ++i) std::this_thread::sleep_for(10ms);
  return condition();
}

// This test process's log and certificates (made by tools/make-test-certs.sh),
// set up before the first client and removed at exit.
const std::string& TestDir() {
  static const TempDir dir;
  static const bool made = setenv("XDG_STATE_HOME", dir.path.c_str(), 1) == 0 &&
                           std::system(("bash '" MV_SOURCE_DIR "/tools/make-test-certs.sh' '" + dir.path + "' " +
                                        kHost).c_str()) == 0;
  EXPECT_TRUE(made) << "making test certificates failed";
  return dir.path;
}

struct Request {
  int conn;
  std::string type, target, body;  // type: handshake, poll, post or other
  std::string headers;             // JSON: [["Name","value"],...]
  bool Has(const char* header) const { return headers.find(header) != std::string::npos; }
};

class Server {
 public:
  explicit Server(const std::string& script = "{}") {
    const std::string pem = TestDir() + "/server.pem", key = TestDir() + "/server.key",
                      script_file = dir_.path + "/script.json", record = dir_.path + "/record.jsonl",
                      port_file = dir_.path + "/port";
    std::ofstream(script_file) << script;
    if ((pid_ = fork()) == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives this test process
      execlp("python3", "python3", MV_SOURCE_DIR "/tools/sharing_server.py", "--port", "0", "--cert", pem.c_str(),
            "--key", key.c_str(), "--script", script_file.c_str(), "--record", record.c_str(), "--port-file",
            port_file.c_str(), nullptr);
      _exit(127);
    }
    WaitUntil([&] {
      std::ifstream(port_file) >> port_;
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;  // ended: nothing left to stop
      return port_ > 0 || pid_ < 0;
    });
    EXPECT_GT(port_, 0) << "the sharing server did not start";
  }
  ~Server() { if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0); }
  std::unique_ptr<LongPoll> Client(long idle_limit_seconds = 30) const {
    const std::string connect_to = std::string(kHost) + ":443:127.0.0.1:" + std::to_string(port_);
    return std::make_unique<LongPoll>(kHost, LongPoll::TestTransport{TestDir() + "/ca.pem", connect_to,
                                                                     idle_limit_seconds});
  }
  // The requests the server recorded, in order.
  std::vector<Request> Requests() const {
    std::vector<Request> requests;
    std::ifstream lines(dir_.path + "/record.jsonl");
    for (std::string line; std::getline(lines, line);) {
      rapidjson::Document doc;
      if (!ParseJson(line, doc) || JsonStr(doc, "kind", "") != "request") continue;
      requests.push_back({JsonInt(doc, "conn"), JsonStr(doc, "type", ""), JsonStr(doc, "target", ""),
                          JsonStr(doc, "body", ""), ToJsonString(doc["headers"])});
    }
    return requests;
  }

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// One client from the handshake to the teardown. Handshakes that open no
// session (a server offering only TLS 1.1, refused even where the system's
// OpenSSL settings allow it; a dropped connection; a body that is not UTF-8;
// an empty token) and one that does despite its status; token encoding and
// redaction, headers, cookies, connection reuse and reply logging; then the
// program's teardown, with the worker parked in a poll the server never
// answers: the main thread closes (the server trickles its answer to the
// close notice a byte a second: the close gives up on it), aborts, then
// joins. A second client starts over and posts 3000 replies: they share six
// connections, and each arrives once, in order on its connection.
TEST(LongPoll, OneClientFromHandshakeToTeardown) {
  // OpenSSL reads this when libcurl first sets it up in this process, and the
  // log is checked whole: this test runs first.
  std::ofstream(TestDir() + "/weak.cnf")
      << "openssl_conf = init\n[init]\nssl_conf = ssl\n[ssl]\nsystem_default = weak\n"
         "[weak]\nMinProtocol = TLSv1\nCipherString = DEFAULT:@SECLEVEL=0\n";
  setenv("OPENSSL_CONF", (TestDir() + "/weak.cnf").c_str(), 1);
  Server weak(R"({"tls_max":"1.1"})");
  EXPECT_FALSE(weak.Client()->initSession("0123abcd"));
  EXPECT_TRUE(weak.Requests().empty());
  Server server(R"({"handshake":[{"drop":true},{"body_hex":"7bff7d"},{"body":"{\"token\":\"\"}"},)"
                R"({"status":302,"headers":{"Location":"/nativehelper?id=followed"}},)"
                R"({"status":500,"body":"{\"token\":\"a b&c=d/\u00e9+%#?-._~Z9\",\"expires\":30}",)"
                R"("headers":{"Set-Cookie":"lb=node7; Path=/"}}],"poll":[{"body":"timeout","repeat":3},)"
                R"({"stall":true}],"post":[{"status":500},{"pad_to":100000,"byte_interval":1}]})");
  auto client = server.Client(120);
  const auto log = [] {  // the log's lines without their dates
    std::vector<std::string> lines;
    std::ifstream file(LogFilePath());
    for (std::string line; std::getline(file, line);) lines.push_back(line.substr(27));
    return lines;
  };
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(client->initSession("0123abcd"));  // a redirect is not followed
  client->postBodyAsync("dropped: no session yet");
  ASSERT_TRUE(client->initSession("0123abcd"));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(client->poll(nullptr), kPollNothing);
  client->postBodyAsync("reply");
  EXPECT_TRUE(WaitUntil([&] { return log().size() == 7; }));  // the reply's failure too
  auto pending = std::async(std::launch::async, [&] { return client->poll(nullptr); });
  ASSERT_TRUE(WaitUntil([&] { return std::ranges::count(server.Requests(), "poll", &Request::type) == 4; }));
  auto closing = std::async(std::launch::async, [&] { client->close(); });
  const bool closed = closing.wait_for(60s) == std::future_status::ready;
  EXPECT_EQ(pending.wait_for(0s), std::future_status::timeout);  // still parked
  client->abortRequests();  // which also ends a close that is still waiting
  EXPECT_TRUE(closed) << "the close waits for a trickled answer";
  client->close();
  EXPECT_EQ(client->poll(nullptr), kPollError);  // the token went with the close
  ASSERT_EQ(pending.wait_for(60s), std::future_status::ready);
  EXPECT_EQ(pending.get(), kPollClosed);
  EXPECT_FALSE(client->initSession("0123abcd"));
  EXPECT_EQ(client->postBlocking("?token=t", "x"), 0);
  auto second = server.Client();
  ASSERT_TRUE(second->initSession("0123abcd"));
  for (int i = 0; i < 3000; ++i) second->postBodyAsync(std::to_string(i));
  ASSERT_TRUE(WaitUntil([&] { return std::ranges::count(server.Requests(), "post", &Request::type) == 3002; }));

  const std::string h = "MorrowvaneHelper: initSession GET ?id=0123abcd -> ", failed = h + "(nil/transport error)";
  EXPECT_THAT(log(), testing::ElementsAre(failed, failed, failed, h + R"({"token":""})", h,
                                          h + R"({"token":"<redacted>","expires":30})",
                                          "MorrowvaneHelper: reply POST failed: code=500 err=none", failed,
                                          h + R"({"token": "<redacted>"})"));
  std::vector<std::string> seen;  // type, connection, cookie and body of each
  std::map<int, int> next_on_connection;  // the least number the connection's next reply may carry
  std::set<int> received;
  for (const Request& r : server.Requests()) {
    if (r.conn > 5) {  // the second client's replies: each once, and in order on each connection
      int n = -1;
      std::from_chars(r.body.data(), r.body.data() + r.body.size(), n);
      EXPECT_TRUE(received.insert(n).second && std::exchange(next_on_connection[r.conn], n + 1) <= n) << n;
      continue;
    }
    seen.push_back(r.type + " " + std::to_string(r.conn) + (r.Has(R"(["Cookie","lb=node7"])") ? " lb " : " - ") +
                   r.body);
    EXPECT_TRUE(r.Has(R"(["User-Agent","MorrowvaneHelper/1.0"])") &&
                r.Has(R"(["Content-Type","text/plain"])") == (r.type == "post")) << seen.back();
    EXPECT_EQ(r.target, r.type == "handshake" ? "/nativehelper?id=0123abcd"
                                              : "/nativehelper?token=a%20b%26c%3Dd%2F%C3%A9%2B%25%23%3F-._~Z9");
  }
  EXPECT_THAT(seen, testing::ElementsAre("handshake 1 - ", "handshake 2 - ", "handshake 2 - ", "handshake 2 - ", "handshake 2 - ",
                                         "poll 2 lb ", "poll 2 lb ", "poll 2 lb ", "post 3 lb reply", "poll 2 lb ",
                                         R"(post 4 lb {"event":"close","reason":"normal"})", "handshake 5 - "));
  EXPECT_EQ(received.size(), 3000u);
  EXPECT_LE(next_on_connection.size(), 6u);
}

// How poll answers read: one poll per row on one client, so the connection
// is reused across rows and made again after failures; silence for the idle
// limit (5 s here) ends a poll, slow data does not; a redirect is not
// followed. (The program's own tests show cut, reset and deeply nested answers.)
TEST(LongPoll, PollAnswers) {
  // The script step that answers the poll, the code and the out-parameter afterwards.
  struct Row { const char* name; std::string step; int code; std::string batch = "<unchanged>"; };
  const std::string spaces = R"(\u00A0\u2028\u2029\u3000\u0085\u1680\u202F\u205F\u2000\u200A\u000B\f)";
  const std::string limit = std::to_string(LongPoll::kMaxBodyBytes), over = std::to_string(LongPoll::kMaxBodyBytes + 1);
  const std::vector<Row> rows = {
      // Followed, it would take the next row's answer.
      {"redirect", R"({"status":302,"headers":{"Location":"/nativehelper?token=elsewhere"}})", kPollClosed},
      {"JSON timeout with blanks", R"({"body":"  \"timeout\"\n"})", kPollNothing},
      {"empty body", "{}", kPollClosed},
      {"close with blanks", R"({"body":"  \"close\" \r\n"})", kPollClosed},
      {"error member, even null", R"({"body":"{\"messages\":[],\"error\":null}"})", kPollError},
      {"text after the value", R"({"body":"{\"messages\":[]} x"})", kPollError},
      {"batch kept as sent, only stripped", R"({"body":"\n {\"messages\" : null}\t"})", kPollBatch,
       "{\"messages\" : null}"},
      {"timeout in Unicode spaces", R"({"body":")" + spaces + "timeout" + spaces + R"("})", kPollNothing},
      {"zero width space is no space", R"({"body":"\u200Btimeout"})", kPollError},
      {"byte-order mark is kept", R"({"body":"\uFEFF{\"messages\":[]}"})", kPollBatch, "\uFEFF{\"messages\":[]}"},
      {"not UTF-8 counts as no text", R"({"body_hex":"7b226d65737361676573223a5b22c328225d7d"})", kPollClosed},
      {"NUL inside", R"({"body":"{\"messages\":[]}\u0000x"})", kPollError},
      {"gzip is decoded", R"({"gzip":true,"body":"{\"messages\":[]}"})", kPollBatch, R"({"messages":[]})"},
      // libcurl sends again, once, on a fresh connection when a reused one
      // dies before the answer: both attempts are dropped here.
      {"connection dropped", R"({"drop":true,"repeat":2})", kPollClosed},
      {"one byte over 16 MiB", R"({"body":"timeout","pad_to":)" + over + "}", kPollClosed},
      {"one byte over, chunked", R"({"body":"timeout","chunked":true,"pad_to":)" + over + "}", kPollClosed},
      {"exactly 16 MiB, chunked", R"({"body":"timeout","chunked":true,"pad_to":)" + limit + "}", kPollNothing},
      {"no answer for a minute", R"({"delay":60,"body":"timeout"})", kPollClosed},
      {"a byte, then silence", R"({"body":"xy","byte_interval":60})", kPollClosed},
      // Longer than the limit in all, never silent for it.
      {"slow but steady body", R"({"body":"timeout","byte_interval":1})", kPollNothing}};
  std::string script = R"({"poll":[)";
  for (const Row& row : rows) script += row.step + (&row == &rows.back() ? "]}" : ",");
  Server server(script);
  auto client = server.Client(5);
  ASSERT_TRUE(client->initSession("0123abcd"));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    PollBatch batch{.text = "<unchanged>"};
    EXPECT_EQ(client->poll(&batch), row.code);
    EXPECT_EQ(batch.text, row.batch);
    // The document is handed over parsed, not parsed again by the receiver.
    EXPECT_EQ(batch.doc.IsObject() && batch.doc.HasMember("messages"), row.code == kPollBatch);
  }
}

}  // namespace
}  // namespace mv
