// The JSON helpers and the agent message envelope.
#include <gmock/gmock.h>

#include "tests/support/CoreTest.h"
#include "transport/Utf8.h"

namespace mv::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

rapidjson::Document Parse(const std::string& text) {
  rapidjson::Document doc;
  EXPECT_TRUE(ParseJson(text, doc)) << text;
  return doc;
}

TEST(JsonHelpersTest, JsonStrReadsOnlyStringMembers) {
  const auto doc = Parse(R"({"s":"v","e":"","n":1,"b":true,"z":null,"o":{},"a":[],"d":"x","d":"y","nul":"ab\u0000cd"})");
  EXPECT_EQ(JsonStr(doc, "s", "fb"), "v");
  EXPECT_EQ(JsonStr(doc, "e", "fb"), "");
  for (const char* key : {"n", "b", "z", "o", "a", "missing", "S"}) {
    EXPECT_EQ(JsonStr(doc, key, "fb"), "fb") << key;
  }
  EXPECT_EQ(JsonStr(doc, "d", "fb"), "x");  // the first of two
  EXPECT_EQ(JsonStr(doc, "nul", "fb"), "ab");
  EXPECT_EQ(JsonStr(Parse("[1]"), "s", "fb"), "fb");
  EXPECT_EQ(JsonStr(Parse("\"s\""), "s", "fb"), "fb");
}

TEST(JsonHelpersTest, JsonHasSeesNullMembersAndOnlyObjects) {
  const auto doc = Parse(R"({"z":null,"k":1})");
  EXPECT_TRUE(JsonHas(doc, "z"));
  EXPECT_TRUE(JsonHas(doc, "k"));
  EXPECT_FALSE(JsonHas(doc, "K"));
  EXPECT_FALSE(JsonHas(Parse(R"([{"z":1}])"), "z"));
}

TEST(JsonHelpersTest, JsonIntAcceptsOnlyIntegral32BitNumbers) {
  const auto doc = Parse(
      R"({"a":7,"b":-2147483648,"c":2147483647,"d":2147483648,"e":10.5,"f":100.0,"g":1e2,"h":"10","i":true,"j":null,"k":[1]})");
  EXPECT_EQ(JsonInt(doc, "a"), 7);
  EXPECT_EQ(JsonInt(doc, "b"), -2147483648);
  EXPECT_EQ(JsonInt(doc, "c"), 2147483647);
  for (const char* key : {"d", "e", "f", "g", "h", "i", "j", "k", "missing"}) {
    EXPECT_EQ(JsonInt(doc, key), 0) << key;
  }
}

TEST(JsonHelpersTest, RepliesKeepMemberOrderDuplicatesAndEscapes) {
  rapidjson::Document reply;
  reply.SetObject();
  AddString(reply, "cmd", "x");
  AddString(reply, "result", "ok");
  AddString(reply, "result", "again");
  AddInt(reply, "n", -5);
  AddString(reply, "s", std::string("tab\tquote\"\xC3\xA9/\x01\x1F", 15));
  AddString(reply, "nul", std::string("a\0b", 3));
  EXPECT_EQ(ToJsonString(reply),
            R"({"cmd":"x","result":"ok","result":"again","n":-5,"s":"tab\tquote\"é/\u0001\u001F","nul":"a\u0000b"})");
}

TEST(JsonHelpersTest, ParseIsStrictStopsAtNulAndSurvivesDeepNesting) {
  rapidjson::Document doc;
  EXPECT_FALSE(ParseJson(R"({"messages":[]} x)", doc));
  EXPECT_FALSE(ParseJson("{'a':1}", doc));
  EXPECT_FALSE(ParseJson("", doc));
  EXPECT_TRUE(ParseJson(std::string("{\"a\":1}\0garbage", 15), doc));
  EXPECT_TRUE(ParseJson("\xEF\xBB\xBF{}", doc));
  EXPECT_FALSE(ParseJson("\xEF\xBB\xBF\xEF\xBB\xBF{}", doc));
  // A recursive parser would overflow the stack on this.
  const std::string deep = std::string(1'000'000, '[') + std::string(1'000'000, ']');
  EXPECT_TRUE(ParseJson(deep, doc));
  EXPECT_FALSE(ParseJson(std::string(1'000'000, '['), doc));
}

TEST(Utf8Test, DecodesValidTextAndRefusesMalformedSequences) {
  EXPECT_EQ(Utf8ToUtf16("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), std::u16string(u"aé€😀"));
  for (const char* bad : {"\x80", "\xC3", "\xC0\x80", "\xE0\x80\x80", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "a\xE2\x82"}) {
    EXPECT_FALSE(Utf8ToUtf16(bad)) << bad;
    EXPECT_FALSE(IsValidUtf8(bad)) << bad;
  }
  EXPECT_TRUE(IsValidUtf8("\xF4\x8F\xBF\xBF"));  // U+10FFFF
}

class EnvelopeTest : public CoreTest {};

TEST_F(EnvelopeTest, WrapsADeepCopyOfTheReply) {
  {
    rapidjson::Document reply;
    reply.SetObject();
    AddString(reply, "cmd", "quit");
    AddString(reply, "result", "ok");
    SendToAgent(reply);
  }  // the reply dies before the body is looked at
  rapidjson::Document empty;
  empty.SetObject();
  SendToAgent(empty);
  EXPECT_THAT(connection.bodies(),
              ElementsAre(R"({"message":"nh_to_agent","payload":{"cmd":"quit","result":"ok"}})",
                          R"({"message":"nh_to_agent","payload":{}})"));
}

TEST_F(EnvelopeTest, ReplyThatIsNotUtf8IsDropped) {
  rapidjson::Document command;
  ASSERT_TRUE(ParseJson("{\"cmd\":\"bad\xFF\"}", command));  // the parser lets it through
  rapidjson::Document reply;
  reply.SetObject();
  AddString(reply, "cmd", JsonStr(command, "cmd", ""));
  SendToAgent(reply);
  EXPECT_THAT(connection.bodies(), IsEmpty());
}

TEST_F(EnvelopeTest, NothingIsSentWithoutAConnection) {
  SetAgentConnection(nullptr);
  EXPECT_FALSE(IsLongPolling());
  rapidjson::Document reply;
  reply.SetObject();
  SendToAgent(reply);
  EXPECT_THAT(connection.bodies(), IsEmpty());
  SetAgentConnection(&connection);
  EXPECT_TRUE(IsLongPolling());
}

}  // namespace
}  // namespace mv::test
