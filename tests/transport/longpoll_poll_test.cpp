// How the client reads poll answers, against the real HTTPS server: the
// answer table row by row, stripping, transport failures, the body size
// limit and the idle limit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/transport/SharingServer.h"

namespace mv::test {
namespace {

constexpr const char* kUnchanged = "<unchanged>";

struct Row {
  const char* name;
  std::string step;  // the script step that answers the poll
  int code;
  std::string batch;  // expected out-parameter (kUnchanged unless code 0)
  size_t requests = 1;  // requests the server sees for this poll
};

Row Body(const char* name, const std::string& bytes, int code, std::string batch = kUnchanged) {
  return {name, R"({"body_hex":")" + Hex(bytes) + R"("})", code, std::move(batch)};
}

// Runs one poll per row against a server answering the rows in order, on one
// client, so the connection is reused across rows and re-made after failures.
void RunRows(const std::vector<Row>& rows, long idle_limit_seconds = 30) {
  std::string script = R"({"poll":[)";
  for (size_t i = 0; i < rows.size(); ++i) script += (i ? "," : "") + rows[i].step;
  script += "]}";
  SharingServer server(script);
  ASSERT_TRUE(server.ok());
  auto client = server.Client(idle_limit_seconds);
  ASSERT_TRUE(client->initSession("0123abcd"));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    PollBatch batch{.text = kUnchanged};
    EXPECT_EQ(client->poll(&batch), row.code);
    EXPECT_EQ(batch.text, row.batch);
    // The document is handed over parsed, not parsed again by the receiver.
    EXPECT_EQ(batch.doc.IsObject() && batch.doc.HasMember("messages"), row.code == kPollBatch);
  }
  size_t requests = 0;
  for (const Row& row : rows) requests += row.requests;
  EXPECT_EQ(server.Requests("poll").size(), requests);
}

TEST(LongPollAnswers, TimeoutMeansPollAgain) {
  RunRows({
      Body("bare", "timeout", kPollNothing),
      Body("JSON string", "\"timeout\"", kPollNothing),
      Body("two blanks before, line break after", "  timeout\n", kPollNothing),
      Body("upper case is not JSON", "TIMEOUT", kPollError),
      Body("capitalised is not JSON", "Timeout", kPollError),
      Body("inner blank is not the word", "time out", kPollError),
  });
}

TEST(LongPollAnswers, EmptyAndCloseMeanTheServerClosed) {
  RunRows({
      Body("empty body", "", kPollClosed),
      Body("only blanks and line breaks", " \r\n\t \n", kPollClosed),
      Body("JSON empty string", "\"\"", kPollClosed),
      Body("bare close", "close", kPollClosed),
      Body("JSON close with blanks around", "  \"close\" \r\n", kPollClosed),
      Body("Close in capitals is an error", "\"Close\"", kPollError),
  });
}

TEST(LongPollAnswers, BatchesAndErrors) {
  RunRows({
      Body("empty object", "{}", kPollError),
      Body("empty batch", R"({"messages":[]})", kPollBatch, R"({"messages":[]})"),
      Body("messages null", R"({"messages":null})", kPollBatch, R"({"messages":null})"),
      Body("error member, even null", R"({"messages":[],"error":null})", kPollError),
      Body("error alone", R"({"error":"gone"})", kPollError),
      Body("array root", R"([{"messages":[]}])", kPollError),
      Body("text after the value", R"({"messages":[]} x)", kPollError),
      Body("not JSON", "hello", kPollError),
      Body("string root", "\"messages\"", kPollError),
      Body("batch kept as sent, only stripped", "\n {\"messages\" : [1, 2]}\t",
           kPollBatch, "{\"messages\" : [1, 2]}"),
      {"gzip-coded batch is decoded", R"({"gzip":true,"body":"{\"messages\":[]}"})", kPollBatch,
       R"({"messages":[]})"},
  });
}

TEST(LongPollAnswers, StripsUnicodeSpaceSeparatorsAndNextLine) {
  // U+00A0, U+2028, U+2029, U+3000, U+0085, U+1680, U+202F, U+205F, U+2000..U+200A.
  const std::string spaces =
      "\u00A0\u2028\u2029\u3000\u0085\u1680\u202F\u205F\u2000\u2005\u200A\v\f";
  RunRows({
      Body("timeout in Unicode spaces", spaces + "timeout" + spaces, kPollNothing),
      Body("batch in Unicode spaces", spaces + R"({"messages":[]})" + spaces, kPollBatch,
           R"({"messages":[]})"),
      Body("only Unicode spaces", spaces, kPollClosed),
      // U+200B (zero width space) and U+FEFF are not white space; the JSON
      // parser (RapidJSON, default flags) skips a leading byte-order mark, and
      // the receiver's parse does the same with the text handed on.
      Body("zero width space is kept", "\u200Btimeout", kPollError),
      Body("byte-order mark is kept", "\uFEFF{\"messages\":[]}", kPollBatch,
           "\uFEFF{\"messages\":[]}"),
      Body("non-ASCII inside a batch", "{\"messages\":[\"\u00E9\u2028\"]}", kPollBatch,
           "{\"messages\":[\"\u00E9\u2028\"]}"),
  });
}

