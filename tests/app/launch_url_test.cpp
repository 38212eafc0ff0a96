// The launch URL: scheme, allow-list and session identifier rules.
#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>

#include "app/LaunchUrl.h"
#include "app/Log.h"

namespace mv {
namespace {

std::string SessionOf(const std::string& url) {
  const auto target = parseLaunchURL(url);
  return target ? target->session_id : "<refused>";
}

TEST(ServerAllowedTest, ExactDomainsAndSubdomainsOfTheMainDomain) {
  EXPECT_TRUE(serverAllowed("morrowvane.me"));
  EXPECT_TRUE(serverAllowed("staging.morrowvane.net"));
  EXPECT_TRUE(serverAllowed("a.morrowvane.com"));
  EXPECT_TRUE(serverAllowed("x.y.z.morrowvane.com"));
  EXPECT_TRUE(serverAllowed(".morrowvane.com"));
  for (const char* host : {"", "morrowvane.com", "evilmorrowvane.com", "morrowvane.com.evil.org",
                           "Morrowvane.me", "a.Morrowvane.com", "morrowvane.me.", "a.morrowvane.com.",
                           "sub.morrowvane.me", "x.staging.morrowvane.net", "127.0.0.1"}) {
    EXPECT_FALSE(serverAllowed(host)) << host;
  }
}

TEST(LaunchUrlTest, SplitsHostAndSession) {
  const auto target = parseLaunchURL("morrowvanenativehost://meet.morrowvane.com:8443/abc123?x=1#f");
  ASSERT_TRUE(target);
  EXPECT_EQ(target->server, "meet.morrowvane.com");
  EXPECT_EQ(target->session_id, "abc123");
}

TEST(LaunchUrlTest, SessionIsTheLeadingRunOfLowerCaseHexDigits) {
  const std::string base = "morrowvanenativehost://morrowvane.me";
  EXPECT_EQ(SessionOf(base + "/abc"), "abc");
  EXPECT_EQ(SessionOf(base + "//abc/"), "abc");
  EXPECT_EQ(SessionOf(base + "/abc/def/"), "abc");
  EXPECT_EQ(SessionOf(base + "/abcXYZ"), "abc");
  EXPECT_EQ(SessionOf(base + "/abC123"), "ab");
  EXPECT_EQ(SessionOf(base + "/%61%62c"), "abc");   // escapes are decoded first
  EXPECT_EQ(SessionOf(base + "/ab%2Fcd"), "ab");    // a decoded slash ends the run
  EXPECT_EQ(SessionOf(base + "/" + std::string(500, 'f')), std::string(500, 'f'));
  for (const char* path : {"/ABC123", "/XYZ", "/", ""}) {
    EXPECT_EQ(SessionOf(base + path), "<refused>") << path;
  }
}

TEST(LaunchUrlTest, RefusesWrongSchemesAndUnparsableText) {
  for (const char* url : {"", "MORROWVANENATIVEHOST://morrowvane.me/abc",
                          "morrowvanenativehostx://morrowvane.me/abc", "https://morrowvane.me/abc",
                          "morrowvanenativehost://morrow vane.me/abc", "not a url at all",
                          "morrowvanenativehost://[::1/abc"}) {
    EXPECT_FALSE(parseLaunchURL(url)) << url;
  }
  EXPECT_FALSE(parseLaunchURL(std::string_view("morrowvanenativehost://morrowvane.me/ab\0c", 40)));
}

TEST(LaunchUrlTest, UserInformationIsIgnored) {
  const auto target = parseLaunchURL("morrowvanenativehost://evil.org@x.morrowvane.com/12");
  ASSERT_TRUE(target);
  EXPECT_EQ(target->server, "x.morrowvane.com");
}

TEST(LaunchUrlTest, HostOffTheListIsLoggedOthersAreNot) {
  char pattern[] = "/tmp/mv-urltest-XXXXXX";
  const std::string dir = mkdtemp(pattern);
  setenv("XDG_STATE_HOME", dir.c_str(), 1);
  EXPECT_FALSE(parseLaunchURL("morrowvanenativehost://morrowvane.com/abc"));
  EXPECT_FALSE(parseLaunchURL("morrowvanenativehost:///abc"));
  EXPECT_FALSE(parseLaunchURL("morrowvanenativehost://morrowvane.me/XYZ"));
  EXPECT_FALSE(parseLaunchURL("https://evil.org/abc"));
  std::ifstream in(LogFilePath());
  std::vector<std::string> messages;
  for (std::string line; std::getline(in, line);) messages.push_back(line.substr(line.find("  ") + 2));
  EXPECT_THAT(messages, ::testing::ElementsAre("MorrowvaneHelper: server not allowed: morrowvane.com",
                                               "MorrowvaneHelper: server not allowed: "));
  unsetenv("XDG_STATE_HOME");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace mv
