// The JSON helpers, UTF-8 checks and the agent message envelope.
#include <gmock/gmock.h>

#include "tests/support/CoreTest.h"
#include "transport/Utf8.h"

namespace mv::test {
namespace {

TEST(JsonHelpersTest, MembersAreReadOnlyWhenOfTheRightKind) {
  rapidjson::Document doc;
  ASSERT_TRUE(ParseJson(R"({"s":"v","n":1,"z":null,"d":"x","d":"y","nul":"ab\u0000cd","a":7,)"
                        R"("min":-2147483648,"big":2147483648,"half":10.5,"f":100.0,"t":"10"})", doc));
  EXPECT_EQ(JsonStr(doc, "s", "fb"), "v");
  EXPECT_EQ(JsonStr(doc, "d", "fb"), "x");  // the first of two
  EXPECT_EQ(JsonStr(doc, "nul", "fb"), "ab");
  for (const char* key : {"n", "z", "missing", "S"}) EXPECT_EQ(JsonStr(doc, key, "fb"), "fb") << key;
  EXPECT_TRUE(JsonHas(doc, "z"));
  EXPECT_FALSE(JsonHas(doc, "Z"));
  EXPECT_EQ(JsonInt(doc, "a"), 7);
  EXPECT_EQ(JsonInt(doc, "min"), -2147483648);
  for (const char* key : {"big", "half", "f", "t", "z", "s"}) EXPECT_EQ(JsonInt(doc, key), 0) << key;
}

TEST(JsonHelpersTest, ParseIsStrictAndSurvivesDeepNesting) {
  rapidjson::Document doc;
  for (const std::string& bad : std::vector<std::string>{R"({"messages":[]} x)", "{'a':1}", "",
                                                        "\xEF\xBB\xBF\xEF\xBB\xBF{}",
                                                        std::string(1'000'000, '[')}) {
    EXPECT_FALSE(ParseJson(bad, doc)) << bad.substr(0, 20);
  }
  EXPECT_TRUE(ParseJson(std::string(1'000'000, '[') + std::string(1'000'000, ']'), doc));
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

TEST_F(EnvelopeTest, WrapsACopyOfTheReplyAndDropsOneThatIsNotUtf8) {
  {
    rapidjson::Document reply;
    reply.SetObject();
    AddString(reply, "cmd", "quit");
    AddString(reply, "s", std::string("tab\tquote\"\x01\0", 12));
    SendToAgent(reply);
    AddString(reply, "cmd", "bad\xFF");
    SendToAgent(reply);
  }  // the reply dies before the body is looked at
  EXPECT_THAT(connection.bodies(),
              ::testing::ElementsAre(R"({"message":"nh_to_agent","payload":{"cmd":"quit","s":"tab\tquote\"\u0001\u0000"}})"));
}

}  // namespace
}  // namespace mv::test
