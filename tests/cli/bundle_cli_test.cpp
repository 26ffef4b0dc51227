// `doctor --bundle` and the kept run traces, with lumavix-fw run as a
// separate process: the archive read back by tar, the traces of the runs
// before it, and a state folder that cannot be written.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "cli_run.h"

namespace {

using lumavix::test::CliResult;
using lumavix::test::last_json;
namespace fs = std::filesystem;

class BundleCli : public lumavix::test::CliFolderTest {
 protected:
  // lumavix-fw with its state folder in this test's folder (or `state`).
  CliResult fw(const std::string& args, const char* stderr_to = "2>&1",
               const std::string& state = "state") const {
    return run_in_folder("--sim-state cam.state " + args, stderr_to, state);
  }
  CliResult run_in_folder(const std::string& args, const char* stderr_to,
                          const std::string& state) const {
    return lumavix::test::run_shell("cd '" + dir_.string() + "' && XDG_STATE_HOME='" +
                                    (dir_ / state).string() + "' LC_ALL=C LANG=C " +
                                    std::string(LUMAVIX_CLI_PATH) + " " + args +
                                    " </dev/null " + stderr_to);
  }
  CliResult sh(const std::string& command) const {
    return lumavix::test::run_shell("cd '" + dir_.string() + "' && " + command + " 2>&1");
  }
  std::size_t kept_runs() const {
    std::size_t n = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir_ / "state" / "lumavix", ec))
      n += e.path().filename().string().rfind("run-", 0) == 0;
    return n;
  }
};

constexpr const char* kSim = "--simulate=q,latency-us=0";

TEST_F(BundleCli, BundleHoldsTheRunsBeforeItAndTarReadsIt) {
  ASSERT_EQ(fw("make-firmware --version 0105 --product-id 0E51 -o fw.bin").status, 0);
  const CliResult up = fw(std::string(kSim) + " update --yes fw.bin");
  ASSERT_EQ(up.status, 0) << up.out;
  EXPECT_EQ(up.out.find("warning"), std::string::npos) << up.out;
  ASSERT_EQ(fw(std::string(kSim) + " update --yes fw.bin").status, 5);  // up to date
  EXPECT_EQ(kept_runs(), 2u);
  // Commands that do not reach the flash keep no trace.
  ASSERT_EQ(fw(std::string(kSim) + " list").status, 0);
  EXPECT_EQ(kept_runs(), 2u);

  const CliResult b = fw(std::string(kSim) + " --json doctor --bundle out.tar.gz", "2>/dev/null");
  ASSERT_EQ(b.status, 0) << b.out;
  const auto j = last_json(b.out);
  ASSERT_TRUE(j.is_object()) << b.out;
  EXPECT_EQ(j["runs"], 2);
  EXPECT_EQ(j["serialsMasked"], true);

  const CliResult list = sh("tar tzf out.tar.gz");
  ASSERT_EQ(list.status, 0) << "tar cannot read the bundle: " << list.out;
  for (const char* part : {"/README.txt\n", "/version.txt\n", "/system.txt\n", "/cameras.json\n",
                           "/doctor.json\n", "/runs/run-"})
    EXPECT_NE(list.out.find(part), std::string::npos) << "no " << part << " in\n" << list.out;
  EXPECT_EQ(list.out.find(".bin"), std::string::npos) << "a firmware file in\n" << list.out;

  const CliResult runs = sh("tar xzOf out.tar.gz --wildcards '*/runs/*'");
  ASSERT_EQ(runs.status, 0) << runs.out;
  EXPECT_NE(runs.out.find("command: lumavix-fw --sim-state cam.state --simulate=q,latency-us=0 "
                          "update --yes fw.bin"),
            std::string::npos)
      << runs.out;
  EXPECT_NE(runs.out.find("result:  exit 0 (done)"), std::string::npos) << runs.out;
  EXPECT_NE(runs.out.find("result:  exit 5 (nothing to do: up to date)"), std::string::npos)
      << runs.out;
  EXPECT_NE(runs.out.find("SPI FlashType"), std::string::npos) << "no trace lines:\n" << runs.out;

  // The same JSON as list --json and doctor --json.
  const CliResult cams = sh("tar xzOf out.tar.gz --wildcards '*/cameras.json'");
  const CliResult listed = fw(std::string(kSim) + " --json list", "2>/dev/null");
  EXPECT_EQ(nlohmann::json::parse(cams.out, nullptr, false), last_json(listed.out)) << cams.out;
  const CliResult doc = sh("tar xzOf out.tar.gz --wildcards '*/doctor.json'");
  const CliResult doctor = fw(std::string(kSim) + " --json doctor", "2>/dev/null");
  EXPECT_EQ(nlohmann::json::parse(doc.out, nullptr, false), last_json(doctor.out)) << doc.out;
}

