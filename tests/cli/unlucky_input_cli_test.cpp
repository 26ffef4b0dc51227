// Unlucky input and unlucky timing through lumavix-fw, run as a separate
// process against the simulated camera: FIFOs and other files that are not
// regular where a file is read, a firmware file given as a pipe, a run cut
// by SIGINT or SIGTERM, two runs on one state file, and setting tables
// aimed at the firmware's own part of the flash. Every run is bounded by
// timeout(1), so that a program that hangs fails its test instead of
// holding up the suite.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli_run.h"

namespace {

namespace fs = std::filesystem;
using lumavix::test::CliResult;
using lumavix::test::last_json;

constexpr const char* kCamera = "--simulate=q,latency-us=0,busy=0";

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class UnluckyInput : public lumavix::test::CliFolderTest {
 protected:
  void SetUp() override {
    CliFolderTest::SetUp();
    const CliResult c = run("--json config", "2>/dev/null");
    pid_ = last_json(c.out)["productIds"]["QA"].get<std::string>();
    ASSERT_EQ(run("make-firmware --version 0105 --product-id " + pid_ + " -o fw.bin").status, 0);
  }
  // lumavix-fw with `args`, given at most `seconds`: 124 when it ran out.
  CliResult run(const std::string& args, const char* stderr_to = "2>&1",
                int seconds = 20) const {
    return script("timeout " + std::to_string(seconds) + " " + std::string(LUMAVIX_CLI_PATH) +
                  " " + args + " </dev/null " + stderr_to);
  }
  // A bash script run in the test's folder (for <(...), job control, kill).
  CliResult script(const std::string& body) const {
    std::ofstream(dir_ / "script.sh") << "cd '" << dir_.string() << "'\nexport LC_ALL=C LANG=C\n"
                                      << body << "\n";
    return lumavix::test::run_shell("bash '" + (dir_ / "script.sh").string() + "'");
  }
  std::string flash_hex(const std::string& sim, const std::string& state, const std::string& addr,
                        int len) const {
    const CliResult r = run(sim + " --sim-state " + state + " --json flash read " +
                            addr + " " + std::to_string(len), "2>/dev/null");
    const nlohmann::json j = last_json(r.out);
    return j.is_object() && j["data"].is_string() ? j["data"].get<std::string>() : "?";
  }
  std::string presentation(const std::string& state) const {
    const nlohmann::json j =
        last_json(run(std::string(kCamera) + " --sim-state " + state + " --json status",
                      "2>/dev/null")
                      .out);
    return j.is_object() && j["presentation"].is_string() ? j["presentation"].get<std::string>()
                                                          : "?";
  }
  std::string pid_;
};

// A FIFO nobody writes holds no command: each reader refuses it (or, where a
// pipe is taken, reads it as empty) at once, and so do a device node and a
// folder. The timeout turns a hang into status 124.
TEST_F(UnluckyInput, FifosDevicesAndFoldersAreRefusedAtOnce) {
  for (const char* name : {"pipe.bin", "pipe.txt", "state.fifo"})
    ASSERT_EQ(::mkfifo((dir_ / name).c_str(), 0600), 0) << name;
  const std::string cam = kCamera;
  struct Case {
    std::string args;
    std::string says;  // part of the message
  } cases[] = {
      {cam + " update pipe.bin --yes", "is empty"},
      {cam + " download pipe.bin --yes", "is empty"},
      {"file-info pipe.bin", "too short"},
      {"make-bin pipe.txt", "not a regular file"},
      {cam + " tables download --backend pipe.bin --force --yes", "not a regular file"},
      {cam + " tables download --backend pipe.txt --force --yes", "not a regular file"},
      {cam + " --sim-state state.fifo status", "not a regular file"},
      {cam + " update /dev/zero --yes", "not a regular file"},
      {"file-info /dev/zero", "not a regular file"},
      {"file-info .", "not a regular file"},
  };
  for (const Case& c : cases) {
    const CliResult r = run(c.args, "2>&1", 10);
    EXPECT_EQ(r.status, 2) << c.args << ": expected exit 2 at once (124: it hung): " << r.out;
    EXPECT_TRUE(contains(r.out, c.says)) << c.args << ": expected \"" << c.says << "\" in "
                                         << r.out;
  }
  const CliResult j = run(cam + " --json update pipe.bin --yes", "2>/dev/null", 10);
  EXPECT_EQ(last_json(j.out)["exitStatus"], 2) << j.out;
}

// A firmware file given as a pipe is read once and those bytes serve the
// checks, the decision and the write: the update succeeds and verifies.
TEST_F(UnluckyInput, AFirmwareFileThroughAPipeIsReadOnce) {
  const std::string fw = std::string("timeout 30 ") + LUMAVIX_CLI_PATH + " " + kCamera +
                         " --sim-state s.sim ";
  const CliResult info = script("cat fw.bin | " + std::string(LUMAVIX_CLI_PATH) +
                                " --json file-info /dev/stdin 2>&1");
  EXPECT_EQ(info.status, 0) << info.out;
  EXPECT_EQ(last_json(info.out)["crcOk"], true) << info.out;

  const CliResult up = script(fw + "--json update <(cat fw.bin) --yes 2>&1 </dev/null");
  EXPECT_EQ(up.status, 0) << "a good file through a pipe: " << up.out;
  EXPECT_EQ(last_json(up.out)["result"], "success") << up.out;
  EXPECT_EQ(presentation("s.sim"), "up-to-date") << "the piped update was written and kept";

  const CliResult dl = script(fw + "--json download <(cat fw.bin) --yes 2>&1 </dev/null");
  EXPECT_EQ(dl.status, 0) << "download through a pipe: " << dl.out;
}

// SIGINT or SIGTERM in the middle of an update: the state file keeps the
// camera as the run left it, the program ends with 128 + the signal, the
// next status calls the camera interrupted, and an update mends it.
TEST_F(UnluckyInput, AnInterruptedUpdateLeavesItsStateFileForTheNextRun) {
  struct Case {
    const char* signal;
    int status;
  } cases[] = {{"INT", 130}, {"TERM", 143}};
  for (const Case& c : cases) {
    const std::string state = std::string("cut-") + c.signal + ".sim";
    // Job control, so that the background run does not start with SIGINT
    // ignored, as a non-interactive shell would start it.
    const CliResult r = script(
        "set -m\n" + std::string(LUMAVIX_CLI_PATH) +
        " --simulate=q,latency-us=300,busy=0 --sim-state " + state +
        " --json update --yes </dev/null >run.out 2>run.err &\n"
        "pid=$!\n"
        "for i in $(seq 400); do grep -q '\"phase\":\"program\"' run.out && break; sleep 0.05; "
        "done\n"
        "kill -" + c.signal + " $pid\n"
        "for i in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done\n"
        "kill -KILL $pid 2>/dev/null && echo 'still running'\n"
        "wait $pid\necho \"exit=$?\"\ncat run.err; tail -n 1 run.out");
    EXPECT_TRUE(contains(r.out, "exit=" + std::to_string(c.status))) << c.signal << ": " << r.out;
    EXPECT_TRUE(contains(r.out, "state was saved")) << c.signal << ": " << r.out;
    const nlohmann::json end = last_json(r.out);
    EXPECT_EQ(end["exitStatus"], c.status) << c.signal << ": the JSON result line: " << r.out;
    EXPECT_EQ(presentation(state), "interrupted") << c.signal << ": the cut was kept";
    EXPECT_EQ(run(std::string(kCamera) + " --sim-state " + state + " update --yes").status, 0)
        << c.signal;
    EXPECT_EQ(presentation(state), "up-to-date") << c.signal;
  }
}

// Two runs on one state file take turns: an update started while a slow
// dump runs waits for it, and the dump's save no longer undoes the update.
TEST_F(UnluckyInput, TwoRunsOnOneStateFileTakeTurns) {
  // The dump takes some 5 s; the update starts once the dump is under way.
  const CliResult r = script(
      std::string(LUMAVIX_CLI_PATH) +
      " --simulate=q,latency-us=500,busy=0 --sim-state s.sim --json dump -o d.bin_ "
      "</dev/null >dump.out 2>&1 &\n"
      "pid=$!\nsleep 1\n"
      "kill -0 $pid && echo 'dump under way'\n"
      "timeout 120 " + std::string(LUMAVIX_CLI_PATH) + " " + kCamera +
      " --sim-state s.sim update fw.bin --yes </dev/null >update.out 2>&1\n"
      "echo \"update=$?\"\nwait $pid\necho \"dump=$?\"\ncat update.out");
  ASSERT_TRUE(contains(r.out, "dump under way")) << r.out;
  EXPECT_TRUE(contains(r.out, "dump=0")) << r.out;
  EXPECT_TRUE(contains(r.out, "update=0")) << r.out;
  EXPECT_TRUE(contains(r.out, "waiting for another run")) << "the update waited: " << r.out;
  EXPECT_EQ(presentation("s.sim"), "up-to-date") << "the dump's save undid the update";
}

// A setting table is not written over the boot configuration or the code
// without --force, is written with it, and is never written without a
// confirmation: --yes, or a terminal to ask on.
TEST_F(UnluckyInput, TablesOverTheFirmwareNeedForceAndEveryWriteAConfirmation) {
  std::ofstream(dir_ / "t.bin", std::ios::binary) << std::string("\x11\x22\x33\x44", 4);
  // A 4 MiB flash: the image fills its first 128 KiB, the rest is free.
  const std::string big = "--simulate=q,latency-us=0,busy=0,flash=C22016";
  const std::string boot0 = flash_hex(big, "b.sim", "0", 4);
  ASSERT_NE(boot0, "?");
  struct Case {
    std::string args;
    int status;
    std::string says;
  } cases[] = {
      {"tables download --backend t.bin --backend-addr 0 --yes", 2, "boot configuration"},
      {"tables download --backend t.bin --backend-addr 800 --yes", 2, "boot configuration"},
      {"tables download --backend t.bin --backend-addr 1F000 --yes", 2, "user code"},
      {"tables download --backend t.bin --backend-addr 30000", 2, "confirm with --yes"},
  };
  for (const Case& c : cases) {
    const CliResult r = run(big + " --sim-state b.sim " + c.args);
    EXPECT_EQ(r.status, c.status) << c.args << ": " << r.out;
    EXPECT_TRUE(contains(r.out, c.says)) << c.args << ": expected \"" << c.says << "\" in "
                                         << r.out;
  }
  EXPECT_EQ(flash_hex(big, "b.sim", "0", 4), boot0) << "a refused table wrote the boot configuration";
  EXPECT_EQ(flash_hex(big, "b.sim", "30000", 4), "FFFFFFFF") << "an unconfirmed table was written";

  const CliResult clear = run(big + " --sim-state b.sim tables download --backend t.bin "
                                    "--backend-addr 30000 --yes");
  EXPECT_EQ(clear.status, 0) << "clear of the firmware: " << clear.out;
  const CliResult forced = run(big + " --sim-state b.sim tables download --backend t.bin "
                                     "--backend-addr 0 --yes --force");
  EXPECT_EQ(forced.status, 0) << forced.out;
  EXPECT_EQ(flash_hex(big, "b.sim", "0", 4), "11223344") << "--force writes where it was told";
}

}  // namespace