TEST(LongPollAnswers, StatusIsNeverExamined) {
  RunRows({
      {"batch with 500", R"({"status":500,"body":"{\"messages\":[]}"})", kPollBatch,
       R"({"messages":[]})"},
      {"timeout with 404", R"({"status":404,"body":"timeout"})", kPollNothing, kUnchanged},
      {"redirect is not followed; its body is read",
       R"({"status":302,"headers":{"Location":"/nativehelper?token=elsewhere"},"body":"timeout"})",
       kPollNothing, kUnchanged},
      {"empty redirect", R"({"status":301,"headers":{"Location":"/nativehelper?token=x"}})",
       kPollClosed, kUnchanged},
  });
}

TEST(LongPollAnswers, BodiesThatAreNotTextOrJsonSafe) {
  std::string deep(200000, '[');
  RunRows({
      Body("not UTF-8 counts as no text", "{\"messages\":[\"\xC3\x28\"]}", kPollClosed),
      Body("overlong encoding is not UTF-8", "\xC0\xAFtimeout", kPollClosed),
      Body("encoded surrogate is not UTF-8", "\xED\xA0\x80", kPollClosed),
      Body("NUL inside makes it not JSON", std::string("{\"messages\":[]}\0x", 17), kPollError),
      Body("deep nesting is an error, not a crash", deep, kPollError),
      Body("deep nesting inside a batch is a batch", R"({"messages":)" + deep +
           std::string(200000, ']') + "}", kPollBatch,
           R"({"messages":)" + deep + std::string(200000, ']') + "}"),
  });
}

TEST(LongPollAnswers, TransportFailuresMeanClosed) {
  // Each failure follows a good answer, so it hits a reused connection.
  // libcurl sends a request again, once, on a fresh connection when a reused
  // one dies before any byte of the answer: a dropped connection costs two
  // requests, both dropped here.
  RunRows({
      {"first", R"({"body":"timeout"})", kPollNothing, kUnchanged},
      {"connection dropped", R"({"drop":true,"repeat":2})", kPollClosed, kUnchanged, 2},
      {"again", R"({"body":"timeout"})", kPollNothing, kUnchanged},
      {"garbage instead of HTTP", R"({"raw":"garbage\r\n\r\n"})", kPollClosed, kUnchanged},
      {"again", R"({"body":"timeout"})", kPollNothing, kUnchanged},
      {"closed in the middle of the body", R"({"body":"timeout","cut_after":3})", kPollClosed,
       kUnchanged},
      {"again", R"({"body":"timeout"})", kPollNothing, kUnchanged},
      {"server closes after answering", R"({"body":"timeout","close":true})", kPollNothing,
       kUnchanged},
      {"and the next poll reconnects", R"({"body":"{\"messages\":[]}"})", kPollBatch,
       R"({"messages":[]})"},
  });
}

TEST(LongPollAnswers, BodiesUpTo16MiBAreReadAndLargerOnesFail) {
  const long limit = static_cast<long>(LongPoll::kMaxBodyBytes);
  const std::string pad = R"(,"pad_to":)";
  RunRows({
      {"exactly 16 MiB", R"({"body":"timeout")" + pad + std::to_string(limit) + "}", kPollNothing,
       kUnchanged},
      {"one byte more, with Content-Length",
       R"({"body":"timeout")" + pad + std::to_string(limit + 1) + "}", kPollClosed, kUnchanged},
      {"one byte more, chunked",
       R"({"body":"timeout","chunked":true)" + pad + std::to_string(limit + 1) + "}", kPollClosed,
       kUnchanged},
      {"chunked within the limit", R"({"body":"timeout","chunked":true)" + pad + "100000}",
       kPollNothing, kUnchanged},
  });
}

TEST(LongPollIdleLimit, SilenceForTheLimitEndsThePollButSlowDataDoesNot) {
  RunRows(
      {
          {"no answer at all", R"({"stall":true})", kPollClosed, kUnchanged},
          {"headers, then silence", R"({"body":"timeout","stall_after_headers":true})",
           kPollClosed, kUnchanged},
          // 7 bytes 0.6 s apart: longer than the limit in all, never silent for it.
          {"slow but steady body", R"({"body":"timeout","byte_interval":0.6})", kPollNothing,
           kUnchanged},
      },
      2);
}

TEST(LongPollAnswers, PollWithoutTokenSendsNothing) {
  SharingServer server(R"({"handshake":[{"body":"{\"token\":\"\"}"}]})");
  ASSERT_TRUE(server.ok());
  auto client = server.Client();
  PollBatch batch{.text = kUnchanged};
  EXPECT_EQ(client->poll(&batch), kPollError);
  EXPECT_FALSE(client->initSession("0123abcd"));  // empty token: still no session
  EXPECT_EQ(client->poll(&batch), kPollError);
  EXPECT_EQ(batch.text, kUnchanged);
  EXPECT_EQ(client->poll(nullptr), kPollError);
  EXPECT_TRUE(server.Requests("poll").empty());
  EXPECT_EQ(server.Requests().size(), 1u);
}

TEST(LongPollAnswers, NullOutParameterIsAllowed) {
  SharingServer server(R"({"poll":[{"body":"{\"messages\":[]}"}]})");
  ASSERT_TRUE(server.ok());
  auto client = server.Client();
  ASSERT_TRUE(client->initSession("0123abcd"));
  EXPECT_EQ(client->poll(nullptr), kPollBatch);
}

}  // namespace
}  // namespace mv::test
