// Reading integers, UTF-8 checks and the agent message envelope.
#include <gmock/gmock.h>

#include "tests/support/CoreTest.h"
#include "base/Utf8.h"

namespace mv::test {
namespace {

TEST(JsonHelpersTest, IntegersAreReadOnlyWhenIntegralAnd32Bit) {
  rapidjson::Document doc;
  ASSERT_TRUE(ParseJson(R"({"a":-2147483648,"big":2147483648,"half":10.5,"f":100.0,"t":"10","z":null})", doc));
  EXPECT_EQ(JsonInt(doc, "a"), -2147483648);
  for (const char* key : {"big", "half", "f", "t", "z", "missing"}) EXPECT_EQ(JsonInt(doc, key), 0) << key;
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
              ::testing::ElementsAre(R"({"message":"nh_to_agent","payload":{"cmd":"quit",)"
                                     R"("s":"tab\tquote\"\u0001\u0000"}})"));
}

}  // namespace
}  // namespace mv::test
