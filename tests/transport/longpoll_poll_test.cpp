// How the client reads poll answers from the real HTTPS server: the answer
// table row by row, white space, transport failures, the body size limit and
// the idle limit.
#include <gtest/gtest.h>

#include "tests/transport/SharingServer.h"

namespace mv::test {
namespace {

constexpr const char* kUnchanged = "<unchanged>";

struct Row {
  const char* name;
  std::string step;  // the script step that answers the poll
  int code;
  std::string batch = kUnchanged;  // the out-parameter afterwards
  size_t requests = 1;             // requests the server sees for this poll
};

Row Body(const char* name, const std::string& bytes, int code, std::string batch = kUnchanged) {
  std::string step = R"({"body_hex":")";
  for (const unsigned char c : bytes) step += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
  return {name, step + R"("})", code, std::move(batch)};
}

// One poll per row on one client, so the connection is reused across rows
// and made again after failures.
class LongPollAnswers : public LogFolderTest {
 protected:
  void RunRows(const std::vector<Row>& rows, long idle_limit_seconds = 30) {
    std::string script = R"({"poll":[)";
    for (const Row& row : rows) script += row.step + (&row == &rows.back() ? "]}" : ",");
    SharingServer server(script);
    auto client = Session(server, idle_limit_seconds);
    size_t requests = 0;
    for (const Row& row : rows) {
      SCOPED_TRACE(row.name);
      PollBatch batch{.text = kUnchanged};
      EXPECT_EQ(client->poll(&batch), row.code);
      EXPECT_EQ(batch.text, row.batch);
      // The document is handed over parsed, not parsed again by the receiver.
      EXPECT_EQ(batch.doc.IsObject() && batch.doc.HasMember("messages"), row.code == kPollBatch);
      requests += row.requests;
    }
    EXPECT_EQ(server.Requests("poll").size(), requests);
  }
};

TEST_F(LongPollAnswers, Classification) {
  const std::string spaces = "\u00A0\u2028\u2029\u3000\u0085\u1680\u202F\u205F\u2000\u200A\v\f";
  const std::string deep(200000, '[');
  const std::string deep_batch = R"({"messages":)" + deep + std::string(200000, ']') + "}";
  RunRows({
      Body("bare timeout", "timeout", kPollNothing),
      Body("JSON timeout with blanks", "  \"timeout\"\n", kPollNothing),
      Body("upper case is not the word", "TIMEOUT", kPollError),
      Body("empty body", "", kPollClosed),
      Body("JSON empty string", "\"\"", kPollClosed),
      Body("close with blanks", "  \"close\" \r\n", kPollClosed),
      Body("Close in capitals", "\"Close\"", kPollError),
      Body("messages null", R"({"messages":null})", kPollBatch, R"({"messages":null})"),
      Body("error member, even null", R"({"messages":[],"error":null})", kPollError),
      Body("text after the value", R"({"messages":[]} x)", kPollError),
      Body("batch kept as sent, only stripped", "\n {\"messages\" : [1]}\t", kPollBatch,
           "{\"messages\" : [1]}"),
      Body("timeout in Unicode spaces", spaces + "timeout" + spaces, kPollNothing),
      Body("only Unicode spaces", spaces, kPollClosed),
      Body("zero width space is no space", "\u200Btimeout", kPollError),
      Body("byte-order mark is kept", "\uFEFF{\"messages\":[]}", kPollBatch, "\uFEFF{\"messages\":[]}"),
      Body("not UTF-8 counts as no text", "{\"messages\":[\"\xC3\x28\"]}", kPollClosed),
      Body("NUL inside", std::string("{\"messages\":[]}\0x", 17), kPollError),
      Body("deep nesting", deep, kPollError),
      Body("deep nesting inside a batch", deep_batch, kPollBatch, deep_batch),
      {"status is not examined", R"({"status":500,"body":"timeout"})", kPollNothing},
      {"redirect is not followed", R"({"status":302,"headers":{"Location":"/x"}})", kPollClosed},
      {"gzip is decoded", R"({"gzip":true,"body":"{\"messages\":[]}"})", kPollBatch,
       R"({"messages":[]})"},
      // libcurl sends again, once, on a fresh connection when a reused one
      // dies before the answer: both attempts are dropped here.
      {"connection dropped", R"({"drop":true,"repeat":2})", kPollClosed, kUnchanged, 2},
      {"closed in the body", R"({"body":"timeout","cut_after":3})", kPollClosed},
      {"server closes after answering", R"({"body":"timeout","close":true})", kPollNothing},
      {"and the next poll connects again", R"({"body":"timeout"})", kPollNothing},
  });
}

TEST_F(LongPollAnswers, BodiesUpTo16MiBAreReadAndLargerOnesFailAsDoesSilence) {
  const std::string limit = std::to_string(LongPoll::kMaxBodyBytes);
  const std::string over = std::to_string(LongPoll::kMaxBodyBytes + 1);
  RunRows({
      {"exactly 16 MiB", R"({"body":"timeout","pad_to":)" + limit + "}", kPollNothing},
      {"one byte more", R"({"body":"timeout","pad_to":)" + over + "}", kPollClosed},
      {"one byte more, chunked", R"({"body":"timeout","chunked":true,"pad_to":)" + over + "}",
       kPollClosed},
      {"exactly 16 MiB, chunked", R"({"body":"timeout","chunked":true,"pad_to":)" + limit + "}",
       kPollNothing},
  });
  // Silence for the idle limit ends a poll; slow data does not.
  RunRows({{"no answer at all", R"({"stall":true})", kPollClosed},
           {"headers, then silence", R"({"body":"timeout","stall_after_headers":true})",
            kPollClosed},
           // 7 bytes 0.6 s apart: longer than the limit in all, never silent for it.
           {"slow but steady body", R"({"body":"timeout","byte_interval":0.6})", kPollNothing}},
          2);
}

}  // namespace
}  // namespace mv::test
