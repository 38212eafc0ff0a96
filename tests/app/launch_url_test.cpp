// The launch URL: scheme, allow-list and session identifier rules.
#include <gmock/gmock.h>

#include <filesystem>

#include "app/LaunchUrl.h"
#include "platform/fake/FakePlatform.h"

namespace mv {
namespace {

TEST(LaunchUrlTest, HostAndSessionRules) {
  char dir[] = "/tmp/mv-urltest-XXXXXX";
  setenv("XDG_STATE_HOME", mkdtemp(dir), 1);  // the log stays out of the user's home
  FakePlatform platform;
  SetCurrentPlatform(&platform);
  const std::string me = "morrowvanenativehost://morrowvane.me";
  // Each row: a URL and "server session", or "" when refused.
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"morrowvanenativehost://meet.morrowvane.com:8443/abc123?x=1#f", "meet.morrowvane.com abc123"},
      {"morrowvanenativehost://evil.org@x.morrowvane.com/12", "x.morrowvane.com 12"},
      {"morrowvanenativehost://staging.morrowvane.net/1", "staging.morrowvane.net 1"},
      {me + "//abc/def/", "morrowvane.me abc"},
      {me + "/abC123", "morrowvane.me ab"},
      {me + "/%61%62c", "morrowvane.me abc"},  // escapes are decoded first
      {me + "/ab%2Fcd", "morrowvane.me ab"},   // a decoded slash ends the run
      {me + "/ABC123", ""}, {me + "/", ""}, {me, ""},
      {"MORROWVANENATIVEHOST://morrowvane.me/abc", ""}, {"https://morrowvane.me/abc", ""},
      {"morrowvanenativehost://morrow vane.me/abc", ""}, {"morrowvanenativehost://[::1/abc", ""},
      {std::string("morrowvanenativehost://morrowvane.me/ab\0c", 40), ""},
      {"morrowvanenativehost://morrowvane.com/abc", ""}, {"morrowvanenativehost://evilmorrowvane.com/a", ""},
      {"morrowvanenativehost://morrowvane.com.evil.org/a", ""}, {"morrowvanenativehost://a.Morrowvane.com/a", ""},
      {"morrowvanenativehost://a.morrowvane.com./a", ""}, {"morrowvanenativehost://sub.morrowvane.me/a", ""},
  };
  for (const auto& [url, expected] : rows) {
    const auto target = parseLaunchURL(url);
    EXPECT_EQ(target ? target->server + " " + target->session_id : "", expected) << url;
  }
  EXPECT_THAT(platform.SystemLogLines(),
              ::testing::Contains("MorrowvaneHelper: server not allowed: morrowvane.com.evil.org"));
  EXPECT_THAT(platform.SystemLogLines(), ::testing::Not(::testing::Contains(::testing::HasSubstr("ABC123"))));
  SetCurrentPlatform(nullptr);
  unsetenv("XDG_STATE_HOME");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace mv
