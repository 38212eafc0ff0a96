// The client's conversation with the real HTTPS server: handshake and its log
// line, what goes on the wire, replies, the close notice, teardown with
// abortRequests, connection reuse and certificate checks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/transport/SharingServer.h"

namespace mv::test {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kCloseNotice = R"({"event":"close","reason":"normal"})";

std::string HandshakeScript(const std::string& step) { return R"({"handshake":[)" + step + "]}"; }

std::string TokenAnswer(const std::string& body) {
  return HandshakeScript(R"({"body":)" + JsonQuoted(body) + "}");
}

class LongPollSession : public LogFolderTest {};

TEST_F(LongPollSession, HandshakeStoresTheTokenAndLogsItRedacted) {
  SharingServer server(TokenAnswer(R"({"token":"s3cr3t-T0k","expires":30})"));
  ASSERT_TRUE(server.ok());
  auto client = server.Client();
  EXPECT_TRUE(client->initSession("0123abcdef"));
  EXPECT_EQ(client->poll(nullptr), kPollNothing);

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/nativehelper?id=0123abcdef");
  EXPECT_EQ(requests[1].method, "GET");
  EXPECT_EQ(requests[1].target, "/nativehelper?token=s3cr3t-T0k");

  EXPECT_THAT(LogMessages(),
              Contains(R"(MorrowvaneHelper: initSession GET ?id=0123abcdef -> {"token":"<redacted>","expires":30})"));
  EXPECT_THAT(LogText(), Not(HasSubstr("s3cr3t-T0k")));
}

TEST_F(LongPollSession, HandshakeWithErrorStatusAndTokenIsAccepted) {
  SharingServer server(HandshakeScript(R"({"status":500,"body":"{\"token\":\"tok500\"}"})"));
  ASSERT_TRUE(server.ok());
  auto client = server.Client();
  EXPECT_TRUE(client->initSession("0123abcd"));
  EXPECT_EQ(client->poll(nullptr), kPollNothing);
  EXPECT_EQ(server.Requests("poll").at(0).target, "/nativehelper?token=tok500");
}

TEST_F(LongPollSession, HandshakeVariantsThatFail) {
  struct Case {
    const char* name;
    std::string step;
    std::string logged;  // what the log line shows after "-> "
  };
  const std::vector<Case> cases = {
      {"empty token", R"({"body":"{\"token\":\"\"}"})", R"({"token":""})"},
      {"number token", R"({"body":"{\"token\":42}"})", R"({"token":42})"},
      {"no token member", R"({"body":"{\"tok\":\"x\"}"})", R"({"tok":"x"})"},
      {"not JSON", R"({"body":"token=abc"})", "token=abc"},
      {"array root", R"({"body":"[{\"token\":\"abc\"}]"})", R"([{"token":"abc"}])"},
      {"empty body", R"({"body":""})", ""},
      {"not UTF-8", R"({"body_hex":"7bff7d"})", "(nil/transport error)"},
      {"dropped connection", R"({"drop":true})", "(nil/transport error)"},
      {"pretty-printed with an empty token", R"({"body":"{\r\n  \"token\": \"\"\r\n}"})",
       R"({\r\n  "token": ""\r\n})"},
      // The line is cut at 4 KiB, its 50-byte start included.
      {"deep nesting", R"({"body":")" + std::string(100000, '[') + R"("})",
       std::string(4096 - 50, '[') + " [cut at 4096 of 100050 bytes]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SharingServer server(HandshakeScript(c.step));
    ASSERT_TRUE(server.ok());
    auto client = server.Client();
    EXPECT_FALSE(client->initSession("0123abcd"));
    EXPECT_EQ(client->poll(nullptr), kPollError);  // still no token: nothing sent
    client->close();                               // nor a close notice
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(LogMessages().back(), "MorrowvaneHelper: initSession GET ?id=0123abcd -> " + c.logged);
  }
}

TEST_F(LongPollSession, HandshakeWithoutTokenMemberKeepsTheHeldToken) {
  SharingServer server(R"({"handshake":[{"body":"{\"token\":\"first\"}"},)"
                       R"({"body":"{\"other\":1}"},{"body":"{\"token\":7}"}]})");
  ASSERT_TRUE(server.ok());
  auto client = server.Client();
  ASSERT_TRUE(client->initSession("0123abcd"));
  EXPECT_FALSE(client->initSession("0123abcd"));  // no "token": unchanged
  EXPECT_EQ(client->poll(nullptr), kPollNothing);
  EXPECT_EQ(server.Requests("poll").back().target, "/nativehelper?token=first");
  EXPECT_FALSE(client->initSession("0123abcd"));  // a number: the empty token
  EXPECT_EQ(client->poll(nullptr), kPollError);
  EXPECT_EQ(server.Requests("poll").size(), 1u);
}

