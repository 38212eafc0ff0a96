// The single instance over a private D-Bus session bus: later launches hand
// their URL to the running instance through org.freedesktop.Application and
// end with status 0; without a bus the program runs on its own.
#include <gtest/gtest.h>

#include <string>

#include "tests/platform/XvfbFixture.h"

namespace mv::test {
namespace {

class QtSingleInstanceTest : public XvfbFixture {
 protected:
  // Runs `script` with $P set to the probe program and a private state
  // folder; answers its output.
  std::string RunScript(const std::string& script, int* status = nullptr) {
    std::string output;
    const int result = Server().Run(
        "S=$(mktemp -d); export S XDG_STATE_HOME=$S XDG_RUNTIME_DIR=$S; export P='" MV_QT_PROBE "'; " +
            script + "; rm -rf \"$S\"",
        &output, 90);
    if (status) *status = result;
    return output;
  }
};

TEST_F(QtSingleInstanceTest, LaterLaunchesForwardTheirUrlToTheRunningInstance) {
  // The first instance must own the name before the others start; each later
  // launch must end by itself with status 0 and print no "launched".
  const std::string output = RunScript(R"(dbus-run-session -- sh -c '
      "$P" > "$S/first" 2>/dev/null &
      first=$!
      i=0
      until grep -q launched "$S/first"; do
        i=$((i+1)); [ $i -gt 400 ] && { echo "first never launched"; kill $first; exit 0; }
        sleep 0.05
      done
      "$P" some-argument morrowvanenativehost://example.test/abc morrowvanenativehost://x/def 2>/dev/null | sed "s/^/second: /"
      "$P" 2>/dev/null | sed "s/^/bare: /"
      "$P" morrowvanenativehost://example.test/stop 2>/dev/null | sed "s/^/third: /"
      wait $first
      echo "first status $?"
      sed "s/^/first: /" "$S/first"
    ')");
  EXPECT_EQ(output,
            "second: ended 0\n"
            "bare: ended 0\n"
            "third: ended 0\n"
            "first status 0\n"
            "first: launched\n"
            "first: url morrowvanenativehost://example.test/abc\n"
            "first: url morrowvanenativehost://example.test/stop\n"
            "first: ended 0\n");
}

TEST_F(QtSingleInstanceTest, WithoutASessionBusTheProgramRunsAloneAndSaysSo) {
  const std::string output = RunScript(
      "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus \"$P\" --quit-when-launched "
      "2>/dev/null; cat \"$S/MorrowvaneHelper/MorrowvaneHelper.log\" | cut -c28-");
  EXPECT_EQ(output,
            "launched\n"
            "ended 0\n"
            "MorrowvaneHelper: no session bus; running without single-instance forwarding\n");
}

TEST_F(QtSingleInstanceTest, ASecondInstanceStartsOnceTheFirstHasEnded) {
  const std::string output = RunScript(R"(dbus-run-session -- sh -c '
      "$P" --quit-when-launched 2>/dev/null
      "$P" --quit-when-launched 2>/dev/null
    ')");
  EXPECT_EQ(output, "launched\nended 0\nlaunched\nended 0\n");
}

}  // namespace
}  // namespace mv::test
