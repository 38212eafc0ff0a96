#include "platform/wayland/PortalRules.h"

#include <algorithm>
#include <cctype>

namespace mv::portal {
namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

// One trigger: modifier names as <Name> (GTK accelerators) or joined by '+',
// then the key.
char TriggerLetter(std::string_view trigger) {
  std::vector<std::string> names;
  std::string_view rest = Trim(trigger);
  if (const size_t open = rest.find('<'); open != std::string_view::npos) {
    rest.remove_prefix(open);  // GNOME puts a word ("Press") before it
    while (!rest.empty() && rest.front() == '<') {
      const size_t close = rest.find('>');
      if (close == std::string_view::npos) return 0;
      names.push_back(Lower(rest.substr(1, close - 1)));
      rest.remove_prefix(close + 1);
    }
  } else {
    for (size_t plus; (plus = rest.find('+')) != std::string_view::npos && plus + 1 < rest.size();) {
      names.push_back(Lower(Trim(rest.substr(0, plus))));
      rest.remove_prefix(plus + 1);
    }
  }
  rest = Trim(rest);
  const auto count = [&](std::initializer_list<std::string_view> aliases) {
    return std::count_if(names.begin(), names.end(), [&](const std::string& name) {
      return std::find(aliases.begin(), aliases.end(), name) != aliases.end();
    });
  };
  const bool modifiers = names.size() == 3 && count({"ctrl", "control", "primary"}) == 1 &&
                         count({"alt"}) == 1 && count({"shift"}) == 1;
  if (!modifiers || rest.size() != 1 || !std::isalpha(static_cast<unsigned char>(rest[0]))) return 0;
  return static_cast<char>(std::toupper(static_cast<unsigned char>(rest[0])));
}

}  // namespace

char ControlAltShiftLetter(std::string_view description) {
  for (size_t start = 0; start <= description.size();) {
    const size_t comma = std::min(description.find(',', start), description.size());
    if (const char letter = TriggerLetter(description.substr(start, comma - start))) return letter;
    start = comma + 1;
  }
  return 0;
}

std::optional<std::vector<Rect>> PlaceStreams(const std::vector<StreamGeometry>& streams,
                                              const std::vector<Rect>& monitors,
                                              std::string* problem) {
  std::vector<Rect> placed;
  std::vector<Rect> free = monitors;
  for (const StreamGeometry& stream : streams) {
    if (stream.has_position) std::erase(free, stream.rect);
  }
  const bool lone = streams.size() == 1 && !monitors.empty();
  for (const StreamGeometry& stream : streams) {
    if (stream.has_position || lone) {
      placed.push_back(stream.has_position ? stream.rect : monitors.front());
      continue;
    }
    const auto same_size = [&](const Rect& m) {
      return m.width == stream.rect.width && m.height == stream.rect.height;
    };
    const auto match = std::find_if(free.begin(), free.end(), same_size);
    if (match == free.end() || std::count_if(free.begin(), free.end(), same_size) > 1) {
      if (problem) {
        *problem = (match == free.end() ? "no monitor" : "more than one monitor") +
                   std::string(" has the size of a stream without position (") +
                   std::to_string(int(stream.rect.width)) + "x" +
                   std::to_string(int(stream.rect.height)) + ")";
      }
      return std::nullopt;
    }
    placed.push_back(*match);
    free.erase(match);
  }
  return placed;
}

bool SessionGone(std::string_view error_name, std::string_view message) {
  constexpr std::string_view kGone[] = {
      "org.freedesktop.DBus.Error.NoReply",         "org.freedesktop.DBus.Error.ServiceUnknown",
      "org.freedesktop.DBus.Error.NameHasNoOwner",  "org.freedesktop.DBus.Error.Disconnected",
      "org.freedesktop.DBus.Error.UnknownObject",   "org.freedesktop.DBus.Error.Timeout"};
  if (std::find(std::begin(kGone), std::end(kGone), error_name) != std::end(kGone)) return true;
  // The portal's word for a session it no longer knows.
  return error_name == "org.freedesktop.DBus.Error.AccessDenied" &&
         Lower(message).find("invalid session") != std::string::npos;
}

bool KdeHoldsPointerAtEdges(std::string_view desktop, std::string_view session_version,
                            const std::vector<std::string>& kwinrc) {
  if (Lower(desktop).find("kde") == std::string::npos) return false;
  int version = 0;
  for (char c : session_version) {
    if (!std::isdigit(static_cast<unsigned char>(c)) || version > 1000) return false;
    version = version * 10 + (c - '0');
  }
  if (version < 6) return false;
  // KWin's defaults; a later file overrides an earlier one key by key.
  bool edge = true, corner = true;
  for (const std::string& text : kwinrc) {
    bool in_group = false;
    size_t start = 0;
    while (start < text.size()) {
      const size_t end = std::min(text.find('\n', start), text.size());
      const std::string_view line = Trim(std::string_view(text).substr(start, end - start));
      start = end + 1;
      if (line.starts_with('[')) {
        in_group = line == "[EdgeBarrier]";
        continue;
      }
      const size_t equals = line.find('=');
      if (!in_group || equals == std::string_view::npos) continue;
      const std::string_view key = Trim(line.substr(0, equals)), value = Trim(line.substr(equals + 1));
      if (key == "EdgeBarrier") edge = value != "0";
      if (key == "CornerBarrier") corner = Lower(value) != "false";
    }
  }
  return edge || corner;
}

}  // namespace mv::portal