TEST_F(LongPollSession, TokenIsPercentEncodedInEveryQuery) {
  const std::string token = "a b&c=d/\u00E9+%#?-._~Z9";
  const std::string encoded = "a%20b%26c%3Dd%2F%C3%A9%2B%25%23%3F-._~Z9";
  SharingServer server(TokenAnswer(R"({"token":)" + JsonQuoted(token) + "}"));
  ASSERT_TRUE(server.ok());
  auto client = server.Client();
  ASSERT_TRUE(client->initSession("0123abcdef"));
  EXPECT_EQ(client->poll(nullptr), kPollNothing);
  client->postBodyAsync("reply");
  ASSERT_TRUE(server.WaitForRequests(1, "post"));
  client->close();

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 4u);
  for (size_t i = 1; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].target, "/nativehelper?token=" + encoded) << requests[i].type;
  }
}

TEST_F(LongPollSession, EveryRequestCarriesTheUserAgentAndPostsAreTextPlain) {
  SharingServer server;
  ASSERT_TRUE(server.ok());
  auto client = server.Client();
  ASSERT_TRUE(client->initSession("0123abcd"));
  EXPECT_EQ(client->poll(nullptr), kPollNothing);
  client->postBodyAsync(R"({"message":"nh_to_agent","payload":{}})");
  ASSERT_TRUE(server.WaitForRequests(1, "post"));
  client->close();

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 4u);
  for (const RecordedRequest& request : requests) {
    SCOPED_TRACE(request.type);
    EXPECT_EQ(request.Header("User-Agent"), "MorrowvaneHelper/1.0");
    EXPECT_EQ(request.Header("Cookie"), "<absent>");
    if (request.method == "POST") {
      EXPECT_EQ(request.Header("Content-Type"), "text/plain");
    } else {
      EXPECT_EQ(request.method, "GET");
      EXPECT_EQ(request.body_size, 0);
    }
  }
  EXPECT_EQ(requests[2].body, R"({"message":"nh_to_agent","payload":{}})");
  EXPECT_EQ(requests[3].body, kCloseNotice);
}

TEST_F(LongPollSession, CookiesSetOnTheHandshakeGoOutOnLaterRequestsOfThatClientOnly) {
  SharingServer server(
      R"({"handshake":[{"body":"{\"token\":\"t\"}","headers":{"Set-Cookie":"lb=node7; Path=/"}}]})");
  ASSERT_TRUE(server.ok());
  auto client = server.Client();
  ASSERT_TRUE(client->initSession("0123abcd"));
  EXPECT_EQ(client->poll(nullptr), kPollNothing);
  client->postBodyAsync("reply");
  ASSERT_TRUE(server.WaitForRequests(1, "post"));
  client->close();
  ASSERT_TRUE(server.Client()->initSession("0123abcd"));
  std::vector<std::string> cookies;
  for (const RecordedRequest& request : server.Requests()) cookies.push_back(request.Header("Cookie"));
  EXPECT_THAT(cookies, ::testing::ElementsAre("<absent>", "lb=node7", "lb=node7", "lb=node7",
                                              "<absent>"));
}

TEST_F(LongPollSession, RedirectIsNotFollowed) {
  SharingServer server(HandshakeScript(
      R"({"status":302,"headers":{"Location":"https://test.morrowvane.com/nativehelper?id=moved"}})"));
  ASSERT_TRUE(server.ok());
  auto client = server.Client();
  EXPECT_FALSE(client->initSession("0123abcd"));
  EXPECT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(LogMessages().back(), "MorrowvaneHelper: initSession GET ?id=0123abcd -> ");
}

TEST_F(LongPollSession, CloseTwicePostsOneNotice) {
  SharingServer server;
  ASSERT_TRUE(server.ok());
  auto client = server.Client();
  client->close();  // before the handshake: nothing
  ASSERT_TRUE(client->initSession("0123abcd"));
  client->close();
  client->close();
  const auto posts = server.Requests("post");
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].body, kCloseNotice);
  EXPECT_EQ(posts[0].target, "/nativehelper?token=test-token");
  // After close the client holds no token.
  EXPECT_EQ(client->poll(nullptr), kPollError);
  client->postBodyAsync("late reply");
  client->close();
  EXPECT_EQ(server.Requests().size(), 2u);
}

