// The client's conversation with the real HTTPS server: the handshake and its
// log line, what goes on the wire, replies on their own connections, the
// close notice, TLS settings and teardown.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <map>
#include <set>

#include "tests/transport/SharingServer.h"

namespace mv::test {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kCloseNotice = R"({"event":"close","reason":"normal"})";

class LongPollSession : public LogFolderTest {};

TEST_F(LongPollSession, HandshakeAnswers) {
  struct Row {
    const char* name;
    std::string step;
    std::string logged;      // the log line after "-> "
    std::string poll_token;  // the poll's token query, empty when no session
  };
  for (const Row& row : std::vector<Row>{
           {"token, logged redacted", R"({"body":"{\"token\":\"s3cr3t-T0k\",\"expires\":30}"})",
            R"({"token":"<redacted>","expires":30})", "s3cr3t-T0k"},
           {"error status with a token", R"({"status":500,"body":"{\"token\":\"t500\"}"})",
            R"({"token":"<redacted>"})", "t500"},
           {"empty token", R"({"body":"{\"token\":\"\"}"})", R"({"token":""})", ""},
           {"not UTF-8", R"({"body_hex":"7bff7d"})", "(nil/transport error)", ""},
           {"dropped connection", R"({"drop":true})", "(nil/transport error)", ""},
           // The line is cut at 4 KiB, its 50-byte start included.
           {"deep nesting", R"({"body":")" + std::string(100000, '[') + R"("})",
            std::string(4096 - 50, '[') + " [cut at 4096 of 100050 bytes]", ""}}) {
    SCOPED_TRACE(row.name);
    SharingServer server(R"({"handshake":[)" + row.step + "]}");
    ASSERT_TRUE(server.ok());
    auto client = server.Client();
    EXPECT_EQ(client->initSession("0123abcd"), !row.poll_token.empty());
    EXPECT_EQ(client->poll(nullptr), row.poll_token.empty() ? kPollError : kPollNothing);
    EXPECT_EQ(LogMessages().back(), "MorrowvaneHelper: initSession GET ?id=0123abcd -> " + row.logged);
    std::vector<std::string> targets;
    for (const RecordedRequest& request : server.Requests()) targets.push_back(request.target);
    std::vector<std::string> expected = {"/nativehelper?id=0123abcd"};
    if (!row.poll_token.empty()) {
      expected.push_back("/nativehelper?token=" + row.poll_token);
      EXPECT_THAT(LogText(), Not(HasSubstr(row.poll_token)));
    }
    EXPECT_EQ(targets, expected);
  }
}

// Token encoding, headers, cookies, connection reuse, reply logging and the
// close notice, over one session and a second client.
TEST_F(LongPollSession, WhatGoesOnTheWire) {
  SharingServer server(R"({"handshake":[{"body":"{\"token\":\"a b&c=d/\u00e9+%#?-._~Z9\"}",)"
                       R"("headers":{"Set-Cookie":"lb=node7; Path=/"}}],)"
                       R"("poll_hold":0,"post":[{"status":500,"body":"no"}]})");
  auto client = server.Client();
  client->postBodyAsync("dropped: no session yet");
  ASSERT_TRUE(server.ok() && client->initSession("0123abcd"));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(client->poll(nullptr), kPollNothing);
  client->postBodyAsync("reply");
  ASSERT_TRUE(WaitUntil([&] { return LogMessages().size() >= 2; }));
  EXPECT_EQ(LogMessages()[1], "MorrowvaneHelper: reply POST failed: code=500 err=none");
  client->close();
  client->close();
  EXPECT_EQ(client->poll(nullptr), kPollError);  // the token went with the close
  ASSERT_TRUE(server.Client()->initSession("0123abcd"));

  std::vector<std::string> seen;  // type, connection, cookie and body of each
  for (const RecordedRequest& request : server.Requests()) {
    seen.push_back(request.type + " " + std::to_string(request.conn) + " " + request.Header("Cookie") + " " +
                   request.body);
    EXPECT_EQ(request.Header("User-Agent"), "MorrowvaneHelper/1.0") << seen.back();
    EXPECT_EQ(request.Header("Content-Type"), request.type == "post" ? "text/plain" : "<absent>") << seen.back();
    if (request.type == "handshake") continue;
    EXPECT_EQ(request.target, "/nativehelper?token=a%20b%26c%3Dd%2F%C3%A9%2B%25%23%3F-._~Z9") << seen.back();
  }
  using ::testing::AllOf, ::testing::EndsWith, ::testing::StartsWith;
  EXPECT_THAT(seen, ElementsAre("handshake 1 <absent> ", "poll 1 lb=node7 ", "poll 1 lb=node7 ", "poll 1 lb=node7 ",
                                AllOf(StartsWith("post "), EndsWith(" lb=node7 reply")),
                                AllOf(StartsWith("post "), EndsWith(std::string(" lb=node7 ") + kCloseNotice)),
                                AllOf(StartsWith("handshake "), EndsWith(" <absent> "))));
}

