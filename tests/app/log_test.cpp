// The diagnostic log file: place, permissions, line format, escaping and
// concurrent writers.
#include <gmock/gmock.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "base/Log.h"
#include "platform/fake/FakePlatform.h"

namespace mv {
namespace {

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}
mode_t Mode(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 0777;
}
const std::regex kDate(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \+0000)");

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/mv-logtest-XXXXXX";
    root_ = mkdtemp(pattern);
    setenv("XDG_STATE_HOME", (root_ + "/state").c_str(), 1);
    SetCurrentPlatform(&platform_);
  }
  void TearDown() override {
    unsetenv("XDG_STATE_HOME");
    SetCurrentPlatform(nullptr);
    std::filesystem::remove_all(root_);
  }
  std::string root_;
  FakePlatform platform_;
};

TEST_F(LogTest, PrivateFileWithOneEscapedLinePerMessage) {
  // Text from the server or a URL: no control character, C1 control or
  // invalid byte gets through raw, and a huge one is cut on a character.
  const std::string huge = std::string(kMaxLoggedBytes - 1, 'a') + "\xC3\xA9" + "tail";
  const std::vector<std::pair<std::string, std::string>> rows = {
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
  const std::string path = root_ + "/state/MorrowvaneHelper/MorrowvaneHelper.log";
  ASSERT_EQ(LogFilePath(), path);
  EXPECT_EQ(std::regex_replace(Read(path), kDate, "D"), expected_file);
  EXPECT_EQ(platform_.SystemLogLines(), expected_syslog);
  EXPECT_EQ(Mode(root_ + "/state"), 0700u);
  EXPECT_EQ(Mode(root_ + "/state/MorrowvaneHelper"), 0700u);
  EXPECT_EQ(Mode(path), 0600u);
}

TEST_F(LogTest, OnlyAPrivateRegularFileIsWrittenAndWritersNeverInterleave) {
  MVLogWrite("x");  // makes the folder
  const std::string path = LogFilePath(), other = root_ + "/other";
  // Each row puts something at the log's path; `written` says whether the
  // line may land there.
  const std::vector<std::pair<std::function<void()>, bool>> rows = {
      {[&] { std::filesystem::create_symlink(other, path); }, false},
      {[&] { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }, false},  // would block
      {[&] { std::ofstream(path) << "old\n"; chmod(path.c_str(), 0644); }, true},
  };
  ::testing::internal::CaptureStderr();
  for (const auto& [put, written] : rows) {
    std::filesystem::remove(path);
    std::ofstream(other) << "other\n";
    put();
    MVLogWrite("line");
    EXPECT_EQ(Read(other), "other\n");
    if (written) {
      EXPECT_THAT(Read(path), ::testing::MatchesRegex("old\n.*  line\n"));
    }
  }
  EXPECT_EQ(Mode(path), 0600u);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              ::testing::MatchesRegex("morrowvane-helper: not writing the log file [^\n]*\n"));

  std::filesystem::remove(path);
  {
    std::vector<std::jthread> writers;
    for (int t = 0; t < 4; ++t) {
      writers.emplace_back([t] {
        for (int i = 0; i < 200; ++i) MVLogWrite("w" + std::to_string(t) + std::string(200, 'x'));
      });
    }
  }
  std::ifstream in(path);
  int count = 0;
  for (std::string l; std::getline(in, l); ++count) ASSERT_TRUE(std::regex_match(l, std::regex(R"(.{25}  w\dx{200})"))) << l;
  EXPECT_EQ(count, 800);
}

}  // namespace
}  // namespace mv