TEST_F(LongPollSession, CloseNoticeFailureIsIgnoredAndEndsAfterTheIdleLimit) {
  SharingServer server(R"({"post":[{"stall":true}]})");
  ASSERT_TRUE(server.ok());
  auto client = server.Client(2);
  ASSERT_TRUE(client->initSession("0123abcd"));
  client->close();  // the POST gets no answer: it ends by the idle limit
  EXPECT_EQ(client->poll(nullptr), kPollError);
  EXPECT_EQ(server.Requests("post").size(), 1u);
  EXPECT_THAT(LogText(), Not(HasSubstr("POST failed")));
}

TEST_F(LongPollSession, PostBlockingAnswersTheStatus) {
  SharingServer server(
      R"({"post":[{"status":201},{"status":503,"body":"busy"},{"drop":true,"repeat":2}]})");
  ASSERT_TRUE(server.ok());
  auto client = server.Client();
  EXPECT_EQ(client->postBlocking("?token=x", "a"), 201);
  EXPECT_EQ(client->postBlocking("?token=x", "b"), 503);
  // No HTTP response: the dropped reused connection is retried once, fresh.
  EXPECT_EQ(client->postBlocking("?token=x", "c"), 0);
  EXPECT_EQ(server.Requests("post").size(), 4u);
}

TEST_F(LongPollSession, UrlForQuery) {
  LongPoll client(kTestHost);
  EXPECT_EQ(client.urlForQuery("?token=abc"),
            std::optional<std::string>("https://test.morrowvane.com/nativehelper?token=abc"));
  EXPECT_EQ(client.urlForQuery("?id=a b"), std::nullopt);

  LongPoll broken("bad host");
  EXPECT_EQ(broken.urlForQuery("?id=1"), std::nullopt);
  EXPECT_EQ(broken.getBlocking("?id=1"), std::nullopt);
  EXPECT_EQ(broken.postBlocking("?id=1", "x"), 0);
  EXPECT_FALSE(broken.initSession("0123abcd"));
  EXPECT_EQ(LogMessages().back(),
            "MorrowvaneHelper: initSession GET ?id=0123abcd -> (nil/transport error)");
}

TEST_F(LongPollSession, RepliesBeforeTheHandshakeAreDroppedSilently) {
  SharingServer server;
  ASSERT_TRUE(server.ok());
  auto client = server.Client();
  client->postBodyAsync("dropped before the handshake");
  ASSERT_TRUE(client->initSession("0123abcd"));
  client->postBodyAsync("sent");
  ASSERT_TRUE(server.WaitForRequests(1, "post"));
  client->close();  // blocking: once it returns the server has every POST made
  const auto posts = server.Requests("post");
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_EQ(posts[0].body, "sent");
  EXPECT_EQ(posts[1].body, kCloseNotice);
  EXPECT_EQ(LogMessages().size(), 1u);  // only the handshake line
}

TEST_F(LongPollSession, ThousandsOfRepliesShareSixConnectionsAndEachArrivesOnceInOrder) {
  SharingServer server;
  ASSERT_TRUE(server.ok());
  auto client = server.Client();
  ASSERT_TRUE(client->initSession("0123abcd"));
  constexpr int kReplies = 3000;
  for (int i = 0; i < kReplies; ++i) client->postBodyAsync(std::to_string(i));
  ASSERT_TRUE(server.WaitForRequests(kReplies, "post"));
  std::map<int, int> last_on_connection;
  std::set<int> received;
  for (const RecordedRequest& post : server.Requests("post")) {
    const int n = std::stoi(post.body);
    EXPECT_TRUE(received.insert(n).second) << "posted twice: " << n;
    EXPECT_LT(last_on_connection.try_emplace(post.conn, -1).first->second, n) << post.conn;
    last_on_connection[post.conn] = n;
  }
  EXPECT_EQ(received.size(), static_cast<size_t>(kReplies));
  EXPECT_LE(last_on_connection.size(), 6u);
  EXPECT_THAT(LogText(), Not(HasSubstr("POST failed")));
}

