// The progress of `lumavix-fw update` as scripts and logs see it: JSON
// progress events name the phase; when standard error is not a terminal the
// text progress is a line per phase and per tenth, never redrawn in place.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli_run.h"

namespace {

constexpr const char* kSim = "--simulate=q,latency-us=5,busy=0 ";

class ProgressCli : public lumavix::test::CliFolderTest {
 protected:
  void SetUp() override {
    CliFolderTest::SetUp();
    const auto r = run_in_folder("make-firmware --version 0105 --product-id 0E51 -o fw.bin");
    ASSERT_EQ(r.status, 0) << r.out;
  }
};

TEST_F(ProgressCli, JsonProgressEventsCarryThePhaseInOrder) {
  const auto r = run_in_folder(std::string(kSim) + "--json update --yes", "2>/dev/null");
  ASSERT_EQ(r.status, 0) << r.out;
  std::istringstream lines(r.out);
  std::string line;
  std::vector<std::string> order;
  std::map<std::string, int> events;
  int lastPercent = -1;
  int lastOverall = 0;
  while (std::getline(lines, line)) {
    const auto j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.contains("event") || j["event"] != "progress") continue;
    ASSERT_TRUE(j.contains("phase")) << "a progress event without its phase: " << line;
    const std::string phase = j["phase"];
    ASSERT_TRUE(phase == "erase" || phase == "program" || phase == "verify") << line;
    const int percent = j["percent"];
    EXPECT_GE(percent, 0) << line;
    EXPECT_LE(percent, 100) << line;
    if (j.contains("secondsLeft")) {
      EXPECT_GE(j["secondsLeft"].get<long>(), 0) << line;
    }
    if (order.empty() || order.back() != phase) {
      order.push_back(phase);
      lastPercent = -1;
    }
    ASSERT_TRUE(j.contains("overallPercent")) << line;
    const int overall = j["overallPercent"];
    // An event says something new: the phase's percentage rose, or the
    // whole update's did (its last percent comes with the outcome).
    EXPECT_TRUE(percent > lastPercent || overall > lastOverall) << "nothing new in " << line;
    EXPECT_GE(percent, lastPercent) << "percentages expected to rise within a phase: " << line;
    EXPECT_GE(overall, lastOverall) << "the whole update's percentage fell: " << line;
    lastPercent = percent;
    lastOverall = overall;
    ++events[phase];
  }
  EXPECT_EQ(order, (std::vector<std::string>{"erase", "program", "verify"}));
  EXPECT_EQ(lastOverall, 100) << "the whole update expected to end at 100";
  EXPECT_GE(events["verify"], 10) << "the verification expected to report as it goes";
  EXPECT_LE(events["program"], 101);
}

TEST_F(ProgressCli, WithoutATerminalALinePerPhaseAndPerTenth) {
  // Standard error goes into the captured output: a pipe, not a terminal.
  const auto r = run_in_folder(std::string(kSim) + "update --yes", "2>&1");
  ASSERT_EQ(r.status, 0) << r.out;
  // A carriage return that does not end a line (Windows writes "\r\n") is a
  // redraw.
  for (std::size_t at = r.out.find('\r'); at != std::string::npos; at = r.out.find('\r', at + 1))
    ASSERT_EQ(r.out.substr(at, 2), "\r\n") << "nothing redrawn in place in a log, at " << at;
  std::istringstream lines(r.out);
  std::string line;
  std::map<std::string, std::vector<int>> seen;
  for (const char* phase : {"Erasing", "Writing", "Verifying"}) seen[phase];
  while (std::getline(lines, line)) {
    // "[57%] Step 2 of 3: Writing... 42%": the whole update's share, then
    // the step's line.
    if (line.rfind("[", 0) != 0) continue;
    for (auto& [phase, percents] : seen) {
      const std::size_t at = line.find(phase + std::string("... "));
      if (at != std::string::npos) percents.push_back(std::stoi(line.substr(at + phase.size() + 4)));
    }
  }
  for (const auto& [phase, percents] : seen) {
    EXPECT_GE(percents.size(), 2u) << phase << ": lines expected as it goes\n" << r.out;
    EXPECT_LE(percents.size(), 11u) << phase << ": at most a line per tenth expected\n" << r.out;
    for (std::size_t i = 1; i < percents.size(); ++i) {
      EXPECT_GT(percents[i] / 10, percents[i - 1] / 10)
          << phase << ": one line per tenth expected, got " << percents[i - 1] << " then "
          << percents[i];
    }
  }
}

}  // namespace
