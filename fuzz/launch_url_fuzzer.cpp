// A launch URL, as the browser or the command line hands it over, through the
// splitting and validation. Checked: an accepted URL names an allowed server
// and a non-empty identifier of lower-case hexadecimal digits, and the
// canonical URL rebuilt from them is accepted with the same result; a refusal
// writes at most one log line, and every log line is one line.
#include "app/LaunchUrl.h"
#include "fuzz/FuzzCheck.h"
#include "platform/fake/FakePlatform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace mv;
  fuzz::DiscardLogFile();
  FakePlatform platform;
  SetCurrentPlatform(&platform);
  const struct Reset { ~Reset() { SetCurrentPlatform(nullptr); } } reset;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<LaunchTarget> target = parseLaunchURL(text);
  const auto lines = platform.SystemLogLines();
  for (const std::string& line : lines) {
    MV_FUZZ_CHECK(line.starts_with("MorrowvaneHelper: server not allowed: ") &&
                  line.find_first_of("\r\n") == std::string::npos);
  }
  MV_FUZZ_CHECK(lines.size() <= (target ? 0u : 1u));
  if (!target) return 0;
  MV_FUZZ_CHECK(text.starts_with("morrowvanenativehost:") && serverAllowed(target->server) &&
                text.find(target->server) != std::string_view::npos && !target->session_id.empty() &&
                target->session_id.find_first_not_of("0123456789abcdef") == std::string::npos);
  const auto again = parseLaunchURL(std::string(kLaunchUrlPrefix) + target->server + "/" + target->session_id);
  MV_FUZZ_CHECK(again && again->server == target->server && again->session_id == target->session_id);
  return 0;
}
