// lumavix-fw as scripts use it: output, JSON and exit statuses, run as a
// separate process against the simulated camera.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <nlohmann/json.hpp>

#include "cli_run.h"

namespace {

using CliRun = lumavix::test::CliResult;
using lumavix::test::last_line;

CliRun run(const std::string& args) {
  return lumavix::test::run_shell(std::string(LUMAVIX_CLI_PATH) + " " + args + " 2>/dev/null");
}

TEST(Cli, ListsTheSimulatedCameraAsJson) {
  const CliRun r = run("--simulate list --json");
  ASSERT_EQ(r.status, 0) << r.out;
  const auto j = nlohmann::json::parse(last_line(r.out));
  ASSERT_EQ(j["cameras"].size(), 1u) << r.out;
  const auto& cam = j["cameras"][0];
  EXPECT_EQ(cam["position"], 0);
  EXPECT_EQ(cam["kind"], "Hid");
  EXPECT_TRUE(cam["variant"].is_null());
  EXPECT_EQ(cam["chipGen"], 2);
  EXPECT_FALSE(cam["path"].get<std::string>().empty());
}

TEST(Cli, FlashIdOfTheDefaultProfile) {
  const CliRun r = run("--simulate flash id");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("C2 20 11"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("MX25L1006E-1Mbit"), std::string::npos) << r.out;
}

TEST(Cli, ExitStatuses) {
  struct Case {
    const char* args;
    int status;
  } cases[] = {
      {"--simulate=none list", 3},
      {"--simulate=none list --json", 3},
      {"--simulate reg read 0000 3", 2},
      {"--simulate reg read XYZ 1", 2},
      {"--simulate flash read 0 0", 2},
      {"--simulate=nosuchprofile list", 2},
      {"--simulate=q,nosuchkey=1 list", 2},
      {"--simulate frobnicate", 2},
      {"", 2},
      {"--simulate reg read 0000 4", 0},
      {"--version", 0},
      {"--help", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(run(c.args).status, c.status) << c.args;
}

TEST(Cli, NoCameraResultSaysWhy) {
  const CliRun r = run("--simulate=none list --json");
  ASSERT_EQ(r.status, 3);
  const auto j = nlohmann::json::parse(last_line(r.out));
  EXPECT_NE(j["error"].get<std::string>().find("no camera found"), std::string::npos) << r.out;
}

TEST(Cli, FlashReadShowsTheUserDataVersion) {
  // The default camera's user-data block carries firmware version 0x0104 at
  // block offset 4, little-endian; the block lies 0x2000 behind the code base.
  const CliRun r = run("--simulate=q,fw=0213 flash read 0 16 --json");
  ASSERT_EQ(r.status, 0) << r.out;
  const auto j = nlohmann::json::parse(last_line(r.out));
  EXPECT_EQ(j["data"].get<std::string>().substr(0, 4), "7A3C") << "a complete image starts with the boot magic";
}

TEST(Cli, SimulatedStatePersistsAcrossRuns) {
  const auto state = std::filesystem::temp_directory_path() / "lumavix-cli-test.state";
  std::filesystem::remove(state);
  ASSERT_EQ(run("--simulate --sim-state " + state.string() + " list").status, 0);
  EXPECT_TRUE(std::filesystem::exists(state)) << "the state is saved at the end";
  EXPECT_EQ(run("--simulate --sim-state " + state.string() + " flash id").status, 0)
      << "and loaded by the next run";
  std::filesystem::remove(state);
}

}  // namespace