TEST_F(LongPollSession, LargeReplyArrivesWhole) {
  SharingServer server;
  ASSERT_TRUE(server.ok());
  auto client = server.Client();
  ASSERT_TRUE(client->initSession("0123abcd"));
  std::string body(4 * 1024 * 1024, 'x');
  body.front() = '<';
  body.back() = '>';
  client->postBodyAsync(body);
  ASSERT_TRUE(server.WaitForRequests(1, "post"));
  const auto post = server.Requests("post").at(0);
  EXPECT_EQ(post.body_size, static_cast<long>(body.size()));
  EXPECT_EQ(post.body, body);
}

TEST_F(LongPollSession, ReplyAnsweredWithoutStatus200IsLogged) {
  SharingServer server(R"({"post":[{"status":204},{"status":500,"body":"no"}]})");
  ASSERT_TRUE(server.ok());
  auto client = server.Client();
  ASSERT_TRUE(client->initSession("0123abcd"));
  client->postBodyAsync("first");
  ASSERT_TRUE(WaitUntil([&] { return LogMessages().size() >= 2; }));
  client->postBodyAsync("second");
  ASSERT_TRUE(WaitUntil([&] { return LogMessages().size() >= 3; }));
  const auto messages = LogMessages();
  EXPECT_EQ(messages[1], "MorrowvaneHelper: reply POST failed: code=204 err=none");
  EXPECT_EQ(messages[2], "MorrowvaneHelper: reply POST failed: code=500 err=none");
}

TEST_F(LongPollSession, ReplyThatCannotConnectIsLoggedWithTheError) {
  auto server = std::make_unique<SharingServer>();
  ASSERT_TRUE(server->ok());
  auto client = server->Client();
  ASSERT_TRUE(client->initSession("0123abcd"));
  server.reset();  // nothing listens on the port any more
  client->postBodyAsync("reply");
  ASSERT_TRUE(WaitUntil([&] { return LogMessages().size() >= 2; }));
  const std::string line = LogMessages()[1];
  EXPECT_THAT(line, ::testing::StartsWith("MorrowvaneHelper: reply POST failed: code=0 err="));
  EXPECT_THAT(line, Not(HasSubstr("err=none")));
  EXPECT_EQ(client->poll(nullptr), kPollClosed);
}

TEST_F(LongPollSession, ConnectionIsReusedFor1000Polls) {
  SharingServer server(R"({"poll_hold":0})");
  ASSERT_TRUE(server.ok());
  auto client = server.Client();
  ASSERT_TRUE(client->initSession("0123abcd"));
  int answered = 0;
  for (int i = 0; i < 1000; ++i) answered += client->poll(nullptr) == kPollNothing;
  EXPECT_EQ(answered, 1000);
  EXPECT_EQ(server.Requests("poll").size(), 1000u);
  const int handshakes = server.TlsHandshakes();
  std::cout << "TLS handshakes for one handshake GET and 1000 polls: " << handshakes << "\n";
  RecordProperty("tls_handshakes_for_1000_polls", handshakes);
  EXPECT_EQ(handshakes, 1);
  for (const RecordedRequest& request : server.Requests()) EXPECT_EQ(request.conn, 1);
}

TEST_F(LongPollSession, CertificateFromAnotherCaIsRefused) {
  SharingServer server("{}", "rogue");
  ASSERT_TRUE(server.ok());
  auto client = server.Client();
  EXPECT_FALSE(client->initSession("0123abcd"));
  EXPECT_EQ(LogMessages().back(),
            "MorrowvaneHelper: initSession GET ?id=0123abcd -> (nil/transport error)");
  EXPECT_TRUE(server.Requests().empty());
  EXPECT_TRUE(WaitUntil([&] { return server.TlsHandshakes(false) >= 1; }));
}

