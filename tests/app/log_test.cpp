// The diagnostic log file: place, permissions, line format, appending and
// concurrent writers.
#include <gmock/gmock.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "app/Log.h"
#include "platform/fake/FakePlatform.h"

namespace mv {
namespace {

using ::testing::ElementsAre;

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/mv-logtest-XXXXXX";
    root_ = mkdtemp(pattern);
    saved_home_ = std::getenv("HOME") ? std::getenv("HOME") : "";
    unsetenv("XDG_STATE_HOME");
  }
  void TearDown() override {
    setenv("HOME", saved_home_.c_str(), 1);
    unsetenv("XDG_STATE_HOME");
    SetCurrentPlatform(nullptr);
    std::filesystem::remove_all(root_);
  }
  std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static mode_t Mode(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 0777;
  }
  std::string root_;
  std::string saved_home_;
};

TEST_F(LogTest, FirstLineCreatesPrivateFolderAndFile) {
  setenv("XDG_STATE_HOME", (root_ + "/state").c_str(), 1);
  MVLogWrite("MorrowvaneHelper: first");
  const std::string path = root_ + "/state/MorrowvaneHelper/MorrowvaneHelper.log";
  EXPECT_EQ(LogFilePath(), path);
  const std::string text = Read(path);
  EXPECT_TRUE(std::regex_match(
      text, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \+0000  MorrowvaneHelper: first\n)")))
      << text;
  EXPECT_EQ(Mode(root_ + "/state"), 0700u);
  EXPECT_EQ(Mode(root_ + "/state/MorrowvaneHelper"), 0700u);
  EXPECT_EQ(Mode(path), 0600u);
}

TEST_F(LogTest, FallsBackToHomeAndIgnoresARelativeStateHome) {
  setenv("HOME", root_.c_str(), 1);
  setenv("XDG_STATE_HOME", "relative/state", 1);
  EXPECT_EQ(LogFilePath(), root_ + "/.local/state/MorrowvaneHelper/MorrowvaneHelper.log");
  MVLogWrite("x");
  EXPECT_TRUE(std::filesystem::exists(LogFilePath()));
}

TEST_F(LogTest, AppendsOneHonestLinePerMessage) {
  setenv("XDG_STATE_HOME", root_.c_str(), 1);
  FakePlatform platform;
  SetCurrentPlatform(&platform);
  // Text from the server or a URL: no control character, C1 control or
  // invalid byte gets through raw, and a huge one is cut on a character.
  const std::string huge = std::string(kMaxLoggedBytes - 1, 'a') + "\xC3\xA9" + "tail";
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"one", "one"},
      {"", ""},
      {"100% %s %@ %d", "100% %s %@ %d"},
      {"two\nlines\r\t\x01\x7F", "two\\nlines\\r\\t\\x01\\x7F"},
      {"caf\xC3\xA9 \xC2\x85 \xFF\xC3", "caf\xC3\xA9 \\xC2\\x85 \\xFF\\xC3"},
      {huge, std::string(kMaxLoggedBytes - 1, 'a') + " [cut at 4095 of 4101 bytes]"},
  };
  std::string expected_file;
  std::vector<std::string> expected_syslog;
  for (const auto& [message, logged] : rows) {
    MVLogWrite(message);
    expected_file += "D  " + logged + "\n";
    expected_syslog.push_back(logged);
  }
  const std::regex date(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \+0000)");
  EXPECT_EQ(std::regex_replace(Read(LogFilePath()), date, "D"), expected_file);
  EXPECT_EQ(platform.SystemLogLines(), expected_syslog);
}

TEST_F(LogTest, OnlyAPrivateRegularFileOfTheUserIsWritten) {
  setenv("XDG_STATE_HOME", root_.c_str(), 1);
  const std::string path = LogFilePath();
  const std::string other = root_ + "/other";
  FakePlatform platform;
  SetCurrentPlatform(&platform);
  // Each row puts something at the log's path; `written` says whether the
  // line may land there.
  const std::vector<std::pair<std::function<void()>, bool>> rows = {
      {[&] { std::filesystem::create_symlink(other, path); }, false},
      {[&] { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }, false},  // would block
      {[&] { std::ofstream(path) << "old\n"; chmod(path.c_str(), 0644); }, true},
  };
  MVLogWrite("x");  // makes the folder
  ::testing::internal::CaptureStderr();
  for (const auto& [put, written] : rows) {
    std::filesystem::remove(path);
    std::ofstream(other) << "other\n";
    put();
    MVLogWrite("line");
    EXPECT_EQ(Read(other), "other\n");
    if (written) {
      EXPECT_THAT(Read(path), ::testing::MatchesRegex("old\n.*  line\n"));
      EXPECT_EQ(Mode(path), 0600u);
    }
  }
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              ::testing::MatchesRegex("morrowvane-helper: not writing the log file [^\n]*\n"));
  EXPECT_EQ(platform.SystemLogLines().size(), 1 + rows.size());
}

TEST_F(LogTest, TimestampIsUtc) {
  const std::string stamp = LogTimestamp();
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char hour[3];
  std::strftime(hour, sizeof hour, "%H", &utc);
  // The hour is UTC's (allowing for the turn of an hour between the calls).
  std::tm later{};
  const std::time_t after = std::time(nullptr);
  gmtime_r(&after, &later);
  char later_hour[3];
  std::strftime(later_hour, sizeof later_hour, "%H", &later);
  const std::string h = stamp.substr(11, 2);
  EXPECT_TRUE(h == hour || h == later_hour) << stamp;
  EXPECT_EQ(stamp.substr(19), " +0000");
}

TEST_F(LogTest, UnwritableFolderLosesTheLineQuietly) {
  const std::string blocker = root_ + "/file";
  std::ofstream(blocker) << "not a folder";
  setenv("XDG_STATE_HOME", blocker.c_str(), 1);
  MVLogWrite("lost");  // must return normally
  EXPECT_FALSE(std::filesystem::exists(blocker + "/MorrowvaneHelper"));
}

TEST_F(LogTest, ConcurrentWritersNeverInterleave) {
  setenv("XDG_STATE_HOME", root_.c_str(), 1);
  constexpr int kThreads = 4;
  constexpr int kLines = 200;
  {
    std::vector<std::jthread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([t] {
        for (int i = 0; i < kLines; ++i) {
          MVLogWrite("MorrowvaneHelper: writer " + std::to_string(t) + " line " +
                     std::to_string(i) + std::string(200, 'x'));
        }
      });
    }
  }
  std::ifstream in(LogFilePath());
  const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \+0000  MorrowvaneHelper: writer \d line \d+x{200})");
  int count = 0;
  for (std::string l; std::getline(in, l); ++count) {
    ASSERT_TRUE(std::regex_match(l, line)) << l;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
}  // namespace mv
