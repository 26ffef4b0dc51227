// The window's command line, as each front end reads it: the options both
// share, and those of one front end refused by the other.
#include "app/core/window_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumavix {
namespace {

constexpr WindowFrontEnd kQt = WindowFrontEnd::Qt;
constexpr WindowFrontEnd kWin = WindowFrontEnd::Win32;

TEST(WindowOptionsTest, TheCommandLine) {
  struct Case {
    std::vector<std::string> args;
    WindowFrontEnd frontEnd;
    ParseOutcome outcome;
    std::string simulate;  // "" when not simulating
    std::string file, screenshot, trace;
    int delay;
    bool autoUpdate;
  };
  const std::vector<Case> cases = {
      {{}, kQt, ParseOutcome::Run, "", "", "", "", 300, false},
      {{"--simulate"}, kWin, ParseOutcome::Run, "q", "", "", "", 300, false},
      {{"--simulate=", "fw.bin"}, kQt, ParseOutcome::Run, "q", "fw.bin", "", "", 300, false},
      {{"--simulate=q,latency-us=0", "--auto-update"}, kQt, ParseOutcome::Run, "q,latency-us=0",
       "", "", "", 300, true},
      {{"--screenshot=C:\\s.bmp", "--screenshot-delay", "1500", "--trace=t.txt"}, kWin,
       ParseOutcome::Run, "", "", "C:\\s.bmp", "t.txt", 1500, false},
      {{"--screenshot", "s.png", "--screenshot-delay=0"}, kQt, ParseOutcome::Run, "", "", "s.png",
       "", 0, false},
      {{"--screenshot-delay=-5"}, kQt, ParseOutcome::Error, "", "", "", "", 300, false},
      {{"--screenshot-delay=12ms"}, kWin, ParseOutcome::Error, "", "", "", "", 300, false},
      {{"--trace"}, kWin, ParseOutcome::Error, "", "", "", "", 300, false},
      {{"--sim-state"}, kQt, ParseOutcome::Error, "", "", "", "", 300, false},
      {{"--sim-state", "s.json"}, kQt, ParseOutcome::Error, "", "", "", "", 300, false},
      {{"a.bin", "b.bin"}, kWin, ParseOutcome::Error, "", "a.bin", "", "", 300, false},
      {{"--frobnicate"}, kQt, ParseOutcome::Error, "", "", "", "", 300, false},
      {{"--help"}, kQt, ParseOutcome::Help, "", "", "", "", 300, false},
      {{"/?"}, kWin, ParseOutcome::Help, "", "", "", "", 300, false},
      {{"--version", "--frobnicate"}, kWin, ParseOutcome::Version, "", "", "", "", 300, false},
      // What one front end does not implement, the other refuses.
      {{"--trace=t.txt"}, kQt, ParseOutcome::Error, "", "", "", "", 300, false},
      {{"--startup-time"}, kWin, ParseOutcome::Error, "", "", "", "", 300, false},
      {{"--screenshot-dialog=d.png"}, kWin, ParseOutcome::Error, "", "", "", "", 300, false},
      {{"/?"}, kQt, ParseOutcome::Run, "", "/?", "", "", 300, false},
  };
  for (const Case& c : cases) {
    std::string joined = c.frontEnd == kQt ? "Qt: " : "Win32: ";
    for (const std::string& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    WindowProgramOptions o;
    std::string error;
    const ParseOutcome got = ParseWindowArguments(c.args, c.frontEnd, o, error);
    ASSERT_EQ(got, c.outcome) << "outcome; error said: " << error;
    if (got == ParseOutcome::Error) {
      EXPECT_FALSE(error.empty()) << "a refused command line says why";
      continue;
    }
    if (got != ParseOutcome::Run) continue;
    EXPECT_EQ(o.simulate.value_or(""), c.simulate) << "simulated profile";
    EXPECT_EQ(o.firmwareFile, c.file) << "firmware file";
    EXPECT_EQ(o.screenshot, c.screenshot) << "screenshot file";
    EXPECT_EQ(o.trace, c.trace) << "trace file";
    EXPECT_EQ(o.screenshotDelayMs, c.delay) << "screenshot delay";
    EXPECT_EQ(o.autoUpdate, c.autoUpdate) << "auto update";
  }
}

TEST(WindowOptionsTest, TheConfirmationDialogsPictureAndTheStartupTimeAreQts) {
  WindowProgramOptions o;
  std::string error;
  ASSERT_EQ(ParseWindowArguments({"--screenshot-dialog", "d.png", "--startup-time"}, kQt, o, error),
            ParseOutcome::Run)
      << error;
  EXPECT_EQ(o.screenshot, "d.png");
  EXPECT_TRUE(o.screenshotDialog) << "the dialog is grabbed, not the window";
  EXPECT_TRUE(o.startupTime);
}

}  // namespace
}  // namespace lumavix
