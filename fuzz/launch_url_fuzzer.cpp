// A launch URL, as the browser or the command line hands it over, through
// the splitting and validation. Checked: an accepted URL names an allowed
// server and a non-empty identifier of lower-case hexadecimal digits, and
// the canonical URL rebuilt from them is accepted with the same result; a
// refusal writes at most one log line, and every log line is one line.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/LaunchUrl.h"
#include "fuzz/FuzzCheck.h"
#include "platform/fake/FakePlatform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace mv;
  fuzz::UsePrivateLogFolder();
  FakePlatform platform;
  SetCurrentPlatform(&platform);
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::optional<LaunchTarget> target = parseLaunchURL(text);
  const auto lines = platform.SystemLogLines();
  for (const std::string& line : lines) {
    MV_FUZZ_CHECK(line.starts_with("MorrowvaneHelper: server not allowed: "));
    MV_FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
  }
  if (target) {
    MV_FUZZ_CHECK(lines.empty());
    MV_FUZZ_CHECK(text.starts_with("morrowvanenativehost:"));
    MV_FUZZ_CHECK(serverAllowed(target->server));
    MV_FUZZ_CHECK(text.find(target->server) != std::string_view::npos);
    MV_FUZZ_CHECK(!target->session_id.empty());
    MV_FUZZ_CHECK(target->session_id.find_first_not_of("0123456789abcdef") == std::string::npos);
    const std::string canonical =
        std::string(kLaunchUrlPrefix) + target->server + "/" + target->session_id;
    const std::optional<LaunchTarget> again = parseLaunchURL(canonical);
    MV_FUZZ_CHECK(again && again->server == target->server &&
                  again->session_id == target->session_id);
  } else {
    MV_FUZZ_CHECK(lines.size() <= 1);
  }
  SetCurrentPlatform(nullptr);
  return 0;
}
