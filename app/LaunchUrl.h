// The launch URL: "morrowvanenativehost://<host>/<session identifier>".
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace mv {

inline constexpr std::string_view kLaunchUrlPrefix = "morrowvanenativehost://";

struct LaunchTarget {
  std::string server;      // the host, unchanged (no port)
  std::string session_id;  // lower-case hexadecimal digits
};

// The allow-list of sharing servers (case-sensitive, exact): the meeting and
// staging domains themselves, and any subdomain of the main domain.
bool serverAllowed(std::string_view host);

// Splits and validates a launch URL. A host off the allow-list is logged as
// "server not allowed"; other refusals log nothing. The caller stores and
// logs an accepted target.
std::optional<LaunchTarget> parseLaunchURL(std::string_view text);

}  // namespace mv
