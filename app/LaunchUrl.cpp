#include "app/LaunchUrl.h"

#include <uriparser/Uri.h>

#include <memory>

#include "base/Log.h"

namespace mv {
namespace {

constexpr std::string_view kScheme = "morrowvanenativehost";
constexpr std::string_view kMeetingDomain = "morrowvane.me";
constexpr std::string_view kStagingDomain = "staging.morrowvane.net";
constexpr std::string_view kMainDomain = "morrowvane.com";
constexpr std::string_view kHostAlphabet = "abcdefghijklmnopqrstuvwxyz0123456789.-";
constexpr std::string_view kSessionIdAlphabet = "abcdef0123456789";

std::string_view RangeText(const UriTextRangeA& range) {
  if (range.first == nullptr || range.afterLast == nullptr) return {};
  return {range.first, static_cast<size_t>(range.afterLast - range.first)};
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

struct UriDeleter {
  void operator()(UriUriA* uri) const {
    uriFreeUriMembersA(uri);
    delete uri;
  }
};

}  // namespace

bool serverAllowed(std::string_view host) {
  // Only the characters of a host name: an escape such as "%2F" would end in
  // an allowed domain yet name another host once decoded.
  if (host.empty() || host.find_first_not_of(kHostAlphabet) != std::string_view::npos) return false;
  if (host == kMeetingDomain) return true;
  if (host == kStagingDomain) return true;
  return host.size() > kMainDomain.size() && host.ends_with(kMainDomain) &&
         host[host.size() - kMainDomain.size() - 1] == '.';
}

std::optional<LaunchTarget> parseLaunchURL(std::string_view text) {
  if (text.empty()) return std::nullopt;
  // uriparser reads up to the end pointer; an embedded NUL makes the text
  // invalid for it, as it is for any URL.
  std::unique_ptr<UriUriA, UriDeleter> uri(new UriUriA{});
  const char* error_pos = nullptr;
  if (uriParseSingleUriExA(uri.get(), text.data(), text.data() + text.size(), &error_pos) !=
      URI_SUCCESS) {
    return std::nullopt;
  }
  if (RangeText(uri->scheme) != kScheme) return std::nullopt;

  const std::string host(RangeText(uri->hostText));
  if (!serverAllowed(host)) {
    MVLogWrite("MorrowvaneHelper: server not allowed: " + host);
    return std::nullopt;
  }

  // The path as written: its segments, each after a slash (empty segments
  // point outside the text, so the path is rebuilt rather than sliced).
  std::string raw_path;
  for (const UriPathSegmentA* segment = uri->pathHead; segment; segment = segment->next) {
    raw_path.append("/").append(RangeText(segment->text));
  }
  // Leading slashes do not count; the identifier is the run of lower-case
  // hexadecimal digits that follows them.
  const std::string decoded = PercentDecode(raw_path);
  std::string_view path = decoded;
  const size_t begin = path.find_first_not_of('/');
  path = begin == std::string_view::npos ? std::string_view{} : path.substr(begin);

  const size_t run = path.find_first_not_of(kSessionIdAlphabet);
  const std::string_view session_id = path.substr(0, run);
  if (session_id.empty()) return std::nullopt;
  return LaunchTarget{host, std::string(session_id)};
}

}  // namespace mv
