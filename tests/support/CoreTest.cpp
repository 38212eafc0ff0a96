#include "tests/support/CoreTest.h"

#include "commands/Dispatcher.h"

namespace mv::test {

void CoreTest::Dispatch(const std::string& batch_json) {
  rapidjson::Document batch;
  ASSERT_TRUE(ParseJson(batch_json, batch)) << batch_json;
  DispatchMultiInput(batch);
}

std::vector<std::string> CoreTest::SentPayloads() const {
  std::vector<std::string> payloads;
  for (const std::string& body : connection.bodies()) {
    rapidjson::Document envelope;
    EXPECT_TRUE(ParseJson(body, envelope)) << body;
    EXPECT_TRUE(envelope.IsObject() && envelope.MemberCount() == 2) << body;
    EXPECT_EQ(JsonStr(envelope, "message", ""), "nh_to_agent") << body;
    EXPECT_STREQ(envelope.MemberBegin()->name.GetString(), "message") << body;
    const std::string payload = ToJsonString(envelope["payload"]);
    // The envelope is the exact compact text around the payload.
    EXPECT_EQ(body, R"({"message":"nh_to_agent","payload":)" + payload + "}");
    payloads.push_back(payload);
  }
  return payloads;
}

}  // namespace mv::test