TEST_F(BundleCli, OnlyTheLastFiveRunsAreKept) {
  for (int i = 0; i < 7; ++i) {
    const CliResult r = fw(std::string(kSim) + " dump -o d.bin --length 0x100");
    ASSERT_EQ(r.status, 0) << r.out;
  }
  EXPECT_EQ(kept_runs(), 5u);
}

TEST_F(BundleCli, KeptTraceDoesNotTakeTheLinesFromVerboseOutput) {
  const CliResult r = fw(std::string(kSim) + " -v dump -o d.bin --length 0x100");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("SPI FlashType"), std::string::npos)
      << "-v must still write the trace lines to stderr:\n" << r.out;
  const CliResult kept = sh("cat state/lumavix/run-*.log");
  EXPECT_NE(kept.out.find("SPI FlashType"), std::string::npos) << kept.out;
  EXPECT_NE(kept.out.find("result:  exit 0 (done)"), std::string::npos) << kept.out;
}

TEST_F(BundleCli, AStateFolderThatCannotBeWrittenNeverFailsTheRun) {
  tmp_.write("blocked", "a file where the state folder would be");
  ASSERT_EQ(fw("make-firmware --version 0105 --product-id 0E51 -o fw.bin").status, 0);
  const CliResult text = fw(std::string(kSim) + " update --yes fw.bin", "2>&1", "blocked");
  EXPECT_EQ(text.status, 0) << text.out;
  std::size_t warnings = 0;
  for (std::size_t at = text.out.find("warning: the trace"); at != std::string::npos;
       at = text.out.find("warning: the trace", at + 1))
    ++warnings;
  EXPECT_EQ(warnings, 1u) << "the problem should be said exactly once:\n" << text.out;

  // JSON mode: said in the result, standard output stays JSON only.
  const CliResult j = fw(std::string(kSim) + " --json update --yes --force fw.bin", "2>/dev/null",
                         "blocked");
  EXPECT_EQ(j.status, 0) << j.out;
  const auto result = last_json(j.out);
  ASSERT_TRUE(result.is_object()) << j.out;
  EXPECT_EQ(result["result"], "success");
  ASSERT_TRUE(result.contains("runLogProblem")) << j.out;
  EXPECT_NE(result["runLogProblem"].get<std::string>().find("blocked"), std::string::npos);
}

TEST_F(BundleCli, BadBundleRequestsAreUsageErrors) {
  const struct {
    const char* args;
    const char* why;
  } cases[] = {{"doctor --with-serials", "--with-serials without --bundle"},
               {"doctor --bundle out.zip", "a bundle not named .tar.gz"}};
  for (const auto& c : cases) {
    EXPECT_EQ(fw(std::string(kSim) + " " + c.args).status, 2) << c.why;
  }
  EXPECT_EQ(fw(std::string(kSim) + " doctor --bundle no-such-dir/out.tar.gz").status, 1)
      << "an unwritable bundle is a failure";
  EXPECT_FALSE(fs::exists(dir_ / "out.zip"));
}

}  // namespace
