// The portal clients' rules that need no desktop.
#include <gtest/gtest.h>

#include "platform/wayland/PortalRules.h"

namespace mv::portal {
namespace {

TEST(PortalRulesTest, TriggerDescriptionsOfBothDesktopsGiveTheLetterOfControlAltShiftOnly) {
  const std::pair<const char*, char> rows[] = {
      {"Ctrl+Alt+Shift+E", 'E'},                 // KDE
      {"Shift+Ctrl+Alt+q", 'Q'},                 // any order
      {"Press <Shift><Control><Alt>e", 'E'},     // GNOME 48
      {"<Primary><Alt><Shift>x", 'X'},           // a bare GTK accelerator
      {"Meta+F, Ctrl+Alt+Shift+C", 'C'},         // one of several
      {"Ctrl+Alt+E", 0},                         // Shift missing
      {"Press <Shift><Control>e", 0},
      {"Ctrl+Alt+Shift+Meta+E", 0},              // one modifier too many
      {"Press <Shift><Control><Alt><Super>e", 0},
      {"Ctrl+Ctrl+Shift+E", 0},
      {"Ctrl+Alt+Shift+F1", 0},                  // not a letter
      {"Ctrl+Alt+Shift+1", 0},
      {"Press <Shift><Control><Alt", 0},         // cut short
      {"Strg+Alt+Umschalt+E", 0},                // translated
      {"", 0},
  };
  for (const auto& [description, letter] : rows) {
    EXPECT_EQ(ControlAltShiftLetter(description), letter) << description;
  }
}

TEST(PortalRulesTest, StreamsWithoutPositionAreMatchedToMonitorsOnlyWhenCertain) {
  const Rect wide{0, 0, 1920, 1080}, small{1920, 0, 1280, 800}, small2{3200, 0, 1280, 800};
  const auto at = [](Rect r) { return StreamGeometry{r, true}; };
  const auto sized = [](Rect r) { return StreamGeometry{{0, 0, r.width, r.height}, false}; };
  struct Row {
    const char* name;
    std::vector<StreamGeometry> streams;
    std::vector<Rect> monitors;  // the primary first
    std::optional<std::vector<Rect>> placed;
  } rows[] = {
      {"positions kept", {at(small), at(wide)}, {wide, small}, {{small, wide}}},
      {"one stream: the primary", {sized({0, 0, 640, 480})}, {small, wide}, {{small}}},
      {"by size", {sized(small), sized(wide)}, {wide, small}, {{small, wide}}},
      {"the rest by size", {at(small), sized(wide)}, {wide, small}, {{small, wide}}},
      {"two of one size", {sized(small), sized(small2)}, {small, small2}, std::nullopt},
      {"no monitor that size", {sized(wide), sized({0, 0, 800, 600})}, {wide, small}, std::nullopt},
      {"more streams than monitors", {sized(wide), sized(wide)}, {wide, small}, std::nullopt},
      {"no monitors", {sized(wide)}, {}, std::nullopt},
  };
  for (const Row& row : rows) {
    std::string problem;
    EXPECT_EQ(PlaceStreams(row.streams, row.monitors, &problem), row.placed) << row.name;
    EXPECT_EQ(problem.empty(), row.placed.has_value()) << row.name << ": " << problem;
  }
}

TEST(PortalRulesTest, OnlyErrorsOfAGoneSessionEndIt) {
  const std::tuple<const char*, const char*, bool> rows[] = {
      {"org.freedesktop.DBus.Error.AccessDenied", "Invalid session", true},
      {"org.freedesktop.DBus.Error.NoReply", "Did not receive a reply", true},
      {"org.freedesktop.DBus.Error.ServiceUnknown", "", true},
      {"org.freedesktop.DBus.Error.UnknownObject", "", true},
      {"org.freedesktop.DBus.Error.Disconnected", "", true},
      {"org.freedesktop.DBus.Error.AccessDenied", "Session is not allowed to call NotifyPointer", false},
      {"org.freedesktop.DBus.Error.InvalidArgs", "Invalid position", false},
      {"org.freedesktop.DBus.Error.Failed", "Invalid session", false},
  };
  for (const auto& [name, message, gone] : rows) EXPECT_EQ(SessionGone(name, message), gone) << name;
}

TEST(PortalRulesTest, KdeFromSixHoldsThePointerAtMonitorEdgesUnlessBothBarriersAreOff) {
  const std::string off = "[EdgeBarrier]\nEdgeBarrier=0\nCornerBarrier=false\n";
  const std::tuple<const char*, const char*, std::vector<std::string>, bool> rows[] = {
      {"KDE", "6", {}, true},  // KWin's defaults
      {"KDE", "6", {off}, false},
      {"KDE", "6", {"[General]\nx=1\n[EdgeBarrier]\n EdgeBarrier = 0 \nCornerBarrier=False"}, false},
      {"KDE", "6", {"[EdgeBarrier]\nEdgeBarrier=0\n"}, true},  // the corner's stays
      {"KDE", "6", {"[EdgeBarrier]\nCornerBarrier=false\n"}, true},
      {"KDE", "6", {"[Other]\nEdgeBarrier=0\nCornerBarrier=false\n"}, true},
      {"KDE", "6", {off, "[EdgeBarrier]\nEdgeBarrier=100\n"}, true},  // the user's over the system's
      {"KDE", "6", {"[EdgeBarrier]\nEdgeBarrier=50\n", off}, false},
      {"ubuntu:KDE", "6", {}, true},
      {"KDE", "5", {}, false},  // Plasma 5 has none
      {"KDE", "", {}, false},
      {"KDE", "6x", {}, false},
      {"GNOME", "6", {}, false},
  };
  for (const auto& [desktop, version, files, holds] : rows) {
    EXPECT_EQ(KdeHoldsPointerAtEdges(desktop, version, files), holds)
        << desktop << " " << version << " " << (files.empty() ? "" : files.back());
  }
}

}  // namespace
}  // namespace mv::portal