TEST_F(LongPollSession, TlsBelow1_2IsRefusedEvenWhenTheSystemSettingsAllowIt) {
  // OpenSSL reads this when libcurl first sets it up in this process.
  TempDir dir;
  const std::string weak = dir.path() + "/weak.cnf";
  std::ofstream(weak) << "openssl_conf = init\n[init]\nssl_conf = ssl\n[ssl]\n"
                         "system_default = weak\n[weak]\nMinProtocol = TLSv1\n"
                         "CipherString = DEFAULT:@SECLEVEL=0\n";
  setenv("OPENSSL_CONF", weak.c_str(), 1);
  SharingServer server(R"({"tls_max":"1.1"})");
  ASSERT_TRUE(server.ok());
  EXPECT_FALSE(server.Client()->initSession("0123abcd"));
  unsetenv("OPENSSL_CONF");
  EXPECT_TRUE(server.Requests().empty());
}

TEST_F(LongPollSession, CertificateForAnotherNameIsRefused) {
  SharingServer server("{}", "wronghost");
  ASSERT_TRUE(server.ok());
  auto client = server.Client();
  EXPECT_FALSE(client->initSession("0123abcd"));
  EXPECT_TRUE(server.Requests().empty());
}

TEST_F(LongPollSession, PendingPollDoesNotDelayRepliesOrTheCloseNotice) {
  // The program's teardown: the worker is parked in a poll the server never
  // answers; the main thread posts replies, closes, aborts, then joins.
  SharingServer server(R"({"poll":[{"stall":true}]})");
  ASSERT_TRUE(server.ok());
  auto client = server.Client(120);
  ASSERT_TRUE(client->initSession("0123abcd"));
  auto pending = std::async(std::launch::async, [&] { return client->poll(nullptr); });
  ASSERT_TRUE(server.WaitForRequests(1, "poll"));

  client->postBodyAsync("one");
  client->postBodyAsync("two");
  ASSERT_TRUE(server.WaitForRequests(2, "post"));
  client->close();
  EXPECT_EQ(server.Requests("post").size(), 3u);
  EXPECT_EQ(server.Requests("post").back().body, kCloseNotice);
  EXPECT_EQ(pending.wait_for(0s), std::future_status::timeout);  // still parked

  client->abortRequests();
  ASSERT_EQ(pending.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(pending.get(), kPollClosed);
  const int poll_conn = server.Requests("poll").at(0).conn;
  for (const RecordedRequest& post : server.Requests("post")) EXPECT_NE(post.conn, poll_conn);
}

TEST_F(LongPollSession, AfterAbortEveryRequestFailsAtOnce) {
  SharingServer server(R"({"poll":[{"stall":true}],"handshake":[{"body":"{\"token\":\"t\"}"}]})");
  ASSERT_TRUE(server.ok());
  auto client = server.Client(120);
  ASSERT_TRUE(client->initSession("0123abcd"));
  auto pending = std::async(std::launch::async, [&] { return client->poll(nullptr); });
  ASSERT_TRUE(server.WaitForRequests(1, "poll"));
  std::thread aborter([&] { client->abortRequests(); });
  aborter.join();
  ASSERT_EQ(pending.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(pending.get(), kPollClosed);

  const size_t before = server.Requests().size();
  EXPECT_EQ(client->poll(nullptr), kPollClosed);
  EXPECT_FALSE(client->initSession("0123abcd"));
  EXPECT_EQ(client->postBlocking("?token=t", "x"), 0);
  client->postBodyAsync("lost");
  ASSERT_TRUE(WaitUntil([&] {
    return std::ranges::any_of(LogMessages(), [](const std::string& m) {
      return m.starts_with("MorrowvaneHelper: reply POST failed: code=0 err=");
    });
  }));
  client->close();
  EXPECT_EQ(server.Requests().size(), before);
}

TEST_F(LongPollSession, DestroyingTheClientAbandonsRepliesInFlight) {
  SharingServer server(R"({"post":[{"stall":true}]})");
  ASSERT_TRUE(server.ok());
  auto client = server.Client(120);
  ASSERT_TRUE(client->initSession("0123abcd"));
  client->postBodyAsync("never answered");
  ASSERT_TRUE(server.WaitForRequests(1, "post"));
  auto destroyed = std::async(std::launch::async, [&] { client.reset(); });
  EXPECT_EQ(destroyed.wait_for(20s), std::future_status::ready);
}

}  // namespace
}  // namespace mv::test
