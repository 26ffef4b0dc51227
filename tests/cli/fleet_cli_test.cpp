// The command line for many cameras, run as a separate process against
// several simulated cameras: `update --all`, the plan of `--dry-run` against
// the run it predicts, and `--wait-replug` against the simulated camera's
// reconnection after its update.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli_run.h"

namespace {

using lumavix::test::CliResult;
using lumavix::test::last_json;

constexpr const char* kFast = "--simulate=q,latency-us=0,busy=0";

// Every JSON object of an output that is not a progress or notify event.
std::vector<nlohmann::json> results(const std::string& out) {
  std::vector<nlohmann::json> v;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    auto j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_discarded() && !j.contains("event")) v.push_back(j);
  }
  return v;
}

class FleetCli : public lumavix::test::CliFolderTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    const CliResult r = run("make-firmware --version 0105 --product-id 0E51 -o fw.bin");
    ASSERT_EQ(r.status, 0) << r.out;
  }
  CliResult run(const std::string& args) { return run_in_folder(args, "2>/dev/null"); }
};

TEST_F(FleetCli, AllUpdatesEveryCameraThenFindsThemUpToDate) {
  const std::string sim = std::string(kFast) + ",count=3 --sim-state st.sim --json ";
  CliResult r = run(sim + "update --all --yes");
  ASSERT_EQ(r.status, 0) << r.out;
  std::vector<nlohmann::json> v = results(r.out);
  ASSERT_EQ(v.size(), 4u) << "three camera objects and a summary expected:\n" << r.out;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(v[i]["position"], i) << v[i];
    EXPECT_EQ(v[i]["path"], "/sim/hidraw" + std::to_string(i)) << v[i];
    EXPECT_EQ(v[i]["outcome"], "updated") << v[i];
    EXPECT_EQ(v[i]["cameraVersion"], "0104") << v[i];
    EXPECT_EQ(v[i]["fileVersion"], "0105") << v[i];
    EXPECT_EQ(v[i]["productId"], "0E51") << v[i];
    EXPECT_GT(v[i]["transfers"].get<long>(), 20000) << "each camera's own transfers: " << v[i];
  }
  EXPECT_EQ(v[3]["summary"]["updated"], 3) << v[3];

  r = run(sim + "update --all --yes");
  EXPECT_EQ(r.status, 5) << "every camera up to date: nothing to do\n" << r.out;
  v = results(r.out);
  ASSERT_EQ(v.size(), 4u) << r.out;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(v[i]["outcome"], "up-to-date") << v[i];
}

TEST_F(FleetCli, AllReportsFailuresAndThenFinishesTheInterruptedCameras) {
  // Every camera fails at its 5000th transfer, in the middle of the writing.
  CliResult r = run(std::string(kFast) + ",count=2,fail-at=5000 --sim-state st.sim --json update --all --yes");
  EXPECT_EQ(r.status, 1) << "a failed camera fails the whole run\n" << r.out;
  std::vector<nlohmann::json> v = results(r.out);
  ASSERT_EQ(v.size(), 3u) << r.out;
  EXPECT_EQ(v[0]["outcome"], "failed") << v[0];
  EXPECT_EQ(v[2]["summary"]["failed"], 2) << v[2];

  r = run(std::string(kFast) + ",count=2 --sim-state st.sim --json update --all --yes");
  EXPECT_EQ(r.status, 0) << "the interrupted cameras finished without --force\n" << r.out;
  EXPECT_EQ(last_json(r.out)["summary"]["updated"], 2) << r.out;
}

TEST_F(FleetCli, OtherProductsAreSkippedAndNoCameraIsItsOwnStatus) {
  CliResult r = run(std::string(kFast) + ",count=2,pid=0E5A --json update --all --yes");
  EXPECT_EQ(r.status, 4) << "no camera is of this product\n" << r.out;
  EXPECT_EQ(results(r.out)[0]["outcome"], "other-product") << r.out;
  // Cameras reached through a property set are told apart by their paths
  // too: each is reached and presented, none is lost.
  r = run("--simulate=vendor-video,latency-us=0,busy=0,count=2 --json update --all --yes");
  const std::vector<nlohmann::json> v = results(r.out);
  ASSERT_EQ(v.size(), 3u) << r.out;
  EXPECT_NE(v[0]["path"], v[1]["path"]) << r.out;
  for (int i = 0; i < 2; ++i) EXPECT_NE(v[i]["outcome"], "gone") << v[i];
  EXPECT_EQ(run("--simulate=none update --all --yes").status, 3);
  EXPECT_EQ(run(std::string(kFast) + ",count=2 update --all").status, 2)
      << "no terminal and no --yes: refused before writing";
}

// The plan's transfer count is the count of the run it predicts, on each
// transport, and planning writes nothing.
TEST_F(FleetCli, DryRunPredictsTheTransfersOfTheUpdate) {
  for (const std::string profile : {"q", "uvc-kavex"}) {
    const std::string sim =
        "--simulate=" + profile + ",latency-us=0,busy=0 --sim-state " + profile + ".sim --json ";
    CliResult plan = run(sim + "update --dry-run");
    ASSERT_EQ(plan.status, 0) << profile << "\n" << plan.out;
    const nlohmann::json p = last_json(plan.out);
    EXPECT_EQ(p["dryRun"], true) << p;
    EXPECT_EQ(p["erase"]["ranges"][0]["start"], "0x000000") << profile << ": " << p;
    EXPECT_GT(p["seconds"]["fullSpeed"].get<double>(), p["seconds"]["highSpeed"].get<double>());

    EXPECT_EQ(last_json(run(sim + "status").out)["presentation"], "update-available")
        << profile << ": the dry run expected to write nothing";
    const CliResult done = run(sim + "update --yes");
    ASSERT_EQ(done.status, 0) << profile << "\n" << done.out;
    EXPECT_EQ(last_json(done.out)["transfers"], p["transfers"])
        << profile << ": the plan's transfers expected to be the update's";
  }
}

// An update leaves the flash block-protected; the next run lifts that
// protection before its first erase. The plan made on such a camera counts
// those transfers too.
TEST_F(FleetCli, DryRunOnAFlashThisToolLeftProtectedPredictsTheUpdate) {
  const std::string sim = std::string(kFast) + " --sim-state st.sim --json ";
  ASSERT_EQ(run(sim + "update --yes").status, 0);
  ASSERT_EQ(run("make-firmware --version 0106 --product-id 0E51 -o fw.bin").status, 0);
  const CliResult plan = run(sim + "update --dry-run");
  ASSERT_EQ(plan.status, 0) << plan.out;
  const CliResult done = run(sim + "update --yes");
  ASSERT_EQ(done.status, 0) << done.out;
  EXPECT_EQ(last_json(done.out)["transfers"], last_json(plan.out)["transfers"])
      << "the plan's transfers expected to be those of the run on the protected flash";
}

TEST_F(FleetCli, WaitReplugConfirmsTheVersionOrSaysWhyNot) {
  CliResult r = run(std::string(kFast) + " --json update --yes --wait-replug=10");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(last_json(r.out)["confirmed"], true) << r.out;

  r = run(std::string(kFast) + ",replug=0 --json update --yes --wait-replug=1");
  EXPECT_EQ(r.status, 1) << "a camera never reconnected is not confirmed\n" << r.out;
  EXPECT_EQ(last_json(r.out)["confirmed"], false) << r.out;
  EXPECT_NE(last_json(r.out)["confirmation"].get<std::string>().find("not reconnected"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(run(std::string(kFast) + " update --dry-run --wait-replug").status, 2)
      << "nothing to wait for after a dry run";
}

}  // namespace