TEST_F(LongPollSession, ThousandsOfRepliesShareSixConnectionsAndEachArrivesOnceInOrder) {
  SharingServer server;
  auto client = Session(server);
  constexpr int kReplies = 3000;
  for (int i = 0; i < kReplies; ++i) client->postBodyAsync(std::to_string(i));
  ASSERT_TRUE(server.WaitForRequests(kReplies, "post"));
  std::map<int, int> last_on_connection;  // each connection's replies come in order
  std::set<int> received;
  for (const RecordedRequest& post : server.Requests("post")) {
    const int n = std::stoi(post.body);
    const int last = std::exchange(last_on_connection.try_emplace(post.conn, -1).first->second, n);
    EXPECT_TRUE(received.insert(n).second && last < n) << n << " after " << last << " on " << post.conn;
  }
  EXPECT_EQ(received.size(), static_cast<size_t>(kReplies));
  EXPECT_LE(last_on_connection.size(), 6u);
  EXPECT_THAT(LogText(), Not(HasSubstr("POST failed")));
}

TEST_F(LongPollSession, TlsBelow1_2IsRefusedEvenWhenTheSystemSettingsAllowIt) {
  // OpenSSL reads this when libcurl first sets it up in this process.
  TempDir dir;
  std::ofstream(dir.path + "/weak.cnf")
      << "openssl_conf = init\n[init]\nssl_conf = ssl\n[ssl]\nsystem_default = weak\n"
         "[weak]\nMinProtocol = TLSv1\nCipherString = DEFAULT:@SECLEVEL=0\n";
  setenv("OPENSSL_CONF", (dir.path + "/weak.cnf").c_str(), 1);
  SharingServer server(R"({"tls_max":"1.1"})");
  EXPECT_FALSE(server.ok() && server.Client()->initSession("0123abcd"));
  unsetenv("OPENSSL_CONF");
  EXPECT_TRUE(server.Requests().empty());
}

// The program's teardown: the worker is parked in a poll the server never
// answers; the main thread posts replies, closes, aborts, then joins.
TEST_F(LongPollSession, TeardownWithAPendingPoll) {
  SharingServer server(R"({"poll":[{"stall":true}]})");
  auto client = Session(server, 120);
  auto pending = std::async(std::launch::async, [&] { return client->poll(nullptr); });
  ASSERT_TRUE(server.WaitForRequests(1, "poll"));
  client->postBodyAsync("one");
  client->postBodyAsync("two");
  ASSERT_TRUE(server.WaitForRequests(2, "post"));
  client->close();
  EXPECT_EQ(server.Requests("post").back().body, kCloseNotice);
  EXPECT_EQ(pending.wait_for(0s), std::future_status::timeout);  // still parked

  client->abortRequests();
  ASSERT_EQ(pending.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(pending.get(), kPollClosed);
  EXPECT_EQ(client->poll(nullptr), kPollError);
  EXPECT_FALSE(client->initSession("0123abcd"));
  EXPECT_EQ(client->postBlocking("?token=t", "x"), 0);
  EXPECT_EQ(server.Requests().size(), 5u);  // nothing went out after the abort
}

}  // namespace
}  // namespace mv::test
